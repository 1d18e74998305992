#!/usr/bin/env bash
# Installs the build into a staging directory (DESTDIR) and checks the tree.
# Usage: install_tree_test.sh BUILD_DIR FACTS_FILE
set -u
build=$1
source "$(dirname "$0")/common.sh" "$2"
make_scratch

stage="$SCRATCH/stage"
if ! DESTDIR="$stage" cmake --install "$build" > "$SCRATCH/install.log" 2>&1; then
    cat "$SCRATCH/install.log" >&2
    fail "cmake --install failed"
    finish
fi
# Nothing may land outside the prefix.
outside=$(cd "$stage" && find . -mindepth 1 \( -type f -o -type l \) | sed 's|^\.||' | grep -v "^$PREFIX/")
[ -z "$outside" ] || fail "installed outside $PREFIX: $outside"

check_tree "$stage"
finish

#!/usr/bin/env bash
# Builds the Debian package from the build tree with CPack and checks its
# control data (dpkg-deb --info), its file list (dpkg-deb --contents) and the
# unpacked tree. Exit 77: dpkg-deb missing.
# Usage: deb_test.sh BUILD_DIR FACTS_FILE [DEB]   (with DEB, checks that package instead)
set -u
build=$1
source "$(dirname "$0")/common.sh" "$2"
deb=${3:-}

if ! command -v dpkg-deb >/dev/null; then
    echo "SKIP: dpkg-deb is not installed (Debian package dpkg)"
    exit 77
fi
make_scratch

if [ -z "$deb" ]; then
    if ! cpack --config "$build/CPackConfig.cmake" -B "$SCRATCH/pkg" > "$SCRATCH/cpack.log" 2>&1; then
        cat "$SCRATCH/cpack.log" >&2
        find "$SCRATCH/pkg" -name '*.log' -exec cat {} + >&2 2>/dev/null
        fail "cpack failed"
        finish
    fi
    deb=$(ls "$SCRATCH"/pkg/*.deb 2>/dev/null | head -n 1)
    [ -n "$deb" ] || { fail "cpack made no .deb"; finish; }
fi

arch=$(dpkg --print-architecture)
[ "$(basename "$deb")" = "temp_${PACKAGE_VERSION}_$arch.deb" ] || fail "package file is named $(basename "$deb")"

# --- control data ---
info=$(dpkg-deb --info "$deb")
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = temp ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$PACKAGE_VERSION" ] || fail "Version is '$(field Version)'"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
depends=$(field Depends)
wanted_deps="adduser libc6 libstdc++6"
[ "$WITH_LIBUSB" = 1 ] && wanted_deps="$wanted_deps libusb-1.0-0"
[ "$WITH_VIEWER" = 1 ] && wanted_deps="$wanted_deps libqt6widgets6 libqt6gui6 libqt6core6"
for dep in $wanted_deps; do
    echo "$depends" | tr ',|' '\n\n' | sed 's/^ *//; s/ .*//' | grep -qx "$dep" || fail "Depends lacks $dep: $depends"
done
for script in postinst prerm postrm; do
    echo "$info" | grep -qE "^ +[0-9]+ bytes, +[0-9]+ lines +\* +$script +#!/bin/sh" ||
        fail "control has no executable $script"
done

# --- file list: every file owned by root, below the prefix, and nothing else ---
dpkg-deb --contents "$deb" > "$SCRATCH/contents.txt"
not_root=$(awk '$2 != "root/root"' "$SCRATCH/contents.txt")
[ -z "$not_root" ] || fail "not owned by root: $not_root"
awk '$1 !~ /^d/ { print $6 }' "$SCRATCH/contents.txt" | sed "s|^\.$PREFIX/||" | LC_ALL=C sort > "$SCRATCH/listed.lst"
expected_files > "$SCRATCH/expected.lst"
compare_lists "package contents" "$SCRATCH/expected.lst" "$SCRATCH/listed.lst"

# --- the unpacked tree passes the same checks as an installation ---
mkdir -p "$SCRATCH/root"
dpkg-deb -x "$deb" "$SCRATCH/root"
check_tree "$SCRATCH/root"
finish

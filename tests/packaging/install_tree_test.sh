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

# The sysusers.d entry makes the service user, in plugdev, on a fake root.
if need_tool systemd-sysusers systemd; then
    users_root="$SCRATCH/users"
    mkdir -p "$users_root/etc" "$users_root/usr/lib/sysusers.d"
    echo 'plugdev:x:46:' > "$users_root/etc/group"
    cp "$stage$PREFIX/$SYSUSERS_DIR/temp.conf" "$users_root/usr/lib/sysusers.d/"
    if systemd-sysusers --root="$users_root" temp.conf > "$SCRATCH/sysusers.log" 2>&1; then
        grep -qE "^$SERVICE_USER:x:[0-9]+:[0-9]+:[^:]*:$STATE_ROOT:/usr/sbin/nologin\$" "$users_root/etc/passwd" ||
            fail "sysusers made no system user: $(cat "$users_root/etc/passwd")"
        grep -qx "plugdev:x:46:$SERVICE_USER" "$users_root/etc/group" || fail "user not in plugdev: $(cat "$users_root/etc/group")"
    else
        fail "systemd-sysusers failed: $(cat "$SCRATCH/sysusers.log")"
    fi
fi
finish

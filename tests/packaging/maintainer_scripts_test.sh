#!/usr/bin/env bash
# Runs the package's maintainer scripts with the system tools replaced by
# stubs that record their calls, and compares the calls for each dpkg action.
# Usage: maintainer_scripts_test.sh SCRIPTS_DIR FACTS_FILE
set -u
scripts=$1
source "$(dirname "$0")/common.sh" "$2"
make_scratch

stubs="$SCRATCH/bin"
mkdir -p "$stubs"
for tool in adduser addgroup udevadm systemctl; do
    cat > "$stubs/$tool" <<'EOT'
#!/bin/sh
echo "$(basename "$0") $*" >> "$STUB_LOG"
[ "$(basename "$0")" != "$STUB_FAILING" ]
EOT
done
# getent knows the users and groups listed in STUB_USERS and STUB_GROUPS.
cat > "$stubs/getent" <<'EOT'
#!/bin/sh
case "$1" in
    passwd) list=$STUB_USERS ;;
    group) list=$STUB_GROUPS ;;
    *) exit 2 ;;
esac
for name in $list; do [ "$name" = "$2" ] && exit 0; done
exit 2
EOT
chmod +x "$stubs"/*

u=$SERVICE_USER
new_user="adduser --system --group --quiet --home $STATE_ROOT --no-create-home --gecos temp 1-Wire logger $u"
join="adduser --quiet $u plugdev"
reload_udev="udevadm control --reload-rules"
trigger="udevadm trigger --subsystem-match=usb --attr-match=idVendor=04fa --action=add"
reload_units="systemctl daemon-reload"

# run_case NAME SCRIPT "ARGS" USERS GROUPS RUNNING FAILING EXPECTED-CALLS...
# RUNNING=yes gives the fake root /run/udev and /run/systemd/system.
run_case() {
    local name=$1 script=$2 args=$3 users=$4 groups=$5 running=$6 failing=$7
    shift 7
    local root="$SCRATCH/root-$name" log="$SCRATCH/log-$name"
    mkdir -p "$root"
    [ "$running" = yes ] && mkdir -p "$root/run/udev" "$root/run/systemd/system"
    : > "$log"
    # shellcheck disable=SC2086
    if ! env PATH="$stubs:$PATH" DPKG_ROOT="$root" STUB_LOG="$log" STUB_USERS="$users" \
            STUB_GROUPS="$groups" STUB_FAILING="$failing" sh -e "$scripts/$script" $args; then
        fail "$name: $script $args failed"
    fi
    local want
    want=$(printf '%s\n' "$@")
    [ "$(cat "$log")" = "$want" ] || fail "$name: calls were
$(cat "$log")
want
$want"
}

# name            script   args               users  groups   running failing  expected calls
run_case fresh     postinst "configure"        ""     plugdev  yes     none     "$new_user" "$join" "$reload_udev" "$trigger" "$reload_units"
run_case upgrade   postinst "configure 9.0"    "$u"   plugdev  yes     none     "$join" "$reload_udev" "$trigger" "$reload_units" "systemctl try-restart temp@*.service"
run_case nogroup   postinst "configure"        ""     ""       yes     none     "addgroup --system --quiet plugdev" "$new_user" "$join" "$reload_udev" "$trigger" "$reload_units"
run_case chroot    postinst "configure"        ""     plugdev  no      none     "$new_user" "$join"
run_case udevfails postinst "configure"        "$u"   plugdev  yes     udevadm  "$join" "$reload_udev" "$trigger" "$reload_units"
run_case abort     postinst "abort-upgrade 10" "$u"   plugdev  yes     none
run_case remove    prerm    "remove"           "$u"   plugdev  yes     none     "systemctl stop temp@*.service"
run_case stopfails prerm    "remove"           "$u"   plugdev  yes     systemctl "systemctl stop temp@*.service"
run_case replace   prerm    "upgrade 10.1"     "$u"   plugdev  yes     none
run_case removed   postrm   "remove"           "$u"   plugdev  yes     none     "$reload_udev" "$reload_units"
run_case purged    postrm   "purge"            "$u"   plugdev  yes     none     "$reload_udev" "$reload_units"
run_case upgraded  postrm   "upgrade 10.1"     "$u"   plugdev  yes     none

# The scripts are plain POSIX sh.
for script in postinst prerm postrm; do
    sh -n "$scripts/$script" || fail "$script is not valid sh"
    [ -x "$scripts/$script" ] || fail "$script is not executable"
done
finish

#!/usr/bin/env bash
# The packages on a fresh Debian 12 minbase root (debootstrap; cached in
# /tmp/fresh-base.tar), run by hand or by scripts/package.sh --upgrade-test, as root:
#   upgrade_test.sh OLD_DEB NEW_DIR
# OLD_DEB is the single package of before the split (temp with the viewer),
# NEW_DIR holds temp_*.deb and karvix_*.deb of this machine's architecture.
# 1. Footprint: what the headless temp, and the old package, add to a fresh root
#    (installed size with every dependency, without recommendations), printed.
# 2. Upgrade: the old package installed, a logger running as instance 1 and the
#    user's files in place, then both new packages in one apt call. The user's
#    files, the service user and the running logger must survive; the maintainer
#    scripts must restart the running instances (try-restart) and stop none.
#    systemctl is a recorder there (/usr/bin/systemctl: maintainer scripts run
#    with a PATH of their own): a chroot has no systemd.
set -u
old_deb=$(realpath "$1")
new_dir=$(realpath "$2")
BASE=/tmp/fresh-base.tar
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root (chroot)"; exit 77; }
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

if [ ! -f "$BASE" ]; then
    command -v debootstrap >/dev/null || apt-get install -y -qq debootstrap >/dev/null
    tmp=$(mktemp -d)
    debootstrap --variant=minbase --include=git,ca-certificates bookworm "$tmp" http://deb.debian.org/debian \
        >/tmp/upgrade-debootstrap.log 2>&1 || { echo "debootstrap failed (/tmp/upgrade-debootstrap.log)"; exit 1; }
    tar -C "$tmp" -cf "$BASE.part" . && mv "$BASE.part" "$BASE"
    rm -rf "$tmp"
fi

ROOT=
cleanup() {
    if [ -n "$ROOT" ]; then
        [ -f "$ROOT/run/logger.pid" ] && kill "$(cat "$ROOT/run/logger.pid")" 2>/dev/null
        umount "$ROOT/proc" "$ROOT/dev/pts" "$ROOT/dev" 2>/dev/null
        rm -rf "$ROOT"
    fi
}
trap cleanup EXIT
fresh_root() {
    cleanup
    ROOT=$(mktemp -d /tmp/upgrade-root.XXXXXX)
    tar -C "$ROOT" -xf "$BASE"
    cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
    mount -t proc proc "$ROOT/proc"
    mount --bind /dev "$ROOT/dev"
    mount --bind /dev/pts "$ROOT/dev/pts"
    mkdir -p "$ROOT/debs"
    cp "$old_deb" "$new_dir"/temp_*.deb "$new_dir"/karvix_*.deb "$ROOT/debs/"
    in_root apt-get update -qq >/dev/null
}
in_root() {
    chroot "$ROOT" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        DEBIAN_FRONTEND=noninteractive HOME=/root "$@"
}
apt_install() {
    in_root apt-get install -y -qq --no-install-recommends "$@" >"$ROOT/apt.log" 2>&1 ||
        { cat "$ROOT/apt.log" >&2; fail "apt-get install $*"; }
}
used_kib() { du -sx --block-size=1K "$ROOT" --exclude=var/cache/apt --exclude=var/lib/apt/lists --exclude=debs | cut -f1; }
footprint() {  # what: adds the packages' size with their dependencies to a fresh root
    local what=$1; shift
    fresh_root
    local before after count_before count_after
    before=$(used_kib)
    count_before=$(in_root dpkg-query -W -f='.\n' | wc -l)
    apt_install "$@"
    after=$(used_kib)
    count_after=$(in_root dpkg-query -W -f='.\n' | wc -l)
    echo "footprint $what: $(( (after - before) / 1024 )) MiB, $(( count_after - count_before )) packages"
    FOOTPRINT=$(( after - before ))
}

new_temp=$(cd "$new_dir" && ls temp_*.deb | head -n 1)
new_karvix=$(cd "$new_dir" && ls karvix_*.deb | head -n 1)
old_name=$(basename "$old_deb")

# --- 1. footprint (TEMP_SKIP_FOOTPRINT=1 leaves it out) ---
if [ -z "${TEMP_SKIP_FOOTPRINT:-}" ]; then
footprint "temp (headless, new)" "/debs/$new_temp"
headless=$FOOTPRINT
graphical=$(in_root dpkg-query -W -f='${Package}\n' | grep -E '^(libqt|libx11|libgtk|libgl|libwayland|qt6)' | tr '\n' ' ')
[ -z "$graphical" ] || fail "the headless package pulled graphical packages: $graphical"
footprint "temp (single package, old)" "/debs/$old_name"
single=$FOOTPRINT
echo "footprint ratio headless/old: $(awk -v a="$headless" -v b="$single" 'BEGIN { printf "%.3f", a / b }')"
fi

# --- 2. upgrade: old single package, a running logger, then the two new packages ---
fresh_root
apt_install "/debs/$old_name"
mkdir -p "$ROOT/run/systemd/system"
cat > "$ROOT/usr/bin/systemctl" <<'END'
#!/bin/sh
echo "$*" >> /var/log/systemctl.calls
END
chmod +x "$ROOT/usr/bin/systemctl"
state=$ROOT/var/lib/temp/1
mkdir -p "$state"
printf 'PLACE 1 cold store\r\n' > "$state/Direct Access table.txt"
echo "TEMP_ADAPTER='sim:'" > "$ROOT/etc/default/temp-1"
chroot "$ROOT" chown -R templog:templog /var/lib/temp
# The instance as its unit runs it: argv[0] in the state folder, no console.
chroot "$ROOT" setpriv --reuid=templog --regid=templog --init-groups \
    bash -c 'cd /var/lib/temp/1 && exec -a /var/lib/temp/1/temp /usr/bin/temp sim: </dev/null >/var/lib/temp/1/console.txt 2>&1' &
logger=$!
echo "$logger" > "$ROOT/run/logger.pid"
for _ in $(seq 1 60); do [ -s "$state/temp.pd" ] && break; sleep 1; done
[ -s "$state/temp.pd" ] || fail "the old logger wrote no temp.pd"
kept_before=$(cd "$ROOT" && sha256sum "etc/default/temp-1" "var/lib/temp/1/Direct Access table.txt")
user_before=$(chroot "$ROOT" getent passwd templog)
: > "$ROOT/var/log/systemctl.calls"

apt_install "/debs/$new_temp" "/debs/$new_karvix"
[ "$(in_root dpkg-query -W -f='${Version}' temp)" = "$(echo "$new_temp" | cut -d_ -f2)" ] || fail "temp was not upgraded"
for p in temp karvix; do
    in_root dpkg-query -W -f='${Status}' "$p" | grep -q 'install ok installed' || fail "$p is not installed"
done
[ "$(in_root dpkg-query -S /usr/bin/Karvix | cut -d: -f1)" = karvix ] || fail "/usr/bin/Karvix does not belong to karvix"
[ "$(in_root dpkg-query -S /usr/bin/temp | cut -d: -f1)" = temp ] || fail "/usr/bin/temp does not belong to temp"
[ -x "$ROOT/usr/bin/Karvix" ] && [ -x "$ROOT/usr/bin/temp" ] && [ -x "$ROOT/usr/bin/temp-probe" ] ||
    fail "a program is missing after the upgrade"
[ "$(cd "$ROOT" && sha256sum "etc/default/temp-1" "var/lib/temp/1/Direct Access table.txt")" = "$kept_before" ] ||
    fail "the user's files changed"
[ "$(chroot "$ROOT" getent passwd templog)" = "$user_before" ] || fail "the service user changed"
kill -0 "$logger" 2>/dev/null || fail "the running logger was stopped by the upgrade"
grep -q "stop" "$ROOT/var/log/systemctl.calls" && fail "the upgrade stopped instances: $(cat "$ROOT/var/log/systemctl.calls")"
grep -qx "try-restart temp@\*.service" "$ROOT/var/log/systemctl.calls" ||
    fail "the upgrade did not restart the running instances: $(tr '\n' ';' < "$ROOT/var/log/systemctl.calls")"
# The logger goes on writing its file through the upgrade.
written=$(stat -c %Y "$state/temp.pd")
for _ in $(seq 1 60); do [ "$(stat -c %Y "$state/temp.pd")" != "$written" ] && break; sleep 1; done
[ "$(stat -c %Y "$state/temp.pd")" != "$written" ] || fail "the logger stopped writing temp.pd"
kill "$logger" 2>/dev/null; wait "$logger" 2>/dev/null

# Removing the viewer keeps the logger; removing the logger keeps the readings.
in_root apt-get remove -y -qq karvix >/dev/null 2>&1 || fail "karvix could not be removed"
[ -x "$ROOT/usr/bin/temp" ] && [ ! -e "$ROOT/usr/bin/Karvix" ] || fail "removing karvix touched temp"
in_root apt-get purge -y -qq temp >/dev/null 2>&1 || fail "temp could not be purged"
[ -s "$state/temp.pd" ] || fail "purging temp removed the readings"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "upgrade test: all checks passed"

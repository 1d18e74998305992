#!/usr/bin/env bash
# The packages on a foreign Debian root, as far as this machine allows, as root:
#   scripts/target-root-test.sh ARCH PACKAGE_DIR
# Makes a Debian 12 minbase root of ARCH with `debootstrap --foreign` (cached in
# /tmp/foreign-ARCH.tar): its first stage unpacks the essential packages but
# can't configure them, which needs the root's own programs (binfmt_misc, not
# mounted here). Then, with dpkg-deb and qemu-user called directly:
#   - every dependency of temp_*_ARCH.deb must be a package Debian has for ARCH;
#   - those libraries and temp are unpacked into the root, and temp-probe,
#     temp-history and `temp sim:` (the real-clock demo bus, a few cycles, ended
#     with SIGTERM as systemctl stop does) run inside it under the emulator, the
#     root's own libc and loader, no file of this machine;
#   - the virtual-clock bus of tests/cross writes the same bytes there.
# Not proved here: the maintainer scripts (adduser, systemd, udev) and a real
# kernel, USB stack or board; they need the board or a root finished with qemu.
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$PWD
arch=${1:?usage: target-root-test.sh arm64|armhf PACKAGE_DIR}
pkgdir=$(realpath "${2:?usage: target-root-test.sh ARCH PACKAGE_DIR}")
case $arch in
    arm64) qemu=qemu-aarch64-static ;;
    armhf) qemu=qemu-arm-static ;;
    *) echo "target-root-test: unknown architecture '$arch'" >&2; exit 2 ;;
esac
cycles=${TEMP_ROOT_CYCLES:-4}
deb=$(ls "$pkgdir"/temp_*_"$arch".deb)
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

cache=/tmp/foreign-$arch.tar
if [ ! -f "$cache" ]; then
    tmp=$(mktemp -d)
    debootstrap --foreign --arch="$arch" --variant=minbase bookworm "$tmp" http://deb.debian.org/debian \
        > "/tmp/foreign-$arch-debootstrap.log" 2>&1
    tar -C "$tmp" -cf "$cache.part" . && mv "$cache.part" "$cache"
    rm -rf "$tmp"
fi
ROOT=$(mktemp -d "/tmp/foreign-$arch-root.XXXXXX")
trap 'rm -rf "$ROOT"' EXIT
tar -C "$ROOT" -xf "$cache"

# Dependencies: each one a package of ARCH that Debian has; fetched and
# unpacked with their own dependencies in turn (libmosquitto1 needs libssl3,
# which minbase lacks), down to the packages the first stage has unpacked.
# A library left out would not show in the checks of the same bytes below: the
# emulator's prefix falls back to this machine's file when the root lacks one.
dpkg-deb --info "$deb" >/dev/null
# The names a package depends on, the first of each set of alternatives.
depends_of() { dpkg-deb --field "$1" Pre-Depends Depends | sed 's/^[A-Za-z-]*: //' | tr ',' '\n' |
               sed 's/^ *//; s/[ (|:].*//' | sed '/^$/d'; }
deps=$(depends_of "$deb")
declare -A have=()
for p in $(cat "$ROOT/debootstrap/required"); do have[$p]=1; done
fetch=$(mktemp -d)
queue=($deps)
fetched=0
while [ ${#queue[@]} -gt 0 ]; do
    dep=${queue[0]}; queue=("${queue[@]:1}")
    [ -n "${have[$dep]:-}" ] && continue
    have[$dep]=1
    # A package of ARCH, or one for every architecture (Architecture: all).
    mkdir "$fetch/one"
    if (cd "$fetch/one" && { apt-get download -qq "$dep:$arch" || apt-get download -qq "$dep"; } >/dev/null 2>&1); then
        got=$(ls "$fetch"/one/*.deb)
        queue+=($(depends_of "$got"))
        mv "$got" "$fetch/"
        fetched=$((fetched + 1))
    else
        fail "Debian has no $dep for $arch"
    fi
    rmdir "$fetch/one"
done
for d in "$fetch"/*.deb "$deb"; do
    dpkg-deb -x "$d" "$ROOT"
done
rm -rf "$fetch"
cp "$(command -v "$qemu")" "$ROOT/usr/bin/"
emulate() { chroot "$ROOT" "/usr/bin/$qemu" "$@"; }
echo "unpacked $(basename "$deb") with $(echo $deps | wc -w) dependencies ($fetched packages beyond the first stage's) into a $arch root"

# The programs start with the root's libraries.
emulate /usr/bin/temp-probe sim: > "$ROOT/probe.txt" 2>&1 || fail "temp-probe sim: failed: $(tail -n 3 "$ROOT/probe.txt")"
grep -q 'temperature' "$ROOT/probe.txt" || fail "temp-probe listed no sensor"

# temp sim: for a few cycles, as the service runs it: argv[0] in its state folder.
mkdir -p "$ROOT/var/lib/temp/sim"
start=$(date +%s%N)
# The root's own shell (emulated) changes folder and execs the emulator, a static program of this machine.
chroot "$ROOT" "/usr/bin/$qemu" /bin/sh -c \
    "cd /var/lib/temp/sim && TZ=UTC exec /usr/bin/$qemu -0 /var/lib/temp/sim/temp /usr/bin/temp sim:" \
    < /dev/null > "$ROOT/console.txt" 2>&1 &
pid=$!
# Each cycle ends with its "Next cycle........ HH:MM:SS.mmm" line.
ended() { grep -c '^Next cycle' "$ROOT/console.txt" 2>/dev/null || true; }
for _ in $(seq 1 240); do
    [ "$(ended)" -ge "$cycles" ] && break
    sleep 0.5
done
kill -TERM "$pid" 2>/dev/null || true
wait "$pid" && status=0 || status=$?
[ "$status" -eq 0 ] || fail "temp sim: ended with status $status after SIGTERM"
for f in temp.pd tempu.csv temp-history.db; do
    [ -s "$ROOT/var/lib/temp/sim/$f" ] || fail "temp sim: wrote no $f"
done
emulate /usr/bin/temp-history check --db /var/lib/temp/sim/temp-history.db > /dev/null || fail "temp-history check failed"
[ "$(ended)" -ge "$cycles" ] || fail "temp sim: $(ended) of $cycles cycles ended in 120 s"
# The mean period between the cycle stamps, in ms.
period=$(tr -d '\r' < "$ROOT/console.txt" | sed -nE 's/^Next cycle.* ([0-9]{2}):([0-9]{2}):([0-9]{2})\.([ 0-9]{3})$/\1 \2 \3 \4/p' |
         awk '{ t = ($1 * 3600 + $2 * 60 + $3) * 1000 + $4
                if (NR > 1) { d = t - p; if (d < 0) d += 86400000; s += d; n++ }
                p = t }
              END { if (n) printf "%.0f", s / n; else print "-" }')
echo "temp sim: in the $arch root: $(ended) cycles in $(( ($(date +%s%N) - start) / 1000000 )) ms, mean period $period ms"

# The virtual-clock bus: the same bytes as on every other architecture, with the
# root's libraries (the emulator's prefix is the root).
if ! TEMP_EMULATOR="$qemu -L $ROOT" bash tests/cross/same_files_test.sh "$ROOT/usr/bin/temp" \
        "$ROOT/usr/bin/temp-history" > "$ROOT/same.txt" 2>&1; then
    fail "the virtual-clock bus wrote other bytes in the $arch root: $(tail -n 5 "$ROOT/same.txt")"
fi
tail -n 1 "$ROOT/same.txt"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "target-root-test: $arch passed"

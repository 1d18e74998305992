#!/usr/bin/env bash
# Verifies the installed systemd unit with systemd-analyze, for instance 1, on a
# staged root that also holds the host's system units. Exit 77: tool missing.
# Usage: unit_verify_test.sh BUILD_DIR FACTS_FILE
set -u
build=$1
source "$(dirname "$0")/common.sh" "$2"

host_units=/lib/systemd/system
if ! command -v systemd-analyze >/dev/null || [ ! -f "$host_units/sysinit.target" ]; then
    echo "SKIP: systemd-analyze or the host's systemd units are not installed (Debian package systemd)"
    exit 77
fi
make_scratch

stage="$SCRATCH/stage"
DESTDIR="$stage" cmake --install "$build" > "$SCRATCH/install.log" 2>&1 || { cat "$SCRATCH/install.log" >&2; fail "cmake --install failed"; finish; }
mkdir -p "$stage/usr/lib/systemd/system"
cp -a -n "$host_units/." "$stage/usr/lib/systemd/system/"
instance="$PREFIX/$UNIT_DIR/temp@1.service"
ln -s temp@.service "$stage$instance"

# Any message, also "ignoring" warnings about unknown keys or values, is a fault.
out=$(systemd-analyze verify --man=no --root="$stage" "$instance" 2>&1)
status=$?
[ $status -eq 0 ] && [ -z "$out" ] || fail "systemd-analyze verify (status $status): $out"

# The sandbox must stay tight: systemd rates exposure from 0 (tight) to 10;
# this unit rates 1.1 on Debian 12.
report=$(systemd-analyze security --offline=yes --root="$stage" "$instance" 2>&1)
exposure=$(echo "$report" | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
if [ -z "$exposure" ]; then
    fail "no exposure rating: $report"
elif ! awk -v e="$exposure" 'BEGIN { exit !(e <= 1.2) }'; then
    echo "$report" >&2
    fail "exposure $exposure is above 1.2"
fi

# The MQTT drop-in, installed as an example and copied as its comment says:
# it opens IP sockets (IPv4, IPv6) and nothing else, and the rating stays at 2.0 or lower.
dropin=$(find "$stage" -path '*/examples/temp-mqtt.conf' | head -n 1)
if [ -z "$dropin" ]; then
    fail "the MQTT drop-in temp-mqtt.conf is not installed among the examples"
else
    mkdir -p "$stage/etc/systemd/system/temp@.service.d"
    cp "$dropin" "$stage/etc/systemd/system/temp@.service.d/mqtt.conf"
    out=$(systemd-analyze verify --man=no --root="$stage" "$instance" 2>&1)
    status=$?
    [ $status -eq 0 ] && [ -z "$out" ] || fail "systemd-analyze verify with the MQTT drop-in (status $status): $out"
    families=$(sed -n 's/^RestrictAddressFamilies=//p' "$dropin")
    [ "$families" = "AF_UNIX AF_NETLINK AF_INET AF_INET6" ] || fail "the drop-in allows the families '$families'"
    report=$(systemd-analyze security --offline=yes --root="$stage" "$instance" 2>&1)
    with=$(echo "$report" | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    if [ -z "$with" ]; then
        fail "no exposure rating with the MQTT drop-in: $report"
    elif ! awk -v e="$with" -v w="$exposure" 'BEGIN { exit !(e <= 2.0 && e > w) }'; then
        echo "$report" >&2
        fail "exposure with the MQTT drop-in $with: above 2.0, or not above $exposure (drop-in not read?)"
    fi
    echo "exposure without the MQTT drop-in $exposure, with it $with"
fi
finish

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

# verify UNIT WHAT: any message, also "ignoring" warnings about unknown keys or values, is a fault.
verify() {
    local out status
    out=$(systemd-analyze verify --man=no --root="$stage" "$1" 2>&1)
    status=$?
    [ $status -eq 0 ] && [ -z "$out" ] || fail "systemd-analyze verify$2 (status $status): $out"
}
# rate UNIT LIMIT WHAT: sets RATING to the unit's exposure (0 tight to 10), a fault above LIMIT.
rate() {
    local report
    report=$(systemd-analyze security --offline=yes --root="$stage" "$1" 2>&1)
    RATING=$(echo "$report" | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
    if [ -z "$RATING" ]; then
        fail "no exposure rating$3: $report"
    elif ! awk -v e="$RATING" -v l="$2" 'BEGIN { exit !(e <= l) }'; then
        echo "$report" >&2
        fail "exposure$3 $RATING is above $2"
    fi
}

verify "$instance" ""
# The sandbox must stay tight: this unit rates 1.1 on Debian 12.
rate "$instance" 1.2 ""
exposure=$RATING

# The MQTT drop-in, installed as an example and copied as its comment says:
# it opens IP sockets (IPv4, IPv6) and nothing else, and the rating stays at 2.0 or lower.
dropin=$(find "$stage" -path '*/examples/temp-mqtt.conf' | head -n 1)
if [ -z "$dropin" ]; then
    fail "the MQTT drop-in temp-mqtt.conf is not installed among the examples"
else
    mkdir -p "$stage/etc/systemd/system/temp@.service.d"
    cp "$dropin" "$stage/etc/systemd/system/temp@.service.d/mqtt.conf"
    verify "$instance" " with the MQTT drop-in"
    families=$(sed -n 's/^RestrictAddressFamilies=//p' "$dropin")
    [ "$families" = "AF_UNIX AF_NETLINK AF_INET AF_INET6" ] || fail "the drop-in allows the families '$families'"
    rate "$instance" 2.0 " with the MQTT drop-in"
    with=$RATING
    awk -v e="$with" -v w="$exposure" 'BEGIN { exit !(e > w) }' ||
        fail "exposure with the MQTT drop-in $with is not above $exposure (drop-in not read?)"
    echo "exposure without the MQTT drop-in $exposure, with it $with"
fi

# temp-web.service, where temp-web is built: verified as it is, and sandboxed at 2.0 or lower
# (it rates 1.1 on Debian 12: a dynamic user, read-only, IP sockets only).
if [ "${WITH_WEB:-0}" = 1 ]; then
    web_unit="$PREFIX/$UNIT_DIR/temp-web.service"
    verify "$web_unit" " of temp-web.service"
    rate "$web_unit" 2.0 " of temp-web.service"
    echo "temp-web.service's exposure $RATING"
fi
finish

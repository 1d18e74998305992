#!/bin/bash
# replay.sh PROBE SHIM FOLDER [--tamper]
#
# Replays a recording made by scripts/record-adapter.sh: temp-probe runs under
# umockdev-run with the recorded device and usbdevfs answers, and its report
# must equal the recorded one. Lines that depend on time (the time a sensor
# took) and the adapter's number in the first line are compared by shape.
#
# --tamper replays a copy whose status packet printed in the report has one
# byte changed: a test of this test. The comparison must then fail, so the
# exit statuses 0 and 1 swap.
#
# Exit status: 0 same report, 1 the report differs, 2 the recording or a tool is missing.
# REPLAY_PRELOAD (optional) goes first in LD_PRELOAD (the ASan runtime).
set -u
probe=$1 shim=$2 folder=$3 tamper=${4:-}

for file in device.umockdev usb.ioctl report.txt; do
  if [ ! -f "$folder/$file" ]; then
    echo "replay: $folder/$file is missing"
    exit 2
  fi
done
if ! command -v umockdev-run > /dev/null; then
  echo "replay: umockdev-run is not installed (package umockdev; scripts/install-deps.sh installs it)"
  exit 2
fi
node=$(sed -n '1s/^@DEV \([^ ]*\).*/\1/p' "$folder/usb.ioctl")
if [ -z "$node" ]; then
  echo "replay: $folder/usb.ioctl does not start with an @DEV line"
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ioctl=$folder/usb.ioctl
if [ "$tamper" = --tamper ]; then
  # The packet the report prints is the first status packet (endpoint 129)
  # after the one carrying the opening's reset result; its speed byte changes.
  ioctl=$work/tampered.ioctl
  awk '
    !done && $1 ~ /^USBDEVFS_REAPURB/ && $4 == 129 {
      if (seen_result) {
        hex = $10
        byte = substr(hex, 3, 2) == "01" ? "02" : "01"
        $0 = substr($0, 1, length($0) - length(hex)) substr(hex, 1, 2) byte substr(hex, 5)
        done = 1
      } else if ($8 > 16) {
        seen_result = 1
      }
    }
    { print }
    END { if (!done) exit 3 }' "$folder/usb.ioctl" > "$ioctl" || { echo "replay: no status packet to tamper with"; exit 2; }
  cmp -s "$folder/usb.ioctl" "$ioctl" && { echo "replay: tampering changed nothing"; exit 2; }
fi

# umockdev-run puts its preload library after ours. The ASan runtime must come
# first in temp-probe alone: umockdev-run itself hangs with it preloaded.
run=("$probe")
if [ -n "${REPLAY_PRELOAD:-}" ]; then
  run=(sh -c 'LD_PRELOAD="$0:$LD_PRELOAD" exec "$@"' "$REPLAY_PRELOAD" "$probe")
fi
status=0
LD_PRELOAD="$shim" timeout 120 \
  umockdev-run -d "$folder/device.umockdev" -i "$node=$ioctl" -- "${run[@]}" \
  > "$work/report.txt" 2> "$work/stderr.txt" || status=$?

shape() {
  sed -E -e '1s/^(temp-probe: adapter \\\\\.\\DS2490-)[0-9]+$/\1N/' \
         -e 's/^(    time taken: )[0-9]+( ms)$/\1N\2/' "$1"
}
shape "$folder/report.txt" > "$work/expected"
shape "$work/report.txt" > "$work/actual"
pass=0 fail=1
[ "$tamper" = --tamper ] && pass=1 fail=0
# Status 3 is a bus fault the report names in its verdict: recordings may hold one.
if { [ "$status" -eq 0 ] || [ "$status" -eq 3 ]; } && diff -u "$work/expected" "$work/actual" > "$work/diff"; then
  echo "replay: $(basename "$folder")${tamper:+ (tampered)}: the report matches the recording"
  exit $pass
fi
echo "replay: $(basename "$folder")${tamper:+ (tampered)}: the report differs from the recording (temp-probe exit status $status)"
[ -s "$work/diff" ] || diff -u "$work/expected" "$work/actual" > "$work/diff"
cat "$work/diff"
sed 's/^/stderr: /' "$work/stderr.txt" | head -20
exit $fail

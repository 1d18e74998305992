#!/bin/bash
# Records a DS2490 adapter and its bus while temp-probe checks them, into one
# folder that becomes a regression test when it is put under
# tests/usb/recordings/ (see docs/usb.md, "Recording your adapter").
#
#   scripts/record-adapter.sh [--probe PATH] [ADAPTER] FOLDER
#       ADAPTER is \\.\DS2490-N (default \\.\DS2490-1). Needs umockdev-record
#       (package umockdev) and access to the adapter (the udev rule).
#
#   scripts/record-adapter.sh --emulated BUSFILE --host PATH [--probe PATH] FOLDER
#       A synthetic recording: the software adapter with BUSFILE behind an
#       emulated USB device (PATH is the build's tests/usb/usb_adapter_host).
#       umockdev-record cannot trace a program inside a umockdev testbed, so
#       the emulation writes the same recording format itself.
#
# The folder gets:
#   device.umockdev  the adapter's sysfs and udev description (umockdev-record)
#   usb.ioctl        every usbdevfs request of the session and its answer
#   report.txt       temp-probe's report
#   README           adapter, bus and what the recording holds
set -euo pipefail

usage() {
  sed -n '2,14s/^# \{0,1\}//p' "$0" >&2
  exit 2
}

probe=""
emulated=""
host=""
while [ $# -gt 0 ]; do
  case "$1" in
    --probe) probe=${2:?}; shift 2 ;;
    --emulated) emulated=${2:?}; shift 2 ;;
    --host) host=${2:?}; shift 2 ;;
    -h|--help) usage ;;
    -*) echo "record-adapter: unknown option $1" >&2; usage ;;
    *) break ;;
  esac
done
case $# in
  1) adapter='\\.\DS2490-1'; folder=$1 ;;
  2) adapter=$1; folder=$2 ;;
  *) usage ;;
esac

if [ -z "$probe" ]; then
  here=$(cd "$(dirname "$0")/.." && pwd)
  for candidate in "$here/build/probe/temp-probe" "$(command -v temp-probe || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then probe=$candidate; break; fi
  done
fi
[ -n "$probe" ] && [ -x "$probe" ] || { echo "record-adapter: temp-probe not found; give it with --probe PATH" >&2; exit 1; }
probe=$(cd "$(dirname "$probe")" && pwd)/$(basename "$probe")

if [ -e "$folder" ] && [ -n "$(ls -A "$folder" 2>/dev/null)" ]; then
  echo "record-adapter: $folder exists and is not empty; give a new folder" >&2
  exit 1
fi
mkdir -p "$folder"
folder=$(cd "$folder" && pwd)
trap 'echo "record-adapter: failed; $folder holds what was recorded so far" >&2' ERR

if [ -n "$emulated" ]; then
  [ -x "$host" ] || { echo "record-adapter: --emulated needs --host PATH (tests/usb/usb_adapter_host)" >&2; exit 1; }
  [ -r "$emulated" ] || { echo "record-adapter: cannot read the bus file $emulated" >&2; exit 1; }
  bus=1 address=2
  status=0
  USB_HOST_DEVICE_FILE="$folder/device.umockdev" USB_HOST_IOCTL_FILE="$folder/usb.ioctl" \
    "$host" "$emulated" "$probe" "$adapter" > "$folder/report.txt" 2> "$folder/stderr.txt" || status=$?
  kind="SYNTHETIC: made from the software DS2490 (simulator) with the bus file $emulated,
behind the emulated USB device of tests/usb. It is not a recording of hardware."
else
  command -v umockdev-record > /dev/null ||
    { echo "record-adapter: umockdev-record is missing; install the package umockdev" >&2; exit 1; }
  number=${adapter##*-}
  case "$number" in ''|*[!0-9]*) echo "record-adapter: an adapter name is \\\\.\\DS2490-N" >&2; exit 2 ;; esac
  # The N-th DS2490 in bus/address order, as temp counts them.
  found=$(for dev in /sys/bus/usb/devices/*; do
            [ -r "$dev/idVendor" ] && [ -r "$dev/busnum" ] || continue
            [ "$(cat "$dev/idVendor")" = 04fa ] && [ "$(cat "$dev/idProduct")" = 2490 ] || continue
            printf '%03d %03d\n' "$(cat "$dev/busnum")" "$(cat "$dev/devnum")"
          done | sort | sed -n "${number}p")
  [ -n "$found" ] || { echo "record-adapter: no DS2490 number $number is connected (lsusb -d 04fa:2490)" >&2; exit 1; }
  read -r bus address <<< "$found"
  node=/dev/bus/usb/$bus/$address
  umockdev-record "$node" > "$folder/device.umockdev"
  rm -f "$folder/usb.ioctl"
  status=0
  umockdev-record --ioctl "$node=$folder/usb.ioctl" -- "$probe" "$adapter" \
    > "$folder/report.txt" 2> "$folder/stderr.txt" || status=$?
  bus=$((10#$bus)) address=$((10#$address))
  kind="A recording of a real adapter."
fi

# 3: the adapter answered and the report names a fault on the bus; worth keeping too.
if [ "$status" -ne 0 ] && [ "$status" -ne 3 ]; then
  echo "record-adapter: temp-probe ended with status $status; nothing to replay:" >&2
  cat "$folder/stderr.txt" >&2
  exit 1
fi
[ -s "$folder/stderr.txt" ] || rm -f "$folder/stderr.txt"

serials=$(sed -n 's/^  \([0-9A-F]\{16\}\)  family.*/  \1/p' "$folder/report.txt")
cat > "$folder/README" <<EOF
Recording of a DS2490 adapter, made by scripts/record-adapter.sh on $(date -u +%Y-%m-%d).

$kind

Adapter: $adapter, USB bus $bus, address $address.
Checked with: temp-probe, as in report.txt.

Files:
  device.umockdev  the adapter's sysfs and udev description
  usb.ioctl        the usbdevfs requests of the session and the adapter's answers
  report.txt       what temp-probe reported
Replayed by CTest as usb_replay_$(basename "$folder") (tests/usb/replay.sh).

What it holds besides the adapter: the registration numbers (serial numbers) of
the devices on this 1-Wire bus, the temperatures read, and in device.umockdev
the sysfs description of the USB controllers and hubs the adapter hangs on. Nothing is removed:
the replay needs all of it. The devices:
${serials:-  (none)}
EOF
echo "Recorded into $folder:"
ls -l "$folder"

#!/usr/bin/env bash
# Installs the Debian packages a job needs; does nothing when all are present.
# Usage: scripts/install-deps.sh [--run | --test | --cross ARCH]...
#   --run         what the build and `temp sim:` need (the default): compiler, CMake, libusb, SQLite
#   --test        --run plus every test tool: GoogleTest, Qt 6 for the viewer, umockdev, packaging checks,
#                 static analysis, Prometheus, the Windows build under wine (x86 only) and the arm64 cross
#                 build (x86-64 only); what this machine's architecture lacks is left out and named
#   --cross ARCH  --run plus the cross build for ARCH (arm64, armhf): Debian's cross compiler, the
#                 ARCH libraries (multiarch) and qemu-user to run the tests
set -euo pipefail

# What the build of the logger and a run on the software adapter need.
run_packages=(
  g++ cmake make pkg-config
  libusb-1.0-0-dev
  libsqlite3-dev
)

# The tests and the scripts in scripts/ (tools of essential packages, such as
# setpriv and flock, need none).
test_packages=(
  googletest libgtest-dev libgmock-dev
  qt6-base-dev qt6-charts-dev libqt6opengl6-dev
  umockdev libumockdev-dev
  # CPack's Debian generator: dpkg-shlibdeps (dpkg-dev) and file.
  dpkg-dev file
  # Packaging checks: systemd-analyze and systemd-sysusers, desktop-file-validate, man, lintian.
  desktop-file-utils systemd man-db lintian
  clang libclang-rt-14-dev clang-tidy cppcheck strace python3
  prometheus prometheus-node-exporter prometheus-alertmanager
  sqlite3
  # MQTT: the library, and the broker, clients, certificates and checks of its tests.
  libmosquitto-dev mosquitto mosquitto-clients openssl python3-jsonschema python3-jinja2
  # scripts/bench.sh (and its smoke run under CTest): valgrind (callgrind_annotate), gnuplot, and
  # GNU time for the export's peak memory.
  valgrind gnuplot-nox time
  # scripts/karvix-screenshot.sh: Xvfb, xwininfo, import, and xdotool (opens the chart).
  xvfb xauth x11-utils imagemagick xdotool
  # temp-web: its HTTP and JSON libraries, the chart library it serves, and the real browser of its tests.
  libcpp-httplib-dev nlohmann-json3-dev libjs-dygraphs libjs-chart.js chromium chromium-driver python3-selenium
)
# The Windows build and its tests under wine: wine runs Windows programs on x86 only.
windows_packages=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64)

# The cross build for one Debian architecture: compiler, libraries of that
# architecture, GoogleTest's sources, the emulator and the package tools.
cross_packages() {  # arch
  local triplet
  case $1 in
    arm64) triplet=aarch64-linux-gnu ;;
    armhf) triplet=arm-linux-gnueabihf ;;
    *) echo "install-deps: unknown cross architecture '$1' (arm64, armhf)" >&2; exit 2 ;;
  esac
  echo "crossbuild-essential-$1 g++-$triplet qemu-user-static googletest dpkg-dev file"
  # The run-time libraries of ARCH, which qemu-user loads for the tests.
  echo "libusb-1.0-0-dev:$1 libsqlite3-dev:$1 libmosquitto-dev:$1 libc6:$1 libstdc++6:$1 libgcc-s1:$1"
  # temp-web: cpp-httplib of ARCH and the libraries it is built with; nlohmann-json is architecture-free.
  echo "libcpp-httplib-dev:$1 libssl-dev:$1 libbrotli-dev:$1 zlib1g-dev:$1 nlohmann-json3-dev"
}

jobs=()
cross=()
while [ $# -gt 0 ]; do
  case $1 in
    --run|--test) jobs+=("${1#--}") ;;
    --cross) [ $# -ge 2 ] || { echo "install-deps: --cross needs an architecture" >&2; exit 2; }
             cross_packages "$2" >/dev/null
             cross+=("$2"); shift ;;
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "install-deps: unknown option '$1' (--run, --test, --cross ARCH)" >&2; exit 2 ;;
  esac
  shift
done
[ ${#jobs[@]} -gt 0 ] || [ ${#cross[@]} -gt 0 ] || jobs=(run)

host=$(dpkg --print-architecture)
wanted=("${run_packages[@]}")
left_out=()
for job in "${jobs[@]}"; do
  [ "$job" = test ] || continue
  wanted+=("${test_packages[@]}")
  case $host in
    amd64|i386) wanted+=("${windows_packages[@]}") ;;
    *) left_out+=("${windows_packages[@]} (the Windows build: wine runs on x86 only)") ;;
  esac
  # CI cross-builds arm64 and runs its tests under qemu: from an x86-64 machine.
  if [ "$host" = amd64 ]; then
    cross+=(arm64)
  else
    left_out+=("the arm64 cross build (made on x86-64 machines)")
  fi
done
foreign=()
for arch in ${cross[@]+"${cross[@]}"}; do
  [ "$arch" = "$host" ] && { echo "install-deps: $arch is this machine's own architecture: nothing to cross-build" >&2; continue; }
  read -r -a extra <<<"$(cross_packages "$arch" | tr '\n' ' ')"
  wanted+=("${extra[@]}")
  foreign+=("$arch")
done

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}
missing=()
for p in "${wanted[@]}"; do
  installed "$p" || missing+=("$p")
done

say_left_out() {
  local what
  for what in ${left_out[@]+"${left_out[@]}"}; do
    echo "install-deps: left out on $host: $what"
  done
}
if [ ${#missing[@]} -eq 0 ]; then
  say_left_out
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}. Run this as root (or install them with apt-get)." >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
for arch in ${foreign[@]+"${foreign[@]}"}; do
  dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
done
# One index that fails to download (a mirror in the middle of a sync) fails the
# whole update, yet apt keeps the lists it had: try once more, then go on with
# those. Only packages that then cannot be installed fail the script.
lists_current=1
if ! apt-get update -qq; then
  echo "install-deps: apt-get update failed; trying once more" >&2
  if ! apt-get update -qq; then
    echo "install-deps: apt-get update failed again; going on with the package lists apt has" >&2
    lists_current=0
  fi
fi
# Packages Debian does not have for this architecture are left out and named;
# with stale lists a missing candidate may be the lists' fault, so it fails.
available=()
unlisted=()
for p in "${missing[@]}"; do
  candidate=$(apt-cache policy "$p" 2>/dev/null | sed -n 's/^ *Candidate: //p')
  if [ -n "$candidate" ] && [ "$candidate" != "(none)" ]; then
    available+=("$p")
  elif [ "$lists_current" = 1 ]; then
    left_out+=("$p (not in Debian for $host)")
  else
    unlisted+=("$p")
  fi
done
say_left_out
failed=()
if [ ${#available[@]} -gt 0 ]; then
  echo "Installing: ${available[*]}"
  if ! apt-get install -y -qq --no-install-recommends "${available[@]}"; then
    for p in "${available[@]}"; do
      installed "$p" || failed+=("$p")
    done
    [ ${#failed[@]} -gt 0 ] || failed=("${available[@]}")
  fi
fi
if [ ${#unlisted[@]} -gt 0 ]; then
  echo "install-deps: not in apt's package lists (the update failed): ${unlisted[*]}" >&2
fi
if [ ${#failed[@]} -gt 0 ]; then
  echo "install-deps: could not install: ${failed[*]}" >&2
fi
[ ${#unlisted[@]} -eq 0 ] && [ ${#failed[@]} -eq 0 ]

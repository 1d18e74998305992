#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need; does nothing when all are present.
set -euo pipefail

# Every tool a build, a test or a script in scripts/ calls, by its Debian 12
# package (tools of essential packages, such as setpriv and flock, need none).
packages=(
  g++ cmake make pkg-config
  googletest libgtest-dev libgmock-dev
  qt6-base-dev qt6-charts-dev libqt6opengl6-dev
  libusb-1.0-0-dev
  umockdev libumockdev-dev
  # CPack's Debian generator: dpkg-shlibdeps (dpkg-dev) and file.
  dpkg-dev file
  # Packaging checks: systemd-analyze and systemd-sysusers, desktop-file-validate, man.
  desktop-file-utils systemd man-db
  clang libclang-rt-14-dev clang-tidy cppcheck strace python3
  prometheus prometheus-node-exporter prometheus-alertmanager
  libsqlite3-dev sqlite3
  # MQTT: the library, and the broker, clients, certificates and checks of its tests.
  libmosquitto-dev mosquitto mosquitto-clients openssl python3-jsonschema python3-jinja2
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64
  # scripts/bench.sh (and its smoke run under CTest): valgrind (callgrind_annotate), gnuplot, and
  # GNU time for the export's peak memory.
  valgrind gnuplot-nox time
  # scripts/karvix-screenshot.sh: Xvfb, xwininfo, import, and xdotool (opens the chart).
  xvfb xauth x11-utils imagemagick xdotool
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}. Run this as root (or install them with apt-get)." >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"

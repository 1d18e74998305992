#!/usr/bin/env bash
# Builds the Debian package and checks it: scripts/package.sh [BUILD_DIR]
# The package is built in its own tree (default build-deb) with the prefix /usr,
# so the paths written into the systemd unit and the desktop entry are the
# installed ones. Prints the path of the .deb.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-deb}

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
      -DTEMP_BUILD_TESTS=OFF -DTEMP_SANITIZE=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)"
rm -f "$dir"/temp_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/temp_*.deb)
bash tests/packaging/deb_test.sh "$dir" "$dir/packaging/packaging-facts.sh" "$deb" >/dev/null
echo "$deb"

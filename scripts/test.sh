#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: under AddressSanitizer
# and UndefinedBehaviorSanitizer, the Windows build under wine, then plainly.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

bash scripts/build.sh build-asan -DTEMP_SANITIZE=ON -DTEMP_BUILD_TESTS=ON
(cd build-asan && ctest -j2 --no-tests=error --output-on-failure --timeout 600 -LE 'no-sanitize|longrun')

# The Windows build of the logger, its unit tests under wine.
bash scripts/windows-test.sh

bash scripts/build.sh build -DTEMP_SANITIZE=OFF -DTEMP_BUILD_TESTS=ON
cd build
# The simulated year (label longrun) runs in scripts/soak-year.sh, not here.
ctest -j2 --no-tests=error --output-on-failure --timeout 600 -LE longrun

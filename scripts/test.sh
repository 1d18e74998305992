#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once plainly and once
# under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

bash scripts/build.sh build-asan -DTEMP_SANITIZE=ON -DTEMP_BUILD_TESTS=ON
(cd build-asan && ctest -j2 --output-on-failure --timeout 600 -LE no-sanitize)

bash scripts/build.sh build -DTEMP_SANITIZE=OFF -DTEMP_BUILD_TESTS=ON
cd build
ctest -j2 --output-on-failure --timeout 600

#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: under AddressSanitizer
# and UndefinedBehaviorSanitizer, the Windows build under wine, the arm64 cross
# build under qemu-user, then plainly. Prints how long each part took.
set -euo pipefail
cd "$(dirname "$0")/.."

timed() {  # name command...: runs the command, then prints its time
    local name=$1 start=$(date +%s)
    shift
    "$@"
    echo "test.sh: $name took $(( $(date +%s) - start )) s"
}

timed install-deps bash scripts/install-deps.sh --test

asan() {
    bash scripts/build.sh build-asan -DTEMP_SANITIZE=ON -DTEMP_BUILD_TESTS=ON
    (cd build-asan && ctest -j2 --no-tests=error --output-on-failure --timeout 600 -LE 'no-sanitize|longrun')
}
timed asan asan

# The Windows build of the logger, its unit tests under wine (x86 only).
timed windows bash scripts/windows-test.sh

# The arm64 build (without the viewer), every test of the programs under qemu-aarch64.
if [ "$(dpkg --print-architecture)" = amd64 ]; then
    timed arm64 bash scripts/cross-test.sh arm64
else
    echo "test.sh: the arm64 cross build is left out: it is made on x86-64 machines"
fi

plain() {
    bash scripts/build.sh build -DTEMP_SANITIZE=OFF -DTEMP_BUILD_TESTS=ON
    (cd build && ctest -j2 --no-tests=error --output-on-failure --timeout 600 -LE longrun)
}
timed plain plain

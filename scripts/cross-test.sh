#!/usr/bin/env bash
# Cross-builds the logger and its tests for an ARM board and runs the tests
# under qemu-user, in one command: scripts/cross-test.sh ARCH [BUILD_DIR]
#   ARCH is arm64 (64-bit boards) or armhf (32-bit ARMv7); BUILD_DIR defaults to build-ARCH.
# The viewer is left out (a window needs a display and Qt for the target); so are
# tests labelled display (a real window) or wine (the Windows build), and
# no-emulation (tests that watch the host kernel's view of the program, such as
# strace traces, which the emulator changes). Needs root the first time, to install
# the cross tools (scripts/install-deps.sh --cross ARCH).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
arch=${1:?usage: cross-test.sh arm64|armhf [BUILD_DIR]}
case $arch in
  arm64) triplet=aarch64-linux-gnu ;;
  armhf) triplet=arm-linux-gnueabihf ;;
  *) echo "cross-test: unknown architecture '$arch' (arm64, armhf)" >&2; exit 2 ;;
esac
build=${2:-build-$arch}
case $build in /*) ;; *) build=$root/$build ;; esac

bash scripts/install-deps.sh --cross "$arch"

start=$(date +%s)
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$triplet.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTEMP_BUILD_VIEWER=OFF -DTEMP_BUILD_TESTS=ON -DTEMP_BUILD_BENCH=OFF -DTEMP_SANITIZE=OFF \
    -DGTest_DIR="$root/cmake/gtest-source" ${launcher[@]+"${launcher[@]}"} >/dev/null
cmake --build "$build" -j"$(nproc)"
built=$(date +%s)
echo "cross-test: $arch built in $(( built - start )) s"
cd "$build"
ctest -j"$(nproc)" --no-tests=error --output-on-failure --timeout 900 -LE '^(display|wine|no-emulation|longrun)$'
echo "cross-test: $arch tests passed under $(grep -o 'qemu-[a-z0-9]*-static' CMakeCache.txt | head -n 1) in $(( $(date +%s) - built )) s"

#!/usr/bin/env bash
# Cross-builds temp.exe for Windows with mingw-w64, statically linked.
# Usage: scripts/windows-build.sh ARCH [BUILD_DIR] [TARGET...]
#   ARCH is i686 (32-bit) or x86_64 (64-bit); BUILD_DIR defaults to build-win32 or build-win64;
#   TARGETs default to temp. The tests are configured too (GoogleTest from
#   /usr/src/googletest) and run under wine through scripts/windows-wine-run.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
arch=${1:?usage: windows-build.sh i686|x86_64 [BUILD_DIR] [TARGET...]}
default_build=build-win64
[ "$arch" = i686 ] && default_build=build-win32
build=${2:-$default_build}
shift $(( $# >= 2 ? 2 : 1 ))
case $arch in i686|x86_64) ;; *) echo "unknown architecture $arch" >&2; exit 2;; esac
case $build in /*) ;; *) build=$root/$build;; esac
cmake -S "$root" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DTEMP_BUILD_VIEWER=ON \
    -DTEMP_BUILD_TESTS=ON \
    -DGTest_DIR="$root/cmake/gtest-source" \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$root/scripts/windows-wine-run.sh;$build/wine-prefix" >/dev/null
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(temp)
cmake --build "$build" -j2 --target "${targets[@]}"

#!/usr/bin/env bash
# The Windows build in CI: cross-builds temp.exe for 32 and 64 bits with
# mingw-w64 and runs the 64-bit unit tests under wine. Exits 0 with a
# "skipped" line when mingw-w64 or wine can't be installed.
set -uo pipefail
cd "$(dirname "$0")/.."

packages=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64)
have_tools() {
    command -v x86_64-w64-mingw32-g++-posix && command -v i686-w64-mingw32-g++-posix &&
        { command -v wine || [ -x /usr/lib/wine/wine64 ]; } && [ -d /usr/src/googletest ]
}
if ! have_tools >/dev/null; then
    if [ "$(id -u)" -eq 0 ]; then
        apt-get install -y --no-install-recommends "${packages[@]}" googletest >/dev/null 2>&1 ||
            { apt-get update >/dev/null 2>&1 &&
              apt-get install -y --no-install-recommends "${packages[@]}" googletest >/dev/null 2>&1; }
    fi
    if ! have_tools >/dev/null; then
        echo "windows-test: skipped (mingw-w64 or wine could not be installed: ${packages[*]})"
        exit 0
    fi
fi

set -e
start=$(date +%s)
tests=(support_tests onewire_tests onewire_sim_tests simulator_tests logger_unit_tests win32_backend_tests)
bash scripts/windows-build.sh i686 build-win32 temp
bash scripts/windows-build.sh x86_64 build-win64 temp "${tests[@]}"
(cd build-win64 && ctest -j2 --no-tests=error --output-on-failure --timeout 600)
echo "windows-test: passed in $(( $(date +%s) - start )) s"

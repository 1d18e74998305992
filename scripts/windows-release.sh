#!/usr/bin/env bash
# Builds temp.exe, Karvix.exe and temp-probe.exe for 32- and 64-bit Windows and
# packs temp-win32.zip and temp-win64.zip (the three programs and README.txt,
# the Windows notes with CR LF line ends) in the current directory or in OUT_DIR.
# Usage: scripts/windows-release.sh [OUT_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-.}" && cd "${1:-.}" && pwd)
for pair in win32:i686 win64:x86_64; do
    name=${pair%%:*}
    arch=${pair#*:}
    build=$root/build-$name
    bash "$root/scripts/windows-build.sh" "$arch" "$build" temp Karvix temp-probe
    stage=$(mktemp -d)
    "$arch-w64-mingw32-strip" -o "$stage/temp.exe" "$build/logger/temp.exe"
    "$arch-w64-mingw32-strip" -o "$stage/Karvix.exe" "$build/viewer/Karvix.exe"
    "$arch-w64-mingw32-strip" -o "$stage/temp-probe.exe" "$build/probe/temp-probe.exe"
    sed 's/$/\r/' "$root/docs/windows.md" >"$stage/README.txt"
    rm -f "$out/temp-$name.zip"
    (cd "$stage" && cmake -E tar cf "$out/temp-$name.zip" --format=zip temp.exe Karvix.exe temp-probe.exe README.txt)
    rm -rf "$stage"
    echo "wrote $out/temp-$name.zip"
done

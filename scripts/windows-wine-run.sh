#!/usr/bin/env bash
# Runs one Windows program under wine, for CTest (CMAKE_CROSSCOMPILING_EMULATOR).
# Usage: windows-wine-run.sh PREFIX PROGRAM.exe [ARGUMENTS...]
#
# One wine prefix per build tree. The wine server is started once, persistent,
# with every descriptor closed and under a lock: a server that wine started
# itself would inherit CTest's output pipe and hold each test open for seconds.
# A non-zero exit is printed as "wine-run: exit status N" for the tests' patterns.
set -u
prefix=$1
shift
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=$(command -v wine || echo /usr/lib/wine/wine64)
server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
mkdir -p "$prefix"
(
    flock 9
    # A second server for the same prefix ends at once; this one stays 60 s after the last program.
    "$server" -p60 </dev/null >/dev/null 2>&1 9>&-
    # Wine's own services (started by the first program after the server) live as long as the server:
    # started here, every time, so that they never hold the test's output open. A warm server makes
    # this a quick no-op run.
    "$wine" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 9>&-
) 9>"$prefix.lock"
"$wine" "$@"
status=$?
[ "$status" -eq 0 ] || echo "wine-run: exit status $status"
exit "$status"

# Helpers of the screenshot scripts (sourced): a private Xvfb and waiting for a window.

# start_xvfb WORK_DIR SCREEN: starts Xvfb on a display it chooses itself (a
# fixed one may still be held by a server shutting down); sets xvfb_pid and
# exports DISPLAY.
start_xvfb() {
    Xvfb -displayfd 3 -screen 0 "$2" -nolisten tcp 3>"$1/display" 2>/dev/null &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "$1/display" ] && break
        sleep 0.1
    done
    [ -s "$1/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
    export DISPLAY=":$(head -n1 "$1/display")"
}

# wait_for_window PATTERN TENTHS: waits up to TENTHS tenths of a second for a
# window whose name matches PATTERN (grep); ends the script when none appears.
wait_for_window() {
    for _ in $(seq "$2"); do
        xwininfo -root -tree 2>/dev/null | grep -q "$1" && return 0
        sleep 0.1
    done
    echo "window $1 did not appear" >&2
    exit 1
}

#!/usr/bin/env bash
# Runs the installed temp-web the way temp-web.service does (the command of its
# ExecStart= with the options of its Environment= and of the environment file,
# as an unprivileged user), in a network namespace of its own with a second
# address on its loopback device: it must answer on 127.0.0.1:8080 and be out
# of reach on the other address and on ::1. Then, with the environment file
# the unit's comment suggests (--listen 0.0.0.0:8080), the other address
# answers: the refusal was the default's, not the network's.
# Exit 77 (skipped) where no network namespace can be made (needs root).
# Usage: web_service_test.sh BUILD_DIR FACTS_FILE
set -u
build=$1
source "$(dirname "$0")/common.sh" "$2"

if [ "${WITH_WEB:-0}" != 1 ]; then
    echo "SKIP: temp-web is not built here (libcpp-httplib-dev, nlohmann-json3-dev)"
    exit 77
fi
if ! unshare --net true 2>/dev/null || ! command -v ip >/dev/null; then
    echo "SKIP: no network namespace can be made here (unshare --net needs root; ip is in iproute2)"
    exit 77
fi
make_scratch

stage="$SCRATCH/stage"
DESTDIR="$stage" cmake --install "$build" --component web > "$SCRATCH/install.log" 2>&1 || { cat "$SCRATCH/install.log" >&2; fail "cmake --install failed"; finish; }
unit="$stage$PREFIX/$UNIT_DIR/temp-web.service"
[ -f "$unit" ] || { fail "temp-web.service is not installed"; finish; }

# ExecStart=PROGRAM $TEMP_WEB_OPTIONS, the options from Environment= and, where it exists, the environment file.
read -r -a words <<< "$(key_value "$unit" ExecStart)"
program=${words[0]}
[ "${words[1]:-}" = '$TEMP_WEB_OPTIONS' ] && [ ${#words[@]} -eq 2 ] || fail "ExecStart is not PROGRAM \$TEMP_WEB_OPTIONS: ${words[*]}"
defaults=$(grep '^Environment=' "$unit" | sed 's/^Environment=//; s/^"//; s/"$//')
case $defaults in TEMP_WEB_OPTIONS=*) ;; *) fail "the unit sets no TEMP_WEB_OPTIONS: $defaults" ;; esac
envfile=$(key_value "$unit" EnvironmentFile)
envfile=${envfile#-}
[ "$envfile" = /etc/default/temp-web ] || fail "the environment file is $envfile"

# A logger's folder to show, below the scratch state root.
state="$SCRATCH/state"
mkdir -p "$state/1"
printf '1796810400.000,10A1B2C3D4E5F601,BE3200FFFF00000B1060,21.000,21.500 \r\n' > "$state/1/tempu.csv"
chmod -R a+rX "$SCRATCH"

# One run in a fresh network namespace: ENVFILE_TEXT (may be empty) as the environment file.
# Prints one line per probe: "ADDRESS STATUS" (an HTTP status, or refused/unreachable/timeout).
run_in_namespace() {
    local envfile_text=$1 options
    options=${defaults#TEMP_WEB_OPTIONS=}
    if [ -n "$envfile_text" ]; then
        options=$(echo "$envfile_text" | sed -n 's/^TEMP_WEB_OPTIONS=//p')
    fi
    unshare --net bash -s -- "$stage$program" "$state" "$options" "$SCRATCH" "${EMULATOR:-}" <<'END'
set -u
program=$1 state=$2 options=$3 scratch=$4
# A cross build runs the program under its emulator (EMULATOR in the facts).
read -r -a emulator <<< "$5"
ip link set lo up
ip addr add 192.0.2.1/32 dev lo
# As systemd splits $TEMP_WEB_OPTIONS: into words at blanks. An unprivileged user, as DynamicUser= gives.
# shellcheck disable=SC2086
setpriv --reuid=65534 --regid=65534 --clear-groups ${emulator[@]+"${emulator[@]}"} "$program" $options --dir "$state/1" \
    > "$scratch/web.out" 2>&1 &
web=$!
python3 - "$web" <<'PY'
import errno, os, socket, sys, time
pid = int(sys.argv[1])
def probe(family, host):
    try:
        s = socket.socket(family, socket.SOCK_STREAM)
        s.settimeout(10)
        s.connect((host, 8080))
    except ConnectionRefusedError:
        return "refused"
    except OSError as e:
        return "unreachable" if e.errno in (errno.ENETUNREACH, errno.EADDRNOTAVAIL) else "error-" + str(e.errno)
    with s:
        s.sendall(b"GET /api/v1/loggers HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        data = b""
        while True:
            piece = s.recv(65536)
            if not piece:
                break
            data += piece
    return data.split(b" ", 2)[1].decode() if data.startswith(b"HTTP/") else "garbled"
# Wait until it listens (it says so first); a generous bound for a loaded machine.
end = time.monotonic() + 60
while time.monotonic() < end:
    try:
        os.kill(pid, 0)
    except OSError:
        print("exited")
        sys.exit(0)
    if probe(socket.AF_INET, "127.0.0.1") == "200" or probe(socket.AF_INET, "192.0.2.1") == "200":
        break
    time.sleep(0.1)
for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET, "192.0.2.1"), (socket.AF_INET6, "::1")):
    print(host, probe(family, host))
PY
kill -TERM "$web"
wait "$web"
echo "status $?"
END
}

out=$(run_in_namespace "")
echo "by default: $(echo "$out" | tr '\n' ';') ($(head -n 1 "$SCRATCH/web.out"))"
echo "$out" | grep -qx '127.0.0.1 200' || fail "no answer on 127.0.0.1:8080: $out $(cat "$SCRATCH/web.out")"
echo "$out" | grep -qx '192.0.2.1 refused' || fail "another address is not refused: $out"
echo "$out" | grep -qE '^::1 (refused|unreachable)$' || fail "::1 is not refused: $out"
echo "$out" | grep -qx 'status 0' || fail "temp-web did not end with status 0 on SIGTERM: $out"

# The environment file as the unit's comment tells: the other address answers.
comment=$(sed -n 's/^#[[:space:]]*\(TEMP_WEB_OPTIONS=.*\)$/\1/p' "$unit" | head -n 1)
[ -n "$comment" ] || fail "the unit's comment names no TEMP_WEB_OPTIONS line for the environment file"
out=$(run_in_namespace "$comment")
echo "with $comment: $(echo "$out" | tr '\n' ';')"
echo "$out" | grep -qx '192.0.2.1 200' || fail "with $comment the other address does not answer: $out"
finish

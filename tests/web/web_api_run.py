#!/usr/bin/python3
# temp on the software adapter with the history on, and temp-web over its
# folder: the API with a plain HTTP client agrees with tempu.csv and the
# history; bad, hostile, oversized and slow requests get their 4xx or are cut
# off and the server stays up; and with temp-web reading all the while, the
# logger's files and console are byte for byte those of a run without it.
import json
import os
import re
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import webrun  # noqa: E402

args = webrun.arguments()
A, B, C = webrun.serial16("10A1B2C3D4E5F6"), webrun.serial16("10112233445566"), webrun.serial16("10223344556677")
NEVER = webrun.serial16("10998877665544")  # in the place table, never on the bus
START = webrun.start_of_run()
BUS = f"""timing off
clock virtual {START}
sensor 10A1B2C3D4E5F6 21.5
sensor 10112233445566 18..22/600
sensor 10223344556677 19
fault crc 10223344556677 conversion=5
fault interrupt conversion=5
"""
TABLE = f"{A} 1 Kitchen\r\n{B} 2 <b>Hall</b><script>alert(1)</script>\r\n{C} 3 Cellar\r\n{NEVER} 4 Attic\r\n"
failures = []


def same_console(a, b):
    """Equal consoles but for the device list's time, which the logger takes from the system clock before
    the software adapter sets its virtual one (two runs a second apart differ there; slow under an emulator)."""
    stamp = re.compile(rb"^\d\d/\d\d/\d\d - \d\d:\d\d:\d\d (List of devices:)", re.M)
    a, b = stamp.sub(rb"\1", a), stamp.sub(rb"\1", b)
    if a != b:
        print("consoles differ:", [x for x in zip(a.split(b"\n"), b.split(b"\n")) if x[0] != x[1]][:3])
    return a == b


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, flush=True)


def get_json(web, path, status=200):
    code, headers, body = web.get(path)
    check(code == status, f"{path}: status {code}, wanted {status}: {body[:300]!r}")
    check(headers.get("Content-Type", "").startswith("application/json"), f"{path}: JSON content type")
    return json.loads(body)


with webrun.Scratch() as root:
    # A run without temp-web: the files and console as they should be.
    alone = webrun.Logger(args.temp, root, "1")
    alone.write("Direct Access table.txt", TABLE)
    console_alone = alone.run(BUS)
    files = ["temp.pd", "tempu.csv", "USBerr.txt"]
    expected = {name: alone.read(name) for name in files}
    os.rename(alone.folder, os.path.join(root, "alone"))

    # The same run with temp-web asking for the overview and a series all the while.
    logger = webrun.Logger(args.temp, root, "1")
    logger.write("Direct Access table.txt", TABLE)
    web = webrun.Web(args.web, [logger.folder])
    stop = threading.Event()
    answered = [0]

    def ask():
        while not stop.is_set():
            for path in ("/api/v1/overview", f"/api/v1/sensors/{A}/history?from=1h"):
                code, _, _ = web.get(path)
                answered[0] += code in (200, 404)

    asker = threading.Thread(target=ask)
    asker.start()
    console = logger.run(BUS)
    webrun.wait_for("answers during the run", lambda: answered[0] > 2)
    stop.set()
    asker.join()
    check(same_console(console, console_alone), "the console is the same with temp-web reading")
    for name in files:
        mine, theirs = logger.read(name), expected[name]
        if name == "USBerr.txt":
            # Its start-up entries come before the software adapter starts the
            # virtual clock: real-clock stamps. From the device list on, virtual.
            cut = b"List of devices:\r\n"
            mine, theirs = mine[mine.index(cut):], theirs[theirs.index(cut):]
        check(mine == theirs and len(mine) > 0, f"{name} is byte for byte the same with temp-web reading")

    try:
        latest = webrun.measurement_lines(logger.read("tempu.csv"))
        check(set(latest) == {A, B}, f"tempu.csv holds A and B (C failed last): {latest}")

        # Every sensor: the good ones as tempu.csv has them, C failed without a temperature.
        sensors = {s["serial"]: s for s in get_json(web, "/api/v1/sensors")}
        check(set(sensors) == {A, B, C, NEVER}, f"every sensor: {sorted(sensors)}")
        for serial, (stamp, extended) in latest.items():
            s = sensors[serial]
            check(s["outcome"] == "good" and abs(s["temperature"] - float(extended)) < 1e-9,
                  f"{serial}: {s} against tempu.csv {extended}")
            seconds, millis = stamp.split(".")
            iso = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(int(seconds))) + "." + millis + "Z"
            check(s["time"] == iso, f"{serial}: time {s['time']} against tempu.csv {iso}")
            check(s["logger"] == "1" and len(s["serial"]) == 16, f"{serial}: logger and serial")
        check(sensors[C]["outcome"] == "crc" and sensors[C]["temperature"] is None, f"C failed: {sensors[C]}")
        check(sensors[B]["label"] == "<b>Hall</b><script>alert(1)</script>", "the label as written")
        check(sensors[A]["place"] == 1 and sensors[A]["label"] == "Kitchen", "place and label from the table")
        check(sensors[NEVER]["outcome"] == "none" and sensors[NEVER]["time"] is None, "a sensor that never read")

        loggers = get_json(web, "/api/v1/loggers")
        check(len(loggers) == 1 and loggers[0]["history"] == "ok", f"one logger with its history: {loggers}")
        check(loggers[0]["failed_today"] == 1, f"one failed reading today: {loggers[0]['failed_today']}")
        log_lines = [line for line in logger.read("USBerr.txt").decode().split("\r\n") if line.strip()]
        events = get_json(web, "/api/v1/loggers/1/events?n=5")["events"]
        check(events == log_lines[-5:], f"the event log's last entries: {events} against {log_lines[-5:]}")

        # A's series equals the history's raw rows, and the export is temp-history's, byte for byte.
        export = subprocess.run([args.history, "export", "--db", logger.path("temp-history.db"), "--serial", A,
                                 "--tier", "raw"], stdout=subprocess.PIPE, check=True).stdout.decode()
        rows = [line.split(",") for line in export.strip().split("\n")[1:]]
        series = get_json(web, f"/api/v1/sensors/{A}/history?from=first&points=5000")
        check(series["tier"] == "raw", f"a few minutes: the raw tier ({series['tier']})")
        check([p[2] for p in series["points"]] == [float(r[6]) for r in rows],
              f"the series equals the history's rows: {series['points']} against {rows}")
        since, until = rows[0][0], rows[-1][0]
        code, headers, body = web.get(f"/api/v1/sensors/{A}/export?tier=raw&from={since}&to={until}")
        mine = subprocess.run([args.history, "export", "--db", logger.path("temp-history.db"), "--serial", A,
                               "--tier", "raw", "--since", since, "--until", until],
                              stdout=subprocess.PIPE, check=True).stdout
        check(code == 200 and body == mine and len(body) > 100, f"the export equals temp-history's:\n{body}\n{mine}")
        check("attachment" in headers.get("Content-Disposition", ""), "the export is a download")
        nothing = get_json(web, f"/api/v1/sensors/{NEVER}/history")
        check(nothing["points"] == [], "a sensor that never read has an empty series")
        thin = get_json(web, f"/api/v1/sensors/{A}/history?from=first&points=2")
        check(len(thin["points"]) <= 2, "points bounds the series")

        # Bad requests: a 4xx with a JSON error naming what was wrong.
        for path, status, says in [
            ("/api/v1/sensors/10A1B2/history", 400, "serial"),
            ("/api/v1/sensors/ZZA1B2C3D4E5F6AA/history", 400, "serial"),
            ("/api/v1/sensors/FFFFFFFFFFFFFFFF/history", 404, "no logger"),
            (f"/api/v1/sensors/{A}/history?from=tomorrow", 400, "from"),
            (f"/api/v1/sensors/{A}/history?from=2000000000&to=1000000000", 400, "before"),
            (f"/api/v1/sensors/{A}/history?from=-999999999999", 400, "200 years"),
            (f"/api/v1/sensors/{A}/history?from=3650d&tier=raw", 400, "raw tier"),
            (f"/api/v1/sensors/{A}/history?points=99999", 400, "points"),
            ("/api/v1/loggers/%2e%2e/events", 400, "logger id"),
            ("/api/v1/sensors/..%2f..%2fetc%2fpasswd/history", 404, "no such"),
            ("/%2e%2e/%2e%2e/etc/passwd", 404, "no such"),
            ("/api/v1/nothing", 404, "no such"),
        ]:
            error = get_json(web, path, status)
            check(says in error.get("error", ""), f"{path}: {error}")
        for raw_path in (b"/../../etc/passwd", b"/api/v1/../../../etc/passwd", b"/%2e%2e%2f%2e%2e%2fetc%2fpasswd"):
            answer = web.raw(b"GET " + raw_path + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            check(answer.startswith(b"HTTP/1.1 4") and b"root:" not in answer, f"{raw_path}: {answer[:200]!r}")
        code, headers, body = web.get("/api/v1/sensors", method="POST")
        check(code == 405 and "GET" in headers.get("Allow", ""), f"POST: {code}")
        code, headers, body = web.get("/")
        check(code == 200 and headers.get("Content-Security-Policy") == "default-src 'self'", "the page and its CSP")
        check(b"http://" not in body and b"https://" not in body, "the page loads nothing from elsewhere")

        # An oversized header: refused or cut off, and the server answers on.
        answer = web.raw(b"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 100000 + b"\r\n\r\n")
        check(answer == b"" or answer.startswith(b"HTTP/1.1 4"), f"oversized header: {answer[:100]!r}")
        check(web.get("/api/v1/loggers")[0] == 200, "answers after an oversized header")

        # Slow and half-open clients: each is cut off by the read timeout, and
        # meanwhile the others are served.
        idle = []
        for i in range(20):
            s = socket.create_connection(("127.0.0.1", web.port), timeout=60)
            if i % 2:
                s.sendall(b"GET /api/v1/sensors HTTP/1.1\r\nHost: x\r\n")  # and never the blank line
            idle.append(s)
        code = webrun.wait_for("an answer beside 20 stalled clients",
                               lambda: web.get("/api/v1/loggers")[0], deadline_s=120)
        check(code == 200, f"served beside stalled clients: {code}")
        for s in idle:
            try:
                while s.recv(65536):
                    pass
                closed = True
            except socket.timeout:
                closed = False
            except ConnectionResetError:
                closed = True
            check(closed, "a stalled client is cut off")
            s.close()
        check(web.alive(), "temp-web is still running")
        check(web.get("/api/v1/sensors")[0] == 200, "and answers")
    finally:
        web.stop()
    check(web.process.returncode == 0, f"temp-web ends with status 0 on SIGTERM ({web.process.returncode})")

# HTTPS and basic authentication: a certificate and a password file of openssl's making.
with webrun.Scratch() as root:
    logger = webrun.Logger(args.temp, root, "1")
    logger.write("tempu.csv", "1796810400.000,%s,BE,21.000,21.500 \r\n" % A)
    cert, key, users = (os.path.join(root, name) for name in ("cert.pem", "key.pem", "users"))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1", "-days", "2", "-keyout", key, "-out", cert],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    hashed = subprocess.run(["openssl", "passwd", "-6", "-stdin"], input=b"s3cret pass\n", check=True,
                            stdout=subprocess.PIPE).stdout.decode().strip()
    with open(users, "w") as f:
        f.write("# temp-web users\nanna:" + hashed + "\n")
    import base64
    import ssl
    context = ssl.create_default_context(cafile=cert)
    web = webrun.Web(args.web, [logger.folder], ["--tls-cert", cert, "--tls-key", key, "--password-file", users],
                     context=context)
    try:
        check(web.base.startswith("https://"), f"HTTPS: {web.base}")

        def basic(user, password):
            return {"Authorization": "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()}

        code, headers, body = web.get("/api/v1/sensors")
        check(code == 401 and "Basic" in headers.get("WWW-Authenticate", ""), f"no password: {code}")
        for user, password in (("anna", "s3cret"), ("bert", "s3cret pass"), ("anna", "")):
            check(web.get("/api/v1/sensors", headers=basic(user, password))[0] == 401, f"{user}:{password!r} refused")
        code, _, body = web.get("/api/v1/sensors", headers=basic("anna", "s3cret pass"))
        check(code == 200 and json.loads(body)[0]["serial"] == A, f"the right password: {code} {body[:100]!r}")
        plain = web.raw(b"GET /api/v1/sensors HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        check(b"\"serial\"" not in plain, "no readings over plain HTTP on the TLS port")
        with open(f"/proc/{web.process.pid}/cmdline", "rb") as f:
            check(b"s3cret" not in f.read(), "no password on the command line")
    finally:
        web.stop()
    bad = subprocess.run([args.web, "--password-file", cert], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    check(bad.returncode == 2 and b"USER:HASH" in bad.stdout, f"a password file that isn't one: {bad.stdout!r}")

if failures:
    print(f"{len(failures)} checks failed")
    sys.exit(1)
print("web_api_run: every check passed")

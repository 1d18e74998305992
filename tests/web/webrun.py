# What the runs of temp-web's tests share: a logger's folder laid out as the
# service keeps it, temp on the software adapter with a virtual clock, and
# temp-web over that folder on a free loopback port.
import argparse
import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

DEADLINE_S = 120  # generous: a loaded machine is slow, a hung program fails


def crc8(data):
    crc = 0
    for byte in data:
        for _ in range(8):
            mix = (crc ^ byte) & 1
            crc >>= 1
            if mix:
                crc ^= 0x8C
            byte >>= 1
    return crc


def serial16(digits14):
    """The serial as the logger prints it: the 14 digits and their CRC8."""
    return digits14 + "%02X" % crc8(bytes.fromhex(digits14))


def arguments():
    p = argparse.ArgumentParser()
    p.add_argument("--temp", required=True)
    p.add_argument("--web", required=True)
    p.add_argument("--history", required=True)
    return p.parse_args()


def wait_for(what, done, deadline_s=DEADLINE_S, step_s=0.05):
    end = time.monotonic() + deadline_s
    while time.monotonic() < end:
        value = done()
        if value:
            return value
        time.sleep(step_s)
    raise AssertionError("timed out waiting for " + what)


class Logger:
    """A logger's folder (program and working directory in one, as the service has it)."""

    def __init__(self, temp, root, name="1"):
        self.temp = temp
        self.folder = os.path.join(root, name)
        os.makedirs(self.folder, exist_ok=True)

    def path(self, name):
        return os.path.join(self.folder, name)

    def read(self, name):
        try:
            with open(self.path(name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())

    def run(self, bus_text):
        """Runs temp sim:BUS until the bus's interrupt ends it; the console's bytes."""
        bus = self.folder + ".bus.txt"
        with open(bus, "w") as f:
            f.write(bus_text)
        env = dict(os.environ, TZ="UTC")
        done = subprocess.run([self.path("temp"), "sim:" + bus], executable=self.temp, cwd=self.folder,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              env=env, timeout=DEADLINE_S)
        os.remove(bus)
        assert done.returncode == 0, done.stdout.decode(errors="replace")
        return done.stdout


class Web:
    """temp-web on a free loopback port."""

    def __init__(self, program, dirs, extra=(), context=None):
        args = [program, "--listen", "127.0.0.1:0"]
        for d in dirs:
            args += ["--dir", d]
        args += list(extra)
        self.context = context  # an ssl.SSLContext for HTTPS
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        env=dict(os.environ, TZ="UTC"))
        line = self.process.stdout.readline().decode()
        m = re.search(r"listening on (https?)://127\.0\.0\.1:(\d+)/", line)
        assert m, "temp-web said: " + line
        self.port = int(m.group(2))
        self.base = "%s://127.0.0.1:%d" % (m.group(1), self.port)

    def get(self, path, method="GET", headers=None):
        """(status, headers, body) of one request with a plain HTTP client."""
        request = urllib.request.Request(self.base + path, method=method, headers=headers or {})
        try:
            with urllib.request.urlopen(request, timeout=60, context=self.context) as r:
                return r.status, dict(r.headers), r.read()
        except urllib.error.HTTPError as e:
            return e.code, dict(e.headers), e.read()

    def raw(self, data, read_timeout=60):
        """Sends bytes on a socket of its own; what comes back until the server closes."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=read_timeout) as s:
            s.sendall(data)
            got = b""
            while True:
                try:
                    piece = s.recv(65536)
                except ConnectionResetError:
                    break
                if not piece:
                    break
                got += piece
            return got

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        if self.alive():
            self.process.terminate()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


class Scratch:
    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="temp_web_")

    def __enter__(self):
        return self.path

    def __exit__(self, *exc):
        shutil.rmtree(self.path, ignore_errors=True)


def measurement_lines(data):
    """serial -> (stamp text, extended text) of tempu.csv's lines."""
    rows = {}
    for line in data.decode().split("\r\n"):
        fields = line.strip().split(",")
        if len(fields) == 5:
            rows[fields[1]] = (fields[0], fields[4].strip())
    return rows


def start_of_run():
    """A virtual clock start today (UTC), so failed readings count as today's, the same for every run."""
    now = int(time.time())
    midnight = now - now % 86400
    return max(midnight + 60, now - 600)

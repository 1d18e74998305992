#!/usr/bin/python3
# temp-web under load on loopback: CLIENTS clients each asking for the
# overview of 4 loggers of 39 sensors once a second for SECONDS seconds, as
# many open pages would. Latency percentiles, errors, and temp-web's CPU and
# resident memory meanwhile.
#
#   bench/web_load_bench.py --web build/web/temp-web --bench build/bench/web_bench [--clients 50] [--seconds 60]
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "web"))
import webrun  # noqa: E402


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--web", required=True)
    p.add_argument("--bench", required=True, help="web_bench, which builds the loggers' folders")
    p.add_argument("--clients", type=int, default=50)
    p.add_argument("--seconds", type=int, default=60)
    a = p.parse_args()
    work = tempfile.mkdtemp(prefix="web_load_bench_")
    try:
        subprocess.run([a.bench, "--keep", work], check=True, stdout=subprocess.DEVNULL)
        web = webrun.Web(a.web, [os.path.join(work, "loggers", str(i)) for i in range(1, 5)])
        latencies, errors = [], []
        lock = threading.Lock()
        end = time.monotonic() + a.seconds

        def client(offset):
            next_at = time.monotonic() + offset
            while True:
                time.sleep(max(0.0, next_at - time.monotonic()))
                if time.monotonic() >= end:
                    return
                t0 = time.monotonic()
                try:
                    with urllib.request.urlopen(web.base + "/api/v1/overview", timeout=30) as r:
                        r.read()
                        ok = r.status == 200
                except Exception as e:  # noqa: BLE001 - every failure counts as an error
                    ok = False
                    with lock:
                        errors.append(repr(e))
                with lock:
                    if ok:
                        latencies.append(time.monotonic() - t0)
                next_at += 1.0

        def ticks():
            with open(f"/proc/{web.process.pid}/stat") as f:
                return sum(int(x) for x in f.read().rsplit(")", 1)[1].split()[11:13])

        t0, c0 = time.monotonic(), ticks()
        threads = [threading.Thread(target=client, args=(i / a.clients,)) for i in range(a.clients)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        cpu = (ticks() - c0) / os.sysconf("SC_CLK_TCK") / (time.monotonic() - t0) * 100
        with open(f"/proc/{web.process.pid}/status") as f:
            rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        web.stop()
        latencies.sort()

        def pct(q):
            return latencies[min(len(latencies) - 1, int(q * len(latencies)))] * 1000

        print(f"{a.clients} clients x 1 request/s for {a.seconds} s: {len(latencies)} answered, {len(errors)} errors; "
              f"latency median {pct(0.5):.1f} ms, p99 {pct(0.99):.1f} ms, max {latencies[-1] * 1000:.1f} ms; "
              f"temp-web CPU {cpu:.1f} %, resident {rss / 1024:.1f} MiB; load average {os.getloadavg()[0]:.2f}")
        if errors:
            print("first errors:", errors[:3])
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

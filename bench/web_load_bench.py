#!/usr/bin/python3
# temp-web under load on loopback: CLIENTS clients each asking for the
# overview of 4 loggers of 39 sensors once a second for SECONDS seconds, as
# many open pages would. Latency percentiles, errors, and temp-web's CPU and
# resident memory meanwhile.
#
#   bench/web_load_bench.py --web build/web/temp-web --bench build/bench/web_bench [--clients 50] [--seconds 60]
#       [--temp build/logger/temp [--stack-bench build/bench/stack_bench] [--sensors 10] [--cycles 16]]
#
# With --temp, the logger's cycle beside that load, side by side: temp on the
# software adapter (timing model on, the real clock) in a folder of its own,
# run alone, then with temp-web serving that folder too while the clients ask
# all the time the logger runs, then alone again. Its cycle periods come from
# the console's cycle stamps; --stack-bench adds the modelled period.
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "web"))
import webrun  # noqa: E402


def logger_periods(temp, folder, sensors, cycles):
    """Runs temp sim: with SENSORS sensors for CYCLES cycles in FOLDER; the periods between its cycle stamps, ms."""
    os.makedirs(folder, exist_ok=True)
    bus = os.path.join(folder, "bus.txt")
    with open(bus, "w") as f:
        f.write("timing on\n")
        for i in range(sensors):
            f.write("sensor 10%012X %.1f\n" % (i + 1, 18 + i * 0.25))
        f.write("fault interrupt conversion=%d\n" % (cycles + 1))
    done = subprocess.run([os.path.join(folder, "temp"), "sim:" + bus], executable=temp, cwd=folder,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=1800)
    stamps = []
    for line in done.stdout.decode(errors="replace").replace("\r", "").split("\n"):
        m = re.search(r" (\d\d):(\d\d):(\d\d)\.([ \d]{3})$", line)
        if m:
            h, mi, se, ms = (int(x) for x in m.groups())
            stamps.append(((h * 60 + mi) * 60 + se) * 1000 + ms)
    periods = [(b - a) % 86400000 for a, b in zip(stamps, stamps[1:])]
    if len(periods) < 5:
        raise SystemExit("web_load_bench: too few cycle stamps from temp in " + folder)
    return periods


def describe(periods):
    q = sorted(periods)
    return (f"mean {statistics.mean(q):.1f} ms, median {statistics.median(q):.0f} ms, "
            f"min {q[0]} ms, max {q[-1]} ms ({len(q)} periods)")


def load(web, clients, keep_going, latencies, errors):
    """CLIENTS clients asking for the overview once a second each while keep_going() holds."""
    lock = threading.Lock()

    def client(offset):
        next_at = time.monotonic() + offset
        while True:
            time.sleep(max(0.0, next_at - time.monotonic()))
            if not keep_going():
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

    threads = [threading.Thread(target=client, args=(i / clients,)) for i in range(clients)]
    for t in threads:
        t.start()
    return threads


def percentile(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))] * 1000


def side_by_side(a, work):
    """The logger's cycle alone, beside temp-web under the load, and alone again."""
    model = ""
    if a.stack_bench:
        out = subprocess.run([a.stack_bench, "cycle-model", str(a.sensors), "3"], check=True,
                             stdout=subprocess.PIPE).stdout.decode()
        m = re.search(r"model_period_ms\s+([\d.]+)", out)
        model = f"; modelled period {float(m.group(1)):.0f} ms" if m else ""
    print(f"the logger: {a.sensors} sensors on the software adapter, timing model on, real clock, "
          f"{a.cycles} cycles{model}", flush=True)
    alone1 = logger_periods(a.temp, os.path.join(work, "alone1"), a.sensors, a.cycles)
    print("  alone:          " + describe(alone1), flush=True)

    live = os.path.join(work, "live")
    os.makedirs(live)
    web = webrun.Web(a.web, [os.path.join(work, "loggers", str(i)) for i in range(1, 5)] + [live])
    latencies, errors = [], []
    running = [True]
    threads = load(web, a.clients, lambda: running[0], latencies, errors)
    t0 = time.monotonic()
    try:
        loaded = logger_periods(a.temp, live, a.sensors, a.cycles)
    finally:
        running[0] = False
        for t in threads:
            t.join()
        web.stop()
    seconds = time.monotonic() - t0
    print("  beside the load: " + describe(loaded), flush=True)
    print(f"  the load meanwhile: {a.clients} clients x 1 request/s of the overview (4 loggers x 39 sensors and the "
          f"running logger) for {seconds:.0f} s: {len(latencies)} answered, {len(errors)} errors, "
          f"p99 {percentile(latencies, 0.99):.1f} ms, max {percentile(latencies, 1.0):.1f} ms", flush=True)
    if errors:
        print("  first errors:", errors[:3])
    alone2 = logger_periods(a.temp, os.path.join(work, "alone2"), a.sensors, a.cycles)
    print("  alone again:     " + describe(alone2), flush=True)
    both = alone1 + alone2
    print(f"  mean period beside the load / alone: {statistics.mean(loaded) / statistics.mean(both):.4f}; "
          f"load average {os.getloadavg()[0]:.2f}", flush=True)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--web", required=True)
    p.add_argument("--bench", required=True, help="web_bench, which builds the loggers' folders")
    p.add_argument("--clients", type=int, default=50)
    p.add_argument("--seconds", type=int, default=60)
    p.add_argument("--temp", help="the logger: also its cycle beside the load, side by side")
    p.add_argument("--stack-bench", help="stack_bench, for the modelled cycle period")
    p.add_argument("--sensors", type=int, default=10)
    p.add_argument("--cycles", type=int, default=16)
    a = p.parse_args()
    a.temp = a.temp and os.path.abspath(a.temp)  # it runs in its own folder
    work = tempfile.mkdtemp(prefix="web_load_bench_")
    try:
        subprocess.run([a.bench, "--keep", work], check=True, stdout=subprocess.DEVNULL)
        if a.temp:
            side_by_side(a, work)
            return
        web = webrun.Web(a.web, [os.path.join(work, "loggers", str(i)) for i in range(1, 5)])
        latencies, errors = [], []
        end = time.monotonic() + a.seconds

        def ticks():
            with open(f"/proc/{web.process.pid}/stat") as f:
                return sum(int(x) for x in f.read().rsplit(")", 1)[1].split()[11:13])

        t0, c0 = time.monotonic(), ticks()
        threads = load(web, a.clients, lambda: time.monotonic() < end, latencies, errors)
        for t in threads:
            t.join()
        cpu = (ticks() - c0) / os.sysconf("SC_CLK_TCK") / (time.monotonic() - t0) * 100
        with open(f"/proc/{web.process.pid}/status") as f:
            rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        web.stop()
        print(f"{a.clients} clients x 1 request/s for {a.seconds} s: {len(latencies)} answered, {len(errors)} errors; "
              f"latency median {percentile(latencies, 0.5):.1f} ms, p99 {percentile(latencies, 0.99):.1f} ms, "
              f"max {percentile(latencies, 1.0):.1f} ms; "
              f"temp-web CPU {cpu:.1f} %, resident {rss / 1024:.1f} MiB; load average {os.getloadavg()[0]:.2f}")
        if errors:
            print("first errors:", errors[:3])
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

#!/usr/bin/python3
# The chart side of temp-web in headless chromium:
#  1. the two chart libraries Debian packages (libjs-dygraphs, libjs-chart.js)
#     drawing a band of min/mean/max of 2,000 points, a year of hours and a
#     year of minutes: load of the script and time to draw, medians of 3;
#  2. temp-web's own page: a year of one sensor's minute rows, thinned to
#     2,000 points by the server, fetched and drawn;
#  3. temp-web's resident memory after that, and its CPU time over 60 s with
#     the overview open in the browser (it asks every second).
#
#   bench/web_chart_bench.py --web build/web/temp-web --bench build/bench/web_bench
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "web"))
import webrun  # noqa: E402

LIBRARIES = {
    "dygraphs 2.2.1": "/usr/share/javascript/dygraphs/dygraph.min.js",
    "Chart.js 3.9.1": "/usr/share/javascript/chart.js/chart.min.js",
}
LIMIT_S = 60  # a drawing that takes longer is reported as not drawn
SIZES = [("2,000 points", 2000), ("a year of hours", 8760), ("a year of minutes", 525600)]

PAGE = """<!doctype html><html><head><meta charset="utf-8"><script>window.beforeLib = performance.now()</script>
<script src="lib.js"></script><script>window.loadMs = performance.now() - window.beforeLib</script></head>
<body><div id="c" style="width:1000px;height:360px"><canvas id="k" width="1000" height="360"></canvas></div><script>
const N = %(n)d, t0 = Date.UTC(2025, 11, 1);
const rows = [];
for (let i = 0; i < N; i++) {
  const v = 15 + 10 * Math.sin(i * 2 * Math.PI / N) + 3 * Math.sin(i * 2 * Math.PI / 1440);
  rows.push([t0 + i * 60000, v - 0.2, v, v + 0.2]);
}
const start = performance.now();
if (%(dygraphs)s) {
  new Dygraph(document.getElementById('c'), rows.map(r => [new Date(r[0]), [r[1], r[2], r[3]]]),
              {labels: ['time', 'C'], customBars: true});
} else {
  const pts = k => rows.map(r => ({x: r[0], y: r[k]}));
  new Chart(document.getElementById('k'), {type: 'line',
    data: {datasets: [{data: pts(1), pointRadius: 0, borderWidth: 0},
                      {data: pts(2), pointRadius: 0, borderWidth: 1},
                      {data: pts(3), pointRadius: 0, borderWidth: 0, fill: '-2'}]},
    options: {animation: false, parsing: false, normalized: true, responsive: false,
              plugins: {decimation: {enabled: true, algorithm: 'min-max'}, legend: {display: false}},
              scales: {x: {type: 'linear'}}}});
}
requestAnimationFrame(() => requestAnimationFrame(() => {
  window.drawMs = performance.now() - start;
}));
</script></body></html>"""


def browser(profile):
    options = webdriver.ChromeOptions()
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run", "--user-data-dir=" + profile,
                 "--window-size=1100,900", "--allow-file-access-from-files"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return -1


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--web", required=True)
    p.add_argument("--bench", required=True, help="web_bench, which builds the year's folder")
    p.add_argument("--idle-seconds", type=int, default=60)
    p.add_argument("--idle-only", action="store_true", help="only the idle measurement (3.)")
    a = p.parse_args()
    work = tempfile.mkdtemp(prefix="web_chart_bench_")
    driver = browser(os.path.join(work, "profile"))
    try:
        print("## chart libraries, headless chromium (load: script fetch and parse; draw: constructor to 2nd frame)")
        for name, script in ({} if a.idle_only else LIBRARIES).items():
            folder = os.path.join(work, name.split()[0])
            os.makedirs(folder)
            shutil.copy(script, os.path.join(folder, "lib.js"))
            for label, n in SIZES:
                page = os.path.join(folder, f"{n}.html")
                with open(page, "w") as f:
                    f.write(PAGE % {"n": n, "dygraphs": "true" if "dygraphs" in name else "false"})
                draws, loads = [], []
                try:
                    for _ in range(3 if n < 100000 else 1):
                        driver.set_page_load_timeout(LIMIT_S)
                        driver.get("file://" + page)
                        webrun.wait_for("the drawing",
                                        lambda: driver.execute_script("return window.drawMs !== undefined"),
                                        deadline_s=LIMIT_S)
                        draws.append(driver.execute_script("return window.drawMs"))
                        loads.append(driver.execute_script("return window.loadMs"))
                    print(f"{name:15} {label:18} load {median(loads):7.1f} ms  draw {median(draws):8.1f} ms",
                          flush=True)
                except (TimeoutException, AssertionError):
                    print(f"{name:15} {label:18} not drawn within {LIMIT_S} s", flush=True)
                    driver.quit()
                    driver = browser(os.path.join(work, "profile"))

        print("## temp-web: a year of one sensor's minutes, thinned by the server, drawn by the page")
        data = os.path.join(work, "data")
        subprocess.run([a.bench, "--keep", data], check=True, stdout=subprocess.DEVNULL)
        web = webrun.Web(a.web, [os.path.join(data, "year")])
        try:
            if a.idle_only:
                raise StopIteration
            serial = json.loads(web.get("/api/v1/sensors")[2])[0]["serial"]
            driver.get(f"{web.base}/#/sensor/year/{serial}")
            webrun.wait_for("the sensor page", lambda: driver.execute_script("return !!window.tempChart"))
            fetches, draws = [], []
            for _ in range(5):
                result = driver.execute_async_script("""
                    const done = arguments[arguments.length - 1];
                    const t0 = performance.now();
                    fetch('/api/v1/sensors/%s/history?from=365d&points=2000&tier=minute').then(r => r.json()).then(s => {
                      const t1 = performance.now();
                      const rows = s.points.map(p => [new Date(p[0]), p[2] === null ? null : [p[1], p[2], p[3]]]);
                      const div = document.createElement('div');
                      div.style.width = '1000px'; div.style.height = '360px';
                      document.body.appendChild(div);
                      new Dygraph(div, rows, {labels: ['time', 'C'], customBars: true});
                      requestAnimationFrame(() => requestAnimationFrame(() => {
                        done([t1 - t0, performance.now() - t1, s.points.length]); div.remove(); }));
                    });""" % serial)
                fetches.append(result[0])
                draws.append(result[1])
            print(f"{result[2]} points: fetch (server and transfer) median {median(fetches):.1f} ms, "
                  f"draw median {median(draws):.1f} ms")
            print(f"temp-web resident memory after the year's requests: {rss_kib(web.process.pid) / 1024:.1f} MiB")
        except StopIteration:
            pass
        finally:
            web.stop()

        # Idle: the overview of 4 loggers of 39 sensors open, for a while.
        web = webrun.Web(a.web, [os.path.join(data, "loggers", str(i)) for i in range(1, 5)])
        try:
            driver.get(web.base + "/")
            webrun.wait_for("the overview", lambda: driver.execute_script(
                "return document.querySelectorAll('#overview .sensor').length") == 156)
            time.sleep(5)
            ticks0, t0 = cpu_ticks(web.process.pid), time.monotonic()
            time.sleep(a.idle_seconds)
            ticks1, t1 = cpu_ticks(web.process.pid), time.monotonic()
            hz = os.sysconf("SC_CLK_TCK")
            share = (ticks1 - ticks0) / hz / (t1 - t0) * 100
            print(f"temp-web with the overview of 4 x 39 sensors open, {a.idle_seconds} s: CPU {share:.2f} %, "
                  f"resident {rss_kib(web.process.pid) / 1024:.1f} MiB")
        finally:
            web.stop()
    finally:
        driver.quit()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()

#!/usr/bin/python3
# The page in a real browser (Debian's chromium, headless, driven by
# python3-selenium) against temp on the software adapter and temp-web: the
# overview's rows are tempu.csv's, a failed sensor shows no temperature, a
# label with markup shows as text, a new cycle shows without a reload, the
# sensor chart's points are the history's rows, and at 360 px nothing
# scrolls sideways. Exit 77 (skipped) without chromium, its driver or selenium.
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import webrun  # noqa: E402

CHROMIUM, DRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
try:
    from selenium import webdriver
    from selenium.common.exceptions import NoAlertPresentException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
except ImportError:
    print("SKIP: python3-selenium is not installed (scripts/install-deps.sh --test)")
    sys.exit(77)
for program in (CHROMIUM, DRIVER):
    if not os.access(program, os.X_OK):
        print(f"SKIP: {program} is missing (chromium, chromium-driver: scripts/install-deps.sh --test)")
        sys.exit(77)

args = webrun.arguments()
A, B, C = webrun.serial16("10A1B2C3D4E5F6"), webrun.serial16("10112233445566"), webrun.serial16("10223344556677")
LABEL_B = "<b>Hall</b><script>alert(1)</script><img/src=x/onerror=alert(2)>"
START = webrun.start_of_run()
SHOTS = os.environ.get("WEB_SCREENSHOTS")  # a folder: the docs' screenshots are taken there
CYCLES = 2500 if SHOTS else 40  # the screenshots want hours of readings behind the sparklines


def bus(start, cycles):
    return f"""timing off
clock virtual {start}
sensor 10A1B2C3D4E5F6 18..24/900
sensor 10112233445566 18..22/600
sensor 10223344556677 19
fault crc 10223344556677 conversion={cycles}
fault interrupt conversion={cycles}
"""


def js(driver, script, *arguments):
    return driver.execute_script(script, *arguments)


def row_texts(driver):
    """serial -> {temp, outcome, label, time} of the overview's rows."""
    return js(driver, """
        const rows = {};
        for (const r of document.querySelectorAll('#overview .sensor'))
          rows[r.dataset.serial] = {temp: r.querySelector('.temp').textContent,
                                    outcome: r.querySelector('.outcome').textContent,
                                    label: r.querySelector('.label').textContent,
                                    time: r.querySelector('.time').textContent,
                                    failed: r.classList.contains('failed')};
        return rows;""")


def no_sideways_scroll(driver):
    return js(driver, "return document.documentElement.scrollWidth <= window.innerWidth + 0.5")


with webrun.Scratch() as root:
    logger = webrun.Logger(args.temp, root, "1")
    logger.write("Direct Access table.txt", f"{A} 1 Kitchen\r\n{B} 2 {LABEL_B}\r\n{C} 3 Cellar\r\n")
    logger.run(bus(START - (CYCLES * 3 if SHOTS else 0), CYCLES))
    web = webrun.Web(args.web, [logger.folder])
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    profile = tempfile.mkdtemp(dir=root)
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                 "--disable-component-update", "--disable-sync", "--no-first-run", "--user-data-dir=" + profile,
                 "--window-size=1100,900"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    try:
        driver.get(web.base + "/")
        js(driver, "window.loadedOnce = true")  # gone if the page were reloaded

        # The rows are tempu.csv's; C's latest reading failed: no temperature.
        latest = webrun.measurement_lines(logger.read("tempu.csv"))
        assert set(latest) == {A, B}, latest
        rows = webrun.wait_for("the overview's rows", lambda: (r := row_texts(driver)) and len(r) == 3 and r)
        for serial, (_, extended) in latest.items():
            assert rows[serial]["temp"] == f"{float(extended):.3f} °C", (serial, rows[serial], extended)
            assert rows[serial]["outcome"] == "good", rows[serial]
        assert rows[C]["temp"] == "—" and "crc" in rows[C]["outcome"] and rows[C]["failed"], rows[C]
        # The label with markup is text: no element made from it, no alert.
        assert rows[B]["label"] == LABEL_B, rows[B]
        assert js(driver, "return document.querySelectorAll('#overview script, #overview img, #overview b').length") == 0
        try:
            driver.switch_to.alert
            raise AssertionError("an alert opened")
        except NoAlertPresentException:
            pass
        if SHOTS:
            webrun.wait_for("the sparklines", lambda: js(driver, "return document.querySelectorAll('.spark polyline').length") >= 2)
            driver.save_screenshot(os.path.join(SHOTS, "web-overview.png"))

        # A new cycle shows without a reload.
        before = row_texts(driver)[A]["time"]
        logger.run(bus(START + 300, 3))
        replaced = time.monotonic()
        webrun.wait_for("the new cycle on the page", lambda: row_texts(driver)[A]["time"] != before)
        shown = time.monotonic() - replaced
        assert js(driver, "return window.loadedOnce === true"), "the page was reloaded"
        latest = webrun.measurement_lines(logger.read("tempu.csv"))
        assert row_texts(driver)[A]["temp"] == f"{float(latest[A][1]):.3f} °C"
        print(f"the new cycle showed {shown:.2f} s after temp ended (the page asks every second)")

        # The sensor page: its chart holds the history's rows of the range.
        driver.find_element(By.CSS_SELECTOR, f'#overview .sensor[data-serial="{A}"]').click()
        webrun.wait_for("the chart", lambda: js(driver, "return !!window.tempChart && !!window.tempSeries"))
        # One hour: every reading is a point of its own (24 hours thin them to the chart's width).
        js(driver, "window.tempSeries = null")
        driver.find_element(By.CSS_SELECTOR, '#ranges button[data-range="3600"]').click()
        webrun.wait_for("the hour's chart", lambda: js(driver, "return !!window.tempSeries"))
        series = js(driver, "return window.tempSeries")
        assert series["tier"] == "raw", series["tier"]
        export = subprocess.run([args.history, "export", "--db", logger.path("temp-history.db"), "--serial", A,
                                 "--tier", "raw", "--since", series["from"], "--until", series["to"]],
                                stdout=subprocess.PIPE, check=True).stdout.decode()
        rows = [line.split(",") for line in export.strip().split("\n")[1:]]
        values = js(driver, """
            const g = window.tempChart, out = [];
            for (let i = 0; i < g.numRows(); i++) {
              const v = g.getValue(i, 1);
              if (v !== null) out.push(Array.isArray(v) ? v[1] : v);
            }
            return out;""")
        assert values == [float(r[6]) for r in rows], (values, rows)
        assert SHOTS or len(values) == CYCLES + 3, len(values)
        # The gap between the two runs is drawn as a gap (a row without a value).
        assert js(driver, "let n = 0; for (let i = 0; i < tempChart.numRows(); i++) n += tempChart.getValue(i, 1) === null; return n") >= 1
        # The tooltip: the exact value of the point under the pointer, its time in the browser's zone.
        canvas = driver.find_element(By.CSS_SELECTOR, "#chart canvas")
        ActionChains(driver).move_to_element(canvas).perform()
        legend = webrun.wait_for("the tooltip", lambda: js(driver, """
            const l = document.querySelector('.dygraph-legend');
            return l && l.textContent.includes('°C') ? l.textContent : '';"""))
        assert any(f"{float(r[6]):.4f} °C" in legend for r in rows), (legend, rows)
        # Drag to zoom: the range shown is fetched again, narrower.
        before = js(driver, "return [Date.parse(tempSeries.from), Date.parse(tempSeries.to)]")
        js(driver, "window.tempSeries = null")
        width = canvas.size["width"]
        ActionChains(driver).move_to_element_with_offset(canvas, -width // 4, 0).click_and_hold() \
            .move_by_offset(width // 3, 0).release().perform()
        webrun.wait_for("the zoomed series", lambda: js(driver, "return !!window.tempSeries"))
        after = js(driver, "return [Date.parse(tempSeries.from), Date.parse(tempSeries.to)]")
        assert before[0] < after[0] < after[1] < before[1], (before, after)
        csv = driver.find_element(By.ID, "csv").get_attribute("href")
        assert "/export?" in csv and "tier=raw" in csv, csv
        if SHOTS:
            driver.save_screenshot(os.path.join(SHOTS, "web-sensor.png"))

        # A phone: 360 px wide, nothing scrolls sideways, on either page.
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                               {"width": 360, "height": 740, "deviceScaleFactor": 2, "mobile": True})
        webrun.wait_for("the 360 px viewport", lambda: js(driver, "return window.innerWidth") == 360)
        webrun.wait_for("the chart at 360 px", lambda: js(driver, "return document.getElementById('chart').clientWidth <= 360"))
        assert no_sideways_scroll(driver), js(driver, "return document.documentElement.scrollWidth")
        js(driver, "location.hash = ''")
        webrun.wait_for("the overview at 360 px", lambda: len(row_texts(driver)) == 3)
        assert no_sideways_scroll(driver), js(driver, "return document.documentElement.scrollWidth")
        if SHOTS:
            driver.save_screenshot(os.path.join(SHOTS, "web-phone.png"))

        # Light and dark follow the system's choice, without a reload.
        colours = {"light": ("rgb(255, 255, 255)", "rgb(27, 31, 35)"), "dark": ("rgb(21, 24, 28)", "rgb(230, 232, 235)")}
        for scheme in ("dark", "light"):
            driver.execute_cdp_cmd("Emulation.setEmulatedMedia",
                                   {"features": [{"name": "prefers-color-scheme", "value": scheme}]})
            webrun.wait_for(f"the page in {scheme}", lambda: js(
                driver, "const s = getComputedStyle(document.body); return [s.backgroundColor, s.color]")
                == list(colours[scheme]))
            assert js(driver, f"return matchMedia('(prefers-color-scheme: {scheme})').matches"), scheme
        assert js(driver, "return window.loadedOnce === true"), "the page was reloaded"
        print("web_browser: every check passed")
    finally:
        driver.quit()
        web.stop()

#!/usr/bin/python3
"""What `mokctl view` costs: its CPU beside `mokctl stats` (the same client
without the viewer) at a given camera rate, without and with one headless
Chromium page, and the page's frame and update rates. Prints figures only.

usage: /usr/bin/python3 bench/view_cpu.py BUILD_DIR [RATE=10000] [SECONDS=10] [POINTS=1280]
(BUILD_DIR e.g. build/release; needs chromium, chromium-driver, python3-selenium)"""
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

build = sys.argv[1]
rate, seconds, points = (sys.argv[2:] + ["10000", "10", "1280"][len(sys.argv) - 2:])[:3]
seconds = float(seconds)
tick = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick


def browser(url):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1400,900", f"--user-data-dir={tempfile.mkdtemp(prefix='chromium-')}"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.get(url)
    return driver


def measure(address, command, page=False):
    args = [f"{build}/tools/mokctl/mokctl", command, address]
    if command == "stats":
        args += ["--seconds", str(seconds + 4)]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    url = driver = None
    if command == "view":
        url = re.search(r"(http://\S+)", proc.stdout.readline()).group(1)
        driver = browser(url) if page else None
    time.sleep(2)
    c0, t0 = cpu_seconds(proc.pid), time.monotonic()
    rates = []
    while time.monotonic() < t0 + seconds:
        time.sleep(1)
        if driver:
            rates.append(driver.execute_script("return [window.mokView.fps, window.mokView.updateRate]"))
    share = (cpu_seconds(proc.pid) - c0) / (time.monotonic() - t0)
    camera = json.load(urllib.request.urlopen(url + "api/state"))["rate_hz"] if url else None
    if driver:
        driver.quit()
    proc.send_signal(signal.SIGINT)
    proc.wait()
    return share, camera, rates


sim = subprocess.Popen([f"{build}/sim/mok-camsim", "--port", "0", "--duration", "300", "--rate", rate,
                        "--points", points], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
try:
    address = "127.0.0.1:" + re.search(r":(\d+)", sim.stdout.readline()).group(1)
    base, _, _ = measure(address, "stats")
    print(f"camera {rate} profiles/s of {points} points; CPU in % of one core")
    print(f"mokctl stats (the client alone): {100 * base:5.1f}%")
    alone, camera, _ = measure(address, "view")
    print(f"mokctl view, no page:           {100 * alone:5.1f}% (+{100 * (alone - base):.1f}), "
          f"camera seen at {camera:.0f}/s")
    paged, camera, rates = measure(address, "view", page=True)
    print(f"mokctl view, one page:          {100 * paged:5.1f}% (+{100 * (paged - base):.1f}), "
          f"camera seen at {camera:.0f}/s")
    if rates:
        print("page frames/s: " + " ".join(str(f) for f, _ in rates) +
              "; live updates/s: " + " ".join(str(u) for _, u in rates))
finally:
    sim.kill()

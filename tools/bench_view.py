"""Benchmark: how soon `kelvara view` shows a large run, and how fast it answers a click.

    python tools/bench_view.py [--size-mb 1500] [--layout gcms] [--keep FILE] [--clicks 20]

Writes a realistic synthetic run of about the given size with
tools/bench.py's generator (or reuses --keep FILE when it exists), starts
`kelvara view FILE --no-browser`, and prints:

- time to first view: from starting the command until headless Chromium
  (Debian's chromium and chromium-driver, through Selenium) has drawn the
  MS1 chromatogram; and until the address is printed (the run is open and
  its chromatograms computed);
- the page's size;
- per click: the median and slowest of --clicks spectrum requests at
  retention times spread over the run, as the page sends them;
- one XIC request (it reads every point of the run).
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

import bench  # noqa: E402
from cfbwriter import write_cfb  # noqa: E402

MAKERS = {"gcms": bench.gcms_file, "single_quad": bench.single_quad_file, "qtof": bench.qtof_file,
          "ttfl": bench.ttfl_file}


def fetch(url: str) -> tuple[float, bytes]:
    started = time.perf_counter()
    with urllib.request.urlopen(url, timeout=120) as response:
        body = response.read()
    return time.perf_counter() - started, body


def first_view(path: str):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.support.ui import WebDriverWait

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1600"):
        options.add_argument(argument)
    browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        started = time.perf_counter()
        server = subprocess.Popen([sys.executable, "-m", "kelvara_tools", "view", path, "--no-browser"],
                                  stdout=subprocess.PIPE, text=True)
        line = server.stdout.readline()
        announced = time.perf_counter() - started
        url = line.split(" at ")[1].split()[0]
        browser.get(url)
        WebDriverWait(browser, 120, 0.05).until(lambda b: b.execute_script(
            "return !!(window.Bokeh && Object.values(Bokeh.index).some(v => v.model.name === 'chrom1'"
            " && v.frame.bbox.width > 0))"))
        shown = time.perf_counter() - started
        return server, url.rstrip("/"), announced, shown
    finally:
        browser.quit()


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mb", type=float, default=1500.0)
    parser.add_argument("--layout", choices=sorted(MAKERS), default="gcms")
    parser.add_argument("--keep", metavar="FILE", help="write the run here and reuse it when it exists")
    parser.add_argument("--clicks", type=int, default=20)
    args = parser.parse_args()

    folder = tempfile.mkdtemp()
    path = args.keep or os.path.join(folder, "bench-view.qgd")
    if not os.path.exists(path):
        started = time.perf_counter()
        _, entries = MAKERS[args.layout](args.size_mb * 1e6)
        write_cfb(path, entries)
        print(f"wrote {path} in {time.perf_counter() - started:.0f} s")
    print(f"{os.path.getsize(path) / 1e6:.0f} MB, {os.cpu_count()} cores, "
          f"load average {' '.join(f'{x:.1f}' for x in os.getloadavg())}")

    server, url, announced, shown = first_view(path)
    try:
        print(f"address printed after {announced:.2f} s; first view drawn after {shown:.2f} s")
        _, page = fetch(url + "/")
        _, facts = fetch(url + "/api/facts")
        print(f"page {len(page) / 1e6:.2f} MB; facts {facts.decode()[:300]}")
        import json

        low, high = json.loads(facts)["retention_time_sec"]
        times = []
        for k in range(args.clicks):
            rt = low + (high - low) * (k + 0.5) / args.clicks
            seconds, _ = fetch(f"{url}/api/spectrum?rt={rt}&level=1")
            times.append(seconds)
        print(f"click (spectrum at a retention time): median {statistics.median(times) * 1e3:.1f} ms, "
              f"slowest {max(times) * 1e3:.1f} ms over {len(times)}")
        seconds, _ = fetch(f"{url}/api/xic?mz=73&tol=0.5&level=1")
        print(f"XIC over the whole run: {seconds:.2f} s")
    finally:
        server.terminate()
        server.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())

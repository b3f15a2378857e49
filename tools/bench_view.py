"""Benchmark: how soon `kelvara view` shows a large run, how fast it answers a click, and its memory.

    python tools/bench_view.py [--size-mb 1500] [--layout gcms] [--keep FILE] [--clicks 20]

Writes a realistic synthetic run of about the given size with
tools/bench.py's generator (or reuses --keep FILE when it exists), starts
`kelvara view FILE --no-browser`, and prints:

- time to first view: from starting the command until the address is
  printed, and until headless Chromium (Debian's chromium and
  chromium-driver, through Selenium) shows the MS1 chromatogram with its
  first points drawn;
- the page's size;
- per click: the median and slowest of --clicks spectrum requests at
  retention times spread over what has been read, as the page sends them,
  while the run is still being read and again once it is read whole;
- when the whole run has been read (a server that reads the run before it
  serves is complete at once);
- one XIC request over the whole run;
- the server's peak resident memory (VmHWM, Linux), and the load average.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.error
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
    with urllib.request.urlopen(url, timeout=300) as response:
        body = response.read()
    return time.perf_counter() - started, body


def progress(url: str) -> dict | None:
    """The server's reading progress; None from a server that has no such endpoint (it reads first)."""
    try:
        return json.loads(fetch(url + "/api/progress")[1])
    except urllib.error.HTTPError:
        return None


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
        # Drawn: the MS1 figure laid out, with points in its TIC.
        WebDriverWait(browser, 300, 0.05).until(lambda b: b.execute_script(
            "if (!window.Bokeh) return false;"
            "const view = Object.values(Bokeh.index).find(v => v.model.name === 'chrom1');"
            "if (!view || !(view.frame.bbox.width > 0)) return false;"
            "for (const doc of Bokeh.documents) { const m = doc.get_model_by_name('tic1');"
            "  if (m) return m.data.rt.length > 0; } return false;"))
        shown = time.perf_counter() - started
        return server, url.rstrip("/"), started, announced, shown
    finally:
        browser.quit()


def clicks(url: str, count: int) -> str:
    low, high = json.loads(fetch(url + "/api/facts")[1])["retention_time_sec"]
    times = []
    for k in range(count):
        rt = low + (high - low) * (k + 0.5) / count
        seconds, _ = fetch(f"{url}/api/spectrum?rt={rt}&level=1")
        times.append(seconds)
    return (f"median {statistics.median(times) * 1e3:.1f} ms, slowest {max(times) * 1e3:.1f} ms "
            f"over {len(times)}")


def peak_rss_mb(pid: int) -> float | None:
    try:
        with open(f"/proc/{pid}/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return None


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

    def load() -> str:
        return "load average " + " ".join(f"{x:.1f}" for x in os.getloadavg())

    print(f"{os.path.getsize(path) / 1e6:.0f} MB, {os.cpu_count()} cores, {load()}")
    server, url, started, announced, shown = first_view(path)
    try:
        print(f"address printed after {announced:.2f} s; first view drawn after {shown:.2f} s")
        _, page = fetch(url + "/")
        print(f"page {len(page) / 1e6:.2f} MB")
        state = progress(url)
        if state is not None and not state["complete"]:
            print(f"while reading ({state['spectra']:,} spectra read), click: {clicks(url, args.clicks)}")
        while state is not None and not state["complete"]:
            time.sleep(0.25)
            state = progress(url)
        if state is not None and state.get("error"):
            print(f"reading failed: {state['error']}")
        print(f"read whole after {time.perf_counter() - started:.2f} s")
        print(f"facts {fetch(url + '/api/facts')[1].decode()[:300]}")
        print(f"click (spectrum at a retention time): {clicks(url, args.clicks)}")
        seconds, _ = fetch(f"{url}/api/xic?mz=73&tol=0.5&level=1")
        print(f"XIC over the whole run: {seconds:.2f} s")
        rss = peak_rss_mb(server.pid)
        print(f"server's peak resident memory: {'unknown' if rss is None else f'{rss:,.0f} MB'}; {load()}")
    finally:
        server.terminate()
        server.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())

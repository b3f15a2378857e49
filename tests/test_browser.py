"""`kelvara view` and `kelvara report` in a real browser: headless Chromium driven by Selenium.

One browser serves every test of the module. The view tests click a
chromatogram where a chosen scan is drawn, read the spectrum panel and
compare it with the Run, draw an XIC through the form, and save a
screenshot under build/screenshots/. The report tests open the written
pages from disk and check that the browser fetched nothing from a network.

Skipped where Debian's chromium and chromium-driver (or selenium) are
missing on a developer machine; under CI (CI=true) they fail instead
(.ci/run installs them).
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

from kelvara_tools import read_run
from viewing import long_run, view_server

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
IN_CI = os.environ.get("CI") == "true"
try:
    import selenium  # noqa: F401
    import bokeh  # noqa: F401
    MISSING = None if CHROMIUM and CHROMEDRIVER else "chromium and chromium-driver (Debian) are not installed"
except ImportError as error:
    MISSING = f"{error.name} is not installed (pip install -r requirements-dev.txt)"
pytestmark = pytest.mark.skipif(MISSING is not None and not IN_CI, reason=str(MISSING))

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
SAMPLES = os.path.join(ROOT, "samples")
SCREENSHOTS = os.path.join(ROOT, "build", "screenshots")


@pytest.fixture(scope="module")
def browser():
    if MISSING is not None:
        pytest.fail(f"{MISSING}, and CI=true requires the browser tests")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1700",
                     "--hide-scrollbars"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The system driver, named here, so Selenium Manager never fetches one.
    # The browser is not ours to instrument: under the sanitizer build it
    # starts without the preloaded sanitizer runtime and its options.
    environment = {key: value for key, value in os.environ.items()
                   if key != "LD_PRELOAD" and not key.endswith("SAN_OPTIONS")}
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=environment), options=options)
    driver.set_page_load_timeout(60)
    os.makedirs(SCREENSHOTS, exist_ok=True)
    yield driver
    driver.quit()


def wait_for_figure(browser, name: str) -> None:
    from selenium.webdriver.support.ui import WebDriverWait

    WebDriverWait(browser, 30, 0.05).until(lambda b: b.execute_script(
        "return !!(window.Bokeh && Object.values(Bokeh.index).some(v => v.model.name === arguments[0]"
        " && v.frame.bbox.width > 0))", name))


def console_errors(browser) -> list[dict]:
    return [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]


def click_at_retention_time(browser, figure: str, rt: float) -> None:
    """Click the chromatogram where retention time rt is drawn, halfway up its plot area."""
    from selenium.webdriver.common.action_chains import ActionChains

    element, x, y = browser.execute_script("""
        const view = Object.values(Bokeh.index).find(v => v.model.name === arguments[0]);
        const box = view.el.getBoundingClientRect(), canvas = view.canvas_view.el.getBoundingClientRect();
        const x = canvas.left + view.frame.x_scale.compute(arguments[1]), y = canvas.top + view.frame.bbox.vcenter;
        return [view.el, x - (box.left + box.width / 2), y - (box.top + box.height / 2)];
    """, figure, rt)
    ActionChains(browser).move_to_element_with_offset(element, round(x), round(y)).click().perform()


def spectrum_panel(browser, index_before: str | None) -> dict:
    from selenium.webdriver.support.ui import WebDriverWait

    WebDriverWait(browser, 30, 0.05).until(lambda b: b.execute_script(
        "return document.getElementById('spectrum-info').dataset.index") not in (None, index_before))
    return browser.execute_script("""
        const info = document.getElementById('spectrum-info');
        return {text: info.textContent, index: Number(info.dataset.index),
                sticks: kelvara.model('spectrum_sticks').visible, line: kelvara.model('spectrum_line').visible,
                drawn: kelvara.model('spectrum_source').data.mz.length};
    """)


@pytest.mark.parametrize("sample, level", [
    ("lcms_qtof_centroid.lcd", 2), ("lcms_ttfl_profile.lcd", 1), ("gcms_ei_run.qgd", 1)])
def test_view_page(browser, sample, level):
    from selenium.webdriver.common.by import By

    path = os.path.join(SAMPLES, sample)
    run = read_run(path)
    with view_server(path) as url:
        browser.get(url + "/")
        wait_for_figure(browser, f"chrom{level}")
        assert run.layout in browser.find_element(By.ID, "facts").text
        if run.layout == "gcms":
            wait_for_figure(browser, "srm")

        # Click where a scan two fifths into the level's spectra is drawn.
        of_level = np.flatnonzero(run.ms_level == level)
        aim = float(run.retention_time_sec[of_level[len(of_level) * 2 // 5]])
        click_at_retention_time(browser, f"chrom{level}", aim)
        panel = spectrum_panel(browser, None)
        want = run.scan_at(aim, ms_level=level)
        assert panel["index"] == want.index
        assert f"RT {want.retention_time_sec:.2f} s" in panel["text"] and f"MS{level}" in panel["text"]
        profile = run.layout == "ttfl_profile"
        assert f"{len(want)} {'points' if profile else 'peaks'}" in panel["text"] and panel["drawn"] == len(want)
        assert (panel["line"], panel["sticks"]) == (profile, not profile)

        # An XIC at the clicked spectrum's base peak, over its level's chromatogram.
        base_mz = float(want.mz[np.argmax(want.intensity)])
        browser.find_element(By.ID, "xic-mz").send_keys(f"{base_mz}")
        browser.find_element(By.ID, "xic-tol").clear()
        browser.find_element(By.ID, "xic-tol").send_keys("20")
        browser.find_element(By.ID, "xic-unit").send_keys("ppm")
        browser.find_element(By.ID, "xic-level").send_keys(f"MS{level}")
        browser.find_element(By.CSS_SELECTOR, "#xic-form button").click()
        from selenium.webdriver.support.ui import WebDriverWait

        drawn = WebDriverWait(browser, 30, 0.05).until(lambda b: b.execute_script(
            "const d = kelvara.model(arguments[0]).data; return d.rt.length ? d : null", f"xic{level}"))
        xic = run.xic(base_mz, ppm=20, ms_level=level)
        assert drawn["rt"] == xic.retention_time_sec.tolist() and drawn["intensity"] == xic.intensity.tolist()
        assert max(drawn["intensity"]) >= float(want.intensity.max())
        assert "drawn in red" in browser.find_element(By.ID, "xic-status").text

        assert console_errors(browser) == []
        browser.save_screenshot(os.path.join(SCREENSHOTS, f"view-{run.layout}.png"))


def test_view_page_fills_in_while_the_run_is_read(browser, tmp_path):
    import threading

    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    from kelvara_tools._source import RunSource, decimate
    from kelvara_tools.view import ViewServer

    path = long_run(str(tmp_path))
    run = read_run(path)
    # Small batches with a pause between them: a walk of some seconds, as a large run gives.
    with RunSource(path, batch_points=10_000, _pause_between_batches=0.4) as source:
        server = ViewServer(source)
        serving = threading.Thread(target=server.serve_forever, daemon=True)
        serving.start()
        try:
            browser.get(server.url)
            wait_for_figure(browser, "chrom1")
            progress = browser.find_element(By.ID, "progress")
            WebDriverWait(browser, 30, 0.05).until(lambda b: "spectra so far" in progress.text)
            assert "Reading the run" in progress.text and progress.get_attribute("data-complete") == "false"
            assert 0 < len(browser.execute_script("return kelvara.model('tic1').data.rt")) < len(run)
            browser.save_screenshot(os.path.join(SCREENSHOTS, "view-reading.png"))

            WebDriverWait(browser, 120, 0.1).until(lambda b: progress.get_attribute("data-complete") == "true")
            assert f"Read whole: {len(run):,} spectra" in progress.text
            drawn = browser.execute_script("return kelvara.model('tic1').data")
            rt, intensity = decimate(*run.tic())
            assert list(drawn["rt"]) == rt.tolist() and list(drawn["intensity"]) == intensity.tolist()
            assert f"{len(run):,}" in browser.find_element(By.ID, "facts").text
            assert console_errors(browser) == []
            browser.save_screenshot(os.path.join(SCREENSHOTS, "view-read-whole.png"))
        finally:
            server.shutdown()
            server.server_close()


def test_reports_are_whole_offline_pages(browser, tmp_path):
    from selenium.webdriver.common.by import By

    inputs = sorted(os.path.join(SAMPLES, name) for name in os.listdir(SAMPLES))
    out = tmp_path / "report"
    result = subprocess.run([sys.executable, "-m", "kelvara_tools", "report", *inputs, "-o", str(out)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    for page, figure in (("index.html", "overlay"), ("gcms_ei_run.html", "peak1"),
                         ("lcms_ttfl_profile.html", "chrom1")):
        browser.get((out / page).as_uri())
        wait_for_figure(browser, figure)
        fetched = browser.execute_script(
            "return [location.href].concat(performance.getEntriesByType('resource').map(e => e.name))")
        assert all(url.split(":", 1)[0] in ("file", "data", "blob") for url in fetched), fetched
        assert console_errors(browser) == []
        browser.save_screenshot(os.path.join(SCREENSHOTS, f"report-{page.rsplit('.', 1)[0]}.png"))
    browser.get((out / "index.html").as_uri())
    rows = browser.find_elements(By.CSS_SELECTOR, "#totals tr")
    assert len(rows) == 1 + len(inputs)
    names = [row.find_elements(By.TAG_NAME, "td")[0].text for row in rows[1:]]
    assert sorted(names) == sorted(map(os.path.basename, inputs))

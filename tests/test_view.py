"""`kelvara view`'s server and `kelvara report`'s pages, checked against the Run they show.

The server is started as a user starts it (the command line, a free port)
and asked over HTTP; the page in a real browser is tests/test_browser.py.
"""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import urllib.request

import numpy as np
import pytest

pytest.importorskip("bokeh")

from kelvara_tools import read_run  # noqa: E402
from kelvara_tools._source import DRAW_POINTS, _running_max, decimate  # noqa: E402

from viewing import get, view_server  # noqa: E402

SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "samples")
GCMS = os.path.join(SAMPLES, "gcms_ei_run.qgd")


def kelvara(*args, **options):
    return subprocess.run([sys.executable, "-m", "kelvara_tools", *map(str, args)], capture_output=True, text=True,
                          timeout=300, **options)


@pytest.fixture(scope="module")
def gcms_server():
    with view_server(GCMS) as url:
        yield url


def test_answers_match_the_run(gcms_server):
    run = read_run(GCMS)
    status, facts = get(gcms_server + "/api/facts")
    assert status == 200
    assert (facts["spectra"], facts["points"], facts["layout"]) == (len(run), len(run.mz), "gcms")
    assert facts["spectra_by_ms_level"] == {"1": int(np.sum(run.ms_level == 1)), "2": int(np.sum(run.ms_level == 2))}
    assert facts["retention_time_sec"] == [run.retention_time_sec.min(), run.retention_time_sec.max()]

    for rt, level in ((300.0, 1), (450.2, 2), (10_000.0, 1)):
        _, spectrum = get(f"{gcms_server}/api/spectrum?rt={rt}&level={level}")
        want = run.scan_at(rt, ms_level=level)
        assert (spectrum["index"], spectrum["ms_level"], spectrum["points"]) == (want.index, level, len(want))
        assert spectrum["mz"] == want.mz.tolist() and spectrum["intensity"] == want.intensity.tolist()

    # Fewer spectra than drawn points: the chromatograms arrive whole.
    _, drawn = get(gcms_server + "/api/chromatograms?level=1")
    assert drawn["tic"]["intensity"] == run.tic().intensity.tolist()
    assert drawn["bpc"]["intensity"] == run.bpc().intensity.tolist()
    for window, keyword in (("tol=0.3", {"tol": 0.3}), ("ppm=50", {"ppm": 50})):
        _, xic = get(f"{gcms_server}/api/xic?mz=73.0&{window}&level=1")
        want = run.xic(73.0, **keyword)
        assert xic["rt"] == want.retention_time_sec.tolist() and xic["intensity"] == want.intensity.tolist()


def test_srm_traces_are_the_mrm_transitions(gcms_server):
    # The sample's MRM scans: one single-peak MS2 spectrum per transition.
    run = read_run(GCMS)
    ms2 = np.flatnonzero(run.ms_level == 2)
    _, traces = get(gcms_server + "/api/srm")
    assert sorted(t["product_mz"] for t in traces) == sorted(set(run.mz[run.offsets[ms2]].tolist()))
    assert sum(len(t["rt"]) for t in traces) == len(ms2)
    for trace in traces:
        mine = [i for i in ms2 if run.mz[run.offsets[i]] == trace["product_mz"]]
        assert trace["rt"] == run.retention_time_sec[mine].tolist()
        assert trace["intensity"] == run.intensity[run.offsets[mine]].tolist()


@pytest.mark.parametrize("path, status, words", [
    ("/api/spectrum?rt=abc", 400, "must be a number"),
    ("/api/spectrum?rt=nan", 400, "finite"),
    ("/api/spectrum", 400, "either index"),
    ("/api/spectrum?index=1&rt=3", 400, "either index"),
    ("/api/spectrum?index=992", 400, "from 0 to 991"),
    ("/api/spectrum?index=2.5", 400, "whole number"),
    ("/api/spectrum?rt=1&level=3", 400, "no spectra of MS level 3"),
    ("/api/spectrum?rt=1&rt=2", 400, "once"),
    ("/api/chromatograms", 400, "'level' is missing"),
    ("/api/xic?mz=73", 400, "tol=T"),
    ("/api/xic?mz=73&tol=1&ppm=5", 400, "one of the two"),
    ("/api/xic?mz=-5&tol=1", 400, "above 0"),
    ("/api/xic?mz=73&tol=0", 400, "above 0"),
    ("/api/nothing", 404, "endpoints"),
    ("/../../etc/passwd", 404, "endpoints"),
])
def test_bad_requests_get_a_message_and_the_server_goes_on(gcms_server, path, status, words):
    got, body = get(gcms_server + path)
    assert (got, body["status"]) == (status, status) and words in body["error"]
    assert get(gcms_server + "/api/spectrum?index=0")[0] == 200


def test_only_get_is_answered(gcms_server):
    request = urllib.request.Request(gcms_server + "/api/facts", data=b"{}", method="POST")
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(request, timeout=30)
    assert refused.value.code == 405


def test_ctrl_c_stops_the_server_cleanly():
    stopped = []
    with view_server(GCMS, stopped=stopped) as url:
        assert get(url + "/api/facts")[0] == 200
    status, stderr = stopped
    assert status == 130 and "Traceback" not in stderr and "stopped" in stderr


def test_unusable_inputs_fail_with_a_message(tmp_path):
    missing = kelvara("view", tmp_path / "none.qgd", "--no-browser")
    assert missing.returncode == 1 and "none.qgd" in missing.stderr and "Traceback" not in missing.stderr
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        busy = kelvara("view", GCMS, "--no-browser", "--port", taken.getsockname()[1])
    assert busy.returncode == 1 and "is in use" in busy.stderr
    assert kelvara("view", GCMS, "--port", "70000").returncode == 2


def test_decimation_keeps_every_extreme():
    rng = np.random.default_rng(5)
    y = rng.random(100_003)
    spikes = rng.choice(len(y), 40, replace=False)
    y[spikes] = 10.0 + np.arange(40)
    y[7] = -1.0
    x = np.cumsum(rng.random(len(y)))
    thin_x, thin_y = decimate(x, y)
    assert len(thin_y) <= DRAW_POINTS + 2 and np.all(np.diff(thin_x) > 0)
    assert set(y[spikes]) <= set(thin_y) and thin_y.min() == -1.0
    # Every kept point is a point of the trace, at its own position.
    positions = np.searchsorted(x, thin_x)
    assert np.array_equal(y[positions], thin_y)


@pytest.mark.parametrize("n, width", [(10, 3), (1000, 7), (1001, 13), (1000, 1000), (5, 5), (40_000, 801)])
def test_running_max_matches_the_window_by_window_maximum(n, width):
    # The apex search of a report's strongest peaks, against the plain definition.
    values = np.random.default_rng(n).random(n)
    want = np.lib.stride_tricks.sliding_window_view(values, width).max(axis=1)
    assert np.array_equal(_running_max(values, width), want)


# -- kelvara report -------------------------------------------------------------

def _long_run(folder) -> str:
    """A GC-MS run of more spectra than a chromatogram draws, with MRM scans."""
    from cfbwriter import write_cfb
    from gcms_encoders import gcms_entries, realistic_run

    path = os.path.join(folder, "long.qgd")
    write_cfb(path, gcms_entries(realistic_run(n_scans=8000, scan_ms=200, mrm_every=25, seed=9).records))
    return path


@pytest.fixture(scope="module")
def reports(tmp_path_factory):
    """`kelvara report` over the samples, a long run and a file that is no run."""
    folder = tmp_path_factory.mktemp("report")
    broken = folder / "broken.lcd"
    broken.write_bytes(b"not a compound file" * 100)
    inputs = sorted(os.path.join(SAMPLES, name) for name in os.listdir(SAMPLES))
    inputs += [_long_run(str(folder)), str(broken)]
    result = kelvara("report", *inputs, "-o", folder / "out")
    return inputs, folder / "out", result


def test_report_pages_are_bounded_and_whole(reports):
    inputs, out, result = reports
    assert result.returncode == 1 and "broken.lcd" in result.stderr
    assert f"{len(inputs) - 1} of {len(inputs)} runs reported" in result.stdout
    names = sorted(os.listdir(out))
    assert names == sorted(["index.html"] + [os.path.basename(p).rsplit(".", 1)[0] + ".html" for p in inputs[:-1]])
    (out.parent / "plain").write_text("")
    modes = {os.stat(out / name).st_mode & 0o777 for name in names}
    assert modes == {os.stat(out.parent / "plain").st_mode & 0o777}
    sizes = {name: os.path.getsize(out / name) for name in names}
    assert max(sizes.values()) < 3_000_000, sizes
    # The long run (8,640 spectra) is drawn with no more than a small sample.
    assert sizes["long.html"] < sizes["gcms_ei_run.html"] + 250_000
    index = (out / "index.html").read_text()
    assert "broken.lcd" in index and "(1 failed)" in index
    for path in inputs[:-1]:
        run = read_run(path)
        assert f"{len(run):,}" in index and f"{len(run.mz):,}" in index


def test_report_needs_bokeh_and_says_how_to_get_it(tmp_path):
    hide = "import sys; sys.modules['bokeh'] = None; from kelvara_tools.cli import main; sys.exit(main())"
    result = subprocess.run([sys.executable, "-c", hide, "report", GCMS, "-o", str(tmp_path)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 1 and "pip install 'kelvara[view]'" in result.stderr
    assert os.listdir(tmp_path) == []

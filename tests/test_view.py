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
from kelvara_tools import _source  # noqa: E402
from kelvara_tools._source import DRAW_POINTS, RunSource, _running_max, decimate  # noqa: E402

from viewing import get, long_run, view_server  # noqa: E402

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


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM])
def test_ctrl_c_stops_the_server_cleanly(tmp_path, stop):
    stopped = []
    with view_server(GCMS, stopped=stopped, env={**os.environ, "TMPDIR": str(tmp_path)}, stop=stop) as url:
        assert get(url + "/api/facts")[0] == 200
        assert [p.name[:13] for p in tmp_path.iterdir()] == ["kelvara-view-"]
    status, stderr = stopped
    assert status == 130 and "Traceback" not in stderr and "stopped" in stderr
    # The scratch columns went with the server.
    assert list(tmp_path.iterdir()) == []


# -- the run read in the background ----------------------------------------------

@pytest.fixture(scope="module")
def long_gcms(tmp_path_factory):
    path = long_run(str(tmp_path_factory.mktemp("long")))
    return path, read_run(path)


def test_walked_source_answers_as_the_whole_run(long_gcms, monkeypatch):
    # Small batches and XIC chunks, so spectra and sums cross their edges.
    monkeypatch.setattr(_source, "XIC_CHUNK_POINTS", 7_777)
    path, run = long_gcms
    with RunSource(path, batch_points=5_000) as source:
        source.wait()
        facts = source.facts()
        assert (facts["spectra"], facts["points"], facts["complete"]) == (len(run), len(run.mz), True)
        assert facts["retention_time_sec"] == [run.retention_time_sec.min(), run.retention_time_sec.max()]
        assert facts["mz"] == [run.mz.min(), run.mz.max()]
        assert facts["dropped_scans"] == len(run.dropped)  # 0 is a count, not "not reported"
        assert source.levels() == [1, 2]
        for level in (1, 2):
            drawn = source.chromatograms(level)
            for kind, whole in (("tic", run.tic(level)), ("bpc", run.bpc(level))):
                rt, intensity = decimate(*whole)
                assert drawn[kind] == {"rt": rt.tolist(), "intensity": intensity.tolist()}
        for index in (0, 1, 777, 4_321, len(run) - 1):
            spectrum = source.spectrum(index)
            assert spectrum["mz"] == run[index].mz.tolist()
            assert spectrum["intensity"] == run[index].intensity.tolist()
            want = run.precursor_mz[index]
            assert spectrum["precursor_mz"] == (None if np.isnan(want) else want)
        for rt, level in ((1.0, 1), (900.5, 2), (1e9, None)):
            assert source.spectrum_at(rt, level)["index"] == run.scan_at(rt, ms_level=level).index
        xic = source.xic(73.0, tol=0.3)
        rt, intensity = decimate(*run.xic(73.0, tol=0.3))
        assert xic["rt"] == rt.tolist() and np.allclose(xic["intensity"], intensity, rtol=1e-12)
        want = run.srm()
        got = source.srm()
        assert [(t["precursor_mz"], t["product_mz"]) for t in got] == [(c.precursor_mz, c.product_mz) for c in want]
        assert [t["intensity"] for t in got] == [decimate(*c)[1].tolist() for c in want]


def test_a_walk_in_progress_answers_for_what_is_read_and_stops_on_close(long_gcms, monkeypatch):
    monkeypatch.setattr(_source, "PROGRESS_MIN_BYTES", 0)
    path, run = long_gcms
    source = RunSource(path, batch_points=5_000, _pause_between_batches=0.2)
    folder = source._folder
    try:
        state = source.progress()
        read = state["spectra"]
        assert not state["complete"] and 0 < read < len(run) and state["error"] is None
        # Never 100 % before the end (None where the system keeps no read counts).
        assert state["fraction"] is None or 0 <= state["fraction"] < 1
        facts = source.facts()
        assert facts["spectra"] >= read and facts["complete"] is False
        assert source.spectrum(read - 1)["mz"] == run[read - 1].mz.tolist()
        with pytest.raises(IndexError, match="read so far"):
            source.spectrum(len(run) - 1)
    finally:
        source.close()
    # Stopped between batches, well before the end of the run.
    assert not source._walker.is_alive() and not os.path.exists(folder) and len(source) < len(run)


def test_an_unreadable_run_fails_at_once_and_leaves_no_scratch(tmp_path, monkeypatch):
    monkeypatch.setenv("TMPDIR", str(tmp_path))
    monkeypatch.setattr(_source.tempfile, "tempdir", None)
    broken = tmp_path / "broken.qgd"
    broken.write_bytes(b"not a compound file" * 100)
    for path, error in ((tmp_path / "none.qgd", FileNotFoundError), (broken, ValueError)):
        with pytest.raises(error):
            RunSource(path)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["broken.qgd"]


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

@pytest.fixture(scope="module")
def reports(tmp_path_factory):
    """`kelvara report` over the samples, a long run and a file that is no run."""
    folder = tmp_path_factory.mktemp("report")
    broken = folder / "broken.lcd"
    broken.write_bytes(b"not a compound file" * 100)
    inputs = sorted(os.path.join(SAMPLES, name) for name in os.listdir(SAMPLES))
    inputs += [long_run(str(folder)), str(broken)]
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

"""The command line's own features: --version, what info shows, plots as a
chemist reads them, and XIC tables over many files."""

from __future__ import annotations

import csv
import json
import os
import subprocess
import sys
from importlib.metadata import version

import numpy as np
import pytest

from kelvara_tools import read_run
from kelvara_tools.cli import main

SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "samples")
SAMPLE_FILES = sorted(os.path.join(SAMPLES, n) for n in os.listdir(SAMPLES))
GCMS = os.path.join(SAMPLES, "gcms_ei_run.qgd")


def kelvara(*args):
    return subprocess.run([sys.executable, "-m", "kelvara_tools", *map(str, args)], capture_output=True, text=True,
                          timeout=300)


@pytest.mark.parametrize("args", [
    ["plot", "x.qgd", "-o", "a.png", "--mz", "100-200"], ["plot", "x.qgd", "-o", "a.png", "--tol", "0.5"],
    ["plot", "x.qgd", "-o", "a.png", "--xic", "69", "--tol", "1", "--ppm", "5"],
    ["plot", "x.qgd", "-o", "a.png", "--spectrum", "1", "--mz", "300-200"], ["plot", "x.qgd", "-o", "a.jpg"],
    ["xic", "x.qgd", "--mz", "69", "-o", "t.csv"], ["xic", "x.qgd", "--mz", "inf", "--tol", "1", "-o", "t.csv"],
    ["xic", "x.qgd", "--mz", "69", "--tol", "1", "-o", "t.txt"],
    ["xic", "x.qgd", "--mz", "69", "--tol", "1", "--rt", "60", "-o", "t.csv"],
])
def test_bad_arguments_are_refused_before_any_work(args, capsys):
    with pytest.raises(SystemExit) as stop:
        main(args)
    assert stop.value.code == 2 and capsys.readouterr().err.startswith("usage: kelvara")


def test_version():
    result = kelvara("--version")
    assert result.returncode == 0 and result.stdout.strip() == f"kelvara {version('kelvara')}"


def test_info_shows_the_mz_range_and_the_dropped_scans(make_file):
    from test_tools_columns import gcms_with_odd_scans

    odd = make_file("odd.qgd", gcms_with_odd_scans())
    result = kelvara("info", "--json", *SAMPLE_FILES, odd)
    assert result.returncode == 0
    for path, entry in zip([*SAMPLE_FILES, odd], json.loads(result.stdout)):
        run = read_run(path)
        every = np.concatenate([s.mz for s in run])
        assert entry["mz_range"] == [every.min(), every.max()]
        assert entry["dropped"] == len(run.dropped) and (entry["dropped"] > 0) == (path == odd)
    table = kelvara("info", GCMS).stdout.splitlines()
    assert "m/z range" in table[0] and "dropped" in table[0] and "28.9000 - 300.1000" in table[1]


# -- plot ------------------------------------------------------------------------

def _svg_texts(path) -> list[tuple[float, float, float, str]]:
    """(font size, x, y, text) of each text the picture holds."""
    import re

    found = re.findall(r'<text style="font-size: ([\d.]+)px[^"]*"[^>]* x="([-\d.]+)" y="([-\d.]+)"[^>]*>([^<]*)',
                       open(path, encoding="utf-8").read())
    return [(float(size), float(x), float(y), text) for size, x, y, text in found]


def plot(*args) -> int:
    """The plot command in this process: matplotlib is imported once for all."""
    try:
        return main(["plot", *map(str, args)])
    except SystemExit as stop:  # argparse refusing the arguments
        return stop.code


def test_plot_format_follows_the_suffix_in_new_folders(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    for suffix, magic in (("png", b"\x89PNG"), ("svg", b"<?xml"), ("pdf", b"%PDF")):
        picture = tmp_path / "new" / "folder" / f"tic.{suffix}"
        assert plot(GCMS, "-o", picture) == 0
        assert picture.read_bytes().startswith(magic)
    assert plot(GCMS, "-o", tmp_path / "tic.jpg") == 2
    assert ".png, .svg, .pdf" in capsys.readouterr().err
    assert not (tmp_path / "tic.jpg").exists()


def test_plot_windows_levels_and_zoom_show_in_the_picture(tmp_path):
    pytest.importorskip("matplotlib")
    qtof = os.path.join(SAMPLES, "lcms_qtof_centroid.lcd")
    pictures = {
        "tol": ("--xic", "69", "--tol", "0.5"),
        "ppm": ("--xic", "69"),
        "zoom": ("--spectrum", "5", "--mz", "100-300"),
        "labels": ("--spectrum", "5"),
    }
    texts = {}
    for name, options in pictures.items():
        assert plot(qtof, *options, "-o", tmp_path / f"{name}.svg") == 0
        texts[name] = _svg_texts(tmp_path / f"{name}.svg")
    assert plot(GCMS, "--tic", "--ms-level", "2", "-o", tmp_path / "ms2.svg") == 0
    texts["ms2"] = _svg_texts(tmp_path / "ms2.svg")
    titles = {name: " ".join(t[3] for t in found) for name, found in texts.items()}
    assert "m/z 69 ± 0.5 (MS1)" in titles["tol"] and "m/z 69 ± 10 ppm (MS1)" in titles["ppm"]
    assert "Total ion current (MS2)" in titles["ms2"]
    # MS2 spectra of one time (a scan's transitions) are one marked point of the trace.
    points = open(tmp_path / "ms2.svg", encoding="utf-8").read().count('style="fill: #1f77b4')
    assert points == len(np.unique(read_run(GCMS).tic(2).retention_time_sec)) < len(read_run(GCMS).tic(2).intensity)
    for name in ("zoom", "labels"):
        labels = [t for t in texts[name] if t[0] == 7]
        assert labels
        if name == "zoom":
            assert all(100 <= float(t[3]) <= 300 for t in labels)
        # No two labels share space: apart across, or apart in height.
        for k, (size, x, y, text) in enumerate(labels):
            for other in labels[k + 1:]:
                width = 0.6 * size * (len(text) + len(other[3])) / 2
                assert abs(x - other[1]) >= width or abs(y - other[2]) >= size, (text, other[3])
    # An MS2 spectrum of a GC-MS MRM scan is titled with its transition's precursor.
    run = read_run(GCMS)
    ms2 = int(np.flatnonzero((run.ms_level == 2) & ~np.isnan(run.precursor_mz))[0])
    assert plot(GCMS, "--spectrum", ms2, "-o", tmp_path / "precursor.svg") == 0
    title = " ".join(t[3] for t in _svg_texts(tmp_path / "precursor.svg"))
    assert f"(MS2, precursor m/z {run.precursor_mz[ms2]:.1f}, centroid)" in title


# -- xic -------------------------------------------------------------------------

def _expected_rows(path, targets, tol, rt, level):
    """The table's rows for one file, summed spectrum by spectrum and over the
    spectra that share a retention time."""
    run = read_run(path)
    rows = {}
    for target in targets:
        for spectrum in run:
            if spectrum.ms_level == level and rt[0] <= spectrum.retention_time_sec <= rt[1]:
                inside = np.abs(spectrum.mz - target) <= tol
                key = (path, target, spectrum.retention_time_sec)
                rows[key] = rows.get(key, 0.0) + float(spectrum.intensity[inside].astype(np.float64).sum())
    return [(*key, value) for key, value in sorted(rows.items(), key=lambda item: (item[0][1], item[0][2]))]


def test_xic_table_of_many_targets_over_many_files(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    broken = tmp_path / "broken.lcd"
    broken.write_bytes(b"not a run")
    files = [GCMS, os.path.join(SAMPLES, "lcms_qtof_centroid.lcd")]
    targets = ["69", "131.5", "219"]
    common = ("--mz", *targets, "--tol", "0.5", "--rt", "60-500", "--ms-level", "1")
    result = kelvara("xic", *files, broken, *common, "-o", tmp_path / "t.csv", "--jobs", "2")
    assert result.returncode == 1
    assert [line.split()[0] for line in result.stderr.splitlines()].count("failed") == 1
    with open(tmp_path / "t.csv", newline="") as f:
        table = list(csv.reader(f))
    assert table[0] == ["file", "target_mz", "retention_time_sec", "intensity"]
    expected = [row for path in files for row in _expected_rows(path, map(float, targets), 0.5, (60, 500), 1)]
    assert [(r[0], float(r[1]), float(r[2]), float(r[3])) for r in table[1:]] == expected

    serial = kelvara("xic", *files, *common, "-o", tmp_path / "t.parquet", "--jobs", "1")
    assert serial.returncode == 0, serial.stderr
    assert [tuple(r.values()) for r in pq.read_table(tmp_path / "t.parquet").to_pylist()] == expected

    transitions = kelvara("xic", GCMS, "--mz", *targets, "--tol", "0.5", "--ms-level", "2", "-o", tmp_path / "2.csv")
    assert transitions.returncode == 0, transitions.stderr
    with open(tmp_path / "2.csv", newline="") as f:
        table = list(csv.reader(f))[1:]
    expected = _expected_rows(GCMS, map(float, targets), 0.5, (0, np.inf), 2)
    assert [(r[0], float(r[1]), float(r[2]), float(r[3])) for r in table] == expected
    assert len(expected) < len(targets) * np.count_nonzero(read_run(GCMS).ms_level == 2)

    nothing = kelvara("xic", broken, *common, "-o", tmp_path / "none.csv")
    assert nothing.returncode == 1 and not (tmp_path / "none.csv").exists()

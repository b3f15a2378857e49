"""Files written by an independent compound file writer, gsf (libgsf).

The project's own test writer and the reader were written side by side; gsf
shares nothing with either. It writes version 3 containers with its own
sector layout and its own sibling lists, so reading its files back exactly
shows that the reader follows the format, not the writer it was tested with.
Skipped where gsf is not installed on a developer machine; under CI
(CI=true) a missing gsf fails these tests instead (.ci/run installs it on
Debian).
"""

from __future__ import annotations

import os
import shutil
import subprocess

import pytest
from kelvara import RawReader

from gcms_encoders import assert_read_back, concat, gcms_entries, index_a, realistic_run
from lcms_encoders import qtof_run, single_quad_run, ttfl_run

GSF = shutil.which("gsf")
IN_CI = os.environ.get("CI") == "true"
pytestmark = pytest.mark.skipif(GSF is None and not IN_CI, reason="gsf (Debian's libgsf-bin) is not installed")


@pytest.fixture(autouse=True)
def gsf_installed():
    if GSF is None:
        pytest.fail("gsf (Debian's libgsf-bin) is not installed, and CI=true requires the independent-writer tests")


def gsf_container(tmp_path, name, entries):
    """Lay the entries out as folders and files, then have gsf pack them."""
    tree = tmp_path / "tree"
    for path, data in entries.items():
        target = tree.joinpath(*path.split("/"))
        if data is None:
            target.mkdir(parents=True, exist_ok=True)
        else:
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)
    out = tmp_path / name
    tops = sorted({path.split("/")[0] for path in entries})
    subprocess.run([GSF, "createole", str(out), *tops], cwd=tree, check=True, capture_output=True)
    return str(out)


def test_gcms_run(tmp_path):
    run = realistic_run(n_scans=200, mrm_every=25, seed=41)
    reader = RawReader(gsf_container(tmp_path, "run.qgd", gcms_entries(run.records)))
    assert_read_back(reader, run.expected)


def test_gcms_run_past_the_header_fat_capacity(tmp_path):
    # Over 7.2 MB: gsf lists FAT sectors in DIFAT sectors.
    run = realistic_run(n_scans=800, seed=42)
    data, offsets = concat(run.records)
    copies = 7_300_000 // len(data) + 1
    entries = {
        "GCMS Raw Data/Spectrum Index": index_a([o + k * len(data) for k in range(copies) for o in offsets]),
        "GCMS Raw Data/MS Raw Data": data * copies,
    }
    reader = RawReader(gsf_container(tmp_path, "big.qgd", entries))
    assert reader.scan_count == copies * len(run.expected)
    for i in (0, len(run.expected) - 1, reader.scan_count - 1):
        got, want = reader.read_spectrum(i), run.expected[i % len(run.expected)]
        assert (got.mz, got.intensity, got.retention_time_sec) == (want.mz, want.intensity, want.rt)


@pytest.mark.parametrize(
    "make_run",
    [lambda: qtof_run(n_scans=120, seed=43), lambda: ttfl_run(n_scans=80, seed=44), lambda: single_quad_run(seed=45)],
    ids=["qtof", "ttfl", "single-quad"],
)
def test_lcms_runs(tmp_path, make_run):
    run = make_run()
    reader = RawReader(gsf_container(tmp_path, "run.lcd", run.entries))
    assert_read_back(reader, run.expected)

"""mzML written batch by batch: stream_mzml (which convert_file uses) must
give the bytes write_mzml gives for the whole run read at once, for every
layout, option and filter, any batch size and thread count. The files mix
MRM transitions (pairs met in several batches), dropped scans, MS1 and MSn
kinds first met late, and filters that empty whole batches, so the header's
count and kinds are often only known at the end. Errors are read_run's, and
a failed conversion leaves no file behind.
"""

from __future__ import annotations

import errno
import gzip
import os

import pytest
from kelvara_tools import FormatError, convert_file, iter_batches, read_run
from kelvara_tools.mzml import stream_mzml, write_mzml

from test_batches import long_run_file, run_files  # noqa: F401  (fixtures)
from test_decode_budget import BUDGET_MESSAGE, HOSTILE

OPTIONS = {
    "zlib": {},
    "none": {"compression": "none"},
    "srm-as-spectra": {"srm_as_spectra": True, "compression": "none"},
    "numpress": {"numpress": True},
    "numpress-none": {"numpress": True, "compression": "none"},
    "mz32-gzip": {"mz32": True, "gzip": True},
    "levels": {"filters": {"ms_level": 2}, "compression": "none"},
    "points": {"filters": {"rt": (0.5, 260), "mz": (60, 400), "min_intensity": 500}},
    "points-as-spectra": {"filters": {"mz": (60, 120)}, "srm_as_spectra": True, "compression": "none"},
}


def _options(name):
    from kelvara_tools._filters import Filters

    options = dict(OPTIONS[name])
    options["filters"] = Filters.make(**options.get("filters", {}))
    return options


@pytest.mark.timeout(600)
@pytest.mark.parametrize("threads,names", [("1", list(OPTIONS)), ("3", ["zlib", "points-as-spectra", "points"])])
def test_streamed_bytes_are_the_whole_runs(run_files, tmp_path, monkeypatch, threads, names):  # noqa: F811
    monkeypatch.setenv("KELVARA_THREADS", threads)
    stamp = {"source file size": "1", "conversion options": "to=mzml"}
    for file, path in run_files.items():
        run = read_run(path)
        for name in names:
            options = _options(name)
            whole, streamed = tmp_path / "whole.mzML", tmp_path / "streamed.mzML"
            size = write_mzml(run, whole, source=path, source_stamp=stamp, **options)
            expected = whole.read_bytes()
            # Batches of a few spectra, and the run in one or two.
            for max_points in (300, 1 << 20):
                calls = []
                written = stream_mzml(path, streamed, source_stamp=stamp, max_points=max_points,
                                      progress=lambda done, total: calls.append((done, total)), **options)
                assert streamed.read_bytes() == expected, (file, name, max_points)
                assert (written.size, written.spectra_read, written.points_read) == (size, len(run), len(run.mz))
                assert [done for done, _ in calls] == sorted(done for done, _ in calls)
                assert all(done <= total for done, total in calls)
                if options.get("gzip"):
                    assert gzip.decompress(expected).count(b"<spectrum ") == written.spectra_written
            assert not [n for n in os.listdir(tmp_path) if n.endswith(".tmp")]


def test_batches_carry_the_dropped_scans(run_files):  # noqa: F811
    some_dropped = 0
    for path in run_files.values():
        run = read_run(path)
        some_dropped += len(run.dropped)
        for max_points in (1, 50, 1 << 20):
            batches = list(iter_batches(path, max_points=max_points))
            dropped = [scan for batch in batches for scan in batch.dropped]
            assert dropped == list(run.dropped), (path, max_points)
    assert some_dropped


def test_a_run_cut_short_mid_conversion_fails_and_leaves_nothing(long_run_file, tmp_path):  # noqa: F811
    import shutil

    cut = tmp_path / "cut.qgd"
    shutil.copyfile(long_run_file, cut)
    size = os.path.getsize(cut)
    out = tmp_path / "out"
    # Cut once the first batch is written: the walk meets the missing bytes
    # with the document half written.
    report = convert_file(cut, out, "mzml", force=True, progress=lambda done, total: os.truncate(cut, size // 2))
    assert report.status == "failed"
    assert report.error.startswith("FormatError: the file looks truncated"), report.error
    assert os.listdir(out) == []


@pytest.mark.parametrize("name,filename,entries", HOSTILE[:2], ids=[h[0] for h in HOSTILE[:2]])
def test_the_budget_error_fails_the_conversion(make_file, tmp_path, name, filename, entries):
    path = make_file(filename, entries)
    with pytest.raises(FormatError) as whole:
        read_run(path)
    report = convert_file(path, tmp_path / "out", "mzml")
    assert report.status == "failed" and str(whole.value) in report.error
    assert str(whole.value).startswith(BUDGET_MESSAGE)
    assert os.listdir(tmp_path / "out") == []


def test_a_run_without_spectra_streams_like_the_whole_run(run_files, tmp_path):  # noqa: F811
    # Filters that keep nothing: no spectrum, only the TIC chromatogram.
    path = run_files["gcms"]
    options = {"filters": {"rt": (1e9, 2e9)}}
    from kelvara_tools._filters import Filters

    filters = Filters.make(**options["filters"])
    write_mzml(read_run(path), tmp_path / "whole.mzML", source=path, filters=filters)
    written = stream_mzml(path, tmp_path / "streamed.mzML", filters=filters)
    assert (tmp_path / "streamed.mzML").read_bytes() == (tmp_path / "whole.mzML").read_bytes()
    assert written.spectra_written == 0 and written.spectra_read == len(read_run(path))


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
@pytest.mark.parametrize("gzip", [False, True])
def test_a_write_that_fails_fails_the_conversion(run_files, gzip):  # noqa: F811
    """The disk filling up mid-document reaches the caller as the error it
    is, from the thread that writes, never as a finished file."""
    with pytest.raises(OSError) as caught:
        stream_mzml(run_files["gcms_ei_run.qgd"], "/dev/full", compression="none", gzip=gzip)
    assert caught.value.errno == errno.ENOSPC

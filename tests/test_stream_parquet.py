"""Parquet written batch by batch: the tables of a whole run in memory.

A conversion streams the file through iter_batches; whatever the batch size
and thread count, with or without filters, on every layout and with MRM
transitions, the tables read back must equal those of the run written in
one piece, schema metadata included. A failure part-way leaves no output.
"""

from __future__ import annotations

import json
import os

import numpy as np
import pytest
from kelvara_tools import convert_file, read_run
from kelvara_tools import _batches, _tables
from kelvara_tools._filters import Filters
from kelvara_tools.xic import extract_file

# The fixtures: the samples and every layout's thread-test file; a GC-MS run of some 24 MiB.
from test_batches import long_run_file, run_files  # noqa: F401
from test_decode_budget import BUDGET_MESSAGE, HOSTILE

pq = pytest.importorskip("pyarrow.parquet")

FILTERS = {"none": {}, "some": dict(ms_level=[1, 2], rt=(1.0, 1e6), mz=(60.0, 2000.0), min_intensity=5.0)}
FILES = {"peaks": ("peaks.parquet", "spectra.parquet", "chromatograms.parquet"), "spectra": ("",)}


def tables(output, shape):
    """Each file of an output, read back, by name."""
    found = {}
    for name in FILES[shape]:
        path = os.path.join(output, name) if name else output
        if os.path.exists(path):
            found[name] = (pq.read_table(path), pq.ParquetFile(path).metadata.num_row_groups)
    return found


def in_one_piece(path, target, shape, options, stamp):
    """The output of the run read whole, filtered, written as one batch."""
    run = read_run(path)
    kept, index = Filters.make(**options).apply(run)
    _tables.write_parquet(kept, target, shape, "zstd", {b"kelvara.source": stamp}, index)
    return tables(target, shape)


@pytest.mark.parametrize("options", FILTERS.values(), ids=FILTERS.keys())
@pytest.mark.parametrize("shape", ["peaks", "spectra"])
def test_streamed_tables_equal_the_run_written_whole(run_files, tmp_path, monkeypatch, shape, options):  # noqa: F811
    for name, path in run_files.items():
        run = read_run(path)
        largest = int(np.diff(run.offsets).max())
        expected = None
        # One spectrum per batch on the smaller runs (a row group per
        # spectrum costs milliseconds), a few per batch on every run.
        for max_points in (1, 3 * largest + 1) if len(run) <= 500 else (3 * largest + 1,):
            monkeypatch.setattr(_tables, "BATCH_POINTS", max_points)
            report = convert_file(path, tmp_path / f"{name}-{max_points}", "parquet", shape=shape, **options)
            assert report.status == "converted", report.error
            assert (report.spectra, report.points) == (len(run), len(run.mz))
            got = tables(report.output, shape)
            if expected is None:
                stamp = pq.read_schema(report.output if shape == "spectra" else
                                       os.path.join(report.output, "spectra.parquet")).metadata[b"kelvara.source"]
                assert json.loads(stamp)  # the source stamp, recorded
                expected = in_one_piece(path, tmp_path / f"{name}-whole", shape, options, stamp)
            assert got.keys() == expected.keys(), (name, max_points)
            for file, (table, groups) in got.items():
                assert table.equals(expected[file][0], check_metadata=True), (name, file, max_points)
                # Batches of one spectrum each go out as several row groups.
                if max_points == 1 and file != "chromatograms.parquet" and table.num_rows > 1 << 16:
                    assert groups > 1
            if shape == "peaks" and not options:
                assert ("chromatograms.parquet" in got) == bool(run.srm()), name


def test_a_run_with_transitions_restamps_spectra_written_early(run_files, tmp_path, monkeypatch):  # noqa: F811
    # spectra.parquet starts out before any transition is seen; with row
    # groups going out after every spectrum its early stamp must still be
    # replaced by the one saying chromatograms.parquet is there.
    path = run_files["gcms"]
    run = read_run(path)
    assert run.srm()
    monkeypatch.setattr(_tables, "BATCH_POINTS", 50)
    monkeypatch.setattr(_tables, "_SPECTRUM_ROWS", 1)
    report = convert_file(path, tmp_path, "parquet")
    spectra = os.path.join(report.output, "spectra.parquet")
    assert pq.read_schema(spectra).metadata[_tables.CHROMATOGRAMS_KEY] == b"1"
    assert pq.ParquetFile(spectra).metadata.num_row_groups > 1
    assert sorted(os.listdir(report.output)) == ["chromatograms.parquet", "peaks.parquet", "spectra.parquet"]
    run.to_parquet(tmp_path / "whole", shape="peaks")
    for name in os.listdir(report.output):
        ours = pq.read_table(os.path.join(report.output, name)).replace_schema_metadata()
        assert ours.equals(pq.read_table(tmp_path / "whole" / name).replace_schema_metadata()), name
    # Up to date as it stands: a second conversion skips it.
    assert convert_file(path, tmp_path, "parquet").status == "skipped"


def test_the_same_bytes_on_every_thread_count(run_files, tmp_path, monkeypatch):  # noqa: F811
    monkeypatch.setattr(_tables, "BATCH_POINTS", 999)
    outputs = {}
    for threads in ("1", "3"):
        monkeypatch.setenv("KELVARA_THREADS", threads)
        for name, path in run_files.items():
            report = convert_file(path, tmp_path / threads, "parquet", output=str(tmp_path / threads / name))
            outputs.setdefault(name, []).append(
                {n: open(os.path.join(report.output, n), "rb").read() for n in sorted(os.listdir(report.output))})
    for name, (one, three) in outputs.items():
        assert one == three, name


def contents(output):
    if os.path.isdir(output):
        return {n: open(os.path.join(output, n), "rb").read() for n in sorted(os.listdir(output))}
    return open(output, "rb").read()


@pytest.mark.timeout(300)
@pytest.mark.parametrize("shape", ["peaks", "spectra"])
def test_a_file_cut_mid_stream_fails_and_leaves_the_old_output(long_run_file, tmp_path, monkeypatch, shape):  # noqa: F811
    import shutil

    source = tmp_path / "run.qgd"
    shutil.copyfile(long_run_file, source)
    out = tmp_path / "out"
    first = convert_file(source, out, "parquet", shape=shape)
    before = contents(first.output)
    os.utime(source, ns=(1, 1))  # the old output is now out of date
    walk = _batches.iter_batches

    def cut_after_the_first_batch(path, max_points):
        # Past the windows the reader's threads may have read ahead.
        batches = walk(path, max_points)
        yield next(batches)
        os.truncate(path, os.path.getsize(path) // 2)
        yield from batches

    monkeypatch.setattr(_batches, "iter_batches", cut_after_the_first_batch)
    monkeypatch.setattr(_tables, "BATCH_POINTS", 50_000)
    report = convert_file(source, out, "parquet", shape=shape)
    assert report.status == "failed"
    assert report.error.startswith("FormatError: the file looks truncated"), report.error
    assert sorted(os.listdir(out)) == [os.path.basename(first.output)]
    assert contents(first.output) == before


@pytest.mark.parametrize("name,filename,entries", HOSTILE[:2], ids=[h[0] for h in HOSTILE[:2]])
def test_the_decode_budget_fails_the_conversion_cleanly(make_file, tmp_path, name, filename, entries):
    path = make_file(filename, entries)
    report = convert_file(path, tmp_path / "out", "parquet")
    assert report.status == "failed" and BUDGET_MESSAGE in report.error
    assert not os.path.exists(tmp_path / "out") or os.listdir(tmp_path / "out") == []


def test_xic_in_batches_is_the_xic_of_the_whole_run(run_files, monkeypatch):  # noqa: F811
    for name, path in run_files.items():
        run = read_run(path)
        target = float(np.median(run.mz)) if len(run.mz) else 100.0
        whole = extract_file(path, [target, target + 1.0], tol=0.5)
        monkeypatch.setattr(_tables, "BATCH_POINTS", 1)
        batched = extract_file(path, [target, target + 1.0], tol=0.5)
        monkeypatch.undo()
        assert whole.status == batched.status == "extracted", (name, whole.error, batched.error)
        np.testing.assert_array_equal(batched.retention_time_sec, whole.retention_time_sec)
        np.testing.assert_array_equal(batched.intensity, whole.intensity)
        times, values = run.xic(target, tol=0.5)
        if len(np.unique(times)) == len(times):
            np.testing.assert_array_equal(whole.intensity[0], values)

"""kelvara_tools tables: Arrow without copies, Parquet round trips, whole-or-nothing writes."""

from __future__ import annotations

import os
import sys

import numpy as np
import pytest

import kelvara_tools
from kelvara_tools import read_run

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLES = sorted(os.path.join(ROOT, "samples", n) for n in os.listdir(os.path.join(ROOT, "samples")))


def address(array):
    return array.__array_interface__["data"][0]


@pytest.mark.parametrize("path", SAMPLES, ids=os.path.basename)
def test_to_arrow_shares_the_columns(path):
    run = read_run(path)
    table = run.to_arrow()
    assert table.column_names == ["index", "retention_time_sec", "ms_level", "precursor_mz", "mz", "intensity"]
    assert table.schema.field("mz").type == pa.list_(pa.float64())
    assert table.schema.field("intensity").type == pa.list_(pa.float32())
    for name in ("mz", "intensity"):
        lists = table.column(name).chunk(0)
        assert lists.values.buffers()[1].address == address(getattr(run, name))
        assert lists.offsets.to_numpy().tolist() == run.offsets.tolist()
    assert table.column("index").to_pylist() == list(range(len(run)))
    for i in (0, len(run) // 2, len(run) - 1):
        row = table.slice(i, 1).to_pylist()[0]
        spectrum = run[i]
        assert row["mz"] == spectrum.mz.tolist() and row["intensity"] == spectrum.intensity.tolist()
        assert (row["ms_level"], row["retention_time_sec"]) == (spectrum.ms_level, spectrum.retention_time_sec)
    # The table keeps the memory alive on its own.
    del run
    assert table.column("mz").chunk(0).values.to_numpy().size == table.column("mz").chunk(0).offsets[-1].as_py()


def test_large_lists_past_the_32_bit_offsets(monkeypatch):
    from kelvara_tools import _tables

    run = read_run(SAMPLES[0])
    small = run.to_arrow()
    monkeypatch.setattr(_tables, "_LIST_LIMIT", len(run.mz) - 1)
    large = run.to_arrow()
    assert large.schema.field("mz").type == pa.large_list(pa.float64())
    assert large.column("mz").chunk(0).values.buffers()[1].address == address(run.mz)
    assert large.column("intensity").to_pylist() == small.column("intensity").to_pylist()


@pytest.mark.parametrize("path", SAMPLES, ids=os.path.basename)
def test_peaks_and_spectra_tables(path):
    run = read_run(path)
    peaks = run.peaks_table()
    assert peaks.column_names == ["spectrum_index", "mz", "intensity"]
    assert peaks.column("spectrum_index").to_numpy().tolist() == [i for i, s in enumerate(run) for _ in range(len(s))]
    assert peaks.column("mz").chunk(0).buffers()[1].address == address(run.mz)

    table = run.spectra_table().to_pylist()
    representation = "profile" if run.layout == "ttfl_profile" else "centroid"
    for row, spectrum in zip(table, run):
        values = spectrum.intensity.tolist()
        top = values.index(max(values)) if values else None
        assert row == {
            "index": spectrum.index,
            "retention_time_sec": spectrum.retention_time_sec,
            "ms_level": spectrum.ms_level,
            "precursor_mz": None if np.isnan(run.precursor_mz[spectrum.index]) else run.precursor_mz[spectrum.index],
            "representation": representation,
            "points": len(values),
            "tic": float(sum(values)),
            "base_peak_mz": None if top is None else spectrum.mz[top].item(),
            "base_peak_intensity": None if top is None else values[top],
        }


def test_base_peak_of_ties_and_empty_spectra():
    run = kelvara_tools.Run(
        "t.qgd",
        "gcms",
        np.array([1.0, 2.0, 3.0, 4.0, 5.0]),
        np.array([7.0, 9.0, 9.0, 0.0, 0.0], np.float32),
        np.array([0, 0, 3, 3, 5], np.int64),
        np.ones(4, np.uint8),
        np.arange(4.0),
    )
    table = run.spectra_table()
    assert table.column("base_peak_mz").to_pylist() == [None, 2.0, None, 4.0]
    assert table.column("base_peak_intensity").to_pylist() == [None, 9.0, None, 0.0]
    assert table.column("points").to_pylist() == [0, 3, 0, 2]


def column_encodings(path):
    metadata = pq.ParquetFile(path).metadata
    group = metadata.row_group(0)
    return {group.column(i).path_in_schema: group.column(i) for i in range(group.num_columns)}


@pytest.mark.parametrize("path", SAMPLES, ids=os.path.basename)
def test_parquet_round_trips_exactly(tmp_path, path):
    run = read_run(path)
    target = tmp_path / "run.parquet"
    run.to_parquet(target)
    assert pq.read_table(target).equals(run.to_arrow())

    folder = tmp_path / "peaks"
    run.to_parquet(str(folder), shape="peaks", compression="snappy")
    # A run with MRM transitions has their chromatograms beside the tables.
    assert sorted(os.listdir(folder)) == ["chromatograms.parquet"] * bool(run.srm()) + ["peaks.parquet",
                                                                                        "spectra.parquet"]
    assert pq.read_table(folder / "peaks.parquet").equals(run.peaks_table())
    assert pq.read_table(folder / "spectra.parquet").equals(run.spectra_table())

    for file, floats in (
        (target, ["retention_time_sec", "precursor_mz", "mz.list.element", "intensity.list.element"]),
        (folder / "peaks.parquet", ["mz", "intensity"]),
        (folder / "spectra.parquet",
         ["retention_time_sec", "precursor_mz", "tic", "base_peak_mz", "base_peak_intensity"]),
    ):
        columns = column_encodings(file)
        for name, column in columns.items():
            assert ("BYTE_STREAM_SPLIT" in column.encodings) == (name in floats), (file, name)
            assert column.has_offset_index and column.has_column_index


def test_failed_write_leaves_the_old_output_whole(tmp_path, monkeypatch):
    run = read_run(SAMPLES[0])
    target = tmp_path / "run.parquet"
    target.write_bytes(b"previous")
    folder = tmp_path / "folder"
    run.to_parquet(folder, shape="peaks")
    before = {name: (folder / name).read_bytes() for name in os.listdir(folder)}
    write = pq.ParquetWriter.write_table

    def disk_fills(writer, table, row_group_size=None):
        # The point table of a folder is written first and fits; the next file does not.
        if "spectrum_index" in table.column_names:
            return write(writer, table, row_group_size)
        writer.where.write(b"partial")
        raise OSError(28, "No space left on device", writer.where.name)

    monkeypatch.setattr(pq.ParquetWriter, "write_table", disk_fills)
    with pytest.raises(OSError) as caught:
        run.to_parquet(target)
    assert caught.value.filename == str(target)
    with pytest.raises(OSError) as caught:
        run.to_parquet(folder, shape="peaks")
    assert caught.value.filename == str(folder / "spectra.parquet")
    with pytest.raises(OSError):
        run.to_parquet(tmp_path / "new", shape="peaks")
    assert target.read_bytes() == b"previous"
    assert {name: (folder / name).read_bytes() for name in os.listdir(folder)} == before
    assert sorted(os.listdir(tmp_path)) == ["folder", "run.parquet"]
    with pytest.raises(ValueError):
        run.to_parquet(target, shape="rows")


def test_a_folder_of_other_files_is_never_replaced(tmp_path):
    run = read_run(SAMPLES[0])
    (tmp_path / "notes.txt").write_text("mine")
    with pytest.raises(FileExistsError, match="other files"):
        run.to_parquet(tmp_path, shape="peaks")
    assert os.listdir(tmp_path) == ["notes.txt"]


def test_missing_pyarrow_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    run = read_run(SAMPLES[0])
    for make in (run.to_arrow, run.peaks_table, run.spectra_table):
        with pytest.raises(ImportError, match=r"the 'arrow' extra is needed for .*: .* -m pip install 'pyarrow>=14'"):
            make()


def test_polars_reads_the_point_table(tmp_path):
    pl = pytest.importorskip("polars")
    run = read_run(SAMPLES[1])
    run.to_parquet(tmp_path / "out", shape="peaks")
    peaks = pl.read_parquet(tmp_path / "out" / "peaks.parquet")
    assert peaks.columns == ["spectrum_index", "mz", "intensity"]
    assert peaks["mz"].to_list() == run.mz.tolist()
    per_spectrum = peaks.group_by("spectrum_index").agg(pl.col("intensity").cast(pl.Float64).sum()).sort("spectrum_index")
    filled = np.diff(run.offsets) > 0
    assert per_spectrum["intensity"].to_list() == run.tic(ms_level=None).intensity[filled].tolist()

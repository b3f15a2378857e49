"""kelvara_tools.read_run: flat columns equal to RawReader's spectra, access by
spectrum, chromatograms, errors, pickling and the arrays' lifetime."""

from __future__ import annotations

import gc
import os
import pathlib
import pickle
import random
import weakref

import numpy as np
import pytest
from kelvara import RawReader

import kelvara_tools
from gcms_encoders import (
    GCMS_DATA,
    GCMS_INDEX,
    concat,
    gcms_entries,
    index_a,
    mrm_record,
    profile_record,
    realistic_run,
)
from kelvara_tools import FormatError, Run, read_run
from lcms_encoders import (
    MASS_RAW_INDEX,
    QTFL_INDEX,
    TTFL_INDEX,
    qtof_index,
    qtof_run,
    single_quad_run,
    ttfl_index,
    ttfl_run,
    u32s,
)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLES = sorted(os.path.join(ROOT, "samples", n) for n in os.listdir(os.path.join(ROOT, "samples")))


def reader_spectra(path):
    reader = RawReader(path)
    return [reader.read_spectrum(i) for i in range(reader.scan_count)]


def assert_same_as_reader(path):
    """The run's columns hold exactly RawReader's spectra, in order."""
    run = read_run(path)
    spectra = reader_spectra(path)
    assert len(run) == len(spectra)
    assert run.offsets.tolist() == np.cumsum([0] + [len(s) for s in spectra]).tolist()
    assert run.mz.tolist() == [x for s in spectra for x in s.mz]
    assert run.intensity.tolist() == [x for s in spectra for x in s.intensity]
    assert run.ms_level.tolist() == [s.ms_level for s in spectra]
    assert run.retention_time_sec.tolist() == [s.retention_time_sec for s in spectra]
    return run


@pytest.mark.parametrize("path", SAMPLES, ids=os.path.basename)
def test_samples_equal_the_reader(path):
    run = assert_same_as_reader(path)
    assert run.name == os.path.basename(path)
    assert len(run.dropped) == 0 and run.dropped == [] and run.dropped.positions.dtype == np.int64
    for column in (run.mz, run.intensity, run.offsets, run.ms_level, run.retention_time_sec):
        assert not column.flags.writeable
        with pytest.raises(ValueError):
            column[:1] = 0
        with pytest.raises(ValueError):
            column.flags.writeable = True


def gcms_with_odd_scans():
    """A GC-MS run with MRM scans (three records each), empty Profile scans,
    a record that decodes as neither layout and an offset past the data."""
    run = realistic_run(n_scans=80, mrm_every=9, seed=3)
    records = list(run.records)
    records.insert(5, profile_record(181_000, []))
    records.insert(20, b"\x01" * 40)
    records.append(profile_record(999_000, []))
    data, offsets = concat(records)
    return {"GCMS Raw Data/Spectrum Index": index_a(offsets + [len(data) + 10, 3]), "GCMS Raw Data/MS Raw Data": data}


def with_extra_index(entries, key, extra):
    return {**entries, key: entries[key] + extra}


GENERATED = {
    "gcms": ("odd.qgd", gcms_with_odd_scans, "gcms"),
    # A scan start past the data, and one inside another scan's bytes.
    "single_quad": (
        "sq.lcd",
        lambda: with_extra_index(single_quad_run(n_scans=40).entries, MASS_RAW_INDEX, u32s([10**7, 70])),
        "single_quad",
    ),
    # Index entries beyond the retention times (time 0.0), one past the data.
    "qtof_centroid": (
        "qtof.lcd",
        lambda: with_extra_index(qtof_run(n_scans=40).entries, QTFL_INDEX, qtof_index([(10**7, 2), (0, 7)])),
        "qtof_centroid",
    ),
    # A subset whose retention-time index lies past the list.
    "ttfl_profile": (
        "ttfl.lcd",
        lambda: with_extra_index(ttfl_run(n_scans=30).entries, TTFL_INDEX, ttfl_index([(0, 10**6)])),
        "ttfl_profile",
    ),
}


@pytest.mark.parametrize("layout", sorted(GENERATED))
def test_generated_files_equal_the_reader(make_file, layout):
    name, entries, expected_layout = GENERATED[layout]
    run = assert_same_as_reader(make_file(name, entries()))
    assert run.layout == expected_layout
    if layout != "gcms":
        # Only GC-MS MRM transitions have a precursor m/z.
        assert len(run.precursor_mz) == len(run) and np.isnan(run.precursor_mz).all()


def test_layout_names_stay_those_stored_pickles_hold():
    from kelvara_tools import _columns

    # Probe order; the names are kept in pickled runs and must never change.
    assert list(_columns.LAYOUTS) == ["gcms", "ttfl_profile", "qtof_centroid", "single_quad"]
    assert {name: entry["extension"] for name, entry in _columns.LAYOUTS.items()} == {
        "gcms": "qgd", "ttfl_profile": "lcd", "qtof_centroid": "lcd", "single_quad": "lcd"
    }
    assert [name for name, entry in _columns.LAYOUTS.items() if entry["profile"]] == ["ttfl_profile"]


@pytest.mark.parametrize("layout", sorted(GENERATED))
def test_every_stream_the_layout_table_names_is_required(make_file, layout):
    from kelvara_tools import _columns

    name, entries, _ = GENERATED[layout]
    table = _columns.LAYOUTS[layout]
    # Without its probe entry the file is no longer of the layout at all.
    for stream in (s for s in table["streams"] if s != table["probe"]):
        without = {path: data for path, data in entries().items() if path != stream}
        with pytest.raises(FormatError, match=f"stream '{stream}' not found"):
            read_run(make_file(name, without))


@pytest.mark.parametrize("threads", ["1", "2"])
def test_an_index_reading_one_scan_many_times_fills_the_columns(make_file, monkeypatch, threads):
    # The columns are sized for half a point per stream byte up front; an
    # index that reads one large scan 40 times gives more points than that,
    # and the columns must grow past it, also while threads copy into them.
    monkeypatch.setenv("KELVARA_THREADS", threads)
    scan = profile_record(90_000, [(400 + k % 5000, 1 + k % 60_000) for k in range(60_000)])
    # Scan i runs up to the next offset: [0, L) is read 40 times, and every
    # [L, 0) between them runs backwards and is dropped.
    entries = {GCMS_INDEX: index_a([0, len(scan)] * 40), GCMS_DATA: scan}
    run = assert_same_as_reader(make_file("repeats.qgd", entries))
    assert len(run.mz) == 40 * 60_000 > len(scan) // 2


def test_mrm_scans_expand_and_bad_scans_drop(make_file):
    run = read_run(make_file("odd.qgd", gcms_with_odd_scans()))
    level_two = np.flatnonzero(run.ms_level == 2)
    # Eight MRM scans of three transitions, each a one-point record.
    assert len(level_two) == 24 and set(np.diff(run.offsets)[level_two]) == {1}
    # 72 Profile scans and the empty one kept; the undecodable record, the
    # last scan (its end lies past the data) and the misaligned start dropped.
    assert len(run) == 72 + 24 + 1
    assert np.flatnonzero(np.diff(run.offsets) == 0).tolist() == [5]


@pytest.mark.parametrize("threads", ["1", "3"])
def test_mrm_transitions_carry_their_precursor(make_file, monkeypatch, threads):
    monkeypatch.setenv("KELVARA_THREADS", threads)
    run = read_run(make_file("odd.qgd", gcms_with_odd_scans()))
    level_two = run.ms_level == 2
    # Each MRM scan of realistic_run holds the precursors 194.0, 178.0, 270.0.
    assert run.precursor_mz[level_two].tolist() == [194.0, 178.0, 270.0] * 8
    assert np.isnan(run.precursor_mz[~level_two]).all()
    assert not run.precursor_mz.flags.writeable


@pytest.mark.parametrize("threads", ["1", "3"])
def test_dropped_scans_keep_their_position_and_reason(make_file, monkeypatch, threads):
    monkeypatch.setenv("KELVARA_THREADS", threads)
    good = profile_record(1000, [(500, 7)])
    data, offsets = concat([good, b"\x01" * 40, good])
    run = read_run(make_file("second.qgd", {GCMS_INDEX: index_a(offsets), GCMS_DATA: data}))
    reason = (
        "GC-MS scan did not match Profile or MRM layout: format=257 n_peaks=257 event_id=257 "
        "n_transitions=257 data_bytes=8"
    )
    assert len(run) == 2 and run.dropped == [(1, reason)] and run.dropped.positions.tolist() == [1]
    assert pickle.loads(pickle.dumps(run)).dropped == run.dropped

    # 300 scans past the data, each with its own text: the first 255 texts
    # are kept, the rest share one.
    run = read_run(make_file("many.qgd", {GCMS_INDEX: index_a([len(data) + k for k in range(300)]), GCMS_DATA: data}))
    assert len(run) == 0 and run.dropped.positions.tolist() == list(range(300))
    reasons = [text for _, text in run.dropped]
    assert len(set(reasons[:255])) == 255 and set(reasons[255:]) == {run.dropped.reasons[-1]}
    assert len(run.dropped.reasons) == 256 and "not kept" in run.dropped.reasons[-1]


def test_probe_layout_ignores_the_extension(make_file, tmp_path):
    from kelvara_tools import _columns

    for path in SAMPLES:
        renamed = tmp_path / (os.path.basename(path) + ".renamed")
        renamed.write_bytes(pathlib.Path(path).read_bytes())
        assert _columns.probe_layout(renamed) == read_run(path).layout
    assert _columns.probe_layout(make_file("other.qgd", {"Other/Stream": b"x" * 10})) is None
    with pytest.raises(FormatError):
        _columns.probe_layout(__file__)  # not a compound file
    with pytest.raises(FileNotFoundError):
        _columns.probe_layout(tmp_path / "missing.qgd")


def test_paths_of_every_kind(tmp_path):
    sample = pathlib.Path(SAMPLES[0])
    for path in (str(sample), sample, os.fsencode(str(sample))):
        assert len(read_run(path)) == RawReader(str(sample)).scan_count
    with pytest.raises(TypeError):
        read_run(3)


# --- access by spectrum ---------------------------------------------------------


def test_indexing_iteration_and_repr():
    path = SAMPLES[0]
    run = read_run(path)
    spectra = reader_spectra(path)
    n = len(run)
    for i in (0, 1, n - 1, -1, -n):
        got, want = run[i], spectra[i]
        assert got.index == i % n
        assert (got.mz.tolist(), got.intensity.tolist()) == (want.mz, want.intensity)
        assert (got.ms_level, got.retention_time_sec, len(got)) == (want.ms_level, want.retention_time_sec, len(want))
    for bad in (n, -n - 1, 10**30):
        with pytest.raises(IndexError):
            run[bad]
    with pytest.raises(TypeError):
        run[1.0]
    assert [s.index for s in run] == list(range(n))
    assert repr(run) == f"Run('{os.path.basename(path)}', layout='{run.layout}', {n} spectra, {len(run.mz)} points)"
    with pytest.raises(AttributeError):
        run.mz = None


def nearest(times, target, candidates):
    return min(candidates, key=lambda i: (abs(times[i] - target), i))


@pytest.mark.parametrize("path", SAMPLES, ids=os.path.basename)
def test_scan_at_is_the_nearest_spectrum(path):
    run = read_run(path)
    times = run.retention_time_sec.tolist()
    rng = random.Random(1)
    targets = [times[0] - 5, times[-1] + 5] + [rng.uniform(times[0], times[-1]) for _ in range(30)]
    # Exact times and midpoints between neighbours: ties go to the earlier spectrum.
    targets += times[:5] + [(a + b) / 2 for a, b in zip(times[:10], times[1:11])]
    for level in (None, 1, 2):
        candidates = [i for i in range(len(run)) if level is None or run.ms_level[i] == level]
        for target in targets:
            if not candidates:
                with pytest.raises(ValueError):
                    run.scan_at(target, ms_level=level)
                continue
            got = run.scan_at(target, ms_level=level).index
            assert abs(times[got] - target) == abs(times[nearest(times, target, candidates)] - target)
            assert got == nearest(times, target, candidates)


def test_scan_at_with_times_out_of_order():
    times = np.array([5.0, 1.0, 3.0, 9.0])
    run = Run("x.qgd", "gcms", np.zeros(0), np.zeros(0, np.float32), np.zeros(5, np.int64), np.ones(4, np.uint8), times)
    assert [run.scan_at(t).index for t in (0.0, 2.1, 4.0, 7.5, 100.0)] == [1, 2, 0, 3, 3]


# --- chromatograms --------------------------------------------------------------


def reference_chromatograms(spectra, level, low, high):
    chosen = [s for s in spectra if level is None or s.ms_level == level]
    return (
        [s.retention_time_sec for s in chosen],
        [float(sum(s.intensity)) for s in chosen],
        [max(s.intensity, default=0.0) for s in chosen],
        [float(sum(i for m, i in zip(s.mz, s.intensity) if low <= m <= high)) for s in chosen],
    )


@pytest.mark.parametrize("level", [1, 2, None])
def test_chromatograms_match_a_per_spectrum_computation(make_file, level):
    path = make_file("odd.qgd", gcms_with_odd_scans())
    run, spectra = read_run(path), reader_spectra(path)
    for target, tol, ppm in ((91.0, 0.15, None), (109.0, None, 1500.0), (1000.0, 0.5, None)):
        half = tol if tol is not None else target * ppm * 1e-6
        times, tic, bpc, xic = reference_chromatograms(spectra, level, target - half, target + half)
        for got, want in ((run.tic(level), tic), (run.bpc(level), bpc), (run.xic(target, tol, ppm, level), xic)):
            assert got.retention_time_sec.tolist() == times
            assert got.intensity.tolist() == want
    with pytest.raises(TypeError):
        run.xic(91.0)
    with pytest.raises(TypeError):
        run.xic(91.0, tol=0.1, ppm=5)


@pytest.mark.parametrize("offsets, times", [([0, 32], [1.0, 2.0]), ([500, 600], [])])
def test_chromatograms_of_runs_without_points(make_file, offsets, times):
    data = concat([profile_record(1000, []), profile_record(2000, [])])[0]
    entries = {"GCMS Raw Data/Spectrum Index": index_a(offsets), "GCMS Raw Data/MS Raw Data": data}
    run = read_run(make_file("empty.qgd", entries))
    for chromatogram in (run.tic(), run.bpc(), run.xic(100.0, tol=1.0)):
        assert chromatogram.retention_time_sec.tolist() == times
        assert chromatogram.intensity.tolist() == [0.0] * len(times)
        assert chromatogram.intensity.dtype == np.float64


# --- errors ---------------------------------------------------------------------


def reader_error(path):
    with pytest.raises(RuntimeError) as caught:
        RawReader(path)
    return str(caught.value)


def test_missing_file_and_directory_are_os_errors(tmp_path):
    missing = tmp_path / "missing.qgd"
    with pytest.raises(FileNotFoundError) as caught:
        read_run(missing)
    assert caught.value.errno == 2 and caught.value.filename == missing
    folder = tmp_path / "folder.lcd"
    folder.mkdir()
    with pytest.raises(IsADirectoryError) as caught:
        read_run(str(folder))
    assert caught.value.errno == 21 and caught.value.filename == str(folder)
    with pytest.raises(ValueError, match="null byte"):
        read_run(str(tmp_path / "a\0b.qgd"))


@pytest.mark.parametrize("path", SAMPLES, ids=os.path.basename)
def test_a_cut_short_file_says_how_large_it_should_be(tmp_path, path):
    data = pathlib.Path(path).read_bytes()
    for keep in (100, len(data) // 2, len(data) - 4096):
        cut = tmp_path / f"cut{keep}{os.path.splitext(path)[1]}"
        cut.write_bytes(data[:keep])
        with pytest.raises(FormatError) as caught:
            read_run(cut)
        # The message is RawReader's; the sizes come beside it.
        assert str(caught.value) == reader_error(str(cut))
        assert caught.value.file_bytes == keep < caught.value.needed_bytes <= len(data)
    # A file that is whole but not a container has no sizes to give.
    bad = tmp_path / "bad.qgd"
    bad.write_bytes(b"\0" * len(data))
    with pytest.raises(FormatError) as caught:
        read_run(bad)
    assert caught.value.file_bytes is None and caught.value.needed_bytes is None


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0, reason="permissions do not bind root")
def test_unreadable_file_is_a_permission_error(tmp_path):
    path = tmp_path / "locked.qgd"
    path.write_bytes(open(SAMPLES[0], "rb").read())
    path.chmod(0)
    with pytest.raises(PermissionError) as caught:
        read_run(path)
    assert caught.value.errno == 13 and caught.value.filename == path


def budget_bomb():
    profile = profile_record(1000, [(1000 + i % 5000, i % 65536) for i in range(65535)])
    return {"GCMS Raw Data/Spectrum Index": index_a([0, len(profile)] * 2000), "GCMS Raw Data/MS Raw Data": profile}


INVALID = {
    "not-a-container.qgd": None,
    "wrong-extension.txt": gcms_entries([profile_record(1, [(10, 1)])]),
    "no-storage.lcd": gcms_entries([profile_record(1, [(10, 1)])]),
    "bad-index.qgd": {"GCMS Raw Data/Spectrum Index": b"\x01\x02\x03", "GCMS Raw Data/MS Raw Data": b""},
    "missing-stream.qgd": {"GCMS Raw Data/Spectrum Index": b""},
    "bomb.qgd": budget_bomb(),
}


@pytest.mark.parametrize("name", sorted(INVALID))
def test_invalid_runs_raise_format_error_with_the_reader_text(make_file, tmp_path, name):
    if INVALID[name] is None:
        path = str(tmp_path / name)
        pathlib.Path(path).write_bytes(b"not a compound file" * 40)
    else:
        path = make_file(name, INVALID[name])
    with pytest.raises(FormatError) as caught:
        read_run(path)
    assert isinstance(caught.value, ValueError) and type(caught.value) is kelvara_tools.FormatError
    assert str(caught.value) == reader_error(path)


def test_damaged_files_raise_format_error_or_equal_the_reader(tmp_path):
    """Random byte damage to real runs: never a crash, and the same outcome as RawReader."""
    rng = random.Random(2026)
    originals = [open(p, "rb").read() for p in SAMPLES]
    for trial in range(120):
        which = rng.randrange(len(SAMPLES))
        data = bytearray(originals[which])
        for _ in range(rng.choice((1, 4, 32))):
            data[rng.randrange(len(data))] = rng.randrange(256)
        if rng.random() < 0.2:
            data = data[: rng.randrange(len(data))]
        path = str(tmp_path / f"damaged{trial}{os.path.splitext(SAMPLES[which])[1]}")
        pathlib.Path(path).write_bytes(bytes(data))
        try:
            RawReader(path)
        except RuntimeError as error:
            with pytest.raises(FormatError) as caught:
                read_run(path)
            assert str(caught.value) == str(error)
        else:
            assert_same_as_reader(path)


# --- lifetime and pickling ------------------------------------------------------


def test_arrays_outlive_their_run():
    run = read_run(SAMPLES[0])
    expected = (run.mz.tolist(), run.intensity.tolist(), run.offsets.tolist())
    mz, intensity, offsets = run.mz, run.intensity, run.offsets
    spectrum = run[3]
    del run
    gc.collect()
    # Allocate and free enough to reuse any memory released too early.
    for _ in range(20):
        read_run(SAMPLES[1])
    assert (mz.tolist(), intensity.tolist(), offsets.tolist()) == expected
    assert spectrum.mz.tolist() == expected[0][expected[2][3] : expected[2][4]]


def test_memory_goes_with_the_last_array():
    run = read_run(SAMPLES[0])
    owners = [weakref.ref(getattr(run, key).base) for key in ("mz", "intensity", "offsets")]
    spectrum, intensity = run[2], run.intensity
    del run
    gc.collect()
    # The spectrum's views keep m/z and intensity; nothing keeps the offsets.
    assert [owner() is not None for owner in owners] == [True, True, False]
    del spectrum
    assert [owner() is not None for owner in owners] == [False, True, False]
    del intensity
    assert owners[1]() is None


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_pickling_round_trips_exactly(protocol):
    run = read_run(SAMPLES[2])
    back = pickle.loads(pickle.dumps(run, protocol=protocol))
    assert (back.name, back.layout, repr(back)) == (run.name, run.layout, repr(run))
    for key in ("mz", "intensity", "offsets", "ms_level", "retention_time_sec", "precursor_mz"):
        got, want = getattr(back, key), getattr(run, key)
        assert got.dtype == want.dtype and got.tobytes() == want.tobytes()
        assert not got.flags.writeable


def test_pickles_without_precursors_still_load(make_file):
    run = read_run(make_file("odd.qgd", gcms_with_odd_scans()))

    class Before:  # a Run as pickled before it had precursor_mz
        def __reduce__(self):
            return (Run, (run.name, run.layout, run.mz, run.intensity, run.offsets, run.ms_level, run.retention_time_sec))

    old = pickle.loads(pickle.dumps(Before()))
    assert old.offsets.tolist() == run.offsets.tolist() and len(old.precursor_mz) == len(run)
    assert np.isnan(old.precursor_mz).all() and not old.precursor_mz.flags.writeable


@pytest.mark.parametrize(
    "change",
    [
        {"offsets": np.array([0, 5], np.int64)},
        {"offsets": np.array([1, 3], np.int64)},
        {"intensity": np.zeros(2, np.float32)},
        {"mz": np.zeros(3, np.float32)},
        {"retention_time_sec": np.zeros(2)},
        {"precursor_mz": np.zeros(2)},
        {"precursor_mz": np.zeros(1, np.float32)},
        {"layout": "other"},
    ],
)
def test_run_refuses_inconsistent_columns(change):
    columns = {
        "name": "x.qgd",
        "layout": "gcms",
        "mz": np.zeros(3),
        "intensity": np.zeros(3, np.float32),
        "offsets": np.array([0, 3], np.int64),
        "ms_level": np.ones(1, np.uint8),
        "retention_time_sec": np.zeros(1),
    }
    Run(**columns)
    with pytest.raises(ValueError):
        Run(**{**columns, **change})

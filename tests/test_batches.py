"""iter_batches: the run in batches of whole spectra, in file order.

Concatenated, the batches must give exactly read_run's columns, whatever
the batch size and thread count, on every layout: the bundled samples and
the thread-test files, which mix dropped scans, MRM scans that expand into
several records, retention times that run out and indexes out of file order.
Errors are read_run's, raised when the walk reaches them.
"""

from __future__ import annotations

import os

import numpy as np
import pytest
from kelvara_tools import FormatError, RunBatch, iter_batches, read_run

from test_decode_budget import BUDGET_MESSAGE, HOSTILE
from test_threads import CASES, gc_write

SAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "samples")
COLUMNS = ("mz", "intensity", "ms_level", "retention_time_sec", "precursor_mz")


@pytest.fixture(scope="module")
def run_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("batches")
    files = {name: os.path.join(SAMPLES, name) for name in sorted(os.listdir(SAMPLES))}
    for name, make in CASES.items():
        filename, entries, _ = make()
        path = folder / f"{name}-{filename}"
        gc_write(path, entries)
        files[name] = str(path)
    return files


def assert_batches_make_the_run(batches, run, max_points):
    assert all(isinstance(b, RunBatch) for b in batches)
    assert all(len(b) >= 1 for b in batches)
    for b in batches:
        assert (b.name, b.layout) == (run.name, run.layout)
        # Whole spectra, within the limit unless one spectrum alone is larger.
        assert len(b.mz) <= max_points or len(b) == 1
    index = np.concatenate([b.index for b in batches]) if batches else np.zeros(0, np.int64)
    np.testing.assert_array_equal(index, np.arange(len(run)))
    for column in COLUMNS:
        parts = [getattr(b, column) for b in batches] or [getattr(run, column)[:0]]
        np.testing.assert_array_equal(np.concatenate(parts), getattr(run, column), err_msg=column)
    sizes = [np.diff(b.offsets) for b in batches] or [np.zeros(0, np.int64)]
    np.testing.assert_array_equal(np.concatenate(sizes), np.diff(run.offsets))
    # A batch as large as the limit allows: the next batch's first spectrum
    # would not have fitted.
    for b, following in zip(batches, batches[1:]):
        assert len(b.mz) + int(following.offsets[1]) > max_points


@pytest.mark.parametrize("threads", ["1", "2", "3"])
def test_batches_concatenated_are_read_run(run_files, monkeypatch, threads):
    monkeypatch.setenv("KELVARA_THREADS", threads)
    for name, path in run_files.items():
        run = read_run(path)
        sizes = np.diff(run.offsets)
        largest = int(sizes.max()) if len(sizes) else 1
        for max_points in (1, 7, largest, 3 * largest + 1, 1 << 20):
            batches = list(iter_batches(path, max_points=max_points))
            assert_batches_make_the_run(batches, run, max_points), (name, max_points)


def test_a_batch_is_a_read_only_run_that_pickles(run_files):
    import pickle

    batch = next(iter_batches(run_files["gcms"], max_points=500))
    with pytest.raises(AttributeError):
        batch.index = batch.index
    assert not batch.index.flags.writeable
    copy = pickle.loads(pickle.dumps(batch))
    assert isinstance(copy, RunBatch)
    for column in COLUMNS + ("offsets", "index"):
        np.testing.assert_array_equal(getattr(copy, column), getattr(batch, column))
    assert batch.tic(ms_level=None)[1].shape == (len(batch),)


def test_errors_are_read_runs(tmp_path, make_file):
    with pytest.raises(FileNotFoundError):
        next(iter_batches(tmp_path / "missing.qgd"))
    junk = tmp_path / "junk.lcd"
    junk.write_bytes(b"not a compound file" * 100)
    with pytest.raises(FormatError):
        next(iter_batches(junk))
    for bad in (0, -1):
        with pytest.raises(ValueError):
            next(iter_batches(junk, max_points=bad))
    with pytest.raises(TypeError):
        next(iter_batches(junk, max_points=1.5))


@pytest.mark.parametrize("name,filename,entries", HOSTILE, ids=[h[0] for h in HOSTILE])
def test_the_budget_error_is_read_runs(make_file, monkeypatch, name, filename, entries):
    path = make_file(filename, entries)
    with pytest.raises(FormatError) as whole:
        read_run(path)
    for threads in ("1", "2", "3"):
        monkeypatch.setenv("KELVARA_THREADS", threads)
        with pytest.raises(FormatError) as batched:
            for _ in iter_batches(path, max_points=1000):
                pass
        assert str(batched.value) == str(whole.value)
        assert str(batched.value).startswith(BUDGET_MESSAGE)


def large_files(folder):
    """Runs of several MiB, so that the walk cuts many windows and the
    threads take them out of turn: a GC-MS run whose index visits copies of
    its data in reversed and swapped order (windows spanning far apart
    scans), and a TTFL run whose subsets share starts in shuffled order."""
    import random
    import struct

    import gcms_encoders as gc
    import lcms_encoders as lc
    from test_threads import copy_order

    run = gc.realistic_run(n_scans=600, scan_ms=100, mrm_every=9, seed=21)
    data, offsets = gc.concat(run.records + [b"\x02" * 20])
    copies = (9 << 19) // len(data) + 1
    for order in ("reversed", "pairs-swapped"):
        visits = copy_order(order, copies)
        entries = {
            gc.GCMS_INDEX: gc.index_a([o + k * len(data) for k in visits for o in offsets]),
            gc.GCMS_DATA: data * copies,
        }
        yield f"gcms-{order}", "large.qgd", entries

    ttfl = lc.ttfl_run(n_scans=120, seed=12)
    scans = ttfl.entries[lc.TTFL_DATA]
    starts = [s for s, _, _, _ in struct.iter_unpack("<I4sI4s", ttfl.entries[lc.TTFL_INDEX])]
    copies = (5 << 19) // len(scans) + 1
    rng = random.Random(5)
    rows = [s + c * len(scans) for c in range(copies) for s in starts for _ in range(rng.choice((1, 1, 2, 3)))]
    rng.shuffle(rows)
    entries = dict(ttfl.entries)
    entries[lc.TTFL_DATA] = scans * copies
    entries[lc.TTFL_INDEX] = lc.ttfl_index([(start, n % 500) for n, start in enumerate(rows)])
    entries[lc.TTFL_TIMES] = lc.u32s([7 * n for n in range(500)])
    yield "ttfl-shared", "large.lcd", entries


@pytest.fixture(scope="module")
def large_run_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("large")
    files = {}
    for name, filename, entries in large_files(folder):
        path = folder / f"{name}-{filename}"
        gc_write(path, entries)
        files[name] = str(path)
    return files


@pytest.mark.timeout(300)
@pytest.mark.parametrize("threads", ["1", "2", "3"])
def test_batches_of_runs_of_many_windows_are_read_run(large_run_files, monkeypatch, threads):
    monkeypatch.setenv("KELVARA_THREADS", threads)
    for path in large_run_files.values():
        run = read_run(path)
        assert os.path.getsize(path) > 2 << 20 and len(run) > 1000
        for max_points in (1, 999, 1 << 20):
            assert_batches_make_the_run(list(iter_batches(path, max_points=max_points)), run, max_points)


@pytest.fixture(scope="module")
def long_run_file(tmp_path_factory):
    """A GC-MS run of some 24 MiB whose index starts with the last copy of
    its data: far more windows than the threads may read ahead."""
    import gcms_encoders as gc

    run = gc.realistic_run(n_scans=600, scan_ms=100, mrm_every=9, seed=21)
    data, offsets = gc.concat(run.records)
    copies = (24 << 20) // len(data) + 1
    path = tmp_path_factory.mktemp("long") / "long.qgd"
    gc_write(path, {
        gc.GCMS_INDEX: gc.index_a([o + k * len(data) for k in reversed(range(copies)) for o in offsets]),
        gc.GCMS_DATA: data * copies,
    })
    return str(path)


@pytest.mark.timeout(300)
@pytest.mark.parametrize("threads", ["1", "2", "3"])
def test_a_file_cut_short_fails_when_the_walk_reaches_the_cut(long_run_file, tmp_path, monkeypatch, threads):
    import shutil

    monkeypatch.setenv("KELVARA_THREADS", threads)
    whole = read_run(long_run_file)
    size = os.path.getsize(long_run_file)

    # Cut before the open: the container's chains run past the end of the
    # file, and the error is read_run's.
    cut = tmp_path / "cut.qgd"
    shutil.copyfile(long_run_file, cut)
    os.truncate(cut, size // 2)
    with pytest.raises(FormatError) as whole_error:
        read_run(cut)
    with pytest.raises(FormatError) as batch_error:
        next(iter_batches(cut))
    assert str(batch_error.value) == str(whole_error.value)

    # Cut while the walk is under way, past the windows the threads may have
    # read ahead: the batches before the cut are intact and stay so, and the
    # walk fails when it reaches the missing bytes.
    shutil.copyfile(long_run_file, cut)
    batches = iter_batches(cut, max_points=50_000)
    given = [next(batches)]
    os.truncate(cut, size // 2)
    with pytest.raises(FormatError, match="end of the file|ended|past the end"):
        for batch in batches:
            given.append(batch)
    spectra, points = sum(len(b) for b in given), sum(len(b.mz) for b in given)
    assert spectra < len(whole) // 2
    for column in COLUMNS:
        count = points if column in ("mz", "intensity") else spectra
        np.testing.assert_array_equal(np.concatenate([getattr(b, column) for b in given]), getattr(whole, column)[:count])

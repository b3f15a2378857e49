"""Decoding on several threads gives the records of one thread, in the same order.

KELVARA_THREADS is read at every open, so each test opens the same file with
several thread counts. The files mix good scans with scans that are dropped
(undecodable records, odd TTFL records), GC-MS MRM scans that expand into
several records, QTOF retention times that run out, and a TTFL index in
reverse file order, so a chunk handed over out of order, twice or not at all
shows up as a wrong record.
"""

from __future__ import annotations

import random
import struct

import pytest
from kelvara import RawReader
from kelvara_tools import FormatError, read_run

import gcms_encoders as gc
import lcms_encoders as lc
from test_decode_budget import BUDGET_MESSAGE, HOSTILE

THREADS = ["1", "2", "3", "7"]


def gcms_case():
    run = gc.realistic_run(n_scans=240, scan_ms=200, mrm_every=7, seed=3)
    records = []
    for k, record in enumerate(run.records):
        records.append(record)
        if k % 11 == 5:
            records.append(b"\x01" * 31)  # too short for the header: dropped
        if k % 17 == 3:
            records.append(gc.header(fmt=2, n_peaks=9) + b"\0" * 8)  # matches no layout: dropped
    return "run.qgd", gc.gcms_entries(records), run.expected


def single_quad_case():
    run = lc.single_quad_run(n_scans=240, seed=9)
    data = run.entries[lc.MASS_RAW_DATA]
    offsets = [o for (o,) in struct.iter_unpack("<I", run.entries[lc.MASS_RAW_INDEX])]
    cuts = list(zip(offsets, offsets[1:] + [len(data)]))
    records = []
    for k, (a, b) in enumerate(cuts):
        records.append(data[a:b])
        if k % 9 == 4:
            records.append(lc.sq_record(1000, [(1000, 5)] * 3, width=4, n_peaks=5))  # not divisible: dropped
    return "run.lcd", lc.mass_raw_entries(records), run.expected


def qtof_case():
    run = lc.qtof_run(n_scans=240, seed=4)
    data = run.entries[lc.QTFL_DATA]
    index = list(struct.iter_unpack("<I16sI", run.entries[lc.QTFL_INDEX]))
    times = [t for (t, _) in struct.iter_unpack("<I8s", run.entries[lc.QTFL_TIMES])]
    ends = [o for o, _, _ in index[1:]] + [len(data)]
    records, levels, stored_times, kept = [], [], [], []
    for k, ((offset, _, level), end) in enumerate(zip(index, ends)):
        records.append(data[offset:end])
        levels.append(level)
        stored_times.append(times[k])
        kept.append(len(records) - 1)
        if k % 13 == 6:
            records.append(lc.qtof_record([10**14], [1], width=2, declared=4000))  # shorter than declared
            levels.append(1)
            stored_times.append(1)
    # The retention times run out before the index does.
    cutoff = len(records) * 4 // 5
    entries = lc.qtof_file_entries(records, levels, stored_times[:cutoff])
    expected = [
        gc.Expected(want.mz, want.intensity, want.ms_level, want.rt if position < cutoff else 0.0)
        for want, position in zip(run.expected, kept)
    ]
    return "run.lcd", entries, expected


def ttfl_case():
    run = lc.ttfl_run(n_scans=160, seed=8)
    entries = dict(run.entries)
    subsets = list(struct.iter_unpack("<I4sI4s", entries[lc.TTFL_INDEX]))
    data = entries[lc.TTFL_DATA]
    # An odd-length record after every fifth scan: it yields no spectrum.
    starts = [s for s, _, _, _ in subsets] + [len(data)]
    pieces, moved = [], []
    for k in range(len(subsets)):
        moved.append(sum(len(p) for p in pieces))
        pieces.append(data[starts[k] : starts[k + 1]])
        if k % 5 == 2:
            pieces.append(b"\x01" * 67)
    junk = [moved[k] + len(data[starts[k] : starts[k + 1]]) for k in range(len(subsets)) if k % 5 == 2]
    rows = [(moved[k], r) for k, (_, _, r, _) in enumerate(subsets)] + [(j, 0) for j in junk]
    # The index lists the scans from last to first.
    rows.sort(reverse=True)
    entries[lc.TTFL_INDEX] = lc.ttfl_index(rows)
    entries[lc.TTFL_DATA] = b"".join(pieces)
    return "run.lcd", entries, list(reversed(run.expected))


def ttfl_shared_case():
    # Every scan listed one to three times, in shuffled order: subsets that
    # share a start share one decode, whichever thread takes them.
    run = lc.ttfl_run(n_scans=120, seed=12)
    entries = dict(run.entries)
    starts = [s for s, _, _, _ in struct.iter_unpack("<I4sI4s", entries[lc.TTFL_INDEX])]
    rng = random.Random(5)
    rows = [k for k in range(len(starts)) for _ in range(rng.choice((1, 1, 2, 3)))]
    rng.shuffle(rows)
    times = [500 + 7 * n for n in range(len(rows))]
    entries[lc.TTFL_INDEX] = lc.ttfl_index([(starts[k], n) for n, k in enumerate(rows)])
    entries[lc.TTFL_TIMES] = lc.u32s(times)
    expected = [
        gc.Expected(run.expected[k].mz, run.expected[k].intensity, 1, times[n] / 1000.0) for n, k in enumerate(rows)
    ]
    return "run.lcd", entries, expected


CASES = {
    "gcms": gcms_case,
    "single-quad": single_quad_case,
    "qtof": qtof_case,
    "ttfl": ttfl_case,
    "ttfl-shared": ttfl_shared_case,
}


@pytest.fixture(scope="module")
def case_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("threads")
    files = {}
    for name, make in CASES.items():
        filename, entries, expected = make()
        path = folder / f"{name}-{filename}"
        gc_write(path, entries)
        files[name] = (str(path), expected)
    return files


def gc_write(path, entries):
    from cfbwriter import write_cfb

    write_cfb(str(path), entries)


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("layout", list(CASES))
def test_every_thread_count_reads_back_the_same_records(case_files, monkeypatch, layout, threads):
    path, expected = case_files[layout]
    monkeypatch.setenv("KELVARA_THREADS", threads)
    gc.assert_read_back(RawReader(path), expected)


@pytest.mark.parametrize("threads", ["", "0", "-2", "two", "2 ", "99999999999999999999999"])
def test_a_thread_count_that_is_not_a_positive_number_still_reads(case_files, monkeypatch, threads):
    path, expected = case_files["gcms"]
    monkeypatch.setenv("KELVARA_THREADS", threads)
    gc.assert_read_back(RawReader(path), expected)


@pytest.mark.parametrize("opener,error", [(RawReader, RuntimeError), (read_run, FormatError)], ids=["RawReader", "read_run"])
@pytest.mark.parametrize("name,filename,entries", HOSTILE, ids=[h[0] for h in HOSTILE])
def test_the_budget_error_is_the_same_on_every_thread_count(
    make_file, monkeypatch, name, filename, entries, opener, error
):
    # read_run's threads copy values into its columns themselves; the walk
    # must still stop at the same record with the same message.
    path = make_file(filename, entries)
    messages = set()
    for threads in ["1", "2", "3"]:
        monkeypatch.setenv("KELVARA_THREADS", threads)
        with pytest.raises(error) as raised:
            opener(path)
        assert str(raised.value).startswith(BUDGET_MESSAGE)
        messages.add(str(raised.value))
    assert len(messages) == 1, messages


def records(reader):
    out = []
    for i in range(reader.scan_count):
        s = reader.read_spectrum(i)
        out.append((s.mz, s.intensity, s.ms_level, s.retention_time_sec))
    return out


def copy_order(order, copies):
    if order == "forward":
        return list(range(copies))
    if order == "reversed":
        return list(range(copies))[::-1]
    # Pairs swapped: the index goes back in the data after every other copy.
    return [k ^ 1 if k ^ 1 < copies else k for k in range(copies)]


@pytest.mark.parametrize("order", ["forward", "pairs-swapped", "reversed"])
@pytest.mark.parametrize("threads", [None, "1", "2"])
def test_large_files_read_back_whatever_the_order_of_the_index(make_file, monkeypatch, order, threads):
    # Scan data of several MiB: large enough for every core by default, for
    # many chunks, and for the scan data to be handed back to the system as
    # the walk leaves it behind, which must never take data a later index
    # entry still reads.
    run = gc.realistic_run(n_scans=600, scan_ms=100, mrm_every=9, seed=21)
    data, offsets = gc.concat(run.records + [b"\x02" * 20])
    copies = (9 << 19) // len(data) + 1
    visits = copy_order(order, copies)
    path = make_file(
        "large.qgd",
        {
            gc.GCMS_INDEX: gc.index_a([o + k * len(data) for k in visits for o in offsets]),
            gc.GCMS_DATA: data * copies,
        },
    )
    assert len(data) * copies > 4 << 20
    if threads is None:
        monkeypatch.delenv("KELVARA_THREADS", raising=False)
    else:
        monkeypatch.setenv("KELVARA_THREADS", threads)
    want = [(e.mz, e.intensity, e.ms_level, e.rt) for e in run.expected]
    assert records(RawReader(path)) == want * copies
    # read_run decodes chunk after chunk into buffers that later chunks
    # reuse once their values are in the columns.
    assert columns_of(read_run(path)) == want * copies


def columns_of(run):
    return [
        (run.mz[a:b].tolist(), run.intensity[a:b].tolist(), int(level), float(rt))
        for a, b, level, rt in zip(run.offsets[:-1], run.offsets[1:], run.ms_level, run.retention_time_sec)
    ]


@pytest.mark.parametrize("layout", list(CASES))
def test_read_run_gives_the_records_of_one_thread_on_every_thread_count(case_files, monkeypatch, layout):
    # read_run's decoding threads copy values into its columns themselves;
    # the columns must still follow the index.
    path, _ = case_files[layout]
    monkeypatch.setenv("KELVARA_THREADS", "1")
    want = records(RawReader(path))
    for threads in THREADS:
        monkeypatch.setenv("KELVARA_THREADS", threads)
        assert columns_of(read_run(path)) == want, threads


def os_threads():
    import os

    return len(os.listdir("/proc/self/task"))


@pytest.mark.skipif(not __import__("os").path.isdir("/proc/self/task"), reason="needs /proc")
@pytest.mark.parametrize("threads", ["100000", "99999999999999999999999"])
def test_a_huge_thread_count_is_capped_at_four_per_core(make_file, monkeypatch, threads):
    # read_run releases the interpreter lock, so a Python thread can watch
    # how many threads the process runs meanwhile: never more than four per
    # core beside the interpreter's own.
    import os
    import threading

    run = gc.realistic_run(n_scans=600, scan_ms=100, mrm_every=9, seed=21)
    data, offsets = gc.concat(run.records)
    copies = (9 << 19) // len(data) + 1
    path = make_file(
        "many.qgd",
        {gc.GCMS_INDEX: gc.index_a([o + k * len(data) for k in range(copies) for o in offsets]), gc.GCMS_DATA: data * copies},
    )
    monkeypatch.setenv("KELVARA_THREADS", threads)
    before = os_threads()
    peak, done = [before], threading.Event()

    def watch():
        while not done.is_set():
            peak[0] = max(peak[0], os_threads())

    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        got = read_run(path)
    finally:
        done.set()
        watcher.join()
    assert peak[0] - before - 1 <= 4 * os.cpu_count()
    want = [(e.mz, e.intensity, e.ms_level, e.rt) for e in run.expected]
    assert columns_of(got) == want * copies


def test_two_python_threads_each_streaming_its_own_file(make_file, monkeypatch):
    # Two walks at once, each with its own decoding workers, windows and
    # staging columns, the interpreter lock released while they decode:
    # neither may see the other's scans.
    import threading

    from kelvara_tools import iter_batches

    paths = []
    for seed in (21, 22):
        run = gc.realistic_run(n_scans=600, scan_ms=100, mrm_every=9, seed=seed)
        data, offsets = gc.concat(run.records)
        copies = (5 << 20) // len(data) + 1
        entries = {gc.GCMS_INDEX: gc.index_a([o + k * len(data) for k in range(copies) for o in offsets]),
                   gc.GCMS_DATA: data * copies}
        paths.append(make_file(f"stream{seed}.qgd", entries))
    monkeypatch.setenv("KELVARA_THREADS", "1")
    want = [columns_of(read_run(path)) for path in paths]
    monkeypatch.setenv("KELVARA_THREADS", "4")
    got = [[], []]

    def walk(k):
        for batch in iter_batches(paths[k], max_points=40_000):
            got[k].extend(columns_of(batch))

    walkers = [threading.Thread(target=walk, args=(k,)) for k in (0, 1)]
    for walker in walkers:
        walker.start()
    for walker in walkers:
        walker.join()
    assert got == want

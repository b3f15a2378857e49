"""Benchmark: kelvara_tools.read_run beside RawReader on a large run of every layout.

    python tools/bench_columns.py [--points 8] [--repeat 5] [--thread-repeat 15] [--layout gcms ...]

For each layout a realistic run from the test encoders is tiled until it
holds about the given number of million points, written as a compound file
to a temporary folder, and then timed:

- open:      read_run(path) against RawReader(path) (both open and decode);
- all values: read_run plus its columns against RawReader plus every
             read_spectrum's mz and intensity lists;
- memory:    the peak resident memory read_run adds in a fresh process, against
             the stream bytes + 12 bytes a point + 8 a spectrum, + 10%;
- threads:   two threads reading two copies of the file against one thread
             reading both, as throughput, each open on one thread
             (KELVARA_THREADS=1, as one open alone already keeps every core
             busy), beside the same with every core and two ceilings measured
             at that moment: what two threads of SHA-256 (work on the processor
             alone) get, and what two threads get that each fill as many bytes
             of fresh memory as one read_run does (work bound by the system's
             page faults, as most of a single-threaded read_run is); and how
             much of its pace a Python loop keeps while read_run (or RawReader)
             runs in another thread, which shows whether the interpreter lock
             is released;
- to_arrow:  its time as a share of read_run's.

Times are the best of --repeat rounds (--thread-repeat for the short
two-thread probes, which swing most with the machine), in which the timings
compared take turns; every ratio printed is from this one run.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

import gcms_encoders as gc_enc  # noqa: E402
import lcms_encoders as lc_enc  # noqa: E402
from cfbwriter import write_cfb  # noqa: E402

from kelvara import RawReader  # noqa: E402
from kelvara_tools import read_run  # noqa: E402


def best_of(repeat, *actions):
    """The best time of each action; they take turns, round after round."""
    best = [float("inf")] * len(actions)
    for _ in range(repeat):
        for k, action in enumerate(actions):
            start = time.perf_counter()
            result = action()
            best[k] = min(best[k], time.perf_counter() - start)
            del result
    return best


def u32_column(data, width, field=0):
    """The u32 at byte `field` of each `width`-byte entry."""
    return [struct.unpack_from("<I", data, k + field)[0] for k in range(0, len(data) - width + 1, width)]


def tile_entries(layout, entries, copies):
    """The run repeated `copies` times: scan data back to back, index offsets
    (and retention-time positions) shifted, retention times continued."""
    if layout == "gcms":
        data = entries[gc_enc.GCMS_DATA]
        offsets = u32_column(entries[gc_enc.GCMS_INDEX], 4)
        tiled = [o + k * len(data) for k in range(copies) for o in offsets]
        return {gc_enc.GCMS_INDEX: gc_enc.index_a(tiled), gc_enc.GCMS_DATA: data * copies}
    if layout == "single_quad":
        data = entries[lc_enc.MASS_RAW_DATA]
        offsets = u32_column(entries[lc_enc.MASS_RAW_INDEX], 4)
        tiled = [o + k * len(data) for k in range(copies) for o in offsets]
        return {lc_enc.MASS_RAW_INDEX: lc_enc.u32s(tiled), lc_enc.MASS_RAW_DATA: data * copies}
    if layout == "qtof_centroid":
        data, index = entries[lc_enc.QTFL_DATA], entries[lc_enc.QTFL_INDEX]
        offsets, levels = u32_column(index, 24), u32_column(index, 24, 20)
        times = u32_column(entries[lc_enc.QTFL_TIMES], 12)
        span = times[-1] - times[0] + 150
        return {
            lc_enc.QTFL_INDEX: lc_enc.qtof_index(
                [(o + k * len(data), lv) for k in range(copies) for o, lv in zip(offsets, levels)]
            ),
            lc_enc.QTFL_DATA: data * copies,
            lc_enc.QTFL_TIMES: lc_enc.qtof_times([t + k * span for k in range(copies) for t in times]),
        }
    data, index = entries[lc_enc.TTFL_DATA], entries[lc_enc.TTFL_INDEX]
    starts, rt_index = u32_column(index, 16), u32_column(index, 16, 8)
    times = u32_column(entries[lc_enc.TTFL_TIMES], 4)
    span = times[-1] - times[0] + 400
    tiled = dict(entries)
    tiled[lc_enc.TTFL_INDEX] = lc_enc.ttfl_index(
        [(s + k * len(data), r + k * len(times)) for k in range(copies) for s, r in zip(starts, rt_index)]
    )
    tiled[lc_enc.TTFL_DATA] = data * copies
    tiled[lc_enc.TTFL_TIMES] = lc_enc.u32s([t + k * span for k in range(copies) for t in times])
    return tiled


def base_entries(layout):
    if layout == "gcms":
        run = gc_enc.realistic_run(n_scans=2000, scan_ms=100, mrm_every=50, seed=11)
        return ".qgd", gc_enc.gcms_entries(run.records)
    if layout == "single_quad":
        return ".lcd", lc_enc.single_quad_run(n_scans=1000, seed=11).entries
    if layout == "qtof_centroid":
        return ".lcd", lc_enc.qtof_run(n_scans=1000, seed=11).entries
    return ".lcd", lc_enc.ttfl_run(n_scans=300, seed=11).entries


# One measurement in a fresh process that has already imported kelvara,
# numpy and kelvara_tools: the time of one action and the peak resident
# memory (Linux VmHWM) it adds. A fresh process for every measurement, so
# neither reader finds memory freed by an earlier repetition to reuse.
PROBE = """
import sys, time
from kelvara import RawReader
from kelvara_tools import read_run
def status(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(key))
def reader_lists(path):
    reader = RawReader(path)
    for i in range(reader.scan_count):
        spectrum = reader.read_spectrum(i)
        spectrum.mz, spectrum.intensity
    return reader
def run_columns(path):
    run = read_run(path)
    return run.mz, run.intensity, run.offsets, run.ms_level, run.retention_time_sec
actions = {"reader": RawReader, "run": read_run, "reader_lists": reader_lists, "run_columns": run_columns}
action, path = sys.argv[1:]
before = status("VmRSS:")
start = time.perf_counter()
result = actions[action](path)
elapsed = time.perf_counter() - start
added = status("VmHWM:") - before
counts = (len(result), len(result.mz)) if action == "run" else (0, 0)
print(elapsed, added, *counts)
"""


def probe(actions, path, repeat):
    """For each action, its best time over fresh processes, the peak memory
    it added (bytes) in the first, and for "run" the spectra and points.
    The actions take turns, round after round, so that a machine growing
    busier or quieter meanwhile weighs on all of them alike."""
    best, first = {}, {}
    for _ in range(repeat):
        for action in actions:
            out = subprocess.run([sys.executable, "-c", PROBE, action, path], capture_output=True, text=True,
                                 check=True)
            elapsed, added_kb, spectra, points = out.stdout.split()
            best[action] = min(best.get(action, float("inf")), float(elapsed))
            first.setdefault(action, (int(added_kb) * 1024, int(spectra), int(points)))
    return {action: (best[action], first[action]) for action in actions}


def two_thread_ratio(action, arguments, repeat):
    """Time of `action` on each argument in turn over the time of one thread per argument."""

    def one_thread():
        for argument in arguments:
            action(argument)

    def two_threads():
        workers = [threading.Thread(target=action, args=(argument,)) for argument in arguments]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    t_one, t_two = best_of(repeat, one_thread, two_threads)
    return t_one / t_two, busy_cores(two_threads)


def busy_cores(action):
    """Processor time over wall time while `action` runs: above 1 only when
    its threads run at the same time."""
    start, wall = time.process_time(), time.perf_counter()
    action()
    return (time.process_time() - start) / (time.perf_counter() - wall)


def python_pace_during(action):
    """How much of its own pace a pure-Python loop keeps while `action` runs
    in another thread: near 0 if the action held the interpreter lock, near
    1 (or what a second core allows) if it releases it."""

    def spin(stop):
        count = 0
        while not stop.is_set():
            count += 1
        return count

    def after(stop):
        action()
        stop.set()

    stop = threading.Event()
    thread = threading.Thread(target=after, args=(stop,))
    start = time.perf_counter()
    thread.start()
    during = spin(stop)
    elapsed = time.perf_counter() - start
    thread.join()
    # The same loop alone, as long, stopped by a timer thread.
    stop = threading.Event()
    timer = threading.Timer(elapsed, stop.set)
    timer.start()
    alone = spin(stop)
    timer.join()
    return during / alone


def machine_ratio(repeat):
    """What two threads of plain C work that releases the interpreter lock
    (SHA-256 of 64 MB) gain right now: the ceiling on a shared machine."""
    block = bytes(64 << 20)
    return two_thread_ratio(lambda b: hashlib.sha256(b).digest(), [block, block], repeat)[0]


def memory_ratio(size, repeat):
    """What two threads gain right now that each fill `size` bytes of fresh
    memory (numpy's fill releases the interpreter lock): the ceiling for work
    bound by page faults. read_run's streams and columns live on ordinary
    pages, so numpy's advice for huge pages is turned off meanwhile."""
    import numpy

    try:
        from numpy._core.multiarray import _set_madvise_hugepage
    except ImportError:  # numpy 1.x
        from numpy.core.multiarray import _set_madvise_hugepage
    before = _set_madvise_hugepage(False)
    try:
        return two_thread_ratio(lambda n: numpy.ones(n, dtype=numpy.uint8), [size, size], repeat)[0]
    finally:
        _set_madvise_hugepage(before)


def bench_layout(layout, million_points, repeat, thread_repeat, folder):
    suffix, entries = base_entries(layout)
    sample = os.path.join(folder, "sample" + suffix)
    write_cfb(sample, entries)
    points_per_copy = len(read_run(sample).mz)
    copies = max(1, round(million_points * 1e6 / points_per_copy))
    tiled = tile_entries(layout, entries, copies)
    stream_bytes = sum(len(v) for v in tiled.values())
    paths = [os.path.join(folder, f"{layout}{k}{suffix}") for k in range(2)]
    for p in paths:
        write_cfb(p, tiled)
    del tiled, entries
    path = paths[0]
    for p in paths:
        with open(p, "rb") as f:
            while f.read(1 << 24):  # warm the page cache
                pass

    probes = probe(["reader", "run", "reader_lists", "run_columns"], path, repeat)
    t_reader = probes["reader"][0]
    t_run, (added, spectra, points) = probes["run"]
    t_lists = probes["reader_lists"][0]
    t_arrays = probes["run_columns"][0]
    allowed = (stream_bytes + 12 * points + 8 * spectra) * 1.1
    # One open already decodes on every core, so the threads here each open
    # on one (KELVARA_THREADS=1): what is left to gain comes from the
    # interpreter lock being released. The same with every core per open is
    # printed beside it.
    os.environ["KELVARA_THREADS"] = "1"
    try:
        threads, cores = two_thread_ratio(read_run, paths, thread_repeat)
    finally:
        del os.environ["KELVARA_THREADS"]
    threads_all, _ = two_thread_ratio(read_run, paths, thread_repeat)
    ceiling = machine_ratio(thread_repeat)
    memory_ceiling = memory_ratio(stream_bytes + 12 * points + 8 * spectra, thread_repeat)
    pace = python_pace_during(lambda: read_run(path))
    pace_reader = python_pace_during(lambda: RawReader(path))
    run = read_run(path)
    run.to_arrow()  # the first call imports pyarrow
    (t_arrow,) = best_of(repeat, run.to_arrow)

    print(f"{layout}: {os.path.getsize(path) / 1e6:.0f} MB file, {spectra} spectra, {points / 1e6:.1f} M points")
    print(f"  read_run {t_run * 1e3:.0f} ms / RawReader {t_reader * 1e3:.0f} ms = {t_run / t_reader:.2f}x (goal <= 1.1x)")
    print(f"  all values: RawReader + lists {t_lists * 1e3:.0f} ms / read_run + columns {t_arrays * 1e3:.0f} ms"
          f" = {t_lists / t_arrays:.1f}x faster (goal >= 3x)")
    print(f"  peak memory added by read_run {added / 1e6:.0f} MB; streams {stream_bytes / 1e6:.0f} MB"
          f" + 12 B/point + 8 B/spectrum + 10% = {allowed / 1e6:.0f} MB ({added / allowed:.2f} of it)")
    print(f"  two threads on two files, each open on one thread: {threads:.2f}x the throughput of one"
          f" (goal >= 1.6x), {cores:.2f} cores busy; with every core per open: {threads_all:.2f}x")
    print(f"  on this machine now (load {os.getloadavg()[0]:.1f}), two threads get {ceiling:.2f}x on SHA-256"
          f" and {memory_ceiling:.2f}x filling fresh memory, as much per thread as one read_run writes")
    print(f"  a Python thread keeps {100 * pace:.0f}% of its pace while read_run decodes in another thread,"
          f" {100 * pace_reader:.0f}% while RawReader (which holds the interpreter lock) does")
    print(f"  to_arrow {t_arrow * 1e3:.2f} ms = {100 * t_arrow / t_run:.2f}% of read_run (goal < 5%)")
    sys.stdout.flush()
    for p in paths:
        os.unlink(p)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=float, default=8.0, help="million points per file")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--thread-repeat", type=int, default=15, help="rounds of the two-thread probes")
    parser.add_argument("--layout", nargs="*", default=["gcms", "single_quad", "ttfl_profile", "qtof_centroid"])
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        for layout in args.layout:
            bench_layout(layout, args.points, args.repeat, args.thread_repeat, folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())

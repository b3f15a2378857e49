"""Benchmark: how fast files of every layout open, against the floors, and what it costs in memory.

    python tools/bench.py [--size-mb 150] [--rounds 5] [--small-mb 3]

Writes a realistic synthetic run of about the given size for each of the four
layouts (GC-MS with MRM scans, single-quadrupole, QTOF with MS1/MS2
alternation, TTFL profile with a tuning result), made by the test encoders
and tiled with advancing retention times, plus a small GC-MS and TTFL file.
For every file it prints the median of several rounds (the materialisation
floor and the two opens taking turns, round after round) of:

- the read floor: open(path, 'rb').read() of the whole file;
- the materialisation floor: a small C++ program (tools/materialise_floor.cpp,
  built here with the system compiler) that preads the file and writes 12
  bytes per point into one vector<double> and one vector<float> per spectrum;
- RawReader(path) with KELVARA_THREADS=1 and with all threads;
- reading every spectrum's mz and intensity, against building lists of the
  same lengths from an array;
- the peak resident memory an open adds to a fresh process, against the
  stream bytes plus 12 bytes per point.

It ends with one line per goal giving the worst file's figure.
"""

from __future__ import annotations

import argparse
import array
import ctypes
import ctypes.util
import os
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

import gcms_encoders as gc  # noqa: E402
import lcms_encoders as lc  # noqa: E402
from cfbwriter import write_cfb  # noqa: E402

from kelvara import RawReader  # noqa: E402

# Goals: single-threaded open against the materialisation floor, all cores
# against one on the TTFL and GC-MS files, peak memory against the budget.
SINGLE_VS_FLOOR = 1.2
THREADED_VS_SINGLE = 0.7
MEMORY_VS_BUDGET = 1.10
BYTES_PER_POINT = 12


# --- files -------------------------------------------------------------------


def copies_for(target_bytes, base_bytes):
    return max(1, -(-int(target_bytes) // max(1, base_bytes)))


def tile_offsets(offsets, data_len, copies):
    return [o + k * data_len for k in range(copies) for o in offsets]


def retimed(data, offsets, field, shift):
    """A copy of `data` with the u32 retention time at `field` of every record advanced by `shift`."""
    out = bytearray(data)
    for o in offsets:
        (rt,) = struct.unpack_from("<I", out, o + field)
        struct.pack_into("<I", out, o + field, rt + shift)
    return out


def tiled_records(data, offsets, field, span_ms, copies):
    """`copies` copies of a run's records back to back, each later copy later in time."""
    return b"".join(retimed(data, offsets, field, k * span_ms) for k in range(copies))


def offset_list_file(filename, index_path, data_path, data, offsets, span_ms, target_bytes):
    """A layout indexed by a bare u32 offset list, its records tiled to the target size."""
    copies = copies_for(target_bytes, len(data))
    all_offsets = tile_offsets(offsets, len(data), copies)
    return filename, {
        index_path: struct.pack(f"<{len(all_offsets)}I", *all_offsets),
        data_path: tiled_records(data, offsets, 4, span_ms, copies),
    }


def gcms_file(target_bytes):
    n_scans, scan_ms = 2000, 100
    run = gc.realistic_run(n_scans=n_scans, scan_ms=scan_ms, mrm_every=25, seed=11)
    data, offsets = gc.concat(run.records)
    return offset_list_file("bench.qgd", gc.GCMS_INDEX, gc.GCMS_DATA, data, offsets, n_scans * scan_ms, target_bytes)


def single_quad_file(target_bytes):
    n_scans, scan_ms = 2000, 300
    entries = lc.single_quad_run(n_scans=n_scans, scan_ms=scan_ms, seed=5).entries
    data = entries[lc.MASS_RAW_DATA]
    offsets = [o for (o,) in struct.iter_unpack("<I", entries[lc.MASS_RAW_INDEX])]
    return offset_list_file(
        "bench-sq.lcd", lc.MASS_RAW_INDEX, lc.MASS_RAW_DATA, data, offsets, n_scans * scan_ms, target_bytes
    )


def qtof_file(target_bytes):
    n_scans, scan_ms = 2000, 150
    entries = lc.qtof_run(n_scans=n_scans, scan_ms=scan_ms, n_compounds=30, seed=11).entries
    data = entries[lc.QTFL_DATA]
    index = list(struct.iter_unpack("<I16sI", entries[lc.QTFL_INDEX]))
    times = [t for (t, _) in struct.iter_unpack("<I8s", entries[lc.QTFL_TIMES])]
    copies = copies_for(target_bytes, len(data))
    fill = bytes([lc.HEADER_FILL]) * 8
    return "bench-qtof.lcd", {
        lc.QTFL_INDEX: b"".join(
            struct.pack("<I16sI", o + k * len(data), mid, level) for k in range(copies) for o, mid, level in index
        ),
        lc.QTFL_DATA: data * copies,
        lc.QTFL_TIMES: b"".join(
            struct.pack("<I8s", t + k * n_scans * scan_ms, fill) for k in range(copies) for t in times
        ),
    }


def ttfl_file(target_bytes):
    n_scans, scan_ms = 400, 400
    entries = lc.ttfl_run(n_scans=n_scans, scan_ms=scan_ms, n_compounds=60, seed=23).entries
    data = entries[lc.TTFL_DATA]
    subsets = list(struct.iter_unpack("<I4sI4s", entries[lc.TTFL_INDEX]))
    times = [t for (t,) in struct.iter_unpack("<I", entries[lc.TTFL_TIMES])]
    copies = copies_for(target_bytes, len(data))
    out = {
        lc.TTFL_INDEX: b"".join(
            struct.pack("<I4sI4s", o + k * len(data), a, r + k * len(times), b)
            for k in range(copies)
            for o, a, r, b in subsets
        ),
        lc.TTFL_DATA: data * copies,
        lc.TTFL_TIMES: struct.pack(
            f"<{copies * len(times)}I", *(t + k * n_scans * scan_ms for k in range(copies) for t in times)
        ),
    }
    out.update({k: v for k, v in entries.items() if k in lc.TUNING})
    return "bench-ttfl.lcd", out


LAYOUTS = [("GC-MS", gcms_file), ("single-quad", single_quad_file), ("QTOF", qtof_file), ("TTFL", ttfl_file)]
# Layouts whose threaded open has a goal.
THREADED_GOAL = ("GC-MS", "TTFL")


# --- measurements --------------------------------------------------------------


def _malloc_trim():
    try:
        return ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6").malloc_trim
    except (OSError, AttributeError):
        return None


MALLOC_TRIM = _malloc_trim()


def timed(action):
    """Seconds for `action`. What it made is released, and the heap's free
    memory handed back to the system, so the next round writes into fresh
    memory as a newly started process would (the floor program does the same)."""
    return timed_cpu(action)[0]


def timed_cpu(action):
    """`timed`, with the processor seconds of the calling thread and of the
    whole process during `action` (releasing what it made not included)."""
    thread_start, process_start = time.thread_time(), time.process_time()
    start = time.perf_counter()
    result = action()
    elapsed = time.perf_counter() - start
    thread, process = time.thread_time() - thread_start, time.process_time() - process_start
    del result
    if MALLOC_TRIM is not None:
        MALLOC_TRIM(0)
    return elapsed, thread, process


def open_with(path, threads):
    """RawReader(path) with KELVARA_THREADS set to `threads` (None: unset).

    Returns the wall seconds, and the processor seconds of the calling thread
    and of the whole process (the calling thread and the workers).
    """
    if threads is None:
        os.environ.pop("KELVARA_THREADS", None)
    else:
        os.environ["KELVARA_THREADS"] = str(threads)
    try:
        return timed_cpu(lambda: RawReader(path))
    finally:
        os.environ.pop("KELVARA_THREADS", None)


def build_floor(folder):
    exe = os.path.join(folder, "materialise_floor")
    compiler = os.environ.get("CXX", "c++")
    source = os.path.join(HERE, "materialise_floor.cpp")
    subprocess.run([compiler, "-O2", "-std=c++20", "-o", exe, source], check=True)
    return exe


class Floor:
    """The floor program, kept running: each round() asks it for one more
    round, so its rounds take turns with the opens while running in one
    process, as a reader's would."""

    def __init__(self, exe, path, counts_path):
        self.process = subprocess.Popen([exe, path, counts_path, "0"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)

    def round(self):
        self.process.stdin.write("\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError("the materialisation floor program stopped")
        return tuple(map(float, line.split()))

    def close(self):
        self.process.stdin.close()
        if self.process.wait() != 0:
            raise RuntimeError("the materialisation floor program failed")


# The high-water mark of resident memory (Linux VmHWM, the same figure as
# getrusage's ru_maxrss of the child) before and after an open, in a fresh
# process.
PROBE = """
import sys
from kelvara import RawReader
def hwm():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
base = hwm()
reader = RawReader(sys.argv[1])
print(hwm(), base)
"""


def peak_memory(path, threads):
    """Peak and starting resident size, in bytes, of a process that opens `path`."""
    env = dict(os.environ)
    env.pop("KELVARA_THREADS", None)
    if threads is not None:
        env["KELVARA_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, "-c", PROBE, path], capture_output=True, text=True, check=True, env=env)
    peak_kb, base_kb = map(int, out.stdout.split())
    return peak_kb * 1024, base_kb * 1024


def read_through(reader, n):
    for i in range(n):
        s = reader.read_spectrum(i)
        s.mz
        s.intensity


def lists_from_array(counts, mz, intensity):
    for n in counts:
        mz[:n].tolist()
        intensity[:n].tolist()


def measure(name, filename, entries, folder, floor_exe, rounds, read_rounds):
    path = os.path.join(folder, filename)
    write_cfb(path, entries)
    stream_bytes = sum(len(v) for v in entries.values() if v is not None)
    del entries
    size = os.path.getsize(path)

    def read_bytes():
        with open(path, "rb") as f:
            return f.read()

    read_bytes()  # warm the page cache
    t_read = statistics.median(timed(read_bytes) for _ in range(rounds))

    reader = RawReader(path)
    n = reader.scan_count
    counts = [len(reader.read_spectrum(i)) for i in range(n)]
    points = sum(counts)
    counts_path = path + ".counts"
    with open(counts_path, "wb") as f:
        array.array("I", counts).tofile(f)
    del reader
    # The floor and the opens take turns, round after round, so that a
    # machine growing busier or quieter meanwhile weighs on them alike.
    floor, single, threaded = [], [], []
    floor_program = Floor(floor_exe, path, counts_path)
    try:
        for _ in range(rounds):
            floor.append(floor_program.round())
            single.append(open_with(path, 1))
            threaded.append(open_with(path, None))
    finally:
        floor_program.close()
    t_floor = statistics.median(t[0] for t in floor)
    cpu_floor = statistics.median(t[1] for t in floor)
    t_single, t_threaded = (statistics.median(t[0] for t in single), statistics.median(t[0] for t in threaded))
    cpu_single = statistics.median(t[2] for t in single)
    cpu_caller = statistics.median(t[1] for t in threaded)
    cpu_threaded = statistics.median(t[2] for t in threaded)

    reader = RawReader(path)
    widest = max(counts, default=0)
    mz = memoryview(array.array("d", (100.0 + k * 0.01 for k in range(widest))))
    intensity = memoryview(array.array("f", (float(k % 5000) for k in range(widest))))
    t_lists = statistics.median(timed(lambda: read_through(reader, n)) for _ in range(read_rounds))
    t_array = statistics.median(timed(lambda: lists_from_array(counts, mz, intensity)) for _ in range(read_rounds))
    del reader

    budget = stream_bytes + BYTES_PER_POINT * points
    memory = {}
    for threads in (1, None):
        peak, base = peak_memory(path, threads)
        memory[threads] = (peak - base, base)
    os.remove(path)
    os.remove(counts_path)
    return {
        "name": name,
        "size": size,
        "spectra": n,
        "points": points,
        "read": t_read,
        "floor": t_floor,
        "cpu_floor": cpu_floor,
        "single": t_single,
        "threaded": t_threaded,
        "cpu_single": cpu_single,
        "cpu_caller": cpu_caller,
        "cpu_threaded": cpu_threaded,
        "lists": t_lists,
        "array": t_array,
        "budget": budget,
        "memory": memory,
    }


def report(r):
    mb = 1e6
    print(f"{r['name']}: {r['size'] / mb:.1f} MB, {r['spectra']} spectra, {r['points'] / 1e6:.1f} M points")
    print(f"  read floor                   {r['read']:7.3f} s")
    print(f"  materialisation floor        {r['floor']:7.3f} s")
    print(f"  RawReader, 1 thread          {r['single']:7.3f} s  ({r['single'] / r['floor']:.2f}x floor)")
    print(f"  RawReader, all threads       {r['threaded']:7.3f} s  ({r['threaded'] / r['single']:.2f}x 1 thread)")
    print(f"  processor time: floor {r['cpu_floor']:.3f} s, open on 1 thread {r['cpu_single']:.3f} s "
          f"({r['cpu_single'] / r['cpu_floor']:.2f}x floor)")
    print(f"  processor time of the open   {r['cpu_single']:7.3f} s on 1 thread; all threads: "
          f"{r['cpu_threaded']:.3f} s in all, {r['cpu_caller']:.3f} s on the calling thread "
          f"({r['cpu_caller'] / r['cpu_single']:.2f}x)")
    print(f"  mz+intensity of every spectrum {r['lists']:5.3f} s  "
          f"(lists from an array: {r['array']:.3f} s, {r['lists'] / r['array']:.2f}x)")
    for threads, label in ((1, "1 thread"), (None, "all threads")):
        added, base = r["memory"][threads]
        print(f"  peak memory added, {label:11s} {added / mb:7.1f} MB of budget {r['budget'] / mb:.1f} MB "
              f"({added / r['budget']:.2f}x; process started at {base / mb:.0f} MB)")


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mb", type=float, default=150.0, help="size of each layout's file")
    parser.add_argument("--small-mb", type=float, default=3.0, help="size of the small files")
    parser.add_argument("--rounds", type=int, default=5, help="rounds per open and floor timing")
    parser.add_argument("--read-rounds", type=int, default=3, help="rounds per read-through timing")
    args = parser.parse_args()

    results, small = [], []
    with tempfile.TemporaryDirectory() as folder:
        floor_exe = build_floor(folder)
        print(f"{os.cpu_count()} cores; medians of {args.rounds} rounds ({args.read_rounds} for reading spectra)")
        print(f"load average at the start: {' '.join(f'{x:.1f}' for x in os.getloadavg())}\n")
        for name, make in LAYOUTS:
            filename, entries = make(args.size_mb * 1e6)
            results.append(measure(name, filename, entries, folder, floor_exe, args.rounds, args.read_rounds))
            report(results[-1])
        for name, make in LAYOUTS:
            if name not in THREADED_GOAL:
                continue
            filename, entries = make(args.small_mb * 1e6)
            small.append(measure(f"{name} (small)", filename, entries, folder, floor_exe, args.rounds, 1))
            report(small[-1])

    def worst(rows, key):
        return max(rows, key=key)

    print("\ngoals (worst file):")
    w = worst(results, lambda r: r["single"] / r["floor"])
    ratio = w["single"] / w["floor"]
    print(f"  single-threaded open / materialisation floor: {ratio:.2f}x on {w['name']} "
          f"(goal <= {SINGLE_VS_FLOOR}x: {'met' if ratio <= SINGLE_VS_FLOOR else 'NOT met'})")
    w = worst(results, lambda r: r["cpu_single"] / r["cpu_floor"])
    print(f"    in processor time: {w['cpu_single'] / w['cpu_floor']:.2f}x on {w['name']}")
    rows = [r for r in results if r["name"] in THREADED_GOAL]
    w = worst(rows, lambda r: r["threaded"] / r["single"])
    ratio = w["threaded"] / w["single"]
    print(f"  all-threads open / single-threaded, TTFL and GC-MS: {ratio:.2f}x on {w['name']} "
          f"(goal <= {THREADED_VS_SINGLE}x: {'met' if ratio <= THREADED_VS_SINGLE else 'NOT met'})")
    w = worst(rows, lambda r: r["cpu_caller"] / r["cpu_single"])
    print(f"    the calling thread's processor time with all threads / the single-threaded open's: "
          f"{w['cpu_caller'] / w['cpu_single']:.2f}x on {w['name']}; with every thread: "
          f"{w['cpu_threaded'] / w['cpu_single']:.2f}x")
    w = worst(results, lambda r: max(m[0] for m in r["memory"].values()) / r["budget"])
    ratio = max(m[0] for m in w["memory"].values()) / w["budget"]
    print(f"  peak memory added by an open / (stream bytes + 12 B per point): {ratio:.2f}x on {w['name']} "
          f"(goal <= {MEMORY_VS_BUDGET:.2f}x: {'met' if ratio <= MEMORY_VS_BUDGET else 'NOT met'})")
    w = worst(small, lambda r: r["threaded"] / r["single"])
    ratio = w["threaded"] / w["single"]
    print(f"  small files, all threads / 1 thread: {ratio:.2f}x on {w['name']} (should not exceed about 1.0x)")
    w = worst(results, lambda r: r["lists"] / r["array"])
    print(f"  reading every spectrum / lists from an array: {w['lists'] / w['array']:.2f}x on {w['name']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

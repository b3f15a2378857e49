"""Benchmark: how fast runs of every layout become mzML and Parquet.

    python tools/bench_convert.py [--points 8] [--repeat 2] [--layout gcms ...] [--compress none zlib] [--options]

For each layout the realistic run of tools/bench_columns.py is tiled to
about the given number of million points and written as a compound file to
a temporary folder. Then, best of --repeat:

- mzML writer: write_mzml of the already read run, uncompressed and zlib;
  throughput is megabytes of mzML written per second (the writer's own
  speed: hashing, base64, XML, the index and the file checksum included);
- convert: convert_file end to end (read_run, writing, fsync, rename), as
  megabytes of mzML per second and megabytes of input per second;
- Parquet: convert_file to the peaks shape, megabytes of input per second;
- mzML options (--options): write_mzml with zlib and MS-Numpress, gzip or
  32-bit m/z, the size on disk and the time, and for numpress the same
  spectra encoded with pynumpress one array at a time (when installed), the
  reference the batch encoder is measured against.

Beside each wall time is the CPU time the process spent in that run (the
writer's helper thread included): on a machine shared with other work the
wall time grows while the CPU time stays close to what the work costs.
Every figure printed is from this one run.

    python tools/bench_convert.py --goals [--against 03f5e3c] [--size-mb 150] [--large-mb 1500] [--rounds 3] [--read-rounds 7]

measures the conversion goals instead, each conversion a fresh
`kelvara convert FILE --to mzml --jobs 1 -o DIR --force` process timed from
start to exit, its peak resident memory from os.wait4:

- speed: runs of about --size-mb of every layout, default (zlib) and
  --compress none, this install beside the converter of commit --against
  (built once into build/baseline-<commit>/, from `git archive` of that
  commit, and reused), the two taking turns round after round; best of
  --rounds, as MB/s of input and as the ratio of the two speeds;
- memory: this install's peak resident memory converting the GC-MS and TTFL
  runs to mzML and to Parquet at --size-mb and at --large-mb, to show that
  it stays flat (a conversion past --rss-cap-mb is stopped and reported as
  over it: the machine is shared);
- reading: RawReader on one thread and on every core, and read_run, of each
  run for both installs, best of --read-rounds alternating fresh processes.

--against= (empty) leaves the baseline out, --large-mb 0 the large runs.
The files are written once to a temporary folder under build/ and removed
at the end.
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

from bench_columns import base_entries, tile_entries  # noqa: E402
from cfbwriter import write_cfb  # noqa: E402

from kelvara_tools import convert_file, read_run  # noqa: E402
from kelvara_tools.mzml import _batches, write_mzml  # noqa: E402


def best_of(repeat, action):
    """The best wall time of `repeat` runs, the CPU time of this process
    (all its threads) in that run, and the action's result."""
    best, result = None, None
    for _ in range(repeat):
        start, cpu = time.perf_counter(), time.process_time()
        result = action()
        elapsed, cpu = time.perf_counter() - start, time.process_time() - cpu
        if best is None or elapsed < best[0]:
            best = (elapsed, cpu)
    return best[0], best[1], result


OPTIONS = {"numpress": {"numpress": True}, "gzip": {"gzip": True}, "mz32": {"mz32": True}}


def bench_reference_numpress(run, repeat: int) -> None:
    """The spectra's arrays through pynumpress, one call per array, against
    the batch encoder the writer uses."""
    try:
        import pynumpress
    except ImportError:
        return
    import numpy as np

    from kelvara_tools import _numpress

    bounds = run.offsets.tolist()
    intensity = run.intensity.astype(np.float64)

    def reference():
        for a, b in zip(bounds, bounds[1:]):
            mz = run.mz[a:b]
            pynumpress.encode_linear(mz, pynumpress.optimal_linear_fixed_point(mz))
            pynumpress.encode_slof(intensity[a:b], pynumpress.optimal_slof_fixed_point(intensity[a:b]))

    def batch():
        for start, stop in _batches(run.offsets):
            local = run.offsets[start:stop + 1] - run.offsets[start]
            first, last = int(run.offsets[start]), int(run.offsets[stop])
            _numpress.linear_batch(run.mz[first:last], local)
            _numpress.slof_batch(intensity[first:last], local)

    for label, action in (("batch (numpy)", batch), ("pynumpress", reference)):
        seconds, cpu, _ = best_of(repeat, action)
        print(f"  numpress encoding, {label:<13}: {seconds:6.2f} s = {len(run.mz) / 1e6 / seconds:5.1f} M points/s "
              f"({cpu:.2f} s of CPU)")


def bench_layout(layout: str, million_points: float, repeat: int, folder: str, compressions,
                 with_options: bool = False) -> None:
    suffix, entries = base_entries(layout)
    sample = os.path.join(folder, "sample" + suffix)
    write_cfb(sample, entries)
    copies = max(1, round(million_points * 1e6 / len(read_run(sample).mz)))
    source = os.path.join(folder, layout + suffix)
    write_cfb(source, tile_entries(layout, entries, copies))
    del entries
    size = os.path.getsize(source)
    run = read_run(source)
    out = os.path.join(folder, "out")
    target = os.path.join(folder, "writer.mzML")
    print(f"{layout}: {size / 1e6:.0f} MB file, {len(run):,} spectra, {len(run.mz) / 1e6:.1f} M points")
    for compression in compressions:
        seconds, cpu, written = best_of(repeat, lambda: write_mzml(run, target, source=source,
                                                                   compression=compression))
        print(f"  mzML writer, {compression:>4}: {written / 1e6:4.0f} MB in {seconds:5.2f} s = "
              f"{written / 1e6 / seconds:4.0f} MB/s of mzML ({cpu:.2f} s of CPU)")
        os.unlink(target)
        seconds, cpu, report = best_of(repeat, lambda: convert_file(source, out, "mzml", compress=compression,
                                                                    force=True))
        print(f"  convert,     {compression:>4}: {seconds:5.2f} s = {report.output_bytes / 1e6 / seconds:4.0f} MB/s "
              f"of mzML, {size / 1e6 / seconds:4.0f} MB/s of input ({cpu:.2f} s of CPU)")
        os.unlink(report.output)
    for label, options in OPTIONS.items() if with_options else ():
        seconds, cpu, _ = best_of(repeat, lambda: write_mzml(run, target, source=source, **options))
        print(f"  mzML writer, zlib + {label:<8}: {os.path.getsize(target) / 1e6:4.0f} MB on disk in {seconds:5.2f} s "
              f"({cpu:.2f} s of CPU)")
        os.unlink(target)
    if with_options:
        bench_reference_numpress(run, repeat)
    seconds, cpu, report = best_of(repeat, lambda: convert_file(source, out, "parquet", shape="peaks", force=True))
    print(f"  Parquet (peaks): {report.output_bytes / 1e6:.0f} MB in {seconds:.2f} s = "
          f"{size / 1e6 / seconds:.0f} MB/s of input ({cpu:.2f} s of CPU)")
    del run
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            os.unlink(path)


# --- the conversion goals, measured on fresh processes ---------------------------

LAYOUT_NAMES = {"gcms": "GC-MS", "single_quad": "single-quad", "ttfl_profile": "TTFL", "qtof_centroid": "QTOF"}
# Default (zlib) at least 6x the baseline's speed, --compress none at least 2x.
SPEEDUP_GOALS = {"zlib": 6.0, "none": 2.0}
# Peak resident memory of converting the GC-MS and TTFL runs, whatever their size.
MEMORY_LAYOUTS = ("gcms", "ttfl_profile")
MEMORY_GOAL = 350e6
# Reading may not be slower than the baseline's; beyond this the difference
# is more than this shared machine's noise between alternating rounds.
READ_NOISE = 1.10


def baseline_install(commit: str) -> str:
    """The bin folder of a virtual environment holding the converter of
    `commit`, built like the Makefile builds this tree; reused when there."""
    short = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short=7", "--verify", f"{commit}^{{commit}}"],
                           capture_output=True, text=True, check=True).stdout.strip()
    home = os.path.join(ROOT, "build", f"baseline-{short}")
    bin_dir = os.path.join(home, "venv", "bin")
    if os.path.exists(os.path.join(home, ".ready")):
        return bin_dir
    start = time.perf_counter()
    shutil.rmtree(home, ignore_errors=True)
    source = os.path.join(home, "src")
    os.makedirs(source)
    archive = subprocess.Popen(["git", "-C", ROOT, "archive", short], stdout=subprocess.PIPE)
    subprocess.run(["tar", "-x", "-C", source], stdin=archive.stdout, check=True)
    if archive.wait() != 0:
        raise RuntimeError(f"git archive {short} failed")
    subprocess.run([sys.executable, "-m", "venv", os.path.join(home, "venv")], check=True)
    pip = [os.path.join(bin_dir, "python"), "-m", "pip", "install", "--quiet", "--disable-pip-version-check"]
    subprocess.run(pip + ["-r", os.path.join(source, "requirements-dev.txt")], check=True)
    subprocess.run(pip + ["--no-build-isolation", "--no-deps", source], check=True)
    open(os.path.join(home, ".ready"), "w").close()
    print(f"baseline {short} built into {os.path.relpath(home, ROOT)} in {time.perf_counter() - start:.0f} s")
    return bin_dir


def _write_tiled(layout: str, target_bytes: float, path: str) -> None:
    _, entries = base_entries(layout)
    stream_bytes = sum(len(v) for v in entries.values() if v is not None)
    write_cfb(path, tile_entries(layout, entries, max(1, round(target_bytes / stream_bytes))))


def write_run(layout: str, target_bytes: float, folder: str, label: str) -> str:
    """A run of `layout` of about `target_bytes`, tiled from tools/bench_columns.py's
    realistic run. Written by a child process, so the gigabytes it holds
    while building are handed back before anything is measured."""
    path = os.path.join(folder, f"{layout}-{label}{base_suffix(layout)}")
    child = multiprocessing.get_context("fork").Process(target=_write_tiled, args=(layout, target_bytes, path))
    child.start()
    child.join()
    if child.exitcode != 0:
        raise RuntimeError(f"writing the {layout} run failed")
    return path


def base_suffix(layout: str) -> str:
    return ".qgd" if layout == "gcms" else ".lcd"


def _descendants(pid: int) -> list[int]:
    found = []
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/children") as f:
                for child in map(int, f.read().split()):
                    found += [child] + _descendants(child)
    except (OSError, ValueError):
        pass
    return found


def _tree_rss(pid: int) -> int:
    """Resident bytes of a process and its descendants (what is gone counts 0)."""
    total = 0
    for member in [pid] + _descendants(pid):
        try:
            with open(f"/proc/{member}/status") as f:
                total += next((int(line.split()[1]) * 1024 for line in f if line.startswith("VmRSS:")), 0)
        except (OSError, ValueError):
            pass
    return total


class Measured:
    def __init__(self, seconds: float, peak: int, capped: bool, output_bytes: int):
        self.seconds, self.peak, self.capped, self.output_bytes = seconds, peak, capped, output_bytes

    def rss(self) -> str:
        return f"> {self.peak / 1e6:.0f} MB (stopped)" if self.capped else f"{self.peak / 1e6:.0f} MB"


def measured_run(argv, cap_bytes: float | None = None, output: str | None = None) -> Measured:
    """Wall seconds from start to exit and the peak resident memory of one
    process. Past `cap_bytes` of resident memory (the process and its
    children) it is killed and reported as capped."""
    with tempfile.TemporaryFile() as errors:
        start = time.perf_counter()
        process = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=errors)
        capped = False
        # A pidfd becomes readable when the process ends: no polling delay
        # in the time, and no signal to a reused process id.
        pidfd = os.pidfd_open(process.pid)
        try:
            while not select.select([pidfd], [], [], 0.05)[0]:
                if cap_bytes and not capped and _tree_rss(process.pid) > cap_bytes:
                    for child in _descendants(process.pid):
                        os.kill(child, signal.SIGKILL)
                    signal.pidfd_send_signal(pidfd, signal.SIGKILL)
                    capped = True
            _, status, usage = os.wait4(process.pid, 0)
        except BaseException:
            # Ctrl-C or a failure here: the conversion is not left running.
            process.kill()
            process.wait()
            raise
        finally:
            os.close(pidfd)
        seconds = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        if process.returncode != 0 and not capped:
            errors.seek(0)
            raise RuntimeError(f"{' '.join(argv)} exited with {process.returncode}:\n"
                               f"{errors.read().decode(errors='replace')[-2000:]}")
    written = 0
    if output is not None:
        for folder, _, names in os.walk(output):
            written += sum(os.path.getsize(os.path.join(folder, name)) for name in names)
        shutil.rmtree(output, ignore_errors=True)
    return Measured(seconds, usage.ru_maxrss * 1024, capped, written)


def convert(bin_dir: str, path: str, to: str, compress: str, folder: str, cap_bytes: float | None = None) -> Measured:
    out = tempfile.mkdtemp(prefix="out-", dir=folder)
    argv = [os.path.join(bin_dir, "kelvara"), "convert", path, "--to", to, "--jobs", "1", "-o", out, "--force"]
    if to == "mzml":
        argv += ["--compress", compress]
    return measured_run(argv, cap_bytes, out)


# RawReader on one thread and on every core, and read_run, in one fresh
# process; the heap's free memory is handed back between them, so each
# writes into fresh memory as in a new process.
READ_PROBE = """
import ctypes, os, sys, time
from kelvara import RawReader
from kelvara_tools import read_run
trim = ctypes.CDLL("libc.so.6").malloc_trim
def timed(action):
    start = time.perf_counter()
    result = action()
    seconds = time.perf_counter() - start
    del result
    trim(0)
    return seconds
os.environ["KELVARA_THREADS"] = "1"
one = timed(lambda: RawReader(sys.argv[1]))
del os.environ["KELVARA_THREADS"]
print(one, timed(lambda: RawReader(sys.argv[1])), timed(lambda: read_run(sys.argv[1])))
"""
READ_LABELS = ("RawReader, 1 thread", "RawReader, all threads", "read_run")


def read_times(bin_dir: str, path: str) -> list[float]:
    env = {k: v for k, v in os.environ.items() if k != "KELVARA_THREADS"}
    out = subprocess.run([os.path.join(bin_dir, "python"), "-c", READ_PROBE, path], capture_output=True,
                         text=True, check=True, env=env).stdout
    return [float(x) for x in out.split()]


def verdict(met: bool) -> str:
    return "met" if met else "NOT met"


def bench_goals(args) -> int:
    started = time.perf_counter()
    current = os.path.dirname(sys.executable)
    baseline = baseline_install(args.against) if args.against else None
    print(f"Conversion goals: `kelvara convert FILE --to mzml|parquet --jobs 1 -o DIR --force`, "
          f"each a fresh process; {os.cpu_count()} cores")
    print(f"load average at the start: {' '.join(f'{x:.1f}' for x in os.getloadavg())}")
    os.makedirs(os.path.join(ROOT, "build"), exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="bench-convert-", dir=os.path.join(ROOT, "build")) as folder:
        files = {}
        for layout in args.layout:
            files[layout] = write_run(layout, args.size_mb * 1e6, folder, "small")
            print(f"  {LAYOUT_NAMES[layout]}: {os.path.getsize(files[layout]) / 1e6:.0f} MB")
        installs = [("baseline", baseline), ("current", current)] if baseline else [("current", current)]

        speed = {}
        print(f"\nmzML, best of {args.rounds} round(s)" +
              (f" taking turns, {args.against} (baseline) beside this install (current):" if baseline else ":"))
        for layout, path in files.items():
            size = os.path.getsize(path)
            best = {}
            for k in range(args.rounds):
                for compress in ("zlib", "none"):
                    for name, bin_dir in installs[::1 if k % 2 == 0 else -1]:
                        m = convert(bin_dir, path, "mzml", compress, folder, args.rss_cap_mb * 1e6)
                        key = (name, compress)
                        if key not in best or m.seconds < best[key].seconds:
                            best[key] = m
            speed[layout] = best
            print(f"{LAYOUT_NAMES[layout]}, {size / 1e6:.0f} MB:")
            for compress in ("zlib", "none"):
                parts = [f"{name} {m.seconds:5.2f} s = {size / 1e6 / m.seconds:4.0f} MB/s ({m.rss()} peak)"
                         for m, name in ((best[name, compress], name) for name, _ in installs)]
                line = f"  {compress:>4}: " + ", ".join(parts)
                if baseline:
                    ratio = best["baseline", compress].seconds / best["current", compress].seconds
                    goal = SPEEDUP_GOALS[compress]
                    line += f": {ratio:.2f}x as fast (goal >= {goal:g}x: {verdict(ratio >= goal)})"
                print(line)

        reads = {}
        if baseline:
            print(f"\nreading, best of {args.read_rounds} fresh process(es) each, taking turns "
                  f"(this install / {args.against}):")
            for layout, path in files.items():
                best = {name: [float("inf")] * 3 for name, _ in installs}
                for k in range(args.read_rounds):
                    for name, bin_dir in installs[::1 if k % 2 == 0 else -1]:
                        best[name] = [min(a, b) for a, b in zip(best[name], read_times(bin_dir, path))]
                reads[layout] = best
                print(f"{LAYOUT_NAMES[layout]}: " + ", ".join(
                    f"{label} {c:.3f} s / {b:.3f} s = {c / b:.2f}x"
                    for label, c, b in zip(READ_LABELS, best["current"], best["baseline"])))

        memory = {}
        layouts = [x for x in MEMORY_LAYOUTS if x in files]
        print(f"\nmemory of this install (peak resident, goal <= {MEMORY_GOAL / 1e6:.0f} MB), "
              f"stopped past {args.rss_cap_mb:.0f} MB:")
        for layout in layouts:
            memory[layout, "mzml", "small"] = speed[layout]["current", "zlib"]
            memory[layout, "parquet", "small"] = convert(current, files[layout], "parquet", "zlib", folder,
                                                         args.rss_cap_mb * 1e6)
        for name in list(files):
            if name not in layouts:
                os.unlink(files.pop(name))
        sizes = {layout: {"small": os.path.getsize(files[layout])} for layout in layouts}
        for layout in layouts if args.large_mb > 0 else ():
            # One large file at a time: the disk holds it and its output only.
            large = write_run(layout, args.large_mb * 1e6, folder, "large")
            sizes[layout]["large"] = os.path.getsize(large)
            for to in ("mzml", "parquet"):
                memory[layout, to, "large"] = convert(current, large, to, "zlib", folder, args.rss_cap_mb * 1e6)
            os.unlink(large)
        for layout in layouts:
            for to, label in (("mzml", "mzML (zlib)"), ("parquet", "Parquet")):
                cells, worst = [], 0
                for which in ("small", "large"):
                    m = memory.get((layout, to, which))
                    if m is None:
                        continue
                    worst = max(worst, m.peak if not m.capped else float("inf"))
                    cells.append(f"{sizes[layout][which] / 1e6:5.0f} MB file: {m.rss():>18} "
                                 f"in {m.seconds:6.1f} s")
                print(f"  {LAYOUT_NAMES[layout]:<6} {label:<12} " + "; ".join(cells) +
                      f"  ({verdict(worst <= MEMORY_GOAL)})")

    print("\ngoals:")
    if baseline:
        for compress in ("zlib", "none"):
            ratios = {layout: b["baseline", compress].seconds / b["current", compress].seconds
                      for layout, b in speed.items()}
            low = min(ratios, key=ratios.get)
            print(f"  {compress:>4} at least {SPEEDUP_GOALS[compress]:g}x as fast as {args.against}: slowest "
                  f"{ratios[low]:.2f}x on {LAYOUT_NAMES[low]} ({verdict(ratios[low] >= SPEEDUP_GOALS[compress])})")
        for k, label in enumerate(READ_LABELS):
            ratios = {layout: r["current"][k] / r["baseline"][k] for layout, r in reads.items()}
            high = max(ratios, key=ratios.get)
            print(f"  {label} no slower than {args.against}: worst {ratios[high]:.2f}x its time on "
                  f"{LAYOUT_NAMES[high]} (goal <= {READ_NOISE:.2f}x, the noise: {verdict(ratios[high] <= READ_NOISE)})")
    if memory:
        peaks = {key: m for key, m in memory.items()}
        key = max(peaks, key=lambda k: (peaks[k].capped, peaks[k].peak))
        print(f"  peak resident memory at most {MEMORY_GOAL / 1e6:.0f} MB: highest {peaks[key].rss()} "
              f"({LAYOUT_NAMES[key[0]]}, {key[1]}, {sizes[key[0]][key[2]] / 1e6:.0f} MB file; "
              f"{verdict(not peaks[key].capped and peaks[key].peak <= MEMORY_GOAL)})")
    print(f"load average at the end: {' '.join(f'{x:.1f}' for x in os.getloadavg())}; "
          f"{time.perf_counter() - started:.0f} s in all")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=float, default=8.0, help="million points per file")
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--layout", nargs="*", default=["gcms", "single_quad", "ttfl_profile", "qtof_centroid"])
    parser.add_argument("--compress", nargs="*", default=["none", "zlib"], choices=["none", "zlib"])
    parser.add_argument("--options", action="store_true", help="also time the mzML options")
    goals = parser.add_argument_group("the conversion goals (--goals)")
    goals.add_argument("--goals", action="store_true", help="measure the conversion goals on fresh processes")
    goals.add_argument("--against", default="03f5e3c", metavar="COMMIT",
                       help="the baseline converter's commit (empty: none)")
    goals.add_argument("--size-mb", type=float, default=150.0, help="size of each layout's run")
    goals.add_argument("--large-mb", type=float, default=1500.0, help="size of the large runs (0: none)")
    goals.add_argument("--rounds", type=int, default=3)
    # A read takes a tenth of a second to half a second, where a neighbour's
    # burst on the shared machine weighs the most: more rounds, at little cost.
    goals.add_argument("--read-rounds", type=int, default=7, help="rounds of the reading comparison")
    goals.add_argument("--rss-cap-mb", type=float, default=3000.0,
                       help="stop a conversion past this resident memory")
    args = parser.parse_args()
    if args.goals:
        return bench_goals(args)
    with tempfile.TemporaryDirectory() as folder:
        for layout in args.layout:
            bench_layout(layout, args.points, args.repeat, folder, args.compress, args.options)
    return 0


if __name__ == "__main__":
    sys.exit(main())

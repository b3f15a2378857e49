"""Benchmark: iter_batches against read_run, in time and in peak memory.

    python tools/bench_batches.py [--sizes-mb 150 600] [--layouts GC-MS TTFL] [--max-points 1048576]

For each layout and size it writes a realistic synthetic run (tools/bench.py
makes the files), then, each in a fresh process so that peaks do not mix,
times read_run(path) and a loop over iter_batches(path, max_points) that
touches every batch, and reports each one's peak resident memory (VmHWM)
above the interpreter's own. The point of iter_batches is that its peak
stays flat as files grow; read_run's grows with the run.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import bench  # noqa: E402

PROBE = r"""
import sys, time
def hwm():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
import numpy
from kelvara_tools import iter_batches, read_run
path, how, max_points = sys.argv[1], sys.argv[2], int(sys.argv[3])
base = hwm()
start = time.perf_counter()
if how == "read_run":
    run = read_run(path)
    spectra, points = len(run), len(run.mz)
else:
    spectra = points = 0
    for batch in iter_batches(path, max_points=max_points):
        spectra += len(batch)
        points += len(batch.mz)
seconds = time.perf_counter() - start
print(seconds, hwm() - base, spectra, points)
"""


def probe(path, how, max_points):
    out = subprocess.run([sys.executable, "-c", PROBE, path, how, str(max_points)], capture_output=True, text=True,
                         check=True)
    seconds, peak_kb, spectra, points = out.stdout.split()
    return float(seconds), int(peak_kb) * 1024, int(spectra), int(points)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes-mb", type=float, nargs="+", default=[150.0, 600.0])
    parser.add_argument("--layouts", nargs="+", default=["GC-MS", "TTFL"],
                        choices=[name for name, _ in bench.LAYOUTS])
    parser.add_argument("--max-points", type=int, default=1 << 20)
    parser.add_argument("--rounds", type=int, default=2, help="timings per reader; the best is kept")
    args = parser.parse_args()
    makers = dict(bench.LAYOUTS)
    print(f"{'layout':<12} {'file MB':>8} {'read_run s':>10} {'peak MB':>8} {'batches s':>10} {'peak MB':>8}"
          f" {'speed':>6}")
    with tempfile.TemporaryDirectory() as folder:
        for layout in args.layouts:
            for size_mb in args.sizes_mb:
                filename, entries = makers[layout](size_mb * 1e6)
                path = os.path.join(folder, filename)
                bench.write_cfb(path, entries)
                del entries
                results = {}
                for how in ("read_run", "iter_batches"):
                    runs = [probe(path, how, args.max_points) for _ in range(args.rounds)]
                    results[how] = min(runs)
                whole, batched = results["read_run"], results["iter_batches"]
                if whole[2:] != batched[2:]:
                    print(f"{layout}: read_run gave {whole[2:]} spectra/points, iter_batches {batched[2:]}")
                    return 1
                print(f"{layout:<12} {os.path.getsize(path) / 1e6:>8.0f} {whole[0]:>10.2f} {whole[1] / 1e6:>8.0f}"
                      f" {batched[0]:>10.2f} {batched[1] / 1e6:>8.0f} {whole[0] / batched[0]:>6.2f}")
                os.unlink(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())

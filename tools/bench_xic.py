"""Benchmark: how fast kelvara xic turns many targets over many runs into one table.

    python tools/bench_xic.py [--files 4] [--points 5] [--targets 10] [--jobs 1 2]

The realistic QTOF run of tools/bench_columns.py (its tiling continues the
retention times, so every spectrum keeps a time of its own and a row per
target) is tiled to about the given number of million points, written --files times as compound files to a
temporary folder, and `kelvara xic` runs over them in a child process, once
per table format and --jobs value. Printed per run: wall time, the command
process's CPU time and the highest peak resident memory of a child so far,
from the operating system's accounting of finished children. With --jobs
above 1 the worker processes are children of the forkserver, so their CPU
time is not in the figure. On a machine shared with other work the wall time
grows while the CPU time stays close to what the work costs.
"""

from __future__ import annotations

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

from bench_columns import base_entries, tile_entries  # noqa: E402
from cfbwriter import write_cfb  # noqa: E402

from kelvara_tools import read_run  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=4)
    parser.add_argument("--points", type=float, default=5.0, help="million points per file")
    parser.add_argument("--targets", type=int, default=10)
    parser.add_argument("--jobs", type=int, nargs="*", default=[1, 2])
    args = parser.parse_args()
    targets = [f"{150.0713 + 61.3 * k:.4f}" for k in range(args.targets)]
    with tempfile.TemporaryDirectory() as folder:
        suffix, entries = base_entries("qtof_centroid")
        sample = os.path.join(folder, "sample" + suffix)
        write_cfb(sample, entries)
        copies = max(1, round(args.points * 1e6 / len(read_run(sample).mz)))
        tiled = tile_entries("qtof_centroid", entries, copies)
        files = [os.path.join(folder, f"run{k:02d}{suffix}") for k in range(args.files)]
        for path in files:
            write_cfb(path, tiled)
        run = read_run(files[0])
        rows = args.files * args.targets * int((run.ms_level == 1).sum())
        print(f"{args.files} files of {os.path.getsize(files[0]) / 1e6:.0f} MB, {len(run):,} spectra and "
              f"{len(run.mz) / 1e6:.1f} M points each; {args.targets} targets, --ppm 10: {rows:,} rows")
        for kind in ("csv", "parquet"):
            for jobs in args.jobs:
                table = os.path.join(folder, f"table.{kind}")
                before = resource.getrusage(resource.RUSAGE_CHILDREN)
                started = time.perf_counter()
                subprocess.run([sys.executable, "-m", "kelvara_tools", "xic", *files, "--mz", *targets,
                                "--ppm", "10", "-o", table, "--jobs", str(jobs)], check=True, capture_output=True)
                seconds = time.perf_counter() - started
                after = resource.getrusage(resource.RUSAGE_CHILDREN)
                cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
                print(f"  {kind:>7}, --jobs {jobs}: {seconds:5.2f} s wall, {cpu:5.2f} s CPU of the command, "
                      f"{os.path.getsize(table) / 1e6:5.1f} MB table, peak memory of a child "
                      f"{after.ru_maxrss / 1024:.0f} MB so far")
                os.unlink(table)
    return 0


if __name__ == "__main__":
    sys.exit(main())

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
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
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


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=float, default=8.0, help="million points per file")
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--layout", nargs="*", default=["gcms", "single_quad", "ttfl_profile", "qtof_centroid"])
    parser.add_argument("--compress", nargs="*", default=["none", "zlib"], choices=["none", "zlib"])
    parser.add_argument("--options", action="store_true", help="also time the mzML options")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        for layout in args.layout:
            bench_layout(layout, args.points, args.repeat, folder, args.compress, args.options)
    return 0


if __name__ == "__main__":
    sys.exit(main())

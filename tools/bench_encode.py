"""Benchmark: deflate libraries and the batch encoder on the arrays mzML conversions write.

    python tools/bench_encode.py [--points 2] [--repeat 3] [--layout gcms ...]

For each layout the realistic run of tools/bench_columns.py is tiled to
about the given number of million points; its spectra's m/z (64-bit) and
intensity (32-bit) arrays are what the mzML writer compresses, one zlib
stream per array. Then, best of --repeat:

- deflate libraries: every array compressed alone, as the writer does, with
  the package's own deflate (kelvara_tools._columns.base64_segments with
  deflate, one call for all the arrays, base64 of the streams included, and
  without deflate for the base64 alone), Python's zlib (level 1), isal
  (isal_zlib), zlib-ng and libdeflate (the `deflate` package), each that is
  installed, one call per array, on one thread and on two threads that take
  half the spectra each (all release the interpreter lock while they
  compress): megabytes of array per second and the compressed size against
  the raw arrays. Each library's output is checked to decompress with
  Python's zlib to the same values.
- batch encoder: kelvara_tools._encode.Encoder.encode_segments (deflate
  and base64 of every array of a batch, on the encoder's pool) with 1 and 2
  threads, zlib and none, in megabytes of array per second;
- sink: write_mzml with zlib, and the time its calls spent handing 4 MiB
  blocks to the helper thread that hashes and writes them (a long wait
  would mean the helper, not the encoding, sets the pace).

The other libraries are only measured here: `pip install isal deflate
zlib-ng` into the environment to compare them (requirements-dev.txt
installs zlib-ng).

Every figure printed is from this one run.
"""

from __future__ import annotations

import argparse
import base64
import concurrent.futures
import importlib
import os
import sys
import tempfile
import time
import zlib

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

from bench_columns import base_entries, tile_entries  # noqa: E402
from cfbwriter import write_cfb  # noqa: E402

from kelvara_tools import read_run  # noqa: E402
from kelvara_tools import _encode  # noqa: E402
from kelvara_tools._columns import base64_segments  # noqa: E402
from kelvara_tools.mzml import _batches  # noqa: E402

# (label, module, compress(data) -> zlib stream)
LIBRARIES = [
    ("zlib 1", "zlib", lambda m: lambda data: m.compress(data, 1)),
    ("isal 0", "isal.isal_zlib", lambda m: lambda data: m.compress(data, 0)),
    ("isal 1", "isal.isal_zlib", lambda m: lambda data: m.compress(data, 1)),
    ("isal 3", "isal.isal_zlib", lambda m: lambda data: m.compress(data, 3)),
    ("zlib-ng 1", "zlib_ng.zlib_ng", lambda m: lambda data: m.compress(data, 1)),
    ("libdeflate 1", "deflate", lambda m: lambda data: m.zlib_compress(data, 1)),
]


def best(repeat, action):
    """The best wall time of `repeat` runs and the process's CPU time (all
    its threads) in that run."""
    times = []
    for _ in range(repeat):
        start, cpu = time.perf_counter(), time.process_time()
        action()
        times.append((time.perf_counter() - start, time.process_time() - cpu))
    return min(times)


def arrays_of(run):
    """Each spectrum's m/z and intensity array as a memoryview, in file order."""
    mz = np.ascontiguousarray(run.mz, dtype="<f8")
    intensity = np.ascontiguousarray(run.intensity, dtype="<f4")
    at = run.offsets.tolist()
    mz_view, int_view = memoryview(mz).cast("B"), memoryview(intensity).cast("B")
    arrays = []
    for a, b in zip(at, at[1:]):
        arrays.append(mz_view[8 * a:8 * b])
        arrays.append(int_view[4 * a:4 * b])
    return arrays, mz.nbytes + intensity.nbytes


def bench_own(arrays, total, repeat, pool):
    """The package's deflate: one call deflates and base64-encodes a whole
    list of arrays, as the encoder's threads do with their runs."""
    half = len(arrays) // 2 // 2 * 2
    packed = []
    for part in (arrays, arrays[:half], arrays[half:]):
        bounds = np.zeros(len(part) + 1, dtype=np.int64)
        np.cumsum([len(a) for a in part], out=bounds[1:])
        packed.append((b"".join(part), bounds.tobytes()))
    whole, first, second = packed
    texts = base64_segments(*whole, True)
    streams = [base64.b64decode(t) for t in texts]
    assert all(zlib.decompress(c) == bytes(a) for c, a in zip(streams, arrays))
    ratio = sum(map(len, streams)) / total
    for label, deflate in (("kelvara", True), ("base64 alone", False)):
        (t1, cpu1) = best(repeat, lambda: base64_segments(*whole, deflate))
        (t2, _) = best(repeat, lambda: list(pool.map(lambda p: base64_segments(*p, deflate), (first, second))))
        size = f", size {ratio:.3f} of the arrays" if deflate else ""
        print(f"  {label:<13} 1 thread {total / 1e6 / t1:5.0f} MB/s ({total / 1e6 / cpu1:4.0f} per CPU s), "
              f"2 threads {total / 1e6 / t2:5.0f} MB/s ({t1 / t2:.2f}x){size}")


def bench_libraries(arrays, total, repeat, pool):
    bench_own(arrays, total, repeat, pool)
    half = len(arrays) // 2 // 2 * 2
    parts = (arrays[:half], arrays[half:])
    for label, name, make in LIBRARIES:
        try:
            compress = make(importlib.import_module(name))
        except ImportError:
            print(f"  {label:<13} not installed")
            continue
        sample = [compress(a) for a in arrays]
        assert all(zlib.decompress(c) == bytes(a) for c, a in zip(sample[:2000], arrays[:2000]))
        ratio = sum(map(len, sample)) / total

        def one():
            for a in arrays:
                compress(a)

        def two():
            list(pool.map(lambda part: [compress(a) for a in part], parts))

        (t1, cpu1), (t2, cpu2) = best(repeat, one), best(repeat, two)
        print(f"  {label:<13} 1 thread {total / 1e6 / t1:5.0f} MB/s ({total / 1e6 / cpu1:4.0f} per CPU s), "
              f"2 threads {total / 1e6 / t2:5.0f} MB/s ({t1 / t2:.2f}x), size {ratio:.3f} of the arrays")


def bench_encoder(run, total, repeat):
    mz = np.ascontiguousarray(run.mz, dtype="<f8")
    intensity = np.ascontiguousarray(run.intensity, dtype="<f4")
    batches = _batches(run.offsets)
    for compression in ("none", "zlib"):
        for threads in (1, 2):
            encoder = _encode.Encoder(threads)

            def encode():
                for start, stop in batches:
                    local = run.offsets[start:stop + 1] - run.offsets[start]
                    first, last = int(run.offsets[start]), int(run.offsets[stop])
                    encoder.encode_segments(mz[first:last], local, compression == "zlib")
                    encoder.encode_segments(intensity[first:last], local, compression == "zlib")

            seconds, cpu = best(repeat, encode)
            print(f"  encoder, {compression:>4}, {threads} thread{'s' if threads > 1 else ' '}: "
                  f"{total / 1e6 / seconds:5.0f} MB/s of arrays ({cpu:.2f} s of CPU)")


def bench_sink(run, source, folder, repeat):
    """write_mzml with zlib, and how long its calls spent handing blocks to
    the sink's helper thread (joining a block, and waiting for a free place
    in its queue while the helper hashes and writes): the helper is the
    bottleneck when that wait is a large share."""
    from kelvara_tools import mzml

    spent = [0.0]
    flush = mzml._Sink.flush

    def timed(self):
        start = time.perf_counter()
        flush(self)
        spent[0] += time.perf_counter() - start

    target = os.path.join(folder, "sink.mzML")
    mzml._Sink.flush = timed
    try:
        rounds = []
        for _ in range(repeat):
            spent[0] = 0.0
            start = time.perf_counter()
            mzml.write_mzml(run, target, source=source)
            rounds.append((time.perf_counter() - start, spent[0]))
    finally:
        mzml._Sink.flush = flush
    seconds, waited = min(rounds)
    print(f"  write_mzml, zlib: {seconds:.2f} s, of which {waited:.3f} s handing blocks to the sink "
          f"({os.path.getsize(target) / 1e6:.0f} MB)")
    os.unlink(target)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--points", type=float, default=2.0, help="million points per run")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--layout", nargs="*", default=["gcms", "single_quad", "ttfl_profile", "qtof_centroid"])
    parser.add_argument("--skip-libraries", action="store_true", help="time the batch encoder alone")
    args = parser.parse_args()
    print(f"load average at start: {os.getloadavg()[0]:.1f}")
    with tempfile.TemporaryDirectory() as folder, concurrent.futures.ThreadPoolExecutor(2) as pool:
        for layout in args.layout:
            suffix, entries = base_entries(layout)
            sample = os.path.join(folder, "sample" + suffix)
            write_cfb(sample, entries)
            copies = max(1, round(args.points * 1e6 / len(read_run(sample).mz)))
            source = os.path.join(folder, layout + suffix)
            write_cfb(source, tile_entries(layout, entries, copies))
            run = read_run(source)
            arrays, total = arrays_of(run)
            print(f"{layout}: {len(run):,} spectra, {len(run.mz) / 1e6:.1f} M points, {total / 1e6:.0f} MB of arrays")
            if not args.skip_libraries:
                bench_libraries(arrays, total, args.repeat, pool)
            bench_encoder(run, total, args.repeat)
            bench_sink(run, source, folder, args.repeat)
    print(f"load average at end: {os.getloadavg()[0]:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

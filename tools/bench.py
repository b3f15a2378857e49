"""Benchmark: how fast a large GC-MS file opens, and what it costs in memory.

    python tools/bench.py [--megabytes 100] [--repeat 3]

Writes a synthetic run of about the given size to a temporary folder, then
times RawReader(path) (open, read every stream, decode every scan), a pass of
read_spectrum over every record, and reading the same file's bytes with
plain Python for comparison. Peak memory is the process's maximum resident
size after the open, next to the size of the file.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

from cfbwriter import write_cfb  # noqa: E402
from gcms_encoders import GCMS_DATA, GCMS_INDEX, concat, index_a, realistic_run  # noqa: E402

from kelvara import RawReader  # noqa: E402


def best_of(repeat, action):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = action()
        times.append(time.perf_counter() - start)
        del result
    return min(times)


# The high-water mark of resident memory (Linux). getrusage's maximum would
# carry over the benchmark process's own peak across exec.
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


def peak_memory(path):
    """Peak and starting resident size, in MB, of a process that opens `path`."""
    out = subprocess.run([sys.executable, "-c", PROBE, path], capture_output=True, text=True, check=True)
    peak_kb, base_kb = map(int, out.stdout.split())
    return peak_kb / 1024, base_kb / 1024


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--megabytes", type=float, default=100.0)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    run = realistic_run(n_scans=2000, scan_ms=100, seed=11)
    data, offsets = concat(run.records)
    copies = max(1, int(args.megabytes * 1e6 // len(data)))
    all_offsets = [o + k * len(data) for k in range(copies) for o in offsets]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "bench.qgd")
        write_cfb(path, {GCMS_INDEX: index_a(all_offsets), GCMS_DATA: data * copies})
        size = os.path.getsize(path)
        del data

        def read_bytes():
            with open(path, "rb") as f:
                return f.read()

        read_bytes()  # warm the page cache
        t_bytes = best_of(args.repeat, read_bytes)
        t_open = best_of(args.repeat, lambda: RawReader(path))
        reader = RawReader(path)
        peak_mb, base_mb = peak_memory(path)
        n = reader.scan_count
        t_read = best_of(args.repeat, lambda: [reader.read_spectrum(i) for i in range(n)])
        peaks = sum(len(reader.read_spectrum(i)) for i in range(0, n, 97)) * 97

    print(f"file: {size / 1e6:.1f} MB, {n} spectra, about {peaks / 1e6:.1f} M peaks")
    print(f"plain read of the file bytes: {t_bytes * 1e3:.0f} ms ({size / 1e6 / t_bytes:.0f} MB/s)")
    print(f"RawReader(path): {t_open * 1e3:.0f} ms ({size / 1e6 / t_open:.0f} MB/s), best of {args.repeat}")
    print(f"read_spectrum over all {n} spectra: {t_read * 1e3:.0f} ms ({t_read / n * 1e6:.2f} us each)")
    print(f"peak resident memory of a fresh process opening the file: {peak_mb:.0f} MB "
          f"({base_mb:.0f} MB before the open); {n} records hold {12 * peaks / 1e6:.0f} MB of values")
    return 0


if __name__ == "__main__":
    sys.exit(main())

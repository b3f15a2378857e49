"""Benchmark: do repeated opens leak? Resident memory before and after many opens.

    python tools/bench_leaks.py [--opens 10000] [FOLDER]     (default: samples)

For every data file in FOLDER, and for two files that fail to open (one that
is not a container, one whose index stream is malformed), the script opens
the file `--opens` times, reads one spectrum's lists each time and drops
everything, and reports how much the process's resident memory grew from
the state after a warm-up of 200 opens. A leak of even one small object per
open shows as hundreds of kilobytes over 10,000 opens; allocator noise stays
well below 1 MB. Linux only (reads /proc/self/statm).
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

from cfbwriter import write_cfb  # noqa: E402
from gcms_encoders import GCMS_DATA, GCMS_INDEX  # noqa: E402

from kelvara import RawReader  # noqa: E402

WARM_UP = 200
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def open_once(path: str) -> None:
    try:
        reader = RawReader(path)
    except RuntimeError:
        return
    if reader.scan_count:
        spectrum = reader.read_spectrum(reader.scan_count // 2)
        spectrum.mz, spectrum.intensity, repr(spectrum), repr(reader)


def growth(path: str, opens: int) -> tuple[int, float]:
    for _ in range(WARM_UP):
        open_once(path)
    gc.collect()
    before = rss_bytes()
    start = time.perf_counter()
    for _ in range(opens):
        open_once(path)
    elapsed = time.perf_counter() - start
    gc.collect()
    return rss_bytes() - before, elapsed


def failing_files(folder: str) -> list[str]:
    not_container = os.path.join(folder, "not_a_container.qgd")
    with open(not_container, "wb") as f:
        f.write(b"plain text, not a compound file\n" * 64)
    bad_index = os.path.join(folder, "bad_index.qgd")
    # 7 bytes fits neither index layout: a parse error after both streams are read.
    write_cfb(bad_index, {GCMS_INDEX: bytes(7), GCMS_DATA: bytes(5000)}, version=3)
    return [not_container, bad_index]


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?", default=os.path.join(HERE, os.pardir, "samples"))
    parser.add_argument("--opens", type=int, default=10_000)
    args = parser.parse_args(argv[1:])

    paths = sorted(
        os.path.join(args.folder, name) for name in os.listdir(args.folder) if name.endswith((".qgd", ".lcd"))
    )
    worst = 0
    with tempfile.TemporaryDirectory() as tmp:
        for path in paths + failing_files(tmp):
            grown, elapsed = growth(path, args.opens)
            worst = max(worst, grown)
            print(f"{os.path.basename(path):28s} {args.opens} opens in {elapsed:6.1f} s, "
                  f"RSS grew {grown / 1024:8.1f} KiB")
    print(f"largest growth: {worst / 1024:.1f} KiB over {args.opens} opens of one file")
    return 0 if worst < 1 << 20 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))

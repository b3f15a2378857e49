"""Write a run of every layout large enough for the parallel paths.

    python tools/digest/make_large.py OUT_DIR [--size-mb 12]

tools/bench.py's realistic runs, each about --size-mb: streams of several
parts (4 MiB each) for the container's parallel read, and scan data of many
chunks for the decode on several threads. OUT_DIR/large.txt lists them.
"""

from __future__ import annotations

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, os.pardir), os.path.join(HERE, os.pardir, os.pardir, "tests")]

import bench  # noqa: E402
from cfbwriter import write_cfb  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--size-mb", type=float, default=12.0)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    names = []
    for _, make in bench.LAYOUTS:
        filename, entries = make(args.size_mb * (1 << 20))
        write_cfb(os.path.join(args.out, filename), entries)
        names.append(filename)
    with open(os.path.join(args.out, "large.txt"), "w", encoding="utf-8") as out:
        out.write("".join(f"{name}\n" for name in names))
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Benchmark: the open speed of two installs of kelvara, side by side.

    python tools/bench_versions.py PYTHON_A PYTHON_B [--size-mb 150] [--rounds 5] [--layouts GC-MS,QTOF]

PYTHON_A and PYTHON_B are the interpreters of two environments, each with
its own kelvara and kelvara_tools installed (say this tree's .venv and an
older commit's, built in a virtual environment of its own). For every layout
it writes one realistic run (tools/bench.py's generators) and then, round
after round, has a fresh child of each interpreter in turn time, on the
same file: reading the file's bytes (the read floor), RawReader(path) and
read_run(path). The installs take turns so that a machine growing busier or
quieter weighs on both alike. It prints each figure's median and B's over
A's, and the load average at the start and at the end.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, os.pardir, "tests")]

import bench  # noqa: E402
from cfbwriter import write_cfb  # noqa: E402

CHILD = """
import sys, time
from kelvara import RawReader
from kelvara_tools import read_run
path = sys.argv[1]
def read():
    with open(path, "rb") as f:
        return f.read()
times = []
for action in (read, RawReader, read_run):
    start = time.perf_counter()
    made = action(path) if action is not read else action()
    times.append(time.perf_counter() - start)
    del made
print(*times)
"""
FIGURES = ("read floor", "RawReader", "read_run")


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("python_a")
    parser.add_argument("python_b")
    parser.add_argument("--size-mb", type=float, default=150.0)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--layouts", default=",".join(name for name, _ in bench.LAYOUTS))
    args = parser.parse_args()
    pythons = {"A": args.python_a, "B": args.python_b}
    print(f"A: {args.python_a}\nB: {args.python_b}")
    print(f"load average at the start: {' '.join(f'{x:.1f}' for x in os.getloadavg())}")
    makers = dict(bench.LAYOUTS)
    with tempfile.TemporaryDirectory() as folder:
        for name in args.layouts.split(","):
            filename, entries = makers[name](args.size_mb * 1e6)
            path = os.path.join(folder, filename)
            write_cfb(path, entries)
            del entries
            times = {key: [] for key in pythons}
            for _ in range(args.rounds):
                for key, python in pythons.items():
                    out = subprocess.run([python, "-c", CHILD, path], capture_output=True, text=True, check=True)
                    times[key].append([float(x) for x in out.stdout.split()])
            print(f"{name}: {os.path.getsize(path) / 1e6:.1f} MB, medians of {args.rounds} rounds")
            for i, figure in enumerate(FIGURES):
                a, b = (statistics.median(t[i] for t in times[key]) for key in pythons)
                print(f"  {figure:<11} A {a:7.3f} s   B {b:7.3f} s   B/A {b / a:5.2f}")
            os.remove(path)
    print(f"load average at the end: {' '.join(f'{x:.1f}' for x in os.getloadavg())}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

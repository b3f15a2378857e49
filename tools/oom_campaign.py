"""Out-of-memory campaign: open large runs under address-space limits.

    python tools/oom_campaign.py [--size-mb 150] [--folder DIR] [--tries 2] [--bisect [--only-bisect]]
                                 [--setup imported|bare] [--threads N]

Writes a realistic synthetic run of about the given size for GC-MS and QTOF
(tools/bench.py's generators), then opens each in a child process under
`prlimit --as` at limits from 300 MB to 2 GB, with 1, 2, 8 and 16 threads,
through RawReader and through kelvara_tools.read_run. Every child must
either open the run or raise MemoryError; anything else (exit status 127,
an abort, another exception) is a fault and makes the script exit 1.

With --bisect it also finds, for each file and opener, the lowest limit
(to 5 MB) at which three opens in a row succeed (on --threads, default: the
default thread count). For a fair comparison both openers start from the
same process: with --setup imported (the default) every child imports
numpy, kelvara and kelvara_tools before the limit's first allocation that
matters, the open; with --setup bare RawReader's child imports kelvara
alone and read_run's kelvara_tools (and so numpy), as a user's script would.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

import bench  # noqa: E402
from cfbwriter import write_cfb  # noqa: E402

MB = 1 << 20
LIMITS_MB = [300, 400, 500, 600, 700, 800, 1000, 1200, 1500, 2000]
THREADS = ["1", "2", "8", "16"]

CHILD = """
import sys
opener, path, setup = sys.argv[1], sys.argv[2], sys.argv[3]
try:
    if setup == "imported":
        import numpy, kelvara, kelvara_tools
    if opener == "RawReader":
        from kelvara import RawReader
        RawReader(path)
    else:
        from kelvara_tools import read_run
        read_run(path)
except MemoryError:
    sys.exit(3)
sys.exit(0)
"""

# What a child's exit status means: 0 opened, 3 MemoryError; anything else
# is a fault.
OUTCOMES = {0: "opened", 3: "MemoryError"}


SETUP = "imported"


def attempt(opener, path, limit_mb, threads):
    env = dict(os.environ)
    if threads is None:
        env.pop("KELVARA_THREADS", None)
    else:
        env["KELVARA_THREADS"] = threads
    argv = ["prlimit", f"--as={limit_mb * MB}", sys.executable, "-c", CHILD, opener, path, SETUP]
    done = subprocess.run(argv, env=env, capture_output=True, text=True)
    return done.returncode, done.stderr.strip().splitlines()[-1:] if done.stderr else []


def opens(opener, path, limit_mb, tries, threads=None):
    # Where a run's threads get their memory varies from one open to the
    # next, so a limit counts only when every try opens.
    return all(attempt(opener, path, limit_mb, threads)[0] == 0 for _ in range(tries))


def lowest_limit(opener, path, tries=3, low_mb=100, high_mb=2000, threads=None):
    """The lowest limit in MB (to 5 MB) at which `tries` opens in a row succeed."""
    if not opens(opener, path, high_mb, tries, threads):
        return None
    while high_mb - low_mb > 5:
        mid = (low_mb + high_mb) // 2
        if opens(opener, path, mid, tries, threads):
            high_mb = mid
        else:
            low_mb = mid
    return high_mb


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--size-mb", type=float, default=150.0)
    parser.add_argument("--folder", help="where the files go (default: a temporary folder)")
    parser.add_argument("--tries", type=int, default=2, help="tries per limit, thread count and opener")
    parser.add_argument("--bisect", action="store_true", help="also find each opener's lowest limit")
    parser.add_argument("--only-bisect", action="store_true", help="bisect, without the campaign")
    parser.add_argument("--setup", choices=("imported", "bare"), default="imported",
                        help="what each child imports before it opens (see above)")
    parser.add_argument("--threads", help="KELVARA_THREADS while bisecting (default: unset)")
    parser.add_argument("--layouts", default="GC-MS,QTOF")
    args = parser.parse_args()
    global SETUP
    SETUP = args.setup

    folder = args.folder or tempfile.mkdtemp(prefix="kelvara-oom-")
    os.makedirs(folder, exist_ok=True)
    files = []
    makers = dict(bench.LAYOUTS)
    for name in args.layouts.split(","):
        filename, entries = makers[name](args.size_mb * MB)
        path = os.path.join(folder, filename)
        if not os.path.exists(path):
            write_cfb(path, entries)
        files.append((name, path))
        print(f"{name}: {path}, {os.path.getsize(path) / MB:.1f} MB", flush=True)

    if args.bisect:
        for name, path in files:
            for opener in ("RawReader", "read_run"):
                lowest = lowest_limit(opener, path, threads=args.threads)
                print(f"lowest limit, {name}, {opener}, {args.setup}, threads {args.threads or 'default'}: "
                      f"{lowest} MB", flush=True)
    if args.only_bisect:
        return 0

    faults = 0
    for name, path in files:
        for opener in ("RawReader", "read_run"):
            for threads in THREADS:
                counts = {}
                for limit in LIMITS_MB:
                    for _ in range(args.tries):
                        code, tail = attempt(opener, path, limit, threads)
                        outcome = OUTCOMES.get(code, f"FAULT exit {code}")
                        counts[outcome] = counts.get(outcome, 0) + 1
                        if code not in OUTCOMES:
                            faults += 1
                            print(f"  fault: {name} {opener} threads={threads} limit={limit} MB: exit {code} {tail}")
                summary = ", ".join(f"{k} {v}" for k, v in sorted(counts.items()))
                print(f"{name} {opener} threads={threads}: {summary}", flush=True)
    print(f"{faults} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())

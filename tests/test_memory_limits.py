"""Under an address-space limit, an open succeeds or raises MemoryError.

Each open runs in a child interpreter whose address space is limited
(RLIMIT_AS) from 200 MB to 2 GB, with 1, 2, 8 and 16 threads, through
RawReader (alone, and after numpy is loaded) and read_run. Threads that cannot start, buffers that cannot grow
and decoders refused room for their points must all end in the child's
MemoryError or in the run; never in an exit without a Python exception
(status 127 when a thread's exception state cannot be allocated), an abort
or a hang. The run is a GC-MS acquisition with MRM scans of about 32 MB, so
that the lower limits fall inside the decode.
"""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

import gcms_encoders as gc

resource = pytest.importorskip("resource")

pytestmark = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", "") or not hasattr(resource, "RLIMIT_AS"),
    reason="the sanitizer runtime reserves more address space than any limit here allows",
)

MB = 1 << 20
# 200 MB reaches into the decode of this run; the rest are the range that
# must hold for runs of any size.
LIMITS_MB = [200, 300, 450, 700, 2000]
THREADS = ["1", "2", "8", "16"]

CHILD = """
import sys
opener, path = sys.argv[1], sys.argv[2]
try:
    if opener == "RawReader, numpy loaded":
        # With numpy's libraries loaded first, the C++ runtime's per-thread
        # exception state no longer fits the static thread-local space, and
        # the calling thread's first throw must not be the open's bad_alloc.
        import numpy
    if opener.startswith("RawReader"):
        from kelvara import RawReader
        count = RawReader(path).scan_count
    else:
        from kelvara_tools import read_run
        count = len(read_run(path).offsets) - 1
except MemoryError as error:
    print("MemoryError", error)
    sys.exit(3)
print("opened", count)
"""


@pytest.fixture(scope="module")
def large_run(tmp_path_factory):
    run = gc.realistic_run(n_scans=600, scan_ms=100, mrm_every=9, seed=21)
    data, offsets = gc.concat(run.records)
    copies = (32 * MB) // len(data) + 1
    path = tmp_path_factory.mktemp("limits") / "large.qgd"
    from cfbwriter import write_cfb

    write_cfb(
        str(path),
        {gc.GCMS_INDEX: gc.index_a([o + k * len(data) for k in range(copies) for o in offsets]), gc.GCMS_DATA: data * copies},
    )
    return str(path), len(run.expected) * copies


def open_limited(opener, path, limit_mb, threads):
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (limit_mb * MB, limit_mb * MB))

    env = dict(os.environ, KELVARA_THREADS=threads, OPENBLAS_NUM_THREADS="1")
    return subprocess.run(
        [sys.executable, "-c", CHILD, opener, path], env=env, preexec_fn=limit, capture_output=True, text=True, timeout=120
    )


def test_every_limit_and_thread_count_opens_or_raises_memory_error(large_run):
    from concurrent.futures import ThreadPoolExecutor

    path, spectra = large_run
    openers = ("RawReader", "RawReader, numpy loaded", "read_run")
    cases = [(o, t, m) for o in openers for t in THREADS for m in LIMITS_MB]
    with ThreadPoolExecutor(max_workers=3) as pool:
        results = list(pool.map(lambda case: open_limited(case[0], path, case[2], case[1]), cases))
    outcomes = {}
    for (opener, threads, limit_mb), done in zip(cases, results):
        where = f"{opener}, {threads} threads, {limit_mb} MB"
        assert done.returncode in (0, 3), f"{where}: exit {done.returncode}\n{done.stderr[-2000:]}"
        if done.returncode == 0:
            # Opened whole, never a part of the run.
            assert done.stdout.split() == ["opened", str(spectra)], where
        else:
            assert done.stdout.startswith("MemoryError"), where
        outcomes[opener, threads, limit_mb] = done.returncode
    # Two gigabytes hold the run on every thread count, and the lowest limit
    # fails somewhere: the limits reach into the open.
    assert all(code == 0 for (_, _, m), code in outcomes.items() if m == LIMITS_MB[-1]), outcomes
    assert any(code == 3 for code in outcomes.values()), outcomes

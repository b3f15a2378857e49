"""Deflate and base64 of a batch's arrays, on every core.

    encoder = Encoder(threads())                  # once per conversion
    texts = encoder.encode_segments(values, bounds, deflate=True)
    texts = encoder.encode_parts(parts, deflate=True)   # bytes per array, e.g. MS-Numpress output
    text = encoder.encode(array, deflate=True)          # one array alone (a chromatogram's)

An mzML file holds one base64 text per spectrum and array: the array's
bytes, or a zlib stream of them. Spectra are small (a few hundred points
for GC-MS) and a batch holds thousands, so the batch is cut into runs of
consecutive arrays of about equal bytes, one run per thread, and each run
is one call to _columns.base64_segments: it deflates every array of the run
and base64-encodes the streams with the interpreter lock released, so the
threads work side by side. The calling thread takes one run itself; the
others go to a pool of threads that lives as long as the process, so a
conversion starts no thread per batch.

The deflate is the package's own (src/tools/deflate.cpp), written for these
arrays: a few hundred bytes each, a million of them in a long run, where a
general library's per-call setup outweighs the compression. It matches
greedily through a hash table kept between calls and writes each block with
fixed codes, codes of its own (from 2 KiB of the array on: below that their
header and sort rarely pay) or stored, whichever is smallest
(docs/benchmarks.md, "Deflate library", has the measurements). Its output is
a standard zlib stream, header and Adler-32 checksum included, that any zlib
reader decompresses, and it depends on the array's bytes alone: the same
file on every run and thread count.
"""

from __future__ import annotations

import concurrent.futures
import os
import re
import threading

import numpy as np

from ._columns import base64_segments

__all__ = ["Encoder", "threads"]

# The most threads per core, as the core's own bound: past that, starting
# threads costs more than they give.
_THREADS_PER_CORE = 4
# A run smaller than this stays on the calling thread: handing it to
# another thread and waiting for it costs about as much as encoding it.
_MIN_RUN_BYTES = 256 << 10


def threads() -> int:
    """The number of threads a conversion encodes with, read from the
    environment as the core reads it: KELVARA_THREADS when it is a positive
    whole number (at most four per core), else one per core. Call it once
    per conversion; a batch runner that starts several conversions side by
    side sets KELVARA_THREADS in each so that together they use about as many
    threads as there are cores."""
    cores = os.cpu_count() or 1
    text = os.environ.get("KELVARA_THREADS", "")
    value = int(text) if re.fullmatch(r"[0-9]+", text) else 0
    return min(value, _THREADS_PER_CORE * cores) if value > 0 else cores


_pool_lock = threading.Lock()
_pool: concurrent.futures.ThreadPoolExecutor | None = None
_pool_size = 0
_pool_pid = 0


def _shared_pool(workers: int) -> concurrent.futures.ThreadPoolExecutor:
    """The process's encoding pool, with at least `workers` threads. A child
    made by fork has no thread of its parent's pool, so it makes its own."""
    global _pool, _pool_size, _pool_pid
    with _pool_lock:
        if _pool is None or _pool_pid != os.getpid() or _pool_size < workers:
            if _pool is not None and _pool_pid == os.getpid():
                _pool.shutdown(wait=False)
            _pool = concurrent.futures.ThreadPoolExecutor(workers, thread_name_prefix="kelvara-encode")
            _pool_size, _pool_pid = workers, os.getpid()
        return _pool


def _run_cuts(byte_bounds: np.ndarray, runs: int) -> list[int]:
    """Segment positions that cut the segments into at most `runs` runs of
    consecutive segments with about equal bytes (a single large segment
    cannot be cut; each run is at least _MIN_RUN_BYTES but the last)."""
    n = len(byte_bounds) - 1
    total = int(byte_bounds[-1] - byte_bounds[0])
    runs = max(1, min(runs, n, total // _MIN_RUN_BYTES))
    targets = byte_bounds[0] + total * np.arange(1, runs, dtype=np.int64) // runs
    inner = np.searchsorted(byte_bounds, targets).tolist()
    return sorted({0, n, *inner})


class Encoder:
    """Base64 texts of many arrays at once on `threads` threads (the
    calling thread among them), deflated first where asked. Safe to use
    from one thread at a time."""

    def __init__(self, threads: int = 1):
        if threads < 1:
            raise ValueError(f"an encoder needs one thread or more, not {threads}")
        self.threads = threads

    def encode(self, array: np.ndarray, deflate: bool) -> bytes:
        """The base64 text of one whole array."""
        data = np.ascontiguousarray(array).tobytes()
        return base64_segments(data, np.array([0, len(data)], dtype=np.int64).tobytes(), deflate)[0]

    def encode_segments(self, values: np.ndarray, bounds: np.ndarray, deflate: bool) -> list[bytes]:
        """The text of each segment values[bounds[k]:bounds[k + 1]]."""
        values = np.ascontiguousarray(values)
        byte_bounds = np.asarray(bounds, dtype=np.int64) * values.itemsize
        return self._encode(values.tobytes(), byte_bounds, deflate)

    def encode_parts(self, parts: list[bytes], deflate: bool) -> list[bytes]:
        """The text of each bytes object of `parts`."""
        byte_bounds = np.zeros(len(parts) + 1, dtype=np.int64)
        np.cumsum(np.fromiter(map(len, parts), dtype=np.int64, count=len(parts)), out=byte_bounds[1:])
        return self._encode(b"".join(parts), byte_bounds, deflate)

    def _encode(self, data: bytes, byte_bounds: np.ndarray, deflate: bool) -> list[bytes]:
        if len(byte_bounds) < 2:
            return []
        cuts = _run_cuts(byte_bounds, self.threads)
        runs = [byte_bounds[a:b + 1].tobytes() for a, b in zip(cuts, cuts[1:])]
        if len(runs) == 1:
            return base64_segments(data, runs[0], deflate)
        pool = _shared_pool(self.threads - 1)
        futures = [pool.submit(base64_segments, data, run, deflate) for run in runs[1:]]
        try:
            texts = base64_segments(data, runs[0], deflate)
            for future in futures:
                texts += future.result()
        finally:
            # On a failure, no thread is left working for a call that is over.
            for future in futures:
                future.cancel()
            concurrent.futures.wait(futures)
        return texts

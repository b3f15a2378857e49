"""Deflate and base64 of a batch's arrays, on every core.

    encoder = Encoder(threads())                  # once per conversion
    texts = encoder.encode_segments(values, bounds, deflate=True)
    texts = encoder.encode_parts(parts, deflate=True)   # bytes per array, e.g. MS-Numpress output
    text = encoder.encode(array, deflate=True)          # one array alone (a chromatogram's)

An mzML file holds one base64 text per spectrum and array: the array's
bytes, or a zlib stream of them. Spectra are small (a few hundred points
for GC-MS) and a batch holds thousands, so the batch is cut into runs of
consecutive arrays of about equal bytes, one run per thread. A thread
deflates its arrays one after another (the deflate call releases the
interpreter lock, so the threads deflate side by side), then base64-encodes
the whole run in one call to _columns.base64_segments, which releases the
lock as well. The calling thread takes one run itself; the others go to a
pool of threads that lives as long as the process, so a conversion starts
no thread per batch.

The deflate is zlib-ng's (the `zlib-ng` package), chosen by measurement on
the arrays conversions write (docs/benchmarks.md, "Deflate library"): these
arrays are a few hundred bytes, where a call's setup outweighs the
compression, and zlib-ng's level 1 sets up least: 2.4 to 2.9 times zlib's
speed, for output 7 to 19% larger than zlib's level 1. Its output is a
standard zlib stream, header and Adler-32 checksum included, that any zlib
reader decompresses, and the same bytes on every run and thread count. Where
`zlib_ng` cannot be imported, Python's zlib at level 1 does the same job more
slowly, with smaller output. Texts for uncompressed arrays are plain base64,
the same bytes whatever the library.
"""

from __future__ import annotations

import binascii
import concurrent.futures
import os
import re
import threading
import zlib
from typing import Callable

import numpy as np

from ._columns import base64_segments

__all__ = ["Encoder", "threads", "deflate_name"]

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


def _libraries() -> dict[str, Callable[[bytes], bytes]]:
    """Deflate functions by name, each giving a zlib stream: the fastest
    library that imports first."""
    found: dict[str, Callable[[bytes], bytes]] = {}
    try:
        from zlib_ng import zlib_ng
    except ImportError:
        pass
    else:
        found["zlib-ng"] = lambda data: zlib_ng.compress(data, 1)
    # The fastest level: float arrays shrink little more at higher ones (a
    # few percent) for several times the time.
    found["zlib"] = lambda data: zlib.compress(data, 1)
    return found


_LIBRARIES = _libraries()
_DEFAULT = next(iter(_LIBRARIES))


def deflate_name() -> str:
    """The deflate library the encoder uses: "zlib-ng", or "zlib" without it."""
    return _DEFAULT


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
    calling thread among them), deflated first where asked with `library`
    (a name from deflate_name's choices; the fastest installed by default).
    Safe to use from one thread at a time."""

    def __init__(self, threads: int = 1, library: str | None = None):
        if threads < 1:
            raise ValueError(f"an encoder needs one thread or more, not {threads}")
        if library is not None and library not in _LIBRARIES:
            raise ValueError(f"deflate library {library!r} is not available; use one of {sorted(_LIBRARIES)}")
        self.threads = threads
        self.library = library or _DEFAULT
        self.deflate: Callable[[bytes], bytes] = _LIBRARIES[self.library]

    def encode(self, array: np.ndarray, deflate: bool) -> bytes:
        """The base64 text of one whole array."""
        data = np.ascontiguousarray(array).tobytes()
        return binascii.b2a_base64(self.deflate(data) if deflate else data, newline=False)

    def encode_segments(self, values: np.ndarray, bounds: np.ndarray, deflate: bool) -> list[bytes]:
        """The text of each segment values[bounds[k]:bounds[k + 1]]."""
        values = np.ascontiguousarray(values)
        byte_bounds = np.asarray(bounds, dtype=np.int64) * values.itemsize
        # Deflate reads the values where they are; base64 alone needs the
        # bytes object that _columns.base64_segments reads, one copy.
        data = memoryview(values.reshape(-1).view(np.uint8)) if deflate else values.tobytes()
        return self._encode(data, byte_bounds, deflate)

    def encode_parts(self, parts: list[bytes], deflate: bool) -> list[bytes]:
        """The text of each bytes object of `parts`."""
        byte_bounds = np.zeros(len(parts) + 1, dtype=np.int64)
        np.cumsum(np.fromiter(map(len, parts), dtype=np.int64, count=len(parts)), out=byte_bounds[1:])
        return self._encode(b"".join(parts), byte_bounds, deflate)

    def _encode(self, data, byte_bounds: np.ndarray, deflate: bool) -> list[bytes]:
        if len(byte_bounds) < 2:
            return []
        cuts = _run_cuts(byte_bounds, self.threads)
        runs = [byte_bounds[a:b + 1] for a, b in zip(cuts, cuts[1:])]
        if len(runs) == 1:
            return self._encode_run(data, runs[0], deflate)
        pool = _shared_pool(self.threads - 1)
        futures = [pool.submit(self._encode_run, data, run, deflate) for run in runs[1:]]
        try:
            texts = self._encode_run(data, runs[0], deflate)
            for future in futures:
                texts += future.result()
        finally:
            # On a failure, no thread is left working for a call that is over.
            for future in futures:
                future.cancel()
            concurrent.futures.wait(futures)
        return texts

    def _encode_run(self, data, byte_bounds: np.ndarray, deflate: bool) -> list[bytes]:
        """The texts of one run of consecutive segments of `data`."""
        if not deflate:
            return base64_segments(data, byte_bounds.tobytes())
        at = byte_bounds.tolist()
        compress = self.deflate
        streams = [compress(data[a:b]) for a, b in zip(at, at[1:])]
        stream_bounds = np.zeros(len(streams) + 1, dtype=np.int64)
        np.cumsum(np.fromiter(map(len, streams), dtype=np.int64, count=len(streams)), out=stream_bounds[1:])
        return base64_segments(b"".join(streams), stream_bounds.tobytes())

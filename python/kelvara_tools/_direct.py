"""A large output file written past the page cache where the system allows it.

A converted run is written once, flushed to disk and renamed, and nothing
reads it back soon. Through the page cache every byte is first copied into
a cache page, and the final fsync then waits while the whole file goes
out; on Linux the two cost about as much CPU as deflating the arrays. With
O_DIRECT the device takes the bytes straight from our own buffer.

Direct I/O wants the buffer, the length and the file offset aligned.
`write_block` takes page-aligned blocks of a whole number of pages and
writes them as they are; `write` gathers anything else into a block of its
own first. The last, partial block goes out through the cache, with
O_DIRECT cleared for it. Where there is no O_DIRECT (Windows, macOS) or the
file system refuses it (tmpfs, some network and FUSE file systems), or the
device refuses an aligned write, the same blocks are written through the
cache.
"""

from __future__ import annotations

import errno
import mmap
import os

try:
    import fcntl
except ImportError:  # Windows
    fcntl = None

_O_DIRECT = getattr(os, "O_DIRECT", 0) if fcntl is not None else 0

# Aligned to this, a write suits every logical block size in common use
# (512 and 4096 bytes). A device that wants more refuses the write with
# EINVAL, and the file goes on through the cache.
ALIGN = 4096


def aligned_block(size: int) -> mmap.mmap:
    """Anonymous memory of `size` bytes on a page boundary."""
    return mmap.mmap(-1, size)


class DirectFile:
    """A binary file created (or truncated) for writing."""

    BLOCK = 4 << 20

    def __init__(self, path: str | os.PathLike) -> None:
        self.fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_BINARY", 0), 0o666)
        self.direct = False
        if _O_DIRECT:
            try:
                fcntl.fcntl(self.fd, fcntl.F_SETFL, fcntl.fcntl(self.fd, fcntl.F_GETFL) | _O_DIRECT)
                self.direct = True
            except OSError:
                pass
        self._block: mmap.mmap | None = None
        self._view: memoryview | None = None
        self._used = 0

    def write_block(self, data: memoryview) -> None:
        """Write a buffer that starts on a page, such as an `aligned_block`
        or its start: as it is when it is a whole number of pages and
        nothing waits before it, else gathered as write() gathers it."""
        if self._used or len(data) % ALIGN:
            self.write(data)
        else:
            self._write_out(data)

    def write(self, data) -> int:
        data = memoryview(data).cast("B")
        size = len(data)
        if self._block is None:
            self._block = aligned_block(self.BLOCK)
            self._view = memoryview(self._block)
        while data:
            take = min(len(data), self.BLOCK - self._used)
            self._view[self._used:self._used + take] = data[:take]
            self._used += take
            data = data[take:]
            if self._used == self.BLOCK:
                self._used = 0
                self._write_out(self._view)
        return size

    def flush(self) -> None:
        """Nothing: a partial block waits for more, or for close()."""

    def _write_out(self, view: memoryview) -> None:
        while view:
            try:
                view = view[os.write(self.fd, view):]
            except OSError as error:
                if not (self.direct and error.errno == errno.EINVAL):
                    raise
                self._through_cache()

    def _through_cache(self) -> None:
        if self.direct:
            fcntl.fcntl(self.fd, fcntl.F_SETFL, fcntl.fcntl(self.fd, fcntl.F_GETFL) & ~_O_DIRECT)
            self.direct = False

    def close(self, keep: bool = True) -> None:
        """Write what waits (unless not `keep`: the file is being given up)
        and close."""
        if self.fd < 0:
            return
        try:
            if keep and self._used:
                whole = self._used - self._used % ALIGN
                if whole:
                    self._write_out(self._view[:whole])
                self._through_cache()
                self._write_out(self._view[whole:self._used])
        finally:
            fd, self.fd = self.fd, -1
            self._used = 0
            # Dropped, not closed: a traceback on its way may still hold
            # a slice of the block; the memory goes with the last one.
            self._view = self._block = None
            os.close(fd)

    def __enter__(self) -> "DirectFile":
        return self

    def __exit__(self, kind, value, traceback) -> None:
        self.close(keep=kind is None)

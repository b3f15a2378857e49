"""The allocator setting of the processes the command owns.

A conversion hands the allocator column blocks of several MB, batch after
batch. glibc maps a block of at least its mapping threshold on its own and
unmaps it when freed, but by default it raises that threshold to the size
of the largest mapped block freed, so after the first batch the columns
come from heaps, which fragment and keep growing over a long run: a 1.5 GB
TTFL run converted to Parquet peaked at 424 MB instead of 284 MB.

Fixing the mapping threshold also fixes the trim threshold, at 128 KiB:
each time the top of a heap is freed past that, it goes back to the kernel,
and the next batch's blocks below 1 MiB (the texts the mzML writer formats,
the bytes objects made of them) come back as fresh pages that the kernel
maps and zeroes one by one. A 150 MB GC-MS conversion to mzML took 496,000
page faults with it and 292,000 with the trim threshold at 64 MiB, which
bounds what a heap keeps unused.

The thresholds are settings of the whole process, so the package leaves
them alone in the caller's interpreter; the kelvara command and its worker
processes, which run nothing else, fix them. Other C libraries are left as
they are.
"""

from __future__ import annotations

_done = False


def unmap_large_blocks() -> None:
    """Have glibc map blocks of 1 MiB and more on their own and unmap them
    when freed, and keep up to 64 MiB free at the top of a heap."""
    global _done
    if _done:
        return
    _done = True
    import ctypes

    try:
        libc = ctypes.CDLL(None)
        libc.gnu_get_libc_version  # only glibc's mallopt takes M_MMAP_THRESHOLD (-3)
        libc.mallopt(ctypes.c_int(-3), ctypes.c_int(1 << 20))
        libc.mallopt(ctypes.c_int(-1), ctypes.c_int(64 << 20))  # M_TRIM_THRESHOLD
    except (OSError, AttributeError, TypeError):
        pass

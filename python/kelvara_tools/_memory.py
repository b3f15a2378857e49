"""The allocator setting of the processes the command owns.

A conversion hands the allocator column blocks of several MB, batch after
batch. glibc maps a block of at least its mapping threshold on its own and
unmaps it when freed, but by default it raises that threshold to the size
of the largest mapped block freed, so after the first batch the columns
come from heaps, which fragment and keep growing over a long run: a 1.5 GB
TTFL run converted to Parquet peaked at 424 MB instead of 284 MB.

The threshold is a setting of the whole process, so the package leaves it
alone in the caller's interpreter; the kelvara command and its worker
processes, which run nothing else, fix it at 1 MiB. Other C libraries are
left as they are.
"""

from __future__ import annotations

_done = False


def unmap_large_blocks() -> None:
    """Have glibc map blocks of 1 MiB and more on their own and unmap them when freed."""
    global _done
    if _done:
        return
    _done = True
    import ctypes

    try:
        libc = ctypes.CDLL(None)
        libc.gnu_get_libc_version  # only glibc's mallopt takes M_MMAP_THRESHOLD (-3)
        libc.mallopt(ctypes.c_int(-3), ctypes.c_int(1 << 20))
    except (OSError, AttributeError, TypeError):
        pass

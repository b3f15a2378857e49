"""Outputs that appear whole or not at all.

    with atomic_output("out/run.mzML") as temporary:
        write_mzml(run, temporary, ...)
    with atomic_output("out/run.peaks", folder=True) as temporary:
        ...write temporary/peaks.parquet and temporary/spectra.parquet...

The block writes under a temporary name in the target folder (so the final
rename stays on one file system); when it ends without error the data is
flushed to disk and renamed onto the final name. A file replaces the old
one atomically. A folder is swapped in as a whole, so its files always come
from one conversion, never a new peaks.parquet beside an old
spectra.parquet. When the block fails, the temporary is removed, the old
output stays as it was, and an OSError names the final path, not the
temporary one.

A conversion killed part way (by the kernel for memory, by SIGKILL, by a
power cut) cannot remove its temporary, and those hold hundreds of MB. So
every writer holds a lock while its temporary exists: an exclusive flock
(LockFileEx on Windows) on a small ".<final name>.<hex>.lock" file beside
".<final name>.<hex>.tmp". The kernel releases the lock when its process
dies, however it dies, so a later atomic_output of the same final name
removes each temporary whose lock it can take (a dead writer's) and leaves
those whose lock is held (a live writer's, in this process or another).
A temporary without a lock file was left by a version that wrote none, or
its writer has just finished with it; either way it is removed. Process
ids in the name were not used: they are reused, and mean nothing on a
shared filesystem written from several hosts. flock works across hosts on
NFS (the Linux client maps it onto NFS locks), but some network file
systems grant every lock; there a second writer's temporary may be taken
for stale, the cost of which is that one of the two conversions fails.
"""

from __future__ import annotations

import contextlib
import errno
import os
import re
import secrets
import shutil
import sys
from typing import Iterator

# Swaps tried before leaving the folder to another writer that keeps
# placing its own whole output under the same name.
_ATTEMPTS = 16


def temporary_name(final: str) -> str:
    folder, name = os.path.split(os.path.abspath(final))
    return os.path.join(folder, f".{name}.{secrets.token_hex(6)}.tmp")


if sys.platform == "win32":
    import msvcrt

    def _try_lock(fd: int) -> bool:
        try:
            msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)
            return True
        except OSError:
            return False
else:
    import fcntl

    def _try_lock(fd: int) -> bool:
        # flock, not fcntl record locks: those are per process and dropped
        # when any descriptor of the file is closed.
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return True
        except OSError:
            return False


def _lock_name(temporary: str) -> str:
    return temporary[:-len(".tmp")] + ".lock"


class _Claim:
    """The lock that marks a temporary as a live writer's."""

    def __init__(self, final: str):
        for _ in range(_ATTEMPTS):
            temporary = temporary_name(final)
            lock = _lock_name(temporary)
            fd = os.open(lock, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o644)
            # A cleaner may have found the lock file before it was locked
            # and removed it as stale: then this lock guards nothing.
            if _try_lock(fd) and _same_file(fd, lock):
                self.temporary, self.lock, self.fd = temporary, lock, fd
                return
            os.close(fd)
        raise OSError(errno.EAGAIN, "cannot lock a temporary name beside the output", final)

    def release(self) -> None:
        # Closed before it is removed: Windows cannot remove an open file.
        os.close(self.fd)
        discard(self.lock)


def _same_file(fd: int, path: str) -> bool:
    try:
        return os.path.samestat(os.fstat(fd), os.stat(path))
    except OSError:
        return False


def remove_stale(final: str | os.PathLike) -> list[str]:
    """Remove the temporaries (and folders moved aside) that dead writers of
    `final` left behind; returns their paths. Never raises: a folder that
    cannot be listed has nothing this run could remove either."""
    folder, name = os.path.split(os.path.abspath(os.fspath(final)))
    own = re.compile(re.escape(f".{name}.") + r"([0-9a-f]{12})\.(?:tmp(?:\.\d+\.old|\.body)?|lock)")
    try:
        names = os.listdir(folder)
    except OSError:
        return []
    groups: dict[str, list[str]] = {}
    for entry in names:
        match = own.fullmatch(entry)
        if match:
            groups.setdefault(match.group(1), []).append(entry)
    removed = []
    for token, entries in groups.items():
        lock = os.path.join(folder, f".{name}.{token}.lock")
        try:
            fd = os.open(lock, os.O_RDWR)
        except FileNotFoundError:
            fd = None  # no lock file: nobody guards these
        except OSError:
            continue
        if fd is not None and not _try_lock(fd):
            os.close(fd)
            continue  # a live writer's
        for entry in entries:
            path = os.path.join(folder, entry)
            if path != lock:
                discard(path)
                removed.append(path)
        if fd is not None:
            # Removed only after what it guards, and closed first for Windows.
            os.close(fd)
            discard(lock)
    return removed


@contextlib.contextmanager
def atomic_output(final: str | os.PathLike, *, folder: bool = False,
                  may_hold: frozenset[str] = frozenset()) -> Iterator[str]:
    """Yield a temporary path (an empty folder with `folder`) beside `final`
    and move it onto `final` when the block completes. An older folder
    output is replaced when it holds only names this one writes or names in
    `may_hold` (files an output of the same kind holds only sometimes)."""
    final = os.fspath(final)
    remove_stale(final)
    try:
        claim = _Claim(final)
    except OSError as error:  # a folder that cannot be written: name the output
        error.filename = final
        raise
    temporary = claim.temporary
    try:
        if folder:
            os.mkdir(temporary)
        yield temporary
        _flush(temporary)
        if folder:
            _place_folder(temporary, final, may_hold)
        else:
            os.replace(temporary, final)
    except BaseException as error:
        discard(temporary)
        if isinstance(error, OSError):
            _name_final(error, temporary, final)
        raise
    finally:
        claim.release()


def discard(path: str) -> None:
    """Remove a file or folder if it is there; never raises (it runs while
    another error is on its way to the caller)."""
    try:
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path, ignore_errors=True)
        else:
            os.unlink(path)
    except OSError:
        pass


def _flush(path: str) -> None:
    """Data on disk before the rename makes it visible: a crash afterwards
    finds the whole new output or the old one."""
    files = [os.path.join(path, n) for n in os.listdir(path)] if os.path.isdir(path) else [path]
    for name in files:
        with open(name, "rb") as f:
            os.fsync(f.fileno())


def _place_folder(temporary: str, final: str, may_hold: frozenset[str]) -> None:
    """Rename the finished folder onto `final`, moving an older output of the
    same shape aside first. Another writer may place its own folder in
    between; each try moves whatever is there aside and tries again, so two
    conversions of one file into one place both succeed."""
    ours = set(os.listdir(temporary)) | may_hold
    for attempt in range(_ATTEMPTS):
        try:
            os.rename(temporary, final)
            return
        except OSError as error:
            # The name is taken (by a folder with files, or by a file).
            if error.errno not in (errno.EEXIST, errno.ENOTEMPTY, errno.ENOTDIR):
                raise
        try:
            theirs = set(os.listdir(final))
        except FileNotFoundError:
            continue  # moved aside by another writer since the rename failed
        except NotADirectoryError:
            theirs = None
        if theirs is None or not theirs <= ours:
            raise FileExistsError(errno.EEXIST, "exists and holds other files than this output would replace; "
                                                "choose another output name", final)
        aside = f"{temporary}.{attempt}.old"
        try:
            os.rename(final, aside)
        except FileNotFoundError:
            continue
        discard(aside)
    # Others kept placing theirs: the name holds a whole output from one of them.
    discard(temporary)


def _name_final(error: OSError, temporary: str, final: str) -> None:
    for attribute in ("filename", "filename2"):
        name = getattr(error, attribute, None)
        if isinstance(name, str) and name.startswith(temporary):
            setattr(error, attribute, final + name[len(temporary):])

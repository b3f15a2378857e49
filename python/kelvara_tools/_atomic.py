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
"""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
import shutil
from typing import Iterator

# Swaps tried before leaving the folder to another writer that keeps
# placing its own whole output under the same name.
_ATTEMPTS = 16


def temporary_name(final: str) -> str:
    folder, name = os.path.split(os.path.abspath(final))
    return os.path.join(folder, f".{name}.{secrets.token_hex(6)}.tmp")


@contextlib.contextmanager
def atomic_output(final: str | os.PathLike, *, folder: bool = False,
                  may_hold: frozenset[str] = frozenset()) -> Iterator[str]:
    """Yield a temporary path (an empty folder with `folder`) beside `final`
    and move it onto `final` when the block completes. An older folder
    output is replaced when it holds only names this one writes or names in
    `may_hold` (files an output of the same kind holds only sometimes)."""
    final = os.fspath(final)
    temporary = temporary_name(final)
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

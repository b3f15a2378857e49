"""What goes wrong, in one place: the extension's errors as Python
exceptions, and any error as one line of text for a report or the command line.

    @completed def read_run(path)    # the extension's errors, completed
    describe(error, path)            # "FormatError: the file looks truncated ..."
    missing_extra("Parquet files", "arrow")   # an ImportError naming the install command

The extension raises the matching OSError subclass for a file it cannot
read and FormatError, with the reader's own words, for one that is not a
valid run. Those words state what the container holds; describe() says what
that means for the person holding the file (a half-copied run, a GC-MS run
named .lcd) and keeps the reader's detail after it. File names a Linux file
system allows but that are not UTF-8 are shown with their bytes escaped.
"""

from __future__ import annotations

import functools
import os
import re
import shlex
import stat
import struct
import sys

from . import _columns

FormatError = _columns.FormatError

# A temporary output name made by _atomic: ".<final name>.<12 hex digits>.tmp".
_TEMPORARY = re.compile(r"\.([^/\\]+?)\.[0-9a-f]{12}\.tmp\b")
_REPR_SURROGATE = re.compile(r"\\udc([89a-f][0-9a-f])")


def escape(text: str) -> str:
    """Text safe to print and to write as UTF-8: the bytes of a file name that
    are not UTF-8 (which Python holds as lone surrogates) shown as \\xNN."""
    try:
        return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    except UnicodeEncodeError:  # a surrogate that stands for no byte
        return text.encode("utf-8", "backslashreplace").decode("utf-8")


def shown(path: str | os.PathLike | bytes) -> str:
    """A path as a message shows it."""
    return escape(os.fsdecode(os.fspath(path)))


# -- the extension's errors -----------------------------------------------------

def completed(read):
    """`read(path)` (read_run) with the extension's errors completed: a
    MemoryError says what could not be read, and a FIFO or a device is named
    as such instead of "the file is 0 bytes"."""

    @functools.wraps(read)
    def reading(path):
        try:
            return read(path)
        except (MemoryError, FormatError) as error:
            mapped = core_error(error, path)
            if mapped is error:
                raise
            raise mapped from error

    return reading


def core_error(error: BaseException, path) -> BaseException:
    """The exception to raise for `error` from reading `path`: `error` itself
    unless it says less than it should."""
    if isinstance(error, MemoryError) and not str(error):
        return MemoryError(f"not enough memory to read {shown(path)}")
    if isinstance(error, FormatError):
        kind = _special_file(path)
        if kind:
            return FormatError(f"{shown(path)} is {kind}, not a data file: copy the run to a regular file first")
    return error


def _special_file(path) -> str | None:
    try:
        mode = os.stat(path).st_mode
    except (OSError, TypeError, ValueError):
        return None
    if stat.S_ISFIFO(mode):
        return "a FIFO (named pipe)"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "a device"
    if stat.S_ISSOCK(mode):
        return "a socket"
    return None


# -- one line of text per error -------------------------------------------------

def describe(error: BaseException, path=None) -> str:
    """ "Type: message" for a report or the command line. With the `path` that
    was being read, a FormatError says what it means for that file."""
    text = str(error)
    if isinstance(error, MemoryError) and not text:
        text = "not enough memory" + (f" to read {shown(path)}" if path is not None else "")
    elif isinstance(error, FormatError) and path is not None:
        text = _explain(error, text, path)
    elif not text:
        text = "(no message)"
    # A failure while writing names the output, never its temporary name.
    text = _TEMPORARY.sub(r"\1", text)
    # An OSError shows its file name's repr, where a byte that is not UTF-8 reads \udcNN.
    text = _REPR_SURROGATE.sub(r"\\x\1", text)
    return escape(f"{type(error).__name__}: {text}")


# The reader's words when the container's tables reach past the file's end:
# a sector or byte range past it, a stream or the mini stream needing more
# sectors than the file holds, a read that met the end early.
_PAST_THE_END = re.compile(r"past the end of the file|sectors, but the file holds|reached the end of the file")


def _explain(error: BaseException, text: str, path) -> str:
    # The reader sets needed_bytes where its container points past the end of
    # the file; a read that met the file's end early says so in words.
    if getattr(error, "needed_bytes", None) is not None or _PAST_THE_END.search(text):
        return _truncated(error, text, path)
    extension = os.path.splitext(os.fsdecode(os.fspath(path)))[1].lower()
    if "unsupported file extension" in text:
        layout = probe(path)
        hint = ": this looks like {}, name it {}".format(*_looks_like(layout)) if layout else \
            ": name it .qgd (GC-MS) or .lcd (LC-MS) as it was acquired"
        if not extension:
            return f"the file has no extension{hint}"
        return f"{extension} is not a data file extension{hint}"
    if re.search(r" storage (?:not )?found in \.\w+ file", text):
        layout = probe(path)
        if layout and _looks_like(layout)[1] != extension:
            kind, suffix = _looks_like(layout)
            return f"this looks like {kind}, not {extension}: rename it to {suffix} ({text})"
    return text


_KINDS = {".qgd": "a GC-MS file (.qgd)", ".lcd": "an LC-MS file (.lcd)"}


def _truncated(error: BaseException, text: str, path) -> str:
    """A container whose tables point past the end of the file: nearly always
    a copy or download that stopped part way. The reader gives the file's
    size and the size its container needs."""
    have = getattr(error, "file_bytes", None)
    need = getattr(error, "needed_bytes", None)
    if have is None:
        try:
            have = os.stat(path).st_size
        except OSError:
            pass
    sizes = ""
    if have is not None and need is not None:
        sizes = f": it is {have:,} bytes, but its container needs at least {need:,}"
    elif have is not None:
        sizes = f": it is {have:,} bytes, shorter than its container says"
    return f"the file looks truncated (an incomplete copy?){sizes}; copy it again ({text})"


# -- which layout a container holds ---------------------------------------------

def probe(path) -> str | None:
    """The layout (a name of _columns.LAYOUTS) whose storage the container
    holds, whatever the file is named; None when it cannot tell."""
    from_core = getattr(_columns, "probe_layout", None)
    if from_core is not None:
        try:
            return from_core(path) or None
        except Exception:
            pass  # the reader could not tell; look at the directory here
    try:
        storages = _root_storages(path)
    except (OSError, ValueError, struct.error):
        return None
    return next((name for name, layout in _columns.LAYOUTS.items() if layout["storage"].lower() in storages), None)


def _looks_like(layout: str) -> tuple[str, str]:
    """What a layout's files are called, and their extension."""
    suffix = "." + _columns.LAYOUTS[layout]["extension"]
    return _KINDS.get(suffix, f"a {suffix} file"), suffix


_SIGNATURE = bytes.fromhex("D0CF11E0A1B11AE1")
_END = 0xFFFFFFFA  # sector numbers from here on are markers, not sectors
# Far more directory than any run has; a hostile file cannot make this read more.
_MAX_DIRECTORY_SECTORS = 1024


def _root_storages(path) -> set[str]:
    """The names of the storages at the container's root, in lower case.
    Reads the header, the FAT entries of the directory chain and the
    directory; every chain is bounded and checked for loops, so a hostile
    file gives ValueError, never a long read."""
    with open(path, "rb") as f:
        header = f.read(512)
        if len(header) < 512 or header[:8] != _SIGNATURE:
            raise ValueError("not a compound file")
        shift = struct.unpack_from("<H", header, 0x1E)[0]
        if shift not in (9, 12):
            raise ValueError("unknown sector size")
        size = 1 << shift
        sectors = (os.fstat(f.fileno()).st_size - size) // size
        difat = list(struct.unpack_from("<109I", header, 0x4C))
        next_difat = struct.unpack_from("<I", header, 0x44)[0]
        per_fat = size // 4
        seen_difat: set[int] = set()

        def read(sector: int, offset: int, length: int) -> bytes:
            if sector >= sectors:
                raise ValueError("sector past the end of the file")
            f.seek(((sector + 1) << shift) + offset)
            data = f.read(length)
            if len(data) != length:
                raise ValueError("short read")
            return data

        def fat(sector: int) -> int:
            nonlocal next_difat
            where = sector // per_fat
            while where >= len(difat):
                if next_difat >= _END or next_difat in seen_difat or len(seen_difat) > sectors:
                    raise ValueError("FAT sector missing")
                seen_difat.add(next_difat)
                block = struct.unpack(f"<{per_fat}I", read(next_difat, 0, size))
                difat.extend(block[:-1])
                next_difat = block[-1]
            return struct.unpack("<I", read(difat[where], (sector % per_fat) * 4, 4))[0]

        entries = []
        sector = struct.unpack_from("<I", header, 0x30)[0]
        seen: set[int] = set()
        while sector < _END:
            if sector in seen or len(seen) >= _MAX_DIRECTORY_SECTORS:
                raise ValueError("directory chain loops or is too long")
            seen.add(sector)
            block = read(sector, 0, size)
            for at in range(0, size, 128):
                length = min(struct.unpack_from("<H", block, at + 0x40)[0], 64)
                name = block[at:at + max(length - 2, 0)].decode("utf-16-le", "replace").lower()
                entries.append((name, *struct.unpack_from("<III", block, at + 0x44), block[at + 0x42]))
            sector = fat(sector)

    def children(entry: int) -> list[int]:
        found, stack, visited = [], [entries[entry][3]], set()
        while stack:
            node = stack.pop()
            if node >= len(entries) or node in visited:
                continue
            visited.add(node)
            found.append(node)
            stack += [entries[node][1], entries[node][2]]
        return found

    if not entries:
        raise ValueError("empty directory")
    return {entries[k][0] for k in children(0) if entries[k][4] == 1}


# -- optional extras --------------------------------------------------------------

_EXTRAS = {"arrow": "pyarrow>=14", "plot": "matplotlib>=3.6", "dask": "dask[distributed]>=2023.1"}


def missing_extra(purpose: str, extra: str) -> ImportError:
    """The ImportError for a missing optional extra, naming a command that
    installs it into this interpreter for the way kelvara was installed."""
    return ImportError(f"the '{extra}' extra is needed for {purpose}: {install_command(extra)}")


def install_command(extra: str) -> str:
    python = shlex.quote(sys.executable or "python")
    requirement = _EXTRAS[extra]
    origin = _installed_from()
    if origin == "pipx":
        return f"pipx inject kelvara {shlex.quote(requirement)}"
    if origin == "index":
        return f"{python} -m pip install {shlex.quote(f'kelvara[{extra}]')}"
    # Built from a source tree, a wheel file or a repository: the index may
    # not hold this version, so install the extra's own requirement.
    return f"{python} -m pip install {shlex.quote(requirement)}"


def _installed_from() -> str:
    """"pipx", "index", or "source" (a checkout, a local wheel, a repository)."""
    if f"{os.sep}pipx{os.sep}venvs{os.sep}" in sys.prefix + os.sep:
        return "pipx"
    try:
        from importlib.metadata import PackageNotFoundError, distribution

        found = distribution("kelvara")
    except (ImportError, PackageNotFoundError):
        return "source"
    # PEP 610: an installer records direct_url.json for anything not from an index.
    return "source" if found.read_text("direct_url.json") else "index"

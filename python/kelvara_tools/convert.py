"""Convert data files to mzML or Parquet, one file or a whole study.

    convert_file("data/run01.qgd", "out", to="mzml")
    convert_many(paths, "out", to="parquet", jobs=4)
    convert_many(paths, "/shared/out", client=dask_client)
    convert_file("data/run01.qgd", "out", numpress=True, gzip=True, ms_level=[1], rt=(300, 900))

Each conversion reads the run, writes the output under a temporary name in
the target folder and renames it onto the final name only when complete, so
an interrupted batch never leaves a partial file behind. The output records
the source file's size and modification time and the conversion options; a
later run finds an output with the same record up to date and skips it,
which makes re-running a large batch resume where it stopped. Every option
that changes the output is in that record, so a changed option converts
again; the default options record what they always have, so outputs of
earlier versions stay up to date.

An output counts as up to date only when it is whole: an mzML file must end
with its index, its trailer and an index offset that points at the index
(a .mzML.gz is read through to its gzip trailer for that), and every file of
a Parquet output must have a readable footer. So an output cut short by a
full disk or a copy is converted again.

A batch runs one task per file: in this process (jobs=1), in local worker
processes, or on a Dask cluster whose workers see the same paths (a shared
filesystem). Every task returns a small FileReport; a file that fails is
reported and the batch goes on, even when the worker converting it dies.
On Ctrl-C no further file is started, the running ones are stopped and
their temporaries removed, and KeyboardInterrupt goes on to the caller once
each finished file has been passed to on_result.
"""

from __future__ import annotations

import dataclasses
import json
import os
import re
import time
import zlib
from typing import Callable, Iterable, Sequence

from ._atomic import atomic_output, remove_stale
from ._errors import describe, missing_extra
from ._filters import Filters
from ._tables import CHROMATOGRAMS_KEY as _CHROMATOGRAMS_KEY
from .mzml import read_source_stamp, stamp_values, stream_mzml

__all__ = ["FileReport", "BatchReport", "convert_file", "convert_many", "output_path"]

FORMATS = ("mzml", "parquet")
COMPRESSIONS = ("zlib", "none")
SHAPES = ("peaks", "spectra")


@dataclasses.dataclass
class FileReport:
    """What happened to one file: status is "converted", "skipped" or "failed"."""

    path: str
    output: str | None
    status: str
    error: str | None = None
    spectra: int = 0
    points: int = 0
    seconds: float = 0.0
    source_bytes: int = 0
    output_bytes: int = 0


@dataclasses.dataclass
class BatchReport:
    """Per-file reports in the order the paths were given, and the batch's wall time."""

    files: list[FileReport]
    seconds: float

    def count(self, status: str) -> int:
        return sum(1 for f in self.files if f.status == status)

    @property
    def failed(self) -> list[FileReport]:
        return [f for f in self.files if f.status == "failed"]

    @property
    def ok(self) -> bool:
        return not self.failed

    def summary(self) -> str:
        converted = [f for f in self.files if f.status == "converted"]
        megabytes = sum(f.source_bytes for f in converted) / 1e6
        spectra = sum(f.spectra for f in converted)
        rate = ""
        if converted and self.seconds > 0:
            rate = f" ({megabytes / self.seconds:.1f} MB/s of input, {spectra / self.seconds:,.0f} spectra/s)"
        return (f"{len(converted)} converted, {self.count('skipped')} skipped, {self.count('failed')} failed "
                f"in {self.seconds:.2f} s{rate}")


def output_path(source: str | os.PathLike, out_dir: str | os.PathLike | None, to: str = "mzml",
                shape: str = "peaks", gzip: bool = False) -> str:
    """Where the output of `source` goes: beside it unless `out_dir` is given.
    mzML is <stem>.mzML (<stem>.mzML.gz with gzip); Parquet is
    <stem>.parquet (one file, shape "spectra") or a folder <stem>.peaks
    holding spectra.parquet, peaks.parquet and, for a run with MRM
    transitions, chromatograms.parquet (shape "peaks")."""
    source = os.fsdecode(os.fspath(source))
    folder = os.path.dirname(os.path.abspath(source)) if out_dir is None else os.fsdecode(os.fspath(out_dir))
    stem = os.path.splitext(os.path.basename(source))[0]
    if to == "mzml":
        name = stem + (".mzML.gz" if gzip else ".mzML")
    elif shape == "spectra":
        name = stem + ".parquet"
    else:
        name = stem + ".peaks"
    return os.path.join(folder, name)


@dataclasses.dataclass(frozen=True)
class _Extras:
    """The options beyond format, compression and shape: the mzML ones and
    the filters (which Parquet takes too)."""

    srm_as_spectra: bool = False
    numpress: bool = False
    gzip: bool = False
    mz32: bool = False
    filters: Filters = Filters()

    @classmethod
    def make(cls, to: str, srm_as_spectra=False, numpress=False, gzip=False, mz32=False, ms_level=None, rt=None,
             mz=None, min_intensity=None) -> _Extras:
        extras = cls(bool(srm_as_spectra), bool(numpress), bool(gzip), bool(mz32),
                     Filters.make(ms_level, rt, mz, min_intensity))
        if to != "mzml" and (extras.srm_as_spectra or extras.numpress or extras.gzip or extras.mz32):
            raise ValueError("srm_as_spectra, numpress, gzip and mz32 are mzML options; Parquet takes only the filters")
        if extras.numpress and extras.mz32:
            raise ValueError("numpress and mz32 both reduce the m/z precision: choose one")
        return extras

    def tokens(self) -> str:
        """Each option that is not the default, for the stamp."""
        words = [name.replace("_", "-") for name in ("srm_as_spectra", "numpress", "gzip", "mz32")
                 if getattr(self, name)]
        words += [f"{name}={value}" for name, value in self.filters.describe()]
        return "".join(" " + word for word in words)


def _options(to: str, compress: str, shape: str, extras: _Extras = _Extras()) -> str:
    base = f"to=mzml compress={compress}" if to == "mzml" else f"to=parquet shape={shape}"
    return base + extras.tokens()


def _check(to: str, compress: str, shape: str) -> None:
    if to not in FORMATS:
        raise ValueError(f"to must be one of {', '.join(FORMATS)}, not {to!r}")
    if compress not in COMPRESSIONS:
        raise ValueError(f"compress must be one of {', '.join(COMPRESSIONS)}, not {compress!r}")
    if shape not in SHAPES:
        raise ValueError(f"shape must be one of {', '.join(SHAPES)}, not {shape!r}")


# -- source stamps in Parquet outputs ----------------------------------------

_META_KEY = b"kelvara.source"



def _parquet_files(output: str, shape: str) -> list[str]:
    if shape == "spectra":
        return [output]
    files = [os.path.join(output, n) for n in ("spectra.parquet", "peaks.parquet")]
    # spectra.parquet says whether the run had MRM transitions, so an output
    # that lost its chromatograms.parquet is not found up to date.
    try:
        import pyarrow.parquet as pq

        if (pq.read_schema(files[0]).metadata or {}).get(_CHROMATOGRAMS_KEY) == b"1":
            files.append(os.path.join(output, "chromatograms.parquet"))
    except (OSError, ValueError):
        pass  # the stamp check below finds it unreadable
    return files


def _parquet_stamp(output: str, shape: str) -> dict[str, str]:
    """The stamp shared by every file of a Parquet output, or {} if a file is
    missing, unreadable or carries another stamp."""
    import pyarrow.parquet as pq

    stamps = []
    for path in _parquet_files(output, shape):
        try:
            metadata = pq.read_schema(path).metadata or {}
            stamps.append(json.loads(metadata.get(_META_KEY, b"{}")))
        except (OSError, ValueError):
            return {}
    return stamps[0] if all(s == stamps[0] for s in stamps) else {}


def _stamp(source: str, to: str, compress: str, shape: str, extras: _Extras = _Extras()) -> dict[str, str]:
    """What an output records of its source; raises OSError for a missing source."""
    info = os.stat(source)
    return stamp_values(info.st_size, info.st_mtime_ns, _options(to, compress, shape, extras))


_SIZE = next(iter(stamp_values(0, 0, "")))


def _up_to_date(final: str, stamp: dict[str, str], to: str, shape: str) -> bool:
    if not os.path.exists(final):
        return False
    try:
        if to == "mzml":
            return read_source_stamp(final) == stamp and _whole_mzml(final)
        # A Parquet file cut short has lost its footer, which read_schema needs.
        return _parquet_stamp(final, shape) == stamp
    except OSError:
        return False


# -- whole mzML outputs ----------------------------------------------------------

# The end of an indexed mzML document as written here, to its last newline:
# the index's offset, the checksum, the closing tag.
_TRAILER = re.compile(rb"<indexListOffset>(\d+)</indexListOffset>\s*<fileChecksum>[0-9a-f]{40}</fileChecksum>\s*"
                      rb"</indexedmzML>\n\Z")
_INDEX = b"<indexList "  # not <indexListOffset>
_TAIL = 4096
_CHUNK = 1 << 22


def _whole_document(tail: bytes, size: int, at_offset: Callable[[int], bytes]) -> bool:
    """True when the document's last bytes `tail` hold the trailer and its
    index offset points, within the `size` bytes, at the index list."""
    match = _TRAILER.search(tail)
    if not match:
        return False
    offset = int(match.group(1))
    return offset + len(_INDEX) <= size - (len(tail) - match.start()) and at_offset(offset) == _INDEX


def _whole_mzml(path: str) -> bool:
    """Whether an mzML output was written to its end: the trailer, and the
    index list where the index offset says. A plain file is checked from its
    last bytes and one read at the offset. A gzip file has to be inflated
    through, as the end of a deflate stream cannot be found from its last
    bytes; that also checks the gzip trailer's CRC and length, so a file cut
    anywhere is found. Measured: 0.7 s for a 52 MB document (8.6 MB gzipped)
    on 2 busy cores, so convert_many leaves that check to its tasks, which
    run in parallel."""
    with open(path, "rb") as f:
        if f.read(2) == b"\x1f\x8b":
            f.seek(0)
            return _whole_gzip_mzml(f)
        size = f.seek(0, os.SEEK_END)
        f.seek(max(0, size - _TAIL))
        tail = f.read()

        def at_offset(offset: int) -> bytes:
            f.seek(offset)
            return f.read(len(_INDEX))

        return _whole_document(tail, size, at_offset)


def _whole_gzip_mzml(f) -> bool:
    inflate = zlib.decompressobj(wbits=31)
    size = 0
    tail = b""
    index_at = -1  # where the last "<indexList" starts in the document
    try:
        while not inflate.eof:
            chunk = f.read(_CHUNK)
            if not chunk:
                return False  # the gzip stream stops before its end
            data = inflate.decompress(chunk)
            # The tag may straddle two pieces: search with the end of the last.
            window = tail[-len(_INDEX):] + data
            found = window.rfind(_INDEX)
            if found >= 0:
                index_at = size - min(len(tail), len(_INDEX)) + found
            size += len(data)
            tail = (tail + data)[-_TAIL:]
    except zlib.error:
        return False
    # One gzip member, nothing after it (the writer writes one).
    if inflate.unused_data or f.read(1):
        return False
    return _whole_document(tail, size, lambda offset: _INDEX if offset == index_at else b"")


def _size(path: str) -> int:
    if os.path.isdir(path):
        return sum(os.path.getsize(os.path.join(path, n)) for n in os.listdir(path))
    return os.path.getsize(path)


def convert_file(path: str | os.PathLike, out_dir: str | os.PathLike | None = None, to: str = "mzml", *,
                 compress: str = "zlib", shape: str = "peaks", force: bool = False,
                 output: str | None = None, progress: Callable[[int, int], None] | None = None,
                 srm_as_spectra: bool = False, numpress: bool = False, gzip: bool = False, mz32: bool = False,
                 ms_level=None, rt=None, mz=None, min_intensity: float | None = None) -> FileReport:
    """Convert one file and report what happened; never raises for a bad
    file (bad options raise ValueError). `output` overrides the name output_path would give.
    `progress(done, total)` gets the spectra written so far and the scans
    the file's index lists (the filters and MRM transitions may leave the
    spectra written short of it), batch by batch (mzML only).

    mzML options: MRM transitions become SRM chromatograms, or spectra with
    `srm_as_spectra`; `numpress` encodes the spectra's m/z with MS-Numpress
    linear prediction and intensities with short logged floats (followed by
    zlib unless compress="none"); `gzip` writes <stem>.mzML.gz; `mz32` writes
    32-bit m/z. Filters, for mzML and Parquet: `ms_level` (a level or
    levels), `rt` and `mz` (low, high) with both bounds kept, in seconds and
    m/z, and `min_intensity`; see kelvara_tools._filters for what each keeps."""
    _check(to, compress, shape)
    extras = _Extras.make(to, srm_as_spectra, numpress, gzip, mz32, ms_level, rt, mz, min_intensity)
    started = time.perf_counter()
    source = os.fsdecode(os.fspath(path))
    final = output or output_path(source, out_dir, to, shape, extras.gzip)
    report = FileReport(path=source, output=final, status="failed")
    try:
        stamp = _stamp(source, to, compress, shape, extras)
        report.source_bytes = int(stamp[_SIZE])
        if not force and _up_to_date(final, stamp, to, shape):
            try:
                report.output_bytes = _size(final)
                report.status = "skipped"
                return report
            except OSError:
                pass  # another conversion is swapping its own output in: convert
        os.makedirs(os.path.dirname(os.path.abspath(final)), exist_ok=True)
        # The size is taken from what was written: another conversion of the
        # same file may be swapping its own output in by the time this one's is placed.
        if to == "mzml":
            # Batch by batch, in bounded memory; spectra and points are the
            # source's, as read.
            with atomic_output(final) as temporary:
                written = stream_mzml(source, temporary, compression=compress, source_stamp=stamp,
                                      progress=progress, srm_as_spectra=extras.srm_as_spectra,
                                      numpress=extras.numpress, mz32=extras.mz32, gzip=extras.gzip,
                                      filters=extras.filters)
                report.spectra, report.points = written.spectra_read, written.points_read
                report.output_bytes = os.path.getsize(temporary)
        else:
            from ._tables import stream_parquet

            # Batch by batch; the spectra and points the filters keep, numbered
            # as in the source run. The counts are the source run's.
            report.output_bytes, report.spectra, report.points = stream_parquet(
                source, final, shape, "zstd", {_META_KEY: json.dumps(stamp, sort_keys=True).encode()}, extras.filters)
        report.status = "converted"
    except Exception as error:
        report.error = describe(error, source)
    finally:
        report.seconds = time.perf_counter() - started
    return report


def _clashes(paths: Sequence[str], outputs: Sequence[str]) -> dict[int, str]:
    """Files whose output name an earlier file of the batch already takes
    (run01.qgd and run01.lcd both make run01.mzML): index -> error."""
    seen: dict[str, str] = {}
    clashes = {}
    for i, (source, final) in enumerate(zip(paths, outputs)):
        key = os.path.normcase(os.path.abspath(final))
        if key in seen:
            clashes[i] = describe(ValueError(f"output {final} is also the output of {seen[key]}"))
        else:
            seen[key] = source
    return clashes


def _dask_client(client):
    """`client` itself, or a Client connected to a scheduler address."""
    try:
        from dask.distributed import Client
    except ImportError as error:
        raise missing_extra("work on a Dask cluster", "dask") from error
    return Client(client) if isinstance(client, str) else client


def convert_many(paths: Iterable[str | os.PathLike], out_dir: str | os.PathLike | None = None, to: str = "mzml",
                 client=None, jobs: int | None = None, *, compress: str = "zlib", shape: str = "peaks",
                 force: bool = False, on_result: Callable[[FileReport], None] | None = None,
                 progress: Callable[[int, int], None] | None = None, srm_as_spectra: bool = False,
                 numpress: bool = False, gzip: bool = False, mz32: bool = False, ms_level=None, rt=None, mz=None,
                 min_intensity: float | None = None) -> BatchReport:
    """Convert many files, one task per file, and report on each.

    Without `client`, the files are converted by `jobs` local worker
    processes (default: the number of cores; 1 converts in this process).
    With a dask.distributed Client, or a scheduler address such as
    "tcp://host:8786", each file is a task on that cluster; workers must see
    the input and output paths. `on_result` is called in this process as
    each file finishes; `progress(done, total)` gets spectra counts from
    conversions that run in this process. The mzML options and filters are
    convert_file's.

    Threads: each of the local worker processes reads and encodes with
    max(1, cores // workers) threads (KELVARA_THREADS, unless it is set
    already), so a batch uses about as many threads as there are cores.
    Dask workers keep what their cluster gives them: set KELVARA_THREADS in
    the workers' environment to the cores of a worker divided by its
    threads (nthreads), as the core and the encoder otherwise use every core
    for each task.

    A file whose local worker dies fails alone; the batch goes on with a new
    worker. A Dask task lost with its worker (a restart, a worker gone)
    counts as converted when its output is whole and up to date, and as
    failed otherwise; the temporaries of lost tasks whose writers have died
    are removed."""
    _check(to, compress, shape)
    extras = _Extras.make(to, srm_as_spectra, numpress, gzip, mz32, ms_level, rt, mz, min_intensity)
    started = time.perf_counter()
    sources = [os.fsdecode(os.fspath(p)) for p in paths]
    outputs = [output_path(s, out_dir, to, shape, extras.gzip) for s in sources]
    reports: list[FileReport | None] = [None] * len(sources)
    for i, error in _clashes(sources, outputs).items():
        reports[i] = FileReport(path=sources[i], output=outputs[i], status="failed", error=error)
        if on_result:
            on_result(reports[i])
    if not force and not extras.gzip:
        # Outputs already up to date are skipped here, without a task, so a
        # resumed batch sends only the work left. A gzipped output is read
        # through to be found whole: its task does that, in parallel.
        for i, report in enumerate(reports):
            if report is None:
                try:
                    if _up_to_date(outputs[i], _stamp(sources[i], to, compress, shape, extras), to, shape):
                        reports[i] = FileReport(path=sources[i], output=outputs[i], status="skipped",
                                                source_bytes=os.path.getsize(sources[i]),
                                                output_bytes=_size(outputs[i]))
                        if on_result:
                            on_result(reports[i])
                except (OSError, ImportError):
                    pass  # the task reports it
    todo = [i for i, r in enumerate(reports) if r is None]
    options = dict(to=to, compress=compress, shape=shape, force=force, srm_as_spectra=extras.srm_as_spectra,
                   numpress=extras.numpress, gzip=extras.gzip, mz32=extras.mz32, ms_level=extras.filters.ms_level,
                   rt=extras.filters.rt, mz=extras.filters.mz, min_intensity=extras.filters.min_intensity)

    def lost(i: int, error: BaseException) -> FileReport:
        # One line, though a cluster's messages run over several.
        report = FileReport(path=sources[i], output=outputs[i], status="failed",
                            error=" ".join(describe(error).split()))
        # A Dask task may have placed its output before its result was lost.
        try:
            stamp = _stamp(sources[i], to, compress, shape, extras)
            if _up_to_date(outputs[i], stamp, to, shape):
                report.status, report.error = "converted", None
                report.source_bytes, report.output_bytes = int(stamp[_SIZE]), _size(outputs[i])
        except (OSError, ImportError):
            pass
        return report

    calls = {i: ((sources[i],), dict(output=outputs[i], **options)) for i in todo}
    run_tasks(convert_file, calls, reports, jobs=jobs, client=client, on_result=on_result, lost=lost,
              here=dict(progress=progress), cleanup=lambda i: remove_stale(outputs[i]))
    return BatchReport(files=list(reports), seconds=time.perf_counter() - started)


def run_tasks(task: Callable, calls: dict, results: list, *, jobs: int | None, client, lost: Callable,
              on_result: Callable | None = None, here: dict | None = None,
              cleanup: Callable | None = None) -> None:
    """task(*args, **kwargs) once for each index's (args, kwargs) in `calls`:
    on a Dask cluster (`client`, a Client or a scheduler address), in this
    process (jobs 1, or a single task; `here` adds keyword arguments that
    only work in this process, such as a progress callback), or in `jobs`
    local worker processes (default: the number of cores). Each result goes
    to results[index] and to on_result, here, as its task finishes;
    lost(index, error) makes the result of a task whose worker died, and
    cleanup(index) removes what such a task left (its temporaries).

    Local workers: see _pool. On KeyboardInterrupt no further task starts,
    running ones are stopped and cleaned up, and the interrupt goes on."""

    def done(i: int, result) -> None:
        results[i] = result
        if on_result:
            on_result(result)

    if client is not None:
        _run_on_dask(_dask_client(client), task, calls, done, lost, cleanup)
    elif (jobs if jobs is not None else os.cpu_count() or 1) <= 1 or len(calls) <= 1:
        for key, (args, kwargs) in calls.items():
            done(key, task(*args, **kwargs, **(here or {})))
    elif calls:
        from ._pool import run_pool

        run_pool(jobs or os.cpu_count() or 1, task, calls, done, lost, cleanup)


def _run_on_dask(client, task, calls, done, lost, cleanup) -> None:
    from dask.distributed import as_completed

    futures = {client.submit(task, *args, pure=False, **kwargs): key for key, (args, kwargs) in calls.items()}
    gone = []
    try:
        for future in as_completed(futures):
            key = futures[future]
            try:
                result = future.result()
            except (KeyboardInterrupt, SystemExit):
                raise
            except BaseException as error:  # the task's worker died, or the cluster lost or cancelled it
                gone.append(key)
                if cleanup is not None:
                    cleanup(key)
                result = lost(key, error)
            done(key, result)
    except BaseException:
        # Interrupted: the cluster's tasks are this batch's, and start no further file.
        client.cancel(list(futures))
        raise
    # A lost task's worker may have been dying when it was first looked at.
    if cleanup is not None:
        for key in gone:
            cleanup(key)

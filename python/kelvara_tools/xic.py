"""Extracted ion chromatograms of many targets over many runs, as one tidy table.

    table = extract_many(paths, [69.07, 131.0], tol=0.5, rt=(60, 600))
    table.write("targets.csv")      # or .parquet (pip extra: arrow)

One row per file, target m/z and retention time of the chosen MS level
(the transitions of one MRM scan share a time and count together): columns
file, target_mz, retention_time_sec, intensity. Each file is one task on the
batch machinery convert uses (here, local worker processes or a Dask
cluster); a task returns its file's columns, the table is put together here
in the order the files were given and written whole or not at all. A file
that fails is reported and leaves no rows. A file is read batch by batch,
so a task holds its traces, not its spectra.
"""

from __future__ import annotations

import csv
import dataclasses
import io
import os
import time
from typing import Callable, Iterable, Sequence

import numpy as np

from . import _tables
from ._atomic import atomic_output
from ._batches import iter_batches
from ._errors import describe, escape
from ._summary import one_point_per_time
from .convert import run_tasks

__all__ = ["XicReport", "XicTable", "extract_file", "extract_many", "TABLE_FORMATS"]

TABLE_FORMATS = ("csv", "parquet")


@dataclasses.dataclass
class XicReport:
    """One file's chromatograms: status "extracted" or "failed". The times
    of the spectra kept, once, and one row of intensities per target."""

    path: str
    status: str
    error: str | None = None
    targets: np.ndarray | None = None
    retention_time_sec: np.ndarray | None = None
    intensity: np.ndarray | None = None  # targets x times
    seconds: float = 0.0

    @property
    def rows(self) -> int:
        return 0 if self.intensity is None else self.intensity.size


def _window(targets: Sequence[float], tol: float | None, ppm: float | None) -> None:
    if (tol is None) == (ppm is None):
        raise TypeError("give exactly one of tol (m/z units) and ppm")
    width = tol if tol is not None else ppm
    if not width > 0:
        raise ValueError(f"the window half-width must be more than 0, not {width}")
    if not targets or not all(np.isfinite(t) and t > 0 for t in targets):
        raise ValueError(f"targets must be m/z values above 0, not {list(targets)}")


def extract_file(path: str | os.PathLike, targets: Sequence[float], *, tol: float | None = None,
                 ppm: float | None = None, rt: tuple[float, float] | None = None,
                 ms_level: int = 1) -> XicReport:
    """The XICs of `targets` in one file, each mz ± tol or ± ppm, over the
    spectra of `ms_level` whose retention time lies in `rt` (seconds,
    inclusive); never raises for a bad file."""
    _window(targets, tol, ppm)
    started = time.perf_counter()
    source = os.fsdecode(os.fspath(path))
    report = XicReport(path=source, status="failed")
    try:
        # Batch by batch: each spectrum's sum over a window is its own, so
        # only the traces (one value per spectrum and target) stay in memory.
        times_parts: list[np.ndarray] = []
        value_parts: list[list[np.ndarray]] = [[] for _ in targets]
        for batch in iter_batches(source, _tables.BATCH_POINTS):
            for parts, target in zip(value_parts, targets):
                batch_times, values = batch.xic(target, tol=tol, ppm=ppm, ms_level=ms_level)
                parts.append(values)
            times_parts.append(batch_times)
        report.targets = np.asarray(targets, dtype=np.float64)
        rows = []
        all_times = _joined(times_parts)
        for parts in value_parts:
            times, values = one_point_per_time(all_times, _joined(parts))
            keep = slice(None) if rt is None else (times >= rt[0]) & (times <= rt[1])
            rows.append(values[keep])
        report.retention_time_sec = times[keep]
        report.intensity = np.array(rows, dtype=np.float64).reshape(len(targets), -1)
        report.status = "extracted"
    except Exception as error:
        report.error = describe(error, source)
    finally:
        report.seconds = time.perf_counter() - started
    return report


@dataclasses.dataclass
class XicTable:
    """The reports of a batch, in the order the files were given."""

    files: list[XicReport]
    seconds: float

    @property
    def failed(self) -> list[XicReport]:
        return [f for f in self.files if f.status == "failed"]

    @property
    def rows(self) -> int:
        return sum(f.rows for f in self.files)

    def columns(self) -> dict[str, np.ndarray]:
        """file (as a code into file_names()), target_mz, retention_time_sec
        and intensity, over the files that worked."""
        done = self._done()
        return {
            "file": np.repeat(np.arange(len(done), dtype=np.int32), [f.rows for f in done]),
            "target_mz": _joined([np.repeat(f.targets, len(f.retention_time_sec)) for f in done]),
            "retention_time_sec": _joined([np.tile(f.retention_time_sec, len(f.targets)) for f in done]),
            "intensity": _joined([f.intensity.ravel() for f in done]),
        }

    def file_names(self) -> list[str]:
        """The paths of the files that worked, escaped where they are not UTF-8."""
        return [escape(f.path) for f in self._done()]

    def _done(self) -> list[XicReport]:
        return [f for f in self.files if f.status == "extracted"]

    def write(self, path: str | os.PathLike) -> None:
        """Write the table as CSV or Parquet, by the name's suffix, whole or
        not at all."""
        kind = table_format(path)
        path = os.fsdecode(os.fspath(path))
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        with atomic_output(path) as temporary:
            if kind == "csv":
                self._write_csv(temporary)
            else:
                self._write_parquet(temporary)

    def _write_csv(self, path: str) -> None:
        """Row by row, a target at a time, so the text is never all in memory.
        repr is the shortest text that reads back as the same float."""
        with open(path, "x", newline="", encoding="utf-8") as f:
            csv.writer(f, lineterminator="\n").writerow(_COLUMNS)
            for report, name in zip(self._done(), self.file_names()):
                quoted = io.StringIO()
                csv.writer(quoted, lineterminator="").writerow([name])
                times = [f",{t!r}," for t in report.retention_time_sec.tolist()]
                for target, values in zip(report.targets.tolist(), report.intensity.tolist()):
                    head = f"{quoted.getvalue()},{target!r}"
                    f.write("".join([f"{head}{t}{v!r}\n" for t, v in zip(times, values)]))

    def _write_parquet(self, path: str) -> None:
        from ._tables import _pyarrow, _write_table

        pa = _pyarrow()
        columns = self.columns()
        table = pa.table({
            "file": pa.DictionaryArray.from_arrays(pa.array(columns.pop("file")),
                                                   pa.array(self.file_names(), pa.string())),
            **{k: pa.array(v) for k, v in columns.items()},
        })
        _write_table(table, path, "zstd")


_COLUMNS = ("file", "target_mz", "retention_time_sec", "intensity")


def _joined(arrays: list[np.ndarray]) -> np.ndarray:
    return np.concatenate(arrays) if arrays else np.zeros(0)


def table_format(path: str | os.PathLike) -> str:
    suffix = os.path.splitext(os.fsdecode(os.fspath(path)))[1].lower().lstrip(".")
    if suffix not in TABLE_FORMATS:
        raise ValueError(f"the table's name must end in .csv or .parquet, not {('.' + suffix) if suffix else 'nothing'}")
    return suffix


def extract_many(paths: Iterable[str | os.PathLike], targets: Sequence[float], *, tol: float | None = None,
                 ppm: float | None = None, rt: tuple[float, float] | None = None, ms_level: int = 1,
                 jobs: int | None = None, client=None,
                 on_result: Callable[[XicReport], None] | None = None) -> XicTable:
    """extract_file over many files, one task per file: `jobs` local worker
    processes (default: the number of cores; 1 works in this process), or a
    dask.distributed Client or scheduler address. `on_result` is called here
    as each file finishes."""
    targets = [float(t) for t in targets]
    _window(targets, tol, ppm)
    if rt is not None and not rt[0] <= rt[1]:
        raise ValueError(f"the retention-time window must run from start to end, not {rt[0]:g}-{rt[1]:g}")
    started = time.perf_counter()
    sources = [os.fsdecode(os.fspath(p)) for p in paths]
    reports: list[XicReport | None] = [None] * len(sources)
    options = dict(tol=tol, ppm=ppm, rt=rt, ms_level=ms_level)

    def lost(i: int, error: BaseException) -> XicReport:
        return XicReport(path=sources[i], status="failed", error=describe(error))

    calls = {i: ((source, targets), options) for i, source in enumerate(sources)}
    run_tasks(extract_file, calls, reports, jobs=jobs, client=client, on_result=on_result, lost=lost)
    return XicTable(files=list(reports), seconds=time.perf_counter() - started)

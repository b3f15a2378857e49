"""A run handed out in batches of whole spectra, in file order.

iter_batches gives the spectra of a file as a sequence of RunBatch objects:
each is a Run over a stretch of consecutive spectra, holding at most
max_points points (a single spectrum with more points is a batch of its
own), plus each spectrum's index in the whole run. Concatenated, the batches
hold exactly the columns read_run gives.
"""

from __future__ import annotations

import operator
from typing import Iterator, NamedTuple

import numpy as np

from . import _columns, _errors
from ._run import Dropped, Run, StrPath, _read_only


class RunBatch(Run):
    """Consecutive spectra of a run: a Run whose index[i] is spectrum i's index in the whole run.

    A batch's dropped lists the scans the walk left out since the batch
    before, numbered by their positions in the run's index (the scans
    dropped after the last spectrum come with the last batch): together,
    the batches' dropped scans are read_run's Run.dropped.
    """

    __slots__ = ("index",)

    index: np.ndarray

    def __init__(
        self,
        name: str,
        layout: str,
        mz: np.ndarray,
        intensity: np.ndarray,
        offsets: np.ndarray,
        ms_level: np.ndarray,
        retention_time_sec: np.ndarray,
        precursor_mz: np.ndarray | None,
        dropped: Dropped | None,
        index: np.ndarray,
    ) -> None:
        super().__init__(name, layout, mz, intensity, offsets, ms_level, retention_time_sec, precursor_mz, dropped)
        positions = _read_only(index, np.dtype(np.int64), "index")
        if len(positions) != len(self):
            raise ValueError(f"index has {len(positions)} values for {len(self)} spectra")
        object.__setattr__(self, "index", positions)

    def __reduce__(self) -> tuple[type[RunBatch], tuple[object, ...]]:
        cls, arguments = super().__reduce__()
        return (RunBatch, (*arguments, self.index))

    def __repr__(self) -> str:
        first = f", from spectrum {int(self.index[0])}" if len(self) else ""
        return f"RunBatch({self.name!r}, layout={self.layout!r}, {len(self)} spectra{first}, {len(self.mz)} points)"


def _check_max_points(max_points: int) -> int:
    limit = operator.index(max_points)
    if limit < 1:
        raise ValueError(f"max_points must be at least 1, not {limit}")
    return limit


def iter_batches(path: StrPath, max_points: int = 1 << 20) -> Iterator[RunBatch]:
    """Yield the run's spectra in file order, as RunBatch objects of at most
    max_points points each (one spectrum with more points is a batch alone).

    The file is read and decoded window by window, with the interpreter lock
    released, so memory stays near one batch and the run's index whatever
    the size of the file. Errors are read_run's, raised when the walk reaches
    them: OSError subclasses when the file cannot be read, FormatError when
    it is not a valid run, MemoryError when memory runs out. Batches already
    yielded stay valid: each owns its columns.
    """
    yield from _walk(path, max_points)[1]


class Tally(NamedTuple):
    """The spectra a walk will give, counted ahead from the index and the
    scans' headers, no peak decoded: exact unless a scan in range fails to
    decode (it counts what its header promised)."""

    spectra: int
    transitions: int  # MRM transitions among them: Run.srm()'s points
    ms1: bool  # some MS1 spectrum
    msn: bool  # some MSn spectrum that is not a transition


def _walk(path: StrPath, max_points: int) -> tuple[int, Iterator[RunBatch]]:
    """The file opened for iter_batches: the index's count of scans (the
    spectra the run holds when every scan gives one and none is dropped)
    and the batches. Errors are completed as read_run's are."""
    reader, batches = _opened(path, max_points)
    return reader.positions, batches


def _walk_tallied(path: StrPath, max_points: int) -> tuple[int, Tally | None, Iterator[RunBatch]]:
    """_walk with, between, the Tally of what the batches will hold,
    counted before the first one is decoded (None when it could not be)."""
    reader, batches = _opened(path, max_points)
    counted = reader.tally()
    return reader.positions, None if counted is None else Tally(*counted), batches


def _opened(path: StrPath, max_points: int) -> tuple[_columns.BatchReader, Iterator[RunBatch]]:
    limit = _check_max_points(max_points)
    reader = _errors.completed(lambda p: _columns.BatchReader(p, limit))(path)

    def batches() -> Iterator[RunBatch]:
        while (columns := _errors.completed(lambda _: reader.next())(path)) is not None:
            name, layout, *arrays, index, dropped_positions, dropped_codes, reasons = columns
            dropped = Dropped(np.asarray(dropped_positions), np.asarray(dropped_codes), reasons)
            yield RunBatch(name, layout, *(np.asarray(a) for a in arrays), dropped, np.asarray(index))

    return reader, batches()

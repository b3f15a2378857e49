"""The filters a conversion can apply: which spectra and which points go out.

    filters = Filters.make(ms_level=[1], rt=(300, 900), mz=(50, 450), min_intensity=100)
    kept, source_index = filters.apply(run)

Spectra are chosen by MS level and by retention time (seconds, both bounds
included); points by m/z (both bounds included) and by intensity (at least
the minimum). With a point filter, a spectrum left without points is left
out, so an MRM transition whose product m/z or intensity falls outside goes
with its only point. The filtered run is a new Run over copied columns;
source_index gives, for each spectrum kept, its position in the source run,
which the outputs use as the spectrum's number so that it does not change
with the filters.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Iterable

import numpy as np


def _bounds(name: str, pair) -> tuple[float, float] | None:
    if pair is None:
        return None
    try:
        low, high = (float(v) for v in pair)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be a (low, high) pair of numbers, not {pair!r}") from None
    if not (math.isfinite(low) and math.isfinite(high)) or low < 0 or low > high:
        raise ValueError(f"{name} must be two finite numbers with 0 <= low <= high, not {low}-{high}")
    return low, high


@dataclasses.dataclass(frozen=True)
class Filters:
    """Spectrum filters (ms_level, rt) and point filters (mz, min_intensity);
    None leaves that choice open. Build one with Filters.make, which checks
    the values."""

    ms_level: tuple[int, ...] | None = None
    rt: tuple[float, float] | None = None
    mz: tuple[float, float] | None = None
    min_intensity: float | None = None

    @classmethod
    def make(cls, ms_level: int | Iterable[int] | None = None, rt=None, mz=None,
             min_intensity: float | None = None) -> Filters:
        levels = None
        if ms_level is not None:
            try:
                levels = tuple(sorted({int(v) for v in ([ms_level] if isinstance(ms_level, int) else ms_level)}))
            except (TypeError, ValueError):
                raise ValueError(f"ms_level must be a level or levels such as [1, 2], not {ms_level!r}") from None
            if not levels or levels[0] < 1 or levels[-1] > 255:
                raise ValueError(f"ms_level must name levels from 1 to 255, not {ms_level!r}")
        if min_intensity is not None:
            min_intensity = float(min_intensity)
            if not math.isfinite(min_intensity):
                raise ValueError(f"min_intensity must be a finite number, not {min_intensity}")
        return cls(levels, _bounds("rt", rt), _bounds("mz", mz), min_intensity)

    def __bool__(self) -> bool:
        return any(v is not None for v in dataclasses.astuple(self))

    def describe(self) -> list[tuple[str, str]]:
        """Each filter set, as (name, value text): what the resume stamp and
        the mzML data processing record."""
        described = []
        if self.ms_level is not None:
            described.append(("ms-level", ",".join(map(str, self.ms_level))))
        if self.rt is not None:
            described.append(("rt", f"{self.rt[0]!r}-{self.rt[1]!r}"))
        if self.mz is not None:
            described.append(("mz", f"{self.mz[0]!r}-{self.mz[1]!r}"))
        if self.min_intensity is not None:
            described.append(("min-intensity", repr(self.min_intensity)))
        return described

    def apply(self, run):
        """The run with only what the filters keep, and each kept spectrum's
        position in `run` (None when nothing is filtered: the run itself)."""
        if not self:
            return run, None
        spectra = np.ones(len(run), dtype=bool)
        if self.ms_level is not None:
            spectra &= np.isin(run.ms_level, self.ms_level)
        if self.rt is not None:
            spectra &= (run.retention_time_sec >= self.rt[0]) & (run.retention_time_sec <= self.rt[1])
        points = None
        if self.mz is not None or self.min_intensity is not None:
            points = np.ones(len(run.mz), dtype=bool)
            if self.mz is not None:
                points &= (run.mz >= self.mz[0]) & (run.mz <= self.mz[1])
            if self.min_intensity is not None:
                points &= run.intensity >= self.min_intensity
        return subset(run, spectra, points)


def subset(run, spectra: np.ndarray, points: np.ndarray | None = None):
    """The spectra of `run` where `spectra` is true, with only their points
    where `points` is true (all of them without `points`, and then empty
    spectra stay; with it, spectra left without points go). Returns the new
    run and the kept spectra's positions in `run`."""
    from ._run import Run

    counts = np.diff(run.offsets)
    if points is not None:
        points = points & np.repeat(spectra, counts)
        owners = np.repeat(np.arange(len(run)), counts)[points]
        counts = np.bincount(owners, minlength=len(run))
        spectra = spectra & (counts > 0)
    else:
        points = np.repeat(spectra, np.diff(run.offsets))
    kept = np.flatnonzero(spectra)
    offsets = np.zeros(len(kept) + 1, dtype=np.int64)
    np.cumsum(counts[kept], out=offsets[1:])
    filtered = Run(run.name, run.layout, run.mz[points], run.intensity[points], offsets, run.ms_level[kept],
                   run.retention_time_sec[kept], run.precursor_mz[kept])
    return filtered, kept


def parse_levels(text: str) -> tuple[int, ...]:
    """'1,2' -> (1, 2), for the command line."""
    try:
        return Filters.make(ms_level=[int(part) for part in text.split(",")]).ms_level
    except ValueError:
        raise ValueError(f"expected MS levels such as 1 or 1,2, not {text!r}") from None


def parse_range(text: str) -> tuple[float, float]:
    """'300-600' or '1e2-2.5e3' -> (low, high), for the command line: the
    hyphen between the two numbers is the one that leaves two numbers."""
    for at in (k for k, c in enumerate(text) if c == "-"):
        try:
            pair = float(text[:at]), float(text[at + 1:])
        except ValueError:
            continue
        return _bounds("range", pair)
    raise ValueError(f"expected a range LOW-HIGH such as 300-600, not {text!r}")


def parse_number(text: str) -> float:
    """A finite number of zero or more, for the command line."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value >= 0):
        raise ValueError(f"expected a number of 0 or more, not {text!r}")
    return value

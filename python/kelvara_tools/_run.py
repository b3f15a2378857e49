"""A whole run as flat numpy columns, and what is computed from them.

read_run hands the path to the extension, which opens and decodes the file
with the interpreter lock released and returns six memory blocks; numpy
arrays are made over them without a copy and marked read-only. Everything
else here (spectra by position, retention-time lookup, chromatograms) is
vectorised numpy over those columns: no Python object per peak, and one per
spectrum only when a spectrum is asked for.
"""

from __future__ import annotations

import itertools
import operator
import os
from typing import TYPE_CHECKING, ClassVar, Iterator, Literal, NamedTuple, Sequence, SupportsIndex, Union, overload

import numpy as np

from . import _columns, _errors

if TYPE_CHECKING:
    import matchms
    import pandas
    import pyarrow
    import pyopenms

FormatError = _columns.FormatError

# The layouts' names, in the order the reader probes for them.
LAYOUTS = tuple(_columns.LAYOUTS)

# numpy's type for each column: the types the decoders give, never widened.
_DTYPES = {
    "mz": np.dtype(np.float64),
    "intensity": np.dtype(np.float32),
    "offsets": np.dtype(np.int64),
    "ms_level": np.dtype(np.uint8),
    "retention_time_sec": np.dtype(np.float64),
    "precursor_mz": np.dtype(np.float64),
}

StrPath = Union[str, "os.PathLike[str]", bytes, "os.PathLike[bytes]"]


@_errors.completed
def read_run(path: StrPath) -> Run:
    """Open a data file and decode every scan into a Run.

    Other Python threads run while the file is opened and decoded. A file
    that cannot be opened or read raises the matching OSError subclass; a file
    that is not a valid run raises FormatError with the reader's message.
    """
    name, layout, *columns, dropped_positions, dropped_codes, reasons = _columns.read_columns(path)
    mz, intensity, offsets, ms_level, retention_time_sec, precursor_mz = (np.asarray(c) for c in columns)
    dropped = Dropped(np.asarray(dropped_positions), np.asarray(dropped_codes), reasons)
    return Run(name, layout, mz, intensity, offsets, ms_level, retention_time_sec, precursor_mz, dropped)


def _read_only(values: object, dtype: np.dtype, column: str) -> np.ndarray:
    array = np.asarray(values)
    if array.dtype != dtype or array.ndim != 1:
        raise ValueError(f"{column} must be a one-dimensional {dtype} array, not {array.ndim}-d {array.dtype}")
    if array.flags.writeable:
        # A column handed in writable (from a pickle, or by a caller) is
        # exposed through a read-only view: a Run never hands out writable
        # arrays.
        array = array.view()
        array.flags.writeable = False
    return array


class Dropped:
    """The scans a run left out: their index positions and why, in index order.

    len() counts them; iterating gives (position, reason) tuples, and a
    Dropped equals any sequence of the same tuples. positions is a read-only
    int64 array. Reasons are kept as the distinct texts the decoders gave
    (reasons), at most 255 of them per run; past that, further scans share a
    last text saying their reasons were not kept.
    """

    __slots__ = ("positions", "reasons", "_codes")

    positions: np.ndarray
    reasons: tuple[str, ...]

    def __init__(
        self, positions: np.ndarray | None = None, codes: np.ndarray | None = None, reasons: tuple[str, ...] = ()
    ) -> None:
        positions = _read_only(np.zeros(0, np.int64) if positions is None else positions, np.dtype(np.int64), "positions")
        codes = _read_only(np.zeros(0, np.uint8) if codes is None else codes, np.dtype(np.uint8), "codes")
        reasons = tuple(str(reason) for reason in reasons)
        if len(codes) != len(positions):
            raise ValueError(f"{len(codes)} reason codes for {len(positions)} dropped scans")
        if len(codes) and int(codes.max()) >= len(reasons):
            raise ValueError(f"a reason code past the {len(reasons)} reasons")
        set_slot = object.__setattr__
        set_slot(self, "positions", positions)
        set_slot(self, "reasons", reasons)
        set_slot(self, "_codes", codes)

    def __setattr__(self, key: str, value: object) -> None:
        raise AttributeError(f"Dropped attribute {key!r} is read-only")

    def __len__(self) -> int:
        return len(self.positions)

    def __iter__(self) -> Iterator[tuple[int, str]]:
        reasons = self.reasons
        for position, code in zip(self.positions.tolist(), self._codes.tolist()):
            yield position, reasons[code]

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Dropped):
            other = list(other)
        try:
            return list(self) == list(other)  # type: ignore[call-overload]
        except TypeError:
            return NotImplemented

    __hash__ = None  # type: ignore[assignment]

    def __reduce__(self) -> tuple[type[Dropped], tuple[object, ...]]:
        return (Dropped, (self.positions, self._codes, self.reasons))

    def __repr__(self) -> str:
        shown = list(itertools.islice(self, 3))
        more = f", ... {len(self) - 3} more" if len(self) > 3 else ""
        return f"Dropped({shown!r}{more})" if shown else "Dropped([])"


class Spectrum:
    """One spectrum of a Run: views into the run's columns, no copies."""

    __slots__ = ("index", "mz", "intensity", "ms_level", "retention_time_sec")

    def __init__(
        self, index: int, mz: np.ndarray, intensity: np.ndarray, ms_level: int, retention_time_sec: float
    ) -> None:
        self.index = index
        self.mz = mz
        self.intensity = intensity
        self.ms_level = ms_level
        self.retention_time_sec = retention_time_sec

    def __len__(self) -> int:
        return len(self.mz)

    def __repr__(self) -> str:
        return (
            f"Spectrum(index={self.index}, {len(self.mz)} peaks, MS{self.ms_level}, "
            f"RT {self.retention_time_sec:.2f}s)"
        )


class _Trace(NamedTuple):
    retention_time_sec: np.ndarray
    intensity: np.ndarray


class Chromatogram(_Trace):
    """Intensity against retention time, one point per spectrum of the level asked for.

    A two-item tuple, so `rt, intensity = run.tic()` unpacks it. What
    describes the trace beyond its two arrays (the transition of an SRM
    chromatogram) is a keyword-only attribute beside the tuple, never an
    item of it, so that unpacking keeps working as attributes are added.
    """

    # The keyword-only attributes. Each has its default as a class
    # attribute, which tuples made without __new__ (by _make) get too.
    _DETAILS: ClassVar[tuple[str, ...]] = ("precursor_mz", "product_mz")
    precursor_mz: float | None = None
    product_mz: float | None = None

    def __new__(cls, retention_time_sec: np.ndarray, intensity: np.ndarray, **details: object) -> Chromatogram:
        unknown = details.keys() - set(cls._DETAILS)
        if unknown:
            raise TypeError(f"Chromatogram() got unexpected keyword argument(s) {', '.join(sorted(unknown))}")
        self = super().__new__(cls, retention_time_sec, intensity)
        for key, value in details.items():
            object.__setattr__(self, key, value)
        return self

    def __setattr__(self, key: str, value: object) -> None:
        raise AttributeError(f"Chromatogram attribute {key!r} is read-only")

    def _replace(self, **changes: object) -> Chromatogram:
        details = {key: getattr(self, key) for key in self._DETAILS}
        details.update((key, changes.pop(key)) for key in list(changes) if key in self._DETAILS)
        arrays = super()._replace(**changes)
        return type(self)(*arrays, **details)

    def __repr__(self) -> str:
        parts = []
        if self.precursor_mz is not None or self.product_mz is not None:
            parts.append(f"SRM {_mz_text(self.precursor_mz)}\u2192{_mz_text(self.product_mz)}")
        times = np.asarray(self.retention_time_sec, dtype=np.float64)
        values = np.asarray(self.intensity, dtype=np.float64)
        count = len(times)
        parts.append(f"{count} point{'' if count == 1 else 's'}")
        times, values = times[np.isfinite(times)], values[np.isfinite(values)]
        if len(times):
            parts.append(f"RT {times.min():.2f}\u2013{times.max():.2f} s")
        if len(values):
            top = values.max()
            parts.append(f"max {top:.2e}" if abs(top) >= 1e4 else f"max {top:.4g}")
        return f"Chromatogram({', '.join(parts)})"


def _mz_text(mz: float | None) -> str:
    return "?" if mz is None else f"{mz:g}"


class SrmChromatogram(Chromatogram):
    """One MRM transition's intensity against retention time.

    A Chromatogram, so `rt, intensity = chromatogram` unpacks as for a TIC,
    that also names its transition: precursor_mz and product_mz as the file
    stores them (tenths of m/z)."""

    precursor_mz: float
    product_mz: float

    def __new__(
        cls, precursor_mz: float, product_mz: float, retention_time_sec: np.ndarray, intensity: np.ndarray
    ) -> SrmChromatogram:
        return super().__new__(
            cls, retention_time_sec, intensity, precursor_mz=float(precursor_mz), product_mz=float(product_mz)
        )

    def __getnewargs__(self) -> tuple[float, float, np.ndarray, np.ndarray]:
        return (self.precursor_mz, self.product_mz, self.retention_time_sec, self.intensity)

    def _replace(self, **changes: object) -> SrmChromatogram:
        values = {"precursor_mz": self.precursor_mz, "product_mz": self.product_mz, **dict(zip(self._fields, self))}
        values.update(changes)
        return SrmChromatogram(**values)


def _transitions(run: Run) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """The MRM transitions of a run, grouped by (precursor, product) pair.

    A transition is an MS2 spectrum of one point with a known precursor.
    Returns the transition spectra's positions in run order, the pair each
    belongs to (pairs numbered by first appearance), and each pair's
    precursor and product m/z."""
    counts = np.diff(run.offsets)
    spectra = np.flatnonzero((run.ms_level == 2) & (counts == 1) & ~np.isnan(run.precursor_mz))
    precursor = run.precursor_mz[spectra]
    product = run.mz[run.offsets[spectra]]
    if len(spectra) == 0:
        empty = np.zeros(0, dtype=np.float64)
        return spectra, np.zeros(0, dtype=np.int64), empty, empty
    pairs = np.stack([precursor, product], axis=1)
    _, first, inverse = np.unique(pairs, axis=0, return_index=True, return_inverse=True)
    # np.unique numbers pairs in sorted order; renumber them by first appearance.
    order = np.argsort(first, kind="stable")
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    group = rank[inverse.reshape(-1)]
    return spectra, group, precursor[first[order]], product[first[order]]


def nearest_time(times: np.ndarray, rt_sec: float, in_order: bool) -> int:
    """The position of the time nearest to rt_sec, the first one on a tie.

    Times in order are searched by bisection; times out of order (a damaged
    index, or scans without a stored time) by a plain scan."""
    if not in_order:
        return int(np.argmin(np.abs(times - rt_sec)))
    # The first time at or after rt_sec, and the one before it.
    after = int(np.searchsorted(times, rt_sec, side="left"))
    if after == len(times):
        chosen = after - 1
    elif after == 0:
        chosen = 0
    else:
        chosen = after - 1 if rt_sec - times[after - 1] <= times[after] - rt_sec else after
    # Records of one MRM scan share a time: take the first of them.
    return int(np.searchsorted(times, times[chosen], side="left"))


class Run:
    """Every spectrum of a data file as flat, read-only columns.

    Spectrum i has the peaks mz[offsets[i]:offsets[i + 1]] and
    intensity[offsets[i]:offsets[i + 1]], MS level ms_level[i] and retention
    time retention_time_sec[i]. precursor_mz[i] is the precursor m/z of a
    GC-MS MRM transition, NaN for every other spectrum. dropped lists the
    scans of the file's index that were left out, with why. The arrays stay
    valid after the Run is gone.
    """

    __slots__ = (
        "name",
        "layout",
        "mz",
        "intensity",
        "offsets",
        "ms_level",
        "retention_time_sec",
        "precursor_mz",
        "dropped",
        "_rt_sorted",
    )

    name: str
    layout: str
    mz: np.ndarray
    intensity: np.ndarray
    offsets: np.ndarray
    ms_level: np.ndarray
    retention_time_sec: np.ndarray
    precursor_mz: np.ndarray
    dropped: Dropped

    def __init__(
        self,
        name: str,
        layout: str,
        mz: np.ndarray,
        intensity: np.ndarray,
        offsets: np.ndarray,
        ms_level: np.ndarray,
        retention_time_sec: np.ndarray,
        precursor_mz: np.ndarray | None = None,
        dropped: Dropped | None = None,
    ) -> None:
        if layout not in LAYOUTS:
            raise ValueError(f"unknown layout {layout!r} (expected one of {', '.join(LAYOUTS)})")
        values = {
            "mz": mz,
            "intensity": intensity,
            "offsets": offsets,
            "ms_level": ms_level,
            "retention_time_sec": retention_time_sec,
            # Runs pickled before the column existed have no precursors.
            "precursor_mz": np.full(len(ms_level), np.nan) if precursor_mz is None else precursor_mz,
        }
        columns = {key: _read_only(value, _DTYPES[key], key) for key, value in values.items()}
        points, spectra = len(columns["mz"]), len(columns["ms_level"])
        bounds = columns["offsets"]
        if len(columns["intensity"]) != points:
            raise ValueError(f"intensity has {len(columns['intensity'])} values for {points} m/z values")
        if len(columns["retention_time_sec"]) != spectra:
            raise ValueError(f"retention_time_sec has {len(columns['retention_time_sec'])} values for {spectra} spectra")
        if len(columns["precursor_mz"]) != spectra:
            raise ValueError(f"precursor_mz has {len(columns['precursor_mz'])} values for {spectra} spectra")
        if len(bounds) != spectra + 1 or bounds[0] != 0 or bounds[-1] != points or np.any(bounds[1:] < bounds[:-1]):
            raise ValueError(f"offsets must rise from 0 to {points} in {spectra + 1} entries")
        set_slot = object.__setattr__
        set_slot(self, "name", str(name))
        set_slot(self, "layout", layout)
        # Runs pickled before dropped scans were kept have none.
        if dropped is not None and not isinstance(dropped, Dropped):
            raise TypeError(f"dropped must be a Dropped, not {type(dropped).__name__}")
        set_slot(self, "dropped", Dropped() if dropped is None else dropped)
        for key, array in columns.items():
            set_slot(self, key, array)
        set_slot(self, "_rt_sorted", None)

    def __setattr__(self, key: str, value: object) -> None:
        raise AttributeError(f"Run attribute {key!r} is read-only")

    def __delattr__(self, key: str) -> None:
        raise AttributeError(f"Run attribute {key!r} is read-only")

    # -- pickling: the name, the layout and the columns, exactly ------------

    def __reduce__(self) -> tuple[type[Run], tuple[object, ...]]:
        return (
            Run,
            (
                self.name,
                self.layout,
                self.mz,
                self.intensity,
                self.offsets,
                self.ms_level,
                self.retention_time_sec,
                self.precursor_mz,
                self.dropped,
            ),
        )

    # -- spectra by position ------------------------------------------------

    def __len__(self) -> int:
        return len(self.ms_level)

    @overload
    def __getitem__(self, index: SupportsIndex) -> Spectrum: ...

    @overload
    def __getitem__(self, index: slice | np.ndarray | Sequence[int] | Sequence[bool]) -> Run: ...

    def __getitem__(self, index):
        if isinstance(index, slice) or not hasattr(index, "__index__") or np.ndim(index) != 0:
            return self._select(index)
        position = operator.index(index)
        count = len(self.ms_level)
        if position < 0:
            position += count
        if not 0 <= position < count:
            raise IndexError(f"spectrum index {index} out of range for a run of {count} spectra")
        return self._spectrum(position)

    def __iter__(self) -> Iterator[Spectrum]:
        for position in range(len(self.ms_level)):
            yield self._spectrum(position)

    def _spectrum(self, position: int) -> Spectrum:
        start, end = int(self.offsets[position]), int(self.offsets[position + 1])
        return Spectrum(
            position,
            self.mz[start:end],
            self.intensity[start:end],
            int(self.ms_level[position]),
            float(self.retention_time_sec[position]),
        )

    # -- runs of some of the spectra -----------------------------------------

    def _select(self, selection: object) -> Run:
        """run[a:b], run[mask], run[positions]: a Run of those spectra, in that order."""
        count = len(self)
        if isinstance(selection, slice):
            start, stop, step = selection.indices(count)
            if step == 1:
                return self._subset(start, max(start, stop))
            return self._subset(np.arange(start, stop, step, dtype=np.int64))
        kinds = "a run is indexed by an integer, a slice, a boolean mask or integer positions"
        # A tuple would be run[i, j]: a run has one axis.
        chosen = None if isinstance(selection, (tuple, str, bytes, dict, set)) else np.asarray(selection)
        if chosen is None or chosen.ndim == 0:
            raise TypeError(f"{kinds}, not {type(selection).__name__}")
        if chosen.ndim != 1:
            raise TypeError(f"{kinds}, not a {chosen.ndim}-d array")
        if chosen.dtype == np.bool_:
            if len(chosen) != count:
                raise IndexError(f"boolean mask has {len(chosen)} entries for a run of {count} spectra")
            return self._subset(np.flatnonzero(chosen))
        if chosen.dtype.kind not in "iu":
            if len(chosen):
                raise TypeError(f"a run cannot be indexed by an array of {chosen.dtype}: "
                                f"give a boolean mask of {count} entries or integer positions")
            chosen = chosen.astype(np.int64)
        outside = (chosen < -count) | (chosen >= count)
        if outside.any():
            raise IndexError(f"spectrum index {chosen[outside][0]} out of range for a run of {count} spectra")
        positions = chosen.astype(np.int64)
        positions[positions < 0] += count
        return self._subset(positions)

    def _subset(self, first: int | np.ndarray, stop: int | None = None) -> Run:
        """The Run of spectra first:stop (columns shared), or of the positions in first (points copied).

        Every per-spectrum column the constructor takes is taken at the same
        positions; offsets are rebased to start at 0.
        """
        if stop is None:
            positions = first
            span = len(positions)
            if span and positions[-1] - positions[0] == span - 1 and np.all(np.diff(positions) == 1):
                # Consecutive spectra in order: the same as a slice, which shares memory.
                first, stop = int(positions[0]), int(positions[-1]) + 1
        if stop is not None:
            low, high = int(self.offsets[first]), int(self.offsets[stop])
            offsets = self.offsets[first : stop + 1] - low
            points = {id(self.mz): self.mz[low:high], id(self.intensity): self.intensity[low:high]}
            take = slice(first, stop)
        else:
            starts = self.offsets[positions]
            counts = self.offsets[positions + 1] - starts
            offsets = np.zeros(len(positions) + 1, dtype=np.int64)
            np.cumsum(counts, out=offsets[1:])
            # Each kept point's position in the run: its spectrum's start moved
            # by where that spectrum begins in the new columns.
            source = np.arange(offsets[-1], dtype=np.int64) + np.repeat(starts - offsets[:-1], counts)
            points = {id(self.mz): self.mz[source], id(self.intensity): self.intensity[source]}
            take = positions
        cls, arguments = self.__reduce__()
        count = len(self)

        def taken(argument: object) -> object:
            if argument is self.offsets:
                return offsets
            if id(argument) in points:
                return points[id(argument)]
            if isinstance(argument, np.ndarray) and argument.shape == (count,):
                return argument[take]
            return argument

        return cls(*map(taken, arguments))

    def scan_at(self, rt_sec: float, ms_level: int | None = None) -> Spectrum:
        """The spectrum whose retention time is nearest to rt_sec (the first one on a tie).

        With ms_level, only spectra of that level are considered. Raises
        ValueError when there is no spectrum to choose from.
        """
        rt_sec = float(rt_sec)
        if rt_sec != rt_sec:
            raise ValueError("scan_at() needs a retention time, not NaN")
        if ms_level is None:
            candidates = None
            times = self.retention_time_sec
        else:
            candidates = np.flatnonzero(self.ms_level == ms_level)
            times = self.retention_time_sec[candidates]
        if len(times) == 0:
            level = "" if ms_level is None else f" at MS level {ms_level}"
            raise ValueError(f"run {self.name!r} has no spectra{level}")
        chosen = nearest_time(times, rt_sec, self._times_sorted())
        return self._spectrum(chosen if candidates is None else int(candidates[chosen]))

    def _times_sorted(self) -> bool:
        if self._rt_sorted is None:
            times = self.retention_time_sec
            object.__setattr__(self, "_rt_sorted", bool(np.all(times[1:] >= times[:-1])))
        return self._rt_sorted

    # -- chromatograms ------------------------------------------------------

    def _level_mask(self, ms_level: int | None) -> np.ndarray | None:
        return None if ms_level is None else self.ms_level == ms_level

    def _per_spectrum(self, reduce: np.ufunc) -> np.ndarray:
        """reduce over each spectrum's intensities, in float64; 0 for a spectrum without points."""
        starts, ends = self.offsets[:-1], self.offsets[1:]
        filled = starts < ends
        result = np.zeros(len(starts), dtype=np.float64)
        if filled.any():
            # Between two filled spectra lie only empty ones, so each filled
            # spectrum's segment runs from its start to the next filled start.
            result[filled] = reduce.reduceat(self.intensity, starts[filled], dtype=np.float64)
        return result

    def _chromatogram(self, values: np.ndarray, ms_level: int | None) -> Chromatogram:
        mask = self._level_mask(ms_level)
        if mask is None:
            return Chromatogram(self.retention_time_sec, values)
        return Chromatogram(self.retention_time_sec[mask], values[mask])

    def tic(self, ms_level: int | None = 1) -> Chromatogram:
        """Total ion current: each spectrum's summed intensity (float64), 0 for an empty spectrum."""
        return self._chromatogram(self._per_spectrum(np.add), ms_level)

    def bpc(self, ms_level: int | None = 1) -> Chromatogram:
        """Base peak chromatogram: each spectrum's highest intensity, 0 for an empty spectrum."""
        return self._chromatogram(self._per_spectrum(np.maximum), ms_level)

    def xic(
        self, mz: float, tol: float | None = None, ppm: float | None = None, ms_level: int | None = 1
    ) -> Chromatogram:
        """Extracted ion chromatogram: per spectrum, the summed intensity of the points within the window.

        The window is mz ± tol (in m/z units) or mz ± mz·ppm/10⁶, bounds
        included; give exactly one of tol and ppm.
        """
        if (tol is None) == (ppm is None):
            raise TypeError("xic() needs exactly one of tol (m/z units) and ppm")
        if float(mz) != float(mz):
            raise ValueError("xic() needs an m/z, not NaN")
        half_width = float(tol) if tol is not None else abs(float(mz)) * float(ppm) * 1e-6
        if not half_width >= 0.0:
            raise ValueError(f"xic() window half-width must be zero or more, not {half_width}")
        low, high = float(mz) - half_width, float(mz) + half_width
        inside = np.flatnonzero((self.mz >= low) & (self.mz <= high))
        owners = np.searchsorted(self.offsets, inside, side="right") - 1
        summed = np.bincount(owners, weights=self.intensity[inside].astype(np.float64), minlength=len(self))
        # bincount of nothing gives integers; a chromatogram is always float64.
        return self._chromatogram(summed.astype(np.float64, copy=False), ms_level)

    def srm(self) -> list[SrmChromatogram]:
        """The MRM transitions as chromatograms: one per distinct (precursor,
        product) pair, in order of first appearance, with each transition's
        retention time and intensity (float64, the stored values exactly).

        A transition is an MS2 spectrum of one point with a known precursor
        m/z; a run without any gives an empty list."""
        spectra, group, precursor, product = _transitions(self)
        order = np.argsort(group, kind="stable")
        bounds = np.searchsorted(group[order], np.arange(len(precursor) + 1))
        times = self.retention_time_sec[spectra[order]]
        values = self.intensity[self.offsets[spectra[order]]].astype(np.float64)
        return [
            SrmChromatogram(float(p), float(q), times[a:b], values[a:b])
            for p, q, a, b in zip(precursor.tolist(), product.tolist(), bounds[:-1].tolist(), bounds[1:].tolist())
        ]

    # -- tables -------------------------------------------------------------

    def to_arrow(self) -> pyarrow.Table:
        """A pyarrow Table, one row per spectrum; the list columns share the run's memory."""
        from ._tables import run_to_arrow

        return run_to_arrow(self)

    def peaks_table(self) -> pyarrow.Table:
        """A pyarrow Table, one row per point: spectrum_index, mz, intensity."""
        from ._tables import peaks_table

        return peaks_table(self)

    def spectra_table(self) -> pyarrow.Table:
        """A pyarrow Table, one row per spectrum, with its point count, TIC and base peak."""
        from ._tables import spectra_table

        return spectra_table(self)

    def to_parquet(
        self, path: StrPath, shape: Literal["spectra", "peaks"] = "spectra", compression: str = "zstd"
    ) -> None:
        """Write the run as Parquet: one file (shape "spectra"), or a folder of
        spectra.parquet and peaks.parquet (shape "peaks"), with
        chromatograms.parquet (the points of srm()) when the run has MRM
        transitions.

        The output, file or folder, is written under a temporary name beside
        `path` and renamed when complete, so a failure leaves the old output
        or nothing, never a partial one. An existing folder holding other
        files is not replaced (FileExistsError).
        """
        from ._tables import write_parquet

        write_parquet(self, path, shape, compression)

    # -- other libraries' structures -------------------------------------------

    def to_pandas(self, shape: Literal["spectra", "peaks"] = "spectra") -> pandas.DataFrame:
        """A pandas DataFrame (needs pip install 'kelvara[pandas]').

        shape "spectra": one row per spectrum, indexed by spectrum_index, with
        retention_time_sec, ms_level, representation, points, tic,
        base_peak_mz and base_peak_intensity (NaN for a spectrum without
        points), as spectra_table() has them.
        shape "peaks": one row per point, with spectrum_index,
        retention_time_sec, ms_level, mz and intensity.
        """
        from ._adapters import to_pandas

        return to_pandas(self, shape)

    def to_pyopenms(self) -> pyopenms.MSExperiment:
        """A pyOpenMS MSExperiment (needs pip install 'kelvara[pyopenms]').

        Every spectrum with its retention time in seconds, MS level, m/z and
        intensity values, and precursor m/z where known; then a total ion
        current chromatogram of the MS1 spectra, and one chromatogram per
        SRM transition where the run has them. Points out of m/z order are
        handed over sorted.
        """
        from ._adapters import to_pyopenms

        return to_pyopenms(self)

    def to_matchms(self) -> list[matchms.Spectrum]:
        """A list of matchms Spectrum objects, one per spectrum (needs pip install 'kelvara[matchms]').

        Metadata: spectrum_index, retention_time (seconds), ms_level, and
        precursor_mz where known. matchms requires ascending m/z: points out
        of order are handed over sorted; points of equal m/z are all kept.
        For MS/MS work, select the level first: run[run.ms_level == 2].to_matchms().
        """
        from ._adapters import to_matchms

        return to_matchms(self)

    def __repr__(self) -> str:
        return f"Run({self.name!r}, layout={self.layout!r}, {len(self)} spectra, {len(self.mz)} points)"

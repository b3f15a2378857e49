"""What the browser views ask of a run, behind one small class.

RunSource answers the questions a page asks: the run's facts, its
chromatograms per MS level (computed once, then thinned for drawing), one
spectrum by position or retention time, an extracted ion chromatogram, the
SRM traces and the strongest chromatographic peaks. The view server and the
report writer go through it alone, so the run behind it can later be read
spectrum by spectrum on demand instead of decoded whole; today it holds a
Run from read_run.

Everything it returns is plain Python or numpy, ready for JSON.
"""

from __future__ import annotations

import math
import os
import threading

import numpy as np

from ._run import Run, read_run
from ._summary import is_profile

# Points per drawn trace: a screen is a few thousand pixels wide, and
# min/max pairs per pixel column keep every spike that a full trace shows.
DRAW_POINTS = 4000
# Points sent for one spectrum; a profile scan past it is thinned the same way.
SPECTRUM_POINTS = 20000


def decimate(x: np.ndarray, y: np.ndarray, target: int = DRAW_POINTS) -> tuple[np.ndarray, np.ndarray]:
    """Thin a trace to about `target` points, keeping each bucket's lowest and highest point.

    The buckets follow the stored order, so a chromatogram keeps its
    retention-time order and a spectrum its m/z order; peaks never vanish,
    as they would with every k-th point.
    """
    n = len(y)
    if n <= target:
        return np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64)
    per = -(-2 * n // target)
    rows = n // per
    body = np.asarray(y[: rows * per]).reshape(rows, per)
    base = np.arange(rows) * per
    picks = [base + body.argmin(axis=1), base + body.argmax(axis=1)]
    if rows * per < n:
        tail = np.asarray(y[rows * per:])
        picks.append(np.array([rows * per + tail.argmin(), rows * per + tail.argmax()]))
    keep = np.unique(np.concatenate(picks))
    return np.asarray(x[keep], dtype=np.float64), np.asarray(y[keep], dtype=np.float64)


def representation(layout: str) -> str:
    """TTFL scans are stored as profiles; every other layout holds centroids (or MRM sticks)."""
    return "profile" if is_profile(layout) else "centroid"


def _running_max(values: np.ndarray, width: int) -> np.ndarray:
    """max(values[i:i + width]) for every i, in a few passes whatever the width.

    Cut into blocks of `width`: a window spans the end of one block and the
    start of the next, so its maximum is the larger of the first block's
    maximum from i onwards and the second block's maximum up to i + width - 1.
    """
    n = len(values)
    blocks = np.concatenate([values, np.full(-n % width, -np.inf)]).reshape(-1, width)
    from_start = np.maximum.accumulate(blocks, axis=1).ravel()
    to_end = np.maximum.accumulate(blocks[:, ::-1], axis=1)[:, ::-1].ravel()
    return np.maximum(to_end[: n - width + 1], from_start[width - 1: n])


def _finite_or_none(value: float) -> float | None:
    return float(value) if math.isfinite(value) else None


class RunSource:
    """One run, as the views see it. Safe to share between server threads:
    the run's columns are read-only and each cached answer is built once
    under a lock."""

    def __init__(self, path: str | os.PathLike[str], run: Run | None = None) -> None:
        self.path = os.fspath(path)
        self.run = run if run is not None else read_run(self.path)
        self._lock = threading.Lock()
        self._cache: dict[object, list] = {}

    def _once(self, key: object, build):
        """build() for this key, run once; each key has its own lock, so
        different answers can be computed on different threads at once."""
        with self._lock:
            entry = self._cache.setdefault(key, [threading.Lock(), False, None])
        with entry[0]:
            if not entry[1]:
                entry[2], entry[1] = build(), True
        return entry[2]

    def prepare(self) -> None:
        """Compute what the first view shows: the facts, each level's thinned chromatograms, the SRM traces."""
        self.facts()
        for level in self.levels():
            self.chromatograms(level)
        self.srm()

    def _mz_range(self) -> list[float] | None:
        mz = self.run.mz
        return self._once("mz", lambda: [float(mz.min()), float(mz.max())] if len(mz) else None)

    # -- what is in the run --------------------------------------------------

    @property
    def name(self) -> str:
        return self.run.name

    @property
    def representation(self) -> str:
        return representation(self.run.layout)

    def levels(self) -> list[int]:
        return self._once("levels", lambda: [int(level) for level in np.unique(self.run.ms_level)])

    def dropped(self) -> int:
        """The number of scans the reader left out."""
        return len(self.run.dropped)

    def precursor_mz(self, index: int) -> float | None:
        return _finite_or_none(float(self.run.precursor_mz[index]))

    def facts(self) -> dict:
        return self._once("facts", self._facts)

    def _facts(self) -> dict:
        run = self.run
        levels, counts = np.unique(run.ms_level, return_counts=True)
        times = run.retention_time_sec
        try:
            size = os.path.getsize(self.path)
        except OSError:
            size = None
        return {
            "name": run.name,
            "layout": run.layout,
            "representation": self.representation,
            "file_bytes": size,
            "spectra": len(run),
            "spectra_by_ms_level": {str(level): int(count) for level, count in zip(levels.tolist(), counts.tolist())},
            "points": int(len(run.mz)),
            "retention_time_sec": [float(times.min()), float(times.max())] if len(times) else None,
            "mz": self._mz_range(),
            "dropped_scans": self.dropped(),
            "tic_area": self.tic_area(),
        }

    def tic_area(self) -> float:
        """The MS1 TIC integrated over retention time (counts · s), a quick measure of how much was injected."""
        rt, intensity = self._full("tic", 1)
        if len(rt) < 2:
            return 0.0
        return float(np.sum((intensity[1:] + intensity[:-1]) * 0.5 * np.diff(rt)))

    # -- chromatograms ---------------------------------------------------------

    def _full(self, kind: str, level: int) -> tuple[np.ndarray, np.ndarray]:
        """The whole TIC or BPC of one level. Each is computed once over
        every spectrum and then split by level: one pass over the run's
        points per kind, however many levels it has."""
        def every_spectrum():
            return (self.run.tic if kind == "tic" else self.run.bpc)(ms_level=None).intensity

        def build():
            mask = self.run.ms_level == level
            return self.run.retention_time_sec[mask], self._once(("all", kind), every_spectrum)[mask]
        return self._once(("full", kind, level), build)

    def chromatograms(self, level: int) -> dict:
        """The TIC and BPC of one MS level, thinned for drawing: {"tic": {"rt": [...], "intensity": [...]}, "bpc": ...}."""
        def build():
            out = {}
            for kind in ("tic", "bpc"):
                rt, intensity = decimate(*self._full(kind, level))
                out[kind] = {"rt": rt.tolist(), "intensity": intensity.tolist()}
            return out
        return self._once(("drawn", level), build)

    def xic(self, mz: float, tol: float | None = None, ppm: float | None = None, level: int = 1) -> dict:
        """The summed intensity within m/z ± tol (Da) or ± ppm, per spectrum of the level, thinned for drawing."""
        chromatogram = self.run.xic(mz, tol=tol, ppm=ppm, ms_level=level)
        rt, intensity = decimate(chromatogram.retention_time_sec, chromatogram.intensity)
        return {"rt": rt.tolist(), "intensity": intensity.tolist()}

    def srm(self) -> list[dict]:
        """One trace per SRM transition: {"label", "precursor_mz", "product_mz", "rt", "intensity"}, thinned."""
        return self._once("srm", self._srm)

    def _srm(self) -> list[dict]:
        traces = []
        for precursor, product, rt, intensity in self._transitions():
            rt, intensity = decimate(np.asarray(rt, dtype=np.float64), np.asarray(intensity, dtype=np.float64))
            label = f"{precursor:.2f} → {product:.2f}"
            traces.append({"label": label, "precursor_mz": precursor, "product_mz": product,
                           "rt": rt.tolist(), "intensity": intensity.tolist()})
        return traces

    def _transitions(self):
        for chromatogram in self.run.srm():
            yield (chromatogram.precursor_mz, chromatogram.product_mz, chromatogram.retention_time_sec,
                   chromatogram.intensity)

    def spectrum_at(self, rt_sec: float, level: int | None) -> dict:
        """The spectrum nearest to rt_sec (of that MS level); ValueError when there is none."""
        return self.spectrum(self.run.scan_at(rt_sec, ms_level=level).index)

    def spectrum(self, index: int, max_points: int = SPECTRUM_POINTS) -> dict:
        """Spectrum number `index`, with at most about max_points points sent; IndexError past the run."""
        spectrum = self.run[index]
        mz, intensity = spectrum.mz, spectrum.intensity
        if len(mz) > max_points:
            if self.representation == "profile":
                mz, intensity = decimate(mz, intensity, max_points)
            else:
                # Sticks: the strongest ones, back in m/z order.
                keep = np.sort(np.argpartition(intensity, len(intensity) - max_points)[-max_points:])
                mz, intensity = mz[keep], intensity[keep]
        base = int(np.argmax(spectrum.intensity)) if len(spectrum) else None
        return {
            "index": spectrum.index,
            "retention_time_sec": spectrum.retention_time_sec,
            "ms_level": spectrum.ms_level,
            "precursor_mz": self.precursor_mz(spectrum.index),
            "representation": self.representation,
            "points": len(spectrum),
            "base_peak_mz": float(spectrum.mz[base]) if base is not None else None,
            "base_peak_intensity": float(spectrum.intensity[base]) if base is not None else None,
            "mz": np.asarray(mz, dtype=np.float64).tolist(),
            "intensity": np.asarray(intensity, dtype=np.float64).tolist(),
        }

    def top_peaks(self, count: int, level: int = 1) -> list[int]:
        """The apex spectra of the `count` strongest peaks of the TIC, by decreasing height.

        An apex is a spectrum whose TIC is the highest within a window of
        about 2% of the run's spectra around it, so the shoulders of a peak
        do not count as peaks of their own.
        """
        candidates = np.flatnonzero(self.run.ms_level == level)
        _, tic = self._full("tic", level)
        if len(tic) == 0:
            return []
        half = max(3, len(tic) // 100)
        local_max = _running_max(np.pad(tic, half, constant_values=-np.inf), 2 * half + 1)
        apex = np.flatnonzero((tic >= local_max) & (tic > 0))
        apex = apex[np.argsort(-tic[apex], kind="stable")]
        chosen: list[int] = []
        for position in apex:
            if all(abs(int(position) - other) > half for other in chosen):
                chosen.append(int(position))
            if len(chosen) == count:
                break
        return [int(candidates[position]) for position in chosen]

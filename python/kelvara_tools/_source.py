"""What the browser views ask of a run, behind one small class.

RunSource answers the questions a page asks: the run's facts, its
chromatograms per MS level (thinned for drawing), one spectrum by position
or retention time, an extracted ion chromatogram, the SRM traces and the
strongest chromatographic peaks.

The run is never held whole. A background thread walks it with
iter_batches (the decoding runs with the interpreter lock released) and
keeps, per spectrum, only a summary: MS level, retention time, TIC, base
peak intensity and where its points end; precursors and MRM transitions,
which few spectra have, are kept as short lists. Each batch's m/z and
intensity columns are appended to two scratch files in a private temporary
folder, from which a clicked spectrum is read back by its offsets and an
XIC is summed chunk by chunk. Memory is a batch plus the per-spectrum
summaries, whatever the size of the file. The folder goes when the source
is closed, or at exit.

Every question can be asked while the walk goes on: the answer covers the
spectra read so far (progress() says how far that is). wait() blocks until
the walk is over and raises what stopped it, for callers that want the
whole run.

Everything it returns is plain Python or numpy, ready for JSON.
"""

from __future__ import annotations

import math
import os
import shutil
import tempfile
import threading
import time
import weakref

import numpy as np

from . import _columns
from ._batches import iter_batches
from ._run import nearest_time
from ._summary import is_profile

# Points per drawn trace: a screen is a few thousand pixels wide, and
# min/max pairs per pixel column keep every spike that a full trace shows.
DRAW_POINTS = 4000
# Points sent for one spectrum; a profile scan past it is thinned the same way.
SPECTRUM_POINTS = 20000
# Points per batch of the walk, and per chunk when an XIC reads the scratch
# columns back: 12 bytes a point, so tens of MB at a time.
BATCH_POINTS = 1 << 20
XIC_CHUNK_POINTS = 1 << 22
# The walk reads a few MiB ahead of the spectra it hands out; below this
# size that read-ahead is most of the file, and no fraction is given.
PROGRESS_MIN_BYTES = 64 << 20


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


# The per-spectrum summaries, grown as the walk goes; `ends` is where each
# spectrum's points end in the scratch columns (offsets[1:] of the run).
_SUMMARIES = {"ms_level": np.uint8, "retention_time_sec": np.float64, "tic": np.float64, "bpc": np.float64,
              "ends": np.int64}


class _Snapshot:
    """The first n spectra's summaries: views that later batches never change."""

    __slots__ = ("n", "ms_level", "retention_time_sec", "tic", "bpc", "ends", "points")

    def __init__(self, arrays: dict, n: int) -> None:
        self.n = n
        for key, array in arrays.items():
            setattr(self, key, array[:n])
        self.points = int(self.ends[-1]) if n else 0

    def start(self, index: int) -> int:
        return int(self.ends[index - 1]) if index else 0


class RunSource:
    """One run, as the views see it, read in the background.

    Safe to share between threads: the walk appends summaries and scratch
    points and then publishes the new spectrum count under a lock; readers
    take a snapshot of that count and the arrays, and never see a spectrum
    half written.
    """

    def __init__(self, path: str | os.PathLike[str], *, batch_points: int = BATCH_POINTS, held: bool = False,
                 _pause_between_batches: float = 0.0) -> None:
        """Start reading the run; return once its first batch is in.

        held: the walk waits after the first batch until resume(), so that a
        caller can draw the first view without the rest of the walk
        competing for the processor.
        """
        self.path = os.fspath(path)
        self._lock = threading.Lock()
        self._cache: dict[object, tuple[int, object]] = {}
        capacity = 1024
        self._arrays = {key: np.zeros(capacity, dtype) for key, dtype in _SUMMARIES.items()}
        self._count = 0
        self._levels: set[int] = set()
        self._times = [math.inf, -math.inf]
        self._mz = [math.inf, -math.inf]
        self._dropped = 0
        self._precursors: list[tuple[np.ndarray, np.ndarray]] = []  # (positions, m/z) per batch
        self._transitions: list[np.ndarray] = []  # per batch: (position, pair, intensity) rows
        self._pairs: dict[tuple[float, float], int] = {}  # (precursor, product) -> pair, by first appearance
        self._name: str | None = None
        self._layout: str | None = None
        self._error: BaseException | None = None
        self._started = time.monotonic()
        self._finished: float | None = None
        self._read_at_start = _bytes_read()
        self._scratch_read = 0
        try:
            self._size: int | None = os.path.getsize(self.path)
        except OSError:
            self._size = None
        self._folder = tempfile.mkdtemp(prefix="kelvara-view-")
        # The scratch folder goes at exit even if close() is never called.
        self._cleanup = weakref.finalize(self, shutil.rmtree, self._folder, True)
        self._mz_path = os.path.join(self._folder, "mz.f64")
        self._intensity_path = os.path.join(self._folder, "intensity.f32")
        self._stop = threading.Event()
        self._opened = threading.Event()
        self._done = threading.Event()
        self._go = threading.Event()
        if not held:
            self._go.set()
        self._walker = threading.Thread(target=self._walk, args=(batch_points, _pause_between_batches),
                                        name=f"kelvara-walk {os.path.basename(self.path)}", daemon=True)
        self._walker.start()
        # The first batch names the run; a file that cannot be opened fails here.
        try:
            self._opened.wait()
        except BaseException:  # Ctrl-C while the file is opened: stop the walk, leave no scratch
            self.close()
            raise
        if self._name is None and self._error is not None:
            error = self._error
            self.close()
            raise error

    # -- the walk ----------------------------------------------------------------

    def _walk(self, batch_points: int, pause: float) -> None:
        try:
            with open(self._mz_path, "wb") as mz_out, open(self._intensity_path, "wb") as intensity_out:
                for batch in iter_batches(self.path, batch_points):
                    mz_out.write(memoryview(np.ascontiguousarray(batch.mz)))
                    intensity_out.write(memoryview(np.ascontiguousarray(batch.intensity)))
                    # Readers open the files afresh: what they may read is on disk first.
                    mz_out.flush()
                    intensity_out.flush()
                    self._add(batch)
                    self._go.wait()
                    if self._stop.is_set() or (pause and self._stop.wait(pause)):
                        break
            if not self._stop.is_set():
                # The whole run is in: the first click on each level need not sort it out.
                snapshot = self._snapshot()
                for level in (None, *self.levels()):
                    self._of_level(snapshot, level)
            if self._name is None and self._error is None:
                # A run without spectra: its layout from the container, its name from the file.
                self._layout = _columns.probe_layout(self.path) or "gcms"
                self._name = os.path.basename(self.path)
        except BaseException as error:  # kept for the caller: the walk's thread has no one to raise to
            self._error = error
        finally:
            self._finished = time.monotonic()
            self._done.set()
            self._opened.set()

    def _add(self, batch) -> None:
        k, first = len(batch), self._count
        levels = batch.ms_level
        summaries = {
            "ms_level": levels,
            "retention_time_sec": batch.retention_time_sec,
            "tic": batch.tic(ms_level=None).intensity,
            "bpc": batch.bpc(ms_level=None).intensity,
            "ends": batch.offsets[1:] + (int(self._arrays["ends"][first - 1]) if first else 0),
        }
        arrays = self._arrays
        if first + k > len(arrays["ms_level"]):
            size = max(first + k, len(arrays["ms_level"]) * 3 // 2)
            arrays = {}
            for key, old in self._arrays.items():
                arrays[key] = np.zeros(size, old.dtype)
                arrays[key][:first] = old[:first]
        for key, values in summaries.items():
            arrays[key][first:first + k] = values
        known = np.flatnonzero(~np.isnan(batch.precursor_mz))
        counts = np.diff(batch.offsets)
        mrm = known[(levels[known] == 2) & (counts[known] == 1)]
        starts = batch.offsets[mrm]
        pairs, first_seen, inverse = np.unique(np.stack([batch.precursor_mz[mrm], batch.mz[starts]], axis=1), axis=0,
                                               return_index=True, return_inverse=True)
        dropped = len(getattr(batch, "dropped", ()))
        with self._lock:
            ids = np.zeros(len(pairs), np.int64)
            for pair in np.argsort(first_seen, kind="stable"):
                ids[pair] = self._pairs.setdefault((float(pairs[pair, 0]), float(pairs[pair, 1])), len(self._pairs))
            transitions = np.stack([mrm + first, ids[inverse.reshape(-1)],
                                    batch.intensity[starts].astype(np.float64)], axis=1)
            if self._name is None:
                self._name, self._layout = batch.name, batch.layout
            self._arrays = arrays
            if len(known):
                self._precursors.append((known + first, batch.precursor_mz[known]))
            if len(mrm):
                self._transitions.append(transitions)
            if k:
                self._levels.update(int(level) for level in np.unique(levels))
                times = batch.retention_time_sec
                self._times = [min(self._times[0], float(times.min())), max(self._times[1], float(times.max()))]
            if len(batch.mz):
                self._mz = [min(self._mz[0], float(batch.mz.min())), max(self._mz[1], float(batch.mz.max()))]
            self._dropped += dropped
            self._count = first + k
        self._opened.set()

    def _snapshot(self) -> _Snapshot:
        with self._lock:
            return _Snapshot(self._arrays, self._count)

    def _cached(self, key: object, snapshot: _Snapshot, build):
        """build(), kept while no further spectra have been read."""
        with self._lock:
            entry = self._cache.get(key)
        if entry is not None and entry[0] == snapshot.n:
            return entry[1]
        value = build()
        with self._lock:
            self._cache[key] = (snapshot.n, value)
        return value

    def resume(self) -> None:
        """Let a held walk go on past its first batch (nothing otherwise)."""
        self._go.set()

    def wait(self) -> None:
        """Block until the whole run has been read; raise what stopped the walk, if anything did."""
        self.resume()
        self._done.wait()
        if self._error is not None:
            raise self._error

    @property
    def complete(self) -> bool:
        return self._done.is_set()

    def close(self) -> None:
        """Stop the walk and remove the scratch folder. The source answers nothing afterwards."""
        self._stop.set()
        self._go.set()
        if self._walker.is_alive() and self._walker is not threading.current_thread():
            # The walk stops after the batch it is decoding, well within this.
            self._walker.join(timeout=30)
        self._cleanup()

    def __enter__(self) -> RunSource:
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def progress(self) -> dict:
        """How far the walk is: spectra and points read, an estimate of the
        fraction of the file read (None where the system cannot tell), and
        whether it is over, with the error that ended it, if any."""
        done = self.complete
        snapshot = self._snapshot()
        fraction = 1.0 if done else None
        if not done and self._size and self._size >= PROGRESS_MIN_BYTES:
            read = _bytes_read()
            if read is not None and self._read_at_start is not None:
                # The walk reads the file once, front to back; besides it and
                # the scratch columns read back (counted), this process reads
                # little beside a large file. Never 100 % before the end.
                fraction = max(0.0, min(0.99, (read - self._read_at_start - self._scratch_read) / self._size))
        elapsed = (self._finished or time.monotonic()) - self._started
        error = self._error
        return {
            "spectra": snapshot.n,
            "points": snapshot.points,
            "fraction": fraction,
            "complete": done,
            "seconds": elapsed,
            "error": None if error is None else f"{type(error).__name__}: {error}",
            "levels": self.levels(),
        }

    # -- what is in the run --------------------------------------------------

    @property
    def name(self) -> str:
        return self._name or os.path.basename(self.path)

    @property
    def layout(self) -> str:
        return self._layout or "gcms"

    @property
    def representation(self) -> str:
        return representation(self.layout)

    def __len__(self) -> int:
        """The number of spectra read so far."""
        return self._count

    def levels(self) -> list[int]:
        with self._lock:
            return sorted(self._levels)

    def dropped(self) -> int:
        """The number of scans the reader left out so far, as the batches list them."""
        return self._dropped

    def precursor_mz(self, index: int) -> float | None:
        with self._lock:
            parts = list(self._precursors)
        for positions, values in parts:
            if len(positions) and positions[0] <= index <= positions[-1]:
                at = int(np.searchsorted(positions, index))
                if positions[at] == index:
                    return _finite_or_none(float(values[at]))
        return None

    def facts(self) -> dict:
        done = self.complete
        snapshot = self._snapshot()
        return self._cached(("facts", done), snapshot, lambda: self._facts(snapshot, done))

    def _facts(self, snapshot: _Snapshot, done: bool) -> dict:
        counts = np.bincount(snapshot.ms_level, minlength=1)
        levels = np.flatnonzero(counts)
        counts = counts[levels]
        with self._lock:
            times, mz = list(self._times), list(self._mz)
        return {
            "name": self.name,
            "layout": self.layout,
            "representation": self.representation,
            "file_bytes": self._size,
            "spectra": snapshot.n,
            "spectra_by_ms_level": {str(level): int(count) for level, count in zip(levels.tolist(), counts.tolist())},
            "points": snapshot.points,
            "retention_time_sec": times if snapshot.n else None,
            "mz": mz if snapshot.points else None,
            "dropped_scans": self.dropped(),
            "tic_area": self._tic_area(snapshot),
            "complete": done,
        }

    def tic_area(self) -> float:
        """The MS1 TIC integrated over retention time (counts · s), a quick measure of how much was injected."""
        return self._tic_area(self._snapshot())

    def _tic_area(self, snapshot: _Snapshot) -> float:
        rt, intensity = self._full(snapshot, "tic", 1)
        if len(rt) < 2:
            return 0.0
        return float(np.sum((intensity[1:] + intensity[:-1]) * 0.5 * np.diff(rt)))

    # -- chromatograms ---------------------------------------------------------

    @staticmethod
    def _full(snapshot: _Snapshot, kind: str, level: int) -> tuple[np.ndarray, np.ndarray]:
        """The TIC or BPC of one level over the spectra read."""
        mask = snapshot.ms_level == level
        return snapshot.retention_time_sec[mask], getattr(snapshot, kind)[mask]

    def chromatograms(self, level: int) -> dict:
        """The TIC and BPC of one MS level, thinned for drawing: {"tic": {"rt": [...], "intensity": [...]}, "bpc": ...}."""
        snapshot = self._snapshot()

        def build():
            out = {}
            for kind in ("tic", "bpc"):
                rt, intensity = decimate(*self._full(snapshot, kind, level))
                out[kind] = {"rt": rt.tolist(), "intensity": intensity.tolist()}
            return out
        return self._cached(("drawn", level), snapshot, build)

    def _points(self, start: int, stop: int) -> tuple[np.ndarray, np.ndarray]:
        """Points start:stop of the scratch columns, read into memory."""
        count = stop - start
        if count <= 0:
            return np.zeros(0, np.float64), np.zeros(0, np.float32)
        if not self._cleanup.alive:
            raise ValueError("this run's view has been closed")
        self._scratch_read += count * 12
        with open(self._mz_path, "rb") as mz_in, open(self._intensity_path, "rb") as intensity_in:
            mz_in.seek(start * 8)
            intensity_in.seek(start * 4)
            mz = np.fromfile(mz_in, np.float64, count)
            intensity = np.fromfile(intensity_in, np.float32, count)
        if len(mz) != count or len(intensity) != count:
            raise OSError(f"the scratch columns of {self.name!r} end before point {stop}")
        return mz, intensity

    def xic(self, mz: float, tol: float | None = None, ppm: float | None = None, level: int = 1) -> dict:
        """The summed intensity within m/z ± tol (Da) or ± ppm, per spectrum of the level, thinned for drawing.

        Summed over the scratch columns a chunk at a time, so memory stays
        at a chunk and a value per spectrum read so far.
        """
        if (tol is None) == (ppm is None):
            raise TypeError("xic() needs exactly one of tol (m/z units) and ppm")
        half_width = float(tol) if tol is not None else abs(float(mz)) * float(ppm) * 1e-6
        low, high = float(mz) - half_width, float(mz) + half_width
        done = self.complete
        snapshot = self._snapshot()
        summed = np.zeros(snapshot.n, dtype=np.float64)
        for start in range(0, snapshot.points, XIC_CHUNK_POINTS):
            values, intensity = self._points(start, min(start + XIC_CHUNK_POINTS, snapshot.points))
            inside = np.flatnonzero((values >= low) & (values <= high))
            if len(inside):
                owners = np.searchsorted(snapshot.ends, inside + start, side="right")
                # Only the spectra this chunk touches: a chunk's sums are as long as its stretch of the run.
                first, last = int(owners[0]), int(owners[-1])
                summed[first:last + 1] += np.bincount(owners - first, weights=intensity[inside].astype(np.float64),
                                                      minlength=last - first + 1)
        mask = snapshot.ms_level == level
        rt, intensity = decimate(snapshot.retention_time_sec[mask], summed[mask])
        return {"rt": rt.tolist(), "intensity": intensity.tolist(), "spectra": snapshot.n,
                "complete": done}

    def srm(self) -> list[dict]:
        """One trace per SRM transition, in order of first appearance:
        {"label", "precursor_mz", "product_mz", "rt", "intensity"}, thinned."""
        snapshot = self._snapshot()
        return self._cached("srm", snapshot, lambda: self._srm(snapshot))

    def _srm(self, snapshot: _Snapshot) -> list[dict]:
        with self._lock:
            parts, pairs = list(self._transitions), list(self._pairs)
        rows = np.concatenate(parts) if parts else np.zeros((0, 3))
        rows = rows[rows[:, 0] < snapshot.n]
        rows = rows[np.argsort(rows[:, 1], kind="stable")]
        bounds = np.searchsorted(rows[:, 1], np.arange(len(pairs) + 1))
        traces = []
        for (precursor, product), low, high in zip(pairs, bounds[:-1], bounds[1:]):
            if low == high:
                continue
            rt = snapshot.retention_time_sec[rows[low:high, 0].astype(np.int64)]
            rt, intensity = decimate(rt, rows[low:high, 2])
            traces.append({"label": f"{precursor:.2f} → {product:.2f}", "precursor_mz": precursor,
                           "product_mz": product, "rt": rt.tolist(), "intensity": intensity.tolist()})
        return traces

    def _of_level(self, snapshot: _Snapshot, level: int | None):
        """The level's spectra, their times, and whether those are in order: kept between clicks."""
        def build():
            if level is None:
                candidates, times = None, snapshot.retention_time_sec
            else:
                candidates = np.flatnonzero(snapshot.ms_level == level)
                times = snapshot.retention_time_sec[candidates]
            return candidates, times, bool(np.all(times[1:] >= times[:-1]))
        return self._cached(("level", level), snapshot, build)

    def spectrum_at(self, rt_sec: float, level: int | None) -> dict:
        """The spectrum read so far nearest to rt_sec (of that MS level); ValueError when there is none."""
        rt_sec = float(rt_sec)
        if rt_sec != rt_sec:
            raise ValueError("a spectrum is found by a retention time, not NaN")
        snapshot = self._snapshot()
        candidates, times, in_order = self._of_level(snapshot, level)
        if len(times) == 0:
            where = "" if level is None else f" at MS level {level}"
            raise ValueError(f"run {self.name!r} has no spectra{where}" + ("" if self.complete else " read yet"))
        chosen = nearest_time(times, rt_sec, in_order)
        return self.spectrum(chosen if candidates is None else int(candidates[chosen]))

    def spectrum(self, index: int, max_points: int = SPECTRUM_POINTS) -> dict:
        """Spectrum number `index`, with at most about max_points points sent; IndexError past what has been read."""
        snapshot = self._snapshot()
        if not 0 <= index < snapshot.n:
            more = "" if self.complete else " read so far"
            raise IndexError(f"spectrum {index} is not one of the run's {snapshot.n} spectra{more}")
        all_mz, all_intensity = self._points(snapshot.start(index), int(snapshot.ends[index]))
        mz, intensity = all_mz, all_intensity
        if len(mz) > max_points:
            if self.representation == "profile":
                mz, intensity = decimate(mz, intensity, max_points)
            else:
                # Sticks: the strongest ones, back in m/z order.
                keep = np.sort(np.argpartition(intensity, len(intensity) - max_points)[-max_points:])
                mz, intensity = mz[keep], intensity[keep]
        base = int(np.argmax(all_intensity)) if len(all_mz) else None
        return {
            "index": index,
            "retention_time_sec": float(snapshot.retention_time_sec[index]),
            "ms_level": int(snapshot.ms_level[index]),
            "precursor_mz": self.precursor_mz(index),
            "representation": self.representation,
            "points": len(all_mz),
            "base_peak_mz": float(all_mz[base]) if base is not None else None,
            "base_peak_intensity": float(all_intensity[base]) if base is not None else None,
            "mz": np.asarray(mz, dtype=np.float64).tolist(),
            "intensity": np.asarray(intensity, dtype=np.float64).tolist(),
        }

    def top_peaks(self, count: int, level: int = 1) -> list[int]:
        """The apex spectra of the `count` strongest peaks of the TIC, by decreasing height.

        An apex is a spectrum whose TIC is the highest within a window of
        about 2% of the run's spectra around it, so the shoulders of a peak
        do not count as peaks of their own.
        """
        snapshot = self._snapshot()
        candidates = np.flatnonzero(snapshot.ms_level == level)
        _, tic = self._full(snapshot, "tic", level)
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


def _bytes_read() -> int | None:
    """Bytes this process has read through read calls so far (Linux), for the walk's progress."""
    try:
        with open("/proc/self/io", encoding="ascii") as io:
            for line in io:
                if line.startswith("rchar:"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return None

"""Pictures of a run: a chromatogram against retention time, a spectrum as sticks.

    plot_run(run, "tic.png")                                  # total ion current
    plot_run(run, "xic.svg", trace="xic", mz=69.0, tol=0.5)   # unit-resolution GC data
    plot_run(run, "xic.pdf", trace="xic", mz=445.12, ppm=5)   # accurate-mass data
    plot_run(run, "both.png", trace="tic", spectrum=120, mz_range=(40, 300))

Drawn with matplotlib's Agg canvas directly (no pyplot, no window, no
global state), so it works on servers and in worker processes. The picture's
format follows the file name: .png, .svg or .pdf. matplotlib is an optional
extra (kelvara[plot]).
"""

from __future__ import annotations

import math
import os

import numpy as np

from ._atomic import atomic_output
from ._errors import escape, missing_extra
from ._summary import one_point_per_time, representation

__all__ = ["plot_run", "FORMATS"]

FORMATS = ("png", "svg", "pdf")

_TITLES = {"tic": "Total ion current", "bpc": "Base peak chromatogram", "xic": "Extracted ion chromatogram"}


def _matplotlib():
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError as error:
        raise missing_extra("plotting", "plot") from error
    return Figure, FigureCanvasAgg


def picture_format(path: str | os.PathLike) -> str:
    """The format a picture's name asks for; ValueError for any other suffix."""
    suffix = os.path.splitext(os.fsdecode(os.fspath(path)))[1].lower().lstrip(".")
    if suffix not in FORMATS:
        raise ValueError(f"the picture's name must end in .png, .svg or .pdf, not {('.' + suffix) if suffix else 'nothing'}")
    return suffix


def _window(mz: float, tol: float | None, ppm: float | None) -> str:
    return f"m/z {mz:g} ± {tol:g}" if tol is not None else f"m/z {mz:g} ± {ppm:g} ppm"


def _chromatogram(axes, run, trace: str, mz, tol, ppm, ms_level: int) -> None:
    if trace == "xic":
        chromatogram = run.xic(mz, tol=tol, ppm=ppm, ms_level=ms_level)
        title = f"{_TITLES[trace]}, {_window(mz, tol, ppm)}"
    else:
        chromatogram = run.tic(ms_level) if trace == "tic" else run.bpc(ms_level)
        title = _TITLES[trace]
    if not len(chromatogram.intensity):
        raise ValueError(f"run {escape(run.name)!r} has no MS{ms_level} spectra to draw a chromatogram from")
    times, values = one_point_per_time(*chromatogram, np.maximum if trace == "bpc" else np.add)
    # Few points (MRM transitions visited now and then): mark each one.
    axes.plot(times / 60.0, values, linewidth=0.8, color="tab:blue", marker="o" if len(times) < 100 else None,
              markersize=3)
    axes.set_title(f"{title} (MS{ms_level}) — {escape(run.name)}", fontsize=10)
    axes.set_xlabel("Retention time (min)")
    axes.set_ylabel("Intensity (counts)")
    axes.set_ylim(bottom=0)
    axes.margins(x=0.01)
    axes.ticklabel_format(axis="y", style="sci", scilimits=(-3, 4))


def _precursor(run, index: int) -> float:
    """The precursor m/z of spectrum `index`, NaN where the file does not say."""
    return float(run.precursor_mz[index])


def _spectrum(axes, run, index: int, mz_range) -> list:
    spectrum = run[index]
    profile = representation(run)[spectrum.index] == 1
    mz, intensity = spectrum.mz, spectrum.intensity
    if mz_range is not None:
        inside = (mz >= mz_range[0]) & (mz <= mz_range[1])
        mz, intensity = mz[inside], intensity[inside]
    if profile:
        # A profile scan samples the m/z axis: draw it as a line, broken where
        # the scan stored no samples rather than drawn straight across the gap.
        axes.plot(*_broken_at_gaps(mz, intensity), linewidth=0.8, color="tab:red")
    else:
        axes.vlines(mz, 0, intensity, linewidth=0.8, color="tab:red")
    # Unit-resolution data (GC-MS, single quadrupole) to a tenth, accurate-mass TOF data to 0.1 mDa.
    digits = 1 if run.layout in ("gcms", "single_quad") else 4
    level = f"MS{spectrum.ms_level}"
    precursor = _precursor(run, spectrum.index) if spectrum.ms_level > 1 else math.nan
    if not math.isnan(precursor):
        level += f", precursor m/z {precursor:.{digits}f}"
    axes.set_title(f"Spectrum {spectrum.index} ({level}, {'profile' if profile else 'centroid'}) at "
                   f"{spectrum.retention_time_sec / 60.0:.3f} min — {escape(run.name)}", fontsize=10)
    axes.set_xlabel("m/z")
    axes.set_ylabel("Intensity (counts)")
    top = float(intensity.max()) if len(intensity) else 0.0
    # Head room above the tallest stick for its label.
    axes.set_ylim(0, top * 1.12 if top > 0 else 1.0)
    if mz_range is not None:
        axes.set_xlim(*mz_range)
    axes.ticklabel_format(axis="y", style="sci", scilimits=(-3, 4))
    candidates = np.argsort(intensity, kind="stable")[::-1]
    if profile and len(intensity) > 2:
        # In a profile only a peak's apex gets a label, not the samples on its flanks.
        padded = np.concatenate(([-np.inf], intensity, [-np.inf]))
        apex = (padded[1:-1] >= padded[:-2]) & (padded[1:-1] >= padded[2:])
        candidates = candidates[apex[candidates]]
    labels = []
    for k in candidates[:40].tolist():
        if intensity[k] <= 0:
            break
        labels.append(axes.annotate(f"{mz[k]:.{digits}f}", (mz[k], intensity[k]),
                                    textcoords="offset points", xytext=(0, 2), ha="center", va="bottom",
                                    fontsize=7))
    return labels


def _broken_at_gaps(mz: np.ndarray, intensity: np.ndarray):
    if len(mz) < 3:
        return mz, intensity
    steps = np.diff(mz)
    spacing = steps[steps > 0]
    if not len(spacing):
        return mz, intensity
    gaps = np.flatnonzero(steps > 4 * np.median(spacing)) + 1
    return np.insert(mz.astype(np.float64), gaps, np.nan), np.insert(intensity.astype(np.float64), gaps, np.nan)


def _keep_apart(figure, labels: list) -> None:
    """Remove labels that would overlap a stronger peak's label (labels come
    strongest first), measured as drawn, so none overlap at any m/z scale."""
    renderer = figure.canvas.get_renderer()
    kept = []
    for label in labels:
        box = label.get_window_extent(renderer).expanded(1.15, 1.1)
        if any(box.overlaps(other) for other in kept) or len(kept) == 12:
            label.remove()
        else:
            kept.append(box)


def plot_run(run, path: str | os.PathLike, *, trace: str | None = "tic", mz: float | None = None,
             ppm: float | None = None, tol: float | None = None, spectrum: int | None = None,
             ms_level: int = 1, mz_range: tuple[float, float] | None = None, dpi: int = 120) -> None:
    """Write a picture: the chromatogram `trace` ("tic", "bpc", "xic" at `mz`
    ± `tol` m/z or ± `ppm`, 10 ppm when neither is given; or None) of the
    spectra of `ms_level`, and/or spectrum number `spectrum` (negative counts
    from the end), zoomed to `mz_range` (low, high) if given. The format
    follows the name's suffix (.png, .svg, .pdf); missing folders are made;
    the file appears whole or not at all."""
    if trace not in (None, "tic", "bpc", "xic"):
        raise ValueError(f"trace must be 'tic', 'bpc', 'xic' or None, not {trace!r}")
    if trace == "xic" and mz is None:
        raise ValueError("an extracted ion chromatogram needs mz")
    if tol is not None and ppm is not None:
        raise ValueError("give the XIC window as tol or as ppm, not both")
    if trace == "xic" and tol is None and ppm is None:
        ppm = 10.0
    if trace is None and spectrum is None:
        raise ValueError("nothing to draw: give a trace, a spectrum or both")
    if mz_range is not None and not (mz_range[0] < mz_range[1]):
        raise ValueError(f"the m/z range must run from low to high, not {mz_range[0]:g}-{mz_range[1]:g}")
    kind = picture_format(path)
    if spectrum is not None:
        run[spectrum]  # an index out of range raises IndexError before drawing
    Figure, FigureCanvasAgg = _matplotlib()
    panels = [p for p in (trace, spectrum) if p is not None]
    figure = Figure(figsize=(9, 3.2 * len(panels)), layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.subplots(len(panels), 1, squeeze=False)[:, 0]
    if trace is not None:
        _chromatogram(axes[0], run, trace, mz, tol, ppm, ms_level)
    if spectrum is not None:
        labels = _spectrum(axes[-1], run, spectrum, mz_range)
        figure.draw_without_rendering()  # lay the figure out, so labels have their final places
        _keep_apart(figure, labels)
    path = os.fsdecode(os.fspath(path))
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    from matplotlib import rc_context

    # Text stays text in SVG and PDF, so a figure can be edited for a paper.
    with rc_context({"svg.fonttype": "none", "pdf.fonttype": 42}), atomic_output(path) as temporary:
        figure.savefig(temporary, format=kind, dpi=dpi)

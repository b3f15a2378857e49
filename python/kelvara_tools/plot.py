"""Pictures of a run: a chromatogram against retention time, a spectrum as sticks.

    plot_run(run, "tic.png")                              # total ion current
    plot_run(run, "xic.png", trace="xic", mz=69.0, ppm=20)
    plot_run(run, "both.png", trace="tic", spectrum=120)  # chromatogram above spectrum

Drawn with matplotlib's Agg canvas directly (no pyplot, no window, no
global state), so it works on servers and in worker processes. matplotlib is
an optional extra: pip install kelvara[plot].
"""

from __future__ import annotations

import os

import numpy as np

from ._atomic import atomic_output
from ._errors import missing_extra
from ._summary import representation

__all__ = ["plot_run"]

_TITLES = {"tic": "Total ion current", "bpc": "Base peak chromatogram", "xic": "Extracted ion chromatogram"}


def _matplotlib():
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError as error:
        raise missing_extra("plotting", "plot") from error
    return Figure, FigureCanvasAgg


def _chromatogram(axes, run, trace: str, mz: float | None, ppm: float) -> None:
    if trace == "xic":
        chromatogram = run.xic(mz, ppm=ppm)
        title = f"{_TITLES[trace]}, m/z {mz:g} ± {ppm:g} ppm"
    else:
        chromatogram = run.tic() if trace == "tic" else run.bpc()
        title = _TITLES[trace]
    minutes = chromatogram.retention_time_sec / 60.0
    axes.plot(minutes, chromatogram.intensity, linewidth=0.8, color="tab:blue")
    axes.set_title(f"{title} (MS1) — {run.name}", fontsize=10)
    axes.set_xlabel("Retention time (min)")
    axes.set_ylabel("Intensity (counts)")
    axes.set_ylim(bottom=0)
    axes.ticklabel_format(axis="y", style="sci", scilimits=(-3, 4))


def _labelled_peaks(mz, intensity, count: int = 5):
    """The strongest points, at most `count`, no two closer than 2% of the
    m/z range, so labels do not pile up on one peak's neighbours."""
    spacing = 0.02 * (float(mz.max()) - float(mz.min()) or 1.0)
    chosen: list[int] = []
    for k in np.argsort(intensity, kind="stable")[::-1].tolist():
        if intensity[k] <= 0 or len(chosen) == count:
            break
        if all(abs(mz[k] - mz[c]) >= spacing for c in chosen):
            chosen.append(k)
    return chosen


def _spectrum(axes, run, index: int) -> None:
    spectrum = run[index]
    profile = representation(run)[spectrum.index] == 1
    if profile:
        # A profile scan samples the m/z axis: draw it as a line.
        axes.plot(spectrum.mz, spectrum.intensity, linewidth=0.8, color="tab:red")
    else:
        axes.vlines(spectrum.mz, 0, spectrum.intensity, linewidth=0.8, color="tab:red")
    axes.set_title(f"Spectrum {spectrum.index} (MS{spectrum.ms_level}, {'profile' if profile else 'centroid'}) at "
                   f"{spectrum.retention_time_sec / 60.0:.3f} min — {run.name}", fontsize=10)
    axes.set_xlabel("m/z")
    axes.set_ylabel("Intensity (counts)")
    axes.set_ylim(bottom=0)
    axes.ticklabel_format(axis="y", style="sci", scilimits=(-3, 4))
    if len(spectrum.mz):
        for k in _labelled_peaks(spectrum.mz, spectrum.intensity):
            axes.annotate(f"{spectrum.mz[k]:.1f}", (spectrum.mz[k], spectrum.intensity[k]),
                          textcoords="offset points", xytext=(0, 2), ha="center", fontsize=7)


def plot_run(run, path: str | os.PathLike, *, trace: str | None = "tic", mz: float | None = None,
             ppm: float = 10.0, spectrum: int | None = None, dpi: int = 120) -> None:
    """Write a PNG: the chromatogram `trace` ("tic", "bpc", "xic" at `mz` ±
    `ppm`, or None) and/or spectrum number `spectrum` (negative counts from
    the end). Written under a temporary name and renamed when complete."""
    if trace not in (None, "tic", "bpc", "xic"):
        raise ValueError(f"trace must be 'tic', 'bpc', 'xic' or None, not {trace!r}")
    if trace == "xic" and mz is None:
        raise ValueError("an extracted ion chromatogram needs mz")
    if trace is None and spectrum is None:
        raise ValueError("nothing to draw: give a trace, a spectrum or both")
    if spectrum is not None:
        run[spectrum]  # an index out of range raises IndexError before drawing
    Figure, FigureCanvasAgg = _matplotlib()
    panels = [p for p in (trace, spectrum) if p is not None]
    figure = Figure(figsize=(9, 3.2 * len(panels)), layout="constrained")
    FigureCanvasAgg(figure)
    axes = figure.subplots(len(panels), 1, squeeze=False)[:, 0]
    if trace is not None:
        _chromatogram(axes[0], run, trace, mz, ppm)
    if spectrum is not None:
        _spectrum(axes[-1], run, spectrum)
    with atomic_output(os.fsdecode(os.fspath(path))) as temporary:
        figure.savefig(temporary, format="png", dpi=dpi)

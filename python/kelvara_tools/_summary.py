"""Values that summarise each spectrum of a Run, computed once for every
output that shows them: the spectra table, the mzML spectra, the plots and
the XIC tables.
"""

from __future__ import annotations

import numpy as np

from . import _columns

# Names of the representation codes, in code order.
REPRESENTATIONS = ("centroid", "profile")


def is_profile(layout: str) -> bool:
    """Whether the layout's scans are profiles (sampled on an axis) rather than centroids."""
    return bool(_columns.LAYOUTS[layout]["profile"])


def representation(run) -> np.ndarray:
    """Per spectrum, 0 for centroid and 1 for profile, as the layout's entry
    in the reader's table says.

    TTFL scans are sampled on the channel axis: profile. QTOF scans are
    centroids; single-quadrupole and GC-MS full scans store one point per
    resolved m/z, and MRM transitions one value each: centroid.
    """
    code = 1 if is_profile(run.layout) else 0
    return np.full(len(run), code, dtype=np.int8)


def base_peaks(run):
    """Per spectrum, the m/z and intensity of its most intense point (the first
    of equals), and a mask of the spectra that have no points."""
    starts, ends = run.offsets[:-1], run.offsets[1:]
    empty = starts == ends
    filled = ~empty
    base_mz = np.zeros(len(run), dtype=np.float64)
    base_intensity = np.zeros(len(run), dtype=np.float32)
    if filled.any():
        highest = np.maximum.reduceat(run.intensity, starts[filled])
        counts = (ends - starts)[filled]
        # Points equal to their spectrum's highest; the first in each spectrum wins.
        at_top = np.flatnonzero(run.intensity == np.repeat(highest, counts))
        owners = np.searchsorted(run.offsets, at_top, side="right") - 1
        spectra, first = np.unique(owners, return_index=True)
        base_mz[spectra] = run.mz[at_top[first]]
        base_intensity[spectra] = run.intensity[at_top[first]]
    return base_mz, base_intensity, empty


def one_point_per_time(times: np.ndarray, values: np.ndarray, combine: np.ufunc = np.add):
    """A chromatogram with one point per retention time. The transitions of
    one MRM scan share a time; a trace through them would jump up and down at
    one instant, and a table would hold several rows for one time. They become
    one point: their sum (or what `combine` makes of them, np.maximum for a
    base peak trace). Times come out in increasing order."""
    unique, owners = np.unique(times, return_inverse=True)
    if len(unique) == len(times):
        return times, values
    combined = np.zeros(len(unique), dtype=np.float64)
    combine.at(combined, owners.ravel(), values)
    return unique, combined

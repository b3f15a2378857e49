"""A Run in the data structures of other mass-spectrometry libraries.

Each adapter imports its library when called, so kelvara_tools itself needs
none of them: pandas (one row per spectrum, or one per point), pyOpenMS (an
MSExperiment with the spectra and the chromatograms) and matchms (a list of
Spectrum objects). Values pass unchanged; the only rearrangement is that a
spectrum whose points are not in ascending m/z is handed over sorted, as
both pyOpenMS's algorithms and matchms expect.
"""

from __future__ import annotations

import importlib
import math
from typing import TYPE_CHECKING, Any

import numpy as np

from ._summary import is_profile

if TYPE_CHECKING:
    from ._run import Run


def _library(module: str, extra: str, purpose: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError as error:
        raise ImportError(f"{purpose} needs {module}: pip install 'kelvara[{extra}]'") from error


def _precursors(run: Run) -> np.ndarray | None:
    """Each spectrum's precursor m/z, NaN where unknown; None when the run records none."""
    values = getattr(run, "precursor_mz", None)
    if values is None:
        return None
    return np.asarray(values, dtype=np.float64)


def _known(precursors: np.ndarray | None, position: int) -> float | None:
    if precursors is None:
        return None
    value = float(precursors[position])
    return value if math.isfinite(value) else None


def _ascending(mz: np.ndarray, intensity: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The points in ascending m/z; points of equal m/z keep their stored order."""
    if len(mz) > 1 and np.any(mz[1:] < mz[:-1]):
        order = np.argsort(mz, kind="stable")
        return mz[order], intensity[order]
    return mz, intensity


# -- pandas ---------------------------------------------------------------------


def to_pandas(run: Run, shape: str):
    if shape not in ("spectra", "peaks"):
        raise ValueError(f'shape must be "spectra" or "peaks", not {shape!r}')
    pd = _library("pandas", "pandas", "Run.to_pandas()")
    if shape == "spectra":
        _library("pyarrow", "pandas", "Run.to_pandas()")
        # The spectra table's summary columns (points, TIC, base peak, with
        # a missing base peak as NaN), indexed by spectrum.
        frame = run.spectra_table().to_pandas()
        return frame.set_index("index").rename_axis("spectrum_index")
    counts = np.diff(run.offsets)
    columns = {
        "spectrum_index": np.repeat(np.arange(len(run), dtype=np.int64), counts),
        "retention_time_sec": np.repeat(run.retention_time_sec, counts),
        "ms_level": np.repeat(run.ms_level, counts),
        # pandas writes into the arrays a frame holds, even under
        # copy-on-write once nothing else refers to them: the frame gets its
        # own copies of the run's read-only columns.
        "mz": np.array(run.mz),
        "intensity": np.array(run.intensity),
    }
    return pd.DataFrame(columns, copy=False)


# -- pyOpenMS -------------------------------------------------------------------


def _openms_chromatogram(oms, native_id: str, kind, chromatogram) -> Any:
    trace = oms.MSChromatogram()
    trace.setNativeID(native_id)
    trace.setChromatogramType(kind)
    trace.set_peaks((np.array(chromatogram.retention_time_sec, dtype=np.float64),
                     np.array(chromatogram.intensity, dtype=np.float32)))
    return trace


def to_pyopenms(run: Run):
    oms = _library("pyopenms", "pyopenms", "Run.to_pyopenms()")
    settings = oms.SpectrumSettings.SpectrumType
    kind = settings.PROFILE if is_profile(run.layout) else settings.CENTROID
    precursors = _precursors(run)
    experiment = oms.MSExperiment()
    for spectrum in run:
        converted = oms.MSSpectrum()
        converted.setNativeID(f"index={spectrum.index}")
        converted.setRT(spectrum.retention_time_sec)
        converted.setMSLevel(spectrum.ms_level)
        converted.setType(kind)
        # pyOpenMS takes the values in through writable buffers: copies.
        mz, intensity = _ascending(spectrum.mz, spectrum.intensity)
        converted.set_peaks((np.array(mz), np.array(intensity)))
        precursor_mz = _known(precursors, spectrum.index)
        if precursor_mz is not None:
            precursor = oms.Precursor()
            precursor.setMZ(precursor_mz)
            converted.setPrecursors([precursor])
        experiment.addSpectrum(converted)

    types = oms.ChromatogramSettings.ChromatogramType
    # As in the mzML output: the total ion current of the MS1 spectra.
    experiment.addChromatogram(_openms_chromatogram(oms, "TIC", types.TOTAL_ION_CURRENT_CHROMATOGRAM, run.tic()))
    srm = getattr(run, "srm", None)
    for transition in (srm() if callable(srm) else ()):
        q1, q3 = transition.precursor_mz, transition.product_mz
        trace = _openms_chromatogram(oms, f"SRM SIC {q1:g},{q3:g}",
                                     types.SELECTED_REACTION_MONITORING_CHROMATOGRAM, transition)
        precursor, product = oms.Precursor(), oms.Product()
        precursor.setMZ(float(q1))
        product.setMZ(float(q3))
        trace.setPrecursor(precursor)
        trace.setProduct(product)
        experiment.addChromatogram(trace)
    return experiment


# -- matchms --------------------------------------------------------------------


def to_matchms(run: Run) -> list:
    matchms = _library("matchms", "matchms", "Run.to_matchms()")
    precursors = _precursors(run)
    spectra = []
    for spectrum in run:
        mz, intensity = _ascending(spectrum.mz, spectrum.intensity)
        metadata = {
            "spectrum_index": spectrum.index,
            "retention_time": spectrum.retention_time_sec,
            "ms_level": spectrum.ms_level,
        }
        precursor_mz = _known(precursors, spectrum.index)
        if precursor_mz is not None:
            metadata["precursor_mz"] = precursor_mz
        # matchms keeps the arrays it is given and its numeric code works in
        # float64: copies, widened (exactly) from the run's float32 intensities.
        # The metadata already has matchms's own keys and types; its
        # harmonisation would only log a warning for every spectrum without
        # a precursor (every MS1 scan).
        spectra.append(matchms.Spectrum(mz=np.array(mz, dtype=np.float64),
                                        intensities=np.array(intensity, dtype=np.float64), metadata=metadata,
                                        metadata_harmonization=False))
    return spectra

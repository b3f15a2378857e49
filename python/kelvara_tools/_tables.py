"""Arrow tables and Parquet files from a Run.

Two shapes. One row per spectrum with list columns (to_arrow): each list
column is the run's offsets over its flat values, so the table shares the
run's memory. One row per point (peaks_table) beside one row per spectrum
with summary values (spectra_table): the point layout of the mzPeak draft,
with one row per point of the SRM chromatograms (chromatograms_table) for a
run with MRM transitions. Every table numbers spectra by their position in
the source run, so a table of a filtered run keeps the source's numbers.
Parquet files are written under a temporary name in the target folder and
renamed onto the final name once complete.
"""

from __future__ import annotations

import os
import secrets

import numpy as np

# Lists with 32-bit offsets hold at most this many values in all.
_LIST_LIMIT = 2**31 - 1

_REPRESENTATION = ("centroid", "profile")


def _pyarrow():
    try:
        import pyarrow
        import pyarrow.parquet  # noqa: F401
    except ImportError as error:
        raise ImportError(
            "kelvara_tools needs pyarrow for Arrow tables and Parquet files: pip install kelvara[arrow]"
        ) from error
    return pyarrow


def _list_column(pa, offsets: np.ndarray, values: np.ndarray):
    flat = pa.array(values)  # numeric numpy arrays become Arrow arrays without a copy
    if len(values) <= _LIST_LIMIT:
        return pa.ListArray.from_arrays(pa.array(offsets.astype(np.int32)), flat)
    return pa.LargeListArray.from_arrays(pa.array(offsets), flat)


def _index(run, index):
    """Each spectrum's number: its position, or the positions in the source
    run that `index` gives for a run filtered from it."""
    return np.arange(len(run), dtype=np.int64) if index is None else np.asarray(index, dtype=np.int64)


def _precursors(pa, run):
    # Unknown precursors (every spectrum but an MRM transition) are null.
    return pa.array(run.precursor_mz, mask=np.isnan(run.precursor_mz))


def run_to_arrow(run, index=None):
    pa = _pyarrow()
    return pa.table(
        {
            "index": pa.array(_index(run, index)),
            "retention_time_sec": pa.array(run.retention_time_sec),
            "ms_level": pa.array(run.ms_level),
            "precursor_mz": _precursors(pa, run),
            "mz": _list_column(pa, run.offsets, run.mz),
            "intensity": _list_column(pa, run.offsets, run.intensity),
        }
    )


def peaks_table(run, index=None):
    pa = _pyarrow()
    counts = np.diff(run.offsets)
    return pa.table(
        {
            "spectrum_index": pa.array(np.repeat(_index(run, index), counts)),
            "mz": pa.array(run.mz),
            "intensity": pa.array(run.intensity),
        }
    )


def _representation(run) -> np.ndarray:
    """Per spectrum, 0 for centroid and 1 for profile.

    TTFL scans are sampled on the channel axis: profile. QTOF scans are
    centroids; single-quadrupole and GC-MS full scans store one point per
    resolved m/z, and MRM transitions one value each: centroid.
    """
    code = 1 if run.layout == "ttfl_profile" else 0
    return np.full(len(run), code, dtype=np.int8)


def _base_peaks(run):
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


def spectra_table(run, index=None):
    pa = _pyarrow()
    base_mz, base_intensity, empty = _base_peaks(run)
    tic = run.tic(ms_level=None).intensity
    return pa.table(
        {
            "index": pa.array(_index(run, index)),
            "retention_time_sec": pa.array(run.retention_time_sec),
            "ms_level": pa.array(run.ms_level),
            "precursor_mz": _precursors(pa, run),
            "representation": pa.DictionaryArray.from_arrays(
                pa.array(_representation(run)), pa.array(_REPRESENTATION)
            ),
            "points": pa.array(np.diff(run.offsets)),
            "tic": pa.array(tic),
            # A spectrum without points has no base peak: null.
            "base_peak_mz": pa.array(base_mz, mask=empty),
            "base_peak_intensity": pa.array(base_intensity, mask=empty),
        }
    )


def chromatograms_table(run, index=None):
    """One row per point of the SRM chromatograms (Run.srm()): the
    chromatogram's number, its transition, the retention time, the intensity
    and the spectrum the point was read from."""
    from ._run import _transitions

    pa = _pyarrow()
    spectra, group, precursor, product = _transitions(run)
    order = np.argsort(group, kind="stable")
    spectra, group = spectra[order], group[order]
    return pa.table(
        {
            "chromatogram_index": pa.array(group.astype(np.int64)),
            "precursor_mz": pa.array(precursor[group]),
            "product_mz": pa.array(product[group]),
            "retention_time_sec": pa.array(run.retention_time_sec[spectra]),
            "intensity": pa.array(run.intensity[run.offsets[spectra]]),
            "spectrum_index": pa.array(_index(run, index)[spectra]),
        }
    )


def _float_columns(table) -> list[str]:
    """Names of the float columns, lists of floats included, as the Parquet
    writer addresses them."""
    pa = _pyarrow()
    names = []
    for field in table.schema:
        kind = field.type
        if pa.types.is_list(kind) or pa.types.is_large_list(kind):
            if pa.types.is_floating(kind.value_type):
                names.append(f"{field.name}.list.element")
        elif pa.types.is_floating(kind):
            names.append(field.name)
    return names


def _write_table(table, path: str, compression: str) -> None:
    """Write one Parquet file whole or not at all: floats byte-stream-split
    (their bytes compress far better grouped by position), a page index for
    readers that skip pages, under a temporary name renamed when complete."""
    pq = _pyarrow().parquet
    folder = os.path.dirname(os.path.abspath(path))
    temporary = os.path.join(folder, f".{os.path.basename(path)}.{secrets.token_hex(6)}.tmp")
    floats = _float_columns(table)
    try:
        with open(temporary, "xb") as sink:
            pq.write_table(
                table,
                sink,
                compression=compression,
                use_dictionary=[f.name for f in table.schema if f.name not in floats],
                column_encoding={name: "BYTE_STREAM_SPLIT" for name in floats},
                write_page_index=True,
            )
            sink.flush()
            os.fsync(sink.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise


def write_parquet(run, path, shape: str, compression: str) -> None:
    path = os.fsdecode(os.fspath(path))
    if shape == "spectra":
        _write_table(run_to_arrow(run), path, compression)
    elif shape == "peaks":
        os.makedirs(path, exist_ok=True)
        _write_table(peaks_table(run), os.path.join(path, "peaks.parquet"), compression)
        _write_table(spectra_table(run), os.path.join(path, "spectra.parquet"), compression)
        _write_chromatograms(chromatograms_table(run), path, compression)
    else:
        raise ValueError(f'shape must be "spectra" or "peaks", not {shape!r}')


def _write_chromatograms(table, folder: str, compression: str) -> bool:
    """chromatograms.parquet beside the point tables when the run has MRM
    transitions; a run without any gets no such file (and one left from an
    earlier output in the folder is removed). Returns whether it was written."""
    path = os.path.join(folder, "chromatograms.parquet")
    if table.num_rows == 0:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass
        return False
    _write_table(table, path, compression)
    return True

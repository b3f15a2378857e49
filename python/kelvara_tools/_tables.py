"""Arrow tables and Parquet files from a Run.

Two shapes. One row per spectrum with list columns (to_arrow): each list
column is the run's offsets over its flat values, so the table shares the
run's memory. One row per point (peaks_table) beside one row per spectrum
with summary values (spectra_table): the point layout of the mzPeak draft,
with one row per point of the SRM chromatograms (chromatograms_table) for a
run with MRM transitions. Every table numbers spectra by their position in
the source run, so a table of a filtered run keeps the source's numbers.
A Parquet output, one file or the folder of its tables, is written under a
temporary name in the target folder and renamed onto the final name once
complete.
"""

from __future__ import annotations

import os

import numpy as np

from ._atomic import atomic_output
from ._errors import missing_extra
from ._summary import REPRESENTATIONS, base_peaks, representation

# Lists with 32-bit offsets hold at most this many values in all.
_LIST_LIMIT = 2**31 - 1

def _pyarrow():
    try:
        import pyarrow
        import pyarrow.parquet  # noqa: F401
    except ImportError as error:
        raise missing_extra("Arrow tables and Parquet files", "arrow") from error
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


def spectra_table(run, index=None):
    pa = _pyarrow()
    base_mz, base_intensity, empty = base_peaks(run)
    tic = run.tic(ms_level=None).intensity
    return pa.table(
        {
            "index": pa.array(_index(run, index)),
            "retention_time_sec": pa.array(run.retention_time_sec),
            "ms_level": pa.array(run.ms_level),
            "precursor_mz": _precursors(pa, run),
            "representation": pa.DictionaryArray.from_arrays(
                pa.array(representation(run)), pa.array(REPRESENTATIONS)
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
    """Write one Parquet file: floats byte-stream-split (their bytes compress
    far better grouped by position), a page index for readers that skip pages."""
    pq = _pyarrow().parquet
    floats = _float_columns(table)
    with open(path, "xb") as sink:
        pq.write_table(
            table,
            sink,
            compression=compression,
            use_dictionary=[f.name for f in table.schema if f.name not in floats],
            column_encoding={name: "BYTE_STREAM_SPLIT" for name in floats},
            write_page_index=True,
        )


# Recorded in spectra.parquet of a folder output: whether the folder holds
# chromatograms.parquet, so that an output that lost it is not taken as whole.
CHROMATOGRAMS_KEY = b"kelvara.chromatograms"


def write_parquet(run, path, shape: str, compression: str, metadata: dict[bytes, bytes] | None = None,
                  index: np.ndarray | None = None) -> int:
    """One file (shape "spectra") or a folder of peaks.parquet and
    spectra.parquet, with chromatograms.parquet when the run has MRM
    transitions (shape "peaks"), whole or not at all; `metadata` is added to
    each file's schema metadata, and `index` numbers the spectra (their
    positions in the source run; by default 0 to n - 1). Returns the bytes
    written."""
    if shape not in ("spectra", "peaks"):
        raise ValueError(f'shape must be "spectra" or "peaks", not {shape!r}')
    path = os.fsdecode(os.fspath(path))

    def stamped(table, more=None):
        added = {**(metadata or {}), **(more or {})}
        return table.replace_schema_metadata({**(table.schema.metadata or {}), **added}) if added else table

    if shape == "spectra":
        with atomic_output(path) as temporary:
            _write_table(stamped(run_to_arrow(run, index)), temporary, compression)
            return os.path.getsize(temporary)
    # A run without MRM transitions writes no chromatograms.parquet, but may
    # replace the output of one that had them.
    with atomic_output(path, folder=True, may_hold=frozenset({"chromatograms.parquet"})) as temporary:
        chromatograms = chromatograms_table(run, index)
        has = b"1" if chromatograms.num_rows else b"0"
        files = {"peaks.parquet": stamped(peaks_table(run, index)),
                 "spectra.parquet": stamped(spectra_table(run, index), {CHROMATOGRAMS_KEY: has})}
        if chromatograms.num_rows:
            files["chromatograms.parquet"] = stamped(chromatograms)
        for name, table in files.items():
            _write_table(table, os.path.join(temporary, name), compression)
        return sum(os.path.getsize(os.path.join(temporary, name)) for name in files)

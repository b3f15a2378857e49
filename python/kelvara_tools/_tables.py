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

Outputs are written batch by batch (write_batches), one ParquetWriter per
file and a row group per batch or so, so converting a file (stream_parquet,
over iter_batches) holds about one batch however large the file; a Run in
memory is written as a single batch. Only what spans the run waits for its
end: the MRM transitions, one point each, for chromatograms.parquet.
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


def _float_columns(schema) -> list[str]:
    """Names of the float columns, lists of floats included, as the Parquet
    writer addresses them."""
    pa = _pyarrow()
    names = []
    for field in schema:
        kind = field.type
        if pa.types.is_list(kind) or pa.types.is_large_list(kind):
            if pa.types.is_floating(kind.value_type):
                names.append(f"{field.name}.list.element")
        elif pa.types.is_floating(kind):
            names.append(field.name)
    return names


def _writer_options(schema, compression: str) -> dict:
    """Floats byte-stream-split (their bytes compress far better grouped by
    position), a page index for readers that skip pages."""
    floats = _float_columns(schema)
    return dict(
        compression=compression,
        use_dictionary=[f.name for f in schema if f.name not in floats],
        column_encoding={name: "BYTE_STREAM_SPLIT" for name in floats},
        write_page_index=True,
    )


def _write_table(table, path: str, compression: str) -> None:
    """Write one Parquet file from a table in memory."""
    pq = _pyarrow().parquet
    with open(path, "xb") as sink:
        pq.write_table(table, sink, **_writer_options(table.schema, compression))


# Recorded in spectra.parquet of a folder output: whether the folder holds
# chromatograms.parquet, so that an output that lost it is not taken as whole.
CHROMATOGRAMS_KEY = b"kelvara.chromatograms"

# Points per batch when a file is converted batch by batch: about 20 MB of
# columns and point numbers, and a row group of peaks.parquet of a million
# rows, pyarrow's own default length.
BATCH_POINTS = 1 << 20

# Rows of a per-spectrum table gathered before they go out as one row group:
# a batch holds a few hundred to a few thousand spectra, too few for a row
# group worth reading on its own.
_SPECTRUM_ROWS = 1 << 16


def _no_spectra():
    from ._run import LAYOUTS, Run

    empty = np.zeros(0)
    return Run("", LAYOUTS[0], empty, empty.astype(np.float32), np.zeros(1, np.int64), empty.astype(np.uint8), empty)


class _TableFile:
    """One Parquet file written row group by row group as tables arrive.

    Tables of fewer than `rows` rows are gathered into one row group. The
    writer opens with the first row group, its schema that table's plus
    `metadata`; a file that gets no rows holds the schema of `empty()`.
    """

    def __init__(self, path: str, compression: str, metadata: dict[bytes, bytes], empty, rows: int = 0) -> None:
        self.path, self.compression, self.metadata, self.empty, self.rows = path, compression, metadata, empty, rows
        self.sink = self.writer = None
        self.pending: list = []
        self.pending_rows = 0

    def add(self, table) -> None:
        self.pending.append(table)
        self.pending_rows += table.num_rows
        if self.pending_rows >= self.rows:
            self.flush()

    def flush(self) -> None:
        if not self.pending:
            return
        pa = _pyarrow()
        table = self.pending[0] if len(self.pending) == 1 else pa.concat_tables(self.pending)
        self.pending, self.pending_rows = [], 0
        self.write(table)

    def write(self, table) -> None:
        if self.writer is None:
            schema = table.schema
            self.sink = open(self.path, "xb")
            self.writer = _pyarrow().parquet.ParquetWriter(
                self.sink, schema.with_metadata({**(schema.metadata or {}), **self.metadata}),
                **_writer_options(schema, self.compression))
        self.writer.write_table(table)

    def close(self) -> None:
        self.flush()
        if self.writer is None:
            self.write(self.empty())
        self.writer.close()
        self.sink.close()

    def abandon(self) -> None:
        """Close after a failure; the file is removed with its temporary name."""
        try:
            if self.writer is not None and self.writer.is_open:
                self.writer.close()
        except Exception:
            pass  # the error on its way to the caller says what went wrong
        if self.sink is not None:
            self.sink.close()


class _ParquetOutput:
    """The files of one Parquet output, fed a run's spectra batch by batch.

    Shape "spectra" is one file of one row per spectrum with list columns.
    Shape "peaks" writes peaks.parquet and spectra.parquet as the batches
    pass, and keeps the MRM transitions (one point each) for
    chromatograms.parquet, which needs them all: its rows are grouped by
    transition, numbered by first appearance over the whole run.
    """

    def __init__(self, path: str, shape: str, compression: str, metadata: dict[bytes, bytes]) -> None:
        self.path, self.compression, self.metadata = path, compression, metadata
        self.transitions: list = []
        if shape == "spectra":
            self.files = {"": _TableFile(path, compression, metadata, lambda: run_to_arrow(_no_spectra()))}
            return
        self.files = {
            "peaks.parquet": _TableFile(os.path.join(path, "peaks.parquet"), compression, metadata,
                                        lambda: peaks_table(_no_spectra())),
            # Written as if the run had no transitions; see close().
            "spectra.parquet": _TableFile(os.path.join(path, "spectra.parquet"), compression,
                                          {**metadata, CHROMATOGRAMS_KEY: b"0"},
                                          lambda: spectra_table(_no_spectra()), _SPECTRUM_ROWS),
        }

    def add(self, run, index: np.ndarray) -> None:
        if "" in self.files:
            self.files[""].add(run_to_arrow(run, index))
            return
        from ._run import _transitions

        self.files["peaks.parquet"].add(peaks_table(run, index))
        self.files["spectra.parquet"].add(spectra_table(run, index))
        spectra = _transitions(run)[0]
        if len(spectra):
            self.transitions.append((run[spectra], index[spectra]))

    def close(self) -> list[str]:
        """Complete every file; returns their paths."""
        if self.transitions:
            self._note_transitions(self.files["spectra.parquet"])
        for table_file in self.files.values():
            table_file.close()
        paths = [f.path for f in self.files.values()]
        if self.transitions:
            chromatograms = os.path.join(self.path, "chromatograms.parquet")
            _write_table(chromatograms_table(*self._joined_transitions()).replace_schema_metadata(self.metadata),
                         chromatograms, self.compression)
            paths.append(chromatograms)
        return paths

    def abandon(self) -> None:
        for table_file in self.files.values():
            table_file.abandon()

    def _note_transitions(self, spectra) -> None:
        """Record in spectra.parquet that the folder holds chromatograms.parquet.
        Row groups already written carry the first stamp in the file's footer:
        they are copied, one at a time, into a file stamped anew."""
        spectra.metadata = {**spectra.metadata, CHROMATOGRAMS_KEY: b"1"}
        if spectra.writer is None:
            return
        spectra.flush()
        spectra.writer.close()
        spectra.sink.close()
        first = spectra.path + ".first"
        os.rename(spectra.path, first)
        spectra.sink = spectra.writer = None
        with open(first, "rb") as stream:
            source = _pyarrow().parquet.ParquetFile(stream)
            for group in range(source.num_row_groups):
                spectra.write(source.read_row_group(group))
        os.unlink(first)

    def _joined_transitions(self):
        """The transitions of every batch as one run of one-point spectra, and
        their numbers: chromatograms_table of it is that of the whole run."""
        from ._run import Run

        runs = [run for run, _ in self.transitions]
        joined = Run(runs[0].name, runs[0].layout,
                     *(np.concatenate([getattr(r, c) for r in runs]) for c in ("mz", "intensity")),
                     np.arange(sum(len(r) for r in runs) + 1, dtype=np.int64),
                     *(np.concatenate([getattr(r, c) for r in runs])
                       for c in ("ms_level", "retention_time_sec", "precursor_mz")))
        return joined, np.concatenate([index for _, index in self.transitions])


def write_batches(batches, path, shape: str, compression: str, metadata: dict[bytes, bytes] | None = None,
                  filters=None) -> tuple[int, int, int]:
    """Write Parquet from `batches`, (run, index) pairs in run order, where
    index numbers the run's spectra (None: from 0, for a whole run). One
    file (shape "spectra") or a folder of peaks.parquet and spectra.parquet,
    with chromatograms.parquet when the run has MRM transitions (shape
    "peaks"), whole or not at all; `metadata` is added to each file's schema
    metadata and `filters` (a Filters) applied to each batch. Returns the
    bytes written, and the spectra and points read."""
    if shape not in ("spectra", "peaks"):
        raise ValueError(f'shape must be "spectra" or "peaks", not {shape!r}')
    path = os.fsdecode(os.fspath(path))
    spectra = points = 0
    if shape == "spectra":
        place = atomic_output(path)
    else:
        # A run without MRM transitions writes no chromatograms.parquet, but
        # may replace the output of one that had them.
        place = atomic_output(path, folder=True, may_hold=frozenset({"chromatograms.parquet"}))
    with place as temporary:
        output = _ParquetOutput(temporary, shape, compression, dict(metadata or {}))
        try:
            for run, index in batches:
                spectra, points = spectra + len(run), points + len(run.mz)
                index = _index(run, index)
                if filters:
                    run, kept = filters.apply(run)
                    index = index[kept]
                if len(run):
                    output.add(run, index)
            written = output.close()
        except BaseException:
            output.abandon()
            raise
        return sum(os.path.getsize(name) for name in written), spectra, points


def write_parquet(run, path, shape: str, compression: str, metadata: dict[bytes, bytes] | None = None,
                  index: np.ndarray | None = None) -> int:
    """Write a run in memory as Parquet, as write_batches does for a run in
    batches; `index` numbers the spectra (their positions in a source run;
    by default 0 to n - 1). Returns the bytes written."""
    return write_batches([(run, index)], path, shape, compression, metadata)[0]


def stream_parquet(source, path, shape: str, compression: str, metadata: dict[bytes, bytes] | None = None,
                   filters=None, max_points: int | None = None) -> tuple[int, int, int]:
    """Convert a data file to Parquet batch by batch, in memory near one
    batch of `max_points` points (BATCH_POINTS by default) whatever the
    file's size: write_batches over iter_batches. Errors are read_run's,
    and leave no output behind."""
    from ._batches import iter_batches

    batches = iter_batches(source, BATCH_POINTS if max_points is None else max_points)
    return write_batches(((batch, batch.index) for batch in batches), path, shape,
                         compression, metadata, filters)

"""Whole runs of kelvara's data files as numpy arrays, chromatograms and Arrow tables.

    from kelvara_tools import read_run
    run = read_run("samples/gcms_ei_run.qgd")
    run.mz, run.intensity, run.offsets          # flat, read-only columns
    rt, tic = run.tic()                          # total ion current
    for batch in iter_batches(path): ...         # a run in bounded memory, batch by batch
    run.to_parquet("run.parquet")                # needs pip install kelvara[arrow]

read_run opens and decodes a file with the interpreter lock released; its
Run holds every point of every spectrum in flat columns, with exactly the
values kelvara.RawReader gives, spectrum for spectrum.
"""

from ._batches import RunBatch, iter_batches
from ._run import Chromatogram, FormatError, Run, Spectrum, SrmChromatogram, read_run
from .convert import BatchReport, FileReport, convert_file, convert_many

__all__ = ["BatchReport", "Chromatogram", "FileReport", "FormatError", "Run", "RunBatch", "Spectrum",
           "SrmChromatogram", "convert_file", "convert_many", "iter_batches", "read_run"]

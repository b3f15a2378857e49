"""A streamed conversion without filters writes the mzML header right the
first time: before the first batch, the walk counts from the index and the
scans' headers (GC-MS MRM scans say there how many transitions they hold)
the spectra it will give and their kinds, so the spectra count and content
terms in the header, and the total that progress reports, are the final
ones from the start and the document is never written twice.

Scans whose byte range the walk drops count nothing; an LC-MS scan in range
that then fails to decode was foreseen as its one spectrum, so there the
old fallback (the document made again with the right header) still runs,
and the bytes are still those of the whole run written at once.
"""

from __future__ import annotations

import pytest
from kelvara_tools import mzml, read_run
from kelvara_tools.mzml import stream_mzml, write_mzml

import gcms_encoders as gc
from test_batches import large_run_files, run_files  # noqa: F401  (fixtures)
from test_threads import gc_write


def _stream(path, out, monkeypatch, **options):
    """stream_mzml's result, its progress calls and the times it had to
    write the document again."""
    calls, rewrites = [], []
    real = mzml._rewrite
    monkeypatch.setattr(mzml, "_rewrite", lambda *args: rewrites.append(args[0]) or real(*args))
    written = stream_mzml(path, out, max_points=300, progress=lambda done, total: calls.append((done, total)),
                          **options)
    return written, calls, rewrites


def _assert_foreseen(path, tmp_path, monkeypatch, unforeseen):
    run = read_run(path)
    for srm_as_spectra in (False, True):
        whole, streamed = tmp_path / "whole.mzML", tmp_path / "streamed.mzML"
        write_mzml(run, whole, source=path, compression="none", srm_as_spectra=srm_as_spectra)
        written, calls, rewrites = _stream(path, streamed, monkeypatch, compression="none",
                                           srm_as_spectra=srm_as_spectra)
        assert streamed.read_bytes() == whole.read_bytes(), (path, srm_as_spectra)
        # Every call reports the same total: the count written, plus the
        # scans that were foreseen but failed to decode.
        assert {total for _, total in calls} == {written.spectra_written + unforeseen}, (path, srm_as_spectra)
        assert len(rewrites) == (1 if unforeseen else 0), (path, srm_as_spectra)


@pytest.mark.timeout(600)
def test_the_header_is_right_the_first_time_on_every_layout(run_files, large_run_files, tmp_path,  # noqa: F811
                                                             monkeypatch):
    # The samples hold no bad scan; the thread-test files mix in scans that
    # are dropped: GC-MS ones too short or of no layout (their headers tell),
    # LC-MS ones that only their decoding finds wrong. The large files read
    # the scan data in many windows, or whole when the index revisits it.
    for path in [*run_files.values(), *large_run_files.values()]:
        run = read_run(path)
        _assert_foreseen(path, tmp_path, monkeypatch, 0 if run.layout == "gcms" else len(run.dropped))


def test_gcms_scans_out_of_range_and_kinds_met_late(tmp_path, monkeypatch):
    # The first scans are all MRM, so the first batches hold no spectrum
    # once the transitions leave as chromatograms, and MS1 spectra come
    # later; the index also points backwards, past the end of the scan data
    # and at empty ranges, which the walk drops.
    run = gc.realistic_run(n_scans=200, scan_ms=100, mrm_every=9, seed=5)
    mrm = [gc.mrm_record(1000 + k, [(1940 + k, 1090, 500 + k), (1780, 1520 - k, 70)], width=7) for k in range(150)]
    data, offsets = gc.concat(mrm + run.records)
    index = offsets[:100] + [offsets[101], offsets[100]] + offsets[102:] + [offsets[5], offsets[5], len(data) + 64]
    path = tmp_path / "late.qgd"
    gc_write(path, {gc.GCMS_INDEX: gc.index_a(index), gc.GCMS_DATA: data})
    dropped = read_run(path).dropped
    assert len(dropped) == 7 and {position for position, _ in dropped} >= {99, 100, 101, len(index) - 1}
    _assert_foreseen(str(path), tmp_path, monkeypatch, 0)

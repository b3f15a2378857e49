"""Run.to_pandas, Run.to_pyopenms and Run.to_matchms, each checked with the library itself."""

from __future__ import annotations

import os
import sys

import numpy as np
import pytest

from kelvara_tools import Chromatogram, Run, read_run

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
QTOF = read_run(os.path.join(ROOT, "samples", "lcms_qtof_centroid.lcd"))
TTFL = read_run(os.path.join(ROOT, "samples", "lcms_ttfl_profile.lcd"))


class WithTransitions(Run):
    """A run with SRM transitions, as runs of the layouts that record them have."""

    __slots__ = ()

    def srm(self) -> list[Chromatogram]:
        rt = self.retention_time_sec[self.ms_level == 2]
        return [Chromatogram(rt, np.full(len(rt), 5.0), precursor_mz=194.1, product_mz=109.0),
                Chromatogram(rt, np.full(len(rt), 7.5), precursor_mz=178.0, product_mz=152.0)]


class WithPrecursors(WithTransitions):
    """For a Run without its own precursor_mz column: the same values as a property."""

    __slots__ = ()

    @property
    def precursor_mz(self) -> np.ndarray:
        return np.array([np.nan, 195.0, 196.0])


def out_of_order() -> Run:
    """Three spectra: m/z out of order with a repeated value, empty, in order;
    precursors known for the two MS2 spectra."""
    mz = np.array([300.5, 100.25, 200.0, 100.25, 50.0, 60.0])
    columns = ("mixed.lcd", "qtof_centroid", mz, np.arange(1, 7, dtype=np.float32),
               np.array([0, 4, 4, 6], np.int64), np.array([1, 2, 2], np.uint8), np.array([60.0, 60.5, 61.0]))
    if "precursor_mz" in Run.__slots__:
        return WithTransitions(*columns, precursor_mz=np.array([np.nan, 195.0, 196.0]))
    return WithPrecursors(*columns)


@pytest.mark.parametrize(
    "method, module, extra",
    [("to_pandas", "pandas", "pandas"), ("to_pyopenms", "pyopenms", "pyopenms"), ("to_matchms", "matchms", "matchms")],
)
def test_a_missing_library_names_its_extra(monkeypatch, method, module, extra):
    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(ImportError, match=f"needs {module}: pip install 'kelvara\\[{extra}\\]'"):
        getattr(QTOF, method)()


# --- pandas --------------------------------------------------------------------


def test_pandas_spectra_frame_has_the_spectra_table_values():
    pytest.importorskip("pandas")
    frame = QTOF.to_pandas()
    table = QTOF.spectra_table().to_pydict()
    assert frame.index.name == "spectrum_index" and frame.index.tolist() == table.pop("index")
    for column, values in table.items():
        # Arrow's nulls are NaN in pandas.
        missing = [value is None for value in values]
        assert frame[column].isna().tolist() == missing, column
        assert frame[column][~np.array(missing, bool)].tolist() == [v for v in values if v is not None], column
    # A spectrum without points has no base peak: NaN in pandas.
    empty = out_of_order().to_pandas()
    assert empty["points"].tolist() == [4, 0, 2] and np.isnan(empty["base_peak_mz"][1])
    assert (empty["base_peak_mz"][0], empty["base_peak_intensity"][0]) == (100.25, 4.0)


def test_pandas_peaks_frame_is_one_row_per_point_and_leaves_the_run_alone():
    pytest.importorskip("pandas")
    run = QTOF[10:20]
    frame = run.to_pandas("peaks")
    assert list(frame.columns) == ["spectrum_index", "retention_time_sec", "ms_level", "mz", "intensity"]
    assert (frame["mz"].dtype, frame["intensity"].dtype) == (np.float64, np.float32)
    assert frame["mz"].tolist() == run.mz.tolist() and frame["intensity"].tolist() == run.intensity.tolist()
    owner = np.searchsorted(run.offsets, np.arange(len(run.mz)), side="right") - 1
    assert frame["spectrum_index"].tolist() == owner.tolist()
    assert frame["retention_time_sec"].tolist() == run.retention_time_sec[owner].tolist()
    assert frame["ms_level"].tolist() == run.ms_level[owner].tolist()
    before = run.intensity.copy()
    frame.loc[0, "intensity"] = -1.0
    assert frame["intensity"][0] == -1.0 and run.intensity.tolist() == before.tolist()
    with pytest.raises(ValueError, match='shape must be "spectra" or "peaks"'):
        run.to_pandas("points")


# --- pyOpenMS ------------------------------------------------------------------


def spectra_of(experiment):
    return [experiment.getSpectrum(i) for i in range(experiment.getNrSpectra())]


@pytest.mark.parametrize("run", [QTOF, TTFL], ids=["centroid", "profile"])
def test_pyopenms_experiment_holds_every_value(run):
    oms = pytest.importorskip("pyopenms", reason="pyopenms has no wheel for this interpreter")
    experiment = run.to_pyopenms()
    kind = oms.SpectrumSettings.SpectrumType.PROFILE if run is TTFL else oms.SpectrumSettings.SpectrumType.CENTROID
    converted = spectra_of(experiment)
    assert len(converted) == len(run)
    for spectrum, want in zip(converted, run):
        mz, intensity = spectrum.get_peaks()
        assert mz.tolist() == want.mz.tolist() and intensity.tolist() == want.intensity.tolist()
        assert (spectrum.getRT(), spectrum.getMSLevel(), spectrum.getType()) == (want.retention_time_sec, want.ms_level, kind)
        assert spectrum.getNativeID() == f"index={want.index}" and spectrum.getPrecursors() == []
    assert experiment.getNrChromatograms() == 1
    tic = experiment.getChromatogram(0)
    assert tic.getChromatogramType() == oms.ChromatogramSettings.ChromatogramType.TOTAL_ION_CURRENT_CHROMATOGRAM
    times, values = tic.get_peaks()
    assert times.tolist() == run.tic().retention_time_sec.tolist()
    assert values.tolist() == run.tic().intensity.astype(np.float32).tolist()


def test_pyopenms_sorts_points_and_carries_precursors_and_srm_chromatograms():
    oms = pytest.importorskip("pyopenms", reason="pyopenms has no wheel for this interpreter")
    run = out_of_order()
    experiment = run.to_pyopenms()
    first, empty, last = spectra_of(experiment)
    assert [p.tolist() for p in first.get_peaks()] == [[100.25, 100.25, 200.0, 300.5], [2.0, 4.0, 3.0, 1.0]]
    assert len(empty.get_peaks()[0]) == 0 and last.get_peaks()[0].tolist() == [50.0, 60.0]
    assert first.getPrecursors() == [] and [p.getMZ() for p in last.getPrecursors()] == [196.0]
    srm = [experiment.getChromatogram(i) for i in range(1, experiment.getNrChromatograms())]
    kind = oms.ChromatogramSettings.ChromatogramType.SELECTED_REACTION_MONITORING_CHROMATOGRAM
    assert [(c.getChromatogramType(), c.getPrecursor().getMZ(), c.getProduct().getMZ()) for c in srm] == [
        (kind, 194.1, 109.0), (kind, 178.0, 152.0)]
    assert srm[1].get_peaks()[0].tolist() == [60.5, 61.0] and srm[1].get_peaks()[1].tolist() == [7.5, 7.5]


# --- matchms -------------------------------------------------------------------


def import_matchms():
    # matchms brings numba, which compiles functions when imported and keeps
    # LLVM's state past interpreter exit: under the sanitizer build (make
    # test-asan) leak detection would report that as this process's leak.
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("matchms's numba keeps LLVM allocations past exit, which leak detection reports")
    return pytest.importorskip("matchms", reason="matchms does not install for this interpreter")


def test_matchms_spectra_hold_values_and_metadata():
    import_matchms()
    ms2 = QTOF[QTOF.ms_level == 2]
    spectra = ms2.to_matchms()
    assert len(spectra) == len(ms2)
    for spectrum, want in zip(spectra, ms2):
        assert spectrum.peaks.mz.tolist() == want.mz.tolist()
        assert spectrum.peaks.intensities.tolist() == want.intensity.tolist()
        assert spectrum.metadata == {"spectrum_index": want.index, "retention_time": want.retention_time_sec,
                                     "ms_level": 2}


def test_matchms_gets_ascending_mz_and_known_precursors_only():
    matchms = import_matchms()
    first, empty, last = out_of_order().to_matchms()
    assert first.peaks.mz.tolist() == [100.25, 100.25, 200.0, 300.5]
    assert first.peaks.intensities.tolist() == [2.0, 4.0, 3.0, 1.0]
    assert len(empty.peaks) == 0 and isinstance(last, matchms.Spectrum)
    assert [s.get("precursor_mz") for s in (first, empty, last)] == [None, 195.0, 196.0]
    # matchms's own processing takes them as they are.
    from matchms.filtering import normalize_intensities

    assert normalize_intensities(first).peaks.intensities.max() == 1.0

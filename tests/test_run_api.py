"""Run selections (run[a:b], run[mask], run[positions]) and the Chromatogram type."""

from __future__ import annotations

import os
import pickle

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from kelvara_tools import Chromatogram, Run, read_run

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GCMS = read_run(os.path.join(ROOT, "samples", "gcms_ei_run.qgd"))


def small_run() -> Run:
    """Seven spectra, two of them empty, MS1 and MS2, times out of order."""
    counts = [3, 0, 2, 4, 0, 1, 2]
    offsets = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
    points = int(offsets[-1])
    return Run("small.lcd", "qtof_centroid", np.arange(points, dtype=np.float64) + 100.5,
               np.arange(points, dtype=np.float32) * 10, offsets,
               np.array([1, 2, 1, 2, 1, 1, 2], np.uint8), np.array([1.0, 1.5, 2.0, 2.5, 2.2, 3.0, 3.5]))


SMALL = small_run()


def assert_holds(selected: Run, run: Run, positions) -> None:
    """selected holds exactly run's spectra at positions, renumbered from 0."""
    positions = list(positions)
    assert (len(selected), selected.name, selected.layout) == (len(positions), run.name, run.layout)
    assert selected.offsets[0] == 0 and selected.offsets[-1] == len(selected.mz) == len(selected.intensity)
    for new, old in enumerate(positions):
        got, want = selected[new], run[old]
        assert got.index == new
        assert got.mz.tolist() == want.mz.tolist() and got.intensity.tolist() == want.intensity.tolist()
        assert (got.ms_level, got.retention_time_sec) == (want.ms_level, want.retention_time_sec)
    for column in ("mz", "intensity", "offsets", "ms_level", "retention_time_sec"):
        assert getattr(selected, column).dtype == getattr(run, column).dtype
        assert not getattr(selected, column).flags.writeable


@given(st.integers(-10, 10) | st.none(), st.integers(-10, 10) | st.none(), st.integers(-4, 4).filter(bool) | st.none())
def test_slices_select_what_python_slicing_selects(start, stop, step):
    assert_holds(SMALL[start:stop:step], SMALL, range(len(SMALL))[start:stop:step])


@given(st.lists(st.booleans(), min_size=7, max_size=7))
def test_masks_and_positions_select_those_spectra(mask):
    chosen = np.array(mask)
    assert_holds(SMALL[chosen], SMALL, np.flatnonzero(chosen))
    assert_holds(SMALL[mask], SMALL, np.flatnonzero(chosen))


def test_integer_positions_may_repeat_reorder_and_count_from_the_end():
    assert_holds(SMALL[[6, 0, -1, 3, 3, 4]], SMALL, [6, 0, 6, 3, 3, 4])
    assert_holds(SMALL[np.array([], np.int64)], SMALL, [])
    assert_holds(SMALL[[]], SMALL, [])
    assert_holds(SMALL[np.array([2, 3, 4], np.uint16)], SMALL, [2, 3, 4])


def test_consecutive_spectra_share_the_run_memory_and_others_are_copies():
    ms2 = GCMS[GCMS.ms_level == 2]
    assert set(ms2.ms_level.tolist()) == {2} and len(ms2) == np.count_nonzero(GCMS.ms_level == 2)
    assert_holds(GCMS[5:900:7], GCMS, range(5, 900, 7))
    positions = np.arange(len(GCMS))
    for consecutive in (GCMS[10:20], GCMS[positions[10:20]], GCMS[(positions >= 10) & (positions < 20)]):
        assert np.shares_memory(consecutive.mz, GCMS.mz) and np.shares_memory(consecutive.intensity, GCMS.intensity)
        assert consecutive.offsets.tolist() == (GCMS.offsets[10:21] - GCMS.offsets[10]).tolist()
    assert not np.shares_memory(GCMS[[10, 12]].mz, GCMS.mz)
    # A pickled selection carries only its own points.
    assert len(pickle.dumps(GCMS[10:12])) < len(pickle.dumps(GCMS)) // 20


@pytest.mark.parametrize(
    "index, error, words",
    [
        (np.ones(6, bool), IndexError, "boolean mask has 6 entries for a run of 7 spectra"),
        ([0, 7], IndexError, "spectrum index 7 out of range for a run of 7 spectra"),
        (np.array([-8]), IndexError, "spectrum index -8 out of range"),
        (np.array([1.0, 2.0]), TypeError, "cannot be indexed by an array of float64"),
        (np.zeros((2, 7), bool), TypeError, "not a 2-d array"),
        ((1, 2), TypeError, "not tuple"),
        (None, TypeError, "not NoneType"),
    ],
)
def test_selections_that_cannot_apply_say_why(index, error, words):
    with pytest.raises(error, match=words):
        SMALL[index]


# --- Chromatogram -------------------------------------------------------------


def test_chromatogram_is_a_pair_with_a_one_line_repr():
    chromatogram = GCMS.tic()
    rt, intensity = chromatogram
    assert rt is chromatogram.retention_time_sec and intensity is chromatogram.intensity
    assert len(chromatogram) == 2 and chromatogram.precursor_mz is None is chromatogram.product_mz
    text = repr(chromatogram)
    assert text == (f"Chromatogram({len(rt)} points, RT {rt.min():.2f}\u2013{rt.max():.2f} s, "
                    f"max {intensity.max():.2e})")
    assert "\n" not in text and len(text) < 80
    assert repr(Chromatogram(np.array([]), np.array([]))) == "Chromatogram(0 points)"
    assert repr(Chromatogram(np.array([61.5]), np.array([250.0]))) == "Chromatogram(1 point, RT 61.50\u201361.50 s, max 250)"
    # NaN neither widens the range nor hides the maximum.
    assert repr(Chromatogram(np.array([1.0, np.nan, 3.0]), np.array([np.nan, 2.0, 1.0]))) == (
        "Chromatogram(3 points, RT 1.00\u20133.00 s, max 2)")


def test_chromatogram_details_stay_beside_the_tuple():
    srm = Chromatogram(np.array([60.0, 61.0]), np.array([1e5, 2e5]), precursor_mz=194.1, product_mz=109.0)
    rt, intensity = srm
    assert repr(srm) == "Chromatogram(SRM 194.1\u2192109, 2 points, RT 60.00\u201361.00 s, max 2.00e+05)"
    for copy in (pickle.loads(pickle.dumps(srm)), srm._replace(intensity=intensity * 2)):
        assert (copy.precursor_mz, copy.product_mz) == (194.1, 109.0)
    assert srm._replace(product_mz=110.0).product_mz == 110.0
    assert Chromatogram._make((rt, intensity)).precursor_mz is None
    with pytest.raises(AttributeError):
        srm.precursor_mz = 1.0
    with pytest.raises(TypeError, match="collision_energy"):
        Chromatogram(rt, intensity, collision_energy=20.0)

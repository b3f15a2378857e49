"""MRM transitions as selected-reaction-monitoring chromatograms: Run.srm(),
the precursor column and chromatograms.parquet, and the mzML chromatograms
(or spectra, with srm_as_spectra) read back by pyOpenMS and pyteomics, on a
run whose transitions share products and precursors."""

from __future__ import annotations

import gzip
import os
import pickle

import numpy as np
import pytest

from gcms_encoders import f32, gcms_entries, mrm_record, profile_record
from kelvara_tools import Chromatogram, convert_file, read_run

# (precursor, product) in tenths and intensity, per MRM scan; (194, 109) and
# (178, 109) share a product, (194, 109) and (194, 74) a precursor, and the
# last scan lists its pairs in another order.
SCANS = [
    (1100, 7, [(1940, 1090, 300), (1780, 1090, 70000), (1940, 740, 5)]),
    (1300, 7, [(1940, 1090, 301), (1780, 1090, 0), (1940, 740, 16_000_000)]),
    (1400, 8, [(2700, 1520, 4_000_000_000)]),
    (1500, 6, [(1940, 740, 6), (1940, 1090, 302)]),
]
# Per pair, in order of first appearance: retention times and intensities.
EXPECTED = [
    (194.0, 109.0, [1.1, 1.3, 1.5], [300, 301, 302]),
    (178.0, 109.0, [1.1, 1.3], [70000, 0]),
    (194.0, 74.0, [1.1, 1.3, 1.5], [5, 16_000_000, 6]),
    (270.0, 152.0, [1.4], [4_000_000_000]),
]
FULL_SCANS = [0, 4]  # the spectra that are not transitions


@pytest.fixture(scope="module")
def srm_file(tmp_path_factory):
    from cfbwriter import write_cfb

    records = [profile_record(1000, [(500, 7), (600, 9)])]
    records += [mrm_record(rt, transitions, width=width) for rt, width, transitions in SCANS[:2]]
    records.insert(2, profile_record(1200, [(412, 65535)]))
    records += [mrm_record(rt, transitions, width=width) for rt, width, transitions in SCANS[2:]]
    path = tmp_path_factory.mktemp("srm") / "srm.qgd"
    write_cfb(str(path), gcms_entries(records))
    return str(path)


def _check_chromatograms(pairs):
    """pairs: (precursor, product, times, intensities) as read back."""
    assert len(pairs) == len(EXPECTED)
    for (p, q, times, values), (want_p, want_q, want_times, want_values) in zip(pairs, EXPECTED):
        assert (p, q) == (want_p, want_q)
        assert list(times) == want_times
        assert list(values) == [f32(v) for v in want_values]


def test_run_srm_and_precursors(srm_file):
    run = read_run(srm_file)
    assert len(run) == 11
    precursors = run.precursor_mz
    assert np.isnan(precursors[FULL_SCANS]).all()
    assert precursors[[1, 2, 3, 8]].tolist() == [194.0, 178.0, 194.0, 270.0]
    chromatograms = run.srm()
    assert all(isinstance(c, Chromatogram) for c in chromatograms)
    _check_chromatograms([(c.precursor_mz, c.product_mz, *c) for c in chromatograms])
    # Unpacks like a TIC, and pickles with its transition.
    times, intensity = chromatograms[0]
    assert times.dtype == intensity.dtype == np.float64
    copy = pickle.loads(pickle.dumps(chromatograms[2]))
    assert (copy.precursor_mz, copy.product_mz, copy.intensity.tolist()) == (194.0, 74.0, [5, 16e6, 6])
    assert "SRM 194\u219274, 3 points" in repr(copy)
    # A pickled run keeps its precursors.
    assert np.array_equal(pickle.loads(pickle.dumps(run)).precursor_mz, precursors, equal_nan=True)


def test_runs_without_transitions_have_no_srm(tmp_path):
    samples = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "samples")
    run = read_run(os.path.join(samples, "lcms_qtof_centroid.lcd"))
    assert run.srm() == [] and np.isnan(run.precursor_mz).all()
    pytest.importorskip("pyarrow")
    report = convert_file(os.path.join(samples, "lcms_qtof_centroid.lcd"), tmp_path, "parquet")
    assert sorted(os.listdir(report.output)) == ["peaks.parquet", "spectra.parquet"]


def test_parquet_precursors_and_chromatograms(srm_file, tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    report = convert_file(srm_file, tmp_path, "parquet")
    assert report.status == "converted", report.error
    spectra = pq.read_table(os.path.join(report.output, "spectra.parquet")).column("precursor_mz").to_pylist()
    assert [spectra[i] for i in FULL_SCANS] == [None, None] and spectra[1] == 194.0
    table = pq.read_table(os.path.join(report.output, "chromatograms.parquet")).to_pydict()
    pairs = []
    for k, (p, q, _, _) in enumerate(EXPECTED):
        rows = [r for r, c in enumerate(table["chromatogram_index"]) if c == k]
        assert {(table["precursor_mz"][r], table["product_mz"][r]) for r in rows} == {(p, q)}
        pairs.append((p, q, [table["retention_time_sec"][r] for r in rows], [table["intensity"][r] for r in rows]))
        # Each point names the transition spectrum it was read from.
        assert all(spectra[table["spectrum_index"][r]] == p for r in rows)
    _check_chromatograms(pairs)
    assert len(spectra) == 11
    # spectra.parquet records that the chromatograms belong to the output:
    # one that lost them is converted again.
    assert convert_file(srm_file, tmp_path, "parquet").status == "skipped"
    os.unlink(os.path.join(report.output, "chromatograms.parquet"))
    assert convert_file(srm_file, tmp_path, "parquet").status == "converted"
    assert "precursor_mz" in read_run(srm_file).to_arrow().column_names


@pytest.fixture(scope="module", params=[{}, {"gzip": True}, {"compress": "none", "numpress": True}])
def srm_mzml(request, srm_file, tmp_path_factory):
    if request.param.get("numpress"):
        pytest.importorskip("pynumpress")
    report = convert_file(srm_file, tmp_path_factory.mktemp("srm-mzml"), "mzml", **request.param)
    assert report.status == "converted", report.error
    return report.output


def test_pyopenms_reads_each_srm_chromatogram(srm_mzml):
    oms = pytest.importorskip("pyopenms", reason="pyopenms has no wheel for this interpreter")
    experiment = oms.MSExperiment()
    oms.MzMLFile().load(srm_mzml, experiment)
    assert [s.getNativeID() for s in experiment.getSpectra()] == [f"index={i}" for i in FULL_SCANS]
    tic, *srm = experiment.getChromatograms()
    assert tic.getChromatogramType() == oms.ChromatogramSettings.ChromatogramType.TOTAL_ION_CURRENT_CHROMATOGRAM
    srm_type = oms.ChromatogramSettings.ChromatogramType.SELECTED_REACTION_MONITORING_CHROMATOGRAM
    assert all(c.getChromatogramType() == srm_type for c in srm)
    _check_chromatograms([(c.getPrecursor().getMZ(), c.getProduct().getMZ(), *c.get_peaks()) for c in srm])


def _open(path):
    return gzip.open(path) if path.endswith(".gz") else open(path, "rb")


def test_pyteomics_reads_the_chromatograms(srm_mzml):
    mzml = pytest.importorskip("pyteomics.mzml")
    with _open(srm_mzml) as f, mzml.MzML(f) as reader:
        pairs = []
        for p, q, _, _ in EXPECTED:
            c = reader.get_by_id(f"SRM SIC Q1={p} Q3={q}")
            assert "selected reaction monitoring chromatogram" in c
            precursor, product = c["precursor"][0], c["product"][0]
            assert "collision-induced dissociation" in precursor["activation"]
            pairs.append((precursor["isolationWindow"]["isolation window target m/z"],
                          product["isolationWindow"]["isolation window target m/z"],
                          c["time array"], c["intensity array"]))
        _check_chromatograms(pairs)
    with _open(srm_mzml) as f:
        head = f.read(4096)
    assert b'accession="MS:1001473" name="selected reaction monitoring chromatogram"' in head.split(b"</fileContent>")[0]


def test_srm_as_spectra_carry_precursor_and_product(srm_file, tmp_path):
    oms = pytest.importorskip("pyopenms", reason="pyopenms has no wheel for this interpreter")
    report = convert_file(srm_file, tmp_path, "mzml", srm_as_spectra=True)
    assert report.status == "converted", report.error
    experiment = oms.MSExperiment()
    oms.MzMLFile().load(report.output, experiment)
    spectra = experiment.getSpectra()
    # Ids are the source positions, as in the default mode.
    assert [s.getNativeID() for s in spectra] == [f"index={i}" for i in range(11)]
    assert experiment.getNrChromatograms() == 1
    got = {}
    for s in spectra:
        if s.getMSLevel() == 2:
            (precursor,), (product,) = s.getPrecursors(), s.getProducts()
            assert precursor.getActivationMethods() == {oms.Precursor.ActivationMethod.CID}
            mz, intensity = s.get_peaks()
            assert mz.tolist() == [product.getMZ()]
            got.setdefault((precursor.getMZ(), product.getMZ()), ([], []))
            got[precursor.getMZ(), product.getMZ()][0].append(s.getRT())
            got[precursor.getMZ(), product.getMZ()][1].append(float(intensity[0]))
        else:
            assert not s.getPrecursors()
    _check_chromatograms([(p, q, *values) for (p, q), values in got.items()])
    text = open(report.output, encoding="utf-8").read()
    assert 'name="SRM spectrum"' in text.split("</fileContent>")[0]
    assert 'name="selected ion m/z" value="270.0"' in text


def test_peaks_folder_of_a_run_with_transitions_is_replaced_by_one_without(srm_file, tmp_path):
    # Converting again with a filter that keeps no transition writes no
    # chromatograms.parquet; the older folder, which had one, is replaced whole.
    out = tmp_path / "out"
    first = convert_file(srm_file, out, "parquet")
    assert first.status == "converted", first.error
    assert os.path.exists(os.path.join(first.output, "chromatograms.parquet"))
    again = convert_file(srm_file, out, "parquet", ms_level=1)
    assert again.status == "converted", again.error
    assert sorted(os.listdir(again.output)) == ["peaks.parquet", "spectra.parquet"]

"""mzML options and filters: every layout and option validates against the
indexed mzML schema and pyOpenMS's semantic rules, MS-Numpress stays within
its documented precision, gzip and 32-bit m/z read back, each filter keeps
exactly the spectra and points it should (in mzML and Parquet), and a
changed option converts again while an unchanged one resumes."""

from __future__ import annotations

import base64
import gzip
import os
import re

import numpy as np
import pytest

from kelvara import RawReader
from kelvara_tools import convert_file, read_run
from kelvara_tools.mzml import read_source_stamp
from test_convert import kelvara
from test_mzml import PSIMS_DATA, SAMPLE_FILES, _vocabulary, etree

GCMS = next(f for f in SAMPLE_FILES if f.endswith(".qgd"))

OPTIONS = {
    "default": {},
    "srm-as-spectra": {"srm_as_spectra": True},
    "numpress": {"numpress": True},
    "numpress-uncompressed": {"numpress": True, "compress": "none"},
    "gzip": {"gzip": True},
    "mz32": {"mz32": True, "compress": "none"},
    "filters": {"ms_level": [1, 2], "rt": (200, 260), "mz": (60, 120), "min_intensity": 500},
    "filters-as-spectra": {"srm_as_spectra": True, "ms_level": 2, "rt": (200, 400)},
}


def _xml(path: str) -> bytes:
    with (gzip.open(path) if path.endswith(".gz") else open(path, "rb")) as f:
        return f.read()


@pytest.fixture(scope="module")
def outputs(tmp_path_factory):
    """Every sample converted with every option set: {(option, sample): output}."""
    results = {}
    for name, options in OPTIONS.items():
        out = tmp_path_factory.mktemp(name)
        for source in SAMPLE_FILES:
            report = convert_file(source, out, "mzml", **options)
            assert report.status == "converted", report.error
            results[name, source] = report.output
    return results


def test_every_option_is_valid_mzml(outputs, tmp_path):
    oms = pytest.importorskip("pyopenms", reason="pyopenms has no wheel for this interpreter")
    schema = etree.XMLSchema(etree.parse(os.path.join(PSIMS_DATA, "validation", "xsd", "mzML1.1.2_idx.xsd")))
    terms = _vocabulary()
    for (name, source), output in outputs.items():
        text = _xml(output)
        assert schema.validate(etree.fromstring(text)), (name, source, schema.error_log)
        for accession, term in set(re.findall(rb'accession="([A-Z]+:\d+)" name="([^"]*)"', text)):
            assert terms.get(accession.decode()) == term.decode(), (name, accession)
        plain = tmp_path / "plain.mzML"
        plain.write_bytes(text)
        errors = _semantic_errors(oms, str(plain))
        # The one rule left unmet asks for a maker-specific source file
        # format term, which the converter never writes.
        assert all("sourceFile" in e and ("MS:1000560" in e or "sourcefile_must" in e) for e in errors), \
            (name, source, errors)


def _semantic_errors(oms, path: str) -> list[str]:
    """The semantic validator's errors: newer pyOpenMS returns them, older
    releases (the newest that installs on CPython 3.10) fill lists passed in."""
    try:
        _, errors, _ = oms.MzMLFile().isSemanticallyValid(path)
    except TypeError:
        errors, warnings = [], []
        oms.MzMLFile().isSemanticallyValid(path, errors, warnings)
    return [e.decode() if isinstance(e, bytes) else e for e in errors]


def _source_spectra(source):
    reader = RawReader(source)
    run = read_run(source)
    return [(i, reader.read_spectrum(i), run.precursor_mz[i]) for i in range(reader.scan_count)]


def test_numpress_matches_the_reference_encoder(outputs):
    """Byte for byte what pynumpress (the reference library's wrapper)
    encodes, array by array; arrays of one m/z stay plain."""
    pynumpress = pytest.importorskip("pynumpress")
    for source in SAMPLE_FILES:
        expected = {f"index={i}": s for i, s, _ in _source_spectra(source)}
        document = etree.fromstring(_xml(outputs["numpress-uncompressed", source]))
        spectra = document.iterfind(".//{http://psi.hupo.org/ms/mzml}spectrum")
        for spectrum in spectra:
            want = expected[spectrum.get("id")]
            (mz, intensity) = [base64.b64decode(b.text or "") for b in
                               spectrum.iterfind(".//{http://psi.hupo.org/ms/mzml}binary")]
            values = np.array(want.intensity, dtype=np.float64)
            if len(values):
                assert intensity == pynumpress.encode_slof(values, pynumpress.optimal_slof_fixed_point(values)).tobytes()
            values = np.array(want.mz, dtype=np.float64)
            if len(values) > 1:
                assert mz == pynumpress.encode_linear(values, pynumpress.optimal_linear_fixed_point(values)).tobytes()
            elif len(values) == 1:
                assert mz == values.tobytes()


def test_numpress_keeps_its_documented_precision(outputs):
    oms = pytest.importorskip("pyopenms", reason="pyopenms has no wheel for this interpreter")
    for name in ("numpress", "numpress-uncompressed"):
        for source in SAMPLE_FILES:
            experiment = oms.MSExperiment()
            oms.MzMLFile().load(outputs[name, source], experiment)
            expected = {f"index={i}": s for i, s, _ in _source_spectra(source)}
            assert experiment.getNrSpectra() > 0
            for got in experiment.getSpectra():
                want = expected[got.getNativeID()]
                mz, intensity = got.get_peaks()
                want_mz = np.array(want.mz, dtype=np.float64)
                want_intensity = np.array(want.intensity, dtype=np.float64)
                # The documented bounds: m/z within 5e-10 of (the array's
                # largest + 1), each intensity x within 1.7e-4 of (x + 1).
                assert np.all(np.abs(mz - want_mz) <= 5e-10 * (want_mz.max(initial=0) + 1)), got.getNativeID()
                assert np.all(np.abs(intensity - want_intensity) <= 1.7e-4 * (want_intensity + 1))


def test_gzip_and_mz32_read_back(outputs):
    mzml = pytest.importorskip("pyteomics.mzml")
    for source in SAMPLE_FILES:
        with mzml.MzML(outputs["default", source], use_index=False) as reader:
            plain = list(reader)
        with gzip.open(outputs["gzip", source]) as f, mzml.MzML(f, use_index=False) as reader:
            zipped = list(reader)
        with mzml.MzML(outputs["mz32", source], use_index=False) as reader:
            narrow = list(reader)
        assert [s["id"] for s in zipped] == [s["id"] for s in narrow] == [s["id"] for s in plain]
        for a, b, c in zip(plain, zipped, narrow):
            assert np.array_equal(a["m/z array"], b["m/z array"])
            assert np.array_equal(a["intensity array"], b["intensity array"])
            assert c["m/z array"].dtype == np.float32
            assert np.array_equal(c["m/z array"], a["m/z array"].astype(np.float32))
        # The index of a gzipped file holds offsets into the decompressed
        # document: random access works through a decompressing stream.
        with gzip.open(outputs["gzip", source]) as f, mzml.MzML(f) as reader:
            last = reader.get_by_id(plain[-1]["id"])
            assert np.array_equal(last["intensity array"], plain[-1]["intensity array"])


FILTERS = [
    {"ms_level": [2]},
    {"rt": (200, 260.5)},
    {"mz": (60, 120)},
    {"min_intensity": 500},
    {"ms_level": 1, "rt": (199.5, 400), "mz": (69.0, 69.0), "min_intensity": 100},
]


def _filtered(source, ms_level=None, rt=None, mz=None, min_intensity=None):
    """What the filters keep, worked out spectrum by spectrum: (source index,
    m/z, intensities, precursor) of each spectrum kept."""
    levels = None if ms_level is None else ({ms_level} if isinstance(ms_level, int) else set(ms_level))
    kept = []
    for i, s, precursor in _source_spectra(source):
        if levels is not None and s.ms_level not in levels:
            continue
        if rt is not None and not rt[0] <= s.retention_time_sec <= rt[1]:
            continue
        points = [(m, v) for m, v in zip(s.mz, s.intensity)
                  if (mz is None or mz[0] <= m <= mz[1]) and (min_intensity is None or v >= min_intensity)]
        if (mz is not None or min_intensity is not None) and not points:
            continue
        kept.append((i, [m for m, _ in points], [v for _, v in points], precursor))
    return kept


@pytest.mark.parametrize("filters", FILTERS, ids=lambda f: ",".join(f))
def test_filters_keep_exactly_the_expected_spectra_and_points(filters, tmp_path):
    mzml = pytest.importorskip("pyteomics.mzml")
    pq = pytest.importorskip("pyarrow.parquet")
    expected = _filtered(GCMS, **filters)
    spectra = [k for k in expected if np.isnan(k[3])]
    transitions = [k for k in expected if not np.isnan(k[3])]
    assert spectra or transitions
    report = convert_file(GCMS, tmp_path, "mzml", **filters)
    assert report.status == "converted", report.error
    with mzml.MzML(report.output, use_index=False) as reader:
        read = list(reader)
    assert [s["id"] for s in read] == [f"index={i}" for i, *_ in spectra]
    for got, (_, mz, intensity, _) in zip(read, spectra):
        assert got["m/z array"].tolist() == mz and got["intensity array"].tolist() == intensity
    points = {}
    for _, mz, intensity, precursor in transitions:
        points.setdefault(f"SRM SIC Q1={precursor} Q3={mz[0]}", []).append(intensity[0])
    with mzml.MzML(report.output) as reader:
        chromatograms = {c["id"]: c["intensity array"].tolist() for c in reader.iterfind("chromatogram")}
    assert chromatograms.pop("TIC") is not None and chromatograms == points
    # Each filter is recorded in the data processing.
    text = open(report.output, encoding="utf-8").read()
    methods = re.findall(r'<userParam name="([a-z-]+)" value="[^"]*" type="xsd:string"/>\s*</processingMethod>', text)
    assert methods == [name.replace("_", "-") for name in filters]
    # Parquet keeps the same spectra and points, numbered as in the source.
    report = convert_file(GCMS, tmp_path, "parquet", **filters)
    assert report.status == "converted", report.error
    table = pq.read_table(os.path.join(report.output, "spectra.parquet"))
    assert table.column("index").to_pylist() == [i for i, *_ in expected]
    peaks = pq.read_table(os.path.join(report.output, "peaks.parquet"))
    assert peaks.column("mz").to_pylist() == [m for _, mz, _, _ in expected for m in mz]
    assert peaks.column("spectrum_index").to_pylist() == [i for i, mz, _, _ in expected for _ in mz]


def test_changed_options_convert_again_and_unchanged_ones_resume(tmp_path):
    out = tmp_path / "out"

    def convert(*args):
        result = kelvara("convert", GCMS, "-o", out, *args)
        assert result.returncode == 0, result.stderr
        return result.stdout.split(",")[0]

    assert convert("--to", "mzml") == "1 converted"
    for options in (["--rt", "200-300"], ["--gzip"], ["--gzip", "--numpress"], ["--srm-as-spectra"],
                    ["--ms-level", "1"], ["--mz", "50-60"], ["--min-intensity", "10"], ["--mz32"]):
        assert convert("--to", "mzml", *options) == "1 converted", options
        assert convert("--to", "mzml", *options) == "0 converted", options
    assert convert("--to", "mzml", "--rt", "200-300.5") == "1 converted"
    # Outputs of the default options keep the stamp earlier versions wrote,
    # so a batch converted before these options existed still resumes.
    default = convert_file(GCMS, tmp_path / "default", "mzml").output
    assert read_source_stamp(default)["conversion options"] == "to=mzml compress=zlib"
    assert read_source_stamp(str(out / "gcms_ei_run.mzML.gz"))["conversion options"] == \
        "to=mzml compress=zlib numpress gzip"
    for parquet in (["--to", "parquet", "--rt", "200-300"], ["--to", "parquet", "--shape", "spectra", "--mz", "1-99"]):
        assert convert(*parquet) == "1 converted"
        assert convert(*parquet) == "0 converted"

"""mzML output: the indexed mzML 1.1 schema, the PSI-MS vocabulary, the index
and checksums, and every value read back by pyteomics and pyOpenMS against
what RawReader gives."""

from __future__ import annotations

import base64
import gzip
import hashlib
import os
import re
import zlib

import numpy as np
import pytest

from gcms_encoders import gcms_entries, mrm_record, profile_record
from kelvara import RawReader
from kelvara_tools import convert_file, read_run

psims = pytest.importorskip("psims")
etree = pytest.importorskip("lxml.etree")

SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "samples")
SAMPLE_FILES = sorted(os.path.join(SAMPLES, n) for n in os.listdir(SAMPLES))
PSIMS_DATA = os.path.dirname(psims.__file__)


@pytest.fixture(scope="module")
def edge_file(tmp_path_factory):
    """A GC-MS run with an empty scan, equal highest peaks and MRM scans."""
    records = [
        profile_record(1000, [(500, 7), (600, 9), (700, 9)]),
        profile_record(1250, []),
        mrm_record(1500, [(1000, 690, 300), (1000, 910, 70000)], width=7),
        profile_record(1750, [(412, 65535)]),
    ]
    from cfbwriter import write_cfb

    path = tmp_path_factory.mktemp("edge") / "edge.qgd"
    write_cfb(str(path), gcms_entries(records))
    return str(path)


@pytest.fixture(scope="module")
def empty_file(tmp_path_factory):
    """A GC-MS run without scans."""
    from cfbwriter import write_cfb

    path = tmp_path_factory.mktemp("empty") / "empty.qgd"
    write_cfb(str(path), gcms_entries([]))
    return str(path)


@pytest.fixture(scope="module", params=["zlib", "none"])
def converted(request, tmp_path_factory, edge_file, empty_file):
    """Every sample and the edge-case runs, converted with one compression."""
    out = tmp_path_factory.mktemp(f"mzml-{request.param}")
    results = {}
    for source in [*SAMPLE_FILES, edge_file, empty_file]:
        report = convert_file(source, out, "mzml", compress=request.param)
        assert report.status == "converted", report.error
        results[source] = report.output
    return request.param, results


def test_valid_against_indexed_schema(converted):
    schema = etree.XMLSchema(etree.parse(os.path.join(PSIMS_DATA, "validation", "xsd", "mzML1.1.2_idx.xsd")))
    for output in converted[1].values():
        document = etree.parse(output)
        assert schema.validate(document), (output, schema.error_log)


def _vocabulary() -> dict[str, str]:
    terms = {}
    for name in ("psi-ms.obo.gz", "unit.obo.gz"):
        with gzip.open(os.path.join(PSIMS_DATA, "controlled_vocabulary", "vendor", name), "rt", encoding="utf-8") as f:
            term = None
            for line in f:
                if line.startswith("id: "):
                    term = line[4:].strip()
                elif line.startswith("name: ") and term:
                    terms[term] = line[6:].strip()
                    term = None
    return terms


def test_every_term_and_unit_is_from_the_vocabulary(converted):
    terms = _vocabulary()
    for output in converted[1].values():
        text = open(output, encoding="utf-8").read()
        used = set(re.findall(r'accession="([A-Z]+:\d+)" name="([^"]*)"', text))
        used |= set(re.findall(r'unitAccession="([A-Z]+:\d+)" unitName="([^"]*)"', text))
        assert used
        for accession, name in used:
            assert terms.get(accession) == name, (accession, name)


def test_index_offsets_and_checksums(converted):
    for source, output in converted[1].items():
        data = open(output, "rb").read()
        index_at = int(re.search(rb"<indexListOffset>(\d+)</indexListOffset>", data).group(1))
        assert data[index_at:].startswith(b"<indexList ")
        for ref, offset in re.findall(rb'<offset idRef="([^"]+)">(\d+)</offset>', data):
            element = data[int(offset):int(offset) + 200]
            assert re.match(rb'<(spectrum|chromatogram) index="\d+" id="' + re.escape(ref) + b'"', element), ref
        # The document's SHA-1 runs up to and including the opening tag.
        end = data.index(b"<fileChecksum>") + len(b"<fileChecksum>")
        recorded = re.search(rb"<fileChecksum>([0-9a-f]{40})</fileChecksum>", data).group(1).decode()
        assert recorded == hashlib.sha1(data[:end]).hexdigest()
        source_sha1 = re.search(rb'name="SHA-1" value="([0-9a-f]{40})"', data).group(1).decode()
        assert source_sha1 == hashlib.sha1(open(source, "rb").read()).hexdigest()


def _expected(source):
    """The spectra an mzML file holds by default, as (source index,
    spectrum, representation): every spectrum but the MRM transitions (MS2,
    one point, a known precursor), which become chromatograms."""
    reader = RawReader(source)
    run = read_run(source)
    representation = run.spectra_table().column("representation").to_pylist()
    kept = []
    for i in range(reader.scan_count):
        s = reader.read_spectrum(i)
        if not (s.ms_level == 2 and len(s.mz) == 1 and not np.isnan(run.precursor_mz[i])):
            kept.append((i, s, representation[i]))
    return kept


def _base_peak(s):
    if not len(s):
        return 0.0, 0.0
    k = int(np.argmax(np.asarray(s.intensity, dtype=np.float32)))
    return s.mz[k], s.intensity[k]


def test_pyteomics_reads_back_every_value(converted):
    mzml = pytest.importorskip("pyteomics.mzml")
    for source, output in converted[1].items():
        expected = _expected(source)
        spectra = [s for _, s, _ in expected]
        # Read sequentially: indexed iteration re-parses from the start for
        # every spectrum under lxml 6, which only costs time.
        with mzml.MzML(output, use_index=False) as reader:
            read = list(reader)
            assert len(read) == len(spectra)
            for i, ((at, s, representation), got) in enumerate(zip(expected, read)):
                assert got["index"] == i and got["id"] == f"index={at}" and got["ms level"] == s.ms_level
                assert got["m/z array"].dtype == np.float64 and got["intensity array"].dtype == np.float32
                assert np.array_equal(got["m/z array"], np.array(s.mz, dtype=np.float64))
                assert np.array_equal(got["intensity array"], np.array(s.intensity, dtype=np.float32))
                scan = got["scanList"]["scan"][0]["scan start time"]
                assert float(scan) == s.retention_time_sec and scan.unit_info == "second"
                assert got["total ion current"] == pytest.approx(sum(s.intensity), rel=1e-12)
                assert (got["base peak m/z"], got["base peak intensity"]) == _base_peak(s)
                kind = "profile spectrum" if representation == "profile" else "centroid spectrum"
                assert kind in got
        with mzml.MzML(output) as reader:
            chromatogram = reader.get_by_id("TIC")
            ms1 = [s for s in spectra if s.ms_level == 1]
            assert np.array_equal(chromatogram["time array"], [s.retention_time_sec for s in ms1])
            assert np.allclose(chromatogram["intensity array"], [sum(s.intensity) for s in ms1], rtol=1e-12)
            # Random access through the offset index.
            if spectra:
                last = reader.get_by_id(f"index={expected[-1][0]}")
                assert last["index"] == len(spectra) - 1


def test_pyopenms_reads_back_every_value(converted):
    oms = pytest.importorskip("pyopenms", reason="pyopenms has no wheel for this interpreter")
    for source, output in converted[1].items():
        spectra = [s for _, s, _ in _expected(source)]
        experiment = oms.MSExperiment()
        oms.MzMLFile().load(output, experiment)
        assert experiment.getNrSpectra() == len(spectra)
        for s, got in zip(spectra, experiment.getSpectra()):
            mz, intensity = got.get_peaks()
            assert np.array_equal(mz, np.array(s.mz, dtype=np.float64))
            assert np.array_equal(intensity, np.array(s.intensity, dtype=np.float32))
            assert got.getMSLevel() == s.ms_level
            assert got.getRT() == s.retention_time_sec
        assert experiment.getNrChromatograms() == 1 + len(read_run(source).srm())


def test_output_is_deterministic(tmp_path):
    source = SAMPLE_FILES[0]
    first = convert_file(source, tmp_path / "a", "mzml")
    second = convert_file(source, tmp_path / "b", "mzml")
    assert open(first.output, "rb").read() == open(second.output, "rb").read()


def test_numbers_are_written_as_python_writes_them(tmp_path, monkeypatch):
    """Retention times and m/z over every magnitude a double takes, and the
    spectrum numbers, read back as text: each the shortest text that reads
    back as the same double (Python's repr), whichever thread wrote it."""
    from kelvara_tools import Run
    from kelvara_tools.mzml import write_mzml

    rng = np.random.default_rng(7)
    n = 3000
    times = np.concatenate([[0.0, 1e-5, 1e-4, 0.1, 1e15, 1e16, 123456789012345678.0, 2.5e-300],
                            rng.random(n - 8) * 10.0 ** rng.integers(-8, 22, n - 8)])
    mz = rng.random(n) * 10.0 ** rng.integers(-6, 18, n)
    run = Run("numbers.lcd", "qtof_centroid", mz, np.ones(n, np.float32), np.arange(n + 1, dtype=np.int64),
              np.ones(n, np.uint8), times)
    texts = []
    for threads in ("1", "3"):
        monkeypatch.setenv("KELVARA_THREADS", threads)
        path = tmp_path / f"numbers-{threads}.mzML"
        write_mzml(run, path, source=SAMPLE_FILES[0], compression="none")
        texts.append(path.read_bytes())
    assert texts[0] == texts[1]
    text = texts[0].decode()
    assert re.findall(r'name="scan start time" value="([^"]*)"', text) == [repr(t) for t in times.tolist()]
    assert re.findall(r'name="base peak m/z" value="([^"]*)"', text) == [repr(x) for x in mz.tolist()]
    assert re.findall(r'<spectrum index="(\d+)" id="index=(\d+)"', text) == [(str(k), str(k)) for k in range(n)]


def test_a_run_of_many_groups_and_threads_reads_back_whole(tmp_path, monkeypatch):
    """More spectra than one formatting group holds, on three threads, with
    texts cut in many pieces: every index offset lands on its spectrum and
    every array reads back, deflated and plain."""
    from kelvara_tools import Run
    from kelvara_tools.mzml import write_mzml

    rng = np.random.default_rng(3)
    counts = rng.integers(0, 40, 9000)
    offsets = np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)
    mz = np.round(rng.uniform(50, 900, int(offsets[-1])), 4)
    intensity = rng.integers(1, 10**6, int(offsets[-1])).astype(np.float32)
    run = Run("many.lcd", "qtof_centroid", mz, intensity, offsets, np.ones(len(counts), np.uint8),
              np.arange(len(counts)) * 0.25)
    monkeypatch.setenv("KELVARA_THREADS", "3")
    for compression in ("zlib", "none"):
        path = tmp_path / f"many-{compression}.mzML"
        write_mzml(run, path, source=SAMPLE_FILES[0], compression=compression)
        data = path.read_bytes()
        offsets_found = re.findall(rb'<offset idRef="index=(\d+)">(\d+)</offset>', data)
        assert len(offsets_found) == len(counts)
        for k, (ref, at) in enumerate(offsets_found):
            assert int(ref) == k and data.startswith(b'<spectrum index="%d" ' % k, int(at))
        # The spectra's arrays in document order, m/z then intensity (the
        # TIC chromatogram's two come last); pyteomics reads these arrays
        # back in the tests above, and would take minutes over this many.
        texts = re.findall(rb"<binary>([^<]*)</binary>", data)
        raw = [zlib.decompress(base64.b64decode(t)) if compression == "zlib" else base64.b64decode(t)
               for t in texts[:2 * len(counts)]]
        np.testing.assert_array_equal(np.frombuffer(b"".join(raw[0::2]), "<f8"), mz)
        np.testing.assert_array_equal(np.frombuffer(b"".join(raw[1::2]), "<f4"), intensity)
        assert [len(r) // 8 for r in raw[0::2]] == counts.tolist()

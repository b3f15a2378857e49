"""The batch encoder of the mzML writer's arrays: every text is exactly what
one array at a time through base64 (and zlib) gives, whatever the thread
count and the segments' sizes, and conversions written on several threads
read back with pyteomics and pyOpenMS."""

from __future__ import annotations

import base64
import os
import subprocess
import sys
import zlib

import numpy as np
import pytest

from kelvara_tools import _encode, convert_file, read_run
from kelvara_tools._columns import base64_segments
from kelvara_tools.mzml import write_mzml


def _layout(rng) -> np.ndarray:
    """Segment bounds mixing what batches hold: empty and one-point
    segments, many tiny ones, GC-MS-sized ones, one huge one, and empties
    again at the end, about 1.5 million points, enough to be cut into runs
    for three threads."""
    counts = np.concatenate([[0, 0, 1], rng.integers(0, 3, 20_000), rng.integers(100, 600, 1_000), [0, 1],
                             [900_000], rng.integers(0, 2, 500), [0, 0]])
    return np.concatenate([[0], np.cumsum(counts)]).astype(np.int64)


@pytest.fixture(scope="module")
def batch():
    rng = np.random.default_rng(5)
    bounds = _layout(rng)
    # Unit-resolution masses with noise and counts: they deflate as real
    # spectra do, not as random bytes.
    mz = np.round(rng.uniform(35, 600, bounds[-1]), 1)
    intensity = rng.poisson(300, bounds[-1]).astype("<f4")
    return mz, intensity, bounds


@pytest.mark.parametrize("library", sorted(_encode._LIBRARIES))
@pytest.mark.parametrize("threads", [1, 2, 3])
def test_every_segment_is_its_own_zlib_stream_and_base64(batch, threads, library):
    mz, intensity, bounds = batch
    encoder = _encode.Encoder(threads, library)
    at = bounds.tolist()
    for values in (mz, intensity):
        plain = encoder.encode_segments(values, bounds, deflate=False)
        deflated = encoder.encode_segments(values, bounds, deflate=True)
        assert len(plain) == len(deflated) == len(bounds) - 1
        for k, (a, b) in enumerate(zip(at, at[1:])):
            raw = values[a:b].tobytes()
            assert plain[k] == base64.b64encode(raw)
            assert zlib.decompress(base64.b64decode(deflated[k], validate=True)) == raw
        parts = [values[a:b].tobytes() for a, b in zip(at[:300], at[1:301])]
        assert [zlib.decompress(base64.b64decode(t)) for t in encoder.encode_parts(parts, deflate=True)] == parts
    assert encoder.encode_segments(mz[:0], np.zeros(1, dtype=np.int64), deflate=True) == []
    assert zlib.decompress(base64.b64decode(encoder.encode(mz, deflate=True))) == mz.tobytes()


def test_base64_segments_refuses_bounds_outside_the_data():
    data = bytes(range(10))
    assert base64_segments(data, np.array([0, 1, 1, 10], dtype=np.int64).tobytes()) == \
        [base64.b64encode(data[:1]), b"", base64.b64encode(data[1:])]
    for bounds in ([0, 11], [-1, 3], [0, 5, 4], [], [3]):
        packed = np.array(bounds, dtype=np.int64).tobytes()
        if len(bounds) == 1:
            assert base64_segments(data, packed) == []
            continue
        with pytest.raises(ValueError):
            base64_segments(data, packed)
    with pytest.raises(ValueError):
        base64_segments(data, b"\0" * 7)
    with pytest.raises(TypeError):
        base64_segments(bytearray(data), b"\0" * 8)


@pytest.mark.parametrize("text, expected", [("3", 3), ("1", 1), ("", None), ("0", None), ("-2", None),
                                            ("+2", None), (" 2", None), ("two", None), ("9" * 30, "cap")])
def test_threads_reads_kelvara_threads_as_the_core_does(monkeypatch, text, expected):
    cores = os.cpu_count() or 1
    monkeypatch.setenv("KELVARA_THREADS", text)
    assert _encode.threads() == {None: cores, "cap": 4 * cores}.get(expected, expected)


def test_zlib_stands_in_when_zlib_ng_cannot_be_imported():
    code = ("import sys, base64, zlib; sys.modules['zlib_ng'] = None\n"
            "import numpy as np; from kelvara_tools import _encode\n"
            "values = np.arange(70000.0); bounds = np.array([0, 5, 5, 70000])\n"
            "texts = _encode.Encoder(3).encode_segments(values, bounds, deflate=True)\n"
            "assert b''.join(zlib.decompress(base64.b64decode(t)) for t in texts) == values.tobytes()\n"
            "print(_encode.deflate_name())\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "zlib"


@pytest.fixture(scope="module")
def large_run(tmp_path_factory):
    """A GC-MS run of full scans, large enough that each batch of spectra is
    cut into runs for several threads."""
    from cfbwriter import write_cfb
    from gcms_encoders import gcms_entries, realistic_run

    path = tmp_path_factory.mktemp("large") / "large.qgd"
    write_cfb(str(path), gcms_entries(realistic_run(n_scans=6000, scan_ms=100, seed=3).records))
    return str(path)


def test_outputs_are_the_same_on_every_thread_count_and_read_back(large_run, tmp_path, monkeypatch):
    run = read_run(large_run)
    outputs = {}
    for compression in ("none", "zlib"):
        for threads in ("1", "3"):
            monkeypatch.setenv("KELVARA_THREADS", threads)
            path = tmp_path / f"{compression}-{threads}.mzML"
            write_mzml(run, path, source=large_run, compression=compression)
            outputs[compression, threads] = path.read_bytes()
    assert outputs["none", "1"] == outputs["none", "3"]
    assert outputs["zlib", "1"] == outputs["zlib", "3"]
    # Uncompressed, each array's text is the base64 of its values.
    at = run.offsets.tolist()
    texts = [t.split(b"<")[0] for t in outputs["none", "3"].split(b"<binary>")[1:]]
    for k in range(0, len(run), 7):
        assert texts[2 * k] == base64.b64encode(run.mz[at[k]:at[k + 1]].astype("<f8").tobytes())
        assert texts[2 * k + 1] == base64.b64encode(run.intensity[at[k]:at[k + 1]].astype("<f4").tobytes())
    zlib_output = str(tmp_path / "zlib-3.mzML")
    mzml = pytest.importorskip("pyteomics.mzml")
    with mzml.MzML(zlib_output, use_index=False) as reader:
        read = list(reader)
    assert len(read) == len(run)
    for k, got in enumerate(read):
        assert np.array_equal(got["m/z array"], run.mz[at[k]:at[k + 1]])
        assert np.array_equal(got["intensity array"], run.intensity[at[k]:at[k + 1]])
    oms = pytest.importorskip("pyopenms", reason="pyopenms has no wheel for this interpreter")
    experiment = oms.MSExperiment()
    oms.MzMLFile().load(zlib_output, experiment)
    assert experiment.getNrSpectra() == len(run)
    for k, got in enumerate(experiment.getSpectra()):
        mz, intensity = got.get_peaks()
        assert np.array_equal(mz, run.mz[at[k]:at[k + 1]])
        assert np.array_equal(intensity, run.intensity[at[k]:at[k + 1]])

"""The batch encoder of the mzML writer's arrays and the package's deflate:
every text is the base64 of the array, or of a zlib stream that Python's
zlib inflates back to it, whatever the input, the thread count and the
segments' sizes; the streams depend on the bytes alone; and conversions
written on several threads read back with pyteomics and pyOpenMS."""

from __future__ import annotations

import base64
import os
import subprocess
import sys
import zlib

import numpy as np
import pytest

from kelvara_tools import _encode, convert_file, read_run
from kelvara_tools._columns import base64_segments, spectrum_elements
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


@pytest.mark.parametrize("threads", [1, 2, 3])
def test_every_segment_is_its_own_zlib_stream_and_base64(batch, threads):
    mz, intensity, bounds = batch
    encoder = _encode.Encoder(threads)
    at = bounds.tolist()
    for values in (mz, intensity):
        plain = encoder.encode_segments(values, bounds, deflate=False)
        deflated = encoder.encode_segments(values, bounds, deflate=True)
        assert len(plain) == len(deflated) == len(bounds) - 1
        for k, (a, b) in enumerate(zip(at, at[1:])):
            raw = values[a:b].tobytes()
            assert plain[k] == base64.b64encode(raw)
            assert _inflate(base64.b64decode(deflated[k], validate=True)) == raw
        parts = [values[a:b].tobytes() for a, b in zip(at[:300], at[1:301])]
        assert [_inflate(base64.b64decode(t)) for t in encoder.encode_parts(parts, deflate=True)] == parts
        # Texts depend on the bytes alone, not on the thread that wrote
        # them or on what it deflated before.
        assert encoder.encode_parts(parts, deflate=True) == \
            [base64_segments(p, np.array([0, len(p)], dtype=np.int64).tobytes(), True)[0] for p in parts]
    assert encoder.encode_segments(mz[:0], np.zeros(1, dtype=np.int64), deflate=True) == []
    assert _inflate(base64.b64decode(encoder.encode(mz, deflate=True))) == mz.tobytes()


def _inflate(stream: bytes) -> bytes:
    """The data of one whole zlib stream, with nothing after it."""
    inflater = zlib.decompressobj()
    data = inflater.decompress(stream) + inflater.flush()
    assert inflater.eof and not inflater.unused_data
    return data


def _profile(rng, points: int) -> np.ndarray:
    """A profile spectrum: Gaussian peaks over a noisy baseline, as float32."""
    y = rng.normal(50, 5, points + 40)
    shape = np.exp(-0.5 * (np.arange(-20, 21) / 3.0) ** 2)
    for centre in rng.integers(20, points + 20, max(1, points // 400)):
        y[centre - 20:centre + 21] += rng.uniform(1e3, 1e6) * shape
    return y[20:points + 20].astype("<f4")


def _inputs():
    rng = np.random.default_rng(11)
    noise = rng.integers(0, 256, 300_000, dtype=np.uint8).tobytes()
    cases = {
        "empty": b"", "one byte": b"\x07", "three bytes": b"abc", "all equal": b"\0" * 200_000,
        "random": noise, "random then equal": noise[:70_000] + b"\x55" * 70_000,
        "masses": np.round(rng.uniform(35, 600, 400_000), 4).tobytes(),
        "profile": _profile(rng, 1_000_000).tobytes(),
        "repeat at the window's edge": (noise[:32_768] * 5)[:150_000],
        "short period": bytes(range(7)) * 40_000,
    }
    # Around the 2 KiB from which a block gets codes of its own, the 64 KiB
    # blocks and the 258-byte longest match.
    for size in (255, 258, 259, 2_047, 2_048, 2_049, 65_534, 65_535, 65_536, 131_071, 131_072, 196_606):
        cases[f"{size} bytes"] = rng.integers(0, 3, size, dtype=np.uint8).tobytes()
    return cases


def test_deflate_round_trips_every_kind_of_input_and_never_grows_much():
    cases = _inputs()
    data = b"".join(cases.values())
    bounds = np.concatenate([[0], np.cumsum([len(c) for c in cases.values()])]).astype(np.int64)
    texts = base64_segments(data, bounds.tobytes(), True)
    for (name, raw), text in zip(cases.items(), texts):
        stream = base64.b64decode(text, validate=True)
        assert _inflate(stream) == raw, name
        # At worst stored blocks: 5 bytes per 64 KiB, the header and checksum.
        assert len(stream) <= len(raw) + 5 * (len(raw) // 65_535 + 1) + 6, name
    sizes = {name: len(base64.b64decode(t)) for name, t in zip(cases, texts)}
    assert sizes["all equal"] < 1_000 and sizes["short period"] < 2_000
    # Codes built for the block, not just the fixed ones: within a few
    # percent of zlib's own fastest level on float arrays.
    for name in ("masses", "profile"):
        assert sizes[name] < 1.05 * len(zlib.compress(cases[name], 1)), name


def test_deflate_round_trips_many_mixed_inputs():
    """Hundreds of inputs of every size up to 70 KB and of the kinds that
    exercise different paths: noise, few distinct bytes, rounded masses,
    counts, short repeats, zeros; one call, as a batch is encoded."""
    rng = np.random.default_rng(29)
    makers = [lambda n: rng.integers(0, 256, n, dtype=np.uint8).tobytes(),
              lambda n: rng.integers(0, int(rng.integers(1, 5)), n, dtype=np.uint8).tobytes(),
              lambda n: np.round(rng.uniform(30, 900, n // 8 + 1), int(rng.integers(0, 4))).tobytes()[:n],
              lambda n: rng.poisson(int(rng.integers(1, 5000)), n // 4 + 1).astype("<f4").tobytes()[:n],
              lambda n: np.resize(rng.integers(0, 256, int(rng.integers(1, 300)), dtype=np.uint8), n).tobytes(),
              lambda n: bytes(n)]
    sizes = np.concatenate([rng.integers(0, 40, 300), rng.integers(0, 3_000, 600), rng.integers(0, 70_000, 100)])
    inputs = [makers[k](int(n)) for k, n in zip(rng.integers(0, len(makers), len(sizes)), sizes)]
    bounds = np.concatenate([[0], np.cumsum([len(x) for x in inputs])]).astype(np.int64)
    texts = base64_segments(b"".join(inputs), bounds.tobytes(), True)
    assert [_inflate(base64.b64decode(t)) for t in texts] == inputs


def test_deflate_is_the_same_in_a_fresh_process():
    cases = _inputs()
    code = ("import sys, numpy as np\n"
            "from kelvara_tools._columns import base64_segments\n"
            "data = sys.stdin.buffer.read()\n"
            "sys.stdout.buffer.write(base64_segments(data, np.array([0, len(data)]).tobytes(), True)[0])\n")
    here = base64_segments(cases["profile"], np.array([0, len(cases["profile"])], dtype=np.int64).tobytes(), True)[0]
    fresh = subprocess.run([sys.executable, "-c", code], input=cases["profile"], capture_output=True, timeout=120)
    assert fresh.returncode == 0, fresh.stderr
    assert fresh.stdout == here


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

    class Undecided:
        def __bool__(self):
            raise RuntimeError("no answer")

    # The deflate flag's own failure comes through as it is, before any work.
    with pytest.raises(RuntimeError, match="no answer"):
        base64_segments(data, np.array([0, 10], dtype=np.int64).tobytes(), Undecided())
    with pytest.raises(TypeError):
        base64_segments(data, np.array([0, 10], dtype=np.int64).tobytes(), True, True)


@pytest.mark.parametrize("text, expected", [("3", 3), ("1", 1), ("", None), ("0", None), ("-2", None),
                                            ("+2", None), (" 2", None), ("two", None), ("9" * 30, "cap")])
def test_threads_reads_kelvara_threads_as_the_core_does(monkeypatch, text, expected):
    cores = os.cpu_count() or 1
    monkeypatch.setenv("KELVARA_THREADS", text)
    assert _encode.threads() == {None: cores, "cap": 4 * cores}.get(expected, expected)


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


def test_spectrum_elements_refuses_fields_that_would_read_outside_their_columns():
    """The formatter reads raw columns without the lock: every field that
    could send it past a column's end, or to a text that is not there, is
    refused before any formatting."""
    ints = np.arange(3, dtype=np.int64).tobytes()
    values = np.arange(4, dtype=np.float64).tobytes()
    texts, starts = spectrum_elements((b"<", b"|", b">"), ((b"i", ints), (b"t", b"\1\0\1", (b"a", b"b"))), 9)
    assert b"".join(texts) == b"<0|b><1|a><2|b>" and np.frombuffer(starts, np.int64).tolist() == [0, 5, 10]
    bad = [
        ((b"<", b">"), ((b"i", ints[:-1]),)),                                  # not whole values
        ((b"<", b"|", b">"), ((b"i", ints), (b"i", ints[:8]))),                # counts disagree
        ((b"<", b">"), ((b"t", b"\2", (b"a", b"b")),)),                        # a code with no text
        ((b"<", b">"), ((b"a", values, 8, np.array([0, 5], np.int64).tobytes(), True),)),  # past the values
        ((b"<", b">"), ((b"a", values, 8, np.array([3, 1], np.int64).tobytes(), False),)),  # decreasing
        ((b"<", b">"), ((b"a", values, 3, np.array([0, 1], np.int64).tobytes(), False),)),  # odd width
        ((b"<", b">"), ((b"b",),)),                                            # a text with no array
        ((b"<",), ((b"i", ints),)),                                            # a piece short
        ((b"<", b">"), ((b"q", ints),)),                                       # no such kind
    ]
    for pieces, fields in bad:
        with pytest.raises(ValueError):
            spectrum_elements(pieces, fields, 2)

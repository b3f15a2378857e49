"""Failures as the user meets them: one line per file that says what it means,
outputs whole or not at all, and names of every kind a file system allows."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import threading

import pytest

from kelvara_tools import convert_file, read_run

pq = pytest.importorskip("pyarrow.parquet")

SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "samples")
GCMS = os.path.join(SAMPLES, "gcms_ei_run.qgd")
LCMS = next(os.path.join(SAMPLES, n) for n in sorted(os.listdir(SAMPLES)) if n.endswith(".lcd"))


def kelvara(*args):
    return subprocess.run([sys.executable, "-m", "kelvara_tools", *map(os.fsencode, map(str, args))],
                          capture_output=True, text=True, errors="backslashreplace", timeout=300)


def test_two_conversions_into_one_folder_output_both_succeed(tmp_path):
    reports = []

    def convert():
        for _ in range(6):
            reports.append(convert_file(GCMS, tmp_path, "parquet", shape="peaks", force=True))

    threads = [threading.Thread(target=convert) for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert [r.error for r in reports if r.status != "converted"] == []
    output = reports[0].output
    assert sorted(os.listdir(tmp_path)) == [os.path.basename(output)]
    # The sample's MRM transitions give the folder its chromatograms.parquet.
    assert sorted(os.listdir(output)) == ["chromatograms.parquet", "peaks.parquet", "spectra.parquet"]
    assert pq.read_table(os.path.join(output, "peaks.parquet")).num_rows == len(read_run(GCMS).mz)


@pytest.fixture
def read_only_folder(tmp_path):
    """A folder nothing can be written into: by its mode, or for root (whom
    modes do not bind) by the immutable attribute."""
    out = tmp_path / "out"
    out.mkdir()
    if not hasattr(os, "geteuid"):
        pytest.skip("POSIX permissions")
    root = os.geteuid() == 0
    if root and subprocess.run(["chattr", "+i", out], capture_output=True).returncode != 0:
        pytest.skip("root, and no immutable attribute here")
    if not root:
        out.chmod(0o555)
    yield out
    if root:
        subprocess.run(["chattr", "-i", out])
    else:
        out.chmod(0o755)


@pytest.mark.parametrize("to", ["parquet", "mzml"])
def test_a_read_only_folder_gives_one_line_naming_the_output(read_only_folder, to):
    result = kelvara("convert", GCMS, "--to", to, "-o", read_only_folder, "--jobs", "1")
    assert result.returncode == 1 and "Traceback" not in result.stderr
    [line] = result.stderr.splitlines()
    assert line.startswith(f"failed    {GCMS}: PermissionError: ") and ".tmp" not in line
    assert str(read_only_folder / "gcms_ei_run") in line
    assert os.listdir(read_only_folder) == []


def test_memory_error_has_a_text(tmp_path, monkeypatch):
    from kelvara_tools import _columns

    def exhausted(*arguments):
        raise MemoryError

    # mzML conversion walks the run in batches; read_run reads it whole.
    monkeypatch.setattr(_columns, "read_columns", exhausted)
    monkeypatch.setattr(_columns, "BatchReader", exhausted)
    report = convert_file(GCMS, tmp_path, "mzml")
    assert report.error == f"MemoryError: not enough memory to read {GCMS}"


def _error_lines(result) -> dict[str, str]:
    return dict(line.split(": ", 1) for line in result.stderr.splitlines())


def test_messages_say_what_the_file_is(tmp_path):
    data = open(GCMS, "rb").read()
    half, renamed, bare, other = (tmp_path / n for n in ("half.qgd", "renamed.lcd", "bare", "other.qgd"))
    half.write_bytes(data[: len(data) // 2])
    renamed.write_bytes(data)
    bare.write_bytes(data)
    other.write_bytes(open(LCMS, "rb").read())
    result = kelvara("info", half, renamed, bare, other)
    assert result.returncode == 1
    errors = _error_lines(result)
    sizes = re.search(r"it is ([\d,]+) bytes, but its container needs at least ([\d,]+);", errors[str(half)])
    have, need = (int(n.replace(",", "")) for n in sizes.groups())
    assert errors[str(half)].startswith("FormatError: the file looks truncated")
    assert have == len(data) // 2 < need <= len(data)
    assert "(I/O error: " in errors[str(half)]  # the reader's detail is kept
    assert "this looks like a GC-MS file (.qgd), not .lcd" in errors[str(renamed)]
    assert "this looks like an LC-MS file (.lcd), not .qgd" in errors[str(other)]
    assert errors[str(bare)] == "FormatError: the file has no extension: this looks like a GC-MS file (.qgd), name it .qgd"


def test_damaged_files_under_the_wrong_name_fail_on_one_line(tmp_path):
    import random

    rng = random.Random(20)
    original = open(GCMS, "rb").read()
    for trial in range(60):
        data = bytearray(original[:4096 * rng.choice((1, 2, 8, 64))])
        for _ in range(rng.choice((1, 8, 64))):
            data[rng.randrange(len(data))] = rng.randrange(256)
        path = tmp_path / f"damaged{trial}.lcd"
        path.write_bytes(bytes(data))
        report = convert_file(path, tmp_path / "out", "mzml")
        assert report.status == "failed" and "\n" not in report.error
        assert "LC-MS file" not in report.error


def test_an_output_folder_that_is_a_file_is_refused_once(tmp_path):
    taken = tmp_path / "taken"
    taken.write_text("")
    result = kelvara("convert", GCMS, LCMS, "--to", "mzml", "-o", taken)
    assert result.returncode == 2 and result.stderr.count("error:") == 1 and "is a file" in result.stderr


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="FIFOs are POSIX")
def test_a_fifo_or_a_device_is_named_as_such(tmp_path):
    fifo = tmp_path / "pipe.qgd"
    os.mkfifo(fifo)
    errors = _error_lines(kelvara("info", fifo, os.devnull))
    assert "is a FIFO (named pipe), not a data file" in errors[str(fifo)]
    assert "is a device, not a data file" in errors[os.devnull]


def test_names_that_are_not_utf8_work_everywhere_and_show_escaped(tmp_path):
    pytest.importorskip("matplotlib")
    folder = os.fsencode(str(tmp_path))
    source = os.path.join(folder, b"run\xff.qgd")
    try:
        open(source, "wb").write(open(GCMS, "rb").read())
    except (OSError, UnicodeError):
        pytest.skip("this file system wants names in one encoding")
    out = os.path.join(folder, b"out\xfe")
    for args in (["info"], ["convert", "--to", "mzml", "-o", out], ["convert", "--to", "parquet", "-o", out],
                 ["plot", "--spectrum", "3", "-o", os.path.join(out, b"p.png")],
                 ["xic", "--mz", "69", "--tol", "0.5", "-o", os.path.join(out, b"t.csv")]):
        command = [sys.executable, "-m", "kelvara_tools", args[0], source, *args[1:]]
        result = subprocess.run(command, capture_output=True, timeout=300)
        assert result.returncode == 0, result.stderr
        assert b"run\\xff.qgd" in result.stdout + result.stderr or args[0] == "plot"
    assert sorted(os.listdir(out)) == [b"p.png", b"run\xff.mzML", b"run\xff.peaks", b"t.csv"]
    from lxml import etree

    document = etree.parse(os.path.join(out, b"run\xff.mzML"))
    [name] = document.xpath("//*[local-name()='sourceFile']/@name")
    assert name == "run\\xff.qgd"
    assert b"run\\xff.qgd" in open(os.path.join(out, b"t.csv"), "rb").read()


def test_xic_refuses_a_nan_mz():
    run = read_run(GCMS)
    for window in ({"tol": 0.5}, {"ppm": 10}):
        with pytest.raises(ValueError, match="NaN"):
            run.xic(float("nan"), **window)

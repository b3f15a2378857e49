"""Failures as the user meets them: one line per file that says what it means,
outputs whole or not at all, and names of every kind a file system allows."""

from __future__ import annotations

import os
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
    assert sorted(os.listdir(output)) == ["peaks.parquet", "spectra.parquet"]
    assert pq.read_table(os.path.join(output, "peaks.parquet")).num_rows == len(read_run(GCMS).mz)


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() == 0, reason="permissions do not bind root")
@pytest.mark.parametrize("to", ["parquet", "mzml"])
def test_a_read_only_folder_gives_one_line_naming_the_output(tmp_path, to):
    out = tmp_path / "out"
    out.mkdir()
    out.chmod(0o555)
    try:
        result = kelvara("convert", GCMS, "--to", to, "-o", out, "--jobs", "1")
    finally:
        out.chmod(0o755)
    assert result.returncode == 1 and "Traceback" not in result.stderr
    [line] = result.stderr.splitlines()
    assert line.startswith(f"failed    {GCMS}: PermissionError: ") and ".tmp" not in line
    assert str(out / "gcms_ei_run") in line
    assert os.listdir(out) == []


def test_memory_error_has_a_text(tmp_path, monkeypatch):
    from kelvara_tools import _columns

    def exhausted(path):
        raise MemoryError

    monkeypatch.setattr(_columns, "read_columns", exhausted)
    report = convert_file(GCMS, tmp_path, "mzml")
    assert report.error == f"MemoryError: not enough memory to read {GCMS}"

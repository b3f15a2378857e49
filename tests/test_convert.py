"""Conversions and the kelvara command: Parquet round trips, skipping outputs
that are up to date, outputs that appear whole or not at all, batches on
local processes and on a Dask LocalCluster, and the command's exit codes and
messages."""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import sys

import pytest

from kelvara_tools import convert_file, convert_many, read_run

pq = pytest.importorskip("pyarrow.parquet")

SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "samples")
SAMPLE_FILES = sorted(os.path.join(SAMPLES, n) for n in os.listdir(SAMPLES))


def _without_metadata(table):
    return table.replace_schema_metadata(None)


@pytest.mark.parametrize("shape", ["peaks", "spectra"])
def test_parquet_round_trip(tmp_path, shape):
    for source in SAMPLE_FILES:
        report = convert_file(source, tmp_path, "parquet", shape=shape)
        assert report.status == "converted", report.error
        run = read_run(source)
        if shape == "spectra":
            assert report.output.endswith(".parquet")
            expected = {report.output: run.to_arrow()}
        else:
            expected = {os.path.join(report.output, "peaks.parquet"): run.peaks_table(),
                        os.path.join(report.output, "spectra.parquet"): run.spectra_table()}
        for path, table in expected.items():
            read = pq.read_table(path)
            assert _without_metadata(read).equals(_without_metadata(table)), path
            assert b"kelvara.source" in read.schema.metadata


def _copy_sample(tmp_path, name="gcms_ei_run.qgd"):
    source = tmp_path / "in" / name
    source.parent.mkdir(exist_ok=True)
    shutil.copy2(os.path.join(SAMPLES, name), source)
    return str(source)


@pytest.mark.parametrize("to,options", [("mzml", {}), ("parquet", {"shape": "peaks"}), ("parquet", {"shape": "spectra"})])
def test_up_to_date_outputs_are_skipped_until_the_source_or_options_change(tmp_path, to, options):
    source = _copy_sample(tmp_path)
    out = tmp_path / "out"
    first = convert_file(source, out, to, **options)
    assert first.status == "converted"
    assert convert_file(source, out, to, **options).status == "skipped"
    assert convert_file(source, out, to, force=True, **options).status == "converted"
    # A source with another modification time is converted again.
    stat = os.stat(source)
    os.utime(source, ns=(stat.st_atime_ns, stat.st_mtime_ns + 1_000_000_000))
    assert convert_file(source, out, to, **options).status == "converted"
    assert convert_file(source, out, to, **options).status == "skipped"
    if to == "mzml":
        # Other options make another output.
        assert convert_file(source, out, to, compress="none").status == "converted"
    else:
        # An output missing one of its files is not up to date.
        if options["shape"] == "peaks":
            os.unlink(os.path.join(first.output, "peaks.parquet"))
            assert convert_file(source, out, to, **options).status == "converted"
    assert sorted(os.listdir(out)) == [os.path.basename(first.output)]  # no temporary left behind


def test_failed_conversion_leaves_old_output_and_no_partial_file(tmp_path):
    source = _copy_sample(tmp_path)
    out = tmp_path / "out"
    good = convert_file(source, out, "mzml")
    before = open(good.output, "rb").read()
    # The same name now holds a file that is not a run.
    with open(source, "r+b") as f:
        f.write(b"not a container")
    failed = convert_file(source, out, "mzml")
    assert failed.status == "failed" and failed.error.startswith("FormatError: ")
    assert open(good.output, "rb").read() == before
    assert os.listdir(out) == [os.path.basename(good.output)]


def test_clashing_output_names_fail_instead_of_overwriting(tmp_path):
    first = _copy_sample(tmp_path)
    other = tmp_path / "other" / "gcms_ei_run.qgd"
    other.parent.mkdir()
    shutil.copy2(first, other)
    report = convert_many([first, str(other)], tmp_path / "out", "mzml", jobs=1)
    assert [f.status for f in report.files] == ["converted", "failed"]
    assert "also the output of" in report.files[1].error
    assert not report.ok and "1 converted, 0 skipped, 1 failed" in report.summary()


@pytest.fixture
def batch_inputs(tmp_path):
    corrupt = tmp_path / "in" / "corrupt.lcd"
    corrupt.parent.mkdir()
    corrupt.write_bytes(open(SAMPLE_FILES[1], "rb").read()[:3000])
    return [*SAMPLE_FILES, str(corrupt), str(tmp_path / "in" / "missing.qgd")]


def _check_batch(report, inputs, out, serial_out):
    by_path = {f.path: f for f in report.files}
    assert [f.path for f in report.files] == inputs
    assert by_path[inputs[-2]].status == "failed" and by_path[inputs[-2]].error.startswith("FormatError: ")
    assert by_path[inputs[-1]].status == "failed" and by_path[inputs[-1]].error.startswith("FileNotFoundError: ")
    for source in SAMPLE_FILES:
        f = by_path[source]
        assert f.status == "converted" and f.spectra == len(read_run(source)) and f.seconds > 0
        name = os.path.basename(f.output)
        assert open(os.path.join(out, name), "rb").read() == open(os.path.join(serial_out, name), "rb").read()
    assert sorted(os.listdir(out)) == sorted(os.listdir(serial_out))


def test_local_processes_match_a_serial_conversion(tmp_path, batch_inputs):
    serial = convert_many(batch_inputs, tmp_path / "serial", "mzml", jobs=1)
    assert len(serial.failed) == 2
    parallel = convert_many(batch_inputs, tmp_path / "parallel", "mzml", jobs=2)
    _check_batch(parallel, batch_inputs, tmp_path / "parallel", tmp_path / "serial")


def test_dask_local_cluster_matches_a_serial_conversion(tmp_path, batch_inputs):
    distributed = pytest.importorskip("dask.distributed")
    serial = convert_many(batch_inputs, tmp_path / "serial", "mzml", jobs=1)
    assert len(serial.failed) == 2
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        seen = []
        report = convert_many(batch_inputs, tmp_path / "cluster", "mzml", client=client, on_result=seen.append)
        # The command on the same cluster, by its scheduler's address.
        command = kelvara("convert", *batch_inputs, "--to", "mzml", "-o", tmp_path / "command",
                          "--scheduler", cluster.scheduler_address)
    assert len(seen) == len(batch_inputs)
    _check_batch(report, batch_inputs, tmp_path / "cluster", tmp_path / "serial")
    assert command.returncode == 1 and command.stdout.startswith(f"{len(SAMPLE_FILES)} converted, 0 skipped, 2 failed")
    assert sorted(os.listdir(tmp_path / "command")) == sorted(os.listdir(tmp_path / "serial"))


# -- the command ---------------------------------------------------------------

def kelvara(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "kelvara_tools", *map(str, args)], capture_output=True,
                          text=True, cwd=cwd, timeout=300)


@pytest.mark.parametrize("args", [
    [], ["frobnicate"], ["info"], ["convert", "x.qgd"], ["convert", "x.qgd", "--to", "xml"],
    ["convert", "x.qgd", "--to", "mzml", "--jobs", "0"], ["convert", "x.qgd", "--to", "mzml", "--jobs", "2",
                                                          "--scheduler", "tcp://h:1"],
    ["plot", "x.qgd"], ["plot", "x.qgd", "-o", "a.png", "--tic", "--bpc"],
    ["plot", "x.qgd", "-o", "a.png", "--ppm", "5"], ["plot", "x.qgd", "-o", "a.png", "--xic", "abc"],
    ["convert", "x.qgd", "--to", "mzml", "--rt", "5-3"], ["convert", "x.qgd", "--to", "mzml", "--mz", "abc"],
    ["convert", "x.qgd", "--to", "mzml", "--ms-level", "0"], ["convert", "x.qgd", "--to", "mzml", "--ms-level", "1,x"],
    ["convert", "x.qgd", "--to", "mzml", "--min-intensity", "-1"],
    ["convert", "x.qgd", "--to", "mzml", "--numpress", "--mz32"], ["convert", "x.qgd", "--to", "parquet", "--gzip"],
])
def test_bad_arguments_give_usage_and_status_2(args):
    result = kelvara(*args)
    assert result.returncode == 2
    assert result.stderr.startswith("usage: kelvara") and "error: " in result.stderr
    assert "Traceback" not in result.stderr


def test_info_shows_every_good_file_and_one_line_per_failure(tmp_path):
    missing = tmp_path / "missing.qgd"
    result = kelvara("info", *SAMPLE_FILES, missing)
    assert result.returncode == 1
    assert result.stderr.splitlines() == [f"{missing}: FileNotFoundError: [Errno 2] No such file or directory "
                                          f"(os error 2): '{missing}'"]
    lines = result.stdout.splitlines()
    assert lines[0].split()[:2] == ["name", "layout"] and len(lines) == 1 + len(SAMPLE_FILES)
    assert "MS1: 944, MS2: 48" in result.stdout and "qtof_centroid" in result.stdout

    result = kelvara("info", "--json", SAMPLE_FILES[0], missing)
    assert result.returncode == 1
    good, bad = json.loads(result.stdout)
    run = read_run(SAMPLE_FILES[0])
    assert (good["layout"], good["spectra"], good["points"]) == (run.layout, len(run), len(run.mz))
    assert good["spectra_by_ms_level"] == {"1": 944, "2": 48}
    assert good["retention_time_sec"] == [run.retention_time_sec.min(), run.retention_time_sec.max()]
    assert bad["path"] == str(missing) and bad["error"].startswith("FileNotFoundError")


def test_convert_reports_each_file_and_a_summary(tmp_path, batch_inputs):
    out = tmp_path / "out"
    result = kelvara("convert", *batch_inputs, "--to", "mzml", "-o", out, "--jobs", "1")
    assert result.returncode == 1
    lines = result.stderr.splitlines()  # not a terminal: a plain line per file
    assert len(lines) == len(batch_inputs)
    assert sum(line.startswith("converted ") for line in lines) == len(SAMPLE_FILES)
    assert any(line.startswith(f"failed    {batch_inputs[-1]}: FileNotFoundError") for line in lines)
    assert result.stdout.startswith(f"{len(SAMPLE_FILES)} converted, 0 skipped, 2 failed in ")

    again = kelvara("convert", *SAMPLE_FILES, "--to", "mzml", "-o", out)
    assert again.returncode == 0 and again.stdout.startswith(f"0 converted, {len(SAMPLE_FILES)} skipped, 0 failed")


def test_plot_writes_a_picture(tmp_path):
    pytest.importorskip("matplotlib")
    picture = tmp_path / "both.png"
    result = kelvara("plot", SAMPLE_FILES[0], "--xic", "69", "--ppm", "500", "--spectrum", "5", "-o", picture)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str(picture)
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    result = kelvara("plot", SAMPLE_FILES[0], "--spectrum", "100000", "-o", tmp_path / "none.png")
    assert result.returncode == 1 and "out of range" in result.stderr and "Traceback" not in result.stderr
    assert not (tmp_path / "none.png").exists()

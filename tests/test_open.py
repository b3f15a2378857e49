"""Opening a file: path checks, container check, layout probe, stream reads."""

from __future__ import annotations

import os

import pytest
from kelvara import RawReader

from gcms_encoders import GCMS_DATA, GCMS_INDEX, gcms_entries, index_a, profile_record

UNSUPPORTED = "parse error: unsupported file extension '.{}' (expected .qgd or .lcd)"
NO_GCMS = "parse error: 'GCMS Raw Data' storage not found in .qgd file"
NO_LCD = "parse error: none of 'TTFL Raw Data', 'QTFL RawData', or 'Mass Raw Data' storage found in .lcd file"
NOT_CFB = "parse error: not a valid OLE2/CFBF container: "


def one_scan():
    return gcms_entries([profile_record(2500, [(1234, 10000)])])


def error_of(path):
    with pytest.raises(RuntimeError) as err:
        RawReader(path)
    return str(err.value)


# --- extension and container --------------------------------------------------


@pytest.mark.parametrize("name", ["x.qgd", "x.QGD", "x.Qgd", "archive.tar.qgd", "..qgd"])
def test_extension_case_of_ascii_letters_is_ignored(make_file, name):
    reader = RawReader(make_file(name, one_scan()))
    assert repr(reader) == f"RawReader('{name}', 1 scans)"


@pytest.mark.parametrize(
    "name, shown",
    [("x.txt", "txt"), ("x.TXT", "txt"), ("x", ""), (".qgd", ""), ("x.", ""), ("x.QGDİ", "qgdİ"), ("x.qgd.bak", "bak")],
)
def test_other_extensions_are_refused_after_the_container_check(make_file, name, shown):
    assert error_of(make_file(name, one_scan())) == UNSUPPORTED.format(shown)


@pytest.mark.parametrize("name", ["missing.qgd", "missing.txt", "missing"])
def test_missing_file_is_an_io_error_whatever_its_name(tmp_path, name):
    message = error_of(str(tmp_path / name))
    assert message.startswith("I/O error: ") and "No such file or directory" in message


@pytest.mark.parametrize("name", ["x.qgd", "x.lcd", "x.txt"])
@pytest.mark.parametrize("content", [b"", b"hello world" * 100, b"\xd0\xcf\x11\xe0" + b"\0" * 1000])
def test_file_that_is_not_a_container_is_refused_before_its_extension(tmp_path, name, content):
    path = tmp_path / name
    path.write_bytes(content)
    assert error_of(str(path)).startswith(NOT_CFB)


def test_directory_is_not_a_container(tmp_path):
    folder = tmp_path / "folder.qgd"
    folder.mkdir()
    assert error_of(str(folder)).startswith(NOT_CFB)


def test_file_is_never_written(make_file):
    path = make_file("run.qgd", one_scan())
    before = open(path, "rb").read(), os.stat(path).st_mtime_ns
    RawReader(path).read_spectrum(0)
    assert (open(path, "rb").read(), os.stat(path).st_mtime_ns) == before


# --- layout probe ---------------------------------------------------------------


def test_qgd_needs_its_storage_even_when_an_lcd_storage_exists(make_file):
    assert error_of(make_file("x.qgd", {"TTFL Raw Data/Data Index": b""})) == NO_GCMS


def test_qgd_storage_name_is_matched_without_case(make_file):
    entries = {"gcms raw data/SPECTRUM INDEX": index_a([0]), "gcms raw data/Ms Raw Data": b""}
    assert RawReader(make_file("x.qgd", entries)).scan_count == 0


@pytest.mark.parametrize(
    "entries",
    [{}, {"Mass Raw Data/Spectrum Index": b""}, {"Mass Raw Data": None}, {"GCMS Raw Data/MS Raw Data": b""},
     {"QTFL Raw Data": None}],
    ids=["empty", "mass-raw-without-data-stream", "mass-raw-storage-only", "gcms-storage", "misspelt-qtfl"],
)
def test_lcd_without_a_known_layout_is_refused(make_file, entries):
    assert error_of(make_file("x.lcd", entries)) == NO_LCD


def test_lcd_probes_ttfl_before_qtfl(make_file):
    # Both storages exist: a Qtfl detection would fail on its missing
    # streams, a Ttfl one opens the empty TTFL run.
    entries = {
        "QTFL RawData": None,
        "TTFL Raw Data/Data Index": b"",
        "TTFL Raw Data/MS Raw Data": b"",
        "TTFL Raw Data/Retention Time": b"",
    }
    assert RawReader(make_file("x.lcd", entries)).scan_count == 0


def test_lcd_probes_qtfl_before_mass_raw(make_file):
    entries = {"QTFL RawData": None, "Mass Raw Data/MS Raw Data": b"", "Mass Raw Data/Spectrum Index": b""}
    assert error_of(make_file("x.lcd", entries)).startswith(
        "parse error: stream 'QTFL RawData/Centroid Index' not found: "
    )


def test_a_stream_where_the_gcms_storage_should_be_passes_the_probe_then_fails(make_file):
    message = error_of(make_file("x.qgd", {"GCMS Raw Data": b"not a storage"}))
    assert message.startswith("parse error: stream 'GCMS Raw Data/Spectrum Index' not found: ")
    assert len(message) > len("parse error: stream 'GCMS Raw Data/Spectrum Index' not found: ")


# --- required streams -------------------------------------------------------------


@pytest.mark.parametrize("missing", [GCMS_INDEX, GCMS_DATA])
def test_missing_required_stream_is_named(make_file, missing):
    entries = one_scan()
    del entries[missing]
    message = error_of(make_file("x.qgd", entries))
    assert message.startswith(f"parse error: stream '{missing}' not found: ")


def test_missing_stream_is_reported_before_a_malformed_index(make_file):
    entries = {GCMS_INDEX: b"\0" * 5}
    message = error_of(make_file("x.qgd", entries))
    assert message.startswith(f"parse error: stream '{GCMS_DATA}' not found: ")


def test_a_storage_where_a_stream_should_be_is_not_a_stream(make_file):
    entries = {GCMS_INDEX: index_a([]), GCMS_DATA + "/inner": b"x"}
    assert error_of(make_file("x.qgd", entries)).startswith(f"parse error: stream '{GCMS_DATA}' not found: ")


# --- display name -----------------------------------------------------------------


def test_display_name_drops_directories_and_dot_components(make_file, tmp_path, monkeypatch):
    path = make_file("run1.qgd", one_scan())
    monkeypatch.chdir(tmp_path)
    for given in (path, "run1.qgd", "./run1.qgd", os.path.join(".", ".", "run1.qgd"), str(tmp_path) + "//run1.qgd"):
        assert repr(RawReader(given)) == "RawReader('run1.qgd', 1 scans)"
    sub = tmp_path / "data"
    sub.mkdir()
    os.rename(path, sub / "run1.qgd")
    assert repr(RawReader("data/../data/run1.qgd")) == "RawReader('run1.qgd', 1 scans)"


def test_a_fifo_is_refused_without_waiting_for_a_writer(tmp_path):
    fifo = tmp_path / "pipe.qgd"
    os.mkfifo(fifo)
    assert error_of(str(fifo)).startswith(NOT_CFB)


@pytest.mark.parametrize("device", ["/dev/null", "/dev/zero", "/dev/urandom"])
def test_a_device_is_refused_as_a_file_of_no_size(device):
    # /dev/zero and /dev/urandom never end: a reader that read until the end
    # of the file instead of asking its size would never return.
    if not os.path.exists(device):
        pytest.skip(f"no {device} here")
    assert error_of(device) == NOT_CFB + "the file is 0 bytes, shorter than the 512-byte header"

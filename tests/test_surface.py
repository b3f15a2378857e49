"""What Python sees of the module: names, types, arguments, reprs, errors."""

from __future__ import annotations

import gc
import os
import pathlib
import sys
import threading

import pytest

import kelvara
from kelvara import RawReader, Spectrum

from gcms_encoders import gcms_entries, header, mrm_record, profile_record


@pytest.fixture
def reader_path(make_file):
    records = [
        profile_record(12125, [(1000, 1), (1005, 2), (2000, 3)]),
        profile_record(375, [(500, 9)]),
        mrm_record(0, [(1000, 500, 65535), (1000, 600, 1)]),
        header(1500, 2, 0),
    ]
    return make_file("run01.qgd", gcms_entries(records))


@pytest.fixture
def reader(reader_path):
    return RawReader(reader_path)


# --- module ----------------------------------------------------------------


def test_module_exports_exactly_the_two_classes():
    assert kelvara.__all__ == ["RawReader", "Spectrum"]
    assert kelvara.__doc__ == ""
    own = {n for n in vars(kelvara) if not n.startswith("__")}
    assert own == {"RawReader", "Spectrum"}
    namespace = {}
    exec("from kelvara import *", namespace)
    assert {n for n in namespace if n != "__builtins__"} == {"RawReader", "Spectrum"}


@pytest.mark.parametrize("cls", [RawReader, Spectrum])
def test_classes_are_plain_final_heap_types(cls):
    assert cls.__module__ == "builtins"
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert not hasattr(cls, "__dict__") or "__dict__" not in cls.__dict__
    assert "__weakref__" not in cls.__dict__


def test_doc_texts_are_only_the_signatures():
    assert RawReader.__text_signature__ == "(path)"
    assert RawReader.__doc__ in ("", None)
    assert RawReader.read_spectrum.__text_signature__ == "($self, scan_index)"
    assert Spectrum.__doc__ is None
    for name in ("mz", "intensity", "ms_level", "retention_time_sec"):
        assert getattr(Spectrum, name).__doc__ is None
    assert list(n for n in vars(Spectrum) if not n.startswith("__")) == [
        "mz",
        "intensity",
        "ms_level",
        "retention_time_sec",
    ]


def test_spectrum_cannot_be_made_from_python():
    with pytest.raises(TypeError):
        Spectrum()


# --- RawReader construction -------------------------------------------------


def test_path_by_keyword_is_the_same_as_by_position(reader_path):
    assert repr(RawReader(path=reader_path)) == repr(RawReader(reader_path))


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), (("a.qgd", "b.qgd"), {}), (("a.qgd",), {"path": "a.qgd"}), ((), {"file": "a.qgd"})],
    ids=["missing", "two", "twice", "unknown-keyword"],
)
def test_bad_constructor_arguments_raise_type_error(args, kwargs):
    with pytest.raises(TypeError):
        RawReader(*args, **kwargs)


@pytest.mark.parametrize("convert", [pathlib.Path, os.fsencode, lambda p: 3], ids=["pathlib", "bytes", "int"])
def test_only_str_paths_are_accepted(reader_path, convert):
    with pytest.raises(TypeError):
        RawReader(convert(reader_path))


def test_str_subclass_path_is_accepted(reader_path):
    class Name(str):
        pass

    assert RawReader(Name(reader_path)).scan_count == 5


def test_path_that_cannot_be_utf8_encoded_raises_unicode_error():
    with pytest.raises(UnicodeEncodeError):
        RawReader("run\udc80.qgd")


def test_path_with_nul_byte_is_an_io_error():
    with pytest.raises(RuntimeError, match=r"^I/O error: "):
        RawReader("run\0.qgd")


# --- RawReader state and repr -------------------------------------------------


def test_repr_shows_final_component_and_record_count(reader):
    assert repr(reader) == "RawReader('run01.qgd', 5 scans)"
    assert str(reader) == repr(reader)
    assert reader.scan_count == 5


def test_repr_leaves_quotes_and_non_ascii_unescaped(make_file):
    path = make_file("Kim's run – ä.qgd", gcms_entries([profile_record(1, [(1, 1)])]))
    assert repr(RawReader(path)) == "RawReader('Kim's run – ä.qgd', 1 scans)"


def test_scan_count_is_read_only(reader):
    with pytest.raises(AttributeError):
        reader.scan_count = 3
    with pytest.raises(AttributeError):
        del reader.scan_count
    with pytest.raises(AttributeError):
        reader.extra = 1


def test_reader_has_no_sequence_protocol(reader):
    with pytest.raises(TypeError):
        len(reader)
    with pytest.raises(TypeError):
        iter(reader)
    with pytest.raises(TypeError):
        reader[0]


def test_file_is_not_needed_after_construction(reader_path):
    reader = RawReader(reader_path)
    os.remove(reader_path)
    assert reader.read_spectrum(0).mz == [100.0, 100.5, 200.0]


# --- read_spectrum arguments --------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("index", [1, True, Index(1)], ids=["int", "bool", "__index__"])
def test_scan_index_accepts_int_bool_and_index_objects(reader, index):
    assert reader.read_spectrum(index).mz == reader.read_spectrum(1).mz == [50.0]
    assert reader.read_spectrum(scan_index=index).mz == [50.0]


@pytest.mark.parametrize("index", [-1, -(2**70), 2**64, 2**100], ids=["-1", "very-negative", "2^64", "2^100"])
def test_scan_index_outside_u64_is_overflow_error(reader, index):
    with pytest.raises(OverflowError):
        reader.read_spectrum(index)


@pytest.mark.parametrize("index", [5, 6, 2**64 - 1])
def test_scan_index_past_the_list_is_runtime_error(reader, index):
    with pytest.raises(RuntimeError) as err:
        reader.read_spectrum(index)
    assert str(err.value) == f"scan {index} out of range"
    assert reader.read_spectrum(4).retention_time_sec == 1.5  # still usable


@pytest.mark.parametrize("bad", [1.0, "1", None, Index("x")], ids=["float", "str", "None", "bad-__index__"])
def test_scan_index_without_a_proper_index_is_type_error(reader, bad):
    with pytest.raises(TypeError):
        reader.read_spectrum(bad)


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((0, 1), {}), ((0,), {"scan_index": 0}), ((), {"index": 0}), ((0,), {"index": 0})],
    ids=["missing", "two", "twice", "unknown-keyword", "extra-keyword"],
)
def test_bad_read_spectrum_arguments_raise_type_error(reader, args, kwargs):
    with pytest.raises(TypeError):
        reader.read_spectrum(*args, **kwargs)


def test_empty_reader_has_nothing_to_read(make_file):
    reader = RawReader(make_file("empty.qgd", gcms_entries([])))
    assert (reader.scan_count, repr(reader)) == (0, "RawReader('empty.qgd', 0 scans)")
    with pytest.raises(RuntimeError, match=r"^scan 0 out of range$"):
        reader.read_spectrum(0)


# --- Spectrum -----------------------------------------------------------------


def test_spectrum_values_and_types(reader):
    s = reader.read_spectrum(0)
    assert type(s) is Spectrum
    assert (s.mz, s.intensity, s.ms_level, s.retention_time_sec) == ([100.0, 100.5, 200.0], [1.0, 2.0, 3.0], 1, 12.125)
    assert all(type(v) is float for v in s.mz + s.intensity)
    assert type(s.ms_level) is int and type(s.retention_time_sec) is float
    assert len(s) == 3


@pytest.mark.parametrize("index, text", [(0, "Spectrum(3 peaks, RT 12.12s)"), (1, "Spectrum(1 peaks, RT 0.38s)"),
                                          (2, "Spectrum(1 peaks, RT 0.00s)"), (4, "Spectrum(0 peaks, RT 1.50s)")])
def test_spectrum_repr_rounds_half_to_even_on_the_binary_value(reader, index, text):
    s = reader.read_spectrum(index)
    assert repr(s) == str(s) == text


def test_every_access_returns_fresh_independent_objects(reader):
    s = reader.read_spectrum(0)
    first, second = s.mz, s.mz
    assert first == second and first is not second
    first.append(1.0)
    s.intensity.clear()
    assert s.mz == [100.0, 100.5, 200.0] and s.intensity == [1.0, 2.0, 3.0]
    other = reader.read_spectrum(0)
    assert other is not s and other.mz == s.mz


@pytest.mark.parametrize("name", ["mz", "intensity", "ms_level", "retention_time_sec"])
def test_spectrum_properties_are_read_only(reader, name):
    s = reader.read_spectrum(0)
    with pytest.raises(AttributeError):
        setattr(s, name, 1)
    with pytest.raises(AttributeError):
        delattr(s, name)


def test_spectrum_outlives_its_reader(reader_path):
    s = RawReader(reader_path).read_spectrum(2)
    gc.collect()
    assert (s.mz, s.intensity, s.ms_level) == ([50.0], [65535.0], 2)


def test_no_reference_leaks_on_repeated_reads(reader):
    s = reader.read_spectrum(0)
    before = sys.getrefcount(reader), sys.getrefcount(Spectrum), sys.getrefcount(RawReader)
    for _ in range(1000):
        reader.read_spectrum(0).mz
        repr(reader.read_spectrum(1))
        with pytest.raises(RuntimeError):
            reader.read_spectrum(99)
    after = sys.getrefcount(reader), sys.getrefcount(Spectrum), sys.getrefcount(RawReader)
    assert before == after
    assert s.mz == [100.0, 100.5, 200.0]


def test_readers_can_be_shared_between_threads(reader):
    results = []

    def work():
        results.append([reader.read_spectrum(i).mz for i in range(reader.scan_count)])

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 4 and all(r == results[0] for r in results)


def test_installed_type_stub_names_what_the_module_has():
    import ast

    stub_path = os.path.join(os.path.dirname(kelvara.__file__), "kelvara.pyi")
    tree = ast.parse(open(stub_path, encoding="utf-8").read())
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    assert set(classes) == set(kelvara.__all__)
    for name, node in classes.items():
        members = {f.name for f in node.body if isinstance(f, ast.FunctionDef) and f.name != "__new__"}
        runtime = {n for n in vars(getattr(kelvara, name)) if not n.startswith("__")}
        assert members - {"__len__"} == runtime

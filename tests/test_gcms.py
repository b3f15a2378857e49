"""GC-MS files: index layouts, scan byte ranges, Profile and MRM records."""

from __future__ import annotations

import struct

import pytest
from kelvara import RawReader

from gcms_encoders import (
    assert_read_back,
    GCMS_DATA,
    GCMS_INDEX,
    concat,
    expected_mrm,
    expected_profile,
    f32,
    gcms_entries,
    header,
    index_a,
    index_b,
    mrm_record,
    profile_record,
    realistic_run,
)


def read_all(reader):
    return [reader.read_spectrum(i) for i in range(reader.scan_count)]


def open_gcms(make_file, index, data, name="run.qgd"):
    return RawReader(make_file(name, {GCMS_INDEX: index, GCMS_DATA: data}))


# --- index stream ----------------------------------------------------------


@pytest.mark.parametrize("size", [1, 3, 5, 6, 7, 9, 11, 13, 17])
def test_index_of_neither_layout_fails_the_open(make_file, size):
    with pytest.raises(RuntimeError) as err:
        open_gcms(make_file, b"\0" * size, b"")
    assert str(err.value) == (
        f"parse error: Spectrum Index stream size {size} matches neither Variant A (u32[N]) "
        "nor Variant B (2-byte header + u64[N])"
    )


@pytest.mark.parametrize("index", [b"", b"\x01\x02"], ids=["empty-variant-a", "header-only-variant-b"])
def test_index_without_entries_gives_no_scans(make_file, index):
    reader = open_gcms(make_file, index, profile_record(100, [(1000, 5)]))
    assert reader.scan_count == 0


@pytest.mark.parametrize("n", [1, 2, 3, 5])
@pytest.mark.parametrize("variant", ["A", "B"])
def test_both_index_layouts_locate_the_same_scans(make_file, variant, n):
    # Sizes 4n (Variant A) and 2 + 8n (Variant B): 12 and 20 bytes are A, 10
    # and 18 bytes B.
    records = [profile_record(1000 * (k + 1), [(500 + k, 10 * k + 1)] * (k + 1)) for k in range(n)]
    data, offsets = concat(records)
    index = index_a(offsets) if variant == "A" else index_b(offsets)
    assert len(index) == (4 * n if variant == "A" else 2 + 8 * n)
    reader = open_gcms(make_file, index, data)
    assert_read_back(reader, [expected_profile(1000 * (k + 1), [(500 + k, 10 * k + 1)] * (k + 1)) for k in range(n)])


def test_variant_b_offsets_use_all_64_bits(make_file):
    # An offset of 2^32 lies past any data; read as 32 bits it would be 0.
    record = profile_record(5, [(100, 1)])
    reader = open_gcms(make_file, index_b([2**32]), record)
    assert reader.scan_count == 0


# --- scan byte ranges ------------------------------------------------------


def sized_record(rt_ms, size):
    """A Profile record of exactly `size` bytes (size - 32 divisible by 4)."""
    n = (size - 32) // 4
    return profile_record(rt_ms, [(1000 + k, k) for k in range(n)])


def test_each_scan_runs_to_the_next_entry_and_the_last_to_the_end(make_file):
    data = sized_record(1, 100) + sized_record(2, 152) + sized_record(3, 148)
    reader = open_gcms(make_file, index_a([0, 100, 252]), data)
    assert [len(s) for s in read_all(reader)] == [17, 30, 29]
    assert [s.retention_time_sec for s in read_all(reader)] == [0.001, 0.002, 0.003]


def test_a_backwards_range_skips_only_that_scan(make_file):
    # Entries 0, 300, 200 over 400 bytes: [0, 300) and [200, 400) decode and
    # overlap; scan 1 (300 down to 200) is skipped, so record 1 is scan 2.
    data = bytearray(struct.pack("<H", 7) * 200)
    data[200:400] = sized_record(3, 200)
    data[0:32] = header(1, 2, 67)  # 32 + 4 * 67 = 300 bytes
    points = struct.unpack("<134H", bytes(data[32:300]))
    reader = open_gcms(make_file, index_a([0, 300, 200]), bytes(data))
    first, second = read_all(reader)
    assert first.mz == [t / 10.0 for t in points[0::2]]
    assert first.intensity == [float(i) for i in points[1::2]]
    assert (len(second), second.retention_time_sec) == (42, 0.003)


def test_an_entry_past_the_end_skips_it_and_the_scan_before(make_file):
    a, b, c = sized_record(1, 64), sized_record(2, 64), sized_record(3, 64)
    reader = open_gcms(make_file, index_a([0, 64, 10_000, 128]), a + b + c)
    # [0, 64) decodes; [64, 10000) runs past the end; [10000, 128) runs
    # backwards; [128, 192) decodes.
    assert [s.retention_time_sec for s in read_all(reader)] == [0.001, 0.003]


def test_all_offsets_past_the_data_give_an_empty_reader(make_file):
    reader = open_gcms(make_file, index_a([1000, 2000]), sized_record(1, 64))
    assert reader.scan_count == 0
    assert repr(reader) == "RawReader('run.qgd', 0 scans)"


def test_equal_consecutive_entries_give_an_empty_scan_that_is_skipped(make_file):
    reader = open_gcms(make_file, index_a([0, 0, 64]), sized_record(1, 64) + sized_record(2, 64))
    assert [s.retention_time_sec for s in read_all(reader)] == [0.001, 0.002]


# --- Profile records -------------------------------------------------------


def test_profile_point_bytes_decode_to_tenths_and_counts(make_file):
    record = header(750, 2, 1) + bytes.fromhex("D2041027")
    reader = open_gcms(make_file, index_a([0]), record)
    s = reader.read_spectrum(0)
    assert (s.mz, s.intensity, s.ms_level, s.retention_time_sec) == ([123.4], [10000.0], 1, 0.75)


def test_profile_record_without_points_is_an_empty_spectrum(make_file):
    reader = open_gcms(make_file, index_a([0]), header(0, 2, 0))
    s = reader.read_spectrum(0)
    assert (len(s), s.mz, s.intensity, s.ms_level) == (0, [], [], 1)
    assert repr(s) == "Spectrum(0 peaks, RT 0.00s)"


@pytest.mark.parametrize(
    "record",
    [
        b"",
        b"\0" * 31,
        header(5, 1),  # 32 bytes, format 1: neither layout
        header(5, 2, 3) + b"\0" * 8,  # 3 points need 12 bytes
        header(5, 7, 0, 0, 4) + b"\0" * 20,  # MRM width 5
        header(5, 7, 0, 0, 4) + b"\0" * 36,  # MRM width 9
        header(5, 7, 0, 0, 3) + b"\0" * 19,  # not a whole number of transitions
    ],
    ids=["empty", "31-bytes", "format-1", "short-profile", "width-5", "width-9", "ragged"],
)
def test_undecodable_records_are_skipped_between_good_ones(make_file, record):
    good1, good2 = profile_record(1, [(100, 1)]), profile_record(3, [(300, 3)])
    reader = RawReader(make_file("run.qgd", gcms_entries([good1, record, good2])))
    assert [s.mz for s in read_all(reader)] == [[10.0], [30.0]]


def test_profile_is_tested_before_mrm(make_file):
    # format 2, 3 points, 2 transitions: 12 payload bytes are Profile,
    # 14 payload bytes are MRM with 7-byte transitions.
    as_profile = header(10, 2, 3, 0, 2) + struct.pack("<6H", 10, 1, 20, 2, 30, 3)
    as_mrm = header(20, 2, 3, 0, 2) + bytes.fromhex("1027E80301 0001") + bytes.fromhex("2000 1000 FFFFFF")
    reader = RawReader(make_file("run.qgd", gcms_entries([as_profile, as_mrm])))
    spectra = read_all(reader)
    assert [(s.mz, s.intensity, s.ms_level) for s in spectra] == [
        ([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], 1),
        ([100.0], [65537.0], 2),
        ([1.6], [16777215.0], 2),
    ]


# --- MRM records -----------------------------------------------------------


@pytest.mark.parametrize(
    "width, intensity_bytes, intensity",
    [(6, "FFFF", 65535.0), (7, "010001", 65537.0), (8, "FFFFFFFF", 4294967296.0), (8, "01000001", 16777216.0)],
)
def test_mrm_transition_widths(make_file, width, intensity_bytes, intensity):
    record = header(9, 5, 0, 0, 1) + bytes.fromhex("1027E803" + intensity_bytes)
    assert len(record) == 32 + width
    reader = open_gcms(make_file, index_a([0]), record)
    s = reader.read_spectrum(0)
    assert (s.mz, s.intensity, s.ms_level) == ([100.0], [intensity], 2)
    # 9 ms: the division by 1000 gives the double nearest to 0.009.
    assert s.retention_time_sec == 0.009


def test_mrm_record_gives_one_record_per_transition_then_the_next_scan(make_file):
    transitions = [(1940, 1090, 1234), (1780, 1520, 99), (2700, 740, 65535)]
    records = [mrm_record(4321, transitions, width=6), profile_record(5000, [(400, 7)])]
    reader = RawReader(make_file("run.qgd", gcms_entries(records)))
    assert_read_back(reader, expected_mrm(4321, transitions) + [expected_profile(5000, [(400, 7)])])
    # Wide intensities round to the nearest single-precision value.
    assert f32(16777217) == 16777216.0


def test_largest_retention_time_converts_without_loss(make_file):
    reader = open_gcms(make_file, index_a([0]), profile_record(2**32 - 1, [(1, 1)]))
    s = reader.read_spectrum(0)
    assert s.retention_time_sec == 4294967.295
    assert repr(s) == "Spectrum(1 peaks, RT 4294967.29s)"


# --- whole runs ------------------------------------------------------------


@pytest.mark.parametrize("version", [3, 4])
@pytest.mark.parametrize("variant", ["A", "B"])
def test_realistic_run_reads_back_exactly(make_file, version, variant):
    run = realistic_run(n_scans=120, mrm_every=10, seed=version * 10 + ord(variant))
    path = make_file("run01.qgd", gcms_entries(run.records, variant), version=version)
    reader = RawReader(path)
    assert repr(reader) == f"RawReader('run01.qgd', {len(run.expected)} scans)"
    assert_read_back(reader, run.expected)
    levels = {reader.read_spectrum(i).ms_level for i in range(reader.scan_count)}
    assert levels == {1, 2}


def test_large_run_past_the_header_fat_capacity(make_file):
    # Over 7.2 MB of scan data: the container needs FAT sectors listed beyond
    # the header's 109, and scans cross many sector boundaries.
    run = realistic_run(n_scans=1000, scan_ms=100, seed=3)
    data, offsets = concat(run.records)
    copies = 7_300_000 // len(data) + 1
    all_offsets = [o + k * len(data) for k in range(copies) for o in offsets]
    path = make_file("big.qgd", {GCMS_INDEX: index_a(all_offsets), GCMS_DATA: data * copies})
    reader = RawReader(path)
    assert reader.scan_count == copies * len(run.expected)
    for i in (0, 1, 777, len(run.expected) + 5, reader.scan_count // 2, reader.scan_count - 1):
        want = run.expected[i % len(run.expected)]
        got = reader.read_spectrum(i)
        assert (got.mz, got.intensity, got.retention_time_sec) == (want.mz, want.intensity, want.rt)

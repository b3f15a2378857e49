"""QTOF centroid files: Centroid Index, Retention Time and centroid scan records."""

from __future__ import annotations

import random
import struct

import pytest
from kelvara import RawReader

from gcms_encoders import f32
from lcms_encoders import (
    QTFL_DATA,
    QTFL_INDEX,
    QTFL_TIMES,
    assert_read_back,
    expected_qtof,
    qtof_file_entries,
    qtof_index,
    qtof_record,
    qtof_run,
    qtof_times,
)


def error_of(make_file, entries):
    with pytest.raises(RuntimeError) as err:
        RawReader(make_file("run.lcd", entries))
    return str(err.value)


def raw_record(declared, width, length):
    """A record of `length` bytes whose header declares `declared` and `width`."""
    head = bytearray(max(length, 64))
    struct.pack_into("<I", head, 24, declared)
    struct.pack_into("<I", head, 36, width)
    return bytes(head[:length])


GOOD = qtof_record([100 * 10**12, 200 * 10**12], [7, 9], width=2)


# --- index and retention-time streams -------------------------------------------


@pytest.mark.parametrize(
    "index_size, times_size, message",
    [
        (50, 36, "Centroid Index stream size 50 is not a multiple of 24"),
        (23, 0, "Centroid Index stream size 23 is not a multiple of 24"),
        (48, 30, "Retention Time stream size 30 is not a multiple of 12"),
        (0, 11, "Retention Time stream size 11 is not a multiple of 12"),
        (50, 30, "Centroid Index stream size 50 is not a multiple of 24"),
    ],
)
def test_malformed_index_or_times_fail_the_open(make_file, index_size, times_size, message):
    entries = {QTFL_INDEX: b"\0" * index_size, QTFL_DATA: b"", QTFL_TIMES: b"\0" * times_size}
    assert error_of(make_file, entries) == "parse error: " + message


@pytest.mark.parametrize("missing", [QTFL_INDEX, QTFL_DATA, QTFL_TIMES])
def test_missing_stream_is_reported_before_a_malformed_index(make_file, missing):
    entries = {QTFL_INDEX: b"\0" * 50, QTFL_DATA: b"", QTFL_TIMES: b"\0" * 30}
    del entries[missing]
    assert error_of(make_file, entries).startswith(f"parse error: stream '{missing}' not found: ")


@pytest.mark.parametrize("n", [0, 1, 2, 5])
def test_one_spectrum_per_index_entry_with_its_retention_time(make_file, n):
    times = [250 * (k + 1) for k in range(n)]
    reader = RawReader(make_file("run.lcd", qtof_file_entries([GOOD] * n, [0] * n, times)))
    assert [reader.read_spectrum(i).retention_time_sec for i in range(reader.scan_count)] == [t / 1000 for t in times]


def test_ranges_follow_the_next_index_entry_not_sorted_offsets(make_file):
    # Offsets 0, 100, 60 over 200 bytes: [0, 100), skipped (runs backwards),
    # [60, 200). The second record's header starts inside the first record's
    # uninterpreted tail.
    first = qtof_record([123 * 10**12], [200], width=1)
    last = qtof_record([(300 + k) * 10**12 for k in range(6)], [k * 1000 for k in range(6)], width=4)
    data = bytearray(200)
    data[60 : 60 + len(last)] = last
    data[: len(first)] = first
    entries = {QTFL_INDEX: qtof_index([(0, 0), (100, 1), (60, 2)]), QTFL_DATA: bytes(data), QTFL_TIMES: qtof_times([10, 20, 30])}
    assert_read_back(
        RawReader(make_file("run.lcd", entries)),
        [
            expected_qtof([123 * 10**12], [200], 0, 10),
            expected_qtof([(300 + k) * 10**12 for k in range(6)], [k * 1000 for k in range(6)], 2, 30),
        ],
    )


@pytest.mark.parametrize(
    "offsets, decoded",
    [([500], []), ([0, 500], []), ([0, 500, 0], [2])],
    ids=["only-past-end", "last-past-end", "past-end-then-back"],
)
def test_an_offset_past_the_data_skips_its_scan_and_the_one_before(make_file, offsets, decoded):
    entries = {QTFL_INDEX: qtof_index([(o, 0) for o in offsets]), QTFL_DATA: GOOD, QTFL_TIMES: qtof_times([1, 2, 3])}
    reader = RawReader(make_file("run.lcd", entries))
    assert [reader.read_spectrum(i).retention_time_sec for i in range(reader.scan_count)] == [
        (i + 1) / 1000 for i in decoded
    ]


def test_level_codes_give_ms_levels(make_file):
    codes = [0, 1, 2, 7, 0xFFFFFFFF]
    reader = RawReader(make_file("run.lcd", qtof_file_entries([GOOD] * 5, codes, [0] * 5)))
    assert [reader.read_spectrum(i).ms_level for i in range(5)] == [1, 1, 2, 2, 2]


def test_retention_times_go_by_index_position(make_file):
    # Scan 1 fails to decode; scan 2 still takes retention time entry 2, and
    # scan 3, beyond the three stored entries, gets 0.0.
    records = [GOOD, raw_record(10, 4, 64), GOOD, GOOD]
    entries = qtof_file_entries(records, [0, 0, 2, 1], [250, 500, 9])
    mz, intensity = [100 * 10**12, 200 * 10**12], [7, 9]
    assert_read_back(
        RawReader(make_file("run.lcd", entries)),
        [expected_qtof(mz, intensity, 0, 250), expected_qtof(mz, intensity, 2, 9), expected_qtof(mz, intensity, 1, None)],
    )


# --- scan records ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "record",
    [
        b"",
        raw_record(0, 4, 63),
        raw_record(10, 4, 64),
        raw_record(24, 2, 64 + 23),
        raw_record(11, 3, 75),
        raw_record(8, 0, 72),
        raw_record(16, 8, 80),
        raw_record(25, 4, 89),
        raw_record(20, 1, 100),
    ],
    ids=["empty", "short-header", "no-payload", "payload-short-by-one", "width-3", "width-0", "width-8",
         "not-multiple-of-12", "not-multiple-of-9"],
)
def test_undecodable_record_drops_only_its_scan(make_file, record):
    other = qtof_record([5 * 10**14], [65535], width=2)
    entries = qtof_file_entries([GOOD, record, other], [0, 0, 2], [1, 2, 3])
    assert_read_back(
        RawReader(make_file("run.lcd", entries)),
        [expected_qtof([100 * 10**12, 200 * 10**12], [7, 9], 0, 1), expected_qtof([5 * 10**14], [65535], 2, 3)],
    )


@pytest.mark.parametrize("width", [0, 1, 2, 3, 4, 99])
@pytest.mark.parametrize("tail", [b"", b"\xff" * 40])
def test_zero_declared_size_is_an_empty_scan_whatever_the_width(make_file, width, tail):
    reader = RawReader(make_file("run.lcd", qtof_file_entries([raw_record(0, width, 64) + tail], [0], [5])))
    spectrum = reader.read_spectrum(0)
    assert (spectrum.mz, spectrum.intensity, spectrum.retention_time_sec) == ([], [], 0.005)


def test_two_byte_intensities_follow_the_mz_array(make_file):
    # D = 20, W = 2: m/z words at payload bytes 0 and 8, intensities at 16 and 18.
    payload = struct.pack("<QQHH", 5 * 10**14, 1234567890123456, 0x0102, 0xFFFF)
    record = raw_record(20, 2, 64) + payload
    spectrum = RawReader(make_file("run.lcd", qtof_file_entries([record], [0], []))).read_spectrum(0)
    assert spectrum.mz == [500.0, 1234567890123456 / 1e12]
    assert spectrum.intensity == [258.0, 65535.0]


@pytest.mark.parametrize("width", [1, 2, 4])
def test_bytes_past_the_declared_size_are_ignored(make_file, width):
    mz, values = [10**14, 2 * 10**14, 3 * 10**14], [1, 2, 3]
    exact = qtof_record(mz, values, width=width)
    # The tail would read as further peaks if the record length were used.
    longer = qtof_record(mz, values, width=width, trailing=qtof_record(mz, values, width=width)[64:])
    reader = RawReader(make_file("run.lcd", qtof_file_entries([exact, longer], [0, 0], [])))
    want = expected_qtof(mz, values, 0, None)
    assert_read_back(reader, [want, want])


@pytest.mark.parametrize("width", [1, 2, 4])
def test_mz_and_intensity_conversions_against_a_reference(make_file, width):
    # m/z words beyond 2^53 need rounding to the nearest double before the
    # division; 4-byte intensities beyond 2^24 rounding to the nearest float.
    rng = random.Random(width)
    special = [0, 1, 2**53 + 1, 2**64 - 1, 5 * 10**14, 2**63 + 2**10 + 1]
    mz = special + [rng.randrange(2**64) for _ in range(200)]
    top = 2 ** (8 * width) - 1
    values = [top, 0, 2**24 + 1 if width == 4 else 1, top - 1] + [rng.randrange(top + 1) for _ in range(len(mz) - 4)]
    reader = RawReader(make_file("run.lcd", qtof_file_entries([qtof_record(mz, values, width=width)], [3], [77])))
    assert_read_back(reader, [expected_qtof(mz, values, 3, 77)])
    if width == 4:
        assert reader.read_spectrum(0).intensity[0] == 2.0**32 == f32(2**32 - 1)


def test_realistic_run_reads_back_exactly(make_file):
    run = qtof_run(n_scans=240, seed=3)
    reader = RawReader(make_file("lc_qtof.lcd", run.entries))
    assert_read_back(reader, run.expected)
    assert {s.ms_level for s in run.expected} == {1, 2}

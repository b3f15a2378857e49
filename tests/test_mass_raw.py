"""Single-quadrupole files: the offset index, scan byte ranges and peak records."""

from __future__ import annotations

import random
import struct

import pytest
from kelvara import RawReader

from gcms_encoders import concat, f32
from lcms_encoders import (
    MASS_RAW_DATA,
    MASS_RAW_INDEX,
    assert_read_back,
    expected_sq,
    mass_raw_entries,
    single_quad_run,
    sq_header,
    sq_record,
    u32s,
)


def open_sq(make_file, entries):
    return RawReader(make_file("run.lcd", entries))


def times_of(reader):
    return [reader.read_spectrum(i).retention_time_sec for i in range(reader.scan_count)]


# --- index and byte ranges -------------------------------------------------------


@pytest.mark.parametrize("size", [0, 1, 2, 3])
def test_index_shorter_than_one_offset_gives_no_scans(make_file, size):
    entries = mass_raw_entries([sq_record(1, [(1000, 1)])], index=b"\0" * size)
    assert open_sq(make_file, entries).scan_count == 0


def test_trailing_index_bytes_are_ignored(make_file):
    # Nine bytes: two offsets and a stray byte, which would be a third
    # (empty, then too short) scan if it were read as an offset.
    records = [sq_record(1000, [(1234, 5)]), sq_record(2000, [(4321, 6)])]
    data, offsets = concat(records)
    reader = open_sq(make_file, {MASS_RAW_INDEX: u32s(offsets) + b"\x00", MASS_RAW_DATA: data})
    assert_read_back(reader, [expected_sq(1000, [(1234, 5)]), expected_sq(2000, [(4321, 6)])])


def test_each_scan_runs_to_the_next_index_entry_never_sorted(make_file):
    # Offsets 0, 300, 200 over 400 bytes: [0, 300), skipped (300 to 200 runs
    # backwards), [200, 400). The record at 200 overlaps the tail of the
    # first, whose last 25 peaks are read from its bytes.
    rng = random.Random(1)
    last_peaks = [(rng.randrange(65536), rng.randrange(65536)) for _ in range(34)]
    data = bytearray(400)
    data[200:400] = sq_record(3000, last_peaks)
    first_peaks = [(rng.randrange(65536), rng.randrange(65536)) for _ in range(34)]
    data[:200] = sq_record(1000, first_peaks, n_peaks=59)
    tail = struct.unpack("<50H", data[200:300])
    first_peaks += list(zip(tail[0::2], tail[1::2]))
    reader = open_sq(make_file, {MASS_RAW_INDEX: u32s([0, 300, 200]), MASS_RAW_DATA: bytes(data)})
    assert_read_back(reader, [expected_sq(1000, first_peaks), expected_sq(3000, last_peaks)])


def test_equal_offsets_give_an_empty_scan_that_is_skipped(make_file):
    records = [sq_record(1000 * (k + 1), [(500 + k, k + 1)] * (k + 1)) for k in range(3)]
    data, offsets = concat(records)
    reader = open_sq(make_file, {MASS_RAW_INDEX: u32s([0, *offsets]), MASS_RAW_DATA: data})
    assert_read_back(reader, [expected_sq(1000 * (k + 1), [(500 + k, k + 1)] * (k + 1)) for k in range(3)])


def test_an_offset_past_the_data_skips_its_scan_and_the_one_before(make_file):
    records = [sq_record(1000, [(500, 1)]), sq_record(2000, [(600, 2)]), sq_record(3000, [(700, 3)])]
    data, offsets = concat(records)
    index = u32s([offsets[0], offsets[1], len(data) + 1, offsets[2]])
    assert times_of(open_sq(make_file, {MASS_RAW_INDEX: index, MASS_RAW_DATA: data})) == [1.0, 3.0]


def test_missing_index_fails_the_open(make_file):
    entries = mass_raw_entries([sq_record(1, [(1000, 1)])])
    del entries[MASS_RAW_INDEX]
    with pytest.raises(RuntimeError) as err:
        open_sq(make_file, entries)
    assert str(err.value).startswith(f"parse error: stream '{MASS_RAW_INDEX}' not found: ")


# --- scan records -----------------------------------------------------------------


@pytest.mark.parametrize(
    "record",
    [
        b"",
        sq_header(5, 1)[:63],
        sq_header(5, 0),
        sq_header(5, 0) + b"\0" * 12,
        sq_header(5, 3) + b"\0" * 10,
        sq_header(5, 4) + b"\0" * 8,
        sq_header(5, 4) + b"\0" * 28,
        sq_header(5, 5),
        sq_header(5, 1) + b"\0" * 2,
        sq_header(5, 65535) + b"\0" * (7 * 65535),
    ],
    ids=["empty", "short-header", "no-peaks", "no-peaks-with-payload", "not-divisible", "width-2", "width-7",
         "width-0", "width-2-single", "width-7-max-count"],
)
def test_undecodable_record_drops_only_its_scan(make_file, record):
    good = [sq_record(1000, [(1234, 10000)]), sq_record(3000, [(999, 1)], width=3)]
    reader = open_sq(make_file, mass_raw_entries([good[0], record, good[1]]))
    assert_read_back(reader, [expected_sq(1000, [(1234, 10000)]), expected_sq(3000, [(999, 1)])])


@pytest.mark.parametrize(
    "peak, mz, intensity",
    [
        (bytes.fromhex("D204FF"), 123.4, 255.0),
        (bytes.fromhex("D2040100"), 123.4, 1.0),
        (bytes.fromhex("D204000001"), 123.4, 65536.0),
        (bytes.fromhex("FFFFFFFFFFFF"), 6553.5, 2.0**32),
        (bytes.fromhex("0000010000FF"), 0.0, f32(0xFF000001)),
    ],
    ids=["width-3", "width-4", "width-5-high-byte", "width-6-max", "width-6-rounded"],
)
def test_peak_width_is_inferred_and_intensity_zero_extended(make_file, peak, mz, intensity):
    reader = open_sq(make_file, mass_raw_entries([sq_header(750, 1) + peak]))
    spectrum = reader.read_spectrum(0)
    assert (spectrum.mz, spectrum.intensity, spectrum.ms_level, spectrum.retention_time_sec) == (
        [mz], [intensity], 1, 0.75
    )


@pytest.mark.parametrize("width", [3, 4, 5, 6])
def test_every_width_against_a_reference(make_file, width):
    rng = random.Random(width)
    top = 2 ** (8 * (width - 2)) - 1
    peaks = [(0xFFFF, top), (0, 0)] + [(rng.randrange(65536), rng.randrange(top + 1)) for _ in range(300)]
    rt = rng.randrange(2**32)
    reader = open_sq(make_file, mass_raw_entries([sq_record(rt, peaks, width=width), sq_record(9, peaks[:1], width=width)]))
    assert_read_back(reader, [expected_sq(rt, peaks), expected_sq(9, peaks[:1])])
    assert reader.read_spectrum(1).retention_time_sec == 0.009 != 9 * 0.001


def test_realistic_run_reads_back_exactly(make_file):
    run = single_quad_run(n_scans=250, seed=8)
    assert_read_back(RawReader(make_file("single_quad.lcd", run.entries)), run.expected)


def test_peak_count_is_read_from_its_own_field(make_file):
    # Bytes around offset 54 carry values that would give other widths.
    head = bytearray(sq_header(1, 2))
    head[52:54] = struct.pack("<H", 3)
    head[56:58] = struct.pack("<H", 4)
    reader = open_sq(make_file, mass_raw_entries([bytes(head) + bytes.fromhex("0A0001000B000200")]))
    assert_read_back(reader, [expected_sq(1, [(10, 1), (11, 2)])])

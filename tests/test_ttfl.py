"""TTFL profile files: Data Index, scan byte ranges, block streams, calibration."""

from __future__ import annotations

import math
import random
import struct

import pytest
from kelvara import RawReader

from gcms_encoders import Expected
from lcms_encoders import (
    TTFL_DATA,
    TTFL_INDEX,
    TTFL_TIMES,
    TUNING,
    assert_read_back,
    block_words,
    channel_mz,
    expected_ttfl,
    fit_calibration,
    reference_ttfl_decode,
    ttfl_entries,
    ttfl_index,
    ttfl_record,
    ttfl_run,
    ttfl_words,
    tuning_result,
    u32s,
)

DATA_INDEX_MESSAGE = "parse error: Data Index stream size {} is not a whole number of 16-byte subsets"


def open_ttfl(make_file, entries):
    return RawReader(make_file("run.lcd", entries))


def error_of(make_file, entries):
    with pytest.raises(RuntimeError) as err:
        open_ttfl(make_file, entries)
    return str(err.value)


def spectra(reader):
    return [reader.read_spectrum(i) for i in range(reader.scan_count)]


def sized_record(length, first_channel):
    """A record of exactly `length` bytes holding channels first_channel to +2."""
    stream = block_words([(first_channel, [1, 2, 3])])
    return ttfl_words([0x0101] * ((length - 64) // 2 - len(stream)) + stream)


# --- Data Index and retention times ------------------------------------------------


@pytest.mark.parametrize("size", [8, 24, 17])
def test_data_index_of_partial_subsets_fails_the_open(make_file, size):
    entries = {TTFL_INDEX: b"\0" * size, TTFL_DATA: b"", TTFL_TIMES: b""}
    assert error_of(make_file, entries) == DATA_INDEX_MESSAGE.format(size)


@pytest.mark.parametrize("missing", [TTFL_INDEX, TTFL_DATA, TTFL_TIMES])
def test_missing_stream_is_reported_before_a_malformed_data_index(make_file, missing):
    entries = {TTFL_INDEX: b"\0" * 24, TTFL_DATA: b"", TTFL_TIMES: b""}
    del entries[missing]
    assert error_of(make_file, entries).startswith(f"parse error: stream '{missing}' not found: ")


@pytest.mark.parametrize("n", [0, 1, 3])
def test_one_spectrum_per_subset(make_file, n):
    records = [ttfl_record([(k, [k + 1])]) for k in range(n)]
    reader = open_ttfl(make_file, ttfl_entries(records, range(n), [100 * k for k in range(n)]))
    assert len(ttfl_index([(0, 0)] * n)) == 16 * n
    assert_read_back(reader, [Expected([float(k)], [float(k + 1)], 1, k / 10) for k in range(n)])


@pytest.mark.parametrize(
    "times, rt_indices, want",
    [
        (u32s([1, 2, 615]), [2, 3, 0xFFFFFFFF], [0.615, 0.0, 0.0]),
        (u32s([1000, 9]) + b"\x01\x02", [1, 2, 0], [0.009, 0.0, 1.0]),
        (b"", [0, 0, 0], [0.0, 0.0, 0.0]),
    ],
    ids=["beyond-the-table", "ten-byte-table", "empty-table"],
)
def test_retention_time_is_looked_up_by_rt_index(make_file, times, rt_indices, want):
    entries = ttfl_entries([ttfl_record([(0, [1])])] * 3, rt_indices, [])
    entries[TTFL_TIMES] = times
    assert [s.retention_time_sec for s in spectra(open_ttfl(make_file, entries))] == want


# --- scan byte ranges -------------------------------------------------------------


def test_a_scan_ends_at_the_next_larger_start(make_file):
    # Starts 0, 500, 200 over 800 bytes: [0, 200), [500, 800), [200, 500), in
    # Data Index order. Each record decodes only when cut exactly.
    data = sized_record(200, 10) + sized_record(300, 20) + sized_record(300, 30)
    entries = {TTFL_INDEX: ttfl_index([(0, 0), (500, 1), (200, 2)]), TTFL_DATA: data, TTFL_TIMES: u32s([1, 2, 3])}
    got = [(s.mz, s.retention_time_sec) for s in spectra(open_ttfl(make_file, entries))]
    assert got == [([10.0, 11.0, 12.0], 0.001), ([30.0, 31.0, 32.0], 0.002), ([20.0, 21.0, 22.0], 0.003)]


def test_subsets_sharing_a_start_share_its_range(make_file):
    # Starts 100, 100, 300 over 600 bytes: [100, 300) twice, each with its
    # own retention time, then [300, 600).
    data = bytes(100) + sized_record(200, 7) + sized_record(300, 9)
    entries = {TTFL_INDEX: ttfl_index([(100, 2), (100, 0), (300, 1)]), TTFL_DATA: data, TTFL_TIMES: u32s([10, 20, 30])}
    got = [(s.mz, s.retention_time_sec) for s in spectra(open_ttfl(make_file, entries))]
    assert got == [([7.0, 8.0, 9.0], 0.03), ([7.0, 8.0, 9.0], 0.01), ([9.0, 10.0, 11.0], 0.02)]


def test_a_start_past_the_data_skips_its_scan_and_the_one_ending_there(make_file):
    data = sized_record(100, 1) + sized_record(100, 2)
    index = ttfl_index([(0, 0), (100, 1), (150, 2), (900, 3)])
    entries = {TTFL_INDEX: index, TTFL_DATA: data + sized_record(100, 3)[:0], TTFL_TIMES: u32s([1, 2, 3, 4])}
    # [0, 100) decodes; [100, 150) is half a record; [150, 900) runs past the
    # 200 bytes; [900, 200) runs backwards.
    assert [s.mz for s in spectra(open_ttfl(make_file, entries))] == [[1.0, 2.0, 3.0]]


# --- scan records -------------------------------------------------------------------


@pytest.mark.parametrize(
    "record, channels, values",
    [
        (ttfl_words([0x8003, 10, 5, 6, 7, 0x8000]), [10, 11, 12], [5, 6, 7]),
        (ttfl_words([0x8002, 5, 100, 200, 0x8001, 3, 50, 0x8000]), [5, 6, 10], [100, 200, 50]),
        (ttfl_words([0x1234, 0x5678, 0x8001, 0, 9, 0x8000]), [0], [9]),
        (ttfl_words([]), [], []),
        (ttfl_words([0x8000, 0x8000]), [], []),
        (ttfl_words([0x8005, 0x0001, 0x8001, 4, 9, 0x8000]), [4], [9]),
        (ttfl_words([0x8001, 1, 2, 0x8000, 0x7000, 0x8001, 8, 3, 0x8000]), [8], [3]),
        (ttfl_words([0x8001, 0, 7, 0x9000, 2, *[1] * 4096, 0x8000]), [0, *range(3, 4099)], [7, *[1] * 4096]),
        (ttfl_words([0x8041, 0, *[1] * 65, 0x8000]), [], []),
        (ttfl_words([0x8001, 0, 7, 0x8041, 2, *[1] * 65, 0x8000]), [0, *range(3, 68)], [7, *[1] * 65]),
        (ttfl_words([0x8001, 0xFFFF, 0xFFFF, 0x8002, 0xFFFF, 0x8000, 0x8040, 0x8000]),
         [65535, 131071, 131072], [65535, 0x8000, 0x8040]),
        # A damaged stream that still ends in the terminator: every earlier
        # candidate fails, and the terminator alone is accepted.
        (ttfl_words([0x8001, 0, 5, 0x9001, 0, 0x8000]), [], []),
        (ttfl_words([0x8001, 0, 5, 0x7FFF, 0, 0x8000]), [], []),
        (ttfl_words([0x8004, 0, 1, 2, 0x8000]), [], []),
    ],
    ids=["one-block", "two-blocks", "preamble", "header-only", "terminator-twice", "preamble-like-block",
         "earlier-terminator-rejected", "largest-block-later", "large-first-block", "large-later-block",
         "wide-gaps-and-marker-like-values", "header-9001", "header-7fff", "block-past-end"],
)
def test_block_stream_decodes_to_channels(make_file, record, channels, values):
    assert reference_ttfl_decode(record) == (channels, values)
    reader = open_ttfl(make_file, ttfl_entries([record], [0], [4]))
    assert_read_back(reader, [Expected([float(c) for c in channels], [float(v) for v in values], 1, 0.004)])


@pytest.mark.parametrize(
    "record",
    [
        ttfl_words([])[:63],
        ttfl_words([0x8000]),
        ttfl_words([0x8000]) + b"\x00",
        ttfl_words([0x8000, 0x8000]) + b"\x00",
        ttfl_words([0x8003, 10, 5, 6, 7]),
        ttfl_words([0x8003, 10, 5, 6, 7, 0x8000, 0x0001]),
        ttfl_words([0x8001, 0, 5, 0x9001, 0, 7]),
        ttfl_words([0x8001, 0, 5, 0x7FFF, 0, 7]),
        ttfl_words([0x8004, 0, 1, 2, 3]),
        ttfl_words([0x1234, 0x5678]),
    ],
    ids=["63-bytes", "66-bytes", "67-bytes", "odd-length", "no-terminator", "words-after-terminator",
         "header-9001", "header-7fff", "block-past-end", "no-blocks"],
)
def test_undecodable_record_drops_only_its_scan(make_file, record):
    assert reference_ttfl_decode(record) is None
    good = ttfl_record([(3, [1, 2])])
    reader = open_ttfl(make_file, ttfl_entries([good, record, good], [0, 1, 2], [10, 20, 30]))
    assert [(s.mz, s.retention_time_sec) for s in spectra(reader)] == [([3.0, 4.0], 0.01), ([3.0, 4.0], 0.03)]


def test_channel_counter_wraps_at_32_bits(make_file):
    # Each block of one value after a gap of 65535 advances the counter by
    # 65536; the 65536th block sits at 2^32 - 1, the next wraps past zero.
    blocks = [(0xFFFF, [k % 7]) for k in range(65537)]
    reader = open_ttfl(make_file, ttfl_entries([ttfl_record(blocks)], [0], []))
    mz = reader.read_spectrum(0).mz
    assert len(mz) == 65537
    assert mz[:2] == [65535.0, 131071.0]
    assert mz[-2:] == [4294967295.0, 65535.0]


@pytest.mark.timeout(60)
def test_records_against_the_plain_start_search(make_file):
    # Random records full of block-like words: preambles that look like
    # blocks, damaged streams, stray terminators. The reader must find the
    # same start as trying every candidate from scratch, and the same points.
    rng = random.Random(20)
    marker = lambda: rng.choice((0x8000, 0x8000 + rng.randrange(1, 0x41), 0x8000 + rng.randrange(0x41, 0x1001)))
    records = []
    for _ in range(400):
        preamble = [rng.choice((marker(), rng.randrange(0x10000))) for _ in range(rng.randrange(0, 12))]
        blocks = [(rng.randrange(0x10000), [rng.choice((marker(), rng.randrange(0x10000))) for _ in range(rng.randrange(1, 70))])
                  for _ in range(rng.randrange(0, 6))]
        words = preamble + block_words(blocks)
        for _ in range(rng.choice((0, 0, 1, 2))):
            words[rng.randrange(len(words))] = marker()
        records.append(ttfl_words(words)[: rng.choice((None, None, None, -1, -2))])
    expected = [expected_ttfl(r, 1000 + k) for k, r in enumerate(records) if reference_ttfl_decode(r) is not None]
    assert 100 < len(expected) < 400
    reader = open_ttfl(make_file, ttfl_entries(records, range(400), [1000 + k for k in range(400)]))
    assert_read_back(reader, expected)


# --- mass calibration -----------------------------------------------------------------

ON_LINE = ([1000000, 4000000, 9000000], [25.0, 45.0, 65.0])  # slope 2, intercept 5
CHANNELS = [0, 5, 30, 65, 1000]


def calibrated_file(make_file, tuning):
    record = ttfl_record([(0, [1]), (4, [2]), (24, [3]), (34, [4]), (934, [5])])
    return open_ttfl(make_file, ttfl_entries([record], [0], [], tuning))


@pytest.mark.parametrize(
    "masses, positions, size, calibration",
    [
        (*ON_LINE, None, (2.0, 5.0)),
        ([1000000, 4000000, 9000000], [30.0, 50.0, 70.0], None, (2.0, 10.0)),
        ([1000000, 4000000, 9000000, 0, 7], [25.0, 45.0, 65.0, 1e6, -3.0], None, (2.0, 5.0)),
        ([1000000, 4000000, 9000000], [65.0, 45.0, 25.0], None, None),
        ([4000000, 4000000, 4000000], [25.0, 45.0, 65.0], None, None),
        ([4000000, 4000001, 4000000], [25.0, 65.0, 45.0], None, None),
        ([1000000, 0, 9000000, 16000000], [25.0, 45.0, 65.0, 85.0], None, None),
        ([1000000, 4000000], [25.0, 45.0], None, None),
        ([1000000, 4000000, 9000000], [25.0, math.nan, 65.0], None, None),
        ([1000000, 4000000, 9000000], [25.0, math.inf, 65.0], None, None),
        (*ON_LINE, 3150 + 8 * 3, (2.0, 5.0)),
        (*ON_LINE, 3150 + 8 * 3 - 1, None),
        (*ON_LINE, 3034, None),
        (*ON_LINE, 0, None),
    ],
    ids=["slope-2-intercept-5", "slope-2-intercept-10", "zero-ends-the-masses", "negative-slope",
         "equal-masses", "nearly-equal-masses", "second-mass-zero", "two-masses", "nan-position", "infinite-position",
         "just-long-enough", "position-cut-short", "positions-missing", "empty-stream"],
)
def test_calibration_from_the_tuning_result(make_file, masses, positions, size, calibration):
    if size is None:
        assert fit_calibration(masses, positions) == calibration
    reader = calibrated_file(make_file, {TUNING[0]: tuning_result(masses, positions, size)})
    assert reader.read_spectrum(0).mz == [channel_mz(c, calibration) for c in CHANNELS]
    if calibration == (2.0, 5.0):
        assert reader.read_spectrum(0).mz[2] == 156.25


@pytest.mark.parametrize("n", [3, 5, 9])
def test_noisy_fit_matches_the_reference_to_the_bit(make_file, n):
    # Nine masses at most: a tenth stored mass and position must be ignored.
    rng = random.Random(n)
    masses = sorted(rng.randrange(500_000, 20_000_000) for _ in range(10))
    positions = [1500 * math.sqrt(m * 1e-4) - 2000 + rng.gauss(0, 0.3) for m in masses]
    tuning = tuning_result(masses[:n] + ([0] if n < 9 else []), positions[:n], size=4096)
    tuning = tuning[:3058] + struct.pack("<I", masses[9]) + tuning[3062:3222] + struct.pack("<d", 0.0) + tuning[3230:]
    calibration = fit_calibration(masses[:n], positions[:n])
    assert calibration is not None
    reader = calibrated_file(make_file, {TUNING[0]: tuning})
    assert reader.read_spectrum(0).mz == [channel_mz(c, calibration) for c in CHANNELS]


GOOD_TUNING = tuning_result(*ON_LINE)
NO_FIT = tuning_result([1000000, 4000000], [25.0, 45.0])


@pytest.mark.parametrize(
    "tuning, calibrated",
    [
        ({}, False),
        ({TUNING[1]: GOOD_TUNING}, True),
        ({TUNING[2]: GOOD_TUNING}, True),
        ({TUNING[0] + "/inner": b"x", TUNING[1]: GOOD_TUNING}, True),
        ({TUNING[0]: NO_FIT, TUNING[1]: GOOD_TUNING}, False),
        ({TUNING[0]: b"", TUNING[1]: GOOD_TUNING}, False),
        ({TUNING[1]: NO_FIT, TUNING[2]: GOOD_TUNING}, False),
        ({"TTFL Tuning/Tuning Result 03": GOOD_TUNING}, False),
    ],
    ids=["none", "01-when-00-missing", "02-when-00-01-missing", "00-not-a-stream", "00-without-fit-ends-search",
         "00-empty-ends-search", "01-without-fit-ends-search", "03-never-read"],
)
def test_first_readable_tuning_stream_decides(make_file, tuning, calibrated):
    mz = calibrated_file(make_file, tuning).read_spectrum(0).mz
    assert mz == [channel_mz(c, (2.0, 5.0) if calibrated else None) for c in CHANNELS]


def test_realistic_run_reads_back_exactly(make_file):
    run = ttfl_run(n_scans=160, seed=4)
    assert_read_back(RawReader(make_file("ttfl_profile.lcd", run.entries)), run.expected)
    assert 50 < min(min(s.mz) for s in run.expected if s.mz) and max(max(s.mz) for s in run.expected) < 1100

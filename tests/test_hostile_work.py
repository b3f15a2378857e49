"""An index cannot make the reader work without bound either.

The decode budget counts what decoding produces; decoding a TTFL record also
costs time in proportion to the record when it fails or yields no points.
Subsets sharing a start share one range, so an index that repeats one start
over a large record must not decode that record once per subset.
"""

from __future__ import annotations

import pytest
from kelvara import RawReader

from lcms_encoders import TTFL_DATA, TTFL_INDEX, TTFL_TIMES, ttfl_index, ttfl_record, ttfl_words, u32s

SUBSETS = 20_000
PREAMBLE_WORDS = 100_000  # 200 KB before the record's end


@pytest.mark.timeout(30)
@pytest.mark.parametrize(
    "last_word,scans",
    [
        (0x0000, 0),  # no terminator: the record never decodes
        (0x8000, SUBSETS),  # a terminator at the end: every subset gets an empty scan
    ],
    ids=["undecodable", "empty"],
)
def test_many_subsets_on_one_large_record_decode_it_once(make_file, last_word, scans):
    record = ttfl_words([0] * PREAMBLE_WORDS + [last_word])
    path = make_file(
        "shared.lcd", {TTFL_INDEX: ttfl_index([(0, 0)] * SUBSETS), TTFL_DATA: record, TTFL_TIMES: u32s([500])}
    )
    reader = RawReader(path)
    assert reader.scan_count == scans
    if scans:
        first, last = reader.read_spectrum(0), reader.read_spectrum(scans - 1)
        assert (len(first), len(last), last.retention_time_sec) == (0, 0, 0.5)


def test_shared_start_scans_are_copies_in_index_order(make_file):
    # Starts shared in a scattered order: each subset gets its own range's
    # scan and its own retention time, whichever subset used the range first.
    a = ttfl_record([(10, [1, 2, 3])])
    b = ttfl_record([(20, [7, 8])])
    subsets = [(0, 0), (len(a), 1), (0, 2), (len(a), 3), (0, 4)]
    path = make_file(
        "scattered.lcd", {TTFL_INDEX: ttfl_index(subsets), TTFL_DATA: a + b, TTFL_TIMES: u32s([100, 200, 300, 400, 500])}
    )
    reader = RawReader(path)
    got = [(reader.read_spectrum(i).mz, reader.read_spectrum(i).intensity, reader.read_spectrum(i).retention_time_sec)
           for i in range(reader.scan_count)]
    scan_a, scan_b = ([10.0, 11.0, 12.0], [1.0, 2.0, 3.0]), ([20.0, 21.0], [7.0, 8.0])
    assert got == [(*scan_a, 0.1), (*scan_b, 0.2), (*scan_a, 0.3), (*scan_b, 0.4), (*scan_a, 0.5)]

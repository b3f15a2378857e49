"""A small file cannot make the reader allocate without bound.

An index may address the same scan data many times: offsets are never
sorted, and TTFL subsets may share a start. A hostile index repeats one large
scan's range thousands of times, so a file of a few hundred kilobytes would
decode to gigabytes. Decoding is bounded by a budget proportional to the
file's stream bytes, and past it the open fails with a parse error.
"""

from __future__ import annotations

import pytest
from kelvara import RawReader

from gcms_encoders import GCMS_DATA, GCMS_INDEX, index_a, mrm_record, profile_record
from lcms_encoders import (
    MASS_RAW_DATA,
    MASS_RAW_INDEX,
    QTFL_DATA,
    QTFL_INDEX,
    QTFL_TIMES,
    TTFL_DATA,
    TTFL_INDEX,
    TTFL_TIMES,
    qtof_index,
    qtof_record,
    qtof_times,
    sq_record,
    ttfl_index,
    ttfl_record,
    u32s,
)

BUDGET_MESSAGE = "parse error: decoded spectra exceed the decode budget of "


def repeated_pairs(length, repeats):
    """Offsets 0, L, 0, L, ...: every even entry addresses the whole scan."""
    return [0, length] * repeats


def big_profile():
    return profile_record(1000, [(1000 + i % 5000, i % 65536) for i in range(65535)])


def hostile_files():
    profile = big_profile()
    yield "gcms-profile", "bomb.qgd", {
        GCMS_INDEX: index_a(repeated_pairs(len(profile), 2000)),
        GCMS_DATA: profile,
    }
    mrm = mrm_record(1000, [(1000, 500 + i % 1000, i) for i in range(10000)])
    yield "gcms-mrm", "bomb.qgd", {GCMS_INDEX: index_a(repeated_pairs(len(mrm), 2000)), GCMS_DATA: mrm}

    sq = sq_record(1000, [(1000 + i % 5000, i % 256) for i in range(60000)], width=3)
    yield "single-quad", "bomb.lcd", {
        MASS_RAW_INDEX: u32s(repeated_pairs(len(sq), 2000)),
        MASS_RAW_DATA: sq,
    }

    qtof = qtof_record([10**14 + i * 10**9 for i in range(30000)], [i % 256 for i in range(30000)], width=1)
    offsets = repeated_pairs(len(qtof), 2000)
    yield "qtof", "bomb.lcd", {
        QTFL_INDEX: qtof_index([(o, 1) for o in offsets]),
        QTFL_DATA: qtof,
        QTFL_TIMES: qtof_times([0]),
    }

    # Subsets sharing one start all decode the same record.
    ttfl = ttfl_record([(0, [1, 2])] + [(0, [i % 60000 for i in range(4096)])] * 30)
    yield "ttfl", "bomb.lcd", {
        TTFL_INDEX: ttfl_index([(0, 0)] * 4000),
        TTFL_DATA: ttfl,
        TTFL_TIMES: u32s([0]),
    }


HOSTILE = list(hostile_files())


@pytest.mark.parametrize("name,filename,entries", HOSTILE, ids=[h[0] for h in HOSTILE])
def test_repeated_scan_ranges_fail_with_the_budget_message(make_file, name, filename, entries):
    path = make_file(filename, entries)
    with pytest.raises(RuntimeError) as raised:
        RawReader(path)
    message = str(raised.value)
    assert message.startswith(BUDGET_MESSAGE)
    # The message says what was exceeded: the budget, the stream bytes it
    # comes from, and where in the index the walk stopped.
    budget = int(message[len(BUDGET_MESSAGE) :].split()[0])
    stream_bytes = sum(len(v) for v in entries.values())
    assert budget == 32 * stream_bytes + 64 * 2**20
    assert f"the {stream_bytes} stream bytes" in message
    assert "at index position " in message


def test_shared_and_overlapping_ranges_within_the_budget_still_open(make_file):
    # Every scan addressed twice: a repeat any real index could plausibly
    # hold stays far below the budget.
    profile = big_profile()
    path = make_file("twice.qgd", {GCMS_INDEX: index_a([0, len(profile), 0]), GCMS_DATA: profile})
    reader = RawReader(path)
    assert reader.scan_count == 2
    assert reader.read_spectrum(0).mz == reader.read_spectrum(1).mz

    ttfl = ttfl_record([(3, [5, 6, 7])])
    path = make_file("shared.lcd", {TTFL_INDEX: ttfl_index([(0, 0)] * 50), TTFL_DATA: ttfl, TTFL_TIMES: u32s([0])})
    assert RawReader(path).scan_count == 50


def test_densest_valid_encoding_opens(make_file):
    # MRM transitions of 6 bytes are the densest encoding of any layout: one
    # record per transition. A run made only of them opens well within the
    # budget.
    records = [mrm_record(1000 + 100 * k, [(1000, 500 + t, t) for t in range(4000)]) for k in range(40)]
    data = b"".join(records)
    offsets = [sum(len(r) for r in records[:k]) for k in range(len(records))]
    path = make_file("dense.qgd", {GCMS_INDEX: index_a(offsets), GCMS_DATA: data})
    assert RawReader(path).scan_count == 160_000

"""Writes the seed corpus of every fuzz target.

    python3 tests/fuzz/make_corpus.py [CORPUS_DIR]     (default tests/fuzz/corpus)

One folder per target (cfb, decoders, open). The seeds are small runs of
every layout made by the test encoders and the container writer, the bundled
sample files, hostile indices that repeat one scan's byte range until
decoding passes the decode budget, and TTFL subsets that share one large
undecodable record. Inputs a campaign found faults with are
added to the folders by hand and kept; this script only (re)writes its own
seeds, by name.

Input formats: the cfb target takes a container; the open target one byte
that picks the extension (even: .qgd, odd: .lcd) followed by a container;
the decoders target one byte that picks the layout (0 GC-MS, 1 single-quad,
2 QTOF, 3 TTFL), a u32 length and that many index bytes, then the scan data
(for QTOF and TTFL: a u32 length and the retention-time bytes first).
"""

import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, os.pardir, os.pardir)
sys.path.insert(0, os.path.join(HERE, ".."))

from cfbwriter import build_cfb  # noqa: E402
from gcms_encoders import GCMS_DATA, GCMS_INDEX, gcms_entries, index_a, mrm_record, profile_record, realistic_run  # noqa: E402
from lcms_encoders import (  # noqa: E402
    MASS_RAW_DATA,
    MASS_RAW_INDEX,
    QTFL_DATA,
    QTFL_INDEX,
    QTFL_TIMES,
    TTFL_DATA,
    TTFL_INDEX,
    TTFL_TIMES,
    TUNING,
    qtof_index,
    qtof_record,
    qtof_run,
    qtof_times,
    single_quad_run,
    sq_record,
    ttfl_index,
    ttfl_record,
    ttfl_run,
    ttfl_words,
    u32s,
)

QGD, LCD = b"\x00", b"\x01"


def repeated(length, repeats):
    """Offsets 0, L, 0, L, ...: every even index entry addresses the whole scan."""
    return [0, length] * repeats


def small_runs():
    """(name, extension byte, entries) of short, well-formed runs of each layout."""
    yield "gcms-run", QGD, gcms_entries(realistic_run(n_scans=12, mrm_every=4, seed=3).records)
    yield "gcms-run-index-b", QGD, gcms_entries(realistic_run(n_scans=6, seed=4).records, variant="B")
    yield "single-quad-run", LCD, single_quad_run(n_scans=10, n_compounds=3, seed=5).entries
    yield "qtof-run", LCD, qtof_run(n_scans=10, n_compounds=3, seed=6).entries
    yield "ttfl-run", LCD, ttfl_run(n_scans=8, n_compounds=3, seed=7).entries


def hostile_runs():
    """Indices that address one scan over and over: each decodes to several
    times the budget of its stream bytes (with the fuzz targets' 64 KiB
    constant part), so the walk must stop at the budget."""
    profile = profile_record(1000, [(1000 + i % 5000, i % 65536) for i in range(600)])
    yield "budget-gcms-profile-repeats", QGD, {GCMS_INDEX: index_a(repeated(len(profile), 200)), GCMS_DATA: profile}
    mrm = mrm_record(1000, [(1000, 500 + i % 1000, i % 65536) for i in range(300)])
    yield "budget-gcms-mrm-repeats", QGD, {GCMS_INDEX: index_a(repeated(len(mrm), 200)), GCMS_DATA: mrm}
    sq = sq_record(1000, [(1000 + i % 5000, i % 256) for i in range(600)], width=3)
    yield "budget-single-quad-repeats", LCD, {MASS_RAW_INDEX: u32s(repeated(len(sq), 200)), MASS_RAW_DATA: sq}
    qtof = qtof_record([10**14 + i * 10**9 for i in range(600)], [i % 256 for i in range(600)], width=1)
    offsets = repeated(len(qtof), 60)
    yield "budget-qtof-repeats", LCD, {
        QTFL_INDEX: qtof_index([(o, 1) for o in offsets]),
        QTFL_DATA: qtof,
        QTFL_TIMES: qtof_times([0]),
    }
    ttfl = ttfl_record([(0, [1, 2])] + [(0, [i % 60000 for i in range(600)])])
    yield "budget-ttfl-shared-start", LCD, {TTFL_INDEX: ttfl_index([(0, 0)] * 100), TTFL_DATA: ttfl, TTFL_TIMES: u32s([0])}


def hostile_work():
    """Many TTFL subsets sharing the start of one large record that does not
    decode: decoded once per subset, the walk took time in proportion to
    subsets times record size (seconds for a 500 KB file)."""
    record = ttfl_words([0] * 8000 + [0])
    yield "work-ttfl-shared-start-undecodable", LCD, {
        TTFL_INDEX: ttfl_index([(0, 0)] * 1000),
        TTFL_DATA: record,
        TTFL_TIMES: u32s([0]),
    }


def decoder_input(layout, index, data, times=None):
    head = bytes([layout]) + struct.pack("<I", len(index)) + index
    if times is None:
        return head + data
    return head + struct.pack("<I", len(times)) + times + data


def as_decoder_input(entries):
    """The decoders target's framing of a run's streams."""
    if GCMS_INDEX in entries:
        return decoder_input(0, entries[GCMS_INDEX], entries[GCMS_DATA])
    if MASS_RAW_INDEX in entries:
        return decoder_input(1, entries[MASS_RAW_INDEX], entries[MASS_RAW_DATA])
    if QTFL_INDEX in entries:
        return decoder_input(2, entries[QTFL_INDEX], entries[QTFL_DATA], entries[QTFL_TIMES])
    # The target parses the calibration from the retention-time slot too, so
    # a tuning result there exercises the fit.
    tuning = next((entries[t] for t in TUNING if t in entries), entries[TTFL_TIMES])
    return decoder_input(3, entries[TTFL_INDEX], entries[TTFL_DATA], tuning)


def seeds():
    """(target, name, bytes) of every seed."""
    runs = list(small_runs()) + list(hostile_runs()) + list(hostile_work())
    for name, ext, entries in runs:
        container = build_cfb(entries, 3)
        yield "open", name, ext + container
        yield "decoders", name, as_decoder_input(entries)
    for name, ext, entries in small_runs():
        yield "cfb", name, build_cfb(entries, 4 if "qtof" in name else 3)

    samples = os.path.join(ROOT, "samples")
    for name in sorted(os.listdir(samples)):
        with open(os.path.join(samples, name), "rb") as f:
            data = f.read()
        ext = QGD if name.endswith(".qgd") else LCD
        yield "open", "sample-" + os.path.splitext(name)[0], ext + data

    small = {"GCMS Raw Data/Spectrum Index": bytes(range(16)), "GCMS Raw Data/MS Raw Data": bytes(5000), "s": b"x" * 70}
    yield "cfb", "v3-tree", build_cfb(small, 3)
    yield "cfb", "v4-tree", build_cfb(small, 4)
    yield "cfb", "v3-right-list", build_cfb(small, 3, sibling_layout="right_list", pad_to_sector=False)
    yield "cfb", "v3-interleaved", build_cfb({**small, "S/s": bytes(9000)}, 3, chain_order="interleaved")
    yield "cfb", "v3-many", build_cfb({f"S/e{i}": bytes(i * 3) for i in range(40)}, 3)
    yield "cfb", "v3-empty", build_cfb({"GCMS Raw Data/Spectrum Index": b"", "GCMS Raw Data/MS Raw Data": b""}, 3)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "corpus")
    for target, name, data in seeds():
        folder = os.path.join(out, target)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()

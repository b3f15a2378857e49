"""Encoders for GC-MS data files: index streams, scan records, whole runs.

They write the bytes the reader must decode, independently of the reader:
a scan record is a 32-byte header (retention time at 4, format at 20, peak
count at 22, event id at 24, transition count at 26) followed by Profile
points (u16 m/z in tenths, u16 intensity) or MRM transitions (u16 precursor
and product m/z in tenths, then a 2-, 3- or 4-byte intensity).
"""

from __future__ import annotations

import math
import random
import struct
from dataclasses import dataclass, field

GCMS_INDEX = "GCMS Raw Data/Spectrum Index"
GCMS_DATA = "GCMS Raw Data/MS Raw Data"


def header(rt_ms=0, fmt=2, n_peaks=0, event_id=0, n_transitions=0, filler=b"\0" * 4):
    """The 32-byte scan header; `filler` fills the uninterpreted first word."""
    return (
        filler[:4].ljust(4, b"\0")
        + struct.pack("<I", rt_ms)
        + b"\xa5" * 12  # not interpreted: must not matter
        + struct.pack("<HHHH", fmt, n_peaks, event_id, n_transitions)
        + b"\x5a" * 4
    )


def profile_record(rt_ms, points, event_id=1, n_transitions=0):
    """A Profile record; `points` are (tenths, intensity) pairs of u16."""
    payload = b"".join(struct.pack("<HH", t, i) for t, i in points)
    return header(rt_ms, 2, len(points), event_id, n_transitions) + payload


def mrm_record(rt_ms, transitions, width=6, fmt=3, event_id=2):
    """An MRM record; `transitions` are (precursor tenths, product tenths, intensity)."""
    payload = b"".join(
        struct.pack("<HH", p, q) + int(i).to_bytes(width - 4, "little") for p, q, i in transitions
    )
    return header(rt_ms, fmt, 0, event_id, len(transitions)) + payload


def index_a(offsets):
    return b"".join(struct.pack("<I", o) for o in offsets)


def index_b(offsets, head=b"\x07\x00"):
    return head + b"".join(struct.pack("<Q", o) for o in offsets)


def concat(records):
    """Records back to back, and the start offset of each."""
    offsets, pos = [], 0
    for r in records:
        offsets.append(pos)
        pos += len(r)
    return b"".join(records), offsets


def gcms_entries(records, variant="A"):
    data, offsets = concat(records)
    index = index_a(offsets) if variant == "A" else index_b(offsets)
    return {GCMS_INDEX: index, GCMS_DATA: data}


# --- what the reader should make of records -------------------------------


def f32(x):
    """The single-precision value nearest to x, as Python sees it widened."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


@dataclass
class Expected:
    mz: list
    intensity: list
    ms_level: int
    rt: float


def assert_read_back(reader, expected):
    """The reader holds exactly the expected spectra, in order."""
    assert reader.scan_count == len(expected)
    for i, want in enumerate(expected):
        got = reader.read_spectrum(i)
        assert got.mz == want.mz, f"scan {i}"
        assert got.intensity == want.intensity, f"scan {i}"
        assert (got.ms_level, got.retention_time_sec) == (want.ms_level, want.rt), f"scan {i}"


def expected_profile(rt_ms, points):
    return Expected([t / 10.0 for t, _ in points], [float(i) for _, i in points], 1, rt_ms / 1000.0)


def expected_mrm(rt_ms, transitions):
    return [Expected([q / 10.0], [f32(i)], 2, rt_ms / 1000.0) for _, q, i in transitions]


# --- a realistic run -------------------------------------------------------

# Electron-ionisation-like fragment patterns: (m/z, relative abundance).
COMPOUNDS = [
    ("toluene", [(91, 100), (92, 60), (65, 12), (39, 9), (63, 5), (51, 4)]),
    ("ethylbenzene", [(91, 100), (106, 32), (51, 7), (65, 6), (77, 5), (39, 4)]),
    ("naphthalene", [(128, 100), (127, 12), (129, 11), (102, 7), (51, 6), (64, 4)]),
    ("decane", [(57, 100), (43, 85), (71, 40), (85, 25), (41, 30), (29, 15), (142, 6)]),
    ("methyl palmitate", [(74, 100), (87, 70), (43, 45), (55, 30), (143, 12), (227, 8), (270, 6)]),
    ("caffeine", [(194, 100), (109, 50), (55, 30), (67, 18), (82, 15), (165, 9)]),
    ("phenanthrene", [(178, 100), (176, 20), (179, 16), (152, 10), (89, 8), (76, 6)]),
]


@dataclass
class Run:
    records: list = field(default_factory=list)
    expected: list = field(default_factory=list)


# MRM transitions (precursor and product m/z in tenths) of three of the
# compounds, by their place in COMPOUNDS, with each one's response per unit
# of full-scan height.
TRANSITIONS = [(1940, 1090, 5, 0.4), (1780, 1520, 6, 0.15), (2700, 740, 4, 0.9)]


def realistic_run(n_scans=300, scan_ms=250, start_ms=180_000, mrm_every=0, seed=7, widths="cycle"):
    """A GC-MS run: EI-like spectra over a chromatogram of Gaussian peaks.

    Every scan covers m/z 35 to 300 at unit resolution (only points above the
    noise floor are stored); with `mrm_every` > 0, every so many scans is an
    MRM scan of three transitions instead. With widths="cycle", MRM scans
    cycle through intensity widths of 2, 3 and 4 bytes with random
    intensities clipped to the width: every width at its largest values, for
    the decoder. With widths="fit", each transition follows its compound's
    elution over a baseline, and each MRM scan is stored in the narrowest
    width that holds its largest intensity, as an acquisition writes it.
    """
    if widths not in ("cycle", "fit"):
        raise ValueError(f"widths must be 'cycle' or 'fit', not {widths!r}")
    rng = random.Random(seed)
    apexes = sorted(rng.uniform(0.1, 0.9) * n_scans for _ in COMPOUNDS)
    heights = [rng.uniform(2e3, 6e4) for _ in COMPOUNDS]
    run = Run()
    for s in range(n_scans):
        rt = start_ms + s * scan_ms
        if mrm_every and s % mrm_every == mrm_every - 1 and widths == "fit":
            transitions = [
                (p, q, int(300 + rng.expovariate(1 / 60.0)
                           + 40 * response * heights[c] * math.exp(-0.5 * ((s - apexes[c]) / 3.0) ** 2)))
                for p, q, c, response in TRANSITIONS
            ]
            top = max(i for _, _, i in transitions)
            width = next(w for w in (6, 7, 8) if top < 2 ** (8 * (w - 4)))
            run.records.append(mrm_record(rt, transitions, width=width))
            run.expected.extend(expected_mrm(rt, transitions))
            continue
        if mrm_every and s % mrm_every == mrm_every - 1:
            transitions = [
                (1940, 1090, int(200 + 3000 * rng.random())),
                (1780, 1520, int(100 + 90000 * rng.random())),
                (2700, 740, int(50 + 30_000_000 * rng.random() ** 4)),
            ]
            width = 6 + s % 3
            if width == 6:
                transitions = [(p, q, min(i, 0xFFFF)) for p, q, i in transitions]
            elif width == 7:
                transitions = [(p, q, min(i, 0xFFFFFF)) for p, q, i in transitions]
            run.records.append(mrm_record(rt, transitions, width=width))
            run.expected.extend(expected_mrm(rt, transitions))
            continue
        spectrum = {}
        for (name, pattern), apex, h in zip(COMPOUNDS, apexes, heights):
            elution = math.exp(-0.5 * ((s - apex) / 3.0) ** 2)
            if elution < 1e-3:
                continue
            for mz, rel in pattern:
                spectrum[mz] = spectrum.get(mz, 0.0) + h * elution * rel / 100.0
        for mz in range(35, 301):
            spectrum[mz] = spectrum.get(mz, 0.0) + rng.expovariate(1 / 40.0)
        points = [
            (mz * 10 + rng.choice((0, 0, 1, -1)), min(int(v), 0xFFFF))
            for mz, v in sorted(spectrum.items())
            if v >= 60
        ]
        run.records.append(profile_record(rt, points))
        run.expected.append(expected_profile(rt, points))
    return run

"""Encoders for LC-MS data files: streams, scan records and whole runs.

They write the bytes the reader must decode, independently of the reader:

- single-quadrupole: "Mass Raw Data/Spectrum Index" is a bare u32 offset list;
  a scan is a 64-byte header (retention time at 4, peak count at 54) and
  peaks of 3 to 6 bytes (u16 m/z in tenths, then a 1- to 4-byte intensity);
- QTOF: 24-byte Centroid Index entries (data offset at 0, level code at 20),
  12-byte Retention Time entries, and Centroid Data records: a 64-byte header
  (payload size at 24, intensity width at 36), the u64 m/z array (units of
  1e-12), then the intensity array;
- TTFL: 16-byte Data Index subsets (start offset at 0, retention-time index
  at 8), a u32 Retention Time table, MS Raw Data records (64-byte header, an
  optional preamble, blocks of header word 0x8000 + n, gap word and n
  intensity words, then the terminator 0x8000), and a tuning result with
  reference masses (u32, units of 1e-4) at 3022 and their channel positions
  (f64) at 3150.

The realistic-run builders (`qtof_run`, `ttfl_run`, `single_quad_run`) return a
`Run`: `entries`, a dict of container paths to bytes ready for
`cfbwriter.write_cfb`/`build_cfb`, and `expected`, what the reader must make of
them. `qtof_entries`, `ttfl_entries_run` and `single_quad_entries` return the
dict alone. All of them are deterministic for a given seed.
"""

from __future__ import annotations

import math
import random
import struct
from dataclasses import dataclass, field

from gcms_encoders import Expected, assert_read_back, concat, f32  # noqa: F401 - re-exported for the tests

MASS_RAW_INDEX = "Mass Raw Data/Spectrum Index"
MASS_RAW_DATA = "Mass Raw Data/MS Raw Data"

QTFL_INDEX = "QTFL RawData/Centroid Index"
QTFL_DATA = "QTFL RawData/Centroid Data"
QTFL_TIMES = "QTFL RawData/Retention Time"

TTFL_INDEX = "TTFL Raw Data/Data Index"
TTFL_DATA = "TTFL Raw Data/MS Raw Data"
TTFL_TIMES = "TTFL Raw Data/Retention Time"
TUNING = ["TTFL Tuning/Tuning Result 00", "TTFL Tuning/Tuning Result 01", "TTFL Tuning/Tuning Result 02"]

# Filler for bytes the reader must not interpret.
HEADER_FILL = 0xA5


def u32s(values):
    return b"".join(struct.pack("<I", v) for v in values)


def u16s(words):
    return b"".join(struct.pack("<H", w) for w in words)


# --- single-quadrupole ------------------------------------------------------


def sq_header(rt_ms, n_peaks):
    head = bytearray([HEADER_FILL]) * 64
    struct.pack_into("<I", head, 4, rt_ms)
    struct.pack_into("<H", head, 54, n_peaks)
    return bytes(head)


def sq_record(rt_ms, peaks, width=4, n_peaks=None):
    """A scan of `peaks`, (tenths, intensity) pairs, in records of `width` bytes.

    `n_peaks` overrides the stored peak count, for records that must not decode.
    """
    payload = b"".join(struct.pack("<H", t) + int(i).to_bytes(width - 2, "little") for t, i in peaks)
    return sq_header(rt_ms, len(peaks) if n_peaks is None else n_peaks) + payload


def mass_raw_entries(records, index=None):
    data, offsets = concat(records)
    return {MASS_RAW_INDEX: u32s(offsets) if index is None else index, MASS_RAW_DATA: data}


def expected_sq(rt_ms, peaks):
    return Expected([t / 10.0 for t, _ in peaks], [f32(i) for _, i in peaks], 1, rt_ms / 1000.0)


# --- QTOF centroids ---------------------------------------------------------


def qtof_index(entries):
    """Centroid Index from (data offset, level code) pairs."""
    out = bytearray()
    for offset, level in entries:
        out += struct.pack("<I", offset) + bytes([HEADER_FILL]) * 16 + struct.pack("<I", level)
    return bytes(out)


def qtof_times(times_ms):
    return b"".join(struct.pack("<I", t) + bytes([HEADER_FILL]) * 8 for t in times_ms)


def qtof_record(mz_units, intensities, width=4, declared=None, trailing=b""):
    """A centroid scan: u64 m/z values (units of 1e-12), then `width`-byte intensities.

    `declared` overrides the payload size stored at 24; `trailing` follows the
    payload and must be ignored.
    """
    payload = b"".join(struct.pack("<Q", m) for m in mz_units)
    payload += b"".join(int(i).to_bytes(width, "little") for i in intensities)
    head = bytearray([HEADER_FILL]) * 64
    struct.pack_into("<I", head, 24, len(payload) if declared is None else declared)
    struct.pack_into("<I", head, 36, width)
    return bytes(head) + payload + trailing


def qtof_file_entries(records, levels, times_ms):
    data, offsets = concat(records)
    return {
        QTFL_INDEX: qtof_index(zip(offsets, levels)),
        QTFL_DATA: data,
        QTFL_TIMES: qtof_times(times_ms),
    }


def expected_qtof(mz_units, intensities, level_code, rt_ms):
    return Expected(
        [float(m) / 1e12 for m in mz_units],
        [f32(i) for i in intensities],
        1 if level_code < 2 else 2,
        0.0 if rt_ms is None else rt_ms / 1000.0,
    )


# --- TTFL profile scans -----------------------------------------------------


def ttfl_index(subsets):
    """Data Index from (start offset, retention-time index) pairs."""
    fill = bytes([HEADER_FILL]) * 4
    return b"".join(struct.pack("<I", s) + fill + struct.pack("<I", r) + fill for s, r in subsets)


def ttfl_words(words):
    """A scan record: the 64-byte header, then the given 16-bit words."""
    return bytes([HEADER_FILL]) * 64 + u16s(words)


def block_words(blocks, terminator=True):
    """The words of (gap, values) blocks, ended by 0x8000 unless told otherwise."""
    words = []
    for gap, values in blocks:
        words += [0x8000 + len(values), gap, *values]
    return words + ([0x8000] if terminator else [])


def ttfl_record(blocks, preamble=()):
    return ttfl_words([*preamble, *block_words(blocks)])


def tuning_result(masses_e4, positions, size=None):
    """A tuning result: reference masses (u32, 1e-4 units) and channel positions.

    The stream is `size` bytes long, by default just long enough for nine of
    each; a mass of 0 among `masses_e4` ends the list for the reader.
    """
    length = 3150 + 8 * 9 if size is None else size
    out = bytearray([HEADER_FILL]) * max(length, 3150 + 8 * 9)
    out[3022 : 3022 + 4 * 9] = bytes(4 * 9)
    for k, m in enumerate(masses_e4):
        struct.pack_into("<I", out, 3022 + 4 * k, m)
    for k, y in enumerate(positions):
        struct.pack_into("<d", out, 3150 + 8 * k, y)
    return bytes(out[:length])


def ttfl_entries(records, rt_indices, times_ms, tuning=None):
    """The streams of a TTFL file; `tuning` maps a tuning stream path to its bytes."""
    data, offsets = concat(records)
    entries = {
        TTFL_INDEX: ttfl_index(zip(offsets, rt_indices)),
        TTFL_DATA: data,
        TTFL_TIMES: u32s(times_ms),
    }
    entries.update(tuning or {})
    return entries


def fit_calibration(masses_e4, positions):
    """Least-squares fit of channel position against sqrt(m/z), or None.

    Written from the format: masses up to the first 0 (at most nine), at least
    three of them, sums from -0.0 in order, and the rejection rules for a
    degenerate, non-positive or non-finite fit.
    """
    masses = []
    for m in masses_e4[:9]:
        if m == 0:
            break
        masses.append(m * 0.0001)
    if len(masses) < 3:
        return None
    n = float(len(masses))
    sr = sy = srr = sry = -0.0
    for m, y in zip(masses, positions):
        r = math.sqrt(m)
        sr += r
        sy += y
        srr += r * r
        sry += r * y
    den = n * srr - sr * sr
    if abs(den) < 1e-9:
        return None
    slope = (n * sry - sr * sy) / den
    if not math.isfinite(slope) or slope <= 0:
        return None
    intercept = (sy - sr * slope) / n
    if not math.isfinite(intercept):
        return None
    return slope, intercept


def channel_mz(channel, calibration):
    if calibration is None:
        return float(channel)
    slope, intercept = calibration
    q = (channel - intercept) / slope
    return q * q


def decode_blocks(words, start):
    """Channels and intensities of the block stream from word `start`, or None.

    None unless the blocks parse through to a terminator that is the last word.
    """
    q, channel, channels, values = start, 0, [], []
    while q < len(words):
        h = words[q]
        if h == 0x8000:
            return (channels, values) if q == len(words) - 1 else None
        if not 0x8001 <= h <= 0x9000 or q + 2 + (h - 0x8000) > len(words):
            return None
        channel = (channel + words[q + 1]) % 2**32
        for v in words[q + 2 : q + 2 + h - 0x8000]:
            channels.append(channel)
            values.append(v)
            channel = (channel + 1) % 2**32
        q += 2 + h - 0x8000
    return None


def reference_ttfl_decode(record):
    """Channels and intensities of a TTFL scan record, or None: the plain search.

    Every start candidate from byte 64 on is tried in turn, from scratch.
    """
    n = len(record)
    if n == 64:
        return [], []
    if n < 68 or n % 2:
        return None
    words = list(struct.unpack(f"<{(n - 64) // 2}H", record[64:]))
    for start, w in enumerate(words):
        if 0x8000 <= w <= 0x8040:
            decoded = decode_blocks(words, start)
            if decoded is not None:
                return decoded
    return None


def expected_ttfl(record, rt_ms, calibration=None):
    channels, values = reference_ttfl_decode(record)
    return Expected(
        [channel_mz(c, calibration) for c in channels],
        [float(v) for v in values],
        1,
        0.0 if rt_ms is None else rt_ms / 1000.0,
    )


# --- realistic runs ---------------------------------------------------------


@dataclass
class Run:
    entries: dict = field(default_factory=dict)
    expected: list = field(default_factory=list)


def gaussian(x, centre, sigma):
    return math.exp(-0.5 * ((x - centre) / sigma) ** 2)


def isotope_pattern(mono_mz, charge=1, count=4):
    """(m/z, relative abundance) of an isotope envelope, carbon-13 spacing.

    The abundances follow a Poisson law in the number of heavy atoms, with
    roughly one carbon per 14 Da of neutral mass.
    """
    carbons = mono_mz * charge / 14.0
    lam = carbons * 0.0107
    spacing = 1.003355 / charge
    return [(mono_mz + k * spacing, math.exp(-lam) * lam**k / math.factorial(k)) for k in range(count)]


def lc_compounds(rng, n, n_scans, low=150.0, high=1400.0):
    """Analytes: monoisotopic m/z, charge, apex scan, peak width in scans, height."""
    return [
        (
            rng.uniform(low, high),
            rng.choice((1, 1, 1, 2)),
            rng.uniform(0.05, 0.95) * n_scans,
            rng.uniform(2.0, 6.0),
            rng.uniform(5e3, 2e6),
        )
        for _ in range(n)
    ]


def qtof_run(n_scans=200, scan_ms=150, start_ms=60_000, n_compounds=12, seed=11):
    """An LC-QTOF run alternating MS1 and MS2 centroid scans.

    MS1 scans hold the isotope envelopes of the analytes eluting at that time
    (Gaussian elution profiles) over a floor of noise centroids between m/z
    100 and 1500; each MS2 scan that follows holds fragments of the most
    intense precursor of the MS1 scan before it. MS1 intensities are 4-byte,
    MS2 intensities 2-byte; level codes vary among the values of each level.
    """
    rng = random.Random(seed)
    compounds = lc_compounds(rng, n_compounds, n_scans)
    records, levels, times, expected = [], [], [], []
    base_peak = (500.0, 1)
    for s in range(n_scans):
        rt = start_ms + s * scan_ms + rng.randrange(3)
        if s % 2 == 0:
            peaks = {}
            best = 0.0
            for mono, z, apex, width, height in compounds:
                elution = height * gaussian(s, apex, width)
                if elution < 50:
                    continue
                if elution > best:
                    best, base_peak = elution, (mono, z)
                for mz, rel in isotope_pattern(mono, z):
                    peaks[mz + rng.gauss(0, 0.0005)] = elution * rel
            for _ in range(rng.randrange(20, 60)):
                peaks[rng.uniform(100.0, 1500.0)] = rng.expovariate(1 / 300.0) + 20
            width, level = 4, rng.choice((0, 1))
            limit = 2**32 - 1
        else:
            # Singly charged fragments of a precursor of charge z reach up to
            # about z times its m/z; the precursor itself survives in part.
            precursor, z = base_peak
            peaks = {}
            for _ in range(rng.randrange(5, 25)):
                peaks[rng.uniform(50.0, min(precursor * z, 1500.0))] = rng.expovariate(1 / 4000.0) + 10
            peaks[precursor] = rng.uniform(500, 20000)
            width, level = 2, rng.choice((2, 2, 3, 7))
            limit = 0xFFFF
        ordered = sorted(peaks.items())
        mz_units = [round(mz * 1e12) for mz, _ in ordered]
        intensities = [min(int(v), limit) for _, v in ordered]
        records.append(qtof_record(mz_units, intensities, width=width))
        levels.append(level)
        times.append(rt)
        expected.append(expected_qtof(mz_units, intensities, level, rt))
    return Run(qtof_file_entries(records, levels, times), expected)


# Reference masses of a tuning mix, m/z.
TUNING_MASSES = [118.0863, 322.0481, 622.0290, 922.0098, 1221.9906, 1521.9715, 1821.9523]


def ttfl_run(n_scans=150, scan_ms=400, start_ms=30_000, n_compounds=10, seed=23, slope=1500.0, intercept=-2000.0):
    """A TTFL profile run with a tuning result.

    Channels follow channel = slope * sqrt(m/z) + intercept; the tuning result
    stores the reference masses with positions measured off that line by a
    fraction of a channel, so the fitted calibration is close to, not equal
    to, the one the peaks were placed with. Every peak is a Gaussian over
    consecutive channels; neighbouring runs of channels become blocks with
    the gap between them. Some records carry a preamble before the blocks.
    """
    rng = random.Random(seed)
    masses_e4 = [round(m * 1e4) for m in TUNING_MASSES]
    positions = [slope * math.sqrt(m * 1e-4) + intercept + rng.gauss(0, 0.05) for m in masses_e4]
    tuning = tuning_result(masses_e4, positions)
    calibration = fit_calibration(masses_e4, positions)
    compounds = lc_compounds(rng, n_compounds, n_scans, low=100.0, high=1000.0)

    records, times, expected = [], [], []
    for s in range(n_scans):
        profile = {}
        for mono, z, apex, width, height in compounds:
            elution = height * gaussian(s, apex, width)
            if elution < 100:
                continue
            for mz, rel in isotope_pattern(mono, z, count=3):
                centre = slope * math.sqrt(mz) + intercept
                sigma = 0.8 + centre * 2e-5
                for c in range(int(centre - 4 * sigma), int(centre + 4 * sigma) + 2):
                    profile[c] = profile.get(c, 0.0) + elution * rel * gaussian(c, centre, sigma) / 40
        for _ in range(rng.randrange(10, 40)):
            centre = rng.uniform(slope * math.sqrt(60.0) + intercept, slope * math.sqrt(1000.0) + intercept)
            for c in range(int(centre) - 2, int(centre) + 3):
                profile[c] = profile.get(c, 0.0) + rng.expovariate(1 / 30.0)
        # The start of the blocks is found by a first block of at most 64
        # channels; later blocks may hold up to 4096.
        blocks, previous_end = [], 0
        for c in sorted(ch for ch, v in profile.items() if v >= 1.0):
            value = min(int(profile[c]), 0xFFFF)
            if blocks and c == previous_end and len(blocks[-1][1]) < (64 if len(blocks) == 1 else 4096):
                blocks[-1][1].append(value)
            else:
                blocks.append((c - previous_end, [value]))
            previous_end = c + 1
        preamble = [rng.randrange(0x8000) for _ in range(rng.choice((0, 0, 0, 2, 5)))]
        record = ttfl_record(blocks, preamble)
        rt = start_ms + s * scan_ms
        records.append(record)
        times.append(rt)
        expected.append(expected_ttfl(record, rt, calibration))
    entries = ttfl_entries(records, range(n_scans), times, {TUNING[0]: tuning})
    return Run(entries, expected)


def single_quad_run(n_scans=200, scan_ms=300, start_ms=120_000, n_compounds=8, seed=5, widths="cycle"):
    """A single-quadrupole run: m/z 50 to 1000 in tenths, Gaussian elution.

    Each analyte gives a few ions. With widths="cycle", scans cycle through
    peak widths 4, 5 and 6 (2- to 4-byte intensities, clipped to what the
    width holds), with every tenth scan stored with 1-byte intensities,
    scaled to its base peak: every width at its largest values, for the
    decoder. With widths="fit", each scan is stored in the narrowest width
    that holds its base peak, as an acquisition writes it: nothing is
    clipped or scaled, and the chromatogram is as smooth as the elution.
    """
    if widths not in ("cycle", "fit"):
        raise ValueError(f"widths must be 'cycle' or 'fit', not {widths!r}")
    rng = random.Random(seed)

    def height():
        # Analytes' responses spread over decades; "fit" runs spread them so.
        return 10 ** rng.uniform(4.0, 7.7) if widths == "fit" else rng.uniform(1e4, 5e7)

    compounds = [
        ([rng.randrange(500, 10001) for _ in range(rng.randrange(2, 6))], rng.uniform(0.05, 0.95) * n_scans,
         rng.uniform(2.0, 5.0), height())
        for _ in range(n_compounds)
    ]
    records, expected = [], []
    for s in range(n_scans):
        spectrum = {}
        for ions, apex, sigma, height in compounds:
            elution = height * gaussian(s, apex, sigma)
            for rank, tenths in enumerate(ions):
                spectrum[tenths] = spectrum.get(tenths, 0.0) + elution / (rank + 1)
        for _ in range(rng.randrange(30, 80)):
            tenths = rng.randrange(500, 10001)
            spectrum[tenths] = spectrum.get(tenths, 0.0) + rng.expovariate(1 / 200.0)
        if widths == "fit":
            top = int(max(spectrum.values()))
            width = next(w for w in (3, 4, 5, 6) if top < 2 ** (8 * (w - 2)))
            scale = 1.0
        else:
            width = 3 if s % 10 == 9 else 4 + s % 3
            # A 1-byte scan is scaled so that its base peak reads 255.
            scale = 255 / max(spectrum.values()) if width == 3 else 1.0
        limit = 2 ** (8 * (width - 2)) - 1
        peaks = [(t, min(int(v * scale), limit)) for t, v in sorted(spectrum.items()) if v * scale >= 1]
        rt = start_ms + s * scan_ms
        records.append(sq_record(rt, peaks, width=width))
        expected.append(expected_sq(rt, peaks))
    return Run(mass_raw_entries(records), expected)


def qtof_entries(**options):
    return qtof_run(**options).entries


def ttfl_entries_run(**options):
    return ttfl_run(**options).entries


def single_quad_entries(**options):
    return single_quad_run(**options).entries

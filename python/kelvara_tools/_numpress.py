"""MS-Numpress encoders over a batch of spectra at once, in numpy.

    linear_batch(mz, bounds)         -> one encoded bytes object per segment
    slof_batch(intensity, bounds)    -> the same for short logged floats

Segment k of a batch is values[bounds[k]:bounds[k + 1]], one spectrum's
array. Each gets its own fixed point, chosen as the reference encoder's
optimalLinearFixedPoint / optimalSlofFixedPoint choose it, and the bytes the
reference writes: the fixed point as a big-endian double, then for linear
prediction the first two values as little-endian 32-bit integers and each
later value's difference from the straight line through the two before it
as half-bytes (a count nibble, then the significant nibbles, low first);
for short logged floats log(x + 1) · fixed point as 16-bit integers. The
work for a whole batch is a few numpy passes, where a call per spectrum
into a wrapper costs far more than the encoding of a few hundred values.

Precision kept: linear prediction rounds each m/z to the nearest multiple
of 1 / fixed point, and the fixed point is the largest that keeps the first
two values and every difference from the straight-line guess within 32
bits; a guess is never off by more than twice the largest m/z, so the error
is at most half a step, below 5e-10 · (the array's largest m/z + 1). Short
logged floats keep log(x + 1) to half a step of 1 / fixed point, with the
fixed point floor(65535 / log(largest + 1)): each intensity x comes back
within 0.5 · log(largest + 1) / 65535 · (x + 1), less than 1.7e-4 · (x + 1)
for any intensity up to 2^32.
"""

from __future__ import annotations

import numpy as np

_INT31 = float(0x7FFFFFFF)


def _owners(bounds: np.ndarray) -> np.ndarray:
    return np.repeat(np.arange(len(bounds) - 1), np.diff(bounds))


def _join(heads: list[bytes], body: bytes, body_bounds: list[int]) -> list[bytes]:
    return [head + body[a:b] for head, a, b in zip(heads, body_bounds, body_bounds[1:])]


def linear_fixed_points(values: np.ndarray, bounds: np.ndarray) -> np.ndarray:
    """Per segment, floor(2^31 - 1 / the largest of its first two values and
    of ceil(|error of the straight-line guess| + 1) over the rest)."""
    counts = np.diff(bounds)
    n = len(counts)
    largest = np.zeros(n)
    filled = counts > 0
    starts = bounds[:-1]
    largest[filled] = values[starts[filled]]
    two = counts > 1
    largest[two] = np.maximum(largest[two], values[starts[two] + 1])
    if len(values) > 2:
        guess = values[1:-1] + (values[1:-1] - values[:-2])
        error = np.ceil(np.abs(values[2:] - guess) + 1)
        # Only errors whose three values lie in one segment count.
        position = np.arange(2, len(values))
        owner = _owners(bounds)[2:]
        inside = position - bounds[owner] >= 2
        np.maximum.at(largest, owner[inside], error[inside])
    # A segment of zeros (or an empty one) would divide by zero; any fixed
    # point serves it.
    return np.floor(_INT31 / np.where(largest > 0, largest, 1.0))


def linear_batch(values: np.ndarray, bounds: np.ndarray) -> list[bytes]:
    values = np.asarray(values, dtype=np.float64)
    bounds = np.asarray(bounds, dtype=np.int64)
    n = len(bounds) - 1
    counts = np.diff(bounds)
    fixed = linear_fixed_points(values, bounds)
    owner = _owners(bounds)
    ints = (values * fixed[owner] + 0.5).astype(np.int64)  # truncation, as the reference's cast
    position = np.arange(len(values)) - bounds[:-1][owner]
    # The first two values of each segment go whole; the rest as differences.
    later = np.flatnonzero(position >= 2)
    diff = (ints[later] - (2 * ints[later - 1] - ints[later - 2])).astype(np.int32).view(np.uint32)
    nibbles_of = (diff[:, None] >> (np.arange(7, -1, -1, dtype=np.uint32) * 4)) & 0xF  # high nibble first
    leading_zero = np.argmax(nibbles_of != 0, axis=1)
    leading_zero[diff == 0] = 8
    leading_f = np.argmax(nibbles_of != 0xF, axis=1)
    leading_f[diff == 0xFFFFFFFF] = 7
    negative = nibbles_of[:, 0] == 0xF
    skipped = np.where(negative, leading_f, leading_zero)
    header = np.where(negative, skipped + 8, skipped)
    kept = 8 - skipped  # nibbles written after the header, lowest first
    # Each segment's half-bytes end on a whole byte: an odd count gets a zero.
    per_diff = 1 + kept
    later_owner = owner[later]
    nibble_count = np.bincount(later_owner, weights=per_diff, minlength=n).astype(np.int64)
    pad = nibble_count % 2
    padded = nibble_count + pad
    seg_nibble_start = np.zeros(n + 1, dtype=np.int64)
    np.cumsum(padded, out=seg_nibble_start[1:])
    # Where each difference's nibbles start: after the earlier ones of its segment.
    diff_start = np.zeros(len(later), dtype=np.int64)
    if len(later):
        before = np.cumsum(per_diff) - per_diff
        first_of_segment = np.searchsorted(later_owner, np.arange(n))
        base = before[np.minimum(first_of_segment, len(later) - 1)]
        diff_start = seg_nibble_start[later_owner] + before - base[later_owner]
    stream = np.zeros(int(seg_nibble_start[-1]), dtype=np.uint8)
    stream[diff_start] = header
    which = np.repeat(np.arange(len(later)), kept)
    step = np.arange(len(which)) - np.repeat(np.cumsum(kept) - kept, kept)
    stream[np.repeat(diff_start + 1, kept) + step] = (diff[which] >> (4 * step.astype(np.uint32))) & 0xF
    body = (stream[0::2] << 4 | stream[1::2]).tobytes()
    byte_bounds = (seg_nibble_start // 2).tolist()
    heads = []
    fixed_bytes = fixed.astype(">f8").tobytes()
    first_two = np.zeros((n, 2), dtype="<i4")
    starts = bounds[:-1]
    filled, two = counts > 0, counts > 1
    first_two[filled, 0] = ints[starts[filled]]
    first_two[two, 1] = ints[starts[two] + 1]
    first_bytes = first_two.tobytes()
    for k, count in enumerate(counts.tolist()):
        whole = 4 * min(count, 2)
        heads.append(fixed_bytes[8 * k:8 * k + 8] + first_bytes[8 * k:8 * k + whole])
    return _join(heads, body, byte_bounds)


def slof_batch(values: np.ndarray, bounds: np.ndarray) -> list[bytes]:
    values = np.asarray(values, dtype=np.float64)
    bounds = np.asarray(bounds, dtype=np.int64)
    n = len(bounds) - 1
    logs = np.log(values + 1)
    largest = np.ones(n)
    owner = _owners(bounds)
    np.maximum.at(largest, owner, logs)
    fixed = np.floor(0xFFFF / largest)
    shorts = (logs * fixed[owner] + 0.5).astype(np.uint16).astype("<u2").tobytes()
    fixed_bytes = fixed.astype(">f8").tobytes()
    heads = [fixed_bytes[8 * k:8 * k + 8] for k in range(n)]
    return _join(heads, shorts, (2 * bounds).tolist())

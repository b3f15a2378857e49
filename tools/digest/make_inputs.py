"""Write the data files the two digest builds are compared on.

    python tools/digest/make_inputs.py OUT_DIR

Writes, with the test suite's encoders and container writer (tests/):
  - runs of every layout (GC-MS index variants A and B and MRM scans, QTOF
    centroid, TTFL profile with and without a tuning result, single-quad),
    in both container versions and with the container writer's odd but valid
    shapes (unsorted and list-shaped directories, interleaved and reversed
    chains, unpadded ends, junk after the container);
  - damaged copies of them: cut short at several points, and with bytes
    overwritten at positions drawn from a fixed seed, so the failure paths
    are compared too;
  - names the open path treats specially: an upper-case extension, a
    non-ASCII name, an unsupported extension, an empty file, a directory;
and OUT_DIR/inputs.txt listing every path to digest (relative to OUT_DIR,
UTF-8, one per line), including one that does not exist.

The output is the same on every run.
"""

from __future__ import annotations

import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, os.pardir, "tests"))

from cfbwriter import build_cfb  # noqa: E402
from gcms_encoders import gcms_entries, realistic_run  # noqa: E402
from lcms_encoders import qtof_run, single_quad_run, ttfl_run  # noqa: E402

LIST_NAME = "inputs.txt"


def runs():
    """(name, extension, entries) for one run of every layout and variant."""
    gcms = realistic_run(n_scans=240, scan_ms=500, start_ms=180_000, mrm_every=25, seed=31)
    yield "gcms_index_a", "qgd", gcms_entries(gcms.records, variant="A")
    yield "gcms_index_b", "qgd", gcms_entries(gcms.records, variant="B")
    yield "qtof_centroid", "lcd", qtof_run(n_scans=120, seed=32).entries
    yield "ttfl_profile", "lcd", ttfl_run(n_scans=80, seed=33).entries
    untuned = dict(ttfl_run(n_scans=40, seed=34).entries)
    for path in [p for p in untuned if p.startswith("TTFL Tuning/")]:
        del untuned[path]
    yield "ttfl_channels", "lcd", untuned
    yield "single_quad", "lcd", single_quad_run(n_scans=150, seed=35).entries


SHAPES = [
    ("v3", 3, {}),
    ("v4", 4, {}),
    ("v3_list", 3, {"sibling_layout": "right_list", "pad_to_sector": False}),
    ("v4_unsorted", 4, {"sibling_layout": "unsorted_tree", "chain_order": "interleaved"}),
    ("v3_reversed", 3, {"chain_order": "reversed", "fat_tail": "zero", "trailing": b"\0" * 300}),
]


def damaged(data: bytes, rng: random.Random):
    """(suffix, bytes) copies of `data` with faults a disk or a copy can make."""
    for fraction in (0.0, 0.3, 0.75, 0.999):
        yield f"cut{int(fraction * 1000):03d}", data[: int(len(data) * fraction)]
    header_and_tables = min(len(data), 4096)
    for k in range(6):
        corrupt = bytearray(data)
        # Half the faults land in the header and first sectors, where the
        # container's tables usually lie; the rest anywhere.
        limit = header_and_tables if k % 2 == 0 else len(data)
        for _ in range(1 + k):
            corrupt[rng.randrange(limit)] = rng.randrange(256)
        yield f"flip{k}", bytes(corrupt)


def write(folder: str, name: str, data: bytes, listed: list[str]) -> None:
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)
    listed.append(name)


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    folder = argv[1]
    os.makedirs(folder, exist_ok=True)
    rng = random.Random(2026)
    listed: list[str] = []
    for run_name, extension, entries in runs():
        for shape_name, version, options in SHAPES:
            data = build_cfb(entries, version=version, **options)
            stem = f"{run_name}_{shape_name}"
            write(folder, f"{stem}.{extension}", data, listed)
            if shape_name == "v3":
                for suffix, broken in damaged(data, rng):
                    write(folder, f"{stem}_{suffix}.{extension}", broken, listed)

    gcms = build_cfb(gcms_entries(realistic_run(n_scans=30, seed=36).records), version=3)
    write(folder, "UPPER_CASE.QGD", gcms, listed)
    write(folder, "Lauf_\u00b5g_\u6e2c\u5b9a.qgd", gcms, listed)
    write(folder, "wrong_extension.raw", gcms, listed)
    write(folder, "gcms_as_lcd.lcd", gcms, listed)
    write(folder, "empty.qgd", b"", listed)
    write(folder, "not_a_container.lcd", bytes(range(256)) * 8, listed)
    os.makedirs(os.path.join(folder, "a_folder.qgd"), exist_ok=True)
    listed.append("a_folder.qgd")
    listed.append("does_not_exist.qgd")

    with open(os.path.join(folder, LIST_NAME), "w", encoding="utf-8", newline="\n") as f:
        f.write("".join(name + "\n" for name in listed))
    print(f"{len(listed)} inputs in {folder}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

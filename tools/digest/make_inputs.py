"""Write the data files the two digest builds are compared on.

    python tools/digest/make_inputs.py OUT_DIR [--samples DIR] [--corpus DIR]

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
    non-ASCII name, an unsupported extension, an empty file, a directory,
    files in nested folders reached through "." and ".." components, and
    one whose path is longer than 260 characters;
and OUT_DIR/inputs.txt listing every path to digest (relative to OUT_DIR,
UTF-8, one per line), including one that does not exist.

With --samples, the data files in that folder are copied in and listed.
With --corpus, the fuzz corpus's inputs are turned into data files as well,
each the way its fuzz target reads it, found by the folder it lies in:
  open/      one byte picks the extension (even .qgd, odd .lcd), a
             container follows;
  decoders/  one byte picks the layout (0 GC-MS, 1 single-quad, 2 QTOF,
             3 TTFL), a u32 length and that many index bytes, then the scan
             data (QTOF and TTFL: a u32 length and the retention-time bytes
             first, which TTFL also reads as its tuning result); packed into
             a container with the layout's stream names;
  elsewhere  a container, given once with each extension.
A corpus folder that does not exist adds nothing.

The output is the same on every run.
"""

from __future__ import annotations

import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, os.pardir, "tests"))

from cfbwriter import build_cfb  # noqa: E402
from gcms_encoders import GCMS_DATA, GCMS_INDEX, gcms_entries, realistic_run  # noqa: E402
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
    qtof_run,
    single_quad_run,
    ttfl_run,
)

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


def split(rest: bytes) -> tuple[bytes, bytes]:
    """Cuts `rest` at a u32 length read from its first four bytes, clamped
    to what follows, as the decoders' fuzz target does."""
    if len(rest) < 4:
        return b"", rest
    wanted = int.from_bytes(rest[:4], "little")
    tail = rest[4:]
    cut = wanted % (len(tail) + 1)
    return tail[:cut], tail[cut:]


def decoder_input_entries(data: bytes) -> tuple[str, dict[str, bytes]]:
    """The extension and the streams of a decoders-target input."""
    index, rest = split(data[1:])
    layout = data[0] % 4
    if layout == 0:
        return "qgd", {GCMS_INDEX: index, GCMS_DATA: rest}
    if layout == 1:
        return "lcd", {MASS_RAW_INDEX: index, MASS_RAW_DATA: rest}
    times, scans = split(rest)
    if layout == 2:
        return "lcd", {QTFL_INDEX: index, QTFL_TIMES: times, QTFL_DATA: scans}
    return "lcd", {TTFL_INDEX: index, TTFL_TIMES: times, TTFL_DATA: scans, TUNING[0]: times}


def corpus_files(corpus: str):
    """(name, bytes) of the data files made from the corpus's inputs."""
    if not os.path.isdir(corpus):
        return
    for top, folders, files in os.walk(corpus):
        folders.sort()
        kind = os.path.relpath(top, corpus).split(os.sep)[0]
        for name in sorted(files):
            with open(os.path.join(top, name), "rb") as f:
                data = f.read()
            stem = "corpus_" + os.path.relpath(os.path.join(top, name), corpus).replace(os.sep, "_")
            if kind == "open":
                if data:
                    yield f"{stem}.{'qgd' if data[0] % 2 == 0 else 'lcd'}", data[1:]
            elif kind == "decoders":
                if data:
                    extension, entries = decoder_input_entries(data)
                    yield f"{stem}.{extension}", build_cfb(entries, version=3)
            else:
                yield f"{stem}.qgd", data
                yield f"{stem}.lcd", data


def main(argv: list[str]) -> int:
    args = argv[1:]
    options = {"--samples": None, "--corpus": None}
    while len(args) >= 3 and args[-2] in options:
        options[args[-2]] = args[-1]
        args = args[:-2]
    if len(args) != 1:
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    folder = args[0]
    samples, corpus = options["--samples"], options["--corpus"]
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
    nested = os.path.join(folder, "nested", "deeper")
    os.makedirs(nested, exist_ok=True)
    with open(os.path.join(nested, "nested run.qgd"), "wb") as f:
        f.write(gcms)
    listed += ["nested/deeper/nested run.qgd", "./nested/../nested/./deeper/nested run.qgd", "nested/missing.lcd"]
    # A path longer than the classic 260-character limit of Windows paths.
    deep = "/".join(["long"] + [f"{level:02d}_" + "acquisition_folder_" * 3 for level in range(5)])
    os.makedirs(os.path.join(folder, deep), exist_ok=True)
    with open(os.path.join(folder, deep, "long path run.qgd"), "wb") as f:
        f.write(gcms)
    listed.append(f"{deep}/long path run.qgd")

    if samples is not None:
        for name in sorted(os.listdir(samples)):
            if os.path.splitext(name)[1].lower() in (".qgd", ".lcd"):
                with open(os.path.join(samples, name), "rb") as f:
                    write(folder, "sample_" + name, f.read(), listed)

    corpus_note = ""
    if corpus is not None:
        before = len(listed)
        for name, data in corpus_files(corpus):
            write(folder, name, data, listed)
        found = len(listed) - before
        corpus_note = f" ({found} from the fuzz corpus)" if found else f" (no fuzz corpus at {corpus})"

    with open(os.path.join(folder, LIST_NAME), "w", encoding="utf-8", newline="\n") as f:
        f.write("".join(name + "\n" for name in listed))
    print(f"{len(listed)} inputs in {folder}{corpus_note}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

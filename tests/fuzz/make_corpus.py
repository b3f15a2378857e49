"""Writes seed containers for the compound file fuzz target into a directory.

Usage: python3 tests/fuzz/make_corpus.py OUT_DIR
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

from cfbwriter import build_cfb  # noqa: E402


def seeds():
    small = {"GCMS Raw Data/Spectrum Index": bytes(range(16)), "GCMS Raw Data/MS Raw Data": bytes(5000), "s": b"x" * 70}
    yield "v3-tree", build_cfb(small, 3)
    yield "v4-tree", build_cfb(small, 4)
    yield "v3-right-list", build_cfb(small, 3, sibling_layout="right_list", pad_to_sector=False)
    yield "v3-interleaved", build_cfb({**small, "S/s": bytes(9000)}, 3, chain_order="interleaved")
    yield "v3-many", build_cfb({f"S/e{i}": bytes(i * 3) for i in range(40)}, 3)
    yield "v3-empty", build_cfb({"GCMS Raw Data/Spectrum Index": b"", "GCMS Raw Data/MS Raw Data": b""}, 3)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, data in seeds():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()

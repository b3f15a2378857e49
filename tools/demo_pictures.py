"""Draw the pictures `make demo` shows: for every sample, its total ion
current and the MS1 spectrum at the top of it, through the kelvara command.

    python tools/demo_pictures.py samples build/demo

Prints the path of each picture written.
"""

from __future__ import annotations

import os
import sys

import numpy as np

from kelvara_tools import read_run
from kelvara_tools.cli import main as kelvara


def main(argv: list[str]) -> int:
    folder = argv[1] if len(argv) > 1 else "samples"
    out = argv[2] if len(argv) > 2 else os.path.join("build", "demo")
    os.makedirs(out, exist_ok=True)
    status = 0
    for name in sorted(n for n in os.listdir(folder) if n.lower().endswith((".qgd", ".lcd"))):
        path = os.path.join(folder, name)
        stem = os.path.splitext(name)[0]
        # The MS1 spectrum at the top of the MS1 total ion current, the trace drawn.
        run = read_run(path)
        ms1 = np.flatnonzero(run.ms_level == 1)
        apex = int(ms1[np.argmax(run.tic().intensity)]) if len(ms1) else 0
        status |= kelvara(["plot", path, "--tic", "-o", os.path.join(out, f"{stem}_tic.png")])
        status |= kelvara(["plot", path, "--spectrum", str(apex), "-o", os.path.join(out, f"{stem}_spectrum.png")])
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))

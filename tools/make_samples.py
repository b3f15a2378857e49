"""Write the bundled sample data files: synthetic, deterministic acquisitions.

    python tools/make_samples.py samples

Each file is built by the test suite's own encoders and container writer
(tests/), so the samples are reproducible byte for byte; tests/test_samples.py
checks that the committed files are what this script makes.
"""

from __future__ import annotations

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))

from cfbwriter import build_cfb  # noqa: E402
from gcms_encoders import gcms_entries, realistic_run  # noqa: E402
from lcms_encoders import qtof_run, single_quad_run, ttfl_run  # noqa: E402


# Every scan is stored in the narrowest intensity width that holds it
# (widths="fit"), as an acquisition writes it: no value is clipped to its
# field, so the chromatograms are as smooth as the elution. The tests cover
# each width at its largest values with files of their own.


def gcms_sample() -> bytes:
    # Eight minutes of EI scans at 2 Hz from minute 3 on, with an MRM scan of
    # three transitions every 60th scan.
    run = realistic_run(n_scans=960, scan_ms=500, start_ms=180_000, mrm_every=60, seed=2026, widths="fit")
    return build_cfb(gcms_entries(run.records), version=3)


def qtof_sample() -> bytes:
    # An LC-QTOF run alternating MS1 survey scans and MS2 scans.
    return build_cfb(qtof_run(n_scans=300, seed=2026).entries, version=4)


def ttfl_sample() -> bytes:
    # A profile run on the channel axis, with a tuning result for the mass
    # calibration.
    return build_cfb(ttfl_run(n_scans=200, seed=2026).entries, version=3)


def single_quad_sample() -> bytes:
    return build_cfb(single_quad_run(n_scans=300, n_compounds=12, seed=2026, widths="fit").entries, version=3)


SAMPLES = {
    "gcms_ei_run.qgd": gcms_sample,
    "lcms_qtof_centroid.lcd": qtof_sample,
    "lcms_ttfl_profile.lcd": ttfl_sample,
    "lcms_single_quad.lcd": single_quad_sample,
}


def main(argv: list[str]) -> int:
    folder = argv[1] if len(argv) > 1 else "samples"
    os.makedirs(folder, exist_ok=True)
    for name, make in SAMPLES.items():
        data = make()
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
        print(f"{name}: {len(data)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

"""Open every data file in a folder and summarise what the reader finds.

    python tools/demo.py samples

For each ".qgd" and ".lcd" file: the reader's repr, the number of spectra by
MS level, the retention-time range, and the strongest peaks of the spectra
at the top of the total-ion chromatogram.
"""

from __future__ import annotations

import os
import sys

from kelvara import RawReader


def summarise(path: str) -> None:
    reader = RawReader(path)
    print(repr(reader))
    spectra = [reader.read_spectrum(i) for i in range(reader.scan_count)]
    if not spectra:
        print("  no spectra\n")
        return
    levels = {}
    for s in spectra:
        levels[s.ms_level] = levels.get(s.ms_level, 0) + 1
    times = [s.retention_time_sec for s in spectra]
    print(f"  scans: {reader.scan_count} ("
          + ", ".join(f"MS{level}: {count}" for level, count in sorted(levels.items())) + ")")
    print(f"  retention time: {min(times):.2f} s to {max(times):.2f} s")
    # For each MS level, the spectra with the largest total ion current.
    shown_scans = []
    for level in sorted(levels):
        at_level = [i for i, s in enumerate(spectra) if s.ms_level == level]
        shown_scans += sorted(at_level, key=lambda i: sum(spectra[i].intensity), reverse=True)[: 3 if level == 1 else 1]
    for i in sorted(shown_scans):
        s = spectra[i]
        peaks = sorted(zip(s.intensity, s.mz), reverse=True)[:5]
        shown = ", ".join(f"{mz:.4f} ({intensity:.0f})" for intensity, mz in peaks)
        print(f"  scan {i}: {s!r} MS{s.ms_level}; strongest: {shown}")
    print()


def main(argv: list[str]) -> int:
    folder = argv[1] if len(argv) > 1 else "samples"
    names = sorted(n for n in os.listdir(folder) if n.lower().endswith((".qgd", ".lcd")))
    if not names:
        print(f"no .qgd or .lcd files in {folder}", file=sys.stderr)
        return 1
    for name in names:
        summarise(os.path.join(folder, name))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

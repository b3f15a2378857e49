"""Compare two digests line for line.

    python tools/digest/compare.py NATIVE WINDOWS

The digests come from kelvara_digest built for two platforms over the same
inputs. They must be equal line for line, with one allowance: an error
caused by the operating system ends in "<text> (os error <code>)", and both
the text and the code are the system's own, so that ending is compared as a
placeholder. The kind of error and everything before it must still agree.
Carriage returns before newlines (a Windows console writes them) are ignored.

Exits 0 when the digests agree, 1 with the first differences otherwise.
"""

from __future__ import annotations

import re
import sys

OS_ERROR = re.compile(r"(: )[^:]*\(os error -?\d+\)$")
SHOWN = 20


def normalised(line: str) -> str:
    return OS_ERROR.sub(r"\1<os text> (os error <code>)", line.rstrip("\r\n"))


def read(path: str) -> list[str]:
    with open(path, encoding="utf-8", newline="") as f:
        return [normalised(line) for line in f]


def compare(native: list[str], other: list[str]) -> list[str]:
    """The differences, as messages; empty when the digests agree."""
    problems = []
    for number, (a, b) in enumerate(zip(native, other), start=1):
        if a != b:
            problems.append(f"line {number}:\n  native:  {a}\n  windows: {b}")
    if len(native) != len(other):
        problems.append(f"the native digest has {len(native)} lines, the Windows one {len(other)}")
    return problems


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print("usage: compare.py NATIVE WINDOWS", file=sys.stderr)
        return 2
    native, other = read(argv[1]), read(argv[2])
    problems = compare(native, other)
    files = sum(1 for line in native if line.startswith("file "))
    if problems:
        print(f"digests differ ({len(problems)} differences):")
        for problem in problems[:SHOWN]:
            print(problem)
        return 1
    if files == 0:
        print("no file digests to compare")
        return 1
    errors = sum(1 for line in native if line.startswith("file ") and ": error: " in line)
    print(f"digests equal: {files} files ({errors} of them errors), {len(native) - files} spectra")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

"""The digest driver and its comparison, which check the Windows build.

The driver reads files through the same C++ core as the module, with no
Python in between; its digest must describe exactly what RawReader returns,
or agreeing digests would prove nothing. The comparison may mask only the
operating system's own words.
"""

from __future__ import annotations

import importlib.util
import os
import shutil
import struct
import subprocess
import sys

import pytest
from kelvara import RawReader

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DIGEST_TOOLS = os.path.join(ROOT, "tools", "digest")


def load(name):
    found = importlib.util.spec_from_file_location(name, os.path.join(DIGEST_TOOLS, name + ".py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


compare = load("compare")


def fnv1a(data: bytes) -> int:
    h = 0xCBF29CE484222325
    for byte in data:
        h = ((h ^ byte) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    return h


def expected_digest(path: str) -> list[str]:
    """The driver's lines for one file, made from what RawReader returns."""
    reader = RawReader(path)
    lines = [f"file {os.path.basename(path)}: {reader.scan_count} spectra"]
    for i in range(reader.scan_count):
        s = reader.read_spectrum(i)
        mz, intensity = s.mz, s.intensity
        payload = struct.pack(f"<{len(mz)}d", *mz) + struct.pack(f"<{len(intensity)}f", *intensity)
        (rt_bits,) = struct.unpack("<Q", struct.pack("<d", s.retention_time_sec))
        lines.append(f"{i} peaks={len(s)} level={s.ms_level} rt={rt_bits:016x} hash={fnv1a(payload):016x}")
    return lines


def build_tool(name):
    here = shutil.which(name, path=os.path.dirname(sys.executable))
    return here or shutil.which(name)


@pytest.fixture(scope="module")
def driver(tmp_path_factory):
    cmake, ninja = build_tool("cmake"), build_tool("ninja")
    if not (cmake and ninja and os.path.exists(os.path.join(ROOT, "CMakeLists.txt"))):
        pytest.skip("cmake and ninja are needed to build the digest driver")
    # An unoptimised build compiles fastest; it lives beside the other builds
    # of the checkout, so later runs rebuild only what changed.
    build = os.path.join(ROOT, "build", "test-digest")
    try:
        os.makedirs(build, exist_ok=True)
    except OSError:
        build = str(tmp_path_factory.mktemp("digest-build"))
    configure = [cmake, "-S", ROOT, "-B", build, "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}",
                 "-DCMAKE_BUILD_TYPE=Debug", "-DKELVARA_PYTHON=OFF", "-DKELVARA_DIGEST=ON"]
    subprocess.run(configure, check=True, capture_output=True)
    subprocess.run([cmake, "--build", build], check=True, capture_output=True)
    exe = os.path.join(build, "kelvara_digest")
    return exe + ".exe" if sys.platform == "win32" else exe


def run(driver, *args, cwd=None) -> list[str]:
    out = subprocess.run([driver, *args], check=True, capture_output=True, cwd=cwd)
    return out.stdout.decode("utf-8").splitlines()


SAMPLES = sorted(os.listdir(os.path.join(ROOT, "samples")))


@pytest.mark.parametrize("name", SAMPLES)
def test_driver_digest_is_what_the_module_reads(driver, name):
    path = os.path.join(ROOT, "samples", name)
    assert run(driver, path) == expected_digest(path)


def test_driver_reads_a_list_of_utf8_paths_and_reports_errors_in_order(driver, make_file, tmp_path):
    from gcms_encoders import gcms_entries, realistic_run

    name = "Lauf_\u00b5g.qgd"
    path = make_file(name, gcms_entries(realistic_run(n_scans=12, seed=3).records))
    (tmp_path / "list.txt").write_bytes(f"{name}\r\n\nmissing.qgd\nnotes.txt\n".encode("utf-8"))
    (tmp_path / "notes.txt").write_bytes(b"hello")
    lines = run(driver, "@list.txt", cwd=str(tmp_path))
    with pytest.raises(RuntimeError) as missing:
        RawReader(str(tmp_path / "missing.qgd"))
    with pytest.raises(RuntimeError) as notes:
        RawReader(str(tmp_path / "notes.txt"))
    assert lines == expected_digest(path) + [
        f"file missing.qgd: error: {missing.value}",
        f"file notes.txt: error: {notes.value}",
    ]


OS_TAIL = "No such file or directory (os error 2)"


@pytest.mark.parametrize(
    "native, windows, equal",
    [
        (f"file a.qgd: error: I/O error: {OS_TAIL}", "file a.qgd: error: I/O error: File not found. (os error 2)", True),
        (
            "file d.qgd: error: parse error: not a valid OLE2/CFBF container: Is a directory (os error 21)",
            "file d.qgd: error: parse error: not a valid OLE2/CFBF container: system error (os error 336)",
            True,
        ),
        ("3 peaks=5 level=1 rt=40668 hash=ab", "3 peaks=5 level=1 rt=40668 hash=ab\r", True),
        # The kind of error and what precedes the system's words still count.
        (f"file a.qgd: error: I/O error: {OS_TAIL}", f"file a.qgd: error: parse error: {OS_TAIL}", False),
        (f"file a.qgd: error: I/O error: {OS_TAIL}", f"file b.qgd: error: I/O error: {OS_TAIL}", False),
        ("file a.qgd: error: parse error: bad sector 7", "file a.qgd: error: parse error: bad sector 8", False),
        ("3 peaks=5 level=1 rt=40668 hash=ab", "3 peaks=5 level=2 rt=40668 hash=ab", False),
    ],
)
def test_comparison_masks_only_the_system_wording(native, windows, equal):
    problems = compare.compare([compare.normalised(native)], [compare.normalised(windows)])
    assert (problems == []) is equal


def test_comparison_counts_missing_lines():
    lines = ["file a.qgd: 1 spectra", "0 peaks=1 level=1 rt=0 hash=0"]
    assert compare.compare(lines, lines[:1]) != []
    assert compare.compare(lines, lines) == []

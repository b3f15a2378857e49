"""mzML documents are written in page-aligned blocks, straight to the device
where the file system takes direct writes. The bytes must not depend on
how the writes were taken, and a write that fails must fail the
conversion."""

from __future__ import annotations

import errno
import hashlib
import os

import pytest
from kelvara_tools import convert_file
from kelvara_tools._direct import ALIGN, DirectFile
from kelvara_tools.mzml import _Sink, stream_mzml

from test_batches import run_files  # noqa: F401  (fixture)

fcntl = pytest.importorskip("fcntl")
O_DIRECT = getattr(os, "O_DIRECT", 0)
pytestmark = pytest.mark.skipif(not O_DIRECT, reason="the system has no direct writes")


def _takes_direct_writes(folder) -> bool:
    fd = os.open(os.path.join(folder, "probe"), os.O_WRONLY | os.O_CREAT, 0o644)
    try:
        fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | O_DIRECT)
        return True
    except OSError:
        return False
    finally:
        os.close(fd)
        os.unlink(os.path.join(folder, "probe"))


def _failing_direct_writes(monkeypatch, error: int, after: int) -> list[int]:
    """Direct writes after the first `after` fail with `error`; returns the
    lengths of the direct writes tried."""
    write, tried = os.write, []

    def refusing(fd, data):
        if fcntl.fcntl(fd, fcntl.F_GETFL) & O_DIRECT:
            tried.append(len(data))
            if len(tried) > after:
                raise OSError(error, os.strerror(error))
        return write(fd, data)

    monkeypatch.setattr(os, "write", refusing)
    return tried


@pytest.fixture
def small_blocks(monkeypatch):
    """Blocks of 16 pages: a sample's document spans dozens of them."""
    monkeypatch.setattr(DirectFile, "BLOCK", 16 * ALIGN)
    monkeypatch.setattr(_Sink, "BLOCK", 16 * ALIGN)


@pytest.mark.parametrize("gzip", [False, True])
def test_the_bytes_do_not_depend_on_how_the_writes_are_taken(run_files, tmp_path, monkeypatch, gzip):  # noqa: F811
    source = run_files["gcms_ei_run.qgd"]
    options = {"compression": "none", "gzip": gzip, "max_points": 2000}
    # In one block of the default size, written almost all through the cache.
    stream_mzml(source, tmp_path / "one-block.mzML", **options)
    expected = (tmp_path / "one-block.mzML").read_bytes()
    assert len(expected) < DirectFile.BLOCK and (gzip or len(expected) > 40 * 16 * ALIGN)
    monkeypatch.setattr(DirectFile, "BLOCK", 16 * ALIGN)
    monkeypatch.setattr(_Sink, "BLOCK", 16 * ALIGN)

    def written(name: str, folder=tmp_path) -> bytes:
        stream_mzml(source, folder / name, **options)
        return (folder / name).read_bytes()

    # Taken directly: every direct write whole pages.
    with monkeypatch.context() as m:
        tried = _failing_direct_writes(m, errno.EINVAL, after=1 << 30)
        direct = written("direct.mzML")
        assert direct == expected
        if not gzip:
            # The checksum, hashed piece by piece across dozens of blocks.
            end = direct.index(b"<fileChecksum>") + len(b"<fileChecksum>")
            assert direct[end:end + 40].decode() == hashlib.sha1(direct[:end]).hexdigest()
        if _takes_direct_writes(tmp_path):
            assert len(tried) >= (1 if gzip else 40)
            assert all(n % ALIGN == 0 for n in tried)
    # The device refusing direct writes from the first, or part way: each
    # file goes on through the cache (a gzip document is written plain
    # first, then compressed into a second file).
    files = 2 if gzip else 1
    for after in (0, 3):
        with monkeypatch.context() as m:
            tried = _failing_direct_writes(m, errno.EINVAL, after)
            assert written(f"refused-{after}.mzML") == expected, after
            assert len(tried) <= files * (after + 1)
    # A file system that refuses them when the file is opened.
    if os.path.isdir("/dev/shm") and not _takes_direct_writes("/dev/shm"):
        shm = tmp_path.__class__("/dev/shm")
        try:
            assert written(f"kelvara-{os.getpid()}.mzML", shm) == expected
        finally:
            (shm / f"kelvara-{os.getpid()}.mzML").unlink(missing_ok=True)


def test_a_direct_write_that_fails_fails_the_conversion(run_files, tmp_path, monkeypatch, small_blocks):  # noqa: F811
    if not _takes_direct_writes(tmp_path):
        pytest.skip("the temporary folder's file system takes no direct writes")
    tried = _failing_direct_writes(monkeypatch, errno.ENOSPC, after=5)
    report = convert_file(run_files["gcms_ei_run.qgd"], tmp_path / "out", compress="none")
    assert report.status == "failed" and "No space left" in report.error
    assert len(tried) == 6
    assert os.listdir(tmp_path / "out") == []

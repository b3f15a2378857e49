"""The mzML writer's run-long columns (the index, the TIC chromatogram) go
to scratch files once they grow and come back in pieces. A tiny threshold
and piece size make the sample runs cross both many times."""

from __future__ import annotations

import os
import re
import shutil

import numpy as np
import pytest
from kelvara_tools import FormatError, mzml, read_run
from kelvara_tools.mzml import stream_mzml

from test_batches import long_run_file, run_files  # noqa: F401  (fixtures)


def _open_in(folder) -> list[str]:
    """The process's open files in `folder`, nameless ones included."""
    if not os.path.isdir("/proc/self/fd"):
        pytest.skip("needs /proc to list open files")
    links = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            links.append(os.readlink(f"/proc/self/fd/{fd}"))
        except OSError:  # the descriptor the listing itself used
            pass
    return [link for link in links if link.startswith(str(folder) + os.sep)]


@pytest.mark.parametrize("compression", ["none", "zlib"])
def test_spilled_columns_give_the_same_document(run_files, tmp_path, monkeypatch, compression):  # noqa: F811
    reader = pytest.importorskip("pyteomics.mzml")
    for name in ("gcms", "gcms_ei_run.qgd", "qtof", "lcms_ttfl_profile.lcd"):
        path, held, spilled = run_files[name], tmp_path / "held.mzML", tmp_path / "spilled.mzML"
        stream_mzml(path, held, compression=compression, max_points=300)
        with monkeypatch.context() as patch:
            patch.setattr(mzml, "_SPILL_BYTES", 40)
            patch.setattr(mzml, "_PIECE", 3 * 5)
            stream_mzml(path, spilled, compression=compression, max_points=300)
        assert not _open_in(tmp_path)
        text = spilled.read_bytes()
        assert compression != "none" or text == held.read_bytes(), name
        entries = re.findall(rb'<offset idRef="(index=\d+)">(\d+)</offset>', text)
        assert entries and all(text.startswith(b'<spectrum index="%d" id="%b"' % (k, ref), int(at))
                               for k, (ref, at) in enumerate(entries)), name
        run = read_run(path)
        ms1 = np.asarray(run.ms_level) == 1
        with reader.MzML(str(spilled)) as document:
            tic = document.get_by_id("TIC")
        assert len(tic["time array"]) > 3 * 5, name  # more than one piece
        np.testing.assert_array_equal(tic["time array"], run.retention_time_sec[ms1])
        np.testing.assert_array_equal(tic["intensity array"], run.tic(ms_level=None).intensity[ms1])


@pytest.mark.timeout(300)
def test_a_walk_that_fails_leaves_no_scratch_file(long_run_file, tmp_path, monkeypatch):  # noqa: F811
    monkeypatch.setattr(mzml, "_SPILL_BYTES", 4096)
    cut, out = tmp_path / "cut.qgd", tmp_path / "out"
    shutil.copyfile(long_run_file, cut)
    out.mkdir()
    # Cut once the first batch is written, the columns already spilled.
    size = os.path.getsize(cut)
    with pytest.raises(FormatError):
        stream_mzml(cut, out / "run.mzML", max_points=20_000, progress=lambda done, total: os.truncate(cut, size // 2))
    assert not _open_in(out)
    assert os.listdir(out) == ["run.mzML"]  # the partial output is the caller's to remove, as before

"""What spans a run in the mzML writer (the index, the TIC chromatogram's
times and intensities) goes to scratch files once it grows and comes back
in pieces. Lowering the spill threshold and the piece size makes the
sample runs cross both many times: the document must not change, its index
must still point at each spectrum, the TIC must read back as the run's, and
no scratch file may stay open, after success or after a walk that fails.
"""

from __future__ import annotations

import os
import re
import shutil

import numpy as np
import pytest
from kelvara_tools import FormatError, mzml, read_run
from kelvara_tools.mzml import stream_mzml

from test_batches import long_run_file, run_files  # noqa: F401  (fixtures)

pyteomics_mzml = pytest.importorskip("pyteomics.mzml")


def _small_pieces(monkeypatch) -> None:
    monkeypatch.setattr(mzml, "_SPILL_BYTES", 40)
    monkeypatch.setattr(mzml, "_PIECE", 3 * 5)


def _open_in(folder) -> list[str]:
    """The process's open descriptors on files in `folder`, nameless ones included."""
    if not os.path.isdir("/proc/self/fd"):
        pytest.skip("needs /proc to list open files")
    links = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            links.append(os.readlink(f"/proc/self/fd/{fd}"))
        except OSError:
            continue
    return [link for link in links if link.startswith(str(folder) + os.sep)]


@pytest.mark.parametrize("compression", ["none", "zlib"])
def test_spilled_columns_give_the_same_document(run_files, tmp_path, monkeypatch, compression):  # noqa: F811
    for name in ("gcms", "gcms_ei_run.qgd", "qtof", "lcms_ttfl_profile.lcd"):
        path = run_files[name]
        held, spilled = tmp_path / "held.mzML", tmp_path / "spilled.mzML"
        stream_mzml(path, held, compression=compression, max_points=300)
        with monkeypatch.context() as patch:
            _small_pieces(patch)
            stream_mzml(path, spilled, compression=compression, max_points=300)
            assert not _open_in(tmp_path)
        text = spilled.read_bytes()
        if compression == "none":
            assert text == held.read_bytes(), name
        # Each index entry points at its spectrum.
        entries = re.findall(rb'<offset idRef="(index=\d+)">(\d+)</offset>', text)
        assert entries, name
        for k, (ref, at) in enumerate(entries):
            assert text.startswith(b'<spectrum index="%d" id="%b"' % (k, ref), int(at)), (name, ref)
        # The TIC chromatogram holds the MS1 spectra's times and total ion currents.
        run = read_run(path)
        ms1 = np.asarray(run.ms_level) == 1
        with pyteomics_mzml.MzML(str(spilled)) as reader:
            tic = reader.get_by_id("TIC")
        np.testing.assert_array_equal(tic["time array"], run.retention_time_sec[ms1])
        np.testing.assert_array_equal(tic["intensity array"], run.tic(ms_level=None).intensity[ms1])
        assert len(tic["time array"]) > 3 * 5, name  # more than one piece


@pytest.mark.timeout(300)
def test_a_walk_that_fails_leaves_no_scratch_file(long_run_file, tmp_path, monkeypatch):  # noqa: F811
    monkeypatch.setattr(mzml, "_SPILL_BYTES", 4096)
    cut = tmp_path / "cut.qgd"
    shutil.copyfile(long_run_file, cut)
    size = os.path.getsize(cut)
    out = tmp_path / "out"
    out.mkdir()
    # Cut once the first batch is written, with the columns already spilled.
    with pytest.raises(FormatError):
        stream_mzml(cut, out / "run.mzML", max_points=20_000,
                    progress=lambda done, total: os.truncate(cut, size // 2))
    assert not _open_in(out)
    assert os.listdir(out) == ["run.mzML"]  # the caller's to remove, as before

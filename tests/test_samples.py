"""The bundled sample files: reproducible, and readable in full."""

from __future__ import annotations

import importlib.util
import os

import numpy as np
import pytest
from kelvara import RawReader

from kelvara_tools import read_run

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def load_generator():
    found = importlib.util.spec_from_file_location("make_samples", os.path.join(ROOT, "tools", "make_samples.py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


GENERATOR = load_generator()


@pytest.mark.parametrize("name", sorted(GENERATOR.SAMPLES))
def test_sample_is_what_the_generator_makes_and_opens(name):
    path = os.path.join(ROOT, "samples", name)
    with open(path, "rb") as f:
        assert f.read() == GENERATOR.SAMPLES[name](), f"{name} is stale: run `make samples`"
    reader = RawReader(path)
    assert reader.scan_count > 100
    times = [reader.read_spectrum(i).retention_time_sec for i in range(reader.scan_count)]
    assert min(times) > 0.0


def test_every_bundled_file_has_a_generator():
    bundled = {n for n in os.listdir(os.path.join(ROOT, "samples")) if n.endswith((".qgd", ".lcd"))}
    assert bundled == set(GENERATOR.SAMPLES)


@pytest.mark.parametrize("name", sorted(GENERATOR.SAMPLES))
def test_sample_chromatograms_look_acquired(name):
    run = read_run(os.path.join(ROOT, "samples", name))
    # Each scan is stored in a width that holds it: no value sits at the
    # largest a 2-, 3- or 4-byte field holds, as clipped values would.
    assert not np.isin(run.intensity, np.float32([2**16 - 1, 2**24 - 1, 2**32 - 1])).any()
    # The TIC rises and falls with the elution: no scan's TIC is five times
    # above or below the geometric mean of its neighbours' (a scan clipped
    # to a narrower field than the next would be).
    log_tic = np.log(run.tic().intensity)
    assert np.abs(log_tic[1:-1] - (log_tic[:-2] + log_tic[2:]) / 2).max() < np.log(5)

"""The bundled sample files: reproducible, and readable in full."""

from __future__ import annotations

import importlib.util
import os

import pytest
from kelvara import RawReader

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

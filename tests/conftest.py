"""Shared fixtures: a place to write data files, and the encoders on sys.path.

Under CI (CI=true) Hypothesis runs derandomized, from a seed fixed by each
test, and keeps no example database, so a CI run is reproducible.
"""

from __future__ import annotations

import os
import sys

import pytest
from hypothesis import settings

IN_CI = os.environ.get("CI") == "true"

settings.register_profile("ci", derandomize=True, database=None, print_blob=True)
if IN_CI:
    settings.load_profile("ci")

# Under the sanitizer build, interpreters that tests start as child
# processes (the command line, process pools, Dask workers) keep the
# sanitizer runtime but not leak detection: numpy alone leaves 3 KB of
# interpreter objects unreachable at exit, in stacks that name no extension
# module a suppression could match. The suite's own process, where every
# decode runs in-process, keeps leak detection on; it read its options when
# it started.
if "libasan" in os.environ.get("LD_PRELOAD", ""):
    os.environ["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

from cfbwriter import write_cfb  # noqa: E402


@pytest.fixture
def make_file(tmp_path):
    """Write a compound file with the given entries and return its path as str."""

    def make(name: str, entries: dict, version: int = 3, **options) -> str:
        path = tmp_path / name
        write_cfb(str(path), entries, version=version, **options)
        return str(path)

    return make

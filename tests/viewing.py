"""Starting `kelvara view` as a user does, for the server and browser tests."""

from __future__ import annotations

import contextlib
import json
import os
import signal
import subprocess
import sys
import urllib.error
import urllib.request


def long_run(folder) -> str:
    """A GC-MS run of more spectra than a chromatogram draws, with MRM scans."""
    from cfbwriter import write_cfb
    from gcms_encoders import gcms_entries, realistic_run

    path = os.path.join(folder, "long.qgd")
    write_cfb(path, gcms_entries(realistic_run(n_scans=8000, scan_ms=200, mrm_every=25, seed=9).records))
    return path


@contextlib.contextmanager
def view_server(path, *options, stopped=None, env=None, stop=signal.SIGINT):
    """Run `kelvara view PATH --no-browser` on a free port; yield its address.

    On leaving, Ctrl-C (SIGINT, or the signal `stop`) stops it; `stopped`, a list, gets its exit
    status and what it wrote to stderr. `env` replaces the environment.
    """
    # A shell that starts the suite in the background leaves SIGINT ignored
    # in its children; the server gets it back, as a terminal gives it.
    process = subprocess.Popen([sys.executable, "-m", "kelvara_tools", "view", str(path), "--no-browser", *options],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        line = process.stdout.readline()
        assert " at http://127.0.0.1:" in line, (line, process.stderr.read() if process.poll() is not None else "")
        yield line.split(" at ")[1].split()[0].rstrip("/")
    finally:
        if process.poll() is None:
            process.send_signal(stop)
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        if stopped is not None:
            stopped.extend([process.returncode, process.stderr.read()])
        process.stdout.close()
        process.stderr.close()


def get(url: str) -> tuple[int, dict]:
    """GET a JSON endpoint: (status, decoded body), whatever the status."""
    try:
        with urllib.request.urlopen(url, timeout=30) as response:
            return response.status, json.loads(response.read())
    except urllib.error.HTTPError as error:
        with error:
            return error.code, json.loads(error.read())

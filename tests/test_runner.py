"""The batch runner under failure: Ctrl-C, a killed command, killed workers,
outputs cut short, temporaries of dead and live writers, two converters of
one output, threads per worker, a Dask restart. Signals go to a real
`kelvara` process; worker processes are found through /proc (Linux)."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from kelvara_tools import convert_file, convert_many
from kelvara_tools.convert import run_tasks

SAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "samples")
SAMPLE = os.path.join(SAMPLES, "gcms_ei_run.qgd")

linux = pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="finds worker processes through /proc")


def _inputs(folder, count: int) -> list[str]:
    folder.mkdir(exist_ok=True)
    paths = []
    for k in range(count):
        path = str(folder / f"run{k:03d}.qgd")
        shutil.copy2(SAMPLE, path)
        paths.append(path)
    return paths


def _start(*args) -> subprocess.Popen:
    # A session of its own: the whole group gets the Ctrl-C, as from a terminal.
    return subprocess.Popen([sys.executable, "-m", "kelvara_tools", *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, start_new_session=True)


def _children() -> dict[int, list[int]]:
    tree: dict[int, list[int]] = {}
    for name in os.listdir("/proc"):
        if name.isdigit():
            try:
                with open(f"/proc/{name}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            tree.setdefault(int(fields[1]), []).append(int(name))
    return tree


def _workers(pid: int) -> list[int]:
    """The command's worker processes: forked by its forkserver, so its grandchildren."""
    tree = _children()
    return [worker for child in tree.get(pid, []) for worker in tree.get(child, [])]


def _alive(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def _wait_gone(pids, seconds=10.0) -> list[int]:
    deadline = time.monotonic() + seconds
    while any(map(_alive, pids)) and time.monotonic() < deadline:
        time.sleep(0.05)
    return [pid for pid in pids if _alive(pid)]


def _hidden(folder) -> list[str]:
    return sorted(n for n in os.listdir(folder) if n.startswith("."))


@linux
@pytest.mark.parametrize("number,status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_ctrl_c_stops_the_batch_cleanly_and_a_second_run_finishes_it(tmp_path, number, status):
    inputs = _inputs(tmp_path / "in", 40)
    out = tmp_path / "out"
    command = _start("convert", *inputs, "--to", "mzml", "-o", out, "--jobs", "2")
    first = command.stderr.readline()
    assert first.startswith("converted "), first + command.stderr.read()
    workers = _workers(command.pid)
    if number == signal.SIGINT:
        os.killpg(command.pid, number)  # as a terminal's Ctrl-C: the whole group
    else:
        os.kill(command.pid, number)  # as `kill`: the command alone
    command.wait(timeout=60)
    # Read through the pipes' buffers (communicate() would skip what readline() buffered).
    stdout, stderr = command.stdout.read(), command.stderr.read()
    assert command.returncode == status, stderr
    assert "Traceback" not in stderr
    assert " not converted (run the command again to finish)" in stderr
    converted = 1 + sum(line.startswith("converted ") for line in stderr.splitlines())
    assert stdout.startswith(f"{converted} converted, 0 skipped, 0 failed")
    # Nothing half written, and the batch did not go on after the signal: the
    # outputs are those reported, and at most one per worker that was stopped
    # between placing its output and saying so.
    assert _hidden(out) == []
    placed = len(os.listdir(out))
    assert converted <= placed <= converted + 2 and placed < len(inputs) // 2
    assert workers and _wait_gone(workers) == []
    if number != signal.SIGINT:
        return
    again = subprocess.run([sys.executable, "-m", "kelvara_tools", "convert", *inputs, "--to", "mzml", "-o", out,
                            "--jobs", "2"], capture_output=True, text=True, timeout=300)
    assert again.returncode == 0, again.stderr
    assert again.stdout.startswith(f"{len(inputs) - placed} converted, {placed} skipped, 0 failed")


@linux
def test_killing_the_command_stops_its_workers_and_they_remove_their_temporaries(tmp_path):
    inputs = _inputs(tmp_path / "in", 40)
    out = tmp_path / "out"
    command = _start("convert", *inputs, "--to", "mzml", "-o", out, "--jobs", "2")
    assert command.stderr.readline().startswith("converted ")
    workers = _workers(command.pid)
    assert len(workers) == 2
    command.kill()
    command.communicate(timeout=60)
    assert _wait_gone(workers) == []
    assert _hidden(out) == []
    done = len(os.listdir(out))
    time.sleep(0.5)
    assert len(os.listdir(out)) == done < len(inputs)  # nobody converts on


@pytest.fixture(scope="module")
def slow_run(tmp_path_factory):
    """A GC-MS run that takes a worker long enough to be caught converting it."""
    from cfbwriter import build_cfb
    from gcms_encoders import gcms_entries, realistic_run

    path = tmp_path_factory.mktemp("slow") / "slow.qgd"
    run = realistic_run(n_scans=3000, scan_ms=100, start_ms=0, seed=18)
    path.write_bytes(build_cfb(gcms_entries(run.records), version=3))
    return path


def _holding(pid: int, word: str) -> bool:
    """Whether process `pid` has a file whose name holds `word` open."""
    try:
        links = [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")]
    except OSError:
        return False
    return any(word in os.path.basename(link) for link in links)


@linux
def test_a_dead_worker_fails_only_its_own_file(tmp_path, slow_run):
    slow = []
    for k in range(2):
        slow.append(str(tmp_path / f"slow{k}.qgd"))
        shutil.copy2(slow_run, slow[-1])
    good = _inputs(tmp_path / "in", 3)
    out = tmp_path / "out"
    command = _start("convert", *slow, *good, "--to", "mzml", "-o", out, "--jobs", "2")
    victim = None
    deadline = time.monotonic() + 60
    while victim is None and time.monotonic() < deadline:
        victim = next(((pid, name) for pid in _workers(command.pid) for name in ("slow0", "slow1")
                       if _holding(pid, name)), None)
    assert victim, "no worker seen converting"
    os.kill(victim[0], signal.SIGKILL)
    stdout, stderr = command.communicate(timeout=120)
    assert command.returncode == 1 and "Traceback" not in stderr
    failed = [line for line in stderr.splitlines() if line.startswith("failed ")]
    assert len(failed) == 1 and failed[0].startswith(f"failed    {tmp_path / victim[1]}.qgd: WorkerDied: "
                                                     f"the worker process working on it died (killed by signal 9")
    # A new worker took the dead one's place for the files still queued.
    assert stdout.startswith(f"{len(slow) + len(good) - 1} converted, 0 skipped, 1 failed")
    assert _hidden(out) == [] and len(os.listdir(out)) == len(slow) + len(good) - 1


@pytest.mark.parametrize("to,options", [("mzml", {}), ("mzml", {"gzip": True}), ("parquet", {"shape": "spectra"}),
                                        ("parquet", {"shape": "peaks"})])
def test_an_output_cut_short_is_converted_again(tmp_path, to, options):
    if to == "parquet":
        pytest.importorskip("pyarrow.parquet")
    source = _inputs(tmp_path / "in", 1)[0]
    out = tmp_path / "out"
    report = convert_file(source, out, to, **options)
    whole = report.output if os.path.isfile(report.output) else os.path.join(report.output, "peaks.parquet")
    data = open(whole, "rb").read()
    for cut in (len(data) - 1, len(data) // 2, len(data) - 200):
        with open(whole, "r+b") as f:
            f.truncate(cut)
        assert convert_file(source, out, to, **options).status == "converted", cut
        assert open(whole, "rb").read() == data
        assert convert_file(source, out, to, **options).status == "skipped"


def test_mzml_whose_index_offset_is_wrong_is_converted_again(tmp_path):
    source = _inputs(tmp_path / "in", 1)[0]
    report = convert_file(source, tmp_path / "out")
    data = open(report.output, "rb").read()
    start = data.rindex(b"<indexListOffset>") + len(b"<indexListOffset>")
    offset = data[start:data.index(b"<", start)]
    wrong = str(int(offset) - 7).rjust(len(offset)).encode()
    open(report.output, "wb").write(data[:start] + wrong + data[start + len(offset):])
    assert convert_file(source, tmp_path / "out").status == "converted"
    assert open(report.output, "rb").read() == data


_HOLD = """
import sys, time
from kelvara_tools._atomic import atomic_output
with atomic_output(sys.argv[1]) as temporary:
    open(temporary, "wb").write(b"partial")
    print(temporary, flush=True)
    time.sleep(600)
"""


def test_temporaries_of_dead_writers_are_removed_and_of_live_ones_kept(tmp_path):
    source = _inputs(tmp_path / "in", 1)[0]
    out = tmp_path / "out"
    out.mkdir()
    final = out / "run000.mzML"
    writer = subprocess.Popen([sys.executable, "-c", _HOLD, str(final)], stdout=subprocess.PIPE, text=True)
    try:
        temporary = writer.stdout.readline().strip()
        assert convert_file(source, out, force=True).status == "converted"
        assert os.path.exists(temporary)  # a live writer's
    finally:
        writer.kill()
        writer.wait()
    # A writer killed while rewriting its header leaves its first pass too.
    open(temporary + ".body", "wb").close()
    assert len(_hidden(out)) == 3  # its temporary, first pass and lock
    assert convert_file(source, out, force=True).status == "converted"
    assert _hidden(out) == []


_RACE = """
import sys
from kelvara_tools import convert_file
force = sys.argv[3] == "force"
print(*[convert_file(sys.argv[1], sys.argv[2], "parquet", force=force).status for _ in range(12)])
"""


def test_two_converters_of_one_peaks_folder_both_succeed_or_skip(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    source = _inputs(tmp_path / "in", 1)[0]
    out = tmp_path / "out"
    # One converts again and again; the other finds the folder up to date,
    # or converts it when it meets the folder mid-swap.
    racers = [subprocess.Popen([sys.executable, "-c", _RACE, source, str(out), how], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True) for how in ("force", "resume")]
    for racer, allowed in zip(racers, ({"converted"}, {"converted", "skipped"})):
        stdout, stderr = racer.communicate(timeout=300)
        assert racer.returncode == 0, stderr
        assert len(stdout.split()) == 12 and set(stdout.split()) <= allowed, stdout
    assert os.listdir(out) == ["run000.peaks"]
    folder = out / "run000.peaks"
    stamps = {pq.read_schema(folder / name).metadata[b"kelvara.source"] for name in os.listdir(folder)}
    assert len(stamps) == 1
    assert sorted(os.listdir(folder)) == ["chromatograms.parquet", "peaks.parquet", "spectra.parquet"]


def test_each_worker_gets_its_share_of_the_cores_unless_threads_are_set(monkeypatch):
    monkeypatch.delenv("KELVARA_THREADS", raising=False)
    results = [None] * 3
    calls = {k: (("KELVARA_THREADS",), {}) for k in range(3)}
    run_tasks(os.getenv, calls, results, jobs=2, client=None, lost=lambda k, e: e)
    assert results == [str(max(1, (os.cpu_count() or 1) // 2))] * 3
    monkeypatch.setenv("KELVARA_THREADS", "3")
    run_tasks(os.getenv, calls, results, jobs=2, client=None, lost=lambda k, e: e)
    assert results == ["3"] * 3


def test_dask_restart_mid_batch_keeps_finished_files(tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    inputs = _inputs(tmp_path / "in", 12)
    out = tmp_path / "out"
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        seen = []

        def on_result(report):
            seen.append(report)
            if len(seen) == 1:
                client.restart()

        report = convert_many(inputs, out, client=client, on_result=on_result)
    assert len(seen) == len(inputs) and report.files[0].status == "converted"
    for f in report.files:
        # Converted means a whole output there; failed means none.
        assert (f.status == "converted") == os.path.exists(f.output), (f.status, f.error)
    assert _hidden(out) == []
    again = convert_many(inputs, out, jobs=1)
    assert again.count("skipped") == report.count("converted") and again.ok

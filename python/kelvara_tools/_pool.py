"""Local worker processes for a batch: one file at a time per worker, and a
batch that outlives its workers' deaths.

    run_pool(jobs, task, calls, done, lost, cleanup)

The parent hands each idle worker one task over its own pipe, so it always
knows which file each worker holds. A worker that dies (the kernel's
out-of-memory killer, a crash in a decoder) fails only the file it held:
that file is reported with how the worker died, never retried (a file that
kills its worker would kill every worker it met), and a new worker takes
the dead one's place. No other file is sent anywhere after Ctrl-C.

Workers never decide to stop on their own:
- They ignore SIGINT: Ctrl-C at a terminal reaches the whole process group,
  and the parent decides. The parent stops them with SIGTERM, which raises
  in the worker so the conversion's temporary output is removed on the way
  out; a worker that does not end within a second (deep in one long decode)
  is killed, and the parent removes what it left through `cleanup`.
- They end when the parent dies, however it dies: on Linux the kernel sends
  SIGTERM (PR_SET_PDEATHSIG, set in the worker). Everywhere a watchdog
  thread also waits on a pipe whose other end only the parent holds: the
  pipe's end of file means the parent is gone, and the thread sends the
  worker SIGTERM.

Threads: each worker runs the core's and the encoder's threads too, so a
worker gets KELVARA_THREADS = max(1, cores // workers) in its environment
before it reads anything, unless the user set KELVARA_THREADS.
"""

from __future__ import annotations

import collections
import multiprocessing
import multiprocessing.connection
import os
import signal
import sys
import threading
import time
from typing import Callable

from ._memory import unmap_large_blocks

# How long stopping workers may take before they are killed.
_STOP_SECONDS = 1.0
# How long a worker whose parent died may go on with a long decode that
# holds off its SIGTERM.
_ORPHAN_SECONDS = 10.0


class WorkerDied(RuntimeError):
    """The worker process holding a task died before returning its result."""


class _Stop(BaseException):
    """Raised in a worker by SIGTERM: unwinds the task, so its temporary
    output is removed, and ends the worker."""


def _died(exitcode: int | None) -> WorkerDied:
    if exitcode is not None and exitcode < 0:
        number = -exitcode
        try:
            name = f" ({signal.Signals(number).name})"
        except ValueError:
            name = ""
        how = f"killed by signal {number}{name}"
        if number == getattr(signal, "SIGKILL", None):
            how += ", as the kernel does when memory runs out"
    else:
        how = f"exited with status {exitcode}"
    return WorkerDied(f"the worker process working on it died ({how}); the other files went on")


def threads_per_worker(workers: int) -> str:
    """KELVARA_THREADS for each of `workers` processes: the user's if set.
    Passed to each worker, as a forkserver's environment is the one this
    process had when it started the forkserver."""
    if "KELVARA_THREADS" in os.environ:
        return os.environ["KELVARA_THREADS"]
    return str(max(1, (os.cpu_count() or 1) // max(1, workers)))


# -- in the worker -----------------------------------------------------------

def _stop(signum, frame):
    # Once: a second SIGTERM (the kernel's and the watchdog's) must not cut
    # short the removal of the temporary that the first one started.
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise _Stop()


def _die_with_parent(alive) -> None:
    """SIGTERM this worker when the process that started it goes away:
    `alive` is the reading end of a pipe that only that process writes to."""
    if sys.platform.startswith("linux"):
        try:
            import ctypes

            PR_SET_PDEATHSIG = 1
            ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, int(signal.SIGTERM), 0, 0, 0)
        except (OSError, AttributeError):
            pass  # the watchdog below still works

    def watch() -> None:
        try:
            alive.recv()  # nothing is ever sent: this returns at the parent's end
        except (EOFError, OSError):
            pass
        os.kill(os.getpid(), signal.SIGTERM)
        # A task deep in a long decode meets the signal only when it returns
        # to Python; it may finish the file, but must not outlive it by much.
        time.sleep(_ORPHAN_SECONDS)
        os._exit(1)

    threading.Thread(target=watch, name="kelvara-parent-watch", daemon=True).start()


def _worker(connection, alive, threads: str) -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _stop)
    os.environ["KELVARA_THREADS"] = threads
    unmap_large_blocks()
    _die_with_parent(alive)
    try:
        while True:
            message = connection.recv()
            if message is None:
                return
            key, task, args, kwargs = message
            try:
                reply = (key, task(*args, **kwargs), None)
            except Exception as error:
                reply = (key, None, error)
            try:
                connection.send(reply)
            except Exception as error:  # a result or error that cannot be pickled
                connection.send((key, None, RuntimeError(f"{type(error).__name__}: {error}")))
    except (_Stop, EOFError, BrokenPipeError):
        pass


# -- in the parent -----------------------------------------------------------

class _Worker:
    def __init__(self, context, threads: str):
        self.connection, theirs = context.Pipe()
        alive, self.alive = context.Pipe(duplex=False)
        self.process = context.Process(target=_worker, args=(theirs, alive, threads), daemon=True,
                                       name="kelvara-worker")
        self.process.start()
        theirs.close()
        alive.close()
        self.key = None

    def close(self) -> None:
        self.connection.close()
        self.alive.close()


def _context():
    # forkserver starts workers from a clean process, not a copy of this one
    # with whatever threads (a progress bar's) it runs; spawn where it is missing.
    method = "forkserver" if "forkserver" in multiprocessing.get_all_start_methods() else "spawn"
    return multiprocessing.get_context(method)


def run_pool(jobs: int, task: Callable, calls: dict, done: Callable, lost: Callable,
             cleanup: Callable | None = None) -> None:
    """task(*args, **kwargs) for each key's (args, kwargs) in `calls` on
    `jobs` worker processes; done(key, result) as each finishes, or
    done(key, lost(key, error)) for a task whose worker died or raised.
    On any exception here (KeyboardInterrupt above all) no further task is
    started, the workers are stopped, cleanup(key) runs for each task they
    held, and the exception goes on."""
    context = _context()
    size = min(jobs, len(calls))
    threads = threads_per_worker(size)
    queue = collections.deque(calls.items())
    workers: list[_Worker] = []
    try:
        while queue or any(w.key is not None for w in workers):
            while len(workers) < size and queue:
                workers.append(_Worker(context, threads))
            for worker in workers:
                if worker.key is None and queue:
                    key, (args, kwargs) = queue.popleft()
                    worker.key = key
                    try:
                        worker.connection.send((key, task, args, kwargs))
                    except OSError:
                        pass  # it died since it started: its sentinel says so, and the task fails with it
            _collect(workers, done, lost, cleanup)
    except BaseException:
        _stop_all(workers, done, lost, cleanup)
        raise
    for worker in workers:
        try:
            worker.connection.send(None)
        except OSError:
            pass
    for worker in workers:
        worker.process.join(_STOP_SECONDS)
        if worker.process.is_alive():
            worker.process.kill()
            worker.process.join()
        worker.close()


def _collect(workers: list[_Worker], done, lost, cleanup) -> None:
    """Wait for results or deaths, and handle each."""
    waiting = {}
    for worker in workers:
        waiting[worker.connection] = worker
        waiting[worker.process.sentinel] = worker
    for ready in multiprocessing.connection.wait(list(waiting)):
        worker = waiting[ready]
        if worker not in workers:
            continue  # its pipe and its sentinel were both ready
        if ready is worker.connection:
            try:
                key, result, error = worker.connection.recv()
            except (EOFError, OSError):
                ready = worker.process.sentinel  # died while or before sending
            else:
                worker.key = None
                done(key, result if error is None else lost(key, error))
                continue
        worker.process.join()
        workers.remove(worker)
        worker.close()
        if worker.key is not None:
            if cleanup is not None:
                cleanup(worker.key)
            done(worker.key, lost(worker.key, _died(worker.process.exitcode)))


def _stop_all(workers: list[_Worker], done, lost, cleanup) -> None:
    """Stop every worker within about a second, report the results they sent
    meanwhile, then remove what the interrupted tasks left. A second Ctrl-C
    meanwhile is ignored."""
    try:
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    except ValueError:  # not the main thread: it cannot be interrupted there anyway
        previous = None
    try:
        for worker in workers:
            if worker.process.is_alive():
                worker.process.terminate()
        deadline = time.monotonic() + _STOP_SECONDS
        for worker in workers:
            worker.process.join(max(0.0, deadline - time.monotonic()))
            if worker.process.is_alive():
                worker.process.kill()
                worker.process.join()
            try:
                while worker.key is not None and worker.connection.poll():
                    key, result, error = worker.connection.recv()
                    worker.key = None
                    done(key, result if error is None else lost(key, error))
            except (EOFError, OSError):
                pass
            worker.close()
        if cleanup is not None:
            for worker in workers:
                if worker.key is not None:
                    cleanup(worker.key)
    finally:
        if previous is not None:
            signal.signal(signal.SIGINT, previous)

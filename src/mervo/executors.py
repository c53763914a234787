"""How jobs run: the executor interface and local worker processes.

Executors only start and watch workers; what a worker is given and what its files mean
belongs to `jobs`.
"""

from __future__ import annotations

import abc
import os
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import Future, ThreadPoolExecutor

from .jobs import PARENT_ENV, WorkerCall, WorkerOutcome, worker_command

__all__ = ["Executor", "LocalExecutor", "WorkerCall", "WorkerOutcome", "worker_command"]


class Executor(abc.ABC):
    """Runs worker calls; planning and scheduling stay with the caller."""

    #: how many calls may usefully run at once
    slots: int

    @abc.abstractmethod
    def submit(self, call: WorkerCall) -> Future:
        """Starts `call`; the future resolves to a WorkerOutcome once the worker has ended
        and its files are in `call.folder`. Raises at once when the executor cannot start it."""

    @abc.abstractmethod
    def shutdown(self, cancel: bool = False) -> None:
        """Waits for running calls, or with `cancel` stops them; every future settles."""


def _kill_group(pid: int) -> None:
    try:
        os.killpg(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


class LocalExecutor(Executor):
    """One fresh interpreter per job, up to `jobs` at a time, on this machine.

    Each worker leads its own process group, so that whatever it started ends with it:
    the group is killed once the worker has exited, and on cancellation.
    """

    def __init__(self, jobs: int | None = None, python: str = sys.executable):
        self.slots = max(1, jobs or os.cpu_count() or 1)
        self._python = python
        self._waiters = ThreadPoolExecutor(max_workers=self.slots, thread_name_prefix="mervo-wait")
        self._running: dict[int, subprocess.Popen] = {}
        self._lock = threading.Lock()
        self._cancelled = False
        self._env = {**os.environ, PARENT_ENV: str(os.getpid())}

    def submit(self, call: WorkerCall) -> Future:
        argv = worker_command(call, self._python)
        future: Future = Future()
        with self._lock:
            if self._cancelled:
                raise RuntimeError("cancelled")
            # Output goes to a file, never through us: a worker may print without bound,
            # and a child it leaves behind may hold the file open after it exits.
            log = open(call.log, "wb") if call.log is not None else subprocess.DEVNULL
            try:
                started = time.perf_counter()
                proc = subprocess.Popen(
                    argv,
                    cwd=call.cwd,
                    stdin=subprocess.DEVNULL,
                    stdout=log,
                    stderr=subprocess.STDOUT,
                    start_new_session=True,
                    env=self._env,
                )
            finally:
                if call.log is not None:
                    log.close()
            self._running[proc.pid] = proc
        self._waiters.submit(self._wait, proc, started, future)
        return future

    def _wait(self, proc: subprocess.Popen, started: float, future: Future) -> None:
        try:
            try:
                # Seen exited but not yet reaped, the pid cannot be reused by another
                # group: killing the group now reaches only what the worker left behind.
                os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT)
            except ChildProcessError:
                pass
            _kill_group(proc.pid)
            status = proc.wait()
            with self._lock:
                self._running.pop(proc.pid, None)
            future.set_result(WorkerOutcome(status, time.perf_counter() - started))
        except BaseException as exc:  # never leave a future unsettled
            if not future.done():
                future.set_exception(exc)

    def shutdown(self, cancel: bool = False) -> None:
        if cancel:
            with self._lock:
                self._cancelled = True
                for pid in list(self._running):
                    _kill_group(pid)
        self._waiters.shutdown(wait=True)

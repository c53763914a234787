"""How jobs run: the job-launcher interface and the local process pool."""

from __future__ import annotations

import abc
import os
import subprocess
import sys
import threading
import time
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

__all__ = ["Executor", "LocalExecutor", "WorkerCall", "WorkerOutcome", "worker_command"]

# Keyword-argument texts above this size go through standard input, far below the
# 128 KiB limit of one command-line argument.
INLINE_LIMIT = 32 * 1024
OUTPUT_TAIL = 4000  # characters of worker output kept for the run record


@dataclass(frozen=True)
class WorkerCall:
    module: str
    function: str
    folder: Path  # where value.json and result.json are to be left
    kwargs_json: str
    cwd: Path


@dataclass(frozen=True)
class WorkerOutcome:
    exit_status: int
    duration: float  # seconds the worker ran
    output: str  # the tail of what it printed


def worker_command(call: WorkerCall, python: str = sys.executable) -> tuple[list[str], str | None]:
    """The worker's argv, and the text for its standard input when the kwargs are large."""
    argv = [python, "-m", "mervo.worker", call.module, call.function, str(call.folder)]
    if len(call.kwargs_json) <= INLINE_LIMIT:
        return argv + [call.kwargs_json], None
    return argv + ["-"], call.kwargs_json


class Executor(abc.ABC):
    """Runs worker calls; planning and scheduling stay with the caller."""

    #: how many calls may usefully run at once
    slots: int

    @abc.abstractmethod
    def submit(self, call: WorkerCall) -> Future:
        """Starts `call`; the future resolves to a WorkerOutcome once the worker has ended
        and its files are in `call.folder`."""

    @abc.abstractmethod
    def shutdown(self, cancel: bool = False) -> None:
        """Waits for running calls, or with `cancel` stops them."""


def _tail(text: str) -> str:
    return text if len(text) <= OUTPUT_TAIL else "..." + text[-OUTPUT_TAIL:]


class LocalExecutor(Executor):
    """One fresh interpreter per job, up to `jobs` at a time, on this machine."""

    def __init__(self, jobs: int | None = None, python: str = sys.executable):
        self.slots = max(1, jobs or os.cpu_count() or 1)
        self._python = python
        self._pool = ThreadPoolExecutor(max_workers=self.slots, thread_name_prefix="mervo-job")
        self._running: set[subprocess.Popen] = set()
        self._lock = threading.Lock()
        self._cancelled = False

    def submit(self, call: WorkerCall) -> Future:
        return self._pool.submit(self._run, call)

    def _run(self, call: WorkerCall) -> WorkerOutcome:
        argv, stdin_text = worker_command(call, self._python)
        started = time.perf_counter()
        with self._lock:
            if self._cancelled:
                raise RuntimeError("cancelled")
            proc = subprocess.Popen(
                argv,
                cwd=call.cwd,
                stdin=subprocess.PIPE if stdin_text is not None else subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=subprocess.STDOUT,
                text=True,
                encoding="utf-8",
                errors="replace",
            )
            self._running.add(proc)
        try:
            output, _ = proc.communicate(stdin_text)
        finally:
            with self._lock:
                self._running.discard(proc)
        return WorkerOutcome(proc.returncode, time.perf_counter() - started, _tail(output or ""))

    def shutdown(self, cancel: bool = False) -> None:
        if cancel:
            with self._lock:
                self._cancelled = True
                for proc in self._running:
                    proc.kill()
        self._pool.shutdown(wait=True, cancel_futures=cancel)

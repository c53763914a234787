"""How jobs run: the executor interface and local worker processes.

Executors only start and watch workers; what a worker is given and what its files mean
belongs to `jobs`.
"""

from __future__ import annotations

import abc
import json
import os
import subprocess
import sys
import threading
import time
from concurrent.futures import Future, ThreadPoolExecutor

from ._process import PARENT_ENV, kill_group
from .jobs import WorkerCall, WorkerOutcome, worker_command, write_job

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
            kill_group(proc.pid)
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
                    kill_group(pid)
        self._waiters.shutdown(wait=True)


class PoolError(RuntimeError):
    """The forking pool could not be started or went away."""


class Pool:
    """A started ``python -m mervo.pool`` process and its pipes, before it serves jobs."""

    def __init__(self, modules: list[str], python: str = sys.executable):
        requests_r, self.requests = os.pipe()
        self.responses, responses_w = os.pipe()
        try:
            self.proc = subprocess.Popen(
                [python, "-m", "mervo.pool", str(requests_r), str(responses_w), *modules],
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                pass_fds=(requests_r, responses_w),
                start_new_session=True,  # Ctrl-C reaches the command, which decides
                env={**os.environ, PARENT_ENV: str(os.getpid())},
            )
        finally:
            os.close(requests_r)
            os.close(responses_w)
        line = self.proc.stdout.readline()
        self.proc.stdout.close()
        if not line:
            self.close()
            raise PoolError(f"the worker pool printed no document (exit status {self.proc.returncode})")
        self.document = json.loads(line.decode("utf-8"))

    def close(self) -> None:
        """Ends the pool: with no more requests it kills what still runs and exits."""
        for fd in ("requests", "responses"):
            number = getattr(self, fd, -1)
            if number >= 0:
                os.close(number)
                setattr(self, fd, -1)
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class ForkExecutor(Executor):
    """Each job a child forked from a pool that imported the project once."""

    def __init__(self, pool: Pool, jobs: int | None = None):
        self.slots = max(1, jobs or os.cpu_count() or 1)
        self._pool = pool
        self._lock = threading.Lock()
        self._futures: dict[int, Future] = {}
        self._next = 0
        self._closed = False
        self._reader = threading.Thread(target=self._read, name="mervo-pool", daemon=True)
        self._reader.start()

    def submit(self, call: WorkerCall) -> Future:
        path = write_job(call)
        future: Future = Future()
        with self._lock:
            if self._closed:
                raise RuntimeError("cancelled")
            self._next += 1
            self._futures[self._next] = future
            request = {"id": self._next, "job": str(path), "log": str(call.log or os.devnull), "cwd": str(call.cwd)}
            data = (json.dumps(request) + "\n").encode()
            try:
                while data:
                    data = data[os.write(self._pool.requests, data) :]
            except OSError as exc:
                self._futures.pop(self._next, None)
                raise PoolError(f"the worker pool is gone: {exc.strerror}") from None
        return future

    def _read(self) -> None:
        pending = b""
        while True:
            try:
                data = os.read(self._pool.responses, 65536)
            except OSError:
                data = b""
            if not data:
                break
            pending += data
            *lines, pending = pending.split(b"\n")
            for line in lines:
                message = json.loads(line)
                if "pid" in message:
                    continue
                with self._lock:
                    future = self._futures.pop(message["id"], None)
                if future is None:
                    continue
                if "error" in message:
                    future.set_exception(PoolError(message["error"]))
                else:
                    future.set_result(WorkerOutcome(message["status"], message["duration"]))
        status = self._pool.proc.wait()
        with self._lock:
            left, self._futures = list(self._futures.values()), {}
            closed = self._closed
        for future in left:
            future.set_exception(RuntimeError("cancelled") if closed else PoolError(
                f"the worker pool ended unexpectedly (exit status {status})"))

    def shutdown(self, cancel: bool = False) -> None:
        with self._lock:
            self._closed = True
        if self._pool.requests >= 0:
            os.close(self._pool.requests)  # the pool ends its children and exits
            self._pool.requests = -1
        self._reader.join()
        self._pool.close()


class InProcessExecutor(Executor):
    """Runs each job in the command's own process, one at a time, attached to the terminal:
    for debugging one asset (`breakpoint()` works); a crash of the job is a crash of the run."""

    slots = 1

    def submit(self, call: WorkerCall) -> Future:
        from .worker import run_job

        started = time.perf_counter()
        future: Future = Future()
        try:
            status = run_job(call.spec())
        except SystemExit as exc:
            status = exc.code if isinstance(exc.code, int) else 1
        future.set_result(WorkerOutcome(status, time.perf_counter() - started))
        return future

    def shutdown(self, cancel: bool = False) -> None:
        pass

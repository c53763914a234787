"""The Dask executor: each job is one task that runs the worker stub on a Dask worker."""

from __future__ import annotations

import asyncio
import glob
import json
import logging
import math
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from concurrent.futures import Future, ThreadPoolExecutor
from concurrent.futures import wait as wait_all
from pathlib import Path

from .executors import Executor
from ._process import PARENT_ENV, kill_group
from .jobs import RESULT, TRACEBACK, WorkerCall, WorkerOutcome, relocate_result

__all__ = ["DaskExecutor", "ExecutorError", "relocate_result", "require_distributed", "run_job"]

EXTRA = "mervo[dask]"


class ExecutorError(RuntimeError):
    """The executor cannot start: a missing extra or an unreachable scheduler."""


class WorkerLost(RuntimeError):
    """The Dask worker running a job went away before the job ended."""


def require_distributed():
    """Imports `distributed`, or explains in one line which extra provides it."""
    try:
        import distributed
    except ImportError as exc:
        missing = isinstance(exc, ModuleNotFoundError) and exc.name == "distributed"
        detail = "" if missing else f" ({exc})"
        raise ExecutorError(f"--executor dask needs the optional extra: pip install '{EXTRA}'{detail}") from None
    return distributed


# --- on the Dask worker ----------------------------------------------------------------------
# This part runs inside Dask worker processes, which import it by name: it uses only the
# standard library, so the orchestrator's extras are all that workers need besides mervo.

_live: dict[str, set[subprocess.Popen]] = {}  # run id -> worker stubs running on this Dask worker
_cancelled_runs: set[str] = set()
_live_lock = threading.Lock()


OUTPUT_LIMIT = 1024 * 1024  # bytes of worker output sent back: the first and last half


def _bounded(data: bytes) -> bytes:
    if len(data) <= OUTPUT_LIMIT:
        return data
    half = OUTPUT_LIMIT // 2
    return data[:half] + f"\n[... {len(data) - 2 * half} bytes of output left out ...]\n".encode() + data[-half:]


def _sweep_orphans() -> None:
    """Removes the job folders of Dask worker processes on this host that have died."""
    for path in glob.glob(os.path.join(tempfile.gettempdir(), "mervo-job-*-*")):
        try:
            pid = int(os.path.basename(path).split("-")[2])
        except (IndexError, ValueError):
            continue
        if pid != os.getpid() and not os.path.exists(f"/proc/{pid}"):
            shutil.rmtree(path, ignore_errors=True)


def run_job(run_id: str, spec: dict, input_files: dict, python_path: str | None) -> dict:
    """Runs one worker stub in a private temporary folder and returns what it left there.

    `input_files` holds the bytes of upstream value files by their path in `spec`: without a
    shared file system they travel with the task, and are written here first.
    """
    _sweep_orphans()
    # The folder names this process, so that a later job can clear it away if we are killed.
    with tempfile.TemporaryDirectory(prefix=f"mervo-job-{os.getpid()}-") as tmp:
        folder = os.path.join(tmp, "out")
        os.mkdir(folder)
        spec = dict(spec, output_dir=folder, traceback=os.path.join(folder, TRACEBACK) if spec.get("traceback") else None)
        if input_files:
            local = {}
            for n, (path, data) in enumerate(input_files.items()):
                local[path] = os.path.join(tmp, f"input-{n}{Path(path).suffix}")
                with open(local[path], "wb") as sink:
                    sink.write(data)

            def moved(entry):
                if "fan_in" in entry:
                    return {"fan_in": {k: moved(v) for k, v in entry["fan_in"].items()}}
                return dict(entry, path=local[entry["path"]])

            spec["inputs"] = {p: moved(e) for p, e in spec["inputs"].items()}
        env = dict(os.environ)
        # The stub ends with this Dask worker process, even when that is killed outright.
        env[PARENT_ENV] = str(os.getpid())
        if python_path:
            env["PYTHONPATH"] = os.pathsep.join(p for p in (python_path, env.get("PYTHONPATH")) if p)
        argv = [sys.executable, "-m", "mervo.worker", "--job", "-"]
        started = time.perf_counter()
        with _live_lock:
            if run_id in _cancelled_runs:
                raise RuntimeError("cancelled")
            proc = subprocess.Popen(
                argv, cwd=tmp, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                start_new_session=True,
            )  # fmt: skip
            _live.setdefault(run_id, set()).add(proc)
        try:
            output, _ = proc.communicate(json.dumps(spec, ensure_ascii=False).encode("utf-8"))
        finally:
            with _live_lock:
                _live.get(run_id, set()).discard(proc)
            kill_group(proc.pid)  # whatever the stub left running ends with it
        duration = time.perf_counter() - started
        files = {}
        for name in os.listdir(folder):
            if name in (RESULT, TRACEBACK) or name.startswith("value."):
                with open(os.path.join(folder, name), "rb") as source:
                    files[name] = source.read()
        return {
            "exit_status": proc.returncode,
            "duration": duration,
            "output": _bounded(output),
            "folder": folder,
            "files": files,
        }


def _kill_run(run_id: str) -> int:
    """Stops the worker stubs of a cancelled run on this Dask worker (through Client.run)."""
    with _live_lock:
        _cancelled_runs.add(run_id)
        procs = _live.pop(run_id, set())
    for proc in procs:
        kill_group(proc.pid)
    return len(procs)


# --- in the orchestrator ---------------------------------------------------------------------



async def _probe(distributed, address: str, timeout) -> None:
    # With the client's own TLS settings from the Dask configuration, as Client uses them.
    args = distributed.Security().get_connection_args("client")
    comm = await distributed.comm.connect(address, timeout=timeout, **args)
    await comm.close()


def _input_paths(inputs: dict):
    for entry in inputs.values():
        if "fan_in" in entry:
            yield from (part["path"] for part in entry["fan_in"].values())
        else:
            yield entry["path"]


def _write_atomically(path: Path, data: bytes) -> None:
    tmp = path.with_name(path.name + ".part")
    tmp.write_bytes(data)
    tmp.replace(path)


class DaskExecutor(Executor):
    """Submits each job to a Dask cluster: the one at `scheduler`, or a LocalCluster of
    worker processes started here for the run and closed by `shutdown`."""

    def __init__(self, scheduler: str | None = None, jobs: int | None = None):
        distributed = require_distributed()
        import dask

        self._run_id = uuid.uuid4().hex
        self._cluster = None
        self._lock = threading.Lock()
        self._pending: dict[str, tuple[Future, WorkerCall]] = {}
        self._tasks: dict[str, object] = {}  # key -> Dask future
        self._closed = False
        # Only a cluster on this machine can see the project folder; elsewhere the user's
        # modules have to be importable on the workers by themselves.
        self._share_cwd = scheduler is None
        timeout = dask.config.get("distributed.comm.timeouts.connect")
        try:
            if scheduler is None:
                cpus = os.cpu_count() or 1
                workers = min(cpus, jobs) if jobs else cpus
                threads = math.ceil(jobs / workers) if jobs else 1
                # A job whose worker died is failed, not run again elsewhere.
                with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
                    self._cluster = distributed.LocalCluster(
                        n_workers=workers,
                        threads_per_worker=threads,
                        processes=True,
                        host="127.0.0.1",
                        dashboard_address=None,
                        silence_logs=logging.ERROR,
                    )
            else:
                # A clean one-line error for a wrong or unreachable address, before the
                # client is built: one that fails half-built complains again when collected.
                asyncio.run(_probe(distributed, scheduler, timeout))
            self._client = distributed.Client(
                self._cluster if scheduler is None else scheduler, timeout=timeout, set_as_default=False
            )
        except (OSError, TimeoutError, ValueError) as exc:
            self._close_cluster()
            where = f"the Dask scheduler at {scheduler}" if scheduler else "a local Dask cluster"
            raise ExecutorError(f"cannot reach {where}: {exc}") from None
        except BaseException:
            self._close_cluster()
            raise
        self._killed_worker = distributed.KilledWorker
        # Settling jobs and cancelling tasks must not run on the client's event loop.
        self._helper = ThreadPoolExecutor(1, thread_name_prefix="mervo-dask")
        # Worker deaths are announced on the "all" topic with the tasks they were running;
        # this catches them even where the scheduler would quietly run the task again.
        self._client.subscribe_topic("all", self._on_event)
        self.slots = max(1, jobs or sum(self._client.nthreads().values()))
        # A client that lost its scheduler settles nothing any more: watch it, and fail
        # what is pending once it has given up reconnecting.
        self._lost: str | None = None
        self._stop_watch = threading.Event()
        self._watch = threading.Thread(target=self._watch_client, name="mervo-dask-watch", daemon=True)
        self._watch.start()

    def _client_gone(self) -> str | None:
        status = getattr(self._client, "status", "running")
        if status in ("closing", "closed", "failed"):
            return f"lost the Dask scheduler (client {status})"
        return None

    def _watch_client(self) -> None:
        while not self._stop_watch.wait(0.5):
            reason = self._client_gone()
            if reason is not None:
                self._fail_pending(reason)
                return

    def _fail_pending(self, reason: str) -> None:
        with self._lock:
            self._lost = reason
            keys = list(self._pending)
        for key in keys:
            entry = self._take(key)
            if entry is not None:
                entry[0].set_exception(RuntimeError(reason))

    # -- submitting and collecting

    def submit(self, call: WorkerCall) -> Future:
        outer: Future = Future()
        key = f"mervo-{call.module}.{call.function}-{uuid.uuid4().hex}"
        reason = self._client_gone()
        with self._lock:
            if self._closed:
                raise RuntimeError("the Dask executor is shut down")
            reason = reason or self._lost
            if reason is not None:
                raise RuntimeError(reason)
            self._pending[key] = (outer, call)
        python_path = str(call.cwd) if self._share_cwd else None
        spec = call.spec()
        try:
            input_files = {path: Path(path).read_bytes() for path in _input_paths(spec["inputs"])}
        except OSError:
            with self._lock:
                self._pending.pop(key, None)
            raise
        task = self._client.submit(
            run_job, self._run_id, spec, input_files, python_path, key=key, pure=False, retries=0,
        )  # fmt: skip
        with self._lock:
            self._tasks[key] = task
        task.add_done_callback(lambda done, key=key: self._collect(key, done))
        return outer

    def _take(self, key: str):
        with self._lock:
            self._tasks.pop(key, None)
            return self._pending.pop(key, None)

    def _collect(self, key: str, task) -> None:
        entry = self._take(key)
        if entry is None:  # already settled: lost, or cancelled
            return
        outer, call = entry
        try:
            if task.cancelled():
                raise RuntimeError("the Dask task was cancelled by the scheduler")
            try:
                data = task.result()
            except self._killed_worker as exc:
                worker = getattr(getattr(exc, "last_worker", None), "address", None)
                raise WorkerLost(f"the Dask worker running it died ({worker or 'unknown address'})") from None
            files = data["files"]
            if call.log is not None:
                _write_atomically(call.log, data["output"])
            for name, content in files.items():
                if name == RESULT:
                    continue
                _write_atomically(call.folder / name, content)
            if RESULT in files:  # last, as the worker writes it
                result = files[RESULT]
                for name in files:
                    if name.startswith("value."):
                        result = relocate_result(result, os.path.join(data["folder"], name), str(call.folder / name))
                _write_atomically(call.folder / RESULT, result)
            output = "" if call.log is not None else data["output"].decode("utf-8", "replace")
            outer.set_result(WorkerOutcome(data["exit_status"], data["duration"], output))
        except BaseException as exc:
            outer.set_exception(exc)

    def _on_event(self, event) -> None:
        _, msg = event
        if not isinstance(msg, dict) or msg.get("action") != "remove-worker" or msg.get("expected"):
            return
        with self._lock:
            lost = set(msg.get("processing-tasks") or ()) & self._pending.keys()
        if lost:
            self._helper.submit(self._fail_lost, lost, msg.get("worker"))

    def _fail_lost(self, keys, worker) -> None:
        tasks = []
        for key in keys:
            with self._lock:
                task = self._tasks.get(key)
            entry = self._take(key)
            if entry is not None:
                entry[0].set_exception(WorkerLost(f"the Dask worker running it died ({worker or 'unknown address'})"))
                if task is not None:
                    tasks.append(task)
        if tasks:
            self._client.cancel(tasks, force=True)

    # -- ending

    def shutdown(self, cancel: bool = False) -> None:
        with self._lock:
            if self._closed:
                return
            self._closed = True
            pending = [outer for outer, _ in self._pending.values()]
            tasks = list(self._tasks.values())
        self._stop_watch.set()
        try:
            if self._client_gone() is not None:
                self._fail_pending(self._client_gone())
            elif cancel:
                if tasks:
                    self._client.cancel(tasks, force=True)
                    self._client.run(_kill_run, self._run_id, on_error="ignore")
                for key in list(self._pending):
                    entry = self._take(key)
                    if entry is not None:
                        entry[0].set_exception(RuntimeError("cancelled"))
            else:
                wait_all(pending)
            if self._client_gone() is None:  # job folders of Dask workers killed during the run
                self._client.run(_sweep_orphans, on_error="ignore")
        finally:
            self._helper.shutdown(wait=True)
            # Else the scheduler would announce our own leaving to the closed connection.
            if self._client_gone() is None:
                self._client.unsubscribe_topic("all")
            self._client.close()
            self._close_cluster()

    def _close_cluster(self) -> None:
        if self._cluster is not None:
            self._cluster.close()
            self._cluster = None

"""The scheduler: each job after its upstream jobs, as many at once as the executor allows.

It owns the job statuses, skip propagation, cancellation and the run record; how a job is
handed to a worker belongs to `jobs`, how workers are started to the executor, and what the
user sees to the reporter.
"""

from __future__ import annotations

import enum
import os
import signal
import threading
import time
from collections import deque
from concurrent.futures import FIRST_COMPLETED, Future, wait
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Protocol

from . import jobs
from .executors import Executor
from .output import OutputFolder, now_text
from .planning import Job, Plan

__all__ = ["Interrupted", "JobRecord", "JobStatus", "Reporter", "RunResult", "run_plan"]


class JobStatus(str, enum.Enum):
    PENDING = "pending"
    RUNNING = "running"
    OK = "ok"
    FAILED = "failed"
    SKIPPED = "skipped"
    CANCELLED = "cancelled"
    FRESH = "fresh"  # up to date: its last good value was made from the same code and inputs

    def __str__(self) -> str:
        return self.value

    __format__ = str.__format__

    @property
    def settled(self) -> bool:
        return self not in (JobStatus.PENDING, JobStatus.RUNNING)


@dataclass
class JobRecord:
    job: Job
    status: JobStatus = JobStatus.PENDING
    duration: float | None = None
    error: str | None = None
    exit_status: int | None = None
    folder: Path | None = None
    attempt: jobs.Attempt | None = None
    traceback: Path | None = None  # of a failed attempt, when the worker kept one
    fingerprint: str | None = None
    value_hash: str | None = None
    fields: dict | None = field(default=None, repr=False)  # what the fingerprint was made of

    def as_json(self) -> dict:
        attempt = self.attempt
        return {
            "asset": self.job.asset.key,
            "label": self.job.asset.label,
            "partition": self.job.key,
            "status": self.status.value,
            "duration": None if self.duration is None else round(self.duration, 6),
            "error": self.error,
            "exit_status": self.exit_status,
            "folder": None if self.folder is None else str(self.folder),
            "attempt": None if attempt is None else str(attempt.folder),
            "log": None if attempt is None or not attempt.log.exists() else str(attempt.log),
            "traceback": None if self.traceback is None else str(self.traceback),
            "traceback_line": jobs.last_line(self.traceback),
            "fingerprint": self.fingerprint,
        }


@dataclass
class RunResult:
    records: list[JobRecord]
    duration: float
    interrupted: bool = False
    counts: dict[str, int] = field(default_factory=dict)
    signal: int | None = None  # the signal that interrupted the run
    problems: list[str] = field(default_factory=list)  # what went wrong outside any job
    plan: Plan | None = None  # the whole project's plan, when the caller kept it

    @property
    def ok(self) -> bool:
        good = (JobStatus.OK, JobStatus.FRESH)
        return not self.interrupted and not self.problems and all(r.status in good for r in self.records)

    @property
    def jobs(self) -> dict[str, JobRecord]:
        """Each job's record by its label: `name` or `module.function`, `[key]` for a partition."""
        return {record.job.label: record for record in self.records}

    @property
    def errors(self) -> dict[str, str]:
        return {record.job.label: record.error for record in self.records if record.error}


class Reporter(Protocol):
    def start(self, total: int) -> None: ...
    def job_started(self, record: JobRecord) -> None: ...
    def job_done(self, record: JobRecord) -> None: ...
    def finish(self, result: RunResult) -> None: ...


class QuietReporter:
    """Reports nothing: for callers that read the result instead."""

    def start(self, total: int) -> None:
        pass

    def job_started(self, record: JobRecord) -> None:
        pass

    def job_done(self, record: JobRecord) -> None:
        pass

    def finish(self, result: RunResult) -> None:
        pass


class Interrupted(KeyboardInterrupt):
    """A signal asked the run to stop; handled like Ctrl-C."""

    def __init__(self, signum: int):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def _raise_interrupted(signum, frame):
    raise Interrupted(signum)


@contextmanager
def _signals(handler):
    """SIGINT and SIGTERM go to `handler` inside the block (main thread only)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    saved = {s: signal.signal(s, handler) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for signum, previous in saved.items():
            signal.signal(signum, previous)


def _absorb(signum, frame):
    pass  # shutting down already: the record of what finished must still be written


def run_plan(
    plan: Plan,
    executor: Executor,
    folder: OutputFolder,
    reporter: Reporter,
    cwd: Path | None = None,
    freshness=None,
    force: frozenset[int] | set[int] = frozenset(),
    history=None,
) -> RunResult:
    """Runs every job of `plan` under `folder` and records the run in its run.json.

    With `freshness`, a job whose fingerprint matches its last good value's is FRESH and
    starts no worker, unless it is in `force`; `history` (a History) gets the run's rows.
    """
    from . import freshness as fresh

    cwd = cwd or Path.cwd()
    if history is not None:
        history.start_run(folder.run_id, folder.started, folder.command)
    records = [JobRecord(job, folder=plan.job_folder(folder.root, job)) for job in plan.jobs]
    dependants = plan.dependants()
    remaining = [len(job.depends) for job in plan.jobs]
    ready = deque(job.id for job in plan.jobs if not job.depends)
    running: dict[Future, int] = {}
    started = time.perf_counter()
    interrupted_by: int | None = None

    def settle(job_id: int, status: JobStatus, error: str | None = None) -> None:
        record = records[job_id]
        record.status, record.error = status, error
        if record.attempt is not None and status is JobStatus.FAILED:
            try:
                jobs.record_failure(record.attempt)
            except OSError:
                pass  # the failure is in run.json either way
        reporter.job_done(record)
        if status in (JobStatus.OK, JobStatus.FRESH):
            for child in dependants[job_id]:
                remaining[child] -= 1
                if remaining[child] == 0:
                    ready.append(child)
            return
        # A worklist, not recursion: chains of any length.
        because = f"skipped: upstream {record.job.label} {status.value}"
        pending = [job_id]
        while pending:
            for child in dependants[pending.pop()]:
                dependant = records[child]
                if dependant.status is JobStatus.PENDING:
                    dependant.status, dependant.error = JobStatus.SKIPPED, because
                    reporter.job_done(dependant)
                    pending.append(child)

    def up_to_date(job_id: int) -> bool:
        record = records[job_id]
        fields = freshness.fields(record.job, lambda i: records[i].value_hash)
        record.fingerprint = None if fields is None else fields["fingerprint"]
        record.fields = fields
        if job_id in force:
            return False
        reason, kept = fresh.check(record.folder, fields)
        if reason is not None:
            return False
        record.value_hash = kept["value_hash"]
        settle(job_id, JobStatus.FRESH)
        return True

    def dispatch(job_id: int) -> None:
        record = records[job_id]
        job = record.job
        if freshness is not None and up_to_date(job_id):
            return
        try:
            record.attempt = jobs.start_attempt(record.folder, folder.run_id)
            kwargs, inputs = jobs.arguments(plan, job, lambda i: records[i].folder)
            call = jobs.WorkerCall(
                job.asset.module, job.asset.attribute or job.asset.function, record.attempt.folder, kwargs, cwd,
                log=record.attempt.log, serializer=job.asset.serializer, inputs=inputs,
                traceback=record.attempt.folder / jobs.TRACEBACK,
            )  # fmt: skip
            future = executor.submit(call)
        except OSError as exc:
            where = f" ({exc.filename})" if exc.filename else ""
            settle(job_id, JobStatus.FAILED, f"could not start the job: {exc.strerror or exc}{where}")
            return
        except Exception as exc:  # the executor cannot take jobs any more
            settle(job_id, JobStatus.FAILED, f"could not run the worker: {exc}")
            return
        record.status = JobStatus.RUNNING
        running[future] = job_id
        reporter.job_started(record)

    def collect(future: Future, job_id: int) -> None:
        record = records[job_id]
        try:
            outcome = future.result()
        except Exception as exc:  # the executor could not run the worker at all
            settle(job_id, JobStatus.FAILED, f"could not run the worker: {exc}")
            return
        record.duration, record.exit_status = outcome.duration, outcome.exit_status
        verdict = jobs.judge(record.attempt, outcome)
        if verdict.ok:
            try:
                if freshness is not None:
                    record.value_hash = fresh.keep(record.attempt, record.fields)
                jobs.promote(record.attempt)
            except (OSError, ValueError) as exc:
                settle(job_id, JobStatus.FAILED, f"could not keep the value: {exc}")
                return
            settle(job_id, JobStatus.OK)
        else:
            trace = record.attempt.folder / jobs.TRACEBACK
            record.traceback = trace if trace.exists() else None
            settle(job_id, JobStatus.FAILED, jobs.explain(verdict.error or "", record.job.label))

    reporter.start(len(records))
    # Outer: once the run is stopping, further signals are absorbed until run.json is written.
    with _signals(_absorb):
        with _signals(_raise_interrupted):
            try:
                while ready or running:
                    while ready and len(running) < executor.slots:
                        dispatch(ready.popleft())
                    if not running:
                        continue
                    done, _ = wait(running, return_when=FIRST_COMPLETED)
                    for future in done:
                        collect(future, running.pop(future))
            except KeyboardInterrupt as exc:
                interrupted_by = getattr(exc, "signum", signal.SIGINT)
        if interrupted_by is not None:
            executor.shutdown(cancel=True)
            for record in records:
                if not record.status.settled:
                    record.status, record.error = JobStatus.CANCELLED, "cancelled"
        result = RunResult(records, time.perf_counter() - started, interrupted_by is not None, signal=interrupted_by)
        for record in records:
            result.counts[record.status.value] = result.counts.get(record.status.value, 0) + 1
        try:
            folder.write_record(_run_document(result))
        except OSError as exc:
            result.problems.append(f"could not write {folder.root / 'run.json'}: {exc.strerror or exc}")
        if history is not None:
            _record_history(history, folder, result)
        reporter.finish(result)
    return result


def _record_history(history, folder: OutputFolder, result: RunResult) -> None:
    rows = [
        {
            "asset": r.job.asset.label,
            "partition": r.job.key,
            "status": r.status.value,
            "duration": r.duration,
            "fingerprint": r.fingerprint,
            "value_hash": r.value_hash,
            "error": r.error,
        }
        for r in result.records
    ]
    history.record_jobs(folder.run_id, rows)
    state = "interrupted" if result.interrupted else ("ok" if result.ok else "failed")
    history.finish_run(folder.run_id, now_text(), result.counts, state)


def _run_document(result: RunResult) -> dict:
    return {
        "ok": result.ok,
        "state": "interrupted" if result.interrupted else "finished",
        "interrupted": result.interrupted,
        "signal": None if result.signal is None else signal.Signals(result.signal).name,
        "ended": now_text(),
        "pid": os.getpid(),
        "duration": round(result.duration, 6),
        "counts": result.counts,
        "jobs": [record.as_json() for record in result.records],
    }

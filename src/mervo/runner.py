"""Runs a plan: each job after its upstream jobs, as many at once as the executor allows."""

from __future__ import annotations

import json
import time
from concurrent.futures import FIRST_COMPLETED, Future, wait
from dataclasses import dataclass, field
from pathlib import Path

from .executors import Executor, WorkerCall, WorkerOutcome
from .planning import Job, Plan, kwargs_text

__all__ = ["JobRecord", "RunResult", "run_plan"]

SKIPPED = "skipped (upstream failed)"


@dataclass
class JobRecord:
    job: Job
    status: str = "pending"  # ok, failed, skipped, cancelled
    duration: float | None = None
    error: str | None = None
    exit_status: int | None = None
    folder: Path | None = None

    def as_json(self) -> dict:
        return {
            "asset": self.job.asset.key,
            "partition": self.job.key,
            "status": self.status,
            "duration": None if self.duration is None else round(self.duration, 6),
            "error": self.error,
            "exit_status": self.exit_status,
            "folder": None if self.folder is None else str(self.folder),
        }


@dataclass
class RunResult:
    records: list[JobRecord]
    duration: float
    interrupted: bool = False
    counts: dict[str, int] = field(default_factory=dict)

    @property
    def ok(self) -> bool:
        return not self.interrupted and all(r.status == "ok" for r in self.records)


def _clear_outputs(folder: Path) -> None:
    # A worker that dies must not leave an earlier run's files looking like its own.
    for name in ("result.json", "value.json"):
        try:
            (folder / name).unlink()
        except FileNotFoundError:
            pass


def _judge(record: JobRecord, outcome: WorkerOutcome) -> None:
    record.duration = outcome.duration
    record.exit_status = outcome.exit_status
    result_path = record.folder / "result.json"
    try:
        result = json.loads(result_path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        result = None
    except (OSError, ValueError) as exc:
        record.status = "failed"
        record.error = f"unreadable result.json: {exc}"
        return
    if result is None:
        record.status = "failed"
        detail = outcome.output.strip().splitlines()[-1:] if outcome.output.strip() else []
        record.error = f"worker exited with status {outcome.exit_status} without writing result.json" + (
            f": {detail[0]}" if detail else ""
        )
    elif result.get("ok") is True and outcome.exit_status == 0:
        record.status = "ok"
    else:
        record.status = "failed"
        record.error = result.get("error") or f"worker exited with status {outcome.exit_status}"


def run_plan(plan: Plan, executor: Executor, out: Path, reporter, cwd: Path | None = None) -> RunResult:
    """Runs every job of `plan`, writing under `out`, and records the run in out/run.json."""
    out.mkdir(parents=True, exist_ok=True)
    cwd = cwd or Path.cwd()
    records = [JobRecord(job, folder=plan.job_folder(out, job)) for job in plan.jobs]
    dependants = plan.dependants()
    waiting = {job.id: set(job.depends) for job in plan.jobs}
    ready = [job.id for job in plan.jobs if not job.depends]
    running: dict[Future, int] = {}
    started = time.perf_counter()
    reporter.start(len(records))

    def value_text(job_id: int) -> str:
        return (records[job_id].folder / "value.json").read_text(encoding="utf-8")

    def finish(job_id: int) -> None:
        record = records[job_id]
        reporter.job_done(record)
        for child in dependants[job_id]:
            if record.status != "ok":
                skip(child)
            else:
                waiting[child].discard(job_id)
                if not waiting[child] and records[child].status == "pending":
                    ready.append(child)

    def skip(job_id: int) -> None:
        record = records[job_id]
        if record.status != "pending":
            return
        record.status = "skipped"
        record.error = SKIPPED
        finish(job_id)

    interrupted = False
    try:
        while ready or running:
            while ready and len(running) < executor.slots:
                job_id = ready.pop(0)
                record = records[job_id]
                record.folder.mkdir(parents=True, exist_ok=True)
                _clear_outputs(record.folder)
                try:
                    kwargs = kwargs_text(plan, record.job, value_text)
                except OSError as exc:
                    record.status, record.error = "failed", f"could not read an upstream value: {exc}"
                    finish(job_id)
                    continue
                call = WorkerCall(record.job.asset.module, record.job.asset.function, record.folder, kwargs, cwd)
                running[executor.submit(call)] = job_id
                reporter.job_started(record)
            if not running:
                continue
            done, _ = wait(running, return_when=FIRST_COMPLETED)
            for future in done:
                job_id = running.pop(future)
                record = records[job_id]
                try:
                    _judge(record, future.result())
                except Exception as exc:  # the executor could not run the worker at all
                    record.status, record.error = "failed", f"could not run the worker: {exc}"
                finish(job_id)
    except KeyboardInterrupt:
        interrupted = True
        executor.shutdown(cancel=True)
        for record in records:
            if record.status == "pending":
                record.status = "cancelled"
    result = RunResult(records, time.perf_counter() - started, interrupted)
    for record in records:
        result.counts[record.status] = result.counts.get(record.status, 0) + 1
    _write_run_record(out / "run.json", result)
    reporter.finish(result)
    return result


def _write_run_record(path: Path, result: RunResult) -> None:
    document = {
        "ok": result.ok,
        "interrupted": result.interrupted,
        "duration": round(result.duration, 6),
        "counts": result.counts,
        "jobs": [record.as_json() for record in result.records],
    }
    tmp = path.with_name(path.name + ".tmp")
    tmp.write_text(json.dumps(document, indent=2, ensure_ascii=False) + "\n", encoding="utf-8")
    tmp.replace(path)

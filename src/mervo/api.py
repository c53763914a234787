"""mervo from Python: discover, run and load, as the command does (`mervo.run`, `mervo.load`)."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path
from typing import Any, Sequence

from .output import OutputError, OutputFolder
from .freshness import Freshness
from .history import History
from .planning import Graph, PlanError, build_graph, expand, select_jobs
from .runner import RunResult, run_plan

__all__ = ["MervoError", "discover", "graph", "load", "report", "run", "status"]


class MervoError(Exception):
    """What stops mervo before any job runs (or a value that cannot be loaded), in a few lines
    that point at the user's code."""


def discover(modules: Sequence[str]) -> dict:
    """The project document of `modules`, from a fresh interpreter; MervoError when a
    module cannot be imported. What modules print while imported goes to our stderr."""
    proc = subprocess.run([sys.executable, "-m", "mervo.discover", *modules], stdout=subprocess.PIPE, stderr=None)
    if proc.returncode != 0:
        raise MervoError(f"discovery failed (exit status {proc.returncode}); see the error above")
    try:
        document = json.loads(proc.stdout.decode("utf-8"))
    except ValueError as exc:
        raise MervoError(f"discovery printed no document: {exc}") from None
    return checked(document)


def checked(document: dict) -> dict:
    errors = document.get("errors") or []
    if errors:
        raise MervoError("\n".join(_import_error(e) for e in errors))
    return document


def _import_error(error: dict) -> str:
    where = f"{error['file']}:{error['line']}: " if error.get("file") and error.get("line") else ""
    text = f"{where}cannot import module {error['module']!r}: {error['error']}"
    trace = (error.get("traceback") or "").rstrip()
    if 'File "' in trace:  # a traceback with frames says more than the line above
        text += "\n" + "\n".join("    " + line for line in trace.splitlines())
    return text


def graph(modules: Sequence[str], select: Sequence[str] | None = None, document: dict | None = None) -> Graph:
    """The checked asset graph, partitions not expanded; MervoError for plan errors."""
    from .checks import check_document

    document = document if document is not None else discover(modules)
    problems = check_document(document)
    if problems:
        raise MervoError("\n".join(str(p) for p in problems))
    try:
        found = build_graph(document, select)
    except PlanError as exc:
        raise MervoError(str(exc)) from None
    if not found.assets:
        raise MervoError(f"no assets found in {', '.join(modules)}")
    return found


def _serializers(found: Graph) -> None:
    from . import formats

    for asset in found.assets:
        if asset.serializer not in (None, "json"):
            try:
                formats.get_format(asset.serializer)
            except formats.FormatError as exc:
                raise MervoError(f"{asset.where}: asset {asset.label!r}: {exc}") from None


def _pool(modules: Sequence[str], warn) -> tuple[dict, Any]:
    """The forking pool, which is also the discovery: the project is imported once."""
    from .executors import Pool, PoolError

    try:
        pool = Pool(list(modules))
    except PoolError as exc:
        raise MervoError(str(exc)) from None
    try:
        checked(pool.document)
    except BaseException:
        pool.close()
        raise
    problem = pool.document.get("fork_problem")
    if problem:
        warn(f"mervo: {problem}: each job runs in a fresh interpreter instead (--isolation spawn)")
        pool.close()
        return pool.document, None
    return pool.document, pool


def _executor_factory(executor: str, scheduler: str | None, jobs: int | None):
    """Checks the executor's requirements now; returns what starts it once the plan stands."""
    from .executors import InProcessExecutor, LocalExecutor

    if executor == "debug":
        return InProcessExecutor
    if executor == "local":
        if scheduler:
            raise MervoError("--scheduler needs --executor dask")
        return lambda: LocalExecutor(jobs)
    from . import dask_executor

    try:
        dask_executor.require_distributed()
    except dask_executor.ExecutorError as exc:
        raise MervoError(str(exc)) from None

    def start():
        try:
            return dask_executor.DaskExecutor(scheduler, jobs)
        except dask_executor.ExecutorError as exc:
            raise MervoError(str(exc)) from None

    return start


def default_isolation() -> str:
    return os.environ.get("MERVO_ISOLATION") or ("fork" if sys.platform.startswith("linux") else "spawn")


def run(
    modules: Sequence[str],
    out: str | os.PathLike = "mervo-out",
    *,
    jobs: int | None = None,
    select: Sequence[str] | None = None,
    isolation: str | None = None,
    executor: str = "local",
    scheduler: str | None = None,
    partitions: Sequence[str] = (),
    force: bool = False,
    failed: bool = False,
    history: bool = True,
    reporter=None,
    command: Sequence[str] | None = None,
    warn=None,
) -> RunResult:
    """Materialises the assets of `modules` into `out`, as `mervo run` does, and returns the
    run's result: `result.ok`, and per job its status, error and folder (`result.jobs`).

    Jobs that are up to date are "fresh" and start no worker; `force` re-runs the selected
    ones anyway, `failed` selects the jobs the latest run did not finish well. Raises
    MervoError, before any job starts, when the project cannot run as declared.
    """
    if isinstance(modules, str):
        modules = [modules]
    if scheduler and executor != "dask":
        raise MervoError("--scheduler needs --executor dask")
    warn = warn or (lambda line: print(line, file=sys.stderr))
    isolation = isolation or default_isolation()
    if isolation not in ("fork", "spawn"):
        raise MervoError(f"isolation: expected 'fork' or 'spawn', got {isolation!r}")
    pool = None
    if executor == "local" and isolation == "fork":
        from .executors import ForkExecutor, LocalExecutor

        document, pool = _pool(modules, warn)
        start = (lambda: ForkExecutor(pool, jobs)) if pool else (lambda: LocalExecutor(jobs))
    else:
        start, document = _executor_factory(executor, scheduler, jobs), None
    out = Path(out).resolve()
    try:
        if document is None:
            document = discover(modules)
        found = graph(modules, None, document)
        _serializers(found)
        try:
            plan = expand(found)
            among = _unfinished(out, plan) if failed else None
            chosen, needed = select_jobs(plan, select or (), partitions, among)
        except PlanError as exc:
            raise MervoError(str(exc)) from None
        full_plan, plan = plan, plan.subset(needed)
        forced: set[int] = set()
        if force:  # job ids as the subset numbers them
            forced = set(chosen) if plan is full_plan else {
                new for new, old in enumerate(sorted(needed)) if old in chosen}
        freshness = Freshness(plan, document.get("sources") or {})
    except BaseException:
        if pool is not None:
            pool.close()
        raise
    if reporter is None:
        from .runner import QuietReporter

        reporter = QuietReporter()
    started = start()
    try:
        try:
            folder = OutputFolder.open(out, list(command or ["mervo.run", *modules]))
        except OutputError as exc:
            raise MervoError(str(exc)) from None
        with folder:
            # History tells its problem once; the run goes on without it.
            records = History.open(out, on_problem=lambda why: warn(f"mervo: history unavailable: {why}")) \
                if history else None
            try:
                result = run_plan(plan, started, folder, reporter, freshness=freshness, force=forced, history=records)
            finally:
                if records is not None:
                    records.close()
            result.plan = full_plan
            return result
    finally:
        started.shutdown()


def _unfinished(out: Path, plan) -> set[int]:
    """The jobs of `plan` that the latest run recorded in `out` failed, cancelled or skipped."""
    try:
        record = json.loads((out / "run.json").read_text(encoding="utf-8"))
    except (OSError, ValueError):
        raise MervoError(f"--failed: no run recorded in {out}") from None
    wanted = {(j.get("asset"), j.get("partition")) for j in record.get("jobs", [])
              if j.get("status") in ("failed", "cancelled", "skipped")}  # fmt: skip
    if record.get("state") == "running":
        raise MervoError(f"--failed: the latest run in {out} did not finish (run.json says it is running)")
    return {job.id for job in plan.jobs if (job.asset.key, job.key) in wanted}


def status(modules: Sequence[str], out: str | os.PathLike) -> list[dict]:
    """Per asset, how many partitions in `out` are fresh, stale (and why), missing or orphaned."""
    from .status import project_status

    document = discover(modules)
    try:
        plan = expand(graph(modules, None, document))
    except PlanError as exc:
        raise MervoError(str(exc)) from None
    return project_status(plan, document.get("sources") or {}, Path(out).resolve())


def report(modules: Sequence[str], out: str | os.PathLike, plan=None) -> Path:
    """Writes `out`/report.html, the asset graph coloured by the latest run's statuses."""
    from .html_report import build_model, write_report

    if plan is None:
        try:
            plan = expand(graph(modules))
        except PlanError as exc:
            raise MervoError(str(exc)) from None
    out = Path(out).resolve()
    model = build_model(plan, out, f"mervo — {', '.join(modules)}")
    try:
        return write_report(model, out / "report.html")
    except OSError as exc:
        raise MervoError(f"cannot write {out / 'report.html'}: {exc.strerror or exc}") from None


def load(out: str | os.PathLike, asset: str, partition: str | None = None) -> Any:
    """The value a run left for `asset` (by name, module.function or key) and `partition`
    (its partition key), read with the asset's value format."""
    from . import formats
    from .logs import LogsError, find_job

    try:
        folder = find_job(Path(out), asset, partition)
    except LogsError as exc:
        raise MervoError(str(exc)) from None
    try:
        return formats.load_value(folder)
    except FileNotFoundError:
        raise MervoError(f"{asset}{'' if partition is None else f'[{partition}]'} has no value in {out} yet") from None

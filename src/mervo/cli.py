"""The `mervo` command: list, graph and run the assets of a project."""

from __future__ import annotations

import argparse
import json
import os
import signal
import subprocess
import sys
from pathlib import Path

from . import report
from .executors import ForkExecutor, LocalExecutor, Pool, PoolError
from .output import OutputError, OutputFolder
from .planning import PlanError, build_graph, expand
from .runner import Interrupted, run_plan

__all__ = ["main"]


class CommandError(Exception):
    """A failure to report in one line (or a few), without a traceback."""


def discover_project(modules: list[str]) -> dict:
    """Runs the discovery stub in a fresh interpreter and returns its document.

    What user modules print while being imported goes straight to our standard error.
    """
    proc = subprocess.run(
        [sys.executable, "-m", "mervo.discover", *modules], stdout=subprocess.PIPE, stderr=None
    )
    if proc.returncode != 0:
        raise CommandError(f"discovery failed (exit status {proc.returncode}); see the error above")
    try:
        document = json.loads(proc.stdout.decode("utf-8"))
    except ValueError as exc:
        raise CommandError(f"discovery printed no document: {exc}") from None
    return _checked(document)


def _checked(document: dict) -> dict:
    errors = document.get("errors") or []
    if errors:
        raise CommandError("\n".join(_import_error(e) for e in errors))
    return document


def _import_error(error: dict) -> str:
    where = f"{error['file']}:{error['line']}: " if error.get("file") and error.get("line") else ""
    text = f"{where}cannot import module {error['module']!r}: {error['error']}"
    trace = (error.get("traceback") or "").rstrip()
    if trace:
        text += "\n" + "\n".join("    " + line for line in trace.splitlines())
    return text


def _graph(args, document=None):
    document = document if document is not None else discover_project(args.modules)
    try:
        from .checks import check_document
    except ImportError:
        problems = []
    else:
        problems = check_document(document)
    if problems:
        raise CommandError("\n".join(str(p) for p in problems))
    try:
        return build_graph(document, getattr(args, "select", None))
    except PlanError as exc:
        raise CommandError(str(exc)) from None


def cmd_list(args) -> int:
    graph = _graph(args)
    if not graph.assets:
        raise CommandError(f"no assets found in {', '.join(args.modules)}")
    report.print_asset_table(graph)
    return 0


def cmd_graph(args) -> int:
    graph = _graph(args)
    render = report.render_dot if args.format == "dot" else report.render_mermaid
    sys.stdout.write(render(graph))
    return 0


def _make_executor(args):
    """Checks the executor's requirements now; returns what starts it once the plan stands."""
    if args.executor == "local":
        if args.scheduler:
            raise CommandError("--scheduler needs --executor dask")
        return lambda: LocalExecutor(args.jobs)
    from . import dask_executor

    try:
        dask_executor.require_distributed()
    except dask_executor.ExecutorError as exc:
        raise CommandError(str(exc)) from None

    def start():
        try:
            return dask_executor.DaskExecutor(args.scheduler, args.jobs)
        except dask_executor.ExecutorError as exc:
            raise CommandError(str(exc)) from None

    return start


def _start_pool(args):
    """The forking pool, which is also the discovery: the project is imported once."""
    try:
        pool = Pool(args.modules)
    except PoolError as exc:
        raise CommandError(str(exc)) from None
    try:
        _checked(pool.document)
    except BaseException:
        pool.close()
        raise
    problem = pool.document.get("fork_problem")
    if problem:
        print(f"mervo: {problem}: each job runs in a fresh interpreter instead (--isolation spawn)", file=sys.stderr)
        pool.close()
        return pool.document, None
    return pool.document, pool


def cmd_run(args) -> int:
    pool = None
    if args.executor == "local" and args.isolation == "fork":
        document, pool = _start_pool(args)
        start = (lambda: ForkExecutor(pool, args.jobs)) if pool else (lambda: LocalExecutor(args.jobs))
    else:
        start, document = _make_executor(args), None
    try:
        graph = _graph(args, document)
        if not graph.assets:
            raise CommandError(f"no assets found in {', '.join(args.modules)}")
        try:
            plan = expand(graph)
        except PlanError as exc:
            raise CommandError(str(exc)) from None
    except BaseException:
        if pool is not None:
            pool.close()
        raise
    executor = start()
    try:
        try:
            folder = OutputFolder.open(Path(args.out).resolve(), ["mervo", *args.argv])
        except OutputError as exc:
            raise CommandError(str(exc)) from None
        with folder:
            result = run_plan(plan, executor, folder, report.make_reporter(sys.stdout))
    finally:
        executor.shutdown()
    for problem in result.problems:
        print(f"mervo: error: {problem}", file=sys.stderr)
    if result.interrupted:
        return 128 + (result.signal or signal.SIGINT)
    return 0 if result.ok else 1


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number ≥ 1, got {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="mervo",
        description="Discover, plan and materialise the data assets of a Python project.",
        epilog="Modules are imported by name from the current folder and sys.path, "
        "e.g. `mervo run flows` for ./flows.py; a package also brings its submodules.",
    )
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("list", help="show the assets found in the modules", description="Show the assets found.")
    p.add_argument("modules", nargs="+", metavar="MODULE", help="module or package to inspect (dotted name)")
    p.set_defaults(func=cmd_list)

    p = sub.add_parser("graph", help="print the asset graph", description="Print the asset graph as text.")
    p.add_argument("modules", nargs="+", metavar="MODULE", help="module or package to inspect (dotted name)")
    p.add_argument("--format", choices=("mermaid", "dot"), default="mermaid", help="graph language (default: mermaid)")
    p.set_defaults(func=cmd_graph)

    p = sub.add_parser(
        "run",
        help="materialise the assets",
        description="Materialise every asset and partition, each upstream before its dependants. "
        "Exits 1 when any job failed or was skipped, 130 on Ctrl-C and 143 on SIGTERM.",
    )
    p.add_argument("modules", nargs="+", metavar="MODULE", help="module or package to inspect (dotted name)")
    p.add_argument("--out", default="mervo-out", metavar="DIR", help="output folder (default: ./mervo-out)")
    p.add_argument(
        "--jobs",
        type=_positive,
        default=None,
        metavar="N",
        help=f"workers at once (default: CPUs, here {os.cpu_count()}; with --executor dask, the cluster's threads)",
    )
    p.add_argument(
        "--executor",
        choices=("local", "dask"),
        default="local",
        help="where workers run: processes on this machine (default) or a Dask cluster",
    )
    p.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="with --executor dask, the scheduler to submit to, e.g. tcp://HOST:8786 "
        "(default: a local cluster started for the run)",
    )
    p.add_argument(
        "--isolation",
        choices=("fork", "spawn"),
        default=os.environ.get("MERVO_ISOLATION") or ("fork" if sys.platform.startswith("linux") else "spawn"),
        help="fork: import the project once and fork a process per job (default on Linux); "
        "spawn: a fresh interpreter per job (default: $MERVO_ISOLATION if set)",
    )
    p.add_argument(
        "--select",
        nargs="+",
        metavar="NAME",
        help="run only these assets (by name, module.function or key) and what they depend on",
    )
    p.set_defaults(func=cmd_run)
    return parser


def _terminate(signum, frame):
    raise Interrupted(signum)


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    args = build_parser().parse_args(argv)
    args.argv = argv
    # SIGTERM stops the command the way Ctrl-C does: workers killed, run.json written.
    previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        return args.func(args)
    except CommandError as exc:
        print(f"mervo: error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt as exc:
        return 128 + getattr(exc, "signum", signal.SIGINT)
    except BrokenPipeError:
        # A reader that went away (`mervo list m | head -1`): stop quietly, as other tools do.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 128 + signal.SIGPIPE
    finally:
        signal.signal(signal.SIGTERM, previous)

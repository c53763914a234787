"""The `mervo` command: list, graph and run the assets of a project."""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

from . import report
from .executors import LocalExecutor
from .planning import PlanError, build_plan
from .runner import run_plan

__all__ = ["main"]


class CommandError(Exception):
    """A failure to report in one line, without a traceback."""


def inspect_project(modules: list[str]) -> dict:
    """Runs the inspection stub in a fresh interpreter and returns its document.

    Skip lines and tracebacks of the stub go straight to our standard error.
    """
    proc = subprocess.run(
        [sys.executable, "-m", "mervo.inspect", *modules], stdout=subprocess.PIPE, stderr=None, text=True
    )
    if proc.returncode != 0:
        raise CommandError(f"inspection failed (exit status {proc.returncode}); see the error above")
    try:
        return json.loads(proc.stdout)
    except ValueError as exc:
        raise CommandError(f"inspection printed no document: {exc}") from None


def _plan(args):
    try:
        return build_plan(inspect_project(args.modules), getattr(args, "select", None))
    except PlanError as exc:
        raise CommandError(str(exc)) from None


def cmd_list(args) -> int:
    plan = _plan(args)
    if not plan.assets:
        print("no assets found", file=sys.stderr)
        return 0
    report.print_asset_table(plan)
    return 0


def cmd_graph(args) -> int:
    plan = _plan(args)
    render = report.render_dot if args.format == "dot" else report.render_mermaid
    sys.stdout.write(render(plan))
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


def cmd_run(args) -> int:
    start = _make_executor(args)
    plan = _plan(args)
    try:
        executor = start()
    except KeyboardInterrupt:
        return 130
    try:
        result = run_plan(plan, executor, Path(args.out).resolve(), report.make_reporter(sys.stdout))
    finally:
        executor.shutdown()
    if result.interrupted:
        return 130
    return 0 if result.ok else 1


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="mervo",
        description="Discover, plan and materialise the data assets of a Python project.",
        epilog="Modules are imported by name from the current folder and sys.path, "
        "e.g. `mervo run flows` for ./flows.py.",
    )
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("list", help="show the assets found in the modules", description="Show the assets found.")
    p.add_argument("modules", nargs="+", metavar="MODULE", help="module to inspect (dotted name)")
    p.set_defaults(func=cmd_list)

    p = sub.add_parser("graph", help="print the asset graph", description="Print the asset graph as text.")
    p.add_argument("modules", nargs="+", metavar="MODULE", help="module to inspect (dotted name)")
    p.add_argument("--format", choices=("mermaid", "dot"), default="mermaid", help="graph language (default: mermaid)")
    p.set_defaults(func=cmd_graph)

    p = sub.add_parser(
        "run",
        help="materialise the assets",
        description="Materialise every asset and partition, each upstream before its dependants. "
        "Exits 1 when any job failed or was skipped.",
    )
    p.add_argument("modules", nargs="+", metavar="MODULE", help="module to inspect (dotted name)")
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
        "--select",
        nargs="+",
        metavar="NAME",
        help="run only these assets (by name, function or key) and what they depend on",
    )
    p.set_defaults(func=cmd_run)
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.func(args)
    except CommandError as exc:
        print(f"mervo: error: {exc}", file=sys.stderr)
        return 1

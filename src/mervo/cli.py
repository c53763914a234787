"""The `mervo` command: list, graph, run, report on and read the logs of a project's assets."""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
from pathlib import Path

from . import api, report
from .runner import Interrupted

__all__ = ["main"]

def cmd_list(args) -> int:
    report.print_asset_table(api.graph(args.modules))
    return 0


def cmd_graph(args) -> int:
    render = report.render_dot if args.format == "dot" else report.render_mermaid
    sys.stdout.write(render(api.graph(args.modules)))
    return 0


def cmd_run(args) -> int:
    executor = "debug" if args.debug else args.executor
    if args.debug and args.executor != "local":
        raise api.MervoError("--debug runs jobs in this process: it does not go with --executor dask")
    reporter = report.PlainReporter(sys.stdout) if args.debug else report.make_reporter(sys.stdout)
    try:
        result = api.run(
            args.modules, args.out, jobs=args.jobs, select=args.select, isolation=args.isolation,
            executor=executor, scheduler=args.scheduler, reporter=reporter, command=["mervo", *args.argv],
            partitions=args.partition, force=args.force, failed=args.failed,
        )  # fmt: skip
    finally:
        close = getattr(reporter, "close", None)
        if close is not None:
            close()  # a live display never stays on screen as if work went on
    for problem in result.problems:
        print(f"mervo: error: {problem}", file=sys.stderr)
    if not args.no_report and result.plan is not None:
        try:
            path = api.report(args.modules, args.out, plan=result.plan)
        except api.MervoError as exc:
            print(f"mervo: error: {exc}", file=sys.stderr)
        else:
            print(f"report: {path}")
    if result.interrupted:
        return 128 + (result.signal or signal.SIGINT)
    return 0 if result.ok else 1


def cmd_logs(args) -> int:
    from .logs import LogsError, show_log

    try:
        path = show_log(Path(args.out), args.asset, args.partition, args.attempt)
    except LogsError as exc:
        raise api.MervoError(str(exc)) from None
    # Which attempt it was, on stderr so that stdout stays the log itself.
    try:
        record = json.loads((path.parent / "result.json").read_text(encoding="utf-8"))
    except (OSError, ValueError):
        record = {}
    outcome = f"value format {record.get('artifact_format')}" if record.get("ok") else "failed"
    print(f"mervo: the log of {path.parent} ({outcome})", file=sys.stderr)
    return 0


def cmd_report(args) -> int:
    print(api.report(args.modules, args.out))
    return 0


def cmd_status(args) -> int:
    from .status import print_status

    print_status(api.status(args.modules, args.out), sys.stdout, as_json=args.format == "json")
    return 0


def cmd_history(args) -> int:
    from .history import History
    from .status import print_history

    history = History.open(Path(args.out), write=False)
    if not history.available:
        raise api.MervoError(f"no history: {history.problem}")
    with history:
        if args.run is not None and not history.jobs(args.run):
            raise api.MervoError(f"no run {args.run!r} in {args.out}; `mervo history --out {args.out}` lists them")
        print_history(history, args.run, sys.stdout)
    return 0


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number ≥ 1, got {text!r}")
    return value


def _modules(p) -> None:
    p.add_argument("modules", nargs="+", metavar="MODULE", help="module or package to inspect (dotted name)")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="mervo",
        description="Discover, plan and materialise the data assets of a Python project.",
        epilog="Modules are imported by name from the current folder and sys.path, "
        "e.g. `mervo run flows` for ./flows.py; a package also brings its submodules.",
    )
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("list", help="show the assets found in the modules", description="Show the assets found.")
    _modules(p)
    p.set_defaults(func=cmd_list)

    p = sub.add_parser("graph", help="print the asset graph", description="Print the asset graph as text.")
    _modules(p)
    p.add_argument("--format", choices=("mermaid", "dot"), default="mermaid", help="graph language (default: mermaid)")
    p.set_defaults(func=cmd_graph)

    p = sub.add_parser(
        "run",
        help="materialise the assets",
        description="Materialise every asset and partition, each upstream before its dependants. "
        "Exits 1 when any job failed or was skipped, 130 on Ctrl-C and 143 on SIGTERM.",
    )
    _modules(p)
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
        default=api.default_isolation(),
        help="fork: import the project once and fork a process per job (default on Linux); "
        "spawn: a fresh interpreter per job (default: $MERVO_ISOLATION if set)",
    )
    p.add_argument(
        "--select",
        nargs="+",
        metavar="NAME",
        help="run only these: NAME (an asset by name, module.function or key), NAME+ (and everything "
        "downstream), +NAME (and everything upstream), NAME[KEY] (one partition); what they need runs "
        "too when it is not fresh",
    )
    p.add_argument(
        "--partition",
        action="append",
        default=[],
        metavar="DIM=VALUE",
        help="keep only the selected partitions whose dimension DIM has this value (repeatable)",
    )
    p.add_argument("--force", action="store_true", help="run the selected jobs even when they are fresh")
    p.add_argument("--no-report", action="store_true", help="do not write OUT/report.html at the end")
    p.add_argument(
        "--failed",
        action="store_true",
        help="run the jobs that failed, were cancelled or skipped in the latest run (and what they need)",
    )
    p.add_argument(
        "--debug",
        action="store_true",
        help="run the jobs one by one in this process, attached to the terminal (breakpoint() works)",
    )
    p.set_defaults(func=cmd_run)

    p = sub.add_parser("report", help="write the HTML run report", description="Write OUT/report.html: the asset "
                       "graph coloured by the latest run's statuses, one self-contained file.")
    _modules(p)
    p.add_argument("--out", default="mervo-out", metavar="DIR", help="output folder (default: ./mervo-out)")
    p.set_defaults(func=cmd_report)

    p = sub.add_parser("status", help="show what is fresh, stale or missing", description="Per asset, how "
                       "many partitions in OUT are fresh, stale (and why), missing or orphaned. Starts no worker.")
    _modules(p)
    p.add_argument("--out", default="mervo-out", metavar="DIR", help="output folder (default: ./mervo-out)")
    p.add_argument("--format", choices=("table", "json"), default="table", help="output form (default: table)")
    p.set_defaults(func=cmd_status)

    p = sub.add_parser("history", help="list the runs of an output folder", description="List the runs recorded "
                       "in OUT, newest first, or the jobs of one run.")
    p.add_argument("run", nargs="?", metavar="RUN", help="a run id: show its jobs")
    p.add_argument("--out", default="mervo-out", metavar="DIR", help="output folder (default: ./mervo-out)")
    p.set_defaults(func=cmd_history)

    p = sub.add_parser("logs", help="print a job's captured output", description="Print the log of a job's latest "
                       "(or latest failed) attempt.")  # fmt: skip
    p.add_argument("out", metavar="OUT", help="the output folder of the run")
    p.add_argument("asset", metavar="ASSET", help="asset name, module.function or key")
    p.add_argument("partition", nargs="?", metavar="PARTITION", help="partition key, for a partitioned asset")
    p.add_argument("--attempt", choices=("latest", "failed"), default="latest", help="which attempt (default: latest)")
    p.set_defaults(func=cmd_logs)
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
    except api.MervoError as exc:
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

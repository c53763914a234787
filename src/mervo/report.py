"""What the user sees: progress while running, the summary, the asset table and graph texts."""

from __future__ import annotations

import os
import re
import shlex
import sys
import sysconfig
from collections import Counter
from itertools import islice
from pathlib import Path
from typing import Iterable, Mapping, Sequence, TextIO

from .jobs import read_tail
from .planning import Asset, Graph

__all__ = [
    "PlainReporter",
    "RichReporter",
    "asset_rows",
    "display_names",
    "failure_details",
    "make_reporter",
    "print_asset_table",
    "raised_at",
    "render_dot",
    "render_mermaid",
]

# A summary stays readable however large the run: at most this many failures are detailed,
# this many assets get a row, and this many failures are announced while running.
MAX_FAILURES = 20
MAX_ASSET_ROWS = 30
MAX_LIVE_FAILURES = 20
RUNNING_SHOWN = 4  # names of running jobs on the progress display
_TRACEBACK_TAIL = 256 * 1024  # the innermost frames are at the end of a traceback file


# --- where a failure was raised ----------------------------------------------------------

_FRAME = re.compile(r'^\s*File "(?P<file>[^"\n]+)", line (?P<line>\d+)', re.MULTILINE)


def _library_dirs() -> tuple[str, ...]:
    paths = sysconfig.get_paths()
    dirs = {paths.get(k) for k in ("stdlib", "platstdlib", "purelib", "platlib")}
    dirs.add(os.path.dirname(os.path.abspath(__file__)))  # mervo's own stubs
    return tuple(sorted(d.rstrip(os.sep) + os.sep for d in dirs if d))


_LIBRARY_DIRS = _library_dirs()


def _is_library(file: str) -> bool:
    if file.startswith("<"):  # <frozen runpy>, <string>
        return True
    if f"{os.sep}site-packages{os.sep}" in file or f"{os.sep}dist-packages{os.sep}" in file:
        return True
    return file.startswith(_LIBRARY_DIRS)


def _same_file(a: str, b: str) -> bool:
    if a == b:
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def raised_at(traceback_text: str, asset_file: str | None = None) -> str | None:
    """file:line of the innermost frame in `asset_file`, else of the innermost frame that is
    not the standard library's, an installed package's or mervo's; None without frames.

    Chained tracebacks come first in the text, so the last match is in the exception that ended the job.
    """
    frames = [(m["file"], m["line"]) for m in _FRAME.finditer(traceback_text)]
    if asset_file:
        for file, line in reversed(frames):
            if _same_file(file, asset_file):
                return f"{file}:{line}"
    for file, line in reversed(frames):
        if not _is_library(file):
            return f"{file}:{line}"
    return None


def failure_details(record) -> tuple[str | None, str | None]:
    """(where the job's exception was raised, its traceback file) for a failed job record.

    Without a readable traceback the place is the asset's definition, which is at least its file.
    """
    path = getattr(record, "traceback", None)
    where = None
    if path:
        text = read_tail(path, _TRACEBACK_TAIL)
        if text is None:
            path = None
        else:
            where = raised_at(text, record.job.asset.file_path)
    return where, None if path is None else str(path)


def _first_line(text: str | None) -> str:
    return text.splitlines()[0] if text else ""


def _reason(record) -> str:
    """Why a job did not succeed, in one line: the error, or for a skipped job its upstream."""
    text = _first_line(record.error)
    if str(record.status) == "skipped" and text.startswith("skipped: "):
        return text[len("skipped: ") :]
    return text


def _output_lines(lines: Sequence[str]) -> Sequence[str]:
    """The last output of a worker that died, which its error carries after a labelled line."""
    for i, line in enumerate(lines):
        if line.startswith("output (last lines)"):
            return lines[i : i + 8]
    return ()


def _counts_line(result) -> str:
    counts = ", ".join(f"{n} {status}" for status, n in sorted(result.counts.items()))
    state = "interrupted" if result.interrupted else ("ok" if result.ok else "failed")
    return f"run {state}: {counts or 'no jobs'} in {result.duration:.2f}s"


def _output_root(records: Sequence) -> Path | None:
    for record in records:
        if record.folder is not None:  # <out>/<asset>/<partition>
            return Path(record.folder).parent.parent
    return None


def _logs_command(record) -> str:
    """The `mervo logs` command that shows this job's output."""
    root = _output_root([record])
    words = ["mervo", "logs", "OUT" if root is None else str(root), record.job.asset.label]
    if record.job.key is not None:
        words.append(record.job.key)
    return " ".join(shlex.quote(w) for w in words)


def _failed(records: Iterable) -> list:
    return [r for r in records if str(r.status) == "failed"]


# --- progress ----------------------------------------------------------------------------


class PlainReporter:
    """One line per finished job, for logs and pipes; then the failures and the counts."""

    def __init__(self, stream: TextIO = sys.stdout):
        self.stream = stream
        self.total = 0
        self.done = 0

    def start(self, total: int) -> None:
        self.total = total

    def job_started(self, record) -> None:
        pass

    def job_done(self, record) -> None:
        self.done += 1
        duration = "" if record.duration is None else f" ({record.duration:.2f}s)"
        line = f"[{self.done}/{self.total}] {record.status:<7} {record.job.label}{duration}"
        reason = _reason(record)
        if reason and str(record.status) in ("failed", "skipped"):
            line += ": " + reason
        print(line, file=self.stream, flush=True)

    def finish(self, result) -> None:
        failed = _failed(result.records)
        for record in failed[:MAX_FAILURES]:
            where, traceback = failure_details(record)
            print(f"failed: {record.job.label}: {_first_line(record.error) or 'failed'}", file=self.stream)
            print(f"  at {where or record.job.asset.where}", file=self.stream)
            if traceback:
                print(f"  traceback: {traceback}", file=self.stream)
        if len(failed) > MAX_FAILURES:
            print(f"... and {len(failed) - MAX_FAILURES} more failed jobs (see run.json)", file=self.stream)
        print(_counts_line(result), file=self.stream, flush=True)

    def close(self) -> None:
        pass


class RichReporter:
    """A live progress bar on a terminal with the running jobs' names, failures printed above
    it as they happen; then failures first, a table per asset and the counts."""

    def __init__(self, console):
        from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn
        from rich.text import Text

        reporter = self
        self._running_line = ""  # read by the display from its first frame on

        class _Progress(Progress):
            def get_renderables(self):
                yield self.make_tasks_table(self.tasks)
                line = reporter._running_line  # one attribute read: the refresh thread runs this
                if line:
                    yield Text(line, style="dim", no_wrap=True, overflow="ellipsis")

        self.console = console
        self.progress = _Progress(
            TextColumn("[bold]mervo run"),
            BarColumn(),
            MofNCompleteColumn(),
            TextColumn("{task.fields[state]}"),
            TimeElapsedColumn(),
            console=console,
            transient=True,
        )
        self.task = None
        self.total = 0
        self.done = 0
        self.running: dict[int, str] = {}  # job id -> label, oldest first
        self.failed = 0
        self.skipped = 0
        self.announced = 0
        self._live = False

    def _state(self) -> str:
        parts = [f"{len(self.running)} running", f"{self.failed} failed"]
        if self.skipped:
            parts.append(f"{self.skipped} skipped")
        return ", ".join(parts)

    def _refresh(self, advance: int = 0) -> None:
        shown = list(islice(self.running.values(), RUNNING_SHOWN))
        more = len(self.running) - len(shown)
        self._running_line = ("running: " + ", ".join(shown) + (f" +{more} more" if more else "")) if shown else ""
        if self.task is not None:
            self.progress.update(self.task, advance=advance, state=self._state())

    def start(self, total: int) -> None:
        self.total = total
        self.progress.start()
        self._live = True
        self.task = self.progress.add_task("jobs", total=total, state=self._state())

    def job_started(self, record) -> None:
        self.running[record.job.id] = record.job.label
        self._refresh()

    def job_done(self, record) -> None:
        self.done += 1
        self.running.pop(record.job.id, None)
        status = str(record.status)
        if status == "failed":
            self.failed += 1
            self._announce(record)
        elif status == "skipped":
            self.skipped += 1
        self._refresh(advance=1)

    def _announce(self, record) -> None:
        """A failure, the moment it happens: one line above the bar."""
        from rich.text import Text

        self.announced += 1
        if self.announced > MAX_LIVE_FAILURES:
            if self.announced == MAX_LIVE_FAILURES + 1:
                self.progress.console.print(Text("further failures are counted on the bar and listed at the end",
                                                 style="dim"))
            return
        where, _ = failure_details(record)
        line = Text.assemble(("✗ ", "bold red"), (record.job.label, "bold"), ": ",
                             _first_line(record.error) or "failed", (f"  ({where or record.job.asset.where})", "dim"))
        self.progress.console.print(line, soft_wrap=True)

    def _stop(self) -> None:
        if self._live:
            self._live = False
            self.progress.stop()

    def close(self) -> None:
        """Takes the live display off the screen; for a run that ended without `finish`."""
        if self._live:
            self._stop()
            self.console.print(f"mervo run stopped: {self.done} of {self.total} jobs finished", style="yellow",
                               highlight=False)

    def finish(self, result) -> None:
        self._stop()
        self._print_failures(result.records)
        self._print_assets(result.records)
        self.console.print(_counts_line(result), highlight=False)

    def _print_failures(self, records: Sequence) -> None:
        from rich.text import Text

        failed = _failed(records)
        if not failed:
            return
        print_ = self.console.print
        print_(Text(f"Failed jobs ({len(failed)})", style="bold red"))
        for record in failed[:MAX_FAILURES]:
            where, traceback = failure_details(record)
            lines = (record.error or "failed").splitlines()
            print_(Text.assemble(("✗ ", "bold red"), (record.job.label, "bold"), "  ", lines[0]), soft_wrap=True)
            for extra in _output_lines(lines):
                print_(Text("    " + extra, style="dim"), soft_wrap=True)
            label = "at" if getattr(record, "traceback", None) else "defined at"
            print_(Text.assemble((f"    {label} ", "dim"), where or record.job.asset.where), soft_wrap=True)
            if traceback:
                print_(Text.assemble(("    traceback: ", "dim"), traceback), soft_wrap=True)
        if len(failed) > MAX_FAILURES:
            print_(Text(f"... and {len(failed) - MAX_FAILURES} more failed jobs (all in run.json)", style="red"))
        print_(Text(f"a job's output: {_logs_command(failed[0])}", style="dim"), soft_wrap=True)
        print_()

    def _print_assets(self, records: Sequence) -> None:
        from rich.table import Table
        from rich.text import Text

        rows = _asset_summary(records)
        if not rows:
            return
        table = Table(show_lines=False, box=None, pad_edge=False, header_style="bold")
        for column, justify in (("asset", "left"), ("jobs", "right"), ("status", "left"), ("job time", "right"),
                                ("note", "left")):
            table.add_column(column, justify=justify, overflow="fold")
        styles = {"ok": "green", "failed": "red", "skipped": "yellow", "cancelled": "yellow"}
        shown = rows[:MAX_ASSET_ROWS]
        for row in shown:
            status = Text()
            for i, (name, n) in enumerate(row.counts.items()):
                status.append(("" if i == 0 else ", ") + f"{n} {name}", style=styles.get(name, ""))
            table.add_row(Text(row.label), str(row.jobs), status, f"{row.time:.2f}s", Text(row.note))
        rest = rows[MAX_ASSET_ROWS:]
        if rest:
            jobs = sum(r.jobs for r in rest)
            all_ok = all(set(r.counts) == {"ok"} for r in rest)
            table.add_row(Text(f"... {len(rest)} more assets", style="dim"), str(jobs),
                          Text("all ok" if all_ok else "", style="green"), f"{sum(r.time for r in rest):.2f}s", "")
        self.console.print(table)


class _AssetRow:
    __slots__ = ("label", "jobs", "counts", "time", "note", "order")

    def __init__(self, label: str, order: int):
        self.label, self.order = label, order
        self.jobs, self.time, self.note = 0, 0.0, ""
        self.counts: dict[str, int] = {}


def _asset_summary(records: Sequence) -> list[_AssetRow]:
    """One row per asset, assets with failed, then skipped or cancelled jobs first."""
    rows: dict[str, _AssetRow] = {}
    reasons: dict[str, Counter] = {}
    for record in records:
        asset = record.job.asset
        row = rows.get(asset.key)
        if row is None:
            row = rows[asset.key] = _AssetRow(asset.label, len(rows))
        status = str(record.status)
        row.jobs += 1
        row.counts[status] = row.counts.get(status, 0) + 1
        if record.duration is not None:
            row.time += record.duration
        if status == "skipped":
            reasons.setdefault(asset.key, Counter())[_reason(record)] += 1
    for key, counter in reasons.items():
        (first, _), *others = counter.most_common()
        rows[key].note = first + (f" (+{len(others)} more upstreams)" if others else "")
    rank = {"failed": 0, "skipped": 1, "cancelled": 1}

    def order(row: _AssetRow):
        return (min((rank.get(s, 2) for s in row.counts), default=2), row.order)

    return sorted(rows.values(), key=order)


def make_reporter(stream: TextIO = sys.stdout):
    if stream.isatty():
        try:
            from rich.console import Console
        except ImportError:
            return PlainReporter(stream)
        return RichReporter(Console(file=stream))
    return PlainReporter(stream)


# --- the asset table ---------------------------------------------------------------------


def display_names(assets: Sequence[Asset]) -> dict[str, str]:
    """Each asset's shown name: its label, with the key beside it only where labels clash."""
    counts = Counter(asset.label for asset in assets)
    return {
        asset.key: asset.label if counts[asset.label] == 1 or asset.key == asset.label else f"{asset.label} ({asset.key})"
        for asset in assets
    }


def asset_rows(plan: Graph) -> list[tuple[str, ...]]:
    """Rows of `mervo list`: display name, module, function, inputs, partitions, return type."""
    names = display_names(plan.assets)
    rows = []
    for asset in plan.assets:
        inputs = ", ".join(f"{param}={names.get(up, up)}" for param, up in sorted(plan.upstreams[asset.key].items()))
        dims = ", ".join(f"{d.name}({d.size})" for d in asset.dimensions)
        rows.append((names[asset.key], asset.module, asset.function, inputs, dims, asset.return_type or ""))
    return rows


def print_asset_table(plan: Graph, stream: TextIO = sys.stdout) -> None:
    print_table(("asset", "module", "function", "inputs", "partitions", "returns"), asset_rows(plan), stream)


def print_table(headers: Sequence[str], rows: Sequence[Sequence[str]], stream: TextIO = sys.stdout) -> None:
    """A table: drawn by rich on a terminal, plain aligned columns otherwise."""
    if stream.isatty():
        try:
            from rich.console import Console
            from rich.table import Table
            from rich.text import Text
        except ImportError:
            pass
        else:
            table = Table()
            for header in headers:
                table.add_column(header, overflow="fold")
            for row in rows:
                table.add_row(*(Text(cell) for cell in row))  # names are text, not markup
            Console(file=stream).print(table)
            return
    widths = [max([len(h)] + [len(r[i]) for r in rows]) for i, h in enumerate(headers)]
    for row in [headers, *rows]:
        print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip(), file=stream)


# --- graph texts -------------------------------------------------------------------------


def _labels(plan: Graph) -> Mapping[str, str]:
    names = display_names(plan.assets)
    out = {}
    for asset in plan.assets:
        text = names[asset.key]
        if asset.partitioned:
            text += " [" + " x ".join(f"{d.name}:{d.size}" for d in asset.dimensions) + "]"
        out[asset.key] = text
    return out


# Mermaid reads `#name;` and `#123;` as characters inside a quoted label; "<" and ">" would be
# HTML there, "`" would start a Markdown string.
_MERMAID = {'"': "#quot;", "#": "#35;", "&": "#amp;", "<": "#lt;", ">": "#gt;", "`": "#96;"}


def mermaid_text(text: str) -> str:
    """A Mermaid quoted label's content for `text`."""
    out = []
    for line in text.replace("\r\n", "\n").replace("\r", "\n").split("\n"):
        out.append("".join(_MERMAID.get(c, c if c.isprintable() else " ") for c in line))
    return "<br>".join(out)


def dot_string(text: str) -> str:
    """A DOT quoted string for `text`: UTF-8 as is, quotes and backslashes escaped, line
    breaks as Graphviz's centred `\\n`, other control characters as spaces."""
    out = ['"']
    for c in text.replace("\r\n", "\n").replace("\r", "\n"):
        if c in '"\\':
            out.append("\\" + c)
        elif c == "\n":
            out.append("\\n")
        elif not c.isprintable() and c != " ":
            out.append(" ")
        else:
            out.append(c)
    out.append('"')
    return "".join(out)


def render_mermaid(plan: Graph) -> str:
    ids = {asset.key: f"a{i}" for i, asset in enumerate(plan.assets)}
    labels = _labels(plan)
    lines = ["flowchart LR"]
    for asset in plan.assets:
        label = mermaid_text(labels[asset.key])
        shape = f'[["{label}"]]' if asset.partitioned else f'["{label}"]'
        lines.append(f"    {ids[asset.key]}{shape}")
    for asset in plan.assets:
        for param, upstream in sorted(plan.upstreams[asset.key].items()):
            lines.append(f"    {ids[upstream]} -->|{param}| {ids[asset.key]}")  # parameters are identifiers
    if any(a.partitioned for a in plan.assets):
        lines.append("    classDef partitioned stroke-dasharray: 5 3")
        marked = ",".join(ids[a.key] for a in plan.assets if a.partitioned)
        lines.append(f"    class {marked} partitioned")
    return "\n".join(lines) + "\n"


def render_dot(plan: Graph) -> str:
    ids = {asset.key: f"a{i}" for i, asset in enumerate(plan.assets)}
    labels = _labels(plan)
    lines = ["digraph mervo {", "    rankdir=LR;", "    node [shape=box];"]
    for asset in plan.assets:
        extra = ", style=dashed, peripheries=2" if asset.partitioned else ""
        lines.append(f"    {ids[asset.key]} [label={dot_string(labels[asset.key])}{extra}];")
    for asset in plan.assets:
        for param, upstream in sorted(plan.upstreams[asset.key].items()):
            lines.append(f"    {ids[upstream]} -> {ids[asset.key]} [label={dot_string(param)}];")
    lines.append("}")
    return "\n".join(lines) + "\n"

"""What the user sees: progress while running, the summary, the asset table and graph texts."""

from __future__ import annotations

import json
import sys
from typing import TextIO

from .planning import Asset, Plan

__all__ = ["PlainReporter", "RichReporter", "asset_rows", "make_reporter", "render_dot", "render_mermaid"]


# --- progress ----------------------------------------------------------------------------


class PlainReporter:
    """One line per finished job, for logs and pipes."""

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
        if record.status == "failed" and record.error:
            line += ": " + record.error.splitlines()[0]
        print(line, file=self.stream, flush=True)

    def finish(self, result) -> None:
        counts = ", ".join(f"{n} {status}" for status, n in sorted(result.counts.items()))
        state = "interrupted" if result.interrupted else ("ok" if result.ok else "failed")
        print(f"run {state}: {counts or 'no jobs'} in {result.duration:.2f}s", file=self.stream, flush=True)


class RichReporter:
    """A live progress bar on a terminal, then a summary table."""

    def __init__(self, console):
        from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn

        self.console = console
        self.progress = Progress(
            TextColumn("[bold]mervo run"),
            BarColumn(),
            MofNCompleteColumn(),
            TextColumn("{task.fields[state]}"),
            TimeElapsedColumn(),
            console=console,
            transient=True,
        )
        self.task = None
        self.running: set[int] = set()
        self.failed = 0

    def _state(self) -> str:
        return f"{len(self.running)} running, {self.failed} failed"

    def start(self, total: int) -> None:
        self.progress.start()
        self.task = self.progress.add_task("jobs", total=total, state=self._state())

    def job_started(self, record) -> None:
        self.running.add(record.job.id)
        self.progress.update(self.task, state=self._state())

    def job_done(self, record) -> None:
        self.running.discard(record.job.id)
        self.failed += record.status == "failed"
        self.progress.update(self.task, advance=1, state=self._state())

    def finish(self, result) -> None:
        from rich.table import Table

        self.progress.stop()
        table = Table(title="mervo run", show_lines=False)
        for column in ("asset", "partition", "status", "time", "error"):
            table.add_column(column, overflow="fold")
        styles = {"ok": "green", "failed": "red", "skipped": "yellow", "cancelled": "yellow"}
        for record in result.records:
            table.add_row(
                record.job.asset.label,
                record.job.key or "",
                f"[{styles.get(record.status, '')}]{record.status}[/]",
                "" if record.duration is None else f"{record.duration:.2f}s",
                (record.error or "").splitlines()[0] if record.error else "",
            )
        self.console.print(table)
        counts = ", ".join(f"{n} {status}" for status, n in sorted(result.counts.items()))
        state = "interrupted" if result.interrupted else ("ok" if result.ok else "failed")
        self.console.print(f"run {state}: {counts or 'no jobs'} in {result.duration:.2f}s", highlight=False)


def make_reporter(stream: TextIO = sys.stdout):
    if stream.isatty():
        try:
            from rich.console import Console
        except ImportError:
            return PlainReporter(stream)
        return RichReporter(Console(file=stream))
    return PlainReporter(stream)


# --- the asset table ---------------------------------------------------------------------


def asset_rows(plan: Plan) -> list[tuple[str, ...]]:
    """Rows of `mervo list`: display name, module, function, inputs, partitions, return type."""
    rows = []
    for asset in plan.assets:
        inputs = ", ".join(f"{param}={up}" for param, up in sorted(plan.upstreams[asset.key].items()))
        dims = ", ".join(f"{d.name}({d.size})" for d in asset.dimensions)
        rows.append((asset.key, asset.module, asset.function, inputs, dims, asset.return_type or ""))
    return rows


def print_asset_table(plan: Plan, stream: TextIO = sys.stdout) -> None:
    headers = ("asset", "module", "function", "inputs", "partitions", "returns")
    rows = asset_rows(plan)
    if stream.isatty():
        try:
            from rich.console import Console
            from rich.table import Table
        except ImportError:
            pass
        else:
            table = Table()
            for header in headers:
                table.add_column(header, overflow="fold")
            for row in rows:
                table.add_row(*row)
            Console(file=stream).print(table)
            return
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(headers)]
    for row in [headers, *rows]:
        print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip(), file=stream)


# --- graph texts -------------------------------------------------------------------------


def _label(asset: Asset) -> str:
    text = asset.label
    if asset.partitioned:
        text += " [" + " x ".join(f"{d.name}:{d.size}" for d in asset.dimensions) + "]"
    return text


def render_mermaid(plan: Plan) -> str:
    ids = {asset.key: f"a{i}" for i, asset in enumerate(plan.assets)}
    lines = ["flowchart LR"]
    for asset in plan.assets:
        label = _label(asset).replace('"', "#quot;")
        shape = f'[["{label}"]]' if asset.partitioned else f'["{label}"]'
        lines.append(f"    {ids[asset.key]}{shape}")
    for asset in plan.assets:
        for param, upstream in sorted(plan.upstreams[asset.key].items()):
            lines.append(f"    {ids[upstream]} -->|{param}| {ids[asset.key]}")
    if any(a.partitioned for a in plan.assets):
        lines.append("    classDef partitioned stroke-dasharray: 5 3")
        marked = ",".join(ids[a.key] for a in plan.assets if a.partitioned)
        lines.append(f"    class {marked} partitioned")
    return "\n".join(lines) + "\n"


def render_dot(plan: Plan) -> str:
    ids = {asset.key: f"a{i}" for i, asset in enumerate(plan.assets)}
    lines = ["digraph mervo {", "    rankdir=LR;", "    node [shape=box];"]
    for asset in plan.assets:
        extra = ", style=dashed, peripheries=2" if asset.partitioned else ""
        lines.append(f"    {ids[asset.key]} [label={json.dumps(_label(asset))}{extra}];")
    for asset in plan.assets:
        for param, upstream in sorted(plan.upstreams[asset.key].items()):
            lines.append(f"    {ids[upstream]} -> {ids[asset.key]} [label={json.dumps(param)}];")
    lines.append("}")
    return "\n".join(lines) + "\n"

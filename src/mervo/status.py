"""`mervo status` and `mervo history`: what is up to date in an output folder, and what ran.

Both only read: no worker starts, nothing is written.
"""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import TextIO

from . import freshness as fresh
from .planning import UNPARTITIONED, Plan, safe_segment
from .report import print_table

__all__ = ["history_rows", "project_status", "print_status"]

UPSTREAM_STALE = "an upstream is not fresh"
MISSING = "never materialised"


def project_status(plan: Plan, sources: dict, out: Path) -> list[dict]:
    """Per asset: how many partitions are fresh, stale (by reason), missing or orphaned."""
    checker = fresh.Freshness(plan, sources)
    hashes: list[str | None] = [None] * len(plan.jobs)
    rows: dict[str, dict] = {}
    for asset in plan.assets:
        rows[asset.key] = {"asset": asset.label, "key": asset.key, "format": asset.serializer or "json", "jobs": 0,
                           "fresh": 0, "stale": {}, "missing": 0, "orphaned": 0}  # fmt: skip
    for job in plan.jobs:
        row = rows[job.asset.key]
        row["jobs"] += 1
        folder = plan.job_folder(out, job)
        recorded = fresh.recorded(folder)
        fields = checker.fields(job, hashes.__getitem__)
        if recorded is None:
            reason = MISSING
        elif fields is None:
            reason = UPSTREAM_STALE
        else:
            reason = fresh.stale_reason(folder, fields)
        if reason is None:
            row["fresh"] += 1
            hashes[job.id] = recorded["value_hash"]
        elif reason == MISSING:
            row["missing"] += 1
        else:
            row["stale"][reason] = row["stale"].get(reason, 0) + 1
    for asset in plan.assets:
        if not asset.partitioned:
            continue
        known = {safe_segment(job.key) for job in plan.jobs if job.asset is asset}
        try:
            present = [e for e in os.scandir(out / plan.folders[asset.key]) if e.is_dir() and not e.is_symlink()]
        except OSError:
            continue
        rows[asset.key]["orphaned"] = sum(1 for e in present if e.name not in known and e.name != UNPARTITIONED)
    return list(rows.values())


def print_status(rows: list[dict], stream: TextIO, as_json: bool = False) -> None:
    if as_json:
        stream.write(json.dumps({"assets": rows}, indent=2, ensure_ascii=False) + "\n")
        return
    headers = ("asset", "format", "jobs", "fresh", "stale", "missing", "orphaned")
    table = []
    for row in rows:
        stale = sum(row["stale"].values())
        why = ", ".join(f"{n} {reason}" for reason, n in sorted(row["stale"].items()))
        table.append((row["asset"], row["format"], str(row["jobs"]), str(row["fresh"]), f"{stale} ({why})" if stale else "0",
                      str(row["missing"]), str(row["orphaned"])))  # fmt: skip
    print_table(headers, table, stream)


def history_rows(history, run_id: str | None) -> tuple[tuple[str, ...], list[tuple[str, ...]]]:
    """The table of `mervo history`: runs newest first, or one run's jobs."""
    if run_id is None:
        headers = ("run", "started", "ended", "outcome", "counts", "command")
        rows = []
        for run in history.runs():
            counts = ", ".join(f"{n} {s}" for s, n in sorted((run.get("counts") or {}).items()))
            rows.append((run["id"], str(run.get("started") or ""), str(run.get("ended") or ""),
                         str(run.get("outcome") or "running"), counts, " ".join(run.get("command") or [])))  # fmt: skip
        return headers, rows
    headers = ("asset", "partition", "status", "time", "error")
    rows = []
    for job in history.jobs(run_id):
        duration = job.get("duration")
        rows.append((job["asset"], job.get("partition") or "", job["status"],
                     "" if duration is None else f"{duration:.2f}s", (job.get("error") or "").split("\n")[0]))  # fmt: skip
    return headers, rows


def print_history(history, run_id: str | None, stream: TextIO) -> None:
    headers, rows = history_rows(history, run_id)
    print_table(headers, rows, stream)

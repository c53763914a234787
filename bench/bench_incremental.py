"""Re-runs against listing, side by side in one run.

Usage: .venv/bin/python bench/bench_incremental.py

1. A project of 200 assets (one in ten partitioned 45 ways: 1,080 jobs): the first run, a
   no-op re-run (every job fresh, no worker started) and `mervo list`, with the ratio of the
   no-op re-run to `list` (the goal: at most 2x).
2. After editing one asset: the jobs that ran (that asset and the dependants whose inputs
   changed).
3. `mervo status` on 10^4 and 10^5 partitions (not yet materialised, so that the setup stays
   short; each job is still fingerprinted and looked up): time per job and its ratio.
"""

from __future__ import annotations

import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def project(count: int, edit: bool = False) -> str:
    lines = ["from mervo import asset, partitions", "P = partitions(list(range(45)))", "",
             "@asset()", "def a0():", "    return 0", ""]  # fmt: skip
    for i in range(1, count):
        upstream = i - 1 if i % 10 else 0
        body = "v + 1" if not (edit and i == 50) else "v + 2"
        if i % 10 == 5:
            lines += [f"@asset(inputs={{'v': a{upstream}}}, partitions={{'p': P}})", f"def a{i}(v, p):",
                      f"    return {body}", ""]  # fmt: skip
        elif (i - 1) % 10 == 5:  # a fan-in over the partitioned one before it
            lines += [f"@asset(inputs={{'v': a{upstream}}})", f"def a{i}(v):", f"    return sum(v.values())", ""]
        else:
            lines += [f"@asset(inputs={{'v': a{upstream}}})", f"def a{i}(v):", f"    return {body}", ""]
    return "\n".join(lines)


def timed(argv: list[str], cwd: Path) -> float:
    started = time.perf_counter()
    proc = subprocess.run(argv, cwd=cwd, capture_output=True, text=True)
    if proc.returncode:
        sys.exit(f"{' '.join(argv)} failed:\n{proc.stderr}")
    return time.perf_counter() - started


def mervo(*args: str) -> list[str]:
    return [sys.executable, "-m", "mervo", *args]


def statuses(out: Path) -> dict[str, int]:
    counts: dict[str, int] = {}
    for job in json.loads((out / "run.json").read_text())["jobs"]:
        counts[job["status"]] = counts.get(job["status"], 0) + 1
    return counts


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        (folder / "proj.py").write_text(project(200))
        out = folder / "out"
        first = timed(mervo("run", "proj", "--out", str(out), "--no-report"), folder)
        jobs = sum(statuses(out).values())
        noop = min(timed(mervo("run", "proj", "--out", str(out), "--no-report"), folder) for _ in range(3))
        fresh = statuses(out)
        listing = min(timed(mervo("list", "proj"), folder) for _ in range(3))
        print(f"200 assets, {jobs} jobs: first run {first:.2f} s; no-op re-run {noop:.2f} s ({fresh});"
              f" list {listing:.2f} s; re-run / list = {noop / listing:.2f}x")
        (folder / "proj.py").write_text(project(200, edit=True))
        timed(mervo("run", "proj", "--out", str(out), "--no-report"), folder)
        print(f"after editing a50: {statuses(out)}")

        print(f"\n{'partitions':>10} {'status s':>9} {'us/job':>8} {'x':>6}")
        first_per_job = None
        for n in (10_000, 100_000):
            (folder / f"wide{n}.py").write_text(
                "from mervo import asset, partitions\n"
                f"@asset(partitions={{'p': partitions(list(range({n})))}})\ndef w(p):\n    return p\n"
            )
            wide_out = folder / f"out{n}"
            base = timed(mervo("list", f"wide{n}"), folder)  # discovery and startup, not per job
            took = timed(mervo("status", f"wide{n}", "--out", str(wide_out), "--format", "json"), folder) - base
            per_job = took / n
            first_per_job = first_per_job or per_job
            print(f"{n:>10} {took:>9.2f} {per_job * 1e6:>8.1f} {per_job / first_per_job:>6.2f}")


if __name__ == "__main__":
    main()

"""Wall time of `mervo run` on 200 trivial assets (chains fanning out of one root).

Usage: .venv/bin/python bench/bench_run.py [--assets N]

Prints, in one run, the wall time with --jobs 1 and --jobs 2 and the orchestration
overhead per job: wall time minus the workers' own time (from run.json), per job.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def write_project(folder: Path, count: int) -> None:
    lines = ["from mervo import asset", "", "@asset()", "def a0():", "    return 0", ""]
    for i in range(1, count):
        upstream = i - 1 if i % 10 else 0  # chains of ten, each hanging off the root
        lines += [f"@asset(inputs={{'v': a{upstream}}})", f"def a{i}(v):", "    return v + 1", ""]
    (folder / "synthetic.py").write_text("\n".join(lines))


def run(folder: Path, jobs: int, *options: str) -> tuple[float, float, int]:
    """Wall time of one `mervo run`, the workers' summed time, and the number of jobs."""
    out = folder / "-".join(["out", str(jobs), *(o.strip("-") for o in options)])
    started = time.perf_counter()
    proc = subprocess.run(
        [sys.executable, "-m", "mervo", "run", "synthetic", "--out", str(out), "--jobs", str(jobs), *options],
        cwd=folder,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )
    wall = time.perf_counter() - started
    if proc.returncode != 0:
        sys.exit(f"mervo run failed: {proc.stderr}")
    record = json.loads((out / "run.json").read_text())
    worker_time = sum(job["duration"] for job in record["jobs"])
    return wall, worker_time, len(record["jobs"])


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--assets", type=int, default=200)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        write_project(folder, args.assets)
        print(f"{args.assets} trivial assets, {os.cpu_count()} CPUs")
        print(f"{'jobs':>4} {'wall s':>8} {'workers s':>10} {'per worker ms':>14} {'overhead/job ms':>16} {'overhead %':>10}")
        for jobs in (1, 2):
            wall, worker_time, n = run(folder, jobs)
            per_worker = worker_time / n
            # With N slots the workers' time is shared out over N; the rest is ours.
            overhead = (wall - worker_time / jobs) / n
            print(
                f"{jobs:>4} {wall:>8.2f} {worker_time:>10.2f} {per_worker * 1e3:>14.1f} "
                f"{overhead * 1e3:>16.2f} {overhead / per_worker * 100:>9.1f}%"
            )


if __name__ == "__main__":
    main()

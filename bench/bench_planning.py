"""Planning and discovery cost per job / per asset, across sizes, in one run.

Usage: .venv/bin/python bench/bench_planning.py [--max-jobs 1000000] [--assets 3000]

Planning: `build_plan` of a partitioned asset feeding one job per partition, at 10^4, 10^5 and
10^6 jobs, each size in a fresh interpreter; prints seconds and peak memory per job and their
ratios to the smallest size (linear growth keeps both flat).

Discovery: one generated module with N assets, `mervo list` through the command's discovery
stub against the same module through `python -m mervo.inspect`; prints time, peak memory of
the process that reads the document, and document size, side by side.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

PLAN_CHILD = """
import json, resource, sys, time
from mervo.planning import build_plan

n = int(sys.argv[1])
half = n // 2
values = json.dumps(list(range(half)), separators=(",", ":"))
def record(name, inputs=None):
    meta = {"kind": "asset", "name": None, "serializer": None, "inputs": inputs,
            "partitions": {"p": {"kind": "inline", "values_json": values}}}
    return {"module_path": "m", "file_path": "/p/m.py", "function_name": name, "decorator_metadata": meta}
document = {"assets": [record("up"), record("down", {"v": "/p/m.py:up"})]}
build_plan({"assets": [record("w")]})  # warm: imports and caches out of the measurement
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
started = time.perf_counter()
plan = build_plan(document)
elapsed = time.perf_counter() - started
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base
assert len(plan.jobs) == 2 * half
print(json.dumps({"jobs": len(plan.jobs), "seconds": elapsed, "peak_kib": peak}))
"""


def plan_sizes(max_jobs: int) -> None:
    sizes = [n for n in (10**4, 10**5, 10**6) if n <= max_jobs]
    print("planning: one asset's partitions each feeding one dependant partition")
    print(f"{'jobs':>9} {'s':>8} {'us/job':>8} {'x':>6} {'peak MiB':>9} {'B/job':>7} {'x':>6}")
    first = None
    for n in sizes:
        out = subprocess.run([sys.executable, "-c", PLAN_CHILD, str(n)], capture_output=True, text=True, check=True)
        row = json.loads(out.stdout)
        per_job = row["seconds"] / row["jobs"]
        mem_per_job = row["peak_kib"] * 1024 / row["jobs"]
        first = first or (per_job, mem_per_job)
        print(
            f"{row['jobs']:>9} {row['seconds']:>8.3f} {per_job * 1e6:>8.2f} {per_job / first[0]:>6.2f} "
            f"{row['peak_kib'] / 1024:>9.1f} {mem_per_job:>7.0f} {mem_per_job / first[1]:>6.2f}"
        )


def write_module(folder: Path, count: int) -> None:
    lines = ["from mervo import asset, partitions", "", "@asset()", "def a0():", "    return 0", ""]
    for i in range(1, count):
        lines += [f"@asset(inputs={{'v': a{i - 1}}})", f"def a{i}(v):", "    return v + 1", ""]
    (folder / "big.py").write_text("\n".join(lines))


def discovery(count: int) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        write_module(folder, count)
        source_kib = (folder / "big.py").stat().st_size / 1024
        print(f"\ndiscovery: {count} assets in one module of {source_kib:.0f} KiB")
        print(f"{'':<32} {'s':>7} {'peak MiB':>9} {'document MiB':>13}")
        rows = {}
        for label, argv in (
            ("mervo list (discovery stub)", [sys.executable, "-m", "mervo", "list", "big"]),
            ("inspection stub alone", [sys.executable, "-m", "mervo.inspect", "big"]),
            ("discovery stub alone", [sys.executable, "-m", "mervo.discover", "big"]),
        ):
            # Each in its own child so that the peak is its own.
            code = (
                "import resource, subprocess, sys, time; t = time.perf_counter(); "
                "p = subprocess.run(sys.argv[1:], stdout=subprocess.PIPE, check=True); "
                "w = time.perf_counter() - t; "
                "r = max(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, 0); "
                "print(w, r, len(p.stdout))"
            )
            out = subprocess.run([sys.executable, "-c", code, *argv], cwd=folder, capture_output=True, text=True)
            if out.returncode:
                sys.exit(out.stderr)
            wall, peak_kib, size = out.stdout.split()
            rows[label] = (float(wall), int(peak_kib) / 1024, int(size) / 2**20)
            print(f"{label:<32} {rows[label][0]:>7.2f} {rows[label][1]:>9.1f} {rows[label][2]:>13.2f}")
        a, b = rows["discovery stub alone"], rows["inspection stub alone"]
        print(f"discovery / inspection: time {a[0] / b[0]:.2f}x, peak {a[1] / b[1]:.2f}x, document {a[2] / b[2]:.4f}x")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--max-jobs", type=int, default=10**6)
    parser.add_argument("--assets", type=int, default=3000)
    args = parser.parse_args()
    plan_sizes(args.max_jobs)
    discovery(args.assets)


if __name__ == "__main__":
    main()

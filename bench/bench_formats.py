"""Benchmark: a DataFrame upstream through parquet files against the same rows as JSON records.

Usage: .venv/bin/python bench/bench_formats.py [--rows N]   (needs pandas and pyarrow)

One upstream job makes an N-row DataFrame (10^6 by default) and four partition jobs each sum
one group of it, once with the upstream written as value.parquet and read by each worker from
that file, once returning `df.to_dict("records")` through value.json and handed to each worker
as keyword-argument JSON on its standard input, as the orchestrator does for JSON values.
Printed side by side: wall times, the value file's size, the peak Python memory of the
orchestrator's own part (composing the four jobs' inputs, measured in this process with
tracemalloc), and the workers' peak RSS.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
import tracemalloc
from pathlib import Path

FLOWS = '''
import os
import numpy as np
import pandas as pd

ROWS = int(os.environ["BENCH_ROWS"])
GROUPS = ["p0", "p1", "p2", "p3"]

def make():
    rng = np.random.default_rng(0)
    index = np.arange(ROWS)
    return pd.DataFrame({"id": index, "group": np.array(GROUPS)[index % 4], "value": rng.random(ROWS),
                         "flag": index % 3 == 0})

def frame():
    return make()

def records():
    return make().to_dict("records")

def part_of_frame(data, group):
    return float(data.loc[data["group"] == group, "value"].sum())

def part_of_records(data, group):
    return float(sum(row["value"] for row in data if row["group"] == group))
'''

GROUPS = ["p0", "p1", "p2", "p3"]


def run_asset_argv(*args) -> list[str]:
    code = "import sys, json; from mervo.formats import run_asset; run_asset(*json.loads(sys.argv[1]))"
    return [sys.executable, "-c", code, json.dumps(args)]


def start(argv: list[str], cwd: Path, env: dict, stdin: bytes | None = None) -> dict:
    """Runs a worker; its peak RSS comes from wait4, which sees that child alone."""
    proc = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.PIPE if stdin is not None else None)
    if stdin is not None:
        proc.stdin.write(stdin)
        proc.stdin.close()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit(f"worker failed ({proc.returncode}): {argv[:6]}")
    return {"rss": usage.ru_maxrss * 1024}


def in_parallel(calls) -> tuple[float, list[dict]]:
    """Runs the workers at once, as `mervo run --jobs 4` would; wall time and each one's usage."""
    results: list = [None] * len(calls)

    def one(i, call):
        results[i] = start(*call)

    threads = [threading.Thread(target=one, args=(i, call)) for i, call in enumerate(calls)]
    started = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.perf_counter() - started, results


def traced(action):
    """The result of `action()`, its time, and the peak of Python allocations during it."""
    tracemalloc.start()
    started = time.perf_counter()
    result = action()
    elapsed = time.perf_counter() - started
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return result, elapsed, peak


def parquet_pipeline(root: Path, env: dict) -> dict:
    out = root / "out-parquet"
    started = time.perf_counter()
    up = start(run_asset_argv("bench_flows", "frame", str(out / "up"), {}, "parquet"), root, env)
    up_time = time.perf_counter() - started
    value = out / "up" / "value.parquet"

    def compose():  # what the orchestrator hands each job: a path, never the value
        return [run_asset_argv("bench_flows", "part_of_frame", str(out / g), {"group": g}, "json",
                               {"data": {"format": "parquet", "path": str(value)}}) for g in GROUPS]

    argvs, orchestration, peak = traced(compose)
    down_time, downs = in_parallel([(argv, root, env) for argv in argvs])
    sums = [json.loads((out / g / "value.json").read_text()) for g in GROUPS]
    return {"up": up_time, "orchestration": orchestration, "down": down_time, "size": value.stat().st_size,
            "peak": peak, "rss": max(d["rss"] for d in [up, *downs]), "sums": sums}


def json_pipeline(root: Path, env: dict) -> dict:
    out = root / "out-json"
    started = time.perf_counter()
    up = start([sys.executable, "-m", "mervo.worker", "bench_flows", "records", str(out / "up")], root, env)
    up_time = time.perf_counter() - started
    value = out / "up" / "value.json"

    def compose():  # today's way: the upstream's text spliced into each job's keyword arguments
        text = value.read_text(encoding="utf-8")
        return [('{"group":' + json.dumps(g) + ',"data":' + text + "}").encode("utf-8") for g in GROUPS]

    payloads, orchestration, peak = traced(compose)
    argv = [sys.executable, "-m", "mervo.worker", "bench_flows", "part_of_records"]
    down_time, downs = in_parallel([(argv + [str(out / g), "-"], root, env, p) for g, p in zip(GROUPS, payloads)])
    del payloads
    sums = [json.loads((out / g / "value.json").read_text()) for g in GROUPS]
    return {"up": up_time, "orchestration": orchestration, "down": down_time, "size": value.stat().st_size,
            "peak": peak, "rss": max(d["rss"] for d in [up, *downs]), "sums": sums}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=10**6)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        (root / "bench_flows.py").write_text(FLOWS)
        env = {**os.environ, "BENCH_ROWS": str(args.rows)}
        pq = parquet_pipeline(root, env)
        js = json_pipeline(root, env)
    for a, b in zip(pq["sums"], js["sums"]):  # the same answer both ways, up to summation order
        assert abs(a - b) <= 1e-9 * max(1.0, abs(a)), (pq["sums"], js["sums"])

    mib = 1024 * 1024
    rows = [
        ("upstream job, s", pq["up"], js["up"], 1),
        ("4 partition jobs (parallel), s", pq["down"], js["down"], 1),
        ("total, s", pq["up"] + pq["orchestration"] + pq["down"], js["up"] + js["orchestration"] + js["down"], 1),
        ("value file, MiB", pq["size"] / mib, js["size"] / mib, 1),
        ("orchestrator's part, s", pq["orchestration"], js["orchestration"], 1),
        ("orchestrator's part, peak MiB", pq["peak"] / mib, js["peak"] / mib, 1),
        ("worker peak RSS, MiB", pq["rss"] / mib, js["rss"] / mib, 1),
    ]
    print(f"{args.rows} rows, 4 partition jobs, {os.cpu_count()} CPUs")
    print(f"{'':32} {'parquet':>10} {'json':>10} {'json/parquet':>13}")
    for label, p, j, _ in rows:
        ratio = j / p if p else float("inf")
        print(f"{label:32} {p:>10.3f} {j:>10.3f} {ratio:>12.1f}x")
    print("orchestrator's part: measured in this process (Python allocations while composing the jobs' inputs)")
    command_comparison(args.rows)


PROJECT = """
import os
import numpy as np
import pandas as pd
from mervo import asset, partitions
from bench_flows import make, part_of_frame, part_of_records

G = partitions(["p0", "p1", "p2", "p3"])

@asset(serializer="parquet")
def frame():
    return make()

@asset(inputs={"data": frame}, partitions={"group": G})
def frame_part(data, group):
    return part_of_frame(data, group)

@asset()
def records():
    return make().to_dict("records")

@asset(inputs={"data": records}, partitions={"group": G})
def records_part(data, group):
    return part_of_records(data, group)
"""

PEAK = (
    "import sys; from mervo.cli import main; s = main(); "
    "print('PEAK', [l.split()[1] for l in open('/proc/self/status') if l.startswith('VmHWM')][0], file=sys.stderr); "
    "sys.exit(s)"
)


def command_comparison(rows: int) -> None:
    """The same two pipelines through `mervo run`: the command's own peak memory and wall time."""
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        (root / "bench_flows.py").write_text(FLOWS)
        (root / "bench_project.py").write_text(PROJECT)
        env = {**os.environ, "BENCH_ROWS": str(rows)}
        results = {}
        for label, select in (("parquet", "+bench_project.frame_part"), ("json", "+bench_project.records_part")):
            argv = [sys.executable, "-c", PEAK, "run", "bench_project", "--out", str(root / label), "--select", select,
                    "--jobs", "2", "--no-report"]  # fmt: skip
            started = time.perf_counter()
            proc = subprocess.run(argv, cwd=root, env=env, capture_output=True, text=True)
            if proc.returncode:
                sys.exit(proc.stdout + proc.stderr)
            results[label] = (time.perf_counter() - started, int(proc.stderr.rsplit("PEAK ", 1)[1].split()[0]) / 1024)
    (pt, pm), (jt, jm) = results["parquet"], results["json"]
    print(f"\nthrough `mervo run` (5 jobs each, --jobs 2):")
    print(f"{'':32} {'parquet':>10} {'json':>10} {'json/parquet':>13}")
    print(f"{'wall, s':32} {pt:>10.2f} {jt:>10.2f} {jt / pt:>12.1f}x")
    print(f"{'command peak RSS, MiB':32} {pm:>10.1f} {jm:>10.1f} {jm / pm:>12.1f}x")


if __name__ == "__main__":
    main()

"""Wall time of `mervo run` on 200 trivial jobs: the local executor against a two-worker LocalCluster.

Usage: .venv/bin/python bench/bench_dask.py [--assets N]

Prints, in one run, for each executor: the wall time of the whole command, the workers' own
time (from run.json), and the overhead per job (wall time less the workers' time shared over
the two slots). For Dask it also splits out where the rest goes: starting and closing the
cluster, and the cost of one empty task round trip on that cluster.
"""

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from bench_run import run as run_mervo
from bench_run import write_project


def import_cost() -> float:
    """Seconds that importing distributed adds to starting the command."""
    times = []
    for code in ("pass", "import distributed"):
        started = time.perf_counter()
        subprocess.run([sys.executable, "-c", code], check=True)
        times.append(time.perf_counter() - started)
    return times[1] - times[0]


def cluster_costs(tasks: int) -> tuple[float, float, float]:
    """Seconds to start and to close a two-worker cluster, and per empty task in between."""
    import distributed

    started = time.perf_counter()
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    )
    client = distributed.Client(cluster, set_as_default=False)
    startup = time.perf_counter() - started
    started = time.perf_counter()
    # one at a time after the other, as dependent jobs are
    for i in range(tasks):
        client.submit(int, i, pure=False).result()
    per_task = (time.perf_counter() - started) / tasks
    started = time.perf_counter()
    client.close()
    cluster.close()
    return startup, time.perf_counter() - started, per_task


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--assets", type=int, default=200)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        write_project(folder, args.assets)
        print(f"{args.assets} trivial assets (chains of ten off one root), --jobs 2")
        print(f"{'executor':>10} {'wall s':>8} {'workers s':>10} {'per worker ms':>14} {'overhead/job ms':>16}")
        rows = {}
        for name, executor in (("local", ()), ("dask", ("--executor", "dask"))):
            wall, worker_time, n = run_mervo(folder, 2, *executor)
            overhead = (wall - worker_time / 2) / n
            rows[name] = wall, overhead
            print(f"{name:>10} {wall:>8.2f} {worker_time:>10.2f} {worker_time / n * 1e3:>14.1f} {overhead * 1e3:>16.2f}")
        imported = import_cost()
        startup, close, per_task = cluster_costs(args.assets)
        fixed = imported + startup + close
        dask_wall, dask_overhead = rows["dask"]
        print(f"dask / local wall time: {dask_wall / rows['local'][0]:.2f}x")
        print(
            f"dask fixed costs: import {imported:.2f} s + cluster start {startup:.2f} s + close {close:.2f} s "
            f"= {fixed / args.assets * 1e3:.2f} ms/job"
        )
        print(
            f"dask per job: an empty task's round trip {per_task * 1e3:.2f} ms (one at a time); "
            f"overhead/job less the fixed costs {dask_overhead * 1e3 - fixed / args.assets * 1e3:.2f} ms"
        )


if __name__ == "__main__":
    main()

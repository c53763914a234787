"""Fork against spawn isolation for local runs, side by side in one run.

Usage: .venv/bin/python bench/bench_isolation.py [--quick]

Shapes: 200 partitions of a trivial asset; 200 partitions of an asset whose module imports
pandas (or sleeps 300 ms at import when pandas is missing); graphs of 250 and 1,000 trivial
assets in one module; 200 assets in a module importing pandas. Each shape runs with
`--isolation fork` and `--isolation spawn` at `--jobs 1` and `--jobs 2`; prints wall time,
time per job and the ratio fork/spawn. Then peak memory of the command and of the pool at
1,000 and 10,000 jobs (fork). `--quick` runs the small shapes only.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HEAVY = "import pandas\n" if importlib.util.find_spec("pandas") else "import time\ntime.sleep(0.3)\n"
HEAVY_NAME = "pandas" if importlib.util.find_spec("pandas") else "a 300 ms import"


def partitions_module(count: int, heavy: bool) -> str:
    return (HEAVY if heavy else "") + (
        "from mervo import asset, partitions\n"
        f"@asset(partitions={{'n': partitions(list(range({count})))}})\ndef cell(n):\n    return n * 2\n"
    )


def graph_module(count: int, heavy: bool) -> str:
    lines = [HEAVY if heavy else "", "from mervo import asset", "@asset()", "def a0():", "    return 0"]
    for i in range(1, count):
        upstream = i - 1 if i % 10 else 0
        lines += [f"@asset(inputs={{'v': a{upstream}}})", f"def a{i}(v):", "    return v + 1"]
    return "\n".join(lines) + "\n"


def pool_peak(command: subprocess.Popen, peaks: dict) -> None:
    """Samples the pool's peak resident size (VmHWM) while the command runs."""
    while command.poll() is None:
        try:
            children = Path(f"/proc/{command.pid}/task/{command.pid}/children").read_text().split()
        except OSError:
            children = []
        for pid in children:
            try:
                if b"mervo.pool" in Path(f"/proc/{pid}/cmdline").read_bytes():
                    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
                        if line.startswith("VmHWM:"):
                            peaks["pool"] = max(peaks.get("pool", 0), int(line.split()[1]))
            except OSError:
                pass
        time.sleep(0.05)


def run(folder: Path, module: str, isolation: str, jobs: int) -> dict:
    out = folder / f"out-{module}-{isolation}-{jobs}"
    prelude = (
        "import sys; from mervo.cli import main; s = main(); "
        "print('PEAK', [l.split()[1] for l in open('/proc/self/status') if l.startswith('VmHWM')][0], "
        "file=sys.stderr); sys.exit(s)"
    )
    argv = [sys.executable, "-c", prelude, "run", module, "--out", str(out), "--jobs", str(jobs),
            "--isolation", isolation]  # fmt: skip
    peaks: dict = {}
    started = time.perf_counter()
    proc = subprocess.Popen(argv, cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    sampler = threading.Thread(target=pool_peak, args=(proc, peaks))
    sampler.start()
    _, err = proc.communicate()
    wall = time.perf_counter() - started
    sampler.join()
    if proc.returncode != 0:
        sys.exit(f"mervo run {module} failed:\n{err}")
    peak = int(err.rsplit("PEAK ", 1)[1].split()[0])
    return {"wall": wall, "command_kib": peak, "pool_kib": peaks.get("pool", 0)}


def compare(folder: Path, label: str, module: str, source: str, jobs_count: int) -> None:
    (folder / f"{module}.py").write_text(source)
    for jobs in (1, 2):
        fork = run(folder, module, "fork", jobs)
        spawn = run(folder, module, "spawn", jobs)
        print(
            f"{label:<34} {jobs:>4} {fork['wall']:>8.2f} {spawn['wall']:>8.2f} "
            f"{fork['wall'] / jobs_count * 1e3:>10.1f} {spawn['wall'] / jobs_count * 1e3:>10.1f} "
            f"{fork['wall'] / spawn['wall']:>7.3f}",
            flush=True,
        )


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    print(f"{os.cpu_count()} CPUs; heavy module: {HEAVY_NAME}")
    print(f"{'shape':<34} {'jobs':>4} {'fork s':>8} {'spawn s':>8} {'fork ms/j':>10} {'spawn ms/j':>10} {'f/s':>7}")
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        compare(folder, "200 partitions, trivial", "parts", partitions_module(200, False), 200)
        compare(folder, f"200 partitions, {HEAVY_NAME}", "heavy_parts", partitions_module(200, True), 200)
        if not args.quick:
            compare(folder, "250 assets in one module", "g250", graph_module(250, False), 250)
            compare(folder, "1,000 assets in one module", "g1000", graph_module(1000, False), 1000)
            compare(folder, f"200 assets, {HEAVY_NAME}", "heavy_graph", graph_module(200, True), 200)
        print(f"\npeak memory, fork ({'jobs':>6}): command MiB, pool MiB, per 1,000 jobs")
        sizes = (1000,) if args.quick else (1000, 10000)
        for count in sizes:
            (folder / f"mem{count}.py").write_text(partitions_module(count, False))
            row = run(folder, f"mem{count}", "fork", 2)
            print(
                f"{count:>6} jobs: command {row['command_kib'] / 1024:>7.1f}  pool {row['pool_kib'] / 1024:>7.1f}  "
                f"wall {row['wall']:>6.2f} s"
            )


if __name__ == "__main__":
    main()

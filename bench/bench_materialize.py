"""Benchmark: the fixed cost of one worker process, against a plain standard-library script.

Run with the interpreter that has mervo installed: .venv/bin/python bench/bench_materialize.py [ROUNDS]
"""

import pathlib
import re
import statistics
import subprocess
import sys
import tempfile
import time

ASSET = "def trivial():\n    return {'answer': 42}\n"

# What the worker does for this asset, with the standard library only.
PLAIN = """
import importlib, inspect, json, pathlib
out = pathlib.Path("out/plain")
out.mkdir(parents=True, exist_ok=True)
function = getattr(importlib.import_module("bench_assets"), "trivial")
value = function()
(out / "value.json").write_text(json.dumps(value), "utf-8")
record = {"artifact_format": "json", "function_name": "trivial", "module_path": "bench_assets", "ok": True,
          "result_type": type(value).__name__, "signature": str(inspect.signature(function)),
          "value_path": str(out / "value.json")}
(out / "result.json").write_text(json.dumps(record, sort_keys=True, separators=(",", ":")), "utf-8")
"""


def wall(argv, cwd):
    started = time.perf_counter()
    subprocess.run(argv, cwd=cwd, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - started


def import_time_us(cwd):
    done = subprocess.run([sys.executable, "-X", "importtime", "-c", "import _mervo"], cwd=cwd,
                          capture_output=True, text=True, check=True)
    line = next(l for l in done.stderr.splitlines() if l.rstrip().endswith("| _mervo"))
    return int(re.match(r"import time:\s+(\d+)", line).group(1))


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    with tempfile.TemporaryDirectory() as folder:
        root = pathlib.Path(folder)
        (root / "bench_assets.py").write_text(ASSET)
        worker = [sys.executable, "-m", "mervo.worker", "bench_assets", "trivial", "out/worker"]
        plain = [sys.executable, "-c", PLAIN]
        bare = [sys.executable, "-c", "pass"]
        for argv in (worker, plain, bare):  # warm the page cache and the bytecode caches
            wall(argv, root)
        assert (root / "out/worker/result.json").read_bytes() == (root / "out/plain/result.json").read_bytes().replace(
            b"out/plain", b"out/worker")
        times = {"worker": [], "plain": [], "bare": [], "import": []}
        for _ in range(rounds):  # interleaved, so drifting load hits all alike
            times["worker"].append(wall(worker, root))
            times["plain"].append(wall(plain, root))
            times["bare"].append(wall(bare, root))
            times["import"].append(import_time_us(root))

    med = {name: statistics.median(values) for name, values in times.items()}
    print(f"rounds: {rounds} (medians)")
    print(f"python -m mervo.worker (trivial asset): {med['worker'] * 1e3:8.2f} ms")
    print(f"python -c, standard library only:       {med['plain'] * 1e3:8.2f} ms")
    print(f"python -c pass (interpreter alone):     {med['bare'] * 1e3:8.2f} ms")
    print(f"worker / plain script:                  {med['worker'] / med['plain']:8.3f}x  (target <= 1.1)")
    print(f"worker - plain script:                  {(med['worker'] - med['plain']) * 1e3:8.2f} ms")
    print(f"import _mervo (-X importtime, self):    {med['import'] / 1e3:8.3f} ms  (target < 1)")


if __name__ == "__main__":
    main()

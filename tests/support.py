"""Helpers shared by the test files; each topic below keeps its own section."""

from __future__ import annotations

import gc
import json
import os
import subprocess
import sys
import textwrap

# --- native module: errors, leaks, subprocesses, texts


def error_of(action):
    """The exception `action()` raises (BaseException included), to compare with the host's."""
    try:
        action()
    except BaseException as error:  # noqa: B036 - SystemExit and PanicException count too
        return error
    raise AssertionError(f"{action!r} raised nothing")


def raises(function, *args, **kwargs):
    """Whether `function(*args, **kwargs)` raised anything at all."""
    try:
        function(*args, **kwargs)
    except BaseException:  # noqa: B036
        return True
    return False


def block_growth(action, rounds, warmup=20, batches=1):
    """Blocks the allocator still holds after `rounds` more calls of `action`: the least of
    `batches` tries, since a leak grows every batch and a cache of the host's fills only once."""
    for _ in range(warmup):  # interned names, imports, type attribute caches
        action()
    growth = []
    for _ in range(batches):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(rounds):
            action()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
    return min(growth)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def resident_growth(action, rounds, warmup=10):
    """Bytes of resident memory added by `rounds` more calls: native copies live outside the
    allocator that block_growth watches."""
    for _ in range(warmup):
        action()
    gc.collect()
    before = resident_bytes()
    for _ in range(rounds):
        action()
    gc.collect()
    return resident_bytes() - before


def under_address_sanitizer():
    try:
        with open("/proc/self/maps") as maps:
            return "libasan" in maps.read()
    except OSError:
        return False


def run_python(*args, cwd=None, stdin=None, env=None, text=True, timeout=60):
    """Runs this interpreter with `args`, capturing both streams; `env` adds to the current one."""
    return subprocess.run(
        [sys.executable, *args], cwd=cwd, input=stdin, capture_output=True, text=text, timeout=timeout,
        env=None if env is None else {**os.environ, **env},
    )


def run_code(code, cwd=None, timeout=60):
    """Runs a dedented snippet in a fresh interpreter."""
    return run_python("-c", textwrap.dedent(code), cwd=cwd, timeout=timeout)


def compact(value):
    """The text the module's writer gives for `value`, as the host renders it."""
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def host_equivalent(value):
    """What the JSON reader is expected to keep of a host value: ints beyond 64 bits become doubles."""
    if isinstance(value, bool) or value is None:
        return value
    if isinstance(value, int):
        return value if -(2**63) <= value < 2**64 else float(value)
    if isinstance(value, list):
        return [host_equivalent(v) for v in value]
    if isinstance(value, dict):
        return {k: host_equivalent(v) for k, v in value.items()}
    return value


def asset_record(function, module="flows", file="/p/flows.py", name=None, inputs=None, partitions=None):
    """An inspection record as inspect_modules writes it, for the parts planning reads;
    `partitions` maps each dimension to its values as Python data."""
    parts = None
    if partitions is not None:
        parts = {dim: {"kind": "inline", "values_json": compact(values)} for dim, values in partitions.items()}
    return {
        "kind": "asset",
        "module_path": module,
        "file_path": file,
        "function_name": function,
        "return_type": None,
        "decorator_metadata": {"kind": "asset", "name": name, "serializer": None, "inputs": inputs,
                               "partitions": parts},
    }


# --- formats


def write_distribution(root, name, entry_points, modules):
    """An installed distribution as importlib.metadata finds it on sys.path, no installer needed:
    `root`/<name>-1.0.dist-info with `entry_points` ({group: {name: "module:attribute"}}), and
    `modules` ({module name: source}) beside it."""
    import importlib
    import pathlib

    root = pathlib.Path(root)
    info = root / f"{name.replace('-', '_')}-1.0.dist-info"
    info.mkdir(parents=True)
    (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {name}\nVersion: 1.0\n")
    sections = [f"[{group}]\n" + "".join(f"{ep} = {target}\n" for ep, target in eps.items())
                for group, eps in entry_points.items()]
    (info / "entry_points.txt").write_text("\n".join(sections))
    for module, source in modules.items():
        (root / f"{module}.py").write_text(textwrap.dedent(source))
    importlib.invalidate_caches()
    return info


# --- html report


def box_overlaps(placed):
    """Pairs of boxes of a layout that overlap (touching edges do not count)."""
    boxes = sorted((x, y, x + placed.sizes[n][0], y + placed.sizes[n][1], n) for n, (x, y) in placed.positions.items())
    found = []
    for i, (x1, y1, r1, b1, n1) in enumerate(boxes):
        for x2, y2, r2, b2, n2 in boxes[i + 1:]:
            if x2 >= r1:
                break
            if y2 < b1 and y1 < b2:
                found.append((n1, n2))
    return found


def report_asset(id, label=None, inputs=(), partitions=None, statuses=("ok",), error=None, traceback=None,
                 log=None, duration=0.25, size=64):
    """One asset of a report model; `inputs` holds (parameter, upstream id, fan_in) and
    `partitions` the partition keys (None: one unpartitioned job). Failed jobs get the texts given."""
    keys = [None] if partitions is None else list(partitions)
    jobs = []
    for i, key in enumerate(keys):
        status = statuses[i % len(statuses)]
        failed = status == "failed"
        jobs.append({"partition": key, "status": status, "duration": duration if status in ("ok", "failed") else None,
                     "error": (error or "ValueError: bad") if failed else None,
                     "value_size": size if status == "ok" else None,
                     "traceback": traceback if failed else None, "log_tail": log if failed else None})
    name = label or id
    return {"id": id, "key": f"/work/flows.py:{name}", "label": name, "module": "flows", "file": "/work/flows.py",
            "line": 10, "inputs": [{"parameter": p, "upstream": u, "fan_in": f} for p, u, f in inputs],
            "dimensions": [] if partitions is None else [{"name": "part", "size": len(keys)}],
            "format": "json", "jobs": jobs}


def report_model(assets, run=True):
    counts = {}
    for asset in assets:
        for job in asset["jobs"]:
            counts[job["status"]] = counts.get(job["status"], 0) + 1
    record = {"state": "finished", "ok": set(counts) <= {"ok"}, "started": "2026-12-09T10:00:00Z",
              "duration": 1.25, "counts": counts}
    return {"title": "mervo — flows", "generated": "2026-12-09T10:00:02Z", "run": record if run else None,
            "assets": assets}


def example_report_model():
    """The bundled example after a run with MERVO_EXAMPLE_FAIL=1: `checked` fails, `published` is skipped."""
    tickers = [f"{t}|{m}" for m in ("2026-01", "2026-02") for t in ("AAPL", "GOOG", "MSFT")]
    traceback = ('Traceback (most recent call last):\n  File "/work/examples/quickstart/flows.py", line 47, '
                 'in checked\n    raise ValueError("failing on purpose (MERVO_EXAMPLE_FAIL=1)")\n'
                 "ValueError: failing on purpose (MERVO_EXAMPLE_FAIL=1)")
    assets = [
        report_asset("a0", "flows.raw"),
        report_asset("a1", "flows.processed", inputs=[("data", "a0", False)]),
        report_asset("a2", "prices", partitions=tickers, duration=0.11),
        report_asset("a3", "flows.price_report", inputs=[("prices", "a2", True)]),
        report_asset("a4", "flows.checked", inputs=[("numbers", "a1", False)], statuses=("failed",),
                     error="ValueError: failing on purpose (MERVO_EXAMPLE_FAIL=1)", traceback=traceback,
                     log="checking 8 numbers\n"),
        report_asset("a5", "flows.published", inputs=[("total", "a4", False)], statuses=("skipped",)),
    ]
    return report_model(assets)


def find_chromium():
    import shutil

    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


def chromium(browser, url, *flags, timeout=60):
    """Runs headless Chromium on `url` with `flags` (e.g. --dump-dom, --screenshot=PATH)."""
    import tempfile

    with tempfile.TemporaryDirectory() as profile:
        return subprocess.run(
            [browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--hide-scrollbars",
             f"--user-data-dir={profile}", "--window-size=1400,820", *flags, url],
            capture_output=True, text=True, timeout=timeout,
        )


# --- fingerprints


def function_source(module_text, name):
    """The source of def `name` in a module text as inspection reports it: decorators included,
    dedented, stripped, one newline appended."""
    import ast

    text = textwrap.dedent(module_text)
    node = next(n for n in ast.walk(ast.parse(text)) if isinstance(n, ast.FunctionDef) and n.name == name)
    first = min([node.lineno] + [d.lineno for d in node.decorator_list])
    lines = text.splitlines()[first - 1 : node.end_lineno]
    return textwrap.dedent("\n".join(lines)).strip() + "\n"


def _reachable_by_anyone(path):
    path = os.path.realpath(path)
    folders = [os.path.dirname(path)]
    while os.path.dirname(folders[-1]) != folders[-1]:
        folders.append(os.path.dirname(folders[-1]))
    return os.stat(path).st_mode & 0o001 and all(os.stat(f).st_mode & 0o001 for f in folders)


def run_unprivileged(code, timeout=60):
    """Runs a snippet in a fresh interpreter as an ordinary user, so that file modes apply
    (root ignores them): as nobody when this process is root, with an interpreter nobody may
    run (this one may live under root's home). Skips the test when there is none."""
    import shutil

    import pytest

    python = sys.executable
    if os.geteuid() == 0:
        candidates = [sys.executable, shutil.which("python3"), "/usr/bin/python3"]
        python = next((c for c in candidates if c and os.path.exists(c) and _reachable_by_anyone(c)), None)
        if python is None:
            pytest.skip("no interpreter an unprivileged user may run")

    def drop():
        if os.geteuid() == 0:
            os.setgid(65534)
            os.setuid(65534)

    return subprocess.run(
        [python, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout,
        preexec_fn=drop, cwd="/",
    )


# --- running the mervo command

# A small project with every input shape: a plain value, a fan-in over partitions, and one
# partition per partition.
PROJECT = """
    import os
    from mervo import asset, partitions

    @asset()
    def raw():
        return [1, 2, 3]

    @asset(inputs={"data": raw})
    def doubled(data):
        return [x * 2 for x in data]

    @asset(name="grid", partitions={"x": partitions([1, 2]), "y": partitions(["a", "b"])})
    def grid(x, y):
        return f"{x}{y}"

    @asset(inputs={"cells": "grid"})
    def together(cells):
        return cells

    @asset(inputs={"cell": "grid"}, partitions={"x": partitions([1, 2]), "y": partitions(["a", "b"])})
    def per_cell(cell, x, y):
        return [cell, x, y]
"""


def mervo(root, *args, env=None, timeout=120, prelude=None):
    """Runs the command in `root`; `prelude` is Python code run instead of `-m mervo`."""
    head = ["-c", prelude] if prelude else ["-m", "mervo"]
    return subprocess.run(
        [sys.executable, *head, *args], cwd=root, capture_output=True, text=True, timeout=timeout,
        env={**os.environ, **(env or {})},
    )


def start_mervo(root, *args, env=None):
    """The command as a running process, its output in pipes."""
    return subprocess.Popen(
        [sys.executable, "-m", "mervo", *args], cwd=root, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        text=True, env={**os.environ, **(env or {})},
    )


def run_record(out):
    return json.loads((out / "run.json").read_text())


def statuses(out):
    return {(j["asset"].rsplit(":", 1)[-1], j["partition"]): j["status"] for j in run_record(out)["jobs"]}


def value(out, asset_folder, partition="_"):
    return json.loads((out / asset_folder / partition / "value.json").read_text())


def wait_for(predicate, timeout=30, proc=None):
    """Polls `predicate` until true; fails early when `proc` ended first."""
    import time

    deadline = time.monotonic() + timeout
    while not predicate():
        if proc is not None and proc.poll() is not None:
            raise AssertionError(f"the command ended first: {proc.communicate()}")
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting")
        time.sleep(0.05)


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


# --- discovery


def run_discover(root, *modules, env=None):
    """Runs the project stub in `root`, which holds the modules; both streams as bytes."""
    return run_python("-m", "mervo.discover", *modules, cwd=root, env=env, text=False)


class FakeExecutor:
    """Runs jobs in this process for scheduling tests: `outcome(call)` returns the value to
    store, or raises to fail the job. Records the calls it was given."""

    slots = 2

    def __init__(self, outcome):
        self.outcome = outcome
        self.calls = []

    def submit(self, call):
        from concurrent.futures import Future

        from mervo.jobs import WorkerOutcome

        self.calls.append(call)
        try:
            value = self.outcome(call)
        except Exception as exc:
            record, status = {"error": f"{type(exc).__qualname__}: {exc}", "error_type": type(exc).__name__,
                              "ok": False}, 1
        else:
            (call.folder / "value.json").write_text(json.dumps(value))
            record, status = {"ok": True, "value_path": str(call.folder / "value.json")}, 0
        (call.folder / "result.json").write_text(json.dumps(record))
        future = Future()
        future.set_result(WorkerOutcome(status, 0.0))
        return future

    def shutdown(self, cancel=False):
        pass


class QuietReporter:
    def start(self, total):
        self.done = []

    def job_started(self, record):
        pass

    def job_done(self, record):
        self.done.append(record)

    def finish(self, result):
        pass


# --- terminal


def terminal_console(width=120):
    """A rich console that takes itself for a terminal, and the stream it writes to."""
    import io

    from rich.console import Console

    stream = io.StringIO()
    return Console(file=stream, force_terminal=True, width=width), stream


def finished_attempt(job_folder, attempt_id, ok, log="", traceback=None, module="flows", attribute="f"):
    """One finished attempt made with the real job-folder functions: its job file, log and
    result, then promoted when `ok`, else kept as the failed attempt."""
    from pathlib import Path

    from mervo import jobs

    attempt = jobs.start_attempt(Path(job_folder), attempt_id)
    jobs.write_job(jobs.WorkerCall(module, attribute, attempt.folder, "{}", Path.cwd()))
    attempt.log.write_text(log, encoding="utf-8")
    if traceback is not None:
        (attempt.folder / jobs.TRACEBACK).write_text(traceback, encoding="utf-8")
    if ok:
        (attempt.folder / "value.json").write_text("1")
        result = {"ok": True, "value_path": str(attempt.folder / "value.json")}
    else:
        result = {"error": "ValueError: bad", "error_type": "ValueError", "ok": False}
    (attempt.folder / "result.json").write_text(json.dumps(result))
    (jobs.promote if ok else jobs.record_failure)(attempt)
    return attempt


def screen_text(stream):
    """What a terminal stream shows as text: colours and cursor moves left out."""
    import re

    return re.sub(r"\x1b\[[0-9;?]*[A-Za-z]", "", stream.getvalue()).replace("\r", "\n")

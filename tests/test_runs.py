"""Runs that can be trusted: failures never look like success, values are never lost or
mixed up, nothing is left running, whatever the user's code or the machine does."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest
from support import FakeExecutor, QuietReporter, alive, mervo, run_record, start_mervo, statuses, value, wait_for

from mervo.output import OutputFolder
from mervo.planning import build_plan
from mervo.runner import run_plan

TINY = """
    from mervo import asset

    @asset()
    def tiny():
        return 1
"""

# Each module fails to import; the line is where the error points in the user's file.
UNIMPORTABLE = {
    "import error": ("import os\nimport no_such_package_xyz\n", 2),
    "syntax error": ("x = 1\ndef broken(:\n    pass\n", 2),
    "sys.exit": ("import sys\n\nsys.exit(3)\n", 3),
    # Python 3.9 and 3.10 report a decorator's failure at the def line below it
    "bare decorator": ("from mervo import asset\n\n@asset\ndef f():\n    return 1\n", 3 if sys.version_info >= (3, 11) else 4),
    "deep partition value": (
        "from mervo import asset, partitions\nv = 1\nfor _ in range(200):\n    v = [v]\n"
        "@asset(partitions={'p': partitions([v])})\ndef f(p):\n    return p\n",
        5,
    ),
}

# Every run here goes through both isolation levels.
pytestmark = pytest.mark.usefixtures("isolation")


@pytest.mark.parametrize("kind", list(UNIMPORTABLE))
def test_a_module_that_cannot_be_imported_stops_every_command(user_modules, kind):
    source, line = UNIMPORTABLE[kind]
    user_modules.write("tiny", TINY)
    path = user_modules.root / "broken.py"
    path.write_text(source)
    out = user_modules.root / "out"
    for command in (["list"], ["graph"], ["run", "--out", str(out)]):
        result = mervo(user_modules.root, command[0], "tiny", "broken", *command[1:])
        assert result.returncode == 1, (command, result.stdout)
        assert result.stderr.startswith(f"mervo: error: {path}:{line}: cannot import module 'broken'"), result.stderr
    assert not out.exists()  # not even tiny ran


def test_a_misspelt_module_is_an_error_with_a_hint(user_modules):
    user_modules.write("tiny", TINY)
    result = mervo(user_modules.root, "run", "tinyy", "--out", str(user_modules.root / "out"))
    assert result.returncode == 1
    assert "No module named 'tinyy'" in result.stderr and "'tiny'" in result.stderr


def test_a_package_brings_the_assets_of_its_submodules(user_modules):
    user_modules.write("salesflow.extract", "from mervo import asset\n@asset()\ndef orders():\n    return [1]\n")
    user_modules.write(
        "salesflow.deep.report",
        "from mervo import asset\nfrom salesflow.extract import orders\n"
        "@asset(inputs={'o': orders})\ndef total(o):\n    return sum(o)\n",
    )
    out = user_modules.root / "out"
    result = mervo(user_modules.root, "run", "salesflow", "--out", str(out))
    assert result.returncode == 0, result.stderr
    assert statuses(out) == {("orders", None): "ok", ("total", None): "ok"}
    assert value(out, "report.total") == 1


def test_factory_made_assets_run_their_own_function(user_modules):
    user_modules.write(
        "loaders",
        """
        from mervo import asset

        def make_loader(table):
            @asset(name=f"load_{table}")
            def load():
                return table
            return load

        @asset()
        def load():
            return "plain"

        load_users = make_loader("users")
        load_orders = make_loader("orders")
        """,
    )
    out = user_modules.root / "out"
    assert mervo(user_modules.root, "run", "loaders", "--out", str(out)).returncode == 0
    assert [value(out, f) for f in ("loaders.load", "load_users", "load_orders")] == ["plain", "users", "orders"]


FLAKY = """
    import os
    from mervo import asset

    @asset()
    def flaky():
        if os.environ.get("FAIL"):
            print("about to fail")
            raise ValueError("bad day")
        return 1
"""


def test_a_failed_rerun_keeps_the_last_good_pair(user_modules):
    user_modules.write("flaky", FLAKY)
    out = user_modules.root / "out"
    job = out / "flaky.flaky" / "_"
    assert mervo(user_modules.root, "run", "flaky", "--out", str(out)).returncode == 0
    good = (job / "result.json").read_text()
    # the environment is not in the fingerprint: --force runs it again
    assert mervo(user_modules.root, "run", "flaky", "--out", str(out), "--force", env={"FAIL": "1"}).returncode == 1
    assert value(out, "flaky.flaky") == 1 and (job / "result.json").read_text() == good
    failed = json.loads((job / "failed" / "result.json").read_text())
    assert failed == {"error": "ValueError: bad day", "error_type": "ValueError", "ok": False}
    assert "about to fail" in (job / "failed" / "log.txt").read_text()
    (record,) = run_record(out)["jobs"]
    assert record["status"] == "failed" and record["log"] == str(job / os.readlink(job / "failed") / "log.txt")
    # a later success replaces the pair and clears the failure away
    assert mervo(user_modules.root, "run", "flaky", "--out", str(out)).returncode == 0
    assert not (job / "failed").exists() and len(os.listdir(job / "attempts")) == 1


def test_a_copied_output_folder_runs_on(user_modules):
    import shutil

    user_modules.write("flaky", FLAKY)
    out = user_modules.root / "out"
    assert mervo(user_modules.root, "run", "flaky", "--out", str(out)).returncode == 0
    copy = user_modules.root / "copy"
    shutil.copytree(out, copy)  # follows the links: `current` becomes a folder
    assert mervo(user_modules.root, "run", "flaky", "--out", str(copy), "--force").returncode == 0
    assert os.path.islink(copy / "flaky.flaky" / "_" / "current") and value(copy, "flaky.flaky") == 1


def test_an_asset_named_like_the_run_record_is_its_own_folder(user_modules):
    user_modules.write("odd", "from mervo import asset\n@asset(name='run.json')\ndef f():\n    return 2\n")
    out = user_modules.root / "out"
    assert mervo(user_modules.root, "run", "odd", "--out", str(out)).returncode == 0
    assert run_record(out)["ok"] is True and value(out, "%72un.json") == 2


# The command, then its own peak resident size (KiB) on stderr. VmHWM, not ru_maxrss: that one
# carries the peak of whoever forked us (pytest) across exec.
PEAK_PRELUDE = (
    "import sys; from mervo.cli import main; status = main(); "
    "print('peak', [l.split()[1] for l in open('/proc/self/status') if l.startswith('VmHWM')][0], file=sys.stderr); "
    "sys.exit(status)"
)

SLOW = """
    import os, subprocess, time
    from mervo import asset

    @asset()
    def slow():
        # a child in the worker's group that would outlive it
        child = subprocess.Popen(["sleep", "60"])
        with open(os.environ["PIDS"] + ".part", "w") as f:
            f.write(f"{os.getpid()} {child.pid}")
        os.replace(os.environ["PIDS"] + ".part", os.environ["PIDS"])
        time.sleep(float(os.environ.get("SLEEP", "60")))
        return "late"
"""


def _started(user_modules, tmp_path, *extra, env=None):
    user_modules.write("slow", SLOW)
    pids = tmp_path / "pids"
    out = user_modules.root / "out"
    proc = start_mervo(user_modules.root, "run", "slow", "--out", str(out), *extra, env={"PIDS": str(pids), **(env or {})})
    wait_for(pids.exists, proc=proc)
    return proc, out, [int(p) for p in pids.read_text().split()]


def test_the_run_record_says_running_and_a_second_run_is_refused(user_modules, tmp_path):
    proc, out, pids = _started(user_modules, tmp_path)
    try:
        record = run_record(out)
        assert record["ok"] is False and record["state"] == "running" and record["command"][:3] == ["mervo", "run", "slow"]
        assert record["started"].endswith("Z")
        second = mervo(user_modules.root, "run", "slow", "--out", str(out))
        assert second.returncode == 1
        assert second.stderr == f"mervo: error: output folder {out} is in use by another mervo run (pid {proc.pid})\n"
        proc.kill()  # kill -9: no chance to clean up
        proc.wait()
        # the worker ends itself (its child is its own business once the group leader is
        # gone, but nothing of it writes into the job folder)
        wait_for(lambda: not alive(pids[0]), timeout=10)
        assert run_record(out)["state"] == "running" and not (out / "slow.slow" / "_" / "value.json").exists()
    finally:
        proc.kill()
        for pid in pids:
            if alive(pid):
                os.kill(pid, signal.SIGKILL)


@pytest.mark.parametrize("signals, status", [([signal.SIGTERM], 143), ([signal.SIGINT, signal.SIGINT], 130)])
def test_a_stopped_run_kills_its_workers_and_records_what_happened(user_modules, tmp_path, signals, status):
    proc, out, pids = _started(user_modules, tmp_path)
    try:
        for signum in signals:
            proc.send_signal(signum)  # a second one arrives during the shutdown
        _, stderr = proc.communicate(timeout=30)
        assert proc.returncode == status, stderr
        assert "Traceback" not in stderr
        record = run_record(out)
        assert record["state"] == "interrupted" and record["signal"] == signal.Signals(signals[0]).name
        assert [j["status"] for j in record["jobs"]] == ["cancelled"]
        wait_for(lambda: not any(alive(p) for p in pids), timeout=10)
    finally:
        proc.kill()


def test_a_job_ends_with_its_worker_and_its_output_stays_out_of_memory(user_modules, tmp_path):
    user_modules.write(
        "noisy",
        """
        import os, subprocess, sys
        from mervo import asset

        @asset()
        def noisy():
            chunk = "x" * 1023 + "\\n"
            for _ in range(200 * 1024):  # 200 MiB
                sys.stdout.write(chunk)
            sys.stdout.flush()
            # a daemon child that keeps standard output open
            child = subprocess.Popen(["sleep", "60"])
            open(os.environ["CHILD"], "w").write(str(child.pid))
            return 1
        """,
    )
    out = user_modules.root / "out"
    child = tmp_path / "child"
    prelude = PEAK_PRELUDE
    started = time.monotonic()
    result = mervo(user_modules.root, "run", "noisy", "--out", str(out), prelude=prelude, env={"CHILD": str(child)})
    assert result.returncode == 0, result.stderr
    assert time.monotonic() - started < 30
    peak_kib = int(result.stderr.split("peak ")[1])
    assert peak_kib < 150 * 1024, peak_kib
    assert not alive(int(child.read_text()))
    log = out / "noisy.noisy" / "_" / "log.txt"
    assert log.stat().st_size < 1024 * 1024 + 200 and "bytes of output left out" in log.read_text()


def test_skips_propagate_down_a_10000_long_chain(tmp_path):
    chain = [{"module_path": "m", "file_path": "/p/m.py", "function_name": "a0", "decorator_metadata": {}}]
    for i in range(1, 10_000):
        meta = {"inputs": {"v": f"/p/m.py:a{i - 1}"}}
        chain.append({"module_path": "m", "file_path": "/p/m.py", "function_name": f"a{i}", "decorator_metadata": meta})
    plan = build_plan({"assets": chain})

    def fail(call):
        raise ValueError("first")

    with OutputFolder.open(tmp_path / "out", ["test"]) as folder:
        result = run_plan(plan, FakeExecutor(fail), folder, QuietReporter())
    assert result.counts == {"failed": 1, "skipped": 9_999}
    assert run_record(tmp_path / "out")["jobs"][-1]["error"] == "skipped: upstream m.a0 failed"


def test_list_counts_partitions_without_expanding_them(user_modules):
    user_modules.write(
        "wide",
        "from mervo import asset, partitions\nr = partitions(list(range(1000)))\n"
        "@asset(partitions={'x': r, 'y': r})\ndef cell(x, y):\n    return x * y\n",
    )
    prelude = PEAK_PRELUDE
    result = mervo(user_modules.root, "list", "wide", prelude=prelude)
    assert result.returncode == 0 and "x(1000), y(1000)" in result.stdout
    assert int(result.stderr.split("peak ")[1]) < 100 * 1024  # 10^6 jobs took 704 MB


@pytest.mark.parametrize("layout", ["a file", "under a file"])
def test_an_unusable_output_folder_is_one_line(user_modules, layout):
    user_modules.write("tiny", TINY)
    blocker = user_modules.root / "blocker"
    blocker.write_text("")
    out = blocker if layout == "a file" else blocker / "out"
    result = mervo(user_modules.root, "run", "tiny", "--out", str(out))
    assert result.returncode == 1
    assert result.stderr.count("\n") == 1 and result.stderr.startswith("mervo: error: ") and str(out) in result.stderr
    assert ("a file is in the way" if layout == "a file" else "Not a directory") in result.stderr


@pytest.fixture
def small_disk(tmp_path):
    disk = tmp_path / "disk"
    disk.mkdir()
    if os.geteuid() != 0 or subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(disk)]).returncode:
        pytest.skip("needs root and tmpfs mounts to fill a disk")
    yield disk
    subprocess.run(["umount", "-l", str(disk)])


def test_a_full_disk_is_named_as_the_cause(user_modules, small_disk):
    user_modules.write("big", "from mervo import asset\n@asset()\ndef big():\n    return 'x' * 3_000_000\n")
    result = mervo(user_modules.root, "run", "big", "--out", str(small_disk / "out"))
    assert result.returncode == 1
    (job,) = run_record(small_disk / "out")["jobs"]
    assert "No space left on device" in job["error"], job["error"]


def test_a_failed_job_keeps_its_traceback(user_modules):
    path = user_modules.write(
        "regions",
        """
        from mervo import asset

        def lookup(table, key):
            try:
                return table[key]
            except KeyError as exc:
                raise LookupError(f"no region {key}") from exc

        @asset()
        def sales():
            return lookup({"EU": 1}, "APAC")

        @asset()
        def frame():
            return object()
        """,
    )
    out = user_modules.root / "out"
    assert mervo(user_modules.root, "run", "regions", "--out", str(out)).returncode == 1
    jobs = {j["label"]: j for j in run_record(out)["jobs"]}
    trace = open(jobs["regions.sales"]["traceback"]).read()
    assert f'File "{path}", line 6, in lookup' in trace and "KeyError: 'APAC'" in trace
    assert "direct cause" in trace and "traced" not in trace
    assert jobs["regions.sales"]["traceback_line"] == "LookupError: no region APAC"
    assert jobs["regions.frame"]["error"].startswith("asset regions.frame returned a value of type object, which JSON cannot hold")
    failed = out / "regions.sales" / "_" / "failed" / "result.json"
    assert json.loads(failed.read_text()) == {"error": "LookupError: no region APAC", "error_type": "LookupError", "ok": False}


def test_jobs_are_isolated_from_each_other(user_modules):
    user_modules.write(
        "shared",
        """
        import os, signal
        from mervo import asset, partitions

        STATE = {"count": 0}

        @asset(partitions={"n": partitions([1, 2, 3, 4])})
        def bump(n):
            STATE["count"] += 1
            if n == 2:
                os.kill(os.getpid(), signal.SIGSEGV)
            if n == 3:
                os._exit(7)
            return STATE["count"]
        """,
    )
    out = user_modules.root / "out"
    assert mervo(user_modules.root, "run", "shared", "--out", str(out), "--jobs", "1").returncode == 1
    jobs = {j["partition"]: j for j in run_record(out)["jobs"]}
    assert [jobs[k]["status"] for k in "1234"] == ["ok", "failed", "failed", "ok"]
    assert jobs["2"]["error"].startswith("worker was killed by SIGSEGV") and jobs["3"]["exit_status"] == 7
    assert value(out, "shared.bump", "1") == value(out, "shared.bump", "4") == 1  # each job sees a fresh global


@pytest.mark.parametrize(
    "prelude, reason",
    [
        ("import threading, time\nthreading.Thread(target=time.sleep, args=(30,), daemon=True).start()\n",
         "the project started 1 thread while being imported"),
        ("__mervo_isolation__ = 'spawn'\n", "module threaded sets __mervo_isolation__ = 'spawn'"),
    ],
)
def test_the_pool_falls_back_to_spawn_when_forking_is_unsafe(user_modules, prelude, reason):
    user_modules.write("threaded", prelude + "from mervo import asset\n@asset()\ndef a():\n    return 1\n")
    out = user_modules.root / "out"
    result = mervo(user_modules.root, "run", "threaded", "--out", str(out), env={"MERVO_ISOLATION": "fork"})
    assert result.returncode == 0, result.stderr
    assert result.stderr == f"mervo: {reason}: each job runs in a fresh interpreter instead (--isolation spawn)\n"
    assert value(out, "threaded.a") == 1

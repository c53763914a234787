"""The Dask executor end to end, on clusters of two worker processes on loopback."""

import glob
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

import pytest
from support import PROJECT, run_record, statuses

distributed = pytest.importorskip("distributed")

# Under the sanitizer stage, Dask's own processes end with an interpreter object or two
# still allocated, which the leak checker cannot tell from a leak of the extension's; the
# worker stubs that the cluster starts are the ones test_cli runs under it anyway.
pytestmark = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""), reason="Dask's processes under the leak checker"
)

FAILING = """
    from mervo import asset

    @asset()
    def bad():
        raise ValueError("no luck")

    @asset(inputs={"v": bad})
    def after_bad(v):
        return v
"""

# Kills the process that started the worker stub, which must be a Dask worker: never the
# orchestrator nor pytest. A marker makes it kill only once, so a rerun would succeed.
KILLER = """
    import os, signal
    from mervo import asset

    @asset()
    def victim():
        guarded = {int(os.environ[k]) for k in ("GUARD_ORCHESTRATOR", "GUARD_PYTEST") if k in os.environ}
        if os.getppid() in guarded:
            raise RuntimeError("the worker stub runs in the orchestrator")
        try:
            os.close(os.open(os.environ["KILL_MARKER"], os.O_CREAT | os.O_EXCL))
        except FileExistsError:
            return "ran again"
        os.kill(os.getppid(), signal.SIGKILL)
        return "survived"

    @asset()
    def bystander():
        return 1
"""

# Runs the command with its own pid in the environment, for the killer's guard.
WRAPPER = "import os, sys; os.environ['GUARD_ORCHESTRATOR'] = str(os.getpid()); from mervo.cli import main; sys.exit(main())"


def mervo(root, *args, env=None, prelude=WRAPPER, timeout=120):
    return subprocess.run(
        [sys.executable, "-c", prelude, *args],
        cwd=root,
        capture_output=True,
        text=True,
        timeout=timeout,
        env={**os.environ, **(env or {})},
    )


def output_files(out):
    """The files a reader sees in each job folder: the last good pair, the last failure."""
    shown = {}
    for job in {p.parent for p in out.glob("*/*/attempts")}:
        for name in ("value.json", "result.json", "failed/result.json"):
            if (job / name).exists():
                shown[(job / name).relative_to(out)] = (job / name).read_bytes()
    return shown


def test_same_files_and_statuses_as_the_local_executor(user_modules):
    user_modules.write("proj", PROJECT)
    user_modules.write("failing", FAILING)
    # Characters that the result's "value_path" has to escape.
    out = user_modules.root / 'out "é" \\ \x01'
    local = mervo(user_modules.root, "run", "proj", "failing", "--out", str(out), "--jobs", "2")
    assert local.returncode == 1, local.stderr
    local_files, local_jobs = output_files(out), run_record(out)["jobs"]
    local_statuses = statuses(out)

    dask = mervo(user_modules.root, "run", "proj", "failing", "--out", str(out), "--jobs", "2", "--executor", "dask",
                 "--force")
    assert dask.returncode == 1, dask.stderr
    assert dask.stderr == ""
    assert output_files(out) == local_files
    assert len(local_files) == 2 * 11 + 1  # the failed job leaves its failure record alone
    assert statuses(out) == local_statuses
    assert sorted(local_statuses.values()).count("skipped") == 1
    fields = ("asset", "partition", "status", "error", "exit_status", "folder")
    dask_jobs = run_record(out)["jobs"]
    assert [{k: j[k] for k in fields} for j in dask_jobs] == [{k: j[k] for k in fields} for j in local_jobs]
    assert all(j["duration"] > 0 for j in dask_jobs if j["status"] != "skipped")


@pytest.fixture
def own_cluster(monkeypatch, user_modules):
    """A cluster of our own, with the scheduler's default retries: the user's modules are
    importable on its workers through PYTHONPATH, as on a real cluster."""
    monkeypatch.setenv("PYTHONPATH", str(user_modules.root))
    monkeypatch.setenv("GUARD_PYTEST", str(os.getpid()))
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None
    ) as cluster:
        yield cluster.scheduler_address


@pytest.mark.parametrize("where", ["local cluster", "--scheduler"])
def test_a_dask_worker_killed_during_a_job_fails_that_job(user_modules, tmp_path, monkeypatch, request, where):
    user_modules.write("killer", KILLER)
    monkeypatch.setenv("KILL_MARKER", str(tmp_path / "killed"))  # before our cluster starts
    out = user_modules.root / "out"
    args = ["run", "killer", "--out", str(out), "--executor", "dask"]
    if where == "--scheduler":
        args += ["--scheduler", request.getfixturevalue("own_cluster")]
    result = mervo(user_modules.root, *args, timeout=60)
    assert result.returncode == 1, result.stdout + result.stderr
    assert (tmp_path / "killed").exists()
    jobs = {j["asset"].rsplit(":", 1)[-1]: j for j in run_record(out)["jobs"]}
    assert jobs["bystander"]["status"] == "ok"
    victim = jobs["victim"]
    assert victim["status"] == "failed", victim
    assert victim["error"].startswith("could not run the worker: the Dask worker running it died (tcp://127.0.0.1:")
    assert not (out / "killer.victim" / "_" / "result.json").exists()  # never succeeded
    # nothing of the killed Dask worker is left: its job folder was cleared away
    left = [p for p in glob.glob(os.path.join(tempfile.gettempdir(), "mervo-job-*-*"))
            if not os.path.exists(f"/proc/{p.split('mervo-job-')[1].split('-')[0]}")]
    assert left == []


def test_ctrl_c_cancels_the_running_jobs(user_modules, tmp_path):
    user_modules.write(
        "slow",
        """
        import os, time
        from mervo import asset

        @asset()
        def slow():
            with open(os.environ["PID_FILE"] + ".part", "w") as f:
                f.write(str(os.getpid()))
            os.replace(os.environ["PID_FILE"] + ".part", os.environ["PID_FILE"])
            time.sleep(60)
        """,
    )
    out = user_modules.root / "out"
    pid_file = tmp_path / "pid"
    proc = subprocess.Popen(
        [sys.executable, "-m", "mervo", "run", "slow", "--out", str(out), "--executor", "dask"],
        cwd=user_modules.root,
        env={**os.environ, "PID_FILE": str(pid_file)},
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        deadline = time.monotonic() + 30
        while not pid_file.exists():
            assert proc.poll() is None and time.monotonic() < deadline, proc.communicate()
            time.sleep(0.1)
        stub = int(pid_file.read_text())
        proc.send_signal(signal.SIGINT)
        _, stderr = proc.communicate(timeout=30)
    finally:
        proc.kill()
    assert proc.returncode == 130, stderr
    record = run_record(out)
    assert record["interrupted"] is True and record["jobs"][0]["status"] == "cancelled"
    # the worker stub on the Dask worker was stopped, not left to run on
    deadline = time.monotonic() + 10
    while os.path.exists(f"/proc/{stub}") and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not os.path.exists(f"/proc/{stub}")


def _closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize(
    "args, prelude, message",
    [
        (
            ["--executor", "dask"],
            "import sys; sys.modules['distributed'] = None; from mervo.cli import main; sys.exit(main())",
            "mervo: error: --executor dask needs the optional extra: pip install 'mervo[dask]'",
        ),
        (
            ["--executor", "dask", "--scheduler", "tcp://127.0.0.1:{port}"],
            WRAPPER,
            "mervo: error: cannot reach the Dask scheduler at tcp://127.0.0.1:{port}: ",
        ),
        (["--scheduler", "tcp://127.0.0.1:{port}"], WRAPPER, "mervo: error: --scheduler needs --executor dask"),
    ],
)
def test_refused_in_one_line_before_any_job(user_modules, args, prelude, message):
    user_modules.write("proj", PROJECT)
    out = user_modules.root / "out"
    port = _closed_port()
    args = [a.format(port=port) for a in args]
    env = {"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "1s"}
    result = mervo(user_modules.root, "run", "proj", "--out", str(out), *args, env=env, prelude=prelude)
    assert result.returncode == 1
    assert result.stderr.startswith(message.format(port=port)) and result.stderr.count("\n") == 1, result.stderr
    assert result.stdout == "" and not out.exists()


def test_value_path_is_rewritten_with_the_writers_escapes():
    # The member is found only as a key, never inside another string.
    from mervo.dask_executor import relocate_result

    remote = "/tmp/mervo-job-x/out/value.json"
    decoy = json.dumps({"signature": '"value_path":"' + remote + '"'}, separators=(",", ":"))[:-1]
    result = (decoy + f',"value_path":"{remote}"}}').encode()
    relocated = relocate_result(result, remote, '/o/"é"\t/value.json')
    assert json.loads(relocated) == {"signature": '"value_path":"' + remote + '"', "value_path": '/o/"é"\t/value.json'}


def test_losing_the_scheduler_settles_every_job(user_modules, tmp_path, monkeypatch):
    user_modules.write(
        "steady",
        "import os, time\nfrom mervo import asset\n"
        + "".join(
            f"@asset()\ndef s{i}():\n    open(os.environ['STARTED'], 'a').write('x')\n    time.sleep(1)\n    return {i}\n"
            for i in range(6)
        ),
    )
    started_file = tmp_path / "started"
    monkeypatch.setenv("PYTHONPATH", str(user_modules.root))
    monkeypatch.setenv("STARTED", str(started_file))  # the Dask worker's environment
    port = _closed_port()
    address = f"tcp://127.0.0.1:{port}"
    scheduler = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                                  "--port", str(port), "--no-dashboard"], stderr=subprocess.DEVNULL)
    worker = subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", address, "--nthreads", "1",
                               "--no-dashboard"], stderr=subprocess.DEVNULL)
    out = user_modules.root / "out"
    try:
        env = {"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "3s"}
        proc = subprocess.Popen(
            [sys.executable, "-m", "mervo", "run", "steady", "--out", str(out), "--executor", "dask",
             "--scheduler", address, "--jobs", "1"],
            cwd=user_modules.root, env={**os.environ, **env}, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        )
        deadline = time.monotonic() + 60
        while not started_file.exists():
            assert proc.poll() is None and time.monotonic() < deadline, proc.communicate()
            time.sleep(0.05)
        scheduler.kill()
        killed = time.monotonic()
        proc.communicate(timeout=60)
        assert time.monotonic() - killed < 3 + 15
        assert proc.returncode == 1
        record = run_record(out)
        assert record["state"] == "finished" and not record["ok"]
        assert {j["status"] for j in record["jobs"]} <= {"ok", "failed"}
        assert any("lost the Dask scheduler" in (j["error"] or "") for j in record["jobs"])
    finally:
        for p in (scheduler, worker):
            p.kill()
            p.wait()


def test_values_of_other_formats_travel_with_the_tasks(user_modules):
    pytest.importorskip("pyarrow")
    user_modules.write(
        "frames",
        """
        import pandas as pd
        from mervo import asset, partitions

        @asset(serializer="parquet")
        def table():
            return pd.DataFrame({"region": ["EU", "US"], "sales": [1.5, 2.5]})

        @asset(serializer="pickle", inputs={"t": table}, partitions={"region": partitions(["EU", "US"])})
        def total(t, region):
            return (type(t).__name__, float(t[t.region == region].sales.sum()))
        """,
    )
    out = user_modules.root / "out"
    result = mervo(user_modules.root, "run", "frames", "--out", str(out), "--executor", "dask", "--jobs", "2")
    assert result.returncode == 0, result.stdout + result.stderr
    import mervo as mv

    assert [mv.load(out, "frames.total", r) for r in ("EU", "US")] == [("DataFrame", 1.5), ("DataFrame", 2.5)]
    assert json.loads((out / "frames.table" / "_" / "result.json").read_text())["value_path"] == str(
        out / "frames.table" / "_" / "value.parquet")

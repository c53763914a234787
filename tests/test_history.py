"""The run history database: round trips, and every way it can be unusable without stopping a run."""

import json
import os
import shutil
import sqlite3
import sys
import tempfile

import pytest

from mervo import history as history_module
from mervo.history import FILE_NAME, History
from support import run_unprivileged

JOBS = [
    {"asset": "raw", "partition": None, "status": "ok", "duration": 0.25, "fingerprint": "f1", "value_hash": "v1",
     "error": None},
    {"asset": "prices", "partition": "AAPL|2026", "status": "failed", "duration": 1.5, "fingerprint": "f2",
     "value_hash": None, "error": "ValueError: bad"},
    {"asset": "report", "partition": None, "status": "skipped", "duration": None, "fingerprint": None,
     "value_hash": None, "error": "skipped (upstream failed)"},
    {"asset": "clean", "partition": None, "status": "fresh", "duration": None, "fingerprint": "f4",
     "value_hash": "v4", "error": None},
]


def record_run(history, run_id, jobs=JOBS, started=100.0):
    history.start_run(run_id, started, ["mervo", "run", "flows", "--out", "out"])
    history.record_jobs(run_id, jobs[:2])
    history.record_jobs(run_id, jobs[2:])
    counts = {}
    for job in jobs:
        counts[job["status"]] = counts.get(job["status"], 0) + 1
    history.finish_run(run_id, started + 2, counts, "failed")


def test_round_trip_of_runs_and_their_jobs(tmp_path):
    with History.open(tmp_path) as history:
        assert history.available, history.problem
        assert history.runs() == [] and history.latest_run_id() is None
        record_run(history, "run-1")
        history.start_run("run-2", 200.0, ["mervo", "run", "flows"])  # still running
    history = History.open(tmp_path, write=False)
    assert history.available, history.problem
    assert history.latest_run_id() == "run-2"
    assert history.runs() == [
        {"id": "run-2", "started": 200.0, "ended": None, "command": ["mervo", "run", "flows"], "counts": None,
         "outcome": None},
        {"id": "run-1", "started": 100.0, "ended": 102.0, "command": ["mervo", "run", "flows", "--out", "out"],
         "counts": {"ok": 1, "failed": 1, "skipped": 1, "fresh": 1}, "outcome": "failed"},
    ]
    assert [run["id"] for run in history.runs(limit=1)] == ["run-2"]
    assert history.jobs("run-1") == JOBS
    assert history.jobs("run-2") == [] and history.jobs("no such run") == []


def lock_exclusively(path):
    conn = sqlite3.connect(path / FILE_NAME, isolation_level=None)
    conn.execute("BEGIN EXCLUSIVE")
    return conn


def locked(path):
    with History.open(path) as history:
        record_run(history, "run-1")
    return lock_exclusively(path)


def garbage(path):
    (path / FILE_NAME).write_bytes(bytes(range(256)) * 64)


def newer_schema(path):
    with History.open(path):
        pass
    with sqlite3.connect(path / FILE_NAME) as conn:
        conn.execute("UPDATE schema SET version = version + 1")


def foreign_database(path):
    with sqlite3.connect(path / FILE_NAME) as conn:
        conn.execute("CREATE TABLE accounts (id INTEGER)")


def not_a_folder(path):
    (path / "out").write_text("a file where the output folder should be")


@pytest.mark.parametrize(
    "spoil, expected",
    [
        (garbage, "not a database"),
        (locked, "locked"),
        (newer_schema, "newer mervo"),
        (foreign_database, "other tables"),
        (not_a_folder, "unable to open"),
    ],
)
def test_an_unusable_database_is_reported_once_and_ignored(tmp_path, spoil, expected):
    holder = spoil(tmp_path)
    out = tmp_path / "out" if spoil is not_a_folder else tmp_path
    problems = []
    history = History.open(out, busy_timeout=0.1, on_problem=problems.append)
    assert not history.available and expected in history.problem and "\n" not in history.problem
    assert problems == [history.problem]
    record_run(history, "run-1")  # all no-ops, none raises
    assert history.runs() == [] and history.jobs("run-1") == [] and history.latest_run_id() is None
    assert problems == [history.problem]
    if spoil is garbage:
        assert (tmp_path / FILE_NAME).read_bytes() == bytes(range(256)) * 64  # left for the user to look at
    if holder is not None:
        holder.close()


def fill_the_disk(history, path):
    history._conn.execute("PRAGMA max_page_count = " + str(history._conn.execute("PRAGMA page_count").fetchone()[0]))


@pytest.mark.parametrize("trouble, expected", [(lambda h, p: lock_exclusively(p), "locked"),
                                               (fill_the_disk, "full")])
def test_a_failure_mid_run_turns_the_history_off(tmp_path, trouble, expected):
    problems = []
    history = History.open(tmp_path, busy_timeout=0.1, on_problem=problems.append)
    history.start_run("run-1", 1.0, ["mervo", "run"])
    holder = trouble(history, tmp_path)
    history.record_jobs("run-1", [{**JOBS[0], "error": "x" * 5000}] * 200)
    assert not history.available and expected in history.problem
    if holder is not None:
        holder.close()
    history.finish_run("run-1", 2.0, {"ok": 200}, "ok")
    assert history.runs() == [] and problems == [history.problem]
    reader = History.open(tmp_path, write=False)
    assert reader.jobs("run-1") == [] and reader.runs()[0]["outcome"] is None  # nothing half-written


def test_readers_and_the_writer_do_not_block_each_other(tmp_path):
    writer = History.open(tmp_path, busy_timeout=0.1)
    record_run(writer, "run-1")
    # A reader in the middle of reading does not stop the run from writing...
    reading = sqlite3.connect(tmp_path / FILE_NAME, isolation_level=None)
    reading.execute("BEGIN")
    assert reading.execute("SELECT COUNT(*) FROM jobs").fetchone() == (4,)
    record_run(writer, "run-2")
    assert writer.available, writer.problem
    assert reading.execute("SELECT COUNT(*) FROM jobs").fetchone() == (4,)  # its own snapshot
    reading.close()
    # ...and a writer in the middle of a transaction does not stop readers.
    holder = lock_exclusively(tmp_path)
    holder.execute("DELETE FROM jobs")
    reader = History.open(tmp_path, write=False, busy_timeout=0.1)
    assert [run["id"] for run in reader.runs()] == ["run-2", "run-1"] and len(reader.jobs("run-2")) == 4
    holder.close()
    writer.close()


@pytest.fixture
def world_readable_folders():
    """Folders an unprivileged child can reach (pytest's own temporary folders are private)."""
    made = []

    def make():
        made.append(tempfile.mkdtemp(prefix="mervo-history-"))
        return made[-1]

    yield make
    for folder in made:
        os.chmod(folder, 0o755)
        shutil.rmtree(folder)


@pytest.mark.skipif(sys.platform != "linux", reason="drops privileges the Linux way when root")
def test_a_read_only_folder(world_readable_folders):
    folders = {"empty": world_readable_folders(), "recorded": world_readable_folders()}
    with History.open(folders["recorded"]) as history:
        record_run(history, "run-1")
    for folder in folders.values():
        for name in os.listdir(folder):
            os.chmod(os.path.join(folder, name), 0o644)
        os.chmod(folder, 0o555)
    code = f"""
        import importlib.util, json
        # By its file: the package itself needs the extension, built for another interpreter
        spec = importlib.util.spec_from_file_location("history", {json.dumps(history_module.__file__)})
        history = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(history)
        History = history.History
        out = {{}}
        for name, folder in {json.dumps(folders)}.items():
            for write in (True, False):
                h = History.open(folder, write=write)
                out[name + ("-write" if write else "-read")] = [h.available, h.problem, len(h.jobs("run-1"))]
        print(json.dumps(out))
    """
    result = run_unprivileged(code)
    assert result.returncode == 0, result.stderr
    seen = json.loads(result.stdout)
    assert seen["empty-write"][0] is False and "unable to open" in seen["empty-write"][1]
    assert seen["recorded-write"][0] is False and seen["recorded-write"][1]
    assert seen["empty-read"][0] is False and "no run recorded" in seen["empty-read"][1]
    assert seen["recorded-read"] == [True, None, 4]  # status and history still read it

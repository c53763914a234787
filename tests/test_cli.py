"""The `mervo` command end to end, through real inspection and worker processes."""

import json

import pytest
from support import PROJECT, mervo, run_record, statuses, value

def test_run_materialises_every_asset_and_partition(user_modules):
    user_modules.write("proj", PROJECT)
    out = user_modules.root / "out"
    result = mervo(user_modules.root, "run", "proj", "--out", str(out), "--jobs", "2")
    assert result.returncode == 0, result.stdout + result.stderr
    assert set(statuses(out).values()) == {"ok"}
    assert len(statuses(out)) == 1 + 1 + 4 + 1 + 4
    assert value(out, "proj.doubled") == [2, 4, 6]
    assert value(out, "grid", "1%7Ca") == "1a"
    assert value(out, "proj.together") == {"1|a": "1a", "1|b": "1b", "2|a": "2a", "2|b": "2b"}
    assert value(out, "proj.per_cell", "2%7Cb") == ["2b", 2, "b"]
    # one plain line per finished job when not on a terminal, then the summary
    lines = result.stdout.splitlines()
    assert sum(line.startswith("[") for line in lines) == 11 and lines[-2].startswith("run ok: 11 ok")
    assert lines[-1] == f"report: {out / 'report.html'}" and "<svg" in (out / "report.html").read_text()

# Every run here goes through both isolation levels.
pytestmark = pytest.mark.usefixtures("isolation")


def test_list_and_graph(user_modules):
    user_modules.write("proj", PROJECT)
    listed = mervo(user_modules.root, "list", "proj")
    assert listed.returncode == 0, listed.stderr
    rows = {line.split()[0]: line for line in listed.stdout.splitlines()[1:]}
    assert "x(2), y(2)" in rows["grid"]
    mermaid = mervo(user_modules.root, "graph", "proj").stdout
    assert mermaid.startswith("flowchart LR\n") and "-->|cells|" in mermaid and "class " in mermaid
    dot = mervo(user_modules.root, "graph", "proj", "--format", "dot").stdout
    assert dot.startswith("digraph mervo {") and '[label="data"]' in dot and "peripheries=2" in dot


def test_a_failure_skips_its_dependants_and_the_rest_goes_on(user_modules):
    user_modules.write(
        "flaky",
        """
        from mervo import asset

        @asset()
        def good():
            return 1

        @asset()
        def bad():
            raise ValueError("no luck")

        @asset(inputs={"v": bad})
        def after_bad(v):
            return v

        @asset(inputs={"v": after_bad})
        def further(v):
            return v

        @asset(inputs={"v": good})
        def after_good(v):
            return v + 1
        """,
    )
    out = user_modules.root / "out"
    result = mervo(user_modules.root, "run", "flaky", "--out", str(out))
    assert result.returncode == 1
    assert statuses(out) == {
        ("good", None): "ok",
        ("bad", None): "failed",
        ("after_bad", None): "skipped",
        ("further", None): "skipped",
        ("after_good", None): "ok",
    }
    jobs = {j["asset"].rsplit(":", 1)[-1]: j for j in run_record(out)["jobs"]}
    assert jobs["bad"]["error"] == "ValueError: no luck" and jobs["bad"]["exit_status"] == 1
    assert jobs["further"]["error"] == "skipped: upstream flaky.bad failed"


def test_a_killed_worker_is_a_failed_job_not_an_earlier_success(user_modules):
    user_modules.write(
        "killer",
        """
        import os, signal
        from mervo import asset

        @asset()
        def victim():
            if os.environ.get("KILL_IT"):
                os.kill(os.getpid(), signal.SIGKILL)
            return "fine"
        """,
    )
    out = user_modules.root / "out"
    assert mervo(user_modules.root, "run", "killer", "--out", str(out)).returncode == 0
    assert value(out, "killer.victim") == "fine"
    result = mervo(user_modules.root, "run", "killer", "--out", str(out), "--force", env={"KILL_IT": "1"})
    assert result.returncode == 1
    (job,) = run_record(out)["jobs"]
    assert job["status"] == "failed" and job["exit_status"] == -9
    assert job["error"].startswith("worker was killed by SIGKILL (out of memory?) without writing result.json")
    # the last good pair stays, complete, and run.json tells this run's outcome
    assert value(out, "killer.victim") == "fine"
    good = json.loads((out / "killer.victim" / "_" / "result.json").read_text())
    assert good["ok"] is True and good["value_path"] == str(out / "killer.victim" / "_" / "value.json")


def test_a_large_upstream_value_reaches_its_dependant(user_modules):
    user_modules.write(
        "big",
        """
        from mervo import asset

        @asset()
        def blob():
            return "x" * (2 * 1024 * 1024)

        @asset(inputs={"text": blob})
        def size(text):
            return len(text)
        """,
    )
    out = user_modules.root / "out"
    result = mervo(user_modules.root, "run", "big", "--out", str(out))
    assert result.returncode == 0, result.stdout + result.stderr
    assert value(out, "big.size") == 2 * 1024 * 1024


@pytest.mark.parametrize(
    "source, message",
    [
        (
            """
            from mervo import asset

            @asset(inputs={"v": "nowhere:thing"})
            def lost(v):
                return v
            """,
            "broken.py:4: asset 'broken.lost': input 'v': no asset is named 'nowhere:thing'",
        ),
        (
            """
            from mervo import asset

            @asset(name="a", inputs={"v": "b"})
            def a(v):
                return v

            @asset(name="b", inputs={"v": "a"})
            def b(v):
                return v
            """,
            "dependency cycle: a -> b -> a",
        ),
    ],
)
def test_unrunnable_projects_are_refused_before_any_worker(user_modules, source, message):
    user_modules.write("broken", source)
    out = user_modules.root / "out"
    result = mervo(user_modules.root, "run", "broken", "--out", str(out))
    assert result.returncode == 1
    assert message in result.stderr
    assert not out.exists()


def test_select_runs_the_selection_and_its_upstreams(user_modules):
    user_modules.write("proj", PROJECT)
    out = user_modules.root / "out"
    result = mervo(user_modules.root, "run", "proj", "--out", str(out), "--select", "doubled")
    assert result.returncode == 0, result.stderr
    assert statuses(out) == {("raw", None): "ok", ("doubled", None): "ok"}

"""Re-runs: fresh jobs start no worker, edits re-run exactly what they affect, selections,
failures re-run, status and history."""

import json

import pytest
from support import mervo, run_record

PIPELINE = """
from mervo import asset, partitions

SCALE = 10

def helper(x):
    return x * SCALE

def unrelated():
    return "unrelated"

@asset()
def base():
    return helper(1)

@asset(inputs={{"b": base}}, partitions={{"region": partitions({regions})}})
def sales(b, region):
    return {{"region": region, "total": b + len(region)}}

@asset(inputs={{"parts": sales}})
def report(parts):
    return sorted(parts)

@asset(inputs={{"b": base}})
def parity(b):
    return b % 2
"""


def write(user_modules, regions=("EU", "US"), **edits):
    source = PIPELINE.format(regions=list(regions))
    for old, new in edits.items():
        source = source.replace(old.replace("_", " "), new)
    user_modules.write("pipe", source)


def ran(user_modules, *args):
    """Runs the pipeline; returns {job label: status}."""
    out = user_modules.root / "out"
    result = mervo(user_modules.root, "run", "pipe", "--out", str(out), *args)
    assert result.returncode in (0, 1) and "Traceback" not in result.stderr, result.stderr
    return {(j["label"] + (f"[{j['partition']}]" if j["partition"] else "")): j["status"]
            for j in run_record(out)["jobs"]}


def statuses_of(result, status):
    return sorted(k for k, v in result.items() if v == status)


ALL = ["pipe.base", "pipe.parity", "pipe.report", "pipe.sales[EU]", "pipe.sales[US]"]


@pytest.mark.parametrize(
    "edit, reruns",
    [
        ({}, []),
        ({"x * SCALE": "x * SCALE  # a comment"}, []),  # comments are not code
        ({'return "unrelated"': 'return "other"'}, []),
        # base's value changes: everything downstream of it re-runs
        ({"return x * SCALE": "return x * SCALE + 1"}, ALL),
        # report's own code: only report
        ({"return sorted(parts)": "return sorted(parts, reverse=True)"}, ["pipe.report"]),
        # parity re-runs; its value stays 0 and nothing depends on it
        ({"return b % 2": "return (b + 2) % 2"}, ["pipe.parity"]),
    ],
)
def test_a_rerun_runs_exactly_what_an_edit_affects(user_modules, edit, reruns):
    write(user_modules)
    assert statuses_of(ran(user_modules), "ok") == ALL
    write(user_modules, **{k.replace(" ", "_"): v for k, v in edit.items()})
    result = ran(user_modules)
    assert statuses_of(result, "ok") == reruns
    assert statuses_of(result, "fresh") == sorted(set(ALL) - set(reruns))


def test_early_cutoff_keeps_dependants_of_an_unchanged_value_fresh(user_modules):
    write(user_modules)
    ran(user_modules)
    # base's code changes, its value does not: only base runs again
    write(user_modules, **{"return_helper(1)": "return helper(2) - 10"})
    result = ran(user_modules)
    assert statuses_of(result, "ok") == ["pipe.base"] and len(statuses_of(result, "fresh")) == 4


def test_added_partitions_run_alone_and_removed_ones_are_orphaned(user_modules):
    write(user_modules)
    ran(user_modules)
    write(user_modules, regions=("EU", "US", "APAC"))
    result = ran(user_modules)
    assert statuses_of(result, "ok") == ["pipe.report", "pipe.sales[APAC]"]
    write(user_modules, regions=("EU",))
    assert statuses_of(ran(user_modules), "ok") == ["pipe.report"]
    status = mervo(user_modules.root, "status", "pipe", "--out", str(user_modules.root / "out"), "--format", "json")
    rows = {row["asset"]: row for row in json.loads(status.stdout)["assets"]}
    assert rows["pipe.sales"]["orphaned"] == 2 and rows["pipe.sales"]["fresh"] == 1


@pytest.mark.parametrize(
    "args, runs",
    [
        (["--select", "pipe.report", "--force"], ["pipe.report"]),
        (["--select", "pipe.base+", "--force"], ALL),
        (["--select", "+pipe.report", "--force"], ["pipe.base", "pipe.report", "pipe.sales[EU]", "pipe.sales[US]"]),
        (["--select", "pipe.sales[US]", "--force"], ["pipe.sales[US]"]),
        (["--select", "pipe.sales", "--partition", "region=EU", "--force"], ["pipe.sales[EU]"]),
        (["--force"], ALL),
    ],
)
def test_selections(user_modules, args, runs):
    write(user_modules)
    ran(user_modules)
    result = ran(user_modules, *args)
    assert statuses_of(result, "ok") == runs
    assert all(v in ("ok", "fresh") for v in result.values())


def test_a_selection_that_matches_nothing_names_the_closest(user_modules):
    write(user_modules)
    result = mervo(user_modules.root, "run", "pipe", "--select", "pipe.reprot")
    assert result.returncode == 1 and "did you mean 'pipe.report'" in result.stderr


def test_failed_reruns_what_did_not_finish_and_history_keeps_every_run(user_modules):
    write(user_modules, **{"return_sorted(parts)": "raise ValueError('boom')"})
    first = ran(user_modules)
    assert first["pipe.report"] == "failed"
    write(user_modules)
    again = ran(user_modules, "--failed")
    assert again == {"pipe.report": "ok", "pipe.sales[EU]": "fresh", "pipe.sales[US]": "fresh", "pipe.base": "fresh"}
    out = str(user_modules.root / "out")
    listing = mervo(user_modules.root, "history", "--out", out)
    lines = listing.stdout.splitlines()
    assert listing.returncode == 0 and len(lines) == 3 and "ok" in lines[1] and "failed" in lines[2]
    run_id = lines[2].split()[0]
    jobs = mervo(user_modules.root, "history", run_id, "--out", out).stdout
    assert "ValueError: boom" in jobs and jobs.count(" ok ") == 4


def test_status_says_why_jobs_are_stale(user_modules):
    write(user_modules)
    ran(user_modules)
    write(user_modules, **{"return_sorted(parts)": "return list(parts)"})
    out = str(user_modules.root / "out")
    rows = {r["asset"]: r for r in json.loads(mervo(user_modules.root, "status", "pipe", "--out", out,
                                                    "--format", "json").stdout)["assets"]}
    assert rows["pipe.report"]["stale"] == {"code changed": 1} and rows["pipe.sales"]["fresh"] == 2
    table = mervo(user_modules.root, "status", "pipe", "--out", out).stdout
    assert "1 (1 code changed)" in table


def test_a_corrupt_history_never_stops_a_run(user_modules):
    write(user_modules)
    out = user_modules.root / "out"
    out.mkdir()
    (out / "history.sqlite").write_bytes(b"not a database at all" * 100)
    result = mervo(user_modules.root, "run", "pipe", "--out", str(out))
    assert result.returncode == 0
    assert result.stderr.count("history unavailable") == 1 and "history.sqlite" in result.stderr

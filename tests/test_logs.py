"""`mervo logs`: finding a job folder by the names a user knows, and the log of its latest or failed attempt."""

import io
import json

import pytest
from support import asset_record, finished_attempt

from mervo.logs import LogsError, find_job, log_path, print_log
from mervo.planning import build_plan
from mervo.runner import JobRecord, JobStatus


@pytest.fixture
def out(tmp_path):
    """prices (function flows.fetch) with EU ok and APAC failed after an earlier success,
    and flows.report ok; run.json as the runner writes it."""
    plan = build_plan({"assets": [asset_record("fetch", name="prices", partitions={"region": ["EU", "APAC"]}),
                                  asset_record("report", inputs={"p": "prices"})]})
    root = tmp_path / "out"
    records = []
    for job in plan.jobs:
        folder = plan.job_folder(root, job)
        attribute = job.asset.function
        attempt = finished_attempt(folder, "r1", True, f"r1 {job.label}\n", attribute=attribute)
        status = JobStatus.OK
        if job.key == "APAC":
            attempt = finished_attempt(folder, "r2", False, "r2 APAC\n", attribute=attribute)
            status = JobStatus.FAILED
        records.append(JobRecord(job, status, folder=folder, attempt=attempt))
    (root / "run.json").write_text(json.dumps({"jobs": [r.as_json() for r in records]}))
    return root


@pytest.mark.parametrize(
    "asset, partition, folder",
    [
        ("prices", "APAC", "prices/APAC"),  # the name
        ("flows.fetch", "EU", "prices/EU"),  # module.function
        ("fetch", "EU", "prices/EU"),  # the function alone, when it is unique
        ("flows.report", None, "flows.report/_"),  # the label of an unnamed asset
        ("/p/flows.py:report", None, "flows.report/_"),  # its key
    ],
)
@pytest.mark.parametrize("with_record", [True, False])
def test_each_name_form_finds_the_job(out, asset, partition, folder, with_record):
    if not with_record:  # an output folder whose run.json is gone: its folders still tell
        (out / "run.json").unlink()
    assert find_job(out, asset, partition) == out / folder


@pytest.mark.parametrize(
    "partition, attempt, text",
    [("APAC", "latest", "r2 APAC\n"), ("APAC", "failed", "r2 APAC\n"), ("EU", "latest", "r1 prices[EU]\n")],
)
def test_latest_and_failed_attempts(out, partition, attempt, text):
    stream = io.StringIO()
    print_log(log_path(find_job(out, "prices", partition), attempt), stream)
    assert stream.getvalue() == text


def test_a_success_after_a_failure_is_the_latest_and_leaves_no_failed_log(out):
    folder = find_job(out, "prices", "APAC")
    finished_attempt(folder, "r3", True, "r3 APAC\n")
    assert log_path(folder).read_text() == "r3 APAC\n"
    with pytest.raises(LogsError, match="no failed attempt"):
        log_path(folder, "failed")


@pytest.mark.parametrize(
    "asset, partition, message",
    [
        ("prics", "EU", "no asset 'prics' in .*; did you mean 'prices'\\?"),
        ("prices", None, "asset 'prices' has 2 partitions; name one: 'EU', 'APAC'"),
        ("prices", "APCA", "asset 'prices' has no partition 'APCA'; did you mean 'APAC'\\?"),
        ("flows.report", "EU", "asset 'flows.report' has no partitions"),
    ],
)
def test_unknown_names_are_one_line_with_the_closest(out, asset, partition, message):
    with pytest.raises(LogsError, match=message) as caught:
        find_job(out, asset, partition)
    assert "\n" not in str(caught.value)


def test_a_large_log_is_copied_whole_across_chunks(tmp_path):
    path = tmp_path / "log.txt"
    text = "".join(f"line {i} — ü\n" for i in range(40_000))  # several chunks, characters across their ends
    path.write_text(text, encoding="utf-8")
    stream = io.StringIO()
    print_log(path, stream)
    assert stream.getvalue() == text
    binary = io.TextIOWrapper(io.BytesIO(), encoding="utf-8")
    print_log(path, binary)
    assert binary.buffer.getvalue() == text.encode("utf-8")

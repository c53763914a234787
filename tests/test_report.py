"""What the user sees: the terminal reporter and the graph texts."""

import io
import json
import textwrap
import time
import traceback

import pytest
from rich.console import Console
from support import asset_record, screen_text, terminal_console

from mervo.planning import build_plan
from mervo.report import PlainReporter, RichReporter, asset_rows, raised_at, render_dot, render_mermaid
from mervo.runner import JobRecord, JobStatus, RunResult


def plan_of(*assets):
    return build_plan({"assets": list(assets)})


def record(function, name=None, inputs=None, partitions=None):
    parts = {d: {"kind": "inline", "values_json": json.dumps(v)} for d, v in (partitions or {}).items()} or None
    meta = {"kind": "asset", "name": name, "serializer": None, "inputs": inputs, "partitions": parts}
    return {"module_path": "m", "file_path": "/p/m.py", "function_name": function, "decorator_metadata": meta}


def result_of(records, duration=0.7):
    counts = {}
    for r in records:
        counts[str(r.status)] = counts.get(str(r.status), 0) + 1
    return RunResult(records, duration, counts=counts)


def test_terminal_reporter_shows_progress_and_a_summary():
    plan = plan_of(record("a"), record("b", inputs={"x": "/p/m.py:a"}))
    stream = io.StringIO()
    reporter = RichReporter(Console(file=stream, force_terminal=True, width=100))
    reporter.start(len(plan.jobs))
    records = [JobRecord(job) for job in plan.jobs]
    reporter.job_started(records[0])
    records[0].status, records[0].duration, records[0].error = "failed", 0.5, "ValueError: bad\nmore"
    reporter.job_done(records[0])
    records[1].status, records[1].error = "skipped", "skipped (upstream failed)"
    reporter.job_done(records[1])
    reporter.finish(RunResult(records, 0.7, counts={"failed": 1, "skipped": 1}))
    text = stream.getvalue()
    assert "ValueError: bad" in text and "more" not in text
    assert "m.a" in text and "skipped (upstream failed)" in text
    assert text.rstrip().endswith("run failed: 1 failed, 1 skipped in 0.70s")


def test_progress_names_running_jobs_announces_failures_and_leaves_the_screen_when_closed():
    plan = plan_of(asset_record("big", partitions={"i": list(range(6))}))
    console, stream = terminal_console()
    reporter = RichReporter(console)
    records = [JobRecord(job) for job in plan.jobs]
    reporter.start(len(records))
    for r in records:
        reporter.job_started(r)
    reporter.progress.refresh()
    assert "running: flows.big[0], flows.big[1], flows.big[2], flows.big[3] +2 more" in screen_text(stream)
    records[2].status, records[2].error = JobStatus.FAILED, "KeyError: 'APAC'"
    reporter.job_done(records[2])
    assert "✗ flows.big[2]: KeyError: 'APAC'  (/p/flows.py:big)" in screen_text(stream)  # before any summary
    reporter.close()  # the command crashed: no finish
    assert not reporter.progress.live.is_started
    assert screen_text(stream).rstrip().endswith("mervo run stopped: 1 of 6 jobs finished")


def traceback_of(source, call="f", helper=None):
    """The host's traceback text of calling `call` of `source`, compiled as /p/flows.py; `helper`
    is the source of a module /p/helpers.py whose names it sees."""
    namespace = {}
    if helper is not None:
        exec(compile(textwrap.dedent(helper), "/p/helpers.py", "exec"), namespace)
    exec(compile(textwrap.dedent(source), "/p/flows.py", "exec"), namespace)
    try:
        namespace[call]()
    except Exception as exc:
        return "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))
    raise AssertionError("no exception")


INTO_THE_LIBRARY = "import json\ndef f():\n    return json.loads('{')\n"
CHAINED = 'def f():\n    try:\n        {}["x"]\n    except KeyError:\n        raise ValueError("bad")\n'
HELPER = "def check(x):\n    raise ValueError(x)\n"
VIA_HELPER = "def f():\n    check(1)\n"


@pytest.mark.parametrize(
    "source, helper, asset_file, expected",
    [
        (INTO_THE_LIBRARY, None, "/p/flows.py", "/p/flows.py:3"),  # not the json module's frame
        (CHAINED, None, "/p/flows.py", "/p/flows.py:5"),  # the exception that ended the job
        (VIA_HELPER, HELPER, "/p/flows.py", "/p/flows.py:2"),  # the asset's own line
        (VIA_HELPER, HELPER, "/elsewhere.py", "/p/helpers.py:2"),  # else the innermost user frame
    ],
)
def test_where_a_failure_was_raised(source, helper, asset_file, expected):
    assert raised_at(traceback_of(source, helper=helper), asset_file) == expected


@pytest.fixture
def failed_run(tmp_path):
    """prices[EU] ok, prices[APAC] failed with a traceback file, flows.report skipped; and that file."""
    plan = plan_of(asset_record("fetch", name="prices", partitions={"region": ["EU", "APAC"]}),
                   asset_record("report", inputs={"p": "prices"}))
    trace = tmp_path / "traceback.txt"
    trace.write_text(traceback_of(INTO_THE_LIBRARY))
    eu, apac, report = (JobRecord(job, duration=0.25) for job in plan.jobs)
    eu.status = JobStatus.OK
    apac.status, apac.error, apac.traceback = JobStatus.FAILED, "JSONDecodeError: Expecting property name", trace
    report.status, report.error, report.duration = JobStatus.SKIPPED, "skipped: upstream prices[APAC] failed", None
    return [eu, apac, report], trace


def test_summary_lists_failures_first_with_where_and_the_traceback(failed_run):
    records, trace = failed_run
    console, stream = terminal_console(width=200)
    reporter = RichReporter(console)
    reporter.start(3)
    reporter.finish(result_of(records))
    text = screen_text(stream)
    summary = text[text.index("Failed jobs (1)"):]
    assert "✗ prices[APAC]  JSONDecodeError: Expecting property name" in summary
    assert f"at /p/flows.py:3\n    traceback: {trace}\n" in summary
    assert summary.index("traceback:") < summary.index("asset") < summary.index("run failed")
    assert "upstream prices[APAC] failed" in summary.split("asset", 1)[1]
    assert summary.rstrip().endswith("run failed: 1 failed, 1 ok, 1 skipped in 0.70s")


def test_plain_lines_name_the_failed_upstream_and_end_with_the_failures(failed_run):
    records, trace = failed_run
    stream = io.StringIO()
    reporter = PlainReporter(stream)
    reporter.start(3)
    for r in records:
        reporter.job_done(r)
    reporter.finish(result_of(records))
    assert stream.getvalue().splitlines()[2:] == [
        "[3/3] skipped flows.report: upstream prices[APAC] failed",
        "failed: prices[APAC]: JSONDecodeError: Expecting property name",
        "  at /p/flows.py:3",
        f"  traceback: {trace}",
        "run failed: 1 failed, 1 ok, 1 skipped in 0.70s",
    ]


def test_a_large_run_is_summarised_in_a_few_lines_and_quickly():
    plan = plan_of(asset_record("big", partitions={"i": list(range(100_000))}),
                   asset_record("after", inputs={"b": "/p/flows.py:big"}))
    records = []
    for job in plan.jobs:
        failed = job.id % 1000 == 7
        records.append(JobRecord(job, JobStatus.FAILED if failed else JobStatus.OK, 0.01,
                                 "ValueError: bad" if failed else None))
    records[-1].status, records[-1].error = JobStatus.SKIPPED, "skipped: upstream flows.big[7] failed"
    console, stream = terminal_console()
    reporter = RichReporter(console)
    reporter.start(len(records))
    started = time.process_time()
    reporter.finish(result_of(records))
    assert time.process_time() - started < 2.0
    text = screen_text(stream)
    assert len(text.splitlines()) < 100
    assert "... and 80 more failed jobs" in text and "99900 ok, 100 failed" in text


@pytest.mark.parametrize(
    "name, dot_label, mermaid_label",
    [
        ("Zürich", '"Zürich"', "Zürich"),  # UTF-8 as is, which Graphviz draws as such
        ('say "hi"', r'"say \"hi\""', "say #quot;hi#quot;"),
        ("a\\b\nc", r'"a\\b\nc"', "a\\b<br>c"),
        ("C# <x>", '"C# <x>"', "C#35; #lt;x#gt;"),
    ],
)
def test_graph_texts_escape_names(name, dot_label, mermaid_label):
    plan = plan_of(asset_record("a", name=name))
    assert f"a0 [label={dot_label}];" in render_dot(plan)
    assert f'a0["{mermaid_label}"]' in render_mermaid(plan)


def test_graph_texts_quote_labels_and_mark_partitions():
    plan = plan_of(record("a", name='say "hi"', partitions={"d": [1, 2]}), record("b", inputs={"x": 'say "hi"'}))
    mermaid = render_mermaid(plan)
    assert 'a0[["say #quot;hi#quot; [d:2]"]]' in mermaid and "a0 -->|x| a1" in mermaid
    assert "class a0 partitioned" in mermaid
    dot = render_dot(plan)
    assert 'a0 [label="say \\"hi\\" [d:2]", style=dashed, peripheries=2];' in dot
    assert 'a0 -> a1 [label="x"];' in dot


def test_listed_names_are_labels_with_the_key_only_where_two_look_alike():
    plan = plan_of(asset_record("other", name="flows.raw"), asset_record("raw"), asset_record("tidy"),
                   asset_record("use", inputs={"x": "/p/flows.py:raw", "y": "/p/flows.py:tidy"}))
    rows = {row[0]: row for row in asset_rows(plan)}
    assert set(rows) == {"flows.raw", "flows.raw (/p/flows.py:raw)", "flows.tidy", "flows.use"}
    assert rows["flows.use"][3] == "x=flows.raw (/p/flows.py:raw), y=flows.tidy"

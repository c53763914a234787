"""What the user sees: the terminal reporter and the graph texts."""

import io
import json

from rich.console import Console

from mervo.planning import build_plan
from mervo.report import RichReporter, render_dot, render_mermaid
from mervo.runner import JobRecord, RunResult


def plan_of(*assets):
    return build_plan({"assets": list(assets)})


def record(function, name=None, inputs=None, partitions=None):
    parts = {d: {"kind": "inline", "values_json": json.dumps(v)} for d, v in (partitions or {}).items()} or None
    meta = {"kind": "asset", "name": name, "serializer": None, "inputs": inputs, "partitions": parts}
    return {"module_path": "m", "file_path": "/p/m.py", "function_name": function, "decorator_metadata": meta}


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


def test_graph_texts_quote_labels_and_mark_partitions():
    plan = plan_of(record("a", name='say "hi"', partitions={"d": [1, 2]}), record("b", inputs={"x": 'say "hi"'}))
    mermaid = render_mermaid(plan)
    assert 'a0[["say #quot;hi#quot; [d:2]"]]' in mermaid and "a0 -->|x| a1" in mermaid
    assert "class a0 partitioned" in mermaid
    dot = render_dot(plan)
    assert 'a0 [label="say \\"hi\\" [d:2]", style=dashed, peripheries=2];' in dot
    assert 'a0 -> a1 [label="x"];' in dot

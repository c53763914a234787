"""Planning a run from an inspection document: identity, graph, partitions, inputs."""

import json
from pathlib import Path

import pytest
from support import asset_record as record

from mervo.planning import PlanError, build_plan, kwargs_text, partition_key, safe_segment, split_array_text


def doc(*records):
    return {"assets": list(records)}


def test_keys_names_and_default_references():
    plan = build_plan(
        doc(
            record("raw"),
            record("clean", name="clean data", inputs={"data": "/p/flows.py:raw"}),
            record("report", inputs={"rows": "clean data"}),
        )
    )
    assert [a.key for a in plan.assets] == ["/p/flows.py:raw", "clean data", "/p/flows.py:report"]
    assert plan.upstreams["/p/flows.py:report"] == {"rows": "clean data"}
    assert [j.depends for j in plan.jobs] == [set(), {0}, {1}]


def test_an_asset_found_in_two_modules_is_one_asset():
    plan = build_plan(doc(record("raw"), record("raw", module="other")))
    assert len(plan.assets) == 1 and plan.assets[0].module == "flows"


@pytest.mark.parametrize(
    "records, message",
    [
        ((record("a", name="x"), record("b", name="x")), "two assets share the key 'x': /p/flows.py:a and /p/flows.py:b"),
        ((record("a", inputs={"v": "/p/flows.py:nope"}),), "input 'v' refers to unknown asset '/p/flows.py:nope'"),
        (
            (record("a", inputs={"v": "/p/flows.py:b"}), record("b", inputs={"v": "/p/flows.py:a"})),
            "dependency cycle: /p/flows.py:a -> /p/flows.py:b -> /p/flows.py:a",
        ),
        ((record("a", inputs={"v": "/p/flows.py:a"}),), "dependency cycle: /p/flows.py:a -> /p/flows.py:a"),
        (
            (record("u"), record("a", inputs={"d": "/p/flows.py:u"}, partitions={"d": [1]})),
            "'d' is both an input and a partition dimension",
        ),
        (
            (record("u", partitions={"t": ["x"]}), record("a", inputs={"v": "/p/flows.py:u"}, partitions={"t": ["y"]})),
            "upstream 'flows.u' has no matching partition",
        ),
    ],
)
def test_plans_that_cannot_run_are_refused(records, message):
    with pytest.raises(PlanError) as info:
        build_plan(doc(*records))
    assert message in str(info.value)


def test_partition_expansion_and_input_mapping():
    plan = build_plan(
        doc(
            record("base"),
            record("prices", partitions={"ticker": ["A", "B"], "day": [1, 2]}, inputs={"base": "/p/flows.py:base"}),
            record("per_ticker", partitions={"ticker": ["A", "B"], "day": [1, 2], "x": [True]},
                   inputs={"p": "/p/flows.py:prices"}),
            record("summary", inputs={"all": "/p/flows.py:prices"}),
        )
    )
    prices = [j for j in plan.jobs if j.asset.function == "prices"]
    # dimensions in key order (day, ticker), values in declaration order
    assert [j.key for j in prices] == ["1|A", "1|B", "2|A", "2|B"]
    values = {j.id: json.dumps({"job": j.label}) for j in plan.jobs}
    base_id = plan.jobs[0].id

    first = kwargs_text(plan, prices[0], values.__getitem__)
    assert json.loads(first) == {"day": 1, "ticker": "A", "base": {"job": plan.jobs[0].label}}
    assert prices[0].depends == {base_id}

    per = [j for j in plan.jobs if j.asset.function == "per_ticker"]
    assert [p.depends for p in per] == [{p.id} for p in prices]

    summary = plan.jobs[-1]
    assert summary.depends == {j.id for j in prices}
    assert json.loads(kwargs_text(plan, summary, values.__getitem__)) == {
        "all": {j.key: {"job": j.label} for j in prices}
    }


def test_select_takes_what_the_selection_needs():
    plan = build_plan(
        doc(record("a"), record("b", inputs={"x": "/p/flows.py:a"}), record("c")), select=["b"]
    )
    assert [a.function for a in plan.assets] == ["a", "b"]
    with pytest.raises(PlanError, match="matches no asset"):
        build_plan(doc(record("a")), select=["zzz"])


def test_an_empty_dimension_has_no_jobs_and_feeds_an_empty_mapping():
    plan = build_plan(doc(record("e", partitions={"d": []}), record("all", inputs={"v": "/p/flows.py:e"})))
    assert [j.asset.function for j in plan.jobs] == ["all"]
    assert kwargs_text(plan, plan.jobs[0], lambda i: "") == '{"v":{}}'


@pytest.mark.parametrize(
    "texts, key", [(['"AAPL"', "1"], "AAPL|1"), (["null", "[1,2]", '{"a":1}'], 'null|[1,2]|{"a":1}'), (['"a|b"'], "a\\|b"), (['"a\\\\"', '"|"'], "a\\\\|\\|")]
)
def test_partition_keys(texts, key):
    assert partition_key(texts) == key


def test_array_texts_split_exactly():
    assert split_array_text('[1,"a,b",[2,3],{"k":[4]},1e+16]') == ("1", '"a,b"', "[2,3]", '{"k":[4]}', "1e+16")
    assert split_array_text("[]") == ()


@pytest.mark.parametrize("text", ["", ".", "..", "a/b", "a\\b", "..%2F", "%", "ticker=ÄÖ", "x" * 400, "con:1|2"])
def test_safe_segments(text):
    segment = safe_segment(text)
    assert segment not in ("", ".", "..")
    assert "/" not in segment and "\0" not in segment and len(segment.encode()) <= 200
    assert safe_segment(text) == segment


def test_safe_segments_keep_distinct_texts_apart():
    texts = ["", ".", "..", "%", "%25", "a/b", "a%2Fb", "a b", "a_b", "A", "a"]
    assert len({safe_segment(t) for t in texts}) == len(texts)


def discovered(function, attribute=None, **options):
    """A record of the command's discovery stub: it also names the attribute found."""
    return {**record(function, **options), "attribute": attribute or function, "line": 3}


@pytest.mark.parametrize(
    "values_json, message",
    [
        ('["1",1]', 'dimension \'p\' has two values with one partition key: "1" and 1'),
        ('["a","a","b"]', 'dimension \'p\' has the same value twice: "a" and "a"'),
        # 2**64 and 2**64+1 both arrive as this double
        ("[1.8446744073709552e+19,1.8446744073709552e+19]", "the same value twice: 1.8446744073709552e+19 and"),
    ],
)
def test_two_combinations_never_share_a_key(values_json, message):
    rec = record("a")
    rec["decorator_metadata"]["partitions"] = {"p": {"kind": "inline", "values_json": values_json}}
    with pytest.raises(PlanError, match="asset 'flows.a'") as info:
        build_plan(doc(rec))
    assert message in str(info.value)


def test_escaped_keys_and_folders_stay_apart():
    plan = build_plan(doc(record("a", partitions={"x": ["a|b", "a"], "y": ["c", "b|c"]})))
    keys = [j.key for j in plan.jobs]
    assert keys == ["a\\|b|c", "a\\|b|b\\|c", "a|c", "a|b\\|c"]
    long, spelled = "x" * 300, None
    spelled = safe_segment(long)  # a shorter text that spells the shortened name of a longer one
    assert safe_segment(spelled) != spelled
    plan = build_plan(doc(record("b", partitions={"p": [long, spelled]})))
    assert len({plan.job_folder(Path("/o"), j) for j in plan.jobs}) == 2


@pytest.mark.parametrize("name", ["run.json", "run.json.tmp", "report.html", ".mervo.lock", "history.sqlite"])
def test_no_asset_folder_takes_a_name_the_command_writes(name):
    plan = build_plan(doc(record("a", name=name)))
    folder = plan.folders[name]
    assert folder != name and not folder.startswith(".")


def test_factory_made_assets_are_found_as_their_attribute():
    plan = build_plan(doc(discovered("load"), discovered("load", "load_users"), discovered("load", "load_orders")))
    assert sorted(a.attribute for a in plan.assets) == ["load", "load_orders", "load_users"]
    assert len(set(plan.folders.values())) == 3
    with pytest.raises(PlanError, match=r"names 3 assets made by one function .*give each a name="):
        build_plan(doc(discovered("load"), discovered("load", "load_users"), discovered("load", "load_orders"),
                       discovered("use", inputs={"v": "/p/flows.py:load"})))


def test_planning_is_linear_in_the_partitions():
    import time

    n = 20_000
    started = time.perf_counter()
    plan = build_plan(doc(
        record("up", partitions={"p": list(range(n))}),
        record("down", partitions={"p": list(range(n))}, inputs={"v": "/p/flows.py:up"}),
        record("all", inputs={"v": "/p/flows.py:down"}),
    ))
    elapsed = time.perf_counter() - started
    assert len(plan.jobs) == 2 * n + 1 and plan.jobs[n + 5].depends == {5}
    assert elapsed < 3, elapsed  # quadratic matching took minutes at this size


def test_a_10000_long_chain_plans_without_recursion():
    chain = [record("a0")] + [record(f"a{i}", inputs={"v": f"/p/flows.py:a{i - 1}"}) for i in range(1, 10_000)]
    assert len(build_plan(doc(*chain)).jobs) == 10_000

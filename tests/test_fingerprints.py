"""Fingerprints: which code edits make an asset stale, what a job fingerprint covers, value digests."""

import ast
import hashlib
import textwrap
import time

import pytest

from mervo import fingerprints
from mervo.fingerprints import CodeIndex, code_digest, file_digest, job_fingerprint, read_meta, write_meta
from support import function_source

FLOWS = textwrap.dedent('''
    import json
    from mervo import asset

    LIMIT = 10

    def leaf(x):
        return x + 1

    def helper(x):
        # doubles
        return leaf(x) * 2

    class Shape:
        def area(self):
            return 4

    def unrelated():
        return 0

    def ping(n):
        return pong(n - 1) if n else 0

    def pong(n):
        return ping(n)

    @asset()
    def upstream():
        return 7

    @asset(inputs={"data": upstream})
    def target(data):
        return helper(LIMIT) + Shape().area() + ping(3) + data
''')

FACTORY = textwrap.dedent('''
    from mervo import asset

    def scale(x):
        return x * 2

    def other():
        return 1

    def make(n):
        @asset(name=f"made{n}")
        def made():
            return scale(n)
        return made

    made1 = make(1)
''')


def digest(text, function, path="/p/flows.py"):
    return code_digest({path: text}, path, function, function_source(text, function))


@pytest.mark.parametrize(
    "module, function, old, new, stale",
    [
        (FLOWS, "target", "+ data\n", "+ data + 1\n", True),  # the asset itself
        (FLOWS, "target", "return leaf(x) * 2", "return leaf(x) * 3", True),  # a helper
        (FLOWS, "target", "return x + 1", "return x + 2", True),  # a helper's helper
        (FLOWS, "target", "return 4", "return 5", True),  # a class
        (FLOWS, "target", "LIMIT = 10", "LIMIT = 11", True),  # a module-level constant
        (FLOWS, "target", "else 0", "else 1", True),  # through a cycle of helpers
        (FLOWS, "target", "def helper(x):\n", 'def helper(x):\n    """Doubled."""\n', True),  # a docstring
        (FLOWS, "target", "return 0", "return 9", False),  # an unrelated function
        (FLOWS, "target", "return 7", "return 8", False),  # an upstream asset: its value decides
        (FLOWS, "target", "# doubles", "# twice as much", False),
        (FLOWS, "target", "return leaf(x) * 2", "return leaf( x )  *  2", False),
        (FLOWS, "target", "\nclass Shape", "\n\n\n# shapes\nclass Shape", False),
        (FACTORY, "made", "return x * 2", "return x * 3", True),  # helper of a function made by a factory
        (FACTORY, "made", "return scale(n)", "return scale(n) + 1", True),
        (FACTORY, "made", "def make(n):\n", "def make(n):\n    n += 1\n", True),  # the factory itself
        (FACTORY, "made", "return 1", "return 2", False),
    ],
)
def test_what_makes_code_stale(module, function, old, new, stale):
    assert old in module
    assert (digest(module, function) != digest(module.replace(old, new), function)) is stale


def test_definitions_moved_around_keep_the_digest():
    moved = FLOWS.replace("def unrelated():\n    return 0\n", "").replace("import json", "def unrelated():\n    return 0\nimport json")
    assert moved != FLOWS and digest(moved, "target") == digest(FLOWS, "target")


@pytest.mark.parametrize("sources", [{}, {"/p/flows.py": "this is not ( python"}, {"/p/flows.py": "x = 1\n"}])
def test_without_its_file_the_function_source_alone_counts(sources):
    source = function_source(FLOWS, "target")
    edited = source.replace("+ data", "+ data + 1")
    reformatted = source.replace("+ data", "+  data  # the input")
    at = lambda s: code_digest(sources, "/p/flows.py", "target", s)  # noqa: E731
    assert at(source) == at(reformatted) != at(edited)
    # a source that does not parse (what inspection gives for some lambdas) still has a digest
    assert at("x = asset()(lambda: (1\n") != at("x = asset()(lambda: (2\n")


def test_a_file_is_parsed_once_for_all_its_assets(monkeypatch):
    text = FLOWS + "".join(f"\n@asset()\ndef a{i}():\n    return helper({i})\n" for i in range(1000))
    parses = []
    real_parse = ast.parse
    monkeypatch.setattr(ast, "parse", lambda source, *a, **k: parses.append(source) or real_parse(source, *a, **k))
    index = CodeIndex({"/p/flows.py": text})
    digests = {index.digest("/p/flows.py", f"a{i}", f"@asset()\ndef a{i}():\n    return helper({i})\n") for i in range(1000)}
    assert len(digests) == 1000
    assert sum(source is text for source in parses) == 1


META = {"kind": "asset", "name": None, "serializer": None, "inputs": {"data": "raw", "b": "other"},
        "partitions": {"ticker": {"kind": "inline", "values_json": '["A","B"]'}}}
BASE = dict(code="c" * 64, metadata=META, partition_key="A",
            upstream=[("data", None, "h1"), ("b", "A", "h2"), ("b", "B", "h3")], partition_values=[("ticker", '"A"')])


def with_(**changes):
    return job_fingerprint(**{**BASE, **changes})


@pytest.mark.parametrize(
    "changes",
    [
        {"code": "d" * 64},
        {"metadata": {**META, "name": "renamed"}},
        {"metadata": {**META, "inputs": {"data": "raw2", "b": "other"}}},
        {"metadata": {**META, "serializer": "pickle"}},
        {"partition_key": "B"},
        {"partition_key": None},
        {"partition_values": [("ticker", "1")]},
        {"upstream": [("data", None, "h9"), ("b", "A", "h2"), ("b", "B", "h3")]},
        {"upstream": [("data", None, "h1"), ("b", "C", "h2"), ("b", "B", "h3")]},
        {"upstream": [("data", None, "h1"), ("c", "A", "h2"), ("b", "B", "h3")]},
        {"upstream": [("data", None, "h1"), ("b", "A", "h2")]},  # an upstream partition removed
    ],
)
def test_each_input_changes_the_fingerprint(changes):
    assert with_(**changes) != with_()


@pytest.mark.parametrize(
    "changes",
    [
        {"upstream": list(reversed(BASE["upstream"]))},
        {"metadata": dict(reversed(list(META.items())))},
        # a partition added to the asset's dimension leaves its existing partitions fresh
        {"metadata": {**META, "partitions": {"ticker": {"kind": "inline", "values_json": '["A","B","C"]'}}}},
    ],
)
def test_what_leaves_the_fingerprint_alone(changes):
    assert with_(**changes) == with_()


def test_the_format_version_is_covered(monkeypatch):
    before = with_()
    monkeypatch.setattr(fingerprints, "FORMAT_VERSION", fingerprints.FORMAT_VERSION + 1)
    assert with_() != before


def best_of_three(action):
    times = []
    for _ in range(3):
        started = time.perf_counter()
        action()
        times.append(time.perf_counter() - started)
    return min(times)


def test_a_job_fingerprint_costs_a_few_hashes():
    # Measured against plain hashing in the same run, so that a busy machine does not matter.
    shared = fingerprints.asset_digest("c" * 64, META)
    upstream = [("data", None, "a" * 64), ("b", "A", "b" * 64)]
    prints, hashed = set(), set()
    fingerprinting = best_of_three(lambda: prints.update(
        fingerprints.partition_fingerprint(shared, str(i), upstream, [("ticker", '"A"')]) for i in range(30_000)))
    hashing = best_of_three(lambda: hashed.update(
        hashlib.sha256(b"%d" % i + b"x" * 300).hexdigest() for i in range(30_000)))
    assert len(prints) == len(hashed) == 30_000
    assert fingerprinting < 15 * hashing


@pytest.mark.parametrize(
    "code, metadata, upstream, values, reason",
    [
        ("c" * 64, META, BASE["upstream"], [("ticker", '"A"')], None),
        ("d" * 64, META, BASE["upstream"], [("ticker", '"A"')], fingerprints.CODE_CHANGED),
        ("c" * 64, {**META, "serializer": "pickle"}, BASE["upstream"], [("ticker", '"A"')],
         fingerprints.DECORATOR_CHANGED),
        ("c" * 64, META, BASE["upstream"][:2], [("ticker", '"A"')], fingerprints.UPSTREAM_CHANGED),
        ("c" * 64, META, BASE["upstream"], [("ticker", "1")], fingerprints.FORMAT_CHANGED),
    ],
)
def test_why_a_job_is_stale(tmp_path, code, metadata, upstream, values, reason):
    def fields(code, metadata, upstream, values):
        return fingerprints.job_fields(fingerprints.asset_digest(code, metadata), code, "A", upstream, values)

    before = fields(BASE["code"], META, list(reversed(BASE["upstream"])), BASE["partition_values"])
    assert before["fingerprint"] == with_()
    write_meta(tmp_path / "meta.json", **before, value_hash="v")
    recorded = read_meta(tmp_path / "meta.json")
    assert fingerprints.stale_reason(recorded, fields(code, metadata, upstream, values)) == reason
    assert fingerprints.stale_reason(None, before) == fingerprints.NEVER_MATERIALISED


@pytest.mark.parametrize("size", [0, 1, (1 << 20) - 1, (1 << 20) + 3, 3 << 20])
def test_file_digest_is_the_sha256_of_the_bytes(tmp_path, size):
    data = bytes(range(256)) * (size // 256) + bytes(size % 256)
    (tmp_path / "value.json").write_bytes(data)
    assert file_digest(tmp_path / "value.json") == hashlib.sha256(data).hexdigest()


def test_meta_round_trip_leaves_no_temporary_file(tmp_path):
    path = tmp_path / "meta.json"
    write_meta(path, fingerprint="f" * 64, value_hash="v", duration=0.5)
    write_meta(path, fingerprint="g" * 64, value_hash="w", partition=None)
    assert read_meta(path) == {"fingerprint": "g" * 64, "value_hash": "w", "partition": None}
    assert [p.name for p in tmp_path.iterdir()] == ["meta.json"]


@pytest.mark.parametrize("content", [None, b"", b'{"fingerprint": "f', b"[1, 2]", b"\xff\xfe"])
def test_unreadable_meta_reads_as_none(tmp_path, content):
    path = tmp_path / "meta.json"
    if content is not None:
        path.write_bytes(content)
    assert read_meta(path) is None

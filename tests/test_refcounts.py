"""Reference-count discipline: every entry point, on its good and bad paths, many times over."""

import gc
import json
import sys

import pytest
from support import block_growth, raises

import _mervo
from mervo import asset, partitions

ROUNDS = 1500
# Growth is compared with the number of rounds: a reference leaked by any one call of a round
# adds at least one block per round, while caches of the interpreter settle at a few dozen.


def allocated_growth(action, rounds=ROUNDS):
    return block_growth(action, rounds)


@pytest.fixture
def project(user_modules, tmp_path):
    user_modules.write(
        "rc_assets",
        """
        from mervo import asset, partitions

        @asset()
        def base():
            return {"n": 1}

        @asset(inputs={"b": base}, partitions={"p": partitions([1, "two", [3]])})
        def derived(b, p=None, **extra):
            return [b, p, extra]

        @asset()
        def broken():
            raise ValueError("boom")

        @asset()
        def unserialisable():
            return {1, 2}
        """,
    )
    user_modules.write("rc_bad_import", "raise RuntimeError('nope')\n")
    return tmp_path


def test_declaration_paths_do_not_leak():
    def fn(a, b=2):
        """doc"""
        return a + b

    parts = partitions(["x", 1, None, [1.5, {"k": True}]])

    def action():
        wrapper = asset(name="n", serializer="s", inputs={"a": "ref"}, partitions={"d": parts})(fn)
        wrapper(1, b=3)
        for attr in ("__mervo_metadata__", "__mervo_kind__", "__mervo_original__", "__name__", "__doc__",
                     "__module__", "__qualname__", "__wrapped__"):
            getattr(wrapper, attr)
        asset(inputs={"up": wrapper})(fn)
        repr(parts)
        assert raises(asset, name=1)
        assert raises(asset, serializer=[])
        assert raises(asset, inputs={"a": 1})
        assert raises(asset, inputs=[("a", "b")])
        assert raises(asset, partitions={"d": [1]})
        assert raises(asset(), )
        assert raises(asset(), fn, fn)
        assert raises(partitions, (1,))
        assert raises(partitions, [float("nan")])
        assert raises(partitions, [object()])
        assert raises(asset()(42).__getattribute__, "__name__")
        assert raises(asset()(42))

    assert allocated_growth(action) < ROUNDS // 4


def test_inspection_paths_do_not_leak(project):
    def action():
        json.loads(_mervo.inspect_modules(["rc_assets"]))
        assert raises(_mervo.inspect_modules, "rc_assets")
        assert raises(_mervo.inspect_modules, [1])
        assert raises(_mervo.inspect_modules, ["sys"])  # no source: propagated, not skipped

    assert allocated_growth(action, 400) < 400


def test_inspection_skips_do_not_leak(project, capfd):
    def action():
        assert _mervo.inspect_modules(["rc_bad_import", "rc_missing_module"]) == '{"assets":[]}'

    assert allocated_growth(action, 400) < 400
    assert "mervo: skipping module 'rc_bad_import': RuntimeError: nope" in capfd.readouterr().err


def test_materialisation_paths_do_not_leak(project):
    out = str(project / "out")

    def action():
        _mervo.materialize_asset("rc_assets", "base", out)
        _mervo.materialize_asset("rc_assets", "derived", out, '{"b": 1, "p": "two", "q": [1]}')
        for args in (("rc_assets", "broken", out), ("rc_assets", "unserialisable", out),
                     ("rc_assets", "base", out, "[1, 2]"), ("rc_missing", "x", out)):
            with pytest.raises(SystemExit):
                _mervo.materialize_asset(*args)
        assert raises(_mervo.materialize_asset, "rc_assets", "base", 1)
        assert raises(_mervo.materialize_asset, "rc_assets", "base", out + "/value.json/inside")

    assert allocated_growth(action, 500) < 500


def test_arguments_get_their_references_back(project):
    def fn():
        return 1

    parts = partitions([1, 2])
    kwargs = '{"b": {"n": 2}}'
    out = str(project / "out")
    start = (sys.getrefcount(fn), sys.getrefcount(parts), sys.getrefcount(kwargs))
    for _ in range(200):
        wrapper = asset(partitions={"d": parts})(fn)
        wrapper.__mervo_metadata__
        del wrapper
        _mervo.materialize_asset("rc_assets", "derived", out, kwargs)
        with pytest.raises(SystemExit):
            _mervo.materialize_asset("rc_assets", "broken", out, kwargs)
        assert raises(asset, partitions={"d": parts, "e": fn})
    gc.collect()
    assert (sys.getrefcount(fn), sys.getrefcount(parts), sys.getrefcount(kwargs)) == start

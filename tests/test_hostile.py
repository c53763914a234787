"""Adversarial user code: each case ends in its exception or record, never in a crash."""

import json
import sys
import textwrap

import pytest
from support import run_code as run_python

import _mervo
from mervo import asset, partitions


def panic_type():
    """The PanicException type, obtained the only way Python can: from a fault."""
    victim = {}

    class Mutating(str):  # a str reference, so the walk goes on to its next entry
        @property
        def __mervo_kind__(self):
            victim["extra"] = "ref"
            return "not an asset"

    victim["a"] = Mutating("ref")
    with pytest.raises(BaseException) as info:
        asset(inputs=victim)
    assert str(info.value) == "dictionary changed size during iteration"
    return type(info.value)


def test_panic_exception_is_a_base_exception_outside_exception():
    kind = panic_type()
    assert issubclass(kind, BaseException) and not issubclass(kind, Exception)
    assert kind.__bases__ == (BaseException,)
    assert kind.__doc__


def test_json_dumps_returning_a_non_str(monkeypatch, user_modules):
    user_modules.write("hostile_plain", "from mervo import asset\n\n@asset()\ndef a():\n    return 1\n")
    monkeypatch.setattr(json, "dumps", lambda obj: b"[1]")
    with pytest.raises(TypeError, match="^'bytes' object cannot be converted to 'PyString'$"):
        partitions([1])
    with pytest.raises(TypeError, match="^'bytes' object cannot be converted to 'PyString'$"):
        _mervo.inspect_modules(["hostile_plain"])


def test_sys_exit_replaced_by_a_function_that_returns(monkeypatch, user_modules, tmp_path):
    user_modules.write("hostile_fail", "def f():\n    raise ValueError('x')\n")
    monkeypatch.setattr(sys, "exit", lambda code=None: None)
    assert _mervo.materialize_asset("hostile_fail", "f", str(tmp_path)) is None
    assert json.loads((tmp_path / "result.json").read_text())["error"] == "ValueError: x"


def test_metadata_too_deep_for_the_host_or_the_reader(user_modules):
    user_modules.write(
        "hostile_deep",
        """
        class Deep:
            def __init__(self, depth):
                self.__mervo_kind__ = "asset"
                node = []
                for _ in range(depth):
                    node = [node]
                self.__mervo_metadata__ = node

        too_deep_for_reader = Deep(200)
        """,
    )
    with pytest.raises(RuntimeError, match=r"^JSON parse error: recursion limit exceeded at line 1 column 128$"):
        _mervo.inspect_modules(["hostile_deep"])
    sys.modules.pop("hostile_deep")
    user_modules.write(
        "hostile_deep",
        """
        import sys
        node = []
        for _ in range(sys.getrecursionlimit() * 2):
            node = [node]

        class Deep:
            __mervo_kind__ = "asset"
            __mervo_metadata__ = node
        deeper_than_the_interpreter = Deep()
        """,
    )
    # Whether the host's json.dumps gives up first depends on the version (3.13 renders it).
    expected = RuntimeError
    try:
        json.dumps(__import__("hostile_deep").node)
    except RecursionError:
        expected = RecursionError
    with pytest.raises(expected):
        _mervo.inspect_modules(["hostile_deep"])


def test_unprintable_and_surrogate_errors_are_still_recorded(user_modules, tmp_path):
    user_modules.write(
        "hostile_errors",
        """
        class Unprintable(Exception):
            def __str__(self):
                raise RuntimeError("no text for you")

        def unprintable():
            raise Unprintable()

        def surrogate():
            raise ValueError("bad \\udcff text")
        """,
    )
    with pytest.raises(SystemExit):
        _mervo.materialize_asset("hostile_errors", "unprintable", str(tmp_path))
    assert json.loads((tmp_path / "result.json").read_text())["error"] == "Unprintable: <exception str() failed>"
    with pytest.raises(SystemExit):
        _mervo.materialize_asset("hostile_errors", "surrogate", str(tmp_path))
    assert json.loads((tmp_path / "result.json").read_text(encoding="utf-8"))["error"] == "ValueError: bad \ufffd text"


def test_a_panic_raised_inside_an_asset_resumes_instead_of_being_recorded(tmp_path):
    (tmp_path / "panicky.py").write_text(
        textwrap.dedent(
            """
            from mervo import asset

            def panic_type():
                victim = {}
                class Mutating(str):
                    @property
                    def __mervo_kind__(self):
                        victim["x"] = "ref"
                        return "no"
                victim["a"] = Mutating("ref")
                try:
                    asset(inputs=victim)
                except BaseException as e:
                    return type(e)

            PANIC = panic_type()

            def explode():
                raise PANIC("from the asset")

            class Marked:
                @property
                def __mervo_kind__(self):
                    raise PANIC("from a marker")
            marked = Marked()
            """
        )
    )
    result = run_python(
        """
        import _mervo, panicky
        try:
            _mervo.materialize_asset("panicky", "explode", "out")
        except BaseException as e:
            print("caller saw", type(e).__name__, e)
        try:
            _mervo.inspect_modules(["panicky"])
        except BaseException as e:
            print("caller saw", type(e).__name__, e)
        """,
        tmp_path,
    )
    assert result.stdout.splitlines() == [
        "caller saw PanicException from the asset",
        "caller saw PanicException from a marker",
    ], result.stderr
    assert result.stderr.count("PanicException") >= 2  # the notice and traceback of each
    assert not (tmp_path / "out" / "result.json").exists()

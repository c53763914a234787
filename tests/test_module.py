"""The module itself: members, docstrings, signatures, classes, binding rules, imports."""

import inspect
import shutil
import subprocess
import sys

import pytest
from support import run_code as run_python

import _mervo

MEMBERS = ["AssetWrapper", "Partitions", "asset", "partitions", "inspect_modules", "materialize_asset"]
FUNCTIONS = {
    "asset": "(*, name=None, inputs=None, partitions=None, serializer=None)",
    "partitions": "(values)",
    "inspect_modules": "(modules)",
    "materialize_asset": "(module_name, function_name, output_dir, input_kwargs_json=None)",
}
CLASSES = {
    "AssetWrapper": "The `@asset()` decorator wrapper. Stores the original function and metadata.",
    "Partitions": "Marker type returned by `partitions([...])`. Stores the static values.",
}


def test_all_lists_the_members_in_table_order():
    assert _mervo.__all__ == MEMBERS
    assert _mervo.__doc__ == "The native `_mervo` module."
    assert [name for name in MEMBERS if hasattr(_mervo, name)] == MEMBERS


@pytest.mark.parametrize("name, signature", FUNCTIONS.items())
def test_functions_publish_signature_and_docstring(name, signature):
    function = getattr(_mervo, name)
    assert function.__name__ == name
    assert function.__module__ == "_mervo"
    assert function.__self__ is _mervo
    assert function.__text_signature__ == signature
    assert str(inspect.signature(function)) == signature
    doc = function.__doc__
    assert doc and not doc.startswith("\n") and not doc.endswith("\n")
    assert not doc.startswith(name + "(")  # the signature line was split off


def test_asset_parameters_are_keyword_only_with_none_defaults():
    params = inspect.signature(_mervo.asset).parameters
    assert list(params) == ["name", "inputs", "partitions", "serializer"]
    assert all(p.kind is p.KEYWORD_ONLY and p.default is None for p in params.values())


def test_docstrings_carry_their_examples():
    assert _mervo.asset.__doc__.startswith("Decorator that registers a Python function as a mervo asset.\n\nUsage\n-----\n")
    assert _mervo.asset.__doc__.endswith("serializer : str, optional\n    Reserved for future use.  Leave unset.")
    assert "def prices(ticker: str): ..." in _mervo.partitions.__doc__
    assert _mervo.inspect_modules.__doc__.startswith("Inspect modules for mervo assets.")
    assert _mervo.materialize_asset.__doc__.endswith("passed as keyword arguments to the function.")


@pytest.mark.parametrize("name, doc", CLASSES.items())
def test_class_properties(name, doc):
    cls = getattr(_mervo, name)
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
    assert cls.__doc__ == doc
    assert cls.__bases__ == (object,)
    assert cls.__dictoffset__ == 0 and cls.__weakrefoffset__ == 0
    if name == "Partitions":  # holds no Python objects: not tracked by the cycle collector
        assert not cls.__flags__ & (1 << 14)
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value).startswith("No constructor defined for " + name)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: _mervo.asset(1), "asset() takes 0 positional arguments but 1 was given"),
        (lambda: _mervo.asset(1, 2), "asset() takes 0 positional arguments but 2 were given"),
        (lambda: _mervo.asset(bogus=1), "asset() got an unexpected keyword argument 'bogus'"),
        (lambda: _mervo.partitions(), "partitions() missing 1 required positional argument: 'values'"),
        (lambda: _mervo.partitions([], []), "partitions() takes 1 positional arguments but 2 were given"),
        (lambda: _mervo.partitions([], values=[]), "partitions() got multiple values for argument 'values'"),
        (lambda: _mervo.inspect_modules(["x"], extra=1), "inspect_modules() got an unexpected keyword argument 'extra'"),
        (lambda: _mervo.inspect_modules(), "inspect_modules() missing 1 required positional argument: 'modules'"),
        (
            lambda: _mervo.materialize_asset("m", "f"),
            "materialize_asset() missing 1 required positional argument: 'output_dir'",
        ),
        (
            lambda: _mervo.materialize_asset("m"),
            "materialize_asset() missing 2 required positional arguments: 'function_name' and 'output_dir'",
        ),
        (
            lambda: _mervo.materialize_asset(),
            "materialize_asset() missing 3 required positional arguments: "
            "'module_name', 'function_name', and 'output_dir'",
        ),
        (
            lambda: _mervo.materialize_asset(function_name="f"),
            "materialize_asset() missing 2 required positional arguments: 'module_name' and 'output_dir'",
        ),
        (
            lambda: _mervo.materialize_asset(1, 2, 3, 4, 5),
            "materialize_asset() takes from 3 to 4 positional arguments but 5 were given",
        ),
        (
            lambda: _mervo.materialize_asset("m", "f", "d", module_name="x"),
            "materialize_asset() got multiple values for argument 'module_name'",
        ),
        (
            lambda: _mervo.materialize_asset("m", "f", "d", None, nope=1),
            "materialize_asset() got an unexpected keyword argument 'nope'",
        ),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert type(info.value) is TypeError


def test_reimport_yields_the_same_module_object():
    result = run_python(
        """
        import importlib, sys
        import _mervo
        first = _mervo
        del sys.modules["_mervo"]
        second = importlib.import_module("_mervo")
        importlib.reload(second)
        print(first is second is sys.modules["_mervo"], second.__all__ == first.__all__)
        """
    )
    assert result.stdout.split() == ["True", "True"], result.stderr


@pytest.mark.skipif(sys.version_info[:2] != (3, 11), reason="uses the 3.11 sub-interpreter module")
def test_second_interpreter_is_refused():
    result = run_python(
        """
        import _mervo, _xxsubinterpreters as si
        interp = si.create()
        try:
            si.run_string(interp, "import _mervo")
            print("imported")
        except si.RunFailedError as e:
            print(e)
        si.run_string(interp, "import json")  # the interpreter itself is fine
        print(_mervo.__all__[0])
        """
    )
    lines = result.stdout.splitlines()
    assert lines[0].startswith("<class 'ImportError'>: ") and "sub-interpreters" in lines[0], result.stderr
    assert lines[1] == "AssetWrapper"


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils' nm")
def test_only_the_init_function_is_exported():
    result = subprocess.run(["nm", "-D", "--defined-only", _mervo.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in result.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit__mervo"]

"""Tests of asset declaration: partitions(...), asset(...), asset_decorator and AssetWrapper."""

import gc
import importlib
import inspect
import json
import pathlib
import pydoc
import sys
import types
import weakref

import pytest
from support import compact, error_of, run_code

import _mervo
from mervo import asset, partitions


def metadata(**options):
    return asset(**options)(lambda: None).__mervo_metadata__


def values_json(values):
    return metadata(partitions={"d": partitions(values)})["partitions"]["d"]["values_json"]


class Hook(str):
    """A str reference whose __mervo_kind__ lookup runs `action` (user code inside the walk)."""

    def __new__(cls, action):
        hook = super().__new__(cls, "ref")
        hook.action = action
        return hook

    @property
    def __mervo_kind__(self):
        return self.action()


class Unreadable:
    @property
    def __mervo_kind__(self):
        raise RuntimeError("unreadable")


# --- partitions ------------------------------------------------------------------------------


@pytest.mark.parametrize("values, count", [([], 0), (["AAPL", "MSFT", "GOOG"], 3), (["a", "a"], 2), ([1], 1)])
def test_partitions_repr_counts_values(values, count):
    assert repr(partitions(values)) == f"Partitions({count} values)"
    assert repr(partitions(values=values)) == f"Partitions({count} values)"


def test_partitions_keep_order_kinds_and_text():
    values = ["GOOG", "AAPL", 3, 2.5, True, None, "é/\t", [1, [2]], {"b": 1, "a": {}, "B": 2}, -(2**63), 2**64 - 1]
    assert values_json(values) == compact(values)
    assert values_json([{1: "a"}, (1, 2)]) == '[{"1":"a"},[1,2]]'
    assert values_json([1e16, 2**64]) == "[1e+16,1.8446744073709552e+19]"


@pytest.mark.parametrize("value", [(), "abc", {1}, (x for x in []), None, {"a": 1}])
def test_partitions_require_a_list(value):
    with pytest.raises(TypeError) as info:
        partitions(value)
    assert str(info.value) == f"argument 'values': '{type(value).__qualname__}' object cannot be converted to 'PyList'"


@pytest.mark.parametrize("item, message", [
    (float("nan"), "expected value at line 1 column 1"),
    (float("inf"), "expected value at line 1 column 1"),
    ([[float("nan")]], "expected value at line 1 column 3"),
    (10**400, "number out of range"),
    (-float("inf"), ""),
    (eval("[" * 128 + "]" * 128), "recursion limit exceeded"),
])
def test_partitions_reject_what_the_reader_refuses(item, message):
    values = ["fine", item]
    with pytest.raises(ValueError) as info:
        partitions(values)
    assert str(info.value).startswith("invalid partition value: " + message)
    assert values[0] == "fine" and len(values) == 2


@pytest.mark.parametrize("item", [object(), {1, 2}])
def test_partitions_pass_dumps_errors_on(item):
    expected = error_of(lambda: json.dumps(item))
    with pytest.raises(type(expected)) as info:
        partitions([eval("[" * 127 + "]" * 127), item])  # 127 levels are fine
    assert str(info.value) == str(expected)


class Meddling(dict):
    """A dict whose items() (called by json.dumps) changes the list being walked."""

    def __init__(self, action):
        super().__init__(k=1)
        self.action = action

    def items(self):
        self.action()
        return super().items()


@pytest.mark.parametrize("change, expected", [
    (lambda values: values.clear(), [{"k": 1}]),
    (lambda values: values.extend(["x"] * 5), [{"k": 1}, "a", "b"]),
    (lambda values: values.__setitem__(slice(1, None), ["z"]), [{"k": 1}, "z"]),
])
def test_partitions_follow_a_list_changed_during_the_walk(change, expected):
    values = []
    values += [Meddling(lambda: change(values)), "a", "b"]
    assert values_json(values) == compact(expected)


# --- asset(...) ----------------------------------------------------------------------------


def test_asset_without_options_reads_back_as_absent():
    meta = metadata()
    assert meta == {"kind": "asset", "name": None, "serializer": None, "inputs": None, "partitions": None}
    assert list(meta) == ["kind", "name", "serializer", "inputs", "partitions"]
    empty = metadata(name="", inputs={}, partitions={}, serializer="s")
    assert (empty["name"], empty["inputs"], empty["partitions"], empty["serializer"]) == ("", {}, {}, "s")


NOT_AN_INPUT = "inputs values must be @asset-decorated functions or asset ref strings"
NOT_PARTITIONS = "partition values must be partitions([...]) instances"


@pytest.mark.parametrize("options, message", [
    (dict(name=1, serializer=2, inputs=3), "argument 'name': 'int' object cannot be converted to 'PyString'"),
    (dict(serializer=b"x", inputs=3), "argument 'serializer': 'bytes' object cannot be converted to 'PyString'"),
    (dict(inputs=[("a", "b")], partitions=1), "'list' object cannot be converted to 'PyDict'"),
    (dict(partitions=(1,)), "'tuple' object cannot be converted to 'PyDict'"),
    (dict(inputs={"a": "ok", 1: "x", "b": 5}), "'int' object cannot be converted to 'PyString'"),
    (dict(inputs={"a": "ok", "b": 5, 1: "x"}), NOT_AN_INPUT),
    (dict(inputs={"a": 5}, partitions={"d": []}), NOT_AN_INPUT),
    (dict(inputs={"f": lambda: 1}), NOT_AN_INPUT),
    (dict(inputs={"x": types.SimpleNamespace(__mervo_kind__="Asset")}), NOT_AN_INPUT),
    (dict(inputs={"x": types.SimpleNamespace(__mervo_kind__=1)}), NOT_AN_INPUT),
    (dict(inputs={"x": Unreadable()}), NOT_AN_INPUT),
    (dict(partitions={"d": ["a"]}), NOT_PARTITIONS),
    (dict(partitions={"d": partitions([]), "e": [1], 2: partitions([])}), NOT_PARTITIONS),
    (dict(partitions={"d": partitions([]), 2: partitions([])}), "'int' object cannot be converted to 'PyString'"),
    (dict(name="n", x=1), "asset() got an unexpected keyword argument 'x'"),
])
def test_asset_reports_the_first_bad_option(options, message):
    with pytest.raises(TypeError) as info:
        asset(**options)
    assert str(info.value) == message


@pytest.mark.parametrize("options", [dict(name="\ud800"), dict(inputs={"\ud800": "r"}), dict(inputs={"k": "\udc00"})])
def test_asset_unencodable_text_fails_with_the_host_error(options):
    with pytest.raises(UnicodeEncodeError):
        asset(**options)


FLOWS = """
    from mervo import asset

    @asset()
    def raw():
        return [1, 2, 3]

    class Marked:
        __mervo_kind__ = "asset"

    class Kind(str):
        pass

    def tagged():
        pass

    tagged.__mervo_kind__ = Kind("asset")

    class Aliased:
        __mervo_kind__ = Kind("asset")
        @property
        def __mervo_original__(self):
            raise RuntimeError("no original")
"""


def test_asset_inputs_refer_to_resolved_source_files(user_modules):
    real = user_modules.write("flows_real", FLOWS)
    link = user_modules.write("flows_link", "")
    link.unlink()
    link.symlink_to(real)
    flows = importlib.import_module("flows_link")
    file = str(real.resolve())
    assert file != str(link)
    inputs = {"data": flows.raw, "cls": flows.Marked, "tagged": flows.tagged, "text": "any: text", "empty": "",
              "hook": Hook(lambda: 1 / 0)}  # a str whose marker lookup fails is still a reference
    assert metadata(inputs=inputs)["inputs"] == {
        "data": file + ":raw", "cls": file + ":Marked", "tagged": file + ":tagged", "text": "any: text", "empty": "",
        "hook": "ref"}


DOCSTRING_EXAMPLES = """
    from mervo import asset, partitions

    @asset()
    def raw(): return [1, 2, 3]

    @asset(inputs={"data": raw})
    def processed(data): return [x * 2 for x in data]

    @asset(partitions={"ticker": partitions(["AAPL", "MSFT", "GOOG"])})
    def prices(ticker: str):
        return {"ticker": ticker}
"""


def test_docstring_examples_declare_and_run(user_modules):
    path = user_modules.write("examples_pkg.flows", DOCSTRING_EXAMPLES)
    flows = importlib.import_module("examples_pkg.flows")
    assert flows.processed(data=flows.raw()) == [2, 4, 6] and flows.prices("AAPL") == {"ticker": "AAPL"}
    assert flows.processed.__mervo_metadata__["inputs"] == {"data": f"{path.resolve()}:raw"}
    assert flows.prices.__mervo_metadata__["partitions"] == {
        "ticker": {"kind": "inline", "values_json": '["AAPL","MSFT","GOOG"]'}}
    assert flows.prices.__module__ == "examples_pkg.flows" and flows.raw.__mervo_metadata__["partitions"] is None


def test_asset_inputs_resolution_errors_pass_through(user_modules):
    flows = importlib.import_module(user_modules.write("flows_err", FLOWS).stem)
    missing = types.FunctionType(compile("def g(): pass", "/nonexistent/g.py", "exec").co_consts[0], {})
    missing.__mervo_kind__ = "asset"
    cases = [
        (flows.Aliased(), lambda: inspect.getsourcefile(flows.Aliased())),
        (types.SimpleNamespace(__mervo_kind__="asset", __mervo_original__=len), lambda: inspect.getsourcefile(len)),
        (missing, lambda: pathlib.Path(inspect.getsourcefile(missing))),
    ]
    for value, host in cases:
        expected = error_of(host)
        with pytest.raises(type(expected)) as info:
            asset(inputs={"x": value})
        assert str(info.value) == str(expected)
    flows.__mervo_kind__, flows.__name__ = "asset", 42  # a module passes getsourcefile; its name is no str
    with pytest.raises(TypeError, match=r"^'int' object cannot be converted to 'PyString'$"):
        asset(inputs={"x": flows})


def test_partitions_objects_are_copied_not_shared():
    shared = partitions(["a", "b"])
    first = metadata(partitions={"x": shared, "y": shared})
    second = metadata(partitions={"z": shared})
    spec = {"kind": "inline", "values_json": '["a","b"]'}
    assert first["partitions"] == {"x": spec, "y": spec} and second["partitions"] == {"z": spec}
    assert list(spec) == list(first["partitions"]["x"]) and repr(shared) == "Partitions(2 values)"


def panic_from(inputs):
    with pytest.raises(BaseException) as info:
        asset(inputs=inputs)
    assert not isinstance(info.value, Exception)
    assert type(info.value).__name__ == "PanicException"
    return info.value


def test_inputs_changed_while_walked_is_an_internal_fault_never_discarded(capfd):
    grown = {"a": Hook(lambda: grown.__setitem__("z", "r")), "b": "ref"}
    fault = panic_from(grown)
    assert str(fault) == "dictionary changed size during iteration"
    swapped = {"a": Hook(lambda: (swapped.pop("a"), swapped.__setitem__("c", "r"))), "b": "ref"}
    assert str(panic_from(swapped)) == "dictionary keys changed during iteration"
    last = {"b": "ref", "a": Hook(lambda: last.pop("b"))}
    assert str(panic_from(last)) == "dictionary changed size during iteration"

    def rethrow():  # a marker lookup that raises the fault must not be taken for "not marked"
        raise fault

    resumed = panic_from({"x": Hook(rethrow)})
    assert type(resumed) is type(fault) and str(resumed) == str(fault)
    assert "PanicException" in capfd.readouterr().err


# --- asset_decorator and AssetWrapper --------------------------------------------------------


def sample(a, b=2, *args, **kwargs):
    """Sample docstring."""
    return a, b, args, kwargs


def test_wrapper_looks_like_its_function():
    decorator = asset(name="n")
    assert isinstance(decorator, types.BuiltinFunctionType)
    assert (decorator.__name__, decorator.__doc__, decorator.__module__) == ("asset_decorator", None, None)
    wrapper = decorator(sample)
    assert type(wrapper) is _mervo.AssetWrapper
    assert wrapper.__mervo_original__ is sample and wrapper.__wrapped__ is sample
    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__module__) == ("sample", "sample", __name__)
    assert wrapper.__mervo_kind__ == "asset" and inspect.signature(wrapper) == inspect.signature(sample)
    other = decorator(test_wrapper_looks_like_its_function)
    assert other.__mervo_metadata__ == wrapper.__mervo_metadata__ and other.__wrapped__ is not sample


def test_wrapper_attributes_are_live_and_read_only():
    def renamed():
        pass

    wrapper = asset()(renamed)
    renamed.__name__ = "fresh"
    assert wrapper.__name__ == "fresh"
    first, second = wrapper.__mervo_metadata__, wrapper.__mervo_metadata__
    first["name"] = "changed"
    assert first is not second and second["name"] is None and wrapper.__mervo_metadata__["name"] is None
    for attribute in ("__name__", "__wrapped__", "__mervo_metadata__", "other"):
        with pytest.raises(AttributeError):
            setattr(wrapper, attribute, 1)
        with pytest.raises(AttributeError):
            delattr(wrapper, attribute)


@pytest.mark.parametrize("call", [
    lambda w: w(1),
    lambda w: w(1, 3, 4, key="v"),
    lambda w: w(b=5, a=0),
    lambda w: w(*[1, 2], **{}),
    lambda w: type(w).__call__(w, 1, b=7),
    lambda w: type(w).__call__(w, 1, **{}),
])
def test_wrapper_passes_exactly_the_given_arguments(call):
    assert call(asset()(sample)) == call(sample)


def test_wrapper_call_errors_pass_through_unchanged():
    error = KeyError("mine")

    def failing():
        raise error

    with pytest.raises(KeyError) as info:
        asset()(failing)()
    assert info.value is error
    number = 42
    wrapped = asset()(number)
    for action in (lambda o: o.__name__, lambda o: o(), lambda o: o.__qualname__):
        expected = error_of(lambda: action(number))
        with pytest.raises(type(expected)) as info:
            action(wrapped)
        assert str(info.value) == str(expected)


@pytest.mark.parametrize("args, kwargs", [((), {}), ((sample, sample), {}), ((), {"function": sample})])
def test_decorator_takes_exactly_one_positional_argument(args, kwargs):
    with pytest.raises(TypeError) as info:
        asset()(*args, **kwargs)
    assert str(info.value) == "asset() decorator expects exactly one argument (the function)"
    assert asset()(sample, extra=1).__wrapped__ is sample


def test_wrapper_in_a_class_body_never_binds():
    class Holder:
        @asset()
        def method(*args):
            return args

    assert Holder().method(1) == (1,) and Holder.method() == ()
    assert Holder().method is Holder.__dict__["method"]


@pytest.mark.parametrize("cls, name", [(_mervo.AssetWrapper, "AssetWrapper"), (_mervo.Partitions, "Partitions")])
def test_classes_have_no_constructor_dict_weakrefs_or_subclasses(cls, name):
    with pytest.raises(TypeError, match="^No constructor defined for " + name):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__vectorcalloffset__" not in dir(cls) and cls.__dictoffset__ == cls.__weakrefoffset__ == 0
    instance = asset()(sample) if name == "AssetWrapper" else partitions([])
    with pytest.raises(TypeError):
        weakref.ref(instance)


DEEP_CHAIN = """
import sys
from mervo import asset
chain = len
for _ in range(300_000):
    chain = asset()(chain)
try:
    chain([])
except RecursionError:
    print("recursion")
try:
    chain.__name__
except RecursionError:
    print("recursion")
del chain
print("released")
"""


def test_a_deep_chain_of_wrappers_neither_overflows_nor_crashes_on_release():
    done = run_code(DEEP_CHAIN, timeout=120)
    assert (done.returncode, done.stdout.split()) == (0, ["recursion", "recursion", "released"]), done.stderr


def test_a_dropped_module_that_defines_assets_is_freed(user_modules):
    # The wrapper holds the function, whose globals hold the wrapper: only the collector frees that.
    user_modules.write("dropped_flows", "from mervo import asset\n\nclass Big: pass\nbig = Big()\n\n"
                                        "@asset()\ndef a():\n    return big\n")
    module = importlib.import_module("dropped_flows")
    held = weakref.ref(module.big)
    del module, sys.modules["dropped_flows"]
    gc.collect()
    assert held() is None


def test_instances_show_the_functions_docstring_and_the_class_its_own():
    wrapper = asset()(sample)
    assert wrapper.__doc__ == inspect.getdoc(wrapper) == "Sample docstring."
    assert "decorator wrapper" not in pydoc.render_doc(wrapper)
    assert _mervo.AssetWrapper.__doc__.startswith("The `@asset()` decorator wrapper.")
    assert asset()(42).__doc__ == (42).__doc__


def test_a_failing_first_attribute_read_raises_instead_of_aborting():
    # The first read interns the forwarded names: with no memory that fails, inside the boundary.
    done = run_code(
        """
        import _testcapi
        from mervo import asset
        wrapper, seen = asset()(len), "nothing"
        _testcapi.set_nomemory(0)
        try:
            wrapper.__module__
        except MemoryError:
            seen = "MemoryError"
        _testcapi.remove_mem_hooks()
        print(seen)
        """
    )
    assert (done.returncode, done.stdout) == (0, "MemoryError\n"), done.stderr

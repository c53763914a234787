"""Materialisation: materialize_asset, value.json, result.json and the worker process."""

import gc
import importlib
import inspect
import json
import os
import pathlib
import subprocess
import sys
import tempfile

import pytest
from support import error_of as caught

import _mervo

ASSETS = '''
def total(a: int, b: int = 2) -> int:
    return a + b

def nothing():
    return None

def unordered():
    return {"b": 1, "a": "\u00e9"}

class Score(int):
    pass

def score():
    return Score(7)

def echo(a):
    return a

def as_set():
    return {1}

def zero():
    return 1 / 0

class Outer:
    class Inner(Exception):
        pass

def inner():
    raise Outer.Inner("deep")

def quoted():
    raise ValueError('say "hi"\\nnow \u00e9t\u00e9')

def empty():
    raise KeyError()

class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")

def bad_str():
    raise BadStr()

def surrogate():
    raise ValueError("half \\udc80 pair")

def exits():
    raise SystemExit(3)

def interrupted():
    raise KeyboardInterrupt

class NoSignature:
    __signature__ = "nope"
    def __call__(self):
        return 1

no_signature = NoSignature()

class Wrapper:
    """Marks `total` the way the decorator does; calling the wrapper itself is a fault."""
    __mervo_original__ = staticmethod(total)
    def __call__(self, **kwargs):
        raise AssertionError("wrapper called")

wrapped = Wrapper()

class Refusing:
    """Its unwrap lookup raises something other than AttributeError."""
    @property
    def __mervo_original__(self):
        raise KeyError("__mervo_original__")
    def __call__(self):
        return "itself"

refusing = Refusing()
'''

DECORATED = '''
from mervo import asset

@asset()
def total(a: int, b: int = 2) -> int:
    return a + b
'''


@pytest.fixture
def assets(user_modules):
    user_modules.write("pkg.assets", ASSETS)
    user_modules.write("pkg.decorated", DECORATED)
    import pkg.assets

    return pkg.assets


@pytest.fixture
def out(tmp_path):
    """An output directory apart from the user modules."""
    (tmp_path / "out").mkdir()
    return tmp_path / "out"


def compact(record):
    """The text our writer must produce for `record`, as the host renders it."""
    return json.dumps(record, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def listing(folder):
    return {p.name: p.read_bytes() for p in pathlib.Path(folder).iterdir()}


def success(module_name, function, out, value, called):
    return {
        "artifact_format": "json",
        "function_name": function,
        "module_path": module_name,
        "ok": True,
        "result_type": type(value).__name__,
        "signature": str(inspect.signature(called)),
        "value_path": str(pathlib.Path(out) / "value.json"),
    }


def failure(error):
    return {"error": f"{type(error).__qualname__}: {error}", "error_type": type(error).__name__, "ok": False}


def fails(*args):
    with pytest.raises(SystemExit) as info:
        _mervo.materialize_asset(*args)
    assert info.value.code == 1
    assert info.value.__context__ is None and info.value.__cause__ is None
    return info.value


@pytest.mark.parametrize("module", ["pkg.assets", "pkg.decorated"])
def test_worked_example_byte_for_byte(assets, tmp_path, monkeypatch, module):
    monkeypatch.chdir(tmp_path)
    assert _mervo.materialize_asset(module, "total", "out/total", '{"a": 3}') is None
    original = sys.modules[module].total
    original = getattr(original, "__mervo_original__", original)
    assert listing("out/total") == {
        "value.json": b"5",
        "result.json": compact(success(module, "total", "out/total", 5, original)),
    }


@pytest.mark.parametrize(
    "function, kwargs, called",
    [
        ("nothing", None, "nothing"),
        ("nothing", "{}", "nothing"),  # an empty object still takes the keyword path
        ("unordered", None, "unordered"),
        ("score", None, "score"),
        ("echo", '{"a": NaN}', "echo"),  # decoded by the host, rendered untouched
        ("wrapped", '{"a": 1}', "total"),
        ("refusing", None, "refusing"),
    ],
)
def test_success_writes_the_host_rendering(assets, out, function, kwargs, called):
    called = getattr(assets, called)
    value = called(**json.loads(kwargs or "{}"))
    _mervo.materialize_asset("pkg.assets", function, str(out), kwargs)
    assert listing(out) == {
        "value.json": json.dumps(value).encode(),
        "result.json": compact(success("pkg.assets", function, out, value, called)),
    }


@pytest.mark.parametrize(
    "function, kwargs, expected",
    [
        ("zero", None, lambda m: failure(caught(m.zero))),
        ("inner", None, lambda m: failure(caught(m.inner))),
        ("quoted", None, lambda m: failure(caught(m.quoted))),
        ("empty", None, lambda m: {"error": "KeyError: ", "error_type": "KeyError", "ok": False}),
        ("bad_str", None, lambda m: {"error": "BadStr: <exception str() failed>", "error_type": "BadStr", "ok": False}),
        ("surrogate", None, lambda m: {"error": "ValueError: half \ufffd pair", "error_type": "ValueError", "ok": False}),
        ("exits", None, lambda m: failure(SystemExit(3))),
        ("interrupted", None, lambda m: failure(KeyboardInterrupt())),
        ("as_set", None, lambda m: failure(caught(lambda: json.dumps({1})))),
        ("nothing", "", lambda m: failure(caught(lambda: json.loads("")))),
        ("nothing", "[1, 2]", lambda m: failure(TypeError("'list' object cannot be converted to 'PyDict'"))),
        ("nothing", "null", lambda m: failure(TypeError("'NoneType' object cannot be converted to 'PyDict'"))),
        ("nothing", '{"x": 1}', lambda m: failure(caught(lambda: m.nothing(x=1)))),
        ("missing", None, lambda m: failure(caught(lambda: m.missing))),
    ],
)
def test_failure_is_recorded_and_leaves_an_older_value(assets, out, function, kwargs, expected):
    (out / "value.json").write_bytes(b"older")
    fails("pkg.assets", function, str(out), kwargs)
    assert listing(out) == {"value.json": b"older", "result.json": compact(expected(assets))}


def test_missing_module_creates_the_directory(assets, tmp_path):
    out = tmp_path / "a" / "b" / "c"
    fails("pkg.absent", "f", str(out))
    error = caught(lambda: __import__("pkg.absent"))
    assert listing(out) == {"result.json": compact(failure(error))}


def test_signature_failure_keeps_the_new_value(assets, out):
    fails("pkg.assets", "no_signature", str(out))
    error = caught(lambda: inspect.signature(assets.no_signature))
    assert listing(out) == {"value.json": b"1", "result.json": compact(failure(error))}


def test_second_run_replaces_both_files(assets, out):
    _mervo.materialize_asset("pkg.assets", "unordered", str(out))
    _mervo.materialize_asset("pkg.assets", "total", str(out), '{"a": 1}')
    assert listing(out) == {"value.json": b"3", "result.json": compact(
        success("pkg.assets", "total", out, 3, assets.total))}


def test_value_write_failure_is_recorded(assets, out):
    (out / "value.json").symlink_to("/dev/full")
    fails("pkg.assets", "total", str(out), '{"a": 1}')
    error = caught(lambda: pathlib.Path("/dev/full").write_text("3", "utf-8"))
    assert (out / "result.json").read_bytes() == compact(failure(error))


@pytest.mark.parametrize("function", ["zero", "nothing"])
def test_unwritable_record_reaches_the_caller(assets, out, function):
    (out / "result.json").symlink_to("/dev/full")
    with pytest.raises(OSError) as info:
        _mervo.materialize_asset("pkg.assets", function, str(out))
    assert not isinstance(info.value, SystemExit)
    assert info.value.errno == caught(lambda: pathlib.Path("/dev/full").write_text("x", "utf-8")).errno


@pytest.mark.skipif(os.geteuid() == 0, reason="root writes into read-only directories")
def test_read_only_directory_refuses_the_record(assets, out):
    out.chmod(0o555)
    try:
        with pytest.raises(PermissionError):
            _mervo.materialize_asset("pkg.assets", "zero", str(out))
    finally:
        out.chmod(0o755)
    assert listing(out) == {}


def test_host_calls_and_their_order(assets, out, monkeypatch):
    calls = []

    class Recording(type(pathlib.Path())):
        def mkdir(self, *args, **kwargs):
            calls.append(("mkdir", args, kwargs))
            return super().mkdir(*args, **kwargs)

        def __truediv__(self, name):
            calls.append(("join", type(name), name))
            return super().__truediv__(name)

        def write_text(self, *args, **kwargs):
            calls.append(("write", self.name, args[1:], kwargs))
            return super().write_text(*args, **kwargs)

    exits = []
    with monkeypatch.context() as patch:
        # A factory: Path.__new__ compares its class with the module's Path.
        patch.setattr(pathlib, "Path", lambda text: calls.append(("path", text)) or Recording(text))
        patch.setattr(sys, "exit", exits.append)
        _mervo.materialize_asset("pkg.assets", "nothing", str(out))
        assert _mervo.materialize_asset("pkg.assets", "zero", str(out)) is None  # sys.exit returned
    assert exits == [1] and type(exits[0]) is int
    prepare = [("path", str(out)), ("mkdir", (), {"parents": True, "exist_ok": True}), ("join", str, "result.json")]
    record = ("write", "result.json", ("utf-8",), {})
    assert calls == [*prepare, ("join", str, "value.json"), ("write", "value.json", ("utf-8",), {}), record,
                     *prepare, record]


@pytest.mark.parametrize(
    "args, message",
    [
        ((b"pkg", "f", "OUT"), "argument 'module_name': 'bytes' object cannot be converted to 'PyString'"),
        (("pkg", 1, pathlib.Path("OUT")), "argument 'function_name': 'int' object cannot be converted to 'PyString'"),
        (("pkg", "f", pathlib.Path("OUT")),
         f"argument 'output_dir': '{type(pathlib.Path()).__qualname__}' object cannot be converted to 'PyString'"),
        (("pkg", "f", "OUT", {}), "argument 'input_kwargs_json': 'dict' object cannot be converted to 'PyString'"),
    ],
)
def test_bad_arguments_touch_nothing(tmp_path, monkeypatch, args, message):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError) as info:
        _mervo.materialize_asset(*args)
    assert str(info.value) == message
    assert listing(tmp_path) == {}


def test_output_dir_that_is_a_file(assets, out):
    (out / "taken").write_bytes(b"x")
    with pytest.raises(FileExistsError):
        _mervo.materialize_asset("pkg.assets", "nothing", str(out / "taken"))
    assert listing(out) == {"taken": b"x"}


def worker(root, *args, stdin=b""):
    return subprocess.run([sys.executable, "-m", "mervo.worker", *args], cwd=root, input=stdin, capture_output=True,
                          timeout=60)


def expected_files(module, function, kwargs):
    """What a run leaves, worked out in plain Python."""
    try:
        target = getattr(importlib.import_module(module), function)
        try:
            called = target.__mervo_original__
        except Exception:
            called = target
        value = called(**json.loads(kwargs or "{}"))
    except BaseException as error:
        return {"result.json": compact(failure(error))}
    return {"value.json": json.dumps(value).encode(), "result.json": compact(success(module, function, "out", value, called))}


@pytest.mark.parametrize(
    "module, function, kwargs, status",
    [
        ("pkg.assets", "total", '{"a": 3}', 0),
        ("pkg.decorated", "total", '{"a": 3}', 0),
        ("pkg.assets", "zero", None, 1),
        ("pkg.absent", "f", None, 1),
        ("pkg.assets", "exits", None, 1),
    ],
)
def test_worker_process(assets, user_modules, module, function, kwargs, status):
    done = worker(user_modules.root, module, function, "out", *([kwargs] if kwargs else []))
    assert (done.returncode, done.stderr) == (status, b"")
    assert listing(user_modules.root / "out") == expected_files(module, function, kwargs)


@pytest.mark.parametrize("source", ["stdin", "file"])
def test_worker_reads_long_kwargs_from_stdin_or_a_file(assets, user_modules, source):
    text = json.dumps({"a": "\u00e9" * 100_000}, ensure_ascii=False)
    if source == "stdin":
        done = worker(user_modules.root, "pkg.assets", "echo", "out", "-", stdin=text.encode())
    else:
        (user_modules.root / "kwargs.json").write_text(text, encoding="utf-8")
        done = worker(user_modules.root, "pkg.assets", "echo", "out", "@kwargs.json")
    assert (done.returncode, done.stderr) == (0, b"")
    assert (user_modules.root / "out" / "value.json").read_bytes() == json.dumps(json.loads(text)["a"]).encode()


@pytest.mark.parametrize("args", [(), ("pkg.assets", "total"), ("a", "b", "c", "d", "e")])
def test_worker_usage(tmp_path, args):
    done = worker(tmp_path, *args)
    assert done.returncode == 2
    assert done.stderr.decode().startswith("usage: python -m mervo.worker MODULE FUNCTION OUTPUT_DIR")
    assert listing(tmp_path) == {}


@pytest.fixture
def fast_dir(tmp_path):
    """A folder in memory when there is one: the leak test writes thousands of files."""
    shm = pathlib.Path("/dev/shm")
    with tempfile.TemporaryDirectory(dir=shm if os.access(shm, os.W_OK) else tmp_path) as folder:
        yield pathlib.Path(folder)


def test_error_paths_do_not_leak(assets, fast_dir):
    taken = fast_dir / "taken"
    taken.write_bytes(b"")
    out = str(fast_dir / "out")
    calls = [
        ("pkg.assets", "total", out, '{"a": 1}'),
        ("pkg.assets", "wrapped", out, '{"a": 1}'),
        ("pkg.assets", "refusing", out),
        ("pkg.assets", "zero", out),
        ("pkg.assets", "bad_str", out),
        ("pkg.assets", "surrogate", out),
        ("pkg.assets", "exits", out),
        ("pkg.assets", "as_set", out),
        ("pkg.assets", "no_signature", out),
        ("pkg.assets", "nothing", out, "[1]"),
        ("pkg.assets", "nothing", out, '{"x": 1}'),
        ("pkg.assets", "missing", out),
        ("pkg.absent", "f", out),
        ("pkg.assets", "nothing", str(taken)),
        ("pkg.assets", "nothing", pathlib.Path(out)),
        ("pkg.assets", "nothing", out, 5),
    ]

    def round_trip():
        for args in calls:
            try:
                _mervo.materialize_asset(*args)
            except (SystemExit, TypeError, FileExistsError):
                pass

    for _ in range(20):
        round_trip()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(500):  # one block kept per round would show as 500
        round_trip()
    gc.collect()
    assert sys.getallocatedblocks() - before < 250  # allocator noise stays near 100

"""Tests of inspect_modules, its asset records and document, and the mervo.inspect stub."""

import gc
import importlib
import inspect
import io
import json
import math
import os
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest
from support import error_of as host_error

import _mervo
from _mervo import inspect_modules

# Objects that follow the asset attribute protocol without the native decorator.
FAKE_HELPER = '''
class FakeAsset:
    def __init__(self, fn, metadata, kind="asset"):
        self.__mervo_kind__ = kind
        self.__mervo_metadata__ = metadata
        self.__mervo_original__ = fn


def fake(metadata=None, kind="asset"):
    def wrap(fn):
        return FakeAsset(fn, {} if metadata is None else metadata, kind)
    return wrap


class KindRaises:
    def __init__(self, error):
        self.error = error

    @property
    def __mervo_kind__(self):
        raise self.error


class MetadataRaises:
    def __init__(self):
        self.__mervo_kind__ = "asset"

    @property
    def __mervo_metadata__(self):
        raise LookupError("no metadata")


class OriginalRaises(type):
    def __getattr__(cls, name):
        if name == "__mervo_original__":
            raise RuntimeError("no original")
        raise AttributeError(name)
'''


@pytest.fixture
def mods(user_modules):
    user_modules.write("mervo_fake", FAKE_HELPER)
    return user_modules


def reference_record(module, value):
    """The record as the host's own inspect, textwrap, pathlib and json give it."""
    try:
        function = value.__mervo_original__
    except BaseException:
        function = value
    try:
        source_file = inspect.getsourcefile(function)
    except Exception:
        file_path = ""
    else:
        file_path = str(pathlib.Path(source_file).resolve())
    annotation = inspect.signature(function).return_annotation
    if annotation is inspect.Signature.empty:
        return_type = None
    else:
        return_type = annotation.__name__ if isinstance(annotation, type) else str(annotation)
    version = sys.version_info
    return {
        "kind": "asset",
        "module_path": module.__name__,
        "file_path": file_path,
        "function_name": function.__name__,
        "function_source": textwrap.dedent(inspect.getsource(function)).strip() + "\n",
        "module_source": textwrap.dedent(inspect.getsource(module)).strip() + "\n",
        "decorator_metadata": json.loads(json.dumps(value.__mervo_metadata__)),
        "return_type": return_type,
        "python_version": f"{version.major}.{version.minor}.{version.micro}",
    }


def reference_document(names):
    records = []
    for name in names:
        module = importlib.import_module(name)
        for _, value in inspect.getmembers(module):
            try:
                kind = value.__mervo_kind__
            except BaseException:
                continue
            if isinstance(kind, str) and kind == "asset":
                records.append(reference_record(module, value))
    return json.dumps({"assets": records}, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


# --- the modules argument ----------------------------------------------------------------------


class LenRaises:
    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        raise RuntimeError("no length")


class IterRaises:
    def __getitem__(self, i):
        raise ValueError("cannot index")


@pytest.mark.parametrize(
    "modules, error, message",
    [
        ("mervo_fake", TypeError, "Can't extract `str` to `Vec`"),
        (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ({"mervo_fake": 1}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
        (["mervo_fake", 3], TypeError, "'int' object cannot be converted to 'PyString'"),
        ((b"x",), TypeError, "'bytes' object cannot be converted to 'PyString'"),
        (IterRaises(), ValueError, "cannot index"),
    ],
)
def test_modules_conversion_errors_come_before_any_import(mods, modules, error, message):
    with pytest.raises(error) as info:
        inspect_modules(modules)
    assert str(info.value) == "argument 'modules': " + message
    assert "mervo_fake" not in sys.modules


@pytest.mark.parametrize("wrap", [list, tuple, LenRaises], ids=["list", "tuple", "failing-len"])
def test_modules_accepts_sequences(mods, wrap):
    mods.write("one", "from mervo_fake import fake\n\n@fake()\ndef a():\n    pass\n")
    assert inspect_modules(wrap(["one"])) == reference_document(["one"])


# --- the library modules and the version text -------------------------------------------------

LIBRARIES = ["importlib", "inspect", "textwrap", "sys", "pathlib"]


@pytest.mark.parametrize("first", range(len(LIBRARIES)))
def test_first_failing_library_import_ends_the_call(mods, monkeypatch, first):
    mods.write("one", "x = 1\n")
    for name in LIBRARIES[first:]:
        monkeypatch.setitem(sys.modules, name, None)
    with pytest.raises(ImportError, match=LIBRARIES[first]):
        inspect_modules(["one"])
    monkeypatch.undo()
    assert "one" not in sys.modules


class CountingVersion:
    def __init__(self):
        self.reads = 0
        self.minor = 99
        self.micro = 7

    @property
    def major(self):
        self.reads += 1
        return 4


def test_version_text_is_read_once_per_call(mods, monkeypatch):
    mods.write("two", "from mervo_fake import fake\n\n@fake()\ndef a():\n    pass\n\n@fake()\ndef b():\n    pass\n")
    version = CountingVersion()
    monkeypatch.setattr(sys, "version_info", version)
    document = json.loads(inspect_modules(["two", "two"]))
    monkeypatch.undo()
    assert version.reads == 1
    assert [r["python_version"] for r in document["assets"]] == ["4.99.7"] * 4


# --- skipping modules that fail to import -----------------------------------------------------

# Module source, and the exception text where the host's own str() cannot give it.
FAILING_IMPORTS = {
    "missing": (None, None),
    "syntax": ("def broken(:\n    pass\n", None),
    "system_exit": ("raise SystemExit(3)\n", None),
    "keyboard": ("raise KeyboardInterrupt\n", None),
    "nested_type": ("class Outer:\n    class Oops(Exception):\n        pass\n\nraise Outer.Oops('deep')\n", None),
    "str_raises": (
        "class E(Exception):\n    def __str__(self):\n        raise ValueError\n\nraise E()\n",
        "E: <exception str() failed>",
    ),
    "surrogate": ("raise ValueError('bad \\ud800 text \\udfff')\n", "ValueError: bad \ufffd text \ufffd"),
}


@pytest.mark.parametrize("case", FAILING_IMPORTS)
def test_failing_import_is_skipped_with_a_line_on_fd_2(mods, capfd, monkeypatch, case):
    name = "failing_" + case
    source, text = FAILING_IMPORTS[case]
    if source is not None:
        mods.write(name, source)
    if text is None:
        error = host_error(lambda: importlib.import_module(name))
        text = f"{type(error).__qualname__}: {error}"
    mods.write("good", "from mervo_fake import fake\n\n@fake()\ndef a():\n    pass\n")
    capfd.readouterr()
    python_stderr = io.StringIO()
    monkeypatch.setattr(sys, "stderr", python_stderr)

    document = inspect_modules([name, "good"])

    monkeypatch.undo()
    captured = capfd.readouterr()
    assert captured.err == f"mervo: skipping module '{name}': {text}\n"
    assert captured.out == ""
    assert python_stderr.getvalue() == ""
    assert document == reference_document(["good"])


def test_long_skip_line_survives_a_non_blocking_stderr(tmp_path):
    # A full pipe makes write(2) short or EAGAIN; the whole line must still come out.
    (tmp_path / "huge_failure.py").write_text("raise ValueError('x' * 1_000_000)\n")
    script = (
        "import os, _mervo\n"
        "os.set_blocking(2, False)\n"
        "print(_mervo.inspect_modules(['huge_failure']))\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", script], cwd=tmp_path, capture_output=True, timeout=120,
        env={**os.environ, "PYTHONPATH": str(tmp_path)},
    )
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout == b'{"assets":[]}\n'
    assert done.stderr == b"mervo: skipping module 'huge_failure': ValueError: " + b"x" * 1_000_000 + b"\n"


# --- the asset test ---------------------------------------------------------------------------


def test_only_members_marked_exactly_asset_are_assets(mods, capfd):
    mods.write(
        "marks",
        """
        from mervo_fake import KindRaises, fake


        class Text(str):
            pass


        def f():
            return 1


        upper = fake(kind="Asset")(f)
        spaced_bytes = fake(kind=b"asset ")(f)
        trailing = fake(kind="asset ")(f)
        number = fake(kind=5)(f)
        surrogate = fake(kind="asset\\ud800")(f)
        raises = KindRaises(ValueError("boom"))
        interrupts = KindRaises(KeyboardInterrupt())
        subclass = fake(kind=Text("asset"))(f)
        """,
    )
    capfd.readouterr()
    document = json.loads(inspect_modules(["marks"]))
    assert [r["function_name"] for r in document["assets"]] == ["f"]
    assert capfd.readouterr() == ("", "")


def test_module_without_assets_contributes_nothing(mods, capfd):
    mods.write("plain", "import os\n\ndef helper():\n    return os.sep\n")
    capfd.readouterr()
    assert inspect_modules(["plain"]) == '{"assets":[]}'
    assert inspect_modules(modules=[]) == '{"assets":[]}'
    assert capfd.readouterr() == ("", "")


# --- records and the document -----------------------------------------------------------------

PIPELINE = '''
"""A pipeline of fixture assets."""

from datetime import date

from mervo_fake import OriginalRaises, fake


@fake({"name": None, "kind": "asset", "B": 1, "inputs": {"z": "r", "a": "q"},
       "text": ["ü/€", "tab\\there", 'quote"s', "\\x01\\x1f\\x7f", "back\\\\slash"],
       "numbers": [0, -1, 2**64 - 1, -2**63, True, None]})
def raw() -> int:
    """Docstring with "quotes"."""
    return 1


if True:
    @fake()
    def indented(x) -> date:
        # the common indentation goes
        return x


def self_marked() -> None:
    return None


self_marked.__mervo_kind__ = "asset"
self_marked.__mervo_metadata__ = {"own": [1, 2]}


class Marked(metaclass=OriginalRaises):
    __mervo_kind__ = "asset"
    __mervo_metadata__ = {"class": True}


@fake()
def quoted() -> "Foo":
    pass
'''


def test_whole_document_matches_the_hosts_own_results(mods):
    path = mods.write("pipeline", PIPELINE)
    document = inspect_modules(["pipeline"])
    assert document == reference_document(["pipeline"])
    assert "\n" not in document

    records = json.loads(document)["assets"]
    assert [r["function_name"] for r in records] == ["Marked", "indented", "quoted", "raw", "self_marked"]
    by_name = {r["function_name"]: r for r in records}
    assert {name: r["return_type"] for name, r in by_name.items()} == {
        "Marked": None, "indented": "date", "quoted": "Foo", "raw": "int", "self_marked": "None",
    }
    module_source = textwrap.dedent(PIPELINE).strip() + "\n"
    for record in records:
        assert list(record) == sorted(record)
        assert record["file_path"] == str(path.resolve())
        assert record["module_path"] == "pipeline"
        assert record["module_source"] == module_source
    assert by_name["indented"]["function_source"] == (
        "@fake()\ndef indented(x) -> date:\n    # the common indentation goes\n    return x\n"
    )
    assert by_name["Marked"]["decorator_metadata"] == {"class": True}
    assert document.startswith('{"assets":[{"decorator_metadata":{"class":true},"file_path":')


def test_record_order_duplicates_and_imported_assets(mods):
    mods.write("first", "from mervo_fake import fake\n\n@fake()\ndef b():\n    pass\n\n@fake()\ndef a():\n    pass\n")
    mods.write("second", "from first import b as z\n")
    names = ["first", "second", "first"]
    records = json.loads(inspect_modules(names))["assets"]
    assert [(r["module_path"], r["function_name"]) for r in records] == [
        ("first", "a"), ("first", "b"), ("second", "b"), ("first", "a"), ("first", "b"),
    ]
    assert records[2]["module_source"] == "from first import b as z\n"
    assert inspect_modules(names) == reference_document(names)


def test_file_path_is_resolved_through_symbolic_links(tmp_path, monkeypatch):
    real = tmp_path / "real"
    real.mkdir()
    (real / "mervo_fake_linked.py").write_text(FAKE_HELPER)
    (real / "linked.py").write_text("from mervo_fake_linked import fake\n\n@fake()\ndef a():\n    pass\n")
    link = tmp_path / "link"
    link.symlink_to(real, target_is_directory=True)
    monkeypatch.syspath_prepend(str(link))
    try:
        (record,) = json.loads(inspect_modules(["linked"]))["assets"]
    finally:
        for name in ("linked", "mervo_fake_linked"):
            sys.modules.pop(name, None)
    assert record["file_path"] == str(real.resolve() / "linked.py")


def patch_getsourcefile(monkeypatch, replacement):
    """Replaces inspect.getsourcefile for callers outside inspect itself (getsource needs it)."""
    real = inspect.getsourcefile

    def patched(obj):
        if sys._getframe(1).f_globals is vars(inspect):
            return real(obj)
        return replacement(obj)

    monkeypatch.setattr(inspect, "getsourcefile", patched)


@pytest.mark.parametrize("returns_none", [False, True], ids=["raises", "returns-none"])
def test_getsourcefile_failure_is_absorbed_but_none_fails_in_pathlib(mods, monkeypatch, returns_none):
    mods.write("one", "from mervo_fake import fake\n\n@fake()\ndef a():\n    pass\n")

    def replacement(obj):
        if returns_none:
            return None
        raise OSError("no file here")

    patch_getsourcefile(monkeypatch, replacement)
    if returns_none:
        expected = host_error(lambda: pathlib.Path(None))
        with pytest.raises(type(expected), match=re.escape(str(expected))):
            inspect_modules(["one"])
    else:
        (record,) = json.loads(inspect_modules(["one"]))["assets"]
        assert record["file_path"] == ""
        assert record["function_name"] == "a"


def raising(make):
    def call():
        raise make()
    return call


def nan_column():
    return json.dumps({"x": math.nan}).index("NaN") + 1


PROPAGATED = {
    # A built-in module imports, but its source cannot be read.
    "builtin_module": (None, lambda: inspect.getsource(sys)),
    "nan_metadata": (
        "from mervo_fake import fake\n\n@fake({'x': float('nan')})\ndef a():\n    pass\n",
        raising(lambda: RuntimeError(f"JSON parse error: expected value at line 1 column {nan_column()}")),
    ),
    "set_metadata": (
        "from mervo_fake import fake\n\n@fake({'x': {1, 2}})\ndef a():\n    pass\n",
        lambda: json.dumps({1, 2}),
    ),
    "module_name_not_str": (
        "from mervo_fake import fake\n\n@fake()\ndef a():\n    pass\n\n__name__ = 5\n",
        raising(lambda: TypeError("'int' object cannot be converted to 'PyString'")),
    ),
    "metadata_unreadable": (
        "from mervo_fake import MetadataRaises\n\nm = MetadataRaises()\n",
        raising(lambda: LookupError("no metadata")),
    ),
    "source_unreadable": (
        "from mervo_fake import fake\n\nvalue = fake()(len)\n",
        lambda: inspect.getsource(len),
    ),
}


@pytest.mark.parametrize("case", PROPAGATED)
def test_errors_that_are_not_skips_propagate_unchanged(mods, capfd, case):
    source, expected = PROPAGATED[case]
    name = "sys" if source is None else "broken_" + case
    if source is not None:
        mods.write(name, source)
    expected_error = host_error(expected)
    mods.write("good_first", "from mervo_fake import fake\n\n@fake()\ndef a():\n    pass\n")
    capfd.readouterr()
    with pytest.raises(type(expected_error)) as info:
        inspect_modules(["good_first", name])
    assert type(info.value) is type(expected_error)
    assert str(info.value) == str(expected_error)
    assert capfd.readouterr() == ("", "")


def test_members_that_are_not_tuples_end_the_call(mods, monkeypatch):
    mods.write("one", "x = 1\n")
    monkeypatch.setattr(inspect, "getmembers", lambda module: [["x", 1]])
    with pytest.raises(TypeError, match="^'list' object cannot be converted to 'PyTuple'$"):
        inspect_modules(["one"])


# --- nothing leaks ----------------------------------------------------------------------------


def test_error_paths_release_every_reference(mods, capfd):
    mods.write("good", PIPELINE)
    mods.write("nan_meta", PROPAGATED["nan_metadata"][0])
    mods.write("set_meta", PROPAGATED["set_metadata"][0])
    mods.write("bad_name", PROPAGATED["module_name_not_str"][0])
    mods.write("failing", "raise ValueError('import fails')\n")
    names = ["good", "missing_module"]
    calls = [
        (names,), (["sys"],), (["nan_meta"],), (["set_meta"],), (["bad_name"],), (["failing", "good"],),
        ("good",), ([1],), (5,),
    ]
    import good

    metadata = good.raw.__mervo_metadata__

    def run(times):
        for _ in range(times):
            for args in calls:
                try:
                    inspect_modules(*args)
                except (TypeError, RuntimeError):
                    pass

    run(20)
    gc.collect()
    refs = sys.getrefcount(names), sys.getrefcount(metadata), sys.getrefcount(good)
    growth = []
    for _ in range(3):
        gc.collect()
        blocks = sys.getallocatedblocks()
        run(80)
        gc.collect()
        growth.append(sys.getallocatedblocks() - blocks)
    # A leak grows every batch; a cache of the host's that fills once grows only one.
    assert min(growth) < 100, growth
    assert (sys.getrefcount(names), sys.getrefcount(metadata), sys.getrefcount(good)) == refs
    capfd.readouterr()


# --- with the real decorator ------------------------------------------------------------------

REAL_ASSETS = '''
"""Assets declared with the real decorator."""

from mervo import asset, partitions


@asset()
def raw() -> list:
    return [1, 2, 3]


class Holder:
    @asset(name="scaled", inputs={"data": raw, "other": "elsewhere.py:thing"},
           partitions={"ticker": partitions(["AAPL", "MSFT", "GOOG"]), "empty": partitions([])})
    def processed(data, other, ticker):
        return [x * 2 for x in data]


processed = Holder.processed
'''


def test_real_assets_give_the_hosts_document(user_modules):
    path = user_modules.write("real_assets", REAL_ASSETS)
    document = inspect_modules(["real_assets"])
    assert document == reference_document(["real_assets"])
    processed, raw = json.loads(document)["assets"]
    assert raw["decorator_metadata"] == {
        "inputs": None, "kind": "asset", "name": None, "partitions": None, "serializer": None,
    }
    assert raw["function_source"] == "@asset()\ndef raw() -> list:\n    return [1, 2, 3]\n"
    assert processed["function_source"].startswith("@asset(name=\"scaled\"")
    assert processed["function_source"].endswith("return [x * 2 for x in data]\n")
    assert processed["decorator_metadata"]["inputs"] == {
        "data": f"{path.resolve()}:raw", "other": "elsewhere.py:thing",
    }
    assert processed["decorator_metadata"]["partitions"] == {
        "empty": {"kind": "inline", "values_json": "[]"},
        "ticker": {"kind": "inline", "values_json": '["AAPL","MSFT","GOOG"]'},
    }


# --- the stub ---------------------------------------------------------------------------------


def run_stub(root, *names):
    return subprocess.run(
        [sys.executable, "-m", "mervo.inspect", *names], cwd=root, capture_output=True, text=True,
        env={**os.environ, "PYTHONPATH": str(root)}, timeout=60,
    )


def test_stub_prints_the_document_alone_on_stdout(mods):
    mods.write("noisy", "import os\nprint('chatter')\nos.write(1, b'raw chatter\\n')\n" + PIPELINE)
    done = run_stub(mods.root, "noisy", "not_there")
    assert done.returncode == 0, done.stderr
    assert done.stdout == inspect_modules(["noisy"]) + "\n"
    assert "chatter\nraw chatter\n" in done.stderr
    assert "mervo: skipping module 'not_there': ModuleNotFoundError: " in done.stderr


def test_stub_works_with_the_real_decorator(user_modules):
    user_modules.write("real_assets", REAL_ASSETS)
    done = run_stub(user_modules.root, "real_assets")
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    assert done.stdout == inspect_modules(["real_assets"]) + "\n"
    assert len(json.loads(done.stdout)["assets"]) == 2


@pytest.mark.parametrize(
    "names, status, stderr_start",
    [((), 2, "usage: python -m mervo.inspect"), (("sys",), 1, "Traceback (most recent call last):")],
    ids=["usage", "inspection-error"],
)
def test_stub_failures(tmp_path, names, status, stderr_start):
    done = run_stub(tmp_path, *names)
    assert done.returncode == status
    assert done.stdout == ""
    assert done.stderr.startswith(stderr_start)
    if status == 1:
        assert done.stderr.rstrip().endswith(str(host_error(lambda: inspect.getsource(sys))))

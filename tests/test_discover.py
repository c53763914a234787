"""Tests of the project stub `python -m mervo.discover` and the plan-time checks of its document."""

import json
import sys
import time

import pytest
from _mervo import inspect_modules

from mervo.checks import check_document
from mervo.discover import discover
from support import run_discover, under_address_sanitizer

HERE = "#!"  # marks the line an error must point at


def marked_line(path):
    return next(i for i, line in enumerate(path.read_text().splitlines(), 1) if HERE in line)


def only_error(document, module):
    errors = [e for e in document["errors"] if e["module"] == module]
    assert len(errors) == 1, document["errors"]
    return errors[0]


# --- import failures ----------------------------------------------------------------------------

FAILURES = {
    "syntax": ("x = 1\ndef f(:  #!\n    pass\n", "SyntaxError: "),
    "system-exit": ("import sys\nsys.exit(3)  #!\n", "SystemExit: 3"),
    "keyboard-interrupt": ("raise KeyboardInterrupt  #!\n", "KeyboardInterrupt: "),
    "inner-import": ("import os\nimport no_such_module_xq  #!\n", "ModuleNotFoundError: No module named 'no_such"),
    "bare-decorator": ("from mervo import asset\n\n@asset  #!\ndef f():\n    pass\n", "TypeError: "),
    "deep-partition": (
        "from mervo import asset, partitions\nv = []\nfor _ in range(200):\n    v = [v]\n\n"
        "@asset(partitions={'d': partitions(v)})  #!\ndef f(d):\n    pass\n",
        "ValueError: invalid partition value: ",
    ),
    # The user's call, not the library frame that raised.
    "library-raise": ("import json\n\njson.loads('{')  #!\n", "JSONDecodeError: "),
    "unjsonable-metadata": (
        "class Fake:\n    def __init__(self, f):\n        self.__mervo_kind__ = 'asset'\n"
        "        self.__mervo_metadata__ = {'x': float('nan')}\n        self.__mervo_original__ = f\n\n"
        "def f():  #!\n    pass\n\nbad = Fake(f)\n",
        "asset 'bad': ValueError: NaN is not JSON",
    ),
}


@pytest.mark.parametrize("case", FAILURES, ids=list(FAILURES))
def test_import_failures_point_at_the_users_line(user_modules, case):
    source, error_start = FAILURES[case]
    path = user_modules.write("failing", source)
    document = discover(["failing"])
    error = only_error(document, "failing")
    assert error["error"].startswith(error_start)
    # Python 3.9 and 3.10 report a decorator's failure at the def line below it
    late = case == "bare-decorator" and sys.version_info < (3, 11)
    assert (error["file"], error["line"]) == (str(path.resolve()), marked_line(path) + late)
    raised = error["traceback"].rstrip().splitlines()[-1].partition(":")[0].rpartition(".")[2]
    assert raised + ":" in error["error"]
    assert "importlib" not in error["traceback"] and "discover.py" not in error["traceback"]


def test_error_in_an_imported_module_points_into_that_module(user_modules):
    inner = user_modules.write("inner_bad", "value = 1 / 0  #!\n")
    user_modules.write("outer", "import inner_bad\n")
    error = only_error(discover(["outer"]), "outer")
    assert (error["file"], error["line"]) == (str(inner.resolve()), marked_line(inner))


@pytest.mark.parametrize("name, hint", [("tniy", " (did you mean 'tiny'?)"), ("qqqzzz", "")])
def test_missing_module_has_no_file_and_maybe_a_hint(user_modules, name, hint):
    user_modules.write("tiny", "")
    error = only_error(discover([name]), name)
    assert error["error"] == f"ModuleNotFoundError: No module named {name!r}{hint}"
    assert (error["file"], error["line"]) == (None, None)


# --- what is found -------------------------------------------------------------------------------

FLOWS = """
    from datetime import date
    from mervo import asset, partitions

    def make_loader(table):
        @asset(name="load_" + table)
        def load():
            return table
        return load

    load_users = make_loader("users")
    load_orders = make_loader("orders")
    again = load_users

    @asset(partitions={"ticker": partitions(["A", "B"])})
    def prices(ticker: str, *, scale=1) -> int:
        return 1

    @asset()
    def dated() -> date:
        return None

    @asset()
    def quoted() -> "Foo":
        return None
"""

SECOND = """
    from flows import prices
    from mervo import asset

    @asset(inputs={"p": prices})
    def report(p):
        return p
"""


def test_assets_once_each_with_the_attribute_they_were_found_under(user_modules):
    flows = user_modules.write("flows", FLOWS)
    second = user_modules.write("second", SECOND)
    document = discover(["flows", "second", "flows"])
    found = [(a["module_path"], a["attribute"], a["function_name"]) for a in document["assets"]]
    # load_users is the object `again` found first; prices is not found again in second.
    assert found == [("flows", "again", "load"), ("flows", "dated", "dated"), ("flows", "load_orders", "load"),
                     ("flows", "prices", "prices"), ("flows", "quoted", "quoted"), ("second", "report", "report")]
    assert document["modules"] == [{"name": "flows", "file": str(flows.resolve())},
                                   {"name": "second", "file": str(second.resolve())}]
    assert document["sources"] == {str(p.resolve()): p.read_text() for p in (flows, second)}
    assert document["errors"] == []

    # Every field the inspection record also has means the same there.
    records = json.loads(inspect_modules(["flows", "second"]))["assets"]
    expected = {(r["module_path"], r["decorator_metadata"]["name"], r["function_name"]): r for r in records}
    lines = flows.read_text().splitlines()
    for asset in document["assets"]:
        record = expected[(asset["module_path"], asset["decorator_metadata"]["name"], asset["function_name"])]
        for key in ("file_path", "function_source", "decorator_metadata", "return_type"):
            assert asset[key] == record[key], (asset["attribute"], key)
        if asset["module_path"] == "flows":
            assert lines[asset["line"] - 1].lstrip().startswith("@asset(")
    prices = document["assets"][3]
    assert prices["parameters"] == [{"name": "ticker", "kind": "POSITIONAL_OR_KEYWORD", "default": False},
                                    {"name": "scale", "kind": "KEYWORD_ONLY", "default": True}]


def test_packages_are_walked_and_each_submodule_imported_once(user_modules):
    asset_source = "from mervo import asset\n\n@asset()\ndef {0}():\n    pass\n"
    user_modules.write("pkg.a", asset_source.format("a"))
    user_modules.write("pkg.sub.b", asset_source.format("b"))
    user_modules.write("pkg.bad.c", "")
    (user_modules.root / "pkg" / "bad" / "__init__.py").write_text(
        "import sys\nsys.bad_runs = getattr(sys, 'bad_runs', 0) + 1\nraise RuntimeError('no')  #!\n"
    )
    user_modules.write("pkg.__main__", "raise SystemExit('the program ran')\n")
    try:
        document = discover(["pkg"])
        assert sys.bad_runs == 1
    finally:
        vars(sys).pop("bad_runs", None)
    assert [m["name"] for m in document["modules"]] == ["pkg", "pkg.a", "pkg.sub", "pkg.sub.b"]
    assert [a["module_path"] for a in document["assets"]] == ["pkg.a", "pkg.sub.b"]
    error = only_error(document, "pkg.bad")
    assert error["error"] == "RuntimeError: no" and error["traceback"].startswith("Traceback")
    assert [e["module"] for e in document["errors"]] == ["pkg.bad"]


def test_document_stays_small_and_fast_for_thousands_of_assets(user_modules):
    body = "".join(f"@asset()\ndef asset_{i}(x=1):\n    return x + {i}\n\n\n" for i in range(3000))
    path = user_modules.write("huge", "from mervo import asset\n\n\n" + body)
    started = time.process_time()  # CPU time: other processes on a busy machine do not count
    document = discover(["huge"])
    elapsed = time.process_time() - started
    assert len(document["assets"]) == 3000 and list(document["sources"]) == [str(path.resolve())]
    # Each asset's own source and a record of a few hundred bytes; the module text once, not
    # once per asset (which would make this 3,000 times the module).
    assert len(json.dumps(document)) < 20 * len(path.read_text())
    if not under_address_sanitizer():  # the interpreter's every allocation is intercepted there
        assert elapsed < 2, elapsed


# --- the process ---------------------------------------------------------------------------------

NOISY = """
    import atexit, os
    from mervo import asset
    print("chatter")
    os.write(1, b"raw chatter\\n")
    atexit.register(print, "at exit")

    @asset(name="größe")
    def size():
        return 1
"""


def test_stub_prints_one_utf8_line_and_exits_0_despite_errors(user_modules):
    user_modules.write("noisy", NOISY)
    user_modules.write("broken", "def f(:\n")
    done = run_discover(user_modules.root, "noisy", "broken", "absent")
    assert done.returncode == 0, done.stderr
    assert done.stdout.count(b"\n") == 1 and done.stdout.endswith(b"\n")
    document = json.loads(done.stdout.decode("utf-8"))
    assert [a["decorator_metadata"]["name"] for a in document["assets"]] == ["größe"]
    assert "größe".encode() in done.stdout
    assert [e["module"] for e in document["errors"]] == ["broken", "absent"]
    assert done.stderr.decode().splitlines() == ["chatter", "raw chatter", "at exit"]


def test_stub_usage_error_exits_2(tmp_path):
    done = run_discover(tmp_path)
    assert (done.returncode, done.stdout) == (2, b"")
    assert b"usage: python -m mervo.discover" in done.stderr


# --- checks --------------------------------------------------------------------------------------

HEAD = "from pathlib import Path\nfrom mervo import asset, partitions\n\n@asset(name='raw')\ndef raw():\n    pass\n\n"
CHECKS = {
    "unknown-input": ("@asset(inputs={'data': 'raw'})\ndef f(other=1):\n    pass\n",
                      "input 'data' is not a keyword parameter of f() (it takes: other)"),
    "unknown-dimension": ("@asset(partitions={'day': partitions([1])})\ndef f():\n    pass\n",
                          "partition dimension 'day' is not a keyword parameter of f()"),
    "positional-only": ("@asset(inputs={'data': 'raw'})\ndef f(data, /):\n    pass\n",
                        "input 'data' is not a keyword parameter of f()"),
    "unsupplied": ("@asset(inputs={'data': 'raw'})\ndef f(data, limit, *args, **kwargs):\n    pass\n",
                   "parameter 'limit' of f() has no default and no input or partition dimension supplies it"),
    "kwargs-take-all": ("@asset(inputs={'x': 'raw'}, partitions={'d': partitions([1])})\ndef f(**kw):\n    pass\n",
                        None),
    "no-signature": ("@asset()\ndef f(x):\n    pass\n\nf.__mervo_original__.__signature__ = 42\n", None),
    "misspelt": ("@asset(inputs={'data': 'rwa'})\ndef f(data):\n    pass\n",
                 "input 'data': no asset is named 'rwa'; did you mean 'raw'?"),
    "not-an-asset": ("def helper():\n    pass\n\n@asset(inputs={'h': str(Path(__file__).resolve()) + ':helper'})\n"
                     "def f(h):\n    pass\n",
                     "input 'h' refers to 'helper' in module 'chk', which is not an asset there "
                     "(decorate it with @asset())"),
    "module-not-named": ("import chk_lib\n\n@asset(inputs={'t': chk_lib.thing})\ndef f(t):\n    pass\n",
                         "a module not named on the command line: add 'chk_lib' to the modules"),
    "ambiguous": ("def make():\n    @asset()\n    def load():\n        pass\n    return load\n\n"
                  "one = make()\ntwo = make()\n\n@asset(inputs={'x': one})\ndef f(x):\n    pass\n",
                  "which names 2 assets (chk.one, chk.two); give each a distinct name= and refer to it by that name"),
    "empty-name": ("@asset(name='')\ndef f():\n    pass\n", "its name is empty"),
}


@pytest.mark.parametrize("case", CHECKS, ids=list(CHECKS))
def test_checks_find_one_problem_each(user_modules, monkeypatch, case):
    source, message = CHECKS[case]
    user_modules.write("chk_lib", "from mervo import asset\n\n@asset()\ndef thing():\n    pass\n")
    path = user_modules.write("chk", HEAD + source)
    document = discover(["chk"])
    assert document["errors"] == []
    problems = check_document(document)
    if message is None:
        assert problems == []
        return
    assert len(problems) == 1 and message in problems[0].message, problems
    problem = problems[0]
    monkeypatch.chdir(user_modules.root)
    f = next(a for a in document["assets"] if a["function_name"] == "f")
    assert str(problem) == f"chk.py:{f['line']}: asset 'chk.f': {problem.message}"
    assert problem.file == str(path.resolve())

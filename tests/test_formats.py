"""Value formats: each built-in through two jobs, plugins, unknown names, unstorable values, missing extras."""

import json
import os

import pytest

import _mervo
from mervo.formats import (
    MissingDependency,
    PluginError,
    UnknownFormat,
    get_format,
    known_formats,
    load_inputs,
    load_value,
    plugin_problems,
    run_asset,
    value_file,
)
from support import run_code, write_distribution

ASSETS = '''
import math

def as_json():
    return {"b": [1, 2.5, None, True], "a": "\\u00e9t\\u00e9 \\"q\\"\\n", "z": {}}

def not_finite():
    return [math.nan, math.inf, -0.0, 10**20]

def nothing():
    return None

def surrogate():
    raise ValueError("half \\udc80 pair")

def exits():
    raise SystemExit(3)

def as_pickle():
    return {1: (2, 3), "s": frozenset({4}), None: [b"bytes"]}

def frame():
    import numpy as np, pandas as pd
    return pd.DataFrame(
        {"i": np.array([1, -2, 3], dtype="int32"), "f": [0.5, float("nan"), 2.0], "s": ["a", None, "c"],
         "c": pd.Categorical(["x", "y", "x"]), "t": pd.to_datetime(["2024-01-01", "2024-02-01", None]).tz_localize("UTC")},
        index=pd.Index([10, 20, 30], name="row"),
    )

def table():
    import pyarrow as pa
    return pa.table({"u": pa.array([1, 2], pa.uint8()), "l": [[1.5], []], "d": pa.array(["k", "k"]).dictionary_encode()})

def array():
    import numpy as np
    return np.arange(6, dtype=np.uint16).reshape(2, 3)

def passed_on(x):
    return x

def a_set():
    return {1, 2}

def a_lambda():
    return lambda: 1

def rows():
    return [1, 2]

def objects():
    import numpy as np
    return np.array([1, "a"], dtype=object)
'''

CSV_PLUGIN = '''
import csv

class CsvFormat:
    name = "csv"
    suffix = ".csv"

    def dump(self, rows, path):
        if not (isinstance(rows, list) and all(isinstance(row, dict) for row in rows)):
            raise TypeError("a CSV value is a list of dicts")
        with open(path, "w", newline="", encoding="utf-8") as sink:
            writer = csv.DictWriter(sink, fieldnames=list(rows[0]) if rows else [])
            writer.writeheader()
            writer.writerows(rows)

    def load(self, path):
        with open(path, newline="", encoding="utf-8") as source:
            return list(csv.DictReader(source))

CSV = CsvFormat()

class Nameless:
    suffix = ".x"
'''

BUILT_IN = ["json", "pickle", "parquet", "numpy"]


@pytest.fixture
def assets(user_modules):
    user_modules.write("fmt_assets", ASSETS)
    import fmt_assets

    return fmt_assets


def read_record(folder):
    return json.loads((folder / "result.json").read_bytes())


def exit_code(function, *args):
    try:
        function(*args)
    except SystemExit as exit:
        return exit.code
    return None


def assert_same(loaded, expected):
    assert type(loaded) is type(expected)
    kind = type(expected).__name__
    if kind == "DataFrame":
        import pandas.testing

        pandas.testing.assert_frame_equal(loaded, expected)  # dtypes, index and names included
    elif kind == "Table":
        assert loaded.schema.equals(expected.schema) and loaded.equals(expected)
    elif kind == "ndarray":
        assert (loaded.dtype, loaded.shape) == (expected.dtype, expected.shape) and (loaded == expected).all()
    else:
        assert loaded == expected


@pytest.mark.parametrize(
    "serializer, function, needs",
    [
        ("json", "as_json", ()),
        ("pickle", "as_pickle", ()),
        ("parquet", "frame", ("numpy", "pandas", "pyarrow")),
        ("parquet", "table", ("pyarrow",)),
        ("numpy", "array", ("numpy",)),
    ],
)
def test_value_round_trips_through_a_downstream_job(assets, tmp_path, serializer, function, needs):
    for module in needs:
        pytest.importorskip(module)
    up, down = tmp_path / "up", tmp_path / "down"
    fmt = get_format(serializer)
    run_asset("fmt_assets", function, up, {}, serializer)
    value_path = str(up / fmt.file_name)
    assert read_record(up) == {
        "artifact_format": serializer, "function_name": function, "module_path": "fmt_assets", "ok": True,
        "result_type": type(getattr(assets, function)()).__name__, "signature": "()", "value_path": value_path,
    }
    assert sorted(os.listdir(up)) == sorted(["result.json", fmt.file_name])  # no temporary file left behind

    entry = {"format": serializer, "path": value_path}
    run_asset("fmt_assets", "passed_on", down, {}, serializer, inputs={"x": entry})
    expected = getattr(assets, function)()
    assert value_file(down) == down / fmt.file_name
    assert_same(load_value(down), expected)
    fan_in = load_inputs({"parts": {"fan_in": {"k|1": entry, "k|2": entry}}})["parts"]
    assert list(fan_in) == ["k|1", "k|2"]
    assert_same(fan_in["k|2"], expected)


@pytest.mark.parametrize("function", ["as_json", "not_finite", "nothing", "surrogate", "exits"])
def test_json_files_are_the_native_writers_bytes(assets, tmp_path, function):
    if function in ("as_json", "not_finite", "nothing"):
        value = getattr(assets, function)()
        get_format("json").dump(value, tmp_path / "dumped")
        assert (tmp_path / "dumped").read_bytes() == json.dumps(value).encode("utf-8")

    native, ours = tmp_path / "native", tmp_path / "ours"
    assert exit_code(_mervo.materialize_asset, "fmt_assets", function, str(native)) == exit_code(
        run_asset, "fmt_assets", function, ours, {}, "json")
    assert sorted(os.listdir(ours)) == sorted(os.listdir(native))
    for name in os.listdir(native):
        assert (ours / name).read_bytes() == (native / name).read_bytes().replace(b"/native/", b"/ours/")


@pytest.mark.parametrize(
    "serializer, function, needs, type_name, suggestion",
    [
        ("json", "frame", ("numpy", "pandas"), "DataFrame", "parquet"),
        ("json", "array", ("numpy",), "ndarray", "numpy"),
        ("json", "a_set", (), "set", "pickle"),
        ("pickle", "a_lambda", (), "function", None),
        ("parquet", "rows", ("pyarrow",), "list", None),
        ("numpy", "objects", ("numpy",), "ndarray", None),
        ("numpy", "rows", ("numpy",), "list", None),
    ],
)
def test_unstorable_value_fails_the_job_naming_asset_format_and_type(
    assets, tmp_path, serializer, function, needs, type_name, suggestion
):
    for module in needs:
        pytest.importorskip(module)
    out = tmp_path / "out"
    with pytest.raises(SystemExit) as exit_info:
        run_asset("fmt_assets", function, out, {}, serializer)
    assert exit_info.value.code == 1
    record = read_record(out)
    assert (record["ok"], record["error_type"]) == (False, "UnstorableValue")
    message = record["error"]
    assert f"asset fmt_assets.{function}: the {serializer} format cannot store a value of type {type_name}" in message
    assert ("try serializer=" in message) == (suggestion is not None)
    if suggestion:
        assert message.endswith(f"try serializer={suggestion!r}")
    assert os.listdir(out) == ["result.json"] and value_file(out) is None


def test_unknown_serializer_names_the_known_ones(assets, tmp_path):
    with pytest.raises(UnknownFormat, match="unknown serializer 'feather'; known serializers: json, pickle, parquet, numpy$"):
        get_format("feather")
    with pytest.raises(SystemExit):
        run_asset("fmt_assets", "nothing", tmp_path, {}, "feather")
    assert read_record(tmp_path)["error_type"] == "UnknownFormat"
    with pytest.raises(FileNotFoundError):
        load_value(tmp_path)


def test_plugin_from_an_installed_distribution(assets, tmp_path, monkeypatch):
    site = tmp_path / "site"
    monkeypatch.syspath_prepend(str(site))
    eps = {"csv": "mervo_csv_fixture:CSV", "broken": "mervo_absent_module:X", "pickle": "mervo_csv_fixture:CSV",
           "nameless": "mervo_csv_fixture:Nameless"}
    write_distribution(site, "mervo-csv-fixture", {"mervo.serializers": eps}, {"mervo_csv_fixture": CSV_PLUGIN})
    assert known_formats() == [*BUILT_IN, "broken", "csv", "nameless"]
    assert get_format("pickle").origin == "mervo"  # a plugin cannot take a built-in's name

    fmt = get_format("csv")
    rows = [{"a": "1", "b": "x,y"}, {"a": "2", "b": ""}]
    (tmp_path / "rows.py").write_text(f"def rows():\n    return {rows!r}\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    run_asset("rows", "rows", tmp_path / "out", {}, "csv")
    assert (fmt.origin, read_record(tmp_path / "out")["artifact_format"]) == ("mervo-csv-fixture", "csv")
    assert load_value(tmp_path / "out") == rows

    with pytest.raises(SystemExit):
        run_asset("fmt_assets", "as_json", tmp_path / "bad", {}, "csv")
    assert "the csv format cannot store a value of type dict (a CSV value is a list of dicts)" in read_record(
        tmp_path / "bad")["error"]

    with pytest.raises(PluginError, match="'broken' from distribution 'mervo-csv-fixture' is broken: ModuleNotFoundError"):
        get_format("broken")
    problems = plugin_problems()
    assert [p.split(" is broken: ")[0] for p in problems] == [
        f"serializer plugin {name!r} from distribution 'mervo-csv-fixture'" for name in ("broken", "nameless", "pickle")
    ]


@pytest.mark.parametrize("blocked, serializer", [("pyarrow", "parquet"), ("numpy", "numpy")])
def test_missing_optional_package_names_the_extra(tmp_path, blocked, serializer):
    done = run_code(f"""
        import sys
        sys.modules[{blocked!r}] = None  # as if it were not installed
        from mervo.formats import MissingDependency, get_format
        fmt = get_format({serializer!r})
        for action in (lambda: fmt.dump([], "x"), lambda: fmt.load("x")):
            try:
                action()
            except MissingDependency as error:
                print(error)
    """, cwd=tmp_path)
    expected = f"the {serializer} format needs {blocked}, which is not installed: pip install 'mervo[{serializer}]'"
    assert (done.returncode, done.stdout.splitlines()) == (0, [expected, expected]), done.stderr
    assert issubclass(MissingDependency, ImportError)


def test_values_of_every_format_flow_through_a_run(user_modules):
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    from support import mervo, run_record

    import mervo as mv

    user_modules.write(
        "frames",
        """
        import numpy as np
        import pandas as pd
        from mervo import asset, partitions

        @asset(serializer="parquet")
        def table():
            return pd.DataFrame({"region": ["EU", "US"], "sales": np.array([1.5, 2.5])})

        @asset(serializer="numpy", inputs={"t": table}, partitions={"region": partitions(["EU", "US"])})
        def column(t, region):
            return t[t.region == region].sales.to_numpy()

        @asset(serializer="pickle", inputs={"parts": column})
        def together(parts):
            return {key: (type(v).__name__, str(v.dtype), float(v.sum())) for key, v in parts.items()}

        @asset(inputs={"t": table})
        def rows(t):
            return len(t)
        """,
    )
    out = user_modules.root / "out"
    result = mervo(user_modules.root, "run", "frames", "--out", str(out))
    assert result.returncode == 0, result.stdout + result.stderr
    assert mv.load(out, "frames.together") == {"EU": ("ndarray", "float64", 1.5), "US": ("ndarray", "float64", 2.5)}
    import numpy as np
    import pandas as pd

    assert mv.load(out, "frames.rows") == 2
    pd.testing.assert_frame_equal(
        mv.load(out, "frames.table"), pd.DataFrame({"region": ["EU", "US"], "sales": np.array([1.5, 2.5])})
    )
    assert (out / "frames.table" / "_" / "value.parquet").exists()
    assert {j["status"] for j in run_record(out)["jobs"]} == {"ok"}


def test_an_unknown_serializer_is_a_plan_error(user_modules):
    from support import mervo

    user_modules.write("odd", "from mervo import asset\n@asset(serializer='yaml')\ndef f():\n    return 1\n")
    result = mervo(user_modules.root, "run", "odd", "--out", str(user_modules.root / "out"))
    assert result.returncode == 1 and "asset 'odd.f'" in result.stderr and "known serializers: json, pickle, parquet, numpy" in result.stderr
    assert not (user_modules.root / "out").exists()

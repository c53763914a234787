"""How a value is written and read: the built-in formats, serializer plugins, and running an asset into a file."""

from __future__ import annotations

import importlib
import inspect
import json
import os
import pickle
import re
import sys
from pathlib import Path
from typing import Any, Callable, Mapping

__all__ = [
    "Format",
    "FormatError",
    "MissingDependency",
    "PluginError",
    "UnknownFormat",
    "UnstorableValue",
    "get_format",
    "known_formats",
    "load_inputs",
    "load_value",
    "plugin_problems",
    "run_asset",
    "suggest_format",
    "unstorable_message",
    "value_file",
]

PLUGIN_GROUP = "mervo.serializers"
RESULT_FILE = "result.json"
VALUE_STEM = "value"

# The schema metadata key that says whether a parquet file came from a DataFrame or a Table:
# the file must describe itself, since a downstream job only gets its path.
_KIND_KEY = b"mervo.kind"


class FormatError(Exception):
    """A format cannot be found, loaded or used."""


class UnknownFormat(FormatError, LookupError):
    """No built-in format or plugin has this name."""

    def __init__(self, name: str, known: list[str]):
        super().__init__(f"unknown serializer {name!r}; known serializers: {', '.join(known)}")
        self.name = name
        self.known = known


class PluginError(FormatError):
    """A serializer plugin could not be loaded or does not look like a format."""


class MissingDependency(FormatError, ImportError):
    """A built-in format needs an optional package that is not installed."""


class UnstorableValue(FormatError, TypeError):
    """The chosen format cannot store the value an asset returned."""


class Format:
    """A way to write a value to one file and read it back."""

    def __init__(self, name: str, suffix: str, dump: Callable[[Any, Path], None], load: Callable[[Path], Any],
                 origin: str = "mervo"):
        self.name = name
        self.suffix = suffix  # e.g. ".parquet"; the value file is value<suffix>
        self._dump = dump
        self._load = load
        self.origin = origin  # the distribution that provides it

    def dump(self, value: Any, path: str | os.PathLike) -> None:
        self._dump(value, Path(path))

    def load(self, path: str | os.PathLike) -> Any:
        return self._load(Path(path))

    @property
    def file_name(self) -> str:
        return VALUE_STEM + self.suffix

    def __repr__(self) -> str:
        return f"<Format {self.name!r} {self.suffix!r} from {self.origin}>"


# --- built-in formats ---------------------------------------------------------------------------


def _needs(module: str, format_name: str):
    try:
        return importlib.import_module(module)
    except ImportError:
        raise MissingDependency(
            f"the {format_name} format needs {module}, which is not installed: pip install 'mervo[{format_name}]'"
        ) from None


def _loaded(module: str, name: str):
    """`module.name` when that module is already imported; a value of that type cannot exist otherwise."""
    found = sys.modules.get(module)
    return getattr(found, name, None) if found is not None else None


def _is_instance(value: Any, module: str, name: str) -> bool:
    cls = _loaded(module, name)
    return cls is not None and isinstance(value, cls)


def _json_dump(value: Any, path: Path) -> None:
    # The same text the native writer of JSON assets leaves: json.dumps with every default.
    try:
        text = json.dumps(value)
    except (TypeError, ValueError, RecursionError) as error:
        raise UnstorableValue(str(error)) from error
    path.write_bytes(text.encode("utf-8"))


def _json_load(path: Path) -> Any:
    with path.open(encoding="utf-8") as source:
        return json.load(source)


def _pickle_dump(value: Any, path: Path) -> None:
    with path.open("wb") as sink:
        try:
            pickle.dump(value, sink, protocol=pickle.HIGHEST_PROTOCOL)
        except (pickle.PicklingError, TypeError, AttributeError, RecursionError) as error:
            raise UnstorableValue(str(error)) from error


def _pickle_load(path: Path) -> Any:
    with path.open("rb") as source:
        return pickle.load(source)


def _parquet_dump(value: Any, path: Path) -> None:
    pa = _needs("pyarrow", "parquet")
    import pyarrow.parquet as pq

    if isinstance(value, pa.Table):
        table, kind = value, b"Table"
    elif _is_instance(value, "pandas", "DataFrame"):
        try:
            table, kind = pa.Table.from_pandas(value), b"DataFrame"
        except (pa.ArrowException, TypeError, ValueError) as error:
            raise UnstorableValue(str(error)) from error
    else:
        raise UnstorableValue("it stores pandas DataFrames and pyarrow Tables")
    metadata = dict(table.schema.metadata or {})
    metadata[_KIND_KEY] = kind
    try:
        pq.write_table(table.replace_schema_metadata(metadata), str(path))
    except (pa.ArrowNotImplementedError, pa.ArrowTypeError) as error:
        raise UnstorableValue(str(error)) from error


def _parquet_load(path: Path) -> Any:
    _needs("pyarrow", "parquet")
    import pyarrow.parquet as pq

    table = pq.read_table(str(path), memory_map=True)
    metadata = table.schema.metadata or {}
    kind = metadata.get(_KIND_KEY)
    if kind is None:  # written elsewhere: pandas leaves its own key
        kind = b"DataFrame" if b"pandas" in metadata else b"Table"
    if kind == b"DataFrame":
        return table.to_pandas()
    return table.replace_schema_metadata({k: v for k, v in metadata.items() if k != _KIND_KEY} or None)


def _numpy_dump(value: Any, path: Path) -> None:
    np = _needs("numpy", "numpy")
    if not isinstance(value, np.ndarray):
        raise UnstorableValue("it stores numpy arrays")
    if value.dtype.hasobject:
        raise UnstorableValue(f"an array of dtype {value.dtype} holds Python objects, which need pickle")
    # A file object, since numpy.save appends ".npy" to a path that does not end with it.
    with path.open("wb") as sink:
        np.save(sink, value, allow_pickle=False)


def _numpy_load(path: Path) -> Any:
    np = _needs("numpy", "numpy")
    return np.load(str(path), allow_pickle=False)


_BUILT_IN = {
    "json": Format("json", ".json", _json_dump, _json_load),
    "pickle": Format("pickle", ".pickle", _pickle_dump, _pickle_load),
    "parquet": Format("parquet", ".parquet", _parquet_dump, _parquet_load),
    "numpy": Format("numpy", ".npy", _numpy_dump, _numpy_load),
}


# --- plugins ------------------------------------------------------------------------------------


def _normalized(name: str) -> str:
    return re.sub(r"[-_.]+", "-", name).lower()


def _entry_points() -> dict[str, tuple[str, Any]]:
    """Format name -> (distribution name, entry point) of every plugin on sys.path.

    Read per distribution, since the entry point itself names its distribution only on 3.10+;
    the first distribution of a name on sys.path wins, as importlib.metadata does.
    """
    from importlib import metadata

    found: dict[str, tuple[str, Any]] = {}
    seen = set()
    for dist in metadata.distributions():
        dist_name = dist.metadata["Name"] or "?"
        if _normalized(dist_name) in seen:
            continue
        seen.add(_normalized(dist_name))
        for ep in dist.entry_points:
            if ep.group == PLUGIN_GROUP:
                found.setdefault(ep.name, (dist_name, ep))
    return found


def _load_plugin(name: str, dist_name: str, ep: Any) -> Format:
    def broken(reason: str) -> PluginError:
        return PluginError(f"serializer plugin {name!r} from distribution {dist_name!r} is broken: {reason}")

    if name in _BUILT_IN:
        raise broken("the name of a built-in format; the built-in one is used")
    try:
        obj = ep.load()
    except Exception as error:
        raise broken(f"{type(error).__qualname__}: {error}") from error
    missing = [a for a in ("name", "suffix", "dump", "load") if not hasattr(obj, a)]
    if missing:
        raise broken(f"{ep.value} lacks {missing[0]!r} (a format has name, suffix, dump and load)")
    own_name, suffix, dump, load = obj.name, obj.suffix, obj.dump, obj.load
    if own_name != name:
        raise broken(f"{ep.value} is named {own_name!r}, not {name!r}")
    if not (isinstance(suffix, str) and re.fullmatch(r"\.[A-Za-z0-9][A-Za-z0-9._-]*", suffix)):
        raise broken(f"suffix {suffix!r} is not a file suffix such as '.csv'")
    if not (callable(dump) and callable(load)):
        raise broken(f"{ep.value}.dump and .load must be callable")
    return Format(name, suffix, lambda value, path: dump(value, path), lambda path: load(path), origin=dist_name)


def plugin_problems() -> list[str]:
    """One line per installed serializer plugin that cannot be used."""
    problems = []
    for name, (dist_name, ep) in sorted(_entry_points().items()):
        try:
            _load_plugin(name, dist_name, ep)
        except PluginError as error:
            problems.append(str(error))
    return problems


# --- lookup -------------------------------------------------------------------------------------


def known_formats() -> list[str]:
    """The built-in format names, then the plugins' in name order."""
    return list(_BUILT_IN) + sorted(n for n in _entry_points() if n not in _BUILT_IN)


def get_format(name: str | None) -> Format:
    """The format of a serializer name; None is json. Plugins are only looked at for other names."""
    if name is None:
        return _BUILT_IN["json"]
    if name in _BUILT_IN:
        return _BUILT_IN[name]
    plugins = _entry_points()
    if name not in plugins:
        raise UnknownFormat(name, list(_BUILT_IN) + sorted(n for n in plugins if n not in _BUILT_IN))
    return _load_plugin(name, *plugins[name])


def suggest_format(value: Any) -> str | None:
    """A format that can store `value` when JSON cannot; None when nothing fits."""
    if _is_instance(value, "pandas", "DataFrame") or _is_instance(value, "pyarrow", "Table"):
        return "parquet"
    if _is_instance(value, "numpy", "ndarray") and not value.dtype.hasobject:
        return "numpy"
    try:
        pickle.dumps(value, protocol=pickle.HIGHEST_PROTOCOL)
    except Exception:
        return None
    return "pickle"


def unstorable_message(asset: str, format_name: str, value: Any, reason: str = "") -> str:
    """Why an asset's value cannot be written: the asset, the format, the value's type, a way out."""
    text = f"asset {asset}: the {format_name} format cannot store a value of type {type(value).__qualname__}"
    if reason:
        text += f" ({reason})"
    if format_name == "json":
        suggestion = suggest_format(value)
        if suggestion is not None:
            text += f"; try serializer={suggestion!r}"
    return text


# --- a job's files ------------------------------------------------------------------------------


def _qualified_error(error: BaseException) -> str:
    try:
        text = str(error)
    except Exception:
        text = "<exception str() failed>"
    # Lone surrogates cannot be written as UTF-8; the native record replaces each with U+FFFD.
    return re.sub("[\ud800-\udfff]", "\ufffd", f"{type(error).__qualname__}: {text}")


def _record_text(record: Mapping[str, Any]) -> bytes:
    # The native writer's form: keys in byte order, no spaces, UTF-8 unescaped, no newline.
    return json.dumps(record, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode("utf-8")


def write_failure(output_dir: str | os.PathLike, error: BaseException) -> None:
    """The failure record of a run, as the native writer leaves it."""
    out = Path(output_dir)
    out.mkdir(parents=True, exist_ok=True)
    failure = {"error": _qualified_error(error), "error_type": type(error).__name__, "ok": False}
    (out / RESULT_FILE).write_bytes(_record_text(failure))


def load_inputs(spec: Mapping[str, Any]) -> dict[str, Any]:
    """Keyword arguments read from upstream files.

    `spec` maps a parameter to {"format": name, "path": file} or to
    {"fan_in": {partition_key: {"format": name, "path": file}, ...}}.
    """
    def one(entry: Any, parameter: str) -> Any:
        if not (isinstance(entry, Mapping) and isinstance(entry.get("path"), str)):
            raise ValueError(f"input {parameter!r}: expected {{'format': NAME, 'path': FILE}}, got {entry!r}")
        return get_format(entry.get("format")).load(entry["path"])

    kwargs = {}
    for parameter, entry in spec.items():
        if isinstance(entry, Mapping) and "fan_in" in entry:
            kwargs[parameter] = {key: one(part, parameter) for key, part in entry["fan_in"].items()}
        else:
            kwargs[parameter] = one(entry, parameter)
    return kwargs


def _read_record(job_folder: Path) -> dict | None:
    try:
        record = json.loads((job_folder / RESULT_FILE).read_bytes())
    except (OSError, ValueError):
        return None
    return record if isinstance(record, dict) and record.get("ok") is True else None


def value_file(job_folder: str | os.PathLike) -> Path | None:
    """The value file a successful job left in its folder; None when there is none.

    Found by name in the folder itself, since "value_path" names it where the worker ran.
    """
    folder = Path(job_folder)
    record = _read_record(folder)
    if record is None:
        return None
    name = Path(str(record.get("value_path", "value.json"))).name
    path = folder / name
    return path if path.exists() else None


def load_value(job_folder: str | os.PathLike) -> Any:
    """The value of a successful job, read with the format its result.json names."""
    folder = Path(job_folder)
    path = value_file(folder)
    if path is None:
        raise FileNotFoundError(f"no value of a successful run in {folder}")
    return get_format(_read_record(folder).get("artifact_format")).load(path)


def run_asset(module_name: str, attribute: str, output_dir: str | os.PathLike, kwargs: Mapping[str, Any],
              serializer: str | None, inputs: Mapping[str, Any] | None = None) -> None:
    """Runs one asset and writes its value with the serializer's format, and result.json.

    The records are those of the native JSON writer, with the format in "artifact_format".
    `inputs` (as load_inputs takes them) is read inside the run, so a missing or unreadable
    upstream file is recorded like any other failure. A failure leaves as SystemExit(1);
    an output folder that cannot be created propagates, as it does natively.
    """
    out = Path(output_dir)
    out.mkdir(parents=True, exist_ok=True)
    result_file = out / RESULT_FILE
    temp = None
    try:
        fmt = get_format(serializer)
        target = getattr(importlib.import_module(module_name), attribute)
        try:
            function = target.__mervo_original__
        except BaseException:  # noqa: B036 - any failing lookup means an undecorated object
            function = target
        arguments = dict(kwargs)
        if inputs:
            arguments.update(load_inputs(inputs))
        value = function(**arguments)
        signature = str(inspect.signature(function))
        result_type = type(value).__name__
        value_path = out / fmt.file_name
        # Beside the final name, so the rename stays on one file system and is atomic.
        temp = out / f".{fmt.file_name}.{os.getpid()}.part{fmt.suffix}"
        try:
            fmt.dump(value, temp)
        except (UnstorableValue, TypeError, ValueError) as error:
            asset = f"{module_name}.{attribute}"
            raise UnstorableValue(unstorable_message(asset, fmt.name, value, str(error))) from error
        os.replace(temp, value_path)
        temp = None
        record = {
            "artifact_format": fmt.name,
            "function_name": attribute,
            "module_path": module_name,
            "ok": True,
            "result_type": result_type,
            "signature": signature,
            "value_path": str(value_path),
        }
        result_file.write_bytes(_record_text(record))
    except BaseException as error:  # noqa: B036 - the asset's SystemExit is recorded too, as natively
        if temp is not None:
            try:
                temp.unlink()
            except OSError:
                pass
        failure = {"error": _qualified_error(error), "error_type": type(error).__name__, "ok": False}
        result_file.write_bytes(_record_text(failure))
        raise SystemExit(1) from None

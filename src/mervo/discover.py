"""The project stub: `python -m mervo.discover MODULE [MODULE ...]` prints the project document."""

from __future__ import annotations

import argparse
import ast
import difflib
import importlib
import inspect
import json
import linecache
import os
import pkgutil
import sys
import sysconfig
import textwrap
import tokenize
import traceback
from pathlib import Path

from ._stdio import StdoutToStderr, write_document_line

__all__ = ["discover", "main"]

_MERVO_DIR = str(Path(__file__).resolve().parent)
_IMPORTLIB_DIR = str(Path(importlib.__file__).resolve().parent)


def _parser():
    parser = argparse.ArgumentParser(
        prog="python -m mervo.discover",
        description="Import the named modules (and the submodules of packages) and print their "
        "assets, sources and import errors as one line of JSON.",
    )
    parser.add_argument("modules", nargs="+", metavar="MODULE", help="a module to import, by its dotted name")
    return parser


def _under(path: str, folder: str) -> bool:
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def _resolved(filename) -> str | None:
    """The absolute, resolved path of a real file, else None."""
    if not isinstance(filename, str) or not filename or filename.startswith("<"):
        return None
    try:
        path = Path(filename).resolve()
        return str(path) if path.is_file() else None
    except (OSError, ValueError, RuntimeError):
        return None


def _def_blocks(lines: list[str]) -> dict[int, int] | None:
    """First line (the first decorator's, as in co_firstlineno) -> last line of every def."""
    try:
        tree = ast.parse("".join(lines))
    except (SyntaxError, ValueError):
        return None
    blocks = {}
    for node in ast.walk(tree):
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            first = min([d.lineno for d in node.decorator_list] + [node.lineno])
            blocks[first] = node.end_lineno
    return blocks


def _exception_text(exc: BaseException) -> str:
    try:
        detail = str(exc)
    except BaseException:  # noqa: B036 - a hostile __str__ must not end discovery
        detail = "<exception str() failed>"
    return f"{type(exc).__qualname__}: {detail}"


class _Frames:
    """Tells the user's frames from the machinery's, so errors point at the user's code."""

    def __init__(self):
        paths = sysconfig.get_paths()
        self.library = {str(Path(paths[k]).resolve()) for k in ("stdlib", "platstdlib", "purelib", "platlib") if k in paths}

    @staticmethod
    def machinery(filename: str) -> bool:
        if filename.startswith("<frozen importlib"):
            return True
        path = _resolved(filename)
        return path is not None and (_under(path, _IMPORTLIB_DIR) or _under(path, _MERVO_DIR))

    def user_frame(self, tb) -> tuple[str | None, int | None]:
        """The innermost frame in the user's own files; failing that, in any real file
        (a library the user called) that is not the import machinery."""
        fallback = (None, None)
        for frame in reversed(traceback.extract_tb(tb)):
            if self.machinery(frame.filename):
                continue
            path = _resolved(frame.filename)
            if path is None:
                continue
            if not any(_under(path, lib) for lib in self.library):
                return path, frame.lineno
            if fallback == (None, None):
                fallback = (path, frame.lineno)
        return fallback

    def format(self, exc: BaseException) -> str:
        """The traceback without the import machinery's frames."""
        te = traceback.TracebackException(type(exc), exc, exc.__traceback__)
        seen = set()
        pending = [te]
        while pending:
            item = pending.pop()
            if id(item) in seen:
                continue
            seen.add(id(item))
            item.stack = traceback.StackSummary.from_list(
                [frame for frame in item.stack if not self.machinery(frame.filename)]
            )
            pending.extend(x for x in (item.__cause__, item.__context__) if x is not None)
        return "".join(te.format())


def _close_module(missing: str) -> str | None:
    """An importable module name close to `missing`: a top-level module of the current folder
    or sys.path[0], or a submodule of its (importable) parent package."""
    parent, _, _ = missing.rpartition(".")
    if parent:
        package = sys.modules.get(parent)
        path = getattr(package, "__path__", None)
        if path is None:
            return None
        names = [info.name for info in pkgutil.iter_modules(path, parent + ".")]
    else:
        folders = {os.getcwd(), os.path.abspath(sys.path[0]) if sys.path else os.getcwd()}
        names = [info.name for info in pkgutil.iter_modules(sorted(folders))]
    close = difflib.get_close_matches(missing, names, n=1)
    return close[0] if close else None


def _return_type(signature) -> str | None:
    annotation = signature.return_annotation
    if annotation is inspect.Signature.empty:
        return None
    return annotation.__name__ if isinstance(annotation, type) else str(annotation)


def _reject_constant(text):
    raise ValueError(f"{text} is not JSON")


class _Discovery:
    def __init__(self):
        self.frames = _Frames()
        self.modules: list[dict] = []
        self.sources: dict[str, str] = {}
        self.errors: list[dict] = []
        self.assets: list[dict] = []
        self.done: set[str] = set()
        self.walked_paths: set[str] = set()
        # The objects themselves are kept so that no id is reused while discovery runs
        # (a module __getattr__ may hand out a fresh object on every read).
        self.found: dict[int, object] = {}
        self.resolved: dict[str, str] = {}
        self.blocks: dict[str, dict[int, int] | None] = {}  # file -> first line -> last line

    def document(self) -> dict:
        return {"modules": self.modules, "sources": self.sources, "errors": self.errors, "assets": self.assets}

    # -- errors

    def error(self, module: str, exc: BaseException, prefix: str = "", where=None) -> None:
        file, line = where if where is not None else self.frames.user_frame(exc.__traceback__)
        text = _exception_text(exc)
        if isinstance(exc, SyntaxError) and where is None:
            path = _resolved(exc.filename)
            if path is not None:
                file, line = path, exc.lineno
        elif isinstance(exc, ModuleNotFoundError) and file is None and isinstance(exc.name, str):
            if module == exc.name or module.startswith(exc.name + "."):
                hint = _close_module(exc.name)
                if hint is not None:
                    text += f" (did you mean {hint!r}?)"
        self.errors.append({
            "module": module,
            "error": prefix + text,
            "file": file,
            "line": line,
            "traceback": self.frames.format(exc),
        })

    # -- modules

    def visit(self, name: str) -> None:
        if name in self.done:
            return
        self.done.add(name)
        try:
            module = importlib.import_module(name)
        except BaseException as exc:  # noqa: B036 - SystemExit and KeyboardInterrupt are module errors too
            self.error(name, exc)
            return
        module_file = self.module_file(module)
        self.modules.append({"name": name, "file": module_file})
        try:
            self.collect(name, module, module_file)
            search_path = self.package_path(module)
        except BaseException as exc:  # noqa: B036
            self.error(name, exc)
            return
        if search_path is not None:
            self.walk(name, search_path)

    def walk(self, name: str, search_path: list[str]) -> None:
        # pkgutil.walk_packages would import each subpackage a second time after a failed
        # import (running its code twice) and lets BaseException escape mid-walk; the same
        # order is kept here with each submodule imported once, by visit().
        fresh = [p for p in search_path if p not in self.walked_paths]
        self.walked_paths.update(fresh)
        try:
            infos = list(pkgutil.iter_modules(fresh, name + "."))
        except Exception as exc:
            self.error(name, exc)
            return
        for info in infos:
            # Importing a package's __main__ would run the program it starts.
            if info.name.rpartition(".")[2] != "__main__":
                self.visit(info.name)

    @staticmethod
    def package_path(module) -> list[str] | None:
        path = getattr(module, "__dict__", {}).get("__path__")
        if path is None:
            return None
        return [p for p in path if isinstance(p, str)]

    @staticmethod
    def module_file(module) -> str | None:
        try:
            file = inspect.getsourcefile(module)
        except Exception:
            file = None
        if file is None:
            file = getattr(module, "__dict__", {}).get("__file__")
        return _resolved(file)

    # -- assets

    def collect(self, name: str, module, module_file: str | None) -> None:
        for attribute, value in inspect.getmembers(module):
            if id(value) in self.found or not self.is_asset(value):
                continue
            self.found[id(value)] = value
            try:
                record = self.record(name, attribute, value)
            except Exception as exc:
                self.error(name, exc, prefix=f"asset {attribute!r}: ", where=self.where(value))
                continue
            self.assets.append(record)
            for path in (record["file_path"], module_file):
                if path and path not in self.sources:
                    text = self.read_source(path)
                    if text is not None:
                        self.sources[path] = text

    @staticmethod
    def is_asset(value) -> bool:
        try:
            kind = value.__mervo_kind__
        except Exception:
            return False
        return isinstance(kind, str) and str.__eq__(kind, "asset") is True

    @staticmethod
    def original(value):
        try:
            return value.__mervo_original__
        except Exception:
            return value

    def where(self, value) -> tuple[str | None, int | None]:
        """Where an asset whose record failed is defined, as far as that can be told."""
        function = self.original(value)
        try:
            path = _resolved(inspect.getsourcefile(function))
        except Exception:
            return None, None
        code = getattr(function, "__code__", None)
        return path, getattr(code, "co_firstlineno", None) if path else None

    def record(self, module_name: str, attribute: str, value) -> dict:
        metadata = json.loads(json.dumps(value.__mervo_metadata__), parse_constant=_reject_constant)
        function = self.original(value)
        # inspect.getsource is "".join of these lines; the line number comes with them.
        lines, first_line = self.source_lines(function)
        source = textwrap.dedent("".join(lines)).strip() + "\n"
        function_name = function.__name__
        if not isinstance(function_name, str):
            raise TypeError(f"__name__ is a {type(function_name).__name__}, not a str")
        try:
            found = inspect.getsourcefile(function)
        except Exception:
            file_path = ""
        else:
            # None (no file on disk, no loader) fails here as it does in the inspection record.
            file_path = self.resolve(found)
        try:
            signature = inspect.signature(function)
        except Exception:
            signature = None
        parameters = None
        if signature is not None:
            parameters = [
                {"name": p.name, "kind": p.kind.name, "default": p.default is not p.empty}
                for p in signature.parameters.values()
            ]
        return {
            "module_path": module_name,
            "attribute": attribute,
            "function_name": function_name,
            "file_path": file_path,
            "line": first_line if file_path and first_line > 0 else None,
            "function_source": source,
            "decorator_metadata": metadata,
            "return_type": _return_type(signature) if signature is not None else None,
            "parameters": parameters,
        }

    def source_lines(self, function) -> tuple[list[str], int]:
        """inspect.getsourcelines, from one parse per file: tokenising each function's block
        apart made discovery quadratic in practice for modules with thousands of assets."""
        code = getattr(function, "__code__", None)
        filename = getattr(code, "co_filename", None)
        if isinstance(filename, str) and type(function).__name__ == "function" and function.__name__ != "<lambda>":
            if filename not in self.blocks:
                self.blocks[filename] = _def_blocks(linecache.getlines(filename))
            blocks = self.blocks[filename]
            end = blocks.get(code.co_firstlineno) if blocks else None
            if end is not None:
                lines = linecache.getlines(filename)
                return lines[code.co_firstlineno - 1 : end], code.co_firstlineno
        return inspect.getsourcelines(function)

    def resolve(self, found) -> str:
        # One resolution per file name: a large module has thousands of assets in one file.
        if not isinstance(found, str):
            return str(Path(found).resolve())
        path = self.resolved.get(found)
        if path is None:
            path = self.resolved[found] = str(Path(found).resolve())
        return path

    @staticmethod
    def read_source(path: str) -> str | None:
        try:
            with tokenize.open(path) as source:  # honours the encoding declaration
                return source.read()
        except (OSError, SyntaxError, UnicodeDecodeError):
            text = "".join(linecache.getlines(path))
            return text or None


def discover(modules: list[str]) -> dict:
    """Imports `modules` (and every submodule of a package among them) and returns the
    project document: modules imported, source texts, import errors and assets."""
    if isinstance(modules, str) or not all(isinstance(m, str) for m in modules):
        raise TypeError("modules must be a list of module names")
    state = _Discovery()
    for name in modules:
        state.visit(name)
    return state.document()


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    with StdoutToStderr():
        document = discover(args.modules)
    write_document_line(json.dumps(document, ensure_ascii=False))
    return 0


if __name__ == "__main__":
    sys.exit(main())

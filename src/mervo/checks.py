"""Plan-time checks of a project document: mistakes reported before any job starts.

The input is the document that ``python -m mervo.discover`` prints; nothing here imports
user code or starts a process.
"""

from __future__ import annotations

import difflib
import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Iterable, Mapping, Sequence

__all__ = ["Problem", "check_document"]

_KEYWORD_KINDS = ("POSITIONAL_OR_KEYWORD", "KEYWORD_ONLY")
_VARIADIC_KINDS = ("VAR_POSITIONAL", "VAR_KEYWORD")


@dataclass(frozen=True)
class Problem:
    asset: str  # display label: the given name, else module.attribute
    file: str
    line: int | None
    message: str

    def __str__(self) -> str:
        where = _short_path(self.file) or "<unknown file>"
        if self.line is not None:
            where += f":{self.line}"
        return f"{where}: asset {self.asset!r}: {self.message}"


def _short_path(file: str) -> str:
    """`file` relative to the current folder when it lies below it."""
    if not file:
        return ""
    try:
        relative = os.path.relpath(file)
    except ValueError:
        return file
    return file if relative.startswith(os.pardir) else relative


def _label(record: Mapping) -> str:
    name = (record.get("decorator_metadata") or {}).get("name")
    # An empty name labels nothing; the problem about it needs a readable label.
    return name if name else f"{record['module_path']}.{record['attribute']}"


def _default_reference(record: Mapping) -> str:
    return f"{record['file_path']}:{record['function_name']}"


class _Index:
    """Which assets a reference text names: a given name first, else "<file>:<function>"."""

    def __init__(self, document: Mapping):
        self.assets = list(document.get("assets", []))
        self.by_name: dict[str, list[Mapping]] = {}
        self.by_default: dict[str, list[Mapping]] = {}
        for record in self.assets:
            name = (record.get("decorator_metadata") or {}).get("name")
            if name is not None:
                self.by_name.setdefault(name, []).append(record)
            self.by_default.setdefault(_default_reference(record), []).append(record)
        self.module_of_file = {m["file"]: m["name"] for m in document.get("modules", []) if m.get("file")}
        self.failed_modules = {e["module"] for e in document.get("errors", [])}

    def named(self, reference: str) -> list[Mapping]:
        return self.by_name.get(reference) or self.by_default.get(reference) or []

    def suggestions(self, reference: str) -> list[str]:
        """References that work, for the names closest to `reference`."""
        spellings: dict[str, str] = {}
        for record in self.assets:
            name = (record.get("decorator_metadata") or {}).get("name")
            if name:
                spellings.setdefault(name, name)
            else:  # an unnamed asset is reached by its default reference, or by a name= to give
                spellings.setdefault(record["function_name"], _default_reference(record))
                spellings.setdefault(record["attribute"], _default_reference(record))
        close = difflib.get_close_matches(reference, list(spellings), n=3)
        return list(dict.fromkeys(spellings[c] for c in close))


def _dotted_name(path: str, roots: Iterable[str]) -> str | None:
    """The module name under which `path` imports from one of `roots` (the shortest one)."""
    best = None
    file = Path(path)
    for root in roots:
        try:
            relative = file.relative_to(Path(root).resolve())
        except (ValueError, OSError):
            continue
        parts = list(relative.with_suffix("").parts)
        if parts and parts[-1] == "__init__":
            parts.pop()
        if parts and all(p.isidentifier() for p in parts):
            dotted = ".".join(parts)
            if best is None or len(dotted) < len(best):
                best = dotted
    return best


def _unknown_reference(index: _Index, parameter: str, reference: str) -> str:
    path, colon, function = reference.rpartition(":")
    if colon and os.path.isabs(path):
        module = index.module_of_file.get(path)
        if module is not None:
            return (
                f"input {parameter!r} refers to {function!r} in module {module!r}, which is not an asset "
                f"there (decorate it with @asset())"
            )
        dotted = _dotted_name(path, [os.getcwd(), *(p for p in sys.path if p)])
        if dotted is not None and dotted in index.failed_modules:
            return f"input {parameter!r} refers to {function!r} in module {dotted!r}, which failed to import"
        if dotted is not None:
            return (
                f"input {parameter!r} refers to {function!r} in {path}, a module not named on the command "
                f"line: add {dotted!r} to the modules"
            )
        return (
            f"input {parameter!r} refers to {function!r} in {path}, which is not importable from the "
            f"current folder or sys.path"
        )
    message = f"input {parameter!r}: no asset is named {reference!r}"
    close = index.suggestions(reference)
    if close:
        message += "; did you mean " + " or ".join(repr(c) for c in close) + "?"
    return message


def _parameter_problems(record: Mapping, supplied: Sequence[tuple[str, str]]) -> list[str]:
    parameters = record.get("parameters")
    if parameters is None:  # no signature to check against
        return []
    messages = []
    by_name = {p["name"]: p for p in parameters}
    takes_any = any(p["kind"] == "VAR_KEYWORD" for p in parameters)
    for what, name in supplied:
        if takes_any or by_name.get(name, {}).get("kind") in _KEYWORD_KINDS:
            continue
        keywords = [p["name"] for p in parameters if p["kind"] in _KEYWORD_KINDS]
        takes = ", ".join(keywords) if keywords else "no keyword parameters"
        messages.append(
            f"{what} {name!r} is not a keyword parameter of {record['function_name']}() (it takes: {takes})"
        )
    given = {name for _, name in supplied}
    for p in parameters:
        if not p["default"] and p["kind"] not in _VARIADIC_KINDS and p["name"] not in given:
            messages.append(
                f"parameter {p['name']!r} of {record['function_name']}() has no default and no input "
                f"or partition dimension supplies it"
            )
    return messages


def check_document(document: Mapping) -> list[Problem]:
    """The mistakes in a project document that would fail jobs, in asset order."""
    index = _Index(document)
    problems = []
    for record in index.assets:
        metadata = record.get("decorator_metadata") or {}
        # Sorted: the decorator keeps these maps in no particular order.
        inputs = dict(sorted((metadata.get("inputs") or {}).items()))
        dimensions = sorted(metadata.get("partitions") or {})
        messages = []
        if metadata.get("name") == "":
            messages.append("its name is empty: give a non-empty name= or leave name out")
        supplied = [("input", p) for p in inputs] + [("partition dimension", d) for d in dimensions]
        messages += _parameter_problems(record, supplied)
        for parameter, reference in inputs.items():
            named = index.named(reference)
            if not named:
                messages.append(_unknown_reference(index, parameter, reference))
            elif len(named) > 1:
                which = ", ".join(f"{r['module_path']}.{r['attribute']}" for r in named)
                messages.append(
                    f"input {parameter!r} refers to {reference!r}, which names {len(named)} assets ({which}); "
                    f"give each a distinct name= and refer to it by that name"
                )
        label = _label(record)
        problems += [Problem(label, record.get("file_path", ""), record.get("line"), m) for m in messages]
    return problems

"""Fingerprints of jobs: digests of an asset's code, of value files, and the metadata beside a value.

Pure and self-contained: the inputs are texts and paths the caller already holds (the sources from
the inspection document, the value files of upstream jobs); nothing here imports user code.

What a job fingerprint covers:
- the asset's code: its function source plus, transitively, every module-level function, class,
  assignment and import of the same file that it refers to by name (``CodeIndex``), compared as
  syntax trees, so whitespace and comments do not count while docstrings do;
- the interpreter's major.minor version (syntax trees and behaviour differ between them);
- the decorator metadata, except the list of partition values of each dimension (adding a
  partition must not make the existing ones stale);
- the job's partition key and the value texts of its partition;
- every upstream value it receives, by parameter, upstream partition key and content hash;
- ``FORMAT_VERSION``.
"""

from __future__ import annotations

import ast
import hashlib
import json
import os
import sys
import tempfile
from pathlib import Path
from typing import Iterable, Mapping, Sequence

__all__ = [
    "FORMAT_VERSION",
    "CodeIndex",
    "asset_digest",
    "code_digest",
    "file_digest",
    "fingerprint_metadata",
    "job_fields",
    "job_fingerprint",
    "partition_fingerprint",
    "read_meta",
    "stale_reason",
    "write_meta",
]

# Bumped whenever what a fingerprint covers changes, so that every recorded one goes stale at once.
FORMAT_VERSION = 1

_CHUNK = 1 << 20
_DEFS = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)
_SCOPES = (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef, ast.Lambda, ast.ListComp, ast.SetComp,
           ast.DictComp, ast.GeneratorExp)
_PYTHON = "%d.%d" % sys.version_info[:2]


def _sha(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def _referenced(node: ast.AST) -> set[str]:
    """Every name a subtree mentions, in any role, except upstream references in decorators.

    Over-approximates on purpose (a local that shadows a module-level name pulls that name in):
    an extra dependency only costs a re-run. The ``inputs=`` of a decorator names upstream assets,
    whose values are fingerprinted separately; following their code would defeat early cutoff.
    """
    out: set[str] = set()
    stack = [node]
    while stack:
        n = stack.pop()
        if isinstance(n, ast.Name):
            out.add(n.id)
            continue
        if isinstance(n, (ast.Global, ast.Nonlocal)):
            out.update(n.names)
            continue
        if isinstance(n, _DEFS) and n.decorator_list:
            decorators = {id(d) for d in n.decorator_list}
            for d in n.decorator_list:
                if isinstance(d, ast.Call):
                    stack.append(d.func)
                    stack.extend(d.args)
                    stack.extend(k.value for k in d.keywords if k.arg != "inputs")
                else:
                    stack.append(d)
            stack.extend(c for c in ast.iter_child_nodes(n) if id(c) not in decorators)
            continue
        stack.extend(ast.iter_child_nodes(n))
    return out


def _bound(statement: ast.stmt) -> set[str]:
    """The module-level names one top-level statement binds (not the locals of its functions)."""
    out: set[str] = set()
    stack: list[ast.AST] = [statement]
    while stack:
        n = stack.pop()
        if isinstance(n, _DEFS):
            out.add(n.name)
            continue  # its body is its own scope; its decorators and defaults bind nothing
        if isinstance(n, _SCOPES):
            continue
        if isinstance(n, (ast.Import, ast.ImportFrom)):
            for alias in n.names:
                if alias.name != "*":
                    out.add(alias.asname or alias.name.split(".")[0])
            continue
        if isinstance(n, ast.Name) and isinstance(n.ctx, (ast.Store, ast.Del)):
            out.add(n.id)
        elif isinstance(n, ast.ExceptHandler) and n.name:
            out.add(n.name)
        stack.extend(ast.iter_child_nodes(n))
    return out


def _is_asset_options(decorator: ast.expr) -> bool:
    func = decorator.func if isinstance(decorator, ast.Call) else None
    return (isinstance(func, ast.Name) and func.id == "asset") or (
        isinstance(func, ast.Attribute) and func.attr == "asset"
    )


def _dump_def(node: ast.AST) -> str:
    """A def's syntax tree without its `@asset(...)` line: the options are fingerprinted as
    metadata, where a partition added to the list does not make the others stale."""
    if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
        kept = [d for d in node.decorator_list if not _is_asset_options(d)]
        if len(kept) != len(node.decorator_list):
            saved, node.decorator_list = node.decorator_list, kept
            try:
                return ast.dump(node)
            finally:
                node.decorator_list = saved
    return ast.dump(node)


class _Unit:
    """One top-level statement of a file, with what it binds and what it mentions."""

    __slots__ = ("node", "_hash", "_names")

    def __init__(self, node: ast.stmt):
        self.node = node
        self._hash: str | None = None
        self._names: set[str] | None = None

    @property
    def hash(self) -> str:
        if self._hash is None:
            self._hash = _sha(ast.dump(self.node))
        return self._hash

    @property
    def names(self) -> set[str]:
        if self._names is None:
            self._names = _referenced(self.node)
        return self._names


class _File:
    """A parsed source file: its top-level units, who binds each name, and every def by name."""

    def __init__(self, text: str):
        try:
            tree = ast.parse(text)
        except (SyntaxError, ValueError):  # not Python (or NUL bytes): no helper is tracked
            tree = ast.Module(body=[], type_ignores=[])
        self.units = [_Unit(node) for node in tree.body]
        self.binders: dict[str, list[int]] = {}
        self.defs: dict[str, list[tuple[ast.AST, int]]] = {}
        for index, unit in enumerate(self.units):
            for name in _bound(unit.node):
                self.binders.setdefault(name, []).append(index)
            for n in ast.walk(unit.node):
                if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    self.defs.setdefault(n.name, []).append((n, index))
        self._dumps: dict[int, str] = {}

    def dump(self, node: ast.AST) -> str:
        text = self._dumps.get(id(node))
        if text is None:
            text = self._dumps[id(node)] = _dump_def(node)
        return text

    def find(self, function_name: str, dumped: str) -> tuple[ast.AST, int] | None:
        """The def in this file whose syntax tree is the given function's, and its top-level unit."""
        for node, index in self.defs.get(function_name, ()):
            if self.dump(node) == dumped:
                return node, index
        return None

    def closure(self, names: Iterable[str], seen: set[int]) -> list[str]:
        """Hashes of the units that `names` reach, transitively (cycles end at `seen`)."""
        hashes = []
        pending = list(names)
        while pending:
            for index in self.binders.get(pending.pop(), ()):
                if index not in seen:
                    seen.add(index)
                    unit = self.units[index]
                    hashes.append(unit.hash)
                    pending.extend(unit.names)
        return hashes


class CodeIndex:
    """Code digests of many assets, each source file parsed once."""

    def __init__(self, sources: Mapping[str, str]):
        self._sources = sources
        self._files: dict[str, _File] = {}
        self._digests: dict[tuple[str, str, str], str] = {}

    def _file(self, file_path: str) -> _File | None:
        parsed = self._files.get(file_path)
        if parsed is None:
            text = self._sources.get(file_path)
            if text is None:
                return None
            parsed = self._files[file_path] = _File(text)
        return parsed

    def digest(self, file_path: str, function_name: str, function_source: str) -> str:
        """SHA-256 hex of the asset's code and the same-file code it reaches by name."""
        key = (file_path, function_name, function_source)
        found = self._digests.get(key)
        if found is None:
            found = self._digests[key] = self._compute(file_path, function_name, function_source)
        return found

    def _compute(self, file_path: str, function_name: str, function_source: str) -> str:
        try:
            root = ast.parse(function_source)
        except (SyntaxError, ValueError):  # a source inspect could not cut cleanly: its text is all we have
            return _sha("\0".join(("mervo-code", _PYTHON, "text", function_source)))
        head = root.body[0] if len(root.body) == 1 else None
        if isinstance(head, (ast.FunctionDef, ast.AsyncFunctionDef)) and head.name == function_name:
            root_dump = _dump_def(head)
        else:  # e.g. a lambda: the statement it was cut from
            head, root_dump = root, ast.dump(root)
        parsed = self._file(file_path)
        helpers: list[str] = []
        if parsed is not None:
            match = parsed.find(function_name, root_dump)
            if match is None:
                # Not found as given (the file changed since): resolve its names in the file as it is.
                helpers = parsed.closure(_referenced(head), set())
            else:
                node, index = match
                if parsed.units[index].node is node:
                    helpers = parsed.closure(parsed.units[index].names, {index})
                else:
                    # Made inside a factory: the factory's code is its code too.
                    helpers = [parsed.units[index].hash] + parsed.closure(parsed.units[index].names, {index})
        # Sorted, so that moving definitions around in the file changes nothing.
        return _sha("\0".join(["mervo-code", _PYTHON, root_dump, *sorted(set(helpers))]))


def code_digest(sources: Mapping[str, str], file_path: str, function_name: str, function_source: str) -> str:
    """The code digest of one asset (parse many through one ``CodeIndex`` instead)."""
    return CodeIndex(sources).digest(file_path, function_name, function_source)


# Metadata came through strict JSON, so NaN cannot occur; refuse it rather than hash "NaN".
_CANONICAL = json.JSONEncoder(sort_keys=True, separators=(",", ":"), ensure_ascii=True, allow_nan=False)
_canonical = _CANONICAL.encode
_quoted = json.encoder.encode_basestring_ascii


def _json_text(text: str | None) -> str:
    return "null" if text is None else _quoted(text)


def fingerprint_metadata(metadata):
    """The decorator metadata as fingerprinted: each dimension without its list of values."""
    if not isinstance(metadata, Mapping) or not isinstance(metadata.get("partitions"), Mapping):
        return metadata
    out = dict(metadata)
    out["partitions"] = {
        dim: {k: v for k, v in spec.items() if k != "values_json"} if isinstance(spec, Mapping) else spec
        for dim, spec in metadata["partitions"].items()
    }
    return out


def asset_digest(code: str, metadata) -> str:
    """What every job of one asset shares; compute it once per asset, not once per partition."""
    return _sha(_canonical([FORMAT_VERSION, "asset", code, fingerprint_metadata(metadata)]))


def _upstream_order(item: tuple) -> tuple:
    parameter, key, value_hash = item
    return (parameter, key is not None, key or "", value_hash)


def partition_fingerprint(
    asset: str,
    partition_key: str | None,
    upstream: Sequence[tuple[str, str | None, str]],
    partition_values: Sequence[tuple[str, str]] = (),
) -> str:
    """A job's fingerprint from its asset's ``asset_digest``.

    `upstream` holds (parameter, upstream partition key or None, upstream value content hash),
    one per upstream value the job receives, in any order. `partition_values` are the job's
    (dimension, value JSON text) pairs: the key alone cannot tell the value 1 from the text "1".
    """
    triples = sorted(upstream, key=_upstream_order)
    # The compact JSON text of [FORMAT_VERSION, asset, key, pairs, triples], written directly:
    # this runs once per job, 10^5 times for a large project.
    body = "[%d,%s,%s,[%s],[%s]]" % (
        FORMAT_VERSION,
        _quoted(asset),
        _json_text(partition_key),
        ",".join("[%s,%s]" % (_quoted(d), _quoted(t)) for d, t in partition_values),
        ",".join("[%s,%s,%s]" % (_quoted(p), _json_text(k), _quoted(h)) for p, k, h in triples),
    )
    return _sha(body)


def job_fingerprint(
    code: str,
    metadata,
    partition_key: str | None,
    upstream: Sequence[tuple[str, str | None, str]],
    partition_values: Sequence[tuple[str, str]] = (),
) -> str:
    """SHA-256 hex over everything a job's value depends on that mervo can see (module docstring)."""
    return partition_fingerprint(asset_digest(code, metadata), partition_key, upstream, partition_values)


NEVER_MATERIALISED = "never materialised"
CODE_CHANGED = "code changed"
DECORATOR_CHANGED = "decorator changed"
UPSTREAM_CHANGED = "an upstream value changed"
FORMAT_CHANGED = "fingerprint format changed"


def job_fields(
    asset: str,
    code: str,
    partition_key: str | None,
    upstream: Sequence[tuple[str, str | None, str]],
    partition_values: Sequence[tuple[str, str]] = (),
) -> dict:
    """The fingerprint of a job and the parts ``stale_reason`` tells apart, as a job's metadata
    file keeps them (add the value's hash): `asset` is ``asset_digest(code, metadata)``."""
    triples = sorted(upstream, key=_upstream_order)
    return {
        "fingerprint": partition_fingerprint(asset, partition_key, triples, partition_values),
        "code": code,
        "asset": asset,
        "upstream": [list(t) for t in triples],
    }


def stale_reason(recorded: Mapping | None, current: Mapping) -> str | None:
    """None when the recorded fields (``read_meta``) are still the job's ``job_fields``, else why not."""
    if recorded is None:
        return NEVER_MATERIALISED
    if recorded.get("fingerprint") == current["fingerprint"]:
        return None
    if recorded.get("code") != current["code"]:
        return CODE_CHANGED
    if recorded.get("asset") != current["asset"]:  # covers the code too, hence second
        return DECORATOR_CHANGED
    if recorded.get("upstream") != current["upstream"]:
        return UPSTREAM_CHANGED
    return FORMAT_CHANGED  # or the partition's value texts


def file_digest(path) -> str:
    """SHA-256 hex of a file's bytes, read in 1 MiB chunks."""
    sha = hashlib.sha256()
    buffer = bytearray(_CHUNK)
    view = memoryview(buffer)
    with open(path, "rb", buffering=0) as stream:
        while True:
            n = stream.readinto(buffer)
            if not n:
                break
            sha.update(view[:n])
    return sha.hexdigest()


def write_meta(path, **fields) -> None:
    """Writes `fields` as a JSON object, atomically: a reader sees the old file or the new one.

    No fsync: a file torn by a power loss reads back as None, which only makes its job run again.
    """
    path = Path(path)
    text = json.dumps(fields, indent=1, sort_keys=True, ensure_ascii=False) + "\n"
    fd, tmp = tempfile.mkstemp(prefix="." + path.name + ".", suffix=".tmp", dir=path.parent)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as stream:
            stream.write(text)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def read_meta(path) -> dict | None:
    """The fields `write_meta` wrote, or None when the file is missing, unreadable or not ours."""
    try:
        with open(path, encoding="utf-8") as stream:
            value = json.load(stream)
    except (OSError, ValueError):
        return None
    return value if isinstance(value, dict) else None

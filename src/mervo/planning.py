"""Planning a run: asset identity, the asset graph, partition expansion and input mapping.

Pure data: nothing here starts a process, touches a file or imports user code. The input is
the document of the command's discovery stub (``python -m mervo.discover``) or of the
inspection stub (``python -m mervo.inspect``); both list asset records.
"""

from __future__ import annotations

import gc
import hashlib
import itertools
import json
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Iterable, Mapping, Sequence

__all__ = [
    "Asset",
    "Dimension",
    "Graph",
    "InputSpec",
    "Job",
    "Plan",
    "PlanError",
    "RESERVED_NAMES",
    "assets_from_document",
    "build_graph",
    "build_plan",
    "expand",
    "kwargs_text",
    "partition_key",
    "safe_segment",
]

UNPARTITIONED = "_"  # the partition folder of an asset without partitions

# Names the command itself writes at the top of an output folder; no asset folder may take one.
RESERVED_NAMES = frozenset(
    {"run.json", "run.json.tmp", "report.html", "report.html.tmp", "history.sqlite"}
    | {"history.sqlite" + s for s in ("-wal", "-shm", "-journal")}
)


class PlanError(Exception):
    """The project cannot be run as declared (unknown input, duplicate key, cycle, ...)."""


def _key_segment(text: str) -> str:
    """One value's part of a partition key: strings as themselves, other values as JSON text,
    with `\\` and `|` escaped so that the joined key can be split back unambiguously."""
    value = json.loads(text)
    raw = value if isinstance(value, str) else text
    return raw.replace("\\", "\\\\").replace("|", "\\|")


@dataclass(frozen=True)
class Dimension:
    name: str
    texts: tuple[str, ...]  # each value as compact JSON text, in declaration order

    @property
    def size(self) -> int:
        return len(self.texts)

    def segments(self) -> tuple[str, ...]:
        return tuple(_key_segment(t) for t in self.texts)


@dataclass(frozen=True)
class Asset:
    key: str
    name: str | None
    module: str
    function: str  # the function's __name__
    file_path: str
    inputs: Mapping[str, str]  # parameter -> reference as declared
    dimensions: tuple[Dimension, ...]
    return_type: str | None
    attribute: str = ""  # the module attribute it was found under (what the worker looks up)
    line: int | None = None
    serializer: str | None = None
    function_source: str = ""
    metadata: Mapping = field(default_factory=dict, compare=False, repr=False)
    parameters: tuple | None = field(default=None, compare=False, repr=False)

    @property
    def default_key(self) -> str:
        """The reference `@asset(inputs=...)` stores for this asset's function."""
        return f"{self.file_path}:{self.function}"

    @property
    def label(self) -> str:
        """The one name shown everywhere: the given name, else module.attribute."""
        return self.name if self.name is not None else f"{self.module}.{self.attribute or self.function}"

    @property
    def where(self) -> str:
        """file:line of the definition, for messages."""
        return f"{self.file_path}:{self.line}" if self.line else self.default_key

    @property
    def partitioned(self) -> bool:
        return bool(self.dimensions)


def split_array_text(text: str) -> tuple[str, ...]:
    """The element texts of a compact JSON array, each exactly as written."""
    decoder = json.JSONDecoder()
    if not text.startswith("["):
        raise ValueError(f"not a JSON array: {text[:40]!r}")
    items = []
    at = _skip_space(text, 1)
    while text[at] != "]":
        _, end = decoder.raw_decode(text, at)
        items.append(text[at:end])
        at = _skip_space(text, end)
        if text[at] == ",":
            at = _skip_space(text, at + 1)
    return tuple(items)


def _skip_space(text: str, at: int) -> int:
    while text[at] in " \t\r\n":
        at += 1
    return at


def _asset_from_record(record: Mapping) -> Asset:
    meta = record.get("decorator_metadata") or {}
    dimensions = []
    # Dimension order is name order, stable across runs whatever the dict order was.
    for dim_name, spec in sorted((meta.get("partitions") or {}).items()):
        dimensions.append(Dimension(dim_name, split_array_text(spec["values_json"])))
    name = meta.get("name")
    function = record["function_name"]
    attribute = record.get("attribute") or function
    default_key = f"{record['file_path']}:{function}"
    if name is not None:
        key = name
    elif attribute == function:
        key = default_key
    else:  # made by a factory: its function's name is not the one it is found under
        key = f"{record['file_path']}:{attribute}"
    parameters = record.get("parameters")
    return Asset(
        key=key,
        name=name,
        module=record["module_path"],
        function=function,
        file_path=record["file_path"],
        inputs=dict(meta.get("inputs") or {}),
        dimensions=tuple(dimensions),
        return_type=record.get("return_type"),
        attribute=attribute,
        line=record.get("line"),
        serializer=meta.get("serializer"),
        function_source=record.get("function_source", ""),
        metadata=meta,
        parameters=None if parameters is None else tuple(parameters),
    )


def assets_from_document(document: Mapping) -> list[Asset]:
    """Assets of a document, once each, in discovery order.

    The discovery stub lists each asset object once. The inspection stub lists an asset
    imported into several modules once per module: the same source file and function is
    the same asset there, and is kept once.
    """
    by_key: dict[str, Asset] = {}
    for record in document.get("assets", []):
        asset = _asset_from_record(record)
        seen = by_key.get(asset.key)
        if seen is None:
            by_key[asset.key] = asset
        elif "attribute" in record or seen.default_key != asset.default_key:
            raise PlanError(f"two assets share the key {asset.key!r}: {seen.where} and {asset.where}")
    return list(by_key.values())


@dataclass(frozen=True)
class InputSpec:
    parameter: str
    upstream: str  # asset key
    # "value": one upstream job's value; "mapping": an object from partition key to value
    mode: str
    jobs: tuple[int, ...]  # upstream job ids (one for "value")


class Job:
    """One asset, or one partition of it: what one worker materialises."""

    __slots__ = ("id", "asset", "values", "key", "inputs", "depends")

    def __init__(self, id: int, asset: Asset, values: tuple[str, ...], key: str | None):
        self.id = id
        self.asset = asset
        self.values = values  # value texts, in the asset's dimension order
        self.key = key  # partition key, None when the asset has no partitions
        self.inputs: tuple[InputSpec, ...] = ()
        self.depends: frozenset[int] = frozenset()

    @property
    def partition(self) -> tuple[tuple[str, str], ...]:
        """(dimension, value text) pairs in dimension order."""
        return tuple(zip((d.name for d in self.asset.dimensions), self.values))

    @property
    def label(self) -> str:
        return self.asset.label if self.key is None else f"{self.asset.label}[{self.key}]"

    def __repr__(self) -> str:
        return f"Job({self.id}, {self.label!r})"


@dataclass
class Graph:
    """The assets to run and how they connect, without expanding partitions."""

    assets: list[Asset]  # in dependency order
    upstreams: dict[str, dict[str, str]]  # asset key -> parameter -> upstream key
    folders: dict[str, str]  # asset key -> folder name

    def by_key(self) -> dict[str, Asset]:
        return {asset.key: asset for asset in self.assets}

    def fan_in(self, asset: Asset, upstream: Asset) -> bool:
        """Whether `asset` receives all of `upstream`'s partitions as one mapping."""
        mine = {d.name for d in asset.dimensions}
        return upstream.partitioned and not all(d.name in mine for d in upstream.dimensions)


@dataclass
class Plan(Graph):
    jobs: list[Job] = field(default_factory=list)  # each job after every job it depends on

    def job_folder(self, root: Path, job: Job) -> Path:
        return root / self.folders[job.asset.key] / safe_segment(job.key if job.key is not None else UNPARTITIONED)

    def subset(self, keep: Iterable[int]) -> "Plan":
        """The plan of the jobs in `keep` (which holds every job they depend on), renumbered."""
        kept = sorted(set(keep))
        if len(kept) == len(self.jobs):  # the whole plan: nothing to renumber
            return self
        new_id = {old: new for new, old in enumerate(kept)}
        jobs = []
        for old in kept:
            job = self.jobs[old]
            copy = Job(new_id[old], job.asset, job.values, job.key)
            copy.inputs = tuple(
                InputSpec(s.parameter, s.upstream, s.mode, tuple(new_id[i] for i in s.jobs)) for s in job.inputs
            )
            copy.depends = frozenset(new_id[i] for i in job.depends)
            jobs.append(copy)
        present = {job.asset.key for job in jobs}
        assets = [a for a in self.assets if a.key in present]
        return Plan(assets, {a.key: self.upstreams[a.key] for a in assets}, self.folders, jobs)

    def dependants(self) -> list[list[int]]:
        out: list[list[int]] = [[] for _ in self.jobs]
        for job in self.jobs:
            for dep in job.depends:
                out[dep].append(job.id)
        return out


def partition_key(values: Iterable[str]) -> str:
    """The partition key of one combination of value texts, in dimension order."""
    return "|".join(_key_segment(text) for text in values)


_SAFE = re.compile(r"[A-Za-z0-9._-]")
_ALL_SAFE = re.compile(r"[A-Za-z0-9._-]*")


def safe_segment(text: str) -> str:
    """A file-system-safe, stable folder name for `text`; distinct texts get distinct names."""
    if _ALL_SAFE.fullmatch(text):  # the common case, once per job
        out = text
    else:
        out = "".join(c if _SAFE.fullmatch(c) else "".join(f"%{b:02X}" for b in c.encode("utf-8")) for c in text)
    if out in ("", ".", ".."):  # "%" alone cannot come from any text: "%" itself is "%25"
        out = out.replace(".", "%2E") or "%"
    if len(out.encode()) > 200:  # keep well inside NAME_MAX
        # "%-" never appears in an unshortened name (escapes are "%" and two hex digits).
        digest = hashlib.sha1(text.encode("utf-8")).hexdigest()[:16]
        out = out[:180] + "%-" + digest
    return out


def _top_segment(text: str) -> str:
    """safe_segment, kept off the names the command writes itself and off hidden names."""
    out = safe_segment(text)
    if out in RESERVED_NAMES or out.startswith("."):
        out = f"%{ord(out[0]):02X}" + out[1:]
    return out


def _resolve(assets: Sequence[Asset]) -> dict[str, dict[str, str]]:
    by_key = {asset.key: asset for asset in assets}
    by_reference: dict[str, list[Asset]] = {}
    for asset in assets:
        by_reference.setdefault(asset.default_key, []).append(asset)
    upstreams: dict[str, dict[str, str]] = {}
    for asset in assets:
        resolved = {}
        for parameter, reference in asset.inputs.items():
            found = by_reference.get(reference, [])
            if reference in by_key and len(found) <= 1:
                resolved[parameter] = reference
                continue
            if len(found) > 1:
                names = ", ".join(a.label for a in found)
                raise PlanError(
                    f"asset {asset.label!r} ({asset.where}): input {parameter!r} refers to {reference!r}, "
                    f"which names {len(found)} assets made by one function ({names}); "
                    "give each a name= and refer to it by that name"
                )
            if not found:
                raise PlanError(
                    f"asset {asset.label!r} ({asset.where}): input {parameter!r} refers to unknown asset {reference!r}"
                )
            resolved[parameter] = found[0].key
        upstreams[asset.key] = resolved
    return upstreams


def _dependency_order(assets: Sequence[Asset], upstreams: Mapping[str, Mapping[str, str]]) -> list[Asset]:
    by_key = {asset.key: asset for asset in assets}
    order: list[Asset] = []
    state: dict[str, int] = {}  # 1: on the current path, 2: done
    for root in by_key:
        if state.get(root) == 2:
            continue
        stack = [(root, iter(sorted(set(upstreams[root].values()))))]
        path = [root]
        state[root] = 1
        while stack:
            key, pending = stack[-1]
            nxt = next(pending, None)
            if nxt is None:
                stack.pop()
                path.pop()
                state[key] = 2
                order.append(by_key[key])
            elif state.get(nxt) == 1:
                cycle = path[path.index(nxt) :] + [nxt]
                raise PlanError("dependency cycle: " + " -> ".join(cycle))
            elif state.get(nxt) is None:
                state[nxt] = 1
                path.append(nxt)
                stack.append((nxt, iter(sorted(set(upstreams[nxt].values())))))
    return order


def _select(assets: Sequence[Asset], upstreams: Mapping[str, Mapping[str, str]], names: Sequence[str]) -> set[str]:
    chosen: set[str] = set()
    for name in names:
        matches = [a.key for a in assets if name in _names_of(a)]
        if not matches:
            raise PlanError(f"--select {name!r} matches no asset")
        chosen.update(matches)
    # Everything a selected asset needs runs too.
    pending = list(chosen)
    while pending:
        for upstream in upstreams[pending.pop()].values():
            if upstream not in chosen:
                chosen.add(upstream)
                pending.append(upstream)
    return chosen


def _names_of(asset: Asset) -> set:
    return {asset.key, asset.name, asset.label, asset.function, asset.attribute, asset.default_key,
            f"{asset.module}.{asset.function}"}  # fmt: skip


_SELECTOR = re.compile(r"(?P<up>\+)?(?P<name>.+?)(?:\[(?P<key>.*)\])?(?P<down>\+)?")


def select_jobs(
    plan: Plan, selectors: Sequence[str] = (), partitions: Sequence[str] = (), among: set[int] | None = None
) -> tuple[set[int], set[int]]:
    """The jobs a selection names, and those plus every job they need (the plan to run).

    NAME: that asset; NAME+: it and everything downstream; +NAME: it and everything upstream;
    NAME[KEY]: one partition. `partitions` (DIM=VALUE) keeps the selected jobs whose dimension
    DIM has that value (assets without DIM keep theirs). No selectors: every job. `among`
    narrows the choice to those jobs (the ones to re-run after a failure).
    """
    by_asset: dict[str, list[int]] = {}
    for job in plan.jobs:
        by_asset.setdefault(job.asset.key, []).append(job.id)
    if not selectors and not partitions and among is None:
        everything = {job.id for job in plan.jobs}
        return everything, everything
    dependants = plan.dependants() if any(s.endswith("+") for s in selectors) else None
    if not selectors:
        chosen = {job.id for job in plan.jobs}
    else:
        chosen = set()
        for selector in selectors:
            exact = [a for a in plan.assets if selector in _names_of(a)]
            match = None if exact else _SELECTOR.fullmatch(selector)
            if exact:
                found, up, down, key = exact, False, False, None
            elif match:
                name = match.group("name")
                found = [a for a in plan.assets if name in _names_of(a)]
                up, down, key = bool(match.group("up")), bool(match.group("down")), match.group("key")
            else:
                found = []
            if not found:
                import difflib

                labels = sorted({a.label for a in plan.assets})
                close = difflib.get_close_matches(selector.strip("+").split("[")[0], labels, n=3)
                hint = f"; did you mean {', '.join(repr(c) for c in close)}?" if close else ""
                raise PlanError(f"--select {selector!r} matches no asset{hint}")
            for asset in found:
                ids = by_asset.get(asset.key, [])
                if key is not None:
                    ids = [i for i in ids if plan.jobs[i].key == key]
                    if not ids:
                        raise PlanError(f"--select {selector!r}: asset {asset.label!r} has no partition {key!r}")
                picked = set(ids)
                pending = list(picked)
                while pending and (up or down):
                    job_id = pending.pop()
                    nexts = set(plan.jobs[job_id].depends) if up else set()
                    if down:
                        nexts.update(dependants[job_id])
                    for nxt in nexts:
                        if nxt not in picked:
                            picked.add(nxt)
                            pending.append(nxt)
                chosen |= picked
    if among is not None:
        chosen &= among
    for condition in partitions:
        dim, sep, wanted = condition.partition("=")
        if not sep:
            raise PlanError(f"--partition {condition!r}: expected DIM=VALUE")
        known = False
        kept = set()
        for job_id in chosen:
            job = plan.jobs[job_id]
            names = [d.name for d in job.asset.dimensions]
            if dim not in names:
                kept.add(job_id)
                continue
            known = True
            text = job.values[names.index(dim)]
            value = json.loads(text)
            if wanted in (value if isinstance(value, str) else text, _key_segment(text)):
                kept.add(job_id)
        if not known:
            raise PlanError(f"--partition {condition!r}: no selected asset has a dimension {dim!r}")
        chosen = kept
    if not chosen:
        raise PlanError("the selection matches no job")
    needed = set(chosen)
    pending = list(chosen)
    while pending:
        for upstream in plan.jobs[pending.pop()].depends:
            if upstream not in needed:
                needed.add(upstream)
                pending.append(upstream)
    return chosen, needed


def _folders(assets: Sequence[Asset]) -> dict[str, str]:
    def plain(asset: Asset) -> str:
        if asset.name is not None:
            return _top_segment(asset.name)
        return _top_segment(f"{Path(asset.file_path).stem or asset.module}.{asset.attribute or asset.function}")

    names = {asset.key: plain(asset) for asset in assets}
    counts: dict[str, int] = {}
    for folder in names.values():
        counts[folder] = counts.get(folder, 0) + 1
    for asset in assets:
        if counts[names[asset.key]] > 1:  # same-named functions in different files
            names[asset.key] += "-" + hashlib.sha1(asset.key.encode("utf-8")).hexdigest()[:8]
    return names


def _check_dimensions(asset: Asset, upstreams: Mapping[str, str]) -> None:
    clash = sorted({d.name for d in asset.dimensions} & set(upstreams))
    if clash:
        raise PlanError(f"asset {asset.label!r}: {clash[0]!r} is both an input and a partition dimension")
    # Keys join escaped segments, so two combinations share a key only if some dimension
    # has two values with one segment: checking each dimension checks every combination.
    for dim in asset.dimensions:
        seen: dict[str, str] = {}
        for text, segment in zip(dim.texts, dim.segments()):
            if segment in seen:
                what = "the same value twice" if seen[segment] == text else "two values with one partition key"
                raise PlanError(
                    f"asset {asset.label!r} ({asset.where}): dimension {dim.name!r} has {what}: "
                    f"{seen[segment]} and {text} (key {segment!r})"
                )
            seen[segment] = text


def build_graph(document: Mapping, select: Sequence[str] | None = None) -> Graph:
    """The assets of a document in dependency order, or PlanError before anything runs."""
    assets = assets_from_document(document)
    upstreams = _resolve(assets)
    ordered = _dependency_order(assets, upstreams)
    if select:
        chosen = _select(assets, upstreams, select)
        ordered = [asset for asset in ordered if asset.key in chosen]
    for asset in ordered:
        _check_dimensions(asset, upstreams[asset.key])
    return Graph(ordered, {a.key: upstreams[a.key] for a in ordered}, _folders(ordered))


def expand(graph: Graph) -> Plan:
    """One job per asset and partition; time and memory linear in the number of jobs."""
    # Millions of small acyclic objects: the cycle collector would rescan them all, again
    # and again, as they accumulate.
    enabled = gc.isenabled()
    gc.disable()
    try:
        return _expand(graph)
    finally:
        if enabled:
            gc.enable()


def _expand(graph: Graph) -> Plan:
    jobs: list[Job] = []
    jobs_of: dict[str, list[Job]] = {}
    # upstream key -> its jobs by value texts; built once, looked up by every dependant
    index_of: dict[str, dict[tuple[str, ...], int]] = {}
    by_key = graph.by_key()
    for asset in graph.assets:
        specs = []  # (parameter, upstream key, mode, fixed job ids or positions into our values)
        dim_pos = {d.name: i for i, d in enumerate(asset.dimensions)}
        for parameter, upstream_key in sorted(graph.upstreams[asset.key].items()):
            upstream = by_key[upstream_key]
            upstream_jobs = jobs_of[upstream_key]
            if not upstream.partitioned:
                specs.append(InputSpec(parameter, upstream_key, "value", (upstream_jobs[0].id,)))
            elif graph.fan_in(asset, upstream):
                specs.append(InputSpec(parameter, upstream_key, "mapping", tuple(j.id for j in upstream_jobs)))
            else:
                if upstream_key not in index_of:
                    index_of[upstream_key] = {j.values: j.id for j in upstream_jobs}
                positions = tuple(dim_pos[d.name] for d in upstream.dimensions)
                specs.append((parameter, upstream_key, positions))
        own = []
        folders: set[str] = set()
        fixed = tuple(s for s in specs if isinstance(s, InputSpec))
        matched = [s for s in specs if not isinstance(s, InputSpec)]
        fixed_depends = frozenset(i for s in fixed for i in s.jobs)
        # Each value's key segment once per dimension, not once per combination.
        pairs = [tuple(zip(d.texts, d.segments())) for d in asset.dimensions]
        combos = itertools.product(*pairs) if asset.dimensions else [()]
        for combo in combos:
            values = tuple(text for text, _ in combo)
            key = "|".join(segment for _, segment in combo) if asset.dimensions else None
            job = Job(len(jobs), asset, values, key)
            if matched:
                inputs = list(fixed)
                for parameter, upstream_key, positions in matched:
                    found = index_of[upstream_key].get(tuple(values[p] for p in positions))
                    if found is None:
                        raise PlanError(
                            f"asset {asset.label!r} partition {key!r}: upstream {by_key[upstream_key].label!r} "
                            "has no matching partition"
                        )
                    inputs.append(InputSpec(parameter, upstream_key, "value", (found,)))
                job.inputs = tuple(inputs)
                job.depends = frozenset(i for s in job.inputs for i in s.jobs)
            else:
                job.inputs, job.depends = fixed, fixed_depends
            if key is not None:
                folder = safe_segment(key)
                if folder in folders:
                    raise PlanError(f"asset {asset.label!r}: two partitions share the folder {folder!r}")
                folders.add(folder)
            jobs.append(job)
            own.append(job)
        jobs_of[asset.key] = own
    return Plan(graph.assets, graph.upstreams, graph.folders, jobs)


def build_plan(document: Mapping, select: Sequence[str] | None = None) -> Plan:
    """Turns a document into jobs, or raises PlanError before anything runs."""
    return expand(build_graph(document, select))


def kwargs_text(plan: Plan, job: Job, value_text: Callable[[int], str], skip: Iterable[str] = ()) -> str:
    """The keyword-argument JSON of a job, composed from texts without re-encoding values.

    `value_text(job_id)` gives the value.json text of a finished upstream job; parameters in
    `skip` are left out (their values reach the worker another way).
    """
    parts = [json.dumps(dim) + ":" + text for dim, text in job.partition]
    jobs = plan.jobs
    skip = set(skip)
    for spec in job.inputs:
        if spec.parameter in skip:
            continue
        if spec.mode == "value":
            parts.append(json.dumps(spec.parameter) + ":" + value_text(spec.jobs[0]))
        else:
            entries = ",".join(json.dumps(jobs[i].key) + ":" + value_text(i) for i in spec.jobs)
            parts.append(json.dumps(spec.parameter) + ":{" + entries + "}")
    return "{" + ",".join(parts) + "}"

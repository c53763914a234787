"""Planning a run: asset identity, the asset graph, partition expansion and input mapping.

Pure data: nothing here starts a process or imports user code. The input is the inspection
document that ``python -m mervo.inspect`` prints.
"""

from __future__ import annotations

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
    "InputSpec",
    "Job",
    "Plan",
    "PlanError",
    "assets_from_document",
    "build_plan",
    "kwargs_text",
    "partition_key",
    "safe_segment",
]

UNPARTITIONED = "_"  # the partition folder of an asset without partitions


class PlanError(Exception):
    """The project cannot be run as declared (unknown input, duplicate key, cycle, ...)."""


@dataclass(frozen=True)
class Dimension:
    name: str
    texts: tuple[str, ...]  # each value as compact JSON text, in declaration order

    @property
    def size(self) -> int:
        return len(self.texts)


@dataclass(frozen=True)
class Asset:
    key: str
    name: str | None
    module: str
    function: str
    file_path: str
    inputs: Mapping[str, str]  # parameter -> reference as declared
    dimensions: tuple[Dimension, ...]
    return_type: str | None

    @property
    def default_key(self) -> str:
        return f"{self.file_path}:{self.function}"

    @property
    def label(self) -> str:
        """A short name for progress lines: the given name, else module.function."""
        return self.name if self.name is not None else f"{self.module}.{self.function}"

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
    # Dimension order is name order (as the document lists them), stable across runs.
    for dim_name, spec in sorted((meta.get("partitions") or {}).items()):
        dimensions.append(Dimension(dim_name, split_array_text(spec["values_json"])))
    key = meta.get("name")
    default_key = f"{record['file_path']}:{record['function_name']}"
    return Asset(
        key=key if key is not None else default_key,
        name=key,
        module=record["module_path"],
        function=record["function_name"],
        file_path=record["file_path"],
        inputs=dict(meta.get("inputs") or {}),
        dimensions=tuple(dimensions),
        return_type=record.get("return_type"),
    )


def assets_from_document(document: Mapping) -> list[Asset]:
    """Assets of an inspection document, once each, in discovery order.

    An asset imported into several inspected modules appears once per module in the
    document; it is the same asset (same source file and function) and is kept once.
    """
    by_key: dict[str, Asset] = {}
    for record in document.get("assets", []):
        asset = _asset_from_record(record)
        seen = by_key.get(asset.key)
        if seen is None:
            by_key[asset.key] = asset
        elif seen.default_key != asset.default_key:
            raise PlanError(
                f"two assets share the key {asset.key!r}: {seen.default_key} and {asset.default_key}"
            )
    return list(by_key.values())


@dataclass(frozen=True)
class InputSpec:
    parameter: str
    upstream: str  # asset key
    # "value": one upstream job's value; "mapping": an object from partition key to value
    mode: str
    jobs: tuple[int, ...]  # upstream job ids (one for "value")


@dataclass
class Job:
    id: int
    asset: Asset
    partition: tuple[tuple[str, str], ...]  # (dimension, value text) in dimension order
    key: str | None  # partition key, None when the asset has no partitions
    inputs: list[InputSpec] = field(default_factory=list)
    depends: set[int] = field(default_factory=set)

    @property
    def label(self) -> str:
        return self.asset.label if self.key is None else f"{self.asset.label}[{self.key}]"


@dataclass
class Plan:
    assets: list[Asset]  # in dependency order
    upstreams: dict[str, dict[str, str]]  # asset key -> parameter -> upstream key
    jobs: list[Job]  # each job after every job it depends on
    folders: dict[str, str]  # asset key -> folder name

    def job_folder(self, root: Path, job: Job) -> Path:
        return root / self.folders[job.asset.key] / safe_segment(job.key if job.key is not None else UNPARTITIONED)

    def dependants(self) -> dict[int, list[int]]:
        out: dict[int, list[int]] = {job.id: [] for job in self.jobs}
        for job in self.jobs:
            for dep in job.depends:
                out[dep].append(job.id)
        return out


def _value_text(text: str) -> str:
    """A partition value as it appears in a partition key."""
    value = json.loads(text)
    return value if isinstance(value, str) else text


def partition_key(values: Iterable[str]) -> str:
    """The partition key of one combination of value texts, in dimension order."""
    return "|".join(_value_text(text) for text in values)


_SAFE = re.compile(r"[A-Za-z0-9._-]")


def safe_segment(text: str) -> str:
    """A file-system-safe, stable and reversible folder name for `text`."""
    out = "".join(c if _SAFE.fullmatch(c) else "".join(f"%{b:02X}" for b in c.encode("utf-8")) for c in text)
    if out in ("", ".", ".."):  # "%" alone cannot come from any text: "%" itself is "%25"
        out = out.replace(".", "%2E") or "%"
    if len(out.encode()) > 200:  # keep well inside NAME_MAX
        digest = hashlib.sha1(text.encode("utf-8")).hexdigest()[:12]
        out = out[:180] + "-" + digest
    return out


def _resolve(assets: Sequence[Asset]) -> dict[str, dict[str, str]]:
    index: dict[str, str] = {}
    for asset in assets:
        index.setdefault(asset.default_key, asset.key)
        index[asset.key] = asset.key
    upstreams: dict[str, dict[str, str]] = {}
    for asset in assets:
        resolved = {}
        for parameter, reference in asset.inputs.items():
            if reference not in index:
                raise PlanError(f"asset {asset.key!r}: input {parameter!r} refers to unknown asset {reference!r}")
            resolved[parameter] = index[reference]
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
        matches = [
            a.key for a in assets if name in (a.key, a.name, a.function, a.default_key, f"{a.module}.{a.function}")
        ]
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


def _folders(assets: Sequence[Asset]) -> dict[str, str]:
    def plain(asset: Asset) -> str:
        if asset.name is not None:
            return safe_segment(asset.name)
        return safe_segment(f"{Path(asset.file_path).stem or asset.module}.{asset.function}")

    names = {asset.key: plain(asset) for asset in assets}
    counts: dict[str, int] = {}
    for folder in names.values():
        counts[folder] = counts.get(folder, 0) + 1
    for asset in assets:
        if counts[names[asset.key]] > 1:  # same-named functions in different files
            names[asset.key] += "-" + hashlib.sha1(asset.key.encode("utf-8")).hexdigest()[:8]
    return names


def build_plan(document: Mapping, select: Sequence[str] | None = None) -> Plan:
    """Turns an inspection document into jobs, or raises PlanError before anything runs."""
    assets = assets_from_document(document)
    upstreams = _resolve(assets)
    ordered = _dependency_order(assets, upstreams)
    if select:
        chosen = _select(assets, upstreams, select)
        ordered = [asset for asset in ordered if asset.key in chosen]

    jobs: list[Job] = []
    jobs_of: dict[str, list[Job]] = {}
    for asset in ordered:
        clash = sorted({d.name for d in asset.dimensions} & set(upstreams[asset.key]))
        if clash:
            raise PlanError(f"asset {asset.key!r}: {clash[0]!r} is both an input and a partition dimension")
        combos = itertools.product(*[[(d.name, t) for t in d.texts] for d in asset.dimensions])
        own = []
        for combo in combos:
            job = Job(len(jobs), asset, tuple(combo), partition_key(t for _, t in combo) if asset.dimensions else None)
            for parameter, upstream_key in sorted(upstreams[asset.key].items()):
                job.inputs.append(_input_spec(job, parameter, upstream_key, jobs_of[upstream_key]))
            for spec in job.inputs:
                job.depends.update(spec.jobs)
            jobs.append(job)
            own.append(job)
        jobs_of[asset.key] = own
    return Plan(ordered, {a.key: upstreams[a.key] for a in ordered}, jobs, _folders(ordered))


def _input_spec(job: Job, parameter: str, upstream_key: str, upstream_jobs: list[Job]) -> InputSpec:
    upstream = upstream_jobs[0].asset if upstream_jobs else None
    if upstream is None:  # an upstream with an empty partition dimension has no jobs
        return InputSpec(parameter, upstream_key, "mapping", ())
    if not upstream.partitioned:
        return InputSpec(parameter, upstream_key, "value", (upstream_jobs[0].id,))
    mine = dict(job.partition)
    if all(d.name in mine for d in upstream.dimensions):
        for candidate in upstream_jobs:
            if all(mine[dim] == text for dim, text in candidate.partition):
                return InputSpec(parameter, upstream_key, "value", (candidate.id,))
        raise PlanError(
            f"asset {job.asset.key!r} partition {job.key!r}: upstream {upstream_key!r} has no matching partition"
        )
    return InputSpec(parameter, upstream_key, "mapping", tuple(j.id for j in upstream_jobs))


def kwargs_text(plan: Plan, job: Job, value_text: Callable[[int], str]) -> str:
    """The keyword-argument JSON of a job, composed from texts without re-encoding values.

    `value_text(job_id)` gives the value.json text of a finished upstream job.
    """
    parts = [json.dumps(dim) + ":" + text for dim, text in job.partition]
    jobs = plan.jobs
    for spec in job.inputs:
        if spec.mode == "value":
            parts.append(json.dumps(spec.parameter) + ":" + value_text(spec.jobs[0]))
        else:
            entries = ",".join(json.dumps(jobs[i].key) + ":" + value_text(i) for i in spec.jobs)
            parts.append(json.dumps(spec.parameter) + ":{" + entries + "}")
    return "{" + ",".join(parts) + "}"

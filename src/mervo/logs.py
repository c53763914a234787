"""`mervo logs`: finding a job's folder in an output folder by the names a user knows, and its log."""

from __future__ import annotations

import codecs
import difflib
import json
import os
import shutil
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Iterable, TextIO
from urllib.parse import unquote

from . import jobs
from .planning import UNPARTITIONED, safe_segment

__all__ = ["ATTEMPTS", "LogsError", "find_job", "log_path", "print_log", "show_log"]

ATTEMPTS = ("latest", "failed")
_LISTED = 10  # names or partitions quoted in one message
_CHUNK = 64 * 1024


class LogsError(Exception):
    """A log that cannot be shown, in one line for the user."""


@dataclass
class _Asset:
    folder: Path  # OUT/<asset folder>
    label: str
    key: str | None = None
    partitions: dict = field(default_factory=dict)  # partition key (None: unpartitioned) -> job folder
    errors: dict = field(default_factory=dict)  # partition key -> why the last run did not run it

    def strong_names(self) -> set[str]:
        return {n for n in (self.label, self.key) if n}

    def other_names(self) -> tuple[set[str], set[str]]:
        """(module.function forms and the folder's name, bare function names), from the job
        files a worker was given and left."""
        dotted = {self.folder.name, unquote(self.folder.name)}
        bare = set()
        if self.key and ":" in self.key:
            bare.add(self.key.rsplit(":", 1)[1])
        for module, function in self._code_names():
            dotted.add(f"{module}.{function}")
            bare.add(function)
        return dotted, bare

    def _code_names(self) -> Iterable[tuple[str, str]]:
        for job_folder in self.partitions.values():
            for attempt in (job_folder / jobs.CURRENT, job_folder / jobs.FAILED):
                job = _read_json(attempt / jobs.JOB)
                if job.get("module") and job.get("attribute"):
                    yield job["module"], job["attribute"]
                result = _read_json(attempt / jobs.RESULT)
                if result.get("module_path") and result.get("function_name"):
                    yield result["module_path"], result["function_name"]
                if job or result:
                    return  # one job of the asset tells for all of them


def _read_json(path: Path) -> dict:
    try:
        value = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return {}
    return value if isinstance(value, dict) else {}


def _from_record(out: Path) -> dict[str, _Asset]:
    """Assets by folder name, as the last run.json lists them."""
    document = _read_json(out / "run.json")
    assets: dict[str, _Asset] = {}
    for job in document.get("jobs") or []:
        if not isinstance(job, dict) or not job.get("folder"):
            continue
        recorded = Path(job["folder"])
        # Rebuilt under OUT: the folder may have been moved since the run.
        folder = out / recorded.parent.name
        asset = assets.get(folder.name)
        if asset is None:
            asset = assets[folder.name] = _Asset(folder, job.get("label") or unquote(folder.name), job.get("asset"))
        asset.partitions[job.get("partition")] = folder / recorded.name
        if job.get("status") in ("skipped", "cancelled") and job.get("error"):
            asset.errors[job.get("partition")] = job["error"]
    return assets


def _looks_like_job(folder: Path) -> bool:
    return any((folder / name).exists() for name in (jobs.ATTEMPTS, jobs.CURRENT, jobs.RESULT))


def _from_folders(out: Path, known: dict[str, _Asset]) -> None:
    """Adds the asset folders of earlier runs that the last run.json does not list."""
    try:
        entries = sorted(os.scandir(out), key=lambda e: e.name)
    except OSError:
        return
    for entry in entries:
        if entry.name.startswith(".") or entry.name in known or not entry.is_dir():
            continue
        folder = Path(entry.path)
        try:
            parts = sorted(p for p in folder.iterdir() if p.is_dir() and _looks_like_job(p))
        except OSError:
            continue
        if not parts:
            continue
        asset = known[entry.name] = _Asset(folder, unquote(entry.name))
        for part in parts:
            key = None if part.name == UNPARTITIONED else unquote(part.name)
            asset.partitions[key] = part


def _quoted(names: Iterable[str]) -> str:
    names = list(names)
    shown = ", ".join(repr(n) for n in names[:_LISTED])
    return shown + (f" and {len(names) - _LISTED} more" if len(names) > _LISTED else "")


def _pick_asset(out: Path, assets: dict[str, _Asset], name: str) -> _Asset:
    candidates = list(assets.values())
    tiers = [[a for a in candidates if name in a.strong_names()]]
    if not tiers[0]:
        others = {id(a): a.other_names() for a in candidates}
        # A key's file:function, for folders no run.json names: its folder is <file stem>.<function>.
        keyed = f"{Path(name.rsplit(':', 1)[0]).stem}.{name.rsplit(':', 1)[1]}" if ":" in name else None
        tiers.append([a for a in candidates if name in others[id(a)][0]
                      or (keyed and a.key is None and keyed in others[id(a)][0])])
        tiers.append([a for a in candidates if name in others[id(a)][1]])
    for found in tiers:
        if len(found) == 1:
            return found[0]
        if found:
            raise LogsError(f"{name!r} names {len(found)} assets in {out}: "
                            f"{_quoted(a.key or a.label for a in found)}; give one of these instead")
    labels = sorted(a.label for a in candidates)
    names = dict.fromkeys(labels + [a.key for a in candidates if a.key])
    close = difflib.get_close_matches(name, list(names), n=3)
    if close:
        hint = f"did you mean {_quoted(close)}?"
    else:
        hint = f"its assets: {_quoted(labels)}"
    raise LogsError(f"no asset {name!r} in {out}; {hint}")


def _existing(asset: _Asset, key: str | None) -> Path:
    """The job folder; a job that never ran says why, as the last run recorded it."""
    folder = asset.partitions[key]
    error = asset.errors.get(key)
    if error and not folder.exists():
        label = asset.label if key is None else f"{asset.label}[{key}]"
        raise LogsError(f"{label} has no log: {error.splitlines()[0]}")
    return folder


def _pick_partition(asset: _Asset, partition: str | None) -> Path:
    parts = asset.partitions
    keys = [k for k in parts if k is not None]  # in the run's order
    if partition is None:
        if None in parts:
            return _existing(asset, None)
        if len(keys) == 1:
            return _existing(asset, keys[0])
        raise LogsError(f"asset {asset.label!r} has {len(keys)} partitions; name one: {_quoted(keys)}")
    if not keys:
        raise LogsError(f"asset {asset.label!r} has no partitions; leave out {partition!r}")
    if partition in parts:
        return _existing(asset, partition)
    for key in keys:  # the partition's folder name, as seen in OUT
        if safe_segment(key) == partition:
            return _existing(asset, key)
    close = difflib.get_close_matches(partition, keys, n=3)
    hint = f"did you mean {_quoted(close)}?" if close else f"its partitions: {_quoted(keys)}"
    raise LogsError(f"asset {asset.label!r} has no partition {partition!r}; {hint}")


def find_job(out: Path, asset: str, partition: str | None = None) -> Path:
    """The job folder of `asset` (its name, key or module.function) and `partition` in `out`."""
    out = Path(out)
    if not out.is_dir():
        raise LogsError(f"no output folder {out}")
    assets = _from_record(out)
    _from_folders(out, assets)
    if not assets:
        raise LogsError(f"{out} holds no job folders; is it the --out of a run?")
    return _pick_partition(_pick_asset(out, assets, asset), partition)


def _attempt(link: Path) -> Path | None:
    return link if link.is_dir() else None


def _age(folder: Path) -> int:
    try:
        return folder.stat().st_mtime_ns
    except OSError:
        return -1


def log_path(job_folder: Path, attempt: str = "latest") -> Path:
    """The log of a job's newest attempt (its last failure or its last success), or of its
    last failure with `attempt="failed"`."""
    job_folder = Path(job_folder)
    if attempt not in ATTEMPTS:
        raise LogsError(f"--attempt: expected one of {', '.join(ATTEMPTS)}, got {attempt!r}")
    if not job_folder.is_dir():
        raise LogsError(f"the job has not run: there is no {job_folder}")
    failed = _attempt(job_folder / jobs.FAILED)
    if attempt == "failed":
        if failed is None:
            raise LogsError(f"the job has no failed attempt in {job_folder}; its last run succeeded or it never failed")
        chosen = failed
    else:
        found = [f for f in (failed, _attempt(job_folder / jobs.CURRENT)) if f is not None]
        if not found:
            legacy = job_folder / jobs.LOG  # a job folder of the layout without attempts
            if legacy.is_file():
                return legacy
            raise LogsError(f"the job has not finished an attempt yet: nothing in {job_folder}")
        # A failure is kept only when it came after the last success; the times settle anything else.
        chosen = max(found, key=lambda f: (_age(f), f is failed))
    path = chosen / jobs.LOG
    if not path.is_file():
        raise LogsError(f"the attempt kept no log: there is no {path}")
    return path


def print_log(path: Path, stream: TextIO = sys.stdout) -> None:
    """Copies a log to `stream` in chunks: a large log is never read whole."""
    try:
        source = open(path, "rb")
    except OSError as exc:
        raise LogsError(f"cannot read {path}: {exc.strerror or exc}") from None
    with source:
        binary = getattr(stream, "buffer", None)
        if binary is not None:
            stream.flush()
            shutil.copyfileobj(source, binary, _CHUNK)
            binary.flush()
            return
        # A text-only stream: bytes that are not UTF-8 come out as replacement characters.
        decoder = codecs.getincrementaldecoder("utf-8")("replace")
        for chunk in iter(lambda: source.read(_CHUNK), b""):
            stream.write(decoder.decode(chunk))
        stream.write(decoder.decode(b"", final=True))
        stream.flush()


def show_log(out: Path, asset: str, partition: str | None = None, attempt: str = "latest",
             stream: TextIO = sys.stdout) -> Path:
    """`mervo logs OUT ASSET [PARTITION] [--attempt ...]`: prints the log and returns its path."""
    path = log_path(find_job(out, asset, partition), attempt)
    print_log(path, stream)
    return path

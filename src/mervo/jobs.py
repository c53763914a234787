"""The worker contract: how a job is handed to a worker, and how its outcome is read back.

A job folder holds the last successful pair and nothing half-written:

    <job>/attempts/<id>/      one folder per attempt: value.json, result.json, log.txt
    <job>/current  -> attempts/<id>   the last successful attempt, switched by one rename
    <job>/failed   -> attempts/<id>   the latest failed attempt, if it failed after that
    <job>/value.json  -> current/value.json   (and result.json, log.txt)

A worker only ever writes into its own attempt folder; only a successful attempt is made
current, so a failed, killed or orphaned worker cannot replace a good value.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import signal
import sys
from dataclasses import dataclass
from pathlib import Path

from . import formats
from .planning import kwargs_text

__all__ = [
    "Attempt",
    "Verdict",
    "WorkerCall",
    "WorkerOutcome",
    "judge",
    "promote",
    "record_failure",
    "start_attempt",
    "worker_command",
]

ATTEMPTS = "attempts"
CURRENT = "current"
FAILED = "failed"
VALUE = "value.json"
RESULT = "result.json"
LOG = "log.txt"
TRACEBACK = "traceback.txt"
KWARGS = "kwargs.json"
JOB = "job.json"
# Files of an attempt that the job folder shows through links into `current`, besides
# its value file (value.json, value.parquet, ...).
SHOWN = (RESULT, LOG, "meta.json")

# Keyword-argument texts above this size go through a file (or standard input), far below
# the 128 KiB limit of one command-line argument.
INLINE_LIMIT = 32 * 1024
LOG_LIMIT = 1024 * 1024  # a longer log keeps its first and last half of this
TAIL_BYTES = 4000


@dataclass(frozen=True)
class WorkerCall:
    module: str
    function: str  # the module attribute the worker looks up
    folder: Path  # the attempt folder: where the worker leaves value.json and result.json
    kwargs_json: str  # partition values and JSON upstream values, as one JSON object
    cwd: Path
    log: Path | None = None  # where its standard output and error go
    serializer: str | None = None
    inputs: dict | None = None  # upstream values the worker reads from files
    traceback: Path | None = None

    def spec(self, folder: str | None = None) -> dict:
        """The job as the worker stub's --job form takes it (`folder` where it runs)."""
        return {
            "module": self.module,
            "attribute": self.function,
            "output_dir": folder or str(self.folder),
            "kwargs_json": self.kwargs_json,
            "serializer": self.serializer,
            "inputs": self.inputs or {},
            "traceback": None if self.traceback is None else (
                str(Path(folder) / TRACEBACK) if folder else str(self.traceback)),
        }


@dataclass(frozen=True)
class WorkerOutcome:
    exit_status: int  # negative: killed by that signal
    duration: float  # seconds the worker ran
    output: str = ""  # what it printed, when it did not go to call.log


def write_job(call: WorkerCall) -> Path:
    """The job file the worker stub's --job form reads, in the attempt folder."""
    path = call.folder / JOB
    path.write_text(json.dumps(call.spec(), ensure_ascii=False), encoding="utf-8")
    return path


def worker_command(call: WorkerCall, python: str = sys.executable) -> list[str]:
    """The worker's argv; the job itself goes to a file in the attempt folder."""
    return [python, "-m", "mervo.worker", "--job", str(write_job(call))]


def arguments(plan, job, folder_of) -> tuple[str, dict]:
    """A job's inline keyword-argument JSON and the upstream values it reads from files.

    JSON upstream values go into the text as they are; values of other formats never pass
    through here: the worker reads their files. `folder_of(job_id)` is the job folder of a
    finished upstream job.
    """
    def file_entry(job_id: int) -> dict:
        folder = folder_of(job_id)
        path = formats.value_file(folder)
        if path is None:
            raise FileNotFoundError(f"no value in {folder}")
        return {"format": plan.jobs[job_id].asset.serializer, "path": os.path.realpath(path)}

    inputs: dict = {}
    for spec in job.inputs:
        if not spec.jobs or plan.jobs[spec.jobs[0]].asset.serializer in (None, "json"):
            continue
        if spec.mode == "value":
            inputs[spec.parameter] = file_entry(spec.jobs[0])
        else:
            inputs[spec.parameter] = {"fan_in": {plan.jobs[i].key: file_entry(i) for i in spec.jobs}}
    return kwargs_text(plan, job, lambda i: value_text(folder_of(i)), skip=inputs), inputs


class Attempt:
    """One attempt of a job: its folder under the job folder's attempts/."""

    __slots__ = ("job_folder", "id", "folder", "log")

    def __init__(self, job_folder: Path, attempt_id: str):
        self.job_folder = job_folder
        self.id = attempt_id
        # Paths made once: they are asked for several times per job, 10^5 jobs at a time.
        self.folder = job_folder / ATTEMPTS / attempt_id
        self.log = self.folder / LOG


def _target(link: Path) -> str | None:
    try:
        return os.readlink(link)
    except OSError:
        return None


def start_attempt(job_folder: Path, attempt_id: str) -> Attempt:
    """A fresh, empty attempt folder; attempts left by killed runs are cleared away.

    The caller holds the output folder's lock, so no other run is writing here.
    """
    attempts = job_folder / ATTEMPTS
    attempts.mkdir(parents=True, exist_ok=True)
    keep = {Path(t).name for t in (_target(job_folder / CURRENT), _target(job_folder / FAILED)) if t}
    for entry in os.listdir(attempts):
        if entry not in keep:
            shutil.rmtree(attempts / entry, ignore_errors=True)
    attempt = Attempt(job_folder, attempt_id)
    attempt.folder.mkdir()
    return attempt


def _point(link: Path, target: str) -> str | None:
    """Makes `link` a symlink to `target` in one rename; returns what it pointed to."""
    before = _target(link)
    if before == target:
        return None
    if before is None and link.is_dir():
        # A copy of the output folder that followed the links holds the pair as a folder.
        shutil.rmtree(link)
    tmp = link.with_name(f".{link.name}.tmp")
    try:
        tmp.unlink()
    except FileNotFoundError:
        pass
    os.symlink(target, tmp)
    os.replace(tmp, link)
    return before


def _drop_attempt(job_folder: Path, target: str | None, *still_used: str | None) -> None:
    if target and target not in still_used and target.startswith(ATTEMPTS + "/"):
        shutil.rmtree(job_folder / target, ignore_errors=True)


def _json_string(text: str) -> bytes:
    # The host's escapes without ASCII escaping are exactly the extension writer's, so a
    # rewritten result.json reads as if the worker had written it there.
    return json.dumps(text, ensure_ascii=False).encode("utf-8")


def relocate_result(result: bytes, old_value_path: str, new_value_path: str) -> bytes:
    """result.json's text with "value_path" naming `new_value_path` instead."""
    old = b'"value_path":' + _json_string(old_value_path)
    # Keys are unique and a quote inside any string is escaped, so this is the member itself.
    return result.replace(old, b'"value_path":' + _json_string(new_value_path), 1)


def promote(attempt: Attempt) -> None:
    """Makes a successful attempt the job's current pair, in one atomic step."""
    job = attempt.job_folder
    result_path = attempt.folder / RESULT
    # "value_path" names where the value stays: the job folder's link, not the attempt.
    text = result_path.read_bytes()
    record = json.loads(text)
    value_name = Path(str(record.get("value_path") or VALUE)).name
    if record.get("value_path") == str(attempt.folder / value_name):
        tmp = attempt.folder / (RESULT + ".tmp")
        tmp.write_bytes(relocate_result(text, str(attempt.folder / value_name), str(job / value_name)))
        os.replace(tmp, result_path)
    target = f"{ATTEMPTS}/{attempt.id}"
    before = _point(job / CURRENT, target)
    stale = {name for name in os.listdir(job) if name.startswith("value.")} - {value_name}
    for name in (value_name, *SHOWN, *stale):
        link = job / name
        if name not in stale and (attempt.folder / name).exists():
            if _target(link) != f"{CURRENT}/{name}":  # a file of an older layout, or nothing
                _point(link, f"{CURRENT}/{name}")
        elif link.is_symlink() or name in stale:
            link.unlink()
    failed = _target(job / FAILED)
    if failed is not None:  # the job has succeeded since: its last failure is history
        (job / FAILED).unlink()
    _drop_attempt(job, before, target)
    _drop_attempt(job, failed, target)


def record_failure(attempt: Attempt) -> None:
    """Keeps a failed attempt under `failed`, beside the untouched last good pair."""
    job = attempt.job_folder
    # What a failed worker managed to write of its value is of no use, and on a full disk
    # its space is what the run record needs.
    for name in [n for n in os.listdir(attempt.folder) if n.startswith("value.") or n.startswith(".value.")] + [KWARGS]:
        try:
            (attempt.folder / name).unlink()
        except FileNotFoundError:
            pass
    before = _point(job / FAILED, f"{ATTEMPTS}/{attempt.id}")
    _drop_attempt(job, before, _target(job / CURRENT))


def trim_log(path: Path, limit: int = LOG_LIMIT) -> None:
    """Keeps a log's first and last `limit`/2 bytes, with a marker where the middle was."""
    try:
        size = path.stat().st_size
    except OSError:
        return
    if size <= limit:
        return
    half = limit // 2
    with open(path, "rb") as source:
        head = source.read(half)
        source.seek(size - half)
        tail = source.read()
    marker = f"\n[... {size - 2 * half} bytes of output left out ...]\n".encode()
    tmp = path.with_name(path.name + ".tmp")
    tmp.write_bytes(head + marker + tail)
    os.replace(tmp, path)


def read_tail(path, limit: int = TAIL_BYTES) -> str | None:
    """The last `limit` bytes of a file as text, or None when it cannot be read."""
    if not path:
        return None
    try:
        with open(path, "rb") as source:
            size = source.seek(0, os.SEEK_END)
            source.seek(max(0, size - limit))
            return source.read().decode("utf-8", "replace")
    except OSError:
        return None


def log_tail(path: Path | None, lines: int = 5) -> list[str]:
    text = read_tail(path) or ""
    return [line for line in text.splitlines() if line.strip()][-lines:]


def _disk_full(folder: Path) -> bool:
    try:
        stats = os.statvfs(folder)
    except OSError:
        return False
    return stats.f_bavail * stats.f_frsize < 64 * 1024


def signal_name(number: int) -> str:
    try:
        return signal.Signals(number).name
    except ValueError:
        return f"signal {number}"


@dataclass(frozen=True)
class Verdict:
    ok: bool
    error: str | None = None


def judge(attempt: Attempt, outcome: WorkerOutcome) -> Verdict:
    """What a worker's files and exit status say about its job."""
    trim_log(attempt.log)
    path = attempt.folder / RESULT
    try:
        result = json.loads(path.read_text(encoding="utf-8"))
        if not isinstance(result, dict):
            raise ValueError("not a JSON object")
    except FileNotFoundError:
        result, problem = None, "without writing result.json"
    except (OSError, ValueError) as exc:
        result, problem = None, f"leaving an incomplete result.json ({exc})"
    if result is not None:
        if result.get("ok") is True and outcome.exit_status == 0:
            return Verdict(True)
        if result.get("ok") is not True:
            return Verdict(False, str(result.get("error") or f"worker exited with status {outcome.exit_status}"))
        problem = "after writing its result"
    status = outcome.exit_status
    if status < 0:
        name = signal_name(-status)
        how = f"worker was killed by {name}" + (" (out of memory?)" if name == "SIGKILL" else "")
    else:
        how = f"worker exited with status {status}"
    error = f"{how} {problem}"
    if _disk_full(attempt.folder):  # the worker could not even say so itself
        error += f": No space left on device (the disk of {attempt.job_folder} is full)"
    tail = log_tail(attempt.log) or [line for line in outcome.output.splitlines() if line.strip()][-5:]
    if tail:
        error += "\noutput (last lines):\n" + "\n".join("  " + line for line in tail)
    return Verdict(False, error)


_NOT_JSON = re.compile(r"^TypeError: Object of type (\w+) is not JSON serializable$")
_FITS = {"DataFrame": "parquet", "Table": "parquet", "ndarray": "numpy"}


def explain(error: str, asset_label: str) -> str:
    """The failure in the user's words where the extension's are not enough."""
    found = _NOT_JSON.match(error)
    if found:
        kind = found.group(1)
        fits = _FITS.get(kind, "pickle")
        return (
            f"asset {asset_label} returned a value of type {kind}, which JSON cannot hold ({error}); "
            f"choose a value format for it, e.g. @asset(serializer={fits!r})"
        )
    return error


def last_line(path: Path | None) -> str | None:
    lines = log_tail(path, 1)
    return lines[0] if lines else None


def value_path(attempt_folder: Path) -> Path | None:
    """The value file a successful worker left in its attempt folder."""
    try:
        record = json.loads((attempt_folder / RESULT).read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None
    path = attempt_folder / Path(str(record.get("value_path") or VALUE)).name
    return path if path.exists() else None


def value_text(job_folder: Path) -> str:
    """The value.json text of a job's current pair."""
    return (job_folder / VALUE).read_text(encoding="utf-8")

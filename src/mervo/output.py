"""The output folder of a run: the lock that keeps it to one run at a time, and run.json."""

from __future__ import annotations

import datetime
import fcntl
import json
import os
import secrets
from pathlib import Path

__all__ = ["OutputError", "OutputFolder", "RUN_RECORD", "LOCK"]

RUN_RECORD = "run.json"
LOCK = ".mervo.lock"


class OutputError(Exception):
    """The output folder cannot be used; the message names the path and the reason."""


def _reason(exc: OSError) -> str:
    return exc.strerror or str(exc)


def now_text() -> str:
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds").replace("+00:00", "Z")


def _text(document: dict) -> str:
    """Indented at the top, one line per job: readable, and written by the fast encoder
    (indenting everything goes through the slow one, 10^5 jobs at a time)."""
    dumps = lambda value: json.dumps(value, ensure_ascii=False)  # noqa: E731
    lines = []
    for key, value in document.items():
        if isinstance(value, list) and value:
            inner = ",\n".join("    " + dumps(item) for item in value)
            lines.append(f"  {dumps(key)}: [\n{inner}\n  ]")
        else:
            lines.append(f"  {dumps(key)}: {dumps(value)}")
    return "{\n" + ",\n".join(lines) + "\n}\n"


def write_json_atomically(path: Path, document) -> None:
    tmp = path.with_name(path.name + ".tmp")
    data = _text(document).encode("utf-8")
    try:
        with open(tmp, "wb") as sink:
            sink.write(data)
            sink.flush()
            os.fsync(sink.fileno())
        os.replace(tmp, path)
    except BaseException:
        try:
            tmp.unlink()
        except OSError:
            pass
        raise


class OutputFolder:
    """An output folder held by this process for one run; `close` lets it go."""

    def __init__(self, root: Path, lock_fd: int, run_id: str, started: str, command: list[str]):
        self.root = root
        self.run_id = run_id
        self.started = started
        self.command = command
        self._lock_fd = lock_fd

    @classmethod
    def open(cls, root: Path, command: list[str]) -> "OutputFolder":
        """Creates and locks `root` and records the run as in progress, or OutputError."""
        try:
            root.mkdir(parents=True, exist_ok=True)
        except FileExistsError:
            raise OutputError(f"output folder {root}: a file is in the way") from None
        except OSError as exc:
            where = exc.filename if exc.filename and str(exc.filename) != str(root) else None
            raise OutputError(
                f"cannot create output folder {root}: {_reason(exc)}" + (f" ({where})" if where else "")
            ) from None
        lock_path = root / LOCK
        try:
            fd = os.open(lock_path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        except OSError as exc:
            raise OutputError(f"cannot write to output folder {root}: {_reason(exc)}") from None
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.pread(fd, 64, 0).decode("ascii", "replace").strip()
            os.close(fd)
            raise OutputError(
                f"output folder {root} is in use by another mervo run" + (f" (pid {holder})" if holder else "")
            ) from None
        os.ftruncate(fd, 0)
        os.pwrite(fd, f"{os.getpid()}\n".encode(), 0)
        started = now_text()
        run_id = started.replace("-", "").replace(":", "").replace(".", "")[:18] + "-" + secrets.token_hex(3)
        folder = cls(root, fd, run_id, started, command)
        try:
            folder.write_record({"ok": False, "state": "running", "pid": os.getpid(), "jobs": []})
        except OSError as exc:
            folder.close()
            raise OutputError(f"cannot write {root / RUN_RECORD}: {_reason(exc)}") from None
        return folder

    def write_record(self, fields: dict) -> None:
        document = {"run_id": self.run_id, "command": self.command, "started": self.started, **fields}
        write_json_atomically(self.root / RUN_RECORD, document)

    def close(self) -> None:
        if self._lock_fd >= 0:
            os.close(self._lock_fd)  # closing the descriptor releases the lock
            self._lock_fd = -1

    def __enter__(self) -> "OutputFolder":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

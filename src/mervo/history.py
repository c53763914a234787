"""The history of runs of one output folder: a SQLite database that never stops a run.

Any trouble with the database (missing folder, lock held too long, corrupt file, newer schema,
disk full) makes the ``History`` unavailable: it says why once, and every later call is a no-op
or returns nothing, so a run goes on materialising without it.
"""

from __future__ import annotations

import json
import os
import sqlite3
import threading
from pathlib import Path
from typing import Callable, Iterable, Mapping
from urllib.parse import quote

__all__ = ["FILE_NAME", "SCHEMA_VERSION", "History"]

FILE_NAME = "history.sqlite"
SCHEMA_VERSION = 1
BUSY_TIMEOUT = 2.0  # seconds; long enough for a concurrent commit, short enough not to stall a run

_SCHEMA = """
CREATE TABLE IF NOT EXISTS schema (version INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS runs (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    id TEXT NOT NULL UNIQUE,
    started,
    ended,
    command TEXT,
    counts TEXT,
    outcome TEXT
);
CREATE TABLE IF NOT EXISTS jobs (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    run_id TEXT NOT NULL,
    asset TEXT NOT NULL,
    partition TEXT,
    status TEXT NOT NULL,
    duration REAL,
    fingerprint TEXT,
    value_hash TEXT,
    error TEXT
);
CREATE INDEX IF NOT EXISTS jobs_of_run ON jobs (run_id, seq);
"""

_JOB_FIELDS = ("asset", "partition", "status", "duration", "fingerprint", "value_hash", "error")


def _decoded(text):
    if text is None:
        return None
    try:
        return json.loads(text)
    except ValueError:  # edited by hand: show it rather than fail
        return text


def _reason(path: Path, exc: BaseException) -> str:
    text = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
    if isinstance(exc, sqlite3.DatabaseError) and ("not a database" in text or "malformed" in text):
        text += " (move it away to start a new history)"
    return f"{path}: {text}"


class History:
    """Runs and their jobs in ``OUT/history.sqlite``; see ``History.open``."""

    def __init__(self, path: Path, on_problem: Callable[[str], None] | None = None):
        self.path = path
        self.problem: str | None = None
        self._conn: sqlite3.Connection | None = None
        self._lock = threading.RLock()  # on_problem may read the history back
        self._on_problem = on_problem

    @property
    def available(self) -> bool:
        return self.problem is None

    @classmethod
    def open(
        cls,
        out_dir,
        write: bool = True,
        busy_timeout: float = BUSY_TIMEOUT,
        on_problem: Callable[[str], None] | None = None,
    ) -> History:
        """The history of `out_dir`; never raises.

        With `write` the database is created when missing and must be writable now (a lock
        held by another process for longer than `busy_timeout` makes it unavailable). Without
        it (status, history listings) nothing is created or written. `on_problem` is called
        once, with a one-line reason, when the history is or becomes unavailable.
        """
        history = cls(Path(out_dir) / FILE_NAME, on_problem)
        try:
            if write:
                history._conn = sqlite3.connect(
                    str(history.path), timeout=busy_timeout, isolation_level=None, check_same_thread=False
                )
            else:
                if not history.path.is_file():
                    history._fail(f"{history.path}: no run recorded yet")
                    return history
                uri = "file:" + quote(str(history.path.resolve())) + "?mode=ro"
                if not os.access(history.path.parent, os.W_OK):
                    # A reader of a WAL database needs its -shm file; in a folder nobody can
                    # write, nobody is writing the database either.
                    uri += "&immutable=1"
                history._conn = sqlite3.connect(
                    uri, uri=True, timeout=busy_timeout, isolation_level=None, check_same_thread=False
                )
            history._prepare(write)
        except (sqlite3.Error, OSError, _Unusable) as exc:
            history._fail(_reason(history.path, exc))
        return history

    def _prepare(self, write: bool) -> None:
        conn = self._conn
        if write:
            # WAL lets `mervo status` read while a run writes; some file systems refuse it,
            # and the default journal still works there.
            conn.execute("PRAGMA journal_mode=WAL")
            conn.execute("PRAGMA synchronous=NORMAL")
        tables = {row[0] for row in conn.execute("SELECT name FROM sqlite_master WHERE type='table'")}
        if "schema" not in tables:
            if tables - {"sqlite_sequence"}:
                raise _Unusable("holds other tables than a run history")
            if not write:
                raise _Unusable("no run recorded yet")
        if write:
            # Also proves now, before any job runs, that we can write (no lock held, not read-only).
            conn.execute("BEGIN IMMEDIATE")
            try:
                for statement in _SCHEMA.split(";"):
                    if statement.strip():
                        conn.execute(statement)
                if conn.execute("SELECT COUNT(*) FROM schema").fetchone()[0] == 0:
                    conn.execute("INSERT INTO schema (version) VALUES (?)", (SCHEMA_VERSION,))
                self._check_version()
                # A real write: without WAL, a read-only file or folder only shows when a page is written.
                conn.execute("UPDATE schema SET version = version")
                conn.execute("COMMIT")
            except BaseException:
                conn.execute("ROLLBACK")
                raise
        else:
            self._check_version()

    def _check_version(self) -> None:
        rows = self._conn.execute("SELECT version FROM schema").fetchall()
        if len(rows) != 1 or not isinstance(rows[0][0], int):
            raise _Unusable("has no readable schema version")
        version = rows[0][0]
        if version > SCHEMA_VERSION:
            raise _Unusable(f"written by a newer mervo (schema {version}; this one reads up to {SCHEMA_VERSION})")

    def _fail(self, reason: str) -> None:
        if self.problem is not None:
            return
        self.problem = reason
        self._drop_connection()
        if self._on_problem is not None:
            self._on_problem(reason)

    def _do(self, action, default=None):
        """Runs `action(connection)` unless unavailable; any database failure makes it unavailable."""
        with self._lock:
            if self._conn is None:
                return default
            try:
                return action(self._conn)
            except (sqlite3.Error, OSError, _Unusable) as exc:
                if self._conn is not None and self._conn.in_transaction:
                    try:
                        self._conn.execute("ROLLBACK")
                    except sqlite3.Error:
                        pass
                self._fail(_reason(self.path, exc))
                return default

    def start_run(self, run_id: str, started, command: Iterable[str]) -> None:
        """Records the start of a run; `started` is stored as given (a timestamp or a text)."""
        self._do(lambda c: c.execute(
            "INSERT INTO runs (id, started, command) VALUES (?, ?, ?)",
            (str(run_id), started, json.dumps(list(command), ensure_ascii=False)),
        ))

    def record_jobs(self, run_id: str, rows: Iterable[Mapping]) -> None:
        """Adds the jobs of a run, all in one transaction."""
        values = [(str(run_id), *(row.get(name) for name in _JOB_FIELDS)) for row in rows]
        if not values:
            return

        def insert(conn: sqlite3.Connection) -> None:
            conn.execute("BEGIN IMMEDIATE")
            conn.executemany(
                "INSERT INTO jobs (run_id, asset, partition, status, duration, fingerprint, value_hash, error)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                values,
            )
            conn.execute("COMMIT")

        self._do(insert)

    def finish_run(self, run_id: str, ended, counts: Mapping[str, int], outcome: str) -> None:
        self._do(lambda c: c.execute(
            "UPDATE runs SET ended = ?, counts = ?, outcome = ? WHERE id = ?",
            (ended, json.dumps(dict(counts), sort_keys=True), outcome, str(run_id)),
        ))

    def runs(self, limit: int | None = None) -> list[dict]:
        """Runs, newest first: id, started, ended, command, counts, outcome (None while running)."""
        query = "SELECT id, started, ended, command, counts, outcome FROM runs ORDER BY seq DESC"
        args: tuple = ()
        if limit is not None:
            query += " LIMIT ?"
            args = (int(limit),)

        def read(conn: sqlite3.Connection) -> list[dict]:
            return [
                {"id": i, "started": s, "ended": e, "command": _decoded(cmd), "counts": _decoded(cn), "outcome": o}
                for i, s, e, cmd, cn, o in conn.execute(query, args)
            ]

        return self._do(read, [])

    def jobs(self, run_id: str) -> list[dict]:
        """The jobs of one run, in the order they were recorded."""
        query = (
            "SELECT asset, partition, status, duration, fingerprint, value_hash, error"
            " FROM jobs WHERE run_id = ? ORDER BY seq"
        )
        return self._do(lambda c: [dict(zip(_JOB_FIELDS, row)) for row in c.execute(query, (str(run_id),))], [])

    def latest_run_id(self) -> str | None:
        row = self._do(lambda c: c.execute("SELECT id FROM runs ORDER BY seq DESC LIMIT 1").fetchone())
        return None if row is None else row[0]

    def close(self) -> None:
        with self._lock:
            self._drop_connection()

    def _drop_connection(self) -> None:
        conn, self._conn = self._conn, None
        if conn is not None:
            try:
                conn.close()
            except sqlite3.Error:
                pass

    def __enter__(self) -> History:
        return self

    def __exit__(self, *exc) -> None:
        self.close()


class _Unusable(Exception):
    """The file is a database, but not one this mervo can use."""

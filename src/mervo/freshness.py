"""Which jobs are up to date: each job's fingerprint against the one kept beside its last good
value, and why a job is stale when it is not."""

from __future__ import annotations

import json
import os
from pathlib import Path
from typing import Callable, Mapping

from . import fingerprints, jobs
from .planning import Job, Plan

__all__ = ["Freshness", "LAST_FAILED", "META"]

META = "meta.json"
LAST_FAILED = "last attempt failed"
UPSTREAM_MISSING = "an upstream value is missing"


class Freshness:
    """Fingerprints of a plan's jobs; code digests once per asset, not once per partition."""

    def __init__(self, plan: Plan, sources: Mapping[str, str]):
        self.plan = plan
        index = fingerprints.CodeIndex(sources)
        self._code: dict[str, str] = {}
        self._asset: dict[str, str] = {}
        for asset in plan.assets:
            code = index.digest(asset.file_path, asset.function, asset.function_source)
            self._code[asset.key] = code
            self._asset[asset.key] = fingerprints.asset_digest(code, dict(asset.metadata))

    def fields(self, job: Job, value_hash: Callable[[int], str | None]) -> dict | None:
        """The job's fingerprint fields, from its upstream jobs' value hashes; None while an
        upstream has no value."""
        upstream = []
        jobs_ = self.plan.jobs
        for spec in job.inputs:
            for upstream_id in spec.jobs:
                digest = value_hash(upstream_id)
                if digest is None:
                    return None
                upstream.append((spec.parameter, jobs_[upstream_id].key, digest))
        key = job.asset.key
        return fingerprints.job_fields(self._asset[key], self._code[key], job.key, upstream, job.partition)


def recorded(job_folder: Path) -> dict | None:
    """What the job's current pair was made from, or None (never materialised, or the pair
    is gone)."""
    meta = fingerprints.read_meta(job_folder / META)
    if meta is None or not isinstance(meta.get("value_hash"), str):
        return None
    return meta


def last_failed(job_folder: Path) -> bool:
    """Whether the job's latest attempt failed (it has not succeeded since)."""
    return os.path.islink(job_folder / jobs.FAILED)


def check(job_folder: Path, current: dict | None) -> tuple[str | None, dict | None]:
    """(None, what was recorded) when the job is fresh; else (why it has to run, ...)."""
    if current is None:
        return UPSTREAM_MISSING, None
    if last_failed(job_folder):
        return LAST_FAILED, None
    kept = recorded(job_folder)
    return fingerprints.stale_reason(kept, current), kept


def stale_reason(job_folder: Path, current: dict | None) -> str | None:
    """None when the job is fresh; else why it has to run."""
    return check(job_folder, current)[0]


def keep(attempt: jobs.Attempt, current: dict | None) -> str | None:
    """Records, in a successful attempt, what its value was made from and the value's hash;
    returns the hash. Kept inside the attempt, it becomes current with the pair."""
    path = jobs.value_path(attempt.folder)
    if path is None:
        return None
    digest = fingerprints.file_digest(path)
    fields = dict(current or {}, value_hash=digest)
    # The attempt folder is this run's alone until it is made current: no temporary name.
    (attempt.folder / META).write_text(json.dumps(fields, sort_keys=True, ensure_ascii=False), encoding="utf-8")
    return digest

"""Helpers shared by the test files; each topic below keeps its own section."""

from __future__ import annotations

import gc
import json
import os
import subprocess
import sys
import textwrap

# --- native module: errors, leaks, subprocesses, texts


def error_of(action):
    """The exception `action()` raises (BaseException included), to compare with the host's."""
    try:
        action()
    except BaseException as error:  # noqa: B036 - SystemExit and PanicException count too
        return error
    raise AssertionError(f"{action!r} raised nothing")


def raises(function, *args, **kwargs):
    """Whether `function(*args, **kwargs)` raised anything at all."""
    try:
        function(*args, **kwargs)
    except BaseException:  # noqa: B036
        return True
    return False


def block_growth(action, rounds, warmup=20, batches=1):
    """Blocks the allocator still holds after `rounds` more calls of `action`: the least of
    `batches` tries, since a leak grows every batch and a cache of the host's fills only once."""
    for _ in range(warmup):  # interned names, imports, type attribute caches
        action()
    growth = []
    for _ in range(batches):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(rounds):
            action()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
    return min(growth)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def resident_growth(action, rounds, warmup=10):
    """Bytes of resident memory added by `rounds` more calls: native copies live outside the
    allocator that block_growth watches."""
    for _ in range(warmup):
        action()
    gc.collect()
    before = resident_bytes()
    for _ in range(rounds):
        action()
    gc.collect()
    return resident_bytes() - before


def under_address_sanitizer():
    try:
        with open("/proc/self/maps") as maps:
            return "libasan" in maps.read()
    except OSError:
        return False


def run_python(*args, cwd=None, stdin=None, env=None, text=True, timeout=60):
    """Runs this interpreter with `args`, capturing both streams; `env` adds to the current one."""
    return subprocess.run(
        [sys.executable, *args], cwd=cwd, input=stdin, capture_output=True, text=text, timeout=timeout,
        env=None if env is None else {**os.environ, **env},
    )


def run_code(code, cwd=None, timeout=60):
    """Runs a dedented snippet in a fresh interpreter."""
    return run_python("-c", textwrap.dedent(code), cwd=cwd, timeout=timeout)


def compact(value):
    """The text the module's writer gives for `value`, as the host renders it."""
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def host_equivalent(value):
    """What the JSON reader is expected to keep of a host value: ints beyond 64 bits become doubles."""
    if isinstance(value, bool) or value is None:
        return value
    if isinstance(value, int):
        return value if -(2**63) <= value < 2**64 else float(value)
    if isinstance(value, list):
        return [host_equivalent(v) for v in value]
    if isinstance(value, dict):
        return {k: host_equivalent(v) for k, v in value.items()}
    return value


def asset_record(function, module="flows", file="/p/flows.py", name=None, inputs=None, partitions=None):
    """An inspection record as inspect_modules writes it, for the parts planning reads;
    `partitions` maps each dimension to its values as Python data."""
    parts = None
    if partitions is not None:
        parts = {dim: {"kind": "inline", "values_json": compact(values)} for dim, values in partitions.items()}
    return {
        "kind": "asset",
        "module_path": module,
        "file_path": file,
        "function_name": function,
        "return_type": None,
        "decorator_metadata": {"kind": "asset", "name": name, "serializer": None, "inputs": inputs,
                               "partitions": parts},
    }

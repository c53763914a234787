"""Benchmark of asset declaration: wrapper calls, asset(...)(f) and partitions(...), side by side.

Run: .venv/bin/python bench/bench_declare.py [--quick]
Every figure is the best of many repeats, the candidates of one table measured in turn
within each repeat, so that drift of a shared machine hits all of them alike.
"""

import copy
import functools
import inspect
import json
import pathlib
import sys
import timeit

from mervo import asset, partitions

QUICK = "--quick" in sys.argv


def best_times(candidates, number, repeats):
    """Seconds per run of each statement (best of `repeats`), keyed like `candidates`."""
    timers = {key: timeit.Timer(stmt, globals=scope) for key, (stmt, scope) in candidates.items()}
    best = {key: float("inf") for key in candidates}
    for timer in timers.values():  # warm-up: caches, specialisation, clock speed
        timer.timeit(max(1, number // 10))
    for _ in range(repeats):
        for key, timer in timers.items():
            best[key] = min(best[key], timer.timeit(number) / number)
    return best


# --- calling a wrapped function --------------------------------------------------------------


def f(a=None, b=None):
    return a


def wraps_decorator(function):
    @functools.wraps(function)
    def wrapper(*args, **kwargs):
        return function(*args, **kwargs)

    return wrapper


CALLABLES = {
    "plain f": f,
    "partial(f)": functools.partial(f),
    "AssetWrapper": asset()(f),
    "functools.wraps": wraps_decorator(f),
}
CALLS = {"no args": "g()", "2 positional": "g(1, 2)", "2 keyword": "g(a=1, b=2)"}


def bench_calls():
    # Many short repeats: on a busy machine the best sample is the one least disturbed.
    number, repeats = (50_000, 5) if QUICK else (100_000, 25)
    results = {}
    for column, stmt in CALLS.items():
        candidates = {name: (stmt, {"g": g}) for name, g in CALLABLES.items()}
        results[column] = best_times(candidates, number, repeats)
    print("Per-call cost, ns (best of %d repeats of %d calls)" % (repeats, number))
    print("%-18s" % "" + "".join("%16s" % column for column in CALLS))
    for name in CALLABLES:
        print("%-18s" % name + "".join("%16.1f" % (results[c][name] * 1e9) for c in CALLS))
    for floor, label, target in (("partial(f)", "wrapper/partial", 1.0), ("functools.wraps", "wrapper/wraps", 0.6)):
        ratios = [results[c]["AssetWrapper"] / results[c][floor] for c in CALLS]
        verdict = "ok" if all(r <= target for r in ratios) else "OVER TARGET"
        print("%-18s" % label
              + "".join("%15.2fx" % r for r in ratios) + "   target <= %.1fx: %s" % (target, verdict))
    print()


# --- the same declaration work in pure Python ------------------------------------------------


class PyPartitions:
    __slots__ = ("values",)

    def __init__(self, values):
        self.values = values


def py_partitions(values):
    if not isinstance(values, list):
        raise TypeError("values must be a list")
    json_module = __import__("json")
    return PyPartitions([json_module.loads(json_module.dumps(v)) for v in values])


def _py_is_marked(value):
    try:
        kind = value.__mervo_kind__
    except Exception:
        return False
    return isinstance(kind, str) and kind == "asset"


def py_asset(*, name=None, inputs=None, partitions=None, serializer=None):
    """asset(...) written in Python: same checks, same references, same deep copies."""
    if name is not None and not isinstance(name, str):
        raise TypeError("name")
    if serializer is not None and not isinstance(serializer, str):
        raise TypeError("serializer")
    references = None
    if inputs is not None:
        if not isinstance(inputs, dict):
            raise TypeError("inputs")
        references = {}
        for key, value in inputs.items():
            if not isinstance(key, str):
                raise TypeError("key")
            if _py_is_marked(value):
                original = getattr(value, "__mervo_original__", value)
                source = inspect.getsourcefile(original)
                references[key] = str(pathlib.Path(source).resolve()) + ":" + original.__name__
            elif isinstance(value, str):
                references[key] = value
            else:
                raise TypeError("inputs values")
    dimensions = None
    if partitions is not None:
        if not isinstance(partitions, dict):
            raise TypeError("partitions")
        dimensions = {}
        for key, value in partitions.items():
            if not isinstance(key, str) or not isinstance(value, PyPartitions):
                raise TypeError("partition values")
            dimensions[key] = copy.deepcopy(value.values)
    record = (name, serializer, references, dimensions)

    def decorator(function):
        wrapper = wraps_decorator(function)
        wrapper.__mervo_kind__ = "asset"
        wrapper.__mervo_original__ = function
        wrapper.__mervo_record__ = copy.deepcopy(record)
        return wrapper

    return decorator


@asset()
def raw_a():
    return 1


@asset()
def raw_b():
    return 2


@asset()
def raw_c():
    return 3


py_raw_a, py_raw_b, py_raw_c = (py_asset()(fn.__mervo_original__) for fn in (raw_a, raw_b, raw_c))


def bench_declaration():
    keys = ["key%d" % i for i in range(1000)]
    scope = {
        "asset": asset, "py_asset": py_asset, "f": f,
        "native_inputs": {"a": raw_a, "b": raw_b, "c": raw_c},
        "py_inputs": {"a": py_raw_a, "b": py_raw_b, "c": py_raw_c},
        "native_dims": {"key": partitions(keys)},
        "py_dims": {"key": py_partitions(keys)},
    }
    number, repeats = (200, 3) if QUICK else (500, 9)
    times = best_times({
        "native": ("asset(inputs=native_inputs, partitions=native_dims)(f)", scope),
        "python": ("py_asset(inputs=py_inputs, partitions=py_dims)(f)", scope),
    }, number, repeats)
    print("asset(...)(f), 3 asset inputs and one 1,000-value partition: native %.1f us, pure Python %.1f us,"
          " ratio %.2fx" % (times["native"] * 1e6, times["python"] * 1e6, times["native"] / times["python"]))

    values = [i if i % 2 else "v%d" % i for i in range(100_000)]
    scope = {"partitions": partitions, "py_partitions": py_partitions, "values": values}
    number, repeats = (1, 3) if QUICK else (1, 9)
    times = best_times({
        "native": ("partitions(values)", scope),
        "python": ("py_partitions(values)", scope),
    }, number, repeats)
    print("partitions(...) of 100,000 small values: native %.1f ms, json.loads(json.dumps(v)) per item %.1f ms,"
          " ratio %.2fx" % (times["native"] * 1e3, times["python"] * 1e3, times["native"] / times["python"]))


def main():
    print("Python %s" % sys.version.split()[0])
    bench_calls()
    bench_declaration()


if __name__ == "__main__":
    main()

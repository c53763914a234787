"""Benchmark of inspect_modules against a pure-Python function making the same host calls.

Usage: .venv/bin/python bench/bench_inspection.py [--modules 100] [--assets 30] [--rounds 5]
       [--scales 1,2,4] [--only native|python]

Generates a synthetic project in a temporary folder (some assets with inputs, some with
partitions of 100 values, some with long sources), imports it once, then times both
implementations side by side in one run, at 1x, 2x and 4x the project size. Times are
the best of the rounds in CPU time of this process; the ratio is the median of the
rounds' own ratios (the two sides run back to back, in alternating order).

On a shared machine CPU times wander; instruction counts do not. To count them, run
under callgrind with --only native (or python) and --rounds 0 and then --rounds 2 and
take half the difference:
    valgrind --tool=callgrind .venv/bin/python bench/bench_inspection.py --modules 10 --scales 1 --only native --rounds 2
"""

import argparse
import gc
import importlib
import json
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path

from _mervo import inspect_modules

# Stand-in for the declaration wrapper, used only when the native decorator is unavailable.
STAND_IN = '''
class StandIn:
    def __init__(self, fn, metadata):
        self.__mervo_kind__ = "asset"
        self.__mervo_metadata__ = metadata
        self.__mervo_original__ = fn


def partitions(values):
    return {"kind": "inline", "values_json": __import__("json").dumps(values, separators=(",", ":"))}


def asset(name=None, inputs=None, partitions=None, serializer=None):
    def wrap(fn):
        refs = None if inputs is None else {k: v if isinstance(v, str) else __file__ + ":" + v.__mervo_original__.__name__
                                            for k, v in inputs.items()}
        return StandIn(fn, {"kind": "asset", "name": name, "serializer": serializer, "inputs": refs,
                            "partitions": partitions})
    return wrap
'''


def native_decorator_works():
    try:
        from mervo import asset

        asset()(len)
        return True
    except NotImplementedError:
        return False


def module_source(index, assets, header):
    lines = [f'"""Synthetic module {index}."""', "", header, "", "from datetime import date", ""]
    for a in range(assets):
        kind = a % 5
        if kind == 1 and a > 0:
            lines.append(f"@asset(inputs={{'upstream': a{a - 1}, 'other': 'elsewhere.py:thing'}})")
            lines.append(f"def a{a}(upstream, other) -> int:")
        elif kind == 2:
            lines.append(f"@asset(name='p{a}', partitions={{'day': partitions(list(range(100))), "
                         f"'ticker': partitions(['T' + str(i) for i in range(100)])}})")
            lines.append(f"def a{a}(day, ticker) -> date:")
        else:
            lines.append("@asset()")
            lines.append(f"def a{a}():")
        body = 60 if kind == 3 else 3
        lines.append(f'    """Asset {a} of module {index}: "quoted", tab\there, é."""')
        for line in range(body):
            lines.append(f"    value_{line} = {line} * 2  # line {line} of a long body")
        lines.append(f"    return {a}")
        lines.append("")
        lines.append("")
    return "\n".join(lines)


def generate(root, count, assets, package):
    header = "from mervo import asset, partitions" if native_decorator_works() else "from standin import asset, partitions"
    folder = root / package
    folder.mkdir()
    (folder / "__init__.py").write_text("")
    for i in range(count):
        (folder / f"m{i}.py").write_text(module_source(i, assets, header))
    return [f"{package}.m{i}" for i in range(count)]


def python_inspect_modules(modules):
    """The same host calls, in the same order, with the document from json.dumps."""
    import importlib
    import inspect
    import textwrap
    import sys
    import pathlib

    info = sys.version_info
    version = f"{int(info.major)}.{int(info.minor)}.{int(info.micro)}"
    records = []
    for name in modules:
        try:
            module = importlib.import_module(str(name))
        except BaseException as exc:
            os.write(2, f"mervo: skipping module '{name}': {type(exc).__qualname__}: {exc}\n".encode())
            continue
        module_source = textwrap.dedent(inspect.getsource(module)).strip() + "\n"
        for item in inspect.getmembers(module):
            value = item[1]
            try:
                kind = value.__mervo_kind__
            except BaseException:
                continue
            if not isinstance(kind, str) or kind != "asset":
                continue
            metadata_obj = value.__mervo_metadata__
            import json

            metadata = json.loads(json.dumps(metadata_obj))
            try:
                function = value.__mervo_original__
            except BaseException:
                function = value
            function_source = textwrap.dedent(inspect.getsource(function)).strip() + "\n"
            function_name = function.__name__
            try:
                source_file = inspect.getsourcefile(function)
            except BaseException:
                file_path = ""
            else:
                file_path = str(pathlib.Path(source_file).resolve())
            annotation = inspect.signature(function).return_annotation
            if annotation is inspect.Signature.empty:
                return_type = None
            else:
                import builtins

                return_type = annotation.__name__ if builtins.isinstance(annotation, type) else str(annotation)
            records.append({
                "kind": "asset", "module_path": module.__name__, "file_path": file_path,
                "function_name": function_name, "function_source": function_source,
                "module_source": module_source, "decorator_metadata": metadata,
                "return_type": return_type, "python_version": version,
            })
    return json.dumps({"assets": records}, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def timed(function, names):
    # CPU time of this process: the machine is shared, wall time would measure the neighbours.
    start = time.process_time()
    document = function(names)
    return time.process_time() - start, document


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--modules", type=int, default=100)
    parser.add_argument("--assets", type=int, default=30)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--scales", default="1,2,4")
    parser.add_argument("--only", choices=["native", "python"])
    args = parser.parse_args()
    scales = [int(s) for s in args.scales.split(",")]

    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        (root / "standin.py").write_text(STAND_IN)
        sys.path.insert(0, str(root))
        print(f"decorator: {'native asset()' if native_decorator_works() else 'pure-Python stand-in (declaration not built)'}")
        print(f"project: {args.modules} modules x {args.assets} assets; rounds: {args.rounds}; python {sys.version.split()[0]}")
        names = generate(root, args.modules * max(scales), args.assets, "benchproj")
        for name in names:
            importlib.import_module(name)  # both sides then measure discovery, not compilation

        base = None
        for scale in scales:
            subset = names[: args.modules * scale]
            assets = len(subset) * args.assets
            times = {"native": [], "python": []}
            ratios = []
            docs = {}
            sides = [s for s in ("native", "python") if args.only in (None, s)]
            for round_ in range(args.rounds):
                # Alternate which side goes first, so neither always runs on a warmer cache.
                order = sides if round_ % 2 == 0 else sides[::-1]
                took = {}
                for side in order:
                    docs.pop(side, None)
                    gc.collect()
                    took[side], docs[side] = timed(inspect_modules if side == "native" else python_inspect_modules, subset)
                    times[side].append(took[side])
                if len(took) == 2:
                    ratios.append(took["native"] / took["python"])
            if not times["native"] and not times["python"]:
                continue  # --rounds 0: setup only, the baseline of a profile
            line = f"{scale}x ({assets} assets):"
            if times["native"]:
                native = min(times["native"])
                base = base or native / scale
                line += f" native {native * 1e3:8.1f} ms ({native / assets * 1e6:5.1f} us/asset, {native / (base * scale):.2f} of linear)"
            if times["python"]:
                line += f"  python {min(times['python']) * 1e3:8.1f} ms"
            if ratios:
                line += f"  native/python median {statistics.median(ratios):.3f} (rounds {min(ratios):.3f}..{max(ratios):.3f})"
                if docs["native"] == docs["python"]:
                    same = "byte-identical"
                elif json.loads(docs["native"]) == json.loads(docs["python"]):
                    same = "same values (float or escape formatting differs)"
                else:
                    same = "DIFFERENT"
                line += f"  documents: {same}, {len(docs['native'].encode()) / 1e6:.1f} MB"
            print(line, flush=True)


if __name__ == "__main__":
    main()

"""The worker stub: ``python -m mervo.worker MODULE FUNCTION OUTPUT_DIR [KWARGS_JSON | @PATH | -]``.

The `mervo` command starts it as ``python -m mervo.worker --job PATH`` (or ``--job -``,
the job on standard input): a job file that also names the value format, inputs to read
from upstream files and where to keep the traceback of a failure.
"""

import functools
import importlib
import json
import os
import sys
import traceback

from _mervo import materialize_asset

from ._process import PARENT_ENV, end_with_parent

USAGE = (
    "usage: python -m mervo.worker MODULE FUNCTION OUTPUT_DIR [KWARGS_JSON | @PATH | -]\n"
    "       python -m mervo.worker --job PATH|-"
)


def _keep_traceback(path, exc, skip=0):
    """The full traceback, chained exceptions included, without our own frames."""
    if not path:
        return
    tb = exc.__traceback__
    for _ in range(skip):
        tb = tb.tb_next if tb is not None and tb.tb_next is not None else tb
    try:
        text = "".join(traceback.format_exception(type(exc), exc, tb))
    except Exception as failure:  # a hostile __str__ must not hide the original failure
        text = f"{type(exc).__qualname__}: <traceback could not be formatted: {failure!r}>\n"
    try:
        with open(path, "w", encoding="utf-8", errors="replace") as sink:
            sink.write(text)
    except OSError:
        pass


class _Traced:
    """Stands for the asset while it runs: the same function, whose failure leaves its
    traceback behind; its signature is the function's own (through __wrapped__)."""

    def __init__(self, function, path):
        @functools.wraps(function)
        def traced(*args, **kwargs):
            try:
                return function(*args, **kwargs)
            except BaseException as exc:  # noqa: B036 - SystemExit raised by an asset is recorded too
                _keep_traceback(path, exc, skip=1)
                raise

        self.__mervo_original__ = traced


def run_job(spec: dict) -> int:
    """Runs one job as the command hands it over; the exit status the stub leaves with."""
    from . import formats

    folder, trace = spec["output_dir"], spec.get("traceback")
    module_name, attribute = spec["module"], spec["attribute"]
    serializer, inputs = spec.get("serializer"), spec.get("inputs") or {}
    try:
        module = importlib.import_module(module_name)
        target = getattr(module, attribute)
    except BaseException as exc:  # noqa: B036 - recorded as the native run stage records it
        _keep_traceback(trace, exc)
        formats.write_failure(folder, exc)
        return 1
    try:
        function = target.__mervo_original__
    except BaseException:  # noqa: B036
        function = target
    setattr(module, attribute, _Traced(function, trace))
    try:
        if serializer in (None, "json") and not inputs:
            materialize_asset(module_name, attribute, folder, spec["kwargs_json"])
        else:
            kwargs = json.loads(spec["kwargs_json"])
            formats.run_asset(module_name, attribute, folder, kwargs, serializer, inputs)
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else 1
    finally:
        setattr(module, attribute, target)
    return 0


def main(argv=None):
    """Materialises one asset; a recorded failure leaves as SystemExit(1).

    Keyword arguments too long for a command line come from a file (``@PATH``) or from
    standard input (``-``), read as UTF-8. Neither form is valid JSON text, so inline
    JSON is never mistaken for them.
    """
    args = sys.argv[1:] if argv is None else list(argv)
    if args in (["-h"], ["--help"]):
        print(USAGE)
        return 0
    if len(args) == 2 and args[0] == "--job":
        if args[1] == "-":
            spec = json.loads(sys.stdin.buffer.read().decode("utf-8"))
        else:
            with open(args[1], encoding="utf-8") as source:
                spec = json.load(source)
        return run_job(spec)
    if not 3 <= len(args) <= 4:
        print(USAGE, file=sys.stderr)
        return 2
    if len(args) == 4 and args[3] == "-":
        args[3] = sys.stdin.buffer.read().decode("utf-8")
    elif len(args) == 4 and args[3].startswith("@"):
        with open(args[3][1:], encoding="utf-8") as source:
            args[3] = source.read()
    materialize_asset(*args)
    return 0


if __name__ == "__main__":
    # Started by the `mervo` command: end when it does.
    _parent = os.environ.pop(PARENT_ENV, None)
    if _parent is not None:
        end_with_parent(int(_parent))
    sys.exit(main())

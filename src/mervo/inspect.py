"""The discovery stub: `python -m mervo.inspect MODULE [MODULE ...]` prints the asset document."""

import argparse
import sys

from _mervo import inspect_modules

from ._stdio import StdoutToStderr as _StdoutToStderr


def _parser():
    parser = argparse.ArgumentParser(
        prog="python -m mervo.inspect",
        description="Import the named modules and print their assets as one line of JSON.",
    )
    parser.add_argument("modules", nargs="+", metavar="MODULE", help="a module to import, by its dotted name")
    return parser


def main(argv=None):
    args = _parser().parse_args(argv)
    with _StdoutToStderr():
        document = inspect_modules(args.modules)
    # UTF-8 whatever the locale: the document is UTF-8 text by definition.
    out = getattr(sys.stdout, "buffer", None)
    if out is not None:
        sys.stdout.flush()
        out.write(document.encode("utf-8") + b"\n")
        out.flush()
    else:
        print(document, flush=True)


if __name__ == "__main__":
    main()

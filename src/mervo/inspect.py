"""The discovery stub: `python -m mervo.inspect MODULE [MODULE ...]` prints the asset document."""

import argparse
import os
import sys

from _mervo import inspect_modules


def _parser():
    parser = argparse.ArgumentParser(
        prog="python -m mervo.inspect",
        description="Import the named modules and print their assets as one line of JSON.",
    )
    parser.add_argument("modules", nargs="+", metavar="MODULE", help="a module to import, by its dotted name")
    return parser


class _StdoutToStderr:
    """While inspecting, whatever user modules print goes to standard error, so that
    standard output carries the document alone."""

    def __enter__(self):
        sys.stdout.flush()
        self.saved_stdout = sys.stdout
        self.saved_fd = os.dup(1)
        os.dup2(2, 1)
        sys.stdout = sys.stderr
        return self

    def __exit__(self, *exc_info):
        try:
            sys.stdout.flush()
        finally:
            sys.stdout = self.saved_stdout
            os.dup2(self.saved_fd, 1)
            os.close(self.saved_fd)


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

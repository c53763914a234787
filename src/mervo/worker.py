"""The worker stub: ``python -m mervo.worker MODULE FUNCTION OUTPUT_DIR [KWARGS_JSON | -]``."""

import sys

from _mervo import materialize_asset

USAGE = "usage: python -m mervo.worker MODULE FUNCTION OUTPUT_DIR [KWARGS_JSON | -]"


def main(argv=None):
    """Materialises one asset; a recorded failure leaves as SystemExit(1).

    A KWARGS_JSON of "-" is read from standard input as UTF-8, for texts too long for a
    command line.
    """
    args = sys.argv[1:] if argv is None else list(argv)
    if args in (["-h"], ["--help"]):
        print(USAGE)
        return 0
    if not 3 <= len(args) <= 4:
        print(USAGE, file=sys.stderr)
        return 2
    if len(args) == 4 and args[3] == "-":
        args[3] = sys.stdin.buffer.read().decode("utf-8")
    materialize_asset(*args)
    return 0


if __name__ == "__main__":
    sys.exit(main())

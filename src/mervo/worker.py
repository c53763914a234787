"""The worker stub: ``python -m mervo.worker MODULE FUNCTION OUTPUT_DIR [KWARGS_JSON]``."""

import sys

from _mervo import materialize_asset

USAGE = "usage: python -m mervo.worker MODULE FUNCTION OUTPUT_DIR [KWARGS_JSON]"


def main(argv=None):
    """Materialises one asset; a recorded failure leaves as SystemExit(1)."""
    args = sys.argv[1:] if argv is None else list(argv)
    if args in (["-h"], ["--help"]):
        print(USAGE)
        return 0
    if not 3 <= len(args) <= 4:
        print(USAGE, file=sys.stderr)
        return 2
    materialize_asset(*args)
    return 0


if __name__ == "__main__":
    sys.exit(main())

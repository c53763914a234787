"""The worker stub: ``python -m mervo.worker MODULE FUNCTION OUTPUT_DIR [KWARGS_JSON | @PATH | -]``."""

import os
import sys

from _mervo import materialize_asset

USAGE = "usage: python -m mervo.worker MODULE FUNCTION OUTPUT_DIR [KWARGS_JSON | @PATH | -]"


def _end_with_parent():
    """Started by the `mervo` command, end when it does, even by `kill -9`: an orphan
    would otherwise go on and write a stale value after a newer run."""
    parent = os.environ.pop("MERVO_PARENT_PID", None)
    if parent is None or not sys.platform.startswith("linux"):
        return
    import ctypes

    PR_SET_PDEATHSIG = 1
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_PDEATHSIG, 9, 0, 0, 0)  # SIGKILL
    if os.getppid() != int(parent):  # it died before the request took effect
        os._exit(1)


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
    _end_with_parent()
    sys.exit(main())

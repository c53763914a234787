"""Process groups and parent watching, shared by the stubs, the pool and the executors."""

from __future__ import annotations

import os
import signal
import sys

PARENT_ENV = "MERVO_PARENT_PID"  # set for a process that is to end with the one that started it


def kill_group(pid: int) -> None:
    """Kills the process group `pid` leads, if it still has members."""
    try:
        os.killpg(pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def end_with_parent(parent: int) -> None:
    """Asks the kernel for SIGKILL when `parent` is gone (even by `kill -9`): an orphan would
    otherwise go on and write a stale value after a newer run."""
    if not sys.platform.startswith("linux"):
        return
    import ctypes

    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    if os.getppid() != parent:  # it died before the request took effect
        os._exit(1)

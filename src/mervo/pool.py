"""The forking pool: ``python -m mervo.pool REQUESTS_FD RESPONSES_FD MODULE ...``.

It is the discovery process kept alive: it imports the project once, prints the project
document, then forks one child per job it is asked for. Each child runs the job exactly as
the worker stub does and exits, so a crash, a changed global or memory growth in one job
never reaches another job or the pool; the pool itself never runs an asset.

Requests and responses are JSON lines on two inherited pipes (standard output carries the
document only): ``{"id", "job", "log", "cwd"}`` in; ``{"id", "pid"}`` when a child started,
``{"id", "status", "duration"}`` when it ended (status: exit code, or minus the signal).
"""

from __future__ import annotations

import json
import os
import selectors
import signal
import sys
import time

from ._process import PARENT_ENV, end_with_parent, kill_group
from ._stdio import StdoutToStderr, write_document_line

# Native libraries that start threads at import keep to one thread unless told otherwise:
# one process per job already uses the cores, and a pool with threads could not fork
# safely. (OpenBLAS, OpenMP and MKL pools; the allocator thread of pyarrow's jemalloc.)
THREAD_LIMITS = {
    "OMP_NUM_THREADS": "1",
    "OPENBLAS_NUM_THREADS": "1",
    "MKL_NUM_THREADS": "1",
    "NUMEXPR_NUM_THREADS": "1",
    "JE_ARROW_MALLOC_CONF": "background_thread:false",
}


def _threads() -> int:
    try:
        return len(os.listdir("/proc/self/task"))
    except OSError:
        return 1


def fork_problem(modules: list[str]) -> str | None:
    """Why forking from this process would be unsafe, or None."""
    for name in modules:
        module = sys.modules.get(name)
        if getattr(module, "__mervo_isolation__", None) == "spawn":
            return f"module {name} sets __mervo_isolation__ = 'spawn'"
    threads = _threads()
    if threads > 1:
        return f"the project started {threads - 1} thread{'s' if threads > 2 else ''} while being imported"
    return None


def _child(request: dict, pool_pid: int, keep: tuple[int, ...]) -> None:
    """In the forked child: becomes the job's own process, runs it, never returns."""
    status = 1
    try:
        os.setsid()  # its own group, killed whole once it exits
        end_with_parent(pool_pid)
        signal.set_wakeup_fd(-1)
        for signum in (signal.SIGCHLD, signal.SIGTERM, signal.SIGPIPE):
            signal.signal(signum, signal.SIG_DFL)
        signal.signal(signal.SIGINT, signal.default_int_handler)
        log = os.open(request["log"], os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o644)
        os.dup2(log, 1)
        os.dup2(log, 2)
        os.close(log)
        null = os.open(os.devnull, os.O_RDONLY)
        os.dup2(null, 0)
        os.close(null)
        for fd in keep:
            os.close(fd)
        os.chdir(request["cwd"])
        from .worker import run_job

        with open(request["job"], encoding="utf-8") as source:
            spec = json.load(source)
        status = run_job(spec)
    except SystemExit as exc:
        status = exc.code if isinstance(exc.code, int) else 1
    except BaseException:  # noqa: B036 - whatever escapes ends this child, reported in its log
        import traceback

        traceback.print_exc()
        status = 1
    finally:
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except Exception:
                pass
        os._exit(status if 0 <= status < 256 else 1)


def serve(requests: int, responses: int) -> None:
    """Forks a child per request until the requests pipe closes; then ends every child."""
    pool_pid = os.getpid()
    wake_r, wake_w = os.pipe()
    os.set_blocking(wake_w, False)
    signal.set_wakeup_fd(wake_w)
    signal.signal(signal.SIGCHLD, lambda *_: None)
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the command decides; it kills what it must
    selector = selectors.DefaultSelector()
    selector.register(requests, selectors.EVENT_READ)
    selector.register(wake_r, selectors.EVENT_READ)
    running: dict[int, tuple[int, float]] = {}  # pid -> (request id, start)
    pending = b""

    def send(message: dict) -> None:
        data = (json.dumps(message) + "\n").encode()
        while data:
            data = data[os.write(responses, data) :]

    def reap() -> None:
        while running:
            try:
                info = os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOHANG | os.WNOWAIT)
            except ChildProcessError:
                return
            if info is None:
                return
            # Seen exited, not yet reaped: its group cannot be reused yet, so killing it
            # reaches only what the job left behind.
            kill_group(info.si_pid)
            _, status = os.waitpid(info.si_pid, 0)
            entry = running.pop(info.si_pid, None)
            if entry is not None:
                code = -os.WTERMSIG(status) if os.WIFSIGNALED(status) else os.WEXITSTATUS(status)
                send({"id": entry[0], "status": code, "duration": time.perf_counter() - entry[1]})

    try:
        while True:
            for key, _ in selector.select():
                if key.fd == wake_r:
                    try:
                        os.read(wake_r, 4096)
                    except BlockingIOError:
                        pass
                    continue
                data = os.read(requests, 65536)
                if not data:
                    return  # the command is gone or done: nothing more to run
                pending += data
                *lines, pending = pending.split(b"\n")
                for line in lines:
                    request = json.loads(line)
                    sys.stdout.flush()
                    sys.stderr.flush()
                    started = time.perf_counter()
                    try:
                        pid = os.fork()
                    except OSError as exc:
                        send({"id": request["id"], "error": f"could not fork: {exc.strerror}"})
                        continue
                    if pid == 0:
                        _child(request, pool_pid, (requests, responses, wake_r, wake_w, selector.fileno()))
                    running[pid] = (request["id"], started)
                    send({"id": request["id"], "pid": pid})
            reap()
    finally:
        for pid in list(running):
            kill_group(pid)
        for pid in list(running):
            try:
                os.waitpid(pid, 0)
            except ChildProcessError:
                pass


def main(argv=None) -> int:
    args = sys.argv[1:] if argv is None else list(argv)
    requests, responses, modules = int(args[0]), int(args[1]), args[2:]
    end_with_parent(int(os.environ.pop(PARENT_ENV, os.getppid())))
    for name, value in THREAD_LIMITS.items():
        os.environ.setdefault(name, value)
    from . import formats, worker  # noqa: F401 - loaded once here rather than in every child
    from .discover import discover

    with StdoutToStderr():
        document = discover(modules)
    document["fork_problem"] = fork_problem([m["name"] for m in document.get("modules", [])])
    write_document_line(json.dumps(document, ensure_ascii=False))
    if document["fork_problem"] is None and not document.get("errors"):
        serve(requests, responses)
    return 0


if __name__ == "__main__":
    sys.exit(main())

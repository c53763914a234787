"""Standard-output hygiene shared by the stubs: user chatter to stderr, documents as UTF-8."""

from __future__ import annotations

import os
import re
import sys

_SURROGATE = re.compile("[\ud800-\udfff]")


class StdoutToStderr:
    """While user modules are imported, whatever they print goes to standard error, so that
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


def write_document_line(text: str) -> None:
    """Writes `text` and a newline to standard output as UTF-8, whatever the locale, then
    points standard output at standard error: user code that runs later (threads, atexit
    handlers) cannot add to the document."""
    try:
        data = text.encode("utf-8")
    except UnicodeEncodeError:  # lone surrogates, e.g. from an exception's text
        data = _SURROGATE.sub("\ufffd", text).encode("utf-8")
    sys.stdout.flush()
    out = getattr(sys.stdout, "buffer", None)
    if out is not None:
        out.write(data + b"\n")
        out.flush()
    else:
        print(data.decode("utf-8"), flush=True)
    os.dup2(2, 1)
    sys.stdout = sys.stderr

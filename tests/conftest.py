"""Shared fixtures: user modules written into temporary folders."""

import importlib
import os
import sys
import textwrap

import pytest


class UserModules:
    """Writes Python modules (and packages) under one temporary folder on sys.path."""

    def __init__(self, root):
        self.root = root
        self.names = []

    def write(self, name, source):
        """Writes module `name` (dotted names create packages) and returns its path."""
        parts = name.split(".")
        folder = self.root
        for package in parts[:-1]:
            folder = folder / package
            folder.mkdir(exist_ok=True)
            init = folder / "__init__.py"
            if not init.exists():
                init.write_text("")
        path = folder / (parts[-1] + ".py")
        path.write_text(textwrap.dedent(source))
        self.names.append(parts[0])
        importlib.invalidate_caches()
        return path

    def cleanup(self):
        for top in set(self.names):
            for loaded in [m for m in sys.modules if m == top or m.startswith(top + ".")]:
                del sys.modules[loaded]


@pytest.fixture
def user_modules(tmp_path, monkeypatch):
    root = tmp_path / "usermods"
    root.mkdir()
    monkeypatch.syspath_prepend(str(root))
    modules = UserModules(root)
    yield modules
    modules.cleanup()


# Timing deadlines make property tests flaky on a busy machine and under the sanitizers.
from hypothesis import settings  # noqa: E402

settings.register_profile("mervo", deadline=None)
settings.load_profile("mervo")


@pytest.fixture(params=os.environ.get("MERVO_TEST_ISOLATION", "fork,spawn").split(","))
def isolation(request, monkeypatch):
    """Runs a test of the command once per isolation level (the command reads the default
    from the environment); MERVO_TEST_ISOLATION narrows the levels."""
    monkeypatch.setenv("MERVO_ISOLATION", request.param)
    return request.param

"""mervo: mark plain Python functions as data assets and materialise them."""

from _mervo import asset, partitions

__all__ = ["MervoError", "asset", "load", "partitions", "run"]


def __getattr__(name):
    # The orchestrator is loaded on first use: user modules import this package only for
    # `asset` and `partitions`, and each worker pays for what it imports.
    if name in ("run", "load", "MervoError"):
        from . import api

        return getattr(api, name)
    raise AttributeError(f"module 'mervo' has no attribute {name!r}")

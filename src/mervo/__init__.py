"""mervo: mark plain Python functions as data assets and materialise them."""

from _mervo import asset, partitions

__all__ = ["asset", "partitions"]

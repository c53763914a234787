"""Leak checks of asset declaration: many mixed successful and failing calls keep memory flat."""

import os
import types

import pytest
from support import block_growth, resident_growth, under_address_sanitizer

from mervo import asset, partitions


def upstream():
    return 1


UPSTREAM = asset()(upstream)


class Marked:
    __mervo_kind__ = "asset"


# A marked module passes getsourcefile; its non-str __name__ then fails the reference.
NAMELESS = types.ModuleType("nameless")
NAMELESS.__file__, NAMELESS.__mervo_kind__, NAMELESS.__name__ = __file__, "asset", 42


def attempts(big):
    """One round of calls: each either succeeds or raises, none may keep anything."""
    dims = partitions(big)
    yield lambda: asset(name="n", inputs={"u": UPSTREAM, "s": "ref"}, partitions={"d": dims})(upstream)
    yield lambda: asset()(upstream)(**{}) + asset()(upstream).__mervo_metadata__.__len__()
    yield lambda: asset(partitions={"d": dims, "e": dims})(upstream).__mervo_metadata__["partitions"]
    yield lambda: asset(partitions={"d": dims, "bad": [1]})       # fails after one full copy
    yield lambda: asset(inputs={"u": UPSTREAM, "bad": 5})          # fails after one reference
    yield lambda: asset(inputs={"m": Marked()})                    # getsourcefile refuses an instance
    yield lambda: asset(inputs={"u": UPSTREAM, "m": NAMELESS})
    yield lambda: asset(name=1)
    yield lambda: asset(inputs=[("a", "b")])
    yield lambda: asset()()
    yield lambda: asset()(42).__name__
    yield lambda: partitions(big + [float("nan")])                 # drops every converted value
    yield lambda: partitions(big + [object()])
    yield lambda: partitions((1, 2))


def run(rounds, big):
    for _ in range(rounds):
        for attempt in attempts(big):
            try:
                attempt()
            except (TypeError, ValueError, AttributeError):
                pass


def test_mixed_calls_leak_no_python_objects():
    small = ["a", 1, None, [1, {"k": 2.5}]]
    assert block_growth(lambda: run(1, small), 2000, warmup=50) < 100  # 26,000 calls


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(under_address_sanitizer(), reason="ASan's quarantine holds freed memory; LeakSanitizer checks here")
def test_mixed_calls_leak_no_native_memory():
    # Objects of Python's allocator are counted above; native copies (texts, value trees)
    # live in malloc memory, so watch the resident size with values large enough to show.
    big = ["x" * 200 + str(i) for i in range(2000)]
    # a leaked copy per call would add several hundred megabytes
    assert resident_growth(lambda: run(1, big), 150) < 24 * 2**20

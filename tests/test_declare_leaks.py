"""Leak checks of asset declaration: many mixed successful and failing calls keep memory flat."""

import gc
import os
import sys
import types

import pytest

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


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_mixed_calls_leak_no_python_objects():
    small = ["a", 1, None, [1, {"k": 2.5}]]
    run(50, small)  # warm caches: interned names, imports, type attribute caches
    gc.collect()
    before = sys.getallocatedblocks()
    run(2000, small)  # 26,000 calls
    gc.collect()
    assert sys.getallocatedblocks() - before < 100


def under_address_sanitizer():
    try:
        with open("/proc/self/maps") as maps:
            return "libasan" in maps.read()
    except OSError:
        return False


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(under_address_sanitizer(), reason="ASan's quarantine holds freed memory; LeakSanitizer checks here")
def test_mixed_calls_leak_no_native_memory():
    # Objects of Python's allocator are counted above; native copies (texts, value trees)
    # live in malloc memory, so watch the resident size with values large enough to show.
    big = ["x" * 200 + str(i) for i in range(2000)]
    run(10, big)
    gc.collect()
    before = resident_bytes()
    run(150, big)  # a leaked copy per call would add several hundred megabytes
    gc.collect()
    assert resident_bytes() - before < 24 * 2**20

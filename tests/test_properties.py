"""Property tests: partition values through the metadata, keyword arguments through a worker."""

import json
import math
import re

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _mervo
from mervo import asset, partitions
from support import host_equivalent  # ints beyond 64 bits become doubles

text = st.text(alphabet=st.characters(exclude_categories=["Cs"]), max_size=12)
ints = st.one_of(
    st.integers(min_value=-(2**63) - 2, max_value=-(2**63) + 2),
    st.integers(min_value=2**64 - 2, max_value=2**64 + 2),
    st.integers(min_value=-(2**70), max_value=2**70),
)
leaves = st.none() | st.booleans() | ints | st.floats(allow_nan=False, allow_infinity=False) | text
values = st.recursive(leaves, lambda inner: st.lists(inner, max_size=4) | st.dictionaries(text, inner, max_size=4),
                      max_leaves=16)


def keys_in_byte_order(node):
    pairs = json.loads(node, object_pairs_hook=lambda items: items)
    stack = [pairs]
    while stack:
        item = stack.pop()
        if isinstance(item, list) and item and all(isinstance(p, tuple) for p in item):
            keys = [k.encode("utf-8") for k, _ in item]
            if keys != sorted(keys):
                return False
            stack.extend(v for _, v in item)
        elif isinstance(item, list):
            stack.extend(item)
    return True


FLOAT = re.compile(r"-?(?:0|[1-9][0-9]*)\.[0-9]+|-?[1-9](?:\.[0-9]*[1-9])?e[+-][1-9][0-9]*|-?0\.0")


def float_texts(values_json):
    """Texts of the numbers in a JSON text that are floats (fraction or exponent)."""
    out = []
    json.loads(values_json, parse_float=lambda s: out.append(s) or float(s))
    return out


@settings(max_examples=400, suppress_health_check=[HealthCheck.too_slow])
@given(values)
def test_partition_values_reach_values_json(value):
    wrapper = asset(partitions={"d": partitions([value])})(lambda d: d)
    values_json = wrapper.__mervo_metadata__["partitions"]["d"]["values_json"]
    assert json.loads(values_json) == host_equivalent(json.loads(json.dumps([value])))
    assert keys_in_byte_order(values_json)
    for number in float_texts(values_json):
        assert FLOAT.fullmatch(number), number
        mantissa, _, exponent = number.partition("e")
        if exponent:  # scientific form only outside 1e-5 .. 1e16
            assert not -5 <= int(exponent) <= 15
        elif float(number) != 0:
            assert 1e-5 <= abs(float(number)) < 1e16
        assert math.isfinite(float(number))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.dictionaries(st.text(alphabet="abcdefgh_", min_size=1, max_size=6).filter(str.isidentifier), values,
                       max_size=4))
def test_keyword_arguments_round_trip_through_a_worker(user_modules, tmp_path_factory, kwargs):
    if "echo_props" not in user_modules.names:
        user_modules.write("echo_props", "def echo(**kwargs):\n    return kwargs\n")
    out = tmp_path_factory.mktemp("out")
    text = json.dumps(kwargs)
    assert _mervo.materialize_asset("echo_props", "echo", str(out), text) is None
    assert (out / "value.json").read_text(encoding="utf-8") == json.dumps(json.loads(text))
    assert json.loads((out / "result.json").read_text(encoding="utf-8"))["ok"] is True

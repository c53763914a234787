"""The JSON unit (value tree, compact writer, strict reader), through the test-only module."""

import json
import math
import pathlib
import random
import struct
from decimal import Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support import host_equivalent

import _mervo_jsontest as jt


def error_of(text):
    with pytest.raises(ValueError) as info:
        jt.load(text)
    return info.value.args  # (text, line, column)


# --- float layout ------------------------------------------------------------------------


def reference_layout(x):
    """The float layout, built from the host's shortest repr digits."""
    if x == 0:
        return "-0.0" if math.copysign(1, x) < 0 else "0.0"
    sign, digit_tuple, exp = Decimal(repr(x)).as_tuple()
    digits = "".join(map(str, digit_tuple)).rstrip("0")
    # value = 0.digits... scaled: first digit has exponent E
    e = exp + len(digit_tuple) - 1
    n = len(digits)
    head = "-" if sign else ""
    if -5 <= e <= 15:
        if e < 0:
            return head + "0." + "0" * (-e - 1) + digits
        if n <= e + 1:
            return head + digits + "0" * (e + 1 - n) + ".0"
        return head + digits[: e + 1] + "." + digits[e + 1 :]
    mantissa = digits[0] + ("." + digits[1:] if n > 1 else "")
    return f"{head}{mantissa}e{'-' if e < 0 else '+'}{abs(e)}"


@pytest.mark.parametrize(
    "value, text",
    [
        (1e16, "1e+16"),
        (1e15, "1000000000000000.0"),
        (0.1, "0.1"),
        (1e-5, "0.00001"),
        (1e-6, "1e-6"),
        (2.0, "2.0"),
        (-0.0, "-0.0"),
        (0.0, "0.0"),
        (100.0, "100.0"),
        (12.34, "12.34"),
        (0.00123, "0.00123"),
        (1.5e-7, "1.5e-7"),
        (1.2345e100, "1.2345e+100"),
        (5e-324, "5e-324"),
        (-1.7976931348623157e308, "-1.7976931348623157e+308"),
        (123456789012345.6, "123456789012345.6"),
        (float("nan"), "null"),
        (float("inf"), "null"),
        (float("-inf"), "null"),
    ],
)
def test_float_layout_examples(value, text):
    assert jt.format_double(value) == text
    if math.isfinite(value):
        assert reference_layout(value) == text


def test_float_layout_matches_reference_on_random_doubles():
    rng = random.Random(20261208)
    checked = 0
    while checked < 12000:
        (x,) = struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))
        if not math.isfinite(x):
            continue
        text = jt.format_double(x)
        assert text == reference_layout(x), x
        assert float(text) == x  # shortest digits still read back exactly
        checked += 1


@settings(max_examples=2000)
@given(st.floats(allow_nan=False, allow_infinity=False))
def test_float_layout_property(x):
    assert jt.format_double(x) == reference_layout(x)
    assert jt.dump([x]) == "[" + reference_layout(x) + "]"


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_host_float_text_reads_back_as_the_same_double(x):
    # A partition value must not change on its way through json.dumps and our reader.
    back = jt.load(json.dumps(x))
    assert struct.pack("<d", back) == struct.pack("<d", x)


# --- strings -----------------------------------------------------------------------------


@pytest.mark.parametrize("code", range(0x80))
def test_escape_table_for_every_ascii_byte(code):
    # The host renders ASCII exactly as the escape table says (lowercase hex, short forms).
    assert jt.dump(chr(code)) == json.dumps(chr(code), ensure_ascii=False)


def test_escapes_named_in_the_documentation():
    assert jt.dump("\t\n\x01") == r'"\t\n\u0001"'
    assert jt.dump("é/\x7f") == '"é/\x7f"'
    assert jt.dump("\x1f") == r'"\u001f"'


@given(st.text(alphabet=st.characters(exclude_categories=["Cs"])))
def test_strings_written_like_host_without_ascii_escaping(s):
    assert jt.dump(s) == json.dumps(s, ensure_ascii=False)
    assert jt.load(jt.dump(s)) == s


# --- integers ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, kind, text",
    [
        (2**64 - 1, int, "18446744073709551615"),
        (2**64, float, "1.8446744073709552e+19"),
        (-(2**63), int, "-9223372036854775808"),
        (-(2**63) - 1, float, "-9.223372036854776e+18"),
        (0, int, "0"),
        (-1, int, "-1"),
    ],
)
def test_integer_boundaries(value, kind, text):
    back = jt.load(str(value))
    assert type(back) is kind
    assert jt.rewrite(str(value)) == text


def test_integer_too_large_for_a_double():
    assert error_of(str(10**400)) == ("number out of range at line 1 column 1", 1, 1)
    assert error_of("[1e400]")[0] == "number out of range at line 1 column 2"


def test_negative_zero_is_a_double():
    back = jt.load("-0")
    assert type(back) is float and math.copysign(1, back) < 0
    assert jt.rewrite("[-0,0,-0.0]") == "[-0.0,0,-0.0]"


# --- structure ---------------------------------------------------------------------------


def test_objects_are_written_in_byte_order_and_last_duplicate_wins():
    assert jt.dump({"b": 1, "a": 2, "B": 3}) == '{"B":3,"a":2,"b":1}'
    assert jt.rewrite('{"b":1,"a":2,"a":3}') == '{"a":3,"b":1}'
    assert jt.rewrite(json.dumps({1: "a", 1.0: "b"})) == '{"1":"b"}'
    # byte order, not code point order of UTF-16: U+FFFF sorts before U+10000 in UTF-8 too
    assert jt.dump({"\U00010000": 1, "\uffff": 2, "ab": 3, "a": 4}) == '{"a":4,"ab":3,"\uffff":2,"\U00010000":1}'


def test_empty_containers_and_whitespace():
    assert jt.dump([[], {}]) == "[[],{}]"
    assert jt.rewrite(' \t\r\n[ 1 , { "a" : [ ] } ] \n') == '[1,{"a":[]}]'


@pytest.mark.parametrize("opener, closer", [("[", "]"), ('{"k":', "}")])
def test_nesting_depth(opener, closer):
    assert jt.load(opener * 127 + "1" + closer * 127) is not None
    for depth in (128, 200):
        message, line, column = error_of(opener * depth + "1" + closer * depth)
        assert message.startswith("recursion limit exceeded")
        assert (line, column) == (1, 128 * len(opener) - len(opener) + 1)


@pytest.mark.parametrize(
    "text, message",
    [
        ("NaN", "expected value at line 1 column 1"),
        ("[NaN]", "expected value at line 1 column 2"),
        ("Infinity", "expected value at line 1 column 1"),
        ("[1,]", "expected value at line 1 column 4"),
        ("1 x", "trailing characters at line 1 column 3"),
        ("[1] 23", "trailing characters at line 1 column 5"),
        ("[]]", "trailing characters at line 1 column 3"),
        ("1\x00", "trailing characters at line 1 column 2"),
        ("", "EOF while parsing a value at line 1 column 0"),
        ("[1,", "EOF while parsing a value at line 1 column 3"),
        ("[1", "EOF while parsing a list at line 1 column 2"),
        ('{"a":1', "EOF while parsing an object at line 1 column 6"),
        ('"ab', "EOF while parsing a string at line 1 column 3"),
        ("[1,\n2", "EOF while parsing a list at line 2 column 1"),
        ("\n\n  @", "expected value at line 3 column 3"),
        ("\ufeff1", "expected value at line 1 column 1"),
    ],
)
def test_error_texts_and_positions(text, message):
    assert error_of(text)[0] == message


@pytest.mark.parametrize(
    "text", ["tru", "nul x", "[1 2]", '{"a" 1}', '{1:2}', '"\\x"', '"\\ud800"', "01", "1.e5", "-", '"a\x01"', "[1,2"]
)
def test_other_malformed_texts_are_refused_with_a_position(text):
    message, line, column = error_of(text)
    assert message.endswith(f" at line {line} column {column}")
    assert line >= 1 and 0 <= column <= len(text)


@pytest.mark.parametrize(
    "text, message",
    [
        ("tru x", "invalid literal at line 1 column 4"),
        ("[1 2]", "expected ',' or ']' at line 1 column 4"),
        ('{"a":1 "b":2}', "expected ',' or '}' at line 1 column 8"),
        ('{"a" 1}', "expected ':' at line 1 column 6"),
        ("{1:2}", "key must be a string at line 1 column 2"),
        ('{"a":1,}', "key must be a string at line 1 column 8"),
        ('["\\x"]', "invalid escape in string at line 1 column 4"),
        ('"a\x01"', "control character in string at line 1 column 3"),
        ("[1.e5]", "invalid number at line 1 column 4"),
        ("[-x]", "expected value at line 1 column 3"),
        ("[1e999]", "number out of range at line 1 column 2"),
    ],
)
def test_messages_are_the_readers_own_whatever_the_library_words(text, message):
    assert error_of(text)[0] == message


def test_invalid_utf8_is_refused():
    assert error_of(b'["\xff"]')[0].endswith("at line 1 column 3")


json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**70), max_value=2**70)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=5), inner, max_size=4),
    max_leaves=20,
)


@settings(max_examples=500)
@given(json_values)
def test_round_trip_through_host_text(value):
    text = json.dumps(value)
    tree = jt.load(text)
    assert tree == host_equivalent(json.loads(text))
    written = jt.rewrite(text)
    assert json.loads(written) == tree
    assert jt.rewrite(written) == written
    if not any(isinstance(v, float) for v in _leaves(tree)):
        # Without floats the layout is the host's compact, sorted, unescaped form.
        assert written == json.dumps(tree, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def _leaves(value):
    if isinstance(value, list):
        for v in value:
            yield from _leaves(v)
    elif isinstance(value, dict):
        for v in value.values():
            yield from _leaves(v)
    else:
        yield value


FUZZ = pathlib.Path(__file__).resolve().parent.parent / "fuzz"


@pytest.mark.parametrize(
    "path", sorted((FUZZ / "seeds" / "json").iterdir()) + sorted((FUZZ / "regressions").glob("*")), ids=lambda p: p.name
)
def test_fuzz_seeds_and_regressions(path):
    data = path.read_bytes()
    try:
        tree = jt.load(data)
    except ValueError as error:
        message, line, column = error.args
        assert line >= 1 and 0 <= column <= len(data) and message.endswith(f" at line {line} column {column}")
    else:
        written = jt.rewrite(data)
        assert jt.load(written) == tree and jt.rewrite(written) == written

"""BaselineSnapshot from Python: the fresh text, from_json's forms and messages,
write-then-read identity and the shortest number forms, hostile texts."""

import json
import math
import re
import struct
import time
from decimal import Decimal

import numpy as np
import pytest
from conftest import check_raises
from hypothesis import given, settings
from hypothesis import strategies as st

from morvanta._native import BaselineSnapshot, MorvantaError

FIELDS = ["embeddings", "feature_means", "feature_stds", "confidence_scores",
          "response_lengths", "query_centroids", "query_cluster_freqs", "captured_at"]
MATRICES = ("embeddings", "query_centroids")
NUMBER = re.compile(r"-?(0|[1-9][0-9]*)(\.[0-9]+)?(e[+-][1-9][0-9]*)?\Z")
read = BaselineSnapshot.from_json
C = '{"captured_at":0,'


def fresh(t):
    return '{%s,"captured_at":%d}' % (",".join('"%s":null' % f for f in FIELDS[:-1]), t)


def test_fresh_snapshot_and_argument():
    before = int(time.time())
    s = BaselineSnapshot()
    assert before <= s.captured_at <= int(time.time())
    assert s.to_json() == fresh(s.captured_at)
    assert read(s=s.to_json()).captured_at == s.captured_at
    assert read(type("S", (str,), {})('{"captured_at":7}')).captured_at == 7
    for arg in (b'{"captured_at":5}', 5, None):
        check_raises(lambda: read(arg), TypeError, "argument 's': ")
    with pytest.raises(UnicodeEncodeError):
        read('{"captured_at":7,"x":"\ud800"}')


F32_FORMS = [("0.1", "0.1"), ("1e12", "1000000000000.0"), ("1e13", "1e+13"), ("0.000001", "0.000001"),
             ("1e-7", "1e-7"), ("-0", "-0.0"), ("1.0000000596046447753906250000001", "1.0000001")]


@pytest.mark.parametrize("text, field, written", [
    ('{"captured_at":5,"other":[{"a":[1,{"b":null}]},"x\\ud83d\\ude00",-1.5e3,true]}', None, None),
    ("[null,null,null,null,null,null,null,5]", None, None),
    ('{"feature_means":[],"captured_at":5}', "feature_means", "[]"),
    ('{"captured_at":5,"embeddings":[1,[2,2],[1,2,3,4]]}', "embeddings", '{"v":1,"dim":[2,2],"data":[1.0,2.0,3.0,4.0]}'),
    ('{"captured_at":5,"query_centroids":{"data":[],"dim":[0,3],"v":1}}', "query_centroids", '{"v":1,"dim":[0,3],"data":[]}'),
    ('{"captured_at":5,"feature_stds":[1e-999999,-1e-400,1E2,0.1]}', "feature_stds", "[0.0,-0.0,100.0,0.1]"),
    ('{"x":' + "[" * 100_000 + "]" * 100_000 + ',"captured_at":5}', None, None),  # deep nesting, closed, skipped
    *[('{"captured_at":5,"embeddings":[1,[1,1],[%s]]}' % v, "embeddings", '{"v":1,"dim":[1,1],"data":[%s]}' % t)
      for v, t in F32_FORMS],
])
def test_accepted_forms(text, field, written):
    expected = fresh(5) if field is None else fresh(5).replace('"%s":null' % field, '"%s":%s' % (field, written))
    assert read(text).to_json() == expected


@pytest.mark.parametrize("text, message", [
    ("{}", "missing field `captured_at` at line 1 column 2"),
    ('{"captured_at":5,"captured_at":6}', "duplicate field `captured_at` at line 1 column 30"),
    ('{"captured_at":1.5}', "invalid type: floating point `1.5`, expected i64 at line 1 column 18"),
    ("[null,null,null,null,null,null,null]", "invalid length 7, expected struct BaselineSnapshot with 8 elements at line 1 column 36"),
    ('"abc"', 'invalid type: string "abc", expected struct BaselineSnapshot at line 1 column 5'),
    (C + '"embeddings":{"v":1,"dim":[2,2],"data":[1,2,3]}}', "data and dimension must match in size at line 1 column 64"),
    (C + '"embeddings":{"v":2,"dim":[2,2],"data":[1,2,3,4]}}', "unknown array version: 2 at line 1 column 36"),
    (C + '"embeddings":{"x":1}}', "unknown field `x`, expected one of `v`, `dim`, `data` at line 1 column 34"),
    (C + '"embeddings":{"dim":[0,0],"v":1}}', "missing field `data` at line 1 column 49"),
    (C + '"feature_means":[1,null]}', "invalid type: null, expected f64 at line 1 column 40"),
    ('{"captured_at":0} x', "trailing characters at line 1 column 19"),
    ("", "EOF while parsing a value at line 1 column 0"),
    # Hostile texts; a message given without its position is only the start.
    ('{"x":' + "[" * 100_000, "EOF while parsing a list at line 1 column 100005"),
    ('{"x":' + "[" * 100_000 + "}", "expected value"),
    (C + '"feature_means":[1e999999]}', "number out of range"),
    (C + '"feature_means":[-1' + "0" * 400 + "]}", "number out of range"),
    (C + '"embeddings":[1,[1,1],[3.5e38]]}', "number out of range"),
    (C + '"embeddings":[1,[4294967296,4294967296],[]]}', "data and dimension must match in size"),
    (C + '"response_lengths":[' + "9" * 30 + "]}", "invalid value: integer `999"),
    (C + '"x":"\\x"}', "invalid escape"),
    (C + '"x":"\\ud83d\\u0041"}', "lone leading surrogate in hex escape"),
    (C + '"x":"\\udc00"}', "invalid unicode code point"),
    (C + '"x":"a\0"}', "control character (\\u0000-\\u001F) found while parsing a string"),
    ("\0", "expected value at line 1 column 1"),
])
def test_error_messages(text, message):
    with pytest.raises(MorvantaError) as info:
        read(text)
    got = info.value.args
    assert type(info.value) is MorvantaError and len(got) == 1 and re.search(r" at line 1 column \d+$", got[0])
    assert got[0] == "deserialize: " + message if " at line " in message else got[0].startswith("deserialize: " + message)


finite64 = st.floats(allow_nan=False, allow_infinity=False) | st.sampled_from(
    [-0.0, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 1e16, 1e-6, 1e-5, 1e15])
finite32 = st.floats(width=32, allow_nan=False, allow_infinity=False) | st.sampled_from(
    [-0.0, 1e-45, 1.1754944e-38, 3.4028235e38, 1e13, 1e12, 1e-7, 1e-6])
matrix = st.tuples(st.integers(0, 4), st.integers(0, 5)).flatmap(
    lambda rc: st.tuples(st.just(rc), st.lists(finite32, min_size=rc[0] * rc[1], max_size=rc[0] * rc[1])))
fields = st.fixed_dictionaries({}, optional={
    **{f: st.lists(finite64, max_size=10) | st.none() for f in FIELDS[1:4] + FIELDS[6:7]},
    "response_lengths": st.lists(st.integers(0, 2**64 - 1), max_size=6),
    "embeddings": matrix | st.none(), "query_centroids": matrix})


def check_token(tok, value, f32):
    """Reads back to the value, has the reference's shortest digits (Python's repr,
    NumPy's unique float32 formatting) and the layout its decimal exponent asks for."""
    assert NUMBER.match(tok), tok
    if f32:
        v = np.float32(value)
        assert np.float32(float(tok)).tobytes() == v.tobytes(), tok
        ref, hi, lo = np.format_float_scientific(v, unique=True), 13, -7
    else:
        assert struct.pack("<d", float(tok)) == struct.pack("<d", value), tok
        ref, hi, lo = repr(value), 16, -6
    if value == 0:
        assert tok == ("-0.0" if math.copysign(1, value) < 0 else "0.0")
    else:
        assert Decimal(tok) == Decimal(ref), (tok, ref)
        assert ("e" in tok) == (Decimal(tok).adjusted() >= hi or Decimal(tok).adjusted() <= lo), tok


@settings(max_examples=150, deadline=None)
@given(fields, st.integers(-2**63, 2**63 - 1), st.booleans())
def test_write_then_read_identity(doc, captured_at, as_array):
    def value(name):
        v = doc.get(name)
        if name in MATRICES and v is not None:  # a float32 widened to double is exact
            return '{"dim":[%d,%d],"data":[%s],"v":1}' % (*v[0], ",".join(repr(float(x)) for x in v[1]))
        return json.dumps(v)

    if as_array:
        text = "[%s,%d]" % (",".join(value(n) for n in FIELDS[:-1]), captured_at)
    else:
        text = "{%s}" % ",".join(['"%s":%s' % (n, value(n)) for n in FIELDS[:-1] if n in doc] + ['"captured_at":%d' % captured_at])
    out = read(text).to_json()
    t = json.loads(out, parse_float=str, parse_int=str)
    assert list(t) == FIELDS and t["captured_at"] == str(captured_at)
    for name in FIELDS[:-1]:
        v = doc.get(name)
        if v is None:
            assert t[name] is None
        elif name == "response_lengths":
            assert [int(x) for x in t[name]] == v
        else:
            if name in MATRICES:
                assert list(t[name]) == ["v", "dim", "data"] and t[name]["v"] == "1"
                assert t[name]["dim"] == [str(v[0][0]), str(v[0][1])]
            tokens, values = (t[name]["data"], v[1]) if name in MATRICES else (t[name], v)
            assert len(tokens) == len(values)
            for tok, x in zip(tokens, values):
                check_token(tok, x, name in MATRICES)
    assert read(out).to_json() == out


def test_truncation_at_every_byte():
    rng = np.random.default_rng(5)
    doc = {"embeddings": [1, [3, 4], [float(x) for x in rng.standard_normal(12).astype(np.float32)]],
           "feature_means": rng.standard_normal(5).tolist(), "response_lengths": [3, 2**64 - 1], "captured_at": -12}
    text = read(json.dumps(doc)).to_json()
    for n in range(len(text)):
        with pytest.raises(MorvantaError) as info:
            read(text[:n])
        assert re.fullmatch(r"deserialize: EOF while parsing .* at line 1 column %d" % n, str(info.value)), (n, info.value)

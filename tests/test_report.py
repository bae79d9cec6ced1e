"""DriftReport from Python: conversions and their messages, getters, summaries,
repr and the JSON text."""

import json
import math
import time

import pytest
from conftest import NAN, check_raises

from morvanta._native import ConfidenceDrift, DriftReport


def score(quarters, threshold=0.5):
    """A confidence score of exactly quarters / 4 (a KS statistic)."""
    return ConfidenceDrift(threshold=threshold).detect([0.0] * 4, [0.0] * (4 - quarters) + [1.0] * quarters)


def nan_score():
    return ConfidenceDrift(threshold=0.5).detect_with_correctness([NAN, 0.5], [True, False], [0.5, 0.5], [True, True])


def test_empty_report():
    before = int(time.time())
    r = DriftReport([], 0, 0)
    assert before <= r.timestamp <= int(time.time())
    assert (r.scores, r.any_exceeded(), r.max_score()) == ([], False, 0.0)
    assert repr(r) == str(r) == "DriftReport(scores=0, max_score=0.000000, any_exceeded=false)"
    assert r.to_json() == '{"scores":[],"timestamp":%d,"sample_size_baseline":0,"sample_size_current":0}' % r.timestamp


@pytest.mark.parametrize("threshold, text", [(0.2, "0.2"), (1e-7, "1e-7"), (1e21, "1e+21"), (3.0, "3.0"),
                                             (1e15, "1000000000000000.0"), (-0.0, "-0.0"), (math.inf, "null")])
def test_json_text(threshold, text):
    r = DriftReport([score(3, threshold), nan_score()], 500, 2**64 - 1)
    assert r.to_json() == (
        '{"scores":[{"dimension":"Confidence","score":0.75,"threshold":%s,"exceeded":%s,"method":"ks(conf)"},'
        '{"dimension":"Confidence","score":null,"threshold":0.5,"exceeded":false,"method":"ks(conf)+ece_delta"}],'
        '"timestamp":%d,"sample_size_baseline":500,"sample_size_current":18446744073709551615}'
        % (text, "true" if 0.75 >= threshold else "false", r.timestamp))
    assert json.loads(r.to_json())["scores"][0]["threshold"] == (None if text == "null" else threshold)


@pytest.mark.parametrize("scores, expected, exceeded", [
    (lambda: [nan_score()], 0.0, False),
    (lambda: [score(0), nan_score()], 0.0, False),
    (lambda: [score(1), nan_score(), score(3)], 0.75, True),
    (lambda: [score(2), score(1)], 0.5, True),  # equality counts as exceeded
])
def test_summaries(scores, expected, exceeded):
    r = DriftReport(scores(), 1, 1)
    assert r.max_score() == expected and math.copysign(1, r.max_score()) == 1
    assert r.any_exceeded() is exceeded
    assert repr(r) == "DriftReport(scores=%d, max_score=%.6f, any_exceeded=%s)" % (
        len(r.scores), expected, str(exceeded).lower())


def test_scores_are_copies_and_forms_agree():
    s1, s2 = score(1), nan_score()
    a = DriftReport([s1, s2], 10, 20)
    b = DriftReport(sample_size_current=20, scores=(s1, s2), sample_size_baseline=10)
    assert a.to_json().replace(str(a.timestamp), "T") == b.to_json().replace(str(b.timestamp), "T")
    x, y = a.scores, a.scores
    assert x is not y and x[0] is not y[0] and x[0] is not s1
    assert x[0].to_dict() == y[0].to_dict() == s1.to_dict() and math.isnan(x[1].score)
    assert (b.sample_size_baseline, b.sample_size_current) == (10, 20)


@pytest.mark.parametrize("args, exc, text", [
    (("abc", 0, 0), TypeError, "argument 'scores': "),
    (([1.0], 0, 0), TypeError, "argument 'scores': "),
    (((x for x in []), 0, 0), TypeError, "argument 'scores': "),
    (([], 1.5, 0), TypeError, "argument 'sample_size_baseline': "),
    (([], 0, "1"), TypeError, "argument 'sample_size_current': "),
    (([], -1, 0), OverflowError, None),
])
def test_constructor_errors(args, exc, text):
    check_raises(lambda: DriftReport(*args), exc, text)

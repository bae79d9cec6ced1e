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


# ------------------------------------------------------------------ categorical columns in the HTML report


def route_logs(n=600, seed=3):
    """Logs with one numeric column and a route column whose mix moves: 'a' loses to 'b', 'z' appears only in
    the current window, a tenth of the current routes are missing, and 56 rare routes overflow the cap."""
    import numpy as np

    rng = np.random.default_rng(seed)
    rare = [f"r{i:02d}" for i in range(56)]
    base = list(rng.choice(["a", "b", "c"], n - 56, p=[0.5, 0.3, 0.2])) + rare
    cur = list(rng.choice(["a", "b", "c", "z"], n - 60 - 56, p=[0.2, 0.5, 0.2, 0.1])) + [None] * 60 + rare
    return ({"x": rng.normal(size=n), "route": base}, {"x": rng.normal(size=n), "route": cur}, base, cur)


def category_section(html):
    import re

    tables = re.findall(r"<caption>(Categories of route.*?)</caption>.*?<tbody>(.*?)</tbody>", html, re.S)
    assert len(tables) == 1, tables
    rows = {}
    for row in re.findall(r"<tr>(.*?)</tr>", tables[0][1]):
        cells = [re.sub(r"<.*?>", "", c) for c in re.findall(r"<t[hd][^>]*>(.*?)</t[hd]>", row)]
        rows[cells[0]] = cells[1:]
    return tables[0][0], rows


def test_html_shows_category_shares_moved_unseen_other_and_missing():
    pytest.importorskip("jinja2")
    pytest.importorskip("matplotlib")
    import morvanta

    b, c, base, cur = route_logs()
    r = morvanta.check(b, c, seed=5)
    html = r.to_html()
    assert html == r.to_html()  # byte-identical pages
    caption, rows = category_section(html)
    # Shares of the non-missing rows, computed here from the cells themselves.
    seen_b = [v for v in base if v is not None]
    seen_c = [v for v in cur if v is not None]
    for cat in ("a", "b", "c"):
        assert rows[cat][:2] == [f"{seen_b.count(cat) / len(seen_b):.1%}",
                                 f"{seen_c.count(cat) / len(seen_c):.1%}"]
    assert rows["z (unseen in baseline)"][:2] == ["0.0%", f"{seen_c.count('z') / len(seen_c):.1%}"]
    assert rows["(missing cells, share of all rows)"] == ["0.0%", f"{60 / len(cur):.1%}",
                                                          f"{60 / len(cur) * 100:+.1f} pt"]
    # 60 distinct routes in both windows, 50 kept: the 10 rarest (ties by value) share "(other)", one row per
    # side each.
    assert "(60 in both windows)" in caption and rows["(other: the categories beyond the cap)"][:2] == [
        f"{10 / len(seen_b):.1%}", f"{10 / len(seen_c):.1%}"]
    # The largest move first, in the table and in the chart's text alternative.
    assert list(rows)[0] == "a"
    assert caption.endswith(f"adjusted p of its category shares {r.categorical[0]['p_adjusted']:.4f}, of its missing "
                            f"share {r.categorical[0]['p_adjusted_missing']:.4f}")
    assert '<title id="plot2-t">Category shares of route</title>' in html
    assert (f"The largest move: a from {seen_b.count('a') / len(seen_b):.1%} to {seen_c.count('a') / len(seen_c):.1%}"
            in html)
    assert "1 category unseen in the baseline: z at" in html and "Missing cells: 0.0% of the baseline rows, 10.0%" in html


def test_html_redacts_category_values():
    pytest.importorskip("jinja2")
    pytest.importorskip("matplotlib")
    import hashlib

    import morvanta

    b, c, _, _ = route_logs()
    b["route"] = [None if v is None else f"user-{v}@example.org" for v in b["route"]]
    c["route"] = [None if v is None else f"user-{v}@example.org" for v in c["route"]]
    html = morvanta.check(b, c, seed=5, redact_categories=True).to_html()
    assert "@example.org" not in html
    _, rows = category_section(html)
    h = hashlib.sha256(b"user-a@example.org").hexdigest()[:8]
    z = hashlib.sha256(b"user-z@example.org").hexdigest()[:8]
    assert h in rows and f"{z} (unseen in baseline)" in rows and "(other: the categories beyond the cap)" in rows
    assert f"1 category unseen in the baseline: {z} at" in html

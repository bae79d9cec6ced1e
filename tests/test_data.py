"""DataDrift: per column the larger of KS and PSI; the score is the largest column."""

import math

import numpy as np
import pytest
from conftest import MISMATCH, check_raises, concurrently
from scipy import stats

from morvanta import DataDrift, MorvantaError



def psi_numpy(base, cur, bins, eps=0.0001):
    s, n = np.sort(base), len(base)
    edges = s[[min(int((k / bins) * n), n - 1) for k in range(1, bins)]]
    cb, cc = (np.bincount(np.searchsorted(edges, v, side="right"), minlength=bins) for v in (base, cur))
    p, q = (cb + eps) / (n + bins * eps), (cc + eps) / (len(cur) + bins * eps)
    return max(math.fsum(np.log(q / p) * (q - p)), 0.0)


def column_value(x, y, bins):
    return max(stats.ks_2samp(x, y).statistic, psi_numpy(x, y, bins) if len(x) >= bins >= 2 else 0.0)


@pytest.mark.parametrize("rb, rc, cols, bins, shift, ties", [
    (500, 400, 3, 10, 0.2, False), (2000, 3000, 9, 10, 0.2, False), (1200, 800, 5, 4, 0.2, False),
    (50, 60, 2, 37, 0.2, False), (400, 300, 4, 0, 0.5, False), (400, 300, 4, 1, 0.5, False),
    (5, 40, 3, 10, 1.0, False), (10, 3, 2, 10, 1.0, False), (1000, 1000, 2, 10, 30.0, False), (3000, 2000, 3, 10, 0.5, True),
])
def test_against_scipy_and_numpy(rb, rc, cols, bins, shift, ties):
    rng = np.random.default_rng(rb + cols)
    base, cur = rng.normal(size=(rb, cols)), rng.normal(size=(rc, cols)) * 1.1 + shift * np.arange(cols)
    if ties:  # repeated baseline values give repeated edges; PSI outgrows KS
        base, cur = np.round(base * 2), np.round(cur * 2)
    s = DataDrift(n_bins=bins).detect(base, cur)
    ref = max(column_value(base[:, j], cur[:, j], bins) for j in range(cols))
    assert s.score == pytest.approx(ref, rel=1e-12, abs=1e-12)
    assert (s.dimension, s.method, s.exceeded) == ("data", "ks+psi", s.score >= 0.1)
    assert s.score > 1.0 or shift < 10


def test_defaults_identical_missing_and_empty():
    b9, b10, c = np.arange(9.0)[:, None], np.arange(10.0)[:, None], np.full((3, 1), 4.0)
    assert DataDrift().detect(b9, c).score == pytest.approx(4 / 9, abs=1e-15)  # KS alone below ten rows
    assert DataDrift().detect(b10, c).score == pytest.approx(psi_numpy(b10[:, 0], c[:, 0], 10), rel=1e-12)
    assert DataDrift().detect(b9, c).threshold == 0.1
    base = np.random.default_rng(4).normal(size=(2000, 4))
    assert DataDrift().detect(base, base.copy()).score == 0.0
    cur = base[::-1].copy()
    base[::7, 0], cur[::3, 1], cur[:, 2] = np.nan, np.nan, np.nan
    s = DataDrift().detect(base, cur).score
    assert math.isfinite(s) and s >= 1.0  # a column missing from the current window
    for t, exceeded in [(0.1, False), (0.0, True), (float("nan"), False)]:
        z = DataDrift(threshold=t).detect(np.empty((4, 0)), np.empty((0, 0)))
        assert (z.score, z.exceeded) == (0.0, exceeded)


def test_order_threads_and_caller_data():
    rng = np.random.default_rng(8)
    base, cur = rng.normal(size=(1203, 7)), rng.normal(0.1, 1.0, size=(900, 7))
    keep, d = base.copy(), DataDrift()
    ref = d.detect(base, cur).score
    assert d.detect(base[rng.permutation(1203)][:, ::-1], cur[rng.permutation(900)][:, ::-1]).score == ref
    assert concurrently(*[lambda: d.detect(base, cur).score] * 4) == [[ref] * 3] * 4
    np.testing.assert_array_equal(base, keep)


@pytest.mark.parametrize("call, exc, text", [
    # Columns are compared before rows are counted (the core messages are in test_error_fields).
    (lambda: DataDrift().detect(np.zeros((0, 3)), np.zeros((5, 2))), MorvantaError, MISMATCH),
    (lambda: DataDrift().detect(np.zeros((3, 2), np.float32), np.zeros((3, 2))), TypeError, "argument 'baseline': "),
    (lambda: DataDrift(n_bins=10.0), TypeError, "argument 'n_bins': "),
])
def test_errors(call, exc, text):
    check_raises(call, exc, text)

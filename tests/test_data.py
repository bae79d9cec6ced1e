"""DataDrift: per feature column the larger of the Kolmogorov-Smirnov statistic
and the population stability index; the score is the largest column value."""

import math
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from scipy import stats

from morvanta import DataDrift, MorvantaError

EPS = 0.0001


def psi_reference(base, cur, bins, eps=EPS):
    """NumPy index: quantile edges by the truncated index rule, counts by searchsorted."""
    s = np.sort(base)
    n = len(s)
    idx = [min(int((k / bins) * n), n - 1) for k in range(1, bins)]
    edges = s[idx]
    cb = np.bincount(np.searchsorted(edges, base, side="right"), minlength=bins)
    cc = np.bincount(np.searchsorted(edges, cur, side="right"), minlength=bins)
    p = (cb + eps) / (n + bins * eps)
    q = (cc + eps) / (len(cur) + bins * eps)
    total = 0.0
    for k in range(bins):
        total += math.log(q[k] / p[k]) * (q[k] - p[k])
    return max(total, 0.0)


def reference_score(base, cur, bins):
    best = 0.0
    for j in range(base.shape[1]):
        x, y = base[:, j], cur[:, j]
        v = stats.ks_2samp(x, y).statistic
        if len(x) >= bins >= 2:
            v = max(v, psi_reference(x, y, bins))
        best = max(best, v)
    return best


def tables(rb, rc, cols, seed, shift=0.2):
    rng = np.random.default_rng(seed)
    base = rng.normal(size=(rb, cols))
    cur = rng.normal(size=(rc, cols)) * 1.1 + shift * np.arange(cols)
    return base, cur


# ----------------------------------------------------------------- values


def test_defaults():
    base, cur = tables(300, 200, 4, 0)
    s = DataDrift().detect(base, cur)
    assert (s.dimension, s.threshold, s.method) == ("data", 0.1, "ks+psi")
    assert s.score == DataDrift(0.1, 10).detect(base, cur).score
    assert s.exceeded is (s.score >= 0.1)
    # Ten bins: a 9-row baseline is judged by KS alone, a 10-row one is not.
    b9, c9 = np.arange(9.0).reshape(9, 1), np.full((3, 1), 4.0)
    assert DataDrift().detect(b9, c9).score == pytest.approx(stats.ks_2samp(b9[:, 0], c9[:, 0]).statistic, abs=1e-15)
    b10 = np.arange(10.0).reshape(10, 1)
    assert DataDrift().detect(b10, c9).score == pytest.approx(psi_reference(b10[:, 0], c9[:, 0], 10), rel=1e-12)


@pytest.mark.parametrize(
    "rb, rc, cols, bins",
    [(500, 400, 3, 10), (2000, 3000, 9, 10), (1200, 800, 5, 4), (50, 60, 2, 37), (4000, 100, 12, 20)],
)
def test_against_scipy_and_numpy(rb, rc, cols, bins):
    base, cur = tables(rb, rc, cols, rb + cols)
    got = DataDrift(n_bins=bins).detect(base, cur).score
    assert got == pytest.approx(reference_score(base, cur, bins), rel=1e-12, abs=1e-12)


def test_psi_reference_with_ties():
    # Rounded data repeats baseline values, so edges repeat and bins stay empty.
    rng = np.random.default_rng(5)
    base = np.round(rng.normal(size=(3000, 1)) * 2) / 2
    cur = np.round(rng.normal(0.7, 1.0, size=(2000, 1)) * 2) / 2
    got = DataDrift().detect(base, cur).score
    ref = psi_reference(base[:, 0], cur[:, 0], 10)
    assert ref > 0.1  # the index dominates the KS statistic here
    assert got == pytest.approx(ref, rel=1e-12)


def test_strong_shift_gives_score_above_one():
    base = np.arange(1000.0).reshape(-1, 1)
    s = DataDrift().detect(base, base + 900.0)
    assert s.score > 1.0
    assert s.score == pytest.approx(psi_reference(base[:, 0], base[:, 0] + 900.0, 10), rel=1e-12)


def test_identical_tables():
    base, _ = tables(1000, 10, 6, 1)
    s = DataDrift().detect(base, base.copy())
    assert s.score == 0.0 and not s.exceeded


@pytest.mark.parametrize("bins", [0, 1])
def test_small_bin_counts_use_ks_alone(bins):
    base, cur = tables(400, 300, 4, 2, shift=0.5)
    ks = max(stats.ks_2samp(base[:, j], cur[:, j]).statistic for j in range(4))
    assert DataDrift(n_bins=bins).detect(base, cur).score == pytest.approx(ks, abs=1e-12)


def test_five_row_baseline_uses_ks_alone():
    base, cur = tables(5, 40, 3, 3, shift=1.0)
    ks = max(stats.ks_2samp(base[:, j], cur[:, j]).statistic for j in range(3))
    assert DataDrift().detect(base, cur).score == pytest.approx(ks, abs=1e-12)


def test_missing_values_give_finite_score():
    base, cur = tables(2000, 2000, 4, 4)
    base[::7, 0] = np.nan
    cur[::3, 1] = np.nan
    cur[:, 2] = np.nan
    s = DataDrift().detect(base, cur)
    assert math.isfinite(s.score) and s.score >= 0.0
    # A column missing entirely in the current window is maximal KS drift.
    assert s.score >= 1.0


@pytest.mark.parametrize("threshold, exceeded", [(0.1, False), (0.0, True), (-2.0, True), (float("nan"), False)])
def test_zero_columns(threshold, exceeded):
    s = DataDrift(threshold=threshold).detect(np.empty((4, 0)), np.empty((0, 0)))
    assert s.score == 0.0
    assert s.exceeded is exceeded


# ----------------------------------------------------------------- properties


@settings(max_examples=40, deadline=None)
@given(
    hnp.arrays(np.float64, st.tuples(st.integers(1, 30), st.integers(1, 4)),
               elements=st.floats(-1e6, 1e6, allow_nan=False)),
    st.integers(1, 30),
    st.randoms(use_true_random=False),
)
def test_row_and_column_order_free(base, rc, rnd):
    rng = np.random.default_rng(rnd.randrange(1 << 30))
    cur = rng.normal(size=(rc, base.shape[1])) * 1e3
    d = DataDrift()
    s = d.detect(base, cur).score
    assert 0.0 <= s and not math.isnan(s)
    rows_b, rows_c = rng.permutation(base.shape[0]), rng.permutation(rc)
    cols = rng.permutation(base.shape[1])
    assert d.detect(base[rows_b], cur[rows_c]).score == s
    assert d.detect(base[:, cols], cur[:, cols]).score == s
    assert d.detect(base, cur).score == s  # deterministic


def test_layouts_bit_identical_and_input_unchanged():
    rng = np.random.default_rng(8)
    big = rng.normal(size=(1203, 14))
    cur = rng.normal(0.1, 1.0, size=(900, 7))
    keep = big.copy()
    d = DataDrift()
    views = {
        "fortran": np.asfortranarray(big[:, :7]),
        "transposed": np.ascontiguousarray(big[:, :7].T).T,
        "reversed": big[::-1, 6::-1],
        "sliced": big[::2, 1::2],
    }
    for name, v in views.items():
        assert d.detect(v, cur).score == d.detect(np.ascontiguousarray(v), cur).score, name
        assert d.detect(cur, v).score == d.detect(cur, np.ascontiguousarray(v)).score, name
    np.testing.assert_array_equal(big, keep)


# ----------------------------------------------------------------- errors


@pytest.mark.parametrize(
    "base, cur, message",
    [
        (np.zeros((4, 3)), np.zeros((5, 2)), "dimension mismatch: expected 3, got 2 (DataDriftDetector::detect)"),
        (np.zeros((0, 3)), np.zeros((5, 2)), "dimension mismatch: expected 3, got 2 (DataDriftDetector::detect)"),
        (np.zeros((0, 3)), np.zeros((5, 3)), "insufficient samples: need at least 1, got 0 (ks_two_sample)"),
        (np.zeros((5, 3)), np.zeros((0, 3)), "insufficient samples: need at least 1, got 0 (ks_two_sample)"),
    ],
)
def test_core_errors(base, cur, message):
    with pytest.raises(MorvantaError) as e:
        DataDrift().detect(base, cur)
    assert str(e.value) == message


@pytest.mark.parametrize(
    "base, cur, name",
    [
        (np.zeros((3, 2), dtype=np.float32), np.zeros((3, 2)), "baseline"),
        ([[0.0, 1.0], [2.0, 3.0]], np.zeros((3, 2)), "baseline"),
        (np.zeros(3), np.zeros((3, 1)), "baseline"),
        (np.zeros((3, 2)), np.zeros((3, 2), dtype=np.int64), "current"),
        (np.zeros((3, 2)), np.zeros((3, 2, 1)), "current"),
    ],
)
def test_conversion_errors_name_the_argument(base, cur, name):
    with pytest.raises(TypeError, match=rf"^argument '{name}': "):
        DataDrift().detect(base, cur)


def test_constructor_conversions():
    with pytest.raises(TypeError, match=r"^argument 'threshold': "):
        DataDrift(threshold="0.1")
    with pytest.raises(TypeError, match=r"^argument 'n_bins': "):
        DataDrift(n_bins=10.0)
    with pytest.raises(OverflowError):
        DataDrift(n_bins=-1)
    base, cur = tables(50, 50, 2, 9)
    assert DataDrift(n_bins=True).detect(base, cur).score == DataDrift(n_bins=0).detect(base, cur).score


# ----------------------------------------------------------------- threads


def test_threads_share_one_detector():
    base, cur = tables(30000, 20000, 8, 12)
    d = DataDrift()
    expected = d.detect(base, cur).score
    results = []
    threads = [threading.Thread(target=lambda: results.append(d.detect(base, cur).score)) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 4

"""The Kolmogorov-Smirnov statistic on data with repeated values (token counts,
flags, rounded confidences): sup over x of |F1(x) - F2(x)|, as SciPy computes it,
through every detector that uses it."""

import numpy as np
import pytest
from scipy import stats

from morvanta import ConfidenceDrift, DataDrift, ResponseDrift, data_drift_by_column

SIZES = [(3000, 1000), (50, 7), (400, 401), (5000, 1000), (1, 9)]


def draw(kind, rng, n, shift):
    if kind == "integer":  # token counts
        return rng.poisson(18 + 4 * shift, n).astype(float)
    if kind == "binary":  # a 70/30 flag
        return (rng.random(n) < 0.3 + 0.1 * shift).astype(float)
    if kind == "rounded":  # confidences kept to one decimal
        return np.round(rng.beta(8 - 2 * shift, 2, n), 1)
    if kind == "few_values":  # a handful of levels with runs of very different lengths
        return rng.choice([0.0, 1.0, 2.0, 10.0], n, p=[0.85 - 0.2 * shift, 0.1, 0.04 + 0.2 * shift, 0.01])
    raise ValueError(kind)


KINDS = ["integer", "binary", "rounded", "few_values"]


@pytest.mark.parametrize("m, n", SIZES)
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("shift", [0, 1])
def test_every_detector_gives_scipys_statistic(kind, m, n, shift):
    rng = np.random.default_rng([m, n, shift, KINDS.index(kind)])
    a, b = draw(kind, rng, m, 0), draw(kind, rng, n, shift)
    want = stats.ks_2samp(a, b).statistic
    got = {
        "confidence": ConfidenceDrift().detect(a, b).score,
        "response": ResponseDrift().detect(a.tolist(), b.tolist()).score,
        # n_bins=1 leaves PSI out, so the column value is KS alone.
        "data": DataDrift(n_bins=1).detect(a[:, None], b[:, None]).score,
        "by_column": data_drift_by_column(a[:, None], b[:, None], n_bins=1)[0].score.score,
    }
    assert all(abs(v - want) <= 1e-15 for v in got.values()), (want, got)
    # Symmetric, and blind to the order of the rows, bit for bit.
    assert ConfidenceDrift().detect(b, a).score == got["confidence"]
    assert ConfidenceDrift().detect(rng.permutation(a), b[::-1]).score == got["confidence"]


def test_a_table_of_repeated_values_column_by_column():
    rng = np.random.default_rng(11)
    base = np.column_stack([draw(k, rng, 3000, 0) for k in KINDS])
    cur = np.column_stack([draw(k, rng, 1000, s) for k, s in zip(KINDS, [0, 1, 0, 1])])
    rows = data_drift_by_column(base, cur, n_bins=1, names=KINDS)
    want = [stats.ks_2samp(base[:, j], cur[:, j]).statistic for j in range(len(KINDS))]
    assert [r.name for r in rows] == KINDS
    assert max(abs(r.score.score - w) for r, w in zip(rows, want)) <= 1e-15
    assert DataDrift(n_bins=1).detect(base, cur).score == max(r.score.score for r in rows)
    # Fortran order (the frame path's layout) gives the same bits.
    assert DataDrift(n_bins=1).detect(np.asfortranarray(base), cur).score == max(r.score.score for r in rows)


@pytest.mark.parametrize("a, b, d", [
    ([5, 5, 5, 5], [5, 5, 5], 0.0),  # one value in both windows: no drift at all
    ([1, 1], [1], 0.0),
    ([0, 0, 0, 1], [0, 1, 1, 1], 0.5),
    ([1, 1, 2], [1, 2, 2], 1 / 3),
    ([1, 2, float("nan"), float("nan")], [2, 1, float("nan")], 1 / 6),  # NaN: one value above all numbers
])
def test_small_windows_with_runs(a, b, d):
    for x, y in [(a, b), (b, a)]:
        assert ResponseDrift().detect(x, y).score == pytest.approx(d, abs=1e-16)
        assert ConfidenceDrift().detect(x, y).score == pytest.approx(d, abs=1e-16)


def test_false_alarm_rate_on_same_distribution_token_counts():
    """Same-distribution windows of 5,000 and 1,000 token counts: the statistic
    stays below the 5% asymptotic critical value at least 95% of the time (KS is
    conservative on discrete data), and a 0.2 threshold never fires."""
    rng = np.random.default_rng(2026)
    m, n, runs = 5000, 1000, 200
    critical = 1.358 * np.sqrt((m + n) / (m * n))
    d = ResponseDrift()
    scores = [d.detect(rng.poisson(18, m).astype(float), rng.poisson(18, n).astype(float)) for _ in range(runs)]
    above = sum(s.score > critical for s in scores) / runs
    assert above <= 0.05, above
    assert not any(s.exceeded for s in scores)
    assert max(s.score for s in scores) < 0.08  # the one-element-per-side walk gave about 0.08 on average

"""ConfidenceDrift: the Kolmogorov-Smirnov statistic of the confidences, plus the
change in expected calibration error when correctness flags are given."""

import math
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy import stats

from morvanta import ConfidenceDrift, MorvantaError

NAN = float("nan")


def ece_reference(scores, flags, bins):
    """Calibration error with NumPy: clamp, truncate p * B into a bin, NaN to bin 0."""
    p = np.clip(np.asarray(scores, dtype=np.float64), 0.0, 1.0)
    prod = p * bins
    idx = np.where(np.isnan(prod), 0, np.minimum(np.nan_to_num(prod), bins - 1)).astype(np.int64)
    idx = np.minimum(idx, bins - 1)
    y = np.asarray(flags, dtype=bool)
    total = 0.0
    for b in range(bins):
        sel = idx == b
        n = int(sel.sum())
        if n:
            total += abs(p[sel].sum() / n - y[sel].sum() / n) * (n / len(p))
    return total


# ----------------------------------------------------------------- defaults


def test_defaults():
    s = ConfidenceDrift().detect([0.1, 0.2], [0.1, 0.2])
    assert (s.dimension, s.score, s.threshold, s.exceeded, s.method) == ("confidence", 0.0, 0.2, False, "ks(conf)")
    # Ten bins by default: 0.05 and 0.15 sit in different bins (one bin would give 0).
    args = ([0.05, 0.15], [True, False], [0.05, 0.15], [False, True])
    got = ConfidenceDrift().detect_with_correctness(*args).score
    assert got == ConfidenceDrift(0.2, 10).detect_with_correctness(*args).score
    assert got == pytest.approx(0.1, abs=1e-15)
    assert ConfidenceDrift(n_calib_bins=1).detect_with_correctness(*args).score == 0.0


@pytest.mark.parametrize(
    "threshold, exceeded", [(0.2, False), (0.0, True), (-1.0, True), (NAN, False)]
)
def test_identical_windows_and_threshold_comparison(threshold, exceeded):
    d = ConfidenceDrift(threshold=threshold)
    c, f = [0.3, 0.9, 0.5, 0.7], [True, False, True, True]
    for s in (d.detect(c, c[::-1]), d.detect_with_correctness(c, f, c, f)):
        assert s.score == 0.0
        assert s.exceeded is exceeded
        assert s.threshold == threshold or (math.isnan(threshold) and math.isnan(s.threshold))


def test_equality_counts_as_exceeded():
    s = ConfidenceDrift(threshold=0.5).detect([1.0, 2.0], [2.0, 3.0])
    assert s.score == 0.5 and s.exceeded


# ----------------------------------------------------------------- KS values


@pytest.mark.parametrize(
    "a, b, d",
    [
        ([1.0], [2.0], 1.0),
        ([1, 2, 3, 4], [5, 6], 1.0),
        ([1, 1], [1], 0.5),
        ([1], [1, 1], 0.5),
        ([0, 0, 0, 1], [0, 1, 1, 1], 0.5),
        ([math.inf], [0.0], 1.0),
        ([1.0, 2.0], [1.0, NAN], 0.5),
        ([NAN, NAN], [1.0], 1.0),
        ([0.5, NAN], [NAN, 0.5], 0.0),
    ],
)
def test_walk_values(a, b, d):
    assert ConfidenceDrift().detect(a, b).score == d
    assert ConfidenceDrift().detect(b, a).score == d


@pytest.mark.parametrize("m, n, seed", [(1, 1, 0), (10, 7, 1), (1000, 1500, 2), (20000, 5000, 3)])
def test_ks_against_scipy(m, n, seed):
    rng = np.random.default_rng(seed)
    a = rng.normal(size=m)
    b = rng.normal(0.1, 1.2, size=n)
    got = ConfidenceDrift().detect(a, b).score
    assert got == pytest.approx(stats.ks_2samp(a, b).statistic, abs=1e-12)


@settings(max_examples=60, deadline=None)
@given(
    st.lists(st.floats(allow_nan=True, allow_infinity=True, width=32), min_size=1, max_size=40),
    st.lists(st.floats(allow_nan=True, allow_infinity=True, width=32), min_size=1, max_size=40),
    st.randoms(use_true_random=False),
)
def test_ks_bounded_symmetric_and_order_free(a, b, rnd):
    d = ConfidenceDrift().detect(a, b).score
    assert 0.0 <= d <= 1.0
    assert ConfidenceDrift().detect(b, a).score == d
    shuffled = list(a)
    rnd.shuffle(shuffled)
    assert ConfidenceDrift().detect(shuffled, b).score == d


def test_array_views_and_caller_data():
    rng = np.random.default_rng(7)
    base = rng.random(4001)
    keep = base.copy()
    cur = rng.random(3000) * 0.9
    d = ConfidenceDrift()
    for view in (base[::-1], base[::3], base[10:-10]):
        assert d.detect(view, cur).score == d.detect(np.ascontiguousarray(view), cur).score
        assert d.detect(view, cur).score == d.detect(view.tolist(), tuple(cur)).score
    np.testing.assert_array_equal(base, keep)


# ----------------------------------------------------------------- calibration


@pytest.mark.parametrize(
    "scores, flags, expected",
    [
        ([0.9, 0.9], [True, False], 0.4),
        ([1.0, 1.0, 1.0], [True, True, True], 0.0),
        ([1.0, 1.0], [False, False], 1.0),
        # 1.0 shares bin 9 with 0.95; 1.7 is clamped to 1.0 there too.
        ([0.95, 1.0], [True, False], 0.475),
        ([0.95, 1.7], [True, False], 0.475),
        # 0.1 * 10 == 1.0: bin 1 with 0.15, not bin 0 with 0.05.
        ([0.1, 0.15], [True, False], 0.375),
        ([0.1, 0.05], [True, False], 0.475),
        # 0.0 and -0.5 land in bin 0.
        ([0.0, 0.05], [True, False], 0.475),
        ([-0.5, 0.05], [True, False], 0.475),
    ],
)
def test_calibration_error_values(scores, flags, expected):
    # Against a current window of confident correct answers (error 0) the score
    # is the plain KS statistic plus the baseline's calibration error.
    d = ConfidenceDrift()
    ones = [1.0, 1.0, 1.0]
    s = d.detect_with_correctness(scores, flags, ones, [True] * 3)
    assert s.score - d.detect(scores, ones).score == pytest.approx(expected, abs=1e-15)
    assert ece_reference(scores, flags, 10) == pytest.approx(expected, abs=1e-15)
    assert s.method == "ks(conf)+ece_delta"
    assert s.dimension == "confidence"


@pytest.mark.parametrize("bins", [1, 3, 10, 57])
def test_calibration_against_numpy(bins):
    rng = np.random.default_rng(bins)
    scores = rng.uniform(-0.1, 1.1, size=3000)
    fb = rng.random(3000) < scores
    fc = rng.random(3000) < scores**2
    s = ConfidenceDrift(n_calib_bins=bins).detect_with_correctness(scores, fb, scores, list(fc))
    assert s.score == pytest.approx(abs(ece_reference(scores, fc, bins) - ece_reference(scores, fb, bins)), abs=1e-12)


def test_calibration_score_not_capped():
    s = ConfidenceDrift().detect_with_correctness([1.0], [True], [0.0], [True])
    assert s.score == 2.0 and s.exceeded


def test_nan_score_makes_calibration_score_nan():
    s = ConfidenceDrift().detect_with_correctness([NAN, 0.5], [True, False], [0.5, 0.6], [True, True])
    assert math.isnan(s.score)
    assert s.exceeded is False


def test_flags_as_numpy_booleans():
    d = ConfidenceDrift()
    a = d.detect_with_correctness([0.2, 0.8], np.array([True, False]), [0.3], [np.bool_(True)])
    b = d.detect_with_correctness([0.2, 0.8], [True, False], [0.3], [True])
    assert a.score == b.score


# ----------------------------------------------------------------- errors


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda d: d.detect([], [0.5]), "insufficient samples: need at least 1, got 0 (ks_two_sample)"),
        (lambda d: d.detect([0.5], ()), "insufficient samples: need at least 1, got 0 (ks_two_sample)"),
        (
            lambda d: d.detect_with_correctness([0.1] * 5, [True] * 4, [0.2] * 3, [True] * 7),
            "dimension mismatch: expected 5, got 4 (ConfidenceDriftDetector::baseline correctness)",
        ),
        (
            lambda d: d.detect_with_correctness([0.1] * 5, [True] * 5, [0.2] * 3, [True] * 7),
            "dimension mismatch: expected 3, got 7 (ConfidenceDriftDetector::current correctness)",
        ),
        (
            lambda d: d.detect_with_correctness([], [], [0.2], [True]),
            "insufficient samples: need at least 1, got 0 (ks_two_sample)",
        ),
    ],
)
def test_core_errors(call, message):
    with pytest.raises(MorvantaError) as e:
        call(ConfidenceDrift())
    assert str(e.value) == message
    assert type(e.value) is MorvantaError


def test_zero_bins_accepted_until_calibration():
    d = ConfidenceDrift(n_calib_bins=0)
    assert d.detect([0.5], [0.5]).score == 0.0
    with pytest.raises(MorvantaError, match=r"^invalid configuration: ece: n_bins must be > 0$"):
        d.detect_with_correctness([0.5], [True], [0.5], [False])
    # The KS step comes first: an empty window wins over the bin count.
    with pytest.raises(MorvantaError, match=r"\(ks_two_sample\)$"):
        d.detect_with_correctness([], [], [0.5], [False])


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: ConfidenceDrift(threshold="high"), "threshold"),
        (lambda: ConfidenceDrift(n_calib_bins=2.0), "n_calib_bins"),
        (lambda: ConfidenceDrift().detect("0.5", [0.5]), "baseline_confidences"),
        (lambda: ConfidenceDrift().detect([0.5], [0.5, None]), "current_confidences"),
        (lambda: ConfidenceDrift().detect_with_correctness([0.5], [1], [0.5], [True]), "baseline_correct"),
        (lambda: ConfidenceDrift().detect_with_correctness([0.5], [True], {0.5}, [True]), "current_confidences"),
        (lambda: ConfidenceDrift().detect_with_correctness([0.5], [True], [0.5], [0]), "current_correct"),
    ],
)
def test_conversion_errors_name_the_argument(call, name):
    with pytest.raises(TypeError, match=rf"^argument '{name}': "):
        call()


def test_negative_bin_count_overflows_without_prefix():
    with pytest.raises(OverflowError) as e:
        ConfidenceDrift(n_calib_bins=-1)
    assert not str(e.value).startswith("argument")


# ----------------------------------------------------------------- threads


def test_threads_share_one_detector():
    rng = np.random.default_rng(11)
    a, b = rng.random(200000), rng.random(150000) ** 1.1
    fa, fb = (rng.random(200000) < a).tolist(), (rng.random(150000) < b).tolist()
    d = ConfidenceDrift()
    expected = (d.detect(a, b).score, d.detect_with_correctness(a, fa, b, fb).score)
    results = []

    def work():
        results.append((d.detect(a, b).score, d.detect_with_correctness(a, fa, b, fb).score))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 4

"""ConfidenceDrift: KS of the confidences, plus the change in calibration error."""

import math

import numpy as np
import pytest
from conftest import KS_EMPTY, NAN, check_raises
from scipy import stats

from morvanta import ConfidenceDrift, MorvantaError

ARGS = ([0.05, 0.15], [True, False], [0.05, 0.15], [False, True])  # KS 0; ECE 0.55 vs 0.45 in ten bins


def test_defaults_modes_and_thresholds():
    d = ConfidenceDrift()
    s = d.detect([0.1, 0.2], [0.2, 0.1])
    assert (s.dimension, s.score, s.threshold, s.exceeded, s.method) == ("confidence", 0.0, 0.2, False, "ks(conf)")
    c = d.detect_with_correctness(*ARGS)
    assert (c.dimension, c.method, c.score) == ("confidence", "ks(conf)+ece_delta", pytest.approx(0.1, abs=1e-15))
    assert ConfidenceDrift(n_calib_bins=1).detect_with_correctness(*ARGS).score == 0.0
    flags = (np.array(ARGS[1]), [np.bool_(False), np.bool_(True)])
    assert d.detect_with_correctness(ARGS[0], flags[0], ARGS[2], flags[1]).score == c.score
    assert d.detect_with_correctness([1.0], [True], [0.0], [True]).score == 2.0  # not capped
    n = d.detect_with_correctness([NAN, 0.5], [True, False], [0.5, 0.6], [True, True])
    assert math.isnan(n.score) and n.exceeded is False


@pytest.mark.parametrize("m, n", [(1, 1), (10, 7), (1000, 1500), (20000, 5000)])
def test_ks_against_scipy_symmetric_and_order_free(m, n):
    rng = np.random.default_rng(m)
    a, b = rng.normal(size=m), rng.normal(0.1, 1.2, size=n)
    keep, d = a.copy(), ConfidenceDrift()
    s = d.detect(a, b).score
    assert s == pytest.approx(stats.ks_2samp(a, b).statistic, abs=1e-12)
    assert d.detect(b, a).score == s == d.detect(a[::-1], b[rng.permutation(n)]).score
    np.testing.assert_array_equal(a, keep)


@pytest.mark.parametrize("call, exc, text", [
    (lambda d: d.detect([], [0.5]), MorvantaError, KS_EMPTY),
    (lambda d: d.detect_with_correctness([0.1] * 5, [True] * 4, [0.2] * 3, [True] * 7), MorvantaError,
     "dimension mismatch: expected 5, got 4 (ConfidenceDriftDetector::baseline correctness)"),
    (lambda d: d.detect_with_correctness([0.1] * 5, [True] * 5, [0.2] * 3, [True] * 7), MorvantaError,
     "dimension mismatch: expected 3, got 7 (ConfidenceDriftDetector::current correctness)"),
    (lambda d: d.detect_with_correctness([], [], [0.2], [True]), MorvantaError, KS_EMPTY),
    (lambda d: d.detect_with_correctness([0.5], [True], [0.5], [False]), MorvantaError,
     "invalid configuration: ece: n_bins must be > 0"),
    (lambda d: d.detect_with_correctness([0.5], [True], [0.5], [0]), TypeError, "argument 'current_correct': "),
])
def test_errors(call, exc, text):
    check_raises(lambda: call(ConfidenceDrift(n_calib_bins=0)), exc, text)

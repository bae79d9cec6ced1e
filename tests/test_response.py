"""ResponseDrift: the Kolmogorov-Smirnov statistic of the answer lengths, plus the
sliced Wasserstein distance of the answer embeddings in the second mode."""

import numpy as np
import pytest
from conftest import KS_EMPTY, NAN, check_raises, concurrently, emb
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy import stats

from morvanta import MorvantaError, ResponseDrift

LENGTHS = ([3.5, 1.0, 7.25, 2.0], (2.0, 9.0, 4.0))


@pytest.mark.parametrize("kwargs, a, b, score, exceeded", [
    ({}, [1, 2, 3], [1, 2, 3], 0.0, False),
    ({}, [1], [2], 1.0, True),
    ({}, *LENGTHS, stats.ks_2samp(*LENGTHS).statistic, True),
    ({"threshold": 0.5}, [1, 2], np.array([2, 3]), 0.5, True),  # equality counts as exceeded
    ({"threshold": -1.0}, [1, 2, 3], [3, 2, 1], 0.0, True),
    ({"threshold": NAN}, [1], [2], 1.0, False),
])
def test_detect(kwargs, a, b, score, exceeded):
    s = ResponseDrift(**kwargs).detect(a, b)
    assert (s.dimension, s.score, s.exceeded, s.method) == ("response", score, exceeded, "ks(length)")
    assert str(s.threshold) == str(kwargs.get("threshold", 0.2))


E4, E5 = emb(3, 4, 1), emb(3, 5, 2)


@pytest.mark.parametrize("call, exc, text", [
    # The lengths are checked before the embeddings (the core messages are in test_error_fields).
    (lambda d: d.detect_with_embeddings([1], [], E4, E5), MorvantaError, KS_EMPTY),
    (lambda d: d.detect("123", [1]), TypeError, "argument 'baseline_lengths': "),
    (lambda d: d.detect_with_embeddings([1], [2], E4, E4.astype(np.float64)), TypeError,
     "argument 'current_embeddings': "),
])
def test_errors(call, exc, text):
    check_raises(lambda: call(ResponseDrift()), exc, text)


def test_embedding_mode_seed_and_order():
    x, y = emb(40, 16, 3), emb(3, 16, 4, 0.3)
    lengths, d0 = list(range(10)), ResponseDrift()
    s = d0.detect_with_embeddings(lengths, [1, 2, 3], x, y)  # 10 lengths, 3 rows: not compared
    assert (s.method, s.dimension) == ("ks(length)+sw(emb)", "response")
    assert ResponseDrift(0.2, 0).detect_with_embeddings(lengths, [1, 2, 3], x, y).score == s.score
    assert ResponseDrift(seed=1).detect_with_embeddings(lengths, [1, 2, 3], x, y).score != s.score
    assert ResponseDrift(seed=1).detect(lengths, [1, 2, 3]).score == d0.detect(lengths, [1, 2, 3]).score
    # Row order and the side of each window do not matter, bit for bit.
    rng = np.random.default_rng(0)
    assert d0.detect_with_embeddings(lengths[::-1], [3, 1, 2], rng.permutation(x), y[::-1]).score == s.score
    assert d0.detect_with_embeddings([1, 2, 3], lengths, y, x).score == s.score
    same = d0.detect_with_embeddings([1, 2, 3], [3, 2, 1], x, x)
    assert (same.score, same.exceeded) == (0.0, False)


# With one column every unit direction is +-1, so the sliced distance is the 1-D
# Wasserstein distance of the column, which SciPy computes independently.
@settings(max_examples=60, deadline=None)
@given(st.lists(st.floats(-1e3, 1e3, width=32), min_size=1, max_size=40),
       st.lists(st.floats(-1e3, 1e3, width=32), min_size=1, max_size=40),
       st.integers(0, 2**64 - 1))
def test_one_column_matches_scipy(a, b, seed):
    x = np.array(a, dtype=np.float32).reshape(-1, 1)
    y = np.array(b, dtype=np.float32).reshape(-1, 1)
    got = ResponseDrift(seed=seed).detect_with_embeddings([1], [1], x, y).score
    want = stats.wasserstein_distance(x[:, 0].astype(np.float64), y[:, 0].astype(np.float64))
    scale = float(max(np.abs(x).max(), np.abs(y).max()))  # a float32 tolerance is refused by pytest.approx
    assert got == pytest.approx(want, rel=1e-12, abs=1e-13 * scale)


def test_concurrent_calls_match_sequential():
    d = ResponseDrift(seed=3)
    x, y = emb(400, 64, 8), emb(300, 64, 9, 0.05)
    lengths = list(np.random.default_rng(1).integers(1, 100, 200))
    ref = d.detect_with_embeddings(lengths, lengths[:150], x, y).score
    assert concurrently(*[lambda: d.detect_with_embeddings(lengths, lengths[:150], x, y).score] * 4) == [[ref] * 3] * 4

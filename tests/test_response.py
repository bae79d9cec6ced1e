"""ResponseDrift: the Kolmogorov-Smirnov statistic of the answer lengths, plus the
sliced Wasserstein distance of the answer embeddings in the second mode."""

import inspect
import math
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy import stats

from morvanta import MorvantaError, ResponseDrift

NAN = float("nan")
KS_EMPTY = "insufficient samples: need at least 1, got 0 (ks_two_sample)"


def emb(rows, cols, seed, shift=0.0):
    return (np.random.default_rng(seed).standard_normal((rows, cols)) + shift).astype(np.float32)


def test_signatures_and_defaults():
    assert str(inspect.signature(ResponseDrift)) == "(threshold=0.2, seed=0)"
    assert list(inspect.signature(ResponseDrift.detect_with_embeddings).parameters)[-4:] == [
        "baseline_lengths", "current_lengths", "baseline_embeddings", "current_embeddings"]
    x, y = emb(20, 8, 1), emb(30, 8, 2, 0.2)
    got = ResponseDrift().detect_with_embeddings([1, 2], [2, 3], x, y)
    assert got.threshold == 0.2
    assert got.score == ResponseDrift(0.2, 0).detect_with_embeddings([1, 2], [2, 3], x, y).score


@pytest.mark.parametrize("a, b, threshold, score, exceeded", [
    ([1, 2, 3], [1, 2, 3], 0.2, 0.0, False),
    ([1], [2], 0.2, 1.0, True),
    ([1, 2], [2, 3], 0.5, 0.5, True),  # equality counts as exceeded
    ([1, 2, 3], [3, 2, 1], -1.0, 0.0, True),
    ([1], [2], NAN, 1.0, False),
])
def test_detect(a, b, threshold, score, exceeded):
    s = ResponseDrift(threshold=threshold).detect(a, b)
    assert (s.dimension, s.score, s.exceeded, s.method) == ("response", score, exceeded, "ks(length)")
    assert s.threshold == threshold or math.isnan(threshold)


def test_length_sequence_kinds_agree():
    a, b = [3.5, 1.0, 7.25, 2.0], [2.0, 9.0, 4.0]
    ref = ResponseDrift().detect(a, b).score
    assert ref == stats.ks_2samp(a, b).statistic
    assert ResponseDrift().detect(tuple(a), np.array(b)).score == ref
    with pytest.raises(TypeError, match="^argument 'baseline_lengths'"):
        ResponseDrift().detect("123", b)


def test_errors_in_order():
    d = ResponseDrift()
    e4, e5 = emb(3, 4, 1), emb(3, 5, 2)
    for call in (lambda: d.detect([], [1]), lambda: d.detect_with_embeddings([], [1], e4, e5)):
        with pytest.raises(MorvantaError) as info:
            call()
        assert str(info.value) == KS_EMPTY
    cases = [
        (e4, e5, "dimension mismatch: expected 4, got 5 (sliced_wasserstein)"),
        (e4[:0], e4, "insufficient samples: need at least 1, got 0 (sliced_wasserstein)"),
        (np.where(e4 > 0, np.float32(NAN), e4), e4,
         "numerical instability in sliced_wasserstein (NaN or infinity)"),
    ]
    for x, y, msg in cases:
        with pytest.raises(MorvantaError) as info:
            d.detect_with_embeddings([1], [2], x, y)
        assert str(info.value) == msg
    with pytest.raises(TypeError, match="^argument 'current_embeddings'"):
        d.detect_with_embeddings([1], [2], e4, e4.astype(np.float64))
    with pytest.raises(OverflowError):
        ResponseDrift(seed=-1)
    with pytest.raises(OverflowError):
        ResponseDrift(seed=2**64)


def test_embedding_mode_properties():
    x, y = emb(40, 16, 3), emb(3, 16, 4, 0.3)
    lengths = list(range(10))
    d0 = ResponseDrift(seed=0)
    s = d0.detect_with_embeddings(lengths, [1, 2, 3], x, y)  # 10 lengths, 3 rows: not compared
    assert s.method == "ks(length)+sw(emb)" and s.dimension == "response"
    assert d0.detect_with_embeddings(lengths, [1, 2, 3], x, y).score == s.score
    assert ResponseDrift(seed=0).detect_with_embeddings(lengths, [1, 2, 3], x, y).score == s.score
    assert ResponseDrift(seed=1).detect_with_embeddings(lengths, [1, 2, 3], x, y).score != s.score
    assert ResponseDrift(seed=1).detect(lengths, [1, 2, 3]).score == d0.detect(lengths, [1, 2, 3]).score
    # Row order and the side of each window do not matter, bit for bit.
    rng = np.random.default_rng(0)
    assert d0.detect_with_embeddings(lengths[::-1], [3, 1, 2], rng.permutation(x), y[::-1]).score == s.score
    assert d0.detect_with_embeddings([1, 2, 3], lengths, y, x).score == s.score
    same = d0.detect_with_embeddings([1, 2, 3], [3, 2, 1], x, x)
    assert (same.score, same.exceeded) == (0.0, False)


def test_memory_layouts_give_identical_scores():
    big = emb(60, 30, 5)
    y = emb(25, 10, 6, 0.1)
    x = big[::2, ::3]  # strided slice, 30 x 10
    d = ResponseDrift(seed=7)
    ref = d.detect_with_embeddings([1], [2], np.ascontiguousarray(x), y).score
    before = big.copy()
    for view in (x, np.asfortranarray(x), np.ascontiguousarray(x.T).T, x[::-1]):
        assert d.detect_with_embeddings([1], [2], view, y).score == ref
    flipped = x[:, ::-1]
    assert d.detect_with_embeddings([1], [2], flipped, y).score == \
        d.detect_with_embeddings([1], [2], flipped.copy(), y).score
    np.testing.assert_array_equal(big, before)


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
    scale = max(np.abs(x).max(), np.abs(y).max())
    assert got == pytest.approx(want, rel=1e-12, abs=1e-13 * scale)


def test_concurrent_calls_match_sequential():
    d = ResponseDrift(seed=3)
    x, y = emb(400, 64, 8), emb(300, 64, 9, 0.05)
    lengths = list(np.random.default_rng(1).integers(1, 100, 200))
    ref = d.detect_with_embeddings(lengths, lengths[:150], x, y).score
    got = []

    def work():
        for _ in range(3):
            got.append(d.detect_with_embeddings(lengths, lengths[:150], x, y).score)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == [ref] * 12

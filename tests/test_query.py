"""QueryDrift: k-means on the baseline queries, nearest-centroid assignment of the
current ones, symmetric KL divergence of the two cluster-frequency vectors."""

import math

import numpy as np
import pytest
from conftest import check_raises, concurrently
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy import special

from morvanta import MorvantaError, QueryDrift

EPS = 1e-6


def groups(counts, d=10, seed=0):
    """Tight groups at 100 on separate axes; group g has counts[g] rows."""
    rng = np.random.default_rng(seed)
    rows = [np.eye(d, dtype=np.float32)[g] * 100 + rng.normal(0, 0.01, (c, d)) for g, c in enumerate(counts)]
    return np.concatenate(rows).astype(np.float32)


def sym_kl(p, q):
    p, q = np.asarray(p, np.float64) + EPS, np.asarray(q, np.float64) + EPS
    return 0.5 * (special.rel_entr(p, q).sum() + special.rel_entr(q, p).sum())


def blob_windows(seed=3, n=400, m=300, d=16):
    rng = np.random.default_rng(seed)
    centres = rng.normal(0, 1, (8, d))
    base = centres[rng.integers(0, 8, n)] + rng.normal(0, 1, (n, d))
    cur = centres[rng.integers(0, 8, m)] + rng.normal(0.2, 1, (m, d))
    return base.astype(np.float32), cur.astype(np.float32)


@pytest.mark.parametrize("k, base, cur, want", [
    (2, np.repeat([[0, 0], [10, 10]], 50, axis=0), np.full((30, 2), 10), 0.25 * math.log((1 + EPS) / EPS)),
    (8, groups([10] * 8, d=8), np.zeros((0, 8)), 0.5 * math.log((0.125 + EPS) / EPS)),  # empty current
    (5, groups([3, 9, 1, 4, 7]), groups([3, 9, 1, 4, 7]), 0.0),
    (2, groups([10, 10]), np.full((10, 10), np.nan), sym_kl([0.5, 0.5], [1, 0])),  # NaN rows go to cluster 0
])
def test_stated_scores(k, base, cur, want):
    s = QueryDrift(threshold=0.0, k=k).detect(base.astype(np.float32), cur.astype(np.float32))
    assert s.score == pytest.approx(want, rel=1e-9, abs=0.0)
    assert s.exceeded  # 0 reaches a threshold of 0


@settings(max_examples=40, deadline=None)
@given(st.lists(st.tuples(st.integers(1, 30), st.integers(0, 30)), min_size=1, max_size=10), st.integers(0, 2**64 - 1))
def test_matches_scipy_on_known_clusters(counts, seed):
    base_counts, cur_counts = zip(*counts)
    p = np.array(base_counts) / sum(base_counts)
    q = np.array(cur_counts) / max(sum(cur_counts), 1)
    s = QueryDrift(k=len(counts), seed=seed).detect(groups(base_counts, seed=1), groups(cur_counts, seed=2))
    # Cluster numbering is arbitrary, so only the order of the k terms may differ.
    assert s.score == pytest.approx(sym_kl(p, q), rel=1e-12, abs=1e-15)


def spoiled(base, where, value):
    base = base.copy()
    base[where] = value
    return base


NAN_BASE, INF_BASE = spoiled(groups([10] * 3), (7, 2), np.nan), spoiled(groups([10] * 3), (3, 0), -np.inf)
HUGE_BASE = spoiled(np.full((30, 2), 3e38, np.float32), (4, 1), -3e38)
INSTABILITY = "numerical instability in kmeans (NaN or infinity)"


@pytest.mark.parametrize("k, base, cur, message", [
    (8, groups([1] * 5), groups([1] * 5), "invalid configuration: kmeans: k=8 exceeds sample count n=5"),
    (0, groups([3]), groups([3]), "invalid configuration: kmeans: k must be > 0"),
    (8, np.zeros((0, 8)), np.zeros((2, 8)), "invalid configuration: kmeans: k=8 exceeds sample count n=0"),
    # Columns are compared before clustering, even with an unusable k.
    (0, np.zeros((20, 16)), np.zeros((20, 8)), "dimension mismatch: expected 16, got 8 (QueryDriftDetector::detect)"),
    (1, NAN_BASE, groups([3]), INSTABILITY), (3, NAN_BASE, groups([3]), INSTABILITY),
    (1, INF_BASE, groups([3]), INSTABILITY),
    (1, HUGE_BASE, HUGE_BASE, INSTABILITY), (2, HUGE_BASE, HUGE_BASE, INSTABILITY),  # squared distances overflow
])
def test_core_errors(k, base, cur, message):
    check_raises(lambda: QueryDrift(k=k).detect(base.astype(np.float32), cur.astype(np.float32)), MorvantaError, message)


F32 = np.zeros((4, 3), np.float32)


@pytest.mark.parametrize("call, name", [
    (lambda: QueryDrift().detect(np.zeros((4, 3)), F32), "baseline"),  # no cast
    (lambda: QueryDrift().detect(F32, np.zeros(3, np.float32)), "current"),
    (lambda: QueryDrift(k=2.0), "k"),
    (lambda: QueryDrift(seed=1.5), "seed"),
])
def test_argument_errors(call, name):
    check_raises(call, TypeError, f"argument '{name}': ")


def test_defaults_edge_arguments_seed_and_current_order():
    base, cur = blob_windows()
    s = QueryDrift().detect(base, base)
    assert (s.dimension, s.score, s.threshold, s.exceeded, s.method) == ("query", 0.0, 0.1, False, "kmeans+sym_kl")
    assert not QueryDrift(threshold=float("nan")).detect(base, cur).exceeded
    assert QueryDrift(k=True).detect(base, cur).score == 0.0  # one cluster: P = Q
    assert QueryDrift(seed=2**64 - 1).detect(base, cur).score > 0.0
    scores = [QueryDrift(seed=s).detect(base, cur).score for s in range(6)]
    assert [QueryDrift(seed=s).detect(base, cur).score for s in range(6)] == scores
    assert len(set(scores)) > 1 and QueryDrift().detect(base, cur).score == scores[0]
    perm = np.random.default_rng(0).permutation(len(cur))
    assert QueryDrift(seed=4).detect(base, cur[perm]).score == scores[4]


def test_concurrent_calls_on_one_detector():
    # Layouts and worker counts: test_parallel.
    base, cur = blob_windows(seed=11, n=3000, m=2000, d=32)
    det = QueryDrift(seed=2)
    want = det.detect(base, cur).score
    assert concurrently(*[lambda: det.detect(base, cur).score] * 4) == [[want] * 3] * 4

"""QueryDrift: k-means on the baseline queries, nearest-centroid assignment of the
current ones, symmetric KL divergence of the two cluster-frequency vectors."""

import inspect
import math
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy import special

from morvanta import MorvantaError, QueryDrift

EPS = 1e-6


def groups(counts, d=8, seed=0, spread=0.01):
    """Rows in tight groups far apart along separate axes; group g has counts[g] rows."""
    rng = np.random.default_rng(seed)
    rows = []
    for g, c in enumerate(counts):
        centre = np.zeros(d, dtype=np.float32)
        centre[g % d] = 100.0
        centre[(g // d) % d] -= 100.0 * (g >= d)
        rows.append(centre + rng.normal(0, spread, (c, d)).astype(np.float32))
    return np.concatenate(rows).astype(np.float32) if rows else np.zeros((0, d), np.float32)


def sym_kl(p, q):
    p = np.asarray(p, dtype=np.float64) + EPS
    q = np.asarray(q, dtype=np.float64) + EPS
    return 0.5 * (special.rel_entr(p, q).sum() + special.rel_entr(q, p).sum())


def blob_windows(seed=3, n=400, m=300, d=16):
    rng = np.random.default_rng(seed)
    centres = rng.normal(0, 1, (8, d)).astype(np.float32)
    base = centres[rng.integers(0, 8, n)] + rng.normal(0, 1, (n, d)).astype(np.float32)
    cur = centres[rng.integers(0, 8, m)] + rng.normal(0.2, 1, (m, d)).astype(np.float32)
    return base.astype(np.float32), cur.astype(np.float32)


# ----------------------------------------------------------------- surface


def test_signatures_and_result_fields():
    assert str(inspect.signature(QueryDrift)) == "(threshold=0.1, k=8, seed=0)"
    assert QueryDrift.detect.__text_signature__ == "($self, baseline, current)"
    base = groups([10] * 8)
    s = QueryDrift().detect(base, base)
    assert (s.dimension, s.score, s.threshold, s.exceeded, s.method) == ("query", 0.0, 0.1, False, "kmeans+sym_kl")
    assert not hasattr(QueryDrift(), "threshold")


def test_two_clusters_example():
    base = np.concatenate([np.zeros((50, 2)), np.full((50, 2), 10.0)]).astype(np.float32)
    s = QueryDrift(k=2).detect(base, np.full((30, 2), 10.0, np.float32))
    assert s.score == pytest.approx(0.25 * math.log((1 + EPS) / EPS), rel=1e-9)
    assert s.score == pytest.approx(3.45388, abs=1e-5) and s.exceeded


def test_empty_current_window():
    s = QueryDrift().detect(groups([10] * 8), np.zeros((0, 8), np.float32))
    assert s.score == pytest.approx(0.5 * math.log((0.125 + EPS) / EPS), rel=1e-9)
    assert s.score == pytest.approx(5.86804, abs=1e-5)


@pytest.mark.parametrize("k", [1, 2, 5, 8])
def test_identical_separated_windows_score_zero(k):
    base = groups([12] * k, seed=k)
    s = QueryDrift(threshold=0.0, k=k).detect(base, base)
    assert s.score == 0.0 and s.exceeded  # equality counts as reached


@settings(max_examples=40, deadline=None)
@given(
    base_counts=st.lists(st.integers(1, 30), min_size=1, max_size=10),
    data=st.data(),
)
def test_matches_scipy_divergence_on_known_clusters(base_counts, data):
    k = len(base_counts)
    cur_counts = data.draw(st.lists(st.integers(0, 30), min_size=k, max_size=k))
    base = groups(base_counts, d=10, seed=1)
    cur = groups(cur_counts, d=10, seed=2)
    p = np.array(base_counts) / sum(base_counts)
    q = np.array(cur_counts) / sum(cur_counts) if sum(cur_counts) else np.zeros(k)
    s = QueryDrift(k=k, seed=data.draw(st.integers(0, 2**64 - 1))).detect(base, cur)
    # Cluster numbering is arbitrary, so only the order of the k terms differs.
    assert s.score == pytest.approx(sym_kl(p, q), rel=1e-12, abs=1e-15)


# ----------------------------------------------------------------- errors


@pytest.mark.parametrize(
    "kwargs, base, cur, message",
    [
        ({"k": 8}, groups([1] * 5), groups([1] * 5), "invalid configuration: kmeans: k=8 exceeds sample count n=5"),
        ({"k": 0}, groups([3]), groups([3]), "invalid configuration: kmeans: k must be > 0"),
        ({}, np.zeros((0, 8), np.float32), groups([2]), "invalid configuration: kmeans: k=8 exceeds sample count n=0"),
        # Columns are compared before clustering, even with an unusable k.
        ({"k": 0}, np.zeros((20, 16), np.float32), np.zeros((20, 8), np.float32),
         "dimension mismatch: expected 16, got 8 (QueryDriftDetector::detect)"),
    ],
)
def test_core_errors(kwargs, base, cur, message):
    with pytest.raises(MorvantaError) as exc:
        QueryDrift(**kwargs).detect(base, cur)
    assert str(exc.value) == message and type(exc.value) is MorvantaError


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf, 3e38])
@pytest.mark.parametrize("k", [1, 3])
def test_non_finite_or_overflowing_baseline(value, k):
    base = groups([10, 10, 10])
    base[7, 2] = value
    if value == 3e38:
        base[:, 0] = 3e38  # sums (k = 1) or squared distances (k = 3) leave the float range
    with pytest.raises(MorvantaError, match=r"^numerical instability in kmeans \(NaN or infinity\)$"):
        QueryDrift(k=k).detect(base, groups([3]))


def test_non_finite_current_rows_go_to_cluster_zero():
    base = groups([10, 10])
    cur = groups([5, 5])
    cur[:] = np.nan
    s = QueryDrift(k=2).detect(base, cur)
    # Every current row lands in one cluster: the same as all rows in one group.
    assert s.score == pytest.approx(sym_kl([0.5, 0.5], [1.0, 0.0]), rel=1e-12)


@pytest.mark.parametrize(
    "args, name",
    [
        ((np.zeros((4, 3)), np.zeros((4, 3), np.float32)), "baseline"),  # float64 is refused, not cast
        ((np.zeros((4, 3), np.float32), np.zeros((4, 3), np.int32)), "current"),
        (([[0.0] * 3] * 4, np.zeros((4, 3), np.float32)), "baseline"),
        ((np.zeros((4, 3), np.float32), np.zeros(3, np.float32)), "current"),
        ((np.zeros((4, 3), np.float32), np.zeros((1, 4, 3), np.float32)), "current"),
    ],
)
def test_array_arguments_refused(args, name):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        QueryDrift().detect(*args)


def test_constructor_conversions():
    with pytest.raises(OverflowError):
        QueryDrift(k=-1)
    with pytest.raises(OverflowError):
        QueryDrift(seed=2**64)
    with pytest.raises(TypeError, match="^argument 'k': "):
        QueryDrift(k=2.0)
    with pytest.raises(TypeError, match="^argument 'threshold': "):
        QueryDrift(threshold="0.1")
    base, cur = blob_windows()
    # Accepted unchanged: NaN threshold (never exceeded), bool k, largest seed.
    assert not QueryDrift(threshold=float("nan")).detect(base, cur).exceeded
    assert QueryDrift(k=True).detect(base, cur).score == 0.0
    assert QueryDrift(seed=2**64 - 1).detect(base, cur).score >= 0.0


# ----------------------------------------------------------------- properties


def test_deterministic_and_seed_sensitive():
    base, cur = blob_windows()
    scores = {seed: QueryDrift(seed=seed).detect(base, cur).score for seed in range(6)}
    assert all(QueryDrift(seed=s).detect(base, cur).score == v for s, v in scores.items())
    assert len(set(scores.values())) > 1
    assert all(v > 0 for v in scores.values())


def test_current_row_order_does_not_matter():
    base, cur = blob_windows(seed=5)
    want = QueryDrift(seed=4).detect(base, cur).score
    perm = np.random.default_rng(0).permutation(len(cur))
    assert QueryDrift(seed=4).detect(base, cur[perm]).score == want


def _layouts(a):
    """Equal logical contents in other memory layouts."""
    yield np.asfortranarray(a)
    yield np.ascontiguousarray(a.T).T
    yield np.ascontiguousarray(a[::-1])[::-1]
    yield np.ascontiguousarray(a[:, ::-1])[:, ::-1]
    wide = np.zeros((a.shape[0] * 2, a.shape[1] * 3), np.float32)
    wide[::2, 1::3] = a
    yield wide[::2, 1::3]


def test_memory_layout_is_bit_identical_and_inputs_untouched():
    base, cur = blob_windows(seed=7)
    want = QueryDrift(seed=9).detect(base, cur).score
    for b, c in zip(_layouts(base), _layouts(cur)):
        assert not (b.flags.c_contiguous and c.flags.c_contiguous)
        b0, c0 = b.copy(), c.copy()
        got = QueryDrift(seed=9).detect(b, c).score
        assert np.float64(got).tobytes() == np.float64(want).tobytes()
        assert np.array_equal(b, b0) and np.array_equal(c, c0)


def test_threads_share_a_detector():
    base, cur = blob_windows(seed=11, n=3000, m=2000, d=32)
    det = QueryDrift(seed=2)
    want = det.detect(base, cur).score
    results = []

    def work():
        results.extend(det.detect(base, cur).score for _ in range(3))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [want] * 12

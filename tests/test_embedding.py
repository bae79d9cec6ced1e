"""EmbeddingDrift: clamped squared MMD (median bandwidth, unbiased) plus the sliced
Wasserstein distance, its inputs, errors, determinism, threads and fork safety."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest
from conftest import check_raises, concurrently, emb

from morvanta import EmbeddingDrift, MorvantaError, ResponseDrift


def numpy_mmd(x, y):
    """Unbiased MMD^2 with the median heuristic of the first 256 rows, directly."""
    def d2(a, b):
        return ((a[:, None, :] - b[None, :, :]).astype(np.float64) ** 2).sum(axis=2)
    p = np.concatenate([x[:256], y[:256]])
    d = np.sqrt(d2(p, p)[np.triu_indices(len(p), 1)])
    s = max(np.sort(d)[len(d) // 2] ** 2, 2.0**-52)
    k = lambda a, b: np.exp(-d2(a, b) / (2 * s))
    n, m = len(x), len(y)
    kxx, kyy = k(x, x).sum() - n, k(y, y).sum() - m
    return kxx / (n * (n - 1)) + kyy / (m * (m - 1)) - 2 * k(x, y).sum() / (n * m)


@pytest.mark.parametrize("shift, rows", [(0.0, (40, 30)), (0.4, (50, 45)), (1.5, (300, 12))])
def test_discrepancy_matches_numpy(shift, rows):
    # With equal length samples the response detector gives exactly the sliced part.
    x, y = emb(rows[0], 6, 3), emb(rows[1], 6, 4, shift)
    sw = ResponseDrift(seed=7).detect_with_embeddings([1.0], [1.0], x, y).score
    got = EmbeddingDrift(n_projections=32, seed=7).detect(x, y).score - sw
    want = max(numpy_mmd(x, y), 0.0)
    assert got == pytest.approx(want, rel=1e-10, abs=1e-15)


def test_same_sample_and_threshold_comparison():
    x = emb(60, 16, 5)
    s = EmbeddingDrift(threshold=1e-300).detect(x, x)  # negative discrepancy clamped, sliced part 0
    assert (s.dimension, s.score, s.exceeded, s.method) == ("embedding", 0.0, False, "mmd+sw")
    y = emb(30, 16, 7, 0.5)
    score = EmbeddingDrift().detect(x, y).score
    assert EmbeddingDrift(threshold=score).detect(x, y).exceeded
    assert not EmbeddingDrift(threshold=np.nextafter(score, 1.0)).detect(x, y).exceeded
    assert not EmbeddingDrift(threshold=float("nan")).detect(x, y).exceeded


@pytest.mark.parametrize("x, y, projections, exc, text", [
    (emb(1, 3, 1), emb(0, 5, 2), 0, MorvantaError, "dimension mismatch: expected 3, got 5 (mmd_rbf)"),
    (emb(5, 4, 1), emb(6, 4, 2), 0, MorvantaError,
     "invalid configuration: sliced_wasserstein: n_projections must be > 0"),
    (emb(5, 4, 1), emb(5, 4, 2).ravel(), 64, TypeError, "argument 'current': "),
])
def test_errors_in_order(x, y, projections, exc, text):
    check_raises(lambda: EmbeddingDrift(n_projections=projections).detect(x, y), exc, text)


def test_seed_and_threads():
    x, y = emb(70, 12, 8), emb(64, 12, 9, 0.2)
    det = EmbeddingDrift(seed=3)
    want = det.detect(x, y).score
    assert EmbeddingDrift(seed=4).detect(x, y).score != want
    assert not hasattr(det, "threshold")
    # Concurrent calls on one detector, each thread with its own windows, share the pool.
    pairs = [(emb(150, 24, i), emb(140, 24, i + 100, 0.1 * i)) for i in range(4)]
    calls = [lambda a=a, b=b: det.detect(a, b).score for a, b in pairs]
    assert concurrently(*calls) == [[c()] * 3 for c in calls]


def run_script(body, timeout=120):
    code = textwrap.dedent("""
        import os, sys, warnings, multiprocessing as mp
        import numpy as np
        from morvanta import EmbeddingDrift
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads alive is the point
        rng = np.random.default_rng(0)
        X = rng.standard_normal((600, 32), dtype=np.float32)
        Y = rng.standard_normal((500, 32), dtype=np.float32) + np.float32(0.1)
        def score(_=None):
            return EmbeddingDrift().detect(X, Y).score
    """) + textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)


def test_fork_child_restarts_pool():
    r = run_script("""
        want = score()  # the pool runs in the parent now
        with mp.get_context("fork").Pool(2) as pool:
            assert pool.map(score, range(4)) == [want] * 4
        assert score() == want
        print("ok")
    """)
    assert r.returncode == 0 and r.stdout.strip() == "ok", r.stderr


@pytest.mark.parametrize("busy", [False, True])
def test_exit_with_pool_alive(busy):
    r = run_script(f"""
        import threading
        score()
        if {busy}:  # a daemon thread is still inside detect at shutdown
            threading.Thread(target=lambda: [score() for _ in range(1000)], daemon=True).start()
        print("ok")
        sys.exit(0)
    """, timeout=60)
    assert r.returncode == 0 and r.stdout.strip() == "ok", r.stderr

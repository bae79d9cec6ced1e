"""Permutation tests: morvanta.permutation_test against the usual peers.

1. KS at 100,000 values per side, 999 permutations: morvanta (pooled values sorted
   once, one labelled walk per permutation) vs scipy.stats.permutation_test with a
   vectorized KS statistic (sup|F1 - F2|, gap measured after each run of ties) and
   the same permutation count.
2. EmbeddingDrift at 2,000 x 384 per side, 999 permutations, against one
   EmbeddingDrift.detect call on the same windows.
3. The peer anchor for MMD: a NumPy permutation test that builds the pooled kernel
   matrix once and re-sums it for a batch of permutations with label-matrix
   products (the batched-matrix form), 100 permutations at n = 2,000 per side.

One timed run each (after a warm-up for the cheap ones). Options:
  --scipy-permutations N   permutations for the scipy case (default 199, which keeps
                           the case well under a minute; its time scales linearly,
                           so the 999-permutation figure is printed extrapolated;
                           pass 999 for the measured one)
"""

import argparse
import time

import numpy as np
from scipy import stats

from morvanta import ConfidenceDrift, EmbeddingDrift, permutation_test


def timed(fn, warm=False):
    if warm:
        fn()
    t0 = time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, out


def ks_vectorized(x, y, axis=-1):
    m = x.shape[axis]
    z = np.concatenate([x, y], axis=axis)
    order = np.argsort(z, axis=axis, kind="stable")
    zs = np.take_along_axis(z, order, axis=axis)
    base = order < m
    f1 = np.cumsum(base, axis=axis) / m
    f2 = np.cumsum(~base, axis=axis) / y.shape[axis]
    last = np.ones(zs.shape, bool)
    last[..., :-1] = zs[..., 1:] != zs[..., :-1]
    return np.max(np.where(last, np.abs(f1 - f2), 0.0), axis=axis)


def numpy_mmd_permutations(x, y, n_perm, seed=0):
    """Pooled Gaussian kernel matrix once, then unbiased MMD^2 of every permutation
    from a (perm x pooled) label matrix: K_xx = a K a^T and friends by matmul."""
    z = np.vstack([x, y]).astype(np.float64)
    sq = (z * z).sum(1)
    d2 = np.maximum(sq[:, None] + sq[None, :] - 2.0 * z @ z.T, 0.0)
    sel = np.r_[np.arange(min(len(x), 256)), len(x) + np.arange(min(len(y), 256))]
    sub = np.sqrt(d2[np.ix_(sel, sel)][np.triu_indices(len(sel), 1)])
    sigma2 = np.sort(sub)[len(sub) // 2] ** 2
    k = np.exp(-d2 / (2 * sigma2))
    np.fill_diagonal(k, 0.0)
    n, m = len(x), len(y)
    rng = np.random.default_rng(seed)
    a = np.zeros((n_perm + 1, n + m))
    a[0, :n] = 1.0
    for p in range(1, n_perm + 1):
        a[p, rng.permutation(n + m)[:n]] = 1.0
    b = 1.0 - a
    ka = a @ k
    kxx = (ka * a).sum(1)
    kxy = (ka * b).sum(1)
    kyy = ((b @ k) * b).sum(1)
    mmd2 = kxx / (n * (n - 1)) + kyy / (m * (m - 1)) - 2 * kxy / (n * m)
    return (1 + np.sum(mmd2[1:] >= mmd2[0])) / (1 + n_perm)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--scipy-permutations", type=int, default=199)
    args = ap.parse_args()
    rng = np.random.default_rng(0)

    print("== KS, 100,000 per side, 999 permutations")
    a = rng.beta(5, 2, size=100_000)
    b = rng.beta(5, 2.05, size=100_000)
    det = ConfidenceDrift()
    t_m, t = timed(lambda: permutation_test(det.detect, a, b, n_permutations=999, seed=1))
    n_sp = args.scipy_permutations
    t_s, r = timed(lambda: stats.permutation_test((a, b), ks_vectorized, permutation_type="independent",
                                                  vectorized=True, n_resamples=n_sp, batch=25,
                                                  alternative="greater", random_state=1))
    per_m, per_s = t_m / 999, t_s / n_sp
    print(f"morvanta permutation_test:      {t_m:8.2f} s  (p {t.p_value:.4f}, statistic {t.observed:.8f})")
    print(f"scipy permutation_test ({n_sp}):  {t_s:8.2f} s  (p {r.pvalue:.4f}, statistic {r.statistic:.8f})")
    if n_sp != 999:
        print(f"scipy extrapolated to 999:      {per_s * 999:8.2f} s")
    print(f"per permutation: morvanta {per_m * 1e3:.3f} ms, scipy {per_s * 1e3:.3f} ms; "
          f"ratio scipy/morvanta {per_s / per_m:.1f}x")

    print("== EmbeddingDrift, 2,000 x 384 per side, 999 permutations")
    x = rng.normal(size=(2000, 384)).astype(np.float32)
    y = (rng.normal(size=(2000, 384)) + 0.01).astype(np.float32)
    x /= np.linalg.norm(x, axis=1, keepdims=True)
    y /= np.linalg.norm(y, axis=1, keepdims=True)
    emb = EmbeddingDrift()
    t_d, s = timed(lambda: emb.detect(x, y), warm=True)
    t_p, t = timed(lambda: permutation_test(emb.detect, x, y, n_permutations=999, seed=1))
    print(f"one detect call:                {t_d:8.2f} s  (score {s.score:.8f})")
    print(f"permutation_test (999):         {t_p:8.2f} s  (p {t.p_value:.4f})  = {t_p / t_d:.2f}x one detect")

    print("== NumPy batched-matrix MMD permutation anchor, n = 2,000 per side, 100 permutations")
    t_n, p = timed(lambda: numpy_mmd_permutations(x, y, 100))
    print(f"numpy (100 permutations):       {t_n:8.2f} s  (p {p:.4f}); "
          f"morvanta per permutation {t_p / 999 * 1e3:.1f} ms vs numpy {t_n / 100 * 1e3:.1f} ms")


if __name__ == "__main__":
    main()

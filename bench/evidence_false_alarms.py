"""Measured false-alarm rates and power of the two ways to a known alarm rate.

For every detector method:
- null: >= 200 same-distribution splits (random halves of a real table, or two
  windows drawn from one synthetic source); the share with permutation p <= 0.05
  and <= 0.01 (199 permutations), next to the share the detector's fixed default
  threshold flags;
- power: the same on a few real shifts;
- calibrate: a threshold for a 5 % false-alarm rate from one baseline window
  (200 splits), then the alarm rate of the returned detector on held-out windows
  from the same source (averaged over several baselines) and on shifted windows.

Usage: python bench/evidence_false_alarms.py [--splits 200] [--permutations 199]
"""

from __future__ import annotations

import argparse
import time

import numpy as np
from sklearn.datasets import load_breast_cancer, load_diabetes, load_wine

from morvanta import (
    ConfidenceDrift,
    DataDrift,
    EmbeddingDrift,
    QueryDrift,
    ResponseDrift,
    calibrate,
    permutation_test,
)

DIM = 384


class Topics:
    """Unit-norm synthetic sentence-like embeddings: a mixture of topic directions
    with per-sentence noise, as a 384-d encoder gives for a corpus of a few topics."""

    def __init__(self, n_topics=12, seed=0, spread=1.6):
        rng = np.random.default_rng(seed)
        self.centers = rng.normal(size=(n_topics + 2, DIM))
        self.centers /= np.linalg.norm(self.centers, axis=1, keepdims=True)
        # Topic n_topics + 1 neighbours topic 0.
        near = self.centers[0] + 0.9 * self.centers[n_topics + 1]
        self.centers[n_topics + 1] = near / np.linalg.norm(near)
        self.n_topics, self.spread = n_topics, spread

    def draw(self, rng, n, topics=None):
        topics = rng.integers(0, self.n_topics, n) if topics is None else topics
        x = self.centers[topics] + self.spread * rng.normal(size=(n, DIM)) / np.sqrt(DIM)
        return (x / np.linalg.norm(x, axis=1, keepdims=True)).astype(np.float32)

    def inject(self, rng, n, share):
        """A window in which `share` of the rows come from a topic the baseline never had."""
        topics = rng.integers(0, self.n_topics, n)
        topics[: int(share * n)] = self.n_topics
        return self.draw(rng, n, topics)

    def neighbour(self, rng, n):
        """Topic 0's traffic moves to a neighbouring topic (a phrasing change)."""
        topics = rng.integers(0, self.n_topics, n)
        topics[topics == 0] = self.n_topics + 1
        return self.draw(rng, n, topics)


def lengths(rng, n, mean=120.0):
    return rng.negative_binomial(4, 4 / (4 + mean), n).astype(float)


def confidences(rng, n, a=5.0, b=2.0):
    c = np.round(rng.beta(a, b, n), 2)
    correct = rng.uniform(size=n) < np.clip(c - 0.05, 0, 1)
    return c, correct


def rates(method, pairs, n_perm, seed0=0):
    """Shares of p <= 0.05, p <= 0.01 and of the fixed threshold's alarms over `pairs`."""
    ps, fixed = [], []
    for i, (b, c) in enumerate(pairs):
        t = permutation_test(method, b, c, n_permutations=n_perm, seed=seed0 + i)
        ps.append(t.p_value)
        fixed.append(t.score.exceeded)
    ps = np.array(ps)
    return np.mean(ps <= 0.05), np.mean(ps <= 0.01), np.mean(fixed)


def halves(rng, table, count):
    n = len(table)
    for _ in range(count):
        perm = rng.permutation(n)
        yield table[np.sort(perm[: n // 2])], table[np.sort(perm[n // 2:])]


def line(name, data, n, fa05, fa01, fixed, extra=""):
    print(f"{name:<38} {data:<34} {n:>4}  {fa05:6.3f}  {fa01:6.3f}  {fixed:6.3f}  {extra}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--splits", type=int, default=200)
    ap.add_argument("--permutations", type=int, default=199)
    args = ap.parse_args()
    S, P = args.splits, args.permutations
    rng = np.random.default_rng(2026)
    start = time.perf_counter()

    print(f"permutation p-values ({P} permutations) and the fixed default threshold; {S} null splits per row")
    print(f"{'detector.method':<38} {'data':<34} {'n':>4}  {'p<=.05':>6}  {'p<=.01':>6}  {'fixed':>6}")

    # ---------------------------------------------------------------- data drift on real tables
    tables = {
        "wine": load_wine(),
        "breast_cancer": load_breast_cancer(),
        "diabetes": load_diabetes(),
    }
    det = DataDrift()
    for name, ds in tables.items():
        x = np.ascontiguousarray(ds.data, dtype=np.float64)
        line("DataDrift.detect", f"{name} random halves (null)", S, *rates(det.detect, halves(rng, x, S), P))
    shifts = {
        "wine class 0 vs class 1": (load_wine().data, load_wine().target == 0, load_wine().target == 1),
        "breast_cancer benign vs malignant": (load_breast_cancer().data, load_breast_cancer().target == 1,
                                              load_breast_cancer().target == 0),
        "diabetes sex 1 vs sex 2 (cols 1..)": (load_diabetes().data, load_diabetes().data[:, 1] < 0,
                                               load_diabetes().data[:, 1] > 0),
    }
    for name, (x, g1, g2) in shifts.items():
        x = np.ascontiguousarray(x, dtype=np.float64)
        if name.startswith("diabetes"):
            x = np.ascontiguousarray(np.delete(x, 1, axis=1))
        a, b = x[g1], x[g2]
        k = min(len(a), len(b)) // 2
        pairs = [(a[rng.choice(len(a), k, replace=False)], b[rng.choice(len(b), k, replace=False)]) for _ in range(50)]
        line("DataDrift.detect", f"{name} (shift, {k}/side)", 50, *rates(det.detect, pairs, P), "<- power")

    # ---------------------------------------------------------------- embeddings, queries, responses
    topics = Topics()
    emb = EmbeddingDrift()
    n = 200
    line("EmbeddingDrift.detect", f"synthetic topics {n}/side (null)", S,
         *rates(emb.detect, ((topics.draw(rng, n), topics.draw(rng, n)) for _ in range(S)), P))
    for share in (0.25, 0.10):
        pairs = [(topics.draw(rng, n), topics.inject(rng, n, share)) for _ in range(50)]
        line("EmbeddingDrift.detect", f"{int(share * 100)}% new-topic injection", 50, *rates(emb.detect, pairs, P),
             "<- power")
    pairs = [(topics.draw(rng, n), topics.neighbour(rng, n)) for _ in range(50)]
    line("EmbeddingDrift.detect", "topic 0 -> a neighbouring topic", 50, *rates(emb.detect, pairs, P), "<- power")

    q = QueryDrift()
    for nq in (50, 200):
        line("QueryDrift.detect", f"synthetic topics {nq}/side (null)", S,
             *rates(q.detect, ((topics.draw(rng, nq), topics.draw(rng, nq)) for _ in range(S)), P))
    pairs = [(topics.draw(rng, 200), topics.inject(rng, 200, 0.25)) for _ in range(50)]
    line("QueryDrift.detect", "25% new-topic injection, 200/side", 50, *rates(q.detect, pairs, P), "<- power")

    r = ResponseDrift()
    line("ResponseDrift.detect", "integer lengths 150/side (null)", S,
         *rates(r.detect, ((lengths(rng, 150), lengths(rng, 150)) for _ in range(S)), P))
    pairs = [(lengths(rng, 150), lengths(rng, 150, mean=140.0)) for _ in range(50)]
    line("ResponseDrift.detect", "mean length 120 -> 140", 50, *rates(r.detect, pairs, P), "<- power")
    small = Topics(seed=3)
    line("ResponseDrift.detect_with_embeddings", "lengths 150 + embeddings 120 (null)", S,
         *rates(r.detect_with_embeddings,
                (((lengths(rng, 150), small.draw(rng, 120)), (lengths(rng, 150), small.draw(rng, 120)))
                 for _ in range(S)), P))
    pairs = [((lengths(rng, 150), small.draw(rng, 120)), (lengths(rng, 150), small.inject(rng, 120, 0.25)))
             for _ in range(50)]
    line("ResponseDrift.detect_with_embeddings", "25% answers on a new topic", 50,
         *rates(r.detect_with_embeddings, pairs, P), "<- power")

    # ---------------------------------------------------------------- confidences
    c = ConfidenceDrift()
    line("ConfidenceDrift.detect", "rounded confidences 100/side (null)", S,
         *rates(c.detect, ((confidences(rng, 100)[0], confidences(rng, 100)[0]) for _ in range(S)), P))
    pairs = [(confidences(rng, 100)[0], confidences(rng, 100, b=2.6)[0]) for _ in range(50)]
    line("ConfidenceDrift.detect", "beta(5,2) -> beta(5,2.6)", 50, *rates(c.detect, pairs, P), "<- power")

    def conf_pair(b=2.0):
        return confidences(rng, 100), confidences(rng, 100, b=b)

    line("ConfidenceDrift.detect_with_correctness", "rounded + flags 100/side (null)", S,
         *rates(c.detect_with_correctness, (conf_pair() for _ in range(S)), P))
    pairs = [conf_pair(b=2.6) for _ in range(50)]
    line("ConfidenceDrift.detect_with_correctness", "beta(5,2) -> beta(5,2.6)", 50,
         *rates(c.detect_with_correctness, pairs, P), "<- power")

    # ---------------------------------------------------------------- calibrate on held-out windows
    print()
    print(f"calibrate(false_alarm_rate=0.05, n_splits={S}) on a baseline window; alarm rate of the returned detector")
    print(f"{'detector.method':<38} {'baseline / window':<34} {'bases':>5}  {'held-out':>8}  {'shift':>6}  threshold")

    def held_out(method_of, base_draw, window_draw, shift_draw, n_base, n_win, bases=4, windows=100):
        fa, pw, th = [], [], []
        for _ in range(bases):
            base = base_draw(n_base)
            cal = calibrate(method_of(), base, current_size=n_win, false_alarm_rate=0.05, n_splits=S,
                            seed=int(rng.integers(1 << 32)))
            ref = base[: n_base - n_win]
            fa.append(np.mean([cal.detector.detect(ref, window_draw(n_win)).exceeded for _ in range(windows)]))
            pw.append(np.mean([cal.detector.detect(ref, shift_draw(n_win)).exceeded for _ in range(windows // 2)]))
            th.append(cal.threshold)
        return np.mean(fa), np.mean(pw), np.mean(th)

    bc = np.ascontiguousarray(load_breast_cancer().data)

    def rows_of(table):
        return lambda k: table[rng.choice(len(table), k, replace=False)]

    # Held-out windows must not share rows with the baseline: the benign rows are
    # split once into a baseline pool and a held-out pool.
    benign = np.ascontiguousarray(bc[load_breast_cancer().target == 1])
    malignant = np.ascontiguousarray(bc[load_breast_cancer().target == 0])
    order = rng.permutation(len(benign))
    base_pool, held_pool = benign[order[:240]], benign[order[240:]]
    fa, pw, th = held_out(lambda: DataDrift().detect, lambda k: base_pool[rng.permutation(len(base_pool))[:k]],
                          rows_of(held_pool),
                          lambda k: np.vstack([rows_of(held_pool)(k - k // 4), rows_of(malignant)(k // 4)]), 240, 60)
    print(f"{'DataDrift.detect':<38} {'breast_cancer benign 240 / 60':<34} {4:>5}  {fa:8.3f}  {pw:6.3f}  {th:.4f}"
          "  (shift: 25% malignant)")
    fa, pw, th = held_out(lambda: EmbeddingDrift().detect, lambda k: topics.draw(rng, k), lambda k: topics.draw(rng, k),
                          lambda k: topics.inject(rng, k, 0.25), 600, 150)
    print(f"{'EmbeddingDrift.detect':<38} {'synthetic topics 600 / 150':<34} {4:>5}  {fa:8.3f}  {pw:6.3f}  {th:.4f}"
          "  (shift: 25% new topic)")
    fa, pw, th = held_out(lambda: QueryDrift().detect, lambda k: topics.draw(rng, k), lambda k: topics.draw(rng, k),
                          lambda k: topics.inject(rng, k, 0.25), 600, 100)
    print(f"{'QueryDrift.detect':<38} {'synthetic topics 600 / 100':<34} {4:>5}  {fa:8.3f}  {pw:6.3f}  {th:.4f}"
          "  (shift: 25% new topic)")
    fa, pw, th = held_out(lambda: ResponseDrift().detect, lambda k: lengths(rng, k), lambda k: lengths(rng, k),
                          lambda k: lengths(rng, k, mean=140.0), 600, 150)
    print(f"{'ResponseDrift.detect':<38} {'integer lengths 600 / 150':<34} {4:>5}  {fa:8.3f}  {pw:6.3f}  {th:.4f}"
          "  (shift: mean 120 -> 140)")
    fa, pw, th = held_out(lambda: ConfidenceDrift().detect, lambda k: confidences(rng, k)[0],
                          lambda k: confidences(rng, k)[0], lambda k: confidences(rng, k, b=2.6)[0], 600, 150)
    print(f"{'ConfidenceDrift.detect':<38} {'rounded confidences 600 / 150':<34} {4:>5}  {fa:8.3f}  {pw:6.3f}  "
          f"{th:.4f}  (shift: beta(5,2) -> beta(5,2.6))")
    print(f"\ntotal {time.perf_counter() - start:.0f} s")


if __name__ == "__main__":
    main()

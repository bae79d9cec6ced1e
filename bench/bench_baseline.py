"""Checking against a fitted Baseline versus calling the detector on both raw windows.

Two cases, each printing the best-of-REPEATS time of `detector.detect(baseline,
current)`, of `Baseline.fit` (once) and of `Baseline.check`, the ratio check/detect
(the target is at most 0.1) and whether the scores are bit-identical:

- data: a 10,000 x 32 current window against a 1,000,000 x 32 float64 baseline;
- query: 2,000 current queries against a 20,000 x 384 float32 baseline (k = 8).

    PYTHONPATH=build/NAME/site python3 bench/bench_baseline.py [--repeats 3] [--rows 1000000]
"""

import argparse
import time

import numpy as np

from morvanta import Baseline, DataDrift, QueryDrift


def best(fn, repeats):
    t = float("inf")
    out = None
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = fn()
        t = min(t, time.perf_counter() - t0)
    return t, out


def case(name, detect, fit, check, repeats):
    t_detect, ref = best(detect, repeats)
    t0 = time.perf_counter()
    fitted = fit()
    t_fit = time.perf_counter() - t0
    t_check, got = best(lambda: check(fitted), repeats)
    same = np.float64(ref.score).tobytes() == np.float64(got.scores[0].score).tobytes()
    print(
        f"{name:6s} detect {t_detect * 1e3:9.1f} ms   fit {t_fit * 1e3:9.1f} ms   check {t_check * 1e3:8.1f} ms"
        f"   check/detect {t_check / t_detect:6.3f}   bit-identical {same}"
    )
    return t_check / t_detect, same


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--rows", type=int, default=1_000_000)
    args = ap.parse_args()
    rng = np.random.default_rng(0)

    base = rng.normal(size=(args.rows, 32))
    cur = rng.normal(size=(10_000, 32)) * 1.05 + 0.02
    det = DataDrift()
    case(
        "data",
        lambda: det.detect(base, cur),
        lambda: Baseline.fit(features=base, data=det),
        lambda f: f.check(features=cur),
        args.repeats,
    )
    del base, cur

    centres = rng.normal(0.0, 4.0, (8, 384)).astype(np.float32)
    qb = centres[rng.integers(0, 8, 20_000)] + rng.normal(0.0, 1.0, (20_000, 384)).astype(np.float32)
    qc = centres[rng.integers(0, 8, 2_000)] + rng.normal(0.1, 1.0, (2_000, 384)).astype(np.float32)
    qd = QueryDrift()
    case(
        "query",
        lambda: qd.detect(qb, qc),
        lambda: Baseline.fit(queries=qb, query=qd),
        lambda f: f.check(queries=qc),
        args.repeats,
    )


if __name__ == "__main__":
    main()

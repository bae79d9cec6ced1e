"""ResponseDrift.detect_with_embeddings on 5,000 answers per window (lengths and
384-dimensional float32 embeddings) against the usual Python way: SciPy's
ks_2samp on the lengths plus POT's ot.sliced_wasserstein_distance with 32
projections and p = 1 on the embeddings.

Run: PYTHONPATH=build/NAME/site python3 bench/bench_response.py [--rows N] [--cols D] [--reps R]
Prints the best wall time and process CPU time of each over --reps runs and the
speed-up of ResponseDrift over the peer. POT may spread its matrix product over
several threads, so on a shared machine compare the CPU figures too.
"""

import argparse
import time

import numpy as np

import morvanta


def timed(fn, reps):
    best_wall = best_cpu = float("inf")
    out = None
    for _ in range(reps):
        w0, c0 = time.perf_counter(), time.process_time()
        out = fn()
        best_cpu = min(best_cpu, time.process_time() - c0)
        best_wall = min(best_wall, time.perf_counter() - w0)
    return out, best_wall, best_cpu


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=5000)
    ap.add_argument("--cols", type=int, default=384)
    ap.add_argument("--reps", type=int, default=10)
    args = ap.parse_args()

    import ot
    from scipy import stats

    rng = np.random.default_rng(0)
    x = rng.standard_normal((args.rows, args.cols), dtype=np.float32)
    y = (rng.standard_normal((args.rows, args.cols), dtype=np.float32) + np.float32(0.05)).astype(np.float32)
    la = rng.gamma(4.0, 50.0, args.rows).round().tolist()
    lb = rng.gamma(4.2, 50.0, args.rows).round().tolist()

    det = morvanta.ResponseDrift()
    peer = lambda: stats.ks_2samp(la, lb).statistic + ot.sliced_wasserstein_distance(  # noqa: E731
        x, y, n_projections=32, p=1, seed=0)
    ours = lambda: det.detect_with_embeddings(la, lb, x, y)  # noqa: E731
    ours(), peer()  # warm-up: imports, NumPy API table, first allocations

    score, w_ours, c_ours = timed(ours, args.reps)
    p_score, w_peer, c_peer = timed(peer, args.reps)
    print(f"rows={args.rows} cols={args.cols} reps={args.reps}")
    print(f"ResponseDrift.detect_with_embeddings  wall {w_ours * 1e3:8.2f} ms  cpu {c_ours * 1e3:8.2f} ms  "
          f"score={score.score!r}")
    print(f"ks_2samp + POT sliced (32, p=1)       wall {w_peer * 1e3:8.2f} ms  cpu {c_peer * 1e3:8.2f} ms  "
          f"score={float(p_score)!r}")
    print(f"speed-up over peer:                   wall {w_peer / w_ours:6.2f}x   cpu {c_peer / c_ours:6.2f}x")


if __name__ == "__main__":
    main()

"""QueryDrift.detect against scikit-learn on two 20,000 x 384 float32 windows drawn
from 8 Gaussian blobs (the current window slightly shifted): KMeans(n_clusters=8,
init="k-means++", n_init=1, max_iter=50, tol=1e-4, algorithm="lloyd") fit on the
baseline, predict on the current, and the same epsilon-smoothed symmetric KL in
NumPy. Both single-threaded. For each of a few seeds: best-of-REPEATS time of each
side and the iteration counts (sklearn's n_iter_; ours from bench_query_iters.cpp,
compiled against the core library of the build that provides `morvanta`, when a
C++ compiler is present). Prints per-seed figures and the ratio of the medians.

    PYTHONPATH=build/NAME/site python3 bench/bench_query.py [--seeds 0 1 2] [--repeats 3]
"""

import os

for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(_var, "1")

import argparse  # noqa: E402
import pathlib  # noqa: E402
import shutil  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import morvanta  # noqa: E402
from morvanta import QueryDrift  # noqa: E402

ROWS, COLS, K, EPS = 20_000, 384, 8, 1e-6
HERE = pathlib.Path(__file__).resolve().parent


def windows():
    rng = np.random.default_rng(0)
    centres = rng.normal(0.0, 4.0, (K, COLS)).astype(np.float32)
    base = centres[rng.integers(0, K, ROWS)] + rng.normal(0.0, 1.0, (ROWS, COLS)).astype(np.float32)
    cur = centres[rng.integers(0, K, ROWS)] + rng.normal(0.1, 1.0, (ROWS, COLS)).astype(np.float32)
    return np.ascontiguousarray(base, np.float32), np.ascontiguousarray(cur, np.float32)


def sklearn_detect(base, cur, seed):
    from sklearn.cluster import KMeans

    km = KMeans(n_clusters=K, init="k-means++", n_init=1, max_iter=50, tol=1e-4, algorithm="lloyd",
                random_state=seed).fit(base)
    p = np.bincount(km.labels_, minlength=K) / len(base) + EPS
    q = np.bincount(km.predict(cur), minlength=K) / len(cur) + EPS
    return 0.5 * float(np.sum(p * np.log(p / q)) + np.sum(q * np.log(q / p))), km.n_iter_


def best_time(fn, repeats):
    best, out = float("inf"), None
    for _ in range(repeats):
        t0 = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t0)
    return best, out


def our_iterations(base, seeds):
    """Iteration counts from the C++ driver, or None when it cannot be built."""
    build = pathlib.Path(morvanta.__file__).parent.parent.parent  # build/NAME/site/morvanta
    lib = build / "core" / "libmorvanta_core.a"
    cxx = shutil.which(os.environ.get("CXX", "g++")) or shutil.which("c++")
    if not lib.exists() or cxx is None:
        return None
    with tempfile.TemporaryDirectory() as tmp:
        exe, data = pathlib.Path(tmp) / "iters", pathlib.Path(tmp) / "base.f32"
        subprocess.run([cxx, "-std=c++20", "-O3", "-ffp-contract=off", f"-I{HERE.parent / 'core' / 'src'}",
                        str(HERE / "bench_query_iters.cpp"), str(lib), "-lpthread", "-o", str(exe)], check=True)
        base.tofile(data)
        out = subprocess.run([str(exe), str(data), str(ROWS), str(COLS), str(K), *map(str, seeds)],
                             check=True, capture_output=True, text=True).stdout
    counts = {}
    for line in out.splitlines():
        f = line.split()
        if f[0] == "seed" and f[2] == "iterations":
            counts[int(f[1])] = int(f[3])
    return counts


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seeds", type=int, nargs="+", default=[0, 1, 2])
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()

    from threadpoolctl import threadpool_limits

    base, cur = windows()
    iters = our_iterations(base, args.seeds)
    ours, theirs = [], []
    print(f"{ROWS} x {COLS} float32 windows, k = {K}, best of {args.repeats}")
    with threadpool_limits(1):
        for seed in args.seeds:
            det = QueryDrift(k=K, seed=seed)
            t_m, s = best_time(lambda: det.detect(base, cur), args.repeats)
            t_s, (r, n_iter) = best_time(lambda: sklearn_detect(base, cur, seed), args.repeats)
            ours.append(t_m)
            theirs.append(t_s)
            it = "?" if iters is None else iters.get(seed, "?")
            print(f"seed {seed}: morvanta {t_m * 1e3:8.1f} ms ({it} iterations, score {s.score:.6f})   "
                  f"sklearn {t_s * 1e3:8.1f} ms ({n_iter} iterations, score {r:.6f})   ratio {t_s / t_m:.2f}x")
    m, s = statistics.median(ours), statistics.median(theirs)
    print(f"median: morvanta {m * 1e3:.1f} ms, sklearn {s * 1e3:.1f} ms, sklearn/morvanta = {s / m:.2f}x")


if __name__ == "__main__":
    main()

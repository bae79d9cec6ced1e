"""Every core busy: the three detectors whose work the pool now spreads, against
one thread and against their usual peers, plus what the cancellation points cost.

  data      DataDrift.detect, 2 x 1,000,000 x 32 float64: 2 threads against 1
            (target: at least 1.8x faster).
  query     QueryDrift.detect, 2 x 20,000 x 384 float32 from 8 Gaussian blobs,
            k = 8, against scikit-learn KMeans(n_clusters=8, n_init=1,
            max_iter=50, algorithm="lloyd") fit + predict with its default
            threads, seeds 0-2 (target: at most 0.5x its time, median).
  response  ResponseDrift.detect_with_embeddings, 2 x 5,000 x 384 float32,
            against POT ot.sliced_wasserstein_distance(n_projections=32, p=1) +
            scipy.stats.ks_2samp (target: at most 0.3x its time).
  cancel    the same detectors run from C++ with and without a cancellation
            source that polls every 20 ms (bench_cancel_cost.cpp, built against
            the core library of the build that provides `morvanta` when a C++
            compiler is present; target: under 1 %).

Scores never depend on the thread count; each case checks that it gets the same
bits with 1 and 2 threads. Wall and process CPU times are both printed: on a
shared machine the CPU figure shows whether the work itself grew.

    PYTHONPATH=build/NAME/site python3 bench/bench_parallel.py [--cases data query response cancel] [--repeats 3]
"""

import argparse
import os
import pathlib
import shutil
import statistics
import subprocess
import tempfile
import time

import numpy as np

import morvanta
from morvanta import DataDrift, QueryDrift, ResponseDrift, _engine

HERE = pathlib.Path(__file__).resolve().parent


def best(fn, repeats):
    """Best wall and CPU seconds over `repeats` runs, and the last result."""
    wall = cpu = float("inf")
    out = None
    for _ in range(repeats):
        w0, c0 = time.perf_counter(), time.process_time()
        out = fn()
        cpu = min(cpu, time.process_time() - c0)
        wall = min(wall, time.perf_counter() - w0)
    return wall, cpu, out


def thread_cpu():
    """CPU seconds used so far by each thread of this process, by thread id (Linux)."""
    out = {}
    tick = os.sysconf("SC_CLK_TCK")
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        out[tid] = (int(fields[11]) + int(fields[12])) / tick  # utime + stime
    return out


def busiest_thread(fn):
    """CPU seconds of the busiest thread during fn(): the wall time fn would take
    with a core of its own per thread, whatever else the machine is running."""
    before = thread_cpu()
    fn()
    after = thread_cpu()
    return max(after[t] - before.get(t, 0.0) for t in after)


def line(label, wall, cpu, extra=""):
    print(f"  {label:<44} wall {wall * 1e3:9.1f} ms   cpu {cpu * 1e3:9.1f} ms  {extra}")


def same_bits(a, b):
    return np.float64(a).tobytes() == np.float64(b).tobytes()


def case_data(repeats):
    print("DataDrift.detect, 2 x 1,000,000 x 32 float64: 2 threads against 1")
    rng = np.random.default_rng(0)
    base = rng.standard_normal((1_000_000, 32))
    cur = rng.standard_normal((1_000_000, 32)) * 1.01 + 0.005
    det = DataDrift()
    res, busy = {}, {}
    for n in (1, 2):
        _engine.set_threads(n)
        det.detect(base[:1000], cur[:1000])  # starts the pool
        res[n] = best(lambda: det.detect(base, cur).score, repeats)
        busy[n] = busiest_thread(lambda: det.detect(base, cur))
        line(f"{n} thread{'s' if n > 1 else ''}", *res[n][:2],
             f"busiest thread {busy[n] * 1e3:7.1f} ms cpu  score {res[n][2]!r}")
    _engine.set_threads(0)
    assert same_bits(res[1][2], res[2][2]), "scores differ between thread counts"
    print(f"  speed-up, 2 threads over 1: {res[1][0] / res[2][0]:.2f}x wall (target >= 1.8x); "
          f"{busy[1] / busy[2]:.2f}x by the busiest thread's CPU time (what a machine with two free cores "
          f"would show)\n")


def blob_windows(rows=20_000, cols=384, k=8):
    rng = np.random.default_rng(0)
    centres = rng.normal(0.0, 4.0, (k, cols)).astype(np.float32)
    base = centres[rng.integers(0, k, rows)] + rng.normal(0.0, 1.0, (rows, cols)).astype(np.float32)
    cur = centres[rng.integers(0, k, rows)] + rng.normal(0.1, 1.0, (rows, cols)).astype(np.float32)
    return np.ascontiguousarray(base, np.float32), np.ascontiguousarray(cur, np.float32)


def case_query(repeats):
    from sklearn.cluster import KMeans

    print("QueryDrift.detect, 2 x 20,000 x 384 float32, k = 8, against scikit-learn KMeans fit + predict "
          "(lloyd, n_init=1, max_iter=50, default threads)")
    base, cur = blob_windows()
    ratios = []
    for seed in (0, 1, 2):
        det = QueryDrift(k=8, seed=seed)
        _engine.set_threads(1)
        one = det.detect(base, cur).score
        _engine.set_threads(0)
        w_m, c_m, s = best(lambda: det.detect(base, cur).score, repeats)
        assert same_bits(s, one), "scores differ between thread counts"

        def peer():
            km = KMeans(n_clusters=8, n_init=1, max_iter=50, algorithm="lloyd", random_state=seed).fit(base)
            return km.predict(cur), km.n_iter_

        w_s, c_s, (_, n_iter) = best(peer, repeats)
        ratios.append(w_m / w_s)
        line(f"seed {seed} morvanta ({_engine.threads()} threads)", w_m, c_m, f"score {s:.6f}")
        line(f"seed {seed} scikit-learn ({n_iter} iterations)", w_s, c_s, f"ratio {w_m / w_s:.2f}")
    print(f"  median time ratio morvanta / scikit-learn: {statistics.median(ratios):.2f} (target <= 0.5)\n")


def case_response(repeats):
    import ot
    from scipy import stats

    print("ResponseDrift.detect_with_embeddings, 2 x 5,000 x 384 float32, against POT sliced W1 (32 directions) "
          "+ scipy ks_2samp")
    rng = np.random.default_rng(0)
    x = rng.standard_normal((5000, 384), dtype=np.float32)
    y = rng.standard_normal((5000, 384), dtype=np.float32) + np.float32(0.05)
    la, lb = rng.gamma(4.0, 50.0, 5000).round(), rng.gamma(4.2, 50.0, 5000).round()
    det = ResponseDrift()
    _engine.set_threads(1)
    one = det.detect_with_embeddings(la, lb, x, y).score
    _engine.set_threads(0)
    peer = lambda: stats.ks_2samp(la, lb).statistic + ot.sliced_wasserstein_distance(  # noqa: E731
        x, y, n_projections=32, p=1, seed=0)
    peer()
    w_m, c_m, s = best(lambda: det.detect_with_embeddings(la, lb, x, y).score, repeats * 5)
    assert same_bits(s, one), "scores differ between thread counts"
    w_p, c_p, p = best(peer, repeats * 5)
    line(f"morvanta ({_engine.threads()} threads)", w_m, c_m, f"score {s:.6f}")
    line("POT + scipy", w_p, c_p, f"score {float(p):.6f}")
    print(f"  time ratio morvanta / peer: {w_m / w_p:.2f} (target <= 0.3)\n")


def case_cancel(repeats):
    print("Cancellation points: the detectors from C++, with and without a polling source")
    build = pathlib.Path(morvanta.__file__).parent.parent.parent  # build/NAME/site/morvanta
    lib = build / "core" / "libmorvanta_core.a"
    cxx = shutil.which(os.environ.get("CXX", "g++")) or shutil.which("c++")
    if not lib.exists() or cxx is None:
        print(f"  skipped: needs a C++ compiler and {lib}\n")
        return
    with tempfile.TemporaryDirectory() as tmp:
        exe = pathlib.Path(tmp) / "cancel_cost"
        subprocess.run([cxx, "-std=c++20", "-O3", "-ffp-contract=off", f"-I{HERE.parent / 'core' / 'src'}",
                        str(HERE / "bench_cancel_cost.cpp"), str(lib), "-lpthread", "-o", str(exe)], check=True)
        for threads in (1, 2):
            out = subprocess.run([str(exe), str(threads), str(max(repeats, 3))], check=True, capture_output=True,
                                 text=True).stdout
            print("  " + out.strip().replace("\n", "\n  "))
    print()


CASES = {"data": case_data, "query": case_query, "response": case_response, "cancel": case_cancel}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cases", nargs="+", choices=list(CASES), default=list(CASES))
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()
    print(f"{os.cpu_count()} hardware threads; morvanta pool default {_engine.threads()} threads\n")
    for name in args.cases:
        CASES[name](args.repeats)


if __name__ == "__main__":
    main()

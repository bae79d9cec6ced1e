"""What deciding by p-values costs: `morvanta check` by default against `--fixed-thresholds`.

Two Parquet logs, a baseline of --baseline requests (default 2,000) and a
current window of --current (default 1,000), each with 384-d query and answer
embeddings (float32 list columns), 8 features, answer lengths, confidences and
correctness flags. Two current windows: "stable" (drawn like the baseline) and
"drifted" (queries moved, answers longer, the model overconfident, two
features shifted). Each command runs in-process --repeats times (default 3);
the median is kept. Prints the times and the ratios default / fixed thresholds
(targets: at most 2x on the stable window, where the tests stop early, and at
most 4x on the drifted one, where they run every permutation).
Usage: python3 bench/bench_decide.py [--baseline N] [--current N] [--repeats R]
"""

import argparse
import contextlib
import io
import json
import os
import statistics
import tempfile
import time

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from morvanta.cli import main as cli_main

DIM, FEATURES = 384, 8


def write_log(path, n, seed, drift):
    rng = np.random.default_rng(seed)
    q = rng.normal(size=(n, DIM)).astype(np.float32)
    if drift:
        q[: n // 4] += np.float32(0.5)  # a quarter of the queries on a new topic
    a = rng.normal(size=(n, DIM)).astype(np.float32)
    table = {k: pa.FixedSizeListArray.from_arrays(pa.array(v.reshape(-1)), DIM)
             for k, v in (("query_embedding", q), ("response_embedding", a))}
    table["response_length"] = pa.array(rng.poisson(150 if drift else 120, n).astype(np.float64))
    conf = rng.beta(9 if drift else 8, 2, n)
    table["confidence"] = pa.array(conf)
    table["correct"] = pa.array(rng.random(n) < conf - (0.15 if drift else 0.0))
    for j in range(FEATURES):
        table[f"f{j}"] = pa.array(rng.normal(0.3 if drift and j < 2 else 0.0, 1.0, n))
    pq.write_table(pa.table(table), path)


def timed(args, repeats):
    """Median wall and CPU seconds (all threads) of the command; the CPU ratio is the
    steadier one on a shared machine."""
    times, cpus, out = [], [], ""
    for _ in range(repeats):
        buf = io.StringIO()
        start, cpu = time.perf_counter(), time.process_time()
        with contextlib.redirect_stdout(buf):
            status = cli_main(args)
        times.append(time.perf_counter() - start)
        cpus.append(time.process_time() - cpu)
        assert status == 0, (args, status)
        out = buf.getvalue()
    return (statistics.median(times), statistics.median(cpus)), out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--baseline", type=int, default=2000)
    ap.add_argument("--current", type=int, default=1000)
    ap.add_argument("--repeats", type=int, default=3)
    opts = ap.parse_args()
    with tempfile.TemporaryDirectory() as d:
        base = os.path.join(d, "baseline.parquet")
        write_log(base, opts.baseline, 1, False)
        rows = []
        for name, seed, drift in (("stable", 2, False), ("drifted", 3, True)):
            cur = os.path.join(d, f"{name}.parquet")
            write_log(cur, opts.current, seed, drift)
            fixed, _ = timed(["check", base, cur, "--fixed-thresholds"], opts.repeats)
            by_p, out = timed(["check", base, cur, "--json"], opts.repeats)
            doc = json.loads(out)
            runs = {x["dimension"]: x["permutations_run"] for x in doc["dimensions"] if x["status"] == "scored"}
            drifted = [x["dimension"] for x in doc["dimensions"] if x["drifted"]]
            rows.append((name, fixed, by_p, runs, drifted))
    print(f"morvanta check, {opts.baseline:,} vs {opts.current:,} requests, 384-d query and answer embeddings "
          f"(median of {opts.repeats})")
    print(f"{'window':8}  {'fixed thresholds':>16}  {'p-values':>9}  {'ratio':>6}  {'CPU ratio':>9}  target  "
          "permutations run; drifted")
    for name, fixed, by_p, runs, drifted in rows:
        target = 2.0 if name == "stable" else 4.0
        ratio, cpu_ratio = by_p[0] / fixed[0], by_p[1] / fixed[1]
        print(f"{name:8}  {fixed[0]:15.2f}s  {by_p[0]:8.2f}s  {ratio:5.2f}x  {cpu_ratio:8.2f}x  "
              f"{'<=' if ratio <= target else '> '}{target:.0f}x    {runs}; {drifted or 'none'}")


if __name__ == "__main__":
    main()

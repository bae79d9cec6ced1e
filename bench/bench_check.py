"""`morvanta check` on two request logs against the five detector calls on the same arrays.

Two Parquet logs of --rows requests (default 20,000) with 384-d query and
response embeddings (float32 list columns), 10 features, response lengths,
confidences and correctness flags. Timed once each: the five detector calls on
arrays already in memory, and the whole command (reading both files, every
dimension, per-column scores, the summary) run in-process with
--fixed-thresholds (no p-values: bench_decide.py measures those) and without
the HTML report. Prints both times and the ratio (target: under 3x).
Usage: python3 bench/bench_check.py [--rows N] [--html]
"""

import argparse
import contextlib
import io
import os
import tempfile
import time

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from morvanta import ConfidenceDrift, DataDrift, EmbeddingDrift, QueryDrift, ResponseDrift
from morvanta.cli import main as cli_main
from morvanta import read_log

DIM, FEATURES = 384, 10


def write_log(path, n, seed, shift):
    rng = np.random.default_rng(seed)
    cols = {
        "query_embedding": (rng.normal(size=(n, DIM)) + shift).astype(np.float32),
        "response_embedding": rng.normal(size=(n, DIM)).astype(np.float32),
    }
    table = {k: pa.FixedSizeListArray.from_arrays(pa.array(v.reshape(-1)), DIM) for k, v in cols.items()}
    table["response_length"] = pa.array(rng.poisson(120 + 20 * shift, n).astype(np.float64))
    table["confidence"] = pa.array(rng.beta(8, 2, n))
    table["correct"] = pa.array(rng.random(n) < 0.8)
    for j in range(FEATURES):
        table[f"f{j}"] = pa.array(rng.normal(shift * j / FEATURES, 1.0, n))
    pq.write_table(pa.table(table), path)


def five_calls(b, c):
    return [
        DataDrift().detect(b.features, c.features),
        EmbeddingDrift().detect(b.embeddings, c.embeddings),
        ResponseDrift().detect_with_embeddings(b.response_lengths, c.response_lengths,
                                               b.response_embeddings, c.response_embeddings),
        ConfidenceDrift().detect_with_correctness(b.confidences, b.correct, c.confidences, c.correct),
        QueryDrift().detect(b.queries, c.queries),
    ]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=20_000)
    ap.add_argument("--html", action="store_true", help="also time writing the HTML report")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory() as d:
        base_path, cur_path = os.path.join(d, "base.parquet"), os.path.join(d, "cur.parquet")
        write_log(base_path, args.rows, 1, 0.0)
        write_log(cur_path, args.rows, 2, 0.05)
        b, c = read_log(base_path), read_log(cur_path)
        t0 = time.perf_counter()
        scores = five_calls(b, c)
        t_det = time.perf_counter() - t0
        del b, c
        argv = ["check", base_path, cur_path, "--fixed-thresholds", "--json", os.path.join(d, "r.json")]
        if args.html:
            argv += ["--html", os.path.join(d, "r.html")]
        out = io.StringIO()
        t0 = time.perf_counter()
        with contextlib.redirect_stdout(out):
            status = cli_main(argv)
        t_check = time.perf_counter() - t0
        assert status == 0, out.getvalue()
        size = os.path.getsize(os.path.join(d, "r.html")) if args.html else 0
    print(f"logs: 2 x {args.rows:,} requests, {DIM}-d query and response embeddings, {FEATURES} features")
    print(f"five detector calls:     {t_det:8.2f} s  (scores {', '.join(f'{s.score:.4f}' for s in scores)})")
    print(f"morvanta check (command): {t_check:8.2f} s" + (f"  (HTML {size / 1e6:.2f} MB)" if args.html else ""))
    print(f"ratio check/detectors:   {t_check / t_det:.2f}x (target < 3x)")


if __name__ == "__main__":
    main()

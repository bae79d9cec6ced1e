"""The default `morvanta check` on two logs of a million requests each.

Writes two Parquet logs of --rows requests (default 1,000,000) to a temporary
directory: 384-d query and answer embeddings as float32 FixedSizeList columns,
8 features, answer lengths, confidences and correctness flags; the current log
has a quarter of its queries on a new topic, longer answers and two shifted
features. Then times `morvanta check baseline current --json` in-process and
splits the time into reading the logs and the rest (scores and permutation
tests, which read at most each dimension's row cap per side). Target: under a
minute on 2 cores. The logs take about 3.2 GB each on disk (removed at the end).
Usage: python3 bench/bench_million.py [--rows N] [--dir DIR] [--keep]
"""

import argparse
import contextlib
import io
import json
import os
import shutil
import tempfile
import time

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from morvanta.cli import main as cli_main
from morvanta.io.log import read_log
from morvanta.pipeline import check as check_module

DIM, FEATURES, CHUNK = 384, 8, 100_000


def write_log(path, n, seed, drift):
    """n rows in row groups of CHUNK, never the whole log in memory."""
    writer = None
    for start in range(0, n, CHUNK):
        rng = np.random.default_rng([seed, start])
        k = min(CHUNK, n - start)
        q = rng.standard_normal((k, DIM), dtype=np.float32)
        if drift:
            q[: k // 4] += np.float32(0.5)
        a = rng.standard_normal((k, DIM), dtype=np.float32)
        cols = {name: pa.FixedSizeListArray.from_arrays(pa.array(v.reshape(-1)), DIM)
                for name, v in (("query_embedding", q), ("response_embedding", a))}
        cols["response_length"] = pa.array(rng.poisson(150 if drift else 120, k).astype(np.float64))
        conf = rng.beta(9 if drift else 8, 2, k)
        cols["confidence"] = pa.array(conf)
        cols["correct"] = pa.array(rng.random(k) < conf - (0.15 if drift else 0.0))
        for j in range(FEATURES):
            cols[f"f{j}"] = pa.array(rng.normal(0.3 if drift and j < 2 else 0.0, 1.0, k))
        table = pa.table(cols)
        if writer is None:
            writer = pq.ParquetWriter(path, table.schema, compression="none")
        writer.write_table(table)
    writer.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--dir", default=None, help="where to write the logs (default: a new temporary directory)")
    ap.add_argument("--keep", action="store_true", help="keep the logs (and reuse them on the next run)")
    opts = ap.parse_args()
    d = opts.dir or tempfile.mkdtemp(prefix="morvanta-million-")
    os.makedirs(d, exist_ok=True)
    try:
        base, cur = os.path.join(d, f"baseline-{opts.rows}.parquet"), os.path.join(d, f"current-{opts.rows}.parquet")
        t0 = time.perf_counter()
        for path, seed, drift in ((base, 1, False), (cur, 2, True)):
            if not os.path.exists(path):
                write_log(path, opts.rows, seed, drift)
        t_write = time.perf_counter() - t0

        # The check's own reading, timed inside the same run.
        spent = [0.0, 0.0]

        def timed_read(*args, **kwargs):
            t, c = time.perf_counter(), time.process_time()
            try:
                return read_log(*args, **kwargs)
            finally:
                spent[0] += time.perf_counter() - t
                spent[1] += time.process_time() - c

        check_module.read_log = timed_read
        buf = io.StringIO()
        t0, c0 = time.perf_counter(), time.process_time()
        with contextlib.redirect_stdout(buf):
            status = cli_main(["check", base, cur, "--json"])
        t_check, c_check = time.perf_counter() - t0, time.process_time() - c0
        t_read, c_read = spent
        doc = json.loads(buf.getvalue())
        print(f"morvanta check, {opts.rows:,} vs {opts.rows:,} requests, 384-d query and answer embeddings "
              f"(exit status {status}; logs written in {t_write:.0f} s)")
        print(f"  whole check      {t_check:6.1f} s wall  {c_check:6.1f} s CPU   target < 60 s")
        print(f"  reading the logs {t_read:6.1f} s wall  {c_read:6.1f} s CPU")
        print(f"  the rest         {t_check - t_read:6.1f} s wall  {c_check - c_read:6.1f} s CPU   "
              "(scores and permutation tests)")
        for x in doc["dimensions"]:
            if x["status"] == "scored":
                print(f"  {x['dimension']:11} drifted={x['drifted']!s:5} p={x['p_value']:.4g} "
                      f"permutations={x['permutations_run']} rows tested {x.get('rows_tested')} "
                      f"of {x.get('rows_given')}")
    finally:
        if not opts.keep and opts.dir is None:
            shutil.rmtree(d, ignore_errors=True)


if __name__ == "__main__":
    main()

"""Baselines from a month of traffic: Baseline.fit_partitions on a 2-worker LocalCluster with a
per-worker memory limit, against reading the same files into one pandas frame in one process.

Generates, in a temporary folder (deleted at the end), two partitioned Parquet logs:
  numeric:    --rows rows x 16 float64 features (+ a timestamp), --files files of 4 row groups;
  embeddings: --emb-rows rows x 384-d float32 'embedding' list column, same layout.
Fits each on LocalCluster(n_workers=2, threads_per_worker=1, memory_limit=--limit) and reports
the wall time and the peak resident memory of each worker (sampled every 0.2 s), then reads the
same files with pandas.read_parquet in one child process and fits Baseline.fit from that frame,
reporting its peak RSS against the workers' limit (or that it ran out of memory).

Usage: python3 bench/bench_big_baseline.py [--rows 10000000] [--emb-rows 1000000] [--limit 2GB]
       [--budget-mib 256] [--files 20]
"""

from __future__ import annotations

import argparse
import logging
import multiprocessing as mp
import os
import resource
import shutil
import tempfile
import threading
import time

import numpy as np


def write_logs(folder: str, rows: int, files: int, kind: str) -> list[str]:
    import pyarrow as pa
    import pyarrow.parquet as pq

    os.makedirs(folder, exist_ok=True)
    per = -(-rows // files)
    paths = []
    for f in range(files):
        n = min(per, rows - f * per)
        if n <= 0:
            break
        rng = np.random.default_rng(f)
        cols: dict[str, object] = {"timestamp": pa.array(1.7e9 + f * per + np.arange(n, dtype=np.float64))}
        if kind == "numeric":
            x = rng.normal(size=(n, 16))
            for j in range(16):
                cols[f"f{j}"] = pa.array(x[:, j])
        else:
            e = rng.standard_normal((n, 384), dtype=np.float32)
            cols["embedding"] = pa.FixedSizeListArray.from_arrays(pa.array(e.ravel()), 384).cast(
                pa.list_(pa.float32()))
        path = os.path.join(folder, f"part-{f:04d}.parquet")
        pq.write_table(pa.table(cols), path, row_group_size=-(-n // 4))
        paths.append(path)
    return paths


def watch(pids: list[int], stop: threading.Event, peaks: dict[int, int]) -> None:
    import psutil

    procs = {p: psutil.Process(p) for p in pids}
    while not stop.is_set():
        for p, proc in procs.items():
            try:
                peaks[p] = max(peaks.get(p, 0), proc.memory_info().rss)
            except psutil.Error:
                pass
        stop.wait(0.2)


def fit_on_cluster(paths: list[str], limit: str, budget: int) -> tuple[float, list[int], object]:
    from distributed import Client, LocalCluster

    import morvanta

    with LocalCluster(n_workers=2, threads_per_worker=1, memory_limit=limit, processes=True,
                      dashboard_address=None, silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
        client.run(lambda: __import__("morvanta")._engine.set_threads(1))
        pids = list(client.run(os.getpid).values())
        peaks: dict[int, int] = {}
        stop = threading.Event()
        t = threading.Thread(target=watch, args=(pids, stop, peaks), daemon=True)
        t.start()
        t0 = time.perf_counter()
        base = morvanta.Baseline.fit_partitions(paths, scheduler=client, budget=budget)
        wall = time.perf_counter() - t0
        stop.set()
        t.join()
        return wall, [peaks.get(p, 0) for p in pids], base


def _one_frame(paths: list[str], limit: int, q: mp.Queue) -> None:
    import pandas as pd

    import morvanta

    t0 = time.perf_counter()
    try:
        frame = pd.concat([pd.read_parquet(p) for p in paths], ignore_index=True)
        t_read = time.perf_counter() - t0
        if "embedding" in frame:
            emb = np.stack(frame["embedding"].to_numpy()).astype(np.float32)
            morvanta.Baseline.fit(embeddings=emb)
        else:
            morvanta.Baseline.fit(features=frame.drop(columns="timestamp"))
        q.put(("ok", t_read, time.perf_counter() - t0,
               resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024))
    except MemoryError:
        q.put(("memory", time.perf_counter() - t0, 0.0, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024))


def one_frame(paths: list[str], limit: int) -> tuple[str, float, float, int]:
    q: mp.Queue = mp.Queue()
    p = mp.get_context("fork").Process(target=_one_frame, args=(paths, limit, q))
    p.start()
    p.join()
    if p.exitcode != 0 and q.empty():
        return "killed", 0.0, 0.0, 0
    return q.get()


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rows", type=int, default=10_000_000)
    ap.add_argument("--emb-rows", type=int, default=1_000_000)
    ap.add_argument("--files", type=int, default=20)
    ap.add_argument("--limit", default="2GB")
    ap.add_argument("--budget-mib", type=int, default=256)
    args = ap.parse_args()
    from dask.utils import parse_bytes

    limit = parse_bytes(args.limit)
    tmp = tempfile.mkdtemp(prefix="morvanta-big-")
    try:
        for kind, rows in (("numeric", args.rows), ("embeddings", args.emb_rows)):
            t0 = time.perf_counter()
            paths = write_logs(os.path.join(tmp, kind), rows, args.files, kind)
            size = sum(os.path.getsize(p) for p in paths)
            print(f"{kind}: {rows:,} rows in {len(paths)} files x 4 row groups, {size / 2**20:,.0f} MiB on disk "
                  f"(written in {time.perf_counter() - t0:.1f} s)")
            wall, peaks, base = fit_on_cluster(paths, args.limit, args.budget_mib * 2**20)
            print(f"  fit_partitions, 2 workers x 1 thread, memory_limit {args.limit}: {wall:.1f} s; peak RSS per "
                  f"worker {', '.join(f'{p / 2**20:,.0f} MiB' for p in peaks)}")
            print(f"  kept {base.sizes} of {max(base.sample.get('rows_seen', base.sizes).values()):,} rows seen")
            status, t_read, t_all, rss = one_frame(paths, limit)
            if status == "ok":
                over = "above" if rss > limit else "within"
                print(f"  one pandas frame in one process: read {t_read:.1f} s, read + Baseline.fit {t_all:.1f} s, "
                      f"peak RSS {rss / 2**20:,.0f} MiB ({over} the {args.limit} a worker may use)")
            else:
                print(f"  one pandas frame in one process: does not fit in {args.limit} ({status} after "
                      f"{t_read:.1f} s, peak RSS {rss / 2**20:,.0f} MiB)")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()

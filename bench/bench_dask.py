"""Many windows: 200 windows of 2,000 request-log rows (20 tenants x 10 hours; 10
features, response lengths, confidences with correctness flags, 16-d query
embeddings) checked, light (data, response, confidence, query) and full (the
five dimensions, with the embedding MMD), against one
2,000-row baseline by morvanta.dask.check_groups, serially in this process and
on a 2-worker LocalCluster (processes, one thread each; the native pool set to
one thread everywhere, so that each worker process is one core).

Prints the times and the speed-up, then what the cluster spends besides scoring:
the scheduler's overhead per task (no-op tasks), the data moved (logs bytes and
transfer rate), and the shuffle that brings each group into one partition
(compared with logs already partitioned by the keys, shuffle=False).
Usage: python3 bench/bench_dask.py [--windows 200] [--rows 2000]"""

import argparse
import logging
import pickle
import time
import warnings

import numpy as np
import pandas as pd
import pyarrow as pa

import dask
import dask.dataframe as dd
from distributed import Client, LocalCluster, wait

from morvanta import _engine
from morvanta.dask import check_groups

FEATURES, WIDTH, LIGHT = 10, 16, ["data", "response", "confidence", "query"]


def window(rng, n, shift):
    q = rng.normal(size=(n, WIDTH)).astype(np.float32) + np.float32(shift)
    # An Arrow list column (as read from Parquet with dtype_backend="pyarrow"): moved as
    # one buffer, where an object column of arrays is pickled array by array.
    emb = pd.Series(pa.FixedSizeListArray.from_arrays(pa.array(q.ravel()), WIDTH).cast(pa.list_(pa.float32())),
                    dtype=pd.ArrowDtype(pa.list_(pa.float32())))
    frame = pd.DataFrame(rng.normal(shift, 1.0, size=(n, FEATURES)), columns=[f"f{j}" for j in range(FEATURES)])
    return frame.assign(query_embedding=emb, response_length=rng.integers(20, 600, n),
                        confidence=rng.random(n), correct=rng.random(n) < 0.7)


def make_logs(windows, rows):
    rng = np.random.default_rng(0)
    tenants, hours = 20, max(1, windows // 20)
    parts = [window(rng, rows, 0.02 * (i % 7)).assign(tenant=f"t{i % tenants:02d}", hour=i // tenants)
             for i in range(tenants * hours)]
    return window(rng, rows, 0.0), pd.concat(parts, ignore_index=True)


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return time.perf_counter() - t0, out


def resident(frame):
    out = frame.persist()
    wait(out)
    return out


def one_window_mmd():
    """Seconds for one window's embedding MMD (2 x 2,000 x 16) in this process."""
    from morvanta import EmbeddingDrift

    rng = np.random.default_rng(1)
    a, b = (rng.normal(size=(2000, WIDTH)).astype(np.float32) for _ in range(2))
    det = EmbeddingDrift()
    det.detect(a, b)
    t0 = time.perf_counter()
    det.detect(a, b)
    return time.perf_counter() - t0


def set_one_thread():
    _engine.set_threads(1)


def main():
    # from_pandas puts the logs in the graph on purpose: their transfer is measured.
    warnings.filterwarnings("ignore", message="Sending large graph")
    ap = argparse.ArgumentParser()
    ap.add_argument("--windows", type=int, default=200)
    ap.add_argument("--rows", type=int, default=2000)
    args = ap.parse_args()
    set_one_thread()
    baseline, logs = make_logs(args.windows, args.rows)
    by = ["tenant", "hour"]
    n_groups = logs.groupby(by).ngroups
    print(f"{n_groups} windows x {args.rows} rows, {len(logs):,} rows in all; {WIDTH}-d embeddings as an Arrow list column")
    cases = {"light (data, response, confidence, query)": LIGHT, "full (the five, with the embedding MMD)": None}
    serial = {}
    for name, dims in cases.items():
        kw = dict(by=by, dimensions=dims, min_rows=30)
        check_groups(baseline, logs.iloc[: 2 * args.rows], **kw)  # warm-up
        serial[name] = timed(lambda: check_groups(baseline, logs, **kw))

    with dask.config.set({"dataframe.convert-string": False}):
        ddf = dd.from_pandas(logs, npartitions=16, sort=False)
        # The same logs cut by tenant: every group lies in one partition already.
        by_tenant = dd.from_pandas(logs.set_index("tenant", drop=False), npartitions=16, sort=True)
        by_tenant = by_tenant.reset_index(drop=True)
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
                      silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
        client.run(set_one_thread)
        # Cores actually available: the same call alone here, then on both workers at once.
        t_alone = one_window_mmd()
        t_both = max(client.run(one_window_mmd).values())
        # Scheduler overhead: a round trip of no-op tasks.
        client.gather(client.map(int, range(50), pure=False))
        t_noop, _ = timed(lambda: client.gather(client.map(int, range(2000), pure=False)))
        # Data transfer: the logs partitions moved from this process to the workers.
        nbytes = sum(len(pickle.dumps(p, protocol=5)) for p in np.array_split(logs, 16))
        t_move, resident_logs = timed(lambda: resident(ddf))
        tenant_parts = resident(by_tenant)
        check_groups(baseline, resident_logs.partitions[:2], by=by, dimensions=LIGHT)  # warm-up
        cluster_times = {}
        for name, dims in cases.items():
            kw = dict(by=by, dimensions=dims, min_rows=30)
            cluster_times[name] = timed(lambda: check_groups(baseline, resident_logs, **kw))
        t_flat, flat = timed(lambda: check_groups(baseline, tenant_parts, shuffle=False, by=by, dimensions=LIGHT,
                                                  min_rows=30))
    light = next(iter(cases))
    pd.testing.assert_frame_equal(flat, serial[light][1], check_exact=True)
    for name in cases:
        t_s, out_s = serial[name]
        t_c, out_c = cluster_times[name]
        pd.testing.assert_frame_equal(out_c, out_s, check_exact=True)
        print(f"{name}:")
        print(f"  serial, one process:           {t_s:6.2f} s  ({t_s / n_groups * 1e3:6.1f} ms per window)")
        print(f"  2-worker cluster (shuffle):    {t_c:6.2f} s  speed-up {t_s / t_c:.2f}x (ideal {t_s / 2:.2f} s)")
    print(f"  2-worker cluster, logs already partitioned by tenant (no shuffle), light: {t_flat:.2f} s, "
          f"speed-up {serial[light][0] / t_flat:.2f}x")
    print("cluster results identical to the serial ones: yes")
    print(f"one window's MMD: {t_alone * 1e3:.1f} ms alone, {t_both * 1e3:.1f} ms on each of the 2 workers at once "
          f"(the 2 workers together run {2 * t_alone / t_both:.2f}x one core)")
    print(f"scheduler overhead: {t_noop / 2000 * 1e3:.2f} ms per task (2,000 no-op tasks)")
    print(f"logs: {nbytes / 1e6:.0f} MB pickled; sent to the workers in {t_move:.2f} s ({nbytes / 1e6 / t_move:.0f} MB/s)")
    t_c = cluster_times[light][0]
    print(f"shuffle (light case): {t_c - t_flat:.2f} s of {t_c:.2f} s")


if __name__ == "__main__":
    main()

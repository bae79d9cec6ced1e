"""BaselineSnapshot.to_json / from_json against Python's json module (and orjson
when installed) on the same data held as Python lists: a 100,000 x 384 float32
embedding matrix plus 1,000,000 values in each of the five lists.

morvanta and orjson are timed as the best of three runs, the json module (which
takes minutes at this size) by one run; prints times, text sizes and the ratios.
`--rows N` scales the matrix down for a quick look."""

import argparse
import gc
import json
import time

import numpy as np

from morvanta import BaselineSnapshot

try:
    import orjson
except ImportError:  # optional
    orjson = None


def timed(fn, runs=1):
    best = None
    for _ in range(runs):
        out = None
        gc.collect()
        t0 = time.perf_counter()
        out = fn()
        t = time.perf_counter() - t0
        best = t if best is None else min(best, t)
    return best, out


def build_doc(rows, cols, n):
    rng = np.random.default_rng(0)
    emb = rng.standard_normal((rows, cols)).astype(np.float32)
    return {
        "embeddings": {"v": 1, "dim": [rows, cols], "data": emb.ravel().tolist()},
        "feature_means": rng.standard_normal(n).tolist(),
        "feature_stds": rng.gamma(2.0, 1.0, n).tolist(),
        "confidence_scores": rng.random(n).tolist(),
        "response_lengths": rng.integers(0, 4000, n).tolist(),
        "query_centroids": None,
        "query_cluster_freqs": rng.random(n).tolist(),
        "captured_at": 1700000000,
    }


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=100_000)
    ap.add_argument("--cols", type=int, default=384)
    ap.add_argument("--n", type=int, default=1_000_000)
    a = ap.parse_args()

    doc = build_doc(a.rows, a.cols, a.n)
    snap = BaselineSnapshot.from_json(json.dumps(doc))

    t_w, text = timed(snap.to_json, 3)
    t_r, back = timed(lambda: BaselineSnapshot.from_json(text), 3)
    assert back.to_json() == text
    del back
    t_jw, jtext = timed(lambda: json.dumps(doc))
    t_jr, jdoc = timed(lambda: json.loads(jtext))
    del jdoc

    print(f"data: {a.rows} x {a.cols} float32 matrix, 5 lists of {a.n} values")
    print(f"morvanta to_json:   {t_w:8.3f} s  ({len(text) / 1e6:.1f} MB)")
    print(f"morvanta from_json: {t_r:8.3f} s")
    print(f"json.dumps:         {t_jw:8.3f} s  ({len(jtext) / 1e6:.1f} MB)")
    print(f"json.loads:         {t_jr:8.3f} s")
    print(f"ratio json/morvanta: write {t_jw / t_w:.2f}x, read {t_jr / t_r:.2f}x")
    del jtext
    if orjson is not None:
        t_ow, otext = timed(lambda: orjson.dumps(doc), 3)
        t_or, odoc = timed(lambda: orjson.loads(otext), 3)
        del odoc
        print(f"orjson.dumps:       {t_ow:8.3f} s  ({len(otext) / 1e6:.1f} MB)")
        print(f"orjson.loads:       {t_or:8.3f} s")
        print(f"ratio orjson/morvanta: write {t_ow / t_w:.2f}x, read {t_or / t_r:.2f}x")


if __name__ == "__main__":
    main()

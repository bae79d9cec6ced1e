"""One table: every entry point scores the same windows with the same bits.

The raw detectors on the arrays are the reference; the fitted baseline, the
pipeline check (from frames, files and a saved baseline), the monitor, the
Dask group check and the command line's JSON must each give exactly their
scores, dimension by dimension.
"""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import morvanta
from morvanta import ConfidenceDrift, DataDrift, EmbeddingDrift, QueryDrift, ResponseDrift

pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")

SITE = str(Path(morvanta.__file__).parent.parent.absolute())
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in [SITE, os.environ.get("PYTHONPATH")] if p))
T0 = 1_700_000_000.0


def frame(n, seed, shift=0.0):
    rng = np.random.default_rng(seed)
    return pd.DataFrame({
        "timestamp": T0 + np.sort(rng.uniform(0, 3600, n)),
        "query_embedding": list((rng.normal(size=(n, 6)) + shift).astype(np.float32)),
        "response_embedding": list(rng.normal(size=(n, 6)).astype(np.float32)),
        "response_length": rng.integers(5, 60 + int(40 * shift), n).astype(np.float64),
        "confidence": rng.beta(8, 2 + shift, n),
        "correct": rng.random(n) < 0.8 - shift / 5,
        "latency_ms": rng.gamma(4.0, 80.0 * (1 + shift), n),
        "tokens": rng.poisson(18, n).astype(np.float64),
    })


def arrays(f):
    return {
        "features": np.asfortranarray(f[["latency_ms", "tokens"]].to_numpy(np.float64)),
        "queries": np.stack(f["query_embedding"].to_list()),
        "response_embeddings": np.stack(f["response_embedding"].to_list()),
        "response_lengths": f["response_length"].to_numpy(np.float64),
        "confidences": f["confidence"].to_numpy(np.float64),
        "correct": f["correct"].to_numpy(bool),
    }


def reference(b, c):
    """dimension -> (score bits, method) of the plain detectors."""
    s = {
        "data": DataDrift().detect(b["features"], c["features"]),
        "embedding": EmbeddingDrift().detect(b["queries"], c["queries"]),
        "response": ResponseDrift().detect_with_embeddings(b["response_lengths"], c["response_lengths"],
                                                           b["response_embeddings"], c["response_embeddings"]),
        "confidence": ConfidenceDrift().detect_with_correctness(b["confidences"], b["correct"], c["confidences"],
                                                                c["correct"]),
        "query": QueryDrift().detect(b["queries"], c["queries"]),
    }
    return {d: (v.score.hex(), v.method) for d, v in s.items()}


def of_check(result):
    return {d.dimension: (d.score.score.hex(), d.score.method) for d in result.dimensions if d.score is not None}


@pytest.fixture(scope="module")
def windows(tmp_path_factory):
    d = tmp_path_factory.mktemp("conformance")
    base, cur = frame(240, 11), frame(160, 12, shift=0.3)
    base.to_parquet(d / "base.parquet", index=False)
    cur.to_parquet(d / "cur.parquet", index=False)
    return d, base, cur, reference(arrays(base), arrays(cur))


def _baseline(base):
    a = arrays(base)
    return morvanta.Baseline.fit(features=a["features"], feature_names=["latency_ms", "tokens"],
                                 embeddings=a["queries"], queries=a["queries"],
                                 response_lengths=a["response_lengths"], response_embeddings=a["response_embeddings"],
                                 confidences=a["confidences"], correct=a["correct"])


def _via_baseline(d, base, cur):
    c = arrays(cur)
    report = _baseline(base).check(features=c["features"], embeddings=c["queries"], queries=c["queries"],
                                   response_lengths=c["response_lengths"],
                                   response_embeddings=c["response_embeddings"], confidences=c["confidences"],
                                   correct=c["correct"])
    return {s.dimension: (s.score.hex(), s.method) for s in report.scores}


def _via_saved(d, base, cur):
    path = d / "saved.npz"
    _baseline(base).save(str(path))
    return of_check(morvanta.check(str(path), cur))


def _via_monitor(d, base, cur):
    m = morvanta.monitor(cur, rows=len(cur), baseline_log=base)
    (w,) = [w for w in m.windows if w.result is not None]
    return of_check(w.result)


def _via_groups(d, base, cur):
    dask = pytest.importorskip("morvanta.dask")
    pytest.importorskip("dask.dataframe")
    out = dask.check_groups(base, cur.assign(tenant="acme"), by="tenant")
    return {r.dimension: (float(r.score).hex(), r.method) for r in out.itertuples() if r.status == "ok"}


def _via_cli(d, base, cur):
    out = d / "cli.json"
    p = subprocess.run([sys.executable, "-m", "morvanta", "check", "base.parquet", "cur.parquet", "--json", str(out)],
                       capture_output=True, text=True, cwd=d, env=ENV, timeout=300)
    assert p.returncode in (0, 1), p.stderr
    doc = json.loads(out.read_text())
    return {x["dimension"]: (float(x["score"]).hex(), x["method"]) for x in doc["dimensions"] if x["score"] is not None}


@pytest.mark.parametrize("path", [
    pytest.param(lambda d, b, c: of_check(morvanta.check(b, c)), id="check-frames"),
    pytest.param(lambda d, b, c: of_check(morvanta.check(str(d / "base.parquet"), str(d / "cur.parquet"))),
                 id="check-files"),
    pytest.param(_via_baseline, id="baseline-check"),
    pytest.param(_via_saved, id="saved-baseline"),
    pytest.param(_via_monitor, id="monitor"),
    pytest.param(_via_groups, id="check-groups"),
    pytest.param(_via_cli, id="cli-json"),
])
def test_every_entry_point_gives_the_detectors_bits(windows, path):
    d, base, cur, expected = windows
    got = path(d, base, cur)
    assert got == expected

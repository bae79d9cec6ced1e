"""morvanta.dask.check_groups on a two-process LocalCluster: every group scored as the
plain detectors score it serially, bit for bit, whatever the partitioning, with
small groups and failing groups reported rather than dropped."""

import json
import logging
import os
import subprocess
import sys

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import morvanta  # noqa: E402
from morvanta import ConfidenceDrift, DataDrift, DriftReport, EmbeddingDrift, QueryDrift, ResponseDrift  # noqa: E402
from morvanta.dask import check_groups  # noqa: E402
from morvanta.errors import ArgumentError  # noqa: E402
from conftest import bits  # noqa: E402

KEYS = ["tenant", "hour"]
FEATURES = ["latency_ms", "retrieval_score", "prompt_tokens", "cached"]
COLUMNS = ["tenant", "hour", "dimension", "score", "threshold", "exceeded", "method", "n_rows", "status", "message"]


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as c:
        yield c


def request_log(rng, n, shift=0.0, width=8):
    """A request log in the conventional layout (without keys)."""
    q = rng.normal(size=(n, width)).astype(np.float32) + np.float32(shift)
    r = rng.normal(size=(n, width)).astype(np.float32)
    return pd.DataFrame({
        "latency_ms": rng.gamma(2.0, 100.0 * (1 + shift), n),
        "retrieval_score": rng.random(n),
        "prompt_tokens": rng.integers(10, 400, n),
        "cached": rng.random(n) < 0.3,
        "query_embedding": list(q),
        "response_embedding": list(r),
        "response_length": rng.integers(20, 600, n),
        "confidence": np.clip(rng.normal(0.7 - shift / 4, 0.15, n), 0, 1),
        "correct": rng.random(n) < 0.75,
        "timestamp": np.arange(n, dtype=np.int64) + 1_700_000_000,
    })


GROUPS = [(("acme", 0), 60, 0.0), (("acme", 1), 45, 0.4), (("beta", 0), 70, 0.1), (("beta", 1), 3, 0.0),
          (("gamma", 1), 50, 1.0)]


def make_logs(seed=0):
    """Groups interleaved at random, so that every group spans several partitions."""
    rng = np.random.default_rng(seed)
    logs = pd.concat([request_log(rng, n, shift).assign(tenant=t, hour=h) for (t, h), n, shift in GROUPS],
                     ignore_index=True)
    logs = logs.iloc[rng.permutation(len(logs))].reset_index(drop=True)
    return logs[["tenant", "hour", *[c for c in logs.columns if c not in KEYS]]]


@pytest.fixture(scope="module")
def baseline():
    return request_log(np.random.default_rng(99), 120)


def to_dask(frame, npartitions):
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_pandas(frame, npartitions=npartitions, sort=False)


def reference(base, logs, min_rows, detectors=None):
    """Each group scored serially with the plain detectors on arrays built here."""
    det = {"data": DataDrift(), "embedding": EmbeddingDrift(), "response": ResponseDrift(),
           "confidence": ConfidenceDrift(), "query": QueryDrift(), **(detectors or {})}

    def arrays(f):
        return dict(x=np.column_stack([f[c].to_numpy(np.float64) for c in FEATURES]),
                    q=np.stack(f["query_embedding"].to_list()).astype(np.float32),
                    r=np.stack(f["response_embedding"].to_list()).astype(np.float32),
                    n=f["response_length"].to_numpy(np.float64), c=f["confidence"].to_numpy(np.float64),
                    k=f["correct"].to_numpy(bool))

    b = arrays(base)
    out = {}
    for key, g in logs.groupby(KEYS, sort=True):
        if len(g) < min_rows:
            out[key] = ("too_small", len(g))
            continue
        c = arrays(g)
        out[key] = [det["data"].detect(b["x"], c["x"]), det["embedding"].detect(b["q"], c["q"]),
                    det["response"].detect_with_embeddings(b["n"], c["n"], b["r"], c["r"]),
                    det["confidence"].detect_with_correctness(b["c"], b["k"], c["c"], c["k"]),
                    det["query"].detect(b["q"], c["q"])]
    return out


def assert_matches(result, ref, n_rows):
    assert list(result.columns[:len(COLUMNS)]) == COLUMNS
    assert len(result) == 5 * len(ref)
    assert list(map(tuple, result[KEYS].drop_duplicates().itertuples(index=False))) == sorted(ref)
    for (key, rows) in result.groupby(KEYS, sort=False):
        want = ref[key]
        assert list(rows["dimension"]) == ["data", "embedding", "response", "confidence", "query"]
        assert (rows["n_rows"] == n_rows[key]).all()
        if isinstance(want, tuple):
            assert (rows["status"] == "too_small").all() and rows["score"].isna().all() and not rows["exceeded"].any()
            assert rows["message"].iloc[0] == f"{want[1]} rows, fewer than min_rows=10"
            continue
        assert (rows["status"] == "ok").all() and (rows["message"] == "").all()
        got = [(r.dimension, bits(r.score), bits(r.threshold), bool(r.exceeded), r.method) for r in rows.itertuples()]
        assert got == [(s.dimension, bits(s.score), bits(s.threshold), s.exceeded, s.method) for s in want]


def sizes(logs):
    return logs.groupby(KEYS).size().to_dict()


# ---------------------------------------------------------------- results


def test_cluster_scores_equal_serial_detectors_bit_for_bit(client, baseline):
    logs = make_logs()
    result = check_groups(baseline, to_dask(logs, 4), by=KEYS, min_rows=10, decide="threshold")
    assert_matches(result, reference(baseline, logs, 10), sizes(logs))
    assert (result.decided_by.dropna() == "threshold").all() and (result.drifted == result.exceeded).all()
    # Drift shows where it was put: the shifted tenant, not the unshifted one.
    worst = result[result.dimension == "embedding"].set_index(KEYS)["score"]
    assert worst[("gamma", 1)] > 5 * worst[("acme", 0)]


def test_partitioning_shuffle_and_serial_path_give_identical_frames(client, baseline):
    logs = make_logs(seed=1)
    # p-values too: each group's permutations come from its own seed, whatever the partitioning.
    opts = dict(by=KEYS, min_rows=10, n_permutations=199, dimensions=["data", "response", "confidence"])
    runs = [check_groups(baseline, logs, **opts)]  # pandas: scored in this process
    runs += [check_groups(baseline, to_dask(logs, n), **opts) for n in (1, 3, 7)]
    # Logs already cut by tenant, one partition each: no shuffle needed, same result.
    by_tenant = dd.concat([to_dask(g, 1) for _, g in logs.groupby("tenant", sort=False)])
    runs.append(check_groups(baseline, by_tenant, shuffle=False, **opts))
    assert runs[0].p_value.notna().sum() == 12
    for other in runs[1:]:
        pd.testing.assert_frame_equal(other, runs[0], check_dtype=False, check_exact=True)
    with pytest.raises(ValueError, match="lies in more than one partition"):
        check_groups(baseline, to_dask(logs, 3), by=KEYS, min_rows=10, shuffle=False)


def test_arrow_list_and_float64_embeddings_give_the_float32_scores(client, baseline):
    pa = pytest.importorskip("pyarrow")
    logs = make_logs(seed=2)
    want = check_groups(baseline, to_dask(logs, 2), by=KEYS, min_rows=10, decide="threshold")
    arrow = logs.assign(query_embedding=pd.Series(
        [v.astype(np.float64).tolist() for v in logs.query_embedding], dtype=pd.ArrowDtype(pa.list_(pa.float64()))))
    wide = logs.assign(response_embedding=[v.astype(np.float64) for v in logs.response_embedding])
    for frame in (arrow, wide):
        pd.testing.assert_frame_equal(check_groups(baseline, to_dask(frame, 3), by=KEYS, min_rows=10,
                                                   decide="threshold"), want, check_exact=True)


def test_settings_roles_and_features_follow_the_arguments(client, baseline):
    logs = make_logs(seed=3).rename(columns={"confidence": "p_answer"})
    base = baseline.rename(columns={"confidence": "p_answer"})
    dets = {"data": DataDrift(0.05, 4), "query": QueryDrift(0.3, k=3, seed=5), "embedding": EmbeddingDrift(1.0, 8, 2)}
    result = check_groups(base, to_dask(logs, 2), by=KEYS, min_rows=10, detectors=dets,
                          columns={"confidence": "p_answer"}, decide="threshold")
    ref = reference(baseline, logs.rename(columns={"p_answer": "confidence"}), 10, detectors=dets)
    assert_matches(result, ref, sizes(logs))
    # Roles left out and an explicit feature list narrow what is scored.
    only = check_groups(base, logs, by="tenant", min_rows=10, features=["latency_ms"], n_permutations=99,
                        columns={"query_embedding": None, "response_length": None, "response_embedding": None,
                                 "confidence": None, "correct": None})
    assert list(only.dimension.unique()) == ["data"] and list(only.tenant) == ["acme", "beta", "gamma"]
    # A role switched off, or a timestamp only the baseline has, never turns into a feature.
    off = check_groups(baseline.assign(timestamp=1), logs.drop(columns="timestamp"), by=KEYS, min_rows=10,
                       columns={"confidence": None, "correct": None, "response_length": None,
                                "response_embedding": None}, decide="threshold")
    assert list(off.dimension.unique()) == ["data", "embedding", "query"]
    pd.testing.assert_frame_equal(off[off.dimension == "data"].reset_index(drop=True),
                                  check_groups(base, logs, by=KEYS, min_rows=10, dimensions="data",
                                               columns={"confidence": "p_answer"}, decide="threshold"))
    x = baseline[["latency_ms"]].to_numpy()
    for row in only.itertuples():
        g = logs[logs.tenant == row.tenant][["latency_ms"]].to_numpy()
        assert bits(row.score) == bits(DataDrift().detect(x, g).score)


def test_embedding_column_and_response_text_as_in_the_pipeline_logs(client, baseline):
    # A dedicated `embedding` column feeds EmbeddingDrift (queries still feed QueryDrift);
    # without `response_length`, the `response` text gives the lengths, in characters or words.
    rng = np.random.default_rng(12)
    words = np.array(["a", "bb", "ccc", "dddd"])

    def texts(n):
        return [" ".join(rng.choice(words, rng.integers(1, 30))) for _ in range(n)]

    def widen(frame):
        return frame.drop(columns="response_length").assign(
            embedding=list(rng.normal(size=(len(frame), 4)).astype(np.float32)), response=texts(len(frame)))

    base, logs = widen(baseline), widen(make_logs(seed=12))
    got = check_groups(base, to_dask(logs, 3), by=KEYS, min_rows=10, length="words", decide="threshold",
                       dimensions=["embedding", "response", "query"]).set_index(KEYS + ["dimension"])

    def lengths(f):
        return np.array([len(t.split()) for t in f.response], dtype=float)

    b_emb, b_q, b_r = (np.stack(base[c].to_list()) for c in ("embedding", "query_embedding", "response_embedding"))
    for key, g in logs[logs.groupby(KEYS).tenant.transform("size") >= 10].groupby(KEYS):
        c_emb, c_q, c_r = (np.stack(g[c].to_list()) for c in ("embedding", "query_embedding", "response_embedding"))
        for s in [EmbeddingDrift().detect(b_emb, c_emb), QueryDrift().detect(b_q, c_q),
                  ResponseDrift().detect_with_embeddings(lengths(base), lengths(g), b_r, c_r)]:
            assert bits(got.loc[(*key, s.dimension)].score) == bits(s.score), (key, s.dimension)
    with pytest.raises(ValueError, match="argument 'length': expected 'chars' or 'words', got 'bytes'"):
        check_groups(base, logs, by=KEYS, length="bytes")


def test_failing_groups_are_reported_with_their_error(client, baseline):
    logs = make_logs(seed=4)
    # A detector that fails (more clusters than baseline rows) spoils its dimension only.
    result = check_groups(baseline, to_dask(logs, 3), by=KEYS, min_rows=10,
                          detectors={"query": QueryDrift(k=500)}).set_index(KEYS + ["dimension"])
    scored = result[result.status != "too_small"]
    query = scored.xs("query", level="dimension")
    assert (query.status == "error").all() and query.score.isna().all()
    assert query.message.iloc[0] == "invalid configuration: kmeans: k=500 exceeds sample count n=120"
    assert (scored.drop(index="query", level="dimension").status == "ok").all()
    # A bad cell spoils its group: every dimension, with the row named by its label.
    bad = logs.index[(logs.tenant == "beta") & (logs.hour == 0)]
    for cell, message in [(np.full(8, np.nan, np.float32), "NaN or infinity in the embedding"),
                          (None, "missing embedding"),
                          (np.zeros(7, np.float32), "embedding of 7 values, but other rows have 8")]:
        broken = logs.copy()
        broken["query_embedding"] = broken["query_embedding"].astype(object)
        broken.at[bad[0], "query_embedding"] = cell
        for frame in (to_dask(broken, 3), broken):
            got = check_groups(baseline, frame, by=KEYS, min_rows=10, decide="threshold").set_index(
                KEYS + ["dimension"])
            beta0 = got.loc[("beta", 0)]
            assert (beta0.status == "error").all() and beta0.score.isna().all()
            assert set(beta0.message) == {f"argument 'logs': column 'query_embedding' row {bad[0]}: {message}"}
            assert (got.drop(index=("beta", 0)).status != "error").all()


# ---------------------------------------------------------------- fitted baselines


class StandInBaseline:
    """A fitted baseline with the surface morvanta.Baseline offers (parts, feature_names,
    detectors, check); each unpickling is logged to `self.log` to count the shipments."""

    def __init__(self, frame, log):
        self.raw = dict(features=frame[FEATURES].to_numpy(np.float64),
                        queries=np.stack(frame.query_embedding.to_list()).astype(np.float32),
                        confidences=frame.confidence.to_numpy(), correct=frame.correct.to_numpy())
        self.parts = ("features", "confidences", "correct", "queries")
        self.feature_names = FEATURES
        self.detectors = {"data": DataDrift(), "confidence": ConfidenceDrift(), "query": QueryDrift()}
        self.log = log

    def check(self, *, features, confidences, correct, queries):
        r = self.raw
        return DriftReport([self.detectors["data"].detect(r["features"], features),
                            self.detectors["confidence"].detect_with_correctness(
                                r["confidences"], r["correct"], confidences, correct),
                            self.detectors["query"].detect(r["queries"], queries)], 0, 0)

    def __setstate__(self, state):
        self.__dict__.update(state)
        with open(self.log, "a") as f:
            f.write(f"{os.getpid()}\n")


def test_fitted_baseline_scores_like_the_raw_window_and_ships_once_per_worker(client, baseline, tmp_path):
    log = tmp_path / "unpickled.txt"
    logs = make_logs(seed=5)
    cut = logs.drop(columns=["response_embedding", "response_length"])
    raw = check_groups(baseline.drop(columns=["response_embedding", "response_length"]), to_dask(cut, 2), by=KEYS,
                       min_rows=10, decide="threshold").query("dimension != 'embedding'")
    # Eight partitions and five groups, scored on two workers: the baseline is read
    # at most once per worker, not once per task. A baseline that cannot test is decided by its
    # thresholds, and says so in every row.
    fitted = check_groups(StandInBaseline(baseline, str(log)), to_dask(logs, 8), by=KEYS, min_rows=10)
    pd.testing.assert_frame_equal(fitted, raw.reset_index(drop=True), check_exact=True)
    readers = [int(p) for p in log.read_text().split()]
    assert sorted(readers) == sorted(client.run(os.getpid).values())


def test_real_fitted_baseline(client, baseline):
    logs = make_logs(seed=6)
    fit = morvanta.Baseline.fit(features=baseline[FEATURES], confidences=baseline.confidence.to_numpy(),
                                correct=baseline.correct.to_numpy(),
                                queries=np.stack(baseline.query_embedding.to_list()))
    got = check_groups(fit, to_dask(logs, 3), by=KEYS, min_rows=10, decide="threshold")
    want = check_groups(baseline, logs, by=KEYS, min_rows=10, columns={"response_length": None, "response_embedding": None},
                        decide="threshold")
    want = want[want.dimension != "embedding"].reset_index(drop=True)
    pd.testing.assert_frame_equal(got, want, check_exact=True)
    tested = check_groups(fit, logs, by=KEYS, min_rows=10)
    ok = tested[tested.status == "ok"]
    assert set(ok.decided_by) == {"p-value"} and ok.p_adjusted.notna().all()


# ---------------------------------------------------------------- p-values


def test_p_values_match_serial_permutation_tests(client, baseline):
    from morvanta.dask import group_seed
    from morvanta.pipeline.check import holm
    from morvanta.pipeline.decide import run_test

    logs = make_logs(seed=7)
    result = check_groups(baseline, to_dask(logs, 2), by=KEYS, min_rows=10, n_permutations=99, seed=3,
                          columns={"query_embedding": None})
    ok = result[result.status == "ok"]
    assert ((ok.p_value > 0) & (ok.p_value <= 1)).all() and result[result.status != "ok"].p_value.isna().all()
    assert set(ok.decided_by) == {"p-value"} and result[result.status != "ok"].p_bh.isna().all()
    b = baseline
    for row in ok[ok.dimension == "confidence"].itertuples():
        g = logs[(logs.tenant == row.tenant) & (logs.hour == row.hour)]
        t = run_test(ConfidenceDrift().detect_with_correctness, (b.confidence.to_numpy(), b.correct.to_numpy()),
                     (g.confidence.to_numpy(), g.correct.to_numpy()), n_permutations=99,
                     seed=group_seed(3, (row.tenant, row.hour)), exact=False)
        assert (bits(row.p_value), bits(row.score)) == (bits(t.p_value), bits(t.score.score))
    # Holm within each group, then Benjamini-Hochberg across the groups' smallest adjusted p-values.
    group_p = {}
    for key, rows in ok.groupby(KEYS):
        assert list(rows.p_adjusted) == holm(list(rows.p_value))
        assert list(rows.drifted) == [p <= 0.05 for p in rows.p_adjusted]
        group_p[key] = rows.p_adjusted.min()
    stats = pytest.importorskip("scipy.stats")
    bh = dict(zip(group_p, stats.false_discovery_control(list(group_p.values()), method="bh")))
    for key, rows in ok.groupby(KEYS):
        assert rows.p_bh.tolist() == pytest.approx([bh[key]] * len(rows), rel=1e-12)
    # The shifted tenant drifts; the seed of a group is the documented digest of the seed and its key.
    assert ok[(ok.tenant == "gamma")].drifted.any() and not ok[(ok.tenant == "acme") & (ok.hour == 0)].drifted.any()
    import hashlib

    assert group_seed(3, ("gamma", 1)) == int.from_bytes(
        hashlib.sha256("3\x1fgamma\x1f1\x1f".encode()).digest()[:8], "big")
    # A group's p-values depend on its rows, key and seed only: dropping the other groups changes nothing.
    alone = check_groups(baseline, logs[logs.tenant == "gamma"], by=KEYS, min_rows=10, n_permutations=99, seed=3,
                         columns={"query_embedding": None})
    assert alone.p_value.tolist() == ok[ok.tenant == "gamma"].p_value.tolist()
    with pytest.raises(ValueError, match="^argument 'n_permutations': 19 permutations cannot reach alpha 0.05 over "
                                         "3 dimensions"):
        check_groups(baseline, logs, by=KEYS, n_permutations=19, columns={"query_embedding": None})


def test_null_groups_give_p_values_close_to_uniform(client):
    # 80 windows drawn from the baseline's own distribution: p-values are valid
    # (about uniform), so a 10% level flags about 10% of them, and the groups'
    # Benjamini-Hochberg values keep nearly all of them quiet.
    rng = np.random.default_rng(11)
    base = pd.DataFrame({"response_length": rng.normal(size=200), "confidence": rng.random(200)})
    logs = pd.DataFrame({"tenant": np.repeat(np.arange(80), 40), "hour": 0,
                         "response_length": rng.normal(size=3200), "confidence": rng.random(3200)})
    out = check_groups(base, to_dask(logs, 4), by=KEYS, min_rows=10, p_values=True, n_permutations=99, seed=1,
                       exact=True)
    p = out.p_value.to_numpy()
    assert len(p) == 160 and (out.status == "ok").all()
    assert 0.4 < p.mean() < 0.6 and np.mean(p <= 0.1) < 0.2
    from scipy import stats
    assert stats.kstest(p, "uniform").pvalue > 1e-3
    assert np.mean(out.drifted) < 0.1 and np.mean(out.p_bh <= 0.1) < 0.1


# ---------------------------------------------------------------- argument errors and imports


def test_argument_errors_name_the_argument_and_column(baseline):
    logs = make_logs(seed=8)
    cases = [
        (dict(by=["tenant", "region"]), ValueError, "argument 'logs': key columns ['region'] not found"),
        (dict(by=[]), ValueError, "argument 'by': at least one key column is needed"),
        (dict(columns={"answer": "x"}), ValueError, "argument 'columns': unknown role 'answer'"),
        (dict(detectors={"data": QueryDrift()}), TypeError,
         "argument 'detectors': dimension 'data' takes a DataDrift, got QueryDrift"),
        (dict(dimensions=["data", "latency"]), ValueError, "argument 'dimensions': unknown dimension 'latency'"),
        (dict(dimensions="confidence", columns={"confidence": None, "correct": None}), ValueError,
         "argument 'dimensions': ['confidence'] cannot be scored: the baseline has only ['data', 'embedding', "
         "'response', 'query']"),
        (dict(min_rows=0), ValueError, "argument 'min_rows': expected a positive int, got 0"),
        (dict(decide="vote"), ArgumentError, "argument 'decide': expected one of 'p-value', 'threshold', 'calibrated'"),
        (dict(decide="threshold", n_permutations=99), ValueError, "argument 'n_permutations': permutations need "
         "p-value decisions"),
        (dict(min_effect={"data": -1}), ArgumentError, "argument 'min_effect': dimension 'data': expected a finite "
         "score >= 0, got -1"),
        (dict(features=["latency_ms", "nope"]), ValueError, "argument 'baseline': feature columns ['nope'] not found"),
    ]
    for kwargs, exc, text in cases:
        with pytest.raises(exc) as info:
            check_groups(baseline, logs, **{"by": KEYS, **kwargs})
        assert type(info.value) is exc and str(info.value).startswith(text), str(info.value)
    with pytest.raises(ValueError, match=r"^argument 'logs': column 'confidence' \(confidence\) is in the baseline but "
                                         r"not in the logs \(pass columns=\{'confidence': None\} to leave it out\)$"):
        check_groups(baseline, logs.drop(columns="confidence"), by=KEYS)
    with pytest.raises(TypeError, match="^argument 'logs': column 'latency_ms' is not numeric"):
        check_groups(baseline, logs.assign(latency_ms="fast"), by=KEYS)
    with pytest.raises(TypeError, match="^argument 'baseline': expected a pandas DataFrame or a fitted "
                                        "morvanta.Baseline, got ndarray"):
        check_groups(np.zeros((3, 3)), logs, by=KEYS)
    with pytest.raises(ValueError, match="^argument 'detectors': a fitted Baseline scores with"):
        check_groups(StandInBaseline(baseline, os.devnull), logs, by=KEYS, detectors={"data": DataDrift()})
    # Dask turns object columns into text by default; the error says how to keep the lists.
    with dask.config.set({"dataframe.convert-string": True}):
        texts = dd.from_pandas(logs, npartitions=2)
    with pytest.raises(TypeError, match="column 'query_embedding' holds .*convert-string"):
        check_groups(baseline, texts, by=KEYS)


def test_a_missing_dask_says_what_to_install():
    # That `import morvanta` loads no frame library is checked with the command line.
    out = subprocess.run([sys.executable, "-c", "import sys; sys.modules['dask'] = None\n"
                          "try:\n import morvanta.dask\nexcept ImportError as e: print(e)"],
                         capture_output=True, text=True)
    assert out.stdout.strip() == 'morvanta.dask needs Dask and pandas (dask is missing): pip install "morvanta[dask]"'



# ---------------------------------------------------------------- baselines and monitors over partitions

from conftest import traffic_frame, write_parquet  # noqa: E402


@pytest.fixture(scope="module")
def one_worker():
    with distributed.LocalCluster(n_workers=1, processes=False, threads_per_worker=2, dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, distributed.Client(cluster,
                                                                                             set_as_default=False) as c:
        yield c


def test_partitioned_fit_gives_one_file_on_one_or_two_workers_and_from_a_frame(client, one_worker, tmp_path):
    frame = traffic_frame(700, seed=3)
    paths = [write_parquet(frame.iloc[i:i + 350], tmp_path / f"p{i}.parquet", 3) for i in (0, 350)]
    kw = dict(budget=250 * 41, max_rows=90, seed=2)
    files = []
    for i, scheduler in enumerate((None, client, one_worker, client.scheduler.address)):
        base = morvanta.Baseline.fit_partitions(paths if i % 2 else paths[::-1], scheduler=scheduler, **kw)
        base.save(tmp_path / f"b{i}.npz")
        files.append((tmp_path / f"b{i}.npz").read_bytes())
    with dask.config.set({"dataframe.convert-string": False}):
        ddf = dd.from_pandas(frame.iloc[::-1], npartitions=5)  # rows in another order, other partitions
        base = morvanta.Baseline.fit_partitions(ddf, scheduler=client, captured_at=int(frame.timestamp.max()), **kw)
    base.save(tmp_path / "frame.npz")
    files.append((tmp_path / "frame.npz").read_bytes())
    assert all(f == files[0] for f in files)
    assert base.sizes["features"] == 250 and base.sizes["embeddings"] == 90


def window_dicts(result):
    return [w.to_dict() for w in result.windows]


def test_monitor_over_partitions_equals_the_serial_monitor(client, tmp_path):
    frame = traffic_frame(1300, seed=6)
    frame.loc[frame.index >= 900, "f0"] += 1.5  # drift in the last windows
    frame = frame.drop(index=range(500, 650))  # a gap of two periods or more
    whole = write_parquet(frame, tmp_path / "whole.parquet")
    shuffled = frame.sample(frac=1.0, random_state=0)  # windows by time cut across every partition
    _ = [write_parquet(shuffled.iloc[i:i + 300], tmp_path / f"part-{i:04d}.parquet", 2)
             for i in range(0, len(shuffled), 300)]
    base = morvanta.Baseline.fit_partitions(write_parquet(traffic_frame(800, seed=7), tmp_path / "base.parquet"))
    base.save(tmp_path / "base.npz")
    kw = dict(n_permutations=199, min_rows=20, persist=(2, 3))
    serial = morvanta.monitor(whole, every="60s", baseline_log=str(tmp_path / "base.npz"), **kw)
    par = morvanta.dask.monitor(str(tmp_path / "part-*.parquet"), every="60s", baseline=str(tmp_path / "base.npz"),
                                client=client, **kw)
    assert window_dicts(par) == window_dicts(serial)
    assert any(w.status == "gap" for w in par.windows) and any(w.alert for w in par.windows)
    assert par.notes == serial.notes
    # By rows, in file order: the partitions in path order are the log.
    ordered = [write_parquet(frame.iloc[i:i + 250], tmp_path / f"ord-{i:04d}.parquet", 3)
               for i in range(0, len(frame), 250)]
    serial = morvanta.monitor(whole, rows=170, baseline_log=base, **kw)
    par = morvanta.dask.monitor(ordered[::-1], rows=170, baseline=base, client=client, **kw)
    assert window_dicts(par) == window_dicts(serial)
    local = morvanta.dask.monitor(ordered, rows=170, baseline=base, client=None, **kw)
    assert window_dicts(local) == window_dicts(serial)


def with_route(frame, seed, late_shift=None):
    rng = np.random.default_rng(seed)
    route = rng.choice(["chat", "search", "tools"], len(frame)).astype(object)
    if late_shift is not None:
        route[late_shift:] = rng.choice(["chat", "voice"], len(frame) - late_shift)
    route[rng.random(len(frame)) < 0.05] = None
    return frame.assign(route=route)


def test_monitor_over_partitions_with_a_categorical_column_against_a_saved_baseline(client, tmp_path):
    # Windows cut across partitions recode their categories; the saved baseline holds the route's table.
    frame = with_route(traffic_frame(900, seed=6), 1, late_shift=600)
    whole = write_parquet(frame, tmp_path / "whole.parquet")
    ordered = [write_parquet(frame.iloc[i:i + 250], tmp_path / f"ord-{i:04d}.parquet", 3)
               for i in range(0, len(frame), 250)]
    base = morvanta.Baseline.fit_partitions(write_parquet(with_route(traffic_frame(800, seed=7), 2),
                                                          tmp_path / "base.parquet"))
    assert [c["name"] for c in base.categories] == ["route"]
    base.save(tmp_path / "base.npz")
    kw = dict(n_permutations=199, min_rows=20)
    serial = morvanta.monitor(whole, rows=150, baseline_log=str(tmp_path / "base.npz"), **kw)
    par = morvanta.dask.monitor(ordered[::-1], rows=150, baseline=str(tmp_path / "base.npz"), client=client, **kw)
    assert window_dicts(par) == window_dicts(serial)
    # The route mix moves from row 600 on (a category unseen in the baseline): those windows drift.
    moved = [w.first_row for w in serial.windows if w.result is not None and any(
        p.name == "psi_cat" and p.p_adjusted <= 0.05 for d in w.result.dimensions for p in (d.parts or ()))]
    assert moved == [600, 750]
    last = serial.windows[-1].result
    assert [u["category"] for u in last.categorical[0]["unseen"]] == ["voice"]
    # Each JSON line says what moved in the window's categorical columns.
    line = json.loads(json.dumps(serial.windows[-1].to_dict()))
    assert [u["category"] for u in line["categorical_columns"][0]["unseen"]] == ["voice"]


# ---------------------------------------------------------------- categorical columns in check_groups


def routed_logs():
    """Three tenants; tenant "b" moves its route mix (and adds a route the baseline never saw)."""
    rng = np.random.default_rng(21)

    def part(n, tenant, shifted=False):
        routes, p = (["chat", "search", "tools", "voice"], [0.2, 0.3, 0.2, 0.3]) if shifted else \
            (["chat", "search", "tools"], [0.5, 0.3, 0.2])
        route = rng.choice(routes, n, p=p).astype(object)
        route[rng.random(n) < 0.05] = None
        return pd.DataFrame({"tenant": tenant, "latency_ms": rng.gamma(2.0, 100.0, n), "route": route,
                             "tier": rng.choice([1, 2, 3], n), "confidence": rng.random(n)})

    base = part(300, "-").drop(columns="tenant")
    logs = pd.concat([part(120, "a"), part(100, "b", shifted=True), part(90, "c")], ignore_index=True)
    return base, logs.iloc[rng.permutation(len(logs))].reset_index(drop=True)


def group_rows(logs, tenant):
    return logs[logs.tenant == tenant].drop(columns="tenant").reset_index(drop=True)


def same(a, b):
    """Equal, NaN for NaN and every float to its last bit (repr round-trips)."""
    return json.dumps(a, sort_keys=True) == json.dumps(b, sort_keys=True)


def assert_group_equals_check(rows, serial):
    """One group's rows of check_groups equal morvanta.check's result on that group, bit for bit."""
    by_dim = {d.dimension: d for d in serial.dimensions}
    for r in rows.itertuples():
        d = by_dim[r.dimension]
        assert (bits(r.p_value), bits(r.p_adjusted), r.drifted) == (bits(d.p_value), bits(d.p_adjusted), d.drifted)
        assert same(r.parts, [p.to_dict() for p in d.parts])
        assert same(r.categorical, serial.categorical if r.dimension == "data" else None)


def test_categorical_columns_score_each_group_as_the_serial_check(client):
    from scipy import stats

    from morvanta.dask import group_seed

    base, logs = routed_logs()
    kw = dict(n_permutations=199, seed=4, categorical=["tier"])
    # Arrow strings as Dask makes them by default, across three partitions, on the cluster.
    frame = dd.from_pandas(logs, npartitions=3, sort=False)
    got = check_groups(base, frame, by="tenant", min_rows=20, **kw)
    assert list(got.tenant.unique()) == ["a", "b", "c"] and (got.status == "ok").all()
    assert list(got.columns[-3:]) == ["p_bh", "parts", "categorical"]
    group_p = {}
    for tenant, rows in got.groupby("tenant"):
        serial = morvanta.check(base, group_rows(logs, tenant), seed=group_seed(4, (tenant,)), n_permutations=199,
                                categorical=["tier"])
        assert_group_equals_check(rows, serial)
        group_p[tenant] = rows.p_adjusted.min()
    # The route and tier columns are parts of the data dimension after the numeric one.
    data = got[got.dimension == "data"].set_index("tenant")
    assert [(p["name"], p["column"]) for p in data.parts["a"]] == [
        ("ks", "latency_ms"), ("psi", "latency_ms"), ("psi_cat", "route"), ("missing", "route"),
        ("psi_cat", "tier"), ("missing", "tier")]
    # Only tenant b moved its routes; its explanation names the unseen route and the share that fell.
    assert list(data.drifted) == [False, True, False]
    moved = {p["column"]: p["p_adjusted"] for p in data.parts["b"] if p["name"] == "psi_cat"}
    assert moved["route"] <= 0.05 < moved["tier"]
    route = data.categorical["b"][0]
    assert route["name"] == "route" and [u["category"] for u in route["unseen"]] == ["voice"]
    assert route["moved"][0]["category"] == "chat" and route["moved"][0]["current_share"] < 0.3
    # Benjamini-Hochberg across the groups as without categories.
    bh = dict(zip(group_p, stats.false_discovery_control(list(group_p.values()), method="bh")))
    for tenant, rows in got.groupby("tenant"):
        assert rows.p_bh.tolist() == pytest.approx([bh[tenant]] * len(rows), rel=1e-12)
    # One pandas partition with object strings, on Dask's local scheduler: the same result, bit for bit.
    local = check_groups(base, to_dask(logs, 1), by="tenant", min_rows=20, client=None, **kw)
    assert list(local.tenant) == list(got.tenant)
    cols = [c for c in got.columns if c not in ("tenant", "parts", "categorical")]
    pd.testing.assert_frame_equal(local[cols], got[cols], check_exact=True)
    assert same(local[["parts", "categorical"]].to_dict("list"), got[["parts", "categorical"]].to_dict("list"))
    # Category values redacted as in the check.
    red = check_groups(base, logs, by="tenant", min_rows=20, redact_categories=True, **kw)
    serial = morvanta.check(base, group_rows(logs, "b"), seed=group_seed(4, ("b",)), n_permutations=199,
                            categorical=["tier"], redact_categories=True)
    assert same(red[(red.tenant == "b") & (red.dimension == "data")].categorical.iloc[0], serial.categorical)
    assert "voice" not in str(serial.categorical)


def test_categorical_columns_against_a_fitted_baseline_equal_its_test(client, tmp_path):
    from morvanta.dask import group_seed

    base, logs = routed_logs()
    fit = morvanta.Baseline.fit(features=base[["latency_ms", "route"]], confidences=base.confidence.to_numpy())
    fit.save(tmp_path / "routes.npz")
    fit = morvanta.Baseline.load(tmp_path / "routes.npz")  # the tables as saved (version 3)
    got = check_groups(fit, to_dask(logs, 3), by="tenant", min_rows=20, n_permutations=199, seed=9)
    for tenant, rows in got.groupby("tenant"):
        serial = morvanta.check(fit, group_rows(logs, tenant), seed=group_seed(9, (tenant,)), n_permutations=199)
        assert_group_equals_check(rows, serial)
    data = got[got.dimension == "data"].set_index("tenant")
    assert list(data.drifted) == [False, True, False]
    assert [u["category"] for u in data.categorical["b"][0]["unseen"]] == ["voice"]
    # Without the column the fitted baseline scores, the logs are refused before any task runs.
    with pytest.raises(ValueError, match=r"^argument 'logs': categorical column of the baseline \['route'\] not "
                                         "found"):
        check_groups(fit, logs.drop(columns="route"), by="tenant")


def test_categorical_columns_left_out_or_refused_say_why():
    from morvanta.dask import group_seed

    base, logs = routed_logs()
    ids = [f"req-{i}" for i in range(len(base))]
    with pytest.warns(UserWarning, match="categorical feature 'request_id' is left out of the data dimension"):
        out = check_groups(base.assign(request_id=ids), logs.assign(request_id="x"), by="tenant", min_rows=20,
                           n_permutations=99)
    assert all("request_id" not in str(p) for p in out.parts)
    # A whole-number counter is no feature either; each group then equals the serial check, which drops it too.
    base_n, logs_n = base.assign(seq=np.arange(len(base))), logs.assign(seq=np.arange(len(logs)))
    with pytest.warns(UserWarning, match="feature 'seq' is left out of the data dimension: "):
        out = check_groups(base_n, logs_n, by="tenant", min_rows=20, n_permutations=99, seed=3)
    serial = morvanta.check(base_n, group_rows(logs_n, "a"), seed=group_seed(3, ("a",)), n_permutations=99)
    assert any("feature 'seq' is left out" in n for n in serial.notes)
    assert_group_equals_check(out[out.tenant == "a"], serial)
    with pytest.raises(TypeError, match="^argument 'logs': column 'route' is categorical in the baseline but holds "
                                        "float64 values"):
        check_groups(base, logs.assign(route=1.5), by="tenant")
    # Threshold decisions score the numeric columns; the categorical ones still explain what moved.
    with pytest.warns(UserWarning, match="categorical columns are tested by the permutation test only"):
        out = check_groups(base[["route", "confidence"]], logs, by="tenant", min_rows=20, decide="threshold")
    data = out[out.dimension == "data"]
    assert data.score.isna().all() and not data.drifted.any() and data.categorical.notna().all()

def test_monitor_command_with_a_scheduler_prints_the_serial_commands_windows(client, tmp_path, capsys):
    import hashlib

    from conftest import traffic_frame, write_parquet

    import dask

    from morvanta import cli

    rng = np.random.default_rng(4)
    frame = traffic_frame(900, seed=8)
    frame["route"] = np.where(np.arange(900) < 600, rng.choice(["faq", "billing"], 900),
                              rng.choice(["faq", "billing", "refunds"], 900))  # a new route late on
    shuffled = frame.sample(frac=1.0, random_state=1)
    for i in range(0, 900, 300):
        write_parquet(shuffled.iloc[i:i + 300], tmp_path / f"p-{i:04d}.parquet", 2)
    whole = write_parquet(frame, tmp_path / "whole.parquet")
    base = traffic_frame(600, seed=9)
    base["route"] = rng.choice(["faq", "billing"], 600)
    base_file = str(write_parquet(base, tmp_path / "base.parquet"))
    common = ["--every", "60s", "--baseline-file", base_file, "--permutations", "199", "--min-rows", "20",
              "--redact-categories"]
    serial = cli.main(["monitor", str(whole), *common])
    s_out, s_err = capsys.readouterr()
    par = cli.main(["monitor", str(tmp_path / "p-*.parquet"), *common, "--scheduler", client.scheduler.address])
    p_out, p_err = capsys.readouterr()
    assert (par, p_out, p_err) == (serial, s_out, s_err) and len(s_out.splitlines()) == 16
    assert '"psi_cat"' in p_out  # the route is tested on the workers too
    # The windows' categorical summaries, redacted on the workers as here.
    kw = dict(every="60s", n_permutations=199, min_rows=20, redact_categories=True)
    here = morvanta.monitor(str(whole), baseline_log=base_file, **kw)
    there = morvanta.dask.monitor(str(tmp_path / "p-*.parquet"), baseline=base_file, client=client, **kw)
    cats = [w.result.categorical for w in there.windows if w.result is not None]
    assert json.dumps(cats) == json.dumps([w.result.categorical for w in here.windows if w.result is not None])
    unseen = {u["category"] for c in cats for u in c[0]["unseen"]}
    assert unseen == {hashlib.sha256(b"refunds").hexdigest()[:8]}
    # What the cluster path cannot do is refused in one line, before any work.
    for args, message in (
        ([str(whole), "--rows", "100", "--scheduler", client.scheduler.address],
         "--scheduler needs --baseline-file B (a baseline log or saved baseline)"),
        ([str(whole), str(whole), "--rows", "100"],
         "2 LOGs given: monitor reads one log, or the partitions of one log with --scheduler ADDRESS"),
        ([str(whole), "--rows", "100", "--baseline-file", base_file, "--scheduler", "tcp://127.0.0.1:9"],
         "--scheduler tcp://127.0.0.1:9: cannot connect"),
    ):
        with dask.config.set({"distributed.comm.timeouts.connect": "1s"}):
            assert cli.main(["monitor", *args]) == 2
        assert capsys.readouterr().err.startswith(f"morvanta: error: {message}")

"""The pipeline check: request logs, check() against the plain detectors, Holm's
adjustment, Prometheus text, monitoring windows and the check/monitor commands."""

from __future__ import annotations

import importlib.util
import hashlib
import json
import re
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import run_cli as run

import morvanta
from morvanta import ConfidenceDrift, DataDrift, EmbeddingDrift, QueryDrift, ResponseDrift
from morvanta.errors import ArgumentError
from morvanta.io.log import LogColumns, LogError, load_config, read_log
from morvanta.pipeline.check import holm
from morvanta.pipeline.monitor import parse_duration

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

T0 = 1_700_000_000.0  # 2023-11-14T22:13:20Z
WORDS = ["alpha", "beta", "gamma", "delta"]



def make_frame(n: int, seed: int, shift: float = 0.0, dim: int = 8, t0: float = T0, span: float = 86400.0):
    """A request log as a pandas DataFrame: every conventional column plus two features."""
    rng = np.random.default_rng(seed)
    words = rng.integers(1, 12 + int(20 * shift), n)
    return pd.DataFrame({
        "timestamp": pd.to_datetime(t0 + np.sort(rng.uniform(0, span, n)), unit="s"),
        "query_embedding": list((rng.normal(size=(n, dim)) + shift).astype(np.float32)),
        "response_embedding": list(rng.normal(size=(n, dim)).astype(np.float32)),
        "response": [" ".join(WORDS[(i + j) % 4] for j in range(k)) for i, k in enumerate(words)],
        "confidence": rng.beta(8, 2, n),
        "correct": rng.random(n) < 0.8 - shift / 4,
        "latency_ms": rng.gamma(4.0, 80.0 * (1 + shift), n),
        "tokens": rng.poisson(18, n).astype(np.int64),
    })


def write_all(frame, d: Path, stem: str) -> dict[str, Path]:
    """The frame as Parquet, CSV (embeddings as JSON lists) and JSON Lines."""
    paths = {"parquet": d / f"{stem}.parquet", "csv": d / f"{stem}.csv", "jsonl": d / f"{stem}.jsonl"}
    frame.to_parquet(paths["parquet"])
    c = frame.copy()
    for col in ("query_embedding", "response_embedding"):
        c[col] = [json.dumps(v.tolist()) for v in frame[col]]
    c["timestamp"] = [t.isoformat() + "Z" for t in frame["timestamp"]]
    c.to_csv(paths["csv"], index=False)
    paths["jsonl"].write_text("".join(json.dumps({
        "timestamp": r.timestamp.isoformat() + "Z", "query_embedding": r.query_embedding.tolist(),
        "response_embedding": r.response_embedding.tolist(), "response": r.response, "confidence": r.confidence,
        "correct": bool(r.correct), "latency_ms": r.latency_ms, "tokens": int(r.tokens)}) + "\n"
        for r in frame.itertuples(index=False)))
    return paths


@pytest.fixture(scope="module")
def logs(tmp_path_factory):
    d = tmp_path_factory.mktemp("logs")
    base, cur = make_frame(400, 1), make_frame(300, 2, shift=0.4)
    return d, base, cur, write_all(base, d, "base"), write_all(cur, d, "cur")


# ------------------------------------------------------------------ reading logs


def test_every_format_reads_the_same_arrays(logs):
    d, base, _, paths, _ = logs
    pl = pytest.importorskip("polars")
    ref = read_log(base)
    q = np.stack(base["query_embedding"].to_numpy())
    assert ref.n_rows == 400 and ref.feature_names == ["latency_ms", "tokens"]
    assert ref.queries.dtype == np.float32 and np.array_equal(ref.queries, q)
    assert ref.embeddings is ref.queries and ref.embedding_column == "query_embedding"
    assert np.array_equal(ref.response_lengths, [len(t) for t in base["response"]])
    assert np.array_equal(ref.timestamps, base["timestamp"].astype("int64").to_numpy() / 1e9)
    others = [read_log(paths[k]) for k in ("parquet", "csv", "jsonl")]
    others += [read_log(pl.from_pandas(base)), read_log(pa.Table.from_pandas(base, preserve_index=False))]
    others.append(read_log({c: (np.stack(base[c].to_numpy()) if "embedding" in c else base[c].to_numpy())
                            for c in base.columns if c != "timestamp"}))
    for got in others:
        assert got.n_rows == 400 and got.feature_names == ref.feature_names
        for attr in ("features", "queries", "response_embeddings", "response_lengths", "confidences", "correct"):
            a, b = getattr(got, attr), getattr(ref, attr)
            assert a.dtype == b.dtype and np.array_equal(a, b), (got.source, attr)
        if got.timestamps is not None:  # text times are exact to the microsecond
            assert np.abs(got.timestamps - ref.timestamps).max() < 1e-5
    assert read_log(paths["jsonl"]).notes == ("query_embedding: float64 embeddings converted to float32",
                                              "response_embedding: float64 embeddings converted to float32")


def test_lengths_roles_and_configuration(logs, tmp_path):
    _, base, _, _, _ = logs
    words = read_log(base, length="words").response_lengths
    assert np.array_equal(words, [len(t.split()) for t in base["response"]])
    with_len = base.assign(response_length=np.arange(400.0))
    got = read_log(with_len)  # an explicit length column wins over the text
    assert np.array_equal(got.response_lengths, np.arange(400.0)) and got.length_column == "response_length"
    assert "response_length" not in got.feature_names
    renamed = base.rename(columns={"query_embedding": "q", "confidence": "p"})
    cfg = tmp_path / "morvanta.toml"
    cfg.write_text('alpha = 0.01\n[columns]\nquery_embedding = "q"\nconfidence = "p"\ncorrect = false\n'
                   'exclude = ["tokens"]\nlength = "words"\n')
    cols, options = load_config(str(cfg))
    assert options == {"alpha": 0.01}
    got = read_log(renamed, columns=cols)
    assert np.array_equal(got.queries, read_log(base).queries) and got.correct is None
    assert got.feature_names == ["correct", "latency_ms"]  # tokens excluded; 'correct' without its role is a flag feature
    assert got.length_column == "response (words)"
    assert read_log(base, columns=LogColumns(features=("tokens",))).feature_names == ["tokens"]


def _err(tmp_path: Path, name: str, text: str, **kw) -> str:
    p = tmp_path / name
    p.write_text(text)
    with pytest.raises(LogError) as info:
        read_log(str(p), **kw)
    assert "\n" not in str(info.value)
    return str(info.value)


def test_bad_input_is_one_line_naming_file_column_and_row(tmp_path):
    j = tmp_path / "a.jsonl"
    assert _err(tmp_path, "a.jsonl", '{"query_embedding": [1, 2]}\n\n{"query_embedding": [1, 2, 3]}\n') == (
        f"'{j}' column 'query_embedding' line 3: embedding of 3 values, but other rows have 2")
    assert _err(tmp_path, "a.jsonl", '{"x": 1}\n{"x": 2\n') .startswith(f"'{j}' line 2: not valid JSON (")
    assert _err(tmp_path, "a.jsonl", '{"x": 1}\n{"x": "two"}\n') == f"'{j}' column 'x' line 2: expected a number, got 'two'"
    c = tmp_path / "a.csv"
    assert _err(tmp_path, "a.csv", "correct,x\ntrue,1\nmaybe,2\n") == (
        f"'{c}' column 'correct' line 3: not a flag (true/false, yes/no, 1/0): 'maybe'")
    assert _err(tmp_path, "a.csv", "timestamp,x\n2024-01-01T00:00:00,1\nyesterday,2\n") == (
        f"'{c}' column 'timestamp' line 3: not an ISO 8601 time or a number since the epoch: 'yesterday'")
    assert _err(tmp_path, "a.csv", "x,y\n1,2\n3\n") == f"'{c}' line 3: 1 fields, but the header names 2"
    assert _err(tmp_path, "a.csv", 'query_embedding\n"[1,2]"\n"[1,x]"\n') == (
        f"'{c}' column 'query_embedding' line 3: not a list of numbers: '[1,x]'")
    assert _err(tmp_path, "a.csv", "confidence\nhigh\n") == f"'{c}' column 'confidence' line 2: expected a number, got 'high'"
    assert _err(tmp_path, "a.txt", "x\n") == f"'{tmp_path / 'a.txt'}': unsupported log format (use .parquet, .pq, .csv, .tsv, .jsonl, .ndjson)"
    missing = tmp_path / "nope.parquet"
    with pytest.raises(LogError, match=re.escape(f"cannot read '{missing}': No such file or directory")):
        read_log(str(missing))
    p = tmp_path / "ragged.parquet"
    pq.write_table(pa.table({"query_embedding": [[1.0, 2.0], [1.0, 2.0], None]}), p)
    with pytest.raises(LogError, match=re.escape(f"'{p}' column 'query_embedding' row 3: missing embedding")):
        read_log(str(p))
    pq.write_table(pa.table({"response_embedding": [[1.0, 2.0], [1.0]]}), p)
    with pytest.raises(LogError, match=re.escape("column 'response_embedding' row 2: embedding of 1 values")):
        read_log(str(p))
    with pytest.raises(LogError, match=r"column 'correct' row 2: missing$"):
        read_log(pd.DataFrame({"correct": [True, None]}, dtype="boolean"), name="frame")
    with pytest.raises(LogError, match=r"^'log' column 'b': 2 rows, but column 'a' has 3$"):
        read_log({"a": np.zeros(3), "b": np.zeros(2)})
    with pytest.raises(TypeError, match="argument 'log': expected a path"):
        read_log(42)
    toml = tmp_path / "c.toml"
    toml.write_text("[columns]\nqueries = 'q'\n")
    with pytest.raises(LogError, match=re.escape(f"'{toml}': unknown key columns.queries")):
        load_config(str(toml))
    toml.write_text("[columns\n")
    with pytest.raises(LogError, match=re.escape(f"cannot read '{toml}' as TOML")):
        load_config(str(toml))


# ------------------------------------------------------------------ check against the plain detectors


def test_scores_equal_the_plain_detectors_bit_for_bit(logs):
    _, base, cur, paths, cpaths = logs
    b, c = read_log(base), read_log(cur)
    expected = [
        DataDrift().detect(b.features, c.features),
        EmbeddingDrift().detect(b.queries, c.queries),
        ResponseDrift().detect_with_embeddings(b.response_lengths, c.response_lengths,
                                               b.response_embeddings, c.response_embeddings),
        ConfidenceDrift().detect_with_correctness(b.confidences, b.correct, c.confidences, c.correct),
        QueryDrift().detect(b.queries, c.queries),
    ]
    for bl, cl in [(base, cur), (paths["parquet"], cpaths["csv"]), (str(paths["jsonl"]), cur)]:
        r = morvanta.check(bl, cl, decide="threshold")
        got = [d.score for d in r.dimensions]
        assert [g.to_dict() for g in got] == [e.to_dict() for e in expected]
        assert [s.to_dict() for s in r.report.scores] == [e.to_dict() for e in expected]
        assert r.drifted == any(e.exceeded for e in expected)
    # Configured detectors are used as given; per-column scores are data_drift_by_column's, worst first.
    dets = {"data": DataDrift(0.9, 4), "query": QueryDrift(0.01, k=3, seed=7), "embedding": EmbeddingDrift(1.0, 8, 3)}
    r = morvanta.check(base, cur, detectors=dets)
    assert r.dimension("data").score.to_dict() == DataDrift(0.9, 4).detect(b.features, c.features).to_dict()
    assert r.dimension("query").score.to_dict() == QueryDrift(0.01, k=3, seed=7).detect(b.queries, c.queries).to_dict()
    assert r.dimension("embedding").score.to_dict() == EmbeddingDrift(1.0, 8, 3).detect(b.queries, c.queries).to_dict()
    cols = morvanta.data_drift_by_column(b.features, c.features, threshold=0.9, n_bins=4, names=b.feature_names)
    assert [(x.name, x.score.score) for x in r.columns] == sorted(
        [(x.name, x.score.score) for x in cols], key=lambda t: -t[1])
    with pytest.raises(TypeError, match="argument 'detectors': dimension 'data' takes a DataDrift, got QueryDrift"):
        morvanta.check(base, cur, detectors={"data": QueryDrift()})


def test_dimensions_follow_the_columns_and_window_sizes(logs):
    _, base, cur, _, _ = logs
    # No embeddings and no correctness flags: three dimensions scored, two skipped, confidence by KS alone.
    slim_b = base.drop(columns=["query_embedding", "response_embedding", "correct"])
    slim_c = cur.drop(columns=["query_embedding", "response_embedding"])
    r = morvanta.check(slim_b, slim_c)
    assert [(d.dimension, d.status) for d in r.dimensions] == [
        ("data", "scored"), ("embedding", "skipped"), ("response", "scored"), ("confidence", "scored"),
        ("query", "skipped")]
    b, c = read_log(slim_b), read_log(slim_c)
    assert r.dimension("confidence").score.to_dict() == ConfidenceDrift().detect(b.confidences, c.confidences).to_dict()
    assert r.dimension("response").score.method == "ks(length)"
    assert r.dimension("query").reason == "needs a query_embedding column in both logs"
    assert len(r.report.scores) == 3
    # Five rows with min_rows=1 (the default is 30): the query dimension cannot fit 8 clusters, every
    # other dimension still runs.
    r = morvanta.check(base.head(5), cur, min_rows=1)
    q = r.dimension("query")
    assert (q.status, q.score, q.drifted) == ("too_small", None, False)
    assert q.reason == "needs at least 8 baseline rows for 8 clusters, got 5"
    r = morvanta.check(base, cur.head(1), min_rows=2)
    assert {d.status for d in r.dimensions} == {"too_small"} and not r.drifted and r.report.scores == []
    assert "verdict: nothing to test" in r.summary()
    # A feature only one log has is left out, and the notes say so.
    r = morvanta.check(base.assign(extra=1.0), cur)
    assert "feature 'extra' is missing from the current log; the data dimension leaves it out" in r.notes
    wide = cur.assign(query_embedding=[np.zeros(9, np.float32)] * len(cur))
    with pytest.raises(LogError, match=r"'current_log': column 'query_embedding': 9-d embeddings, "
                                       r"but the baseline 'baseline_log' has 8-d"):
        morvanta.check(base, wide)


def test_results_are_the_same_from_concurrent_threads(logs):
    from conftest import concurrently

    _, base, cur, paths, cpaths = logs

    def strip(text):
        d = json.loads(text)
        del d["report"]["timestamp"]
        return d

    one = strip(morvanta.check(base, cur, n_permutations=99).to_json())
    results = concurrently(lambda: strip(morvanta.check(paths["parquet"], cpaths["parquet"], n_permutations=99).to_json()),
                           lambda: strip(morvanta.check(base, cur, n_permutations=99).to_json()), reps=2)
    for r in results:
        assert len(r) == 2
        for d in r:
            d["baseline"]["source"] = one["baseline"]["source"]
            d["current"]["source"] = one["current"]["source"]
            assert d == one


# ------------------------------------------------------------------ p-values and Holm


def test_holm_keeps_the_family_wise_false_alarm_rate():
    # Five true null dimensions, uniform p-values: any rejection is a false alarm.
    rng = np.random.default_rng(11)
    p = rng.random((20000, 5))
    alarms = np.mean([min(holm(row.tolist())) <= 0.05 for row in p])
    assert 0.04 < alarms <= 0.0535  # Bonferroni-like: at most alpha, close to it for independent tests
    raw = np.mean(p.min(axis=1) <= 0.05)
    assert raw > 0.2  # unadjusted, the same data would alarm a quarter of the time


def test_p_values_drive_the_verdict_through_holm(logs, monkeypatch):
    from types import SimpleNamespace

    import morvanta.pipeline.check as mc
    from morvanta.dimensions import bound

    _, base, cur, _, _ = logs
    given = {"data": 0.004, "embedding": 0.03, "response": 0.2, "confidence": 0.011, "query": 0.9}
    calls = []

    def fake(method, b, c, *, n_permutations, seed, exact, score=None, detail=None):
        dim = method.__self__.__class__.__name__.replace("Drift", "").lower()
        calls.append((dim, n_permutations, seed, exact))
        # The embedding and answer-embedding tests form their detector's score; the others are handed theirs.
        det, _, form = bound(method)
        sides = (b, c) if form.per_side > 1 else ((b,), (c,))
        return SimpleNamespace(score=score if score is not None else form.call(det, *sides), p_value=given[dim], statistic=f"stat({dim})", parts=(), permutations_run=n_permutations,
                               stopped=False, n_baseline=400, n_current=300, sampled=False)

    monkeypatch.setattr(mc, "_test", fake)
    r = morvanta.check(base, cur, n_permutations=99, seed=5, alpha=0.05)
    assert [c[1:] for c in calls] == [(99, 5, False)] * 5
    adj = {d.dimension: d.p_adjusted for d in r.dimensions}
    assert adj == pytest.approx({"data": 0.02, "embedding": 0.09, "response": 0.4, "confidence": 0.044,
                                 "query": 0.9}, rel=1e-12)
    assert [d.dimension for d in r.dimensions if d.drifted] == ["data", "confidence"]
    assert {d.decided_by for d in r.dimensions} == {"p-value"} and r.decide == "p-value"
    assert "verdict: DRIFT in data, confidence (2 of 5 dimensions; Holm-adjusted p <= 0.05)" in r.summary()
    assert 'morvanta_drift_p_value_adjusted{dimension="data"} 0.02' in r.to_prometheus()
    assert r.smallest_p_adjusted == 5 / 100 and json.loads(r.to_json())["smallest_p_adjusted"] == 0.05
    # p_values=True is the default under its former name; calibration excludes it.
    calls.clear()
    assert morvanta.check(base, cur, p_values=True, n_permutations=99, seed=5).to_dict()["dimensions"] == \
        r.to_dict()["dimensions"]
    with pytest.raises(ValueError, match="argument 'calibrate': a calibrated threshold decides, which excludes "
                                         "p_values=True"):
        morvanta.check(base, cur, p_values=True, calibrate=0.01)


def test_permutation_adapter(logs):
    _, base, cur, _, _ = logs
    r = morvanta.check(base, cur, n_permutations=99, seed=1)
    b, c = read_log(base), read_log(cur)
    direct = morvanta.permutation_test(QueryDrift().detect, b.queries, c.queries, n_permutations=99, seed=1)
    p, run_ = direct.p_value, direct.permutations_run
    q = r.dimension("query")
    assert (q.p_value, q.permutations_run) == (p, run_)
    assert all(0 < d.p_value <= 1 for d in r.scored)


def test_calibration_and_breakdown_adapters(logs, tmp_path):
    pytest.importorskip("morvanta.testing")
    _, base, cur, _, _ = logs
    r = morvanta.check(base, cur, calibrate=0.05, seed=2)
    assert set(r.calibration["dimensions"]) == {d.dimension for d in r.scored}
    assert r.calibration["current_size"] == 300
    for d in r.scored:
        assert d.score.threshold == r.calibration["dimensions"][d.dimension]["threshold"]
    # A current window as large as the baseline is calibrated on half-baseline splits, and says so.
    r = morvanta.check(base, base, calibrate=0.05, seed=2)
    assert r.calibration["current_size"] == 200
    assert "calibration: baseline splits of 200 rows stand for the 400-row current window" in r.notes[0]


def test_breakdowns_and_saved_baselines(logs, tmp_path):
    import morvanta.engines.baseline as baseline_mod
    _, base, cur, _, _ = logs
    r = morvanta.check(base, cur)
    assert set(r.breakdowns) == {"data", "embedding", "response", "confidence", "query"}
    assert [c.name for c in r.breakdowns["data"].columns] == ["latency_ms", "tokens"]
    assert "clusters" in r.top_contributors()
    b = read_log(base)
    saved = baseline_mod.Baseline.fit(features=b.features, feature_names=b.feature_names, embeddings=b.queries,
                                      queries=b.queries, response_lengths=b.response_lengths,
                                      response_embeddings=b.response_embeddings, confidences=b.confidences,
                                      correct=b.correct)
    path = tmp_path / "base.json"
    saved.save(str(path))
    again = morvanta.check(str(path), cur)
    assert [s.to_dict() for s in again.report.scores] == [s.to_dict() for s in r.report.scores]
    # Saved baselines test by permutation too, on the rows they kept.
    assert {d.decided_by for d in again.scored} == {"p-value"} and again.decide == "p-value"
    assert all(d.p_adjusted is not None for d in again.scored)
    with pytest.raises(ValueError, match="calibration needs the baseline log's rows"):
        morvanta.check(str(path), cur, calibrate=0.05)
    m = morvanta.monitor(cur, rows=150, baseline_log=str(path), min_rows=10)
    assert [w.rows for w in m.windows] == [150, 150] and m.baseline_rows == 400
    first = read_log(cur).take(slice(0, 150))
    assert m.windows[0].result.report.scores[0].to_dict() == DataDrift().detect(b.features, first.features).to_dict()


# ------------------------------------------------------------------ outputs


PROM_LINE = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{((?:[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\.)*",?)*)\})? '
                       r'(-?[0-9.e+-]+|NaN|[+-]Inf)$')


def parse_prometheus(text: str) -> dict[tuple[str, tuple[tuple[str, str], ...]], float]:
    """A strict reading of the text exposition format: HELP and TYPE before each
    family's samples, one sample per line, label values escaped."""
    assert text.endswith("\n")
    samples, typed, helped = {}, set(), set()
    for line in text.splitlines():
        if line.startswith("# HELP "):
            name = line.split()[2]
            assert name not in helped
            helped.add(name)
        elif line.startswith("# TYPE "):
            _, _, name, kind = line.split()
            assert kind == "gauge" and name in helped
            typed.add(name)
        else:
            m = PROM_LINE.match(line)
            assert m, line
            name = m.group(1)
            assert name in typed and name.startswith("morvanta_drift_"), line
            labels = tuple(re.findall(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"', m.group(3) or ""))
            key = (name, labels)
            assert key not in samples
            samples[key] = float(m.group(4))
    return samples


def test_prometheus_text_parses_line_by_line(logs):
    _, base, cur, _, _ = logs
    odd = 'lat "ms"\\x'
    r = morvanta.check(base.rename(columns={"latency_ms": odd}), cur.rename(columns={"latency_ms": odd}),
                       n_permutations=99)
    s = parse_prometheus(r.to_prometheus())
    for d in r.dimensions:
        key = (("dimension", d.dimension),)
        assert s[("morvanta_drift_score", key)] == d.score.score
        assert s[("morvanta_drift_threshold", key)] == d.score.threshold
        assert s[("morvanta_drift_detected", key)] == (1.0 if d.drifted else 0.0)
        assert s[("morvanta_drift_p_value", key)] == d.p_value
        assert s[("morvanta_drift_p_value_adjusted", key)] == d.p_adjusted
    assert s[("morvanta_drift_alpha", ())] == 0.05
    assert s[("morvanta_drift_window_rows", (("window", "current"),))] == 300
    assert not any(k[0] == "morvanta_drift_column_score" for k in s)
    # With fixed thresholds there is no p-value and no level to export.
    fixed = parse_prometheus(morvanta.check(base, cur, decide="threshold").to_prometheus())
    assert not any(k[0] in ("morvanta_drift_p_value", "morvanta_drift_alpha") for k in fixed)
    per = parse_prometheus(r.to_prometheus(per_column=True))
    col = ("morvanta_drift_column_score", (("dimension", "data"), ("column", 'lat \\"ms\\"\\\\x')))
    assert per[col] == next(c.score.score for c in r.columns if c.name == odd)
    assert len(per) == len(s) + 2
    # Skipped dimensions export nothing rather than a made-up value.
    slim = morvanta.check(base[["latency_ms"]], cur[["latency_ms"]], decide="threshold")
    assert {k[1] for k in parse_prometheus(slim.to_prometheus()) if k[0] == "morvanta_drift_score"} == {
        (("dimension", "data"),)}


def test_json_output(logs):
    _, base, cur, _, _ = logs
    # A log refuses NaN confidences; a window built in Python can still score NaN.
    import dataclasses
    nan = dataclasses.replace(read_log(base, name="baseline_log"), confidences=np.full(400, np.nan))
    r = morvanta.check(nan, cur, n_permutations=99)
    d = json.loads(r.to_json())  # standard JSON: a NaN score is written as null
    conf = d["dimensions"][3]
    assert conf["dimension"] == "confidence" and conf["score"] is None
    # The test treats a missing confidence as a value of its own: all missing against none is a drift.
    assert conf["drifted"] is (conf["p_adjusted"] <= 0.05) and conf["decided_by"] == "p-value"
    assert d["baseline"] == {"source": "baseline_log", "rows": 400} and "NaN" not in r.to_json()


def test_report_needs_the_extra(logs, monkeypatch):
    _, base, cur, _, _ = logs
    r = morvanta.check(base, cur)
    monkeypatch.setitem(sys.modules, "jinja2", None)
    with pytest.raises(ImportError, match=re.escape('pip install "morvanta[report]"')):
        r.to_html()


def test_html_is_deterministic_small_and_free_of_rows(logs):
    pytest.importorskip("jinja2")
    pytest.importorskip("matplotlib")
    from conftest import concurrently

    _, base, cur, _, _ = logs
    first = morvanta.check(base, cur, n_permutations=99)
    html = first.to_html()
    # Pages drawn on several threads at once come out as drawn alone.
    for pages in concurrently(first.to_html, first.to_html, reps=2):
        assert pages == [html, html]

    def window(shift, seed):
        r = np.random.default_rng(seed)
        return {"query_embedding": (r.normal(size=(5000, 384)) + shift).astype(np.float32),
                "response_embedding": r.normal(size=(5000, 384)).astype(np.float32),
                "response_length": r.poisson(120, 5000).astype(float), "confidence": r.beta(8, 2, 5000),
                "correct": r.random(5000) < 0.8,
                **{f"f{j}": r.normal(shift * j, 1, 5000) for j in range(10)}}

    b, c = window(0.0, 1), window(0.1, 2)
    b["f0"][:3] = [123.456789012345, 98.7654321098765, 55.5555555555555]  # recognisable raw values
    result = morvanta.check(b, c, decide="threshold")  # the page, not the tests, is under test here
    html = result.to_html()
    assert len(html.encode()) < 2_000_000
    assert "123.456789" not in html and "98.765432" not in html
    assert not re.search(r"""(src|href)=["']?(https?:)?//""", html)  # nothing fetched from the network
    assert "<script" not in html


# ------------------------------------------------------------------ monitoring


def test_monitor_windows_by_time_and_by_rows():
    # Two days of hourly traffic; hour 5 of the second day is nearly empty.
    rng = np.random.default_rng(4)
    hours = np.repeat(np.arange(48), 60)
    keep = ~((hours == 29) & (np.arange(hours.size) % 60 >= 3))
    t = (T0 - T0 % 3600) + hours[keep] * 3600 + rng.uniform(0, 3599, keep.sum())
    n = t.size
    shift = (hours[keep] >= 40) * 3.0
    log = {"timestamp": t[::-1].copy(), "latency_ms": (rng.gamma(4, 80, n) * (1 + shift))[::-1].copy(),
           "confidence": rng.beta(8, 2, n)[::-1].copy()}
    # Sixty requests an hour are few for KS: the threshold sits above their noise.
    m = morvanta.monitor(log, every="1h", baseline="1d", min_rows=30, detectors={"data": DataDrift(0.5)})
    assert m.baseline_rows == 24 * 60
    assert [w.index for w in m.windows] == list(range(24))
    small = [w for w in m.windows if w.status == "too_small"]
    assert [(w.index, w.rows) for w in small] == [(5, 3)]
    assert small[0].result is None and small[0].reason == "3 requests, fewer than the 30 needed to test"
    drifted = [w.index for w in m.windows if w.result is not None and w.result.dimension("data").drifted]
    assert drifted == list(range(16, 24))
    lines = [json.loads(x) for x in m.to_jsonl().splitlines()]
    assert len(lines) == 24 and (lines[5]["status"], lines[5]["drifted"]) == ("too_small", None)
    # A window's score is the plain detector on exactly that window's rows, sorted by time.
    order = np.argsort(log["timestamp"], kind="stable")
    w = m.windows[20]
    rows = order[w.first_row: w.first_row + w.rows]
    base = order[: m.baseline_rows]
    x = np.asarray(log["latency_ms"]).reshape(-1, 1)
    assert w.result.dimension("data").score.score == DataDrift(0.5).detect(x[base], x[rows]).score
    # Fixed counts: the first 1000 rows are the baseline, then windows of 500, the last one short.
    m = morvanta.monitor(log, rows=500, baseline=1000, min_rows=100)
    sizes = [(w.first_row, w.rows, w.status) for w in m.windows]
    assert sizes[0] == (1000, 500, "checked") and sum(s[1] for s in sizes) == n - 1000
    assert sizes[-1][1] == (n - 1000) % 500 and sizes[-1][2] == ("too_small" if (n - 1000) % 500 < 100 else "checked")
    with pytest.raises(ValueError, match="exactly one of 'every'"):
        morvanta.monitor(log, every="1h", rows=5)
    with pytest.raises(LogError, match="windows by time need a timestamp column"):
        morvanta.monitor({"x": np.arange(5.0)}, every="1h")


def test_parse_duration():
    assert [parse_duration(s) for s in ("90s", "15m", "1h", "1h30m", "2d", "1w", "0.5h")] == [
        90, 900, 3600, 5400, 172800, 604800, 1800]
    for bad in ("1x", "h", "", "0m", "1h 2"):
        with pytest.raises(ValueError):
            parse_duration(bad)


# ------------------------------------------------------------------ command line


def test_check_command(logs, tmp_path):
    d, base, cur, paths, cpaths = logs
    out = run("check", str(paths["parquet"]), str(cpaths["jsonl"]), "--json", str(tmp_path / "r.json"),
              "--prometheus", str(tmp_path / "m.prom"), "--per-column")
    assert out.returncode == 0 and out.stderr == ""
    expected = morvanta.check(base, cur)
    for dim in expected.dimensions:
        assert re.search(rf"^{dim.dimension} +{dim.score.score:.6f} +{dim.score.threshold:.6f} +"
                         rf"{'yes' if dim.drifted else 'no'} +{dim.p_value:.4f} +{dim.p_adjusted:.4f} ",
                         out.stdout, re.M)
    assert "worst columns: latency_ms" in out.stdout and "(p 0.0050)" in out.stdout
    assert "decided by: permutation p-values, Holm-adjusted over the dimensions tested, at alpha 0.05" in out.stdout
    assert "note: current: query_embedding: float64 embeddings converted to float32" in out.stdout
    verdict = out.stdout.rstrip().splitlines()[-1]
    assert verdict == (f"verdict: DRIFT in {', '.join(d.dimension for d in expected.dimensions if d.drifted)} "
                       f"({sum(d.drifted for d in expected.dimensions)} of 5 dimensions; Holm-adjusted p <= 0.05)")
    doc = json.loads((tmp_path / "r.json").read_text())
    assert doc["decided_by"] == "p-value" and doc["n_permutations"] == 999 and doc["smallest_p_adjusted"] == 0.005
    fixed = run("check", str(paths["parquet"]), str(cpaths["jsonl"]), "--fixed-thresholds")
    assert fixed.stdout.rstrip().endswith(
        "verdict: DRIFT in data, embedding, response, query (4 of 5 dimensions; fixed thresholds)")
    assert any(k[0] == "morvanta_drift_column_score" for k in parse_prometheus((tmp_path / "m.prom").read_text()))
    out = run("check", str(paths["csv"]), str(cpaths["csv"]), "--fail-on-drift", "--html", str(tmp_path / "r.html"))
    # Two features, the projection, lengths, confidences, reliability; cluster shares with breakdowns.
    plots = 6 + (importlib.util.find_spec("morvanta.engines.explain") is not None)
    assert out.returncode == 1 and (tmp_path / "r.html").read_text().count("<figure class=\"plot\"") == plots
    same = run("check", str(paths["csv"]), str(paths["parquet"]), "--fail-on-drift", "--json")
    assert same.returncode == 0 and json.loads(same.stdout)["drifted"] is False


def test_check_command_errors(logs, tmp_path):
    d, _, _, paths, cpaths = logs
    (tmp_path / "bad.parquet").write_bytes(b"xx")
    cases = [
        (["check", "a.csv", "b.csv", "--p-values", "--calibrate", "0.01"],
         "morvanta: error: --p-values and --calibrate exclude each other"),
        (["check", "a.csv", "b.csv", "--fixed-thresholds", "--permutations", "9"],
         "morvanta: error: --permutations needs p-value decisions, which --fixed-thresholds replaces"),
        (["check", "a.csv", "b.csv", "--fixed-thresholds", "--calibrate", "0.1"],
         "morvanta: error: --fixed-thresholds and --calibrate exclude each other"),
        (["check", "a.csv", "b.csv", "--min-effect", "data"],
         "morvanta: error: argument --min-effect: expected DIMENSION=SCORE with DIMENSION one of data, embedding, "
         "response, confidence, query, got 'data' (see 'morvanta check --help')"),
    ]
    for args, message in cases:
        out = run(*args)
        assert (out.returncode, out.stderr.strip(), out.stdout) == (2, message, ""), args
    # A file that is no Parquet, read as a log (check) and as a table (data): one line naming it.
    for cmd in ("check", "data"):
        out = run(cmd, str(tmp_path / "bad.parquet"), str(cpaths["parquet"]))
        assert out.returncode == 2 and out.stderr.count("\n") == 1, (cmd, out.stderr)
        assert out.stderr.startswith(f"morvanta: error: cannot read '{tmp_path / 'bad.parquet'}' as Parquet: "), cmd
    cfg = tmp_path / "m.toml"
    cfg.write_text("[thresholds]\ndata = 0.9\nquery = 13.9\nembedding = 9\nresponse = 1\n")
    # Thresholds that would only be shown, never obeyed, are refused with what to do instead.
    out = run("check", str(paths["parquet"]), str(cpaths["parquet"]), "--config", str(cfg))
    assert (out.returncode, out.stdout, out.stderr) == (2, "", f"morvanta: error: '{cfg}': [thresholds] sets fixed "
                                                        "thresholds, but p-values decide by default; add "
                                                        "--fixed-thresholds to decide by them, or remove [thresholds]\n")
    out = run("check", str(paths["parquet"]), str(cpaths["parquet"]), "--config", str(cfg), "--fail-on-drift",
              "--json", "--fixed-thresholds")
    assert out.returncode == 0, out.stderr
    assert [x["threshold"] for x in json.loads(out.stdout)["dimensions"]] == [0.9, 9, 1, 0.2, 13.9]


def test_monitor_command(logs, tmp_path):
    d, base, cur, _, _ = logs
    both = pd.concat([make_frame(300, 5, t0=T0 - T0 % 86400, span=43200),
                      make_frame(300, 6, shift=0.8, t0=T0 - T0 % 86400 + 43200, span=43200)])
    p = tmp_path / "all.parquet"
    both.to_parquet(p)
    out = run("monitor", str(p), "--every", "6h", "--baseline", "6h", "--min-rows", "20", "--permutations", "199",
              "--html", str(tmp_path / "m.html"), "--fail-on-drift")
    lines = [json.loads(x) for x in out.stdout.splitlines()]
    assert out.returncode == 1
    assert [x["window"] for x in lines] == [0, 1, 2] and all(x["status"] == "checked" for x in lines)
    assert [x["dimensions"]["embedding"]["drifted"] for x in lines] == [False, True, True]
    assert all(x["decided_by"] == "p-value" and x["alpha"] == 0.05 and x["alert"] == x["drifted"] for x in lines)
    # The level of each window and the false alarms to expect over all of them, and a short baseline, on stderr.
    assert out.stderr.splitlines() == [
        "morvanta: note: each window is tested at alpha 0.05: over 3 windows checked, about 0.15 drift by chance "
        "when nothing changed",
        f"morvanta: note: the baseline holds {lines[0]['dimensions']['data']['rows_tested']['baseline']:,} requests, "
        f"fewer than 4 times the largest window's {max(x['rows'] for x in lines):,}: every window's test is weak and "
        "shares the baseline's chance features; give a longer baseline"]
    html = (tmp_path / "m.html").read_text()
    assert html.count("<svg") == 5 and "3 windows" in html
    # Thresholds from the configuration decide only with --fixed-thresholds.
    cfg = tmp_path / "m.toml"
    cfg.write_text("[thresholds]\nembedding = 0.4\n")  # above the noise of ~150-row windows
    out = run("monitor", str(p), "--every", "6h", "--baseline", "6h", "--min-rows", "20", "--config", str(cfg),
              "--fixed-thresholds")
    assert [json.loads(x)["dimensions"]["embedding"]["drifted"] for x in out.stdout.splitlines()] == [False, True, True]
    assert "fixed thresholds decide each window: they have no known false-alarm rate" in out.stderr
    out = run("monitor", str(p), "--rows", "200", "--baseline-file", str(tmp_path / "all.parquet"),
              "--permutations", "199")
    assert out.returncode == 0 and len(out.stdout.splitlines()) == 3


def test_reliability_bins_and_projection_match_references():
    from morvanta.render import html as report

    sk_cal = pytest.importorskip("sklearn.calibration")
    sk_dec = pytest.importorskip("sklearn.decomposition")
    rng = np.random.default_rng(5)
    conf = rng.beta(5, 2, 3000)
    ok = rng.random(3000) < conf
    bins = report._calibration_bins(conf, ok, 10)
    prob_true, prob_pred = sk_cal.calibration_curve(ok, conf, n_bins=10, strategy="uniform")
    filled = [b for b in bins if b[0] > 0]
    assert sum(b[0] for b in bins) == 3000
    np.testing.assert_allclose([b[2] for b in filled], prob_true, rtol=1e-12)
    np.testing.assert_allclose([b[1] for b in filled], prob_pred, rtol=1e-12)
    x = rng.normal(size=(600, 20)).astype(np.float32)
    y = (rng.normal(size=(500, 20)) * np.linspace(0.5, 3, 20)).astype(np.float32)
    pb, pc, share, (sb, sc) = report.projection(x, y, seed=3)
    again = report.projection(np.asfortranarray(x), y.copy(), seed=3)
    assert all(np.array_equal(a, b) for a, b in zip((pb, pc, share), again[:3]))  # any layout, same picture
    pooled = np.concatenate([x[sb], y[sc]]).astype(np.float64)
    ref = sk_dec.PCA(n_components=2, svd_solver="full").fit(pooled)
    np.testing.assert_allclose(share, ref.explained_variance_ratio_, rtol=1e-9)
    proj = ref.transform(pooled)
    np.testing.assert_allclose(np.abs(np.concatenate([pb, pc])), np.abs(proj), atol=1e-8)


def test_demo_writes_the_report_of_its_drift_scenario(tmp_path):
    pytest.importorskip("jinja2")
    from morvanta import demo

    out = run("demo", "--scenario", "stable", "--html", str(tmp_path / "demo.html"))
    assert out.returncode == 0 and out.stderr == ""
    assert out.stdout.rstrip().endswith(f"HTML report of the drift scenario: {tmp_path / 'demo.html'} "
                                        "(a single file; open it in a browser)")
    # The check of the demo's logs scores exactly what the demo's detectors do.
    expected = demo.score_window(demo.make_window("baseline", 300), demo.make_window("drift", 300))
    assert [s.to_dict() for s in demo.drift_check(300).report.scores] == [s.to_dict() for s in expected]


# ---------------------------------------------------------------- categorical columns


def _cat_log(n, seed, mix, extra=None):
    rng = np.random.default_rng(seed)
    out = {"x": rng.normal(size=n), "route": rng.choice(["a", "b", "c", "d"], n, p=mix).astype(object),
           "request_id": np.array([f"req-{seed}-{i}" for i in range(n)], dtype=object),
           "counter": np.arange(n, dtype=float) + seed * n}
    out.update(extra or {})
    return out


def test_categorical_columns_decide_explain_and_leave_ids_out_with_a_note():
    base = _cat_log(400, 1, [0.4, 0.3, 0.2, 0.1])
    cur = _cat_log(400, 2, [0.1, 0.3, 0.2, 0.4])
    cur["route"][:10] = "zeta"  # unseen in the baseline
    r = morvanta.check(base, cur, seed=3)
    data = r.dimension("data")
    assert data.drifted and data.inputs == "1 feature column + 1 categorical"
    by = {(p.name, p.column): p for p in data.parts}
    assert by[("psi_cat", "route")].p_adjusted <= 0.01 and by[("ks", "x")].p_adjusted > 0.05
    assert "categorical feature 'request_id' is left out of the data dimension: 400 distinct values in 400 " \
           "baseline rows (an id or free text)" in r.notes
    assert any(n.startswith("feature 'counter' is left out of the data dimension: whole numbers strictly increasing")
               for n in r.notes)
    (route,) = r.categorical
    assert route["moved"][0]["category"] in ("a", "d") and route["unseen"][0]["category"] == "zeta"
    assert route["unseen"][0]["current_share"] == pytest.approx(10 / 400)
    top = route["moved"][0]
    shares = {"a": 0.4, "d": 0.1}
    assert abs(top["baseline_share"] - shares[top["category"]]) < 0.06
    assert json.loads(r.to_json())["categorical_columns"][0]["name"] == "route"
    prom = r.to_prometheus(per_column=True)
    assert 'morvanta_drift_categorical_statistic{dimension="data",column="route",part="psi_cat"}' in prom
    text = r.summary()
    assert re.search(r"categories of route: [ad] \d+\.\d% -> \d+\.\d%.*; unseen in the baseline: zeta 2\.5%", text)
    # Redacted: values as 8 hex digits of their SHA-256, everywhere in the outputs.
    red = morvanta.check(base, cur, seed=3, redact_categories=True)
    import hashlib

    digest = hashlib.sha256(b"zeta").hexdigest()[:8]
    assert red.categorical[0]["unseen"][0]["category"] == digest
    assert "zeta" not in red.to_json()
    # Same windows, same bits; a null pair keeps its p-value high.
    again = morvanta.check(base, cur, seed=3)
    assert again.to_json() == r.to_json()
    null = morvanta.check(_cat_log(400, 5, [0.4, 0.3, 0.2, 0.1]), _cat_log(400, 6, [0.4, 0.3, 0.2, 0.1]), seed=3)
    assert null.dimension("data").p_value > 0.01


def test_breakdown_and_explain_list_what_moved_in_each_categorical_column():
    import pandas as pd

    base = _cat_log(400, 1, [0.4, 0.3, 0.2, 0.1])
    cur = _cat_log(400, 2, [0.1, 0.3, 0.2, 0.4])
    cur["route"][:10] = "zeta"
    cur["route"][10:30] = None
    r = morvanta.check(base, cur, seed=3, explain=True)
    bd = r.breakdowns["data"]
    (cat,) = bd.categories  # request_id is an id: left out here as in the test
    # Shares of the non-missing rows, against pandas' own count.
    seen_b, seen_c = pd.Series(base["route"]).dropna(), pd.Series(cur["route"]).dropna()
    want_b, want_c = seen_b.value_counts(normalize=True), seen_c.value_counts(normalize=True)
    moves = (want_c.reindex(want_b.index, fill_value=0) - want_b).abs().sort_values(ascending=False)
    assert [m.category for m in cat.moved] == list(moves.index)
    for m in cat.moved:
        assert m.baseline_share == want_b[m.category] and m.current_share == want_c.get(m.category, 0.0)
    assert [(u.category, u.current_share, u.unseen) for u in cat.unseen] == [("zeta", want_c["zeta"], True)]
    assert (cat.name, cat.categories, cat.missing_baseline, cat.missing_current) == ("route", 5, 0.0, 20 / 400)
    # The same lists as the check's own categorical summary, in the JSON breakdown too.
    assert [m.to_dict() for m in cat.moved] == r.categorical[0]["moved"][: len(cat.moved)]
    assert json.loads(r.to_json())["breakdowns"]["data"]["categories"][0]["unseen"][0]["category"] == "zeta"
    # morvanta.explain on the raw windows: named numeric columns, bit-identical score, the same categories.
    det = morvanta.DataDrift()
    ex = morvanta.explain(det.detect, pd.DataFrame(base), pd.DataFrame(cur))
    assert [c.name for c in ex.columns] == ["x"] and ex.categories == bd.categories
    assert ex.score.score == det.detect(base["x"][:, None], cur["x"][:, None]).score
    assert morvanta.explain(det.detect, base, cur).categories == bd.categories  # a dict of columns reads the same
    red = morvanta.explain(det.detect, base, cur, redact_categories=True).categories[0]
    assert red.unseen[0].category == hashlib.sha256(b"zeta").hexdigest()[:8]
    # A table of categories only: no numeric column, the categories still explained.
    only = morvanta.explain(det.detect, {"route": base["route"]}, {"route": cur["route"]})
    assert only.columns == [] and only.categories == bd.categories
    # A numeric table's breakdown keeps its plain form.
    assert "categories" not in morvanta.explain(det.detect, base["x"][:, None], cur["x"][:, None]).to_dict()


def test_categorical_cap_pools_the_rest_as_other_and_declared_codes_are_categories():
    from morvanta.engines.categories import CAP, OTHER, pool
    from morvanta.io.categories import CategoryColumn

    rng = np.random.default_rng(0)
    vals = [f"v{i:03d}" for i in range(80)]
    def col(seed):
        c = rng.integers(0, 80, 1000)
        return CategoryColumn("k", tuple(vals), c.astype(np.int32))
    b, c = col(0), col(1)
    p = pool(b, c)
    assert len(p.categories) == CAP + 1 and p.categories[-1] == OTHER and p.pooled_values == 80
    counts = np.bincount(np.concatenate([b.codes, c.codes]), minlength=80)
    kept = sorted(range(80), key=lambda i: (-counts[i], vals[i]))[:CAP]
    assert list(p.categories[:-1]) == sorted(vals[i] for i in kept)
    # The codes do not depend on the order of the rows.
    q = pool(b.take(slice(None, None, -1)), c.take(slice(None, None, -1)))
    assert q.categories == p.categories and (q.base[::-1] == p.base).all()
    # Declared integer codes: the same test as their text.
    base = {"route": np.array([1, 2, 3, 1] * 50, dtype=float), "x": np.arange(200.0) % 7}
    cur = {"route": np.array([3, 3, 2, 1] * 50, dtype=float), "x": np.arange(200.0) % 7}
    as_codes = morvanta.check(base, cur, categorical=["route"], seed=1)
    as_text = morvanta.check({**base, "route": base["route"].astype(int).astype(str).astype(object)},
                             {**cur, "route": cur["route"].astype(int).astype(str).astype(object)}, seed=1)
    assert as_codes.dimension("data").p_value == as_text.dimension("data").p_value
    assert as_codes.dimension("data").inputs == "1 feature column + 1 categorical"
    with pytest.raises(ArgumentError, match="categorical"):
        morvanta.check(base, cur, categorical="route")

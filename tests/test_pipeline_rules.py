"""The pipeline's rules: one min_rows for check and monitor, settings read from the
engine, errors that carry their cause, gates that never pass on nothing scored,
per-column views from saved baselines, planning in linear time, and monitor
windows made only where rows fall, with gaps reported."""

from __future__ import annotations

import inspect
import json
import math
import time

import numpy as np
import pytest

from conftest import run_cli as run

import morvanta
from morvanta import ConfidenceDrift, DataDrift, EmbeddingDrift, MorvantaError, QueryDrift
from morvanta.errors import ArgumentError, annotate, error_fields
from morvanta.io.log import LogError, RequestLog, read_log
from morvanta.pipeline import check as check_mod
from morvanta.pipeline.monitor import _by_time

T0 = 1_700_000_000.0  # 2023-11-14T22:13:20Z
HOUR = 3600.0



def log(n: int, seed: int, shift: float = 0.0, dim: int = 4, flags: bool = True) -> dict[str, object]:
    rng = np.random.default_rng(seed)
    out: dict[str, object] = {
        "query_embedding": (rng.normal(size=(n, dim)) + shift).astype(np.float32),
        "confidence": rng.beta(8, 2, n),
        "latency_ms": rng.gamma(4.0, 80.0 * (1 + shift), n),
        "tokens": rng.poisson(18, n).astype(float),
    }
    if flags:
        out["correct"] = rng.random(n) < 0.8
    return out


# ------------------------------------------------------------------ one min_rows, settings from the engine


def test_check_and_monitor_share_the_min_rows_default():
    defaults = {f.__name__: inspect.signature(f).parameters["min_rows"].default
                for f in (morvanta.check, morvanta.monitor)}
    assert defaults == {"check": 30, "monitor": 30} == {k: check_mod.DEFAULT_MIN_ROWS for k in defaults}
    # 29 rows are reported too small in every dimension the logs have; 30 are scored.
    small = morvanta.check(log(29, 1), log(29, 2))
    assert [(d.dimension, d.status) for d in small.dimensions] == [
        ("data", "too_small"), ("embedding", "too_small"), ("response", "skipped"), ("confidence", "too_small"),
        ("query", "too_small")]
    assert small.dimension("data").reason == "needs at least 30 rows per window, got 29 (baseline) and 29 (current)"
    assert small.report.scores == [] and not small.drifted
    ok = morvanta.check(log(30, 1), log(30, 2))
    assert {d.status for d in ok.dimensions} == {"scored", "skipped"}
    for bad in (0, -3, 2.5, True, "30"):
        with pytest.raises(ArgumentError) as info:
            morvanta.check(log(30, 1), log(30, 2), min_rows=bad)
        assert info.value.argument == "min_rows" and str(info.value).startswith("argument 'min_rows': ")


def test_query_clusters_are_read_from_the_detector_settings():
    b, c = log(5, 1), log(5, 2)
    # k=3 on five rows fits: scored, bit for bit the detector's own score.
    r = morvanta.check(b, c, min_rows=1, detectors={"query": QueryDrift(k=3)})
    q = r.dimension("query")
    assert q.status == "scored"
    assert q.score.to_dict() == QueryDrift(k=3).detect(b["query_embedding"], c["query_embedding"]).to_dict()
    # k=20 on ten rows cannot: too small, with no exception, and the others still scored.
    r = morvanta.check(log(10, 1), log(10, 2), min_rows=1, detectors={"query": QueryDrift(k=20)})
    assert (r.dimension("query").status, r.dimension("query").reason) == (
        "too_small", "needs at least 20 baseline rows for 20 clusters, got 10")
    assert r.dimension("data").status == "scored"
    # A calibrated detector is read the same way.
    cal = morvanta.calibrate(QueryDrift(k=12).detect, log(40, 3)["query_embedding"], current_size=10,
                             false_alarm_rate=0.1, seed=1)
    r = morvanta.check(log(11, 1), log(11, 2), min_rows=1, detectors={"query": cal})
    assert r.dimension("query").reason == "needs at least 12 baseline rows for 12 clusters, got 11"


def test_reliability_plot_uses_the_detectors_calibration_bins(monkeypatch):
    pytest.importorskip("jinja2")
    pytest.importorskip("matplotlib")
    from morvanta.render import html

    assert html._calib_bins(ConfidenceDrift(n_calib_bins=7)) == 7
    assert html._calib_bins(None) == 10 and html._calib_bins(DataDrift()) == 10
    seen = []
    real = html._calibration_bins
    monkeypatch.setattr(html, "_calibration_bins", lambda c, o, n: seen.append(n) or real(c, o, n))
    # Without breakdowns the page bins the rows itself, with the detector's own count.
    r = morvanta.check(log(200, 1), log(200, 2), explain=False,
                       detectors={"confidence": ConfidenceDrift(n_calib_bins=4)})
    r.to_html()
    assert seen == [4, 4]


# ------------------------------------------------------------------ errors carry their cause


def failing(kind: str):
    """(entry-point call, message of the plain detector call) for one core failure."""
    rng = np.random.default_rng(0)
    e16, e8 = rng.normal(size=(40, 16)).astype(np.float32), rng.normal(size=(40, 8)).astype(np.float32)
    one = e16[:1]
    if kind == "check":
        return (lambda: morvanta.check(log(40, 1), log(40, 2), detectors={"query": QueryDrift(k=0)}),
                "invalid_config", None, None)
    if kind == "monitor":
        return (lambda: morvanta.monitor(log(90, 1), rows=30, detectors={"embedding": EmbeddingDrift(n_projections=0)}),
                "invalid_config", None, None)
    if kind == "permutation_test":
        return (lambda: morvanta.permutation_test(EmbeddingDrift().detect, e16, e8, n_permutations=9),
                "dimension_mismatch", 16, 8)
    if kind == "calibrate":
        return (lambda: morvanta.calibrate(QueryDrift(k=0).detect, e16, current_size=10, false_alarm_rate=0.1),
                "invalid_config", None, None)
    if kind == "Baseline.check":
        saved = morvanta.Baseline.fit(embeddings=e16)
        return lambda: saved.check(embeddings=one), "insufficient_samples", 2, 1
    if kind == "Baseline.fit":
        # Eight clusters on three rows: refused by k-means itself.
        return lambda: morvanta.Baseline.fit(queries=e16[:3]), "invalid_config", None, None
    raise AssertionError(kind)


@pytest.mark.parametrize("entry", ["check", "monitor", "permutation_test", "calibrate", "Baseline.check",
                                   "Baseline.fit"])
def test_core_errors_carry_kind_expected_got_and_context(entry):
    call, kind, expected, got = failing(entry)
    with pytest.raises(MorvantaError) as info:
        call()
    err = info.value
    assert (err.kind, err.expected, err.got) == (kind, expected, got), str(err)
    # The message is the core's, untouched: its cause reads back the same from the text.
    assert error_fields(str(err))[:3] == (kind, expected, got)
    assert isinstance(err.context, (str, type(None)))


def test_error_fields_of_every_core_message():
    cases = {
        "dimension mismatch: expected 384, got 768 (mmd_rbf)": ("dimension_mismatch", 384, 768, "mmd_rbf"),
        "insufficient samples: need at least 2, got 1 (mmd_rbf)": ("insufficient_samples", 2, 1, "mmd_rbf"),
        "numerical instability in sliced_wasserstein (NaN or infinity)":
            ("numerical_instability", None, None, "sliced_wasserstein"),
        "invalid configuration: kmeans: k must be > 0": ("invalid_config", None, None, None),
        "interrupted": ("cancelled", None, None, None),
    }
    for message, fields in cases.items():
        got = error_fields(message)
        assert got is not None and tuple(got)[:3] == fields[:3], message
        err = annotate(MorvantaError(message))
        assert (err.kind, err.expected, err.got) == fields[:3] and str(err) == message
    assert error_fields("something else entirely") is None
    # Annotating twice keeps the first reading; other exceptions pass untouched.
    err = annotate(MorvantaError("dimension mismatch: expected 3, got 2 (x)"))
    err.kind = "kept"
    assert annotate(err).kind == "kept" and not hasattr(annotate(ValueError("v")), "kind")


def test_the_command_line_blames_files_from_the_error_attributes():
    from morvanta.cli.commands import _blame

    a16, a8 = np.zeros((5, 16), np.float32), np.zeros((7, 8), np.float32)
    inputs = [("a.npy", a16), ("b.npy", a8)]

    def err(kind, expected=None, got=None):
        e = MorvantaError("opaque text the command line never reads")
        e.kind, e.expected, e.got, e.context = kind, expected, got, None
        return e

    assert _blame(err("dimension_mismatch", 16, 8), inputs) == "'a.npy' and 'b.npy'"
    assert _blame(err("insufficient_samples", 2, 7), inputs) == "'b.npy'"
    assert _blame(err("invalid_config"), inputs) is None  # about a setting, not a file
    assert _blame(err("invalid_config"), inputs, rows_below=6) == "'a.npy'"  # k=6 clusters on 5 rows
    assert _blame(err(None), inputs) == "'a.npy' and 'b.npy'"


# ------------------------------------------------------------------ gates never pass on nothing


@pytest.fixture(scope="module")
def small_logs(tmp_path_factory):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    d = tmp_path_factory.mktemp("small")
    pd.DataFrame({k: list(v) if getattr(v, "ndim", 1) == 2 else v for k, v in log(20, 1).items()}).to_parquet(
        d / "b.parquet")
    pd.DataFrame({k: list(v) if getattr(v, "ndim", 1) == 2 else v for k, v in log(20, 2).items()}).to_parquet(
        d / "c.parquet")
    rng = np.random.default_rng(3)
    t = T0 - T0 % 86400 + np.sort(rng.uniform(0, 2 * HOUR, 300))  # two hours of one day
    pd.DataFrame({"timestamp": t, "x": rng.normal(size=300)}).to_parquet(d / "short.parquet")
    return d


def test_fail_on_drift_exits_2_when_nothing_was_scored(small_logs):
    d = small_logs
    out = run("check", "b.parquet", "c.parquet", "--fail-on-drift", cwd=d)
    assert out.returncode == 2
    assert out.stdout.rstrip().endswith("verdict: nothing to test (no dimension could be scored)")
    assert out.stderr == ("morvanta: error: --fail-on-drift: no dimension could be scored (each was skipped or "
                          "too small), so there is no verdict to gate on\n")
    # Without the gate the same check finishes (status 0); with rows enough it is scored.
    assert run("check", "b.parquet", "c.parquet", cwd=d).returncode == 0
    assert run("check", "b.parquet", "c.parquet", "--min-rows", "5", "--fail-on-drift", cwd=d).returncode in (0, 1)


def test_monitor_with_no_window_says_so_and_exits_2(small_logs):
    d = small_logs
    out = run("monitor", "short.parquet", "--every", "1d", cwd=d)
    assert (out.returncode, out.stdout) == (2, "")
    assert out.stderr == ("morvanta: error: no window to check: all 300 requests of 'short.parquet' fall in the "
                          "baseline (first period, 300 requests); give a shorter baseline or a longer log\n")
    m = morvanta.monitor(str(d / "short.parquet"), every="1d")
    note = out.stderr[len("morvanta: error: "):].rstrip("\n").replace("'short.parquet'", f"'{d / 'short.parquet'}'")
    assert m.windows == [] and m.notes == [note]
    assert "0 of 0" not in m.summary() and m.summary().endswith("verdict: nothing to test (no window could be scored)")
    # Windows exist but all are too small: the gate has nothing to stand on.
    out = run("monitor", "short.parquet", "--every", "30m", "--min-rows", "100", "--fail-on-drift", cwd=d)
    assert out.returncode == 2 and len(out.stdout.splitlines()) == 3
    assert out.stderr == ("morvanta: error: --fail-on-drift: no window could be checked: all 3 windows hold "
                          "fewer than the 100 requests needed, so there is no verdict to gate on\n")
    assert run("monitor", "short.parquet", "--every", "30m", "--min-rows", "100", cwd=d).returncode == 0


def test_html_never_reads_ok_from_nothing(small_logs):
    pytest.importorskip("jinja2")
    pytest.importorskip("matplotlib")
    m = morvanta.monitor(str(small_logs / "short.parquet"), every="1d")
    page = m.to_html()
    assert "0 of 0" not in page and ">OK<" not in page
    assert '<p class="verdict none" role="status"><span class="badge">NOT TESTED</span> — Nothing to test: ' \
           "no window to check: all 300 requests" in page
    r = morvanta.check(log(20, 1), log(20, 2))
    page = r.to_html()
    assert '<span class="badge">NOT TESTED</span> — Nothing to test: no dimension could be scored.' in page


# ------------------------------------------------------------------ saved baselines show their columns


def test_saved_baseline_columns_equal_those_of_the_log(tmp_path):
    base, cur = log(300, 1), log(250, 2, shift=0.3)
    b = read_log(base)
    saved = morvanta.Baseline.fit(features=b.features, feature_names=b.feature_names, confidences=b.confidences)
    path = tmp_path / "saved.npz"
    saved.save(str(path))
    from_log = morvanta.check({k: base[k] for k in ("latency_ms", "tokens", "confidence")}, cur)
    for r in (morvanta.check(saved, cur), morvanta.check(str(path), cur)):
        assert [(c.index, c.name, c.score.to_dict()) for c in r.columns] == [
            (c.index, c.name, c.score.to_dict()) for c in from_log.columns]
        assert [c.name for c in r.columns] == ["latency_ms", "tokens"]  # worst first
        doc = json.loads(r.to_json())
        assert doc["columns"] == json.loads(from_log.to_json())["columns"]
        assert "worst columns: latency_ms" in r.summary()
    if pytest.importorskip("jinja2") and pytest.importorskip("matplotlib"):
        page = morvanta.check(str(path), cur).to_html()
        assert '<caption>Feature columns, worst first</caption>' in page
        assert f'<th scope="row">latency_ms</th><td class="num">{from_log.columns[0].score.score:.4f}</td>' in page
    # A current window below min_rows is reported too small, not scored against the saved baseline.
    r = morvanta.check(saved, log(12, 3))
    assert [d.status for d in r.dimensions] == ["too_small", "skipped", "skipped", "too_small", "skipped"]
    assert r.report.scores == [] and r.columns == []


# ------------------------------------------------------------------ planning


def test_planning_is_linear_in_the_number_of_columns():
    n, rows = 20_000, 3
    names = [f"f{j}" for j in range(n)]
    rng = np.random.default_rng(0)
    feats = np.asfortranarray(rng.normal(size=(rows, n)))
    base = RequestLog("b", rows, feats, names)
    order = rng.permutation(n)  # the current log holds the columns in another order
    cur = RequestLog("c", rows, np.asfortranarray(feats[:, order] + 1.0), [names[j] for j in order])
    notes: list[str] = []
    start = time.perf_counter()
    calls, left = check_mod._plan(base, cur, check_mod.detectors_with(None), 1, notes)
    elapsed = time.perf_counter() - start
    assert elapsed < 2.0, elapsed  # a quadratic plan takes minutes here
    assert calls["data"].inputs == "20000 feature columns" and notes == []
    np.testing.assert_array_equal(calls["data"].cur, feats + 1.0)  # matched by name, back in baseline order
    # Columns only one log has are named up to a limit, then counted.
    extra = RequestLog("c", rows, np.asfortranarray(feats[:, :50]), names[:50])
    notes = []
    check_mod._plan(base, extra, check_mod.detectors_with(None), 1, notes)
    assert len(notes) == check_mod.MISSING_NAMED + 1
    assert notes[-1] == (f"{n - 50 - check_mod.MISSING_NAMED:,} more features are missing from the current log; "
                         "the data dimension leaves them out")


# ------------------------------------------------------------------ monitor: windows only where rows fall


def reference_cut(t: np.ndarray, every: float, baseline: float | None):
    """Every period after the baseline, one by one: the windows holding rows and the runs of empty ones."""
    t0 = math.floor(t[0] / every) * every
    end = t0 + (baseline if baseline is not None else every)
    out, k, empty = [], 0, 0
    while end + k * every <= t[-1]:
        a = int(np.searchsorted(t, end + k * every, "left"))
        b = int(np.searchsorted(t, end + (k + 1) * every, "left"))
        if a == b:
            empty += 1
        else:
            if empty:
                out.append(("gap", k - empty, a, empty))
            out.append(("window", k, a, b - a))
            empty = 0
        k += 1
    return int(np.searchsorted(t, end, "left")), out


@pytest.mark.parametrize("seed", range(6))
def test_cut_by_time_matches_a_period_by_period_reference(seed):
    rng = np.random.default_rng(seed)
    # Bursts of traffic with outages between them, some rows exactly on period boundaries.
    t = np.concatenate([T0 + rng.uniform(a, a + rng.uniform(1, 5) * HOUR, rng.integers(1, 40))
                        for a in np.cumsum(rng.uniform(0, 30, 8)) * HOUR])
    t = np.sort(np.concatenate([t, (np.floor(t[:5] / HOUR) + 3) * HOUR]))
    baseline = [None, 2 * HOUR][seed % 2]
    nb, want = reference_cut(t, HOUR, baseline)
    base, cuts = _by_time(t, HOUR, baseline)
    got = [("gap", c.index, c.first, c.periods) if c.gap else ("window", c.index, c.first, c.end - c.first)
           for c in cuts]
    assert (base.stop, got) == (nb, want)
    assert sum(c.end - c.first for c in cuts) == len(t) - nb  # every row in exactly one window


def test_one_row_years_later_is_one_gap_not_a_loop():
    rng = np.random.default_rng(1)
    n = 400
    t = np.append(T0 + np.sort(rng.uniform(0, 4 * HOUR, n)), 1_990_000_000.0)  # the last row in 2033
    data = {"timestamp": t, "x": rng.normal(size=n + 1)}
    start = time.perf_counter()
    m = morvanta.monitor(data, every="1h", min_rows=10)
    assert time.perf_counter() - start < 1.0
    gaps = m.gaps
    assert len(gaps) == 1 and [w.status for w in m.windows].count("gap") == 1
    g = gaps[0]
    first_empty = math.floor(T0 / HOUR) + 5  # the baseline hour and four windows of traffic
    last = math.floor(1_990_000_000.0 / HOUR)
    assert (g.index, g.periods, g.rows) == (4, last - first_empty, 0)
    assert (g.start, g.end) == (first_empty * HOUR, last * HOUR)
    assert g.reason == f"no requests for {last - first_empty:,} periods"
    lines = [json.loads(x) for x in m.to_jsonl().splitlines()]
    assert [x["status"] for x in lines][-2:] == ["gap", "too_small"]
    assert lines[-2]["periods"] == last - first_empty and lines[-2]["end"] == "2033-01-22T09:00:00Z"
    assert f"gap: no requests for {last - first_empty:,} periods, until 2033-01-22 09:00" in m.summary()
    # A time far past any calendar still cuts in bounded time.
    far = {"timestamp": np.append(t[:50], 1e18), "x": rng.normal(size=51)}
    start = time.perf_counter()
    try:
        m = morvanta.monitor(far, every="1h", baseline="1d", min_rows=1)
    except LogError:
        pass  # the reader may refuse such a time; it must never loop
    else:
        assert len(m.gaps) == 1 and m.windows[-1].to_dict()["start"] is None
    assert time.perf_counter() - start < 1.0


def test_monitor_arguments_are_refused_by_name():
    data = {"timestamp": T0 + np.arange(100.0), "x": np.arange(100.0)}
    cases = [(dict(rows=0), "rows"), (dict(rows=5, baseline=0), "baseline"), (dict(every="1 fortnight"), "every"),
             (dict(every="1h", baseline="0h"), "baseline"), (dict(rows=5, min_rows=0), "min_rows"),
             (dict(rows=5, alpha=1.5), "alpha"), (dict(every=True), "every")]
    for kwargs, arg in cases:
        with pytest.raises(ArgumentError) as info:
            morvanta.monitor(data, **kwargs)
        assert info.value.argument == arg, kwargs
    bad = dict(data, timestamp=np.r_[T0, np.inf, T0 + np.arange(98.0)])
    with pytest.raises(LogError, match=r"column 'timestamp' row 2"):
        morvanta.monitor(bad, every="1h")

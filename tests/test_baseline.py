"""Baseline: fitted once, every check bit-identical to the detectors on the raw
windows; persisted as snapshot JSON or npz; scores taken apart into their parts."""

import json
import math

import numpy as np
import pytest
from conftest import bits, concurrently, emb, layouts
from scipy import stats

import morvanta
from morvanta import (Baseline, BaselineSnapshot, ConfidenceDrift, DataDrift, EmbeddingDrift, MorvantaError,
    QueryDrift, ResponseDrift, _engine, explain)

PARTS = ("features", "embeddings", "response_lengths", "response_embeddings", "confidences", "correct", "queries")


def window(rng, *, rows=None, cols=4, width=8, shift=0.0, ties=False, nan=False):
    """A random window with every part; sizes vary with the generator."""
    r = rows or int(rng.integers(20, 300))
    feats = rng.normal(size=(r, cols)) + shift
    if ties:
        feats = np.round(feats * 2) / 2
    if nan:
        feats[rng.random(feats.shape) < 0.05] = np.nan
        feats[0, 0] = np.inf
    conf = np.clip(rng.random(int(rng.integers(10, 200))) + shift / 4, 0.0, 1.2)
    def e(lo, hi):
        return (rng.standard_normal((int(rng.integers(lo, hi)), width)) + shift).astype(np.float32)

    return dict(features=feats, embeddings=e(3, 120),
                response_lengths=np.round(rng.gamma(2.0, 20.0, int(rng.integers(5, 150))) * (1 + shift)),
                response_embeddings=e(2, 90), confidences=conf, correct=rng.random(len(conf)) < conf, queries=e(40, 160))


def random_detectors(rng):
    return dict(data=DataDrift(float(rng.random()), int(rng.choice([0, 1, 2, 5, 10, 37]))),
                embedding=EmbeddingDrift(0.05, int(rng.choice([1, 16, 64])), int(rng.integers(0, 2**63))),
                response=ResponseDrift(0.2, int(rng.integers(0, 2**64, dtype=np.uint64))),
                confidence=ConfidenceDrift(0.2, int(rng.choice([1, 3, 10, 15]))),
                query=QueryDrift(0.1, int(rng.choice([1, 3, 8])), int(rng.integers(0, 1000))))


def raw_scores(dets, b, c):
    """Every dimension scored by the plain detectors on the raw windows."""
    return {
        "data": dets["data"].detect(b["features"], c["features"]),
        "embedding": dets["embedding"].detect(b["embeddings"], c["embeddings"]),
        "response": dets["response"].detect_with_embeddings(b["response_lengths"], c["response_lengths"],
                                                            b["response_embeddings"], c["response_embeddings"]),
        "confidence": dets["confidence"].detect_with_correctness(b["confidences"], b["correct"],
                                                                 c["confidences"], c["correct"]),
        "query": dets["query"].detect(b["queries"], c["queries"]),
    }


def same(a, b):
    """Two scores equal bit for bit (NaN included)."""
    return (a.dimension, a.method, a.exceeded) == (b.dimension, b.method, b.exceeded) and (
        bits(a.score), bits(a.threshold)) == (bits(b.score), bits(b.threshold))


# ---------------------------------------------------------------- the bit-identity contract


@pytest.mark.parametrize("seed", range(8))
def test_checks_equal_the_detectors_on_raw_windows(seed):
    rng = np.random.default_rng(seed)
    dets = random_detectors(rng)
    base = window(rng, ties=seed % 2 == 0, nan=seed % 3 == 0)
    fitted = Baseline.fit(**base, **dets)
    for shift in (0.0, 0.3):
        cur = window(rng, shift=shift, ties=seed % 2 == 0, nan=seed % 3 == 1)
        ref = raw_scores(dets, base, cur)
        report = fitted.check(**cur)
        assert [s.dimension for s in report.scores] == ["data", "embedding", "response", "confidence", "query"]
        for s in report.scores:
            assert same(s, ref[s.dimension]), (s, ref[s.dimension])
        # Current arrays in any memory layout give the same bits.
        for lay in zip(*(layouts(cur[k]) for k in ("features", "embeddings", "queries", "response_embeddings"))):
            alt = dict(cur, features=lay[0], embeddings=lay[1], queries=lay[2], response_embeddings=lay[3])
            assert all(same(a, b) for a, b in zip(fitted.check(**alt).scores, report.scores))


def test_baseline_layout_and_plain_modes():
    rng = np.random.default_rng(11)
    base, cur = window(rng), window(rng, shift=0.2)
    for lay in layouts(base["features"]):
        got = Baseline.fit(features=lay).check(features=cur["features"]).scores[0]
        assert same(got, DataDrift().detect(base["features"], cur["features"]))
    # Without flags / embeddings the plain modes are used, as by the detectors.
    b = Baseline.fit(confidences=base["confidences"], response_lengths=base["response_lengths"])
    s = b.check(confidences=cur["confidences"], response_lengths=cur["response_lengths"]).scores
    assert same(s[0], ResponseDrift().detect(base["response_lengths"], cur["response_lengths"]))
    assert same(s[1], ConfidenceDrift().detect(base["confidences"], cur["confidences"]))


@pytest.mark.parametrize(
    "base, cur",
    [
        (np.zeros((30, 3)), np.zeros((5, 3))),  # everything tied
        (np.full((12, 2), np.nan), np.ones((7, 2))),  # all-missing baseline columns
        (np.r_[np.full((5, 2), -np.inf), np.ones((20, 2))], np.r_[np.full((2, 2), np.inf), np.ones((9, 2))]),
        (np.arange(40.0).reshape(20, 2), np.arange(40.0).reshape(20, 2)[::-1]),
        (np.zeros((9, 0)), np.zeros((4, 0))),  # no columns: score 0
        (np.random.default_rng(3).normal(size=(8, 2)), np.random.default_rng(4).normal(size=(3, 2))),  # rows < bins
    ],
)
def test_data_edge_tables(base, cur):
    for bins in (0, 1, 2, 10):
        det = DataDrift(n_bins=bins)
        assert same(Baseline.fit(features=base, data=det).check(features=cur).scores[0], det.detect(base, cur))


def test_many_rows_against_few_rows():
    # A long sorted baseline against a short current sample, with and without ties.
    rng = np.random.default_rng(5)
    for base, cur in [
        (rng.normal(size=(20000, 2)), rng.normal(size=(37, 2)) * 1.3),
        (np.round(rng.normal(size=(20000, 2)) * 3), np.round(rng.normal(size=(41, 2)) * 3)),
    ]:
        assert same(Baseline.fit(features=base).check(features=cur).scores[0], DataDrift().detect(base, cur))


# ---------------------------------------------------------------- errors


def message(call):
    with pytest.raises(MorvantaError) as info:
        call()
    return str(info.value)


def test_current_window_errors_are_the_detectors():
    rng = np.random.default_rng(2)
    b = window(rng)
    f = Baseline.fit(**b)
    bad = [
        ("features", rng.normal(size=(10, 3)), lambda v: DataDrift().detect(b["features"], v)),
        ("features", np.zeros((0, 4)), lambda v: DataDrift().detect(b["features"], v)),
        ("embeddings", emb(1, 8, 0), lambda v: EmbeddingDrift().detect(b["embeddings"], v)),
        ("embeddings", emb(5, 7, 0), lambda v: EmbeddingDrift().detect(b["embeddings"], v)),
        ("queries", emb(5, 9, 0), lambda v: QueryDrift().detect(b["queries"], v)),
        ("response_lengths", [], lambda v: ResponseDrift().detect(b["response_lengths"], v)),
        ("response_embeddings", emb(4, 3, 0),
         lambda v: ResponseDrift().detect_with_embeddings(b["response_lengths"], [1.0], b["response_embeddings"], v)),
    ]
    for part, value, ref in bad:
        cur = dict(b, **{part: value})
        if part == "response_embeddings":
            cur["response_lengths"] = [1.0]
        assert message(lambda: f.check(**cur)) == message(lambda: ref(value)), part
    # Flags of the wrong length in the current window; no bins at all.
    cur = dict(b, correct=b["correct"][:-1])
    assert message(lambda: f.check(**cur)).endswith("(ConfidenceDriftDetector::current correctness)")
    # A baseline no window could be scored against is refused when fitted: no
    # calibration bins, a NaN embedding (the sliced distance would be unstable).
    with pytest.raises(ValueError, match="^argument 'confidence': n_calib_bins is 0"):
        Baseline.fit(confidences=b["confidences"], correct=b["correct"], confidence=ConfidenceDrift(n_calib_bins=0))
    e = b["response_embeddings"].copy()
    e[0, 0] = np.nan
    with pytest.raises(ValueError, match="^argument 'response_embeddings': row 0, column 0 is NaN"):
        Baseline.fit(response_lengths=[1.0, 2.0], response_embeddings=e)


def test_fit_errors():
    rng = np.random.default_rng(3)
    q = emb(5, 4, 0)
    assert message(lambda: Baseline.fit(queries=q, query=QueryDrift(k=8))) == message(lambda: QueryDrift(k=8).detect(q, q))
    assert message(lambda: Baseline.fit(confidences=[0.1, 0.2], correct=[True])).endswith(
        "(ConfidenceDriftDetector::baseline correctness)")
    with pytest.raises(ValueError, match="at least one part"):
        Baseline.fit()
    with pytest.raises(ValueError, match="'response_embeddings' needs 'response_lengths'"):
        Baseline.fit(response_embeddings=q)
    with pytest.raises(ValueError, match="'correct' needs 'confidences'"):
        Baseline.fit(correct=[True])
    with pytest.raises(TypeError, match="argument 'data': expected a DataDrift"):
        Baseline.fit(features=rng.normal(size=(5, 2)), data=QueryDrift())
    with pytest.raises(TypeError, match="argument 'features'"):
        Baseline.fit(features=rng.normal(size=(5, 2)).astype(np.float32))
    with pytest.raises(TypeError, match="argument 'embeddings'"):
        Baseline.fit(embeddings=rng.normal(size=(5, 2)))
    with pytest.raises(ValueError, match="feature_names has 3 entries for 2 columns"):
        Baseline.fit(features=rng.normal(size=(5, 2)), feature_names=["a", "b", "c"])
    with pytest.raises(TypeError, match="Baseline.fit"):
        Baseline()


def test_missing_and_extra_parts_are_named():
    rng = np.random.default_rng(4)
    w = window(rng)
    f = Baseline.fit(features=w["features"], confidences=w["confidences"], correct=w["correct"])
    assert f.parts == ("features", "confidences", "correct")
    with pytest.raises(ValueError, match="lacks part 'correct'"):
        f.check(features=w["features"], confidences=w["confidences"])
    with pytest.raises(ValueError, match="carries part 'queries'"):
        f.check(features=w["features"], confidences=w["confidences"], correct=w["correct"], queries=w["queries"])
    with pytest.raises(ValueError, match="carries part 'embeddings'"):
        f.explain(features=w["features"], confidences=w["confidences"], correct=w["correct"], embeddings=w["embeddings"])


# ---------------------------------------------------------------- frames, calibrations, properties


def test_frames_match_columns_by_name():
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    rng = np.random.default_rng(6)
    base, cur = rng.normal(size=(300, 3)), rng.normal(size=(200, 3)) + [0, 0.5, 0]
    names = ["age", "income", "tenure"]
    f = Baseline.fit(features=pd.DataFrame(base, columns=names))
    assert f.feature_names == names and f.sizes == {"features": 300}
    ref = DataDrift().detect(base, cur)
    shuffled = pd.DataFrame(cur, columns=names)[["tenure", "age", "income"]]
    assert same(f.check(features=shuffled).scores[0], ref)
    assert same(f.check(features=pl.DataFrame(cur, schema=names)).scores[0], ref)
    assert same(f.check(features=cur).scores[0], ref)
    cols = f.explain(features=shuffled)["data"].columns
    assert [c.name for c in cols] == names
    assert max(cols, key=lambda c: c.value).name == "income"
    with pytest.raises(ValueError, match="only in current"):
        f.check(features=pd.DataFrame(cur, columns=["age", "income", "x"]))


def test_threads_share_one_baseline():
    rng = np.random.default_rng(8)
    base, cur = window(rng), [window(rng, shift=s) for s in (0.0, 0.1, 0.2)]
    f = Baseline.fit(**base)
    expect = [[s.score for s in f.check(**c).scores] for c in cur]
    got = concurrently(*[lambda c=c: [s.score for s in f.check(**c).scores] for c in cur])
    assert got == [[e] * 3 for e in expect]


def test_worker_counts_give_the_same_bits():
    base, cur = emb(300, 16, 1), emb(280, 16, 2, 0.1)
    f = Baseline.fit(embeddings=base)
    try:
        scores = []
        for n in (1, 3):
            _engine.set_threads(n)
            scores.append(bits(f.check(embeddings=cur).scores[0].score))
    finally:
        _engine.set_threads(0)
    assert scores[0] == scores[1] == bits(EmbeddingDrift().detect(base, cur).score)


# ---------------------------------------------------------------- persistence


@pytest.mark.parametrize("suffix", ["json", "npz"])
def test_save_load_round_trip(tmp_path, suffix):
    rng = np.random.default_rng(10)
    dets = random_detectors(rng)
    dets["data"] = DataDrift(0.0, 5)
    base = window(rng, nan=True, ties=True)
    base["confidences"][3:5] = [1.0, 0.0]  # the ends of the range
    f = Baseline.fit(**base, **dets)
    path = tmp_path / f"base.{suffix}"
    f.save(path)
    g = Baseline.load(path)
    assert (g.parts, g.sizes, g.feature_names, g.captured_at) == (f.parts, f.sizes, f.feature_names, f.captured_at)
    for shift in (0.0, 0.4):
        cur = window(rng, shift=shift, nan=True)
        a, b = f.check(**cur).scores, g.check(**cur).scores
        assert all(same(x, y) for x, y in zip(a, b))
        col = [json.dumps(x.explain(**cur)["data"].to_dict()["columns"][0], default=str) for x in (f, g)]
        assert col[0] == col[1]
    if suffix == "json":  # saving the loaded baseline again gives the same file
        g.save(tmp_path / "again.json")
        assert (tmp_path / "again.json").read_text() == path.read_text()


def test_json_is_a_snapshot(tmp_path):
    rng = np.random.default_rng(12)
    base = window(rng)
    base["features"][0, 0] = np.nan
    f = Baseline.fit(**base)
    f.save(tmp_path / "b.json")
    text = (tmp_path / "b.json").read_text()
    fields = _engine.snapshot_fields(BaselineSnapshot.from_json(text))
    assert fields["captured_at"] == f.captured_at
    assert np.array_equal(fields["embeddings"], base["embeddings"])
    assert np.array_equal(fields["response_lengths"], np.sort(base["response_lengths"]).astype(np.uint64))
    parts = f.explain(**base)["query"]
    assert np.array_equal(fields["query_centroids"], parts.centroids)
    assert list(fields["query_cluster_freqs"]) == [c.baseline_share for c in parts.clusters]
    np.testing.assert_allclose(fields["feature_means"], np.nanmean(base["features"], axis=0), rtol=1e-12)
    np.testing.assert_allclose(fields["feature_stds"], np.nanstd(base["features"], axis=0), rtol=1e-12)
    assert repr(float(base["confidences"][0])) in text  # shortest exact form


def test_damaged_and_foreign_files(tmp_path):
    rng = np.random.default_rng(13)
    f = Baseline.fit(features=rng.normal(size=(50, 2)), queries=emb(60, 4, 1), query=QueryDrift(k=3))
    good = tmp_path / "b.json"
    f.save(good)
    text = good.read_text()

    def fails(name, content, match):
        p = tmp_path / name
        if isinstance(content, bytes):
            p.write_bytes(content)
        else:
            p.write_text(content)
        with pytest.raises(ValueError, match=match) as info:
            Baseline.load(p)
        assert str(p) in str(info.value)

    fails("trunc.json", text[: len(text) // 2], "not valid JSON")
    fails("report.json", morvanta.DriftReport([], 1, 1).to_json(), "not a morvanta baseline")
    doc = json.loads(text)
    doc["morvanta_baseline"]["version"] = 99
    fails("future.json", json.dumps(doc), "version 99 is not supported")
    # One changed digit of a centroid: caught by the checksum, never a wrong baseline.
    c = doc["query_centroids"]["data"]
    doc = json.loads(text)
    doc["query_centroids"]["data"][0] = c[0] + 1.0
    fails("edited.json", json.dumps(doc), "does not match the checksum")
    doc = json.loads(text)
    doc["query_centroids"]["data"].pop()
    fails("short.json", json.dumps(doc), "shorter than its dimensions")
    # npz: garbage, a foreign archive, a damaged array.
    fails("junk.npz", b"PK\x03\x04 not really a zip", "not a readable .npz")
    foreign = tmp_path / "foreign.npz"
    np.savez(foreign, x=np.arange(3))
    with pytest.raises(ValueError, match="no 'morvanta_baseline' entry"):
        Baseline.load(foreign)
    good_npz = tmp_path / "b.npz"
    f.save(good_npz)
    with np.load(good_npz) as z:
        content = {k: z[k] for k in z.files}
    content["array_query_frequencies"] = content["array_query_frequencies"][::-1].copy()
    bad = tmp_path / "swapped.npz"
    np.savez(bad, **content)
    with pytest.raises(ValueError, match="does not match the checksum"):
        Baseline.load(bad)
    with pytest.raises(FileNotFoundError):
        Baseline.load(tmp_path / "absent.json")


# ---------------------------------------------------------------- breakdowns


def recombine(dim, b):
    """The score rebuilt from a breakdown's parts with the detector's operations."""
    if dim == "data":
        m = 0.0
        for c in b.columns:
            assert bits(c.value) == bits(
                (c.psi or 0.0) if math.isnan(c.ks) else max(c.ks, c.psi) if c.psi is not None and c.psi > c.ks else c.ks
            )
            m = c.value if c.value > m else m
        return m
    if dim == "embedding":
        return (b.mmd2 if b.mmd2 > 0.0 else 0.0) + b.sliced_wasserstein
    if dim == "response":
        return b.ks if b.sliced_wasserstein is None else b.ks + b.sliced_wasserstein
    if dim == "confidence":
        if b.ece_baseline is None:
            return b.ks

        def ece(count, conf, acc):
            n = sum(getattr(x, count) for x in b.bins)
            e = 0.0
            for x in b.bins:
                if getattr(x, count):
                    e += abs(getattr(x, conf) - getattr(x, acc)) * (getattr(x, count) / n)
            return e

        assert bits(ece("baseline_count", "baseline_confidence", "baseline_accuracy")) == bits(b.ece_baseline)
        assert bits(ece("current_count", "current_confidence", "current_accuracy")) == bits(b.ece_current)
        return b.ks + abs(b.ece_current - b.ece_baseline)
    if dim == "query":
        a = s = 0.0
        for c in b.clusters:
            a += c.baseline_term
            s += c.current_term
            assert bits(c.contribution) == bits((c.baseline_term + c.current_term) * 0.5)
        return (s + a) * 0.5
    raise AssertionError(dim)


@pytest.mark.parametrize("seed", range(4))
def test_breakdowns_recombine_bit_for_bit(seed):
    rng = np.random.default_rng(100 + seed)
    dets = random_detectors(rng)
    base, cur = window(rng, nan=seed == 1), window(rng, shift=0.3, ties=seed == 2)
    f = Baseline.fit(**base, **dets)
    parts = f.explain(**cur)
    report = f.check(**cur)
    assert list(parts) == ["data", "embedding", "response", "confidence", "query"]
    for s in report.scores:
        b = parts[s.dimension]
        assert same(b.score, s)
        assert bits(recombine(s.dimension, b)) == bits(s.score), s.dimension
        json.dumps(b.to_dict())  # plain values only


def test_breakdown_parts_against_independent_references():
    rng = np.random.default_rng(21)
    base, cur = rng.normal(size=(400, 3)), rng.normal(size=(300, 3)) * 1.2
    base[:8, 1] = np.nan
    cur[:30, 1] = np.nan
    d = Baseline.fit(features=base, data=DataDrift(n_bins=5)).explain(features=cur)["data"]
    for j, col in enumerate(d.columns):
        assert (col.missing_baseline, col.missing_current) == ((8 / 400, 30 / 300) if j == 1 else (0.0, 0.0))
        assert len(col.bin_edges) == 4 and col.baseline_counts.sum() == 400 and col.current_counts.sum() == 300
        if j != 1:
            assert col.ks == pytest.approx(stats.ks_2samp(base[:, j], cur[:, j]).statistic, abs=1e-12)
            s = np.sort(base[:, j])
            np.testing.assert_array_equal(col.bin_edges, s[[int((k / 5) * 400) for k in range(1, 5)]])
            np.testing.assert_array_equal(
                col.current_counts, np.bincount(np.searchsorted(col.bin_edges, cur[:, j], side="right"), minlength=5)
            )
    assert d.worst() is max(d.columns, key=lambda c: c.value)
    # No index when the baseline has fewer rows than bins.
    small = Baseline.fit(features=base[:4], data=DataDrift(n_bins=5)).explain(features=cur)["data"].columns[0]
    assert small.psi is None and small.bin_edges.size == 0 and small.value == small.ks

    # Embedding bandwidth: the median pairwise distance of the first 256 rows of both windows.
    x, y = emb(300, 6, 1), emb(200, 6, 2, 0.3)
    e = Baseline.fit(embeddings=x).explain(embeddings=y)["embedding"]
    pooled = np.vstack([x[:256], y[:256]])  # differences in float32, squares summed in float64
    diff = (pooled[:, None, :] - pooled[None, :, :]).astype(np.float64)
    dist = np.sort(np.sqrt((diff**2).sum(-1))[np.triu_indices(len(pooled), 1)])
    assert e.bandwidth == pytest.approx(dist[len(dist) // 2], rel=1e-9)
    assert e.mmd2 > 0.0

    # Confidence table against numpy; query shares against the centroids.
    conf, ok = rng.random(500), rng.random(500) < 0.7
    c = Baseline.fit(confidences=conf, correct=ok).explain(confidences=conf[:200], correct=ok[:200])["confidence"]
    idx = np.minimum((conf * 10).astype(int), 9)
    assert [b.baseline_count for b in c.bins] == np.bincount(idx, minlength=10).tolist()
    assert c.bins[3].baseline_accuracy == pytest.approx(ok[idx == 3].mean())
    assert c.bins[3].baseline_confidence == pytest.approx(conf[idx == 3].mean())
    assert (c.bins[0].lower, c.bins[-1].upper) == (0.0, 1.0)
    q, qc = emb(500, 5, 3), emb(100, 5, 4, 0.5)
    qb = Baseline.fit(queries=q, query=QueryDrift(k=4)).explain(queries=qc)["query"]
    nearest = ((qc[:, None, :].astype(np.float64) - qb.centroids[None].astype(np.float64)) ** 2).sum(-1).argmin(1)
    assert [cl.current_share for cl in qb.clusters] == pytest.approx(np.bincount(nearest, minlength=4) / 100)
    assert sum(cl.baseline_share for cl in qb.clusters) == pytest.approx(1.0)
    assert qb.centroids.dtype == np.float32 and qb.centroids.shape == (4, 5)


def test_explain_plain_detectors():
    rng = np.random.default_rng(31)
    w, c = window(rng), window(rng, shift=0.2)
    cases = [
        (DataDrift(n_bins=7).detect, "features", "DataBreakdown"),
        (EmbeddingDrift(seed=3).detect, "embeddings", "EmbeddingBreakdown"),
        (QueryDrift(k=3).detect, "queries", "QueryBreakdown"),
        (ResponseDrift().detect, "response_lengths", "ResponseBreakdown"),
        (ConfidenceDrift().detect, "confidences", "ConfidenceBreakdown"),
    ]
    for method, part, kind in cases:
        out = explain(method, w[part], c[part])
        assert type(out).__name__ == kind and same(out.score, method(w[part], c[part]))
    out = explain(ConfidenceDrift(n_calib_bins=4).detect_with_correctness, (w["confidences"], w["correct"]),
                  (c["confidences"], c["correct"]))
    assert same(out.score, ConfidenceDrift(n_calib_bins=4).detect_with_correctness(
        w["confidences"], w["correct"], c["confidences"], c["correct"]))
    with pytest.raises(TypeError, match="bound detector method"):
        explain(len, [1], [2])
    with pytest.raises(TypeError, match="expected a tuple"):
        explain(ConfidenceDrift().detect_with_correctness, [0.1], [0.2])


@pytest.mark.parametrize("suffix", ["json", "npz"])
def test_random_damage_never_gives_a_wrong_baseline(tmp_path, suffix):
    rng = np.random.default_rng(14)
    base = window(rng, rows=60, width=4)
    f = Baseline.fit(**base, query=QueryDrift(k=3))
    cur = window(rng, rows=40, width=4, shift=0.2)
    expect = [bits(s.score) for s in f.check(**cur).scores]
    good = tmp_path / f"good.{suffix}"
    f.save(good)
    raw = bytearray(good.read_bytes())
    outcomes = {"refused": 0, "same": 0}
    for trial in range(60):
        bad = bytearray(raw)
        for pos in rng.integers(0, len(bad), 1 + trial % 3):
            bad[pos] = int(rng.integers(32, 127))
        p = tmp_path / f"bad{trial}.{suffix}"
        p.write_bytes(bytes(bad))
        try:
            g = Baseline.load(p)
        except ValueError as e:
            assert str(p) in str(e)
            outcomes["refused"] += 1
            continue
        # A change the state does not depend on (a snapshot copy, the unused
        # part of a number's text) may load; its checks must still be right.
        assert [bits(s.score) for s in g.check(**cur).scores] == expect
        outcomes["same"] += 1
    assert outcomes["refused"] > 30


def test_json_text_keeps_every_bit():
    rng = np.random.default_rng(16)
    d = rng.standard_normal(2000) * 10.0 ** rng.integers(-300, 300, 2000).astype(float)
    d = np.r_[d, 0.0, -0.0, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, np.nan, np.inf, -np.inf]
    f = (rng.standard_normal(2000) * 10.0 ** rng.integers(-44, 38, 2000).astype(float)).astype(np.float32)
    f = np.r_[f, np.float32(1e-45), np.float32(3.4028235e38), np.float32(-0.0), np.float32(np.nan), np.float32(-np.inf)]
    text = _engine.json_dump({"d": d, "f": f.reshape(-1, 5), "names": ["NaN", "x"], "n": 2**64 - 1, "ok": [True]})
    back = _engine.json_load(text)
    assert back["d"].tobytes() == d.tobytes()
    assert back["f"].dtype == np.float32 and back["f"].ravel().tobytes() == f.tobytes()
    assert (back["names"], back["n"], back["ok"]) == (["NaN", "x"], 2**64 - 1, [True])
    # Standard JSON text: Python's reader gets the same float64 values.
    doc = json.loads(text)
    assert [float(x) for x in doc["d"][:2000]] == d[:2000].tolist()
    for bad in ["t rue", "[1,]", '{"a":1', "[1e400]", '{"v":1,"dim":[2,2],"data":[1,2,3]}']:
        with pytest.raises(ValueError):
            _engine.json_load(bad)


# ------------------------------------------------------------------ fits from partitions

from conftest import traffic_frame, write_parquet  # noqa: E402

M64 = (1 << 64) - 1
GAMMA = 0x9E3779B97F4A7C15


def mix64(z):
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
    return z ^ (z >> 31)


def py_priority(row: bytes, seed: int) -> int:
    """The row priority written from its definition, word by word in Python."""
    n = len(row)
    h = mix64((seed + GAMMA * (n + 1)) & M64)
    for i in range(0, n, 8):
        h = mix64(((h ^ int.from_bytes(row[i:i + 8], "little")) + GAMMA) & M64)
    return mix64(h ^ n)


PINNED = {b"": 0x74B5ABCC66B8BDC1, b"a": 0x1A091E242D2E070A, b"morvanta": 0xAA31A3FF73197F67,
          b"morvanta baseline": 0x620E38668332D7AC}  # seed 7


def engine_priorities(rows, seed):
    rows = np.ascontiguousarray(rows, dtype=np.uint8)
    return np.frombuffer(_engine.row_priorities(rows.tobytes(), rows.shape[1], rows.shape[0], seed), dtype="<u8")


def test_row_priorities_are_the_defined_hash_whatever_the_batch_or_threads():
    rng = np.random.default_rng(3)
    for width in (0, 1, 7, 8, 9, 41, 64):
        rows = rng.integers(0, 256, size=(50, width), dtype=np.uint8)
        got = engine_priorities(rows, 12345)
        assert [int(x) for x in got] == [py_priority(bytes(r), 12345) for r in rows]
        # A row's priority depends on its bytes alone: any batch, any position.
        assert np.array_equal(np.concatenate([engine_priorities(rows[i:i + 7], 12345) for i in range(0, 50, 7)]),
                              got)
    # Pinned values: a change of the hash changes every sampled baseline ever saved.
    assert py_priority(b"", 0) == int(engine_priorities(np.zeros((1, 0), np.uint8), 0)[0])
    assert [int(x) for x in engine_priorities(np.frombuffer(b"abcdefghij", np.uint8).reshape(1, -1), 0)] == [
        py_priority(b"abcdefghij", 0)]
    assert PINNED == {k: py_priority(k, 7) for k in PINNED}
    big = rng.integers(0, 256, size=(300_000, 24), dtype=np.uint8)
    runs = []
    for threads in (1, 2):
        _engine.set_threads(threads)
        runs.append(engine_priorities(big, 9))
    _engine.set_threads(0)
    assert np.array_equal(runs[0], runs[1])
    with pytest.raises(ValueError, match="n_rows \\* row_bytes"):
        _engine.row_priorities(bytes(10), 3, 4, 0)
    with pytest.raises(ValueError, match="n_rows \\* row_bytes"):
        _engine.row_priorities(bytes(10), 3, 2**62, 0)  # no overflow to a match
    with pytest.raises(TypeError, match="argument 'rows'"):
        _engine.row_priorities(np.zeros(3, np.uint8), 1, 3, 0)
    assert _engine.row_priorities(b"", 0, 3, 0) == _engine.row_priorities(b"", 0, 3, 0)
    assert len(_engine.row_priorities(b"", 0, 3, 0)) == 24


def content_rows(frame):
    """The content bytes of each row of a traffic frame, laid out independently of the package:
    features, lengths, confidences as float64, the flag as a byte, then the embedding as float32."""
    f = frame[["f0", "f1", "f2"]].to_numpy(np.float64).copy()
    f[np.isnan(f)] = np.nan
    narrow = np.concatenate([f.astype("<f8").view(np.uint8),
                             frame[["response_length"]].to_numpy("<f8").view(np.uint8),
                             frame[["confidence"]].to_numpy("<f8").view(np.uint8),
                             frame[["correct"]].to_numpy(np.uint8)], axis=1)
    wide = np.stack(frame["embedding"].to_list()).astype("<f4").view(np.uint8)
    return np.ascontiguousarray(narrow), np.ascontiguousarray(wide)


def canonical(frame, seed):
    narrow, wide = content_rows(frame)
    prio = engine_priorities(np.concatenate([narrow, wide], axis=1), seed)
    order = sorted(range(len(frame)), key=lambda i: (int(prio[i]), bytes(narrow[i]) + bytes(wide[i])))
    return frame.iloc[order].reset_index(drop=True)


def fit_bytes(sources, tmp_path, name, **kw):
    base = Baseline.fit_partitions(sources, **kw)
    out = tmp_path / name
    base.save(out)
    return base, out.read_bytes()


def test_partitioned_fit_gives_one_file_for_any_partitioning_and_file_order(tmp_path):
    frame = traffic_frame(900, seed=1)
    halves = (frame.iloc[:500], frame.iloc[500:])
    # Budget for 300 narrow rows (41 bytes each), 120 embedding rows: both sampled.
    kw = dict(budget=300 * 41, max_rows=120, seed=5)
    saved = []
    for groups in (1, 2, 4):
        d = tmp_path / f"g{groups}"
        d.mkdir()
        paths = [write_parquet(h, d / f"part-{i}.parquet", groups) for i, h in enumerate(halves)]
        for sources in (paths, paths[::-1], str(d / "part-*.parquet"), str(d)):
            saved.append(fit_bytes(sources, tmp_path, "b.npz", **kw))
    # Another split of the same rows into files, and CSV beside Parquet.
    d = tmp_path / "other"
    d.mkdir()
    frame.iloc[:100].drop(columns="embedding").to_csv(d / "x.csv", index=False)  # not part of the fit
    paths = [write_parquet(frame.iloc[i:i + 300], d / f"p{i}.parquet", 3) for i in range(0, 900, 300)]
    saved.append(fit_bytes(paths, tmp_path, "b.npz", **kw))
    first = saved[0][1]
    assert all(b == first for _, b in saved)
    base = saved[0][0]
    assert base.captured_at == int(frame["timestamp"].max())
    assert base.sizes == {"features": 300, "embeddings": 120, "response_lengths": 300, "confidences": 300,
                          "correct": 300}
    assert base.sample["rows_seen"] == dict.fromkeys(base.parts, 900)
    assert base.sample["order"] == "priority" and base.sample["seed"] == 5
    assert base.sample["kept"] == {p: min(n, 120) for p, n in base.sizes.items()}
    assert "bottom-k sample (seed 5) of the 900 rows seen" in base.sampled
    # The kept rows are exactly the k smallest of all 900 by (priority, bytes), in that order: the
    # fitted state holds them; a test reads their prefix.
    ref = canonical(frame, 5)
    loaded = Baseline.load(tmp_path / "b.npz")
    kept = loaded._kept
    assert np.array_equal(kept["features"], ref[["f0", "f1", "f2"]].to_numpy()[:120], equal_nan=True)
    assert np.array_equal(kept["embeddings"], np.stack(ref["embedding"].to_list()[:120]))
    assert np.array_equal(kept["confidences"], ref["confidence"].to_numpy()[:120])
    export = _engine.baseline_export(loaded._state)
    assert np.array_equal(np.sort(ref["confidence"].to_numpy()[:300]), np.sort(export["confidences"]))
    # Another seed, another sample.
    assert fit_bytes(paths, tmp_path, "c.npz", **{**kw, "seed": 6})[1] != first


def test_partitioned_fit_equals_the_in_memory_fit_of_its_canonical_order(tmp_path):
    frame = traffic_frame(400, seed=2)
    paths = [write_parquet(frame.iloc[i:i + 100], tmp_path / f"p{i}.parquet", 2) for i in range(0, 400, 100)]
    base, got = fit_bytes(paths, tmp_path, "parts.npz", seed=11, data=DataDrift(0.3, 7))
    assert base.sampled is None and "rows_seen" not in base.sample  # nothing left out
    ref = canonical(frame, 11)
    mem = Baseline.fit(features=ref[["f0", "f1", "f2"]].to_numpy(), feature_names=["f0", "f1", "f2"],
                       embeddings=np.stack(ref["embedding"].to_list()),
                       response_lengths=ref["response_length"].to_numpy(), confidences=ref["confidence"].to_numpy(),
                       correct=ref["correct"].to_numpy(), data=DataDrift(0.3, 7), sample_seed=11,
                       captured_at=int(frame["timestamp"].max()))
    mem.save(tmp_path / "mem.npz")
    assert (tmp_path / "mem.npz").read_bytes() == got
    # Same bits in checks and tests (the file equality says so; checked once through the API).
    cur = traffic_frame(200, seed=9)
    window = dict(features=cur[["f0", "f1", "f2"]], embeddings=np.stack(cur["embedding"].to_list()),
                  response_lengths=cur["response_length"].to_numpy(), confidences=cur["confidence"].to_numpy(),
                  correct=cur["correct"].to_numpy())
    assert base.check(**window).to_json() == mem.check(**window).to_json()


def test_a_sampled_baseline_says_so_in_every_output(tmp_path):
    frame = traffic_frame(600, seed=4)
    path = write_parquet(frame, tmp_path / "base.parquet", 3)
    base = Baseline.fit_partitions(path, budget=200 * 41, max_rows=100)
    base.save(tmp_path / "b.json")
    cur = write_parquet(traffic_frame(150, seed=8), tmp_path / "cur.parquet")
    res = morvanta.check(str(tmp_path / "b.json"), cur, n_permutations=99)
    note = [n for n in res.notes if "bottom-k sample" in n]
    assert note and "tests read the first 100 features" in note[0]
    assert "bottom-k sample" in res.summary() and "bottom-k sample" in res.to_json()
    # A saved record that claims another order, or fewer rows seen than fitted, is refused on load.
    doc = json.loads((tmp_path / "b.json").read_text())
    meta = doc["morvanta_baseline"]
    for key, bad, msg in (("order", "file", "not a known order"), ("rows_seen", {"features": 1}, "one row count")):
        broken = json.loads(json.dumps(doc))
        broken["morvanta_baseline"]["sample"][key] = bad
        (tmp_path / "x.json").write_text(json.dumps(broken))
        with pytest.raises(ValueError, match=msg):
            Baseline.load(tmp_path / "x.json")
    assert meta["sample"]["rows_seen"]["features"] == 600


def test_partitions_that_disagree_are_refused_naming_both(tmp_path):
    frame = traffic_frame(100)
    a = write_parquet(frame, tmp_path / "a.parquet")
    b = write_parquet(frame.drop(columns="f1"), tmp_path / "b.parquet")
    with pytest.raises(morvanta.io.log.LogError, match="a.parquet.*b.parquet.*cannot make one baseline.*f1"):
        Baseline.fit_partitions([a, b])
    with pytest.raises(morvanta.io.log.LogError, match="no file matches the pattern"):
        Baseline.fit_partitions(str(tmp_path / "nothing-*.parquet"))
    with pytest.raises(TypeError, match="argument 'budget'"):
        Baseline.fit_partitions(a, budget=0)
    # A bad cell names the file and its row within the file, not within the row group.
    bad = frame.copy()
    bad.loc[70, "confidence"] = 1.5
    c = write_parquet(bad, tmp_path / "c.parquet", 4)
    with pytest.raises(morvanta.io.log.LogError, match="c.parquet.*confidence.*row 71"):
        Baseline.fit_partitions(c)


# ------------------------------------------------------------------ categorical columns


def routed(frame, seed=0, p=(0.5, 0.3, 0.2)):
    """``frame`` with a 'route' text column (some cells missing) and a 'rid' request-id column."""
    rng = np.random.default_rng(seed + 100)
    n = len(frame)
    route = rng.choice(["chat", "search", "tools"], n, p=p).astype(object)
    route[rng.random(n) < 0.05] = None
    return frame.assign(route=route, rid=[f"r{seed}-{i}" for i in range(n)])


def text_or_none(v):
    return v if isinstance(v, str) else None


def test_partitioned_fit_with_a_categorical_column_gives_one_file_for_any_partitioning(tmp_path):
    frame = routed(traffic_frame(900, seed=1))
    halves = (frame.iloc[:500], frame.iloc[500:])
    # 300 narrow rows of 49 bytes (41 + the route's 8-byte value hash; the id column keeps none).
    kw = dict(budget=300 * 57, max_rows=120, seed=5, captured_at=1)
    saved = []
    for groups in (1, 2, 4):
        d = tmp_path / f"g{groups}"
        d.mkdir()
        paths = [write_parquet(h, d / f"part-{i}.parquet", groups) for i, h in enumerate(halves)]
        for sources in (paths, paths[::-1]):
            saved.append(fit_bytes(sources, tmp_path, "b.npz", **kw))
    assert all(b == saved[0][1] for _, b in saved)
    base = Baseline.load(tmp_path / "b.npz")
    route, rid = base.categories
    # The tables are exact (counts add over partitions); the id column is left out with its reason.
    full = frame["route"].value_counts()
    assert route["values"] == sorted(full.index) and route["counts"] == ",".join(str(full[v]) for v in route["values"])
    assert route["missing"] == int(frame["route"].isna().sum())
    assert rid == {"name": "rid", "left_out": "900 distinct values in 900 baseline rows (an id or free text)"}
    # The kept codes are the route of the first kept rows in canonical order (priority over the
    # numeric fields and the value hashes).
    kept = base._kept["features"]
    by_row = {frame.loc[i, ["f0", "f1", "f2"]].to_numpy(np.float64).tobytes(): text_or_none(frame["route"].iloc[i])
              for i in range(len(frame))}
    codes = [int(c) for c in route["codes"].split(",")]
    assert len(codes) == len(kept) == 120
    want = [by_row[np.asarray(r, np.float64).tobytes()] for r in kept]
    assert [None if c < 0 else route["values"][c] for c in codes] == want


def test_fitted_categories_test_as_the_check_of_raw_windows(tmp_path):
    base_f = routed(traffic_frame(500, seed=3))[["f0", "f1", "route", "rid"]]
    cur_f = routed(traffic_frame(300, seed=4), seed=4, p=(0.3, 0.3, 0.4))[["f0", "f1", "route", "rid"]]
    cur_f.loc[7, "route"] = "voice"  # unseen in the baseline
    raw = morvanta.check(base_f, cur_f, seed=3, n_permutations=999)
    want = next(d for d in raw.dimensions if d.dimension == "data")
    base = Baseline.fit(features=base_f, sample_seed=3, captured_at=0)
    got = base.test(features=cur_f, seed=3, n_permutations=999)["data"]
    assert got.p_value == want.p_value
    assert [(p.name, p.p_value) for p in got.parts] == [(p.name, p.p_value) for p in want.parts]
    assert [p.name for p in got.parts] == ["ks", "psi", "ks", "psi", "psi_cat", "missing"]
    # Beyond the row cap the codes kept are those of the feature rows kept: the seeded sample.
    from morvanta.engines import sampling

    small = Baseline.fit(features=base_f, sample_seed=3, captured_at=0, max_rows=200)
    rows = sampling.subsample(500, 200, 3, stream=sampling.stream(0, sampling.BASELINE))
    assert np.array_equal(small._kept["features"], base_f[["f0", "f1"]].to_numpy()[rows])
    route = small.categories[0]
    assert [route["values"][int(c)] if int(c) >= 0 else None for c in route["codes"].split(",")] == \
        [text_or_none(v) for v in base_f["route"].to_numpy()[rows]]
    assert route["counts"] == base.categories[0]["counts"]  # the table is the whole baseline's
    # The saved baseline checks the log as the raw check does, explanations included.
    base = Baseline.fit(features=base_f, sample_seed=3, captured_at=0)
    base.save(tmp_path / "b.json")
    saved = morvanta.check(str(tmp_path / "b.json"), cur_f, seed=3, n_permutations=999)
    pick = lambda r: [(p.name, p.column, p.p_value, p.p_adjusted) for d in r.dimensions for p in (d.parts or ())]
    assert pick(saved) == pick(raw)
    assert saved.categorical == raw.categorical
    assert saved.categorical[0]["unseen"][0]["category"] == "voice"
    assert any("'rid' is left out" in n and "decided when the baseline was fitted" in n for n in saved.notes)
    assert base.explain_categories(features=cur_f) == [dict(c, p_adjusted=None, p_adjusted_missing=None)
                                                      for c in raw.categorical]


def test_fitted_categories_arguments_and_refusals():
    rng = np.random.default_rng(0)
    x = rng.normal(size=(60, 2))
    route = list(rng.choice(["a", "b"], 60))
    base = Baseline.fit(features=x, categories={"route": route, "tier": [1, 2, 3] * 20}, captured_at=0)
    assert [c["name"] for c in base.categories] == ["route", "tier"] and base.categories[1]["declared"]
    with pytest.raises(ValueError, match=r"lacks categorical column\(s\) \['tier'\]"):
        base.check(features=x, categories={"route": route})
    with pytest.raises(ValueError, match=r"carries categorical column\(s\) \['zone'\]"):
        base.check(features=x, categories={"route": route, "tier": [1] * 60, "zone": route})
    with pytest.raises(ValueError, match="argument 'categories': 59 rows, but the features have 60"):
        Baseline.fit(features=x, categories={"route": route[:59]})
    with pytest.raises(morvanta.io.log.LogError, match="column 'tier'.*not a whole number"):
        Baseline.fit(features=x, categories={"tier": [1.5] * 60})
    with pytest.raises(TypeError, match="argument 'categories': expected a mapping"):
        Baseline.fit(features=x, categories=route)
    # Categorical columns alone make a data part without numeric columns.
    only = Baseline.fit(categories={"route": route}, captured_at=0)
    t = only.test(categories={"route": ["b"] * 60}, seed=1)["data"]
    assert [p.name for p in t.parts] == ["psi_cat", "missing"] and t.p_value < 0.05

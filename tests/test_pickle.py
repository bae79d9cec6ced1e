"""Pickling of detectors, scores, reports, snapshots and the package's result types,
and their use across processes (multiprocessing with spawn and fork, and
concurrent.futures), with scores from a worker bit-identical to the parent's."""

import concurrent.futures
import copy
import multiprocessing
import pickle
import sys

import numpy as np
import pytest

import morvanta
from morvanta import (BaselineSnapshot, ColumnDrift, ConfidenceDrift, DataDrift, DriftReport, DriftScore,
    EmbeddingDrift, QueryDrift, ResponseDrift, _engine, _pickle)
from conftest import bits, emb

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
NAN, INF = float("nan"), float("inf")


def score_fields(s):
    """The five fields, floats as bytes, so NaN equals NaN and -0.0 differs from 0.0."""
    assert type(s) is DriftScore
    return (s.dimension, bits(s.score), bits(s.threshold), s.exceeded, s.method)


def report_fields(r):
    assert type(r) is DriftReport
    return ([score_fields(s) for s in r.scores], r.timestamp, r.sample_size_baseline, r.sample_size_current)


def snapshot_fields(snap):
    assert type(snap) is BaselineSnapshot
    out = {}
    for k, v in _engine.snapshot_fields(snap).items():
        out[k] = v if v is None or isinstance(v, int) else (v.dtype.str, v.shape, v.tobytes())
    return out


def round_trips(obj):
    """obj through every pickle protocol, copy.copy and copy.deepcopy."""
    return [pickle.loads(pickle.dumps(obj, protocol=p)) for p in PROTOCOLS] + [copy.copy(obj), copy.deepcopy(obj)]


DETECTORS = [
    (DataDrift(0.3, 7), ("DataDrift", 0.3, 7)),
    (DataDrift(NAN, 0), ("DataDrift", NAN, 0)),
    (EmbeddingDrift(INF, 0, 2**64 - 1), ("EmbeddingDrift", INF, 0, 2**64 - 1)),
    (ResponseDrift(-0.0, 5), ("ResponseDrift", -0.0, 5)),
    (ConfidenceDrift(0.25, 0), ("ConfidenceDrift", 0.25, 0)),
    (QueryDrift(5e-324, 3, 9), ("QueryDrift", 5e-324, 3, 9)),
]


def settings_bits(settings):
    return tuple(bits(v) if isinstance(v, float) else v for v in settings)


@pytest.mark.parametrize("det, want", DETECTORS, ids=lambda v: repr(v)[:40])
def test_detectors_keep_class_and_every_setting(det, want):
    # The settings read out rebuild an equal detector, and every copy keeps them.
    assert settings_bits(_engine.detector_settings(type(det)(*want[1:]))) == settings_bits(want)
    for back in round_trips(det):
        assert type(back) is type(det)
        assert settings_bits(_engine.detector_settings(back)) == settings_bits(want)


def test_scores_keep_every_field_as_stored():
    rng = np.random.default_rng(1)
    real = [
        DataDrift().detect(rng.normal(size=(50, 3)), rng.normal(size=(40, 3))),
        ResponseDrift().detect([1, 2, 3], [4, 5, 6]),
        ConfidenceDrift().detect_with_correctness([0.9, NAN], [True, False], [0.6, 0.7], [True, True]),
    ]
    # Edge values a detector rarely gives, including an `exceeded` flag that does
    # not follow from score >= threshold: it must be kept, not recomputed.
    odd = [
        _engine.drift_score("query", NAN, 0.1, True, ""),
        _engine.drift_score("embedding", -0.0, INF, False, "mmd+sw"),
        _engine.drift_score("data", 1e308, -INF, False, "ks+psi \u00e9\u4e2d"),
    ]
    for s in real + odd:
        for back in round_trips(s):
            assert score_fields(back) == score_fields(s)
    cols = morvanta.data_drift_by_column(rng.normal(size=(60, 3)), rng.normal(size=(50, 3)) + 0.2, names=list("abc"))
    for back in round_trips(cols):
        assert [(type(c), c.index, c.name, score_fields(c.score)) for c in back] == \
               [(ColumnDrift, c.index, c.name, score_fields(c.score)) for c in cols]


def test_reports_keep_scores_sizes_and_timestamp():
    s = ResponseDrift().detect([1, 2, 3], [1, 2, 9])
    reports = [
        DriftReport([], 0, 0),
        _engine.drift_report([s, _engine.drift_score("data", NAN, 0.1, False, "ks+psi")], -3, 10, 2**64 - 1),
        _engine.drift_report([s] * 5, 1_600_000_000, 5000, 4800),
    ]
    for r in reports:  # the timestamp kept is the report's own, not the time of unpickling
        for back in round_trips(r):
            assert report_fields(back) == report_fields(r)


def test_snapshots_keep_every_field_including_nan_and_infinities():
    rng = np.random.default_rng(2)
    full = _engine.make_snapshot(
        1_700_000_000,
        embeddings=rng.normal(size=(6, 4)).astype(np.float32) * np.float32(INF) ** np.eye(6, 4, dtype=np.float32),
        feature_means=[1.5, NAN, -INF, -0.0],
        feature_stds=[],
        confidence_scores=rng.random(5),
        response_lengths=[0, 7, 2**64 - 1],
        query_centroids=np.full((2, 4), np.nan, np.float32),
        query_cluster_freqs=None,
    )
    # JSON would turn the NaN and infinities into null; pickling must not.
    assert "null" in full.to_json()
    for snap in (full, BaselineSnapshot(), BaselineSnapshot.from_json('{"feature_means":[0.5],"captured_at":-5}')):
        want = snapshot_fields(snap)
        for back in round_trips(snap):
            assert snapshot_fields(back) == want


def test_tampered_pickles_are_refused_and_registration_is_idempotent():
    with pytest.raises(ValueError, match="unknown class 'MorvantaError'"):
        _pickle.rebuild_detector("MorvantaError", "boom")
    evil = pickle.dumps(DataDrift()).replace(b"DataDrift", b"DriftDrop")
    with pytest.raises(ValueError, match="unknown class 'DriftDrop'"):
        pickle.loads(evil)
    _pickle.register()
    assert _engine.detector_settings(pickle.loads(pickle.dumps(DataDrift(0.5, 4)))) == ("DataDrift", 0.5, 4)




def test_permutation_results_pickle():
    rng = np.random.default_rng(4)
    det = ResponseDrift()
    t = morvanta.permutation_test(det.detect, rng.random(40), rng.random(30), n_permutations=19, seed=1)
    for back in round_trips(t):
        assert (score_fields(back.score), bits(back.p_value), back.n_permutations, back.seed, back.statistic) == \
               (score_fields(t.score), bits(t.p_value), t.n_permutations, t.seed, t.statistic)
    c = morvanta.calibrate(det.detect, rng.random(80), n_splits=50, false_alarm_rate=0.05, seed=2)
    for back in round_trips(c):
        assert back.null_scores == c.null_scores and bits(back.threshold) == bits(c.threshold)
        assert _engine.detector_settings(back.detector) == _engine.detector_settings(c.detector)


def test_fitted_baseline_pickles():
    rng = np.random.default_rng(5)
    base = morvanta.Baseline.fit(features=rng.normal(size=(80, 3)), confidences=rng.random(80),
                                 queries=emb(80, 8, 1))
    cur = dict(features=rng.normal(size=(50, 3)) + 0.3, confidences=rng.random(50), queries=emb(50, 8, 2, 0.5))
    want = report_fields(base.check(**cur))[0]
    for back in round_trips(base):
        assert report_fields(back.check(**cur))[0] == want


def test_breakdowns_pickle():
    rng = np.random.default_rng(7)
    cases = [
        (DataDrift().detect, rng.normal(size=(60, 3)), rng.normal(size=(50, 3)) + 0.3),
        (EmbeddingDrift(n_projections=8).detect, emb(40, 8, 1), emb(30, 8, 2, 0.2)),
        (ResponseDrift().detect, rng.random(30), rng.random(20)),
        (ConfidenceDrift().detect_with_correctness, (rng.random(40), rng.random(40) < 0.5),
         (rng.random(30), rng.random(30) < 0.5)),
        (QueryDrift(k=3).detect, emb(40, 8, 3), emb(30, 8, 4, 0.5)),
    ]
    for method, base, cur in cases:
        b = morvanta.explain(method, base, cur)
        # Equal contents, NaN and arrays included: the re-pickled bytes are the same.
        for back in round_trips(b):
            assert type(back) is type(b) and pickle.dumps(back) == pickle.dumps(b)


def test_pickling_from_many_threads_at_once():
    from conftest import concurrently

    r = _engine.drift_report([ResponseDrift().detect([1, 2, 3], [2, 3, 9])] * 3, 77, 3, 3)
    snap = _engine.make_snapshot(5, embeddings=emb(50, 16, 0), feature_means=[NAN] * 10)
    want = (report_fields(r), snapshot_fields(snap))
    out = concurrently(*[lambda: (report_fields(pickle.loads(pickle.dumps(r))),
                                  snapshot_fields(pickle.loads(pickle.dumps(snap))))] * 4, reps=20)
    assert all(len(o) == 20 and all(x == want for x in o) for o in out)


# ---------------------------------------------------------------- across processes


def _windows():
    rng = np.random.default_rng(6)
    return [
        (DataDrift(0.1, 10), "detect", (rng.normal(size=(300, 4)), rng.normal(size=(200, 4)) * 1.1)),
        (EmbeddingDrift(0.05, 16, 3), "detect", (emb(120, 16, 1), emb(100, 16, 2, 0.1))),
        (ResponseDrift(0.2, 4), "detect_with_embeddings",
         (rng.integers(1, 500, 80).astype(float), rng.integers(1, 500, 60).astype(float), emb(80, 8, 3), emb(60, 8, 4))),
        (ConfidenceDrift(0.2, 10), "detect_with_correctness",
         (rng.random(100), rng.random(100) < 0.7, rng.random(90) ** 2, rng.random(90) < 0.6)),
        (QueryDrift(0.1, 4, 7), "detect", (emb(150, 8, 5), emb(100, 8, 6, 0.3))),
    ]


def score_in_worker(job):
    """Runs in the child: scores the window with the detector it received and sends back
    the score, a report of it and a snapshot, all three pickled on the way back."""
    det, name, args = job
    s = getattr(det, name)(*args)
    snap = _engine.make_snapshot(42, feature_means=[NAN, float(s.score)])
    return det, s, _engine.drift_report([s], 99, 1, 2), snap


@pytest.mark.parametrize("method", ["spawn", "fork", "executor"])
def test_worker_processes_give_bit_identical_scores(method):
    if method == "fork" and method not in multiprocessing.get_all_start_methods():
        pytest.skip("no fork start method here")
    jobs = _windows()
    if method == "executor":
        ctx = multiprocessing.get_context("spawn")
        with concurrent.futures.ProcessPoolExecutor(max_workers=2, mp_context=ctx) as ex:
            results = list(ex.map(score_in_worker, jobs))
    else:
        with multiprocessing.get_context(method).Pool(2) as pool:
            results = pool.map(score_in_worker, jobs)
    for (det, name, args), (det_back, s, r, snap) in zip(jobs, results):
        want = getattr(det, name)(*args)
        assert score_fields(s) == score_fields(want)
        assert report_fields(r) == ([score_fields(want)], 99, 1, 2)
        assert bits(float(_engine.snapshot_fields(snap)["feature_means"][1])) == bits(want.score)
        assert _engine.detector_settings(det_back) == _engine.detector_settings(det)


def test_fresh_interpreter_unpickles_without_importing_morvanta_first():
    import subprocess

    payload = pickle.dumps([DataDrift(0.2, 5), ResponseDrift().detect([1, 2], [3, 4])])
    code = ("import pickle, sys; objs = pickle.loads(sys.stdin.buffer.read()); "
            "print(type(objs[0]).__name__, objs[1].score, 'dask' in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], input=payload, capture_output=True, check=True)
    assert out.stdout.decode().split() == ["DataDrift", "1.0", "False"]

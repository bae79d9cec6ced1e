"""Decisions at full power: permutation_test is the core's combined maxT test on the
rows the row cap lets through, seeded samples are the core's own deal, Baseline.test
is permutation_test on the rows a baseline keeps (saved in format version 2, refused
clearly for version 1 files), and a threshold calibrated on a fixed reference holds
its false-alarm rate for that reference."""

from __future__ import annotations

import json
import math
import pickle
from pathlib import Path

import numpy as np
import pytest
from conftest import labels, check_raises, emb
from scipy import stats

from morvanta import (Baseline, ConfidenceDrift, DataDrift, EmbeddingDrift, QueryDrift, ResponseDrift, _engine,
                      calibrate, permutation_test)
from morvanta.dimensions import REGISTRY
from morvanta.engines import sampling
from morvanta.engines.sampling import subsample

DATA = Path(__file__).parent / "data" / "saving"


def window(seed, n=40, shift=0.0):
    """Every part of a window; the response embeddings and the queries count other rows."""
    rng = np.random.default_rng(seed)
    conf = np.clip(rng.random(n) + shift, 0.0, 1.0)
    return dict(features=rng.normal(size=(n, 3)) + shift, embeddings=emb(n, 4, seed, shift),
                response_lengths=np.round(rng.gamma(2.0, 20.0, n)) + 0.5 * rng.random(n),
                response_embeddings=emb(n - 7, 4, seed + 1, shift), confidences=conf,
                correct=rng.random(n) < conf, queries=emb(n + 10, 4, seed + 2, shift))


DETECTORS = dict(data=DataDrift(n_bins=4), embedding=EmbeddingDrift(n_projections=8, seed=2),
                 response=ResponseDrift(seed=3), confidence=ConfidenceDrift(n_calib_bins=5), query=QueryDrift(k=3))
# The method each dimension tests, and the window parts it takes per side.
METHODS = {
    "data": (lambda d: d.detect, ("features",)),
    "embedding": (lambda d: d.detect, ("embeddings",)),
    "response": (lambda d: d.detect_with_embeddings, ("response_lengths", "response_embeddings")),
    "confidence": (lambda d: d.detect_with_correctness, ("confidences", "correct")),
    "query": (lambda d: d.detect, ("queries",)),
}


def side(w, parts):
    return w[parts[0]] if len(parts) == 1 else tuple(w[p] for p in parts)


def as_engine(test):
    """The fields of a DriftTest the core reports, in the core's form."""
    return dict(p_value=test.p_value, statistic=test.observed, permutations_run=test.permutations_run,
                stopped=test.stopped, p_raw=[p.p_value for p in test.parts],
                p_adjusted=[p.p_adjusted for p in test.parts], observed=[p.statistic for p in test.parts],
                excluded=[j for j, p in enumerate(test.parts) if p.excluded])


def same_floats(a, b):
    return np.array_equal(np.asarray(a, float), np.asarray(b, float), equal_nan=True)


# ---------------------------------------------------------------- seeded samples


def test_samples_are_the_cores_deal_in_row_order():
    for n, cap, seed, stream in [(10, 3, 0, 0), (1000, 999, 7, 1), (100_000, 4_000, 2**64 - 1, 5), (50, 49, 3, 2)]:
        got = subsample(n, cap, seed, stream=stream)
        want = np.flatnonzero(labels(n, cap, seed, 2**64 - 1 - stream))
        assert got.dtype == np.int64 and np.array_equal(got, want) and len(got) == cap
        assert (np.diff(got) > 0).all()
        assert np.array_equal(subsample(n, cap, seed, stream=stream), got)
    assert np.array_equal(subsample(7, 7, 1), np.arange(7)) and np.array_equal(subsample(3, 10, 1), np.arange(3))
    assert subsample(0, 5, 0).size == 0
    draws = {tuple(subsample(40, 10, s, stream=k)) for s in (0, 1) for k in (0, 1, 2)}
    assert len(draws) == 6
    assert [sampling.stream(i, s) for i in (0, 1) for s in (sampling.BASELINE, sampling.CURRENT)] == [0, 1, 2, 3]


def test_every_subset_is_equally_likely():
    counts = {}
    for seed in range(6000):
        key = tuple(subsample(6, 2, seed, stream=3))
        counts[key] = counts.get(key, 0) + 1
    assert len(counts) == 15
    assert stats.chisquare(list(counts.values())).pvalue > 1e-3


@pytest.mark.parametrize("call,exc,text", [
    (lambda: subsample(10, 0, 0), ValueError, "argument 'cap': must be >= 1, got 0"),
    (lambda: subsample(-1, 3, 0), ValueError, "argument 'n_rows': must be >= 0, got -1"),
    (lambda: subsample(10, 3, 2**64), OverflowError, "argument 'seed': must be < 2**64"),
    (lambda: subsample(10, 3.0, 0), TypeError, "argument 'cap': expected int, got float"),
    (lambda: subsample(10, 3, 0, stream=True), TypeError, "argument 'stream': expected int, got bool"),
])
def test_sample_refusals_name_the_argument(call, exc, text):
    check_raises(call, exc, text)


# ---------------------------------------------------------------- permutation_test is the combined test

BASE, CUR = window(1, 60), window(2, 45, 0.15)


@pytest.mark.parametrize("exact", [False, True])
@pytest.mark.parametrize("dim", list(METHODS))
def test_p_values_are_the_combined_test_of_the_core(dim, exact):
    make, parts = METHODS[dim]
    det = DETECTORS[dim]
    t = permutation_test(make(det), side(BASE, parts), side(CUR, parts), n_permutations=150, seed=3, exact=exact)
    b, c = tuple(BASE[p] for p in parts), tuple(CUR[p] for p in parts)
    r = _engine.combined_test(det, make(det).__name__, b, c, 150, 3, stop_after=0 if exact else 20)
    got = as_engine(t)
    for key in got:
        assert same_floats(got[key], r[key]) if key in ("p_raw", "p_adjusted", "observed") else got[key] == r[key], key
    assert [p.column for p in t.parts] == r["columns"]
    assert [p.name for p in t.parts] == [n.split("[")[0] for n in r["parts"]]
    assert t.score.score == make(det)(*REGISTRY[dim].form(make(det).__name__).arguments(b, c)).score
    assert t.statistic == REGISTRY[dim].form(make(det).__name__).statistic and t.statistic.startswith("maxT(")
    assert (t.n_baseline, t.n_current, t.sampled) == (max(len(x) for x in b), max(len(x) for x in c), False)
    assert t.n_permutations == 150 and t.seed == 3
    assert json.loads(json.dumps(t.to_dict()))["parts"][0]["name"] == t.parts[0].name


def test_parts_name_their_columns_and_flat_ones_are_left_out():
    a, b = BASE["features"].copy(), CUR["features"].copy()
    a[:, 1] = b[:, 1] = 2.0
    t = permutation_test(DataDrift(n_bins=4).detect, a, b, n_permutations=99, exact=True)
    assert [(p.name, p.column, p.excluded) for p in t.parts] == [
        ("ks", 0, False), ("psi", 0, False), ("ks", 1, True), ("psi", 1, True), ("ks", 2, False), ("psi", 2, False)]
    assert math.isnan(t.parts[2].p_adjusted) and t.parts[2].p_value == 1.0 and t.parts[2].statistic == 0.0
    psi = t.to_dict()["parts"][3]
    assert math.isnan(psi.pop("p_adjusted"))
    assert psi == {"name": "psi", "column": 1, "statistic": t.parts[3].statistic, "p_value": 1.0, "excluded": True}
    assert "99 permutations" in repr(t) and "60 vs 45 rows" in repr(t)


def test_one_shifted_column_is_found_and_named():
    rng = np.random.default_rng(17)
    a, b = rng.normal(size=(200, 30)), rng.normal(size=(200, 30))
    b[:, 17] += 0.8
    t = permutation_test(DataDrift().detect, a, b, n_permutations=499, seed=1)
    assert t.p_value <= 0.01 and not t.stopped and t.permutations_run == 499
    assert {p.column for p in t.parts if p.p_adjusted <= 0.01} == {17}


def test_sequential_stopping_ends_plain_non_drift_early_and_never_a_small_p():
    a, b = window(5, 80)["features"], window(6, 80)["features"]
    t = permutation_test(DataDrift().detect, a, b, n_permutations=999, seed=2)
    assert t.stopped and t.p_value == 20 / t.permutations_run and t.permutations_run < 999
    full = permutation_test(DataDrift().detect, a, b, n_permutations=999, seed=2, exact=True)
    assert not full.stopped and full.permutations_run == 999 and full.p_value > 0.02


# ---------------------------------------------------------------- row caps


def test_sides_above_the_cap_are_tested_and_scored_on_their_seeded_samples():
    big, small = window(7, 300), window(8, 90, 0.1)
    cases = [
        (DataDrift().detect, ("features",)),
        (ConfidenceDrift().detect_with_correctness, ("confidences", "correct")),  # one sample for both parts
        (ResponseDrift(seed=1).detect_with_embeddings, ("response_lengths", "response_embeddings")),
    ]
    for method, parts in cases:
        t = permutation_test(method, side(big, parts), side(small, parts), n_permutations=80, seed=9, max_rows=100)
        aligned = len(parts) == 1 or parts[1] == "correct"
        b = tuple(big[p][subsample(len(big[p]), 100, 9, stream=0 if aligned else 2 * i)] for i, p in enumerate(parts))
        c = tuple(small[p][subsample(len(small[p]), 100, 9, stream=1 if aligned else 2 * i + 1)]
                  for i, p in enumerate(parts))
        want = permutation_test(method, side(dict(zip(parts, b)), parts), side(dict(zip(parts, c)), parts),
                                n_permutations=80, seed=9, max_rows=10**9)
        assert t.sampled and not want.sampled and (t.n_baseline, t.n_current) == (100, 90)
        assert {**t.to_dict(), "sampled": False} == want.to_dict(), method
    # The registry's cap by default: 100,000 confidences per side.
    cap = REGISTRY["confidence"].max_rows
    rng = np.random.default_rng(3)
    t = permutation_test(ConfidenceDrift().detect, rng.random(cap + 1), rng.random(50), n_permutations=9, exact=True)
    assert t.sampled and (t.n_baseline, t.n_current) == (cap, 50)
    assert REGISTRY["response"].cap("detect_with_embeddings") < REGISTRY["response"].cap("detect")


@pytest.mark.parametrize("call,exc,text", [
    (lambda: permutation_test(DataDrift().detect, BASE["features"], CUR["features"], max_rows=0), ValueError,
     "argument 'max_rows': must be >= 1, got 0"),
    (lambda: permutation_test(DataDrift().detect, BASE["features"], CUR["features"], exact=1), TypeError,
     "argument 'exact': expected bool, got int"),
    (lambda: permutation_test(DataDrift().detect, BASE["features"], CUR["features"], max_rows=10.0), TypeError,
     "argument 'max_rows': expected int, got float"),
])
def test_cap_and_mode_refusals(call, exc, text):
    check_raises(call, exc, text)


def test_worker_counts_give_the_same_bits(threads):
    big, small = window(11, 300), window(12, 200, 0.05)
    fitted = Baseline.fit(**big, **DETECTORS, max_rows=120)
    runs = []
    for n in (1, 2, 7):
        threads(n)
        t = permutation_test(ResponseDrift(seed=4).detect_with_embeddings, (big["response_lengths"],
                             big["response_embeddings"]), (small["response_lengths"], small["response_embeddings"]),
                             n_permutations=150, seed=5, max_rows=120)
        runs.append((t.to_dict(), {d: x.to_dict() for d, x in fitted.test(**small, n_permutations=150).items()}))
    assert runs[0] == runs[1] == runs[2]


# ---------------------------------------------------------------- Baseline.test


@pytest.mark.parametrize("max_rows", [None, 25])
def test_baseline_test_is_permutation_test_on_the_kept_rows(max_rows):
    base, cur = window(21, 60), window(22, 50, 0.1)
    fitted = Baseline.fit(**base, **DETECTORS, max_rows=max_rows, sample_seed=4)
    caps = fitted.sample["max_rows"]
    assert fitted.sample["seed"] == 4 and fitted.sizes == {p: len(v) for p, v in base.items()}
    for seed in (4, 9):
        tests = fitted.test(**cur, n_permutations=120, seed=seed)
        assert list(tests) == ["data", "embedding", "response", "confidence", "query"]
        for dim, (make, parts) in METHODS.items():
            method, cap = make(DETECTORS[dim]), caps[dim]
            kept = {p: base[p][subsample(len(base[p]), cap, 4, stream=0 if p == "correct" else 2 * i)]
                    for i, p in enumerate(parts)}
            assert fitted.sample["kept"] == {p: min(len(v), caps[sampling_dim(p)]) for p, v in base.items()}
            on_kept = permutation_test(method, side(kept, parts), side(cur, parts), n_permutations=120, seed=seed,
                                       max_rows=cap)
            assert tests[dim].to_dict() == on_kept.to_dict(), (dim, seed)
            if seed == 4:  # the full windows under the sample's seed: what check computes
                full = permutation_test(method, side(base, parts), side(cur, parts), n_permutations=120, seed=4,
                                        max_rows=cap)
                assert {**tests[dim].to_dict(), "sampled": full.sampled} == full.to_dict(), dim
                assert full.sampled == (max_rows is not None)


def sampling_dim(part):
    from morvanta.dimensions import DIMENSION_OF_FIELD

    return DIMENSION_OF_FIELD[part]


def test_kept_rows_do_not_follow_later_changes_to_the_callers_arrays():
    base, cur = window(23, 40), window(24, 40)
    fitted = Baseline.fit(features=base["features"], confidences=base["confidences"])
    before = {d: t.to_dict() for d, t in fitted.test(features=cur["features"], confidences=cur["confidences"]).items()}
    base["features"][:] = 0.0
    base["confidences"][:] = 0.5
    after = {d: t.to_dict() for d, t in fitted.test(features=cur["features"], confidences=cur["confidences"]).items()}
    assert before == after


def test_default_permutations_follow_alpha_and_the_dimensions_tested():
    w, c = window(25, 30), window(26, 30)
    one = Baseline.fit(confidences=w["confidences"])
    assert one.test(confidences=c["confidences"])["confidence"].n_permutations == 199
    assert one.test(confidences=c["confidences"], alpha=0.01)["confidence"].n_permutations == 999
    three = Baseline.fit(features=w["features"], confidences=w["confidences"], embeddings=w["embeddings"])
    parts = dict(features=c["features"], confidences=c["confidences"], embeddings=c["embeddings"])
    assert {t.n_permutations for t in three.test(**parts, alpha=0.6).values()} == {49}  # 0.6 as written, not below
    every = Baseline.fit(**w, query=QueryDrift(k=3))
    assert {t.n_permutations for t in every.test(**c).values()} == {999}
    assert {t.n_permutations for t in every.test(**c, n_permutations=30).values()} == {30}


def test_baseline_test_refusals_name_the_argument(tmp_path):
    w = window(27, 30)
    fitted = Baseline.fit(confidences=w["confidences"], correct=w["correct"])
    conf = dict(confidences=w["confidences"], correct=w["correct"])
    for kw, exc, text in [
        (dict(alpha=0.0), ValueError, "argument 'alpha': must be in (0, 1), got 0.0"),
        (dict(alpha="0.05"), TypeError, "argument 'alpha': expected float, got str"),
        (dict(n_permutations=0), ValueError, "argument 'n_permutations': must be >= 1, got 0"),
        (dict(seed=-1), ValueError, "argument 'seed': must be >= 0, got -1"),
        (dict(exact="yes"), TypeError, "argument 'exact': expected bool, got str"),
    ]:
        check_raises(lambda: fitted.test(**conf, **kw), exc, text)
    check_raises(lambda: fitted.test(confidences=w["confidences"]), ValueError,
                 "the current window lacks part 'correct', which the baseline has")
    for kw, exc, text in [
        (dict(max_rows=1, embeddings=w["embeddings"]), ValueError,
         "argument 'max_rows': keeps 1 row of 'embeddings'; the embedding detector needs at least 2"),
        (dict(max_rows=2, queries=w["queries"], query=QueryDrift(k=3)), ValueError,
         "argument 'max_rows': keeps 2 rows of 'queries'; fewer than k = 3 clusters"),
        (dict(max_rows="5", features=w["features"]), TypeError, "argument 'max_rows': expected int, got str"),
        (dict(sample_seed=-2, features=w["features"]), ValueError, "argument 'sample_seed': must be >= 0, got -2"),
        (dict(sample_seed=2**64, features=w["features"]), OverflowError, "argument 'sample_seed': must be < 2**64"),
    ]:
        check_raises(lambda: Baseline.fit(**kw), exc, text)


def test_null_p_values_of_baseline_test_hold_their_level():
    # Continuous tables and confidences with their flags, from one distribution.
    rng = np.random.default_rng(31)
    p = []
    for r in range(300):
        conf = rng.beta(4, 2, 71)
        flags = rng.random(71) < conf
        x = rng.normal(size=(71, 2))
        fitted = Baseline.fit(features=x[:40], confidences=conf[:40], correct=flags[:40],
                              data=DataDrift(n_bins=4), confidence=ConfidenceDrift(n_calib_bins=4))
        tests = fitted.test(features=x[40:], confidences=conf[40:], correct=flags[40:], n_permutations=99, seed=r)
        p += [t.p_value for t in tests.values()]
    p = np.array(p)
    for alpha in (0.05, 0.2):
        se = math.sqrt(alpha * (1 - alpha) / len(p))
        assert abs(np.mean(p <= alpha) - alpha) <= 3 * se, (alpha, np.mean(p <= alpha))


# ---------------------------------------------------------------- saved baselines


@pytest.mark.parametrize("suffix", ["json", "npz"])
@pytest.mark.parametrize("max_rows", [None, 20])
def test_version_2_files_round_trip_byte_for_byte_and_test_alike(tmp_path, suffix, max_rows):
    base, cur = window(41, 60), window(42, 35, 0.2)
    fitted = Baseline.fit(**base, **DETECTORS, max_rows=max_rows, sample_seed=8)
    path, again = tmp_path / f"b.{suffix}", tmp_path / f"again.{suffix}"
    fitted.save(path)
    loaded = Baseline.load(path)
    loaded.save(again)
    assert path.read_bytes() == again.read_bytes()
    assert loaded.sample == fitted.sample and loaded.sizes == fitted.sizes
    want = {d: t.to_dict() for d, t in fitted.test(**cur, n_permutations=60, seed=3).items()}
    for copy in (loaded, pickle.loads(pickle.dumps(fitted))):
        assert {d: t.to_dict() for d, t in copy.test(**cur, n_permutations=60, seed=3).items()} == want
    if suffix == "npz":
        with np.load(path) as z:
            meta = json.loads(str(z["morvanta_baseline"]))
            stored = sorted(k for k in z.files if k.startswith("array_rows_"))
        assert meta["version"] == 2 and meta["sample"] == fitted.sample
        # Rows the state holds in row order are stored once, unless they are a sample.
        own = ["features", "queries", "response_lengths"]
        if max_rows is not None:
            own += ["confidences", "correct", "embeddings", "response_embeddings"]
        assert stored == sorted(f"array_rows_{p}" for p in own)


@pytest.mark.parametrize("suffix", ["json", "npz"])
def test_version_1_files_check_but_refuse_to_test(tmp_path, suffix):
    old = Baseline.load(DATA / f"v1.{suffix}")
    assert old.sample is None
    with np.load(DATA / "windows.npz") as z:
        cur = {k[4:]: z[k] for k in z.files if k.startswith("cur_")}
    old.check(**cur)
    message = (f"'{DATA / f'v1.{suffix}'}' predates testable baselines: format version 1 keeps none of the "
               "baseline's rows to permute, so it can check windows but not test them; fit the baseline again from "
               "its window with Baseline.fit(...) and save it (format version 2) to test")
    check_raises(lambda: old.test(**cur), ValueError, message)
    copy = pickle.loads(pickle.dumps(old))
    check_raises(lambda: copy.test(**cur), ValueError, message.replace(f"'{DATA / f'v1.{suffix}'}'",
                                                                        "this baseline's file"))


def saved(fitted, tmp_path, edit):
    """`fitted` saved as .npz with `edit(meta, arrays)` applied and its checksum made to match."""
    from test_saving import digest

    path = tmp_path / "b.npz"
    fitted.save(path)
    with np.load(path) as z:
        meta = _engine.json_load(str(z["morvanta_baseline"]))
        arrays = {k[len("array_"):]: z[k] for k in z.files if k.startswith("array_")}
    meta.pop("digest")
    edit(meta, arrays)
    meta["digest"] = digest(_engine.json_dump(meta), arrays)
    out = tmp_path / "edited.npz"
    np.savez(out, morvanta_baseline=np.array(_engine.json_dump(meta)), **{f"array_{k}": v for k, v in arrays.items()})
    return out


def test_kept_rows_and_their_record_are_judged_on_load(tmp_path):
    w = window(43, 40)
    sampled = Baseline.fit(**w, **DETECTORS, max_rows=30)

    def sample(key, value):
        def edit(meta, arrays):
            meta["sample"][key] = value
        return edit

    def put(name, index, value):
        def edit(meta, arrays):
            arrays[name] = arrays[name].copy()
            arrays[name][index] = value
        return edit

    def drop(name):
        def edit(meta, arrays):
            del arrays[name]
        return edit

    def no_record(meta, arrays):
        del meta["sample"]

    cases = [
        (sample("seed", -1), "invalid baseline: sample['seed']: -1 is not a whole number from 0 to 2**64 - 1"),
        (sample("max_rows", {**sampled.sample["max_rows"], "data": 0}),
         "invalid baseline: sample['max_rows']['data']: 0 is not a row cap (a whole number from 1 to 2**53)"),
        (sample("kept", {**sampled.sample["kept"], "features": 31}),
         "invalid baseline: sample['kept']['features']: 31 rows, but a sample of the 40 rows under the cap keeps 30"),
        (put("rows_confidences", 3, 1.5), "invalid baseline: array 'rows_confidences': 1.5 at index 3 is outside [0, 1]"),
        (put("rows_embeddings", (2, 1), np.nan),
         "invalid baseline: array 'rows_embeddings': row 2, column 1 is NaN; embeddings must be finite numbers"),
        (put("rows_queries", (0, 0), np.inf),
         "invalid baseline: array 'rows_queries': row 0, column 0 is Infinity; embeddings must be finite numbers"),
        (drop("rows_features"), "damaged baseline: no entry 'array_rows_features'"),
        (no_record, "damaged baseline settings (no 'sample')"),
    ]
    for edit, message in cases:
        path = saved(sampled, tmp_path, edit)
        check_raises(lambda: Baseline.load(path), ValueError, f"{path}: {message}")
    # Unsampled rows the state already holds are not stored twice; a stray copy is never read.
    whole = Baseline.fit(confidences=w["confidences"], correct=w["correct"])
    path = saved(whole, tmp_path, lambda meta, arrays: None)
    assert Baseline.load(path).sample == whole.sample


# ---------------------------------------------------------------- calibration on a fixed reference


def test_reference_calibration_draws_windows_from_the_rest_only():
    x = np.random.default_rng(51).normal(size=1000)
    cal = calibrate(ConfidenceDrift().detect, x, current_size=50, reference_size=400, n_splits=100,
                    false_alarm_rate=0.05, seed=3)
    ref = subsample(1000, 400, 3, stream=sampling.REFERENCE)
    assert len(cal.reference) == 1 and np.array_equal(cal.reference[0], ref) and cal.reference_size == 400
    rest = np.setdiff1d(np.arange(1000), ref)
    first = x[rest][labels(600, 50, 3, 0)]
    assert ConfidenceDrift().detect(x[ref], first).score in cal.null_scores
    assert np.array_equal(cal.reference_rows(x), x[ref]) and cal.to_dict()["reference_size"] == 400
    again = calibrate(ConfidenceDrift().detect, x, current_size=50, reference_size=400, n_splits=100,
                      false_alarm_rate=0.05, seed=3)
    assert again.to_dict() == cal.to_dict() and np.array_equal(again.reference[0], cal.reference[0])
    # Pairs: one reference for a confidence and its flag; lengths and embeddings each their own.
    flags = x > 0
    cal = calibrate(ConfidenceDrift().detect_with_correctness, (np.abs(np.tanh(x)), flags), current_size=40,
                    reference_size=300, n_splits=50, false_alarm_rate=0.1)
    assert np.array_equal(cal.reference[0], cal.reference[1])
    assert np.array_equal(cal.reference_rows((x, flags))[1], flags[cal.reference[0]])
    e = emb(200, 3, 4)
    cal = calibrate(ResponseDrift().detect_with_embeddings, (x, e), current_size=40, reference_size=500, n_splits=30,
                    false_alarm_rate=0.1)
    assert [len(r) for r in cal.reference] == [500, 100]
    assert cal.reference_size == 500 and cal.current_size == 40


@pytest.mark.parametrize("kwargs,text", [
    (dict(reference_size=600, current_size=50),
     "arguments 'reference_size' and 'current_size': the 400 baseline rows outside a reference of 600 must hold at "
     "least 10 windows of current_size=50 (500 rows); use a smaller reference_size or current_size"),
    (dict(reference_size=400), "argument 'current_size': required with reference_size (the threshold holds for "
                               "windows of that size)"),
    (dict(reference_size=1000, current_size=5), "argument 'reference_size': must leave rows for the windows, i.e. "
                                                "lie in [1, 999] for a baseline of 1000 rows; got 1000"),
    (dict(reference_size=0, current_size=5), "argument 'reference_size': must be >= 1, got 0"),
])
def test_reference_calibration_refusals(kwargs, text):
    x = np.random.default_rng(52).normal(size=1000)
    check_raises(lambda: calibrate(ConfidenceDrift().detect, x, false_alarm_rate=0.05, **kwargs), ValueError, text)


def test_reference_calibration_holds_its_rate_for_every_reference():
    # Each of 4 references gets its own threshold; fresh windows from the same
    # distribution, each checked against that reference, alarm at most at the
    # target rate, up to the noise of the splits and of the windows counted.
    rng = np.random.default_rng(53)
    target, splits, windows, size = 0.05, 400, 250, 50
    bound = target + 2 * math.sqrt(target * (1 - target) / splits) + 2 * math.sqrt(target * (1 - target) / windows)
    for k in range(4):
        base = rng.normal(size=400 + 10 * size)
        cal = calibrate(ResponseDrift().detect, base, current_size=size, reference_size=400, n_splits=splits,
                        false_alarm_rate=target, seed=k)
        ref = cal.reference_rows(base)
        rate = np.mean([cal.detector.detect(ref, rng.normal(size=size)).exceeded for _ in range(windows)])
        assert rate <= bound, (k, rate, bound)


def test_check_scores_explains_and_tests_a_window_above_its_cap_on_the_tests_sample(monkeypatch):
    # Small caps, so that the check has to sample; the score, the breakdown and
    # the test then all read the rows permutation_test itself would sample.
    import dataclasses

    import morvanta
    from morvanta import dimensions

    caps = {EmbeddingDrift: 60, DataDrift: 70}
    for cls, cap in caps.items():
        monkeypatch.setitem(dimensions._BY_CLASS, cls, dataclasses.replace(dimensions._BY_CLASS[cls], max_rows=cap))
    rng = np.random.default_rng(4)
    base = {"embedding": emb(150, 4, 1), "f0": rng.normal(size=150), "f1": rng.normal(size=150)}
    cur = {"embedding": emb(50, 4, 2, 0.4), "f0": rng.normal(0.5, 1.0, 50), "f1": rng.normal(size=50)}
    r = morvanta.check(base, cur, n_permutations=199, seed=3)
    dims = {d.dimension: d for d in r.dimensions}
    e, d = dims["embedding"], dims["data"]
    assert (e.rows_given, e.rows_tested, e.sampled) == ((150, 50), (60, 50), True)
    assert (d.rows_given, d.rows_tested, d.sampled) == ((150, 50), (70, 50), True)
    keep = subsample(150, 60, 3, stream=sampling.stream(0, sampling.BASELINE))
    assert e.score.score == EmbeddingDrift().detect(base["embedding"][keep], cur["embedding"]).score
    want = permutation_test(EmbeddingDrift().detect, base["embedding"], cur["embedding"], n_permutations=199, seed=3)
    assert want.sampled and e.p_value == want.p_value and e.permutations_run == want.permutations_run
    feats = np.c_[base["f0"], base["f1"]]
    want = permutation_test(DataDrift().detect, feats, np.c_[cur["f0"], cur["f1"]], n_permutations=199, seed=3)
    assert d.p_value == want.p_value and d.score.score == want.score.score
    assert any(n.startswith("embedding: scored and tested on a seeded sample of 60 vs 50 of its 150 vs 50 rows")
               for n in r.notes)
    doc = r.to_dict()["dimensions"]
    emb_doc = next(x for x in doc if x["dimension"] == "embedding")
    assert emb_doc["rows_given"] == {"baseline": 150, "current": 50} and emb_doc["sampled"] is True
    # Under fixed thresholds nothing is tested, and the scores keep every row.
    fixed = {x.dimension: x for x in morvanta.check(base, cur, decide="threshold").dimensions}
    assert fixed["embedding"].score.score == EmbeddingDrift().detect(base["embedding"], cur["embedding"]).score

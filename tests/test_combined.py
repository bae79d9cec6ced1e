"""The combined (maxT) permutation test: its p-values equal an independent NumPy
reference that re-deals every split, stay valid under the null (also for tied
integer data and when stopping early), find one shifted column among thousands,
and refuse bad arguments by name."""

from __future__ import annotations

import math

import numpy as np
import pytest
from conftest import labels, check_raises, concurrently, emb
from scipy import stats

import morvanta
from morvanta import ConfidenceDrift, DataDrift, EmbeddingDrift, MorvantaError, QueryDrift, ResponseDrift, _engine

KEYS = {"parts", "columns", "observed", "mean", "sd", "excluded", "statistic", "p_value", "p_raw", "p_adjusted",
        "permutations_run", "stopped", "n_permutations", "seed", "score", "score_detail"}


# ---------------------------------------------------------------- independent part statistics


def ks(x, y):
    return stats.ks_2samp(np.nan_to_num(x, nan=np.inf), np.nan_to_num(y, nan=np.inf)).statistic


def psi(base, cur, n_bins, eps=1e-4):
    s = np.sort(base)
    edges = np.array([s[min(int((k / n_bins) * len(s)), len(s) - 1)] for k in range(1, n_bins)])
    cb = np.bincount(np.searchsorted(edges, base, side="right"), minlength=n_bins)
    cc = np.bincount(np.searchsorted(edges, cur, side="right"), minlength=n_bins)
    p = (cb + eps) / (len(base) + n_bins * eps)
    q = (cc + eps) / (len(cur) + n_bins * eps)
    return max(float(np.sum(np.log(q / p) * (q - p))), 0.0)


def ece(conf, correct, n_bins):
    c = np.clip(conf, 0.0, 1.0)
    b = np.minimum((c * n_bins).astype(int), n_bins - 1)
    return sum(abs(c[b == k].mean() - correct[b == k].mean()) * np.mean(b == k) for k in np.unique(b))


def sliced(x, y, seed):
    # The detector's sliced distance of a split (32 directions): the length KS of
    # one equal length on each side is exactly 0.
    return ResponseDrift(seed=seed).detect_with_embeddings([1.0], [1.0], x, y).score


class Mmd:
    """Unbiased MMD^2 of any split of the pooled rows, the bandwidth fixed by the
    median heuristic on the given split (all rows here: at most 256 a side)."""

    def __init__(self, pooled):
        # Components are subtracted in float32 and squared in float64, as the kernel does.
        d2 = ((pooled[:, None, :] - pooled[None, :, :]).astype(np.float64) ** 2).sum(-1)
        d = np.sqrt(d2)[np.triu_indices(len(pooled), 1)]
        s = np.sort(d)[len(d) // 2] ** 2
        self.k = np.exp(-d2 / (2 * s))

    def __call__(self, lab):
        kx, ky, kxy = self.k[np.ix_(lab, lab)], self.k[np.ix_(~lab, ~lab)], self.k[np.ix_(lab, ~lab)]
        m, n = lab.sum(), (~lab).sum()
        return ((kx.sum() - np.trace(kx)) / (m * (m - 1)) + (ky.sum() - np.trace(ky)) / (n * (n - 1))
                - 2 * kxy.mean())


# ---------------------------------------------------------------- the reference test


def on_scale(values, psi):
    """The scale parts are compared on: log(PSI + 1e-4) for a numeric column's PSI part
    (its heavy right tail would otherwise decide the maximum), the value itself for the others."""
    values = np.asarray(values, float)
    return np.where(psi, np.log(np.where(psi, values, 1.0) + 1e-4), values)


def reference(parts_of, deal, seed, n_permutations, pilot, stop_after, psi=False):
    """maxT test from the part statistics of each dealt split: `deal(stream, p)`
    gives the split of permutation p, `parts_of(split)` its parts; `psi` marks
    the PSI parts."""
    observed = np.asarray(parts_of(None), float)
    pilot_values = on_scale([parts_of(deal(_engine.pilot_seed(seed), p)) for p in range(pilot)], psi)
    mean, sd = pilot_values.mean(0), pilot_values.std(0)
    keep = ~np.isnan(observed) & (sd > 0)
    z_obs = (on_scale(observed, psi) - mean) / sd
    stat = z_obs[keep].max()
    max_t, ge, hits = [], np.zeros(len(observed)), 0
    for p in range(n_permutations):
        t = np.asarray(parts_of(deal(seed, p)), float)
        ge += t >= observed
        max_t.append(((on_scale(t, psi) - mean) / sd)[keep].max())
        hits += max_t[-1] >= stat
        if stop_after and hits == stop_after:
            break
    run, max_t = len(max_t), np.array(max_t)
    stopped = bool(stop_after) and hits == stop_after
    return dict(mean=mean, sd=sd, statistic=stat, permutations_run=run, stopped=stopped,
                p_value=hits / run if stopped else (1 + hits) / (1 + run),
                p_raw=(1 + ge) / (1 + run),
                p_adjusted=np.where(keep, [(1 + np.sum(max_t >= z)) / (1 + run) for z in z_obs], np.nan))


def one_deal(total, m):
    return lambda stream, p: labels(total, m, stream, p)


RNG = np.random.default_rng(20270114)
# Coprime window sizes keep distinct KS gaps apart by far more than rounding.
TA = np.c_[RNG.integers(0, 6, 53), np.round(RNG.normal(size=53), 1), RNG.normal(size=53)]
TB = np.c_[RNG.integers(0, 7, 41), np.round(RNG.normal(0.3, size=41), 1), RNG.normal(size=41)]
CA, CB = RNG.uniform(size=67), RNG.uniform(0.1, 1.0, size=45)
FA, FB = RNG.uniform(size=67) < CA, RNG.uniform(size=45) < 0.5
LA, LB = RNG.integers(20, 60, 59).astype(float), RNG.integers(25, 60, 43).astype(float)
EA, EB = emb(31, 4, 1), emb(26, 4, 2, 0.3)


def data_case():
    pooled = np.vstack([TA, TB])

    def parts(lab):
        a, b = (TA, TB) if lab is None else (pooled[lab], pooled[~lab])
        return [f(a[:, c], b[:, c]) for c in range(3) for f in (ks, lambda x, y: psi(x, y, 5))]
    return (DataDrift(n_bins=5), "detect", (TA,), (TB,)), parts, one_deal(94, 53)


def confidence_case():
    pooled, flags = np.r_[CA, CB], np.r_[FA, FB]

    def parts(lab):
        lab = np.arange(112) < 67 if lab is None else lab
        a, b, fa, fb = pooled[lab], pooled[~lab], flags[lab], flags[~lab]
        return [ks(a, b), abs(ece(b, fb, 7) - ece(a, fa, 7))]
    return (ConfidenceDrift(n_calib_bins=7), "detect_with_correctness", (CA, FA), (CB, FB)), parts, one_deal(112, 67)


def response_case():
    lengths, rows = np.r_[LA, LB], np.vstack([EA, EB])

    def parts(split):
        ll, le = (np.arange(102) < 59, np.arange(57) < 31) if split is None else split
        return [ks(lengths[ll], lengths[~ll]), sliced(rows[le], rows[~le], 5)]
    # Lengths and rows each from their own generator: (stream, 2p) and (stream, 2p + 1).
    return ((ResponseDrift(seed=5), "detect_with_embeddings", (LA, EA), (LB, EB)), parts,
            lambda stream, p: (labels(102, 59, stream, 2 * p), labels(57, 31, stream, 2 * p + 1)))


def embedding_case():
    rows = np.vstack([EA, EB])
    mmd = Mmd(rows)

    def parts(lab):
        lab = np.arange(57) < 31 if lab is None else lab
        return [mmd(lab), sliced(rows[lab], rows[~lab], 3)]
    return (EmbeddingDrift(n_projections=32, seed=3), "detect", (EA,), (EB,)), parts, one_deal(57, 31)


def lengths_case():
    return ((ResponseDrift(), "detect", (LA,), (LB,)), lambda lab: [ks(LA, LB) if lab is None else
                                                                   ks(np.r_[LA, LB][lab], np.r_[LA, LB][~lab])],
            one_deal(102, 59))


CASES = {"data": data_case, "confidence": confidence_case, "response": response_case, "embedding": embedding_case,
         "lengths": lengths_case}


@pytest.mark.parametrize("stop_after", [0, 6])
@pytest.mark.parametrize("case", CASES)
def test_p_values_equal_an_independent_reference_that_redeals_every_split(case, stop_after):
    args, parts_of, deal = CASES[case]()
    got = _engine.combined_test(*args, 120, 7, pilot=40, stop_after=stop_after)
    psi = np.array([n.startswith("psi[") for n in got["parts"]])
    want = reference(parts_of, deal, 7, 120, 40, stop_after, psi)
    assert set(got) == KEYS and got["excluded"] == [] and got["seed"] == 7 and got["n_permutations"] == 120
    assert got["observed"] == pytest.approx(parts_of(None), rel=1e-10, abs=1e-15)
    assert got["mean"] == pytest.approx(want["mean"], rel=1e-9, abs=1e-15)
    assert got["sd"] == pytest.approx(want["sd"], rel=1e-9)
    assert got["statistic"] == pytest.approx(want["statistic"], rel=1e-9)
    for key in ("permutations_run", "stopped", "p_value"):
        assert got[key] == want[key], key
    assert got["p_raw"] == want["p_raw"].tolist() and got["p_adjusted"] == want["p_adjusted"].tolist()
    # The embedding and answer-embedding tests form their detector's score from what they prepare anyway.
    assert (got["score"] is None) == (case not in ("embedding", "response"))


def plain(r):
    return {**r, "score": None if r["score"] is None else (r["score"].score, r["score"].exceeded)}


@pytest.mark.parametrize("sizes", [(2, 2), (31, 26), (150, 150), (700, 333)])
def test_embedding_and_response_tests_form_the_detectors_score_and_breakdown_bit_for_bit(sizes, threads):
    # Row sums are taken in 64-column ranges over the kernel matrix; sizes cross them.
    a, b = emb(sizes[0], 5, 11), emb(sizes[1], 5, 12, 0.1)
    det = EmbeddingDrift(n_projections=6, seed=2, threshold=0.01)
    got = [plain(_engine.combined_test(det, "detect", (a,), (b,), 20, 1)) for t in (threads(1), threads(7))]
    assert got[0] == got[1]
    want = det.detect(a, b)
    bd = morvanta.explain(det.detect, a, b)
    assert got[0]["score"] == (want.score, want.exceeded)
    detail = got[0]["score_detail"]
    assert (detail["mmd2"], detail["sliced_wasserstein"]) == (bd.mmd2, bd.sliced_wasserstein)
    assert math.sqrt(detail["bandwidth_sq"]) == bd.bandwidth
    # Lengths with ties beside answer embeddings: KS and the sliced distance are the detector's.
    la, lb = np.round(a[:, 0] * 3) + 10, np.round(b[:, 0] * 3) + 11
    rd = ResponseDrift(0.1, 4)
    got = _engine.combined_test(rd, "detect_with_embeddings", (la, a), (lb, b), 20, 1)
    want = rd.detect_with_embeddings(la, lb, a, b)
    bd = morvanta.explain(rd.detect_with_embeddings, (la, a), (lb, b))
    assert (got["score"].score, got["score"].method) == (want.score, want.method)
    assert got["score_detail"] == {"ks": bd.ks, "sliced_wasserstein": bd.sliced_wasserstein}
    # A window the detector refuses gets the detector's own error first, as when it scored first.
    bad = a.copy()
    bad[1, 2] = np.nan
    with pytest.raises(MorvantaError, match="mmd_rbf"):
        morvanta.permutation_test(det.detect, bad, b, n_permutations=9)


def test_parts_are_named_column_by_column_and_flat_parts_are_left_out():
    a, b = TA.copy(), TB.copy()
    a[:, 1] = b[:, 1] = 3.0  # no split can move a constant column
    r = _engine.combined_test(DataDrift(n_bins=5), "detect", (a,), (b,), 99, 1, stop_after=0)
    assert r["parts"] == ["ks[0]", "psi[0]", "ks[1]", "psi[1]", "ks[2]", "psi[2]"]
    assert r["columns"] == [0, 0, 1, 1, 2, 2]
    assert r["excluded"] == [2, 3] and r["sd"][2] == r["sd"][3] == 0.0
    assert math.isnan(r["p_adjusted"][2]) and r["p_raw"][2] == 1.0  # every split ties the observed 0
    # The statistic is the largest standardised part among those kept.
    scaled = on_scale(r["observed"], np.array([n.startswith("psi[") for n in r["parts"]]))
    z = [(o - m) / s for j, (o, m, s) in enumerate(zip(scaled, r["mean"], r["sd"])) if j not in (2, 3)]
    assert r["statistic"] == max(z)
    # Too few baseline rows for the bins: KS alone, as the detector.
    r = _engine.combined_test(DataDrift(n_bins=60), "detect", (TA,), (TB,), 9, 1)
    assert r["parts"] == ["ks[0]", "ks[1]", "ks[2]"]
    r = _engine.combined_test(QueryDrift(k=3), "detect", (EA,), (EB,), 9, 1)
    assert r["parts"] == ["sym_kl"] and r["columns"] == [None]


def test_a_single_part_counts_exactly_the_splits_of_the_existing_permutation_test():
    # One part: maxT orders splits as the statistic does, over the same deals.
    for args, old in [((QueryDrift(k=3), "detect", (EA,), (EB,)),
                       lambda: _engine.query_permutations(QueryDrift(k=3), EA, EB, 150, 2)),
                      ((ConfidenceDrift(), "detect", (CA,), (CB,)), lambda: _engine.ks_permutations(CA, CB, 150, 2))]:
        r = _engine.combined_test(*args, 150, 2, stop_after=0)
        observed, raw = old()
        want = (1 + np.count_nonzero(np.frombuffer(raw) >= observed)) / 151
        assert r["observed"] == [observed] and r["p_value"] == r["p_raw"][0] == r["p_adjusted"][0] == want


def test_results_are_identical_for_any_worker_count_and_concurrent_calls(threads):
    a, b = emb(120, 6, 7), emb(100, 6, 8, 0.05)
    call = lambda: _engine.combined_test(EmbeddingDrift(n_projections=8), "detect", (a,), (b,), 300, 4)  # noqa: E731
    threads(1)
    ref = plain(call())
    threads(7)
    assert plain(call()) == ref
    outs = concurrently(call, call, reps=2)
    assert all(plain(o) == ref for per_call in outs for o in per_call) and sum(map(len, outs)) == 4
    assert plain(_engine.combined_test(EmbeddingDrift(n_projections=8), "detect", (a,), (b,), 300, 5)) != ref


# ---------------------------------------------------------------- validity and power


def test_null_p_values_hold_their_level_with_ties_for_the_sequential_and_the_full_test():
    rng = np.random.default_rng(41)
    full, seq = [], []
    for r in range(600):
        if r % 3 == 0:  # integer counts: heavy ties in KS and in the PSI edges
            a, b = rng.poisson(3, (40, 3)).astype(float), rng.poisson(3, (31, 3)).astype(float)
            args = (DataDrift(n_bins=4), "detect", (a,), (b,))
        elif r % 3 == 1:
            a, b = rng.normal(size=(40, 3)), rng.normal(size=(31, 3))
            args = (DataDrift(n_bins=4), "detect", (a,), (b,))
        else:  # rounded confidences (ties) and their flags: KS and the calibration change
            c = np.round(rng.beta(4, 2, 71), 1)
            f = rng.uniform(size=71) < c
            args = (ConfidenceDrift(n_calib_bins=5), "detect_with_correctness", (c[:40], f[:40]), (c[40:], f[40:]))
        args += (99, r)
        full.append(_engine.combined_test(*args, pilot=50, stop_after=0)["p_value"])
        seq.append(_engine.combined_test(*args, pilot=50, stop_after=10)["p_value"])
    for p in (np.array(full), np.array(seq)):
        for alpha in (0.01, 0.05, 0.2, 0.5):
            assert np.mean(p <= alpha) <= alpha + 3 * math.sqrt(alpha * (1 - alpha) / len(p)), (alpha, p)
    # Not wastefully conservative either: about half the null pairs reach p <= 0.5.
    assert np.mean(np.array(full) <= 0.5) > 0.35


def test_one_shifted_column_among_two_thousand_is_found():
    rng = np.random.default_rng(5)
    a, b = rng.normal(size=(300, 2000)), rng.normal(size=(300, 2000))
    b[:, 1234] += 1.0
    r = _engine.combined_test(DataDrift(), "detect", (a,), (b,), 999, 0)
    assert r["p_value"] <= 0.01
    # The shifted column is the one that survives the single-step adjustment.
    adjusted = np.array(r["p_adjusted"])
    assert set(np.flatnonzero(adjusted <= 0.01)) <= {2 * 1234, 2 * 1234 + 1} and adjusted[2 * 1234] <= 0.01


def test_embedding_shift_is_found_at_least_as_often_as_by_the_composite_score():
    # A small mean shift in 128 dimensions: the discrepancy sees it, and the
    # composite score drowns it in the larger sliced distance.
    det = EmbeddingDrift()
    new, old = [], []
    for s in range(8):
        a, b = emb(100, 128, 100 + s), emb(100, 128, 200 + s, 0.08)
        new.append(_engine.combined_test(det, "detect", (a,), (b,), 199, s, stop_after=0)["p_value"])
        observed, raw = _engine.embedding_permutations(det, a, b, 199, s)
        old.append((1 + np.count_nonzero(np.frombuffer(raw) >= observed)) / 200)
    new, old = np.array(new), np.array(old)
    assert np.sum(new <= 0.05) >= np.sum(old <= 0.05) and new.mean() <= old.mean(), (new, old)


# ---------------------------------------------------------------- refusals


@pytest.mark.parametrize("call,exc,text", [
    (lambda: _engine.combined_test(object(), "detect", (CA,), (CB,), 9, 0), TypeError,
     "argument 'detector': expected DataDrift, EmbeddingDrift, QueryDrift, ResponseDrift or ConfidenceDrift, "
     "got object"),
    (lambda: _engine.combined_test(ConfidenceDrift(), 3, (CA,), (CB,), 9, 0), TypeError,
     "argument 'method': expected str, got int"),
    (lambda: _engine.combined_test(ConfidenceDrift(), "detect_with_embeddings", (CA,), (CB,), 9, 0), ValueError,
     "argument 'method': ConfidenceDrift has no permutation form 'detect_with_embeddings'; expected 'detect' or "
     "'detect_with_correctness'"),
    (lambda: _engine.combined_test(ConfidenceDrift(), "detect", CA, (CB,), 9, 0), TypeError,
     "argument 'baseline': ConfidenceDrift.detect takes a (confidences,) tuple per side; got ndarray"),
    (lambda: _engine.combined_test(ResponseDrift(), "detect_with_embeddings", (LA, EA), (LB,), 9, 0), TypeError,
     "argument 'current': ResponseDrift.detect_with_embeddings takes a (lengths, embeddings) tuple per side; "
     "got a tuple of 1"),
    (lambda: _engine.combined_test(ResponseDrift(), "detect_with_embeddings", (LA, EA.astype(np.float64)), (LB, EB),
                                   9, 0), TypeError, "argument 'baseline[1]': "),
    (lambda: _engine.combined_test(DataDrift(), "detect", (TA,), ("x",), 9, 0), TypeError, "argument 'current[0]': "),
    (lambda: _engine.combined_test(ConfidenceDrift(), "detect", (CA,), (CB,), 0, 0), ValueError,
     "argument 'n_permutations': must be >= 1, got 0"),
    (lambda: _engine.combined_test(ConfidenceDrift(), "detect", (CA,), (CB,), 9, 0, pilot=1), ValueError,
     "argument 'pilot': must be >= 2, got 1"),
    (lambda: _engine.combined_test(ConfidenceDrift(), "detect", (CA,), (CB,), 9, -1), OverflowError, None),
    (lambda: _engine.combined_test(ConfidenceDrift(), "detect", (CA,), (CB,), 9, 0, 200), TypeError,
     "combined_test() takes 6 positional arguments but 7 were given"),
    (lambda: _engine.combined_test(ConfidenceDrift(), "detect", (CA,), (CB,), 9, 0, stop_after="3"), TypeError,
     "argument 'stop_after': "),
    (lambda: _engine.combined_test(DataDrift(), "detect", (TA,), (TB[:, :2],), 9, 0), MorvantaError,
     "dimension mismatch: expected 3, got 2 (DataDriftDetector::detect)"),
    (lambda: _engine.combined_test(ConfidenceDrift(), "detect_with_correctness", (CA, FA[:3]), (CB, FB), 9, 0),
     MorvantaError, "dimension mismatch: expected 67, got 3 (ConfidenceDriftDetector::baseline correctness)"),
])
def test_refusals_name_the_argument(call, exc, text):
    if text is None:
        with pytest.raises(exc):
            call()
    else:
        check_raises(call, exc, text)


def test_ctrl_c_stops_a_long_combined_test(ctrl_c_after):
    import time

    a = np.random.default_rng(0).normal(size=(20_000, 4))
    start = time.perf_counter()
    ctrl_c_after(0.3)
    with pytest.raises(KeyboardInterrupt):
        _engine.combined_test(DataDrift(), "detect", (a,), (a,), 1_000_000, 0, stop_after=0)
    assert time.perf_counter() - start < 20


# ---------------------------------------------------------------- categorical columns


def cat_parts(codes, lab, eps=1e-4):
    """psi_cat and missing of one split, by NumPy: shares of each side's non-missing rows, the
    categories absent from the baseline side pooled in one last bin."""
    b, c = codes[lab], codes[~lab]
    k = int(codes.max()) + 1 if (codes >= 0).any() else 0
    cb = np.bincount(b[b >= 0], minlength=k)
    cc = np.bincount(c[c >= 0], minlength=k)
    seen = cb > 0
    pb, pc = list(cb[seen]), list(cc[seen])
    if cc[~seen].sum():
        pb.append(0)
        pc.append(cc[~seen].sum())
    pb, pc = np.array(pb, float), np.array(pc, float)
    p = (pb + eps) / (pb.sum() + len(pb) * eps)
    q = (pc + eps) / (pc.sum() + len(pc) * eps)
    return float(np.sum((q - p) * np.log(q / p))), abs((c < 0).mean() - (b < 0).mean())


def cat_windows(m, n, seed, shift=0.0):
    rng = np.random.default_rng(seed)
    mix = np.array([0.4, 0.3, 0.2, 0.06, 0.04])
    moved = mix + shift * np.array([-0.3, 0.0, 0.1, 0.1, 0.1])
    def side(rows, p):
        c = rng.choice(5, rows, p=p).astype(float)
        c[rng.random(rows) < 0.05] = -1
        return c
    bk = np.column_stack([side(m, mix), side(m, mix)])
    ck = np.column_stack([side(n, moved), side(n, mix)])
    return rng.normal(size=(m, 2)), rng.normal(size=(n, 2)), bk, ck


def test_categorical_parts_equal_a_numpy_reference_on_every_permutation():
    xb, xc, bk, ck = cat_windows(40, 35, 1, shift=0.5)
    ck[3, 0] = 7  # a category only the current window has; code 5, 6 absent from both
    r = _engine.combined_test(DataDrift(), "detect_with_categories", (xb, bk), (xc, ck), 199, 3, stop_after=0)
    assert r["parts"] == ["ks[0]", "psi[0]", "ks[1]", "psi[1]", "psi_cat[2]", "missing[2]", "psi_cat[3]",
                          "missing[3]"]
    assert r["columns"][4:] == [2, 2, 3, 3]
    pooled = np.vstack([bk, ck]).astype(int)
    given = np.arange(75) < 40
    for j in (0, 1):
        want = cat_parts(pooled[:, j], given)
        assert r["observed"][4 + 2 * j] == pytest.approx(want[0], rel=1e-13)
        assert r["observed"][5 + 2 * j] == pytest.approx(want[1], abs=1e-15)
    # p_raw from a re-deal of every permutation.
    ge = np.zeros(4)
    for p in range(199):
        lab = labels(75, 40, 3, p)
        vals = [v for j in (0, 1) for v in cat_parts(pooled[:, j], lab)]
        ge += np.array(vals) >= np.array(r["observed"][4:]) - 1e-12 * np.abs(np.array(r["observed"][4:]))
    np.testing.assert_allclose(r["p_raw"][4:], (1 + ge) / 200)
    # The numeric parts are those of the numeric test.
    plain = _engine.combined_test(DataDrift(), "detect", (xb,), (xc,), 199, 3, stop_after=0)
    assert r["observed"][:4] == plain["observed"]


def test_categorical_null_false_alarm_rate_and_power_against_chi_square():
    # 300 null pairs: p <= 0.05 within 3 standard errors of 5%.
    hits = 0
    for s in range(300):
        xb, xc, bk, ck = cat_windows(120, 100, 100 + s)
        r = _engine.combined_test(DataDrift(), "detect_with_categories", (xb, bk), (xc, ck), 99, s)
        hits += r["p_value"] <= 0.05
    se = math.sqrt(0.05 * 0.95 / 300)
    assert abs(hits / 300 - 0.05) <= 3 * se, hits
    # A shifted mix on categorical columns alone: power close to a per-column chi-square test with
    # Bonferroni (the maxT also spends some on the missing-share parts).
    ours = chi = 0
    for s in range(40):
        xb, xc, bk, ck = cat_windows(200, 200, 900 + s, shift=0.4)
        r = _engine.combined_test(DataDrift(), "detect_with_categories", (xb[:, :0], bk), (xc[:, :0], ck), 199, s)
        ours += r["p_value"] <= 0.05
        ps = []
        for j in range(2):
            t = np.array([[np.sum(bk[:, j] == k), np.sum(ck[:, j] == k)] for k in range(5)])
            ps.append(stats.chi2_contingency(t).pvalue)
        chi += min(ps) * 2 <= 0.05
    assert ours >= 0.75 * chi and ours >= 20, (ours, chi)


def test_categorical_test_is_bit_identical_for_any_worker_count_and_refuses_bad_codes(threads):
    xb, xc, bk, ck = cat_windows(300, 250, 8, shift=0.2)
    threads(1)
    ref = _engine.combined_test(DataDrift(), "detect_with_categories", (xb, bk), (xc, ck), 400, 5)
    for t in (2, 7):
        threads(t)
        got = _engine.combined_test(DataDrift(), "detect_with_categories", (xb, bk), (xc, ck), 400, 5)
        assert repr(got) == repr(ref)
    bad = bk.copy()
    bad[4, 1] = 2.5
    with pytest.raises(ValueError, match=r"argument 'baseline\[1\]': row 4 column 1 holds 2.5; category codes are"):
        _engine.combined_test(DataDrift(), "detect_with_categories", (xb, bad), (xc, ck), 9, 0)
    with pytest.raises(TypeError, match=r"takes a \(features, codes\) tuple per side"):
        _engine.combined_test(DataDrift(), "detect_with_categories", (xb,), (xc,), 9, 0)
    with pytest.raises(MorvantaError):
        _engine.combined_test(DataDrift(), "detect_with_categories", (xb, bk), (xc, ck[:5]), 9, 0)

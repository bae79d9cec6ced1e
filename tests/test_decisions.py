"""What decides a check: permutation p-values by default, Holm over the dimensions
tested with enough permutations to reach alpha, effect floors, persistence over
monitor windows, and outputs that say which rule decided and what drove it."""

from __future__ import annotations

import json
import math
import re
from pathlib import Path

import numpy as np
import pytest

from conftest import run_cli as run

import morvanta
from morvanta import DataDrift, _engine
from morvanta.errors import ArgumentError
from morvanta.pipeline import decide

T0 = 1_700_000_000.0 - 1_700_000_000.0 % 86400  # a midnight, UTC



def window(n: int, seed: int, shift: float = 0.0, moved: tuple[str, ...] = ("a",)) -> dict[str, object]:
    """A log with all five dimensions; `shift` moves the named features and everything else."""
    rng = np.random.default_rng(seed)
    out: dict[str, object] = {
        "query_embedding": (rng.normal(size=(n, 6)) + shift).astype(np.float32),
        "response_embedding": rng.normal(size=(n, 6)).astype(np.float32) + np.float32(shift),
        "response_length": rng.poisson(60 * (1 + shift), n).astype(float),
        "confidence": np.clip(rng.beta(8, 2, n) - shift / 5, 0, 1),
        "correct": rng.random(n) < 0.8 - shift / 4,
    }
    for name in ("a", "b", "c"):
        out[name] = rng.normal(shift if name in moved else 0.0, 1.0, n)
    return out


def write(log: dict[str, object], path: Path) -> None:
    pd = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    pd.DataFrame({k: list(v) if getattr(v, "ndim", 1) == 2 else v for k, v in log.items()}).to_parquet(path)


# ------------------------------------------------------------------ the rules themselves


def test_holm_and_benjamini_hochberg_against_references():
    stats = pytest.importorskip("scipy.stats")
    rng = np.random.default_rng(4)
    for _ in range(300):
        p = rng.random(rng.integers(1, 12)) ** rng.uniform(0.3, 3)
        assert decide.benjamini_hochberg(p.tolist()) == pytest.approx(
            stats.false_discovery_control(p, method="bh").tolist(), rel=1e-12, abs=0)
        # Holm is Bonferroni's step-down: reference by the definition, max_{j<=i} min(1, (m-j+1) p_(j)).
        order = np.argsort(p, kind="stable")
        ref = np.maximum.accumulate(np.minimum(1, (len(p) - np.arange(len(p))) * p[order]))
        got = np.array(decide.holm(p.tolist()))[order]
        assert got.tolist() == pytest.approx(ref.tolist(), rel=1e-15, abs=0)
        assert decide.holm(p[::-1].tolist()) == decide.holm(p.tolist())[::-1]  # the order of the dimensions
    got = decide.benjamini_hochberg([0.01, math.nan, 0.04, 0.03])  # NaN is no test and does not count
    assert math.isnan(got[1]) and got[0] == pytest.approx(0.03) and got[2] == got[3] == pytest.approx(0.04)
    assert decide.holm([0.01, 0.04, 0.03, 0.005]) == pytest.approx([0.03, 0.06, 0.06, 0.02], abs=0, rel=1e-15)
    assert decide.holm([0.5, 0.2]) == [0.5, 0.4] and decide.holm([]) == []  # the step-down keeps them monotone
    got = decide.holm([0.02, math.nan, 0.01])
    assert math.isnan(got[1]) and got[0] == got[2] == 0.02


def test_default_permutations_reach_alpha_with_headroom():
    # max(999, 10 m / alpha - 1): the smallest attainable Holm p, m / (B + 1), is a tenth of alpha or less.
    assert decide.permutations_for(5, 0.05, None) == (999, None)
    b, note = decide.permutations_for(5, 0.01, None)
    assert b == 4999 and note == ("permutations raised from 999 to 4,999, so that Holm over 5 dimensions can reach "
                                  "p-values 10 times below alpha 0.01")
    assert decide.permutations_for(1, 0.001, None)[0] == 9999
    for m in range(1, 6):
        for alpha in (0.1, 0.05, 0.02, 0.01, 0.005, 0.001):
            b = decide.permutations_for(m, alpha, None)[0]
            assert decide.smallest_adjusted(m, b) <= alpha / 10 * (1 + 1e-12) and b >= 999
    # An explicit count is kept when it can reach alpha at all, refused when it never can.
    assert decide.permutations_for(5, 0.05, 99) == (99, None)
    assert decide.permutations_for(5, 0.01, 499) == (499, None)  # 5/500 is exactly 0.01
    with pytest.raises(ArgumentError, match=r"498 permutations cannot reach alpha 0.01 over 5 dimensions: the "
                                            r"smallest Holm-adjusted p-value is 5/\(498 \+ 1\) = 0.01002; use at least "
                                            r"499 \(the default, 4,999, leaves headroom\)"):
        decide.permutations_for(5, 0.01, 498)


def test_the_rule_of_each_argument_combination():
    assert decide.decision(None, None, None) == "p-value"
    assert decide.decision(None, True, None) == "p-value" and decide.decision(None, False, None) == "threshold"
    assert decide.decision("threshold", None, None) == "threshold"
    assert decide.decision(None, None, 0.01) == decide.decision("calibrated", None, 0.01) == "calibrated"
    for args, arg in [(("threshold", True, None), "p_values"), (("p-value", None, 0.01), "calibrate"),
                      (("calibrated", None, None), "calibrate"), (("vote", None, None), "decide"),
                      ((None, "yes", None), "p_values")]:
        with pytest.raises(ArgumentError) as info:
            decide.decision(*args)
        assert info.value.argument == arg, args
    base, cur = window(40, 1), window(40, 2)
    for kwargs, arg in [(dict(decide="threshold", n_permutations=99), "n_permutations"),
                        (dict(decide="threshold", exact=True), "exact"), (dict(n_permutations=0), "n_permutations"),
                        (dict(seed=-1), "seed"), (dict(min_effect={"data": math.nan}), "min_effect"),
                        (dict(min_effect={"latency": 1}), "min_effect"), (dict(min_effect=[0.1]), "min_effect")]:
        with pytest.raises(ArgumentError) as info:
            morvanta.check(base, cur, **kwargs)
        assert info.value.argument == arg, kwargs
    for bad in [(0, 3), (4, 3), (2,), "2/3", (True, 3)]:
        with pytest.raises(ArgumentError) as info:
            morvanta.monitor(base, rows=10, persist=bad)
        assert info.value.argument == "persist"


# ------------------------------------------------------------------ check


@pytest.fixture(scope="module")
def drifted():
    return morvanta.check(window(120, 1), window(100, 2, shift=1.0), n_permutations=199, seed=3)


def test_a_drifted_check_records_its_decision_per_dimension(drifted):
    r = drifted
    assert r.decide == "p-value" and r.drifted and all(d.drifted for d in r.dimensions)
    doc = json.loads(r.to_json())
    assert (doc["decided_by"], doc["n_permutations"], doc["smallest_p_adjusted"]) == ("p-value", 199, 5 / 200)
    m = len(r.scored)
    for d, entry in zip(r.dimensions, doc["dimensions"]):
        assert entry["decided_by"] == "p-value" and entry["drifted"] is True
        assert entry["p_adjusted"] == d.p_adjusted <= 0.05 and entry["p_value"] == d.p_value
        # The threshold and its verdict stay beside the score as evidence.
        assert entry["threshold"] == d.score.threshold and entry["exceeded"] == d.score.exceeded
        assert entry["rows_tested"] == {"baseline": 120, "current": 100} and entry["rows_given"] is None
        assert entry["permutations_run"] == 199 and entry["stopped"] is False
        names = [p["name"] for p in entry["parts"]]
        assert names and all({"name", "column", "statistic", "p_value", "p_adjusted"} <= set(p) for p in entry["parts"])
        for p in d.parts:
            # A part holds over the whole check: m times its p within the dimension, never below its dimension's.
            assert p.p_adjusted == max(min(1.0, m * p.p_within), d.p_adjusted)
    data = r.dimension("data")
    assert [p.column for p in data.parts] == ["a", "a", "b", "b", "c", "c"]
    assert [p.name.split("[")[0] for p in data.parts] == ["ks", "psi"] * 3


def test_top_contributors_list_only_what_is_significant(drifted):
    # Only column a moved: it is the one column listed, and a check of like windows lists nothing.
    top = drifted.top_contributors()
    assert [c["name"] for c in top["columns"]] == ["a"] and top["columns"][0]["p_adjusted"] <= 0.05
    assert {p["dimension"] for p in top["parts"]} <= {"embedding", "response", "confidence", "query"}
    assert all(p["p_adjusted"] <= 0.05 for p in top["parts"])
    text = drifted.summary()
    assert "worst columns: a " in text and ", b " not in text.split("worst columns:")[1].splitlines()[0]
    stable = morvanta.check(window(120, 1), window(100, 5), n_permutations=199, seed=3)
    assert not stable.drifted and stable.top_contributors() == {}
    assert "worst columns" not in stable.summary() and "drifted parts" not in stable.summary()
    # The same stable pair by thresholds lists the columns that reached theirs, and only those.
    fixed = morvanta.check(window(120, 1), window(100, 5), decide="threshold")
    listed = [c["name"] for c in fixed.top_contributors().get("columns", [])]
    assert listed == ([c.name for c in fixed.columns if c.score.exceeded] if fixed.dimension("data").drifted else [])


def test_a_grossly_drifted_pair_drifts_at_alpha_0_01_with_five_dimensions(tmp_path):
    # At 0.01 Holm over five dimensions needs p <= 0.002: 999 permutations would never get there.
    write(window(80, 1), tmp_path / "b.parquet")
    write(window(80, 2, shift=2.0), tmp_path / "c.parquet")
    out = run("check", "b.parquet", "c.parquet", "--alpha", "0.01", "--json", "r.json", "--fail-on-drift",
              cwd=tmp_path)
    assert out.returncode == 1, out.stderr
    doc = json.loads((tmp_path / "r.json").read_text())
    assert doc["drifted"] and doc["n_permutations"] == 4999 and doc["smallest_p_adjusted"] == 0.001
    assert all(d["drifted"] and d["p_adjusted"] <= 0.01 for d in doc["dimensions"])
    assert ("note: permutations raised from 999 to 4,999, so that Holm over 5 dimensions can reach p-values 10 "
            "times below alpha 0.01") in out.stdout
    assert out.stdout.rstrip().endswith("(5 of 5 dimensions; Holm-adjusted p <= 0.01)")
    # An explicit count that cannot reach 0.01 is refused in one line before any work.
    out = run("check", "b.parquet", "c.parquet", "--alpha", "0.01", "--permutations", "199", cwd=tmp_path)
    assert (out.returncode, out.stdout) == (2, "")
    assert out.stderr == ("morvanta: error: argument --permutations: 199 permutations cannot reach alpha 0.01 over 5 "
                          "dimensions: the smallest Holm-adjusted p-value is 5/(199 + 1) = 0.025; use at least 499 "
                          "(the default, 4,999, leaves headroom)\n")


def test_stable_checks_stop_early_and_exact_runs_every_permutation():
    base, cur = window(150, 1), window(150, 6)
    quick = morvanta.check(base, cur, explain=False)
    exact = morvanta.check(base, cur, exact=True, n_permutations=299, explain=False)
    assert not quick.drifted and all(d.stopped for d in quick.scored)
    assert all(d.permutations_run < 999 for d in quick.scored)
    assert all((d.permutations_run, d.stopped) == (299, False) for d in exact.scored)
    assert "up to 999 permutations" in quick.summary() and "all 299 permutations" in exact.summary()
    with pytest.raises(ArgumentError):
        morvanta.check(base, cur, exact="yes")


def test_p_values_are_bit_identical_across_worker_counts_and_runs():
    base, cur = window(90, 1), window(70, 2, shift=0.2)

    def p_values():
        r = morvanta.check(base, cur, n_permutations=199, seed=9, explain=False)
        return [(d.p_value, d.p_adjusted, d.permutations_run, [p.p_value for p in d.parts]) for d in r.scored]

    first = p_values()
    try:
        for n in (1, 2, 3):
            _engine.set_threads(n)
            assert p_values() == first
    finally:
        _engine.set_threads(0)


def test_effect_floors_hold_back_small_but_significant_drift(tmp_path):
    # 2,000 rows make a shift of 0.15 sd highly significant, while its data score stays small.
    base, cur = window(2000, 1), window(2000, 2, shift=0.15)
    for k in ("query_embedding", "response_embedding", "response_length", "confidence", "correct"):
        del base[k], cur[k]
    plain = morvanta.check(base, cur, n_permutations=199)
    data = plain.dimension("data")
    assert data.drifted and data.p_adjusted <= 0.05 and data.score.score < 0.3
    floored = morvanta.check(base, cur, n_permutations=199, min_effect={"data": 0.3})
    d = floored.dimension("data")
    assert (d.drifted, d.below_min_effect, d.min_effect, d.p_adjusted) == (False, True, 0.3, data.p_adjusted)
    assert not floored.drifted and floored.top_contributors() == {}
    assert (f"data: significant (adjusted p {data.p_adjusted:.4g} <= alpha 0.05) but the score "
            f"{data.score.score:.4g} is below its min_effect floor 0.3: not counted as drift") in floored.notes
    entry = json.loads(floored.to_json())["dimensions"][0]
    assert (entry["min_effect"], entry["below_min_effect"], entry["drifted"]) == (0.3, True, False)
    assert "no (below floor)" in floored.summary()
    # A floor the score reaches changes nothing; the command line and the configuration set floors too.
    assert morvanta.check(base, cur, n_permutations=199, min_effect={"data": 0.01}).dimension("data").drifted
    write(base, tmp_path / "b.parquet")
    write(cur, tmp_path / "c.parquet")
    (tmp_path / "m.toml").write_text("[min_effect]\ndata = 0.3\n")
    for extra in (["--min-effect", "data=0.3"], ["--config", "m.toml"]):
        out = run("check", "b.parquet", "c.parquet", "--permutations", "199", "--fail-on-drift", "--json", *extra,
                  cwd=tmp_path)
        assert out.returncode == 0, (extra, out.stderr)
        assert json.loads(out.stdout)["dimensions"][0]["below_min_effect"] is True


def test_a_threshold_set_on_a_detector_is_evidence_and_said_to_be():
    base, cur = window(60, 1), window(60, 2)
    r = morvanta.check(base, cur, n_permutations=99, detectors={"data": DataDrift(0.01)}, explain=False)
    assert ("data: the threshold 0.01 set on the detector is shown beside the score; the p-value decides "
            "(decide='threshold' to decide by thresholds)") in r.notes
    assert r.dimension("data").score.exceeded and not r.dimension("data").drifted
    fixed = morvanta.check(base, cur, decide="threshold", detectors={"data": DataDrift(0.01)}, explain=False)
    assert fixed.dimension("data").drifted and not any("set on the detector" in n for n in fixed.notes)
    assert fixed.dimension("data").decided_by == "threshold" and fixed.dimension("data").p_value is None


def test_the_false_alarm_rate_of_default_checks_is_at_most_alpha():
    # Like windows in every dimension, 120 checks at alpha 0.1: the overall verdict alarms at most
    # about alpha of the time (Holm over five dimensions), whatever the early stopping does.
    rng = np.random.default_rng(8)
    alarms = any_raw = 0
    reps = 120
    for i in range(reps):
        seed = int(rng.integers(1 << 31))
        r = morvanta.check(window(40, seed), window(30, seed + 1), alpha=0.1, n_permutations=99, seed=i,
                           detectors={"query": morvanta.QueryDrift(k=3)}, explain=False)
        alarms += r.drifted
        any_raw += min(d.p_value for d in r.scored) <= 0.1
    assert alarms / reps <= 0.1 + 3 * math.sqrt(0.1 * 0.9 / reps)
    assert any_raw > alarms  # the adjustment is what keeps the rate down


# ------------------------------------------------------------------ monitor


def hourly(hours: int, n: int, seed: int, drift_from: int) -> dict[str, object]:
    rng = np.random.default_rng(seed)
    t = np.concatenate([T0 + h * 3600 + np.sort(rng.uniform(0, 3599, n)) for h in range(hours)])
    late = t >= T0 + drift_from * 3600
    return {"timestamp": t, "x": rng.normal(size=t.size) + 2.0 * late, "confidence": rng.beta(8, 2, t.size)}


def test_persistence_alerts_on_k_of_the_last_n_checked_windows():
    log = hourly(12, 40, 3, drift_from=8)
    m = morvanta.monitor(log, every="1h", baseline="4h", min_rows=10, n_permutations=99)
    flags = [w.result.drifted for w in m.checked]
    assert flags[-4:] == [True] * 4 and m.expected_false_alarms == pytest.approx(0.05 * len(flags))
    assert [w.alert for w in m.checked] == flags and m.alerted
    p = morvanta.monitor(log, every="1h", baseline="4h", min_rows=10, n_permutations=99, persist=(3, 4))
    # The reference: a window alerts when it drifted and at least K of the last N (itself included) did.
    want = [f and sum(flags[max(0, i - 3): i + 1]) >= 3 for i, f in enumerate(flags)]
    assert [w.alert for w in p.checked] == want and want.count(True) == 2
    assert [w.result.drifted for w in p.checked] == flags  # persistence changes alerts, not the windows' verdicts
    assert p.summary().splitlines()[-1].startswith("verdict: DRIFT: 2 windows alerted (3 of the last 4 checked drifted)")
    lines = [json.loads(x) for x in p.to_jsonl().splitlines()]
    assert [x["alert"] for x in lines] == want and all(x["alpha"] == 0.05 for x in lines)
    never = morvanta.monitor(log, every="1h", baseline="4h", min_rows=10, n_permutations=99, persist=(5, 5))
    assert not never.alerted and never.drifted
    assert never.summary().splitlines()[-1] == (
        f"verdict: no alert: {sum(flags)} of {len(flags)} windows checked drifted, about 0.4 expected by chance at "
        "alpha 0.05 each, never 5 of the last 5")


def test_monitor_command_persist_gate_and_notes(tmp_path):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    pd.DataFrame(hourly(12, 40, 3, drift_from=8)).to_parquet(tmp_path / "log.parquet")
    args = ["monitor", "log.parquet", "--every", "1h", "--baseline", "4h", "--min-rows", "10", "--permutations", "99",
            "--fail-on-drift"]
    assert run(*args, "--persist", "3/4", cwd=tmp_path).returncode == 1
    out = run(*args, "--persist", "5/5", cwd=tmp_path)
    assert out.returncode == 0  # drifted windows, but never five in a row: no alert, no failure
    assert ("morvanta: note: each window is tested at alpha 0.05: over 8 windows checked, about 0.4 drift by "
            "chance; an alert needs 5 drifted windows among the last 5 checked") in out.stderr.replace(
        " when nothing changed", "")
    assert "fewer than 4 times" not in out.stderr  # four hours of baseline for one-hour windows
    bad = run(*args, "--persist", "4/3", cwd=tmp_path)
    assert bad.returncode == 2 and bad.stderr == (
        "morvanta: error: argument --persist: expected K/N with 1 <= K <= N (alert when K of the last N windows "
        "drifted), got '4/3' (see 'morvanta monitor --help')\n")


def test_monitor_html_names_drifted_windows_by_date_on_a_log_axis():
    pytest.importorskip("jinja2")
    pytest.importorskip("matplotlib")
    m = morvanta.monitor(hourly(10, 40, 6, drift_from=7), every="1h", baseline="3h", min_rows=10, n_permutations=99)
    page = m.to_html()
    dates = [f"2023-11-14 0{h}:00" for h in (7, 8, 9)]
    assert all(w.result.dimension("data").drifted == (w.start >= T0 + 7 * 3600) for w in m.checked)
    banner = page.split('role="status">')[1].split("</p>")[0]
    assert "windows checked drifted (at alpha 0.05 each, about 0.35 of the 7 would drift by chance): " in banner
    assert all(d in banner for d in dates)
    assert f"drifted windows marked with large crosses ({', '.join(dates)})" in page  # the data chart's caption
    assert "logarithmic axis" in page and "(log scale)" in page


def test_reliability_diagram_labels_each_bin_with_its_count():
    pytest.importorskip("jinja2")
    pytest.importorskip("matplotlib")
    r = morvanta.check(window(300, 1), window(200, 2, shift=0.5), n_permutations=99)
    bins = r.breakdowns["confidence"].bins
    page = r.to_html()
    base = ", ".join(f"{b.baseline_count:,}" for b in bins if b.baseline_count > 0)
    cur = ", ".join(f"{b.current_count:,}" for b in bins if b.current_count > 0)
    assert f"baseline requests per bin: {base}; current requests per bin: {cur}." in page
    # The counts are drawn beside the points too, as text of the figure.
    figure = next(s for s in page.split("<figure") if "Reliability diagram" in s)
    drawn = [int(t.replace(",", "")) for t in re.findall(r">\s*([0-9][0-9,]*)\s*</text>", figure)]
    assert drawn == [b.baseline_count for b in bins if b.baseline_count] + [
        b.current_count for b in bins if b.current_count]

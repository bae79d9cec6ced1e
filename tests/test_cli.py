"""The morvanta command line, run as `python -m morvanta` in a subprocess."""

from __future__ import annotations

import io
import json
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from conftest import cli_env, run_cli as run

import morvanta
from morvanta import ConfidenceDrift, DataDrift, EmbeddingDrift, QueryDrift, ResponseDrift
from morvanta.cli.options import Progress

NAMES = ["age", "income", "clicks"]
ENV = cli_env()  # the morvanta under test, also from another working directory


def json_of(score: morvanta.DriftScore) -> dict:
    """What DriftReport.to_json writes for one score."""
    return json.loads(morvanta.DriftReport([score], 0, 0).to_json())["scores"][0]


def row_of(s: morvanta.DriftScore) -> list[str]:
    """The table row printed for one score."""
    return [s.dimension, f"{s.score:.6f}", f"{s.threshold:.6f}", "yes" if s.exceeded else "no", s.method]


def write_csv(path: Path, arr: np.ndarray, header: list[str], sep: str = ",") -> None:
    path.write_text("\n".join([sep.join(header), *(sep.join(repr(float(v)) for v in row) for row in arr)]) + "\n")


@pytest.fixture(scope="module")
def inputs(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, dict]:
    """A directory of input files and the arrays they hold."""
    d = tmp_path_factory.mktemp("inputs")
    rng = np.random.default_rng(42)
    a = {
        "base": np.column_stack([rng.normal(40, 8, 300), rng.lognormal(10, 0.4, 300), rng.poisson(3, 300)]),
        "cur": np.column_stack([rng.normal(43, 8, 250), rng.lognormal(10, 0.4, 250), rng.poisson(5, 250)]),
        "emb_b": rng.normal(size=(200, 16)).astype(np.float32),
        "emb_c": (rng.normal(size=(180, 16)) + 0.3).astype(np.float32),
        "len_b": np.round(rng.lognormal(5, 0.3, 150)), "len_c": np.round(rng.lognormal(5.2, 0.3, 170)),
        "conf_b": rng.beta(8, 2, 150), "conf_c": rng.beta(5, 3, 120),
    }
    a["ok_b"] = (rng.random(150) < a["conf_b"]).tolist()
    a["ok_c"] = (rng.random(120) < a["conf_c"] - 0.2).tolist()
    base, cur, e = a["base"], a["cur"], a["emb_c"]
    for stem, table in [("base", base), ("cur", cur)]:
        write_csv(d / f"{stem}.csv", table, NAMES)
        write_csv(d / f"{stem}.tsv", table, NAMES, "\t")
    write_csv(d / "cur_reordered.csv", cur[:, [2, 0, 1]], [NAMES[2], NAMES[0], NAMES[1]])
    write_csv(d / "cur_two.csv", cur[:, :2], NAMES[:2])
    write_csv(d / "cur_renamed.csv", cur, ["age", "income", "taps"])
    arrays = {"base": base, "cur": cur, "empty_cols": np.zeros((5, 0)), "emb_b": a["emb_b"], "emb_c": e,
              "emb_c64": e.astype(np.float64), "emb_1d": e[0],
              "emb_text": np.array([["a", "b"], ["c", "d"]]), "len_c": a["len_c"],
              "conf_c": a["conf_c"], "ok_c": np.array(a["ok_c"]), "ok_short": np.ones(7, dtype=bool)}
    for stem, arr in arrays.items():
        np.save(d / f"{stem}.npy", arr)
    texts = {"cur_text.csv": "age,income,clicks\n1,2,3\n4,Paris,6\n", "empty.txt": "length\n",
             "len_b.txt": "length\n" + "\n".join(str(int(v)) for v in a["len_b"]) + "\n\n",
             "len_bad.txt": "1\n2\nmany\n", "conf_b.csv": "\n".join(repr(float(v)) for v in a["conf_b"]),
             "ok_b.txt": "correct\n" + "\n".join("true" if v else "false" for v in a["ok_b"])}
    for name, text in texts.items():
        (d / name).write_text(text)
    (d / "broken.npy").write_bytes(b"\x93NUMPY garbage")
    # Inputs the command line must explain rather than score.
    (d / "header_only.csv").write_text("age,income,clicks\n")
    (d / "unnamed_first.csv").write_text(",age,income,clicks\n7,1,2,3\n9,4,5,6\n")
    nan_rows = e.copy()
    nan_rows[[4, 9]] = np.nan
    np.save(d / "emb_nan.npy", np.full((30, 16), np.nan, np.float32))
    np.save(d / "emb_nan_rows.npy", nan_rows)
    np.save(d / "emb_one.npy", e[:1])
    np.save(d / "emb_w8.npy", e[:, :8])
    (d / "conf_bad.txt").write_text("confidence\n0.5\n0.25\n5.0\n120\n0.75\n")
    (d / "conf_nan.txt").write_text("0.5\nnan\n")
    np.save(d / "conf_bad.npy", np.array([0.1, 1.0, 0.0, -0.5]))
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq

        for stem, table in [("base", base), ("cur", cur)]:
            pq.write_table(pa.table({n: table[:, j] for j, n in enumerate(NAMES)}), d / f"{stem}.parquet")
        pq.write_table(pa.table({"age": [1.0], "city": ["Oslo"]}), d / "text.parquet")
    except ImportError:
        pass
    return d, a


def test_demo_is_reproducible_and_matches_an_in_process_run():
    from morvanta import demo

    text, first = run("demo"), run("demo", "--json")
    assert text.returncode == first.returncode == 0 and text.stderr == ""
    a = json.loads(first.stdout)
    rows = [line.split() for line in text.stdout.splitlines()]
    for name, result in zip(a, demo.run_demo()):
        assert a[name]["report"]["scores"] == [json_of(s) for s in result.scores]
        for s, d in zip(result.scores, a[name]["dimensions"]):  # one table row per detector and scenario
            assert [s.dimension, f"{s.score:.6f}", f"{s.threshold:.6f}", "yes" if d["drifted"] else "no",
                    f"{d['p_value']:.4f}", f"{d['p_adjusted']:.4f}", s.method] in rows
    # The built-in windows are made to be told apart, by p-value and by threshold alike.
    assert [d["drifted"] for d in a["stable"]["dimensions"]] == [False] * 5
    assert [d["drifted"] for d in a["drift"]["dimensions"]] == [True] * 5
    assert all(d["decided_by"] == "p-value" and d["p_adjusted"] == 5 / 1000 for d in a["drift"]["dimensions"])
    fixed = json.loads(run("demo", "--json", "--fixed-thresholds").stdout)
    assert [d["drifted"] for d in fixed["stable"]["dimensions"]] == [s["exceeded"] for s in a["stable"]["report"]["scores"]]
    assert all(d["decided_by"] == "threshold" and d["p_value"] is None for d in fixed["drift"]["dimensions"])


# ---------------------------------------------------------------- demo --logs


@pytest.fixture(scope="module")
def sample_logs(tmp_path_factory: pytest.TempPathFactory) -> tuple[Path, subprocess.CompletedProcess[str]]:
    pytest.importorskip("pyarrow")
    folder = tmp_path_factory.mktemp("logs") / "sample-logs"  # created by the command
    proc = run("demo", "--logs", str(folder))
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    return folder, proc


def test_demo_logs_hold_the_demo_traffic_bit_for_bit_in_every_format(sample_logs):
    from morvanta import demo
    from morvanta.io.log import read_log

    folder, proc = sample_logs
    listed = [line.split()[0] for line in proc.stdout.splitlines()[1:-1]]
    assert listed == ["baseline.parquet", "stable.parquet", "current.parquet", "current.csv", "current.jsonl",
                      "traffic.parquet", "baseline-days/"]
    assert proc.stdout.splitlines()[-1] == f"next: morvanta check {folder}/baseline.parquet {folder}/current.parquet"
    fields = ("features", "embeddings", "queries", "response_embeddings", "response_lengths", "confidences", "correct")
    want = {k: read_log(demo.as_log(demo.make_window(k))) for k in ("baseline", "stable", "drift")}
    for name, kind in [("baseline.parquet", "baseline"), ("stable.parquet", "stable"), ("current.parquet", "drift"),
                       ("current.csv", "drift"), ("current.jsonl", "drift")]:
        log = read_log(str(folder / name))
        assert log.n_rows == 2_000 and log.feature_names == list(demo.FEATURE_NAMES), name
        for f in fields:
            got, exp = getattr(log, f), getattr(want[kind], f)
            assert got.dtype == exp.dtype and got.tobytes() == exp.tobytes(), f"{name}: {f}"
    # So the check of the files scores what the demo scores.
    result = morvanta.check(str(folder / "baseline.parquet"), str(folder / "current.csv"), decide="threshold")
    assert [d.score.score for d in result.dimensions] == [
        s.score for s in demo.score_window(demo.make_window("baseline"), demo.make_window("drift"))]


def test_demo_logs_text_routes_and_days(sample_logs):
    import pyarrow.parquet as pq
    from scipy.stats import chi2_contingency

    from morvanta import demo

    folder, _ = sample_logs
    tables = {k: pq.read_table(folder / f"{k}.parquet").to_pydict() for k in ("baseline", "stable", "current")}
    for name, t in tables.items():
        # An answer has as many words as its length; every question is a sentence.
        assert [len(r.split()) for r in t["response"]] == [int(n) for n in t["response_length"]], name
        assert all(r.endswith((".", "?")) for r in t["response"] + t["query"]), name
        assert set(t["route"]) == set(demo.ROUTES), name
    # The route mix: the same in the stable window, shifted towards billing and search in the drifted one.
    counts = {k: [t["route"].count(r) for r in demo.ROUTES] for k, t in tables.items()}
    assert chi2_contingency([counts["baseline"], counts["stable"]]).pvalue > 0.05
    assert chi2_contingency([counts["baseline"], counts["current"]]).pvalue < 1e-20
    faq, billing, search = (c / 2_000 for c in counts["current"])
    assert faq < counts["baseline"][0] / 2_000 - 0.1 and billing > counts["baseline"][1] / 2_000
    # The new topic's questions (about the API) appear only once the traffic drifted.
    api = {k: sum("API" in q for q in t["query"]) / 2_000 for k, t in tables.items()}
    assert api["baseline"] == api["stable"] == 0 and 0.12 < api["current"] < 0.18
    # traffic.parquet: 500 requests on each of eight UTC days from 2026-03-01, in time order,
    # drifted (new topic) exactly from the seventh day on.
    traffic = pq.read_table(folder / "traffic.parquet")
    ts = traffic.column("timestamp").to_numpy().astype("datetime64[s]").astype(np.int64)
    assert traffic.schema.field("timestamp").type.tz == "UTC" and (np.diff(ts) >= 0).all()
    day = (ts - 1_772_323_200) // 86_400
    assert np.bincount(day).tolist() == [500] * 8
    queries = np.array(traffic.column("query").to_pylist(), dtype=object)
    assert [any("API" in q for q in queries[day == d]) for d in range(8)] == [False] * 6 + [True] * 2
    # baseline-days/: one file per day before, 1,000 requests each, stamped within its day.
    files = sorted((folder / "baseline-days").iterdir())
    assert [f.name for f in files] == [f"2026-02-{d}.parquet" for d in range(22, 29)]
    for f in files:
        t = pq.read_table(f)
        stamps = t.column("timestamp").to_numpy().astype("datetime64[s]").astype(np.int64)
        start = int(np.datetime64(f.stem, "s").astype(np.int64))
        assert t.num_rows == 1_000 and stamps.min() >= start and stamps.max() < start + 86_400, f.name


def test_demo_logs_refuse_to_overwrite_unless_forced_and_write_the_same_bytes(sample_logs, tmp_path):
    folder, _ = sample_logs
    before = {p: p.read_bytes() for p in folder.rglob("*") if p.is_file()}
    (folder / "notes.txt").write_text("mine")
    refused = run("demo", "--logs", str(folder))
    assert refused.returncode == 2 and refused.stdout == ""
    assert refused.stderr == (f"morvanta: error: '{folder}' already holds baseline.parquet, stable.parquet, "
                              "current.parquet, current.csv and 9 more; add --force to replace the sample logs "
                              "(other files in the folder are left alone)\n")
    (folder / "stable.parquet").write_bytes(b"stale")
    forced = run("demo", "--logs", str(folder), "--force", "--json")
    assert forced.returncode == 0, forced.stderr
    manifest = json.loads(forced.stdout)
    assert [(f["name"], f["rows"]) for f in manifest["files"]] == [
        ("baseline.parquet", 2000), ("stable.parquet", 2000), ("current.parquet", 2000), ("current.csv", 2000),
        ("current.jsonl", 2000), ("traffic.parquet", 4000), ("baseline-days/", 7000)]
    # Every run writes the same bytes; the reader's own file stays, and no temporary file is left.
    after = {p: p.read_bytes() for p in folder.rglob("*") if p.is_file()}
    assert after.pop(folder / "notes.txt") == b"mine" and after == before
    # What cannot work is refused before any work, in one line.
    (tmp_path / "file").write_text("x")
    for args, message in [
        (["--logs", str(tmp_path / "file")], f"cannot write the sample logs to '{tmp_path}/file': it is not a folder"),
        (["--logs", str(tmp_path), "--html", "r.html"],
         "--logs writes the sample logs and scores nothing, so --html has no effect; run the demo without --logs "
         "for it"),
        (["--logs", str(tmp_path), "--scenario", "drift"],
         "--logs writes the sample logs and scores nothing, so --scenario has no effect; run the demo without "
         "--logs for it"),
        (["--force"], "--force replaces sample logs, so it needs --logs DIR"),
    ]:
        proc = run("demo", *args)
        assert (proc.returncode, proc.stderr) == (2, f"morvanta: error: {message}\n"), args
    assert sorted(p.name for p in tmp_path.iterdir()) == ["file"]


def test_demo_logs_without_pyarrow_says_what_to_install(tmp_path):
    code = ("import sys; sys.modules['pyarrow'] = None; from morvanta.cli.commands import main; "
            f"sys.exit(main(['demo', '--logs', {str(tmp_path / 'out')!r}]))")
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=ENV, timeout=120)
    assert proc.returncode == 2 and proc.stderr == (
        "morvanta: error: writing the sample logs as Parquet needs pyarrow, which is not installed "
        "(pip install pyarrow)\n")
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("args, status", [
    ("demo --fail-on-drift", 1), ("demo --scenario stable --fail-on-drift", 0),
    # A data score is never negative, so 0 always counts as drift.
    ("data base.npy cur.npy --fixed-thresholds --threshold 0 --fail-on-drift", 1),
    ("data base.npy base.npy --fixed-thresholds --threshold 1e-300 --fail-on-drift", 0),
    # By default the p-value decides: identical windows never drift, whatever the threshold would say.
    ("data base.npy base.npy --fail-on-drift", 0), ("data base.npy cur.npy --fail-on-drift", 1),
])
def test_exit_status(inputs, args, status):
    assert run(*args.split(), cwd=inputs[0]).returncode == status


@pytest.mark.parametrize("fmt", ["csv", "tsv", "npy", "parquet"])
def test_data_formats_give_the_detector_scores(inputs, fmt):
    d, a = inputs
    if not (d / f"base.{fmt}").exists():
        pytest.skip("pyarrow is not installed")
    args = ["data", f"base.{fmt}", f"cur.{fmt}", "--n-bins", "6", "--threshold", "0.3", "--fixed-thresholds"]
    p = run(*args, "--json", cwd=d)
    assert p.returncode == 0, p.stderr
    doc = json.loads(p.stdout)
    assert list(doc) == ["scores", "timestamp", "sample_size_baseline", "sample_size_current", "columns", "decision"]
    assert doc["decision"] == {"decided_by": "threshold", "drifted": True}
    assert doc["scores"] == [json_of(DataDrift(0.3, 6).detect(a["base"], a["cur"]))]
    assert (doc["sample_size_baseline"], doc["sample_size_current"]) == (300, 250)
    names = NAMES if fmt != "npy" else ["0", "1", "2"]
    per_column = morvanta.data_drift_by_column(a["base"], a["cur"], threshold=0.3, n_bins=6)
    assert doc["columns"] == [
        {"name": names[c.index], "index": c.index, "score": c.score.score, "exceeded": c.score.exceeded,
         "p_adjusted": None, "drifted": c.score.exceeded, "missing_baseline": 0.0, "missing_current": 0.0}
        for c in sorted(per_column, key=lambda c: -c.score.score)
    ]
    # The text table lists the columns in the same order, worst first.
    lines = [line.split() for line in run(*args, cwd=d).stdout.splitlines()]
    assert [w[0] for w in lines if w[:1] and w[0] in names] == [c["name"] for c in doc["columns"]]


COMMANDS = [
    ("data empty_cols.npy empty_cols.npy", lambda a: DataDrift().detect(np.zeros((5, 0)), np.zeros((5, 0)))),
    # Columns are matched by name, not position.
    ("data base.csv cur_reordered.csv", lambda a: DataDrift().detect(a["base"], a["cur"])),
    ("embedding emb_b.npy emb_c.npy --threshold 0.07 --n-projections 16 --seed 3",
     lambda a: EmbeddingDrift(0.07, 16, 3).detect(a["emb_b"], a["emb_c"])),
    ("embedding emb_b.npy emb_c64.npy --cast", lambda a: EmbeddingDrift().detect(a["emb_b"], a["emb_c"])),
    ("query emb_b.npy emb_c.npy --k 4 --seed 11 --threshold 0.5",
     lambda a: QueryDrift(0.5, 4, 11).detect(a["emb_b"], a["emb_c"])),
    ("response len_b.txt len_c.npy --threshold 0.25", lambda a: ResponseDrift(0.25).detect(a["len_b"], a["len_c"])),
    ("response len_b.txt len_c.npy --seed 8 --baseline-embeddings emb_b.npy --current-embeddings emb_c.npy",
     lambda a: ResponseDrift(seed=8).detect_with_embeddings(a["len_b"], a["len_c"], a["emb_b"], a["emb_c"])),
    ("confidence conf_b.csv conf_c.npy --threshold 0.1",
     lambda a: ConfidenceDrift(0.1).detect(a["conf_b"], a["conf_c"])),
    ("confidence conf_b.csv conf_c.npy --n-calib-bins 5 --baseline-correct ok_b.txt --current-correct ok_c.npy",
     lambda a: ConfidenceDrift(n_calib_bins=5).detect_with_correctness(a["conf_b"], a["ok_b"], a["conf_c"], a["ok_c"])),
]


@pytest.mark.parametrize("args, reference", COMMANDS, ids=[a for a, _ in COMMANDS])
def test_commands_report_the_detector_score(inputs, args, reference):
    # With --fixed-thresholds the threshold decides, as the detector's own "exceeded" says.
    (d, a), args = inputs, [*args.split(), "--fixed-thresholds"]
    expect = reference(a)
    p = run(*args, "--json", cwd=d)
    assert p.returncode == 0, p.stderr
    assert json.loads(p.stdout)["scores"] == [json_of(expect)]
    assert row_of(expect) in [line.split() for line in run(*args, cwd=d).stdout.splitlines()]
    assert run(*args, "--fail-on-drift", cwd=d).returncode == (1 if expect.exceeded else 0)


P_COMMANDS = [
    ("data base.csv cur.csv", lambda a: (DataDrift().detect, a["base"], a["cur"])),
    ("embedding emb_b.npy emb_c.npy --n-projections 16 --seed 3",
     lambda a: (EmbeddingDrift(n_projections=16, seed=3).detect, a["emb_b"], a["emb_c"])),
    ("query emb_b.npy emb_c.npy --k 4 --seed 11", lambda a: (QueryDrift(k=4, seed=11).detect, a["emb_b"], a["emb_c"])),
    ("response len_b.txt len_c.npy --baseline-embeddings emb_b.npy --current-embeddings emb_c.npy",
     lambda a: (ResponseDrift().detect_with_embeddings, (a["len_b"], a["emb_b"]), (a["len_c"], a["emb_c"]))),
    ("confidence conf_b.csv conf_c.npy --baseline-correct ok_b.txt --current-correct ok_c.npy",
     lambda a: (ConfidenceDrift().detect_with_correctness, (a["conf_b"], a["ok_b"]), (a["conf_c"], a["ok_c"]))),
]


@pytest.mark.parametrize("args, call", P_COMMANDS, ids=[a for a, _ in P_COMMANDS])
def test_commands_decide_by_the_p_value_of_the_library_test(inputs, args, call):
    from morvanta.pipeline.decide import run_test

    (d, a), args = inputs, args.split()
    method, base, cur = call(a)
    p = run(*args, "--json", "--permutations", "199", "--permutation-seed", "4", cwd=d)
    assert p.returncode == 0, p.stderr
    decision = json.loads(p.stdout)["decision"]
    test = run_test(method, base, cur, n_permutations=199, seed=4, exact=False)
    assert (decision["decided_by"], decision["p_value"], decision["n_permutations"], decision["seed"]) == (
        "p-value", test.p_value, 199, 4)
    assert decision["drifted"] == (test.p_value <= 0.05)
    assert [x["name"] for x in decision["parts"]] == [x.name for x in test.parts]
    # The text shows the p-value beside the score; identical windows never drift.
    text = run(*args, "--permutations", "199", "--permutation-seed", "4", cwd=d).stdout
    assert f"verdict: DRIFT (p = {test.p_value:.4f} <= alpha 0.05)" in text
    same = [args[0], args[1], args[1], *args[3:]]
    if "--current-embeddings" in same:
        same[same.index("--current-embeddings") + 1] = same[same.index("--baseline-embeddings") + 1]
    if "--current-correct" in same:
        same[same.index("--current-correct") + 1] = same[same.index("--baseline-correct") + 1]
    assert run(*same, "--fail-on-drift", cwd=d).returncode == 0


def test_single_commands_refuse_settings_the_decision_would_ignore(inputs):
    d = inputs[0]
    cases = [
        ("data base.npy cur.npy --threshold 0.3", "--threshold sets a fixed threshold, but the p-value decides by "
         "default; add --fixed-thresholds to decide by it"),
        ("data base.npy cur.npy --fixed-thresholds --alpha 0.01",
         "--alpha needs p-value decisions, which --fixed-thresholds replaces"),
        ("embedding emb_b.npy emb_c.npy --fixed-thresholds --exact",
         "--exact needs p-value decisions, which --fixed-thresholds replaces"),
        ("query emb_b.npy emb_c.npy --permutations 5 --alpha 0.01",
         "argument --permutations: 5 permutations cannot reach alpha 0.01 over 1 dimension: the smallest "
         "Holm-adjusted p-value is 1/(5 + 1) = 0.1667; use at least 99 (the default, 999, leaves headroom)"),
    ]
    for args, line in cases:
        p = run(*args.split(), cwd=d)
        assert (p.returncode, p.stdout, p.stderr) == (2, "", f"morvanta: error: {line}\n"), args
    # --exact runs every permutation; the default may stop early on a clearly large p-value.
    exact = json.loads(run("data", "base.npy", "base.npy", "--json", "--exact", cwd=d).stdout)["decision"]
    quick = json.loads(run("data", "base.npy", "base.npy", "--json", cwd=d).stdout)["decision"]
    assert exact["permutations_run"] == 999 and not exact["stopped"]
    assert quick["stopped"] and quick["permutations_run"] < 999 and quick["p_value"] > 0.5


# A message ending in "$" is the whole line; otherwise its start.
ERRORS = [
    ("data missing.csv cur.csv", "cannot read 'missing.csv': No such file or directory$"),
    ("data base.csv len_b.txt", "'len_b.txt': unsupported file type"),
    ("data base.csv cur_text.csv", "'cur_text.csv' column 'income' line 3: expected a number, got 'Paris'$"),
    ("data base.csv cur_two.csv",
     "'base.csv' and 'cur_two.csv': dimension mismatch: expected 3, got 2 (DataDriftDetector::detect)$"),
    ("data base.csv cur_renamed.csv",
     "'base.csv' and 'cur_renamed.csv': column names differ: only in baseline ['clicks'], only in current ['taps']$"),
    ("data base.npy emb_text.npy", "'emb_text.npy' holds <U1 values, not numbers$"),
    ("data base.npy broken.npy", "cannot read 'broken.npy' as a .npy file"),
    ("data text.parquet text.parquet", "'text.parquet' column 'city' row 1: expected a number, got 'Oslo'$"),
    ("embedding emb_b.npy emb_c64.npy",
     "'emb_c64.npy' holds float64 embeddings; the detectors take float32 (pass --cast to convert it to float32)$"),
    ("embedding emb_b.npy emb_1d.npy", "'emb_1d.npy' holds a 1-D array"),
    ("embedding base.csv emb_c.npy", "'base.csv': embeddings are read from .npy files"),
    ("query emb_b.npy emb_text.npy", "'emb_text.npy' holds <U1 embeddings; the detectors take float32$"),
    ("response empty.txt len_c.npy", "'empty.txt' has no lengths; a window needs at least one$"),
    ("response len_bad.txt len_c.npy", "'len_bad.txt' line 3: not a number: 'many'$"),
    ("response len_b.txt len_c.npy --baseline-embeddings emb_b.npy",
     "--baseline-embeddings and --current-embeddings must be given together$"),
    ("confidence conf_b.csv conf_c.npy --baseline-correct ok_b.txt --current-correct ok_short.npy",
     "'ok_short.npy' holds 7 flags for the 120 confidences of 'conf_c.npy'$"),
    ("confidence conf_b.csv conf_c.npy --baseline-correct conf_c.npy --current-correct ok_c.npy",
     "'conf_c.npy' holds float64 values; correctness flags are booleans (or 0/1)$"),
    # Each error about an input names its file.
    ("data header_only.csv cur.csv", "'header_only.csv' has no data rows; a window needs at least one$"),
    ("data unnamed_first.csv cur.csv", "'unnamed_first.csv': the unnamed first column is not a row index 0..n-1; "
     "name it in the header, or write the file without the index (pandas: index=False)$"),
    ("embedding emb_b.npy emb_nan.npy", "'emb_nan.npy' (NaN or infinity in 30 of 30 rows, first at index 0): "
     "numerical instability in mmd_rbf (NaN or infinity)$"),
    ("embedding emb_nan_rows.npy emb_b.npy", "'emb_nan_rows.npy' (NaN or infinity in 2 of 180 rows, first at index 4): "
     "numerical instability in mmd_rbf (NaN or infinity)$"),
    ("embedding emb_b.npy emb_one.npy", "'emb_one.npy': insufficient samples: need at least 2, got 1 (mmd_rbf)$"),
    ("embedding emb_b.npy emb_w8.npy",
     "'emb_b.npy' and 'emb_w8.npy': dimension mismatch: expected 16, got 8 (mmd_rbf)$"),
    ("query emb_one.npy emb_c.npy --k 2", "'emb_one.npy': invalid configuration: kmeans: k=2 exceeds sample count n=1$"),
    ("response len_b.txt len_c.npy --baseline-embeddings emb_b.npy --current-embeddings emb_w8.npy",
     "'emb_b.npy' and 'emb_w8.npy': dimension mismatch: expected 16, got 8 (sliced_wasserstein)$"),
    # An error about a setting names no file.
    ("query emb_b.npy emb_c.npy --k 0", "invalid configuration: kmeans: k must be > 0$"),
    ("embedding emb_b.npy emb_c.npy --n-projections 0",
     "invalid configuration: sliced_wasserstein: n_projections must be > 0$"),
    ("confidence empty.txt conf_c.npy", "'empty.txt' has no confidences; a window needs at least one$"),
    # Confidences are probabilities: the first value outside [0, 1] is named by line or index.
    ("confidence conf_bad.txt conf_c.npy", "'conf_bad.txt' line 4: confidence 5.0 is outside [0, 1] (and 1 more)$"),
    ("confidence conf_c.npy conf_bad.npy", "'conf_bad.npy' index 3: confidence -0.5 is outside [0, 1]$"),
    ("confidence conf_nan.txt conf_c.npy", "'conf_nan.txt' line 2: confidence nan is outside [0, 1]$"),
    # A negative threshold reports identical windows as drift, NaN never reports any.
    *[(f"{cmd} --threshold {t}", f"argument --threshold: expected a finite number >= 0, got '{t}' "
       f"(see 'morvanta {cmd.split()[0]} --help')$")
      for cmd, t in (("data base.csv base.csv", "-1"), ("response len_b.txt len_b.txt", "nan"))],
]


@pytest.mark.parametrize("args, message", ERRORS, ids=[a for a, _ in ERRORS])
def test_bad_input_is_one_error_line_with_status_2(inputs, args, message):
    args = args.split()
    if args[1].endswith(".parquet") and not (inputs[0] / args[1]).exists():
        pytest.skip("pyarrow is not installed")
    p = run(*args, cwd=inputs[0])
    assert (p.returncode, p.stdout) == (2, "")
    assert "Traceback" not in p.stderr and len(p.stderr.splitlines()) == 1, p.stderr
    line = p.stderr.rstrip("\n")
    if message.endswith("$"):
        assert line == "morvanta: error: " + message[:-1]
    else:
        assert line.startswith("morvanta: error: " + message), line


def write_frame(frame, path: Path) -> None:
    if path.suffix == ".parquet":
        frame.to_parquet(path)
    else:
        frame.to_csv(path, sep="\t" if path.suffix == ".tsv" else ",")  # index included, as by default


@pytest.mark.parametrize("suffix", [".csv", ".tsv", ".parquet"])
def test_a_pandas_row_index_is_dropped_with_a_notice(inputs, tmp_path, suffix):
    pd = pytest.importorskip("pandas")
    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    a = inputs[1]
    base, cur = pd.DataFrame(a["base"], columns=NAMES), pd.DataFrame(a["cur"], columns=NAMES)
    # A default RangeIndex goes into Parquet as metadata only; an explicit one becomes a column.
    base.index, cur.index = pd.Index(list(range(len(base)))), pd.Index(list(range(len(cur))))
    write_frame(base, tmp_path / f"b{suffix}")
    write_frame(cur, tmp_path / f"c{suffix}")
    p = run("data", f"b{suffix}", f"c{suffix}", "--json", cwd=tmp_path)
    assert p.returncode == 0, p.stderr
    doc = json.loads(p.stdout)
    assert doc["scores"] == [json_of(DataDrift().detect(a["base"], a["cur"]))]
    assert sorted(c["name"] for c in doc["columns"]) == sorted(NAMES)  # the index is no feature
    notes = [
        f"morvanta: note: '{name}': dropped the unnamed first column, a row index 0..{n - 1} as pandas writes it "
        "(index=False leaves it out)"
        for name, n in [(f"b{suffix}", 300), (f"c{suffix}", 250)]
    ]
    if suffix == ".parquet":  # stored after the data, named in pandas' metadata
        notes = [f"morvanta: note: '{name}': dropped the pandas index column '__index_level_0__' "
                 "(index=False leaves it out)" for name in ("b.parquet", "c.parquet")]
    assert p.stderr.splitlines() == notes


def test_missing_cells_are_counted_per_column_and_window(inputs, tmp_path):
    a = inputs[1]
    base, cur = a["base"].copy(), a["cur"].copy()
    base[[3, 50, 51], 1] = np.nan  # income: 3 of 300 missing in the baseline
    cur[::5, 2] = np.nan  # clicks: 50 of 250 missing in the current window
    lines = ["age,income,clicks"] + [",".join("" if np.isnan(v) else repr(float(v)) for v in row) for row in base]
    (tmp_path / "b.csv").write_text("\n".join(lines) + "\n")  # empty cells
    write_csv(tmp_path / "c.csv", cur, NAMES)  # "nan" cells
    p = run("data", "b.csv", "c.csv", "--json", cwd=tmp_path)
    assert p.returncode == 0, p.stderr
    doc = json.loads(p.stdout)
    assert doc["scores"] == [json_of(DataDrift().detect(base, cur))]
    # Missing cells move with their rows under permutation: clicks' 20 % is a drift of its own.
    assert {c["name"]: c["drifted"] for c in doc["columns"]}["clicks"]
    shares = {c["name"]: (c["missing_baseline"], c["missing_current"]) for c in doc["columns"]}
    assert shares == {"age": (0.0, 0.0), "income": (3 / 300, 0.0), "clicks": (0.0, 50 / 250)}
    table = run("data", "b.csv", "c.csv", "--fixed-thresholds", cwd=tmp_path).stdout.splitlines()
    header = next(line for line in table if line.startswith("column"))
    assert header.split("  ")[-2:] == ["missing (baseline)", "missing (current)"]
    rows = {line.split()[0]: line.split()[3:] for line in table[table.index(header) + 1:] if line.strip()
            and not line.startswith("verdict")}
    assert rows == {"age": ["0", "0"], "income": ["3", "(1%)", "0"], "clicks": ["0", "50", "(20%)"]}


class Fault(BaseException):
    """Stands in for the native module's internal fault: not an Exception."""


@pytest.mark.parametrize("raised, status, line", [
    (MemoryError("cannot allocate 8 GB for 'directions'"), 2,
     "morvanta: error: out of memory: cannot allocate 8 GB for 'directions'"),
    (MemoryError(), 2, "morvanta: error: out of memory"),
    (morvanta._native.InternalError("violated invariant"), 2,
     "morvanta: error: internal error (InternalError): violated invariant"),
    (Fault("x"), 2, "morvanta: error: internal error (Fault): x"),
    (ZeroDivisionError("float division by zero"), 2,
     "morvanta: error: internal error (ZeroDivisionError): float division by zero"),
    (KeyboardInterrupt(), 130, ""),  # only ends the line the terminal's ^C left open
])
def test_a_check_that_did_not_finish_never_exits_0_or_1(monkeypatch, capsys, raised, status, line):
    from morvanta.cli import commands as cli

    def fail(args, progress):
        raise raised

    monkeypatch.setattr(cli, "_run_demo", fail)
    assert cli.main(["demo", "--fail-on-drift"]) == status
    out, err = capsys.readouterr()
    assert (out, err) == ("", line + "\n")


def test_fault_status_from_the_installed_entry_point_and_a_closed_pipe(inputs):
    code = ("import sys, morvanta.cli.commands as c\n"
            "def fail(args, progress): raise MemoryError('cannot allocate 2**62 directions')\n"
            "c._run_embedding = fail\nsys.exit(c.main(sys.argv[1:]))\n")
    p = subprocess.run([sys.executable, "-c", code, "embedding", "emb_b.npy", "emb_c.npy", "--fail-on-drift"],
                       capture_output=True, text=True, cwd=inputs[0], env=ENV, timeout=120)
    assert (p.returncode, p.stdout, p.stderr) == (2, "", "morvanta: error: out of memory: cannot allocate 2**62 directions\n")
    # The reader of stdout goes away before the result is written.
    proc = subprocess.Popen([sys.executable, "-m", "morvanta", "demo"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=ENV)
    proc.stdout.close()
    err = proc.stderr.read()
    assert proc.wait(timeout=120) == 2
    assert err == "morvanta: error: the output was closed before the result was written\n"


@pytest.mark.parametrize("args", [["--help"], ["data", "--help"], ["confidence", "--help"]])
def test_help_documents_the_exit_statuses(args):
    p = run(*args)
    assert p.returncode == 0
    statuses = [line.split()[0] for line in p.stdout.split("exit status:\n")[1].splitlines()]
    assert statuses == ["0", "1", "2", "130"]


def test_progress_only_on_a_terminal_and_only_for_slow_steps():
    tty, pipe = type("Tty", (io.StringIO,), {"isatty": lambda self: True})(), io.StringIO()
    for stream in (tty, pipe):
        progress = Progress(stream, delay=0.05, interval=0.02)
        with progress.step("fast"):
            pass
        with progress.step("loading big.csv"):
            time.sleep(0.3)
    text = tty.getvalue()
    assert pipe.getvalue() == "" and "fast" not in text and text.startswith("\rmorvanta: loading big.csv ... ")
    assert text.endswith("done in 0.3s\n") and text.count("\n") == 1


def test_embedding_counter_and_step_ticker_share_the_progress_line_without_overwriting():
    import re
    import threading

    from morvanta.cli.pipeline import _embedding_counter
    from morvanta.engines.text import embed_texts

    class Model:  # counts as a real model does: before the first batch and after each
        def embed(self, texts, progress):
            for done in range(0, len(texts) + 1, 2):
                progress(done, len(texts))
                time.sleep(0.06)
            return np.zeros((len(texts), 2), np.float32)

    tty = type("Tty", (io.StringIO,), {"isatty": lambda self: True})()
    writes = []  # (thread, text) of every write, to see who drew while the counter ran
    real = tty.write
    tty.write = lambda text: (writes.append((threading.current_thread().name, text)), real(text))[1]
    progress = Progress(tty, delay=0.02, interval=0.01)
    with progress.step("checking"), _embedding_counter(progress):
        time.sleep(0.1)  # the ticker draws first
        embed_texts(Model(), ["q"] * 8, "query")
        time.sleep(0.1)  # and again once the texts are embedded
    first = next(i for i, (_, t) in enumerate(writes) if "embedding" in t)
    last = max(i for i, (_, t) in enumerate(writes) if "embedding" in t)
    assert all(name != "morvanta-progress" for name, _ in writes[first:last + 1])  # the ticker paused
    lines = [seg.split("\r")[-1] for seg in tty.getvalue().split("\n")]
    # The count overwrote the ticker's line (padded to clear it) and stays; the ticker resumed below it.
    assert lines[0].rstrip() == "morvanta: embedding 8/8 texts" and lines[2] == ""
    assert re.fullmatch(r"morvanta: checking \.\.\. done in 0\.\ds", lines[1])
    assert "\rmorvanta: checking ... 0s" in tty.getvalue().split("embedding")[-1]
    # Off a terminal nothing is drawn, and outside the command the default bar is back.
    pipe = io.StringIO()
    quiet = Progress(pipe)
    with quiet.step("checking"), _embedding_counter(quiet):
        embed_texts(Model(), ["q"] * 4, "query")
    from morvanta.engines.text import progress_maker

    assert pipe.getvalue() == "" and progress_maker.get() is None


@pytest.mark.parametrize("module", ["morvanta", "morvanta.cli", "morvanta.demo", "morvanta.io.files",
                                    "morvanta.engines.columns", "morvanta.pipeline.check", "morvanta.embed"])
def test_import_loads_no_numpy_frame_or_embedding_library(module):
    heavy = ("numpy", "pandas", "polars", "pyarrow", "onnxruntime", "tokenizers", "torch")
    code = f"import sys, {module}; print([m for m in {heavy!r} if m in sys.modules])"
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=ENV)
    assert (p.returncode, p.stdout.strip()) == (0, "[]"), p.stderr


# ------------------------------------------------------------------ morvanta baseline


def test_baseline_command_fits_partitions_into_one_file_and_says_what_it_kept(tmp_path):
    from conftest import traffic_frame, write_parquet

    frame = traffic_frame(500, seed=2)
    (tmp_path / "logs").mkdir()
    for i in range(0, 500, 250):
        write_parquet(frame.iloc[i:i + 250], tmp_path / "logs" / f"day-{i}.parquet", 2)
    a = run("baseline", str(tmp_path / "logs" / "day-*.parquet"), "--out", str(tmp_path / "a.npz"))
    assert a.returncode == 0, a.stderr
    assert a.stdout.splitlines() == [
        "fitted a baseline from 500 requests in 2 files",
        "  dimensions:  data, embedding, response, confidence",
        "  rows:        every row, nothing sampled",
        a.stdout.splitlines()[3],
        f"  written to:  {tmp_path / 'a.npz'}"]
    assert a.stdout.splitlines()[3].endswith("(the latest timestamp)")
    # The same rows as one file: the same bytes. A small budget samples, and says so.
    one = write_parquet(frame, tmp_path / "one.parquet", 3)
    b = run("baseline", one, "--out", str(tmp_path / "b.npz"))
    assert b.returncode == 0 and (tmp_path / "a.npz").read_bytes() == (tmp_path / "b.npz").read_bytes()
    c = run("baseline", str(tmp_path / "logs"), "--out", str(tmp_path / "c.json"), "--budget", "1",
            "--sample-seed", "3", "--captured-at", "1767225600", "--json")
    rec = json.loads(c.stdout)
    assert rec["rows_seen"] == 500 and rec["seed"] == 3 and rec["captured_at"] == 1767225600
    assert rec["captured_from"] == "--captured-at" and not rec["sampled"]  # 1 MiB holds 500 rows
    base = morvanta.Baseline.load(tmp_path / "c.json")
    assert base.captured_at == 1767225600 and base.sample["seed"] == 3
    # Errors: one line each, naming the file or the option.
    for args, msg in (
        (("nothing-*.parquet", "--out", str(tmp_path / "x.npz")), "no file matches the pattern"),
        ((one, "--out", str(tmp_path / "x.txt")), "--out"),
        ((one, "--out", one.replace(".parquet", ".npz"), "--budget", "0"), "--budget"),
        ((one, "--out", str(tmp_path / "missing" / "x.npz")), "does not exist"),
    ):
        r = run("baseline", *args, cwd=tmp_path)
        assert r.returncode == 2 and msg in r.stderr and r.stderr.count("\n") == 1, (args, r.stderr)

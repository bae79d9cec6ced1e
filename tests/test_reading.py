"""The reader stack: one cell read the same way from CSV/TSV, JSON Lines, Parquet,
Arrow, pandas, polars, dicts and Dask partitions, and the rules every entry point
(read_log, check, monitor, check_groups, the command line) applies to a log."""

from __future__ import annotations

import json
import re
import subprocess
import time
from datetime import datetime, timezone
from pathlib import Path

import numpy as np
import pytest

from conftest import bits, run_cli as run

import morvanta
from morvanta import DataDrift
from morvanta.io.log import LogColumns, LogError, load_config, match_logs, read_log
from morvanta.io.timestamps import HIGH, LOW

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

T0 = 1_700_000_000.0



def refused(call, text: str) -> None:
    """call() raises LogError with exactly this one-line message."""
    with pytest.raises(LogError) as info:
        call()
    assert str(info.value) == text


def cli_error(out: subprocess.CompletedProcess[str]) -> str:
    assert (out.returncode, out.stdout) == (2, ""), out.stderr
    assert out.stderr.count("\n") == 1 and "Traceback" not in out.stderr and "internal error" not in out.stderr
    return out.stderr.removeprefix("morvanta: error: ").rstrip("\n")


def frame(n: int, seed: int, shift: float = 0.0):
    rng = np.random.default_rng(seed)
    return pd.DataFrame({
        "timestamp": T0 + np.sort(rng.uniform(0, 86400, n)),
        "query_embedding": list((rng.normal(size=(n, 6)) + shift).astype(np.float32)),
        "response": [" ".join(["w"] * k) for k in rng.integers(1, 20, n)],
        "confidence": rng.beta(8, 2, n),
        "correct": rng.random(n) < 0.8,
        "latency_ms": rng.gamma(4.0, 80.0 * (1 + shift), n),
        "tokens": rng.poisson(18, n).astype(np.int64),
        "cached": rng.random(n) < 0.3,
    })


def write(f, path: Path) -> Path:
    """``f`` as the file ``path`` names: embeddings as JSON lists in text files."""
    if path.suffix == ".parquet":
        f.to_parquet(path, index=False)
    elif path.suffix in (".csv", ".tsv"):
        c = f.copy()
        c["query_embedding"] = [json.dumps(v.tolist()) for v in f["query_embedding"]]
        c.to_csv(path, index=False, sep="\t" if path.suffix == ".tsv" else ",")
    else:
        rows = f.assign(query_embedding=[v.tolist() for v in f["query_embedding"]]).to_dict("records")
        path.write_text("".join(json.dumps(r) + "\n" for r in rows))
    return path


# ------------------------------------------------------------------ one cell, one reading


def test_every_source_reads_the_same_log(tmp_path):
    pl = pytest.importorskip("polars")
    f = frame(120, 1)
    f.loc[[3, 40], "latency_ms"] = np.nan  # missing cells: empty in CSV, null in JSON
    ref = read_log(f)
    assert ref.feature_names == ["latency_ms", "tokens", "cached"]
    assert dict(ref.roles) == {"query_embedding": "query_embedding", "response": "response",
                               "confidence": "confidence", "correct": "correct", "timestamp": "timestamp"}
    assert {k: v.kind for k, v in ref.kinds.items()} == {
        "timestamp": "number", "query_embedding": "vector", "response": "text", "confidence": "number",
        "correct": "flag", "latency_ms": "number", "tokens": "number", "cached": "flag"}
    sources = [write(f, tmp_path / f"log{s}") for s in (".csv", ".tsv", ".jsonl", ".parquet")]
    sources += [pl.from_pandas(f), pa.Table.from_pandas(f, preserve_index=False),
                {c: (np.stack(f[c].to_numpy()) if c == "query_embedding" else f[c].to_numpy()) for c in f.columns}]
    for source in sources:
        got = read_log(source)
        for attr in ("features", "queries", "response_lengths", "confidences", "correct", "timestamps"):
            a, b = getattr(got, attr), getattr(ref, attr)
            assert a.dtype == b.dtype and np.array_equal(a, b, equal_nan=True), (source, attr)
        assert got.feature_names == ref.feature_names and dict(got.roles) == dict(ref.roles)
    # The data command's table loader reads the same cells as the log reader.
    numbers = f[["latency_ms", "tokens", "cached"]]
    numbers.to_csv(tmp_path / "t.csv", index=False)
    numbers.to_parquet(tmp_path / "t.parquet", index=False)
    from morvanta.io.files import load_table

    for p in ("t.csv", "t.parquet"):
        table, names = load_table(str(tmp_path / p))
        assert names == ref.feature_names and np.array_equal(table, ref.features, equal_nan=True)
    # A header naming one column twice would leave one of them unread: refused.
    (tmp_path / "twice.csv").write_text("x,y,x\n1,2,3\n")
    refused(lambda: read_log(tmp_path / "twice.csv"),
            f"'{tmp_path / 'twice.csv'}' column 'x': appears twice; column names must be unique")


def test_check_groups_reads_a_group_as_check_reads_a_log():
    pytest.importorskip("dask")
    from morvanta.dask import check_groups

    base, cur = frame(150, 2), frame(90, 3, shift=0.5)
    got = check_groups(base, cur.assign(tenant="a"), by="tenant", min_rows=1, length="words")
    want = morvanta.check(base, cur, columns=LogColumns(length="words"))
    scores = {d.dimension: d.score for d in want.dimensions}
    assert list(got.dimension) == ["data", "embedding", "response", "confidence", "query"]
    for row in got.itertuples():
        assert (row.status, bits(row.score), row.method) == ("ok", bits(scores[row.dimension].score),
                                                             scores[row.dimension].method), row.dimension


def test_flags_and_answers_in_every_spelling(tmp_path):
    # Flags: booleans, 0/1, or words (in any case); answers: the text as written, digits included.
    want = [True, False, True, False]
    (tmp_path / "log.csv").write_text("correct,response\nyes,42\nNo,7\n1,1969\nfalse,3\n")
    (tmp_path / "log.jsonl").write_text('{"correct": true, "response": "42"}\n{"correct": false, "response": "7"}\n'
                                        '{"correct": 1, "response": "1969"}\n{"correct": 0, "response": "3"}\n')
    (tmp_path / "words.jsonl").write_text("".join(json.dumps({"correct": w, "response": r}) + "\n" for w, r in
                                                  [("yes", "42"), ("No", "7"), ("1", "1969"), ("false", "3")]))
    for source in (tmp_path / "log.csv", tmp_path / "log.jsonl", tmp_path / "words.jsonl",
                   pd.DataFrame({"correct": ["y", "n", "TRUE", "f"], "response": ["42", "7", "1969", "3"]}),
                   {"correct": np.array([1, 0, 1, 0]), "response": np.array(["42", "7", "1969", "3"])}):
        log = read_log(source)
        assert log.correct.tolist() == want and log.response_lengths.tolist() == [2.0, 1.0, 4.0, 1.0], source
    assert read_log(tmp_path / "log.csv").kinds["correct"].kind == "flag"


def test_logs_read_on_many_threads_match_one_read(tmp_path):
    from conftest import concurrently

    f = frame(200, 4)
    paths = [write(f, tmp_path / f"log{s}") for s in (".csv", ".jsonl", ".parquet")]
    ref = read_log(f)
    for results in concurrently(*[lambda p=p: read_log(p) for p in paths], reps=2):
        for got in results:
            assert np.array_equal(got.features, ref.features) and np.array_equal(got.queries, ref.queries)


# ------------------------------------------------------------------ a pandas row index


def test_a_pandas_row_index_is_dropped_with_a_note_never_a_feature(tmp_path):
    pytest.importorskip("dask")
    from morvanta.dask import check_groups

    f = frame(400, 5)[["latency_ms", "tokens", "confidence"]]
    f.iloc[:200].to_csv(tmp_path / "a.csv")  # index 0..199
    f.iloc[200:].to_csv(tmp_path / "b.csv")  # a slice keeps its labels: 200..399
    f.iloc[200:].to_csv(tmp_path / "b.tsv", sep="\t")
    f.iloc[200:].set_axis(list(range(200)), axis=0).to_parquet(tmp_path / "b.parquet")
    whole = pd.read_csv(tmp_path / "a.csv")  # the index comes back as "Unnamed: 0"
    assert list(whole.columns) == ["Unnamed: 0", "latency_ms", "tokens", "confidence"]
    x = f[["latency_ms", "tokens"]].to_numpy()
    expected = DataDrift().detect(x[:200], x[200:]).score
    for cur in ("b.csv", "b.tsv", "b.parquet"):
        r = morvanta.check(tmp_path / "a.csv", tmp_path / cur)
        assert r.dimension("data").score.score == expected and r.current_log.feature_names == ["latency_ms", "tokens"]
        note = ("dropped the pandas index column '__index_level_0__'" if cur.endswith("parquet") else
                "dropped the unnamed first column, a row index 200..399 as pandas writes it")
        assert f"current: {note} (index=False leaves it out)" in r.notes
    log = read_log(whole)
    assert log.feature_names == ["latency_ms", "tokens"] and log.notes == (
        "dropped the unnamed first column, a row index 0..199 as pandas writes it (index=False leaves it out)",)
    # Arrow tables made from a frame keep a non-default index as a column pandas' metadata names.
    named = f.iloc[:50].rename_axis("request_no")
    for table in (pa.Table.from_pandas(named), pa.Table.from_pandas(f.iloc[:50], preserve_index=True)):
        assert read_log(table).feature_names == ["latency_ms", "tokens"]
    m = morvanta.monitor(tmp_path / "a.csv", rows=50, min_rows=10)
    assert m.windows[0].result.baseline_log.feature_names == ["latency_ms", "tokens"]
    with pytest.warns(UserWarning, match=r"argument 'baseline': dropped the unnamed first column, a row index 0\.\.199"):
        groups = check_groups(whole, pd.read_csv(tmp_path / "b.csv").assign(t="x"), by="t", min_rows=1)
    assert groups.set_index("dimension").loc["data", "score"] == expected
    out = run("data", "a.csv", "b.csv", "--json", cwd=tmp_path)
    assert json.loads(out.stdout)["scores"][0]["score"] == DataDrift().detect(
        f.to_numpy()[:200], f.to_numpy()[200:]).score
    assert out.stderr.splitlines()[1] == ("morvanta: note: 'b.csv': dropped the unnamed first column, a row index "
                                          "200..399 as pandas writes it (index=False leaves it out)")
    # An unnamed first column that counts anything else is no index and no feature: refused.
    (tmp_path / "gaps.csv").write_text(",x\n0,1.5\n2,2.5\n")
    why = ("the unnamed first column is not a row index 0..n-1; name it in the header, or write the file without "
           "the index (pandas: index=False)")
    refused(lambda: read_log(tmp_path / "gaps.csv"), f"'{tmp_path / 'gaps.csv'}': {why}")
    assert cli_error(run("check", "gaps.csv", "a.csv", cwd=tmp_path)) == f"'gaps.csv': {why}"


# ------------------------------------------------------------------ empty logs


def test_an_empty_log_is_one_line_naming_the_file(tmp_path):
    pl = pytest.importorskip("polars")
    (tmp_path / "zero.csv").write_text("")
    (tmp_path / "header.csv").write_text("latency_ms,confidence\n\n")
    (tmp_path / "zero.jsonl").write_text("")
    (tmp_path / "blank.jsonl").write_text("\n  \n")
    pq.write_table(pa.table({"x": pa.array([], pa.float64())}), tmp_path / "rows.parquet")
    (tmp_path / "zero.parquet").write_bytes(b"")
    no_rows = "the log has no rows (no requests to compare)"
    cases = {"zero.csv": "is empty (expected a header row with column names)", "header.csv": f": {no_rows}",
             "zero.jsonl": "is empty (expected one JSON object per line)", "blank.jsonl": f": {no_rows}",
             "rows.parquet": f": {no_rows}", "zero.parquet": "is empty (0 bytes, not a Parquet file)"}
    write(frame(60, 6), tmp_path / "ok.csv")
    for name, why in cases.items():
        text = f"'{tmp_path / name}'{why if why.startswith(':') else ' ' + why}"
        refused(lambda: read_log(tmp_path / name), text)
        refused(lambda: morvanta.check(tmp_path / "ok.csv", tmp_path / name), text)
        refused(lambda: morvanta.monitor(tmp_path / name, rows=10), text)
        assert cli_error(run("check", name, "ok.csv", cwd=tmp_path)) == text.replace(f"{tmp_path}/", "")
    for empty in (frame(5, 7).iloc[:0], pl.DataFrame({"x": []}), {"x": np.array([])}):
        refused(lambda: morvanta.check(empty, tmp_path / "ok.csv"), f"'baseline_log': {no_rows}")
    assert cli_error(run("monitor", "header.csv", "--every", "1h", cwd=tmp_path)) == f"'header.csv': {no_rows}"


# ------------------------------------------------------------------ numbers with a stray word


def test_a_stray_word_among_numbers_stops_the_read_naming_its_cell(tmp_path):
    pytest.importorskip("dask")
    from morvanta.dask import check_groups

    # Line numbers count blank lines and the lines of a quoted cell that spans two.
    (tmp_path / "log.csv").write_text(
        'note,latency_ms\n"two\nlines",12.5\n\nok,13\nok,12ms\nok,14\n')
    refused(lambda: read_log(tmp_path / "log.csv"),
            f"'{tmp_path / 'log.csv'}' column 'latency_ms' line 6: expected a number, got '12ms'")
    (tmp_path / "log.tsv").write_text("latency_ms\tx\nfast\t1\n12\t2\n13\t3\n")
    refused(lambda: read_log(tmp_path / "log.tsv"),
            f"'{tmp_path / 'log.tsv'}' column 'latency_ms' line 2: expected a number, got 'fast'")
    # The first row holds the word: it is the first bad cell, not the row after it.
    (tmp_path / "log.jsonl").write_text('{"latency_ms": "12ms"}\n{"latency_ms": 5}\n\n{"latency_ms": 7}\n')
    refused(lambda: read_log(tmp_path / "log.jsonl"),
            f"'{tmp_path / 'log.jsonl'}' column 'latency_ms' line 1: expected a number, got '12ms'")
    mixed = pd.DataFrame({"latency_ms": [1.5, 2.5, "12ms", 4.0], "t": "a"})
    refused(lambda: read_log(mixed, name="frame"), "'frame' column 'latency_ms' row 3: expected a number, got '12ms'")
    refused(lambda: read_log({"latency_ms": np.array([1, "12ms", 2], dtype=object)}),
            "'log' column 'latency_ms' row 2: expected a number, got '12ms'")
    good = write(frame(50, 8), tmp_path / "good.csv")
    refused(lambda: morvanta.check(good, tmp_path / "log.tsv"),
            f"'{tmp_path / 'log.tsv'}' column 'latency_ms' line 2: expected a number, got 'fast'")
    refused(lambda: morvanta.monitor(tmp_path / "log.csv", rows=2),
            f"'{tmp_path / 'log.csv'}' column 'latency_ms' line 6: expected a number, got '12ms'")
    assert cli_error(run("check", "good.csv", "log.csv", cwd=tmp_path)) == (
        "'log.csv' column 'latency_ms' line 6: expected a number, got '12ms'")
    assert cli_error(run("data", "log.tsv", "log.tsv", cwd=tmp_path)) == (
        "'log.tsv' column 'latency_ms' line 2: expected a number, got 'fast'")
    # check_groups: a bad baseline cell raises; a bad logs cell spoils its group, named by its row label.
    refused(lambda: check_groups(mixed, mixed.assign(latency_ms=1.0), by="t"),
            "argument 'baseline': column 'latency_ms' row 2: expected a number, got '12ms'")
    logs = pd.DataFrame({"t": ["a"] * 4 + ["b"] * 4, "latency_ms": [1.0, 2.0, 3.0, 4.0, 1.0, "12ms", 3.0, 4.0]},
                        index=range(10, 18))
    got = check_groups(pd.DataFrame({"latency_ms": [1.0, 2.0, 3.5]}), logs, by="t", min_rows=1).set_index("t")
    assert got.loc["a", "status"] == "ok" and got.loc["b", "message"] == (
        "argument 'logs': column 'latency_ms' row 15: expected a number, got '12ms'")
    # Mostly words, a few numbers: a text column, said so in a note, and never a feature.
    (tmp_path / "tenants.csv").write_text("tenant,x\nacme,0\n42,1\nbeta,2\n7,3\ngamma,4\n")
    for source, where in [(tmp_path / "tenants.csv", "line 2"),
                          (pd.DataFrame({"tenant": ["acme", 42, "beta", 7, "gamma"], "x": np.arange(5.0)}), "row 1")]:
        log = read_log(source)
        assert log.feature_names == ["x"] and log.notes == (
            f"column 'tenant' is read as categories, not numbers: 2 of its cells are numbers, but not the one at "
            f"{where}",)


def test_match_logs_stops_logs_that_cannot_be_compared(tmp_path):
    base = frame(80, 9)
    text = base.assign(latency_ms=["%dms" % v for v in range(80)])
    write(base, tmp_path / "base.csv")
    write(text, tmp_path / "text.csv")
    message = (f"'{tmp_path / 'text.csv'}' column 'latency_ms' line 2: expected a number, got '0ms' "
               f"(the column holds numbers in '{tmp_path / 'base.csv'}')")
    refused(lambda: match_logs(read_log(tmp_path / "base.csv"), read_log(tmp_path / "text.csv")), message)
    refused(lambda: morvanta.check(tmp_path / "base.csv", tmp_path / "text.csv"), message)
    refused(lambda: morvanta.check(tmp_path / "text.csv", tmp_path / "base.csv"), message)  # either side
    refused(lambda: morvanta.monitor(tmp_path / "text.csv", rows=20, baseline_log=tmp_path / "base.csv"), message)
    assert cli_error(run("check", "base.csv", "text.csv", cwd=tmp_path)) == message.replace(f"{tmp_path}/", "")
    # Excluded, or a column with no value at all: nothing to compare.
    morvanta.check(base, text, columns=LogColumns(exclude=("latency_ms",)))
    empty = base.assign(latency_ms=pd.Series([None] * 80, dtype=object))
    assert read_log(empty).kinds["latency_ms"].kind == "empty"
    assert "feature 'latency_ms' is missing from the current log; the data dimension leaves it out" in (
        morvanta.check(empty, text).notes)
    # A role column the baseline has and the current log lacks: both files named.
    write(base.drop(columns=["correct"]), tmp_path / "no_flags.csv")
    missing = (f"'{tmp_path / 'no_flags.csv'}': no column 'correct' for the correct role, which the baseline "
               f"'{tmp_path / 'base.csv'}' has (switch the role off to compare without it)")
    refused(lambda: morvanta.check(tmp_path / "base.csv", tmp_path / "no_flags.csv"), missing)
    assert morvanta.check(tmp_path / "no_flags.csv", tmp_path / "base.csv").dimension("confidence").score.method == (
        "ks(conf)")  # the other way round the baseline simply has no flags
    off = morvanta.check(tmp_path / "base.csv", tmp_path / "no_flags.csv", columns=LogColumns(correct=None))
    assert off.dimension("confidence").inputs == "confidence"
    lengths = base.drop(columns=["response"]).assign(response_length=np.arange(80.0))
    refused(lambda: morvanta.check(lengths, base, columns=LogColumns(length="words")),
            "'current_log': no column 'response_length' for the response_length role, which the baseline "
            "'baseline_log' has (switch the role off to compare without it)")
    assert cli_error(run("check", "base.csv", "no_flags.csv", cwd=tmp_path)) == missing.replace(f"{tmp_path}/", "")


# ------------------------------------------------------------------ roles


def test_a_role_named_explicitly_must_be_in_the_log(tmp_path):
    pytest.importorskip("dask")
    from morvanta.dask import check_groups

    f = frame(60, 10)
    write(f, tmp_path / "log.csv")
    refused(lambda: read_log(f, columns=LogColumns(confidence="p_answer")),
            "'log' column 'p_answer': no such column (named for the confidence role)")
    refused(lambda: morvanta.check(f, f, columns=LogColumns(confidence="p_answer")),
            "'baseline_log' column 'p_answer': no such column (named for the confidence role)")
    assert read_log(f, columns=LogColumns(confidence=None)).confidences is None  # switched off
    assert read_log(f.drop(columns=["confidence"])).confidences is None  # a default name may be absent
    (tmp_path / "m.toml").write_text('[columns]\nquery_embedding = "q_vec"\n')
    text = "'log.csv' column 'q_vec': no such column (named for the query_embedding role)"
    assert cli_error(run("check", "log.csv", "log.csv", "--config", "m.toml", cwd=tmp_path)) == text
    assert cli_error(run("monitor", "log.csv", "--rows", "20", "--column", "query_embedding=q_vec",
                         cwd=tmp_path)) == text
    out = run("monitor", "log.csv", "--rows", "20", "--config", "m.toml", "--column", "query_embedding=",
              cwd=tmp_path)
    assert out.returncode == 0 and len(out.stdout.splitlines()) == 2, out.stderr
    refused(lambda: check_groups(f.assign(t=1), f.assign(t=1), by="t", columns={"confidence": "p_answer"}),
            "argument 'baseline': column 'p_answer': no such column (named for the confidence role)")


def test_config_columns_table_names_the_key(tmp_path):
    cases = [("[columns]\nconfidence = 3\n", "columns.confidence must be a column name or false, got 3"),
             ("[columns]\nfeatures = 'x'\n", "columns.features must be a list of column names"),
             ("[columns]\nlength = 'bytes'\n", 'columns.length must be "chars" or "words", got \'bytes\''),
             ("columns = 1\n", "[columns] must be a table"),
             ("[columns]\nanswer = 'a'\n", "unknown key columns.answer (known: query_embedding, response_embedding, "
                                           "embedding, response_length, response, confidence, correct, timestamp, "
                                           "query, features, exclude, categorical, length)"),
             # The model for text-only logs, relative to the configuration's folder.
             ("[embed]\nmodel = 3\n", "embed.model must be the path of a model folder, got 3"),
             ("embed = 'm'\n", '[embed] must be a table (model = "FOLDER")'),
             ("[embed]\nmodel = 'm'\nthreads = 2\n", "unknown key embed.threads (known: model)")]
    cfg = tmp_path / "m.toml"
    for text, why in cases:
        cfg.write_text(text)
        refused(lambda: load_config(str(cfg)), f"'{cfg}': {why}")
    cfg.write_text("[columns]\ncorrect = false\nexclude = ['tokens']\n")
    cols, rest = load_config(str(cfg))
    assert (cols.correct, cols.exclude, rest) == (None, ("tokens",), {})
    cfg.write_text("[embed]\nmodel = 'models/minilm'\n")
    assert load_config(str(cfg))[1] == {"embed": str(tmp_path / "models" / "minilm")}
    cfg.write_text(f"[embed]\nmodel = '{tmp_path / 'elsewhere'}'\n")
    assert load_config(str(cfg))[1] == {"embed": str(tmp_path / "elsewhere")}


# ------------------------------------------------------------------ invalid cells


def test_invalid_cells_name_the_row_or_line(tmp_path):
    pytest.importorskip("dask")
    from morvanta.dask import check_groups

    f = frame(40, 11)
    q = np.stack(f["query_embedding"].to_numpy())
    cases = [
        ("query_embedding", [*q[:2], np.array([1, np.nan, 0, 0, 0, 0], np.float32), *q[3:]], 3,
         "NaN or infinity in the embedding"),
        ("query_embedding", [*q[:5], *[np.full(6, np.inf, np.float32)] * 2, *q[7:]], 6,
         "NaN or infinity in the embedding (and 1 more rows)"),
        ("query_embedding", [*q[:1], np.array([1e39] * 6), *q[2:].astype(np.float64)], 2,
         "embedding value 1e+39 is too large for float32"),
        ("confidence", [*f.confidence[:7], 1.25, *f.confidence[8:]], 8, "confidence 1.25 is outside [0, 1]"),
        ("confidence", [*f.confidence[:1], np.nan, *f.confidence[2:]], 2, "confidence nan is outside [0, 1]"),
        ("confidence", [-np.inf, *f.confidence[1:]], 1, "confidence -inf is outside [0, 1]"),
        ("correct", [*f.correct[:4], 2, *f.correct[5:]], 5, "not a flag (true/false or 0/1): 2.0"),
        ("correct", [*f.correct[:9], "maybe", *f.correct[10:]], 10, "not a flag (true/false, yes/no, 1/0): 'maybe'"),
        ("correct", [*f.correct[:3], None, *f.correct[4:]], 4, "missing"),
    ]
    for column, values, row, why in cases:
        bad = f.assign(**{column: values})
        refused(lambda: read_log(bad), f"'log' column '{column}' row {row}: {why}")
        refused(lambda: morvanta.check(f, bad), f"'current_log' column '{column}' row {row}: {why}")
        write(bad, tmp_path / "bad.jsonl")
        refused(lambda: read_log(tmp_path / "bad.jsonl"),
                f"'{tmp_path / 'bad.jsonl'}' column '{column}' line {row}: {why}")
        got = check_groups(f, bad.assign(t="a"), by="t", min_rows=1)
        assert set(got.message) == {f"argument 'logs': column '{column}' row {row - 1}: {why}"}, (column, row)
    (tmp_path / "bad.csv").write_text("confidence,correct\n0.5,yes\n0.7,no\n1.5,yes\n")
    assert cli_error(run("check", "bad.csv", "bad.csv", cwd=tmp_path)) == (
        "'bad.csv' column 'confidence' line 4: confidence 1.5 is outside [0, 1]")


def test_hostile_json_numbers_and_nesting_name_line_and_column(tmp_path):
    deep = "[" * 100_000 + "]" * 100_000
    cases = [
        ('{"x": 1}\n{"x": %d}\n' % 10**400, "'x' line 2: number too large for a float: 100000000000... (401 characters)"),
        ('{"x": 1}\n{"x": 1e400}\n', "'x' line 2: number too large for a float (beyond 1.8e308)"),
        ('{"x": 1}\n{"x": 1%s}\n' % ("0" * 5000), "'x' line 2: number too large for a float: 100000000000... "
                                                   "(5001 characters)"),
        ('{"query_embedding": [1, 2]}\n{"query_embedding": [1, %d]}\n' % 10**400,
         "'query_embedding' line 2: embedding holds a number too large for a float: 100000000000... (401 characters)"),
        ('{"x": 1, "query_embedding": %s}\n' % deep,
         "'query_embedding' line 1: lists nested too deeply to read (an embedding is a flat list of numbers)"),
        ('{"query_embedding": %s}\n' % ("[" * 500 + "1" + "]" * 500),
         "'query_embedding' line 1: embedding holds a list inside the list; an embedding is a flat list of numbers"),
        ('{"query_embedding": [1, 2]}\n{"query_embedding": [1, "2"]}\n',
         "'query_embedding' line 2: embedding holds a value that is not a number: '2'"),
    ]
    for body, tail in cases:
        p = tmp_path / "bad.jsonl"
        p.write_text(body)
        refused(lambda: read_log(p), f"'{p}' column {tail}")
        assert cli_error(run("check", "bad.jsonl", "bad.jsonl", cwd=tmp_path)) == f"'bad.jsonl' column {tail}"
    # An infinity written out is one; so is "inf" in a text file.
    (tmp_path / "inf.jsonl").write_text('{"x": Infinity}\n{"x": 1}\n')
    (tmp_path / "inf.csv").write_text("x\ninf\n1\n")
    for p in ("inf.jsonl", "inf.csv"):
        assert read_log(tmp_path / p).features[:, 0].tolist() == [np.inf, 1.0]
    (tmp_path / "big.csv").write_text("x\n1e400\n1\n")
    refused(lambda: read_log(tmp_path / "big.csv"),
            f"'{tmp_path / 'big.csv'}' column 'x' line 2: number too large for a float: 1e400")


# ------------------------------------------------------------------ timestamps


def test_numeric_timestamps_are_told_apart_by_magnitude():
    rng = np.random.default_rng(12)
    seconds = np.sort(rng.integers(int(LOW), int(HIGH), 200)).astype(np.float64)
    for factor in (1, 1_000, 1_000_000):
        got = read_log({"timestamp": (seconds.astype(np.int64) * factor).astype(np.float64)}).timestamps
        assert np.array_equal(got, seconds), factor
    ns = seconds.astype(np.int64) * 1_000_000_000
    assert np.array_equal(read_log({"timestamp": ns}).timestamps, ns.astype(np.float64) / 1e9)
    # Datetime columns of every library, in any unit, give the same seconds as their numbers.
    pl = pytest.importorskip("polars")
    when = pd.to_datetime(ns, utc=True)
    expected = read_log({"timestamp": ns}).timestamps
    for source in (pd.DataFrame({"timestamp": when}), pd.DataFrame({"timestamp": when.tz_convert("Asia/Tokyo")}),
                   pl.DataFrame({"timestamp": when.tz_localize(None)}),
                   pa.table({"timestamp": pa.array(when.tz_localize(None), pa.timestamp("ms"))}),
                   {"timestamp": when.tz_localize(None).to_numpy()}):
        assert np.array_equal(read_log(source).timestamps, expected)
    # The band edges: 2000-01-01 is the first time there is, 2100-01-01 the first that is not.
    for unit in (1, 1e3, 1e6, 1e9):
        assert read_log({"timestamp": np.array([LOW * unit])}).timestamps[0] == LOW
        refused(lambda: read_log({"timestamp": np.array([LOW * unit, HIGH * unit])}),
                f"'log' column 'timestamp' row 2: {int(HIGH * unit)} is no time between the years 2000 and 2100 "
                "in seconds, milliseconds, microseconds or nanoseconds since the epoch")


def test_timestamps_outside_the_rule_name_their_row(tmp_path):
    bad = [(0, "0 is no time between"), (-1e12, "-1000000000000 is no time between"),
           (1e30, "1e+30 is no time between"), (np.inf, "not a finite time: inf"), (np.nan, "missing timestamp")]
    for value, why in bad:
        values = np.array([T0, T0 + 1, value])
        text = f"'log' column 'timestamp' row 3: {why}"
        with pytest.raises(LogError) as info:
            read_log({"timestamp": values})
        assert str(info.value).startswith(text)
        with pytest.raises(LogError, match=re.escape(text)):
            morvanta.monitor({"timestamp": values, "x": np.ones(3)}, every="1h")
        with pytest.raises(LogError, match=re.escape(text.replace("'log'", "'current_log'"))):
            morvanta.check({"timestamp": values[:2], "x": np.ones(2)}, {"timestamp": values, "x": np.ones(3)})
    refused(lambda: read_log({"timestamp": np.array([T0, T0 * 1000, T0 + 5])}),
            "'log' column 'timestamp' row 2: 1700000000000 is in milliseconds since the epoch, but most of the "
            "column is in seconds; a column holds one unit")
    refused(lambda: read_log({"timestamp": pd.to_datetime(["2020-01-01", "1970-01-02"]).to_numpy()}),
            "'log' column 'timestamp' row 2: time 1970-01-02T00:00:00Z is outside the years 2000 to 2100")
    (tmp_path / "log.csv").write_text("timestamp,x\n2024-03-01T12:00:00Z,1\n2024-03-01 13:00:00+02:00,2\n"
                                      "1999-12-31T23:59:59Z,3\n")
    refused(lambda: read_log(tmp_path / "log.csv"),
            f"'{tmp_path / 'log.csv'}' column 'timestamp' line 4: time '1999-12-31T23:59:59Z' is outside the "
            "years 2000 to 2100")
    assert cli_error(run("monitor", "log.csv", "--every", "1h", cwd=tmp_path)) == (
        "'log.csv' column 'timestamp' line 4: time '1999-12-31T23:59:59Z' is outside the years 2000 to 2100")
    iso = read_log(pd.DataFrame({"timestamp": ["2024-03-01T12:00:00Z", "2024-03-01 13:00:00+02:00", "2024-03-01"]}))
    assert iso.timestamps.tolist() == [datetime(2024, 3, 1, h, tzinfo=timezone.utc).timestamp() for h in (12, 11, 0)]


def test_monitor_cuts_the_same_windows_in_every_unit(tmp_path):
    rng = np.random.default_rng(13)
    t = (T0 - T0 % 3600 + np.sort(rng.uniform(0, 6 * 3600, 400))).round(3)
    x = rng.normal(size=400)
    runs = [morvanta.monitor({"timestamp": t * f, "x": x}, every="1h", min_rows=5) for f in (1, 1000)]
    pd.DataFrame({"timestamp": pd.to_datetime(t, unit="s"), "x": x}).to_parquet(tmp_path / "log.parquet")
    runs.append(morvanta.monitor(tmp_path / "log.parquet", every="1h", min_rows=5))
    first = [(w.start, w.first_row, w.rows, w.result.dimension("data").score.score) for w in runs[0].windows]
    assert len(first) == 5 and sum(w[2] for w in first) == 400 - runs[0].baseline_rows
    for other in runs[1:]:
        assert [(w.start, w.first_row, w.rows, w.result.dimension("data").score.score) for w in other.windows] == first


# ------------------------------------------------------------------ many columns


def test_reading_is_linear_in_the_number_of_columns(tmp_path):
    rng = np.random.default_rng(14)
    k = 20_000
    x = rng.normal(size=(10, k)).round(4)
    path = tmp_path / "wide.csv"
    path.write_text(",".join(f"c{j}" for j in range(k)) + "\n" + "\n".join(",".join(map(str, r)) for r in x) + "\n")
    start = time.perf_counter()
    log = read_log(path)
    took = time.perf_counter() - start
    assert log.features.shape == (10, k) and np.array_equal(log.features, x)
    assert took < 30, f"{took:.1f}s for {k} columns"  # quadratic reading takes minutes here
    start = time.perf_counter()
    r = morvanta.check(path, path, explain=False, min_rows=1)
    assert r.dimension("data").score.score == 0.0 and time.perf_counter() - start < 60


def test_categorical_columns_read_the_same_codes_from_every_source(tmp_path):
    import pandas as pd
    import pyarrow as pa
    import pyarrow.parquet as pq

    route = ["b", "a", None, "c", "a", "", "b"]
    x = np.arange(7.0) % 3
    frame = pd.DataFrame({"route": route, "x": x})
    frame.to_csv(tmp_path / "log.csv", index=False)
    frame.to_json(tmp_path / "log.jsonl", orient="records", lines=True)
    pq.write_table(pa.table({"route": pa.array(route).dictionary_encode(), "x": x}), tmp_path / "log.parquet")
    sources = [tmp_path / "log.csv", tmp_path / "log.jsonl", tmp_path / "log.parquet",
               frame.assign(route=frame["route"].replace("", None).astype("category")), {"route": route, "x": x}]
    for src in sources:
        log = read_log(src)
        (col,) = log.categories
        assert (col.name, col.values, log.feature_names) == ("route", ("a", "b", "c"), ["x"]), src
        assert col.codes.tolist() == [1, 0, -1, 2, 0, -1, 1], src  # sorted values; None and "" missing
    # Whole-number codes become categorical when declared, in the config or the columns.
    codes = {"route": [3.0, 1.0, np.nan, 2.0], "y": [0.5, 1.5, 2.5, 3.5]}
    log = read_log(codes, columns=LogColumns(categorical=("route",)))
    assert log.feature_names == ["y"] and log.categories[0].values == ("1", "2", "3")
    assert log.categories[0].codes.tolist() == [2, 0, -1, 1]
    (tmp_path / "c.toml").write_text('[columns]\ncategorical = ["route"]\n')
    cols, _ = load_config(str(tmp_path / "c.toml"))
    assert cols.categorical == ("route",)
    with pytest.raises(LogError, match=r"'log' column 'y' row 1: declared categorical, but holds 0.5, not a "
                                       r"whole number"):
        read_log(codes, columns=LogColumns(categorical=("y",)), name="log")
    with pytest.raises(LogError, match=r"column 'nope': no such column \(declared categorical\)"):
        read_log(codes, columns=LogColumns(categorical=("nope",)))
    # A window keeps its rows' codes and the log's table.
    part = read_log(sources[-1]).take(slice(2, 5))
    assert part.categories[0].codes.tolist() == [-1, 2, 0] and part.categories[0].values == ("a", "b", "c")


def test_fixed_size_list_embeddings_read_from_many_row_groups_alike(tmp_path):
    # Several row groups (chunks) are copied once into one matrix, a single chunk is
    # used in place; both equal the values, and a bad value is named by its row (1-based).
    rng = np.random.default_rng(3)
    q = rng.standard_normal((250, 6), dtype=np.float32)
    col = pa.FixedSizeListArray.from_arrays(pa.array(q.reshape(-1)), 6)
    path = tmp_path / "groups.parquet"
    pq.write_table(pa.table({"query_embedding": col, "f": rng.normal(size=250)}), path, row_group_size=40)
    assert pq.read_table(path)["query_embedding"].num_chunks > 1
    many = read_log(path).queries
    one = read_log(pa.table({"query_embedding": col, "f": rng.normal(size=250)})).queries
    assert np.array_equal(many, q) and np.array_equal(one, q) and many.dtype == one.dtype == np.float32
    bad = q.copy()
    bad[137, 2] = np.inf
    pq.write_table(pa.table({"query_embedding": pa.FixedSizeListArray.from_arrays(pa.array(bad.reshape(-1)), 6),
                             "f": rng.normal(size=250)}), path, row_group_size=40)
    with pytest.raises(LogError, match=r"row 138:") as err:
        read_log(path)
    assert "NaN or infinity in the embedding" in str(err.value)
    # A missing value inside a later row group names its row too.
    values = pa.array(np.r_[q.reshape(-1)[:6 * 201 + 4]].tolist() + [None] + q.reshape(-1)[6 * 201 + 5:].tolist(),
                      pa.float32())
    pq.write_table(pa.table({"query_embedding": pa.FixedSizeListArray.from_arrays(values, 6),
                             "f": rng.normal(size=250)}), path, row_group_size=40)
    with pytest.raises(LogError, match=r"row 202:") as err:
        read_log(path)
    assert "missing value" in str(err.value)

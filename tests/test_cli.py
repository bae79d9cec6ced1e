"""The morvanta command line, run as `python -m morvanta` in a subprocess."""

from __future__ import annotations

import io
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import morvanta
from morvanta import ConfidenceDrift, DataDrift, EmbeddingDrift, QueryDrift, ResponseDrift
from morvanta.cli import Progress

NAMES = ["age", "income", "clicks"]
# The morvanta under test, also from another working directory.
SITE = str(Path(morvanta.__file__).parent.parent.absolute())
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in [SITE, os.environ.get("PYTHONPATH")] if p))


def run(*args: str, cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    cmd = [sys.executable, "-m", "morvanta", *args]
    return subprocess.run(cmd, capture_output=True, text=True, cwd=cwd, env=ENV, timeout=120)


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
              "emb_c64": e.astype(np.float64), "emb_c_fortran": np.asfortranarray(e), "emb_1d": e[0],
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

    text, first, second = run("demo"), run("demo", "--json"), run("demo", "--json")
    assert text.returncode == first.returncode == second.returncode == 0
    assert text.stderr == "" and text.stdout.count("verdict: ") == 2
    a, b = json.loads(first.stdout), json.loads(second.stdout)
    assert list(a) == ["stable", "drift"]
    rows = [line.split() for line in text.stdout.splitlines()]
    for name, result in zip(a, demo.run_demo()):
        assert a[name]["scores"] == b[name]["scores"] == [json_of(s) for s in result.scores]
        assert [s["dimension"] for s in a[name]["scores"]] == ["Data", "Embedding", "Response", "Confidence", "Query"]
        assert (a[name]["sample_size_baseline"], a[name]["sample_size_current"]) == (2000, 2000)
        assert all(row_of(s) in rows for s in result.scores)  # one table row per detector and scenario
    # The built-in windows are made to be told apart.
    assert [s["exceeded"] for s in a["stable"]["scores"]] == [False] * 5
    assert [s["exceeded"] for s in a["drift"]["scores"]] == [True] * 5


@pytest.mark.parametrize("args, status", [
    ("demo --fail-on-drift", 1), ("demo --scenario stable --fail-on-drift", 0),
    # A data score is never negative, so 0 always counts as drift; a NaN threshold never does.
    ("data base.npy cur.npy --threshold 0 --fail-on-drift", 1),
    ("data base.npy cur.npy --threshold nan --fail-on-drift", 0),
])
def test_exit_status(inputs, args, status):
    assert run(*args.split(), cwd=inputs[0]).returncode == status


@pytest.mark.parametrize("fmt", ["csv", "tsv", "npy", "parquet"])
def test_data_formats_give_the_detector_scores(inputs, fmt):
    d, a = inputs
    if not (d / f"base.{fmt}").exists():
        pytest.skip("pyarrow is not installed")
    args = ["data", f"base.{fmt}", f"cur.{fmt}", "--n-bins", "6", "--threshold", "0.3"]
    p = run(*args, "--json", cwd=d)
    assert p.returncode == 0, p.stderr
    doc = json.loads(p.stdout)
    assert list(doc) == ["scores", "timestamp", "sample_size_baseline", "sample_size_current", "columns"]
    assert doc["scores"] == [json_of(DataDrift(0.3, 6).detect(a["base"], a["cur"]))]
    assert (doc["sample_size_baseline"], doc["sample_size_current"]) == (300, 250)
    names = NAMES if fmt != "npy" else ["0", "1", "2"]
    per_column = morvanta.data_drift_by_column(a["base"], a["cur"], threshold=0.3, n_bins=6)
    assert doc["columns"] == [
        {"name": names[c.index], "index": c.index, "score": c.score.score, "exceeded": c.score.exceeded}
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
    ("embedding emb_b.npy emb_c_fortran.npy", lambda a: EmbeddingDrift().detect(a["emb_b"], a["emb_c"])),
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
    (d, a), args = inputs, args.split()
    expect = reference(a)
    p = run(*args, "--json", cwd=d)
    assert p.returncode == 0, p.stderr
    assert json.loads(p.stdout)["scores"] == [json_of(expect)]
    assert row_of(expect) in [line.split() for line in run(*args, cwd=d).stdout.splitlines()]
    assert run(*args, "--fail-on-drift", cwd=d).returncode == (1 if expect.exceeded else 0)


# A message ending in "$" is the whole line; otherwise its start.
ERRORS = [
    ("data missing.csv cur.csv", "cannot read 'missing.csv': No such file or directory$"),
    ("data base.csv emb_b.xlsx", "cannot read 'emb_b.xlsx': No such file or directory$"),
    ("data base.csv len_b.txt", "'len_b.txt': unsupported file type"),
    ("data base.csv cur_text.csv", "'cur_text.csv': column 'income' is not numeric (line 3: 'Paris')$"),
    ("data base.csv cur_two.csv", "dimension mismatch: expected 3, got 2 (DataDriftDetector::detect)$"),
    ("data base.csv cur_renamed.csv",
     "'base.csv' and 'cur_renamed.csv': column names differ: only in baseline ['clicks'], only in current ['taps']$"),
    ("data base.npy emb_text.npy", "'emb_text.npy' holds <U1 values, not numbers$"),
    ("data base.npy broken.npy", "cannot read 'broken.npy' as a .npy file"),
    ("data text.parquet text.parquet", "'text.parquet': column 'city' is not numeric (string)$"),
    ("embedding emb_b.npy emb_c64.npy",
     "'emb_c64.npy' holds float64 embeddings; the detectors take float32 (pass --cast to convert it to float32)$"),
    ("embedding emb_b.npy emb_1d.npy", "'emb_1d.npy' holds a 1-D array"),
    ("embedding base.csv emb_c.npy", "'base.csv': embeddings are read from .npy files"),
    ("query emb_b.npy emb_text.npy", "'emb_text.npy' holds <U1 embeddings; the detectors take float32$"),
    ("query emb_b.npy emb_c.npy --k -1", "argument --k: expected a non-negative integer, got '-1'"),
    ("response empty.txt len_c.npy", "insufficient samples: need at least 1, got 0 (ks_two_sample)$"),
    ("response len_bad.txt len_c.npy", "'len_bad.txt' line 3: not a number: 'many'$"),
    ("response len_b.txt len_c.npy --baseline-embeddings emb_b.npy",
     "--baseline-embeddings and --current-embeddings must be given together$"),
    ("confidence conf_b.csv conf_c.npy --baseline-correct ok_short.npy --current-correct ok_c.npy",
     "dimension mismatch: expected 150, got 7 (ConfidenceDriftDetector::baseline correctness)$"),
    ("confidence conf_b.csv conf_c.npy --baseline-correct conf_c.npy --current-correct ok_c.npy",
     "'conf_c.npy' holds float64 values; correctness flags are booleans (or 0/1)$"),
    ("data base.csv", "the following arguments are required: CURRENT"),
    ("drift a b", "argument COMMAND: invalid choice"),
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


def test_version_and_missing_command():
    p = run("--version")
    assert (p.returncode, p.stdout.strip()) == (0, f"morvanta {morvanta.__version__}")
    p = run()
    assert p.returncode == 2 and "usage: morvanta" in p.stderr


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


@pytest.mark.parametrize("module", ["morvanta", "morvanta.cli", "morvanta.demo", "morvanta._io", "morvanta._columns"])
def test_import_loads_no_numpy_or_frame_library(module):
    code = f"import sys, {module}; print([m for m in ('numpy', 'pandas', 'polars', 'pyarrow') if m in sys.modules])"
    p = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=ENV)
    assert (p.returncode, p.stdout.strip()) == (0, "[]"), p.stderr

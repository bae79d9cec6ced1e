"""What check and monitor write: versioned JSON, configuration values validated as
their flags, outputs checked before the work and written together, Prometheus
labels and terminal text that data cannot break."""

from __future__ import annotations

import errno
import importlib.util
import json
import os
import re
import time
from pathlib import Path

import numpy as np
import pytest

from conftest import run_cli as run

import morvanta
from morvanta.cli import commands as cli

pd = pytest.importorskip("pandas")
pytest.importorskip("pyarrow")

T0 = 1_700_000_000.0 - 1_700_000_000.0 % 86400  # a midnight, UTC
BIG = "1" + "0" * 400



def main(capsys, *args: str) -> tuple[int, str, str]:
    status = cli.main(list(args))
    out, err = capsys.readouterr()
    return status, out, err


def frame(n: int, seed: int, shift: float = 0.0, names=("latency_ms", "tokens")) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    cols = {"timestamp": T0 + np.sort(rng.uniform(0, 4 * 3600, n)), "confidence": rng.beta(8, 2, n)}
    for j, name in enumerate(names):
        cols[name] = rng.normal(shift * (j + 1), 1.0, n)
    return pd.DataFrame(cols)


@pytest.fixture()
def logs(tmp_path, monkeypatch):
    frame(200, 1).to_parquet(tmp_path / "base.parquet")
    frame(150, 2, shift=0.5).to_parquet(tmp_path / "cur.parquet")
    monkeypatch.chdir(tmp_path)
    return tmp_path


# ------------------------------------------------------------------ versioned JSON


def test_json_outputs_start_with_the_schema_version(logs, capsys):
    r = morvanta.check("base.parquet", "cur.parquet")
    assert list(r.to_dict())[0] == "schema_version" and r.to_dict()["schema_version"] == 1
    status, out, _ = main(capsys, "check", "base.parquet", "cur.parquet", "--json")
    assert status == 0 and list(json.loads(out))[:2] == ["schema_version", "drifted"]
    assert main(capsys, "check", "base.parquet", "cur.parquet", "--json", "r.json")[0] == 0
    assert next(iter(json.loads((logs / "r.json").read_text()))) == "schema_version"
    status, out, _ = main(capsys, "monitor", "cur.parquet", "--every", "1h", "--min-rows", "10")
    lines = [json.loads(x) for x in out.splitlines()]
    assert status == 0 and len(lines) == 3
    assert all(list(x)[:2] == ["schema_version", "window"] and x["schema_version"] == 1 for x in lines)


def test_every_metric_name_is_documented_as_stable(logs):
    from morvanta import render

    r = morvanta.check("base.parquet", "cur.parquet", n_permutations=39)
    names = {line.split()[2] for line in r.to_prometheus(per_column=True).splitlines() if line.startswith("# TYPE")}
    assert len(names) == 10
    assert all(f"``{n}``" in render.__doc__ for n in names), names - set(re.findall(r"``(\w+)``", render.__doc__))


# ------------------------------------------------------------------ configuration values are validated as flags


def cfg_line(key: str, detail: str, cfg: str = "m.toml") -> str:
    return f"morvanta: error: '{cfg}': key '{key}': {detail}"


# (TOML text, the one error line). Each goes through both check and monitor.
CONFIGS = [
    ("[thresholds]\ndata = nan\n", cfg_line("thresholds.data", "expected a finite number >= 0, got 'nan'")),
    ("[thresholds]\nquery = inf\n", cfg_line("thresholds.query", "expected a finite number >= 0, got 'inf'")),
    ("[thresholds]\ndata = -1\n", cfg_line("thresholds.data", "expected a finite number >= 0, got '-1'")),
    ("[thresholds]\ndata = true\n", cfg_line("thresholds.data", "expected a finite number >= 0, got 'true'")),
    ("[thresholds]\ndata = 1e400\n", cfg_line("thresholds.data", "expected a finite number >= 0, got 'inf'")),
    ("[thresholds]\ndata = [0.1]\n", cfg_line("thresholds.data", "expected a finite number >= 0, got '[0.1]'")),
    ("[thresholds]\nbogus = 1\n", "morvanta: error: 'm.toml': key 'thresholds.bogus': not a dimension "
     "(dimensions: data, embedding, response, confidence, query)"),
    ("thresholds = 3\n", "morvanta: error: 'm.toml': [thresholds] must be a table of dimension = number"),
    ('alpha = "abc"\n', cfg_line("alpha", "expected a number in (0, 1), got 'abc'")),
    ("alpha = 0\n", cfg_line("alpha", "expected a number in (0, 1), got '0'")),
    ("alpha = 1.0\n", cfg_line("alpha", "expected a number in (0, 1), got '1.0'")),
    ("alpha = false\n", cfg_line("alpha", "expected a number in (0, 1), got 'false'")),
    ("seed = 1.5\n", cfg_line("seed", "expected a non-negative integer below 2**64, got '1.5'")),
    ("seed = -1\n", cfg_line("seed", "expected a non-negative integer below 2**64, got '-1'")),
    (f"seed = {1 << 64}\n", cfg_line("seed", f"expected a non-negative integer below 2**64, got '{1 << 64}'")),
    ("min_rows = 0\n", cfg_line("min_rows", "expected a positive integer, got '0'")),
    ("min_rows = true\n", cfg_line("min_rows", "expected a positive integer, got 'true'")),
    (f"min_rows = {BIG}\n", cfg_line("min_rows", f"expected a positive integer below 2**63, got '{BIG[:20]}'... "
                                                 "(401 characters)")),
    ("permutations = 0\n", cfg_line("permutations", "expected a positive integer, got '0'")),
    ("permutations = 1e3\n", cfg_line("permutations", "expected a positive integer, got '1000.0'")),
    ("mystery = 1\n", "morvanta: error: 'm.toml': unknown key 'mystery' (known: columns, thresholds, min_effect, "
     "alpha, seed, permutations, min_rows, embed)"),
    ("[min_effect]\ndata = -0.5\n", cfg_line("min_effect.data", "expected a finite number >= 0, got '-0.5'")),
    ("[min_effect]\nbogus = 1\n", "morvanta: error: 'm.toml': key 'min_effect.bogus': not a dimension "
     "(dimensions: data, embedding, response, confidence, query)"),
    ("min_effect = 2\n", "morvanta: error: 'm.toml': [min_effect] must be a table of dimension = score"),
    ("[thresholds]\ndata = 0.5\n", "morvanta: error: 'm.toml': [thresholds] sets fixed thresholds, but p-values "
     "decide by default; add --fixed-thresholds to decide by them, or remove [thresholds]"),
]

# (arguments, the one error line) of hostile flags.
FLAGS = [
    ("check base.parquet cur.parquet --alpha nan",
     "argument --alpha: expected a number in (0, 1), got 'nan' (see 'morvanta check --help')"),
    ("check base.parquet cur.parquet --calibrate -0.0",
     "argument --calibrate: expected a number in (0, 1), got '-0.0' (see 'morvanta check --help')"),
    (f"check base.parquet cur.parquet --min-rows {BIG}",
     f"argument --min-rows: expected a positive integer below 2**63, got '{BIG[:20]}'... (401 characters) "
     "(see 'morvanta check --help')"),
    ("check base.parquet cur.parquet --seed -1",
     "argument --seed: expected a non-negative integer below 2**64, got '-1' (see 'morvanta check --help')"),
    (f"check base.parquet cur.parquet --p-values --permutations {10 ** 30}",
     f"argument --permutations: expected a positive integer below 2**63, got '{10 ** 30}' "
     "(see 'morvanta check --help')"),
    ("monitor cur.parquet --every 0s", "--every: a duration must be positive and finite, got '0s'"),
    ("monitor cur.parquet --every nan", "--every: not a duration: 'nan' (e.g. 30s, 15m, 1h, 1h30m, 7d)"),
    ("monitor cur.parquet --every 1h --baseline inf",
     "--baseline: not a duration: 'inf' (e.g. 30s, 15m, 1h, 1h30m, 7d)"),
    ("monitor cur.parquet --rows 5 --baseline -5",
     "--baseline: expected a positive number of rows below 2**63, got '-5'"),
    ("monitor cur.parquet --rows 5 --baseline true", "with --rows, --baseline is a number of rows, got 'true'"),
    ("monitor cur.parquet --rows 0", "argument --rows: expected a positive integer, got '0' "
     "(see 'morvanta monitor --help')"),
    ("monitor cur.parquet --rows 10 --min-rows -1", "argument --min-rows: expected a positive integer, got '-1' "
     "(see 'morvanta monitor --help')"),
]


def test_hostile_configuration_values_end_in_one_line_naming_file_and_key(logs, capsys):
    assert len(CONFIGS) * 2 + len(FLAGS) >= 20
    for text, line in CONFIGS:
        (logs / "m.toml").write_text(text)
        for command in (["check", "base.parquet", "cur.parquet"], ["monitor", "cur.parquet", "--rows", "50"]):
            status, out, err = main(capsys, *command, "--config", "m.toml", "--p-values")
            assert (status, out, err) == (2, "", line + "\n"), (text, command)
    # TOML's own limits are named as the file's.
    (logs / "m.toml").write_text("seed = 1" + "0" * 5000 + "\n")
    status, _, err = main(capsys, "check", "base.parquet", "cur.parquet", "--config", "m.toml")
    assert status == 2 and err.startswith("morvanta: error: cannot read 'm.toml' as TOML: ") and err.count("\n") == 1


@pytest.mark.parametrize("args, line", FLAGS, ids=[a for a, _ in FLAGS])
def test_hostile_options_end_in_one_line_naming_the_flag(logs, capsys, args, line):
    assert main(capsys, *args.split()) == (2, "", f"morvanta: error: {line}\n")


def test_pipeline_argument_errors_name_the_flag():
    from morvanta import MorvantaError
    from morvanta.cli.options import UsageError
    from morvanta.cli.pipeline import _pipeline_errors
    from morvanta.errors import ArgumentError
    from morvanta.io.files import InputError

    def raised(exc, logs=("a.parquet", "b.parquet")):
        try:
            with _pipeline_errors(logs):
                raise exc
        except BaseException as err:  # noqa: BLE001 - the translated error is the subject
            return type(err), str(err)

    assert raised(ArgumentError("rows", "expected a positive count, got 0")) == (
        UsageError, "argument --rows: expected a positive count, got 0")
    assert raised(ArgumentError("min_rows", "x")) == (UsageError, "argument --min-rows: x")
    assert raised(ArgumentError("unheard_of", "x")) == (UsageError, "argument 'unheard_of': x")
    # A core failure names the logs; a settings failure names none.
    assert raised(MorvantaError("dimension mismatch: expected 4, got 3 (mmd_rbf)")) == (
        InputError, "'a.parquet' and 'b.parquet': dimension mismatch: expected 4, got 3 (mmd_rbf)")
    assert raised(MorvantaError("invalid configuration: kmeans: k must be > 0")) == (
        MorvantaError, "invalid configuration: kmeans: k must be > 0")


# ------------------------------------------------------------------ outputs never lose data


def test_an_output_through_a_symlinked_folder_never_replaces_the_saved_baseline(logs, capsys):
    b = morvanta.read_log("base.parquet")
    morvanta.Baseline.fit(features=b.features, feature_names=b.feature_names).save("saved_base.json")
    before = (logs / "saved_base.json").read_bytes()
    os.symlink(logs, logs / "alias")
    status, out, err = main(capsys, "check", "saved_base.json", "cur.parquet", "--json", "alias/saved_base.json")
    assert (status, out) == (2, "")
    assert err == ("morvanta: error: --json 'alias/saved_base.json' is the input 'saved_base.json'; "
                   "refusing to write over it\n")
    assert (logs / "saved_base.json").read_bytes() == before
    # A hard link to the configuration is the configuration too.
    (logs / "m.toml").write_text("alpha = 0.05\n")
    os.link(logs / "m.toml", logs / "report.html")
    status, _, err = main(capsys, "check", "base.parquet", "cur.parquet", "--config", "m.toml", "--html", "report.html")
    assert status == 2 and err == ("morvanta: error: --html 'report.html' is the input 'm.toml'; "
                                   "refusing to write over it\n")


@pytest.mark.parametrize("args, line", [
    (["--html", "a.html", "--prometheus", "/nonexistent/x.prom", "--json", "b.json"],
     "cannot write --prometheus '/nonexistent/x.prom': folder '/nonexistent' does not exist"),
    (["--json", "out", "--html", "a.html"], "cannot write --json 'out': it is a folder"),
    (["--json", "r.txt", "--prometheus", "./r.txt"], "--json and --prometheus name one file, './r.txt' "
     "(give each output its own)"),
    (["--json", "r.csv"], "--json r.csv: refusing to write over a log (give the output another name)"),
])
def test_outputs_are_refused_before_the_check_runs(logs, capsys, monkeypatch, args, line):
    import morvanta.pipeline.check as pc

    (logs / "out").mkdir()
    monkeypatch.setattr(pc, "check", lambda *a, **k: pytest.fail("the check ran before its outputs were checked"))
    assert main(capsys, "check", "base.parquet", "cur.parquet", *args) == (2, "", f"morvanta: error: {line}\n")
    assert sorted(p.name for p in logs.iterdir()) == ["base.parquet", "cur.parquet", "out"]
    # Monitor's and the demo's reports too.
    import morvanta.demo as demo

    monkeypatch.setattr(demo, "make_window", lambda *a: pytest.fail("the demo ran before its output was checked"))
    assert main(capsys, "demo", "--html", "/nonexistent/d.html")[0] == 2
    assert main(capsys, "monitor", "cur.parquet", "--rows", "50", "--html", "out")[2] == (
        "morvanta: error: cannot write --html 'out': it is a folder\n")


def test_all_outputs_are_rendered_before_any_is_written(logs, capsys, monkeypatch):
    pytest.importorskip("jinja2")
    pytest.importorskip("matplotlib")
    from morvanta.results import CheckResult

    def broken(self):
        raise RuntimeError("renderer fault")

    outs = ["--json", "r.json", "--prometheus", "r.prom", "--html", "r.html"]
    with monkeypatch.context() as m:
        m.setattr(CheckResult, "to_html", broken)
        status, out, err = main(capsys, "check", "base.parquet", "cur.parquet", *outs)
    assert status == 2 and err == "morvanta: error: internal error (RuntimeError): renderer fault\n"
    assert not any((logs / f).exists() for f in ("r.json", "r.prom", "r.html"))
    # A failing move into place names the path given, never the temporary file, and leaves none behind.
    real = os.replace

    def full(src, dst):
        if str(dst).endswith("r.prom"):
            raise OSError(errno.ENOSPC, "No space left on device")
        return real(src, dst)

    with monkeypatch.context() as m:
        m.setattr(os, "replace", full)
        status, _, err = main(capsys, "check", "base.parquet", "cur.parquet", *outs)
    assert (status, err) == (2, "morvanta: error: cannot write 'r.prom': No space left on device\n")
    assert not [p for p in logs.iterdir() if p.name.startswith(".morvanta-")]
    # And when everything works, every file is there and each parses.
    assert main(capsys, "check", "base.parquet", "cur.parquet", *outs)[0] == 0
    assert json.loads((logs / "r.json").read_text())["schema_version"] == 1
    assert (logs / "r.prom").read_text().startswith("# HELP morvanta_drift_score ")
    assert (logs / "r.html").read_text().startswith("<!DOCTYPE html>")


# ------------------------------------------------------------------ labels and terminal text data cannot break

NASTY = ["cr\rname", "lf\nname", "esc\x1b[31mred", 'quo"te', "back\\slash", "tab\tcol", "nul\x00x", "del\x7fx",
         "csi\x9bx", "sep\u2028x", "ünï©ødé ✓"]


def nasty_logs(n: int, seed: int, shift: float) -> dict[str, np.ndarray]:
    rng = np.random.default_rng(seed)
    # The first names drift the most, so the worst-columns line of the summary holds them.
    return {name: rng.normal(shift * (len(NASTY) - j) / 4, 1.0, n) for j, name in enumerate(NASTY)}


def test_prometheus_labels_round_trip_through_a_real_parser():
    parser = pytest.importorskip("prometheus_client.parser")
    r = morvanta.check(nasty_logs(300, 1, 0.0), nasty_logs(300, 2, 1.0))
    text = r.to_prometheus(per_column=True)
    families = {f.name: f for f in parser.text_string_to_metric_families(text)}
    columns = {s.labels["column"]: s.value for s in families["morvanta_drift_column_score"].samples}

    def expected(name: str) -> str:
        # Backslash, quote and line feed are escaped and come back; other controls become U+FFFD.
        return re.sub("[\x00-\x09\x0b-\x1f\x7f-\x9f\u2028\u2029]", "\ufffd", name)

    assert columns == {expected(c.name): c.score.score for c in r.columns}
    assert len(columns) == len(NASTY)  # no series forged, none lost
    assert {s.labels["dimension"] for s in families["morvanta_drift_score"].samples} == {"data"}
    # Every sample is one line: nothing but the escaped line feeds between the samples.
    assert all(re.fullmatch(r"[^\x00-\x1f\x7f-\x9f\u2028\u2029]*", line) for line in text.split("\n"))


def test_terminal_text_shows_control_characters_escaped(tmp_path, capsys):
    pd.DataFrame(nasty_logs(200, 1, 0.0)).to_parquet(tmp_path / "b.parquet")
    pd.DataFrame(nasty_logs(200, 2, 1.0)).to_parquet(tmp_path / "c.parquet")
    out = run("check", "b.parquet", "c.parquet", cwd=tmp_path)
    assert out.returncode == 0
    assert not re.search("[\x00-\x09\x0b-\x1f\x7f-\x9f\u2028]", out.stdout)
    assert "worst columns: cr\\rname " in out.stdout and ", esc\\x1b[31mred " in out.stdout
    # The data command's table of every column too.
    out = run("data", "b.parquet", "c.parquet", cwd=tmp_path)
    assert out.returncode == 0 and not re.search("[\x00-\x09\x0b-\x1f\x7f-\x9f\u2028]", out.stdout)
    escaped = ("lf\\nname", "nul\\x00x", "csi\\x9bx", "sep\\u2028x", "ünï©ødé ✓")
    assert all(f"\n{n} " in out.stdout for n in escaped)
    # An error about a file whose name holds a line feed and an escape stays one line.
    odd = "no\nsuch\x1b[2J.parquet"
    out = run("check", "b.parquet", odd, cwd=tmp_path)
    assert out.returncode == 2 and out.stderr.count("\n") == 1
    assert out.stderr == "morvanta: error: cannot read 'no\\nsuch\\x1b[2J.parquet': No such file or directory\n"
    # Notes of a check (a feature only one log has) are escaped the same way.
    from morvanta.render.text import printable

    assert printable("a\rb\x1b\u2028\ud800") == "a\\rb\\x1b\\u2028\\ud800"
    r = morvanta.check({"x\x1b": np.arange(40.0)}, {"y": np.arange(40.0)})
    assert "note: feature 'x\\x1b' is missing from the current log" in r.summary()


def test_progress_labels_are_escaped():
    import io

    from morvanta.cli.options import Progress

    tty = type("Tty", (io.StringIO,), {"isatty": lambda self: True})()
    with Progress(tty, delay=0.0, interval=0.01).step("loading evil\r\x1b[2Kname"):
        import time

        time.sleep(0.05)
    assert "evil\\r\\x1b[2Kname" in tty.getvalue() and "\x1b" not in tty.getvalue()


# ------------------------------------------------------------------ monitor outputs


def gappy_log(path: Path) -> None:
    rng = np.random.default_rng(2)
    hours = np.r_[0:6, 9:12]  # three hours without a request
    t = np.concatenate([T0 + h * 3600 + np.sort(rng.uniform(0, 3599, 60)) for h in hours])
    late = t > T0 + 10 * 3600
    pd.DataFrame({"timestamp": t, "latency_ms": rng.gamma(4, 80, t.size) * np.where(late, 2.0, 1.0),
                  "confidence": rng.beta(8, 2, t.size)}).to_parquet(path)


def test_monitor_jsonl_file_and_text_table(logs, capsys):
    gappy_log(logs / "gappy.parquet")
    status, streamed, notes = main(capsys, "monitor", "gappy.parquet", "--every", "1h")
    assert status == 0
    gap = ("morvanta: note: window 5: no requests for 3 periods, from 2023-11-14 06:00 to "
           "2023-11-14 09:00 UTC\n")
    level = ("morvanta: note: each window is tested at alpha 0.05: over 8 windows checked, about 0.4 drift by "
             "chance when nothing changed\n")
    assert notes.startswith(gap + level)
    assert [(x["window"], x["status"], x["periods"]) for x in map(json.loads, streamed.splitlines())] == [
        (0, "checked", 1), (1, "checked", 1), (2, "checked", 1), (3, "checked", 1), (4, "checked", 1),
        (5, "gap", 3), (8, "checked", 1), (9, "checked", 1), (10, "checked", 1)]
    html = ["--html", "m.html"] if importlib.util.find_spec("jinja2") and importlib.util.find_spec("matplotlib") else []
    status, out, err = main(capsys, "monitor", "gappy.parquet", "--every", "1h", "--jsonl", "w.jsonl", *html)
    assert (status, err) == (0, gap)  # the other notes are in the table's text
    if html:
        page = (logs / "m.html").read_text()
        assert '<tr class="gap"><th scope="row">5</th>' in page and "no requests for 3 periods" in page
        assert "1 gap without requests shaded" in page  # the charts' text alternative says so
        assert re.search(r"windows checked drifted \(at alpha 0.05 each, about 0.4 of the 8 would drift by chance\)"
                         r"(: [0-9: -]+(, [0-9: -]+)*)?\. 1 gap without requests \(3 empty periods\)\.</p>", page)
    # The file holds exactly the lines the stream gave; stdout gets the table of windows.
    assert (logs / "w.jsonl").read_text() == streamed
    assert re.search(r"^5 +2023-11-14 06:00 +0 +gap: no requests for 3 periods, until 2023-11-14 09:00$", out, re.M)
    assert re.search(r"^8 +2023-11-14 09:00 +60 +(DRIFT in|no drift)", out, re.M)
    assert "note: each window is tested at alpha 0.05: over 8 windows checked" in out
    assert re.search(r"\nverdict: (DRIFT in \d of 8 windows checked, about 0.4 expected by chance at alpha 0.05 each|"
                     r"no drift in any of the 8 windows checked); 1 gap without requests\n$", out)
    # The JSONL output is checked before the work like every other output.
    assert main(capsys, "monitor", "gappy.parquet", "--every", "1h", "--jsonl", "gappy.parquet")[2] == (
        "morvanta: error: --jsonl 'gappy.parquet' is the input 'gappy.parquet'; refusing to write over it\n")


def test_gaps_and_empty_verdicts_in_a_browser(logs):
    pytest.importorskip("jinja2")
    pytest.importorskip("matplotlib")
    import test_report_browser as rb

    if rb.CHROMIUM is None:
        pytest.skip("chromium is not installed")
    gappy_log(logs / "gappy.parquet")
    m = morvanta.monitor(str(logs / "gappy.parquet"), every="1h")
    (logs / "gaps.html").write_text(m.to_html(), encoding="utf-8")
    empty = morvanta.monitor(str(logs / "gappy.parquet"), every="1d")
    (logs / "empty.html").write_text(empty.to_html(), encoding="utf-8")
    probe = ("JSON.stringify(Array.from(document.querySelectorAll('tr.gap')).map("
             "r => [r.innerText, getComputedStyle(r.querySelector('td')).backgroundColor]))")
    browser = rb.Browser()
    try:
        info, errors, shot = rb.open_page(browser, logs / "gaps.html")
        assert errors == [] and info["resources"] == []
        rb.check_plots(info, 2)  # data and confidence over time
        assert all("1 gap without requests shaded" in s["desc"] for s in info["svgs"])
        assert info["verdict"].startswith("DRIFT") or info["verdict"].startswith("OK")
        assert "1 gap without requests (3 empty periods)" in info["verdict"]
        rb.assert_not_blank(shot)
        # The gap's row is marked, and marked visibly.
        target = browser.send("Target.createTarget", url=(logs / "gaps.html").as_uri())["targetId"]
        session = browser.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        time.sleep(0.5)
        rows = json.loads(browser.send("Runtime.evaluate", session, expression=probe, returnByValue=True)
                          ["result"]["value"])
        browser.send("Target.closeTarget", targetId=target)
        assert len(rows) == 1 and "no requests for 3 periods" in rows[0][0]
        assert rows[0][1] not in ("rgba(0, 0, 0, 0)", "rgb(255, 255, 255)")
        info, errors, _ = rb.open_page(browser, logs / "empty.html")
        assert errors == [] and info["verdict"].startswith("NOT TESTED") and "0 of 0" not in info["verdict"]
    finally:
        browser.close()

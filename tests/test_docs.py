"""The documentation runs: every Python and shell example in README.md and docs/
is executed on real sample logs, and what a page says a command prints is what it
prints. The command-line reference lists exactly the commands and options of
`morvanta --help`, the report images still match the report's layout, the
Prometheus rules pass promtool, and the site builds with warnings as errors.

Fenced blocks run as follows (one working folder per page, holding the sample
logs; the blocks of a page run in order and share one Python namespace):

- ``python``: executed; a ``text`` block right after it is its expected output;
- ``sh``: run with bash -e; it must succeed;
- ``console``: lines starting with ``$ `` are commands (a trailing backslash
  continues one), the lines after each its expected output (stdout and stderr);
- a line ``...`` in expected output stands for any number of lines;
- ``<!-- illustrative: REASON -->`` on the line before a block skips it;
- ``<!-- file: NAME -->`` on the line before a block (a TOML configuration, say)
  writes the block to NAME in the page's folder, for the blocks after it.

MORVANTA_DOCS_UPDATE=1 rewrites the expected outputs that no longer match in
place (check the diff, then trim long outputs back with ``...``).
"""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
import textwrap
import time
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
RUN = ("python", "sh", "console")
BLOCK_LIMIT = 30.0  # seconds: an example a reader waits longer for is not an example
UPDATE = os.environ.get("MORVANTA_DOCS_UPDATE") == "1"
ILLUSTRATIVE = re.compile(r"<!--\s*illustrative:(.*?)-->")
FILE = re.compile(r"<!--\s*file:\s*([\w.-]+)\s*-->")
FENCE = re.compile(r"^(`{3,})([\w+-]*)\s*$")


@dataclass
class Block:
    page: Path
    line: int  # 1-based line of the opening fence
    lang: str
    body: list[str]
    skip: str | None = None  # the reason, when illustrative
    file: str | None = None  # the file name the block is written to
    output: Block | None = None  # a python block's expected output
    body_start: int = 0  # 0-based index of the first body line in the page

    @property
    def where(self) -> str:
        page = self.page.relative_to(ROOT) if self.page.is_relative_to(ROOT) else self.page.name
        return f"{page}:{self.line}"


def parse(page: Path) -> list[Block]:
    lines = page.read_text(encoding="utf-8").splitlines()
    blocks: list[Block] = []
    i = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        fence, lang = m.group(1), m.group(2)
        j = i + 1
        while j < len(lines) and lines[j].rstrip() != fence:
            j += 1
        if j == len(lines):
            raise AssertionError(f"{page.relative_to(ROOT)}:{i + 1}: unclosed code block")
        prev = next((lines[k] for k in range(i - 1, -1, -1) if lines[k].strip()), "")
        skip = ILLUSTRATIVE.search(prev)
        file = FILE.search(prev)
        blocks.append(Block(page, i + 1, lang, lines[i + 1:j], skip.group(1).strip() if skip else None,
                            file.group(1) if file else None, body_start=i + 1))
        i = j + 1
    # A text block that follows a python block (only blank lines between) is its output.
    for a, b in zip(blocks, blocks[1:]):
        between = lines[a.body_start + len(a.body) + 1:b.line - 1]
        if a.lang == "python" and b.lang == "text" and not any(s.strip() for s in between):
            a.output = b
    return blocks


def matches(expected: list[str], got: list[str]) -> bool:
    """Line by line after trailing blanks; a line '...' matches any number of lines."""
    expected = [e.rstrip() for e in expected]
    got = [g.rstrip() for g in got]
    while got and not got[-1]:
        got.pop()
    while expected and not expected[-1]:
        expected.pop()

    def walk(i: int, j: int) -> bool:
        if i == len(expected):
            return j == len(got)
        if expected[i] == "...":
            return any(walk(i + 1, k) for k in range(j, len(got) + 1))
        return j < len(got) and expected[i] == got[j] and walk(i + 1, j + 1)

    return walk(0, 0)


# ---------------------------------------------------------------- sample logs


@pytest.fixture(scope="session")
def sample_logs(tmp_path_factory):
    """The sample logs as the docs tell a reader to make them: `morvanta demo --logs DIR`."""
    pytest.importorskip("pyarrow")
    folder = tmp_path_factory.mktemp("sample-logs")
    from morvanta.demo import sample_log_names

    proc = subprocess.run([sys.executable, "-m", "morvanta", "demo", "--logs", str(folder)],
                          capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    missing = [f for f in sample_log_names() if not (folder / f).exists()]
    assert not missing, f"the sample logs lack {missing}: the docs' examples read them"
    return folder


@pytest.fixture(scope="session")
def shell_env(tmp_path_factory, sample_logs):
    """PATH with a `morvanta` command that runs this interpreter's package (the
    installed one, or the build under test through PYTHONPATH)."""
    bin_dir = tmp_path_factory.mktemp("bin")
    shim = bin_dir / "morvanta"
    shim.write_text(f"#!/bin/bash\nexec {sys.executable} -m morvanta \"$@\"\n")
    shim.chmod(0o755)
    env = dict(os.environ)
    env["PATH"] = f"{bin_dir}:{env['PATH']}"
    env["COLUMNS"] = "80"
    # The examples run in other folders: a relative PYTHONPATH (the build under test) must still point at it.
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(str(Path(p).resolve()) for p in env["PYTHONPATH"].split(os.pathsep))
    env.pop("MORVANTA_DOCS_UPDATE", None)
    return env


# ---------------------------------------------------------------- running a page

DRIVER = r"""
def _serve():  # a function, so that the examples' names never overwrite the runner's
    import contextlib, io, json, os, sys, time, traceback
    requests = os.fdopen(int(sys.argv[1]), "r")
    replies = os.fdopen(int(sys.argv[2]), "w")
    ns = sys.modules["__main__"].__dict__  # functions defined by a block pickle by reference to __main__
    for line in requests:
        b = json.loads(line)
        out = io.StringIO()
        start = time.monotonic()
        error = None
        try:
            with contextlib.redirect_stdout(out):
                exec(compile(b["code"], b["file"], "exec"), ns)
        except BaseException:
            error = traceback.format_exc()
        replies.write(json.dumps({"out": out.getvalue(), "seconds": time.monotonic() - start, "error": error}) + "\n")
        replies.flush()
_serve()
"""


class Interpreter:
    """One Python process per page: its blocks run in order in one namespace, between
    the page's shell blocks."""

    def __init__(self, cwd: Path, env: dict) -> None:
        req_r, self._req = os.pipe()
        self._rep, rep_w = os.pipe()
        self._stderr = open(cwd / ".python-stderr", "w+")
        self.proc = subprocess.Popen([sys.executable, "-c", DRIVER, str(req_r), str(rep_w)], cwd=cwd, env=env,
                                     pass_fds=(req_r, rep_w), stdout=subprocess.DEVNULL, stderr=self._stderr)
        os.close(req_r)
        os.close(rep_w)
        self._replies = os.fdopen(self._rep, "r")

    def run(self, block: Block) -> dict:
        os.write(self._req, (json.dumps({"code": "\n" * block.body_start + "\n".join(block.body) + "\n",
                                        "file": block.where.rsplit(":", 1)[0]}) + "\n").encode())
        line = self._replies.readline()
        if not line:
            self._stderr.seek(0)
            raise AssertionError(f"{block.where}: the Python process running the examples died\n{self._stderr.read()}")
        return json.loads(line)

    def close(self) -> None:
        os.close(self._req)
        self._replies.close()
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self._stderr.close()


def run_console(block: Block, cwd: Path, env: dict) -> list[tuple[str, list[str], list[str], int]]:
    """Runs the commands of a console block in one bash; returns (command, expected,
    got, line of the command) per command."""
    commands: list[tuple[str, list[str], int]] = []
    i = 0
    body = block.body
    while i < len(body):
        if not body[i].startswith("$ "):
            raise AssertionError(f"{block.where}: console output before any '$ ' command")
        line = i
        cmd = body[i][2:]
        while cmd.endswith("\\"):
            i += 1
            cmd = cmd + "\n" + body[i]
        i += 1
        expected = []
        while i < len(body) and not body[i].startswith("$ "):
            expected.append(body[i])
            i += 1
        commands.append((cmd, expected, line))
    marker = "@@morvanta-docs-{}@@"
    script = []
    for n, (cmd, _, _) in enumerate(commands):
        # The marker keeps the previous command's status, so that `echo $?` reads it.
        script.append(f"__rc=$?; echo '{marker.format(n)}'; (exit $__rc)")
        script.append(cmd)
    start = time.monotonic()
    proc = subprocess.run(["bash", "-c", "\n".join(script) + "\n"], cwd=cwd, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=BLOCK_LIMIT * 4)
    took = time.monotonic() - start
    assert took < BLOCK_LIMIT, f"{block.where}: the example took {took:.1f} s"
    parts = re.split(r"@@morvanta-docs-(\d+)@@\n", proc.stdout)
    got: dict[int, list[str]] = {int(parts[k]): parts[k + 1].splitlines() for k in range(1, len(parts), 2)}
    return [(cmd, exp, got.get(n, ["<not run>"]), line) for n, (cmd, exp, line) in enumerate(commands)]


def run_page(page: Path, workdir: Path, env: dict) -> list[tuple]:
    """Runs every block of ``page`` in order; returns (block, expected output lines, got[,
    command index]) for every output that differs. Failures of the code itself raise."""
    blocks = [b for b in parse(page) if (b.lang in RUN or b.file) and b.skip is None]
    python = Interpreter(workdir, env) if any(b.lang == "python" for b in blocks) else None
    diffs: list[tuple] = []
    try:
        for b in blocks:
            if b.file:
                (workdir / b.file).write_text("\n".join(b.body) + "\n", encoding="utf-8")
            elif b.lang == "python":
                assert python is not None
                r = python.run(b)
                assert r["error"] is None, f"{b.where}: the example raised\n{r['error']}"
                assert r["seconds"] < BLOCK_LIMIT, f"{b.where}: the example took {r['seconds']:.1f} s"
                if b.output is not None and not matches(b.output.body, r["out"].splitlines()):
                    diffs.append((b.output, b.output.body, r["out"].splitlines()))
            elif b.lang == "sh":
                start = time.monotonic()
                proc = subprocess.run(["bash", "-e", "-c", "\n".join(b.body)], cwd=workdir, env=env,
                                      capture_output=True, text=True, timeout=BLOCK_LIMIT * 4)
                assert proc.returncode == 0, f"{b.where}: exit status {proc.returncode}\n{proc.stdout}{proc.stderr}"
                took = time.monotonic() - start
                assert took < BLOCK_LIMIT, f"{b.where}: the example took {took:.1f} s"
            else:
                for cmd, expected, got, line in run_console(b, workdir, env):
                    if not matches(expected, got):
                        diffs.append((b, expected, got, line))
    finally:
        if python is not None:
            python.close()
    return diffs


def rewrite(page: Path, diffs: list) -> None:
    """Puts the outputs the examples printed into the page (MORVANTA_DOCS_UPDATE=1)."""
    lines = page.read_text(encoding="utf-8").splitlines()
    # From the bottom up, so that earlier line numbers stay valid.
    edits = []
    for d in diffs:
        block, expected, got = d[0], d[1], d[2]
        if block.lang == "text":
            edits.append((block.body_start, block.body_start + len(block.body), got))
        else:
            start = block.body_start + d[3] + 1
            while lines[start - 1].endswith("\\"):
                start += 1
            edits.append((start, start + len(expected), got))
    for a, b, new in sorted(edits, reverse=True):
        lines[a:b] = new
    page.write_text("\n".join(lines) + "\n", encoding="utf-8")


def page_id(page: Path) -> str:
    return str(page.relative_to(ROOT))


@pytest.mark.parametrize("page", [p for p in PAGES if any(b.lang in RUN for b in parse(p))], ids=page_id)
def test_the_examples_of_a_page_run_and_print_what_it_says(page, sample_logs, shell_env, tmp_path):
    for f in sample_logs.iterdir():
        (tmp_path / f.name).symlink_to(f)
    diffs = run_page(page, tmp_path, shell_env)
    if diffs and UPDATE:
        rewrite(page, diffs)
        pytest.skip(f"rewrote {len(diffs)} output(s) of {page_id(page)}")
    report = []
    for d in diffs:
        block, expected, got = d[0], d[1], d[2]
        where = block.where if block.lang == "text" else f"{block.where.rsplit(':', 1)[0]}:{block.line + 1 + d[3]}"
        report.append(f"{where}: expected\n" + "\n".join(expected) + "\n--- got\n" + "\n".join(got))
    assert not report, "\n\n".join(report) + "\n\n(MORVANTA_DOCS_UPDATE=1 rewrites them)"


def test_every_example_block_is_run_or_says_why_not():
    langs = {"python", "sh", "console", "text", "toml", "yaml", "json", ""}
    for page in PAGES:
        for b in parse(page):
            assert b.lang in langs, f"{b.where}: unknown block language {b.lang!r}"
            assert b.lang, f"{b.where}: a code block needs a language (text for output)"
            if b.skip is not None:
                assert len(b.skip) > 8, f"{b.where}: an illustrative block needs a reason"
            if b.lang == "console":
                assert b.body and b.body[0].startswith("$ "), f"{b.where}: a console block starts with '$ '"


def test_the_runner_matches_outputs_and_reports_failures(tmp_path, shell_env):
    assert matches(["a", "...", "d"], ["a", "b", "c", "d"]) and matches(["a", "..."], ["a"])
    assert not matches(["a", "d"], ["a", "b", "d"]) and not matches(["a"], ["b"])
    page = tmp_path / "page.md"
    page.write_text(textwrap.dedent("""\
        ```python
        x = 2
        print(x * 21)
        ```

        ```text
        41
        ```

        ```console
        $ echo one; false
        one
        $ echo $?
        1
        $ printf 'a\\nb\\n' \\
            | wc -l
        3
        ```

        <!-- file: settings.toml -->
        ```toml
        answer = 42
        ```

        ```console
        $ cat settings.toml
        answer = 42
        ```

        <!-- illustrative: needs a cluster that this test has not -->
        ```python
        raise SystemExit("never run")
        ```
        """))
    diffs = run_page(page, tmp_path, shell_env)
    assert [(d[1], d[2]) for d in diffs] == [(["41"], ["42"]), (["3"], ["2"])]
    rewrite(page, diffs)
    assert run_page(page, tmp_path, shell_env) == []
    page.write_text("```python\nimport time\n1 / 0\n```\n")
    with pytest.raises(AssertionError, match=r"(?s)page.md:1: the example raised.*page.md\", line 3.*ZeroDivisionError"):
        run_page(page, tmp_path, shell_env)
    page.write_text("```sh\nfalse\n```\n")
    with pytest.raises(AssertionError, match="page.md:1: exit status 1"):
        run_page(page, tmp_path, shell_env)


# ---------------------------------------------------------------- the command-line reference


def help_text(*args: str) -> str:
    proc = subprocess.run([sys.executable, "-m", "morvanta", *args, "--help"], capture_output=True, text=True,
                          env={**os.environ, "COLUMNS": "200"})
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def commands_in_help() -> list[str]:
    text = help_text()
    block = text.split("positional arguments:")[1].split("options:")[0]
    return re.findall(r"^    (\w+)", block, re.M)


def options_in_help(cmd: str) -> set[str]:
    text = help_text(cmd)
    opts = text.split("options:", 1)[1].split("exit status:")[0]
    found = set(re.findall(r"^  (-[-\w]+(?:, --[-\w]+)?)", opts, re.M))
    names = {o.split(", ")[-1] for o in found} - {"--help"}
    positionals = text.split("positional arguments:", 1)[1].split("options:")[0] if "positional arguments:" in text \
        else ""
    return names | set(re.findall(r"^  (\S+)", positionals, re.M))


def documented() -> dict[str, set[str]]:
    """Command -> the options and arguments docs/cli.md lists in its table."""
    text = (ROOT / "docs" / "cli.md").read_text(encoding="utf-8")
    out: dict[str, set[str]] = {}
    for section in re.split(r"^## ", text, flags=re.M)[1:]:
        m = re.match(r"`morvanta (\w+)", section)
        if m:
            out[m.group(1)] = set(re.findall(r"^\| `([^` ]+)", section, re.M))
    return out


def test_the_command_line_reference_lists_every_command_and_option():
    docs = documented()
    assert sorted(docs) == sorted(commands_in_help()), "docs/cli.md has a section per command of `morvanta --help`"
    for cmd, listed in docs.items():
        real = options_in_help(cmd)
        assert listed == real, (f"docs/cli.md, morvanta {cmd}: undocumented {sorted(real - listed)}, "
                                f"no longer there {sorted(listed - real)}")


def test_the_exit_statuses_in_the_reference_are_the_commands():
    text = (ROOT / "docs" / "cli.md").read_text(encoding="utf-8")
    table = re.findall(r"^\| (\d+) \|", text, re.M)
    real = re.findall(r"^  (\d+) ", help_text().split("exit status:")[1], re.M)
    assert table == real


# ---------------------------------------------------------------- images, rules, site


def png_size(path: Path) -> tuple[int, int]:
    head = path.read_bytes()[:24]
    assert head[:8] == b"\x89PNG\r\n\x1a\n", f"{path} is not a PNG"
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")


def test_the_docs_show_every_report_image_and_only_those():
    images = {p.name for p in (ROOT / "docs" / "images").glob("*.png")}
    used = set()
    for page in PAGES:
        for ref in re.findall(r"!\[[^\]]+\]\(([^)]+\.png)\)", page.read_text(encoding="utf-8")):
            assert (page.parent / ref).resolve().exists(), f"{page_id(page)}: missing image {ref}"
            used.add(Path(ref).name)
    assert used == images


@pytest.mark.slow
def test_the_report_images_match_the_report_as_it_renders_now(tmp_path):
    """Regenerates the screenshots and compares their sizes: a report whose layout
    changed (a section more, a plot less) needs `tools/report-images.py` again."""
    pytest.importorskip("jinja2")
    pytest.importorskip("matplotlib")
    if not any(shutil.which(b) for b in ("chromium", "chromium-browser", "google-chrome")):
        pytest.skip("chromium is not installed")
    proc = subprocess.run([sys.executable, str(ROOT / "tools" / "report-images.py"), "--out", str(tmp_path)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    committed = {p.name: png_size(p) for p in (ROOT / "docs" / "images").glob("*.png")}
    fresh = {p.name: png_size(p) for p in tmp_path.glob("*.png")}
    assert sorted(fresh) == sorted(committed)
    for name, (w, h) in fresh.items():
        cw, ch = committed[name]
        assert w == cw and abs(h - ch) <= 0.1 * ch, (
            f"{name}: {w}x{h} now, {cw}x{ch} committed: run tools/report-images.py")
    from matplotlib.image import imread

    for p in tmp_path.glob("*.png"):
        gray = imread(p)[..., :3].mean(axis=2)
        assert gray.std() > 0.05 and (gray < 0.5).mean() > 0.002, f"{p.name} is blank"


RULES = sorted((ROOT / "docs" / "alerts").glob("*.yml"))
PROMTOOL = shutil.which("promtool")


def promtool(*args: str) -> subprocess.CompletedProcess:
    if PROMTOOL is None:
        pytest.skip("promtool is not installed (Debian package prometheus; tools/run-tests.sh installs it as root)")
    return subprocess.run([PROMTOOL, *args], capture_output=True, text=True, timeout=120)


def test_the_alerting_and_recording_rules_are_valid():
    assert RULES, "docs/alerts/ holds the rule files"
    proc = promtool("check", "rules", *map(str, RULES))
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_the_alerts_fire_on_the_series_they_are_written_for():
    proc = promtool("test", "rules", str(ROOT / "tests" / "data" / "morvanta-rules.test.yml"))
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_the_rules_read_only_metrics_the_package_writes(sample_logs, tmp_path):
    out = tmp_path / "drift.prom"
    subprocess.run([sys.executable, "-m", "morvanta", "check", str(sample_logs / "baseline.parquet"),
                    str(sample_logs / "current.parquet"), "--p-values", "--permutations", "99",
                    "--prometheus", str(out), "--per-column"], check=True, capture_output=True)
    written = set(re.findall(r"^# TYPE (\w+) ", out.read_text(), re.M))
    recorded = set()
    used = set()
    for rules in RULES:
        text = rules.read_text()
        recorded |= set(re.findall(r"^\s*- record: ([\w:]+)", text, re.M))
        used |= {m for m in re.findall(r"\b(morvanta_\w+)", text) if ":" not in m}
    assert used <= written, f"the rules read metrics the package never writes: {sorted(used - written)}"
    assert {"morvanta_drift_detected", "morvanta_drift_any", "morvanta_drift_score",
            "morvanta_drift_p_value_adjusted", "morvanta_drift_check_timestamp_seconds"} <= used
    assert recorded, "the rules record at least one series"


@pytest.mark.slow
def test_the_site_builds_with_warnings_as_errors(tmp_path):
    """tools/run-tests.sh builds the site once (tools/build-docs.sh, timed) and names it
    in MORVANTA_DOCS_SITE; run alone, the test builds it."""
    site = Path(os.environ.get("MORVANTA_DOCS_SITE", tmp_path / "site"))
    if "MORVANTA_DOCS_SITE" not in os.environ:
        pytest.importorskip("mkdocs")
        pytest.importorskip("mkdocstrings")
        proc = subprocess.run(["bash", str(ROOT / "tools" / "build-docs.sh"), str(site)], capture_output=True,
                              text=True, timeout=600)
        assert proc.returncode == 0, proc.stdout + proc.stderr
    pages = {p.relative_to(site).parent.as_posix() for p in site.rglob("index.html")}
    expected = {p.relative_to(ROOT / "docs").with_suffix("").as_posix() for p in (ROOT / "docs").rglob("*.md")}
    assert pages == {"." if e == "index" else e for e in expected}
    api = (site / "api" / "detectors" / "index.html").read_text(encoding="utf-8")
    # The reference is generated from the stubs' docstrings, not written by hand.
    assert "detect_with_correctness" in api and "dimension mismatch" in api
    for page in site.joinpath("api").rglob("index.html"):
        assert ":class:" not in page.read_text(encoding="utf-8"), page
    assert (site / "images" / "report-summary.png").exists() and (site / "alerts" / "morvanta-rules.yml").exists()
    # The site works offline: no stylesheet, script or font from another host.
    for page in site.rglob("*.html"):
        remote = re.findall(r'<(?:link|script)[^>]*(?:href|src)="(https?://[^"]*)"', page.read_text(encoding="utf-8"))
        assert not remote, f"{page.relative_to(site)} loads {remote}"

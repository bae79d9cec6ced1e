"""The ``morvanta`` command line.

Exit status: 0 when the check ran (and, with --fail-on-drift, nothing drifted),
1 when --fail-on-drift is given and drift was found (by default: a permutation
p-value, Holm-adjusted over the dimensions tested, at or below --alpha), 2 for
anything else that stops a check from finishing (bad input or usage, out of
memory, an internal fault), 130 when interrupted. 0 and 1 therefore always mean
a finished check. Errors are one line on stderr, "morvanta: error: ...", and
every error about an input names the file (and the line or column when known).
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, TypeVar

from .._native import (
    ConfidenceDrift,
    DataDrift,
    DriftReport,
    DriftScore,
    EmbeddingDrift,
    MorvantaError,
    QueryDrift,
    ResponseDrift,
    __version__,
)
from ..dimensions import settings_of
from ..engines.columns import column_scores, worst_first
from ..errors import cause
from ..io.files import InputError, load_confidences, load_embeddings, load_flags, load_numbers, load_table
from ..io.frames import match_columns
from ..errors import ArgumentError
from ..pipeline.decide import parts_of, permutations_for, run_test
from ..render.text import fmt, fmt_p, p_verdict, printable, score_table, table, verdict
from .options import PROG, Progress, UsageError, _count, _Parser, _seed, _threshold

if TYPE_CHECKING:
    pass

__all__ = ["main", "Progress"]


_T = TypeVar("_T")

EXIT_STATUS = """\
what decides:
  by default a dimension drifts when its permutation p-value, Holm-adjusted
  over the dimensions tested, is at or below --alpha (0.05); the score's
  threshold is shown beside it. --fixed-thresholds decides by the thresholds
  instead (no known false-alarm rate), check --calibrate RATE by thresholds
  calibrated on the baseline; --min-effect DIM=SCORE also asks for a score;
  monitor --persist K/N alerts only when K of the last N windows drifted.

exit status:
  0    the check ran (with --fail-on-drift: and nothing drifted)
  1    --fail-on-drift was given and drift was found, as decided above
  2    the check did not finish: bad input or usage, out of memory, internal fault
  130  interrupted (Ctrl-C)"""


# ------------------------------------------------------------------ progress


# ------------------------------------------------------------------ argument parsing


def build_parser() -> argparse.ArgumentParser:
    common = _Parser(add_help=False)
    common.add_argument("--json", action="store_true", help="print the DriftReport as JSON instead of a table")
    common.add_argument(
        "--fail-on-drift",
        action="store_true",
        help="exit with status 1 when drift is found (for CI gates and cron jobs)",
    )

    parser = _Parser(
        prog=PROG,
        description="Measure drift between a baseline window and a current window of an LLM QA pipeline.",
        epilog=EXIT_STATUS,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    def command(name: str, help: str, run: Callable[[argparse.Namespace, Progress], int]) -> argparse.ArgumentParser:
        p = sub.add_parser(
            name,
            help=help,
            description=help,
            parents=[common],
            epilog=EXIT_STATUS,
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        p.set_defaults(run=run)
        return p

    def threshold(p: argparse.ArgumentParser, default: float) -> None:
        p.add_argument(
            "--threshold",
            type=_threshold,
            default=None,
            help=f"score at which drift is reported with --fixed-thresholds, a finite number >= 0 (default {default})",
        )
        _test_options(p)

    def cast(p: argparse.ArgumentParser) -> None:
        p.add_argument("--cast", action="store_true", help="convert embeddings of another dtype to float32")

    p = command("demo", "run all five detectors on built-in synthetic traffic", _run_demo)
    p.add_argument(
        "--scenario",
        choices=("stable", "drift", "all"),
        default="all",
        help="which current window to score against the baseline (default all)",
    )
    p.add_argument("--html", metavar="FILE", help="also write the HTML report of the drift scenario to FILE")
    p.add_argument("--fixed-thresholds", action="store_true",
                   help="decide by the detectors' fixed thresholds instead of permutation p-values")
    p.add_argument("--logs", metavar="DIR",
                   help="instead of scoring, write the demo's traffic as sample request logs into DIR "
                        "(Parquet, CSV, JSON Lines; created if needed) and list them")
    p.add_argument("--force", action="store_true",
                   help="with --logs: replace sample logs already in DIR (other files there are never touched)")

    p = command("data", "tabular feature drift (KS and PSI per column)", _run_data)
    p.add_argument("baseline", metavar="BASELINE", help="baseline table: .csv/.tsv with a header, .parquet or .npy")
    p.add_argument("current", metavar="CURRENT", help="current table, same columns")
    threshold(p, 0.1)
    p.add_argument("--n-bins", type=_count, default=None, help="PSI bins (default 10)")

    p = command("embedding", "embedding drift (MMD + sliced Wasserstein)", _run_embedding)
    p.add_argument("baseline", metavar="BASELINE.npy", help="baseline embeddings, 2-D float32")
    p.add_argument("current", metavar="CURRENT.npy", help="current embeddings, same width")
    threshold(p, 0.05)
    p.add_argument("--n-projections", type=_count, default=None, help="random projections (default 64)")
    p.add_argument("--seed", type=_seed, default=None, help="projection seed (default 0)")
    cast(p)

    p = command("query", "query drift (k-means clusters, symmetric KL)", _run_query)
    p.add_argument("baseline", metavar="BASELINE.npy", help="baseline query embeddings, 2-D float32")
    p.add_argument("current", metavar="CURRENT.npy", help="current query embeddings, same width")
    threshold(p, 0.1)
    p.add_argument("--k", type=_count, default=None, help="number of clusters (default 8)")
    p.add_argument("--seed", type=_seed, default=None, help="clustering seed (default 0)")
    cast(p)

    p = command("response", "response drift (KS of lengths, + sliced Wasserstein of embeddings)", _run_response)
    p.add_argument("baseline", metavar="BASELINE_LENGTHS", help="answer lengths: .npy or one number per line")
    p.add_argument("current", metavar="CURRENT_LENGTHS", help="current answer lengths")
    p.add_argument("--baseline-embeddings", metavar="X.npy", help="baseline answer embeddings, 2-D float32")
    p.add_argument("--current-embeddings", metavar="Y.npy", help="current answer embeddings")
    threshold(p, 0.2)
    p.add_argument("--seed", type=_seed, default=None, help="projection seed (default 0)")
    cast(p)

    p = command("confidence", "confidence drift (KS, + change of calibration error)", _run_confidence)
    p.add_argument("baseline", metavar="BASELINE", help="confidences: .npy or one number per line")
    p.add_argument("current", metavar="CURRENT", help="current confidences")
    p.add_argument("--baseline-correct", metavar="F", help="baseline correctness flags: .npy or one per line")
    p.add_argument("--current-correct", metavar="F", help="current correctness flags")
    threshold(p, 0.2)
    p.add_argument("--n-calib-bins", type=_count, default=None, help="calibration bins (default 10)")

    from .pipeline import add_commands as add_check_commands

    add_check_commands(command)
    from .baseline import add_command as add_baseline_command

    add_baseline_command(command)
    return parser


def _test_options(p: argparse.ArgumentParser) -> None:
    """How a single detector's result is decided: its permutation p-value by default."""
    p.add_argument("--alpha", type=_level, default=None,
                   help="the score drifts when its permutation p-value is at or below ALPHA (default 0.05)")
    p.add_argument("--permutations", type=_permutations, default=None, metavar="N",
                   help="permutations (default: 999, more where --alpha needs them)")
    p.add_argument("--permutation-seed", type=_seed, default=None, metavar="S",
                   help="seed of the permutations (default 0)")
    p.add_argument("--exact", action="store_true",
                   help="run every permutation (by default the test stops early once its p-value is clearly large)")
    p.add_argument("--fixed-thresholds", action="store_true",
                   help="decide by --threshold instead of the p-value (no known false-alarm rate)")


def _level(text: str) -> float:
    from .options import float_option

    return float_option(text, "a number in (0, 1)", lambda v: 0.0 < v < 1.0)


def _permutations(text: str) -> int:
    from .options import int_option

    return int_option(text, "a positive integer below 2**63", lambda v: 1 <= v < 1 << 63)


def _options(args: argparse.Namespace, **names: str) -> dict[str, Any]:
    """Detector keyword arguments for the options the user gave (the rest keep
    the detector's own defaults)."""
    return {param: getattr(args, attr) for param, attr in names.items() if getattr(args, attr) is not None}


# ------------------------------------------------------------------ output


def _json_number(x: float) -> float | None:
    return x if math.isfinite(x) else None


@dataclass(frozen=True)
class _Decision:
    """How one detector's result was decided: by its permutation test (``test`` set) or its threshold."""

    drifted: bool
    alpha: float | None = None
    test: Any = None

    @property
    def p_value(self) -> float:
        return math.nan if self.test is None else float(self.test.p_value)

    def part_p(self) -> dict[int, float]:
        """The smallest adjusted p-value of each column's parts (a data test)."""
        out: dict[int, float] = {}
        for part in parts_of(self.test):
            if part.column is None or getattr(part, "excluded", False) or math.isnan(part.p_adjusted):
                continue
            j = int(part.column)
            out[j] = min(out.get(j, math.inf), float(part.p_adjusted))
        return out

    def to_json(self) -> str:
        if self.test is None:
            body: dict[str, Any] = {"decided_by": "threshold", "drifted": self.drifted}
        else:
            t = self.test
            body = {
                "decided_by": "p-value", "drifted": self.drifted, "alpha": self.alpha,
                "p_value": _json_number(float(t.p_value)), "statistic": str(t.statistic),
                "n_permutations": int(t.n_permutations),
                "permutations_run": getattr(t, "permutations_run", t.n_permutations),
                "stopped": bool(getattr(t, "stopped", False)), "seed": int(t.seed),
                "rows_tested": {"baseline": getattr(t, "n_baseline", None), "current": getattr(t, "n_current", None)},
                "sampled": bool(getattr(t, "sampled", False)),
                "parts": [{"name": str(p.name), "column": p.column, "statistic": _json_number(float(p.statistic)),
                           "p_value": _json_number(float(p.p_value)), "p_adjusted": _json_number(float(p.p_adjusted)),
                           "excluded": bool(getattr(p, "excluded", False))} for p in parts_of(t)],
            }
        return '"decision":' + json.dumps(body, separators=(",", ":"), ensure_ascii=False)


def _test_settings(args: argparse.Namespace) -> None:
    """Refuses flags that the decision rule would ignore, before any input is read."""
    if args.fixed_thresholds:
        for flag, value in (("--alpha", args.alpha), ("--permutations", args.permutations),
                            ("--permutation-seed", args.permutation_seed), ("--exact", args.exact or None)):
            if value is not None:
                raise UsageError(f"{flag} needs p-value decisions, which --fixed-thresholds replaces")
    elif args.threshold is not None:
        raise UsageError("--threshold sets a fixed threshold, but the p-value decides by default; add "
                         "--fixed-thresholds to decide by it")


def _decide(args: argparse.Namespace, progress: Progress, score: DriftScore, method: Callable[..., Any],
            base: Any, cur: Any, *inputs: tuple[str, Any], rows_below: int | None = None) -> _Decision:
    """The decision of one detector call: its combined permutation test at --alpha, or its threshold."""
    if args.fixed_thresholds:
        return _Decision(bool(score.exceeded))
    alpha = args.alpha if args.alpha is not None else 0.05
    try:
        n, _ = permutations_for(1, alpha, args.permutations)
    except ArgumentError as err:
        raise UsageError(f"argument --permutations: {err.detail}") from None
    seed = args.permutation_seed if args.permutation_seed is not None else 0
    with progress.step(f"permutation test ({n:,} permutations)"), _about(*inputs, rows_below=rows_below):
        test = run_test(method, base, cur, n_permutations=n, seed=seed, exact=args.exact)
    p = float(test.p_value)
    return _Decision(not math.isnan(p) and p <= alpha, alpha, test)


def _decision_line(d: _Decision) -> str:
    if d.test is None:
        return "decided by: the fixed threshold (no known false-alarm rate)"
    t = d.test
    how = "all" if getattr(t, "permutations_run", t.n_permutations) == t.n_permutations and not getattr(
        t, "stopped", False) else f"{getattr(t, 'permutations_run', t.n_permutations):,} of"
    return (f"decided by: the permutation p-value at alpha {d.alpha:g} ({how} {t.n_permutations:,} permutations, "
            f"seed {t.seed})")


def _finish(args: argparse.Namespace, report: DriftReport, text: str, extra_json: str, drifted: bool) -> int:
    if args.json:
        body = report.to_json()
        if extra_json:
            body = body[:-1] + "," + extra_json + "}"
        print(body)
    else:
        print(text)
    return 1 if args.fail_on_drift and drifted else 0


def _single(
    args: argparse.Namespace,
    score: DriftScore,
    n_baseline: int,
    n_current: int,
    decision: _Decision,
    details: str = "",
    extra_json: str = "",
) -> int:
    report = DriftReport([score], n_baseline, n_current)
    tested = None if decision.test is None else [(decision.p_value, decision.drifted)]
    lines = [
        f"baseline: {n_baseline:,} samples, current: {n_current:,} samples",
        _decision_line(decision),
        "",
        score_table([score], tested),
    ]
    if details:
        lines += ["", details]
    lines += ["", verdict([score]) if decision.test is None else p_verdict(decision.p_value, decision.alpha or 0.05,
                                                                            decision.drifted)]
    extra = ",".join(x for x in (extra_json, decision.to_json()) if x)
    return _finish(args, report, "\n".join(lines), extra, decision.drifted)


# ------------------------------------------------------------------ inputs


def _note(message: str) -> None:
    print(f"{PROG}: note: {printable(message)}", file=sys.stderr)


def _files(paths: Sequence[str]) -> str:
    quoted = [f"'{p}'" for p in dict.fromkeys(paths)]
    return quoted[0] if len(quoted) == 1 else ", ".join(quoted[:-1]) + " and " + quoted[-1]


def _blame(err: MorvantaError, inputs: Sequence[tuple[str, Any]], rows_below: int | None = None) -> str | None:
    """The file(s) a core error is about, as the start of the error line, or None
    for an error about the settings (say "k must be > 0").

    The core only knows arrays; which file held the NaN, the short window or the
    other width is worked out here from the error's cause (its ``kind``,
    ``expected`` and ``got``, see :mod:`morvanta.errors`) and the loaded data.
    ``rows_below`` is a row count the settings need (k clusters): a settings
    error then names the files with fewer rows. When nothing singles a file
    out, every input of the call is named.
    """
    import numpy as np

    kind, expected, got, _ = cause(err)
    arrays = [(path, np.asarray(data)) for path, data in inputs]
    if kind == "numerical_instability":
        # Raised by the embedding kernels only; a NaN length or confidence is a
        # missing value, never the cause.
        found = []
        for path, a in arrays:
            if a.dtype.kind != "f" or a.ndim != 2:
                continue
            bad = np.flatnonzero(~np.isfinite(a).all(axis=1))
            if bad.size:
                found.append(f"'{path}' (NaN or infinity in {bad.size:,} of {len(a):,} rows, first at index {bad[0]})")
        if found:
            return " and ".join(found)
    if kind == "insufficient_samples" and got is not None:
        named = [p for p, a in arrays if a.ndim >= 1 and len(a) == got]
        if named:
            return _files(named)
    if kind == "dimension_mismatch" and got is not None:
        # Widths of 2-D inputs, lengths of 1-D ones.
        wanted = {expected, got}
        named = [p for p, a in arrays if a.ndim >= 1 and (a.shape[1] if a.ndim == 2 else len(a)) in wanted]
        if named:
            return _files(named)
    if kind == "invalid_config":
        if rows_below is not None:
            named = [p for p, a in arrays if a.ndim >= 1 and len(a) < rows_below]
            if named:
                return _files(named)
        return None
    return _files([p for p, _ in inputs])


@contextmanager
def _about(*inputs: tuple[str, Any], rows_below: int | None = None) -> Iterator[None]:
    """Turns a MorvantaError raised inside into an InputError naming the file(s)."""
    try:
        yield
    except MorvantaError as err:
        files = _blame(err, inputs, rows_below)
        if files is None:
            raise
        raise InputError(f"{files}: {err}") from None


def _require_rows(path: str, rows: int, what: str = "rows") -> None:
    # Caught here rather than by the core, whose message cannot say which file.
    if rows == 0:
        raise InputError(f"'{path}' has no {what}; a window needs at least one")


def _load_both(progress: Progress, load: Callable[[str], _T], baseline: str, current: str) -> tuple[_T, _T]:
    """The baseline and the current input, each loaded as its own progress step."""
    with progress.step(f"loading {baseline}"):
        base = load(baseline)
    with progress.step(f"loading {current}"):
        cur = load(current)
    return base, cur


def _missing_share(count: int, rows: int) -> str:
    if count == 0:
        return "0"
    return f"{count:,} ({100.0 * count / rows:.3g}%)"


# ------------------------------------------------------------------ commands


def _run_demo(args: argparse.Namespace, progress: Progress) -> int:
    from .. import demo

    if args.logs is not None:
        return _write_demo_logs(args, progress)
    if args.force:
        raise UsageError("--force replaces sample logs, so it needs --logs DIR")
    names = demo.SCENARIOS if args.scenario == "all" else (args.scenario,)
    if args.html:
        from .pipeline import check_demo_output

        check_demo_output(args.html)
    decide = "threshold" if args.fixed_thresholds else "p-value"
    with progress.step("generating synthetic traffic"):
        baseline = demo.make_window("baseline")
        currents = {name: demo.make_window(name) for name in names}
    blocks: list[str] = []
    results: list[tuple[str, Any]] = []
    for name in names:
        with progress.step(f"checking scenario {name}"):
            result: Any = demo.check_window(baseline, currents[name], name, decide,
                                            explain=bool(args.html) and name == "drift")
        results.append((name, result))
        blocks.append(f"scenario {name}: {demo.DESCRIPTIONS[name]}\n{result.summary()}")
    if args.html:
        from .pipeline import write_demo_report

        drift = dict(results).get("drift")
        write_demo_report(args.html, progress, drift, decide)
        blocks.append(f"HTML report of the drift scenario: {args.html} (a single file; open it in a browser)")
    if args.json:
        print("{" + ",".join(f"{json.dumps(name)}:{r.to_json()}" for name, r in results) + "}")
    else:
        print("\n\n".join(blocks))
    return 1 if args.fail_on_drift and any(r.drifted for _, r in results) else 0


def _write_demo_logs(args: argparse.Namespace, progress: Progress) -> int:
    """``demo --logs DIR``: the sample logs instead of the scores; prints what each file is for."""
    from .. import demo
    from .._optional import MissingDependency

    given = [flag for flag, on in (("--html", args.html), ("--scenario", args.scenario != "all"),
                                   ("--fixed-thresholds", args.fixed_thresholds),
                                   ("--fail-on-drift", args.fail_on_drift)) if on]
    if given:
        raise UsageError(f"--logs writes the sample logs and scores nothing, so {given[0]} has no effect; "
                         f"run the demo without --logs for it")
    if not args.logs:
        raise UsageError("argument --logs: give a folder")
    try:
        with progress.step(f"writing the sample logs to {args.logs}"):
            written = demo.write_sample_logs(args.logs, force=args.force)
    except MissingDependency as err:
        raise UsageError(str(err)) from None
    if args.json:
        print(json.dumps({"folder": args.logs, "files": [{"name": s.name, "rows": s.rows, "purpose": s.purpose}
                                                         for s in written]}))
        return 0
    width = max(len(s.name) for s in written)
    lines = [f"wrote the sample logs to {printable(args.logs)}:"]
    lines += [f"  {s.name:<{width}}  {s.rows:>6,} requests  {s.purpose}" for s in written]
    base, cur = (os.path.join(args.logs, n) for n in ("baseline.parquet", "current.parquet"))
    lines.append(f"next: morvanta check {printable(base)} {printable(cur)}")
    print("\n".join(lines))
    return 0


def _run_data(args: argparse.Namespace, progress: Progress) -> int:
    import numpy as np

    _test_settings(args)
    (base, base_names), (cur, cur_names) = _load_both(progress, lambda p: load_table(p, _note), args.baseline,
                                                      args.current)
    for path, arr in ((args.baseline, base), (args.current, cur)):
        if arr.shape[1]:
            _require_rows(path, arr.shape[0], "data rows")
    detector = DataDrift(**_options(args, threshold="threshold", n_bins="n_bins"))
    try:
        with _about((args.baseline, base), (args.current, cur)):
            cur = match_columns(detector, base, base_names, cur, cur_names)
    except ValueError as err:
        raise InputError(f"'{args.baseline}' and '{args.current}': {err}") from None
    labels = base_names if base_names is not None else [str(j) for j in range(base.shape[1])]
    with progress.step(f"data drift over {base.shape[1]} columns"), _about((args.baseline, base), (args.current, cur)):
        columns = column_scores(detector, base, cur, labels)
        # The table score is the largest column value, so the worst column's own
        # score is the whole-table DriftScore: no second pass over the data.
        overall = (
            max((c.score for c in columns), key=lambda s: s.score)
            if columns
            else detector.detect(base, cur)
        )
    # Missing cells (empty, NaN) take part in the scores as a value above every
    # number; their share per window is shown too, being a signal of its own.
    missing = [np.isnan(t).sum(axis=0).tolist() for t in (base, cur)]
    rows = (int(base.shape[0]), int(cur.shape[0]))
    ordered = worst_first(columns)
    decision = (_decide(args, progress, overall, detector.detect, base, cur, (args.baseline, base), (args.current, cur))
                if columns else _Decision(bool(overall.exceeded)))
    # A column drifts by its own adjusted p-value (the smaller of its KS and PSI
    # parts, adjusted over every part of the table) or, with fixed thresholds, its score.
    col_p = decision.part_p()

    def col_drifted(c: Any) -> bool:
        if decision.test is None:
            return bool(c.score.exceeded)
        p = col_p.get(c.index, math.nan)
        return not math.isnan(p) and p <= (decision.alpha or 0.05)

    headers = ["column", "score", "drifted", "missing (baseline)", "missing (current)"]
    if decision.test is not None:
        headers[2:2] = ["p (adjusted)"]
    details = table(
        headers,
        [
            [c.name, fmt(c.score.score)]
            + ([fmt_p(col_p.get(c.index))] if decision.test is not None else [])
            + ["yes" if col_drifted(c) else "no"]
            + [_missing_share(missing[w][c.index], rows[w]) for w in (0, 1)]
            for c in ordered
        ],
    )
    extra = '"columns":' + json.dumps(
        [
            {
                "name": c.name,
                "index": c.index,
                "score": _json_number(c.score.score),
                "exceeded": c.score.exceeded,
                "p_adjusted": None if decision.test is None else _json_number(col_p.get(c.index, math.nan)),
                "drifted": col_drifted(c),
                "missing_baseline": missing[0][c.index] / rows[0],
                "missing_current": missing[1][c.index] / rows[1],
            }
            for c in ordered
        ],
        separators=(",", ":"),
        ensure_ascii=False,
    )
    return _single(args, overall, int(base.shape[0]), int(cur.shape[0]), decision, details, extra)


def _run_matrices(args: argparse.Namespace, progress: Progress, detector: Any, step: str,
                  rows_below: int | None = None) -> int:
    # The embedding and query commands: two 2-D float32 files, one detect call.
    _test_settings(args)
    base, cur = _load_both(progress, lambda p: load_embeddings(p, args.cast), args.baseline, args.current)
    with progress.step(step), _about((args.baseline, base), (args.current, cur), rows_below=rows_below):
        score = detector.detect(base, cur)
    decision = _decide(args, progress, score, detector.detect, base, cur, (args.baseline, base),
                       (args.current, cur), rows_below=rows_below)
    return _single(args, score, int(base.shape[0]), int(cur.shape[0]), decision)


def _run_embedding(args: argparse.Namespace, progress: Progress) -> int:
    detector = EmbeddingDrift(**_options(args, threshold="threshold", n_projections="n_projections", seed="seed"))
    return _run_matrices(args, progress, detector, "embedding drift")


def _run_query(args: argparse.Namespace, progress: Progress) -> int:
    detector = QueryDrift(**_options(args, threshold="threshold", k="k", seed="seed"))
    return _run_matrices(args, progress, detector, "query drift", rows_below=int(settings_of(detector)["k"]))


def _pair(args: argparse.Namespace, first: str, second: str) -> bool:
    a, b = getattr(args, first), getattr(args, second)
    if (a is None) != (b is None):
        flags = "--" + first.replace("_", "-"), "--" + second.replace("_", "-")
        raise UsageError(f"{flags[0]} and {flags[1]} must be given together")
    return a is not None


def _run_response(args: argparse.Namespace, progress: Progress) -> int:
    _test_settings(args)
    with_embeddings = _pair(args, "baseline_embeddings", "current_embeddings")
    base, cur = _load_both(progress, load_numbers, args.baseline, args.current)
    _require_rows(args.baseline, len(base), "lengths")
    _require_rows(args.current, len(cur), "lengths")
    detector = ResponseDrift(**_options(args, threshold="threshold", seed="seed"))
    if with_embeddings:
        base_emb, cur_emb = _load_both(
            progress, lambda p: load_embeddings(p, args.cast), args.baseline_embeddings, args.current_embeddings
        )
        inputs = ((args.baseline_embeddings, base_emb), (args.current_embeddings, cur_emb))
        with progress.step("response drift"), _about((args.baseline, base), (args.current, cur), *inputs):
            score = detector.detect_with_embeddings(base, cur, base_emb, cur_emb)
        decision = _decide(args, progress, score, detector.detect_with_embeddings, (base, base_emb), (cur, cur_emb),
                           (args.baseline, base), (args.current, cur), *inputs)
    else:
        with progress.step("response drift"), _about((args.baseline, base), (args.current, cur)):
            score = detector.detect(base, cur)
        decision = _decide(args, progress, score, detector.detect, base, cur, (args.baseline, base),
                           (args.current, cur))
    return _single(args, score, len(base), len(cur), decision)


def _run_confidence(args: argparse.Namespace, progress: Progress) -> int:
    _test_settings(args)
    with_flags = _pair(args, "baseline_correct", "current_correct")
    base, cur = _load_both(progress, load_confidences, args.baseline, args.current)
    _require_rows(args.baseline, len(base), "confidences")
    _require_rows(args.current, len(cur), "confidences")
    detector = ConfidenceDrift(**_options(args, threshold="threshold", n_calib_bins="n_calib_bins"))
    if with_flags:
        base_ok = load_flags(args.baseline_correct)
        cur_ok = load_flags(args.current_correct)
        if len(base_ok) != len(base) or len(cur_ok) != len(cur):
            # Name the pair of files that disagree, with both counts.
            side = (args.baseline, base, args.baseline_correct, base_ok)
            if len(base_ok) == len(base):
                side = (args.current, cur, args.current_correct, cur_ok)
            raise InputError(
                f"'{side[2]}' holds {len(side[3]):,} flags for the {len(side[1]):,} confidences of '{side[0]}'"
            )
        with progress.step("confidence drift"), _about((args.baseline, base), (args.current, cur)):
            score = detector.detect_with_correctness(base, base_ok, cur, cur_ok)
        decision = _decide(args, progress, score, detector.detect_with_correctness, (base, base_ok), (cur, cur_ok),
                           (args.baseline, base), (args.current, cur))
    else:
        with progress.step("confidence drift"), _about((args.baseline, base), (args.current, cur)):
            score = detector.detect(base, cur)
        decision = _decide(args, progress, score, detector.detect, base, cur, (args.baseline, base),
                           (args.current, cur))
    return _single(args, score, len(base), len(cur), decision)


# ------------------------------------------------------------------ entry point


def _error(message: object) -> int:
    # Escaped: a file or column name in the message can neither break the line
    # nor send the terminal a control sequence.
    print(f"{PROG}: error: {printable(message)}", file=sys.stderr)
    return 2


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.command is None:
            parser.print_help(sys.stderr)
            return 2
        status = int(args.run(args, Progress()))
        sys.stdout.flush()  # a closed pipe must show here, not in the flush at exit
        return status
    except UsageError as err:
        return _error(err)
    except MorvantaError as err:
        cause(err)  # the kind of a core error is read from its attributes, not its text
        return _error(err)
    except InputError as err:
        return _error(err)
    except OSError as err:
        if isinstance(err, BrokenPipeError):
            # The reader went away (e.g. `| head`): the result was not delivered.
            # Point stdout at /dev/null so the exit-time flush cannot fail again.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            return _error("the output was closed before the result was written")
        return _error(err)
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return 130
    except SystemExit:
        raise
    except MemoryError as err:
        return _error(f"out of memory{': ' + str(err) if str(err) else ''}")
    except BaseException as err:
        # An internal fault of the native module (not an Exception), or a bug in
        # the command line itself. Never 0 or 1: a CI gate must not read a crash
        # as "no drift" or as "drift".
        return _error(f"internal error ({type(err).__name__}): {err}")


if __name__ == "__main__":
    sys.exit(main())

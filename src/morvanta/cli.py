"""The ``morvanta`` command line.

Exit status: 0 when the check ran (and, with --fail-on-drift, nothing drifted),
1 when --fail-on-drift is given and a score reached its threshold, 2 for bad
input or usage. Errors are one line on stderr, "morvanta: error: ...".
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import IO, TYPE_CHECKING, Any, NoReturn

from ._io import InputError, load_embeddings, load_flags, load_numbers, load_table
from ._native import (
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

if TYPE_CHECKING:
    from ._columns import ColumnDrift

__all__ = ["main", "Progress"]

PROG = "morvanta"


# ------------------------------------------------------------------ progress


class Progress:
    """Shows "morvanta: <step> ... 3s" on a terminal while a step runs longer than ``delay``.

    Quiet when the stream is not a terminal, so piped or captured stderr only
    ever carries errors. The detectors release the interpreter lock, so the
    ticker thread keeps running while they compute.
    """

    def __init__(self, stream: IO[str] | None = None, delay: float = 1.0, interval: float = 1.0) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.delay = delay
        self.interval = interval
        try:
            self.enabled = bool(self.stream.isatty())
        except (AttributeError, ValueError):
            self.enabled = False

    @contextmanager
    def step(self, label: str) -> Iterator[None]:
        if not self.enabled:
            yield
            return
        done = threading.Event()
        shown = False
        start = time.monotonic()

        def tick() -> None:
            nonlocal shown
            if done.wait(self.delay):
                return
            while True:
                shown = True
                self.stream.write(f"\r{PROG}: {label} ... {time.monotonic() - start:.0f}s")
                self.stream.flush()
                if done.wait(self.interval):
                    return

        ticker = threading.Thread(target=tick, name="morvanta-progress", daemon=True)
        ticker.start()
        try:
            yield
        finally:
            done.set()
            ticker.join()
            if shown:
                self.stream.write(f"\r{PROG}: {label} ... done in {time.monotonic() - start:.1f}s\n")
                self.stream.flush()


# ------------------------------------------------------------------ argument parsing


class UsageError(Exception):
    pass


class _Parser(argparse.ArgumentParser):
    # One line instead of argparse's usage dump, in the same form as input errors.
    def error(self, message: str) -> NoReturn:
        raise UsageError(f"{message} (see '{self.prog} --help')")


def _count(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {text!r}")
    return value


def _seed(text: str) -> int:
    value = _count(text)
    if value >= 1 << 64:
        raise argparse.ArgumentTypeError(f"a seed must be below 2**64, got {text!r}")
    return value


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None


def build_parser() -> argparse.ArgumentParser:
    common = _Parser(add_help=False)
    common.add_argument("--json", action="store_true", help="print the DriftReport as JSON instead of a table")
    common.add_argument(
        "--fail-on-drift",
        action="store_true",
        help="exit with status 1 when a score reaches its threshold (for CI gates and cron jobs)",
    )

    parser = _Parser(
        prog=PROG,
        description="Measure drift between a baseline window and a current window of an LLM QA pipeline.",
        epilog="Exit status: 0 ok, 1 drift (with --fail-on-drift), 2 bad input or usage.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    def command(name: str, help: str, run: Callable[[argparse.Namespace, Progress], int]) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=help, description=help, parents=[common])
        p.set_defaults(run=run)
        return p

    def threshold(p: argparse.ArgumentParser, default: float) -> None:
        p.add_argument(
            "--threshold", type=_number, default=None, help=f"score at which drift is reported (default {default})"
        )

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

    from ._check_cli import add_commands as add_check_commands

    add_check_commands(command)
    return parser


def _options(args: argparse.Namespace, **names: str) -> dict[str, Any]:
    """Detector keyword arguments for the options the user gave (the rest keep
    the detector's own defaults)."""
    return {param: getattr(args, attr) for param, attr in names.items() if getattr(args, attr) is not None}


# ------------------------------------------------------------------ output


def _fmt(x: float) -> str:
    if math.isnan(x):
        return "NaN"
    return f"{x:.6f}"


def _table(headers: Sequence[str], rows: Sequence[Sequence[str]]) -> str:
    widths = [max([len(h), *(len(r[i]) for r in rows)]) for i, h in enumerate(headers)]
    lines = ["  ".join(c.ljust(w) for c, w in zip(line, widths)).rstrip() for line in [headers, *rows]]
    return "\n".join(lines)


def score_table(scores: Sequence[DriftScore]) -> str:
    rows = [
        [s.dimension, _fmt(s.score), _fmt(s.threshold), "yes" if s.exceeded else "no", s.method] for s in scores
    ]
    return _table(["dimension", "score", "threshold", "drifted", "method"], rows)


def verdict(scores: Sequence[DriftScore]) -> str:
    drifted = [s.dimension for s in scores if s.exceeded]
    if len(scores) == 1:
        return "verdict: DRIFT (the score reached its threshold)" if drifted else "verdict: no drift"
    if not drifted:
        return f"verdict: no drift in any of the {len(scores)} dimensions"
    return f"verdict: DRIFT in {', '.join(drifted)} ({len(drifted)} of {len(scores)} dimensions)"


def _worst_first(columns: Sequence[ColumnDrift]) -> list[ColumnDrift]:
    # Highest score first, NaN last, ties in column order.
    def key(c: ColumnDrift) -> tuple[bool, float, int]:
        x = c.score.score
        return (math.isnan(x), 0.0 if math.isnan(x) else -x, c.index)

    return sorted(columns, key=key)


def _json_number(x: float) -> float | None:
    return x if math.isfinite(x) else None


def _finish(args: argparse.Namespace, report: DriftReport, text: str, extra_json: str = "") -> int:
    if args.json:
        body = report.to_json()
        if extra_json:
            body = body[:-1] + "," + extra_json + "}"
        print(body)
    else:
        print(text)
    return 1 if args.fail_on_drift and report.any_exceeded() else 0


def _single(
    args: argparse.Namespace,
    score: DriftScore,
    n_baseline: int,
    n_current: int,
    details: str = "",
    extra_json: str = "",
) -> int:
    report = DriftReport([score], n_baseline, n_current)
    lines = [
        f"baseline: {n_baseline:,} samples, current: {n_current:,} samples",
        "",
        score_table([score]),
    ]
    if details:
        lines += ["", details]
    lines += ["", verdict([score])]
    return _finish(args, report, "\n".join(lines), extra_json)


# ------------------------------------------------------------------ commands


def _run_demo(args: argparse.Namespace, progress: Progress) -> int:
    from . import demo

    names = demo.SCENARIOS if args.scenario == "all" else (args.scenario,)
    with progress.step("generating synthetic traffic"):
        baseline = demo.make_window("baseline")
        currents = {name: demo.make_window(name) for name in names}
    blocks: list[str] = []
    reports: list[tuple[str, DriftReport]] = []
    for name in names:
        with progress.step(f"scoring scenario {name}"):
            scores = demo.score_window(baseline, currents[name])
        report = DriftReport(scores, baseline.n, currents[name].n)
        reports.append((name, report))
        blocks.append(
            "\n".join(
                [
                    f"scenario {name}: {demo.DESCRIPTIONS[name]}",
                    f"baseline: {baseline.n:,} requests, current: {currents[name].n:,} requests",
                    "",
                    score_table(scores),
                    "",
                    verdict(scores),
                ]
            )
        )
    if args.html:
        from ._check_cli import write_demo_report

        write_demo_report(args.html, progress)
    if args.json:
        print("{" + ",".join(f"{json.dumps(name)}:{r.to_json()}" for name, r in reports) + "}")
    else:
        print("\n\n".join(blocks))
    return 1 if args.fail_on_drift and any(r.any_exceeded() for _, r in reports) else 0


def _run_data(args: argparse.Namespace, progress: Progress) -> int:
    from ._columns import column_scores, match_columns

    with progress.step(f"loading {args.baseline}"):
        base, base_names = load_table(args.baseline)
    with progress.step(f"loading {args.current}"):
        cur, cur_names = load_table(args.current)
    detector = DataDrift(**_options(args, threshold="threshold", n_bins="n_bins"))
    try:
        cur = match_columns(detector, base, base_names, cur, cur_names)
    except ValueError as err:
        raise InputError(f"'{args.baseline}' and '{args.current}': {err}") from None
    labels = base_names if base_names is not None else [str(j) for j in range(base.shape[1])]
    with progress.step(f"data drift over {base.shape[1]} columns"):
        columns = column_scores(detector, base, cur, labels)
        # The table score is the largest column value, so the worst column's own
        # score is the whole-table DriftScore: no second pass over the data.
        overall = (
            max((c.score for c in columns), key=lambda s: s.score)
            if columns
            else detector.detect(base, cur)
        )
    ordered = _worst_first(columns)
    details = _table(
        ["column", "score", "drifted"],
        [[c.name, _fmt(c.score.score), "yes" if c.score.exceeded else "no"] for c in ordered],
    )
    extra = '"columns":' + json.dumps(
        [
            {"name": c.name, "index": c.index, "score": _json_number(c.score.score), "exceeded": c.score.exceeded}
            for c in ordered
        ],
        separators=(",", ":"),
        ensure_ascii=False,
    )
    return _single(args, overall, int(base.shape[0]), int(cur.shape[0]), details, extra)


def _run_embedding(args: argparse.Namespace, progress: Progress) -> int:
    with progress.step(f"loading {args.baseline}"):
        base = load_embeddings(args.baseline, args.cast)
    with progress.step(f"loading {args.current}"):
        cur = load_embeddings(args.current, args.cast)
    detector = EmbeddingDrift(**_options(args, threshold="threshold", n_projections="n_projections", seed="seed"))
    with progress.step("embedding drift"):
        score = detector.detect(base, cur)
    return _single(args, score, int(base.shape[0]), int(cur.shape[0]))


def _run_query(args: argparse.Namespace, progress: Progress) -> int:
    with progress.step(f"loading {args.baseline}"):
        base = load_embeddings(args.baseline, args.cast)
    with progress.step(f"loading {args.current}"):
        cur = load_embeddings(args.current, args.cast)
    detector = QueryDrift(**_options(args, threshold="threshold", k="k", seed="seed"))
    with progress.step("query drift"):
        score = detector.detect(base, cur)
    return _single(args, score, int(base.shape[0]), int(cur.shape[0]))


def _pair(args: argparse.Namespace, first: str, second: str) -> bool:
    a, b = getattr(args, first), getattr(args, second)
    if (a is None) != (b is None):
        flags = "--" + first.replace("_", "-"), "--" + second.replace("_", "-")
        raise UsageError(f"{flags[0]} and {flags[1]} must be given together")
    return a is not None


def _run_response(args: argparse.Namespace, progress: Progress) -> int:
    with_embeddings = _pair(args, "baseline_embeddings", "current_embeddings")
    with progress.step(f"loading {args.baseline}"):
        base = load_numbers(args.baseline)
    with progress.step(f"loading {args.current}"):
        cur = load_numbers(args.current)
    detector = ResponseDrift(**_options(args, threshold="threshold", seed="seed"))
    if with_embeddings:
        with progress.step(f"loading {args.baseline_embeddings}"):
            base_emb = load_embeddings(args.baseline_embeddings, args.cast)
        with progress.step(f"loading {args.current_embeddings}"):
            cur_emb = load_embeddings(args.current_embeddings, args.cast)
        with progress.step("response drift"):
            score = detector.detect_with_embeddings(base, cur, base_emb, cur_emb)
    else:
        with progress.step("response drift"):
            score = detector.detect(base, cur)
    return _single(args, score, len(base), len(cur))


def _run_confidence(args: argparse.Namespace, progress: Progress) -> int:
    with_flags = _pair(args, "baseline_correct", "current_correct")
    with progress.step(f"loading {args.baseline}"):
        base = load_numbers(args.baseline)
    with progress.step(f"loading {args.current}"):
        cur = load_numbers(args.current)
    detector = ConfidenceDrift(**_options(args, threshold="threshold", n_calib_bins="n_calib_bins"))
    if with_flags:
        base_ok = load_flags(args.baseline_correct)
        cur_ok = load_flags(args.current_correct)
        with progress.step("confidence drift"):
            score = detector.detect_with_correctness(base, base_ok, cur, cur_ok)
    else:
        with progress.step("confidence drift"):
            score = detector.detect(base, cur)
    return _single(args, score, len(base), len(cur))


# ------------------------------------------------------------------ entry point


def _error(message: object) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return 2


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        if args.command is None:
            parser.print_help(sys.stderr)
            return 2
        return int(args.run(args, Progress()))
    except UsageError as err:
        return _error(err)
    except (InputError, MorvantaError) as err:
        return _error(err)
    except OSError as err:
        if isinstance(err, BrokenPipeError):
            # The reader went away (e.g. `| head`); stop quietly.
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            return 1
        return _error(err)
    except KeyboardInterrupt:
        print(file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())

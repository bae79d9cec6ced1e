"""The ``morvanta check`` and ``morvanta monitor`` subcommands.

``check`` compares two request logs in every dimension their columns allow;
``monitor`` cuts one log into consecutive windows and checks each against a
baseline, writing one JSON line per window. Both read a TOML configuration
(``--config``) whose ``[columns]`` table renames columns and whose
``[thresholds]`` table sets a threshold per dimension.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from ..dimensions import NAMES, REGISTRY, ROLES
from ..io.files import InputError
from .options import Progress, UsageError, float_option, int_option

if TYPE_CHECKING:
    from ..io.log import LogColumns
    from ..results import CheckResult, WindowResult

__all__ = ["add_commands", "write_demo_report"]

_Command = Callable[[str, str, Callable[[argparse.Namespace, "Progress"], int]], argparse.ArgumentParser]
_CONFIG_KEYS = ("thresholds", "alpha", "seed", "permutations", "min_rows")


def _drop_option(p: argparse.ArgumentParser, flag: str) -> None:
    # The shared options give every subcommand a boolean --json; these commands
    # take "--json [FILE]" instead (monitor none). The action objects are shared
    # with the other subcommands, so only this parser's references are dropped.
    action = p._option_string_actions.pop(flag)
    p._actions.remove(action)
    for group in p._action_groups:
        if action in group._group_actions:
            group._group_actions.remove(action)


def _fraction(text: str) -> float:
    return float_option(text, "a number in (0, 1)", lambda v: 0.0 < v < 1.0)


def _positive(text: str) -> int:
    return int_option(text, "a positive integer", lambda v: v >= 1)


def _count(text: str) -> int:
    return int_option(text, "a non-negative integer below 2**64", lambda v: 0 <= v < 1 << 64)


def _role(text: str) -> tuple[str, str]:
    role, sep, name = text.partition("=")
    if not sep or role not in ROLES:
        raise argparse.ArgumentTypeError(f"expected ROLE=COLUMN with ROLE one of {', '.join(ROLES)}, got {text!r}")
    return role, name


def _log_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--config", metavar="FILE", help="TOML file: [columns] names, [thresholds] per dimension")
    p.add_argument("--column", metavar="ROLE=NAME", type=_role, action="append", default=[],
                   help="use column NAME for ROLE (e.g. query_embedding=q_vec); empty NAME ignores the role")
    p.add_argument("--length", choices=("chars", "words"), default=None,
                   help="measure a 'response' text column in characters (default) or words")
    p.add_argument("--p-values", action="store_true", help="add permutation p-values (Holm-adjusted verdict)")
    p.add_argument("--permutations", type=_positive, default=None, metavar="N", help="permutations (default 999)")
    p.add_argument("--seed", type=_count, default=None, metavar="S", help="permutation/calibration seed (default 0)")
    p.add_argument("--alpha", type=_fraction, default=None, help="false-alarm rate of the verdict with p-values "
                   "(default 0.05)")
    p.add_argument("--html", metavar="FILE", help="write the self-contained HTML report")


def add_commands(command: _Command) -> None:
    """Adds ``check`` and ``monitor`` through the command line's ``command`` helper."""
    p = command("check", "check a current request log against a baseline in every dimension", _run_check)
    _drop_option(p, "--json")
    p.add_argument("baseline", metavar="BASELINE",
                   help="baseline log (.parquet, .csv, .tsv, .jsonl) or a saved baseline (.json, .npz)")
    p.add_argument("current", metavar="CURRENT", help="current log, same columns")
    _log_options(p)
    p.add_argument("--calibrate", type=_fraction, metavar="RATE", default=None,
                   help="calibrate every threshold on the baseline for this false-alarm rate")
    p.add_argument("--json", nargs="?", const="-", default=None, metavar="FILE",
                   help="write the result as JSON to FILE (to stdout, instead of the table, without FILE)")
    p.add_argument("--prometheus", metavar="FILE", help="write Prometheus text (node-exporter textfile collector)")
    p.add_argument("--per-column", action="store_true", help="add one Prometheus series per feature column")
    p.add_argument("--min-rows", type=_positive, default=None, help="fewest requests a window needs (default 1)")

    p = command("monitor", "check consecutive windows of one log against a baseline (JSON lines)", _run_monitor)
    _drop_option(p, "--json")
    p.add_argument("log", metavar="LOG", help="request log with a timestamp column (.parquet, .csv, .tsv, .jsonl)")
    size = p.add_mutually_exclusive_group(required=True)
    size.add_argument("--every", metavar="DURATION", help="window length by timestamp, e.g. 15m, 1h, 1d")
    size.add_argument("--rows", type=_positive, metavar="N", help="windows of N requests each, in file order")
    base = p.add_mutually_exclusive_group()
    base.add_argument("--baseline", metavar="FIRST_PERIOD",
                      help="the log's first DURATION (with --every) or first N rows (with --rows) is the "
                           "baseline (default: the first window)")
    base.add_argument("--baseline-file", metavar="B", help="a baseline log or saved baseline instead")
    _log_options(p)
    p.add_argument("--min-rows", type=_positive, default=None,
                   help="windows with fewer requests are reported as too small (default 30)")


# ------------------------------------------------------------------ shared


def _settings(args: argparse.Namespace) -> tuple[LogColumns, dict[str, Any]]:
    from dataclasses import replace

    from ..io.log import LogColumns, load_config

    cols, options = (load_config(args.config) if args.config else (LogColumns(), {}))
    for key in options:
        if key not in _CONFIG_KEYS:
            raise InputError(f"'{args.config}': unknown key '{key}' (known: columns, {', '.join(_CONFIG_KEYS)})")
    if args.column:
        renamed: dict[str, Any] = {role: (name or None) for role, name in args.column}
        cols = replace(cols, **renamed)
    thresholds = options.get("thresholds", {})
    if not isinstance(thresholds, dict):
        raise InputError(f"'{args.config}': [thresholds] must be a table of dimension = number")
    detectors = {}
    for dim, value in thresholds.items():
        if dim not in REGISTRY or isinstance(value, bool) or not isinstance(value, (int, float)):
            raise InputError(f"'{args.config}': thresholds.{dim} must be a number for one of "
                             f"{', '.join(NAMES)}")
        detectors[dim] = REGISTRY[dim].build(threshold=float(value))
    out = {
        "detectors": detectors,
        "alpha": args.alpha if args.alpha is not None else float(options.get("alpha", 0.05)),
        "seed": args.seed if args.seed is not None else int(options.get("seed", 0)),
        "n_permutations": args.permutations if args.permutations is not None else int(
            options.get("permutations", 999)),
        "min_rows": args.min_rows if args.min_rows is not None else options.get("min_rows"),
    }
    if args.permutations is not None and not args.p_values:
        raise UsageError("--permutations needs --p-values")
    return cols, out


def _write(path: str, text: str) -> None:
    """Writes ``text`` to ``path`` through a temporary file in the same folder, so
    that a collector reading the file never sees half of it."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".morvanta-", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def _guard(call: Callable[[], Any]) -> Any:
    """Runs ``call``, turning refused options and missing optional modules into one-line errors."""
    try:
        return call()
    except ImportError as err:
        raise InputError(str(err) if "morvanta[report]" in str(err) else
                         f"this build of morvanta lacks a module the option needs ({err})") from None
    except ValueError as err:
        if isinstance(err, InputError):
            raise
        raise UsageError(str(err)) from None


# ------------------------------------------------------------------ check


def _no_overwrite(args: argparse.Namespace, options: tuple[str, ...], inputs: tuple[str | None, ...]) -> None:
    # "--json" takes an optional FILE, so "check --json a.parquet b.parquet c.parquet"
    # would read a.parquet as the output: never write over a log.
    from ..io.log import LOG_SUFFIXES

    given = {os.path.abspath(p) for p in inputs if p}
    for opt in options:
        target = getattr(args, opt, None)
        if not target or target == "-":
            continue
        if os.path.abspath(target) in given or os.path.splitext(target)[1].lower() in LOG_SUFFIXES:
            raise UsageError(f"--{opt} {target}: refusing to write over a log (give the output another name)")


def _run_check(args: argparse.Namespace, progress: Progress) -> int:
    from ..pipeline.check import check

    if args.p_values and args.calibrate is not None:
        raise UsageError("--p-values and --calibrate exclude each other")
    _no_overwrite(args, ("json", "html", "prometheus"), (args.baseline, args.current))
    cols, opts = _settings(args)
    with progress.step("checking"):
        result: CheckResult = _guard(lambda: check(
            args.baseline, args.current, p_values=args.p_values, n_permutations=opts["n_permutations"],
            seed=opts["seed"], calibrate=args.calibrate, alpha=opts["alpha"], detectors=opts["detectors"],
            columns=cols, length=args.length, min_rows=opts["min_rows"] or 1,
        ))
    if args.html:
        with progress.step("writing the HTML report"):
            _write(args.html, _guard(result.to_html))
    if args.prometheus:
        _write(args.prometheus, result.to_prometheus(per_column=args.per_column))
    if args.json is not None and args.json != "-":
        _write(args.json, result.to_json(indent=1) + "\n")
    if args.json == "-":
        print(result.to_json())
    else:
        print(result.summary())
    return 1 if args.fail_on_drift and result.drifted else 0


# ------------------------------------------------------------------ monitor


def _run_monitor(args: argparse.Namespace, progress: Progress) -> int:
    from ..pipeline.monitor import monitor, parse_duration

    _no_overwrite(args, ("html",), (args.log, args.baseline_file))
    cols, opts = _settings(args)
    baseline: Any = None
    if args.baseline is not None:
        if args.rows is not None:
            try:
                baseline = int(args.baseline, 10)
            except ValueError:
                raise UsageError(f"with --rows, --baseline is a number of rows, got {args.baseline!r}") from None
        else:
            try:
                baseline = parse_duration(args.baseline)
            except ValueError as err:
                raise UsageError(f"--baseline: {err}") from None
    if args.every is not None:
        try:
            parse_duration(args.every)
        except ValueError as err:
            raise UsageError(f"--every: {err}") from None

    def emit(w: WindowResult) -> None:
        sys.stdout.write(json.dumps(w.to_dict(), ensure_ascii=False) + "\n")
        sys.stdout.flush()

    with progress.step("checking windows"):
        result = _guard(lambda: monitor(
            args.log, every=args.every, rows=args.rows, baseline=baseline, baseline_log=args.baseline_file,
            min_rows=opts["min_rows"] if opts["min_rows"] is not None else 30, p_values=args.p_values,
            n_permutations=opts["n_permutations"], seed=opts["seed"], alpha=opts["alpha"],
            detectors=opts["detectors"], columns=cols, length=args.length, on_window=emit,
        ))
    if args.html:
        with progress.step("writing the HTML report"):
            _write(args.html, _guard(result.to_html))
    drifted = any(w.result is not None and w.result.drifted for w in result.windows)
    return 1 if args.fail_on_drift and drifted else 0


def write_demo_report(path: str, progress: Progress) -> None:
    """Writes the HTML report of the demo's drifted scenario."""
    from .. import demo

    with progress.step("writing the HTML report of the drift scenario"):
        result: CheckResult = demo.drift_check()  # type: ignore[assignment]
        _write(path, _guard(result.to_html))

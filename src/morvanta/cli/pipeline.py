"""The ``morvanta check`` and ``morvanta monitor`` subcommands.

``check`` compares two request logs in every dimension their columns allow;
``monitor`` cuts one log into consecutive windows and checks each against a
baseline, writing one JSON line per window. Both decide by permutation
p-values, Holm-adjusted over the dimensions tested, unless
``--fixed-thresholds`` (or ``--calibrate`` for check) says otherwise. Both read
a TOML configuration (``--config``) whose ``[columns]`` table renames columns,
``[min_effect]`` sets score floors and ``[thresholds]`` sets a threshold per
dimension (with ``--fixed-thresholds`` only); every value of it passes the same
parser as the flag it stands for.

Outputs never lose data: every output path is checked before the computation
starts (an output that is one of the inputs, in a missing folder or on a folder
is refused), and all outputs of one command are rendered first and moved into
place together at the end.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, cast

from .._native import MorvantaError
from .._optional import MissingDependency
from ..dimensions import NAMES, REGISTRY, ROLES
from ..errors import ArgumentError, cause
from ..io.common import Outputs, check_output_path, same_file
from ..io.files import InputError
from ..render.text import printable
from .options import PROG, Progress, UsageError, _threshold, float_option, int_option, shown

if TYPE_CHECKING:
    from ..io.log import LogColumns
    from ..results import CheckResult, MonitorResult, WindowResult

__all__ = ["add_commands", "write_demo_report", "check_demo_output", "check_outputs", "FLAG_OF"]

_Command = Callable[[str, str, Callable[[argparse.Namespace, "Progress"], int]], argparse.ArgumentParser]
_CONFIG_KEYS = ("thresholds", "min_effect", "alpha", "seed", "permutations", "min_rows", "embed")

#: The flag that sets each argument of check() and monitor(), for errors the
#: pipeline raises about an argument.
FLAG_OF = {
    "p_values": "--p-values",
    "decide": "--fixed-thresholds",
    "exact": "--exact",
    "min_effect": "--min-effect",
    "persist": "--persist",
    "n_permutations": "--permutations",
    "seed": "--seed",
    "calibrate": "--calibrate",
    "alpha": "--alpha",
    "min_rows": "--min-rows",
    "every": "--every",
    "rows": "--rows",
    "baseline": "--baseline",
    "baseline_log": "--baseline-file",
    "length": "--length",
    "columns": "--column",
    "detectors": "--config",
    "embed": "--embed",
}


def _drop_option(p: argparse.ArgumentParser, flag: str) -> None:
    # The shared options give every subcommand a boolean --json; these commands
    # take "--json [FILE]" instead (monitor none). The action objects are shared
    # with the other subcommands, so only this parser's references are dropped.
    action = p._option_string_actions.pop(flag)
    p._actions.remove(action)
    for group in p._action_groups:
        if action in group._group_actions:
            group._group_actions.remove(action)


# ------------------------------------------------------------------ option parsers
# Each takes the text of a flag or of a configuration value, so that both pass
# one validation.

_BOUND = 1 << 63


def _fraction(text: str) -> float:
    return float_option(text, "a number in (0, 1)", lambda v: 0.0 < v < 1.0)


def _positive(text: str) -> int:
    value = int_option(text, "a positive integer", lambda v: v >= 1)
    if value >= _BOUND:
        raise argparse.ArgumentTypeError(f"expected a positive integer below 2**63, got {shown(text)}")
    return value


def _count(text: str) -> int:
    return int_option(text, "a non-negative integer below 2**64", lambda v: 0 <= v < 1 << 64)


def _floor(text: str) -> tuple[str, float]:
    dim, sep, value = text.partition("=")
    if not sep or dim not in REGISTRY:
        raise argparse.ArgumentTypeError(f"expected DIMENSION=SCORE with DIMENSION one of {', '.join(NAMES)}, "
                                         f"got {shown(text)}")
    return dim, _threshold(value)


def _persist(text: str) -> tuple[int, int]:
    k, sep, n = text.partition("/")
    try:
        pair = (int(k, 10), int(n, 10)) if sep else None
    except ValueError:
        pair = None
    if pair is None or not 1 <= pair[0] <= pair[1] < _BOUND:
        raise argparse.ArgumentTypeError(f"expected K/N with 1 <= K <= N (alert when K of the last N windows "
                                         f"drifted), got {shown(text)}")
    return pair


def _role(text: str) -> tuple[str, str]:
    role, sep, name = text.partition("=")
    if not sep or role not in ROLES:
        raise argparse.ArgumentTypeError(f"expected ROLE=COLUMN with ROLE one of {', '.join(ROLES)}, got {text!r}")
    return role, name


def _log_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--config", metavar="FILE", help="TOML file: [columns] names, [min_effect] floors, "
                   "[thresholds] per dimension (with --fixed-thresholds), alpha, seed, permutations, min_rows")
    p.add_argument("--column", metavar="ROLE=NAME", type=_role, action="append", default=[],
                   help="use column NAME for ROLE (e.g. query_embedding=q_vec); empty NAME ignores the role")
    p.add_argument("--length", choices=("chars", "words"), default=None,
                   help="measure a 'response' text column in characters (default) or words")
    p.add_argument("--categorical", metavar="NAME", action="append", default=[],
                   help="read column NAME as categories even when it holds numbers (integer codes; repeatable)")
    p.add_argument("--redact-categories", action="store_true",
                   help="show category values as 8 hex digits of their SHA-256 in every output")
    p.add_argument("--alpha", type=_fraction, default=None,
                   help="false-alarm rate of the verdict: a dimension drifts when its Holm-adjusted permutation "
                        "p-value is at or below it (default 0.05)")
    p.add_argument("--permutations", type=_positive, default=None, metavar="N",
                   help="permutations per test (default: 999, raised to 10 m/alpha - 1 for m dimensions where "
                        "needed; fewer than m/alpha - 1 can never reach alpha and are refused)")
    p.add_argument("--exact", action="store_true",
                   help="run every permutation (by default a test stops early once its p-value is clearly large)")
    p.add_argument("--seed", type=_count, default=None, metavar="S", help="permutation/calibration seed (default 0)")
    p.add_argument("--min-effect", metavar="DIM=SCORE", type=_floor, action="append", default=[],
                   help="a dimension drifts only when its score also reaches SCORE (repeatable)")
    p.add_argument("--fixed-thresholds", action="store_true",
                   help="decide by each detector's fixed threshold instead of p-values (no known false-alarm "
                        "rate; thresholds from [thresholds] in --config)")
    p.add_argument("--p-values", action="store_true", help="decide by permutation p-values (the default)")
    p.add_argument("--min-rows", type=_positive, default=None,
                   help="fewest requests a window needs to be scored; smaller ones are reported as too small "
                        "(default 30)")
    p.add_argument("--embed", metavar="MODEL_DIR", default=None,
                   help="embed the query and response text of logs without embedding columns with the local "
                        "sentence-embedding model in MODEL_DIR (model.onnx with tokenizer.json; needs "
                        "morvanta[embed]); overrides [embed] model in --config")
    p.add_argument("--html", metavar="FILE", help="write the self-contained HTML report")


def add_commands(command: _Command) -> None:
    """Adds ``check`` and ``monitor`` through the command line's ``command`` helper."""
    p = command("check", "check a current request log against a baseline in every dimension; by default "
                "permutation p-values, Holm-adjusted over the dimensions tested, decide at --alpha", _run_check)
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

    p = command("monitor", "check consecutive windows of one log against a baseline (JSON lines); each window "
                "is decided as by check, at --alpha", _run_monitor)
    _drop_option(p, "--json")
    p.add_argument("log", metavar="LOG", nargs="+",
                   help="request log with a timestamp column (.parquet, .csv, .tsv, .jsonl); with --scheduler, the "
                        "Parquet files, folders or quoted globs of one partitioned log")
    size = p.add_mutually_exclusive_group(required=True)
    size.add_argument("--every", metavar="DURATION", help="window length by timestamp, e.g. 15m, 1h, 1d")
    size.add_argument("--rows", type=_positive, metavar="N", help="windows of N requests each, in file order")
    base = p.add_mutually_exclusive_group()
    base.add_argument("--baseline", metavar="FIRST_PERIOD",
                      help="the log's first DURATION (with --every) or first N rows (with --rows) is the "
                           "baseline (default: the first window)")
    base.add_argument("--baseline-file", metavar="B", help="a baseline log or saved baseline instead")
    _log_options(p)
    p.add_argument("--persist", type=_persist, metavar="K/N", default=None,
                   help="alert (and fail with --fail-on-drift) only when K of the last N checked windows drifted")
    p.add_argument("--jsonl", metavar="FILE",
                   help="write the JSON lines to FILE (at the end, with the other outputs) and print the table "
                        "of windows instead")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="check the windows of a partitioned LOG in parallel on this Dask scheduler (e.g. "
                        "tcp://host:8786); needs --baseline-file")


# ------------------------------------------------------------------ configuration


def _as_text(value: Any) -> str:
    """A TOML value as the text a flag would carry (true/false as in TOML)."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    return str(value)


def _config_value(path: str, key: str, value: Any, parse: Callable[[str], Any]) -> Any:
    """``value`` of ``key`` through the parser of its flag; one line naming the file and key otherwise."""
    try:
        return parse(_as_text(value))
    except (argparse.ArgumentTypeError, ValueError) as err:
        raise InputError(f"'{path}': key '{key}': {err}") from None


def _decision(args: argparse.Namespace) -> str:
    """The decision rule the flags ask for; flags that contradict it are refused."""
    calibrate = getattr(args, "calibrate", None)
    chosen = [flag for flag, on in (("--p-values", args.p_values), ("--fixed-thresholds", args.fixed_thresholds),
                                    ("--calibrate", calibrate is not None)) if on]
    if len(chosen) > 1:
        raise UsageError(f"{chosen[0]} and {chosen[1]} exclude each other")
    rule = "threshold" if args.fixed_thresholds else "calibrated" if calibrate is not None else "p-value"
    if rule != "p-value":
        for flag, on in (("--permutations", args.permutations is not None), ("--exact", args.exact)):
            if on:
                raise UsageError(f"{flag} needs p-value decisions, which {chosen[0]} replaces")
    return rule


def read_config(path: str | None) -> tuple[LogColumns, dict[str, Any]]:
    """The ``[columns]`` of a ``--config`` file and its other keys, each checked by name."""
    from ..io.log import LogColumns, load_config

    if not path:
        return LogColumns(), {}
    try:
        cols, options = load_config(path)
    except InputError:
        raise
    except ValueError as err:  # the TOML reader's own limits (e.g. an integer of 5000 digits)
        raise InputError(f"cannot read '{path}' as TOML: {err}") from None
    for key in options:
        if key not in _CONFIG_KEYS:
            raise InputError(f"'{path}': unknown key '{key}' (known: columns, {', '.join(_CONFIG_KEYS)})")
    return cols, options


def config_thresholds(path: str | None, options: dict[str, Any]) -> dict[str, Any]:
    """The detectors a configuration's ``[thresholds]`` table sets, by dimension."""
    thresholds = options.get("thresholds", {})
    if not isinstance(thresholds, dict):
        raise InputError(f"'{path}': [thresholds] must be a table of dimension = number")
    detectors = {}
    for dim, value in thresholds.items():
        if dim not in REGISTRY:
            raise InputError(f"'{path}': key 'thresholds.{dim}': not a dimension (dimensions: {', '.join(NAMES)})")
        detectors[dim] = REGISTRY[dim].build(threshold=_config_value(str(path), f"thresholds.{dim}", value,
                                                                       _threshold))
    return detectors


def _settings(args: argparse.Namespace) -> tuple[LogColumns, dict[str, Any]]:
    from dataclasses import replace


    rule = _decision(args)
    cols, options = read_config(args.config)
    path = args.config
    if args.column:
        renamed: dict[str, Any] = {role: (name or None) for role, name in args.column}
        cols = replace(cols, **renamed)
    if args.categorical:
        cols = replace(cols, categorical=cols.categorical + tuple(c for c in args.categorical
                                                                  if c not in cols.categorical))
    detectors = config_thresholds(path, options)
    if detectors and rule != "threshold":
        # A threshold that would only be shown, never obeyed, is a trap: say what decides instead.
        why = "p-values decide by default" if rule == "p-value" else "--calibrate sets the thresholds"
        raise InputError(f"'{path}': [thresholds] sets fixed thresholds, but {why}; add --fixed-thresholds to "
                         "decide by them, or remove [thresholds]")
    floors = options.get("min_effect", {})
    if not isinstance(floors, dict):
        raise InputError(f"'{path}': [min_effect] must be a table of dimension = score")
    min_effect: dict[str, float] = {}
    for dim, value in floors.items():
        if dim not in REGISTRY:
            raise InputError(f"'{path}': key 'min_effect.{dim}': not a dimension (dimensions: {', '.join(NAMES)})")
        min_effect[dim] = _config_value(path, f"min_effect.{dim}", value, _threshold)
    min_effect.update(dict(args.min_effect))

    def pick(flag_value: Any, key: str, parse: Callable[[str], Any], default: Any) -> Any:
        if flag_value is not None:
            return flag_value
        if key in options:
            return _config_value(path, key, options[key], parse)
        return default

    out = {
        "decide": rule,
        "detectors": detectors,
        "alpha": pick(args.alpha, "alpha", _fraction, 0.05),
        "seed": pick(args.seed, "seed", _count, 0),
        # A configured count applies where permutations run; the flag is refused elsewhere (above).
        "n_permutations": pick(args.permutations, "permutations", _positive, None) if rule == "p-value" else None,
        "exact": bool(args.exact),
        "min_effect": min_effect,
        "min_rows": pick(args.min_rows, "min_rows", _positive, None),
        "embed": args.embed if args.embed is not None else options.get("embed"),
    }
    return cols, out


# ------------------------------------------------------------------ outputs


def check_outputs(outputs: Sequence[tuple[str, str | None]], inputs: Sequence[str | None]) -> None:
    """Refuses, before any work, an output that would replace an input or another
    output, or that cannot be written. ``outputs`` are (flag, path) pairs; "-"
    and None stand for none."""
    from ..io.log import LOG_SUFFIXES

    given = [(flag, path) for flag, path in outputs if path and path != "-"]
    for flag, path in given:
        # "--json" takes an optional FILE, so "check --json a.parquet b.parquet c.parquet"
        # would read a.parquet as the output: never write a file named like a log
        # there (--jsonl always takes its FILE, a .jsonl name being the natural one).
        if flag == "--json" and os.path.splitext(path)[1].lower() in LOG_SUFFIXES:
            raise UsageError(f"{flag} {path}: refusing to write over a log (give the output another name)")
        check_output_path(path, inputs, flag)
    for i, (flag, path) in enumerate(given):
        for other_flag, other in given[:i]:
            if os.path.abspath(path) == os.path.abspath(other) or same_file(path, other):
                raise UsageError(f"{other_flag} and {flag} name one file, '{path}' (give each output its own)")


def _flag_error(err: ArgumentError) -> UsageError:
    flag = FLAG_OF.get(err.argument)
    return UsageError(f"argument {flag}: {err.detail}" if flag else str(err))


@contextmanager
def _pipeline_errors(logs: Sequence[str | None], permutations: int | None = None) -> Iterator[None]:
    """Turns what the pipeline raises into one-line errors: an argument as its
    flag, a missing optional module as what to install, a core failure naming
    the logs (a settings failure names none), a buffer too large for the
    machine with the --permutations that asked for it."""
    try:
        yield
    except MemoryError as err:
        if permutations is None:
            raise
        raise MemoryError(f"{err} (with --permutations {permutations:,}; fewer permutations need less memory)"
                          if str(err) else f"with --permutations {permutations:,}") from None
    except ImportError as err:
        # A missing optional library says what to install; any other missing module is a broken build.
        said = isinstance(err, MissingDependency) or "morvanta[report]" in str(err)
        raise InputError(str(err) if said else f"this build of morvanta lacks a module the option needs ({err})"
                         ) from None
    except InputError:
        raise
    except ArgumentError as err:
        raise _flag_error(err) from None
    except MorvantaError as err:
        kind = cause(err)[0]
        named = [p for p in dict.fromkeys(logs) if p]
        if kind in ("invalid_config", "cancelled", "out_of_memory") or not named:
            raise
        quoted = " and ".join(f"'{p}'" for p in named)
        raise InputError(f"{quoted}: {err}") from None
    except ValueError as err:
        raise UsageError(str(err)) from None


def _require_report() -> None:
    """The HTML report's libraries, checked before a long computation rather than after it."""
    from ..render.html import _require

    with _pipeline_errors(()):
        _require()


def _note(message: str) -> None:
    print(f"{PROG}: note: {printable(message)}", file=sys.stderr)


def _error_line(message: str) -> None:
    print(f"{PROG}: error: {printable(message)}", file=sys.stderr)


# ------------------------------------------------------------------ check


def _embedder(path: str | None, progress: Progress) -> Any:
    """The model of --embed (or [embed] model), loaded before the logs are read: a folder
    without a model stops here, in one line naming the flag; a missing library is a
    note of the check (the other dimensions still run)."""
    if path is None:
        return None
    from ..pipeline.check import resolve_embedder

    with progress.step("loading the embedding model"), _pipeline_errors(()):
        return resolve_embedder(path)



@contextmanager
def _embedding_counter(progress: Progress) -> Iterator[None]:
    """Embedding runs count their texts on the command's progress line (see Progress.bar)."""
    from ..engines.text import progress_maker

    token = progress_maker.set(lambda: progress.bar("embedding"))
    try:
        yield
    finally:
        progress_maker.reset(token)


def _decision_args(opts: dict[str, Any], args: argparse.Namespace) -> dict[str, Any]:
    """The keyword arguments of check() and monitor() that say how windows are decided."""
    out = {"decide": opts["decide"], "alpha": opts["alpha"], "seed": opts["seed"], "min_effect": opts["min_effect"]}
    if opts["decide"] == "p-value":
        out.update(n_permutations=opts["n_permutations"], exact=opts["exact"])
    return out


def _run_check(args: argparse.Namespace, progress: Progress) -> int:
    from ..pipeline.check import DEFAULT_MIN_ROWS, check

    cols, opts = _settings(args)
    check_outputs([("--json", args.json), ("--html", args.html), ("--prometheus", args.prometheus)],
                  (args.baseline, args.current, args.config))
    if args.html:
        _require_report()
    decision = _decision_args(opts, args)
    if opts["decide"] == "calibrated":
        decision.update(decide=None, calibrate=args.calibrate)
    embed = _embedder(opts["embed"], progress)
    with progress.step("checking"), _embedding_counter(progress), \
            _pipeline_errors((args.baseline, args.current), opts["n_permutations"]):
        result: CheckResult = check(
            args.baseline, args.current, detectors=opts["detectors"], columns=cols, length=args.length,
            min_rows=opts["min_rows"] if opts["min_rows"] is not None else DEFAULT_MIN_ROWS, embed=embed,
            redact_categories=args.redact_categories, **decision,
        )
    outputs = Outputs()
    if args.html:
        with progress.step("writing the HTML report"), _pipeline_errors(()):
            outputs.add(args.html, result.to_html())
    if args.prometheus:
        outputs.add(args.prometheus, result.to_prometheus(per_column=args.per_column))
    if args.json is not None and args.json != "-":
        outputs.add(args.json, result.to_json(indent=1) + "\n")
    outputs.commit()
    if args.json == "-":
        print(result.to_json())
    else:
        print(result.summary())
    if args.fail_on_drift and not result.scored:
        # A gate must not read "no drift" from a check that scored nothing.
        sys.stdout.flush()
        _error_line("--fail-on-drift: no dimension could be scored (each was skipped or too small), "
                    "so there is no verdict to gate on")
        return 2
    return 1 if args.fail_on_drift and result.drifted else 0


# ------------------------------------------------------------------ monitor


def _monitor_baseline(args: argparse.Namespace) -> Any:
    from ..pipeline.monitor import parse_duration

    if args.baseline is None:
        return None
    if args.rows is not None:
        try:
            value = int(args.baseline, 10)
        except ValueError:
            raise UsageError(f"with --rows, --baseline is a number of rows, got {shown(args.baseline)}") from None
        if not 1 <= value < _BOUND:
            raise UsageError(f"--baseline: expected a positive number of rows below 2**63, got {shown(args.baseline)}")
        return value
    try:
        return parse_duration(args.baseline)
    except ValueError as err:
        raise UsageError(f"--baseline: {err}") from None


def _gap_note(w: WindowResult) -> str:
    from ..render.text import window_label

    return (f"window {w.index}: {w.reason}, from {window_label(w.start, w.first_row)} "
            f"to {window_label(w.end, w.first_row)} UTC")


def _run_monitor(args: argparse.Namespace, progress: Progress) -> int:
    from ..pipeline.check import DEFAULT_MIN_ROWS
    from ..pipeline.monitor import monitor, parse_duration

    cols, opts = _settings(args)
    baseline = _monitor_baseline(args)
    if args.scheduler is None and len(args.log) > 1:
        raise UsageError(f"{len(args.log)} LOGs given: monitor reads one log, or the partitions of one log with "
                         "--scheduler ADDRESS")
    if args.scheduler is not None:
        # The workers check windows against one baseline shipped to them; a first period of the log
        # would need the whole log read here first, and an embedding model on every worker.
        if args.baseline_file is None:
            raise UsageError("--scheduler needs --baseline-file B (a baseline log or saved baseline)")
        if opts["embed"] is not None:
            raise UsageError("--embed is not available with --scheduler: embed the partitions first")
    if args.every is not None:
        try:
            parse_duration(args.every)
        except ValueError as err:
            raise UsageError(f"--every: {err}") from None
    check_outputs([("--jsonl", args.jsonl), ("--html", args.html)], (*args.log, args.baseline_file, args.config))
    if args.html:
        _require_report()

    def emit(w: WindowResult) -> None:
        if not args.jsonl:  # streamed, one line per window as soon as it is checked
            sys.stdout.write(json.dumps(w.to_dict(), ensure_ascii=False) + "\n")
            sys.stdout.flush()
        if w.status == "gap":
            _note(_gap_note(w))

    min_rows = opts["min_rows"] if opts["min_rows"] is not None else DEFAULT_MIN_ROWS
    if args.scheduler is not None:
        result = _monitor_on_cluster(args, cols, opts, min_rows, progress)
        for w in result.windows:
            emit(w)
    else:
        embed = _embedder(opts["embed"], progress)
        with progress.step("checking windows"), _embedding_counter(progress), \
                _pipeline_errors((args.log[0], args.baseline_file), opts["n_permutations"]):
            result = monitor(
                args.log[0], every=args.every, rows=args.rows, baseline=baseline, baseline_log=args.baseline_file,
                min_rows=min_rows, persist=args.persist, detectors=opts["detectors"], columns=cols,
                length=args.length, on_window=emit, embed=embed, redact_categories=args.redact_categories,
                **_decision_args(opts, args),
            )
    outputs = Outputs()
    if args.jsonl:
        outputs.add(args.jsonl, result.to_jsonl())
    if args.html:
        with progress.step("writing the HTML report"), _pipeline_errors(()):
            outputs.add(args.html, result.to_html())
    outputs.commit()
    if args.jsonl:
        print(result.summary())
    if not any(w.status != "gap" for w in result.windows):
        _error_line(result.notes[0] if result.notes else "no window to check")
        return 2
    if args.fail_on_drift and not result.scored:
        why = result.notes[0] if result.notes else "no window could be scored"
        _error_line(f"--fail-on-drift: {why}, so there is no verdict to gate on")
        return 2
    if not args.jsonl:  # the table of windows carries them otherwise
        for note in result.notes:
            _note(note)
    return 1 if args.fail_on_drift and result.alerted else 0


def _monitor_on_cluster(args: argparse.Namespace, cols: Any, opts: dict[str, Any], min_rows: int,
                        progress: Progress) -> MonitorResult:
    """``monitor --scheduler``: the windows of a partitioned log checked on a Dask cluster, each as
    the serial monitor checks it."""
    from .._optional import require

    with _pipeline_errors(()):
        require("distributed", "monitor --scheduler")
    from distributed import Client

    from .. import dask as mdask  # imports Dask, present once distributed is

    with progress.step(f"connecting to {args.scheduler}"), _pipeline_errors(()):
        try:
            # Dask's connect timeout (distributed.comm.timeouts.connect, 30s by default) bounds the wait.
            client = Client(args.scheduler)  # type: ignore[no-untyped-call, unused-ignore]
        except OSError as err:
            raise InputError(f"--scheduler {args.scheduler}: cannot connect ({err})") from None
    try:
        with progress.step("checking windows on the cluster"), _pipeline_errors(
                (*args.log, args.baseline_file), opts["n_permutations"]):
            return cast("MonitorResult", mdask.monitor(
                args.log, baseline=args.baseline_file, every=args.every, rows=args.rows, min_rows=min_rows,
                persist=args.persist, detectors=opts["detectors"], columns=cols, length=args.length, client=client,
                redact_categories=args.redact_categories, **_decision_args(opts, args)))
    finally:
        client.close()  # type: ignore[no-untyped-call, unused-ignore]


def write_demo_report(path: str, progress: Progress, result: Any = None, decide: str = "p-value") -> None:
    """Writes the HTML report of the demo's drifted scenario (the path was checked before);
    ``result`` is its check when the caller has one."""
    from .. import demo

    with progress.step("writing the HTML report of the drift scenario"), _pipeline_errors(()):
        if result is None:
            result = demo.drift_check(decide=decide)
        outputs = Outputs()
        outputs.add(path, result.to_html())
    outputs.commit()


def check_demo_output(path: str) -> None:
    """Refuses the demo's --html path before any work, as for check and monitor."""
    check_outputs([("--html", path)], ())
    _require_report()


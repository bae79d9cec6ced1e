"""The ``morvanta baseline`` subcommand: a saved baseline fitted from one log or a month of partitions.

The logs are read by role as ``check`` reads them (``--column``, ``--length``,
``--config``), partition by partition (a Parquet row group, a file), and fitted
as :meth:`morvanta.Baseline.fit_partitions` fits them: exactly while the narrow
columns fit the budget, by a seeded bottom-k sample beyond it, embeddings
always by the sample. The file is written atomically; the summary says what was
seen, what was kept and whether it is a sample.
"""

from __future__ import annotations

import argparse
import json
import os
import time
from collections.abc import Callable
from datetime import datetime, timezone
from typing import Any

from .options import Progress, UsageError, int_option

__all__ = ["add_command"]

_Command = Callable[[str, str, Callable[[argparse.Namespace, Progress], int]], argparse.ArgumentParser]
# Keys of a check's configuration that mean nothing to a fit: accepted, so that one file serves both.
_CHECK_KEYS = ("min_effect", "alpha", "seed", "permutations", "min_rows")


def _mebibytes(text: str) -> int:
    return int_option(text, "a positive number of MiB below 2**40", lambda v: 1 <= v < 1 << 40)


def _seconds(text: str) -> int:
    return int_option(text, "whole seconds since the Unix epoch (an integer >= 0)", lambda v: 0 <= v < 1 << 63)


def _sample_seed(text: str) -> int:
    return int_option(text, "a non-negative integer below 2**64", lambda v: 0 <= v < 1 << 64)


def add_command(command: _Command) -> None:
    """Adds ``baseline`` through the command line's ``command`` helper."""
    from .pipeline import _drop_option, _role

    p = command("baseline", "fit a baseline from request logs (files, quoted globs or a folder of Parquet "
                "partitions) and save it for check and monitor", _run_baseline)
    _drop_option(p, "--fail-on-drift")
    _drop_option(p, "--json")
    p.add_argument("logs", metavar="LOG", nargs="+",
                   help="request logs (.parquet, .csv, .tsv, .jsonl), quoted glob patterns, or folders of "
                        "Parquet files; expanded and sorted by path")
    p.add_argument("--out", metavar="FILE", required=True,
                   help="the baseline file to write: FILE.npz (NumPy archive) or FILE.json")
    p.add_argument("--config", metavar="FILE", help="TOML file: [columns] names, [thresholds] per dimension "
                   "(saved with the detectors); check's other keys are accepted and ignored")
    p.add_argument("--column", metavar="ROLE=NAME", type=_role, action="append", default=[],
                   help="use column NAME for ROLE (e.g. query_embedding=q_vec); empty NAME ignores the role")
    p.add_argument("--length", choices=("chars", "words"), default=None,
                   help="measure a 'response' text column in characters (default) or words")
    p.add_argument("--captured-at", type=_seconds, default=None, metavar="SECONDS",
                   help="when the baseline was captured, in seconds since the Unix epoch (default: the latest "
                        "timestamp of the logs, else now; give it for byte-identical files)")
    p.add_argument("--sample-seed", type=_sample_seed, default=0, metavar="S",
                   help="seed of the rows' priorities, which pick the sample beyond the budget (default 0)")
    p.add_argument("--budget", type=_mebibytes, default=None, metavar="MIB",
                   help="memory for the feature columns, lengths and confidences kept exactly (default 256); "
                        "beyond it they are a bottom-k sample")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="summarise the partitions on this Dask scheduler (e.g. tcp://host:8786) instead of here")
    p.add_argument("--json", action="store_true", help="print the summary as JSON instead of text")


def _settings(args: argparse.Namespace) -> tuple[Any, dict[str, Any]]:
    """The columns and the detectors (with [thresholds] from --config)."""
    from dataclasses import replace

    from .pipeline import config_thresholds, read_config

    cols, options = read_config(args.config)
    path = args.config
    if args.column:
        renamed: dict[str, Any] = {role: (name or None) for role, name in args.column}
        cols = replace(cols, **renamed)
    if args.length is not None:
        cols = replace(cols, length=args.length)
    return cols, config_thresholds(path, options)


def summary_record(base: Any, out: str, files: int, captured_from: str) -> dict[str, Any]:
    """What the command reports about the fitted baseline."""
    from ..dimensions import NAMES

    sample = base.sample
    seen = sample.get("rows_seen", base.sizes)
    return {
        "file": out,
        "files": files,
        "rows_seen": max(seen.values()),
        "rows_kept": dict(base.sizes),
        "rows_tested": dict(sample["kept"]),
        "sampled": "order" in sample,
        "seed": sample["seed"],
        "dimensions": [d for d in NAMES if d in base.detectors],
        "captured_at": base.captured_at,
        "captured_from": captured_from,
        "note": base.sampled,
    }


def summary_text(r: dict[str, Any]) -> str:
    when = datetime.fromtimestamp(r["captured_at"], tz=timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    files = f"{r['files']:,} file{'s' if r['files'] != 1 else ''}"
    lines = [f"fitted a baseline from {r['rows_seen']:,} requests in {files}",
             f"  dimensions:  {', '.join(r['dimensions'])}",
             f"  rows:        {r['note'] or 'every row, nothing sampled'}",
             f"  captured at: {when} ({r['captured_from']})",
             f"  written to:  {r['file']}"]
    text = "\n".join(lines)
    return text


def _run_baseline(args: argparse.Namespace, progress: Progress) -> int:
    from ..dimensions import default_detectors
    from ..engines.baseline import Baseline
    from ..engines.partitioned import DEFAULT_BUDGET, expand_sources, latest_second, summarise_sources
    from .pipeline import _pipeline_errors, check_outputs

    out = args.out
    if os.path.splitext(out)[1].lower() not in (".npz", ".json"):
        raise UsageError(f"--out {out}: a baseline is written as FILE.npz or FILE.json")
    cols, detectors = _settings(args)
    with _pipeline_errors(args.logs):
        files = expand_sources(args.logs)
    check_outputs([("--out", out)], (*files, args.config))
    budget = args.budget * 2**20 if args.budget is not None else DEFAULT_BUDGET
    with progress.step(f"fitting from {len(files):,} file{'s' if len(files) != 1 else ''}"), \
            _pipeline_errors(files):
        summary = summarise_sources(files, columns=cols, length=None, budget=budget, seed=args.sample_seed,
                                    scheduler=args.scheduler)
        captured, captured_from = args.captured_at, "--captured-at"
        if captured is None:
            captured, captured_from = latest_second(summary), "the latest timestamp"
        if captured is None:
            captured, captured_from = int(time.time()), "the clock: the logs have no timestamp column"
        base = Baseline.fit_summary(summary, seed=args.sample_seed, captured_at=captured,
                           detectors={**default_detectors(), **detectors})
    with progress.step(f"writing {out}"):
        base.save(out)
    record = summary_record(base, out, len(files), captured_from)
    print(json.dumps(record) if args.json else summary_text(record))
    return 0

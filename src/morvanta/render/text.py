"""Text tables and verdict wording for the terminal."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .._native import DriftScore
    from ..results import CheckResult


def fmt(x: float | None, digits: int = 6) -> str:
    if x is None:
        return "-"
    if math.isnan(x):
        return "NaN"
    return f"{x:.{digits}f}"


def check_summary(r: CheckResult) -> str:
    lines = [f"baseline: {r.baseline_source} ({r.n_baseline:,} requests)",
             f"current:  {r.current_source} ({r.n_current:,} requests)", ""]
    headers = ["dimension", "score", "threshold", "drifted", "method"]
    if r.p_values:
        headers[4:4] = ["p", "p (Holm)"]
    rows = []
    for d in r.dimensions:
        if d.score is None:
            row = [d.dimension, "-", "-", "skipped" if d.status == "skipped" else "too small", d.reason or ""]
            if r.p_values:
                row[4:4] = ["-", "-"]
        else:
            row = [d.dimension, fmt(d.score.score), fmt(d.score.threshold), "yes" if d.drifted else "no",
                   d.score.method]
            if r.p_values:
                row[4:4] = [fmt(d.p_value, 4), fmt(d.p_adjusted, 4)]
        rows.append(row)
    lines.append(table(headers, rows))
    top = r.top_contributors()
    if top.get("columns"):
        lines += ["", "worst columns: " + ", ".join(f"{c['name']} {fmt(c['score'], 3)}" for c in top["columns"])]
    if top.get("clusters"):
        lines += ["grown clusters: " + ", ".join(
            f"#{c['index']} {c['baseline_share']:.1%} -> {c['current_share']:.1%}" for c in top["clusters"])]
    if r.notes:
        lines += [""] + [f"note: {n}" for n in r.notes]
    drifted = [d.dimension for d in r.dimensions if d.drifted]
    n = len(r.scored)
    how = f"; Holm-adjusted p <= {r.alpha:g}" if r.p_values else ""
    lines.append("")
    if n == 0:
        lines.append("verdict: nothing to test (no dimension could be scored)")
    elif drifted:
        lines.append(f"verdict: DRIFT in {', '.join(drifted)} ({len(drifted)} of {n} dimensions{how})")
    else:
        lines.append(f"verdict: no drift in any of the {n} dimensions tested{how}")
    return "\n".join(lines)


def table(headers: Sequence[str], rows: Sequence[Sequence[str]]) -> str:
    widths = [max([len(h), *(len(r[i]) for r in rows)]) for i, h in enumerate(headers)]
    lines = ["  ".join(c.ljust(w) for c, w in zip(line, widths)).rstrip() for line in [headers, *rows]]
    return "\n".join(lines)


def score_table(scores: Sequence[DriftScore]) -> str:
    rows = [
        [s.dimension, fmt(s.score), fmt(s.threshold), "yes" if s.exceeded else "no", s.method] for s in scores
    ]
    return table(["dimension", "score", "threshold", "drifted", "method"], rows)


def verdict(scores: Sequence[DriftScore]) -> str:
    drifted = [s.dimension for s in scores if s.exceeded]
    if len(scores) == 1:
        return "verdict: DRIFT (the score reached its threshold)" if drifted else "verdict: no drift"
    if not drifted:
        return f"verdict: no drift in any of the {len(scores)} dimensions"
    return f"verdict: DRIFT in {', '.join(drifted)} ({len(drifted)} of {len(scores)} dimensions)"

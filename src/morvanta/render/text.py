"""Text tables and verdict wording for the terminal.

Every piece of text that reaches a terminal passes :func:`printable` once, here:
column names, file names and notes come from the data, and a carriage return
or an escape sequence in them must show as text, not act on the screen.
"""

from __future__ import annotations

import math
import re
from collections.abc import Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .._native import DriftScore
    from ..results import CheckResult, DimensionResult, MonitorResult

# C0 and C1 controls, DEL, the Unicode line and paragraph separators and lone
# surrogates (which no terminal encoding can carry).
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\ud800-\udfff]")
_NAMED = {"\t": "\\t", "\n": "\\n", "\r": "\\r"}


def _escape(m: re.Match[str]) -> str:
    c = m.group()
    if c in _NAMED:
        return _NAMED[c]
    code = ord(c)
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def printable(text: object) -> str:
    """``text`` with every control character written as an escape (``\\r``, ``\\x1b``, ``\\u2028``)."""
    return _CONTROL.sub(_escape, str(text))


def fmt(x: float | None, digits: int = 6) -> str:
    if x is None:
        return "-"
    if math.isnan(x):
        return "NaN"
    return f"{x:.{digits}f}"


def decision_line(r: CheckResult) -> str:
    """What decided the check, in one line."""
    if r.decide == "p-value":
        how = "all" if r.exact else "up to"
        smallest = f"; smallest attainable adjusted p {fmt_p(r.smallest_p_adjusted)}" if r.smallest_p_adjusted else ""
        perms = f" ({how} {r.n_permutations:,} permutations, seed {r.seed}{smallest})" if r.n_permutations else ""
        return f"decided by: permutation p-values, Holm-adjusted over the dimensions tested, at alpha {r.alpha:g}{perms}"
    if r.decide == "calibrated" and r.calibration is not None:
        return (f"decided by: thresholds calibrated on the baseline for a false-alarm rate of "
                f"{r.calibration['false_alarm_rate']:g} each")
    return "decided by: fixed thresholds (no known false-alarm rate)"


def fmt_p(p: float | None) -> str:
    """A p-value with four significant digits (they can be far below 0.0001)."""
    if p is None:
        return "-"
    if math.isnan(p):
        return "NaN"
    return f"{p:.4g}" if p < 0.001 else f"{p:.4f}"


def _drifted_cell(d: DimensionResult) -> str:
    if d.below_min_effect:
        return "no (below floor)"
    return "yes" if d.drifted else "no"


def check_summary(r: CheckResult) -> str:
    lines = [f"baseline: {printable(r.baseline_source)} ({r.n_baseline:,} requests)",
             f"current:  {printable(r.current_source)} ({r.n_current:,} requests)",
             decision_line(r), ""]
    headers = ["dimension", "score", "threshold", "drifted", "method"]
    with_p = r.decide == "p-value"
    if with_p:
        headers[4:4] = ["p", "p (Holm)"]
    rows = []
    for d in r.dimensions:
        if d.score is None:
            row = [d.dimension, "-", "-", "skipped" if d.status == "skipped" else "too small", d.reason or ""]
            if with_p:
                row[4:4] = ["-", "-"]
        else:
            row = [d.dimension, fmt(d.score.score), fmt(d.score.threshold), _drifted_cell(d), d.score.method]
            if with_p:
                row[4:4] = [fmt_p(d.p_value), fmt_p(d.p_adjusted)]
        rows.append(row)
    lines.append(table(headers, rows))
    top = r.top_contributors()
    if top.get("columns"):
        lines += ["", "worst columns: " + ", ".join(
            f"{printable(c['name'])}" + (f" {printable(c['part'])}" if c.get("part") else "")
            + f" {fmt(c['score'], 3)}"
            + (f" (p {fmt_p(c['p_adjusted'])})" if c.get("p_adjusted") is not None else "")
            for c in top["columns"])]
    if top.get("parts"):
        lines += ["drifted parts: " + ", ".join(
            f"{p['dimension']} {printable(p['part'])} (p {fmt_p(p['p_adjusted'])})" for p in top["parts"])]
    if top.get("clusters"):
        lines += ["grown clusters: " + ", ".join(
            f"#{c['index']} {c['baseline_share']:.1%} -> {c['current_share']:.1%}" for c in top["clusters"])]
    for c in r.categorical:
        ps = [p for p in (c.get("p_adjusted"), c.get("p_adjusted_missing")) if p is not None and p == p]
        if not ps or min(ps) > r.alpha:
            continue
        moved = ", ".join(f"{printable(m['category'])} {m['baseline_share']:.1%} -> {m['current_share']:.1%}"
                          for m in c["moved"][:3])
        unseen = ", ".join(f"{printable(u['category'])} {u['current_share']:.1%}" for u in c["unseen"][:3])
        miss = c["missing_share"]
        lines += [f"categories of {printable(c['name'])}: {moved}"
                  + (f"; unseen in the baseline: {unseen}" if unseen else "")
                  + (f"; missing {miss['baseline']:.1%} -> {miss['current']:.1%}"
                     if miss["baseline"] != miss["current"] else "")]
    if r.notes:
        lines += [""] + [f"note: {printable(n)}" for n in r.notes]
    lines += ["", check_verdict(r)]
    return "\n".join(lines)


def check_verdict(r: CheckResult) -> str:
    """The verdict line of a check; "nothing to test" when no dimension was scored."""
    drifted = [d.dimension for d in r.dimensions if d.drifted]
    n = len(r.scored)
    how = {"p-value": f"; Holm-adjusted p <= {r.alpha:g}", "calibrated": "; calibrated thresholds"}.get(
        r.decide, "; fixed thresholds")
    if n == 0:
        return "verdict: nothing to test (no dimension could be scored)"
    if drifted:
        return f"verdict: DRIFT in {', '.join(drifted)} ({len(drifted)} of {n} dimensions{how})"
    return f"verdict: no drift in any of the {n} dimensions tested{how}"


def window_label(start: float | None, first_row: int) -> str:
    """A window's start as "YYYY-MM-DD HH:MM" (UTC), or "row N" for windows by rows."""
    if start is None:
        return f"row {first_row}"
    from datetime import datetime, timezone

    try:
        return datetime.fromtimestamp(start, tz=timezone.utc).strftime("%Y-%m-%d %H:%M")
    except (OverflowError, OSError, ValueError):
        return f"{start:.6g} s"


def monitor_verdict(m: MonitorResult) -> str:
    """The verdict line of a monitor run; never "no drift" when nothing was checked."""
    checked = m.checked
    gaps = m.gaps
    gap_text = f"; {len(gaps)} gap{'s' if len(gaps) != 1 else ''} without requests" if gaps else ""
    if not m.scored:
        return f"verdict: nothing to test (no window could be scored{gap_text})"
    drifted = m.drifted_windows
    chance = m.expected_false_alarms
    by_chance = f", about {chance:.3g} expected by chance at alpha {m.alpha:g} each" if chance is not None else ""
    if m.persist is not None:
        k, n = m.persist
        alerts = [w for w in m.windows if w.alert]
        if alerts:
            return (f"verdict: DRIFT: {len(alerts)} window{'s' if len(alerts) != 1 else ''} alerted ({k} of the last "
                    f"{n} checked drifted); {len(drifted)} of {len(checked)} windows checked drifted{by_chance}"
                    f"{gap_text}")
        if drifted:
            return (f"verdict: no alert: {len(drifted)} of {len(checked)} windows checked drifted{by_chance}, "
                    f"never {k} of the last {n}{gap_text}")
    if drifted:
        return f"verdict: DRIFT in {len(drifted)} of {len(checked)} windows checked{by_chance}{gap_text}"
    return f"verdict: no drift in any of the {len(checked)} windows checked{gap_text}"


def monitor_summary(m: MonitorResult) -> str:
    lines = [f"log:      {printable(m.source)}",
             f"baseline: {printable(m.baseline_source)} ({m.baseline_rows:,} requests)", ""]
    rows = []
    for w in m.windows:
        if w.status == "gap":
            what = f"gap: {w.reason}, until {window_label(w.end, w.first_row)}"
        elif w.result is None:
            what = f"too small: {w.reason}"
        else:
            drifted = [d.dimension for d in w.result.dimensions if d.drifted]
            what = ("DRIFT in " + ", ".join(drifted)) if drifted else (
                "no drift" if w.result.scored else "nothing scored")
            if m.persist is not None and w.alert:
                what += " (alert)"
        rows.append([str(w.index), window_label(w.start, w.first_row), f"{w.rows:,}", what])
    lines.append(table(["window", "start", "requests", "result"], rows))
    if m.notes:
        lines += [""] + [f"note: {printable(n)}" for n in m.notes]
    lines += ["", monitor_verdict(m)]
    return "\n".join(lines)


def table(headers: Sequence[str], rows: Sequence[Sequence[str]]) -> str:
    headers = [printable(h) for h in headers]
    rows = [[printable(c) for c in r] for r in rows]
    widths = [max([len(h), *(len(r[i]) for r in rows)]) for i, h in enumerate(headers)]
    lines = ["  ".join(c.ljust(w) for c, w in zip(line, widths)).rstrip() for line in [headers, *rows]]
    return "\n".join(lines)


def score_table(scores: Sequence[DriftScore], tested: Sequence[tuple[float, bool]] | None = None) -> str:
    """One row per score; with ``tested`` ((p-value, drifted) per score) the p-value decides the drifted column."""
    if tested is None:
        rows = [
            [s.dimension, fmt(s.score), fmt(s.threshold), "yes" if s.exceeded else "no", s.method] for s in scores
        ]
        return table(["dimension", "score", "threshold", "drifted", "method"], rows)
    rows = [[s.dimension, fmt(s.score), fmt(s.threshold), fmt_p(p), "yes" if drifted else "no", s.method]
            for s, (p, drifted) in zip(scores, tested)]
    return table(["dimension", "score", "threshold", "p", "drifted", "method"], rows)


def verdict(scores: Sequence[DriftScore]) -> str:
    drifted = [s.dimension for s in scores if s.exceeded]
    if len(scores) == 1:
        return "verdict: DRIFT (the score reached its threshold)" if drifted else "verdict: no drift"
    if not drifted:
        return f"verdict: no drift in any of the {len(scores)} dimensions"
    return f"verdict: DRIFT in {', '.join(drifted)} ({len(drifted)} of {len(scores)} dimensions)"


def p_verdict(p: float, alpha: float, drifted: bool, below_floor: bool = False) -> str:
    """The verdict line of one detector decided by its permutation p-value."""
    if math.isnan(p):
        return "verdict: nothing to test (the permutation test had no part to test)"
    if drifted:
        return f"verdict: DRIFT (p = {fmt_p(p)} <= alpha {alpha:g})"
    if below_floor:
        return f"verdict: no drift (p = {fmt_p(p)} <= alpha {alpha:g}, but the score is below its floor)"
    return f"verdict: no drift (p = {fmt_p(p)} > alpha {alpha:g})"

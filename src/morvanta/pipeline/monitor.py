"""Monitoring over time: one log cut into consecutive windows, each checked against a baseline.

Windows by time are made only where requests fall, so the work is bounded by
the rows, never by the time span; a run of empty periods between windows is one
"gap" record, because an outage is a signal of its own.
"""

from __future__ import annotations

import math
import os
import re
from collections import deque
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, replace
from typing import Any

from ..errors import ArgumentError, annotated
from ..io.log import LengthUnit, LogColumns, LogError, RequestLog
from ..results import MonitorResult, WindowResult
from .check import (
    DEFAULT_MIN_ROWS,
    _as_log,
    _embedded,
    _is_saved_baseline,
    _load_baseline,
    _match,
    _saved_embedded,
    resolve_embedder,
    run_check,
    validate,
    with_categorical,
)
from .decide import persistence

#: A baseline shorter than this many windows makes every window's test weak, and
#: its own chance features are shared by every window's comparison.
BASELINE_WINDOWS = 4

__all__ = ["monitor", "parse_duration", "Cut"]

_UNITS = {"s": 1.0, "m": 60.0, "h": 3600.0, "d": 86400.0, "w": 604800.0}
_PART = r"(\d+(?:\.\d+)?)\s*([smhdw])"


def parse_duration(text: str | float) -> float:
    """Seconds in a duration such as "90s", "15m", "1h", "1h30m", "7d", "1w" (or a number of seconds)."""
    if isinstance(text, bool):
        raise ValueError(f"not a duration: {text!r} (e.g. 30s, 15m, 1h, 1h30m, 7d)")
    if isinstance(text, (int, float)):
        value = float(text)
    elif isinstance(text, str):
        t = text.strip().lower()
        parts = re.findall(_PART, t)
        if not parts or re.sub(_PART, "", t).strip():
            raise ValueError(f"not a duration: {text!r} (e.g. 30s, 15m, 1h, 1h30m, 7d)")
        value = sum(float(n) * _UNITS[u] for n, u in parts)
    else:
        raise ValueError(f"not a duration: {text!r} (e.g. 30s, 15m, 1h, 1h30m, 7d)")
    if not value > 0 or math.isinf(value):
        raise ValueError(f"a duration must be positive and finite, got {text!r}")
    return value


@dataclass(frozen=True)
class Cut:
    """One record of the cut: the rows [first, end) of a window, or a run of
    ``periods`` empty periods (``first == end``, ``gap`` true). ``index`` is the
    period's number after the baseline (with windows by time) or the window's
    number (with windows by rows)."""

    index: int
    first: int
    end: int
    start: float | None = None
    stop: float | None = None
    periods: int | None = None
    gap: bool = False


def _by_rows(n: int, rows: int, baseline: int | None) -> tuple[slice, list[Cut]]:
    nb = min(baseline if baseline is not None else rows, n)
    return slice(0, nb), [Cut(i, s, min(s + rows, n)) for i, s in enumerate(range(nb, n, rows))]


def _by_time(t: Any, every: float, baseline: float | None) -> tuple[slice, list[Cut]]:
    """The baseline rows and the windows of sorted times ``t``: windows start on
    multiples of the period (UTC) after the baseline; only periods holding a row
    become windows, each run of empty periods between them one gap."""
    import numpy as np

    n = len(t)
    if n == 0:
        return slice(0, 0), []
    t0 = math.floor(float(t[0]) / every) * every
    base_end = t0 + (baseline if baseline is not None else every)
    nb = int(np.searchsorted(t, base_end, side="left"))
    out: list[Cut] = []
    last = -1  # the period of the previous window; the baseline ends where period 0 starts
    pos = nb
    while pos < n:
        x = float(t[pos])
        k = max(math.floor((x - base_end) / every), last + 1)
        # Rounding can put the row one period off; a step or two settles it (a
        # period below the times' resolution never does, so the steps are capped).
        for _ in range(2):
            if k > last + 1 and x < base_end + k * every:
                k -= 1
            elif x >= base_end + (k + 1) * every:
                k += 1
        start, stop = base_end + k * every, base_end + (k + 1) * every
        end = max(int(np.searchsorted(t, stop, side="left")), pos + 1)  # always at least this row
        if k > last + 1:
            out.append(Cut(last + 1, pos, pos, base_end + (last + 1) * every, start, k - last - 1, gap=True))
        out.append(Cut(k, pos, end, start, stop, 1))
        last, pos = k, end
    return slice(0, nb), out


def _finite_times(log: RequestLog) -> None:
    import numpy as np

    assert log.timestamps is not None
    bad = np.flatnonzero(~np.isfinite(log.timestamps))
    if bad.size:
        raise LogError(f"'{log.source}': column 'timestamp' row {int(bad[0]) + 1}: not a finite time "
                       f"({log.timestamps[bad[0]]!r})")


def _count(arg: str, value: Any, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < least:
        raise ArgumentError(arg, f"expected {'a positive' if least else 'a non-negative'} number of rows, "
                                 f"got {value!r}")
    return value


def _duration(arg: str, value: Any) -> float:
    try:
        return parse_duration(value)
    except ValueError as err:
        raise ArgumentError(arg, str(err)) from None


def _no_window_note(full: RequestLog, base_rows: slice, period: float | None, baseline_log: Any) -> str:
    n_base = base_rows.stop - base_rows.start
    if full.n_rows == 0:
        return f"no window to check: '{full.source}' holds no requests"
    if baseline_log is None:
        what = "first period" if period is not None else "first rows"
        return (f"no window to check: all {full.n_rows:,} requests of '{full.source}' fall in the baseline "
                f"({what}, {n_base:,} requests); give a shorter baseline or a longer log")
    return f"no window to check in '{full.source}'"


@annotated
def monitor(
    log: Any,
    *,
    every: str | float | None = None,
    rows: int | None = None,
    baseline: str | float | int | None = None,
    baseline_log: Any = None,
    min_rows: int = DEFAULT_MIN_ROWS,
    decide: str | None = None,
    p_values: bool | None = None,
    n_permutations: int | None = None,
    seed: int = 0,
    exact: bool = False,
    alpha: float = 0.05,
    min_effect: Mapping[str, float] | None = None,
    persist: tuple[int, int] | None = None,
    detectors: Mapping[str, Any] | None = None,
    columns: LogColumns | None = None,
    length: LengthUnit | None = None,
    on_window: Callable[[WindowResult], None] | None = None,
    embed: Any = None,
    categorical: Sequence[str] | None = None,
    redact_categories: bool = False,
) -> MonitorResult:
    """Cuts ``log`` into consecutive windows and checks each against a baseline.

    ``categorical`` and ``redact_categories`` are as for :func:`~morvanta.check`.

    Windows span ``every`` (a duration such as "1h", cut by the ``timestamp``
    column, starting on multiples of the period in UTC) or hold ``rows`` requests
    each. The baseline is ``baseline_log`` (a log or saved Baseline), or else the
    log's first period: ``baseline`` (a duration with ``every``, a row count
    with ``rows``; default one window). A window with fewer than ``min_rows``
    requests is reported as "too_small" and not scored. With ``every``, only
    periods holding requests become windows; each run of empty periods between
    them is one record of status "gap" (``periods`` says how many). ``on_window``
    is called with each record as soon as it is made. When no window is left to
    check, the result's ``notes`` say why.

    Each window is a :func:`~morvanta.check` with ``decide``, ``p_values``,
    ``n_permutations``, ``seed``, ``exact``, ``alpha`` and ``min_effect`` as
    there ("p-value" or "threshold"): with p-values every window is tested at
    ``alpha``, so over n windows drawn like the baseline about ``alpha * n``
    drift by chance; the notes say how many to expect, and warn when the
    baseline holds fewer than four times a window's rows. ``persist=(K, N)``
    makes a window alert only when it drifted and K of the last N checked
    windows (itself included) drifted; without it every drifted window
    alerts (``WindowResult.alert``, ``MonitorResult.alerted``).

    ``embed`` (a model folder or a loaded :class:`~morvanta.embed.TextEmbedder`)
    embeds the ``query`` and ``response`` text of a log without embedding columns,
    as for :func:`~morvanta.check`: the log once before it is cut, and a baseline
    log once.
    """
    import numpy as np

    if (every is None) == (rows is None):
        raise ArgumentError("every", "give exactly one of 'every' (a duration) and 'rows' (a count)")
    if baseline is not None and baseline_log is not None:
        raise ArgumentError("baseline", "arguments 'baseline' and 'baseline_log' exclude each other")
    if rows is not None:
        _count("rows", rows, 1)
    if decide == "calibrated":
        raise ArgumentError("decide", "a monitor decides by 'p-value' or 'threshold'")
    rules = validate(decide=decide, p_values=p_values, alpha=alpha, min_rows=min_rows, n_permutations=n_permutations,
                     seed=seed, exact=exact, min_effect=min_effect)
    persisting = persistence(persist)
    period = _duration("every", every) if every is not None else None
    base_len: float | int | None = None
    if baseline is not None:
        base_len = _duration("baseline", baseline) if period is not None else _count("baseline", baseline, 1)
    model = resolve_embedder(embed)
    columns = with_categorical(columns, categorical)
    full = _as_log(log, columns, length, "log")
    if period is not None:
        if full.timestamps is None:
            raise LogError(f"'{full.source}': windows by time need a timestamp column (or use rows=)")
        _finite_times(full)
        order = np.argsort(full.timestamps, kind="stable")
        if (order != np.arange(full.n_rows)).any():
            full = full.take(order)
    if baseline_log is not None:
        base_len = 0  # every row of the log is checked
    if period is not None:
        assert full.timestamps is not None
        base_rows, cuts = _by_time(full.timestamps, period, None if base_len is None else float(base_len))
    else:
        assert rows is not None
        base_rows, cuts = _by_rows(full.n_rows, rows, None if base_len is None else int(base_len))
    if baseline_log is not None:
        base: Any
        if _is_saved_baseline(baseline_log):
            # Loaded once, not once per window.
            base = baseline_log if hasattr(baseline_log, "check") else _load_baseline(os.fspath(baseline_log))
            base_n = max(dict(getattr(base, "sizes", {}) or {}).values(), default=0)
        else:
            base = _as_log(baseline_log, columns, length, "baseline_log")
            _match(base, full)  # before any window: a too-small window is never checked
            base = _embedded(base, model)
            base_n = base.n_rows
        base_source = os.fspath(baseline_log) if isinstance(baseline_log, (str, os.PathLike)) else getattr(
            base, "source", "baseline")
        if not isinstance(base, RequestLog):
            # Each text embedded once, with the saved baseline's model (another one is refused here).
            embed_notes: list[str] = []
            full = _saved_embedded(base, base_source, full, model, embed_notes)
            full = replace(full, notes=(*full.notes, *embed_notes))
        else:
            full = _embedded(full, model)
    else:
        full = _embedded(full, model)  # each text embedded once, the baseline's with the windows'
        base = full.take(base_rows)
        base_source = f"{full.source} (first {'period' if period else 'rows'})"
        base_n = base.n_rows
    out: list[WindowResult] = []
    recent: deque[bool] = deque(maxlen=persisting[1] if persisting else 1)
    for c in cuts:
        n = c.end - c.first
        if c.gap:
            w = WindowResult(c.index, c.start, c.stop, c.first, 0, "gap", periods=c.periods,
                             reason=f"no requests for {c.periods:,} period{'s' if c.periods != 1 else ''}")
        elif n < min_rows:
            w = WindowResult(c.index, c.start, c.stop, c.first, n, "too_small", periods=c.periods,
                             reason=f"{n} request{'s' if n != 1 else ''}, fewer than the {min_rows} needed to test")
        else:
            res = run_check(base, full.take(slice(c.first, c.end)), rules, detectors=detectors, columns=None,
                            length=None, min_rows=min_rows, explain=False, embed=model,
                            redact=bool(redact_categories))
            recent.append(res.drifted)
            alert = res.drifted and (persisting is None or sum(recent) >= persisting[0])
            w = WindowResult(c.index, c.start, c.stop, c.first, n, "checked", res, periods=c.periods, alert=alert)
        if on_window is not None:
            on_window(w)
        out.append(w)
    notes: list[str] = []
    checked = [w for w in out if w.status == "checked"]
    if not any(w.status != "gap" for w in out):
        notes.append(_no_window_note(full, base_rows, period, baseline_log))
    elif not checked:
        small = sum(1 for w in out if w.status == "too_small")
        notes.append(f"no window could be checked: all {small:,} window{'s' if small != 1 else ''} hold fewer "
                     f"than the {min_rows} requests needed")
    elif not any(w.result is not None and w.result.scored for w in out):
        notes.append(f"no dimension could be scored in any window against the baseline '{base_source}' "
                     f"({int(base_n):,} requests); see each window's reasons")
    else:
        notes += _level_notes(checked, rules.decide, rules.alpha, persisting, int(base_n))
    return MonitorResult(out, base_source, int(base_n), period, rows, rules.decide == "p-value", rules.alpha,
                         min_rows, full.source, notes=notes, decide=rules.decide, persist=persisting)


def _level_notes(checked: list[WindowResult], decide: str, alpha: float, persist: tuple[int, int] | None,
                 base_n: int) -> list[str]:
    """What the level of each window means over all of them, and whether the baseline is long enough."""
    notes: list[str] = []
    n = len(checked)
    if decide == "p-value":
        text = (f"each window is tested at alpha {alpha:g}: over {n:,} window{'s' if n != 1 else ''} checked, "
                f"about {alpha * n:.3g} drift by chance when nothing changed")
        if persist is not None:
            text += f"; an alert needs {persist[0]} drifted windows among the last {persist[1]} checked"
        notes.append(text)
        raised = sorted({x for w in checked if w.result is not None for x in w.result.notes
                         if x.startswith("permutations raised")})
        notes += raised
    else:
        notes.append("fixed thresholds decide each window: they have no known false-alarm rate, so the drifted "
                     "windows to expect by chance are unknown")
    largest = max(w.rows for w in checked)
    if base_n < BASELINE_WINDOWS * largest:
        notes.append(f"the baseline holds {base_n:,} requests, fewer than {BASELINE_WINDOWS} times the largest "
                     f"window's {largest:,}: every window's test is weak and shares the baseline's chance features; "
                     "give a longer baseline")
    return notes

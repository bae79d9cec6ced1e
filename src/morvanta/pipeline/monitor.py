"""Monitoring over time: one log cut into consecutive windows, each checked against a baseline."""

from __future__ import annotations

import math
import os
import re
from collections.abc import Callable, Mapping
from typing import Any

from ..io.log import LengthUnit, LogColumns, LogError, RequestLog, match_logs
from ..results import MonitorResult, WindowResult
from .check import _as_log, _is_saved_baseline, _load_baseline, check


_UNITS = {"s": 1.0, "m": 60.0, "h": 3600.0, "d": 86400.0, "w": 604800.0}


def parse_duration(text: str | float) -> float:
    """Seconds in a duration such as "90s", "15m", "1h", "1h30m", "7d", "1w" (or a number of seconds)."""
    if isinstance(text, (int, float)):
        value = float(text)
    else:
        t = text.strip().lower()
        parts = re.findall(r"(\d+(?:\.\d+)?)\s*([smhdw])", t)
        if not parts or re.sub(r"(\d+(?:\.\d+)?)\s*([smhdw])", "", t).strip():
            raise ValueError(f"not a duration: {text!r} (e.g. 30s, 15m, 1h, 1h30m, 7d)")
        value = sum(float(n) * _UNITS[u] for n, u in parts)
    if not value > 0 or math.isinf(value):
        raise ValueError(f"a duration must be positive, got {text!r}")
    return value


def _cuts(log: RequestLog, every: float | None, rows: int | None, baseline: float | int | None
          ) -> tuple[Any, list[tuple[int, int, float | None, float | None]]]:
    """The baseline rows and the consecutive windows (first row, end row, start time, end time)."""
    import numpy as np

    n = log.n_rows
    bounds: list[tuple[int, int, float | None, float | None]]
    if rows is not None:
        nb = int(baseline) if baseline is not None else rows
        nb = min(nb, n)
        bounds = [(s, min(s + rows, n), None, None) for s in range(nb, n, rows)]
        return slice(0, nb), bounds
    assert every is not None and log.timestamps is not None
    t = log.timestamps
    if n == 0:
        return slice(0, 0), []
    t0 = math.floor(float(t[0]) / every) * every  # windows start on multiples of the period (UTC)
    base_end = t0 + (float(baseline) if baseline is not None else every)
    nb = int(np.searchsorted(t, base_end, side="left"))
    bounds = []
    start = base_end
    last = float(t[-1])
    while start <= last:
        end = start + every
        a = int(np.searchsorted(t, start, side="left"))
        b = int(np.searchsorted(t, end, side="left"))
        bounds.append((a, b, start, end))
        start = end
    return slice(0, nb), bounds


def monitor(
    log: Any,
    *,
    every: str | float | None = None,
    rows: int | None = None,
    baseline: str | float | int | None = None,
    baseline_log: Any = None,
    min_rows: int = 30,
    p_values: bool = False,
    n_permutations: int = 999,
    seed: int = 0,
    alpha: float = 0.05,
    detectors: Mapping[str, Any] | None = None,
    columns: LogColumns | None = None,
    length: LengthUnit | None = None,
    on_window: Callable[[WindowResult], None] | None = None,
) -> MonitorResult:
    """Cuts ``log`` into consecutive windows and checks each against a baseline.

    Windows span ``every`` (a duration such as "1h", cut by the ``timestamp``
    column, starting on multiples of the period in UTC) or hold ``rows`` requests
    each. The baseline is ``baseline_log`` (a log or saved Baseline), or else the
    log's first period: ``baseline`` (a duration with ``every``, a row count
    with ``rows``; default one window). A window with fewer than ``min_rows``
    requests is reported as "too_small" and not scored. ``on_window`` is called
    with each window as soon as it is checked.
    """
    import numpy as np

    if (every is None) == (rows is None):
        raise ValueError("give exactly one of 'every' (a duration) and 'rows' (a count)")
    if baseline is not None and baseline_log is not None:
        raise ValueError("arguments 'baseline' and 'baseline_log' exclude each other")
    if rows is not None and rows < 1:
        raise ValueError(f"argument 'rows': expected a positive count, got {rows!r}")
    period = parse_duration(every) if every is not None else None
    base_len: float | int | None = None
    if baseline is not None:
        base_len = parse_duration(baseline) if period is not None else int(baseline)
    full = _as_log(log, columns, length, "log")
    if period is not None:
        if full.timestamps is None:
            raise LogError(f"'{full.source}': windows by time need a timestamp column (or use rows=)")
        order = np.argsort(full.timestamps, kind="stable")
        if (order != np.arange(full.n_rows)).any():
            full = full.take(order)
    if baseline_log is not None:
        base_len = 0  # every row of the log is checked
    base_rows, bounds = _cuts(full, period, rows, base_len)
    if baseline_log is not None:
        base: Any
        if _is_saved_baseline(baseline_log):
            # Loaded once, not once per window.
            base = baseline_log if hasattr(baseline_log, "check") else _load_baseline(os.fspath(baseline_log))
            base_n = max(dict(getattr(base, "sizes", {}) or {}).values(), default=0)
        else:
            base = _as_log(baseline_log, columns, length, "baseline_log")
            match_logs(base, full)
            base_n = base.n_rows
        base_source = os.fspath(baseline_log) if isinstance(baseline_log, (str, os.PathLike)) else getattr(
            base, "source", "baseline")
    else:
        base = full.take(base_rows)
        base_source = f"{full.source} (first {'period' if period else 'rows'})"
        base_n = base.n_rows
    out: list[WindowResult] = []
    for i, (a, b, start, end) in enumerate(bounds):
        n = b - a
        if n < min_rows:
            w = WindowResult(i, start, end, a, n, "too_small",
                             reason=f"{n} requests, fewer than the {min_rows} needed to test")
        else:
            res = check(base, full.take(slice(a, b)), p_values=p_values, n_permutations=n_permutations, seed=seed,
                        alpha=alpha, detectors=detectors, min_rows=min_rows, explain=False)
            w = WindowResult(i, start, end, a, n, "checked", res)
        if on_window is not None:
            on_window(w)
        out.append(w)
    return MonitorResult(out, base_source, int(base_n), period, rows, p_values, alpha, min_rows, full.source)

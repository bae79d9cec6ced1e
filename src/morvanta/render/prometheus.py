"""Prometheus text exposition of a check (for a node-exporter textfile collector).

Metric and label names are stable (see :mod:`morvanta.render`).
"""

from __future__ import annotations

import math
import re
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from ..results import CheckResult

# The text format escapes backslash, double quote and line feed in a label value;
# any other control character (a carriage return ends a line for some readers),
# a line separator or a lone surrogate becomes U+FFFD, so that a column name can
# neither break a sample line nor forge another series.
_LABEL_ESCAPES = {"\\": "\\\\", '"': '\\"', "\n": "\\n"}
_LABEL_SPECIAL = re.compile('[\\\\"\n]|[\x00-\x1f\x7f-\x9f\u2028\u2029\ud800-\udfff]')


def _label(value: str) -> str:
    return _LABEL_SPECIAL.sub(lambda m: _LABEL_ESCAPES.get(m.group(), "\ufffd"), value)


def _value(x: float) -> str:
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "+Inf" if x > 0 else "-Inf"
    x = float(x)
    return str(int(x)) if x.is_integer() and abs(x) < 2**53 else repr(x)


def check_metrics(r: CheckResult, per_column: bool) -> str:
    out: list[str] = []

    def family(name: str, help: str, samples: list[tuple[dict[str, str], float]]) -> None:
        if not samples:
            return
        out.append(f"# HELP {name} {help}")
        out.append(f"# TYPE {name} gauge")
        for labels, v in samples:
            text = ",".join(f'{k}="{_label(val)}"' for k, val in labels.items())
            out.append(f"{name}{{{text}}} {_value(v)}" if text else f"{name} {_value(v)}")

    scored = [d for d in r.dimensions if d.score is not None]
    family("morvanta_drift_score", "Drift score of the last check, per dimension.",
           [({"dimension": d.dimension}, d.score.score) for d in scored])  # type: ignore[union-attr]
    family("morvanta_drift_threshold", "Threshold of the score: it decides with fixed or calibrated thresholds, and is evidence beside the p-value otherwise.",
           [({"dimension": d.dimension}, d.score.threshold) for d in scored])  # type: ignore[union-attr]
    if r.decide == "p-value":
        family("morvanta_drift_p_value", "Permutation p-value of the last check, per dimension.",
               [({"dimension": d.dimension}, d.p_value) for d in scored if d.p_value is not None])
        family("morvanta_drift_p_value_adjusted",
               "Holm-adjusted p-value over the dimensions tested, per dimension.",
               [({"dimension": d.dimension}, d.p_adjusted) for d in scored if d.p_adjusted is not None])
    family("morvanta_drift_detected", "1 when the dimension drifted in the last check, else 0.",
           [({"dimension": d.dimension}, 1.0 if d.drifted else 0.0) for d in scored])
    family("morvanta_drift_any", "1 when any dimension drifted in the last check, else 0.",
           [({}, 1.0 if r.drifted else 0.0)])
    if r.decide == "p-value":
        family("morvanta_drift_alpha", "Level at which the Holm-adjusted p-values of the last check decide.",
               [({}, r.alpha)])
    family("morvanta_drift_window_rows", "Requests in the windows of the last check.",
           [({"window": "baseline"}, float(r.n_baseline)), ({"window": "current"}, float(r.n_current))])
    family("morvanta_drift_check_timestamp_seconds", "When the last check ran, seconds since the Unix epoch.",
           [({}, float(r.report.timestamp))])
    if per_column:
        family("morvanta_drift_column_score", "Drift score of one feature column (max of KS and PSI).",
               [({"dimension": "data", "column": c.name}, c.score.score) for c in r.columns])
        if r.categorical:
            # A categorical column's own statistic is the part of the combined test, with its p-value.
            parts = [p for d in r.dimensions if d.dimension == "data" for p in (d.parts or ())
                     if p.name in ("psi_cat", "missing")]
            family("morvanta_drift_categorical_statistic",
                   "PSI over the category shares (part psi_cat) or change of the missing share (part missing) "
                   "of one categorical column.",
                   [({"dimension": "data", "column": str(p.column), "part": p.name}, p.statistic) for p in parts])
            family("morvanta_drift_categorical_p_value_adjusted",
                   "Adjusted p-value of one categorical column's part in the data dimension's combined test.",
                   [({"dimension": "data", "column": str(p.column), "part": p.name}, p.p_adjusted)
                    for p in parts])
    return "\n".join(out) + "\n"

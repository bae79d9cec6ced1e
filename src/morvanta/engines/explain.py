"""What moved: the breakdown of one plain detector call."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from .._native import DriftScore
from ..dimensions import bound
from ..errors import annotated
from ..results import Breakdown
from .baseline import Baseline

__all__ = ["explain"]


def _window(arg: str, value: Any, parts: tuple[str, ...]) -> dict[str, Any]:
    if len(parts) == 1:
        return {parts[0]: value}
    if not isinstance(value, tuple) or len(value) != len(parts):
        raise TypeError(f"argument '{arg}': expected a tuple ({', '.join(parts)})")
    return dict(zip(parts, value))


def _is_table(value: Any) -> bool:
    """A raw window with named columns (a dict of columns, a pandas/polars DataFrame, a pyarrow Table)."""
    return isinstance(value, dict) or hasattr(value, "column_names") or hasattr(value, "columns")


def _explain_tables(det: Any, baseline: Any, current: Any, redact: bool) -> Breakdown:
    """The data breakdown of two raw windows: their shared numeric columns (named) and what moved in
    each categorical column (ids, counters and free text left out, as a check leaves them out)."""
    from dataclasses import replace

    from ..io.log import read_log
    from .categories import breakdowns, monotone_reason, pool_logs

    b = read_log(baseline, name="baseline")
    c = read_log(current, name="current")
    shared = [n for j, n in enumerate(b.feature_names)
              if n in c.feature_names and monotone_reason(b.features[:, j]) is None]  # counters are ids
    pooled, _ = pool_logs(b.categories, c.categories)
    cats = breakdowns(pooled, redact)
    bi = [b.feature_names.index(n) for n in shared]
    ci = [c.feature_names.index(n) for n in shared]
    fitted = Baseline._fit({"features": b.features[:, bi], "data": det}, check=False)
    bd: Any = next(iter(fitted.explain(features=c.features[:, ci]).values()))
    return replace(bd, columns=[replace(col, name=shared[col.index]) for col in bd.columns],  # type: ignore[no-any-return]
                   categories=cats)


@annotated
def explain(method: Callable[..., DriftScore], baseline: Any, current: Any, *,
            redact_categories: bool = False) -> Breakdown:
    """The breakdown of ``method(baseline, current)`` for a plain detector.

    ``method`` is a bound detector method: ``DataDrift(...).detect``,
    ``EmbeddingDrift(...).detect``, ``QueryDrift(...).detect``,
    ``ResponseDrift(...).detect`` or ``.detect_with_embeddings``,
    ``ConfidenceDrift(...).detect`` or ``.detect_with_correctness``. Where the
    method takes two values per window, ``baseline`` and ``current`` are tuples:
    ``(lengths, embeddings)``, ``(confidences, correct)``. The breakdown's
    ``score`` is bit-identical to ``method(baseline, current)``, and its parts
    recombine into that score bit for bit.

    For ``DataDrift(...).detect`` the windows may also be raw tables (a dict of
    columns, a pandas or polars DataFrame, a pyarrow Table): the numeric columns
    both hold are scored by name, and ``categories`` lists for each categorical
    column the categories whose share moved most and those unseen in the
    baseline (values as 8-hex-digit hashes with ``redact_categories=True``).

    >>> b = morvanta.explain(morvanta.DataDrift().detect, last_week, today)
    >>> b.worst().name, b.worst().ks, b.worst().psi
    """
    det, dim, form = bound(method)
    if dim.name == "data" and _is_table(baseline) and _is_table(current):
        return _explain_tables(det, baseline, current, bool(redact_categories))
    # Unchecked: the breakdown covers whatever the plain detector scores (a NaN
    # threshold, confidences above 1), and this baseline is never saved.
    fitted = Baseline._fit({**_window("baseline", baseline, form.parts), dim.name: det}, check=False)
    out = fitted.explain(**_window("current", current, form.parts))
    return next(iter(out.values()))

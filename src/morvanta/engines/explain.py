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


@annotated
def explain(method: Callable[..., DriftScore], baseline: Any, current: Any) -> Breakdown:
    """The breakdown of ``method(baseline, current)`` for a plain detector.

    ``method`` is a bound detector method: ``DataDrift(...).detect``,
    ``EmbeddingDrift(...).detect``, ``QueryDrift(...).detect``,
    ``ResponseDrift(...).detect`` or ``.detect_with_embeddings``,
    ``ConfidenceDrift(...).detect`` or ``.detect_with_correctness``. Where the
    method takes two values per window, ``baseline`` and ``current`` are tuples:
    ``(lengths, embeddings)``, ``(confidences, correct)``. The breakdown's
    ``score`` is bit-identical to ``method(baseline, current)``, and its parts
    recombine into that score bit for bit.

    >>> b = morvanta.explain(morvanta.DataDrift().detect, last_week, today)
    >>> b.worst().name, b.worst().ks, b.worst().psi
    """
    det, dim, form = bound(method)
    # Unchecked: the breakdown covers whatever the plain detector scores (a NaN
    # threshold, confidences above 1), and this baseline is never saved.
    fitted = Baseline._fit({**_window("baseline", baseline, form.parts), dim.name: det}, check=False)
    out = fitted.explain(**_window("current", current, form.parts))
    return next(iter(out.values()))

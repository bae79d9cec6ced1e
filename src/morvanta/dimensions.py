"""The five drift dimensions, each described once.

Every other module reads this registry: which detector class scores a
dimension, the settings its constructor takes (in the order the engine
reports them), the forms of its detect methods with their argument order and
the window fields they read, the statistic each form's permutation test
belongs to, and the log roles that feed it. Adding a dimension starts here.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Union

from ._native import ConfidenceDrift, DataDrift, DriftScore, EmbeddingDrift, QueryDrift, ResponseDrift

__all__ = [
    "Dimension",
    "Form",
    "REGISTRY",
    "NAMES",
    "WINDOW_FIELDS",
    "ROLES",
    "DIMENSION_OF_FIELD",
    "Detector",
    "dimension_of",
    "form_of",
    "settings_of",
    "default_detectors",
]

Detector = Union[DataDrift, EmbeddingDrift, ResponseDrift, ConfidenceDrift, QueryDrift]

#: The columns a request log can hold, by role (each renamable, see ``LogColumns``):
#: every other numeric or boolean column is a feature of the data dimension.
ROLES = ("query_embedding", "response_embedding", "embedding", "response_length", "response", "confidence",
         "correct", "timestamp")

#: The per-request fields of a window, in one order and with one set of names
#: (the fitted baseline, the engines and the readers all use these).
WINDOW_FIELDS = ("features", "embeddings", "response_lengths", "response_embeddings", "confidences", "correct",
                 "queries")


@dataclass(frozen=True)
class Form:
    """One detect method of a dimension's detector.

    ``parts`` are the window fields one side passes, in order. ``interleaved``
    says how a two-part method orders its four arguments: ``(b0, c0, b1, c1)``
    (``ResponseDrift.detect_with_embeddings``) or ``(b0, b1, c0, c1)``
    (``ConfidenceDrift.detect_with_correctness``). ``statistic`` names what the
    permutation test of this form permutes.
    """

    method: str
    parts: tuple[str, ...]
    statistic: str
    interleaved: bool = False

    @property
    def per_side(self) -> int:
        return len(self.parts)

    def arguments(self, baseline: tuple[Any, ...], current: tuple[Any, ...]) -> tuple[Any, ...]:
        """The positional arguments of the method for one baseline and one current side."""
        if self.interleaved:
            return tuple(x for pair in zip(baseline, current) for x in pair)
        return (*baseline, *current)

    def call(self, detector: Any, baseline: tuple[Any, ...], current: tuple[Any, ...]) -> DriftScore:
        """``detector.<method>`` on the two sides, in the method's own argument order."""
        out: DriftScore = getattr(detector, self.method)(*self.arguments(baseline, current))
        return out


@dataclass(frozen=True)
class Dimension:
    """One drift dimension: its detector, settings, method forms and log roles.

    ``forms[0]`` is the plain form; a second form adds a second part per side.
    ``roles`` lists the log roles that feed the dimension (the first is
    required, the others enable the richer form). ``min_rows`` is the fewest
    rows per window the detector itself accepts.
    """

    name: str
    detector: type
    settings: tuple[str, ...]
    forms: tuple[Form, ...]
    roles: tuple[str, ...]
    min_rows: int = 1

    def form(self, method: str) -> Form:
        for f in self.forms:
            if f.method == method:
                return f
        raise KeyError(method)

    def build(self, **settings: Any) -> Any:
        return self.detector(**settings)


REGISTRY: dict[str, Dimension] = {
    d.name: d
    for d in (
        Dimension(
            "data",
            DataDrift,
            ("threshold", "n_bins"),
            (Form("detect", ("features",), "ks+psi"),),
            ("features",),
        ),
        Dimension(
            "embedding",
            EmbeddingDrift,
            ("threshold", "n_projections", "seed"),
            (Form("detect", ("embeddings",), "mmd(pooled bandwidth)+sw"),),
            ("embedding",),
            min_rows=2,
        ),
        Dimension(
            "response",
            ResponseDrift,
            ("threshold", "seed"),
            (
                Form("detect", ("response_lengths",), "ks(length)"),
                Form("detect_with_embeddings", ("response_lengths", "response_embeddings"), "ks(length)+sw(emb)",
                     interleaved=True),
            ),
            ("response_length", "response_embedding"),
        ),
        Dimension(
            "confidence",
            ConfidenceDrift,
            ("threshold", "n_calib_bins"),
            (
                Form("detect", ("confidences",), "ks(conf)"),
                Form("detect_with_correctness", ("confidences", "correct"), "ks(conf)+ece_delta"),
            ),
            ("confidence", "correct"),
        ),
        Dimension(
            "query",
            QueryDrift,
            ("threshold", "k", "seed"),
            (Form("detect", ("queries",), "kmeans(pooled)+sym_kl"),),
            ("query_embedding",),
        ),
    )
}

#: The dimension names in report order.
NAMES: tuple[str, ...] = tuple(REGISTRY)

#: The dimension each window field feeds.
DIMENSION_OF_FIELD: dict[str, str] = {p: d.name for d in REGISTRY.values() for f in d.forms for p in f.parts}

_BY_CLASS = {d.detector: d for d in REGISTRY.values()}


def dimension_of(detector: object) -> Dimension:
    """The dimension a detector instance scores; TypeError for anything else."""
    try:
        return _BY_CLASS[type(detector)]
    except KeyError:
        raise TypeError(
            f"expected a DataDrift, EmbeddingDrift, ResponseDrift, ConfidenceDrift or QueryDrift, "
            f"got {type(detector).__name__}"
        ) from None


def form_of(method: object) -> tuple[Any, Dimension, Form] | None:
    """(detector, dimension, form) of a bound detector method, or None if it is not one."""
    det = getattr(method, "__self__", None)
    name = getattr(method, "__name__", None)
    dim = _BY_CLASS.get(type(det))
    if dim is None or not isinstance(name, str) or not callable(method):
        return None
    for f in dim.forms:
        if f.method == name:
            return det, dim, f
    return None


def settings_of(detector: object) -> dict[str, Any]:
    """A detector's constructor settings by name, read from the engine (never parsed from text)."""
    from . import _engine

    dim = dimension_of(detector)
    values = _engine.detector_settings(detector)[1:]  # type: ignore[arg-type]
    return dict(zip(dim.settings, values))


def default_detectors() -> dict[str, Any]:
    """A detector with default settings per dimension, in report order."""
    return {name: d.detector() for name, d in REGISTRY.items()}


def detectors_with(given: Any, arg: str = "detectors") -> dict[str, Any]:
    """The default detectors with those of ``given`` (dimension -> detector) in their place.

    A :class:`~morvanta.Calibration` stands for its calibrated detector. Unknown
    dimensions raise ValueError, a detector of the wrong class TypeError, both
    naming ``arg``.
    """
    out = default_detectors()
    for dim, det in dict(given or {}).items():
        if dim not in REGISTRY:
            raise ValueError(f"argument '{arg}': unknown dimension {dim!r} (dimensions: {', '.join(NAMES)})")
        det = getattr(det, "detector", det)
        cls = REGISTRY[dim].detector
        if not isinstance(det, cls):
            raise TypeError(f"argument '{arg}': dimension {dim!r} takes a {cls.__name__}, got {type(det).__name__}")
        out[dim] = det
    return out


def bound(method: Callable[..., DriftScore]) -> tuple[Any, Dimension, Form]:
    """Like :func:`form_of`, raising TypeError naming the argument ``method``."""
    found = form_of(method)
    if found is None:
        raise TypeError(
            "argument 'method': expected a bound detector method: DataDrift(...).detect, "
            "EmbeddingDrift(...).detect, QueryDrift(...).detect, ResponseDrift(...).detect or "
            f".detect_with_embeddings, ConfidenceDrift(...).detect or .detect_with_correctness; got {method!r}"
        )
    return found

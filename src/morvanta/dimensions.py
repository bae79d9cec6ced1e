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
    "TEXT_ROLES",
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
         "correct", "timestamp", "query")

#: Text roles a local sentence-embedding model can turn into the vectors of an embedding
#: role (``embed=``): role -> (the embedding role it stands in for, the dimensions it feeds).
TEXT_ROLES = {"query": ("query_embedding", ("embedding", "query")), "response": ("response_embedding", ("response",))}

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
    (``ConfidenceDrift.detect_with_correctness``). ``aligned`` says whether
    the parts are rows of one table (a confidence and its flag), which a
    permutation or a row sample moves together, or sets of their own that may
    differ in length (response lengths and answer embeddings). ``statistic``
    names what the permutation test of this form combines. ``max_rows``, when
    set, replaces the dimension's row cap for this form. ``test_scores`` says
    that the permutation test forms the detector's own score, bit for bit, from
    what it prepares anyway (the embedding kernel matrix, the sorted lengths and
    projections), so a caller about to test need not run the detector first.
    """

    method: str
    parts: tuple[str, ...]
    statistic: str
    interleaved: bool = False
    aligned: bool = True
    max_rows: int | None = None
    test_scores: bool = False

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

    ``max_rows`` is the most rows per side (per part) a permutation test of the
    dimension reads: a larger window is tested, and scored, on a seeded uniform
    sample of that many rows (see :mod:`morvanta.engines.sampling`), so that
    a test costs at most a fixed time however long the window. A form may set
    its own cap (:meth:`cap`).
    """

    name: str
    detector: type
    settings: tuple[str, ...]
    forms: tuple[Form, ...]
    roles: tuple[str, ...]
    max_rows: int
    min_rows: int = 1

    def form(self, method: str) -> Form:
        for f in self.forms:
            if f.method == method:
                return f
        raise KeyError(method)

    def cap(self, method: str) -> int:
        """The row cap per side of the permutation test of form ``method``."""
        f = self.form(method)
        return self.max_rows if f.max_rows is None else f.max_rows

    def build(self, **settings: Any) -> Any:
        return self.detector(**settings)


# Row caps of the permutation tests, per side. A window pair that has not
# drifted runs every permutation (a pilot of 200, then B = 999), so the cap sets
# the worst-case time. Chosen from that worst case (exact=True) on two logs of
# 10**6 requests with 20 features, 384-d embeddings, answer lengths and
# embeddings, confidences with flags and 384-d queries; CPU seconds on the
# 2-core development machine, where the wall time is at most that:
#   data        50,000 rows x 20 columns   9.3 s  (KS and PSI per column, n log n per permutation)
#   embedding    4,000 rows               8.6 s  (the pooled kernel matrix is quadratic: 3,000 rows take 5.1 s)
#   response    10,000 lengths and rows   2.3 s  (lengths alone: 100,000 take 2.5 s)
#   confidence 100,000 with flags         4.5 s
#   query       50,000 rows               5.2 s  (k-means once on the pooled rows)
# 30 CPU seconds for all five dimensions; 200,000 data rows alone would take
# about 40, and 10**6 lengths about 60.
_DATA_ROWS = 50_000
_EMBEDDING_ROWS = 4_000
_LENGTH_ROWS = 200_000
_RESPONSE_EMBEDDING_ROWS = 10_000
_CONFIDENCE_ROWS = 100_000
_QUERY_ROWS = 50_000

REGISTRY: dict[str, Dimension] = {
    d.name: d
    for d in (
        Dimension(
            "data",
            DataDrift,
            ("threshold", "n_bins"),
            (Form("detect", ("features",), "maxT(ks,psi per column)"),),
            ("features",),
            max_rows=_DATA_ROWS,
        ),
        Dimension(
            "embedding",
            EmbeddingDrift,
            ("threshold", "n_projections", "seed"),
            (Form("detect", ("embeddings",), "maxT(mmd2,sw)", test_scores=True),),
            ("embedding",),
            max_rows=_EMBEDDING_ROWS,
            min_rows=2,
        ),
        Dimension(
            "response",
            ResponseDrift,
            ("threshold", "seed"),
            (
                Form("detect", ("response_lengths",), "maxT(ks(length))"),
                Form("detect_with_embeddings", ("response_lengths", "response_embeddings"),
                     "maxT(ks(length),sw(emb))", interleaved=True, aligned=False,
                     max_rows=_RESPONSE_EMBEDDING_ROWS, test_scores=True),
            ),
            ("response_length", "response_embedding"),
            max_rows=_LENGTH_ROWS,
        ),
        Dimension(
            "confidence",
            ConfidenceDrift,
            ("threshold", "n_calib_bins"),
            (
                Form("detect", ("confidences",), "maxT(ks(conf))"),
                Form("detect_with_correctness", ("confidences", "correct"), "maxT(ks(conf),ece_delta)"),
            ),
            ("confidence", "correct"),
            max_rows=_CONFIDENCE_ROWS,
        ),
        Dimension(
            "query",
            QueryDrift,
            ("threshold", "k", "seed"),
            (Form("detect", ("queries",), "maxT(sym_kl)"),),
            ("query_embedding",),
            max_rows=_QUERY_ROWS,
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

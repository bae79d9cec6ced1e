"""Many windows at once on a Dask cluster: drift per tenant, per model, per hour.

:func:`check_groups` takes one baseline and a Dask DataFrame of request logs,
cuts the logs into groups by the caller's keys and scores every group against
the baseline on the cluster's workers, returning one pandas row per group and
dimension. The baseline is prepared once on the client and shipped to each
worker once, as a single task every scoring task depends on.

Requires the optional extra: ``pip install "morvanta[dask]"``. Importing
:mod:`morvanta` never imports Dask; importing this module does.

>>> from dask.distributed import Client
>>> client = Client("tcp://scheduler:8786")          # or Client() for this machine
>>> logs = dask.dataframe.read_parquet("s3://bucket/logs/")
>>> scores = morvanta.dask.check_groups(baseline_frame, logs, by=["tenant", "hour"])
>>> scores[scores.drifted]                # Holm over each group's dimensions at alpha
>>> scores[scores.p_bh <= 0.05]           # groups kept at a 5 % false discovery rate
"""

from __future__ import annotations

import dataclasses
import os
import pickle
import sys
import tempfile
import uuid
import warnings
from collections.abc import Callable, Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Final, cast

try:
    import dask.dataframe as dd
    import numpy as np
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]
    from dask.delayed import delayed
except ImportError as _err:  # pragma: no cover - exercised in a subprocess by the tests
    raise ImportError(
        f"morvanta.dask needs Dask and pandas ({(_err.name or str(_err)).split('.')[0]} is missing): "
        'pip install "morvanta[dask]"'
    ) from _err

from .dimensions import DIMENSION_OF_FIELD, ROLES, detectors_with
from .dimensions import NAMES as DIMENSIONS
from .io.categories import CategoryColumn
from .io.cells import LogError, Origin, drop_row_index
from .io.frames import pandas_table
from .io.log import LogColumns, RequestLog, log_of, match_logs
from .engines.categories import id_reason, monotone_reason, no_numeric_score
from .pipeline.check import _categorical_plan
from .pipeline.check import _parts as _check_parts
from .pipeline.check import _test as _pipeline_test
from .pipeline.decide import (
    benjamini_hochberg,
    check_count,
    decision,
    group_seed,
    holm,
    min_effects,
    permutations_for,
    run_test,
)
from ._native import (
    ConfidenceDrift,
    DataDrift,
    DriftScore,
    EmbeddingDrift,
    MorvantaError,
    QueryDrift,
    ResponseDrift,
)

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["check_groups", "monitor", "group_seed", "ROLES", "DIMENSIONS", "DEFAULT_MIN_ROWS"]

#: Groups with fewer rows are reported with status "too_small" and not scored.
DEFAULT_MIN_ROWS: Final[int] = 30

_Detector = DataDrift | EmbeddingDrift | ResponseDrift | ConfidenceDrift | QueryDrift
# The parts of a fitted Baseline (see Baseline.fit) and the log column role feeding each.
_PART_ROLE: Final[dict[str, str]] = {
    "embeddings": "query_embedding",
    "queries": "query_embedding",
    "response_lengths": "response_length",
    "response_embeddings": "response_embedding",
    "confidences": "confidence",
    "correct": "correct",
}
# Original position of every log row (partition number in the high bits), so that
# each group is scored in the order its rows have in the logs, whatever the shuffle did.
_POS: Final[str] = "__morvanta_row__"
_RESULT_COLUMNS: Final[tuple[str, ...]] = (
    "dimension",
    "score",
    "threshold",
    "exceeded",
    "method",
    "n_rows",
    "status",
    "message",
    "decided_by",
    "p_value",
    "p_adjusted",
    "drifted",
    "p_bh",
    "parts",
    "categorical",
)


# ---------------------------------------------------------------- one window as arrays


@dataclass(frozen=True)
class _Window:
    """The arrays of one window that the detectors take; None for an absent part."""

    n_rows: int
    features: NDArray[np.float64] | None = None
    query_embedding: NDArray[np.float32] | None = None
    embedding: NDArray[np.float32] | None = None
    response_embedding: NDArray[np.float32] | None = None
    response_length: NDArray[np.float64] | None = None
    confidence: NDArray[np.float64] | None = None
    correct: NDArray[np.bool_] | None = None
    categories: tuple[CategoryColumn, ...] = ()  # the categorical features, in the plan's order

    @property
    def category_names(self) -> list[str]:
        return [c.name for c in self.categories]


_TEXT_HINT: Final[str] = (
    " (Dask converts object columns to text unless dask.config.set({'dataframe.convert-string': False}) "
    "is in force when the frame is made; Arrow list columns are kept)"
)


def _log_columns(columns: Mapping[str, str | None], features: Sequence[str] | None,
                 exclude: Sequence[str] = (), categorical: Sequence[str] = ()) -> LogColumns:
    """The reader's roles: ``columns`` (role -> column), every other role off."""
    return LogColumns(**{r: columns.get(r) for r in ROLES},  # type: ignore[arg-type]
                      features=None if features is None else tuple(features), exclude=tuple(exclude),
                      categorical=tuple(categorical))


def _as_window(log: RequestLog, columns: Mapping[str, str], features: Sequence[str],
               categories: Sequence[str] = ()) -> _Window:
    """The parts of ``log`` the roles in ``columns``, the ``features`` columns and the ``categories``
    columns feed (and the vectors of its text, where a model embedded it)."""
    lengths = "response_length" in columns or "response" in columns
    table = None
    if features:
        table = log.features
        if list(features) != log.feature_names:
            at = {n: j for j, n in enumerate(log.feature_names)}
            table = np.asfortranarray(log.features[:, [at[n] for n in features]])
    elif categories:  # categorical columns only: the data dimension's numeric table has no column
        table = np.empty((log.n_rows, 0), dtype=np.float64, order="F")
    cats = {c.name: c for c in log.categories}
    return _Window(
        n_rows=log.n_rows,
        features=table,
        query_embedding=log.queries if "query_embedding" in columns or "query" in log.embedded else None,
        embedding=log.embeddings if "embedding" in columns else None,
        response_embedding=(log.response_embeddings if "response_embedding" in columns or "response" in log.embedded
                            else None),
        response_length=log.response_lengths if lengths else None,
        confidence=log.confidences if "confidence" in columns else None,
        correct=log.correct if "correct" in columns else None,
        categories=tuple(cats[n] for n in categories),
    )


def _read(arg: str, frame: Any, columns: Mapping[str, str | None], features: Sequence[str] | None,
          length: str, exclude: Sequence[str] = (), whole: bool = False, categorical: Sequence[str] = ()
          ) -> RequestLog:
    """``frame`` read as a request log, as ``morvanta.check`` reads one; messages name
    ``arg``, the column and the row by its index label. ``whole`` reads every column
    (and drops a pandas row index), else only those the roles and features name;
    the ``categorical`` columns are categories whatever their cells."""
    wanted = None if whole else {c for c in columns.values() if c is not None} | set(features or ())
    table = pandas_table(frame, Origin(arg, index=frame.index, argument=True), columns=wanted)
    if whole:
        drop_row_index(table)
        for note in table.notes:
            warnings.warn(f"argument '{arg}': {note}", UserWarning, stacklevel=4)
        table.notes.clear()
    return log_of(table, _log_columns(columns, features, exclude, categorical), cast(Any, length), row_index=False)


def _window(
    arg: str, frame: Any, columns: Mapping[str, str], features: Sequence[str], length: str = "chars",
    base: RequestLog | None = None, texts: Mapping[str, str] | None = None, model: _Model | None = None,
    categories: Sequence[str] = (),
) -> _Window:
    """The arrays of ``frame`` for the roles in ``columns``, the ``features`` columns and the
    ``categories`` columns (read as categories whatever a group's cells: a group whose column
    is empty, or holds whole numbers, keeps it); with ``base``, refused as
    :func:`morvanta.io.log.match_logs` refuses two logs; the ``texts`` columns embedded with ``model``."""
    log = _read(arg, frame, {**columns, **(texts or {})}, [*features, *categories], length,
                categorical=categories)
    if base is not None:
        match_logs(base, log)
    if texts and model is not None:
        from .engines.text import Embedder, embed_log

        log = embed_log(log, Embedder(model.load()))
    return _as_window(log, columns, features, categories)


@dataclass(frozen=True)
class _Model:
    """A sentence-embedding model as the workers get it: its folder and identity; each
    process loads it once and refuses a folder whose files have changed since."""

    path: str
    identity: dict[str, Any]

    def load(self) -> Any:
        key = (self.path, self.identity["sha256"])
        model = _MODELS.get(key)
        if model is None:
            from .embed import load_model
            from .engines.text import model_label, same_model

            model = load_model(self.path)
            if not same_model(model.identity, self.identity):
                raise ValueError(f"the model folder '{self.path}' now holds {model_label(model.identity)}, not "
                                 f"{model_label(self.identity)}")
            _MODELS[key] = model
        return model


_MODELS: dict[tuple[str, str], Any] = {}


def _refuse_dtype(arg: str, frame_meta: Any, column: str, role: str) -> None:
    """Refuses, before any task runs, a role column whose dtype can never hold it."""
    dtype = frame_meta[column].dtype
    kind = _kind(dtype)
    text = isinstance(dtype, pd.StringDtype)
    if role in ("query_embedding", "embedding", "response_embedding"):
        if text or (kind != "O" and not isinstance(dtype, pd.ArrowDtype)):
            raise TypeError(f"argument '{arg}': column '{column}' holds {dtype}, not lists of numbers"
                            f"{_TEXT_HINT if text else ''}")
    elif role in ("response_length", "confidence"):
        if text or kind not in "biufO":
            raise TypeError(f"argument '{arg}': column '{column}' is not numeric (dtype {dtype})")
    elif role == "correct":
        if kind not in "biufO" and not text:
            raise TypeError(f"argument '{arg}': column '{column}' is not boolean (dtype {dtype})")
    elif role in ("response", "query") and kind != "O" and not text:
        raise TypeError(f"argument '{arg}': column '{column}' holds {dtype}, not the {role} text")


# ---------------------------------------------------------------- scoring one group


def _calls(dimension: str, det: Any, base: _Window, cur: _Window) -> tuple[Callable[[], DriftScore], Any, Any, Any]:
    """The direct detector call for one dimension, and the method and argument
    forms that ``permutation_test`` takes for the same statistic."""
    if dimension == "data":
        return lambda: det.detect(base.features, cur.features), det.detect, base.features, cur.features
    if dimension == "embedding" and base.embedding is not None:
        eb, ec = base.embedding, cur.embedding
        return lambda: det.detect(eb, ec), det.detect, eb, ec
    if dimension in ("embedding", "query"):
        b, c = base.query_embedding, cur.query_embedding
        return lambda: det.detect(b, c), det.detect, b, c
    if dimension == "response":
        if base.response_embedding is not None:
            bl, cl, be, ce = base.response_length, cur.response_length, base.response_embedding, cur.response_embedding
            return (
                lambda: det.detect_with_embeddings(bl, cl, be, ce),
                det.detect_with_embeddings,
                (bl, be),
                (cl, ce),
            )
        return lambda: det.detect(base.response_length, cur.response_length), det.detect, base.response_length, cur.response_length
    if base.correct is not None:
        bc, bk, cc, ck = base.confidence, base.correct, cur.confidence, cur.correct
        return lambda: det.detect_with_correctness(bc, bk, cc, ck), det.detect_with_correctness, (bc, bk), (cc, ck)
    return lambda: det.detect(base.confidence, cur.confidence), det.detect, base.confidence, cur.confidence


class _Fitted:
    """Adapter around a fitted ``morvanta.Baseline``: ``check(**parts) -> DriftReport``.

    Pickles the baseline itself when it can be pickled, otherwise through its
    own ``save``/``load`` (an .npz file's bytes), so that it reaches the workers.
    """

    def __init__(self, baseline: Any) -> None:
        self.baseline = baseline
        self.parts: tuple[str, ...] = tuple(baseline.parts)
        unknown = [p for p in self.parts if p not in DIMENSION_OF_FIELD]
        if unknown:
            raise ValueError(f"argument 'baseline': unknown baseline parts {unknown}")
        self.dimensions = tuple(d for d in DIMENSIONS if any(DIMENSION_OF_FIELD.get(p) == d for p in self.parts))
        names = baseline.feature_names
        self.feature_names: list[str] | None = None if names is None else [str(n) for n in names]
        self.detectors: dict[str, Any] = dict(baseline.detectors)

    def check(self, window: _Window) -> Any:
        return self.baseline.check(**self._parts(window))

    def _parts(self, window: _Window) -> dict[str, Any]:
        source = {
            "embeddings": window.embedding if window.embedding is not None else window.query_embedding,
            "queries": window.query_embedding,
            "response_lengths": window.response_length,
            "response_embeddings": window.response_embedding,
            "confidences": window.confidence,
            "correct": window.correct,
            "features": window.features,
        }
        out: dict[str, Any] = {p: source[p] for p in self.parts}
        if window.categories:
            out["categories"] = window.categories
        return out

    def pooled(self, window: _Window) -> list[Any]:
        """The window's categorical columns coded from the pooled rows of the baseline's tables and the window."""
        if not window.categories:
            return []
        from .engines.baseline_categories import current_columns, pooled

        return pooled(current_columns(self.baseline._categories, window.categories))

    def test(self, window: _Window, plan: _Plan, seed: int) -> dict[str, Any] | None:
        """The baseline's permutation tests of the window (None when this build's baselines cannot test)."""
        test = getattr(self.baseline, "test", None)
        if test is None:
            return None
        return dict(test(alpha=plan.alpha, n_permutations=plan.n_permutations, seed=seed, exact=plan.exact,
                         **self._parts(window)))

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        try:
            return _unpickle_fitted, ("pickle", pickle.dumps(self.baseline, protocol=pickle.HIGHEST_PROTOCOL), None)
        except (pickle.PicklingError, TypeError, AttributeError):
            pass
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "baseline.npz")
            self.baseline.save(path)
            with open(path, "rb") as f:
                return _unpickle_fitted, ("npz", f.read(), type(self.baseline))


def _unpickle_fitted(kind: str, payload: bytes, cls: Any) -> _Fitted:
    if kind == "pickle":
        return _Fitted(pickle.loads(payload))
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "baseline.npz")
        with open(path, "wb") as f:
            f.write(payload)
        return _Fitted(cls.load(path))


@dataclass(frozen=True)
class _Plan:
    """Everything a worker needs to score groups; built on the client, shipped once."""

    by: tuple[str, ...]
    columns: dict[str, str]
    features: tuple[str, ...]
    dimensions: tuple[str, ...]
    thresholds: dict[str, float]
    detectors: dict[str, Any]
    raw: _Window | None
    base: RequestLog | None
    fitted: _Fitted | None
    decide: str
    n_permutations: int
    seed: int
    min_rows: int
    length: str = "chars"
    result_meta: Any = None
    alpha: float = 0.05
    exact: bool = False
    min_effect: dict[str, float] = dataclasses.field(default_factory=dict)
    texts: dict[str, str] = dataclasses.field(default_factory=dict)
    model: _Model | None = None
    categories: tuple[str, ...] = ()  # the categorical features scored, in the baseline's order
    redact: bool = False


def _row(dimension: str, n_rows: int, threshold: float, status: str, message: str) -> dict[str, Any]:
    return {
        "dimension": dimension,
        "score": float("nan"),
        "threshold": threshold,
        "exceeded": False,
        "method": None,
        "n_rows": n_rows,
        "status": status,
        "message": message,
        "decided_by": None,
        "p_value": float("nan"),
        "p_adjusted": float("nan"),
        "drifted": False,
        "p_bh": float("nan"),
        "parts": None,
        "categorical": None,
    }


def _score_row(s: DriftScore, n_rows: int, p_value: float, decided_by: str) -> dict[str, Any]:
    return {
        "dimension": s.dimension,
        "score": s.score,
        "threshold": s.threshold,
        "exceeded": s.exceeded,
        "method": s.method,
        "n_rows": n_rows,
        "status": "ok",
        "message": "",
        "decided_by": decided_by,
        "p_value": p_value,
        "p_adjusted": float("nan"),
        "drifted": bool(s.exceeded) if decided_by != "p-value" else False,
        "p_bh": float("nan"),
        "parts": None,
        "categorical": None,
    }


def _decide_group(plan: _Plan, rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Holm over the group's tested dimensions, then the effect floors."""
    tested = [r for r in rows if r["status"] == "ok" and r["decided_by"] == "p-value"]
    for r, padj in zip(tested, holm([float(r["p_value"]) for r in tested])):
        r["p_adjusted"] = padj
        r["drifted"] = not np.isnan(padj) and padj <= plan.alpha
    for r in rows:
        floor = plan.min_effect.get(r["dimension"])
        if floor is not None and r["drifted"] and not r["score"] >= floor:
            r["drifted"] = False
            r["message"] = f"significant, but the score is below its min_effect floor {floor:g}"
    return rows


def _score_group(plan: _Plan, frame: Any, key: tuple[Any, ...] = ()) -> list[dict[str, Any]]:
    """One row per dimension for the logs rows of one group, in their logs order."""
    n = len(frame)
    if n < plan.min_rows:
        why = f"{n} rows, fewer than min_rows={plan.min_rows}"
        return [_row(d, n, plan.thresholds[d], "too_small", why) for d in plan.dimensions]
    try:
        cur = _window("logs", frame, plan.columns, plan.features, plan.length, base=plan.base, texts=plan.texts,
                      model=plan.model, categories=plan.categories)
    except (ValueError, TypeError) as err:  # a bad cell spoils its group, not the whole check
        return [_row(d, n, plan.thresholds[d], "error", str(err)) for d in plan.dimensions]
    seed = group_seed(plan.seed, [_plain_key(k) for k in key])
    tests: dict[str, Any] = {}
    notes: list[str] = []
    if plan.fitted is not None:
        try:
            report = plan.fitted.check(cur)
            found = plan.fitted.test(cur, plan, seed) if plan.decide == "p-value" else None
            pooled = plan.fitted.pooled(cur)
        except (MorvantaError, ValueError) as err:
            return [_row(d, n, plan.thresholds[d], "error", str(err)) for d in plan.dimensions]
        rows = []
        for s in report.scores:
            if s.dimension not in plan.dimensions:
                continue
            t = None if found is None else found.get(s.dimension)
            if t is not None:
                tests[s.dimension] = t
            p = float("nan") if t is None else float(t.p_value)
            rows.append(_score_row(s, n, p, "threshold" if found is None else "p-value"))
        return _explained(plan, _decide_group(plan, rows), tests, pooled, notes)
    assert plan.raw is not None
    # The categorical columns coded from the pooled rows of the baseline and this group, as the
    # pipeline's check codes them (its notes, e.g. on the cap, go to the data row's message).
    pooled = _categorical_plan(cast(Any, plan.raw), cast(Any, cur), notes) if plan.categories else []
    rows = []
    for d in plan.dimensions:
        direct, method, base_arg, cur_arg = _calls(d, plan.detectors[d], plan.raw, cur)
        try:
            if plan.decide == "p-value":
                if d == "data" and pooled:
                    test = _pipeline_test(method, base_arg, cur_arg, n_permutations=plan.n_permutations, seed=seed,
                                          exact=plan.exact, categories=pooled)
                else:
                    test = run_test(method, base_arg, cur_arg, n_permutations=plan.n_permutations, seed=seed,
                                    exact=plan.exact)
                tests[d] = test
                rows.append(_score_row(test.score, n, float(test.p_value), "p-value"))
            elif d == "data" and pooled and base_arg.shape[1] == 0:
                rows.append(_score_row(no_numeric_score(plan.detectors[d]), n, float("nan"), "threshold"))
            else:
                rows.append(_score_row(direct(), n, float("nan"), "threshold"))
        except (MorvantaError, ValueError) as err:
            rows.append(_row(d, n, plan.thresholds[d], "error", str(err)))
    return _explained(plan, _decide_group(plan, rows), tests, pooled, notes)


def _explained(plan: _Plan, rows: list[dict[str, Any]], tests: Mapping[str, Any], pooled: Sequence[Any],
               notes: Sequence[str]) -> list[dict[str, Any]]:
    """The rows with each test's parts (p-values adjusted as :func:`morvanta.check` adjusts them, over
    the group's tested dimensions) and, on the data row, what moved in each categorical column."""
    from .engines.categories import explain_columns

    names = [*plan.features, *plan.categories]  # the parts of categorical column j follow the numeric ones
    m = sum(1 for r in rows if r["dimension"] in tests and r["status"] == "ok")
    for r in rows:
        dim = r["dimension"]
        t = tests.get(dim)
        parts = () if t is None or r["status"] != "ok" else _check_parts(dim, t, float(r["p_adjusted"]), m, names)
        if t is not None and r["status"] == "ok":
            r["parts"] = [p.to_dict() for p in parts]
        if dim == "data" and pooled and r["status"] == "ok":
            r["categorical"] = explain_columns(pooled, parts, plan.redact)
            if notes:
                r["message"] = "; ".join([*notes, *([r["message"]] if r["message"] else [])])
    return rows


def _plain_key(value: Any) -> Any:
    return value.item() if isinstance(value, np.generic) else value


def _result_meta(key_dtypes: Mapping[str, Any]) -> Any:
    cols: dict[str, Any] = {k: pd.Series([], dtype=t) for k, t in key_dtypes.items()}
    cols.update(
        dimension=pd.Series([], dtype=object),
        score=pd.Series([], dtype=np.float64),
        threshold=pd.Series([], dtype=np.float64),
        exceeded=pd.Series([], dtype=bool),
        method=pd.Series([], dtype=object),
        n_rows=pd.Series([], dtype=np.int64),
        status=pd.Series([], dtype=object),
        message=pd.Series([], dtype=object),
        decided_by=pd.Series([], dtype=object),
        p_value=pd.Series([], dtype=np.float64),
        p_adjusted=pd.Series([], dtype=np.float64),
        drifted=pd.Series([], dtype=bool),
        p_bh=pd.Series([], dtype=np.float64),
        parts=pd.Series([], dtype=object),
        categorical=pd.Series([], dtype=object),
    )
    return pd.DataFrame(cols)


def _with_bh(out: Any, by: tuple[str, ...]) -> Any:
    """Benjamini-Hochberg adjusted p-values across groups, each group's on all its rows.

    A group's p-value is its smallest Holm-adjusted p-value (a valid p-value of
    "nothing in this group moved"); groups without one stay NaN and do not count.
    """
    if out.empty or not out["decided_by"].eq("p-value").any():
        return out
    out = out.reset_index(drop=True)
    codes = out.groupby(list(by), sort=False, dropna=False).ngroup().to_numpy()
    group_p = np.full(int(codes.max()) + 1, np.inf)
    np.fmin.at(group_p, codes, out["p_adjusted"].to_numpy(dtype=np.float64))  # fmin passes NaN over
    group_p[np.isinf(group_p)] = np.nan
    adjusted = np.asarray(benjamini_hochberg(group_p.tolist()), dtype=np.float64)
    return out.assign(p_bh=adjusted[codes])


def _score_frame(frame: Any, plan: _Plan) -> Any:
    """Scores every group of one pandas frame (a partition, or the whole logs)."""
    meta = plan.result_meta
    records: list[dict[str, Any]] = []
    if len(frame):
        by = list(plan.by)
        for key, group in frame.groupby(by, sort=False, dropna=False):
            keys = key if isinstance(key, tuple) else (key,)
            group = group.sort_values(_POS, kind="stable")
            for row in _score_group(plan, group, keys):
                records.append({**dict(zip(by, keys)), **row})
    out = pd.DataFrame.from_records(records, columns=list(meta.columns)) if records else meta.iloc[:0].copy()
    return out.astype(meta.dtypes.to_dict())


def _tag_rows(part: Any, partition_info: Mapping[str, Any] | None = None) -> Any:
    number = 0 if partition_info is None else int(partition_info["number"])
    return part.assign(**{_POS: np.arange(len(part), dtype=np.int64) + (number << 40)})


# ---------------------------------------------------------------- checking the arguments


def _kind(dtype: Any) -> str:
    return str(getattr(dtype, "kind", "O"))


def _role_columns(columns: Mapping[str, str | None] | None) -> dict[str, str | None]:
    out: dict[str, str | None] = {r: r for r in ROLES}
    if columns is None:
        return out
    if not isinstance(columns, Mapping):
        raise TypeError(f"argument 'columns': expected a mapping of role to column name, got {type(columns).__name__}")
    for role, name in columns.items():
        if role not in ROLES:
            raise ValueError(f"argument 'columns': unknown role {role!r} (roles: {', '.join(ROLES)})")
        if name is not None and not isinstance(name, str):
            raise TypeError(f"argument 'columns': role {role!r} needs a column name or None, got {type(name).__name__}")
        out[role] = name
    return out


def _detectors(detectors: Mapping[str, Any] | None) -> dict[str, Any]:
    if detectors is not None and not isinstance(detectors, Mapping):
        raise TypeError(f"argument 'detectors': expected a mapping of dimension to detector, got {type(detectors).__name__}")
    return detectors_with(detectors)


def _declared(categorical: Sequence[str] | None) -> tuple[str, ...]:
    if categorical is None:
        return ()
    if isinstance(categorical, str) or not all(isinstance(c, str) for c in categorical):
        raise TypeError(f"argument 'categorical': expected a list of column names, got {categorical!r}")
    return tuple(categorical)


def _keys(by: str | Sequence[str]) -> tuple[str, ...]:
    keys = (by,) if isinstance(by, str) else tuple(by)
    if not keys:
        raise ValueError("argument 'by': at least one key column is needed")
    for k in keys:
        if not isinstance(k, str):
            raise TypeError(f"argument 'by': column names are str, got {type(k).__name__}")
    return keys


def _require(arg: str, frame_columns: Sequence[Hashable], wanted: Sequence[str], what: str) -> None:
    missing = [c for c in wanted if c not in frame_columns]
    if missing:
        raise ValueError(f"argument '{arg}': {what} {missing} not found (columns: {[str(c) for c in frame_columns]})")


def _dimension_list(dimensions: str | Sequence[str] | None) -> tuple[str, ...] | None:
    if dimensions is None:
        return None
    dims = (dimensions,) if isinstance(dimensions, str) else tuple(dimensions)
    for d in dims:
        if d not in DIMENSIONS:
            raise ValueError(f"argument 'dimensions': unknown dimension {d!r} (dimensions: {', '.join(DIMENSIONS)})")
    if not dims:
        raise ValueError("argument 'dimensions': at least one dimension is needed")
    return dims


def _available(arg: str, wanted: Sequence[str], present: Sequence[str]) -> None:
    missing = [d for d in wanted if d not in present]
    if missing:
        raise ValueError(
            f"argument '{arg}': {missing} cannot be scored: the baseline has only {list(present)}"
        )


def _plan_raw(
    baseline: Any,
    logs_meta: Any,
    by: tuple[str, ...],
    roles: dict[str, str | None],
    features: Sequence[str] | None,
    detectors: dict[str, Any],
    min_rows: int,
    wanted: tuple[str, ...] | None,
    length: str,
    model: _Model | None = None,
    categorical: Sequence[str] = (),
) -> _Plan:
    if len(baseline) == 0:
        raise ValueError("argument 'baseline': the baseline window has no rows")
    base_cols = [str(c) for c in baseline.columns]
    log_cols = [str(c) for c in logs_meta.columns]
    columns: dict[str, str] = {}
    for role, name in roles.items():
        if name is None:
            continue
        in_base, in_logs = name in base_cols, name in log_cols
        if name != role and not in_base and not in_logs and role != "timestamp":
            # Named explicitly, as read_log refuses it.
            raise LogError(f"argument 'baseline': column '{name}': no such column (named for the {role} role)")
        if role == "timestamp":
            if in_logs:
                columns[role] = name
            continue
        if role == "query":  # text for a model: only where both frames hold it
            if in_base and in_logs:
                columns[role] = name
            continue
        if in_base and not in_logs:
            raise ValueError(
                f"argument 'logs': column '{name}' ({role}) is in the baseline but not in the logs "
                f"(pass columns={{'{role}': None}} to leave it out)"
            )
        if in_logs and not in_base:
            raise ValueError(
                f"argument 'baseline': column '{name}' ({role}) is in the logs but not in the baseline "
                f"(pass columns={{'{role}': None}} to leave it out)"
            )
        if in_base:
            columns[role] = name
    # Text feeds a model, where one is given and no column holds the vectors it would give.
    texts: dict[str, str] = {}
    query_text = columns.pop("query", None)
    if model is not None and query_text is not None and "query_embedding" not in columns:
        texts["query"] = query_text
    if model is not None and "response" in columns and "response_embedding" not in columns:
        texts["response"] = columns["response"]
    if "response_length" in columns:
        columns.pop("response", None)  # a length column wins over measuring the text
    if "response_embedding" in columns and "response_length" not in columns and "response" not in columns:
        raise ValueError(f"argument 'baseline': column '{columns['response_embedding']}' needs response lengths beside it")
    if "correct" in columns and "confidence" not in columns:
        raise ValueError(f"argument 'baseline': column '{columns['correct']}' needs confidences beside it")
    # A column with a role, or with a role's conventional name, is never a feature, even where the
    # role is switched off or absent from the logs: `features=` can still name it.
    taken = set(ROLES) | {n for n in roles.values() if n is not None} | set(by) | {_POS}
    given: list[str] | None = None
    if features is not None:
        if isinstance(features, str):
            raise TypeError("argument 'features': expected a sequence of column names, got str")
        given = [str(f) for f in features]
        _require("baseline", base_cols, given, "feature columns")
    # The baseline read as `morvanta.check` reads a log: its cells checked, a pandas row index
    # dropped (with a warning), its features the numeric and boolean columns by their cells.
    base_log = _read("baseline", baseline, {r: n for r, n in roles.items() if r != "timestamp"}, given, length,
                     exclude=sorted(taken), whole=True, categorical=categorical)
    if texts and model is not None:
        from .engines.text import Embedder, embed_log

        base_log = embed_log(base_log, Embedder(model.load()))
    elif query_text is not None and "query_embedding" not in columns:
        from .engines.text import text_notes

        for note in text_notes(None, base_log, None):
            if not note.startswith("response"):  # the answers' lengths are scored either way
                warnings.warn(f"argument 'baseline': {note}", UserWarning, stacklevel=3)
    feats = list(base_log.feature_names)
    if given is None:
        # A column with no value in the baseline is a feature only if the logs' dtype is numeric.
        feats = [f for f in feats if base_log.kinds[f].kind != "empty" or (f in log_cols and _kind(
            logs_meta[f].dtype) in "biuf")]
    # A counter in the baseline (an id) is no feature, as the serial check decides it.
    counters = {f: why for f in feats if (why := monotone_reason(base_log.features[:, base_log.feature_names.index(f)]))}
    for f, why in counters.items():
        warnings.warn(f"feature '{f}' is left out of the data dimension: {why}", UserWarning, stacklevel=3)
    feats = [f for f in feats if f not in counters]
    _require("logs", log_cols, feats, "feature columns")
    for f in feats:
        dtype = logs_meta[f].dtype
        if isinstance(dtype, pd.StringDtype) or _kind(dtype) not in "biufO":
            raise TypeError(f"argument 'logs': column '{f}' is not numeric (dtype {dtype})")
    _require("logs", log_cols, list(by), "key columns")
    cats = _plan_categories(base_log.categories, logs_meta, categorical)
    scored_columns = {r: c for r, c in columns.items() if r != "timestamp"}
    for role, column in [*scored_columns.items(), *texts.items()]:
        _refuse_dtype("logs", logs_meta, column, role)
    dims = []
    if feats or cats:
        dims.append("data")
    if "query_embedding" in columns or "embedding" in columns or "query" in texts:
        dims.append("embedding")
    if "response_length" in columns or "response" in columns:
        dims.append("response")
    if "confidence" in columns:
        dims.append("confidence")
    if "query_embedding" in columns or "query" in texts:
        dims.append("query")
    if not dims:
        raise ValueError("argument 'baseline': no column to score (no features, embeddings, lengths or confidences)")
    if wanted is not None:
        _available("dimensions", wanted, dims)
        dims = [d for d in dims if d in wanted]
        # Columns that only the left-out dimensions read are neither converted nor shipped.
        needs = {"query_embedding": ("query",) if "embedding" in columns else ("embedding", "query"),
                 "embedding": ("embedding",), "response_length": ("response",), "response": ("response",),
                 "response_embedding": ("response",), "confidence": ("confidence",), "correct": ("confidence",),
                 "query": ("embedding", "query") if "embedding" not in columns else ("query",)}
        scored_columns = {r: c for r, c in scored_columns.items() if any(d in dims for d in needs[r])}
        texts = {r: c for r, c in texts.items() if any(d in dims for d in needs[r])}
        if "data" not in dims:
            feats, cats = [], []
    raw = _as_window(base_log, scored_columns, feats, cats)
    # What the groups are matched against: the baseline's columns, none of its rows.
    matched = dataclasses.replace(
        base_log, features=np.empty((0, len(feats))), feature_names=feats, queries=None, embeddings=None,
        response_embeddings=None, response_lengths=None, confidences=None, correct=None, timestamps=None,
        roles={r: c for r, c in base_log.roles.items() if r in scored_columns},
        origin=Origin("baseline", argument=True), query_texts=None, response_texts=None, embedded={})
    return _Plan(
        by=by,
        columns=scored_columns,
        features=tuple(feats),
        dimensions=tuple(dims),
        thresholds={d: float(detectors[d].threshold) if hasattr(detectors[d], "threshold") else float("nan") for d in dims},
        detectors={d: detectors[d] for d in dims},
        raw=raw,
        base=matched,
        fitted=None,
        decide="threshold",
        n_permutations=0,
        seed=0,
        min_rows=min_rows,
        length=length,
        texts=texts,
        model=model if texts else None,
        categories=tuple(cats),
    )


def _plan_categories(columns: Sequence[CategoryColumn], logs_meta: Any, declared: Sequence[str]) -> list[str]:
    """The baseline's categorical columns a group is scored on; an id or free-text column, decided once
    from the baseline, and one the logs lack, are left out with a warning (as the check notes them)."""
    out = []
    log_cols = {str(c) for c in logs_meta.columns}
    for col in columns:
        why = id_reason(col)
        if why is not None:
            warnings.warn(f"categorical feature '{col.name}' is left out of the data dimension: {why}", UserWarning,
                          stacklevel=4)
            continue
        if col.name not in log_cols:
            warnings.warn(f"categorical feature '{col.name}' is missing from the logs; the data dimension leaves "
                          "it out", UserWarning, stacklevel=4)
            continue
        _refuse_category_dtype(logs_meta[col.name].dtype, col.name, col.name in declared)
        out.append(col.name)
    return out


def _refuse_category_dtype(dtype: Any, column: str, declared: bool) -> None:
    """Refuses, before any task runs, a logs column that can hold no categories: text, pandas and Arrow
    categories hold them, whole numbers only when declared ``categorical``."""
    kind = _kind(dtype)
    if isinstance(dtype, (pd.StringDtype, pd.CategoricalDtype, pd.ArrowDtype)) or kind in "OSU":
        return
    if declared and kind in "biuf":
        return
    raise TypeError(f"argument 'logs': column '{column}' is categorical in the baseline but holds {dtype} values"
                    + (" (pass categorical=[...] to read whole numbers as categories)" if kind in "biuf" else ""))


def _plan_fitted(
    baseline: Any,
    logs_meta: Any,
    by: tuple[str, ...],
    roles: dict[str, str | None],
    features: Sequence[str] | None,
    min_rows: int,
    wanted: tuple[str, ...] | None,
    length: str,
    model: _Model | None = None,
) -> _Plan:
    fitted = _Fitted(baseline)
    saved_model = getattr(baseline, "model", None)
    if saved_model is not None and model is not None:
        from .engines.text import refuse_other_model

        refuse_other_model(saved_model, model.identity, "baseline")
    filled = set(saved_model["parts"]) if saved_model is not None else set()
    texts: dict[str, str] = {}
    if wanted is not None:
        _available("dimensions", wanted, fitted.dimensions)
    log_cols = [str(c) for c in logs_meta.columns]
    columns: dict[str, str] = {}
    for part in fitted.parts:
        if part == "features":
            continue
        role = _PART_ROLE[part]
        alternative = {"embeddings": "embedding", "response_lengths": "response"}.get(part)
        if part == "embeddings" and alternative and roles.get(alternative) in log_cols:
            role = alternative  # a dedicated embedding column, as in the pipeline's logs
        if part == "response_lengths" and roles.get(role) not in log_cols and roles.get("response") in log_cols:
            role = "response"  # lengths measured from the response text
        name = roles.get(role)
        text_role = {"queries": "query", "embeddings": "query", "response_embeddings": "response"}.get(part)
        if part in filled and name not in log_cols and text_role is not None and roles.get(text_role) in log_cols:
            if model is None:
                from .engines.text import model_label

                raise ValueError(f"argument 'embed': the logs hold {text_role} text and the baseline was embedded "
                                 f"with {model_label(saved_model or {})}: pass that model")
            texts[text_role] = cast(str, roles[text_role])
            continue
        if name is None:
            raise ValueError(f"argument 'columns': the baseline has {part!r}, so role {role!r} needs a column")
        _require("logs", log_cols, [name], f"column for the baseline's {part!r}:")
        columns[role] = name
    feats: list[str] = []
    if "features" in fitted.parts:
        if features is not None:
            if isinstance(features, str):
                raise TypeError("argument 'features': expected a sequence of column names, got str")
            feats = [str(f) for f in features]
        elif fitted.feature_names is not None:
            feats = fitted.feature_names
        else:
            raise ValueError("argument 'features': the baseline's features have no names; name the logs columns")
        _require("logs", log_cols, feats, "feature columns")
    _require("logs", log_cols, list(by), "key columns")
    cats: list[str] = []
    for t in getattr(baseline, "_categories", ()) or ():
        if t.left_out is not None:
            warnings.warn(f"categorical feature '{t.name}' is left out of the data dimension: {t.left_out} (decided "
                          "when the baseline was fitted)", UserWarning, stacklevel=3)
            continue
        _require("logs", log_cols, [t.name], "categorical column of the baseline")
        _refuse_category_dtype(logs_meta[t.name].dtype, t.name, bool(t.declared))
        cats.append(t.name)
    thresholds = {}
    for d in fitted.dimensions:
        det = fitted.detectors.get(d)
        thresholds[d] = float(det.threshold) if det is not None and hasattr(det, "threshold") else float("nan")
    return _Plan(
        by=by,
        columns=columns,
        features=tuple(feats),
        dimensions=fitted.dimensions if wanted is None else tuple(d for d in fitted.dimensions if d in wanted),
        thresholds=thresholds,
        length=length,
        detectors={},
        raw=None,
        base=None,
        fitted=fitted,
        decide="threshold",
        n_permutations=0,
        seed=0,
        min_rows=min_rows,
        texts=texts,
        model=model if texts else None,
        categories=tuple(cats),
    )


def _model_of(embed: Any) -> _Model | None:
    """The ``embed`` argument as the workers get it; a missing library raises here, on the client."""
    if embed is None:
        return None
    from .engines.text import resolve

    found = resolve(embed)
    assert found is not None
    if found.model is None:
        from ._optional import MissingDependency

        raise MissingDependency(str(found.missing))
    _MODELS[(str(found.model.path), found.model.identity["sha256"])] = found.model
    return _Model(str(found.model.path), dict(found.model.identity))


def _default_client() -> Any:
    # A distributed client can only exist once distributed is imported.
    if "distributed" not in sys.modules:
        return None
    from distributed import default_client

    try:
        return default_client()  # type: ignore[no-untyped-call, unused-ignore]
    except ValueError:
        return None


def _is_dask_frame(obj: object) -> bool:
    return isinstance(obj, dd.DataFrame)


def _sorted_result(out: Any, by: tuple[str, ...]) -> Any:
    order = {d: i for i, d in enumerate(DIMENSIONS)}
    # Unscored rows have no method: None, however the frame was put together.
    out = out.assign(method=out["method"].astype(object).where(out["status"] == "ok", None))
    out = out.assign(__dim_order=out["dimension"].map(order))
    try:
        out = out.sort_values([*by, "__dim_order"], kind="stable", na_position="last")
    except TypeError:  # keys of mixed, unorderable types: keep the scoring order
        pass
    return out.drop(columns="__dim_order").reset_index(drop=True)


# ---------------------------------------------------------------- the entry point


def check_groups(
    baseline: Any,
    logs: Any,
    by: str | Sequence[str] = ("tenant", "hour"),
    *,
    columns: Mapping[str, str | None] | None = None,
    features: Sequence[str] | None = None,
    detectors: Mapping[str, Any] | None = None,
    dimensions: str | Sequence[str] | None = None,
    decide: str | None = None,
    p_values: bool | None = None,
    n_permutations: int | None = None,
    seed: int = 0,
    exact: bool = False,
    alpha: float = 0.05,
    min_effect: Mapping[str, float] | None = None,
    min_rows: int = DEFAULT_MIN_ROWS,
    length: str = "chars",
    shuffle: bool = True,
    client: Any = None,
    embed: Any = None,
    categorical: Sequence[str] | None = None,
    redact_categories: bool = False,
) -> pd.DataFrame:
    """Scores every group of ``logs`` (cut by the ``by`` columns) against ``baseline``.

    ``baseline``: the baseline window as a pandas DataFrame in the request-log
    layout (a Dask DataFrame is computed first), or a fitted
    ``morvanta.Baseline``, whose parts, features and detectors are used as
    fitted. It is prepared once here and shipped to each worker once.

    ``logs``: a Dask DataFrame of request logs, one row per request (a pandas
    DataFrame is scored here, serially, with the same code). Columns by role,
    each optional, as in ``morvanta check``: ``query_embedding`` (list column,
    scored by QueryDrift, and by EmbeddingDrift unless an ``embedding`` column is
    there), ``response_length`` or else the ``response`` text (its length in
    characters, or in words with ``length="words"``) for ResponseDrift, with
    ``response_embedding`` if present, ``confidence`` (ConfidenceDrift, with
    the ``correct`` flags if present), ``timestamp`` (never a feature), and every
    other numeric or boolean baseline column as a feature (DataDrift). Embeddings
    may be object columns of lists/arrays or Arrow list columns; float64 values
    are converted to float32.

    ``columns`` renames roles (``{"confidence": "p_answer"}``) or leaves them out
    (``{"confidence": None}``); ``features`` names the feature columns (default:
    every numeric or boolean baseline column that is no key and neither has a
    role nor a role's conventional name);
    ``detectors`` maps a dimension ("data", "embedding", "response",
    "confidence", "query") to the detector (or a Calibration) to use instead of
    the default one; not with a fitted baseline, which has its own.
    ``dimensions`` scores only these of the dimensions the baseline allows
    (e.g. ``["data", "query"]`` to leave out the costly embedding MMD).

    How a group is decided, as in :func:`morvanta.check`: by default
    (``decide="p-value"``; ``p_values=True`` says the same) every dimension of
    a group gets its combined permutation p-value (``n_permutations``, by
    default max(999, 10 m/alpha - 1) for m dimensions; ``exact``), Holm-adjusted
    over the group's dimensions (``p_adjusted``); a dimension drifts when that
    is at or below ``alpha`` and its score reaches its ``min_effect`` floor, if
    any. Each group draws its own permutations: its seed is
    :func:`group_seed` of ``seed`` and the group's key values, so a group's
    p-values depend only on its rows, its key and ``seed``. Across groups,
    ``p_bh`` is the Benjamini-Hochberg adjusted value of each group's smallest
    Holm-adjusted p-value (the same on every row of the group): keeping the
    groups with ``p_bh <= q`` keeps the expected share of false discoveries
    among them at most q. ``decide="threshold"`` (``p_values=False``) decides by
    the fixed thresholds instead, with no p-values. ``min_rows``: groups with
    fewer rows are reported with status "too_small" instead of scored.
    ``shuffle=False`` skips the shuffle that brings each group into one
    partition, for logs already partitioned by the keys (a group found in two
    partitions raises ValueError). ``client``: the ``distributed.Client`` to run
    on (default: the current client if there is one, else Dask's default
    scheduler); with a client the prepared baseline is scattered to every worker
    once.

    Returns a pandas DataFrame with one row per group and dimension, sorted by
    the keys and then in the order data, embedding, response, confidence, query:
    the key columns, ``dimension``, ``score``, ``threshold``, ``exceeded``,
    ``method``, ``n_rows``, ``status`` ("ok", "too_small" or "error"),
    ``message`` (why a group was not scored, e.g. the detector's error),
    ``decided_by`` ("p-value" or "threshold"), ``p_value``, ``p_adjusted``,
    ``drifted`` and ``p_bh`` (NaN without p-values), ``parts`` (the test's parts
    as :class:`~morvanta.results.PartResult` dicts, None without a test) and
    ``categorical`` (on the data row: what moved in each categorical column, as
    ``CheckResult.categorical`` lists it; None elsewhere). Each score equals the
    plain detector's on the raw baseline and the group's rows in their logs
    order, bit for bit.

    Categorical columns (text, pandas categoricals, Arrow dictionaries, and the
    whole-number columns named in ``categorical``) are features of the data
    dimension as in :func:`morvanta.check`: each group's codes are fixed from the
    pooled rows of the baseline and the group, so a group's p-values, parts and
    explanations equal ``morvanta.check`` of the baseline and that group's rows
    with the group's seed (against a fitted Baseline, ``Baseline.test`` with its
    category tables). Id and free-text columns are decided once, from the
    baseline, and left out with a warning. ``redact_categories=True`` shows
    category values as 8-hex-digit hashes.

    ``embed`` (a model folder, or a loaded :class:`~morvanta.embed.TextEmbedder`)
    embeds the ``query`` and ``response`` text where no column holds their
    vectors, as :func:`morvanta.check` does: the baseline's once here, each
    group's on its worker (each worker process loads the model from its folder
    once, and refuses it if its files changed). A fitted Baseline embedded with a
    model refuses another one. Without ``embed``, query text the baseline could
    have fed the embedding and query dimensions with gets a warning saying so.

    Raises TypeError or ValueError, naming the argument and column, for a key,
    feature or role column that is missing or of the wrong type, and for
    permutations too few to reach ``alpha``.
    """
    rule = decision(decide, p_values, None)
    if isinstance(alpha, bool) or not isinstance(alpha, (int, float)) or not 0.0 < alpha < 1.0:
        raise ValueError(f"argument 'alpha': expected a level in (0, 1), got {alpha!r}")
    given_permutations = check_count(n_permutations)
    if rule != "p-value" and (given_permutations is not None or exact):
        raise ValueError(f"argument '{'exact' if exact else 'n_permutations'}': permutations need p-value "
                         f"decisions, not decide={rule!r}")
    floors = min_effects(min_effect)
    keys = _keys(by)
    if isinstance(min_rows, bool) or not isinstance(min_rows, int) or min_rows < 1:
        raise ValueError(f"argument 'min_rows': expected a positive int, got {min_rows!r}")
    if isinstance(seed, bool) or not isinstance(seed, int) or seed < 0:
        raise ValueError(f"argument 'seed': expected a non-negative int, got {seed!r}")
    lazy = _is_dask_frame(logs)
    if not lazy and not isinstance(logs, pd.DataFrame):
        raise TypeError(f"argument 'logs': expected a Dask or pandas DataFrame, got {type(logs).__name__}")
    logs_meta = logs._meta if lazy else logs
    roles = _role_columns(columns)
    wanted = _dimension_list(dimensions)
    if length not in ("chars", "words"):
        raise ValueError(f"argument 'length': expected 'chars' or 'words', got {length!r}")
    if _is_dask_frame(baseline):
        baseline = baseline.compute()
    model = _model_of(embed)
    declared = _declared(categorical)
    if isinstance(baseline, pd.DataFrame):
        plan = _plan_raw(baseline, logs_meta, keys, roles, features, _detectors(detectors), min_rows, wanted, length,
                         model, declared)
    elif hasattr(baseline, "check") and hasattr(baseline, "parts"):
        if detectors is not None:
            raise ValueError("argument 'detectors': a fitted Baseline scores with the detectors it was fitted with")
        plan = _plan_fitted(baseline, logs_meta, keys, roles, features, min_rows, wanted, length, model)
    else:
        raise TypeError(
            f"argument 'baseline': expected a pandas DataFrame or a fitted morvanta.Baseline, got {type(baseline).__name__}"
        )
    count = 0
    if rule == "p-value":
        count, _ = permutations_for(len(plan.dimensions), float(alpha), given_permutations)
    meta = _result_meta({k: logs_meta[k].dtype for k in keys})
    plan = dataclasses.replace(plan, result_meta=meta, decide=rule, n_permutations=count, seed=seed,
                               alpha=float(alpha), exact=exact, min_effect=floors, redact=bool(redact_categories))
    if plan.categories and rule != "p-value":
        warnings.warn(f"data: categorical columns are tested by the permutation test only; with decide='{rule}' "
                      "the numeric columns decide", UserWarning, stacklevel=2)
    needed = list(dict.fromkeys([*keys, *plan.features, *plan.categories, *plan.columns.values(),
                                 *plan.texts.values()]))
    if not lazy:
        out = _score_frame(_tag_rows(logs[needed]), plan)
        return cast("pd.DataFrame", _sorted_result(_with_bh(out, keys), keys))
    frame = logs[needed]
    frame = frame.map_partitions(_tag_rows, meta=_tag_rows(frame._meta))
    if shuffle and frame.npartitions > 1:
        # Task-based shuffle: it moves pandas partitions as they are, list columns included.
        frame = frame.shuffle(on=list(keys), shuffle_method="tasks")
    client = client if client is not None else _default_client()
    if client is not None:
        # Sent straight to every worker, once; the scheduler never unpickles it.
        shipped: Any = client.scatter(plan, broadcast=True, hash=False)
    else:
        shipped = delayed(plan, name=f"morvanta-plan-{uuid.uuid4().hex}", traverse=False)
    scored = frame.map_partitions(_score_frame, shipped, meta=meta, align_dataframes=False)
    out = scored.compute(scheduler=client) if client is not None else scored.compute()
    del shipped, scored  # releases the scattered plan on the workers
    if not shuffle:
        dup = out.duplicated([*keys, "dimension"], keep=False)
        if dup.any():
            first = out.loc[dup, list(keys)].iloc[0].tolist()
            raise ValueError(f"argument 'shuffle': group {first} lies in more than one partition; use shuffle=True")
    return cast("pd.DataFrame", _sorted_result(_with_bh(out, keys), keys))


# ---------------------------------------------------------------- monitor over partitioned logs


def _concat_logs(logs: Sequence[RequestLog]) -> RequestLog:
    """One log of the rows of ``logs`` in turn (same columns; the first one's labels)."""
    first = logs[0]
    if len(logs) == 1:
        return first

    def cat(attr: str) -> Any:
        parts = [getattr(x, attr) for x in logs]
        return None if parts[0] is None else np.concatenate(parts)

    queries = cat("queries")
    shared = first.embeddings is first.queries
    return dataclasses.replace(
        first,
        n_rows=sum(x.n_rows for x in logs),
        features=np.asfortranarray(np.concatenate([x.features for x in logs])),
        queries=queries,
        embeddings=queries if shared else cat("embeddings"),
        response_embeddings=cat("response_embeddings"),
        response_lengths=cat("response_lengths"),
        confidences=cat("confidences"),
        correct=cat("correct"),
        timestamps=cat("timestamps"),
        categories=tuple(_concat_categories([x.categories[j] for x in logs]) for j in range(len(first.categories))),
    )


def _concat_categories(columns: Sequence[Any]) -> Any:
    """One categorical column of the rows of ``columns`` in turn, recoded over their values."""
    from .io.categories import CategoryColumn

    values = tuple(sorted(set().union(*(c.values for c in columns))))
    at = {v: k for k, v in enumerate(values)}
    codes = []
    for c in columns:
        table = np.array([at[v] for v in c.values] + [-1], dtype=np.int32)
        codes.append(table[np.where(c.codes < 0, len(c.values), c.codes)])
    return CategoryColumn(columns[0].name, values, np.ascontiguousarray(np.concatenate(codes), dtype=np.int32),
                          columns[0].declared)


def _partition_times(task: Any, columns: LogColumns, length: str) -> Any:
    """(rows, timestamps or None) of one partition."""
    from .engines.partitioned import read_task

    log = read_task(task, columns, cast(Any, length))
    return log.n_rows, log.timestamps


def _check_window(base: Any, pieces: Sequence[tuple[Any, Any]], positions: Any, rules: Any,
                  columns: LogColumns, length: str, min_rows: int, detectors: Any, redact: bool = False) -> Any:
    """The check of one window whose rows lie in ``pieces`` ((partition, local rows)), put back in
    window order by ``positions`` (runs on a worker)."""
    from .engines.partitioned import read_task
    from .pipeline.check import run_check

    taken = [read_task(task, columns, cast(Any, length)).take(rows) for task, rows in pieces]
    log = _concat_logs(taken)
    order = np.argsort(positions, kind="stable")
    if (order != np.arange(len(order))).any():
        log = log.take(order)
    base = base.baseline if isinstance(base, _Fitted) else base
    return run_check(base, log, rules, detectors=detectors, columns=None, length=None, min_rows=min_rows,
                     explain=False, redact=redact)


def monitor(
    logs: Any,
    *,
    baseline: Any,
    every: str | float | None = None,
    rows: int | None = None,
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
    length: str | None = None,
    client: Any = None,
    redact_categories: bool = False,
) -> Any:
    """:func:`morvanta.monitor` over a partitioned log, its windows checked in parallel on a Dask cluster.

    ``logs``: paths, quoted glob patterns or folders of Parquet files (sorted
    by path; each Parquet row group is a partition), taken as one log in that
    order. ``baseline``: a baseline log or a saved ``Baseline`` (or its path),
    sent to every worker once. Windows are cut across the partitions exactly
    as :func:`morvanta.monitor` cuts the concatenated log (by ``every``, on
    the timestamps, or by ``rows``) and each is checked on a worker that reads
    only the partitions holding its rows; every window's result equals the
    serial monitor's on the same rows and baseline. The other arguments are
    :func:`morvanta.monitor`'s; ``client`` is the ``distributed.Client`` (default:
    the current one, else Dask's local scheduler); ``redact_categories`` as for
    :func:`morvanta.check`. Returns a ``MonitorResult``.
    """
    import os
    from collections import deque

    from .engines.partitioned import expand_sources, tasks_of
    from .errors import ArgumentError
    from .pipeline.check import _as_log, _is_saved_baseline, _load_baseline, validate
    from .pipeline.decide import persistence
    from .pipeline.monitor import _by_rows, _by_time, _count, _duration, _level_notes
    from .results import MonitorResult, WindowResult

    if (every is None) == (rows is None):
        raise ArgumentError("every", "give exactly one of 'every' (a duration) and 'rows' (a count)")
    if rows is not None:
        _count("rows", rows, 1)
    if decide == "calibrated":
        raise ArgumentError("decide", "a monitor decides by 'p-value' or 'threshold'")
    rules = validate(decide=decide, p_values=p_values, alpha=alpha, min_rows=min_rows, n_permutations=n_permutations,
                     seed=seed, exact=exact, min_effect=min_effect)
    persisting = persistence(persist)
    period = _duration("every", every) if every is not None else None
    cols = columns if columns is not None else LogColumns()
    unit = length if length is not None else cols.length
    tasks = tasks_of(expand_sources(logs))
    if not tasks:
        raise LogError("no rows to monitor (every file is empty)")
    source = tasks[0].path if len({t.path for t in tasks}) == 1 else f"{tasks[0].path} (+{len(tasks) - 1} partitions)"
    if _is_saved_baseline(baseline):
        base: Any = baseline if hasattr(baseline, "check") else _load_baseline(os.fspath(baseline))
        base_n = max(dict(base.sizes).values(), default=0)
        shipped_base: Any = _Fitted(base)
    else:
        base = _as_log(baseline, cols, cast(Any, unit), "baseline_log")
        base_n = base.n_rows
        shipped_base = base
    base_source = os.fspath(baseline) if isinstance(baseline, (str, os.PathLike)) else "baseline"
    client = client if client is not None else _default_client()

    def run(fn: Callable[..., Any], items: Sequence[Any], *args: Any) -> list[Any]:
        if client is not None:
            return cast(list[Any], client.gather(client.map(fn, items, *[[a] * len(items) for a in args],
                                                            pure=False)))
        return [fn(x, *args) for x in items]

    sizes_times = run(_partition_times, tasks, cols, unit)
    counts = np.array([n for n, _ in sizes_times], dtype=np.int64)
    offsets = np.concatenate([[0], np.cumsum(counts)])
    n_total = int(offsets[-1])
    if period is not None:
        if any(t is None for _, t in sizes_times):
            raise LogError(f"'{source}': windows by time need a timestamp column (or use rows=)")
        times = np.concatenate([t for _, t in sizes_times])
        bad = np.flatnonzero(~np.isfinite(times))
        if bad.size:
            raise LogError(f"'{source}': column 'timestamp' row {int(bad[0]) + 1}: not a finite time "
                           f"({times[bad[0]]!r})")
        order = np.argsort(times, kind="stable")
        _, cuts = _by_time(times[order], period, 0.0)
    else:
        assert rows is not None
        order = np.arange(n_total)
        _, cuts = _by_rows(n_total, rows, 0)
    del sizes_times

    checked_cuts = [c for c in cuts if not c.gap and c.end - c.first >= min_rows]
    if client is not None and checked_cuts:
        shipped: Any = client.scatter(shipped_base, broadcast=True, hash=False)
    else:
        shipped = shipped_base
    jobs = {}
    for c in checked_cuts:
        g = order[c.first:c.end]
        part = np.searchsorted(offsets, g, side="right") - 1
        pieces, positions = [], []
        for t in np.unique(part):
            sel = np.flatnonzero(part == t)
            pieces.append((tasks[int(t)], g[sel] - offsets[t]))
            positions.append(sel)
        args = (shipped, pieces, np.concatenate(positions), rules, cols, unit, min_rows, detectors,
                bool(redact_categories))
        jobs[c.index] = (client.submit(_check_window, *args, pure=False) if client is not None
                         else _check_window(*args))
    if client is not None:
        results = dict(zip(jobs, client.gather(list(jobs.values()))))
    else:
        results = jobs
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
            res = results[c.index]
            recent.append(res.drifted)
            alert = res.drifted and (persisting is None or sum(recent) >= persisting[0])
            w = WindowResult(c.index, c.start, c.stop, c.first, n, "checked", res, periods=c.periods, alert=alert)
        out.append(w)
    notes: list[str] = []
    checked = [w for w in out if w.status == "checked"]
    if not any(w.status != "gap" for w in out):
        notes.append(f"no window to check in '{source}'")
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
                         min_rows, source, notes=notes, decide=rules.decide, persist=persisting)

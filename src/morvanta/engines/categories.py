"""Categorical columns in the data dimension: pooled codes, id columns, the test and what moved.

Rules (documented in docs/detectors.md, data section):

- Codes are fixed from the POOLED rows of both windows compared, never from one
  side: the CAP (50) most frequent categories of the pooled rows (ties by
  value) keep a code each, numbered in sorted order of their values, and every
  other category shares one more code, :data:`OTHER`, placed last. So the
  codes do not depend on the order of the rows, and a permutation of the
  pooled rows sees the same table.
- Missing cells (None, NaN, empty text) are a flag, not a category: the test
  compares the share of missing cells apart from the category shares.
- Id and free-text columns are decided once per check from the baseline and
  left out with a note, never scored: a categorical column with more than
  :data:`ID_MIN_DISTINCT` distinct values that are also more than
  :data:`ID_SHARE` of its non-missing baseline rows (request ids, the query
  text), and a numeric or declared column of whole numbers that is strictly
  monotone over at least :data:`MONOTONE_MIN_ROWS` baseline rows (a counter).
- Per column the combined test gets two parts: ``psi_cat`` (PSI over the
  category shares, with one bin for the categories the split's baseline side
  lacks, recomputed for every permutation, smoothed by the detector's eps) and
  ``missing`` (the change in the share of missing cells).
- ``redact=True`` shows every category value as the first 8 hex digits of the
  SHA-256 of its UTF-8 text, in every output.
"""

from __future__ import annotations

import hashlib
import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from ..io.categories import CategoryColumn

if TYPE_CHECKING:
    import numpy

    from .._native import DriftScore
    from numpy.typing import NDArray

__all__ = ["CAP", "OTHER", "ID_MIN_DISTINCT", "ID_SHARE", "MONOTONE_MIN_ROWS", "PooledColumn", "pool", "id_reason",
           "monotone_reason", "redact", "CategoryShift", "shifts", "categorical_test", "SHOWN",
           "explain_columns", "breakdowns", "pool_logs", "no_numeric_score"]

#: Categories kept per column (the most frequent in the pooled rows); the rest share OTHER.
CAP = 50
#: The shared category of the values beyond the cap.
OTHER = "(other)"
#: A column with more distinct baseline values than this ...
ID_MIN_DISTINCT = 50
#: ... that are also more than this share of its non-missing baseline rows is an id or free text.
ID_SHARE = 0.5
#: A strictly monotone whole-number column is a counter (an id) from this many baseline rows on.
MONOTONE_MIN_ROWS = 10
#: Categories listed per column in the explanations (largest moves first).
SHOWN = 5


def redact(value: str) -> str:
    """A short stable stand-in for a category value: 8 hex digits of its SHA-256."""
    return hashlib.sha256(value.encode("utf-8")).hexdigest()[:8]


@dataclass(frozen=True, eq=False)
class PooledColumn:
    """One categorical column coded from the pooled rows of both windows.

    ``categories[k]`` is the value of code k (:data:`OTHER` last when some
    values were pooled); ``base`` and ``cur`` the codes per row, -1 missing.
    """

    name: str
    categories: tuple[str, ...]
    base: NDArray[numpy.int32]
    cur: NDArray[numpy.int32]
    pooled_values: int  # distinct values before the cap
    baseline_values: frozenset[str]
    # A saved baseline tests its kept rows (``base``) but knows every fitted row's category:
    # the rows per pooled code and the missing cells of the whole baseline, for the shares shown.
    base_counts: NDArray[numpy.int64] | None = None
    base_missing: int = 0


def _remap(col: CategoryColumn, code_of: dict[str, int], other: int) -> NDArray[numpy.int32]:
    import numpy as np

    table = np.array([code_of.get(v, other) for v in col.values] + [-1], dtype=np.int32)
    c = col.codes
    return np.ascontiguousarray(table[np.where(c < 0, len(col.values), c)])


def pool(base: CategoryColumn, cur: CategoryColumn, cap: int = CAP) -> PooledColumn:
    """The codes of both windows from their pooled rows (see the module's rules)."""
    return _pool(base, base.counts().tolist(), cur, cap)


def _pool(base: CategoryColumn, base_counts: Sequence[int], cur: CategoryColumn, cap: int) -> PooledColumn:
    # ``base_counts``: rows per value of ``base.values`` in the whole baseline (``base`` may hold
    # only the rows a test deals).
    counts: dict[str, int] = {}
    for values, ns in ((base.values, base_counts), (cur.values, cur.counts().tolist())):
        for v, n in zip(values, ns):
            counts[v] = counts.get(v, 0) + int(n)
    present = [v for v, n in counts.items() if n > 0]
    if len(present) > cap:
        kept = sorted(sorted(present), key=lambda v: -counts[v])[:cap]
    else:
        kept = present
    order = sorted(kept)
    code_of = {v: k for k, v in enumerate(order)}
    categories = tuple(order) + ((OTHER,) if len(present) > len(kept) else ())
    other = len(order)
    return PooledColumn(base.name, categories, _remap(base, code_of, other), _remap(cur, code_of, other),
                        len(present), frozenset(v for v, n in zip(base.values, base_counts) if n > 0))


def id_reason(col: CategoryColumn) -> str | None:
    """Why a baseline categorical column is an id or free text (None when it is not)."""
    n = int((col.codes >= 0).sum())
    distinct = int((col.counts() > 0).sum())
    if distinct > ID_MIN_DISTINCT and distinct > ID_SHARE * n:
        return f"{distinct:,} distinct values in {n:,} baseline rows (an id or free text)"
    if col.declared:
        import numpy as np

        vals = np.array([float(v) for v in col.values], dtype=np.float64)
        return monotone_reason(np.where(col.codes >= 0, vals[col.codes], np.nan))
    return None


def monotone_reason(values: NDArray[numpy.float64]) -> str | None:
    """Why a baseline numeric column is a counter: whole numbers, strictly monotone (None otherwise)."""
    import numpy as np

    v = values
    if v.shape[0] < MONOTONE_MIN_ROWS or not np.isfinite(v).all() or not (v == np.floor(v)).all():
        return None
    d = np.diff(v)
    if (d > 0).all() or (d < 0).all():
        return f"whole numbers strictly {'increasing' if d[0] > 0 else 'decreasing'} over the baseline (an id)"
    return None


@dataclass(frozen=True)
class CategoryShift:
    """One category's share of the non-missing rows in each window."""

    category: str
    baseline_share: float
    current_share: float
    unseen: bool  # absent from the baseline window

    def to_dict(self) -> dict[str, Any]:
        return {"category": self.category, "baseline_share": self.baseline_share,
                "current_share": self.current_share, "unseen": self.unseen}


def shifts(p: PooledColumn, redact_values: bool = False, shown: int = SHOWN
           ) -> tuple[list[CategoryShift], list[CategoryShift], tuple[float, float]]:
    """The categories whose share moved most, those unseen in the baseline, and the missing shares."""
    import numpy as np

    k = len(p.categories)
    out = []
    sides = []
    for codes in (p.base, p.cur):
        ok = codes[codes >= 0]
        counts = np.bincount(ok, minlength=k).astype(np.float64)
        sides.append(counts / ok.size if ok.size else counts * math.nan)
    miss = (float((p.base < 0).mean()) if p.base.size else math.nan,
            float((p.cur < 0).mean()) if p.cur.size else math.nan)
    b_counts = np.bincount(p.base[p.base >= 0], minlength=k)
    if p.base_counts is not None:  # a saved baseline: shares of every fitted row, not of the kept ones
        b_counts = p.base_counts
        total = int(b_counts.sum())
        sides[0] = (b_counts / total if total else b_counts * math.nan).astype(np.float64)
        rows = total + p.base_missing
        miss = (p.base_missing / rows if rows else math.nan, miss[1])
    for j, name in enumerate(p.categories):
        shown_name = redact(name) if redact_values and name != OTHER else name
        out.append(CategoryShift(shown_name, float(sides[0][j]), float(sides[1][j]), bool(b_counts[j] == 0)))
    unseen = [s for s in out if s.unseen and s.current_share > 0]
    moved = sorted((s for s in out if not s.unseen),
                   key=lambda s: (-abs(s.current_share - s.baseline_share), s.category))
    return moved[:shown], unseen[:shown], miss


def explain_columns(pooled: Sequence[PooledColumn], parts: Sequence[Any] = (), redact_values: bool = False
                    ) -> list[dict[str, Any]]:
    """Per categorical column, what moved: the top moves, the unseen categories, the missing
    shares, and the adjusted p-values of its parts when a test ran (``parts``: PartResults)."""
    p_of = {(p.column, p.name): p.p_adjusted for p in parts}
    out = []
    for p in pooled:
        moved, unseen, miss = shifts(p, redact_values)
        out.append({
            "name": p.name,
            "categories": p.pooled_values,
            "moved": [m.to_dict() for m in moved],
            "unseen": [u.to_dict() for u in unseen],
            "missing_share": {"baseline": miss[0], "current": miss[1]},
            "p_adjusted": p_of.get((p.name, "psi_cat")),
            "p_adjusted_missing": p_of.get((p.name, "missing")),
        })
    return out


def breakdowns(pooled: Sequence[PooledColumn], redact_values: bool = False) -> list[Any]:
    """Per categorical column, the :class:`~morvanta.results.CategoryBreakdown` of a data breakdown
    (the same categories :func:`explain_columns` lists)."""
    from ..results import CategoryBreakdown, CategoryShare

    out = []
    for p in pooled:
        moved, unseen, miss = shifts(p, redact_values)
        out.append(CategoryBreakdown(
            p.name, p.pooled_values,
            [CategoryShare(str(m.category), m.baseline_share, m.current_share, m.unseen) for m in moved],
            [CategoryShare(str(u.category), u.baseline_share, u.current_share, u.unseen) for u in unseen],
            miss[0], miss[1]))
    return out


def pool_logs(base: Sequence[CategoryColumn], cur: Sequence[CategoryColumn]
              ) -> tuple[list[PooledColumn], list[tuple[str, str]]]:
    """The categorical columns both windows hold, pooled in the baseline's order, and the
    (column, reason) of those left out: ids and free text, decided from the baseline."""
    at = {c.name: c for c in cur}
    kept, left = [], []
    for col in base:
        if col.name not in at:
            left.append((col.name, "missing from the current window"))
        elif (why := id_reason(col)) is not None:
            left.append((col.name, why))
        else:
            kept.append(pool(col, at[col.name]))
    return kept, left


def codes_matrix(columns: Sequence[NDArray[numpy.int32]], rows: int) -> NDArray[numpy.float64]:
    """Per-column codes as the (rows, columns) float64 matrix the engine takes."""
    import numpy as np

    out = np.empty((rows, len(columns)), dtype=np.float64)
    for j, c in enumerate(columns):
        out[:, j] = c
    return out


def categorical_test(det: Any, base: Any, cur: Any, pooled: Sequence[PooledColumn], *, n_permutations: int,
                     seed: int, exact: bool, cap: int, score: Any = None) -> Any:
    """The data dimension's combined test with categorical columns after the numeric ones.

    ``base``/``cur`` are the numeric features (rows x p, possibly p = 0); the
    parts of categorical column j are numbered p + j. Sides longer than ``cap``
    are tested on the seeded row sample the numeric test uses, codes and
    features sampled together.
    """
    import numpy as np

    from .. import _engine
    from ..results import DriftTest, TestPart
    from . import sampling
    from .permutation import STOP_AFTER

    bk = codes_matrix([p.base for p in pooled], base.shape[0])
    ck = codes_matrix([p.cur for p in pooled], cur.shape[0])
    sampled = False
    if base.shape[0] > cap:
        rows = sampling.subsample(base.shape[0], cap, seed, stream=sampling.stream(0, sampling.BASELINE))
        base, bk, sampled = base[rows], bk[rows], True
    if cur.shape[0] > cap:
        rows = sampling.subsample(cur.shape[0], cap, seed, stream=sampling.stream(0, sampling.CURRENT))
        cur, ck, sampled = cur[rows], ck[rows], True
    base = np.asfortranarray(base, dtype=np.float64)
    cur = np.asfortranarray(cur, dtype=np.float64)
    if score is None:  # else the caller's score of these same rows
        score = det.detect(base, cur) if base.shape[1] else no_numeric_score(det)
    r = _engine.combined_test(det, "detect_with_categories", (base, bk), (cur, ck), n_permutations, seed,
                              stop_after=0 if exact else STOP_AFTER)
    excluded = set(r["excluded"])
    parts = tuple(
        TestPart(name=label.split("[", 1)[0], column=column, statistic=float(observed), p_value=float(p_raw),
                 p_adjusted=float(p_adj), excluded=j in excluded)
        for j, (label, column, observed, p_raw, p_adj) in enumerate(
            zip(r["parts"], r["columns"], r["observed"], r["p_raw"], r["p_adjusted"]))
    )
    return DriftTest(score=score, p_value=float(r["p_value"]), n_permutations=n_permutations, seed=seed,
                     statistic="maxT", observed=float(r["statistic"]), parts=parts,
                     permutations_run=int(r["permutations_run"]), stopped=bool(r["stopped"]),
                     n_baseline=int(base.shape[0]), n_current=int(cur.shape[0]), sampled=sampled)


def no_numeric_score(det: Any) -> DriftScore:
    """The data score of a table with categorical columns only: no numeric column to score (NaN,
    never exceeded); the combined test decides."""
    from .. import _engine
    from ..dimensions import settings_of

    threshold = settings_of(det)["threshold"]
    return _engine.drift_score("data", math.nan, threshold, False, "ks+psi")

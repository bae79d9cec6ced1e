"""The categorical columns of a fitted baseline: their tables, the rows tests deal, the saved record.

A fitted baseline keeps, per categorical column, the table of the whole
baseline window (its distinct values sorted as text, the rows of each, the
missing cells) and the code of every row it keeps for tests, row-aligned with
the kept feature rows (the same seeded sample). A check pools the table with
the current window's column exactly as :func:`morvanta.check` pools the two raw
windows (:mod:`morvanta.engines.categories`), so the tests give the same
p-values. Id and free-text columns are decided once at fit time from the whole
baseline and recorded with the reason; a check leaves them out with a note.

Saved files hold the tables in the settings record (format version 3, key
"categories"), one entry per column in order: ``{"name", "values", "counts",
"missing", "declared", "codes"}`` (counts and codes as comma-separated whole numbers) or ``{"name", "left_out"}`` for a column left
out. :func:`from_record` judges every value on load.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from ..io.categories import CategoryColumn
from .baseline_values import Refusal

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

__all__ = ["CategoryTable", "fit_tables", "categories_of", "split_frame", "to_record", "from_record",
           "current_columns", "pooled", "TABLE_KEYS"]

#: The keys of a saved column's entry (a left-out column: "name" and "left_out").
TABLE_KEYS = ("name", "values", "counts", "missing", "declared", "codes")


@dataclass(frozen=True, eq=False)
class CategoryTable:
    """One categorical column of a fitted baseline.

    ``values`` sorted and distinct; ``counts[k]`` the baseline rows holding
    ``values[k]``; ``missing`` the rows without a category; ``codes`` the code of
    each kept row (index into ``values``, -1 missing). ``left_out`` is why the
    column is an id or free text (then it holds nothing else).
    """

    name: str
    values: tuple[str, ...]
    counts: NDArray[numpy.int64]
    missing: int
    declared: bool
    codes: NDArray[numpy.int32]
    left_out: str | None = None

    @property
    def rows(self) -> int:
        return int(self.counts.sum()) + self.missing

    def kept_column(self) -> CategoryColumn:
        """The kept rows as a column of the log layout."""
        return CategoryColumn(self.name, self.values, self.codes, self.declared)


def _empty_table(name: str, why: str) -> CategoryTable:
    import numpy as np

    return CategoryTable(name, (), np.zeros(0, np.int64), 0, False, np.zeros(0, np.int32), why)


def fit_tables(columns: Sequence[CategoryColumn], kept: Any) -> tuple[CategoryTable, ...]:
    """The tables of whole baseline columns, ``kept`` (row indices or a slice) the rows tests deal."""
    import numpy as np

    from .categories import id_reason

    out = []
    for col in columns:
        why = id_reason(col)
        if why is not None:
            out.append(_empty_table(col.name, why))
            continue
        out.append(CategoryTable(col.name, col.values, col.counts(), col.missing(), col.declared,
                                 np.ascontiguousarray(col.codes[kept], dtype=np.int32)))
    return tuple(out)


def merged_table(name: str, counts: Mapping[str, int], missing: int, declared: bool, kept_values: Sequence[str | None],
                 left_out: str | None = None) -> CategoryTable:
    """The table of a column merged from partition summaries: counts that add, and the values of the kept
    rows in their (canonical) order."""
    import numpy as np

    from .categories import ID_MIN_DISTINCT, ID_SHARE

    if left_out is None:
        n = sum(counts.values())
        if len(counts) > ID_MIN_DISTINCT and len(counts) > ID_SHARE * n:
            left_out = f"{len(counts):,} distinct values in {n:,} baseline rows (an id or free text)"
    if left_out is not None:
        return _empty_table(name, left_out)
    values = tuple(sorted(counts))
    at = {v: k for k, v in enumerate(values)}
    codes = np.array([-1 if v is None else at[v] for v in kept_values], dtype=np.int32)
    return CategoryTable(name, values, np.array([counts[v] for v in values], dtype=np.int64), int(missing), declared,
                         codes)


def split_frame(frame: Any) -> tuple[Any, Any]:
    """A features frame split into its numeric part and its text/categorical columns (None when none)."""
    from ..io.cells import Origin
    from ..io.frames import _frame_kind, pandas_table, polars_table

    kind = _frame_kind(frame)
    if kind is None:
        return frame, None
    origin = Origin("features", argument=True)
    table = pandas_table(frame, origin) if kind == "pandas" else polars_table(frame, origin)
    text = [n for n, c in table.columns.items() if c.kind == "text"]
    if not text:
        return frame, None
    labels = [label for label in frame.columns if str(label) in text]
    if kind == "pandas":
        return frame.drop(columns=labels), frame[labels]
    return frame.drop(labels), frame.select(labels)


def categories_of(arg: str, value: Any, rows: int | None) -> tuple[CategoryColumn, ...]:
    """The categorical columns of an argument: a mapping name -> sequence of values (text, None for a
    missing cell; whole numbers are categories by their text) or a pandas/polars frame, every column of
    which is categorical. ``rows``, when given, is the row count every column must have."""
    from ..io.categories import category_column
    from ..io.cells import Origin
    from ..io.frames import _frame_kind, mapping_table, pandas_table, polars_table

    if isinstance(value, (tuple, list)) and all(isinstance(c, CategoryColumn) for c in value):
        return tuple(value)  # columns of a log, already encoded
    origin = Origin(arg, argument=True)
    kind = _frame_kind(value)
    if kind == "pandas":
        table = pandas_table(value, origin)
    elif kind == "polars":
        table = polars_table(value, origin)
    elif isinstance(value, Mapping):
        table = mapping_table({k: list(v) if not hasattr(v, "dtype") else v for k, v in value.items()}, origin)
    else:
        raise TypeError(f"argument '{arg}': expected a mapping of column name to values or a DataFrame, "
                        f"got {type(value).__name__}")
    if rows is not None and table.columns and table.n_rows != rows:
        raise ValueError(f"argument '{arg}': {table.n_rows} rows, but the features have {rows}")
    return tuple(category_column(origin, c, c.kind != "text") for c in table.columns.values())


def current_columns(tables: Sequence[CategoryTable], given: Sequence[CategoryColumn] | None
                    ) -> list[tuple[CategoryTable, CategoryColumn]]:
    """The current window's column of each scored baseline column; ValueError for one missing or
    one the baseline lacks (a left-out column may be there or not)."""
    if not tables:
        if given:
            raise ValueError(f"the current window carries categorical column(s) {[c.name for c in given]}, "
                             "which the baseline lacks")
        return []
    at = {c.name: c for c in given or ()}
    known = {t.name for t in tables}
    extra = [n for n in at if n not in known]
    if extra:
        raise ValueError(f"the current window carries categorical column(s) {extra}, which the baseline lacks")
    missing = [t.name for t in tables if t.left_out is None and t.name not in at]
    if missing:
        raise ValueError(f"the current window lacks categorical column(s) {missing}, which the baseline has "
                         "(pass categories=...)")
    return [(t, at[t.name]) for t in tables if t.left_out is None]


def pooled(pairs: Sequence[tuple[CategoryTable, CategoryColumn]]) -> list[Any]:
    """Each column coded from the pooled rows of the whole baseline and the current window, the baseline
    side holding the kept rows (the rows a test deals)."""
    import numpy as np

    from .categories import CAP, _pool

    out = []
    for t, cur in pairs:
        p = _pool(t.kept_column(), t.counts.tolist(), cur, CAP)
        # rows per pooled code of the whole baseline
        code_of = {v: k for k, v in enumerate(p.categories)}
        other = len(p.categories) - 1
        per = np.zeros(len(p.categories), dtype=np.int64)
        for v, n in zip(t.values, t.counts.tolist()):
            per[code_of.get(v, other)] += n
        from dataclasses import replace

        out.append(replace(p, base_counts=per, base_missing=t.missing))
    return out


# ------------------------------------------------------------------ the saved record


def to_record(t: CategoryTable) -> dict[str, Any]:
    if t.left_out is not None:
        return {"name": t.name, "left_out": t.left_out}
    return {"name": t.name, "values": list(t.values), "counts": _ints_text(t.counts.tolist()),
            "missing": int(t.missing), "declared": bool(t.declared), "codes": _ints_text(t.codes.tolist())}


def _ints_text(values: Sequence[int]) -> str:
    # Whole numbers as comma-separated text: the settings reader gives lists of numbers back as
    # floats, and the record's checksum covers its text.
    return ",".join(str(int(v)) for v in values)


def _ints(item: str, what: str, text: Any) -> list[int]:
    import re

    if not isinstance(text, str) or (text and not re.fullmatch(r"-?[0-9]+(,-?[0-9]+)*", text)):
        raise Refusal(None, item, f"{what} {str(text)[:40]!r} are not whole numbers separated by commas")
    return [int(v) for v in text.split(",")] if text else []


def _int(v: Any) -> bool:
    return isinstance(v, int) and not isinstance(v, bool)


def from_record(record: Any, rows: int, kept: int, feature_names: Sequence[str] | None
                ) -> tuple[CategoryTable, ...]:
    """The tables of a saved record, judged: ``rows`` the baseline rows the counts must add up to,
    ``kept`` the kept feature rows the codes align with. Refusal names the column."""
    import numpy as np

    if not isinstance(record, list) or not record:
        raise Refusal(None, "categories", f"{record!r} is not a list of categorical columns")
    out: list[CategoryTable] = []
    seen: set[str] = set(feature_names or ())
    for i, e in enumerate(record):
        name = e.get("name") if isinstance(e, dict) else None
        item = f"categorical column {name!r}" if isinstance(name, str) else f"categories[{i}]"
        if not isinstance(name, str) or not name:
            raise Refusal(None, item, f"{e!r} has no column name")
        if name in seen:
            raise Refusal(None, item, "appears twice (or is also a numeric feature)")
        seen.add(name)
        if set(e) == {"name", "left_out"}:
            if not isinstance(e["left_out"], str) or not e["left_out"]:
                raise Refusal(None, item, f"left_out {e['left_out']!r} is not a reason")
            out.append(_empty_table(name, e["left_out"]))
            continue
        if sorted(e) != sorted(TABLE_KEYS):
            raise Refusal(None, item, f"keys {sorted(e)}, expected {sorted(TABLE_KEYS)} (or name and left_out)")
        values, counts, missing, declared, codes = (e[k] for k in TABLE_KEYS[1:])
        counts, codes = _ints(item, "counts", counts), _ints(item, "codes", codes)
        if not isinstance(values, list) or not all(isinstance(v, str) and v.strip() for v in values):
            raise Refusal(None, item, "values are not a list of non-empty texts")
        for a, b in zip(values, values[1:]):
            if a == b:
                raise Refusal(None, item, f"value {a!r} appears twice")
            if a > b:
                raise Refusal(None, item, f"values are not in sorted order ({a!r} before {b!r})")
        if not isinstance(counts, list) or len(counts) != len(values) or not all(_int(n) and n > 0 for n in counts):
            raise Refusal(None, item, f"counts are not one positive whole number per value ({len(values)})")
        if not _int(missing) or missing < 0:
            raise Refusal(None, item, f"missing {missing!r} is not a count of rows")
        if sum(counts) + missing != rows:
            raise Refusal(None, item, f"counts and missing add up to {sum(counts) + missing:,} rows, but the "
                                      f"baseline has {rows:,}")
        if not isinstance(declared, bool):
            raise Refusal(None, item, f"declared {declared!r} is not true or false")
        if not isinstance(codes, list) or len(codes) != kept:
            raise Refusal(None, item, f"holds {len(codes) if isinstance(codes, list) else 'no'} codes of kept "
                                      f"rows, expected {kept:,}")
        for j, c in enumerate(codes):
            if not _int(c) or not -1 <= c < len(values):
                raise Refusal(None, item, f"code {c!r} of kept row {j} is not -1 (missing) or the index of "
                                          f"one of its {len(values)} values")
        c_arr = np.array(codes, dtype=np.int32)
        n_arr = np.array(counts, dtype=np.int64)
        over = np.flatnonzero(np.bincount(c_arr[c_arr >= 0], minlength=len(values)) > n_arr)
        if over.size or int((c_arr < 0).sum()) > missing:
            what = f"value {values[int(over[0])]!r}" if over.size else "missing cells"
            raise Refusal(None, item, f"the kept rows hold more {what} than its counts")
        out.append(CategoryTable(name, tuple(values), n_arr, int(missing), declared, c_arr))
    return tuple(out)

"""Baselines fitted from many partitions of a log: mergeable, memory-bounded, identical however partitioned.

Each partition of the baseline traffic (a Parquet row group, a file, a Dask
DataFrame partition) is read into a :class:`~morvanta.io.log.RequestLog` and
summarised on its own (:func:`summarise`); summaries merge (:func:`merge`) in
any order and grouping into the summary of all rows, from which the baseline is
fitted (:func:`fit_arguments`).

What a summary keeps. Every row is laid out as fixed-width content bytes: the
*narrow* fields (feature cells and response lengths as little-endian float64,
confidences as float64, correctness flags as one byte, in that order) and the
*wide* ones (the embeddings, answer embeddings and query embeddings as
little-endian float32; an embedding column that is the query column is stored
once). NaN is written as the one quiet NaN, so that every reader gives the same
bytes. The row's priority is ``_engine.row_priorities`` of all its content bytes
under the seed: it depends on nothing but the row and the seed. A partition
keeps the narrow bytes of its ``k_narrow`` rows of smallest priority and the
wide bytes of its ``k_wide`` rows of smallest priority; merging keeps the
global k smallest of each. Ties of priority are broken by the content bytes,
so the kept rows and their order (the *canonical order*: priority, then bytes)
are a function of the set of rows alone, never of the files, their order, the
partitioning or the workers.

``k_narrow`` is the memory budget (:data:`DEFAULT_BUDGET` bytes, 256 MiB) over
the narrow row width: below it every row is kept, so the feature columns,
response lengths and confidences of the baseline are exact; beyond it they are
the bottom-k sample (a budget below a test's row cap tests fewer rows). ``k_wide`` is
the largest row cap of the dimensions that
read wide fields (4,000 embeddings for the O(n^2) embedding statistic, 10,000
answer embeddings, 50,000 queries for k-means, see
:mod:`morvanta.dimensions`): the embedding rows are always the sample, each
part taking its own cap's prefix of the canonical order. A test of the fitted
baseline reads the first ``cap`` rows of each part, again a prefix.

Categorical features. A row's narrow bytes end with one field per categorical
column: the first 8 bytes of the SHA-256 of its value's UTF-8 text (all ones
for a missing cell), so the row's priority and its canonical place depend on
its categories too, never on how a partition happened to number them. A
summary carries each column's table (value -> rows, None -> missing rows),
which merge exactly by adding; a column whose values seen exceed
:data:`MAX_CATEGORIES` is an id or free text and keeps no table (the same
decision whatever the partitioning: distinct values only grow by merging).
The fit turns the kept rows' hashes back into values through the table.
"""

from __future__ import annotations

import glob
import math
import os
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from .. import _engine
from ..dimensions import DIMENSION_OF_FIELD, REGISTRY, WINDOW_FIELDS
from ..io.cells import LogError, Origin
from ..io.log import LOG_SUFFIXES, LengthUnit, LogColumns, RequestLog, log_of, read_table

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

__all__ = ["DEFAULT_BUDGET", "Layout", "Summary", "Task", "expand_sources", "tasks_of", "summarise",
           "summarise_log", "merge", "merge_all", "row_bytes", "priorities", "canonical_order", "fit_arguments"]

#: Bytes of narrow rows (features, lengths, confidences, flags) a fit keeps
#: exactly; beyond it they are the bottom-k sample of that many bytes.
DEFAULT_BUDGET = 256 * 2**20

#: Parts laid out as float64/bool rows, and parts laid out as float32 embeddings.
NARROW = ("features", "response_lengths", "confidences", "correct")
WIDE = ("embeddings", "response_embeddings", "queries")
_QUIET_NAN = float("nan")
#: Distinct values a categorical column may hold in a summary; beyond, it is an id or free text.
MAX_CATEGORIES = 100_000
_MISSING_HASH = (1 << 64) - 1
_HASH_CHUNK = 64 * 2**20  # bytes of rows handed to the hash at once


@dataclass(frozen=True)
class Layout:
    """The fields of a row's content bytes: the parts present, their widths, the feature names."""

    parts: tuple[str, ...]
    feature_names: tuple[str, ...]
    widths: tuple[tuple[str, int], ...]  # (embedding part, width)
    shared_embeddings: bool  # the embeddings are the query column
    categories: tuple[tuple[str, bool], ...] = ()  # (name, declared) of each categorical column

    def width(self, part: str) -> int:
        return dict(self.widths)[part]

    def narrow(self) -> list[tuple[str, str, int]]:
        """(part, dtype, values per row) of the narrow fields, in their byte order."""
        out = []
        for p in NARROW:
            if p in self.parts:
                n = len(self.feature_names) if p == "features" else 1
                out.append((p, "|u1" if p == "correct" else "<f8", n))
        if self.categories:
            out.append(("categories", "<u8", len(self.categories)))
        return out

    def wide(self) -> list[tuple[str, str, int]]:
        out = []
        for p in WIDE:
            if p in self.parts and not (p == "embeddings" and self.shared_embeddings):
                out.append((p, "<f4", self.width(p)))
        return out

    def describe(self) -> str:
        return ", ".join(self.parts) + "".join(f", categorical '{n}'" for n, _ in self.categories)


def _size(fields: Sequence[tuple[str, str, int]]) -> int:
    return sum(n * (1 if dt == "|u1" else 4 if dt == "<f4" else 8) for _, dt, n in fields)


def row_bytes(layout: Layout) -> tuple[int, int]:
    """The narrow and the wide byte width of a row."""
    return _size(layout.narrow()), _size(layout.wide())


@dataclass
class Summary:
    """The bottom-k rows of some partitions: what merging needs, nothing more.

    ``narrow``/``wide``: (priorities as uint64, content bytes as a rows x width
    uint8 array), in canonical order. ``seen``: rows summarised. ``latest``: the
    largest timestamp seen (None without timestamps). ``sources``: a label of
    one partition, for messages. ``counts``: category tables, merged by adding.
    """

    layout: Layout
    k_narrow: int
    k_wide: int
    seen: int
    narrow: tuple[Any, Any]
    wide: tuple[Any, Any]
    latest: float | None
    source: str
    counts: dict[str, dict[Any, int]] = field(default_factory=dict)
    too_many: tuple[str, ...] = ()  # categorical columns beyond MAX_CATEGORIES values (no table kept)

    @property
    def nbytes(self) -> int:
        return sum(int(a.nbytes) for pair in (self.narrow, self.wide) for a in pair)


# ------------------------------------------------------------------ sources


@dataclass(frozen=True)
class Task:
    """One partition to summarise: a whole file, or one row group of a Parquet file."""

    path: str
    row_group: int | None = None
    first_row: int = 0  # rows of the file before this row group (row numbers in messages)

    @property
    def label(self) -> str:
        return self.path if self.row_group is None else f"{self.path} (row group {self.row_group})"


def expand_sources(sources: Any) -> list[str]:
    """The log files of ``sources``: a path, a glob pattern, a directory (its Parquet files, recursively)
    or a list of these; sorted by path, each once. LogError when a pattern or directory holds none."""
    items = [sources] if isinstance(sources, (str, os.PathLike)) else list(sources)
    if not items:
        raise LogError("no log given to fit the baseline from")
    out: list[str] = []
    for item in items:
        p = os.fspath(item)
        if os.path.isdir(p):
            found = sorted(f for f in glob.glob(os.path.join(glob.escape(p), "**", "*"), recursive=True)
                           if os.path.splitext(f)[1].lower() in (".parquet", ".pq") and os.path.isfile(f))
            if not found:
                raise LogError(f"'{p}': a directory without Parquet files (*.parquet)")
            out += found
        elif glob.has_magic(p) and not os.path.exists(p):
            found = sorted(f for f in glob.glob(p, recursive=True) if os.path.isfile(f))
            if not found:
                raise LogError(f"'{p}': no file matches the pattern")
            out += found
        else:
            if not os.path.exists(p):
                raise LogError(f"cannot read '{p}': No such file or directory")
            out.append(p)
    return sorted(dict.fromkeys(out))


def tasks_of(paths: Iterable[str]) -> list[Task]:
    """One task per row group of each Parquet file and per other file."""
    out: list[Task] = []
    for path in paths:
        if os.path.splitext(path)[1].lower() in (".parquet", ".pq"):
            from ..io.parquet import read_parquet  # noqa: F401  (the error for a missing pyarrow)

            try:
                import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]
            except ImportError:
                raise LogError(f"reading '{path}' needs pyarrow, which is not installed (pip install pyarrow)"
                               ) from None
            try:
                meta = pq.ParquetFile(path).metadata
            except Exception as err:  # pyarrow's errors for a damaged file
                raise LogError(f"cannot read '{path}' as Parquet: {err}") from None
            first = 0
            for g in range(meta.num_row_groups):
                rows = meta.row_group(g).num_rows
                if rows:
                    out.append(Task(path, g, first))
                first += rows
        elif os.path.splitext(path)[1].lower() in LOG_SUFFIXES + (".json",):
            out.append(Task(path))
        else:
            raise LogError(f"'{path}': unsupported log format (use {', '.join(LOG_SUFFIXES)})")
    return out


def read_task(task: Task, columns: LogColumns, length: LengthUnit) -> RequestLog:
    """The requests of one partition; messages name the file and the row within the file."""
    if task.row_group is None:
        return log_of(read_table(task.path), columns, length)
    import numpy as np
    import pyarrow.parquet as pq

    from ..io.parquet import arrow_table

    try:
        table = pq.ParquetFile(task.path).read_row_group(task.row_group)
    except Exception as err:
        raise LogError(f"cannot read '{task.path}' as Parquet: {err}") from None
    origin = Origin(task.path, index=np.arange(task.first_row + 1, task.first_row + 1 + table.num_rows))
    return log_of(arrow_table(origin, table), columns, length)


# ------------------------------------------------------------------ rows and priorities


def _layout(log: RequestLog) -> Layout:
    parts = tuple(p for p in WINDOW_FIELDS
                  if (getattr(log, p) is not None if p != "features"
                      else bool(log.feature_names) or bool(log.categories)))
    widths = tuple((p, int(getattr(log, p).shape[1])) for p in WIDE if p in parts)
    shared = log.embeddings is not None and log.embeddings is log.queries
    return Layout(parts, tuple(log.feature_names), widths, shared,
                  tuple((c.name, bool(c.declared)) for c in log.categories))


def value_hash(value: str) -> int:
    """The 8-byte field of a category value in a row's content bytes."""
    import hashlib

    return int.from_bytes(hashlib.sha256(value.encode("utf-8")).digest()[:8], "little")


def _category_hashes(log: RequestLog) -> Any:
    import numpy as np

    out = np.empty((log.n_rows, len(log.categories)), dtype="<u8")
    for j, c in enumerate(log.categories):
        table = np.array([value_hash(v) for v in c.values] + [_MISSING_HASH], dtype="<u8")
        out[:, j] = table[np.where(c.codes < 0, len(c.values), c.codes)]
    return out


def _bytes_of(values: Any, dtype: str, n: int, rows: int) -> Any:
    import numpy as np

    a = np.asarray(values)
    if dtype == "|u1":
        return np.ascontiguousarray(a, dtype=np.uint8).reshape(rows, n)
    a = np.array(a, dtype=dtype, order="C", copy=True).reshape(rows, n)
    if a.dtype.kind == "f":
        a[np.isnan(a)] = _QUIET_NAN  # one bit pattern for every NaN a reader may give
    return a.view(np.uint8).reshape(rows, -1)


def _pack(log: RequestLog, fields: Sequence[tuple[str, str, int]], width: int) -> Any:
    import numpy as np

    out = np.empty((log.n_rows, width), dtype=np.uint8)
    at = 0
    for p, dt, n in fields:
        b = _bytes_of(_category_hashes(log) if p == "categories" else getattr(log, p), dt, n, log.n_rows)
        out[:, at:at + b.shape[1]] = b
        at += b.shape[1]
    return out


def priorities(rows: Any, seed: int) -> NDArray[numpy.uint64]:
    """The priority of each row of a rows x width uint8 array (see :mod:`morvanta.engines.partitioned`)."""
    import numpy as np

    rows = np.asarray(rows, dtype=np.uint8)
    n, width = rows.shape
    out: NDArray[numpy.uint64] = np.empty(n, dtype=np.uint64)
    step = max(1, _HASH_CHUNK // max(width, 1))  # a bounded copy of the rows at a time
    for i in range(0, n, step):
        block = rows[i:i + step]
        out[i:i + len(block)] = np.frombuffer(_engine.row_priorities(block.tobytes(), width, len(block), seed),
                                              dtype="<u8")
    return out


def canonical_order(prio: Any, rows: Any) -> NDArray[numpy.intp]:
    """Indices ordering rows by priority, ties broken by their content bytes."""
    import numpy as np

    order = np.argsort(prio, kind="stable")
    p = prio[order]
    same = np.flatnonzero(p[1:] == p[:-1])
    if same.size:  # equal priorities: (nearly always) identical rows; ordered by bytes all the same
        starts = same[np.r_[True, np.diff(same) > 1]]
        for s in starts:
            e = s + 1
            while e < len(p) and p[e] == p[s]:
                e += 1
            run = order[s:e]
            order[s:e] = sorted(run.tolist(), key=lambda i: bytes(rows[i]))
    return order


def _bottom(prio: Any, rows: Any, k: int) -> tuple[Any, Any]:
    """The k rows of smallest (priority, bytes), in that order."""
    import numpy as np

    if len(prio) > k:
        if k == 0:
            return prio[:0], rows[:0]
        kth = np.partition(prio, k - 1)[k - 1]
        pick = np.flatnonzero(prio <= kth)
        prio, rows = prio[pick], rows[pick]
    order = canonical_order(prio, rows)[:k]
    return np.ascontiguousarray(prio[order]), np.ascontiguousarray(rows[order])


def _caps(layout: Layout, max_rows: int | None) -> dict[str, int]:
    """The row cap of the dimension (form) each part feeds: the rows its test reads."""
    if max_rows is not None:
        return {p: max_rows for p in layout.parts}
    out = {}
    for p in layout.parts:
        dim = REGISTRY[DIMENSION_OF_FIELD[p]]
        # The richest form the parts allow, as Baseline.test uses.
        form = max((f for f in dim.forms if all(q in layout.parts for q in f.parts)), key=lambda f: f.per_side)
        out[p] = dim.cap(form.method)
    return out


def _ks(layout: Layout, budget: int, max_rows: int | None) -> tuple[int, int]:
    nb, _ = row_bytes(layout)
    caps = _caps(layout, max_rows)
    k_narrow = 0 if nb == 0 else max(1, budget // nb)
    k_wide = max((caps[p] for p in WIDE if p in layout.parts), default=0)
    return k_narrow, k_wide


def summarise_log(log: RequestLog, *, budget: int = DEFAULT_BUDGET, seed: int = 0, source: str | None = None,
                  max_rows: int | None = None) -> Summary:
    """The summary of one partition's requests."""
    import numpy as np

    layout = _layout(log)
    if not layout.parts:
        raise LogError(f"'{log.source}': no column the baseline could use (no feature, embedding, response, "
                       "confidence or query column)")
    nb, wb = row_bytes(layout)
    narrow = _pack(log, layout.narrow(), nb)
    wide = _pack(log, layout.wide(), wb)
    prio = priorities(np.concatenate([narrow, wide], axis=1) if wb and nb else (narrow if nb else wide), seed)
    k_narrow, k_wide = _ks(layout, budget, max_rows)
    latest = None
    if log.timestamps is not None and len(log.timestamps):
        finite = log.timestamps[np.isfinite(log.timestamps)]
        latest = float(finite.max()) if finite.size else None
    counts: dict[str, dict[Any, int]] = {}
    too_many = []
    for c in log.categories:
        table: dict[Any, int] = {v: int(n) for v, n in zip(c.values, c.counts().tolist()) if n}
        if c.missing():
            table[None] = c.missing()
        if len(table) > MAX_CATEGORIES:
            too_many.append(c.name)
        else:
            counts[c.name] = table
    return Summary(layout, k_narrow, k_wide, log.n_rows, _bottom(prio, narrow, k_narrow),
                   _bottom(prio, wide, k_wide), latest, source or log.source, counts, tuple(too_many))


def summarise(task: Task, columns: LogColumns, length: LengthUnit, budget: int, seed: int,
              max_rows: int | None = None) -> Summary:
    """Reads and summarises one partition (runs on a worker)."""
    return summarise_log(read_task(task, columns, length), budget=budget, seed=seed, source=task.label,
                         max_rows=max_rows)


def _differ(a: Summary, b: Summary) -> str | None:
    la, lb = a.layout, b.layout
    if la.parts != lb.parts:
        return f"the parts differ ({la.describe()} against {lb.describe()})"
    if la.feature_names != lb.feature_names:
        only_a = [n for n in la.feature_names if n not in lb.feature_names]
        only_b = [n for n in lb.feature_names if n not in la.feature_names]
        what = f"features only in the first: {only_a[:5]}, only in the second: {only_b[:5]}" if only_a or only_b \
            else "the feature columns are in another order"
        return what
    if la.widths != lb.widths:
        return f"the embedding widths differ ({dict(la.widths)} against {dict(lb.widths)})"
    if la.shared_embeddings != lb.shared_embeddings:
        return "one has an embedding column of its own, the other uses the query embeddings"
    if la.categories != lb.categories:
        return (f"the categorical columns differ ({[n for n, _ in la.categories]} against "
                f"{[n for n, _ in lb.categories]}, or one declares whole numbers the other holds as text)")
    return None


def merge(a: Summary, b: Summary) -> Summary:
    """The summary of the rows of both: the k smallest of each group, in canonical order."""
    import numpy as np

    why = _differ(a, b)
    if why is not None:
        raise LogError(f"'{a.source}' and '{b.source}' cannot make one baseline: {why}")
    if (a.k_narrow, a.k_wide) != (b.k_narrow, b.k_wide):
        raise ValueError("summaries made with different budgets cannot merge")
    narrow = _bottom(np.concatenate([a.narrow[0], b.narrow[0]]), np.concatenate([a.narrow[1], b.narrow[1]]),
                     a.k_narrow)
    wide = _bottom(np.concatenate([a.wide[0], b.wide[0]]), np.concatenate([a.wide[1], b.wide[1]]), a.k_wide)
    latest = max((x for x in (a.latest, b.latest) if x is not None), default=None)
    too_many = set(a.too_many) | set(b.too_many)
    counts: dict[str, dict[Any, int]] = {c: dict(t) for c, t in a.counts.items() if c not in too_many}
    for col, table in b.counts.items():  # category tables add up exactly
        if col in too_many:
            continue
        mine = counts.setdefault(col, {})
        for value, n in table.items():
            mine[value] = mine.get(value, 0) + n
        if len(mine) > MAX_CATEGORIES:
            too_many.add(col)
            del counts[col]
    order = [n for n, _ in a.layout.categories]
    return Summary(a.layout, a.k_narrow, a.k_wide, a.seen + b.seen, narrow, wide, latest, a.source, counts,
                   tuple(n for n in order if n in too_many))


def merge_all(summaries: Iterable[Summary]) -> Summary:
    """All summaries merged (in any order: the result is the same)."""
    out: Summary | None = None
    for s in summaries:
        out = s if out is None else merge(out, s)
    if out is None:
        raise LogError("no rows to fit the baseline from (every partition is empty)")
    return out


# ------------------------------------------------------------------ the fit


def _unpack(rows: Any, fields: Sequence[tuple[str, str, int]]) -> dict[str, Any]:
    import numpy as np

    out: dict[str, Any] = {}
    at = 0
    n = rows.shape[0]
    for p, dt, k in fields:
        size = k * (1 if dt == "|u1" else 4 if dt == "<f4" else 8)
        chunk = np.ascontiguousarray(rows[:, at:at + size])
        at += size
        if dt == "|u1":
            out[p] = chunk.reshape(n).astype(bool)
        elif dt == "<u8":
            out[p] = chunk.view("<u8").reshape(n, k)
        else:
            values = chunk.view(dt).reshape(n, k)
            out[p] = np.ascontiguousarray(values, dtype=np.float64 if dt == "<f8" else np.float32)
            if p != "features" and dt == "<f8":
                out[p] = out[p].reshape(n)
    return out


def window_of(summary: Summary, max_rows: int | None = None) -> dict[str, Any]:
    """The parts of the fitted window, rows in canonical order; wide parts cut to their caps."""
    layout = summary.layout
    out = _unpack(summary.narrow[1], layout.narrow())
    wide = _unpack(summary.wide[1], layout.wide())
    caps = _caps(layout, max_rows)
    for p in WIDE:
        if p in layout.parts:
            src = wide["queries" if p == "embeddings" and layout.shared_embeddings else p]
            out[p] = src[:caps[p]]
    if "features" in out:
        import numpy as np

        out["features"] = np.asfortranarray(out["features"])
    return {p: out[p] for p in layout.parts}


def fit_arguments(summary: Summary, *, seed: int, captured_at: int | None, detectors: Mapping[str, Any],
                  max_rows: int | None = None) -> dict[str, Any]:
    """The arguments of ``Baseline._fit`` for a merged summary (see :meth:`~morvanta.Baseline.fit_partitions`)."""
    window = window_of(summary, max_rows)
    seen = {p: summary.seen for p in summary.layout.parts}
    names = list(summary.layout.feature_names) if "features" in window else None
    return {**window, "feature_names": names, **detectors, "sample_seed": seed, "captured_at": captured_at,
            "rows_seen": seen, "max_rows": max_rows, "category_tables": category_tables(summary)}


def category_tables(summary: Summary) -> tuple[Any, ...]:
    """The categorical columns' tables of a merged summary, codes for every narrow row it kept (in
    canonical order; the fit keeps the codes of the rows it keeps)."""
    from .baseline_categories import merged_table

    layout = summary.layout
    if not layout.categories:
        return ()
    hashes = _unpack(summary.narrow[1], layout.narrow())["categories"]
    out = []
    for j, (name, declared) in enumerate(layout.categories):
        if name in summary.too_many:
            out.append(merged_table(name, {}, 0, declared, [], f"more than {MAX_CATEGORIES:,} distinct values "
                                    "in the baseline rows (an id or free text)"))
            continue
        table = summary.counts.get(name, {})
        missing = table.get(None, 0)
        counts = {v: n for v, n in table.items() if v is not None}
        value_of: dict[int, str | None] = {_MISSING_HASH: None}
        for v in counts:
            h = value_hash(v)
            if h in value_of:
                raise LogError(f"categorical column '{name}': values {value_of[h]!r} and {v!r} share a hash; "
                               "cannot fit this column from partitions")
            value_of[h] = v
        out.append(merged_table(name, counts, missing, declared, [value_of[int(h)] for h in hashes[:, j]]))
    return tuple(out)


def run_local(tasks: Sequence[Task], summarise_one: Callable[[Task], Summary]) -> Summary:
    """Summaries made here, one partition at a time, merged as they come (one partition in memory)."""
    return merge_all(summarise_one(t) for t in tasks)


def latest_second(summary: Summary) -> int | None:
    """The latest timestamp of the rows seen, in whole seconds (None without timestamps)."""
    return None if summary.latest is None else int(math.floor(summary.latest))


def _client(scheduler: Any) -> tuple[Any, bool]:
    """(client, made here) of a ``distributed.Client`` or a scheduler address."""
    if isinstance(scheduler, str):
        from .._optional import require

        require("distributed", "fitting on a Dask cluster")
        from distributed import Client

        return Client(scheduler), True  # type: ignore[no-untyped-call, unused-ignore]
    if not (hasattr(scheduler, "submit") and hasattr(scheduler, "map")):
        raise TypeError(f"argument 'scheduler': expected a distributed.Client or a scheduler address, "
                        f"got {type(scheduler).__name__}")
    return scheduler, False


def _merge_maybe(a: Summary | None, b: Summary | None) -> Summary | None:
    if a is None:
        return b
    return a if b is None else merge(a, b)


def _tree(items: list[Any], combine: Callable[[Any, Any], Any]) -> Any:
    """Pairwise merges level by level (any grouping gives the same summary; this one keeps the graph shallow)."""
    while len(items) > 1:
        nxt = [combine(items[i], items[i + 1]) for i in range(0, len(items) - 1, 2)]
        if len(items) % 2:
            nxt.append(items[-1])
        items = nxt
    return items[0]


def _summarise_frame(frame: Any, i: int, columns: LogColumns, length: LengthUnit, budget: int, seed: int,
                     max_rows: int | None) -> Summary | None:
    """The summary of one pandas partition of a Dask DataFrame (None when it holds no rows)."""
    if len(frame) == 0:
        return None
    from ..io.frames import pandas_table

    table = pandas_table(frame, Origin("sources", index=frame.index, argument=True))
    log = log_of(table, columns, length, row_index=False)
    return summarise_log(log, budget=budget, seed=seed, source=f"partition {i}", max_rows=max_rows)


def summarise_sources(sources: Any, *, columns: LogColumns | None, length: LengthUnit | None, budget: int,
                      seed: int, scheduler: Any = None, max_rows: int | None = None) -> Summary:
    """The merged summary of every partition of ``sources`` (see :meth:`Baseline.fit_partitions`)."""
    import sys

    cols = columns if columns is not None else LogColumns()
    if not isinstance(cols, LogColumns):
        raise TypeError(f"argument 'columns': expected a LogColumns, got {type(cols).__name__}")
    unit: LengthUnit = length if length is not None else cols.length
    if unit not in ("chars", "words"):
        raise ValueError(f"argument 'length': expected 'chars' or 'words', got {unit!r}")
    dd = sys.modules.get("dask.dataframe")
    if dd is not None and isinstance(sources, dd.DataFrame):
        from dask.delayed import delayed

        parts = [delayed(_summarise_frame)(p, i, cols, unit, budget, seed, max_rows)
                 for i, p in enumerate(sources.to_delayed())]
        graph = _tree(parts, lambda a, b: delayed(_merge_maybe)(a, b))
        if scheduler is not None:
            client, mine = _client(scheduler)
            try:
                out = client.compute(graph).result()
            finally:
                if mine:
                    client.close()
        else:
            out = graph.compute()
        if out is None:
            raise LogError("argument 'sources': the frame has no rows to fit the baseline from")
        return out  # type: ignore[no-any-return]
    tasks = tasks_of(expand_sources(sources))
    if not tasks:
        raise LogError("no rows to fit the baseline from (every file is empty)")
    if scheduler is None:
        return run_local(tasks, lambda t: summarise(t, cols, unit, budget, seed, max_rows))
    client, mine = _client(scheduler)
    try:
        futures = client.map(summarise, tasks, columns=cols, length=unit, budget=budget, seed=seed,
                             max_rows=max_rows, pure=False)
        final = _tree(list(futures), lambda a, b: client.submit(merge, a, b, pure=False))
        out = final.result()
        del futures, final
        return out  # type: ignore[no-any-return]
    finally:
        if mine:
            client.close()


def sample_note(sample: Mapping[str, Any] | None, sizes: Mapping[str, int]) -> str | None:
    """One sentence saying how a baseline fitted from partitions was sampled (None when it kept every
    row it saw and tests all of them, or was fitted in memory)."""
    if sample is None:
        return None
    kept, seed = sample["kept"], sample["seed"]
    tested = [p for p in sizes if kept[p] < sizes[p]]
    if sample.get("order") != "priority":
        return None  # every row fitted; a test's uniform sample is reported by the test itself
    seen = sample["rows_seen"]
    n_seen = max(seen.values(), default=0)
    cut = [p for p in sizes if sizes[p] < seen.get(p, sizes[p])]
    if cut:
        held = (f"a bottom-k sample (seed {seed}) of the {n_seen:,} rows seen: "
                + ", ".join(f"{p} {sizes[p]:,}" for p in cut) + " rows by row priority"
                + ("; every row of " + ", ".join(p for p in sizes if p not in cut) if len(cut) < len(sizes) else ""))
    else:
        held = f"every one of the {n_seen:,} rows seen, in row-priority order (seed {seed})"
    text = f"the baseline holds {held}"
    if tested:
        text += "; tests read the first " + ", ".join(f"{kept[p]:,} {p}" for p in tested) + " rows of that order"
    return text

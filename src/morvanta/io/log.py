"""Request logs of a QA pipeline: one row per request, read into detector inputs.

A log is a Parquet, CSV/TSV or JSON Lines file, or (from Python) a pandas or
polars DataFrame, a pyarrow Table or a dict of columns. Columns are found by
their conventional names, each optional:

- ``query_embedding``, ``response_embedding``: list/array columns of finite numbers;
- ``embedding``: another embedding column for the embedding dimension (e.g. the
  retrieved context); without it the embedding dimension uses the query embeddings;
- ``response_length`` or ``response`` (text, measured in characters or in
  whitespace-separated words);
- ``query`` and ``response`` text: kept as written, so that a local sentence-embedding
  model (``embed=``, see :mod:`morvanta.engines.text`) can stand in for missing
  ``query_embedding`` and ``response_embedding`` columns;
- ``confidence`` (a number in [0, 1]) and ``correct`` (true/false, yes/no or 1/0);
- ``timestamp`` (see :mod:`morvanta.io.timestamps`: a datetime column, ISO 8601
  text, or seconds, milliseconds, microseconds or nanoseconds since the epoch);
- every other numeric or boolean column is a feature of the data dimension, and
  every other text column (strings, pandas categoricals, Arrow dictionaries) a
  categorical feature, as is a column of whole numbers declared ``categorical``
  (see :mod:`morvanta.io.categories`).

Cells are read the same way from every source (see :mod:`morvanta.io.cells`):
a column of numbers with a stray word in it is an error, not text. The row
index pandas writes with a frame is dropped with a note. The names can be
changed with :class:`LogColumns` or a TOML file (``[columns]`` table, see
:func:`load_config`); a role named explicitly must be in the log. Every problem
is raised as :class:`LogError`, one line naming the file, the column and, where
known, the row (counted from 1, the first request) or the line of a text file.
Two logs to be compared go through :func:`match_logs`.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Mapping
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any, Literal

from ..dimensions import ROLES
from .categories import CategoryColumn, category_column
from .cells import FALSE_WORDS, TRUE_WORDS, Column, LogError, Origin, Table, drop_row_index, show
from .timestamps import to_seconds

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

__all__ = ["LogError", "LogColumns", "RequestLog", "ColumnKind", "read_log", "match_logs", "load_config",
           "LOG_SUFFIXES", "read_table", "log_of"]

LOG_SUFFIXES = (".parquet", ".pq", ".csv", ".tsv", ".jsonl", ".ndjson")
LengthUnit = Literal["chars", "words"]
# Kinds a feature column may have: numbers, flags, or nothing but missing cells.
_FEATURE_KINDS = ("number", "flag", "empty")


@dataclass(frozen=True)
class LogColumns:
    """Which column plays which role; ``None`` switches a role off.

    A role given another name than its own is named explicitly: the log must
    have that column. ``features`` lists the feature columns explicitly
    (default: every numeric or boolean column without another role, minus
    ``exclude``). ``length`` says how a ``response`` text column is measured:
    "chars" or "words". ``categorical`` names columns read as categories even
    when they hold numbers (integer codes of a route, a model version, ...).
    """

    query_embedding: str | None = "query_embedding"
    response_embedding: str | None = "response_embedding"
    embedding: str | None = "embedding"
    response_length: str | None = "response_length"
    response: str | None = "response"
    confidence: str | None = "confidence"
    correct: str | None = "correct"
    timestamp: str | None = "timestamp"
    query: str | None = "query"
    features: tuple[str, ...] | None = None
    exclude: tuple[str, ...] = ()
    length: LengthUnit = "chars"
    categorical: tuple[str, ...] = ()

    def roles(self) -> dict[str, str]:
        """Role name -> column name, for the roles switched on."""
        return {r: getattr(self, r) for r in ROLES if getattr(self, r) is not None}

    def named(self) -> frozenset[str]:
        """The roles given a column name other than their own."""
        return frozenset(r for r, c in self.roles().items() if c != r)


@dataclass(frozen=True)
class ColumnKind:
    """What a column of a log holds: "number", "flag", "text", "vector", "time",
    "empty" or "other"; for text, where its first cell that is not a number is
    (``"line 5"``, ``"row 4"``) and that cell."""

    kind: str
    first_text: str | None = None
    text: str | None = None


@dataclass(frozen=True)
class RequestLog:
    """The detector inputs of one log (or one window of it); row i of every array is request i.

    Embeddings are float32 (converted explicitly when the log held another type;
    ``notes`` says so), features float64 in column order ``feature_names`` (NaN for
    missing cells), timestamps float64 seconds since the Unix epoch.
    ``kinds`` says what each column of the log holds, ``roles`` which column fed
    each role (``response_length`` or ``response`` for the lengths) and
    ``named`` which roles were named explicitly; :func:`match_logs` compares them.
    ``query_texts`` and ``response_texts`` hold the ``query`` and ``response`` text
    columns (object arrays of str, None for a missing cell) for embedding;
    ``embedded`` names the embedding roles filled from text and the model that did it.
    ``categories`` are the categorical feature columns, row-aligned with the rest.
    """

    source: str
    n_rows: int
    features: NDArray[numpy.float64]
    feature_names: list[str]
    queries: NDArray[numpy.float32] | None = None
    embeddings: NDArray[numpy.float32] | None = None
    embedding_column: str | None = None
    response_embeddings: NDArray[numpy.float32] | None = None
    response_lengths: NDArray[numpy.float64] | None = None
    length_column: str | None = None
    confidences: NDArray[numpy.float64] | None = None
    correct: NDArray[numpy.bool_] | None = None
    timestamps: NDArray[numpy.float64] | None = None
    notes: tuple[str, ...] = field(default=())
    query_texts: NDArray[numpy.object_] | None = field(default=None, repr=False, compare=False)
    response_texts: NDArray[numpy.object_] | None = field(default=None, repr=False, compare=False)
    embedded: Mapping[str, str] = field(default_factory=dict, compare=False)
    kinds: Mapping[str, ColumnKind] = field(default_factory=dict, repr=False, compare=False)
    roles: Mapping[str, str] = field(default_factory=dict, compare=False)
    named: frozenset[str] = field(default=frozenset(), compare=False)
    origin: Origin | None = field(default=None, repr=False, compare=False)
    categories: tuple[CategoryColumn, ...] = field(default=(), compare=False)

    @property
    def category_names(self) -> list[str]:
        return [c.name for c in self.categories]

    def take(self, rows: Any) -> RequestLog:
        """The requests ``rows`` (a slice or an index array) as a new log with the same columns."""
        import numpy as np

        def cut(a: Any) -> Any:
            return None if a is None else a[rows]

        features = np.asfortranarray(self.features[rows])
        queries = cut(self.queries)
        embeddings = queries if self.embeddings is self.queries else cut(self.embeddings)
        return replace(
            self,
            n_rows=int(features.shape[0]),
            features=features,
            queries=queries,
            embeddings=embeddings,
            response_embeddings=cut(self.response_embeddings),
            response_lengths=cut(self.response_lengths),
            confidences=cut(self.confidences),
            correct=cut(self.correct),
            timestamps=cut(self.timestamps),
            query_texts=cut(self.query_texts),
            response_texts=cut(self.response_texts),
            categories=tuple(c.take(rows) for c in self.categories),
        )

    def _error(self, column: str | None, message: str, where: str | None = None) -> LogError:
        origin = self.origin if self.origin is not None else Origin(self.source)
        return origin.error(column, message, where=where)


# ------------------------------------------------------------------ sources


def read_table(source: Any, name: str | None = None) -> Table:
    """The raw columns of ``source`` (a path, a DataFrame, an Arrow table or a dict of columns)."""
    if isinstance(source, (str, os.PathLike)):
        path = os.fspath(source)
        suffix = os.path.splitext(path)[1].lower()
        if not os.path.exists(path):
            raise LogError(f"cannot read '{path}': No such file or directory")
        if suffix in (".parquet", ".pq"):
            from .parquet import read_parquet_table

            return read_parquet_table(path)
        if suffix in (".csv", ".tsv"):
            from .csvfile import read_csv

            return read_csv(path, "\t" if suffix == ".tsv" else ",")
        if suffix in (".jsonl", ".ndjson", ".json"):
            from .jsonl import read_jsonl

            return read_jsonl(path)
        raise LogError(f"'{path}': unsupported log format (use {', '.join(LOG_SUFFIXES)})")
    label = name or "log"
    origin = Origin(label)
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(source, pd.DataFrame):
        from .frames import pandas_table

        return pandas_table(source, origin)
    pl = sys.modules.get("polars")
    if pl is not None and isinstance(source, pl.DataFrame):
        from .frames import polars_table

        return polars_table(source, origin)
    pa = sys.modules.get("pyarrow")
    if pa is not None and isinstance(source, pa.Table):
        from .parquet import arrow_table

        return arrow_table(origin, source)
    if isinstance(source, Mapping):
        from .frames import mapping_table

        return mapping_table(source, origin)
    raise TypeError(
        f"argument '{label}': expected a path to a .parquet/.csv/.jsonl log, a pandas or polars DataFrame, "
        f"a pyarrow Table or a dict of columns, got {type(source).__name__}"
    )


# ------------------------------------------------------------------ roles


def _text_cell(col: Column, row: int) -> str:
    v = col.values[row]
    return v.strip() if isinstance(v, str) else str(v)


def _not_numbers(origin: Origin, col: Column, what: str = "numbers") -> LogError:
    """The error for a column that should hold ``what`` and does not; names the first bad cell of text."""
    if col.kind == "text" and col.first_text is not None:
        row = col.first_text
        return origin.error(col.name, f"expected a number, got {show(_text_cell(col, row))}", row)
    return origin.error(col.name, f"expected {what}, got {col.dtype} values")


def _embedding(origin: Origin, col: Column, notes: list[str]) -> NDArray[numpy.float32]:
    import numpy as np

    name = col.name
    if col.kind == "empty":
        raise origin.error(name, "missing embedding", 0 if len(col.values) else None)
    if col.kind != "vector":
        raise origin.error(name, f"expected an embedding (a list of numbers per row), got {col.dtype} values")
    arr = col.matrix()
    bad = _not_finite_rows(arr)
    if bad.size:
        more = f" (and {bad.size - 1} more rows)" if bad.size > 1 else ""
        raise origin.error(name, f"NaN or infinity in the embedding{more}", int(bad[0]))
    if arr.dtype != np.float32:
        # Explicit and reported: the detectors take float32 and never cast silently.
        notes.append(f"{name}: {arr.dtype} embeddings converted to float32")
        wide = arr
        with np.errstate(over="ignore"):  # found and named just below
            arr = arr.astype(np.float32)
        over = _not_finite_rows(arr)
        if over.size:
            row = int(over[0])
            value = wide[row][~np.isfinite(arr[row])][0].item()
            raise origin.error(name, f"embedding value {value!r} is too large for float32", row)
    return np.ascontiguousarray(arr)


def _not_finite_rows(arr: Any) -> Any:
    """Rows of a 2-D array holding NaN or infinity, ascending. A row sum is finite
    unless the row holds one, or its values overflow the sum; only the rows with a
    non-finite sum are then inspected value by value (a fraction of the memory
    traffic of testing every value)."""
    import numpy as np

    if arr.size == 0:
        return np.empty(0, dtype=np.intp)
    if arr.dtype.kind != "f":
        return np.flatnonzero(~np.isfinite(arr).all(axis=1))
    with np.errstate(over="ignore", invalid="ignore"):
        suspect = np.flatnonzero(~np.isfinite(arr.sum(axis=1)))
    return suspect[~np.isfinite(arr[suspect]).all(axis=1)]


def _numbers(origin: Origin, col: Column) -> NDArray[numpy.float64]:
    if col.kind not in ("number", "empty"):
        raise _not_numbers(origin, col)
    out: NDArray[numpy.float64] = col.values
    return out


def _confidences(origin: Origin, col: Column) -> NDArray[numpy.float64]:
    import numpy as np

    v = _numbers(origin, col)
    bad = np.flatnonzero(~((v >= 0.0) & (v <= 1.0)))
    if bad.size:
        k = int(bad[0])
        more = f" (and {bad.size - 1} more)" if bad.size > 1 else ""
        raise origin.error(col.name, f"confidence {v[k].item()!r} is outside [0, 1]{more}", k)
    return v


def _flags(origin: Origin, col: Column) -> NDArray[numpy.bool_]:
    import numpy as np

    if col.kind == "text":  # words in a typed source: the JSON string "yes"
        words = TRUE_WORDS | FALSE_WORDS
        for i, t in enumerate(col.values):
            if t is None:
                raise origin.error(col.name, "missing", i)
            if t.strip().lower() not in words:
                raise origin.error(col.name, f"not a flag (true/false, yes/no, 1/0): {show(t.strip())}", i)
        return np.array([t.strip().lower() in TRUE_WORDS for t in col.values], dtype=bool)
    if col.kind not in ("flag", "number", "empty"):
        raise origin.error(col.name, f"expected flags (true/false or 1/0), got {col.dtype} values")
    v = col.values
    bad_mask = ~((v == 0) | (v == 1))
    if bad_mask.any():
        row = int(np.flatnonzero(bad_mask)[0])
        what = "missing" if np.isnan(v[row]) else f"not a flag (true/false or 0/1): {v[row].item()!r}"
        raise origin.error(col.name, what, row)
    flags: NDArray[numpy.bool_] = v == 1
    return flags


def _lengths(origin: Origin, col: Column, unit: LengthUnit) -> NDArray[numpy.float64]:
    import numpy as np

    if col.kind == "text":
        texts: list[str | None] = col.values
    elif col.cells is not None:
        texts = [c if c.strip() else None for c in col.cells]  # answers that all look like numbers, in a text file
    else:
        raise origin.error(col.name, f"expected the response text, got {col.dtype} values")
    if unit == "words":
        return np.array([np.nan if t is None else float(len(t.split())) for t in texts], dtype=np.float64)
    return np.array([np.nan if t is None else float(len(t)) for t in texts], dtype=np.float64)


def _is_text(col: Column) -> bool:
    return col.kind == "text" or (col.kind != "empty" and col.cells is not None)


def _texts(origin: Origin, col: Column, role: str) -> NDArray[numpy.object_]:
    """The cells of a text column as written (None where missing), for embedding."""
    import numpy as np

    if col.kind == "text":
        values: list[str | None] = list(col.values)
    elif col.cells is not None:  # a text file's column whose every cell looks like a number
        values = [c if c.strip() else None for c in col.cells]
    elif col.kind == "empty":
        values = [None] * len(col.values)
    else:
        raise origin.error(col.name, f"expected the {role} text, got {col.dtype} values")
    out = np.empty(len(values), dtype=object)
    out[:] = values
    return out


def _kind(origin: Origin, col: Column) -> ColumnKind:
    if col.kind == "text" and col.first_text is not None:
        return ColumnKind("text", origin.where(col.first_text), _text_cell(col, col.first_text))
    return ColumnKind(col.kind)


def log_of(table: Table, columns: LogColumns, length: LengthUnit, row_index: bool = True) -> RequestLog:
    """The detector inputs of the raw columns ``table`` (see :func:`read_log`).

    ``row_index=False`` keeps an unnamed first column (a Dask partition, whose
    index labels continue from the partitions before it).
    """
    import numpy as np

    origin = table.origin
    if row_index:
        drop_row_index(table)
    raw = table.columns
    if table.n_rows == 0:
        raise origin.error(None, "the log has no rows (no requests to compare)")
    roles = columns.roles()
    named = columns.named()
    for role in ROLES:
        if role in named and roles[role] not in raw:
            raise origin.error(roles[role], f"no such column (named for the {role} role)")
    if columns.features is not None:
        for f in columns.features:
            if f not in raw:
                raise origin.error(f, "no such column (listed as a feature)")
    notes = list(table.notes)
    used: dict[str, str] = {}

    def get(role: str) -> Column | None:
        col_name = roles.get(role)
        if col_name is None or col_name not in raw:
            return None
        used[role] = col_name
        return raw[col_name]

    queries = embeddings = response_embeddings = None
    lengths = confidences = correct = timestamps = None
    embedding_column = length_column = None
    if (q := get("query_embedding")) is not None:
        queries = _embedding(origin, q, notes)
    if (e := get("embedding")) is not None:
        embeddings, embedding_column = _embedding(origin, e, notes), e.name
    elif queries is not None:
        embeddings, embedding_column = queries, roles["query_embedding"]
    if (r := get("response_embedding")) is not None:
        response_embeddings = _embedding(origin, r, notes)
    if (ln := get("response_length")) is not None:
        lengths, length_column = _numbers(origin, ln), ln.name
    elif (t := get("response")) is not None:
        lengths, length_column = _lengths(origin, t, length), f"{t.name} ({length})"
    if (c := get("confidence")) is not None:
        confidences = _confidences(origin, c)
    if (ok := get("correct")) is not None:
        correct = _flags(origin, ok)
    if (ts := get("timestamp")) is not None:
        timestamps = to_seconds(origin, ts)
    # Text for a sentence-embedding model, where no column holds the vectors it would give.
    # A column of another kind under the conventional name is left as it was (a feature, say)
    # unless the role was named explicitly.
    query_texts = response_texts = None
    query_col = raw.get(roles.get("query", ""))
    if queries is None and query_col is not None and ("query" in named or _is_text(query_col)):
        used["query"] = query_col.name
        query_texts = _texts(origin, query_col, "query")
    response_col = raw.get(roles.get("response", ""))
    if response_embeddings is None and response_col is not None and _is_text(response_col):
        response_texts = _texts(origin, response_col, "response")

    taken = set(roles.values())
    declared = set(columns.categorical)
    for d in columns.categorical:
        if d not in raw:
            raise origin.error(d, "no such column (declared categorical)")
    if columns.features is not None:
        listed = list(columns.features)
        feature_names = [f for f in listed if f not in declared and raw[f].kind != "text"]
        category_names = [f for f in listed if f in declared or raw[f].kind == "text"]
        category_names += [d for d in columns.categorical if d not in category_names]
        for f in feature_names:
            if raw[f].kind not in _FEATURE_KINDS:
                raise origin.error(f, f"a feature must be numeric, boolean or text, got {raw[f].dtype} values")
    else:
        skip = taken | set(columns.exclude)
        feature_names = [k for k, c in raw.items() if c.kind in _FEATURE_KINDS and k not in skip and k not in declared]
        category_names = [k for k, c in raw.items() if (c.kind == "text" or k in declared) and k not in skip]
        for k, c in raw.items():
            if c.kind == "text" and c.numbers and k not in skip and c.first_text is not None:
                notes.append(f"column '{k}' is read as categories, not numbers: {c.numbers:,} of its cells are "
                             f"numbers, but not the one at {origin.where(c.first_text)}")
    categories = tuple(category_column(origin, raw[k], k in declared) for k in category_names)
    features = np.empty((table.n_rows, len(feature_names)), dtype=np.float64, order="F")
    for j, f in enumerate(feature_names):
        features[:, j] = raw[f].values
    return RequestLog(
        source=origin.label,
        n_rows=table.n_rows,
        features=features,
        feature_names=feature_names,
        queries=queries,
        embeddings=embeddings,
        embedding_column=embedding_column,
        response_embeddings=response_embeddings,
        response_lengths=None if lengths is None else np.asarray(lengths, dtype=np.float64),
        length_column=length_column,
        confidences=confidences,
        correct=correct,
        timestamps=timestamps,
        notes=tuple(notes),
        query_texts=query_texts,
        response_texts=response_texts,
        kinds={k: _kind(origin, c) for k, c in raw.items()},
        roles=used,
        named=named,
        origin=origin,
        categories=categories,
    )


def read_log(
    source: Any,
    *,
    columns: LogColumns | None = None,
    length: LengthUnit | None = None,
    name: str | None = None,
) -> RequestLog:
    """Reads a request log into detector inputs.

    ``source`` is a path (.parquet/.pq, .csv/.tsv, .jsonl/.ndjson), a pandas or
    polars DataFrame, a pyarrow Table or a dict of columns (1-D arrays, 2-D
    arrays for embeddings). ``columns`` renames the roles; ``length`` ("chars" or
    "words", default ``columns.length``) measures a ``response`` text column when
    there is no ``response_length`` column. ``name`` labels a non-file source in
    messages. Raises :class:`LogError` for unreadable input (an empty log
    included), ``TypeError`` for an unsupported ``source``.
    """
    cols = columns if columns is not None else LogColumns()
    unit: LengthUnit = length if length is not None else cols.length
    if unit not in ("chars", "words"):
        raise ValueError(f"argument 'length': expected 'chars' or 'words', got {unit!r}")
    return log_of(read_table(source, name), cols, unit)


# ------------------------------------------------------------------ two logs


def match_logs(base: RequestLog, cur: RequestLog) -> None:
    """Refuses two logs that cannot be compared column for column.

    A role column the baseline has (an embedding, the lengths, confidences,
    correctness flags) missing from the current log would quietly drop or
    change a dimension; a column of numbers in one log and text in the other is
    a broken export on one side. Each stops with one line naming the files, the
    column and, for text, its first cell that is not a number. Timestamps only
    cut windows and are not compared.
    """
    for role, name in base.roles.items():
        # Timestamps only cut windows; query text only feeds a model, which says itself what is missing.
        if role in ("timestamp", "query") or role in cur.roles:
            continue
        how = " named" if role in base.named else ""
        raise cur._error(None, f"no column '{name}' for the{how} {role} role, which the baseline "
                               f"'{base.source}' has (switch the role off to compare without it)")
    # Only a feature of one log can be text in the other: role columns are checked as they are read.
    base_features, cur_features = set(base.feature_names), set(cur.feature_names)
    numeric = ("number", "flag")  # a column with no cell at all says nothing either way
    for name, b in base.kinds.items():
        c = cur.kinds.get(name)
        if c is None:
            continue
        if name in base_features and b.kind in numeric and c.kind == "text":
            text, other, where = cur, base, c
        elif name in cur_features and c.kind in numeric and b.kind == "text":
            text, other, where = base, cur, b
        else:
            continue
        raise text._error(name, f"expected a number, got {show(where.text)} (the column holds numbers in "
                                f"'{other.source}')", where.first_text)


# ------------------------------------------------------------------ configuration


_COLUMN_KEYS = ROLES


def load_config(path: str) -> tuple[LogColumns, dict[str, Any]]:
    """Reads a TOML configuration: the ``[columns]`` table renames roles (a name, or
    ``false`` to ignore the role), lists ``features`` and ``exclude``, and sets
    ``length`` ("chars"/"words"); every other top-level key is returned as options.
    An ``[embed]`` table's ``model`` (a model folder for the query and response text,
    relative to the configuration file's folder unless absolute) is returned as
    the option ``embed``, the folder's path.

    .. code-block:: toml

        [columns]
        query_embedding = "q_vec"
        response = "answer"
        length = "words"
        exclude = ["request_id"]
        categorical = ["route"]

        [embed]
        model = "models/all-MiniLM-L6-v2"
    """
    try:
        import tomllib  # type: ignore[import-not-found, unused-ignore]
    except ImportError:  # Python 3.10
        try:
            import tomli as tomllib  # type: ignore[import-not-found, no-redef, unused-ignore]
        except ImportError:
            raise LogError(
                f"reading '{path}' needs Python 3.11 or the tomli package (pip install tomli)"
            ) from None
    try:
        with open(path, "rb") as f:
            data = tomllib.load(f)
    except OSError as err:
        raise LogError(f"cannot read '{path}': {err.strerror or err}") from None
    except tomllib.TOMLDecodeError as err:
        raise LogError(f"cannot read '{path}' as TOML: {err}") from None
    embed = data.pop("embed", None)
    if embed is not None:
        data["embed"] = _embed_config(path, embed)
    table = data.pop("columns", {})
    if not isinstance(table, dict):
        raise LogError(f"'{path}': [columns] must be a table")
    kwargs: dict[str, Any] = {}
    for key, value in table.items():
        if key in _COLUMN_KEYS:
            if value is False:
                kwargs[key] = None
            elif isinstance(value, str):
                kwargs[key] = value
            else:
                raise LogError(f"'{path}': columns.{key} must be a column name or false, got {value!r}")
        elif key in ("features", "exclude", "categorical"):
            if not (isinstance(value, list) and all(isinstance(v, str) for v in value)):
                raise LogError(f"'{path}': columns.{key} must be a list of column names")
            kwargs[key] = tuple(value)
        elif key == "length":
            if value not in ("chars", "words"):
                raise LogError(f"'{path}': columns.length must be \"chars\" or \"words\", got {value!r}")
            kwargs[key] = value
        else:
            raise LogError(f"'{path}': unknown key columns.{key} (known: {', '.join(_COLUMN_KEYS)}, "
                           "features, exclude, categorical, length)")
    return LogColumns(**kwargs), data


def _embed_config(path: str, table: Any) -> str:
    """The model folder of an ``[embed]`` table, relative to the configuration file's folder."""
    if not isinstance(table, dict):
        raise LogError(f"'{path}': [embed] must be a table (model = \"FOLDER\")")
    for key in table:
        if key != "model":
            raise LogError(f"'{path}': unknown key embed.{key} (known: model)")
    model = table.get("model")
    if not isinstance(model, str) or not model.strip():
        raise LogError(f"'{path}': embed.model must be the path of a model folder, got {model!r}")
    model = os.path.expanduser(model)
    return model if os.path.isabs(model) else os.path.join(os.path.dirname(os.path.abspath(path)), model)

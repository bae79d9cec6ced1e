"""A baseline fitted once and checked against every new window.

:meth:`Baseline.fit` computes what each detector needs from the baseline window
(sorted feature columns with their PSI edges and counts, k-means centroids and
cluster frequencies, sorted confidences with the baseline calibration error,
sorted response lengths and embedding projections, the baseline embeddings);
:meth:`Baseline.check` then scores a current window against it. Every score is
bit-identical to calling the detector on the raw baseline and current windows.

A baseline also keeps the rows its permutation tests deal (all of them, or a
seeded uniform sample up to the dimension's row cap), so that
:meth:`Baseline.test` gives the p-values :func:`~morvanta.permutation_test`
gives for those rows and the current window. A test never treats fitted
centroids or PSI edges as fixed: they are refitted on every dealt split.

NumPy is imported inside the functions; pandas and polars only when a frame is
passed in.
"""

from __future__ import annotations

import io
import os
import time
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, BinaryIO, Union, cast

import math
from fractions import Fraction

from .. import _engine
from .._native import (
    ConfidenceDrift,
    DataDrift,
    DriftReport,
    EmbeddingDrift,
    MorvantaError,
    QueryDrift,
    ResponseDrift,
)
from ..dimensions import DIMENSION_OF_FIELD, NAMES, REGISTRY, WINDOW_FIELDS, Form, settings_of
from ..errors import annotated
from ..io.common import write_atomic
from ..io.frames import as_feature_table, match_columns
from ..results import Breakdown, DriftTest
from . import baseline_store as store
from . import sampling
from .baseline_values import (
    KEPT,
    MODEL_KEYS,
    Refusal,
    check_model,
    check_parts,
    check_settings,
    expected_shapes,
    stored_rows,
    validate,
)
from .breakdown import build_breakdown
from .permutation import _count, _flag, _seed, combined  # the argument checks of permutation_test

__all__ = ["Baseline", "PRIORITY_ORDER"]

#: The sample record's ``order`` of a baseline fitted from partitions whose rows
#: were sampled: kept rows by priority, and tests reading their prefix.
PRIORITY_ORDER = "priority"

Detector = Union[DataDrift, EmbeddingDrift, QueryDrift, ResponseDrift, ConfidenceDrift]

# Parts of a window, in the order the dimensions report them.
PARTS = WINDOW_FIELDS


def _window(args: Mapping[str, Any]) -> dict[str, Any]:
    # The parts of a window among a call's keyword arguments, in PARTS order.
    return {p: args.get(p) for p in PARTS}


def _detector(arg: str, value: Any) -> Any:
    # A Calibration (or anything carrying a calibrated detector) stands for its detector.
    det = getattr(value, "detector", value)
    cls = REGISTRY[arg].detector
    if not isinstance(det, cls):
        raise TypeError(f"argument '{arg}': expected a {cls.__name__} or a Calibration of one, got {type(value).__name__}")
    return det


def _rows(value: Any) -> int:
    shape = getattr(value, "shape", None)
    if shape is not None and len(shape) >= 1:
        return int(shape[0])
    return len(value)


def _fit_error(r: Refusal) -> ValueError:
    # Fit names the argument that carries the refused value.
    return ValueError(f"argument '{r.arg}': {r.what}" if r.arg else r.what)


def _fit_arrays(table: Any, given: Mapping[str, Any]) -> dict[str, Any]:
    """The inputs fit has accepted, as arrays for the value checks (never copies of
    the 2-D arrays, which the engine has taken as they are)."""
    import numpy as np

    out: dict[str, Any] = {}
    if table is not None:
        out["features"] = table
    for p in ("embeddings", "response_embeddings", "queries"):
        if given[p] is not None:
            out[p] = given[p]
    # The engine has taken these as numbers float() reads and as booleans.
    for p, dtype in (("response_lengths", np.float64), ("confidences", np.float64), ("correct", np.bool_)):
        if given[p] is not None:
            out[p] = np.asarray(given[p], dtype=dtype)
    return out


def _form(dim: str, parts: tuple[str, ...]) -> Form:
    """The richest form of ``dim`` the parts allow: the one check and test use."""
    forms = [f for f in REGISTRY[dim].forms if all(p in parts for p in f.parts)]
    return max(forms, key=lambda f: f.per_side)


def _keep(parts: tuple[str, ...], arrays: Mapping[str, Any], caps: Mapping[str, int], seed: int) -> dict[str, Any]:
    """The rows each part keeps for tests: those permutation_test samples of a baseline side.

    Copies in row order, so that a later change to the caller's arrays changes
    nothing. A form's aligned parts share the sample of its first part.
    """
    import numpy as np

    kept: dict[str, Any] = {}
    for dim in dict.fromkeys(DIMENSION_OF_FIELD[p] for p in parts):
        form = _form(dim, parts)
        index = None
        for i, p in enumerate(form.parts):
            if index is None or not form.aligned:
                index = sampling.subsample(len(arrays[p]), caps[dim], seed,
                                           stream=sampling.stream(i, sampling.BASELINE))
            kept[p] = np.ascontiguousarray(arrays[p][index])
    return {p: kept[p] for p in parts}


@dataclass
class _Record:
    """The settings record of a saved baseline, typed but not yet judged."""

    parts: tuple[str, ...]
    names: list[str] | None
    from_frame: bool
    settings: dict[str, dict[str, Any]]
    sizes: dict[str, Any]
    n_features: Any
    captured_at: int
    digest: str
    meta_text: str
    version: int
    sample: Any
    model: Any = None
    categories: Any = None

    @classmethod
    def parse(cls, meta: Any) -> _Record:
        if not isinstance(meta, dict) or meta.get("format") != store.FORMAT:
            raise store.StoreError("not a morvanta baseline (format marker missing)")
        version = meta.get("version")
        if version not in store.VERSIONS or isinstance(version, bool):
            raise store.StoreError(f"baseline format version {version!r} is not supported (this version reads "
                                   f"{' and '.join(map(str, store.VERSIONS))})")
        meta = dict(meta)
        try:
            digest = meta.pop("digest")
            parts, names, sizes = meta["parts"], meta["feature_names"], meta["sizes"]
            settings, captured_at = meta["detectors"], meta["captured_at"]
            from_frame, n_features = meta.get("names_from_frame", False), meta["n_features"]
            # Version 2 records the rows kept for tests; the values are judged with the rest.
            sample = meta["sample"] if version in (2, 3) else None
            # Version 3 records the model that embedded the baseline's text, and only it does.
            model = meta.get("model") if version == 3 else None
            if version != 3 and "model" in meta:
                raise store.StoreError(f"damaged baseline settings (a model record in a version {version} file)")
            # ... and the categorical columns' tables, which a version 3 file may hold with or without a model.
            categories = meta.get("categories") if version == 3 else None
            if version != 3 and "categories" in meta:
                raise store.StoreError(f"damaged baseline settings (category tables in a version {version} file)")
            if version == 3 and model is None and categories is None:
                # Nothing else makes a file version 3: one holding neither record lost it.
                raise store.StoreError("damaged baseline settings (a version 3 file without 'model' or 'categories')")
        except KeyError as e:
            raise store.StoreError(f"damaged baseline settings (no {e})") from None
        for key, value, ok in (
            ("digest", digest, isinstance(digest, str)),
            ("parts", parts, isinstance(parts, list) and all(isinstance(x, str) for x in parts)),
            ("feature_names", names, names is None or isinstance(names, list) and all(isinstance(x, str) for x in names)),
            ("sizes", sizes, isinstance(sizes, dict)),
            ("detectors", settings, isinstance(settings, dict)),
            ("captured_at", captured_at, isinstance(captured_at, int) and not isinstance(captured_at, bool)),
            ("names_from_frame", from_frame, isinstance(from_frame, bool)),
        ):
            if not ok:
                raise store.StoreError(f"damaged baseline settings ('{key}' is {value!r})")
        return cls(tuple(parts), names, from_frame, {d: _settings(d, s) for d, s in settings.items()}, sizes,
                   n_features, captured_at, digest, _engine.json_dump(meta), version, sample, model, categories)


def _settings(dim: str, saved: Any) -> dict[str, Any]:
    # [class name, *constructor arguments]; non-finite thresholds travel as "NaN", "Infinity".
    item = f"detector {dim!r}"
    if dim not in REGISTRY:
        raise Refusal(None, item, f"unknown dimension (dimensions: {', '.join(REGISTRY)})")
    d = REGISTRY[dim]
    if not isinstance(saved, list) or not saved or saved[0] != d.detector.__name__:
        raise Refusal(None, item, f"{saved!r} is not the settings of a {d.detector.__name__}")
    values = saved[1:]
    if len(values) != len(d.settings):
        raise Refusal(None, item, f"{len(values)} settings, expected {len(d.settings)} ({', '.join(d.settings)})")
    nonfinite = {"NaN": float("nan"), "Infinity": float("inf"), "-Infinity": float("-inf")}
    return {n: nonfinite.get(v, v) if isinstance(v, str) else v for n, v in zip(d.settings, values)}


class Baseline:
    """A baseline window fitted once, for checking every new window against it.

    Build one with :meth:`Baseline.fit` or :meth:`Baseline.load`; check a
    current window with :meth:`check`, test it with :meth:`test`, take its
    scores apart with :meth:`explain`, persist it with :meth:`save`.

    >>> base = morvanta.Baseline.fit(features=last_week, confidences=conf, correct=ok)
    >>> report = base.check(features=today, confidences=conf_today, correct=ok_today)
    >>> tests = base.test(features=today, confidences=conf_today, correct=ok_today)
    """

    __slots__ = ("_state", "_parts", "_feature_names", "_names_from_frame", "_detectors", "_sizes", "_captured_at",
                 "_n_features", "_kept", "_sample", "_source", "_model", "_categories")
    _state: Any
    _parts: tuple[str, ...]
    _feature_names: list[str] | None
    _names_from_frame: bool
    _detectors: dict[str, Any]
    _sizes: dict[str, int]
    _captured_at: int
    _n_features: int
    # The rows kept for tests per part, and their record {"seed", "max_rows", "kept"};
    # both None for a baseline read from a version 1 file (``_source``).
    _kept: dict[str, Any] | None
    _sample: dict[str, Any] | None
    _source: str | None
    # The identity of the model that embedded the baseline's text (see ``model``), or None.
    _model: dict[str, Any] | None
    # The categorical columns' tables, codes of the kept feature rows included (see baseline_categories).
    _categories: tuple[Any, ...]

    def __init__(self) -> None:
        raise TypeError("Baseline objects are made by Baseline.fit() or Baseline.load()")

    @classmethod
    def _new(
        cls,
        state: Any,
        parts: tuple[str, ...],
        feature_names: list[str] | None,
        names_from_frame: bool,
        detectors: dict[str, Any],
        sizes: dict[str, int],
        captured_at: int,
        n_features: int = 0,
        kept: dict[str, Any] | None = None,
        sample: dict[str, Any] | None = None,
        source: str | None = None,
        model: dict[str, Any] | None = None,
        categories: tuple[Any, ...] = (),
    ) -> Baseline:
        self = object.__new__(cls)
        self._model = model
        self._categories = tuple(categories)
        self._kept = kept
        self._sample = sample
        self._source = source
        self._state = state
        self._parts = parts
        self._feature_names = feature_names
        self._names_from_frame = names_from_frame
        self._detectors = detectors
        self._sizes = sizes
        self._captured_at = captured_at
        self._n_features = int(n_features)
        return self

    # ------------------------------------------------------------------ fit

    @classmethod
    @annotated
    def fit(
        cls,
        *,
        features: Any = None,
        feature_names: Any = None,
        embeddings: Any = None,
        queries: Any = None,
        response_lengths: Any = None,
        response_embeddings: Any = None,
        confidences: Any = None,
        correct: Any = None,
        data: Any = DataDrift(),
        embedding: Any = EmbeddingDrift(),
        query: Any = QueryDrift(),
        response: Any = ResponseDrift(),
        confidence: Any = ConfidenceDrift(),
        sample_seed: int = 0,
        max_rows: int | None = None,
        query_text: Any = None,
        response_text: Any = None,
        embed: Any = None,
        captured_at: int | None = None,
        categories: Any = None,
    ) -> Baseline:
        """Fits a baseline from any subset of the parts of a window.

        ``features``: a 2-D float64 array (rows are records) or a pandas/polars
        DataFrame of numeric and boolean columns, whose labels become the feature
        names (``feature_names`` overrides them). ``embeddings``, ``queries`` and
        ``response_embeddings``: 2-D float32 arrays. ``response_lengths``,
        ``confidences``: sequences of numbers; ``correct``: booleans, one per
        confidence (the calibration mode). The detector arguments carry the
        settings; each may also be a ``Calibration`` (its ``.detector`` is used).

        For :meth:`test` the baseline keeps rows of every part: all of them, or,
        beyond the row cap (``max_rows``, default the dimension's cap,
        ``morvanta.dimensions.REGISTRY[dim].cap(method)``), the seeded uniform
        sample :func:`~morvanta.permutation_test` takes of a baseline side under
        seed ``sample_seed`` (so a test with ``seed=sample_seed`` equals
        ``permutation_test`` on the full windows). A confidence keeps its flag.

        Raises ValueError for a part that needs another (``response_embeddings``
        without ``response_lengths``, ``correct`` without ``confidences``) or no
        part at all, TypeError for unsupported inputs, and MorvantaError where the
        detector would fail on every window (k-means on the queries, flags whose
        count differs from the confidences').

        Values no window could be judged against raise ValueError naming the
        argument: a non-finite threshold (NaN would silence every alert), a
        count setting out of range (``n_projections``, ``k``,
        ``n_calib_bins`` from 1, ``n_bins`` from 0; at most 2**16 projections,
        2**20 otherwise), a NaN or infinite embedding, a confidence outside
        [0, 1] (NaN stands for a missing one only without ``correct``), fewer
        rows than the detector needs (2 embeddings, 1 of every other part).
        NaN and infinite feature cells and response lengths are taken as they
        are. :meth:`load` applies the same rules to a saved file, so whatever
        fit accepts loads again. ``max_rows`` below the rows a detector needs
        (2 embeddings, k queries) is refused too.

        ``query_text`` and ``response_text`` (sequences of str, None for a missing
        text) are embedded with the sentence-embedding model ``embed`` (a folder
        path or a loaded :class:`~morvanta.embed.TextEmbedder`): the queries'
        vectors become ``queries`` (and ``embeddings``, unless given), the answers'
        ``response_embeddings`` (beside ``response_lengths``). The baseline keeps
        the model's identity (:attr:`model`), saves it and refuses to check text
        embedded with another model.
        ``captured_at`` (whole seconds since the Unix epoch) is recorded as
        when the baseline was captured; by default the time of the fit, so
        give it where two fits must give the same file byte for byte.

        ``categories``: the categorical features of the data dimension, a
        mapping of column name to values (text, None for a missing cell; whole
        numbers are categories by their text) or a pandas/polars DataFrame, one
        row per feature row; the text and categorical columns of a
        ``features`` frame are taken as such too. The baseline keeps each
        column's table (values, rows per value, missing rows) and the codes of
        the rows it keeps for tests, so that :meth:`test` scores the columns as
        :func:`morvanta.check` does on the raw windows (the same p-values under
        the same seed). Ids and free text are decided here, from the whole
        baseline, and left out of every check (:attr:`categories` says why).
        """
        args = dict(locals())
        del args["cls"]
        args, model = _from_text(args, None, None)
        out = cls._fit(args, check=True)
        out._model = model
        return out

    @classmethod
    def _fit(cls, args: Mapping[str, Any], check: bool) -> Baseline:
        """Fit from keyword arguments (those missing take fit's defaults).

        ``check=False`` skips the value checks: :func:`morvanta.explain` scores
        whatever its plain detector scores, through a baseline never saved.
        """
        given = _window(args)
        cat_columns, given["features"] = _category_columns(args, given["features"])
        if cat_columns and given["features"] is None:
            import numpy as np

            # A table of categorical columns only: the data part without numeric columns.
            given["features"] = np.empty((cat_columns[0].n_rows, 0), dtype=np.float64)
            if args.get("feature_names") is None:
                args = {**args, "feature_names": []}
        parts = tuple(p for p in PARTS if given[p] is not None)
        if not parts:
            raise ValueError("Baseline.fit() needs at least one part of a window (features=..., embeddings=..., ...)")
        try:
            check_parts(parts)
        except Refusal as r:
            raise _fit_error(r) from None
        detectors = {
            dim: _detector(dim, args.get(dim, REGISTRY[dim].detector()))
            for dim in dict.fromkeys(DIMENSION_OF_FIELD[p] for p in parts)
        }
        settings = {dim: settings_of(det) for dim, det in detectors.items()}
        if check:
            # Before the engine: a setting such as 2**40 projections would ask it for terabytes.
            try:
                for dim in detectors:
                    check_settings(dim, settings[dim])
            except Refusal as r:
                raise _fit_error(r) from None
        sample_seed = _seed(args.get("sample_seed", 0), "sample_seed")
        max_rows = args.get("max_rows")
        if max_rows is not None:
            max_rows = _count("max_rows", max_rows, 1)
        features, feature_names = given["features"], args.get("feature_names")
        features = given["features"]
        names: list[str] | None = None
        from_frame = False
        table = None
        if features is not None:
            table, names = as_feature_table("features", features)
            from_frame = names is not None
            if feature_names is not None:
                if isinstance(feature_names, str):
                    raise TypeError("argument 'feature_names': expected a sequence of column names, got str")
                names = [str(n) for n in feature_names]
                if len(names) != table.shape[1]:
                    raise ValueError(f"feature_names has {len(names)} entries for {table.shape[1]} columns")
        elif feature_names is not None:
            raise ValueError("feature_names given without features")
        if cat_columns and table is not None and cat_columns[0].n_rows != table.shape[0]:
            raise ValueError(f"argument 'categories': {cat_columns[0].n_rows} rows, but the features have "
                             f"{table.shape[0]}")
        state = _engine.baseline_fit(
            features=table,
            embeddings=given["embeddings"],
            queries=given["queries"],
            response_lengths=given["response_lengths"],
            response_embeddings=given["response_embeddings"],
            confidences=given["confidences"],
            correct=given["correct"],
            **detectors,
        )
        sizes = {p: _rows(table if p == "features" else given[p]) for p in parts}
        n_features = 0 if table is None else table.shape[1]
        captured = args.get("captured_at")
        if captured is None:
            captured = int(time.time())
        elif isinstance(captured, bool) or not isinstance(captured, int) or not 0 <= captured < 1 << 63:
            raise TypeError(f"argument 'captured_at': expected whole seconds since the epoch (an int >= 0), "
                            f"got {captured!r}")
        if not check:  # scored once and dropped: no rows kept for tests
            return cls._new(state, parts, names, from_frame, detectors, sizes, captured, n_features)
        arrays = _fit_arrays(table, given)
        caps = {dim: max_rows if max_rows is not None else REGISTRY[dim].cap(_form(dim, parts).method)
                for dim in detectors}
        sample: dict[str, Any] = {"seed": sample_seed, "max_rows": caps,
                                  "kept": {p: min(sizes[p], caps[DIMENSION_OF_FIELD[p]]) for p in parts}}
        seen = args.get("rows_seen")
        # A fit from partitions (rows_seen given) has its rows in canonical order, and a test reads
        # the prefix of that order; it says so in the record once anything was left out.
        by_priority = seen is not None and any(seen[p] > sample["kept"][p] for p in parts)
        if by_priority:
            assert seen is not None
            sample.update(rows_seen={p: int(seen[p]) for p in parts}, order=PRIORITY_ORDER)
        try:
            # The rules load applies to the saved file, so whatever fit accepts loads again.
            validate(parts, settings, sizes, n_features, arrays, names, sample)
        except Refusal as r:
            raise _fit_error(r) from None
        if seen is not None:
            import numpy as np

            kept = {p: np.ascontiguousarray(arrays[p][:sample["kept"][p]]) for p in parts}
        else:
            kept = _keep(parts, arrays, caps, sample_seed)
        tables: tuple[Any, ...] = tuple(args.get("category_tables") or ())
        if tables:  # merged from partitions: codes of every row in canonical order, cut to the kept ones
            from dataclasses import replace

            tables = tuple(t if t.left_out is not None else replace(t, codes=t.codes[:sample["kept"]["features"]])
                           for t in tables)
        if cat_columns:
            from .baseline_categories import fit_tables

            # The rows the feature sample keeps (the first part of the data form), so codes stay aligned.
            rows = (slice(0, sample["kept"]["features"]) if seen is not None else
                    sampling.subsample(sizes["features"], caps["data"], sample_seed,
                                       stream=sampling.stream(0, sampling.BASELINE)))
            tables = fit_tables(cat_columns, rows)
        if tables:
            clash = [t.name for t in tables if names is not None and t.name in names]
            if clash:
                raise ValueError(f"argument 'categories': column(s) {clash} are numeric features too")
        return cls._new(state, parts, names, from_frame, detectors, sizes, captured, n_features, kept, sample,
                        categories=tables)

    @classmethod
    @annotated
    def fit_partitions(
        cls,
        sources: Any,
        *,
        columns: Any = None,
        length: str | None = None,
        budget: int | None = None,
        seed: int = 0,
        scheduler: Any = None,
        captured_at: int | None = None,
        max_rows: int | None = None,
        data: Any = DataDrift(),
        embedding: Any = EmbeddingDrift(),
        query: Any = QueryDrift(),
        response: Any = ResponseDrift(),
        confidence: Any = ConfidenceDrift(),
    ) -> Baseline:
        """Fits a baseline from a log too large for one machine's memory, partition by partition.

        ``sources``: a path, a glob pattern (``"logs/2026-11-*.parquet"``), a
        directory of Parquet files, or a list of these (expanded and sorted by
        path), or a Dask DataFrame in the request-log layout. Each Parquet row
        group, each other file, each Dask partition is one partition. Columns
        are found by role as :func:`~morvanta.check` finds them (``columns``, a
        :class:`~morvanta.io.log.LogColumns`; ``length`` for a response text
        column); the parts of the baseline are those the log has.

        Every partition is summarised on its own (on the workers of
        ``scheduler``, a ``distributed.Client`` or a scheduler address, when
        given; else here, one partition in memory at a time) and the summaries
        merge: each row gets a priority, a hash of its content under ``seed``,
        and a partition keeps its rows of smallest priority; merging keeps the
        smallest of all. The feature columns, response lengths and confidences
        are kept exactly while their rows fit ``budget`` bytes (default 256 MiB,
        ``morvanta.engines.partitioned.DEFAULT_BUDGET``), beyond it by that
        bottom-k sample; the embeddings, answer embeddings and queries always by
        the sample, up to their dimension's row cap (k-means is fitted on the
        sampled queries). The kept rows are ordered by priority, ties by their
        bytes, so the same rows give the same baseline (saved byte for byte)
        whatever the files' order, their partitioning or the workers. Tests
        read the first rows of that order (the bottom-n of the bottom-k).
        :attr:`sample` records the rows seen, the rows kept and ``seed``.

        ``captured_at`` defaults to the latest timestamp of the log (whole
        seconds), else the time of the fit. ``max_rows`` and the detector
        arguments are :meth:`fit`'s (``max_rows`` also caps the embedding rows
        kept). Raises :class:`~morvanta.io.log.LogError` naming the file
        for unreadable partitions and for partitions whose columns disagree.
        """
        from . import partitioned as pt

        if budget is None:
            budget = pt.DEFAULT_BUDGET
        if isinstance(budget, bool) or not isinstance(budget, int) or budget < 1:
            raise TypeError(f"argument 'budget': expected a positive number of bytes, got {budget!r}")
        s = _seed(seed, "seed")
        detectors = {"data": data, "embedding": embedding, "query": query, "response": response,
                     "confidence": confidence}
        if max_rows is not None:
            max_rows = _count("max_rows", max_rows, 1)
        summary = pt.summarise_sources(sources, columns=columns, length=cast(Any, length), budget=budget, seed=s,
                                       scheduler=scheduler, max_rows=max_rows)
        if captured_at is None:
            captured_at = pt.latest_second(summary)
        return cls.fit_summary(summary, seed=s, captured_at=captured_at, detectors=detectors, max_rows=max_rows)

    @classmethod
    def fit_summary(cls, summary: Any, *, seed: int, captured_at: int | None, detectors: Mapping[str, Any],
                    max_rows: int | None = None) -> Baseline:
        """The baseline of a merged partition summary (see :mod:`morvanta.engines.partitioned`)."""
        from . import partitioned as pt

        return cls._fit(pt.fit_arguments(summary, seed=seed, captured_at=captured_at, detectors=detectors,
                                         max_rows=max_rows), check=True)

    # ------------------------------------------------------------------ properties

    @property
    def parts(self) -> tuple[str, ...]:
        """The parts of a window this baseline holds, e.g. ``("features", "queries")``."""
        return self._parts

    @property
    def feature_names(self) -> list[str] | None:
        """The feature column names (None when fitted from an array without names)."""
        return None if self._feature_names is None else list(self._feature_names)

    @property
    def detectors(self) -> dict[str, Any]:
        """The detector of each dimension present, keyed "data", "embedding", ...."""
        return dict(self._detectors)

    @property
    def sizes(self) -> dict[str, int]:
        """Rows of the baseline window per part."""
        return dict(self._sizes)

    @property
    def captured_at(self) -> int:
        """When the baseline was fitted, in whole seconds since the Unix epoch."""
        return self._captured_at

    @property
    def sample(self) -> dict[str, Any] | None:
        """The rows kept for :meth:`test`: ``{"seed": ..., "max_rows": {dimension: cap},
        "kept": {part: rows}}`` (rows fitted are :attr:`sizes`); None for a baseline
        read from a file that predates testable baselines. A baseline fitted from
        partitions whose rows were sampled adds ``"rows_seen": {part: rows}`` and
        ``"order": "priority"`` (kept rows by priority; a test reads their prefix)."""
        if self._sample is None:
            return None
        out = {"seed": self._sample["seed"], "max_rows": dict(self._sample["max_rows"]),
               "kept": dict(self._sample["kept"])}
        if "rows_seen" in self._sample:
            out.update(rows_seen=dict(self._sample["rows_seen"]), order=self._sample["order"])
        return out

    @property
    def sampled(self) -> str | None:
        """One sentence saying how this baseline's rows were sampled, or None when it holds
        (and tests) every row it was fitted from in row order."""
        from .partitioned import sample_note

        return sample_note(self._sample, self._sizes)

    @property
    def model(self) -> dict[str, Any] | None:
        """The model that embedded the baseline's text: ``{"name", "sha256" (of its folder's
        files), "dimension", "runtime", "parts" (those filled from text)}``; None when the
        baseline was fitted from vectors."""
        return None if self._model is None else {k: list(v) if isinstance(v, list) else v
                                                 for k, v in self._model.items()}

    def __repr__(self) -> str:
        sizes = ", ".join(f"{p}={n}" for p, n in self._sizes.items())
        return f"Baseline({sizes})"

    # ------------------------------------------------------------------ check

    def _current(self, given: dict[str, Any]) -> dict[str, Any]:
        for p in PARTS:
            have = p in self._parts
            if have and given[p] is None:
                raise ValueError(f"the current window lacks part '{p}', which the baseline has")
            if not have and given[p] is not None:
                raise ValueError(f"the current window carries part '{p}', which the baseline lacks")
        out = dict(given)
        if given["features"] is not None:
            import numpy as np

            cur, cur_names = as_feature_table("features", given["features"])
            n_cols = self._n_features
            base_names = self._feature_names if self._feature_names is not None else None
            out["features"] = match_columns(
                self._detectors["data"], np.empty((0, n_cols)), base_names, cur, cur_names
            )
        return out

    def _given(self, args: dict[str, Any]) -> tuple[dict[str, Any], list[tuple[Any, Any]]]:
        """The window parts of a call's arguments, its text embedded with the baseline's model, and the
        (baseline table, current column) of each categorical column scored."""
        del args["self"]
        cats = args.pop("categories", None)
        args, _ = _from_text(args, self._model, self._parts)
        given = _window(args)
        columns, given["features"] = _category_columns({"categories": cats}, given["features"])
        from .baseline_categories import current_columns

        pairs = current_columns(self._categories, columns)
        if given["features"] is None and columns and "features" in self._parts and self._n_features == 0:
            import numpy as np

            given["features"] = np.empty((columns[0].n_rows, 0), dtype=np.float64)
        if pairs and given["features"] is not None and _rows(given["features"]) != pairs[0][1].n_rows:
            raise ValueError(f"argument 'categories': {pairs[0][1].n_rows} rows, but the features have "
                             f"{_rows(given['features'])}")
        return given, pairs

    @property
    def categories(self) -> list[dict[str, Any]]:
        """The categorical columns fitted, in order: ``{"name", "values", "counts", "missing", "declared",
        "codes"}`` (counts per value and codes of the rows kept for tests, -1 missing, as comma-separated
        text), or ``{"name", "left_out"}`` with the reason a
        column (an id, free text) is left out of every check."""
        from .baseline_categories import to_record

        return [to_record(t) for t in self._categories]

    def _run(self, given: dict[str, Any], explain: bool) -> list[tuple[str, Any, Any]]:
        cur = self._current(given)
        return list(_engine.baseline_check(self._state, explain=explain, **cur))

    @annotated
    def check(
        self,
        *,
        features: Any = None,
        embeddings: Any = None,
        queries: Any = None,
        response_lengths: Any = None,
        response_embeddings: Any = None,
        confidences: Any = None,
        correct: Any = None,
        query_text: Any = None,
        response_text: Any = None,
        embed: Any = None,
        categories: Any = None,
    ) -> DriftReport:
        """Scores a current window against the baseline.

        Takes the same parts the baseline was fitted with (all of them, no
        others) and returns a :class:`DriftReport` with one score per dimension,
        in the order data, embedding, response, confidence, query. Each score is
        bit-identical to the detector on the raw baseline and current windows.
        The report's sample sizes are the largest row count of a part in each
        window. Feature frames are matched to the baseline's columns by name.

        Raises ValueError naming a part the current window lacks or carries
        beyond the baseline's, and the detector's MorvantaError where it would
        fail (e.g. a width mismatch).

        ``query_text``/``response_text`` with ``embed`` stand for the parts their
        vectors fill, as in :meth:`fit`; a baseline fitted with a model refuses
        another one (ValueError naming both).
        """
        given, _ = self._given(dict(locals()))
        rows = self._run(given, False)
        n_cur = max((_rows(given[p]) for p in self._parts), default=0)
        return DriftReport([s for _, s, _ in rows], max(self._sizes.values()), n_cur)

    @annotated
    def explain(
        self,
        *,
        features: Any = None,
        embeddings: Any = None,
        queries: Any = None,
        response_lengths: Any = None,
        response_embeddings: Any = None,
        confidences: Any = None,
        correct: Any = None,
        query_text: Any = None,
        response_text: Any = None,
        embed: Any = None,
        categories: Any = None,
    ) -> dict[str, Breakdown]:
        """The scores of :meth:`check`, each with its parts.

        Returns a dict keyed "data", "embedding", "response", "confidence",
        "query" (the dimensions present, in that order) of breakdowns
        (:class:`DataBreakdown`, ...); each breakdown's ``score`` equals the
        corresponding score of :meth:`check` bit for bit, and its parts
        recombine into it (see :mod:`morvanta.explain`).
        """
        given, _ = self._given(dict(locals()))
        return {
            dim: build_breakdown(dim, score, parts, self._feature_names)
            for dim, score, parts in self._run(given, True)
        }

    @annotated
    def explain_categories(
        self,
        *,
        features: Any = None,
        categories: Any = None,
        redact: bool = False,
    ) -> list[dict[str, Any]]:
        """What moved in each categorical column of a current window, as ``CheckResult.categorical``
        lists it: per column the categories whose share moved most (baseline share -> current share,
        the baseline's shares over every row it was fitted from), those unseen in the baseline and the
        shares of missing cells. ``redact=True`` shows values as 8-hex-digit hashes."""
        from .baseline_categories import categories_of, current_columns, pooled, split_frame
        from .categories import explain_columns

        cols: tuple[Any, ...] = ()
        if features is not None:
            _, text = split_frame(features)
            cols = categories_of("features", text, None) if text is not None else ()
        if categories is not None:
            cols += categories_of("categories", categories, None)
        return explain_columns(pooled(current_columns(self._categories, cols)), (), bool(redact))

    # ------------------------------------------------------------------ test

    @annotated
    def test(
        self,
        *,
        alpha: float = 0.05,
        n_permutations: int | None = None,
        seed: int = 0,
        exact: bool = False,
        features: Any = None,
        embeddings: Any = None,
        queries: Any = None,
        response_lengths: Any = None,
        response_embeddings: Any = None,
        confidences: Any = None,
        correct: Any = None,
        query_text: Any = None,
        response_text: Any = None,
        embed: Any = None,
        categories: Any = None,
    ) -> dict[str, DriftTest]:
        """Permutation tests of a current window against the baseline's kept rows.

        Takes the parts :meth:`check` takes and returns one :class:`DriftTest` per
        dimension, keyed "data", "embedding", "response", "confidence", "query"
        (those present, in that order). Each equals
        :func:`~morvanta.permutation_test` of the dimension's method on the kept
        rows and the current window under ``seed`` (a current window above the
        row cap is sampled as there), bit for bit, and so the p-values of
        :func:`morvanta.check` on the same windows when ``seed`` is the
        ``sample_seed`` the baseline was fitted with (or nothing was sampled).

        ``n_permutations=None`` takes ``B = ceil(10 m / alpha) - 1`` for the ``m``
        dimensions tested (999 for five at 0.05; ``alpha`` read as the decimal
        it is written as), enough that a Holm or Bonferroni decision at
        ``alpha`` over the ``m`` p-values is not limited by their resolution;
        ``alpha`` serves nothing else here (see ``DriftTest.drifted``).
        ``exact=True`` runs every permutation instead of stopping once a window
        is plainly not drifted.

        Raises ValueError for a baseline read from a file that predates testable
        baselines (format version 1), for parts the window lacks or carries
        beyond the baseline's, and for an ``alpha`` outside (0, 1); the tests'
        own errors as :func:`~morvanta.permutation_test` raises them.
        Text is taken as by :meth:`check`.
        """
        given, pairs = self._given(dict(locals()))
        if self._kept is None or self._sample is None:
            source = f"'{self._source}'" if self._source else "this baseline's file"
            raise ValueError(
                f"{source} predates testable baselines: format version 1 keeps none of the baseline's rows to "
                "permute, so it can check windows but not test them; fit the baseline again from its window "
                "with Baseline.fit(...) and save it (format version 2) to test"
            )
        a = _alpha(alpha)
        dims = [d for d in NAMES if d in self._detectors]
        n = _permutations_for(len(dims), a) if n_permutations is None else _count("n_permutations", n_permutations, 1)
        s = _seed(seed)
        _flag("exact", exact)
        cur = self._current(given)
        out: dict[str, DriftTest] = {}
        for dim in dims:
            form = _form(dim, self._parts)
            b = tuple(self._kept[p] for p in form.parts)
            c = tuple(cur[p] for p in form.parts)
            if dim == "data" and pairs:
                from .baseline_categories import pooled
                from .categories import categorical_test

                # The kept rows are the sample the raw check deals, so nothing is sampled again here.
                out[dim] = categorical_test(self._detectors[dim], b[0], c[0], pooled(pairs), n_permutations=n,
                                            seed=s, exact=bool(exact), cap=self._sample["max_rows"][dim])
                continue
            out[dim] = combined(self._detectors[dim], form, self._sample["max_rows"][dim], b, c, n, s, exact)
        return out

    # ------------------------------------------------------------------ persistence

    def _meta(self) -> dict[str, Any]:
        # A baseline read from a version 1 file keeps no rows: it is written as version 1 again.
        version = (1 if self._sample is None else store.VERSION_MODEL if self._model is not None or self._categories
                   else store.VERSION)
        meta: dict[str, Any] = {
            "format": store.FORMAT,
            "version": version,
            "parts": list(self._parts),
            "feature_names": self._feature_names,
            "names_from_frame": self._names_from_frame,
            "detectors": {d: list(_engine.detector_settings(det)) for d, det in self._detectors.items()},
            "sizes": dict(self._sizes),
            "n_features": self._n_features,
            "captured_at": self._captured_at,
        }
        if self._sample is not None:
            meta["sample"] = self.sample
            if self._model is not None:
                meta["model"] = {k: self._model[k] for k in MODEL_KEYS}
            if self._categories:
                from .baseline_categories import to_record

                meta["categories"] = [to_record(t) for t in self._categories]
        return meta

    def _arrays(self, export: Mapping[str, Any]) -> dict[str, Any]:
        import numpy as np

        arrays = {name: export[name] for name in store.ARRAYS if name in export}
        if "correct" in arrays:
            arrays["correct"] = np.asarray(arrays["correct"], dtype=bool)
        if self._kept is not None and self._sample is not None:
            for p in stored_rows(self._parts, self._sizes, self._sample["kept"]):
                arrays[KEPT[p]] = self._kept[p]
        return {name: arrays[name] for name in store.ARRAYS if name in arrays}

    def _record(self) -> tuple[dict[str, Any], dict[str, Any], dict[str, Any]]:
        # (settings record with its digest, state arrays, the engine's export)
        export = _engine.baseline_export(self._state)
        meta, arrays = self._meta(), self._arrays(export)
        meta["digest"] = store.digest(_engine.json_dump(meta), arrays)
        return meta, arrays, export

    def _write_npz(self, fh: BinaryIO) -> None:
        meta, arrays, _ = self._record()
        store.write_npz(fh, meta, arrays)

    def __reduce__(self) -> tuple[Any, ...]:
        # Pickled as the bytes of its .npz form, so a copy checks with the same bits.
        buf = io.BytesIO()
        self._write_npz(buf)
        return (_from_npz_bytes, (buf.getvalue(),))

    @annotated
    def save(self, path: str | os.PathLike[str]) -> None:
        """Writes the baseline to ``path``: JSON text, or a NumPy ``.npz`` archive
        when the name ends in ".npz".

        The JSON is a baseline snapshot that :meth:`BaselineSnapshot.from_json`
        reads (feature means and standard deviations, confidence scores, response
        lengths, query centroids and cluster frequencies, embeddings and
        ``captured_at``, each where it applies and holds only finite values),
        with the rest of the state, the settings and the format version under the
        "morvanta_baseline" key. Floats keep their exact values. Loading either
        file gives a baseline whose checks and tests equal this one's bit for
        bit. The file (format version 2) holds the rows kept for :meth:`test`
        once: parts whose state already holds the rows in order (embeddings,
        confidences and their flags) add a copy only when the rows kept are a
        sample. A baseline read from a version 1 file is written as version 1.

        The file is replaced all at once: the content goes to a temporary file
        in the same folder, is flushed to disk and renamed over ``path``, so a
        crash, a kill or a full disk leaves the previous file as it was. The new
        file keeps the permissions of the one it replaces; a symlink at
        ``path`` is replaced by the file, its target left alone. Raises
        :class:`~morvanta.io.common.OutputError` (an OSError) naming ``path``.
        """
        p = os.fspath(path)
        meta, arrays, export = self._record()
        if p.endswith(".npz"):
            write_atomic(p, lambda fh: store.write_npz(fh, meta, arrays))
        else:
            write_atomic(p, store.json_text(meta, arrays, export, self._captured_at))

    @classmethod
    @annotated
    def load(cls, path: str | os.PathLike[str]) -> Baseline:
        """Reads a baseline written by :meth:`save` (".npz" by suffix, else JSON).

        Files of format version 1 (written before baselines kept rows for
        tests) load and check as before; their :meth:`test` raises ValueError
        saying how to refit.

        Raises ValueError naming the file and the problem for a file that is
        not a baseline, is damaged (its content no longer matches the checksum
        written with it), comes from a newer format, or holds a value
        :meth:`fit` would refuse (a non-finite threshold or embedding, a
        confidence outside [0, 1], a row count that disagrees with the arrays,
        a setting out of range, a count of kept rows other than the cap gives,
        ...). Of an .npz archive only the entries a baseline has are read, each
        after its size has been checked.
        """
        p = os.fspath(path)
        if p.endswith(".npz"):
            return cls._from_npz(p, p)
        with open(p, "rb") as fh:
            raw = fh.read()
        try:
            text = raw.decode("utf-8")
        except UnicodeDecodeError as e:
            raise ValueError(f"{p}: not JSON text ({e})") from None
        try:
            meta, stored = store.read_json_doc(text)
            record = _Record.parse(meta)
            shapes = _shapes(record)
            arrays: dict[str, Any] = {}
            for name, shape in shapes.items():
                if name not in stored:
                    raise store.StoreError(f"damaged baseline: no array '{name}'")
                arrays[name] = store.decode_json_array(name, stored[name], shape)
            return cls._restore(record, arrays, p)
        except Refusal as r:
            raise ValueError(f"{p}: invalid baseline: {r}") from None
        except store.StoreError as e:
            raise ValueError(f"{p}: {e}") from None

    @classmethod
    def _from_npz(cls, source: str | BinaryIO, p: str) -> Baseline:
        try:
            with store.NpzArchive(source) as z:
                record = _Record.parse(z.meta())
                arrays: dict[str, Any] = {}
                for name, shape in _shapes(record).items():
                    if not z.has(name):
                        raise store.StoreError(f"damaged baseline: no entry 'array_{name}'")
                    arrays[name] = z.array(name, shape)
            return cls._restore(record, arrays, p if isinstance(source, str) else None)
        except Refusal as r:
            raise ValueError(f"{p}: invalid baseline: {r}") from None
        except store.StoreError as e:
            raise ValueError(f"{p}: {e}") from None

    @classmethod
    def _restore(cls, record: _Record, arrays: dict[str, Any], source: str | None) -> Baseline:
        if record.digest != store.digest(record.meta_text, arrays):
            raise store.StoreError("damaged baseline: the content does not match the checksum saved with it")
        # The values themselves, by the rules fit applies: a checksum only says
        # the file is as written, not that what was written is sound.
        validate(record.parts, record.settings, record.sizes, record.n_features, arrays, record.names, record.sample)
        if record.model is not None:
            widths = {p: int(a.shape[1]) for p in ("embeddings", "queries", "response_embeddings")
                      for a in (arrays.get(KEPT[p], arrays.get(p)),) if a is not None and a.ndim == 2}
            check_model(record.model, record.parts, widths)
        detectors = {dim: REGISTRY[dim].build(**s) for dim, s in record.settings.items()}
        parts, sizes = record.parts, record.sizes
        try:
            kw: dict[str, Any] = {}
            if "features" in parts:
                kw["features"] = arrays["feature_columns"].T
                kw["presorted"] = True
            for part in ("embeddings", "response_lengths", "response_embeddings", "confidences", "correct"):
                if part in parts:
                    kw[part] = arrays[part]
            if "queries" in parts:
                kw["query_centroids"] = arrays["query_centroids"]
                kw["query_frequencies"] = arrays["query_frequencies"]
                kw["query_rows"] = sizes["queries"]
            state = _engine.baseline_fit(**kw, **detectors)
        except (TypeError, ValueError, OverflowError, MorvantaError) as e:
            raise store.StoreError(f"damaged baseline: {type(e).__name__}: {e}") from e
        kept = None
        if record.sample is not None:
            # Kept rows stored on their own, else the state array that holds them in row order.
            kept = {p: arrays.get(KEPT[p], arrays.get(p)) for p in parts}
        tables: tuple[Any, ...] = ()
        if record.categories is not None:
            from .baseline_categories import from_record

            if "features" not in parts or record.sample is None:
                raise Refusal(None, "categories", "category tables in a baseline without features")
            rows = record.sample.get("rows_seen", sizes)["features"]
            tables = from_record(record.categories, rows, record.sample["kept"]["features"], record.names)
        return cls._new(state, parts, record.names, record.from_frame, detectors, dict(sizes), record.captured_at,
                        record.n_features, kept, record.sample, source, record.model, tables)


def _shapes(record: _Record) -> dict[str, tuple[int | None, ...]]:
    """The arrays a saved baseline holds and their shapes, once its settings pass the checks."""
    validate(record.parts, record.settings, record.sizes, record.n_features, {}, record.names, record.sample)
    kept = None if record.sample is None else record.sample["kept"]
    return expected_shapes(record.parts, record.sizes, record.n_features, record.settings, kept)


def _alpha(value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"argument 'alpha': expected float, got {type(value).__name__}")
    if not 0.0 < value < 1.0:
        raise ValueError(f"argument 'alpha': must be in (0, 1), got {value!r}")
    return float(value)


def _permutations_for(m: int, alpha: float) -> int:
    """B = ceil(10 m / alpha) - 1, with alpha read as its shortest decimal (0.05, not the binary value just above)."""
    return math.ceil(Fraction(10 * m) / Fraction(repr(alpha))) - 1


def _category_columns(args: Mapping[str, Any], features: Any) -> tuple[tuple[Any, ...], Any]:
    """The categorical columns of a call (its ``categories`` and a features frame's text columns) and the
    features left."""
    value = args.get("categories")
    from .baseline_categories import categories_of, split_frame

    cats: tuple[Any, ...] = ()
    if features is not None:
        features, text = split_frame(features)
        if text is not None:
            cats = categories_of("features", text, None)
    if value is not None:
        more = categories_of("categories", value, cats[0].n_rows if cats else None)
        dup = [c.name for c in more if c.name in {x.name for x in cats}]
        if dup:
            raise ValueError(f"argument 'categories': column(s) {dup} are in the features frame too")
        cats += more
    return cats, features


def _from_npz_bytes(data: bytes) -> Baseline:
    """Unpickles a Baseline from the bytes of its .npz form."""
    return Baseline._from_npz(io.BytesIO(data), "<pickled Baseline>")


def _text_cells(arg: str, value: Any) -> list[str | None]:
    if isinstance(value, (str, bytes)) or not hasattr(value, "__iter__"):
        raise TypeError(f"argument '{arg}': expected a sequence of str, got {type(value).__name__}")
    cells = list(value)
    for i, t in enumerate(cells):
        if t is not None and not isinstance(t, str):
            raise TypeError(f"argument '{arg}': item {i} is {type(t).__name__}, expected str (or None)")
    return cells


def _from_text(args: dict[str, Any], have: Mapping[str, Any] | None, parts: tuple[str, ...] | None
               ) -> tuple[dict[str, Any], dict[str, Any] | None]:
    """A call's arguments with ``query_text``/``response_text`` embedded into the parts they
    fill, and the record of the model that did it (None without text).

    ``have`` is the baseline's own model record and ``parts`` its parts (both None when
    fitting): the query text then fills the parts the baseline holds.
    """
    from .text import embed_texts, model_label, refuse_other_model, resolve

    args = dict(args)
    query, response, embed = args.pop("query_text", None), args.pop("response_text", None), args.pop("embed", None)
    if query is None and response is None:
        if embed is not None:
            raise ValueError("argument 'embed': no text to embed (pass query_text= or response_text=)")
        return args, None
    if embed is None:
        named = f" (the baseline was embedded with {model_label(have)})" if have is not None else ""
        raise ValueError(f"argument 'embed': query_text and response_text need a sentence-embedding model{named}")
    found = resolve(embed)
    assert found is not None
    if found.model is None:
        from .._optional import MissingDependency

        raise MissingDependency(str(found.missing))
    model = found.model
    if have is not None:
        refuse_other_model(have, model.identity, "this baseline")
    filled: list[str] = []
    sources: tuple[tuple[str, Any, tuple[str, ...]], ...] = (
        ("query_text", query, ("queries", "embeddings")), ("response_text", response, ("response_embeddings",)))
    for arg, texts, targets in sources:
        if texts is None:
            continue
        cells = _text_cells(arg, texts)
        if have is not None:
            targets = tuple(p for p in targets if p in have["parts"])
        elif parts is not None:
            targets = tuple(p for p in targets if p in parts)
        for p in targets:
            if args.get(p) is not None:
                if p == "embeddings" and arg == "query_text":
                    continue  # an embedding column of its own feeds the embedding dimension
                raise ValueError(f"argument '{arg}': give {p} or the text they come from, not both")
        vectors = embed_texts(model, cells, f"argument '{arg}'")
        for p in targets:
            if args.get(p) is None:
                args[p] = vectors
                filled.append(p)
    ident = model.identity
    record = {"name": ident["name"], "sha256": ident["sha256"], "dimension": int(ident["dimension"]),
              "runtime": ident["runtime"], "parts": [p for p in PARTS if p in filled]}
    return args, record

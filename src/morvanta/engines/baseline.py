"""A baseline fitted once and checked against every new window.

:meth:`Baseline.fit` computes what each detector needs from the baseline window
(sorted feature columns with their PSI edges and counts, k-means centroids and
cluster frequencies, sorted confidences with the baseline calibration error,
sorted response lengths and embedding projections, the baseline embeddings);
:meth:`Baseline.check` then scores a current window against it. Every score is
bit-identical to calling the detector on the raw baseline and current windows.

NumPy is imported inside the functions; pandas and polars only when a frame is
passed in.
"""

from __future__ import annotations

import io
import os
import time
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, BinaryIO, Union

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
from ..dimensions import DIMENSION_OF_FIELD, REGISTRY, WINDOW_FIELDS, settings_of
from ..errors import annotated
from ..io.common import write_atomic
from ..io.frames import as_feature_table, match_columns
from ..results import Breakdown
from . import baseline_store as store
from .baseline_values import Refusal, check_parts, check_settings, expected_shapes, validate
from .breakdown import build_breakdown

__all__ = ["Baseline"]

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

    @classmethod
    def parse(cls, meta: Any) -> _Record:
        if not isinstance(meta, dict) or meta.get("format") != store.FORMAT:
            raise store.StoreError("not a morvanta baseline (format marker missing)")
        version = meta.get("version")
        if version != store.VERSION:
            raise store.StoreError(
                f"baseline format version {version!r} is not supported (this version reads {store.VERSION})")
        meta = dict(meta)
        try:
            digest = meta.pop("digest")
            parts, names, sizes = meta["parts"], meta["feature_names"], meta["sizes"]
            settings, captured_at = meta["detectors"], meta["captured_at"]
            from_frame, n_features = meta.get("names_from_frame", False), meta["n_features"]
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
                   n_features, captured_at, digest, _engine.json_dump(meta))


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
    current window with :meth:`check`, take its scores apart with
    :meth:`explain`, persist it with :meth:`save`.

    >>> base = morvanta.Baseline.fit(features=last_week, confidences=conf, correct=ok)
    >>> report = base.check(features=today, confidences=conf_today, correct=ok_today)
    """

    __slots__ = ("_state", "_parts", "_feature_names", "_names_from_frame", "_detectors", "_sizes", "_captured_at", "_n_features")
    _state: Any
    _parts: tuple[str, ...]
    _feature_names: list[str] | None
    _names_from_frame: bool
    _detectors: dict[str, Any]
    _sizes: dict[str, int]
    _captured_at: int
    _n_features: int

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
    ) -> Baseline:
        self = object.__new__(cls)
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
    ) -> Baseline:
        """Fits a baseline from any subset of the parts of a window.

        ``features``: a 2-D float64 array (rows are records) or a pandas/polars
        DataFrame of numeric and boolean columns, whose labels become the feature
        names (``feature_names`` overrides them). ``embeddings``, ``queries`` and
        ``response_embeddings``: 2-D float32 arrays. ``response_lengths``,
        ``confidences``: sequences of numbers; ``correct``: booleans, one per
        confidence (the calibration mode). The detector arguments carry the
        settings; each may also be a ``Calibration`` (its ``.detector`` is used).

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
        fit accepts loads again.
        """
        args = dict(locals())
        del args["cls"]
        return cls._fit(args, check=True)

    @classmethod
    def _fit(cls, args: Mapping[str, Any], check: bool) -> Baseline:
        """Fit from keyword arguments (those missing take fit's defaults).

        ``check=False`` skips the value checks: :func:`morvanta.explain` scores
        whatever its plain detector scores, through a baseline never saved.
        """
        given = _window(args)
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
        features, feature_names = given["features"], args.get("feature_names")
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
        if check:
            # The rules load applies to the saved file, so whatever fit accepts loads again.
            try:
                validate(parts, settings, sizes, n_features, _fit_arrays(table, given), names)
            except Refusal as r:
                raise _fit_error(r) from None
        return cls._new(state, parts, names, from_frame, detectors, sizes, int(time.time()), n_features)

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
        """
        given = _window(locals())
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
    ) -> dict[str, Breakdown]:
        """The scores of :meth:`check`, each with its parts.

        Returns a dict keyed "data", "embedding", "response", "confidence",
        "query" (the dimensions present, in that order) of breakdowns
        (:class:`DataBreakdown`, ...); each breakdown's ``score`` equals the
        corresponding score of :meth:`check` bit for bit, and its parts
        recombine into it (see :mod:`morvanta.explain`).
        """
        given = _window(locals())
        return {
            dim: build_breakdown(dim, score, parts, self._feature_names)
            for dim, score, parts in self._run(given, True)
        }

    # ------------------------------------------------------------------ persistence

    def _meta(self) -> dict[str, Any]:
        return {
            "format": store.FORMAT,
            "version": store.VERSION,
            "parts": list(self._parts),
            "feature_names": self._feature_names,
            "names_from_frame": self._names_from_frame,
            "detectors": {d: list(_engine.detector_settings(det)) for d, det in self._detectors.items()},
            "sizes": dict(self._sizes),
            "n_features": self._n_features,
            "captured_at": self._captured_at,
        }

    def _arrays(self, export: Mapping[str, Any]) -> dict[str, Any]:
        import numpy as np

        arrays = {name: export[name] for name in store.ARRAYS if name in export}
        if "correct" in arrays:
            arrays["correct"] = np.asarray(arrays["correct"], dtype=bool)
        return arrays

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
        file gives a baseline whose checks equal this one's bit for bit.

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

        Raises ValueError naming the file and the problem for a file that is
        not a baseline, is damaged (its content no longer matches the checksum
        written with it), comes from a newer format, or holds a value
        :meth:`fit` would refuse (a non-finite threshold or embedding, a
        confidence outside [0, 1], a row count that disagrees with the arrays,
        a setting out of range, ...). Of an .npz archive only the entries a
        baseline has are read, each after its size has been checked.
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
            return cls._restore(record, arrays)
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
            return cls._restore(record, arrays)
        except Refusal as r:
            raise ValueError(f"{p}: invalid baseline: {r}") from None
        except store.StoreError as e:
            raise ValueError(f"{p}: {e}") from None

    @classmethod
    def _restore(cls, record: _Record, arrays: dict[str, Any]) -> Baseline:
        if record.digest != store.digest(record.meta_text, arrays):
            raise store.StoreError("damaged baseline: the content does not match the checksum saved with it")
        # The values themselves, by the rules fit applies: a checksum only says
        # the file is as written, not that what was written is sound.
        validate(record.parts, record.settings, record.sizes, record.n_features, arrays, record.names)
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
        return cls._new(state, parts, record.names, record.from_frame, detectors, dict(sizes), record.captured_at,
                        record.n_features)


def _shapes(record: _Record) -> dict[str, tuple[int | None, ...]]:
    """The arrays a saved baseline holds and their shapes, once its settings pass the checks."""
    validate(record.parts, record.settings, record.sizes, record.n_features, {}, record.names)
    return expected_shapes(record.parts, record.sizes, record.n_features, record.settings)


def _from_npz_bytes(data: bytes) -> Baseline:
    """Unpickles a Baseline from the bytes of its .npz form."""
    return Baseline._from_npz(io.BytesIO(data), "<pickled Baseline>")

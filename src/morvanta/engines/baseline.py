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

import hashlib
import io
import os
import time
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, BinaryIO, Union

from .. import _engine
from ..dimensions import DIMENSION_OF_FIELD, REGISTRY, WINDOW_FIELDS
from ..errors import annotated
from ..io.frames import as_feature_table, match_columns
from .._native import (
    ConfidenceDrift,
    DataDrift,
    DriftReport,
    EmbeddingDrift,
    MorvantaError,
    QueryDrift,
    ResponseDrift,
)
from ..results import Breakdown
from .breakdown import build_breakdown

if TYPE_CHECKING:
    pass

__all__ = ["Baseline"]

Detector = Union[DataDrift, EmbeddingDrift, QueryDrift, ResponseDrift, ConfidenceDrift]

# Parts of a window, in the order the dimensions report them.
PARTS = WINDOW_FIELDS
_FORMAT = "morvanta.baseline"
_VERSION = 1
_STATE_KEY = "morvanta_baseline"
# The state arrays, in digest order, with their element types.
_ARRAYS = {
    "feature_columns": "float64",
    "embeddings": "float32",
    "response_lengths": "float64",
    "response_embeddings": "float32",
    "confidences": "float64",
    "correct": "bool",
    "query_centroids": "float32",
    "query_frequencies": "float64",
}


def _window(args: Mapping[str, Any]) -> dict[str, Any]:
    # The parts of a window among a call's keyword arguments, in PARTS order.
    return {p: args[p] for p in PARTS}


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


def _digest(meta_text: str, arrays: Mapping[str, Any]) -> str:
    import numpy as np

    h = hashlib.sha256(meta_text.encode())
    for name in _ARRAYS:
        if name in arrays:
            a = np.ascontiguousarray(arrays[name])
            h.update(f"{name}:{a.dtype.str}:{a.shape}".encode())
            h.update(a.tobytes())
    return h.hexdigest()


def _finite(a: Any) -> bool:
    import numpy as np

    return bool(np.isfinite(a).all())


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
        """
        given = _window(locals())
        parts = tuple(p for p in PARTS if given[p] is not None)
        if not parts:
            raise ValueError("Baseline.fit() needs at least one part of a window (features=..., embeddings=..., ...)")
        if "response_embeddings" in parts and "response_lengths" not in parts:
            raise ValueError("part 'response_embeddings' needs 'response_lengths' (the response detector scores both)")
        if "correct" in parts and "confidences" not in parts:
            raise ValueError("part 'correct' needs 'confidences' (one flag per confidence)")
        settings = {"data": data, "embedding": embedding, "query": query, "response": response, "confidence": confidence}
        detectors = {
            dim: _detector(dim, settings[dim]) for dim in dict.fromkeys(DIMENSION_OF_FIELD[p] for p in parts)
        }
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
            embeddings=embeddings,
            queries=queries,
            response_lengths=response_lengths,
            response_embeddings=response_embeddings,
            confidences=confidences,
            correct=correct,
            **{d: detectors[d] for d in detectors},
        )
        sizes = {p: _rows(table if p == "features" else given[p]) for p in parts}
        n_features = 0 if table is None else table.shape[1]
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
            "format": _FORMAT,
            "version": _VERSION,
            "parts": list(self._parts),
            "feature_names": self._feature_names,
            "names_from_frame": self._names_from_frame,
            "detectors": {d: list(_engine.detector_settings(det)) for d, det in self._detectors.items()},
            "sizes": dict(self._sizes),
            "n_features": self._n_features,
            "captured_at": self._captured_at,
        }

    def _arrays(self) -> dict[str, Any]:
        import numpy as np

        ex = _engine.baseline_export(self._state)
        arrays = {name: ex[name] for name in _ARRAYS if name in ex}
        if "correct" in arrays:
            arrays["correct"] = np.asarray(arrays["correct"], dtype=bool)
        return arrays

    def _write_npz(self, fh: BinaryIO, meta: dict[str, Any] | None = None, arrays: dict[str, Any] | None = None) -> None:
        import numpy as np

        if meta is None or arrays is None:
            meta, arrays = self._meta(), self._arrays()
            meta["digest"] = _digest(_engine.json_dump(meta), arrays)
        payload: dict[str, Any] = {"morvanta_baseline": np.array(_engine.json_dump(meta))}
        payload.update({f"array_{k}": v for k, v in arrays.items()})
        np.savez(fh, **payload)

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
        """
        import numpy as np

        p = os.fspath(path)
        meta = self._meta()
        arrays = self._arrays()
        meta_text = _engine.json_dump(meta)
        meta["digest"] = _digest(meta_text, arrays)
        if p.endswith(".npz"):
            with open(p, "wb") as fh:
                self._write_npz(fh, meta, arrays)
            return
        ex = _engine.baseline_export(self._state)
        snap: dict[str, Any] = {
            "embeddings": None,
            "feature_means": None,
            "feature_stds": None,
            "confidence_scores": None,
            "response_lengths": None,
            "query_centroids": None,
            "query_cluster_freqs": None,
            "captured_at": self._captured_at,
        }
        extra = dict(arrays)
        # Snapshot fields hold finite numbers only; whatever they cannot hold
        # stays under the state key.
        for field, name in (
            ("embeddings", "embeddings"),
            ("confidence_scores", "confidences"),
            ("query_centroids", "query_centroids"),
            ("query_cluster_freqs", "query_frequencies"),
        ):
            if name in arrays and _finite(arrays[name]):
                snap[field] = extra.pop(name)
        for field in ("feature_means", "feature_stds"):
            if field in ex and _finite(ex[field]):
                snap[field] = ex[field]
        if "response_lengths" in arrays:
            lengths = arrays["response_lengths"]
            if (
                _finite(lengths)
                and bool((lengths >= 0).all())
                and bool((lengths < 2.0**64).all())
                and bool((np.floor(lengths) == lengths).all())
                and not bool(np.signbit(lengths).any())
            ):
                snap["response_lengths"] = [int(v) for v in lengths.tolist()]
                del extra["response_lengths"]
        doc = dict(snap)
        doc[_STATE_KEY] = {**meta, "arrays": extra}
        text = _engine.json_dump(doc)
        with open(p, "w", encoding="utf-8") as fh:
            fh.write(text)

    @classmethod
    @annotated
    def load(cls, path: str | os.PathLike[str]) -> Baseline:
        """Reads a baseline written by :meth:`save` (".npz" by suffix, else JSON).

        A file that is not a baseline, is damaged (its content no longer matches
        the checksum written with it) or comes from a newer format raises
        ValueError naming the file and the problem.
        """
        p = os.fspath(path)

        def bad(why: str) -> ValueError:
            return ValueError(f"{p}: {why}")

        arrays: dict[str, Any] = {}
        if p.endswith(".npz"):
            return cls._from_npz(p, p)
        try:
            with open(p, encoding="utf-8") as fh:
                text = fh.read()
        except UnicodeDecodeError as e:
            raise bad(f"not JSON text ({e})") from e
        try:
            doc = _engine.json_load(text)
        except ValueError as e:
            raise bad(f"not valid JSON ({e})") from e
        if not isinstance(doc, dict) or not isinstance(doc.get(_STATE_KEY), dict):
            raise bad("not a morvanta baseline (no 'morvanta_baseline' object)")
        meta = dict(doc[_STATE_KEY])
        extra = meta.pop("arrays", None)
        if not isinstance(extra, dict):
            raise bad("damaged baseline: no state arrays")
        arrays.update(extra)
        for field, name in (
            ("embeddings", "embeddings"),
            ("confidence_scores", "confidences"),
            ("query_centroids", "query_centroids"),
            ("query_cluster_freqs", "query_frequencies"),
            ("response_lengths", "response_lengths"),
        ):
            if doc.get(field) is not None and name not in arrays:
                arrays[name] = doc[field]
        return cls._restore(p, meta, arrays)

    @classmethod
    def _from_npz(cls, source: str | BinaryIO, p: str) -> Baseline:
        import numpy as np

        def bad(why: str) -> ValueError:
            return ValueError(f"{p}: {why}")

        arrays: dict[str, Any] = {}
        try:
            with np.load(source, allow_pickle=False) as z:
                files = {k: z[k] for k in z.files}
        except (OSError, ValueError, EOFError) as e:
            if isinstance(e, FileNotFoundError):
                raise
            raise bad(f"not a readable .npz archive ({e})") from e
        except Exception as e:  # zipfile.BadZipFile and friends
            raise bad(f"not a readable .npz archive ({e})") from e
        if _STATE_KEY not in files:
            raise bad("not a morvanta baseline (no 'morvanta_baseline' entry)")
        try:
            meta = _engine.json_load(str(files[_STATE_KEY]))
        except ValueError as e:
            raise bad(f"damaged baseline settings ({e})") from e
        for k, v in files.items():
            if k.startswith("array_"):
                arrays[k[len("array_") :]] = v
        return cls._restore(p, meta, arrays)

    @classmethod
    def _restore(cls, p: str, meta: Any, raw: dict[str, Any]) -> Baseline:
        import numpy as np

        def bad(why: str) -> ValueError:
            return ValueError(f"{p}: {why}")

        if not isinstance(meta, dict) or meta.get("format") != _FORMAT:
            raise bad("not a morvanta baseline (format marker missing)")
        version = meta.get("version")
        if version != _VERSION:
            raise bad(f"baseline format version {version!r} is not supported (this version reads {_VERSION})")
        try:
            parts = tuple(meta["parts"])
            names = meta["feature_names"]
            names = None if names is None else [str(n) for n in names]
            sizes = {str(k): int(v) for k, v in meta["sizes"].items()}
            captured_at = int(meta["captured_at"])
            digest = meta.pop("digest")
            settings = meta["detectors"]
            from_frame = bool(meta.get("names_from_frame", False))
            n_features = int(meta["n_features"])
        except (KeyError, TypeError, ValueError, AttributeError) as e:
            raise bad(f"damaged baseline settings ({type(e).__name__}: {e})") from e
        if any(part not in PARTS for part in parts):
            raise bad(f"damaged baseline: unknown parts {list(parts)}")
        arrays: dict[str, Any] = {}
        for name, dtype in _ARRAYS.items():
            if name not in raw:
                continue
            v = raw[name]
            try:
                if dtype == "bool":
                    a = np.asarray(v, dtype=bool) if not isinstance(v, np.ndarray) else v
                elif isinstance(v, np.ndarray):
                    a = v
                else:
                    a = np.asarray([float(x) for x in v], dtype=np.float64)
            except (TypeError, ValueError) as e:
                raise bad(f"damaged baseline: array '{name}' ({e})") from e
            if a.dtype != np.dtype(dtype):
                raise bad(f"damaged baseline: array '{name}' has element type {a.dtype}, expected {dtype}")
            if name == "feature_columns":
                # JSON holds the columns flat, one after another.
                shape = (n_features, sizes.get("features", 0))
                if a.size != shape[0] * shape[1]:
                    raise bad(f"damaged baseline: array '{name}' has {a.size} values for {shape[0]} x {shape[1]}")
                a = a.reshape(shape)
            arrays[name] = a
        if digest != _digest(_engine.json_dump(meta), arrays):
            raise bad("damaged baseline: the content does not match the checksum saved with it")
        detectors: dict[str, Any] = {}
        try:
            for dim, s in settings.items():
                cls_name, *args = s
                klass = REGISTRY[dim].detector
                if cls_name != klass.__name__:
                    raise ValueError(f"detector {cls_name!r} for dimension {dim!r}")
                # Non-finite thresholds travel as the strings "NaN", "Infinity".
                detectors[dim] = klass(*[float(a) if isinstance(a, str) else a for a in args])
        except (KeyError, TypeError, ValueError, OverflowError, AttributeError) as e:
            raise bad(f"damaged baseline settings ({e})") from e
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
        except (KeyError, TypeError, ValueError, MorvantaError) as e:
            raise bad(f"damaged baseline: {type(e).__name__}: {e}") from e
        return cls._new(state, parts, names, from_frame, detectors, sizes, captured_at, n_features)


def _from_npz_bytes(data: bytes) -> Baseline:
    """Unpickles a Baseline from the bytes of its .npz form."""
    return Baseline._from_npz(io.BytesIO(data), "<pickled Baseline>")

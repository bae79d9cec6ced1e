"""What a fitted baseline may hold, checked alike when it is fitted and when it is loaded.

Fitting and loading share these rules, so any baseline that fit accepts is read
back from its file, and a file edited into something fit refuses (a NaN
threshold that would silence every alert, confidences outside [0, 1], a
negative row count, 2**62 projections) is refused on load with the same words
instead of failing later with a MemoryError or a wrong score.

A problem raises :class:`Refusal`; the caller words it for its context: fit
names the argument (``argument 'confidences': ...``), load names the file and
the stored item (``base.npz: invalid baseline: array 'confidences': ...``).
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from typing import Any

from ..dimensions import DIMENSION_OF_FIELD, REGISTRY, WINDOW_FIELDS

__all__ = ["Refusal", "COUNT_LIMITS", "MAX_ROWS", "KEPT", "STATE_HOLDS_ROWS", "check_parts", "check_settings",
           "check_sizes", "check_sample", "check_shape", "stored_rows", "expected_shapes", "validate", "check_model",
           "MODEL_KEYS", "TEXT_PARTS"]

#: Inclusive bounds of the count settings. n_bins may be 0 or 1: the data
#: detector then judges each column by KS alone. The upper bounds keep a saved
#: setting from asking the core for an impossible allocation.
COUNT_LIMITS: dict[str, tuple[int, int]] = {
    "n_bins": (0, 1 << 20),
    "k": (1, 1 << 20),
    "n_projections": (1, 1 << 16),
    "n_calib_bins": (1, 1 << 20),
}
_SEED_END = 1 << 64
#: The most rows a window part may record (frequencies times rows stay exact in float64).
MAX_ROWS = 1 << 53
# Elements examined at once by the value scans, so a check never doubles the memory.
_CHUNK = 1 << 22

#: The array holding the rows a baseline keeps for its tests, per part.
KEPT = {p: f"rows_{p}" for p in WINDOW_FIELDS}
#: Parts whose state array already holds the baseline's rows in row order: their
#: kept rows are stored on their own only when they are a sample.
STATE_HOLDS_ROWS = ("embeddings", "response_embeddings", "confidences", "correct")


class Refusal(ValueError):
    """A value a baseline cannot hold.

    ``arg`` is the argument of :meth:`Baseline.fit` that carries it (None for
    what fit derives itself, such as the row counts), ``item`` how a saved file
    names it, ``what`` the problem.
    """

    def __init__(self, arg: str | None, item: str, what: str) -> None:
        super().__init__(f"{item}: {what}")
        self.arg = arg
        self.item = item
        self.what = what


def _array(name: str) -> str:
    return f"array '{name}'"


def _detector(dim: str) -> str:
    return f"detector '{dim}'"


def _is_int(v: Any) -> bool:
    return isinstance(v, int) and not isinstance(v, bool)


def _number(v: Any) -> str:
    # A float as the saved files spell it.
    x = float(v)
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "Infinity" if x > 0 else "-Infinity"
    return repr(x)


def _rows(n: int) -> str:
    return f"{n} row" if n == 1 else f"{n} rows"


def check_parts(parts: tuple[str, ...]) -> None:
    """Known window fields, each once, with the fields each one needs."""
    for p in parts:
        if p not in WINDOW_FIELDS:
            raise Refusal(None, "parts", f"unknown part {p!r} (parts: {', '.join(WINDOW_FIELDS)})")
    if len(set(parts)) != len(parts):
        raise Refusal(None, "parts", f"a part is listed twice in {list(parts)}")
    if not parts:
        raise Refusal(None, "parts", "no part of a window (features=..., embeddings=..., ...)")
    if "response_embeddings" in parts and "response_lengths" not in parts:
        raise Refusal(None, "parts",
                      "part 'response_embeddings' needs 'response_lengths' (the response detector scores both)")
    if "correct" in parts and "confidences" not in parts:
        raise Refusal(None, "parts", "part 'correct' needs 'confidences' (one flag per confidence)")


def check_settings(dim: str, settings: Mapping[str, Any]) -> None:
    """The constructor settings of the detector of ``dim``, by name, within their ranges."""
    for name in REGISTRY[dim].settings:
        if name not in settings:
            raise Refusal(dim, _detector(dim), f"setting '{name}' is missing")
        v = settings[name]
        if name == "threshold":
            if not isinstance(v, (int, float)) or isinstance(v, bool):
                raise Refusal(dim, _detector(dim), f"threshold {v!r} is not a number")
            if not math.isfinite(v):
                effect = "every score would raise an alert" if v < 0 else "no score would ever raise an alert"
                raise Refusal(dim, _detector(dim), f"threshold is {_number(v)}; it must be a finite number "
                                                   f"(with it {effect})")
        elif name == "seed":
            if not _is_int(v) or not 0 <= v < _SEED_END:
                raise Refusal(dim, _detector(dim), f"seed {v!r} is not a whole number from 0 to 2**64 - 1")
        else:
            lo, hi = COUNT_LIMITS[name]
            if not _is_int(v) or not lo <= v <= hi:
                raise Refusal(dim, _detector(dim), f"{name} is {v!r}; it must be a whole number from {lo} to {hi}")


def check_sizes(parts: tuple[str, ...], sizes: Mapping[str, Any], n_features: Any,
                settings: Mapping[str, Mapping[str, Any]]) -> None:
    """Row counts: one per part, whole numbers within bounds, as many as each detector needs."""
    if not _is_int(n_features) or not 0 <= n_features <= MAX_ROWS:
        raise Refusal("features", "n_features", f"{n_features!r} is not a column count (a whole number >= 0)")
    for p in sizes:
        if p not in parts:
            raise Refusal(None, "sizes", f"a row count for {p!r}, which is not a part of the baseline")
    for p in parts:
        if p not in sizes:
            raise Refusal(None, "sizes", f"no row count for part '{p}'")
        n = sizes[p]
        if not _is_int(n) or not 0 <= n <= MAX_ROWS:
            raise Refusal(p, f"sizes['{p}']", f"{n!r} is not a row count (a whole number from 0 to 2**53)")
    if "correct" in parts and sizes["correct"] != sizes["confidences"]:
        raise Refusal("correct", "sizes['correct']",
                      f"{sizes['correct']} correctness flags for {sizes['confidences']} confidences; "
                      "one flag per confidence")
    for p in parts:
        need = _min_rows(p, settings, n_features)
        if sizes[p] < need:
            dim = DIMENSION_OF_FIELD[p]
            why = f"fewer than k = {need} clusters" if p == "queries" else f"the {dim} detector needs at least {need}"
            raise Refusal(p, f"sizes['{p}']", f"{_rows(sizes[p])}; {why}")


def _min_rows(part: str, settings: Mapping[str, Mapping[str, Any]], n_features: int) -> int:
    # The fewest baseline rows with which the detector scores any window at all.
    if part == "queries":
        return int(settings.get("query", {}).get("k", 1))
    if part == "features" and n_features == 0:
        return 0  # no columns: every score is 0
    if part == "correct":
        return 0  # counted with the confidences
    return REGISTRY[DIMENSION_OF_FIELD[part]].min_rows


def check_sample(parts: tuple[str, ...], sizes: Mapping[str, int], sample: Any,
                 settings: Mapping[str, Mapping[str, Any]], n_features: int) -> None:
    """The record of the rows kept for tests: {"seed", "max_rows" per dimension, "kept" per part}.

    The kept count of each part is exactly what the sample takes: all rows up
    to the dimension's cap, enough for the detector. Row counts are checked first.
    """
    keys = set(sample) if isinstance(sample, dict) else None
    if keys not in ({"seed", "max_rows", "kept"}, {"seed", "max_rows", "kept", "rows_seen", "order"}):
        raise Refusal(None, "sample", f"{sample!r} is not a record of seed, max_rows and kept "
                                      "(and rows_seen and order for a sampled fit from partitions)")
    if "order" in sample:
        _seen(parts, sizes, sample)
    seed, caps, kept = sample["seed"], sample["max_rows"], sample["kept"]
    if not _is_int(seed) or not 0 <= seed < _SEED_END:
        raise Refusal("sample_seed", "sample['seed']", f"{seed!r} is not a whole number from 0 to 2**64 - 1")
    dims = list(dict.fromkeys(DIMENSION_OF_FIELD[p] for p in parts))
    if not isinstance(caps, dict) or list(caps) != dims:
        raise Refusal(None, "sample['max_rows']", f"{caps!r} does not give one cap per dimension ({', '.join(dims)})")
    for dim, cap in caps.items():
        if not _is_int(cap) or not 1 <= cap <= MAX_ROWS:
            raise Refusal("max_rows", f"sample['max_rows']['{dim}']",
                          f"{cap!r} is not a row cap (a whole number from 1 to 2**53)")
    if not isinstance(kept, dict) or list(kept) != list(parts):
        raise Refusal(None, "sample['kept']", f"{kept!r} does not give one row count per part ({', '.join(parts)})")
    for p in parts:
        want = min(sizes[p], caps[DIMENSION_OF_FIELD[p]])
        if kept[p] != want or not _is_int(kept[p]):
            raise Refusal(None, f"sample['kept']['{p}']",
                          f"{kept[p]!r} rows, but a sample of the {_rows(sizes[p])} under the cap keeps {want}")
        need = _min_rows(p, settings, n_features)
        if want < need:
            dim = DIMENSION_OF_FIELD[p]
            why = f"fewer than k = {need} clusters" if p == "queries" else f"the {dim} detector needs at least {need}"
            raise Refusal("max_rows", f"sample['max_rows']['{dim}']", f"keeps {_rows(want)} of '{p}'; {why}")


def _seen(parts: tuple[str, ...], sizes: Mapping[str, int], sample: Mapping[str, Any]) -> None:
    # A fit from partitions that sampled: the rows it saw per part, never fewer than it fitted on.
    if sample["order"] != "priority":
        raise Refusal(None, "sample['order']", f"{sample['order']!r} is not a known order of kept rows ('priority')")
    seen = sample["rows_seen"]
    if not isinstance(seen, dict) or list(seen) != list(parts):
        raise Refusal(None, "sample['rows_seen']", f"{seen!r} does not give one row count per part "
                                                  f"({', '.join(parts)})")
    for p in parts:
        n = seen[p]
        if not _is_int(n) or not sizes[p] <= n <= MAX_ROWS:
            raise Refusal(None, f"sample['rows_seen']['{p}']",
                          f"{n!r} is not a count of rows seen (a whole number from the {sizes[p]} fitted to 2**53)")


def stored_rows(parts: tuple[str, ...], sizes: Mapping[str, int], kept: Mapping[str, int]) -> tuple[str, ...]:
    """The parts whose kept rows a file stores in their own array (the others are the state's)."""
    return tuple(p for p in parts if p not in STATE_HOLDS_ROWS or kept[p] < sizes[p])


def _row_shape(part: str, n: int, n_features: int) -> tuple[int | None, ...]:
    if part == "features":
        return (n, n_features)
    return (n, None) if part.endswith("embeddings") or part == "queries" else (n,)


def expected_shapes(parts: tuple[str, ...], sizes: Mapping[str, int], n_features: int,
                    settings: Mapping[str, Mapping[str, Any]],
                    kept: Mapping[str, int] | None = None) -> dict[str, tuple[int | None, ...]]:
    """The shape of each stored array of a baseline (None where any width goes), in storage order;
    with ``kept`` (the rows kept per part) also the arrays of kept rows."""
    out: dict[str, tuple[int | None, ...]] = {}
    if "features" in parts:
        out["feature_columns"] = (n_features, sizes["features"])
    for p in ("embeddings", "response_lengths", "response_embeddings", "confidences", "correct"):
        if p in parts:
            out[p] = (sizes[p], None) if p.endswith("embeddings") else (sizes[p],)
    if "queries" in parts:
        k = int(settings["query"]["k"])
        out["query_centroids"] = (k, None)
        out["query_frequencies"] = (k,)
    if kept is not None:
        for p in stored_rows(parts, sizes, kept):
            out[KEPT[p]] = _row_shape(p, kept[p], n_features)
    return out


def _shape_text(shape: tuple[int | None, ...]) -> str:
    return "(" + ", ".join("any" if n is None else str(n) for n in shape) + ("," if len(shape) == 1 else "") + ")"


def check_shape(name: str, shape: tuple[int, ...], expected: tuple[int | None, ...]) -> None:
    """A stored array's shape against the one its row counts and settings give."""
    if len(shape) != len(expected) or any(e is not None and s != e for s, e in zip(shape, expected)):
        raise Refusal(None, _array(name),
                      f"has shape {_shape_text(shape)}, expected {_shape_text(expected)} from the row counts and settings")


def _first(a: Any, bad: Callable[[Any], Any]) -> tuple[int, ...] | None:
    """The index of the first element of ``a`` for which ``bad`` holds, scanning in chunks."""
    import numpy as np

    if a.size == 0:
        return None
    rows = max(1, _CHUNK // max(1, a.size // max(1, a.shape[0])))
    for start in range(0, a.shape[0], rows):
        hit = np.asarray(bad(a[start:start + rows]))
        if hit.any():
            idx = [int(i) for i in np.argwhere(hit)[0]]
            idx[0] += start
            return tuple(idx)
    return None


def _where(idx: tuple[int, ...]) -> str:
    return f"row {idx[0]}, column {idx[1]}" if len(idx) == 2 else f"index {idx[0]}"


def _finite(arg: str, item: str, a: Any, what: str) -> None:
    import numpy as np

    idx = _first(a, lambda x: ~np.isfinite(x))
    if idx is not None:
        raise Refusal(arg, item, f"{_where(idx)} is {_number(a[idx])}; {what} must be finite numbers")


def _flags(arg: str, item: str, a: Any) -> None:
    import numpy as np

    if isinstance(a, np.ndarray) and a.dtype == np.bool_:
        idx = _first(a.view(np.uint8), lambda x: x > 1)
        if idx is not None:
            raise Refusal(arg, item, f"index {idx[0]} holds byte {int(a.view(np.uint8)[idx])}, not true or false")
        return
    for i, v in enumerate(a):
        if not isinstance(v, (bool, np.bool_)):
            raise Refusal(arg, item, f"index {i} is {v!r}, not true or false")


def validate(
    parts: tuple[str, ...],
    settings: Mapping[str, Mapping[str, Any]],
    sizes: Mapping[str, Any],
    n_features: Any,
    arrays: Mapping[str, Any],
    names: list[str] | None = None,
    sample: Any = None,
) -> None:
    """Every rule at once: parts, settings, row counts, shapes and values.

    ``settings`` maps each dimension of the parts to its settings by name.
    ``arrays`` holds NumPy arrays by name: the window fields as fit receives
    them (``features`` rows by columns, ``queries``), or as a file stores
    them (``feature_columns`` columns by rows, ``query_centroids`` and
    ``query_frequencies`` in place of the queries), and the kept rows
    (``rows_<part>``, judged as the part itself); a missing name is not
    checked. Feature cells may be anything, NaN and infinities included (the
    data detector takes them as missing or extreme values); response lengths
    too. ``sample`` is the record of the kept rows (None for a baseline that
    keeps none).
    """
    check_parts(parts)
    dims = list(dict.fromkeys(DIMENSION_OF_FIELD[p] for p in parts))
    for dim in settings:
        if dim not in dims:
            raise Refusal(None, _detector(dim), f"settings for dimension {dim!r}, which no part of the baseline feeds")
    for dim in dims:
        if dim not in settings:
            raise Refusal(None, _detector(dim), "no settings saved for it")
        check_settings(dim, settings[dim])
    check_sizes(parts, sizes, n_features, settings)
    if names is not None and len(names) != n_features:
        raise Refusal("feature_names", "feature_names", f"{len(names)} names for {n_features} feature columns")

    kept = None
    if sample is not None:
        check_sample(parts, sizes, sample, settings, n_features)
        kept = sample["kept"]
    shapes = expected_shapes(parts, sizes, n_features, settings, kept)
    for stored, a in arrays.items():
        # Kept rows follow the rules of their part.
        name = stored[len("rows_"):] if stored.startswith("rows_") else stored
        arg = "features" if name == "feature_columns" else "queries" if name.startswith("query_") else name
        item = _array(stored)
        check: tuple[int | None, ...]
        if stored != name:
            if stored not in shapes:
                raise Refusal(None, item, "holds rows the baseline does not keep on their own")
            check = shapes[stored]
        elif name == "features":
            check = (sizes["features"], n_features)
        elif name == "queries":
            check = (sizes["queries"], None)
        else:
            check = shapes[name]
        if getattr(a, "shape", None) is None:
            if name != "correct":
                raise Refusal(arg, item, f"is a {type(a).__name__}, not an array")
        else:
            check_shape(stored, a.shape, check)
        if name in ("embeddings", "response_embeddings", "queries"):
            _finite(arg, item, a, "embeddings")
        elif name == "query_centroids":
            _finite(arg, item, a, "cluster centroids")
        elif name == "confidences":
            flags = "correct" in parts
            # NaN is a missing confidence, which KS takes in its stride; with flags
            # it would make every calibration error, so every score, NaN.
            idx = _first(a, lambda x: ~((x >= 0.0) & (x <= 1.0)) if flags else (x < 0.0) | (x > 1.0))
            if idx is not None:
                v = float(a[idx])
                if math.isnan(v):
                    raise Refusal(arg, item, f"index {idx[0]} is NaN; with correctness flags every confidence "
                                             "must be a number in [0, 1] (a NaN makes every calibration score NaN)")
                raise Refusal(arg, item, f"{_number(v)} at index {idx[0]} is outside [0, 1]")
        elif name == "correct":
            _flags(arg, item, a)
        elif name == "query_frequencies":
            _frequencies(arg, item, a, sizes["queries"])


def _frequencies(arg: str, item: str, a: Any, rows: int) -> None:
    # Each share is a cluster's count over the baseline's rows: in [0, 1],
    # summing to 1, and a whole number of rows.
    import numpy as np

    idx = _first(a, lambda x: ~((x >= 0.0) & (x <= 1.0)))
    if idx is not None:
        raise Refusal(arg, item, f"share {_number(a[idx])} at index {idx[0]} is outside [0, 1]")
    total = math.fsum(a.tolist())
    if abs(total - 1.0) > 1e-9:
        raise Refusal(arg, item, f"the cluster shares sum to {total!r}, not 1")
    counts = a * float(rows)
    off = np.abs(counts - np.round(counts)) > 1e-9 * np.maximum(1.0, counts)
    if off.any():
        i = int(np.argmax(off))
        raise Refusal(arg, item,
                      f"share {_number(a[i])} at index {i} is not a whole number of the {rows} query rows in sizes")


#: The keys of a baseline's embedding-model record, in the order it is written.
MODEL_KEYS = ("name", "sha256", "dimension", "runtime", "parts")
#: The parts a model may have filled from text.
TEXT_PARTS = ("embeddings", "queries", "response_embeddings")


def check_model(model: Any, parts: tuple[str, ...], widths: Mapping[str, int]) -> None:
    """The record of the model that embedded a baseline's text: its name, the SHA-256 of
    its folder, the vectors' dimension, the runtime and the parts it filled, each part
    one the baseline has, whose rows are ``dimension`` wide (``widths``: part -> width,
    where known)."""
    item = "model"
    if not isinstance(model, dict):
        raise Refusal(None, item, f"{model!r} is not a model record")
    if sorted(model) != sorted(MODEL_KEYS):
        raise Refusal(None, item, f"keys {sorted(model)}, expected {sorted(MODEL_KEYS)}")
    name, digest, dim, runtime, filled = (model[k] for k in MODEL_KEYS)
    if not isinstance(name, str) or not name:
        raise Refusal(None, item, f"name {name!r} is not a model name")
    if not (isinstance(digest, str) and len(digest) == 64 and all(c in "0123456789abcdef" for c in digest)):
        raise Refusal(None, item, f"sha256 {digest!r} is not a SHA-256 digest in hex")
    if not _is_int(dim) or not 1 <= dim <= 1 << 20:
        raise Refusal(None, item, f"dimension {dim!r} is not a vector length")
    if not isinstance(runtime, str):
        raise Refusal(None, item, f"runtime {runtime!r} is not a name")
    if not (isinstance(filled, list) and filled and all(p in TEXT_PARTS and p in parts for p in filled)
            and len(set(filled)) == len(filled)):
        raise Refusal(None, item, f"parts {filled!r} are not embedding parts of the baseline ({list(parts)})")
    for p in filled:
        width = widths.get(p)
        if width is not None and width != dim:
            raise Refusal(None, item, f"part '{p}' holds {width}-d vectors, the model gives {dim}-d")

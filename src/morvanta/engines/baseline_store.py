"""The two file forms of a saved baseline: snapshot JSON and the NumPy ``.npz`` archive.

Both hold the same settings record (parts, feature names, detector settings,
row counts, capture time, a SHA-256 digest) and the same state arrays. This
module only encodes and decodes them; what the values may be is decided in
:mod:`.baseline_values`, and files are written through
:func:`morvanta.io.common.write_atomic` by the caller.

The ``.npz`` reader opens the archive with :mod:`zipfile` and reads only the
entries it knows, each only after its ``.npy`` header, its size in the zip
directory and the shape the settings give agree, so a hostile archive (a huge
extra entry, a header lying about its size) is refused or skipped without
decompressing anything big. Nothing is ever unpickled.
"""

from __future__ import annotations

import hashlib
import io
import math
import struct
import zipfile
import zlib
from collections.abc import Mapping
from typing import Any, BinaryIO

from .. import _engine
from .baseline_values import Refusal, check_shape

__all__ = ["FORMAT", "VERSION", "VERSION_MODEL", "VERSIONS", "STATE_KEY", "ARRAYS", "StoreError", "digest", "json_text", "write_npz",
           "read_json_doc", "decode_json_array", "NpzArchive"]

FORMAT = "morvanta.baseline"
#: Version 2 keeps the rows the permutation tests permute (``rows_<part>`` and the
#: "sample" record); version 1 files hold only what a check needs. Version 3 adds the
#: identity of the sentence-embedding model that embedded the baseline's text (the
#: "model" record) and the categorical columns' tables (the "categories" record), either
#: or both; a baseline without them is still written as version 2, byte for byte.
VERSION = 2
VERSION_MODEL = 3
VERSIONS = (1, 2, 3)
STATE_KEY = "morvanta_baseline"
#: The state arrays, in digest order, with their element types; the kept rows last,
#: so that a version 1 file's digest reads the same.
ARRAYS = {
    "feature_columns": "float64",
    "embeddings": "float32",
    "response_lengths": "float64",
    "response_embeddings": "float32",
    "confidences": "float64",
    "correct": "bool",
    "query_centroids": "float32",
    "query_frequencies": "float64",
    "rows_features": "float64",
    "rows_embeddings": "float32",
    "rows_response_lengths": "float64",
    "rows_response_embeddings": "float32",
    "rows_confidences": "float64",
    "rows_correct": "bool",
    "rows_queries": "float32",
}
# The settings entry is text; no baseline needs more (16 million characters).
_META_LIMIT = 64 << 20
_HEADER_LIMIT = 1 << 16
_READ_CHUNK = 1 << 24


class StoreError(ValueError):
    """A file that is not a readable baseline; the caller adds the file name."""


def digest(meta_text: str, arrays: Mapping[str, Any]) -> str:
    """SHA-256 of the settings text and of each state array (name, type, shape, bytes) in ARRAYS order."""
    import numpy as np

    h = hashlib.sha256(meta_text.encode())
    for name in ARRAYS:
        if name in arrays:
            a = np.ascontiguousarray(arrays[name])
            h.update(f"{name}:{a.dtype.str}:{a.shape}".encode())
            h.update(a.tobytes())
    return h.hexdigest()


def _finite(a: Any) -> bool:
    import numpy as np

    return bool(np.isfinite(a).all())


def json_text(meta: dict[str, Any], arrays: dict[str, Any], export: Mapping[str, Any], captured_at: int) -> str:
    """The JSON form: a baseline snapshot, with the settings and whatever the
    snapshot fields cannot hold under the "morvanta_baseline" key."""
    import numpy as np

    snap: dict[str, Any] = {
        "embeddings": None,
        "feature_means": None,
        "feature_stds": None,
        "confidence_scores": None,
        "response_lengths": None,
        "query_centroids": None,
        "query_cluster_freqs": None,
        "captured_at": captured_at,
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
        if field in export and _finite(export[field]):
            snap[field] = export[field]
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
    doc[STATE_KEY] = {**meta, "arrays": extra}
    return _engine.json_dump(doc)


def write_npz(fh: BinaryIO, meta: dict[str, Any], arrays: Mapping[str, Any]) -> None:
    """The .npz form: the settings text as entry "morvanta_baseline", each array as "array_<name>"."""
    import numpy as np

    payload: dict[str, Any] = {STATE_KEY: np.array(_engine.json_dump(meta))}
    payload.update({f"array_{k}": v for k, v in arrays.items()})
    np.savez(fh, **payload)


# ---------------------------------------------------------------- JSON


def read_json_doc(text: str) -> tuple[dict[str, Any], dict[str, Any]]:
    """(settings record, raw state arrays by name) of a JSON baseline's text."""
    try:
        doc = _engine.json_load(text)
    except ValueError as e:
        raise StoreError(f"not valid JSON ({e})") from e
    if not isinstance(doc, dict) or not isinstance(doc.get(STATE_KEY), dict):
        raise StoreError(f"not a morvanta baseline (no '{STATE_KEY}' object)")
    meta = dict(doc[STATE_KEY])
    extra = meta.pop("arrays", None)
    if not isinstance(extra, dict):
        raise StoreError("damaged baseline: no state arrays")
    arrays = {k: v for k, v in extra.items() if k in ARRAYS}
    for field, name in (
        ("embeddings", "embeddings"),
        ("confidence_scores", "confidences"),
        ("query_centroids", "query_centroids"),
        ("query_cluster_freqs", "query_frequencies"),
        ("response_lengths", "response_lengths"),
    ):
        if doc.get(field) is not None and name not in arrays:
            arrays[name] = doc[field]
    return meta, arrays


_NONFINITE = {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}


def decode_json_array(name: str, value: Any, shape: tuple[int | None, ...]) -> Any:
    """One state array from JSON: typed, and in the shape the settings give.

    Numbers come back from the JSON reader as float64 (or float32 matrices);
    non-finite floats travel as "NaN", "Infinity", "-Infinity"; flags as
    true/false. The feature columns (and kept feature rows) are stored flat,
    one after another.
    Anything else raises :class:`Refusal` naming the array.
    """
    import numpy as np

    dtype = ARRAYS[name]
    where = f"array '{name}'"
    if dtype == "bool":
        if isinstance(value, list) and all(isinstance(v, bool) for v in value):
            return np.array(value, dtype=bool)
        if not isinstance(value, list):
            raise Refusal(None, where, f"is a {type(value).__name__}, not a list of true/false")
        return value  # the value checks name the element that is not a flag
    if isinstance(value, np.ndarray):
        a = value
    elif isinstance(value, list):
        out = []
        for i, v in enumerate(value):
            if isinstance(v, str) and v in _NONFINITE:
                out.append(_NONFINITE[v])
            elif isinstance(v, (int, float)) and not isinstance(v, bool):
                out.append(float(v))
            else:
                raise Refusal(None, where, f"index {i} is {v!r}, not a number")
        a = np.array(out, dtype=np.float64)
    else:
        raise Refusal(None, where, f"is a {type(value).__name__}, not an array")
    if a.dtype != np.dtype(dtype):
        raise Refusal(None, where, f"has element type {a.dtype}, expected {dtype}")
    if name in ("feature_columns", "rows_features") and a.ndim == 1 and None not in shape:
        rows, cols = int(shape[0] or 0), int(shape[1] or 0)
        if a.size != rows * cols:
            raise Refusal(None, where, f"has {a.size} values for {rows} x {cols}")
        a = a.reshape(rows, cols)
    check_shape(name, a.shape, shape)
    return a


# ---------------------------------------------------------------- .npz


class NpzArchive:
    """A baseline .npz archive, read entry by entry.

    ``meta()`` reads the settings entry; ``has(name)`` and ``array(name,
    shape)`` the state arrays. Unknown entries are never read. Use as a
    context manager; format problems raise :class:`StoreError` (or
    :class:`Refusal` for an array whose shape disagrees with the settings).
    """

    def __init__(self, source: str | BinaryIO) -> None:
        self._own = isinstance(source, str)
        self._fh: BinaryIO = open(source, "rb") if isinstance(source, str) else source
        try:
            self._zip = zipfile.ZipFile(self._fh)
        except Exception as e:  # zipfile.BadZipFile, OSError, ... from a damaged directory
            self.close()
            raise StoreError(f"not a readable .npz archive ({e})") from e
        self._entries = {info.filename: info for info in self._zip.infolist()}

    def close(self) -> None:
        if self._own:
            self._fh.close()

    def __enter__(self) -> NpzArchive:
        return self

    def __exit__(self, *exc: object) -> None:
        self._zip.close()
        self.close()

    def has(self, name: str) -> bool:
        return f"array_{name}.npy" in self._entries

    def meta(self) -> Any:
        """The settings record (parsed JSON)."""
        import numpy as np

        info = self._entries.get(f"{STATE_KEY}.npy")
        if info is None:
            raise StoreError(f"not a morvanta baseline (no '{STATE_KEY}' entry)")
        if info.file_size > _META_LIMIT:
            raise StoreError(f"damaged baseline: entry '{STATE_KEY}' holds {info.file_size} bytes, more than a "
                             f"baseline's settings ever need ({_META_LIMIT})")
        with self._open(info) as fh:
            shape, fortran, dtype, header = _npy_header(fh, STATE_KEY)
            if dtype.kind != "U" or shape != ():
                raise StoreError(f"damaged baseline: entry '{STATE_KEY}' is not text")
            _check_size(info, header, shape, dtype, STATE_KEY)
            data = _read_exact(fh, info.file_size - header, STATE_KEY)
        text = str(np.frombuffer(data, dtype=dtype).reshape(()).item())
        try:
            return _engine.json_load(text)
        except ValueError as e:
            raise StoreError(f"damaged baseline settings ({e})") from e

    def array(self, name: str, shape: tuple[int | None, ...]) -> Any:
        """State array ``name``, read only once its header, stored size and ``shape`` agree."""
        import numpy as np

        entry = f"array_{name}"
        info = self._entries[f"{entry}.npy"]
        want = np.dtype(ARRAYS[name])
        with self._open(info) as fh:
            got, fortran, dtype, header = _npy_header(fh, entry)
            if dtype != want:
                raise Refusal(None, f"array '{name}'", f"has element type {dtype}, expected {want}")
            _check_size(info, header, got, dtype, entry)
            check_shape(name, got, shape)
            n = info.file_size - header
            buf = np.empty(n, dtype=np.uint8)
            pos = 0
            while pos < n:
                chunk = fh.read(min(_READ_CHUNK, n - pos))
                if not chunk:
                    raise StoreError(f"damaged baseline: entry '{entry}' ends early")
                buf[pos:pos + len(chunk)] = np.frombuffer(chunk, dtype=np.uint8)
                pos += len(chunk)
            fh.read(1)  # reaching the end checks the entry's CRC
        return buf.view(dtype).reshape(got, order="F" if fortran else "C")

    def _open(self, info: zipfile.ZipInfo) -> Any:
        try:
            return _Guard(self._zip.open(info))
        except Exception as e:
            raise StoreError(f"not a readable .npz archive ({e})") from e


class _Guard:
    """A zip entry whose read errors (bad CRC, damaged deflate data) become StoreError."""

    def __init__(self, fh: Any) -> None:
        self._fh = fh

    def read(self, n: int) -> bytes:
        try:
            out: bytes = self._fh.read(n)
            return out
        except (zipfile.BadZipFile, zlib.error, EOFError, OSError, ValueError, NotImplementedError) as e:
            raise StoreError(f"not a readable .npz archive ({e})") from e

    def __enter__(self) -> _Guard:
        return self

    def __exit__(self, *exc: object) -> None:
        self._fh.close()


def _read_exact(fh: Any, n: int, entry: str) -> bytes:
    data = fh.read(n)
    if len(data) != n:
        raise StoreError(f"damaged baseline: entry '{entry}' ends early")
    return bytes(data)


def _npy_header(fh: Any, entry: str) -> tuple[tuple[int, ...], bool, Any, int]:
    """(shape, Fortran order, dtype, header length in bytes) of a .npy stream, read with
    NumPy's header parser (a literal, never code)."""
    import numpy as np

    magic = _read_exact(fh, 8, entry)
    if magic[:6] != b"\x93NUMPY":
        raise StoreError(f"damaged baseline: entry '{entry}' is not a NumPy array")
    major = magic[6]
    if major == 1:
        size_field = _read_exact(fh, 2, entry)
        (length,) = struct.unpack("<H", size_field)
    elif major == 2:
        size_field = _read_exact(fh, 4, entry)
        (length,) = struct.unpack("<I", size_field)
    else:
        raise StoreError(f"damaged baseline: entry '{entry}' has .npy format version {major}, not 1 or 2")
    if length > _HEADER_LIMIT:
        raise StoreError(f"damaged baseline: entry '{entry}' has a {length}-byte header")
    text = _read_exact(fh, length, entry)
    reader = np.lib.format.read_array_header_1_0 if major == 1 else np.lib.format.read_array_header_2_0
    try:
        shape, fortran, dtype = reader(io.BytesIO(size_field + text), max_header_size=_HEADER_LIMIT)
    except (ValueError, SyntaxError, TypeError) as e:
        raise StoreError(f"damaged baseline: entry '{entry}' has an unreadable header ({e})") from e
    if dtype.hasobject:
        raise StoreError(f"damaged baseline: entry '{entry}' holds Python objects")
    return tuple(int(n) for n in shape), bool(fortran), dtype, 8 + len(size_field) + length


def _check_size(info: zipfile.ZipInfo, header: int, shape: tuple[int, ...], dtype: Any, entry: str) -> None:
    # The directory's uncompressed size must be exactly the header plus the data
    # the header describes; only then is the entry decompressed.
    need = header + math.prod(shape) * dtype.itemsize
    if info.file_size != need:
        raise StoreError(f"damaged baseline: entry '{entry}' holds {info.file_size} bytes, but its header "
                         f"describes {need} (shape {shape}, {dtype})")

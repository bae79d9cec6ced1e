"""File loaders of the command line: tables, embeddings, numbers and flags.

Every problem with a file is raised as InputError with one line of text naming
the file, so that the command line can print it without a traceback.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from .cells import FALSE_WORDS, TRUE_WORDS, BigNumber, InputError, drop_row_index, number_of_text, show
from .csvfile import read_csv
from .parquet import read_parquet, read_parquet_table

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

__all__ = ["InputError", "read_parquet", "load_table", "load_embeddings", "load_numbers", "load_confidences", "load_flags"]

TABLE_SUFFIXES = (".csv", ".tsv", ".parquet", ".pq", ".npy")


def _suffix(path: str) -> str:
    return os.path.splitext(path)[1].lower()


def _read_error(path: str, err: OSError, error: type[InputError] = InputError) -> InputError:
    return error(f"cannot read '{path}': {err.strerror or err}")


def _load_npy(path: str) -> Any:
    import numpy as np

    try:
        try:
            # Mapped rather than read: the detectors copy what they need anyway.
            return np.load(path, mmap_mode="r", allow_pickle=False)
        except ValueError:
            # Empty arrays cannot be mapped; object arrays fail again below with a clear message.
            return np.load(path, allow_pickle=False)
    except OSError as err:
        if isinstance(err, (FileNotFoundError, PermissionError, IsADirectoryError)):
            raise _read_error(path, err) from None
        raise InputError(f"cannot read '{path}' as a .npy file: {err}") from None
    except (ValueError, EOFError) as err:
        # NumPy's messages can run to several sentences; the first one says what is wrong.
        reason = str(err).split(". ")[0].rstrip(".")
        raise InputError(f"cannot read '{path}' as a .npy file: {reason}") from None


# ------------------------------------------------------------------ tables


def load_table(
    path: str, notice: Callable[[str], None] | None = None
) -> tuple[NDArray[numpy.float64], list[str] | None]:
    """Reads a feature table: CSV/TSV with a header row, Parquet, or a 1-D/2-D .npy.

    Cells are read as in a request log (see :mod:`morvanta.io.cells`). Returns
    the values as float64 (integers and booleans converted; empty cells NaN) and
    the column names (None for .npy files, whose columns are numbered). The row
    index pandas writes with a frame is dropped and reported through ``notice``;
    an unnamed first column holding anything else raises InputError. A cell
    that is not a number raises InputError naming the column and the line (row).
    """
    import numpy as np

    suffix = _suffix(path)
    if suffix in (".csv", ".tsv", ".parquet", ".pq"):
        if not os.path.exists(path):
            raise _read_error(path, FileNotFoundError(2, "No such file or directory"))
        if suffix in (".csv", ".tsv"):
            table = read_csv(path, "\t" if suffix == ".tsv" else ",")
        else:
            table = read_parquet_table(path)
        drop_row_index(table)
        if notice is not None:
            for note in table.notes:
                notice(f"'{path}': {note}")
        names = list(table.columns)
        out = np.empty((table.n_rows, len(names)), dtype=np.float64, order="F")
        for j, col in enumerate(table.columns.values()):
            if col.kind not in ("number", "flag", "empty"):
                if col.kind == "text" and col.first_text is not None:
                    cell = col.values[col.first_text]
                    raise table.origin.error(col.name, f"expected a number, got {show(cell.strip())}",
                                             col.first_text)
                raise table.origin.error(col.name, f"not numeric ({col.dtype})")
            out[:, j] = col.values
        return out, names
    if suffix == ".npy":
        arr = _load_npy(path)
        if arr.dtype.kind not in "biuf":
            raise InputError(f"'{path}' holds {arr.dtype} values, not numbers")
        if arr.ndim == 1:
            arr = arr.reshape(-1, 1)
        if arr.ndim != 2:
            raise InputError(f"'{path}' holds a {arr.ndim}-D array; a feature table is 2-D (rows x columns)")
        return np.asarray(arr, dtype=np.float64), None
    if not os.path.exists(path):
        raise _read_error(path, FileNotFoundError(2, "No such file or directory"))
    raise InputError(f"'{path}': unsupported file type (use {', '.join(TABLE_SUFFIXES)})")


# ------------------------------------------------------------------ embeddings


def load_embeddings(path: str, cast: bool = False) -> NDArray[numpy.float32]:
    """Reads a 2-D float32 .npy file; ``cast`` converts other real dtypes explicitly."""
    import numpy as np

    if _suffix(path) != ".npy":
        if not os.path.exists(path):
            raise _read_error(path, FileNotFoundError(2, "No such file or directory"))
        raise InputError(f"'{path}': embeddings are read from .npy files (numpy.save)")
    arr = _load_npy(path)
    if arr.ndim != 2:
        raise InputError(f"'{path}' holds a {arr.ndim}-D array; embeddings are 2-D (one row per vector)")
    if arr.dtype == np.float32:
        return arr  # type: ignore[no-any-return]
    if cast and arr.dtype.kind in "biuf":
        return np.asarray(arr, dtype=np.float32)
    hint = " (pass --cast to convert it to float32)" if arr.dtype.kind in "biuf" else ""
    raise InputError(f"'{path}' holds {arr.dtype} embeddings; the detectors take float32{hint}")


# ------------------------------------------------------------------ number and flag lists


def _text_values(path: str) -> list[tuple[int, str]]:
    """Non-blank lines of a one-value-per-line file, as (line number, text)."""
    try:
        with open(path, encoding="utf-8-sig") as f:
            lines = f.read().splitlines()
    except OSError as err:
        raise _read_error(path, err) from None
    except UnicodeDecodeError:
        raise InputError(f"cannot read '{path}': not a UTF-8 text file") from None
    out = []
    for no, line in enumerate(lines, start=1):
        text = line.strip()
        if not text or text.startswith("#"):
            continue
        fields = [c.strip() for c in text.split(",")]
        if len(fields) != 1:
            raise InputError(f"'{path}' line {no}: expected one value per line, got {len(fields)} fields")
        out.append((no, fields[0].strip('"')))
    return out


def _one_dimensional(path: str, arr: Any) -> Any:
    if arr.ndim == 2 and 1 in arr.shape:
        return arr.reshape(-1)
    if arr.ndim != 1:
        raise InputError(f"'{path}' holds an array of shape {arr.shape}; expected one value per row")
    return arr


def _numbers(path: str) -> tuple[list[float], list[int] | None]:
    """The numbers of a .npy or text file and, for a text file, the line of each."""
    if _suffix(path) == ".npy":
        arr = _one_dimensional(path, _load_npy(path))
        if arr.dtype.kind not in "biuf":
            raise InputError(f"'{path}' holds {arr.dtype} values, not numbers")
        return [float(x) for x in arr.tolist()], None
    values: list[float] = []
    lines: list[int] = []
    for i, (no, text) in enumerate(_text_values(path)):
        v = number_of_text(text)
        if isinstance(v, BigNumber):
            raise InputError(f"'{path}' line {no}: number too large for a float: {show(v)}")
        if v is None:
            if i == 0:
                continue  # a header line
            raise InputError(f"'{path}' line {no}: not a number: {text!r}")
        values.append(v)
        lines.append(no)
    return values, lines


def load_numbers(path: str) -> list[float]:
    """Reads numbers from a .npy file or a text/CSV file of one number per line.

    The first line of a text file may be a header (it is skipped when it is not a
    number); blank lines and lines starting with # are ignored.
    """
    return _numbers(path)[0]


def load_confidences(path: str) -> list[float]:
    """Reads confidences as :func:`load_numbers` does and refuses any value
    outside [0, 1] (NaN included), naming the first one's line (text) or index
    (.npy) and how many more there are."""
    import numpy as np

    values, lines = _numbers(path)
    arr = np.asarray(values, dtype=np.float64)
    bad = np.flatnonzero(~((arr >= 0.0) & (arr <= 1.0)))
    if bad.size:
        k = int(bad[0])
        where = f"line {lines[k]}" if lines is not None else f"index {k}"
        more = f" (and {bad.size - 1} more)" if bad.size > 1 else ""
        raise InputError(f"'{path}' {where}: confidence {values[k]!r} is outside [0, 1]{more}")
    return values


def load_flags(path: str) -> list[bool]:
    """Reads correctness flags: a boolean (or 0/1) .npy file, or one of
    true/false, yes/no, 1/0 per line of a text file (an optional header first)."""
    if _suffix(path) == ".npy":
        arr = _one_dimensional(path, _load_npy(path))
        if arr.dtype.kind == "b":
            return [bool(x) for x in arr.tolist()]
        if arr.dtype.kind in "iuf":
            values = arr.tolist()
            if all(v in (0, 1) for v in values):
                return [v == 1 for v in values]
        raise InputError(f"'{path}' holds {arr.dtype} values; correctness flags are booleans (or 0/1)")
    flags: list[bool] = []
    for i, (no, text) in enumerate(_text_values(path)):
        word = text.lower()
        if word in TRUE_WORDS:
            flags.append(True)
        elif word in FALSE_WORDS:
            flags.append(False)
        elif i != 0:
            raise InputError(f"'{path}' line {no}: not a flag (true/false, yes/no, 1/0): {text!r}")
    return flags

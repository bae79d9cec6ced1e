"""File loaders of the command line: tables, embeddings, numbers and flags.

Every problem with a file is raised as InputError with one line of text naming
the file, so that the command line can print it without a traceback.
"""

from __future__ import annotations

import csv
import os
import warnings
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

__all__ = ["InputError", "load_table", "load_embeddings", "load_numbers", "load_confidences", "load_flags"]

TABLE_SUFFIXES = (".csv", ".tsv", ".parquet", ".pq", ".npy")


class InputError(Exception):
    """A file that cannot be used as the input asked for."""


def _suffix(path: str) -> str:
    return os.path.splitext(path)[1].lower()


def _read_error(path: str, err: OSError, error: type[InputError] = InputError) -> InputError:
    return error(f"cannot read '{path}': {err.strerror or err}")


def read_parquet(path: str, error: type[InputError] = InputError) -> Any:
    """The pyarrow Table of a Parquet file; a missing pyarrow or an unreadable
    file raises ``error`` naming the file."""
    try:
        import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
        import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        raise error(f"reading '{path}' needs pyarrow, which is not installed (pip install pyarrow)") from None
    try:
        return pq.read_table(path)
    except OSError as err:
        if isinstance(err, (FileNotFoundError, PermissionError, IsADirectoryError)):
            raise _read_error(path, err, error) from None
        raise error(f"cannot read '{path}' as Parquet: {err}") from None
    except pa.ArrowException as err:
        raise error(f"cannot read '{path}' as Parquet: {err}") from None


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


def _csv_table(path: str, delimiter: str) -> tuple[NDArray[numpy.float64], list[str]]:
    import numpy as np

    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            header = next(csv.reader(f, delimiter=delimiter), None)
            if header is None:
                raise InputError(f"'{path}' is empty (expected a header row with column names)")
            names = [h.strip() for h in header]
        # Fast path: NumPy's C parser. Anything it refuses goes to the slow path,
        # which either accepts it (empty cells) or names the offending cell.
        try:
            with open(path, newline="", encoding="utf-8-sig") as f, warnings.catch_warnings():
                warnings.simplefilter("ignore")  # "input contained no data" for a header-only file
                data = np.loadtxt(
                    f, delimiter=delimiter, skiprows=1, ndmin=2, dtype=np.float64, quotechar='"', comments=None
                )
        except (ValueError, TypeError):
            data = None
        if data is not None and data.size == 0:
            data = np.empty((0, len(names)), dtype=np.float64)
        if data is not None and data.shape[1] == len(names):
            return data, names
        # Slow path: find the offending cell (and accept empty cells as missing values).
        with open(path, newline="", encoding="utf-8-sig") as f:
            reader = csv.reader(f, delimiter=delimiter)
            next(reader)
            rows: list[list[float]] = []
            for line_no, row in enumerate(reader, start=2):
                if not row:
                    continue
                if len(row) != len(names):
                    raise InputError(f"'{path}' line {line_no}: {len(row)} fields, but the header names {len(names)}")
                values = []
                for name, cell in zip(names, row):
                    text = cell.strip()
                    if not text:
                        values.append(float("nan"))
                        continue
                    try:
                        values.append(float(text))
                    except ValueError:
                        raise InputError(
                            f"'{path}': column '{name}' is not numeric (line {line_no}: {cell!r})"
                        ) from None
                rows.append(values)
        out = np.array(rows, dtype=np.float64).reshape(len(rows), len(names))
        return out, names
    except OSError as err:
        raise _read_error(path, err) from None
    except UnicodeDecodeError:
        raise InputError(f"cannot read '{path}': not a UTF-8 text file") from None
    except csv.Error as err:
        raise InputError(f"cannot read '{path}' as CSV: {err}") from None


def _parquet_table(path: str, notice: Callable[[str], None] | None) -> tuple[NDArray[numpy.float64], list[str]]:
    import numpy as np

    table = read_parquet(path)
    import pyarrow as pa
    import pyarrow.compute as pc  # type: ignore[import-untyped, unused-ignore]

    # pandas' to_parquet() stores a frame's index as extra columns (after the
    # data) and lists them in its metadata: they are row labels, not features.
    meta = table.schema.pandas_metadata or {}
    index = [c for c in meta.get("index_columns", []) if isinstance(c, str) and c in table.column_names]
    if index:
        table = table.drop_columns(index)
        if notice is not None:
            notice(f"'{path}': dropped the pandas index column{'s' if len(index) > 1 else ''} "
                   f"{', '.join(repr(c) for c in index)} (index=False leaves it out)")
    names = [str(n) for n in table.column_names]
    out = np.empty((table.num_rows, len(names)), dtype=np.float64, order="F")
    for j, (name, column) in enumerate(zip(names, table.columns)):
        t = column.type
        if not (pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_boolean(t) or pa.types.is_decimal(t)):
            raise InputError(f"'{path}': column '{name}' is not numeric ({t})")
        # Nulls of a float column come out as NaN.
        out[:, j] = pc.cast(column, pa.float64()).to_numpy()
    return out, names


# Names a row index gets in the first column when pandas writes a frame: to_csv()
# leaves the header cell empty, "Unnamed: 0" once read back and written again.
_INDEX_NAMES = ("", "Unnamed: 0")


def _drop_row_index(
    path: str, data: NDArray[numpy.float64], names: list[str], notice: Callable[[str], None] | None
) -> tuple[NDArray[numpy.float64], list[str]]:
    """Drops an unnamed first column that holds the row numbers 0..n-1.

    A row index is never a feature: compared as one it would report drift
    whenever the windows differ in size. An unnamed first column holding anything
    else is refused, since there is no telling what it is.
    """
    import numpy as np

    if not names or names[0] not in _INDEX_NAMES:
        return data, names
    if not np.array_equal(data[:, 0], np.arange(data.shape[0], dtype=np.float64)):
        raise InputError(
            f"'{path}': the unnamed first column is not a row index 0..n-1; name it in the header, "
            f"or write the file without the index (pandas: index=False)"
        )
    if notice is not None:
        rows = f" 0..{data.shape[0] - 1}" if data.shape[0] else ""
        notice(
            f"'{path}': dropped the unnamed first column, a row index{rows} as pandas writes it "
            f"(index=False leaves it out)"
        )
    return data[:, 1:], names[1:]


def load_table(
    path: str, notice: Callable[[str], None] | None = None
) -> tuple[NDArray[numpy.float64], list[str] | None]:
    """Reads a feature table: CSV/TSV with a header row, Parquet, or a 1-D/2-D .npy.

    Returns the values as float64 (integers and booleans converted; empty cells
    NaN) and the column names (None for .npy files, whose columns are numbered).
    An unnamed first column holding 0..n-1 (the row index pandas writes) is
    dropped and reported through ``notice``; an unnamed first column holding
    anything else raises InputError.
    """
    import numpy as np

    suffix = _suffix(path)
    if suffix in (".csv", ".tsv"):
        return _drop_row_index(path, *_csv_table(path, "\t" if suffix == ".tsv" else ","), notice)
    if suffix in (".parquet", ".pq"):
        return _drop_row_index(path, *_parquet_table(path, notice), notice)
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
        try:
            values.append(float(text))
        except ValueError:
            if i == 0:
                continue  # a header line
            raise InputError(f"'{path}' line {no}: not a number: {text!r}") from None
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
_TRUE = {"true", "t", "yes", "y", "1", "1.0"}
_FALSE = {"false", "f", "no", "n", "0", "0.0"}


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
        if word in _TRUE:
            flags.append(True)
        elif word in _FALSE:
            flags.append(False)
        elif i != 0:
            raise InputError(f"'{path}' line {no}: not a flag (true/false, yes/no, 1/0): {text!r}")
    return flags

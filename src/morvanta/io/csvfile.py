"""CSV and TSV files: a header row of column names, then one row per request.

Cells are read by :func:`~morvanta.io.cells.text_column`; messages name the
line of the file (a quoted cell may span lines, blank lines are skipped), so
that an editor can jump to it.
"""

from __future__ import annotations

import csv
import os
import sys

from .cells import LogError, Origin, Table, text_column

__all__ = ["read_csv"]


def read_csv(path: str, delimiter: str = ",") -> Table:
    """The columns of a CSV (``delimiter=","``) or TSV (``"\\t"``) file."""
    # Wide embedding cells ("[0.1, 0.2, ...]") exceed csv's default field limit.
    csv.field_size_limit(min(sys.maxsize, 2**31 - 1))
    rows: list[list[str]] = []
    lines: list[int] = []
    try:
        if os.path.getsize(path) == 0:
            raise LogError(f"'{path}' is empty (expected a header row with column names)")
        with open(path, newline="", encoding="utf-8-sig") as f:
            reader = csv.reader(f, delimiter=delimiter)
            header: list[str] | None = []
            while header == []:  # blank lines before the header
                header = next(reader, None)
            if header is None:
                raise LogError(f"'{path}' is empty (expected a header row with column names)")
            names = [h.strip() for h in header]
            width = len(names)
            while True:
                start = reader.line_num + 1
                row = next(reader, None)
                if row is None:
                    break
                if not row:
                    continue
                if len(row) != width:
                    raise LogError(f"'{path}' line {start}: {len(row)} fields, but the header names {width}")
                rows.append(row)
                lines.append(start)
    except OSError as err:
        raise LogError(f"cannot read '{path}': {err.strerror or err}") from None
    except UnicodeDecodeError:
        raise LogError(f"cannot read '{path}': not a UTF-8 text file") from None
    except csv.Error as err:
        raise LogError(f"cannot read '{path}' as CSV: {err}") from None
    import numpy as np

    origin = Origin(path, lines=np.asarray(lines, dtype=np.int64))
    table = Table(origin, {}, len(rows))
    columns = zip(*rows) if rows else ((() for _ in names))
    for name, cells in zip(names, columns):
        table.add(text_column(origin, name, list(cells)))
    return table

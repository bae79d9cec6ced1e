"""Categorical columns of a log, encoded once into integer codes.

A column is categorical when it holds text (a string column, a pandas
categorical, an Arrow dictionary column) or when it is declared so (config
``[columns] categorical = ["route"]``, ``--categorical route``, Python
``categorical=[...]``), which is how a column of integer codes becomes one.

One log's column is kept as its distinct values, sorted as text, and one code
per row (-1 for a missing cell: None, NaN, or text that is empty or only
spaces). Missing is a flag, never a category. The codes the tests use are
fixed later from the pooled rows of the two windows compared
(:mod:`morvanta.engines.categories`), so this local table is only a compact
form of the cells.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

    from .cells import Column, Origin

__all__ = ["CategoryColumn", "encode_cells", "category_column"]


@dataclass(frozen=True, eq=False)
class CategoryColumn:
    """One categorical column of one log (or window).

    ``values`` are the distinct categories, sorted; ``codes[i]`` is row i's
    index into them, -1 when the cell is missing. ``declared`` says the column
    was named categorical (a column of whole numbers, shown as their text).
    """

    name: str
    values: tuple[str, ...]
    codes: NDArray[numpy.int32]
    declared: bool = False

    def take(self, rows: Any) -> CategoryColumn:
        """The rows ``rows`` (a slice or index array), with the same table of values."""
        import numpy as np

        return CategoryColumn(self.name, self.values, np.ascontiguousarray(self.codes[rows]), self.declared)

    @property
    def n_rows(self) -> int:
        return int(self.codes.shape[0])

    def counts(self) -> NDArray[numpy.int64]:
        """Rows per value (in ``values`` order)."""
        import numpy as np

        c = self.codes
        return np.bincount(c[c >= 0], minlength=len(self.values)).astype(np.int64)

    def missing(self) -> int:
        return int((self.codes < 0).sum())


def encode_cells(cells: Any) -> tuple[tuple[str, ...], NDArray[numpy.int32]]:
    """Distinct values (sorted) and per-row codes of a sequence of str/None cells."""
    import numpy as np

    index: dict[str, int] = {}
    local = np.empty(len(cells), dtype=np.int32)
    for i, v in enumerate(cells):
        if v is None or (isinstance(v, float) and v != v) or not v.strip():
            local[i] = -1
        else:
            local[i] = index.setdefault(v, len(index))
    order = sorted(index)
    # local code -> sorted code
    remap = np.empty(len(index) + 1, dtype=np.int32)
    for new, value in enumerate(order):
        remap[index[value]] = new
    remap[len(index)] = -1
    codes = remap[np.where(local < 0, len(index), local)]
    return tuple(order), np.ascontiguousarray(codes, dtype=np.int32)


def _whole_numbers(origin: Origin, col: Column) -> list[str | None]:
    out: list[str | None] = []
    for i, v in enumerate(col.values):
        if math.isnan(v):
            out.append(None)
        elif v != math.floor(v) or math.isinf(v):
            raise origin.error(col.name, f"declared categorical, but holds {float(v)!r}, not a whole number", i)
        else:
            out.append(str(int(v)))
    return out


def category_column(origin: Origin, col: Column, declared: bool) -> CategoryColumn:
    """The categorical column of a raw column: text, or whole numbers when declared."""
    if col.kind == "text":
        cells: Any = col.values
    elif col.kind in ("number", "flag", "empty") and declared:
        cells = _whole_numbers(origin, col)
    else:
        raise origin.error(col.name, f"declared categorical, but holds {col.dtype} values (expected text or whole "
                                     "numbers)")
    values, codes = encode_cells(cells)
    return CategoryColumn(col.name, values, codes, declared and col.kind != "text")

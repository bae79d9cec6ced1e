"""Cost of categorical columns: encoding and the combined test on 10^6 rows x 10 columns.

Times (1) encoding the cells of both windows into pooled codes (the log reader's
encode_cells, then the pooled table) and (2) the data dimension's combined test
over the codes, next to the same test on 10 numeric columns. Prints one line per
step. Usage: python bench/bench_categorical.py [ROWS] [PERMUTATIONS]
"""

from __future__ import annotations

import sys
import time

import numpy as np

from morvanta import DataDrift, _engine
from morvanta.engines.categories import codes_matrix, pool
from morvanta.io.categories import CategoryColumn, encode_cells


def main() -> None:
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    perms = int(sys.argv[2]) if len(sys.argv) > 2 else 99
    cols = 10
    rng = np.random.default_rng(0)
    names = np.array([f"cat-{i}" for i in range(30)], dtype=object)
    half = rows // 2
    cells = [names[rng.integers(0, 30, rows)].tolist() for _ in range(cols)]
    t0 = time.perf_counter()
    pooled = []
    for j, c in enumerate(cells):
        bv, bc = encode_cells(c[:half])
        cv, cc = encode_cells(c[half:])
        pooled.append(pool(CategoryColumn(f"c{j}", bv, bc), CategoryColumn(f"c{j}", cv, cc)))
    t_enc = time.perf_counter() - t0
    bk = codes_matrix([p.base for p in pooled], half)
    ck = codes_matrix([p.cur for p in pooled], rows - half)
    empty_b, empty_c = np.empty((half, 0)), np.empty((rows - half, 0))
    t0 = time.perf_counter()
    r = _engine.combined_test(DataDrift(), "detect_with_categories", (empty_b, bk), (empty_c, ck), perms, 0,
                              stop_after=0)
    t_cat = time.perf_counter() - t0
    xb, xc = rng.normal(size=(half, cols)), rng.normal(size=(rows - half, cols))
    t0 = time.perf_counter()
    _engine.combined_test(DataDrift(), "detect", (xb,), (xc,), perms, 0, stop_after=0)
    t_num = time.perf_counter() - t0
    print(f"rows {rows:,} ({half:,} per window), {cols} columns, {perms} permutations + 200 pilot, "
          f"threads {_engine.get_threads() if hasattr(_engine, 'get_threads') else 'default'}")
    print(f"encoding (cells -> pooled codes): {t_enc:.2f} s ({rows * cols / t_enc / 1e6:.1f} M cells/s)")
    print(f"combined test, 10 categorical columns: {t_cat:.2f} s "
          f"({(perms + 201) * rows * cols / t_cat / 1e9:.2f} G cell-permutations/s), p = {r['p_value']:.3f}")
    print(f"combined test, 10 numeric columns:     {t_num:.2f} s")


if __name__ == "__main__":
    main()

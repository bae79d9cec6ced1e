"""Evidence for categorical columns on a real table (scikit-learn's bundled wine data).

The wine class (3 categories) and a column derived from a real one (alcohol cut
at its quartiles, 4 categories) are the categorical columns, with the 13
numeric columns beside them. (1) False alarms: random halves of the table
under the combined test, p <= alpha counted over many splits (binomial noise
shown). (2) Power: the baseline is a random half; the current window is drawn
from the other half with the class mix tilted, and the combined test is set
side by side with a chi-square test per categorical column with Bonferroni
(scipy.stats.chi2_contingency) on the same windows.
Usage: python bench/evidence_categorical.py [SPLITS]
"""

from __future__ import annotations

import math
import sys

import numpy as np
from scipy import stats
from sklearn.datasets import load_wine

from morvanta import DataDrift, _engine
from morvanta.engines.categories import codes_matrix, pool
from morvanta.io.categories import CategoryColumn, encode_cells

ALPHA = 0.05


def table():
    d = load_wine()
    x = d.data
    cls = [f"class_{c}" for c in d.target]
    q = np.quantile(x[:, 0], [0.25, 0.5, 0.75])
    alcohol = [f"q{int(np.searchsorted(q, v))}" for v in x[:, 0]]
    return x, [cls, alcohol]


def test(xb, xc, cats_b, cats_c, seed):
    pooled = [pool(CategoryColumn("c", *encode_cells(b)), CategoryColumn("c", *encode_cells(c)))
              for b, c in zip(cats_b, cats_c)]
    bk = codes_matrix([p.base for p in pooled], len(xb))
    ck = codes_matrix([p.cur for p in pooled], len(xc))
    r = _engine.combined_test(DataDrift(), "detect_with_categories", (xb, bk), (xc, ck), 999, seed)
    chi = min(1.0, min(stats.chi2_contingency(np.array(
        [[np.sum(p.base == k), np.sum(p.cur == k)] for k in range(len(p.categories))])).pvalue
        for p in pooled) * len(pooled))
    return r["p_value"], chi


def main() -> None:
    splits = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    x, cats = table()
    n = len(x)
    rng = np.random.default_rng(0)
    ours = chi = 0
    for s in range(splits):
        perm = rng.permutation(n)
        b, c = perm[: n // 2], perm[n // 2:]
        p, q = test(x[b], x[c], [[col[i] for i in b] for col in cats], [[col[i] for i in c] for col in cats], s)
        ours += p <= ALPHA
        chi += q <= ALPHA
    se = math.sqrt(ALPHA * (1 - ALPHA) / splits)
    print(f"null, random halves of {n} rows, {splits} splits: combined test {ours / splits:.3f}, "
          f"chi-square+Bonferroni {chi / splits:.3f} (alpha {ALPHA}, binomial SE {se:.3f})")
    target = load_wine().target
    for tilt in (0.5, 1.0, 2.0):
        ours = chi = 0
        for s in range(splits // 2):
            perm = rng.permutation(n)
            b, rest = perm[: n // 2], perm[n // 2:]
            w = np.where(target[rest] == 0, 1.0 + tilt, 1.0)
            c = rng.choice(rest, size=len(rest) * 2 // 3, replace=False, p=w / w.sum())
            p, q = test(x[b], x[c], [[col[i] for i in b] for col in cats], [[col[i] for i in c] for col in cats],
                        s)
            ours += p <= ALPHA
            chi += q <= ALPHA
        print(f"class 0 weighted x{1 + tilt:.1f} in the current window: power combined test "
              f"{ours / (splits // 2):.2f}, chi-square+Bonferroni {chi / (splits // 2):.2f}")


if __name__ == "__main__":
    main()

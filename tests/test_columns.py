"""data_drift_by_column: per-column DataDrift scores, for arrays and DataFrames."""

from __future__ import annotations

import re

import numpy as np
import pytest
from conftest import KS_EMPTY, MISMATCH, check_raises, layouts
from scipy import stats

import morvanta
from morvanta import DataDrift, MorvantaError, data_drift_by_column


def tables(seed: int, n_base: int = 400, n_cur: int = 350, cols: int = 5) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    # Column j shifts by 0.1 * j, so the columns drift by different amounts.
    return rng.normal(size=(n_base, cols)), rng.normal(size=(n_cur, cols)) + 0.1 * np.arange(cols)


def values(rows: list[morvanta.ColumnDrift]) -> list[float]:
    return [r.score.score for r in rows]


@pytest.mark.parametrize("shape, threshold, n_bins", [
    ((400, 350, 5), 0.1, 10), ((60, 80, 3), 0.2, 4),
    ((7, 9, 4), 0.1, 10),  # fewer baseline rows than bins: KS only
    ((50, 50, 2), 0.1, 1), ((300, 240, 4), 0.0, 0),
])
def test_columns_equal_single_column_detects_and_max_is_table_score(shape, threshold, n_bins):
    base, cur = tables(1, *shape)
    rows = data_drift_by_column(base, cur, threshold=threshold, n_bins=n_bins)
    det = DataDrift(threshold, n_bins)
    assert [(r.index, r.name) for r in rows] == [(j, str(j)) for j in range(shape[2])]
    for j, r in enumerate(rows):
        one = det.detect(np.ascontiguousarray(base[:, j : j + 1]), np.ascontiguousarray(cur[:, j : j + 1]))
        assert r.score.to_dict() == one.to_dict()
        if n_bins < 2:  # PSI left out: every column value is the KS statistic
            assert r.score.score == pytest.approx(stats.ks_2samp(base[:, j], cur[:, j]).statistic, rel=1e-12)
    assert max(values(rows)) == det.detect(base, cur).score
    assert any(v > 0 for v in values(rows))  # shifted columns must not score zero


def test_permutation_layouts_reruns_and_same_windows():
    base, cur = tables(4)
    rows = data_drift_by_column(base, cur, names=list("abcde"))
    perm = [3, 0, 4, 1, 2]
    permuted = data_drift_by_column(base[:, perm], cur[:, perm], names=[list("abcde")[p] for p in perm])
    assert [(r.name, r.score.score) for r in permuted] == [(rows[p].name, rows[p].score.score) for p in perm]
    before = base.copy()
    for b, c in zip(layouts(base), layouts(cur)):
        assert values(data_drift_by_column(b, c)) == values(rows)
    np.testing.assert_array_equal(base, before)
    assert values(data_drift_by_column(base, base.copy())) == [0.0] * base.shape[1]


B2, C2 = tables(7, cols=2)


@pytest.mark.parametrize("call, error, text", [
    (lambda: data_drift_by_column(np.zeros((0, 3)), np.zeros((4, 2))), MorvantaError, MISMATCH),  # columns first
    (lambda: data_drift_by_column(np.zeros((0, 2)), np.zeros((4, 2))), MorvantaError, KS_EMPTY),
    (lambda: data_drift_by_column(np.zeros((5, 2), np.float32), np.zeros((4, 2))), TypeError, "argument 'baseline': "),
    (lambda: data_drift_by_column(np.zeros((5, 2)), np.zeros(4)), TypeError, "argument 'current': "),
    (lambda: data_drift_by_column([[1.0, 2.0]], np.zeros((4, 2))), TypeError, "argument 'baseline': "),
    (lambda: data_drift_by_column(B2, C2, names="ab"), TypeError, "argument 'names': "),
    (lambda: data_drift_by_column(B2, C2, names=["a"]), ValueError, "names has 1 entries for 2 columns"),
    (lambda: data_drift_by_column(B2, C2, 0.1), TypeError, None),  # options are keyword-only
])
def test_errors(call, error, text):
    check_raises(call, error, text)


def test_pandas_frames_match_array_path_and_carry_names():
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(9)

    def frame(shift: float, n: int = 200) -> pd.DataFrame:
        return pd.DataFrame({"latency": rng.normal(100 + shift, 10, n), "tokens": rng.poisson(20 + shift, n),
                             "cached": rng.random(n) < 0.3, "turns": pd.array(rng.integers(1, 5, n), dtype="Int64")})

    base, cur = frame(0.0), frame(3.0)
    rows = data_drift_by_column(base, cur, threshold=0.15)
    assert [r.name for r in rows] == ["latency", "tokens", "cached", "turns"]
    as_array = data_drift_by_column(base.to_numpy(np.float64), cur.to_numpy(np.float64), threshold=0.15)
    assert [r.score.to_dict() for r in rows] == [r.score.to_dict() for r in as_array]
    # Columns of the current frame in another order are matched by name.
    shuffled = data_drift_by_column(base, cur[["turns", "latency", "cached", "tokens"]], threshold=0.15)
    assert [(r.name, r.score.score) for r in shuffled] == [(r.name, r.score.score) for r in rows]
    # Missing values become NaN.
    holes = pd.DataFrame({"x": pd.array([1, None, 3, 4], dtype="Int64")})
    expect = data_drift_by_column(np.array([[1.0], [np.nan], [3.0], [4.0]]), np.arange(4.0)[:, None])
    got = data_drift_by_column(holes, pd.DataFrame({"x": np.arange(4.0)}))
    assert np.array_equal(values(got), values(expect), equal_nan=True)


NOT_NUMERIC = r"^argument 'baseline': column 'city' is not numeric"


@pytest.mark.parametrize("make, error, match", [
    (lambda pd, f: (f.assign(city=["a", "b"]), f), TypeError, NOT_NUMERIC),
    (lambda pd, f: (f.assign(city=np.array(["2024-01-01"] * 2, dtype="datetime64[ns]")), f), TypeError, NOT_NUMERIC),
    (lambda pd, f: (f.assign(city=pd.Series(["a", "b"], dtype="category")), f), TypeError, NOT_NUMERIC),
    (lambda pd, f: (f, f[["a", "b"]]), MorvantaError, f"^{re.escape(MISMATCH)}$"),
    (lambda pd, f: (f, f.rename(columns={"c": "z"})), ValueError, "column names differ.*'c'.*'z'"),
])
def test_pandas_column_errors(make, error, match):
    pd = pytest.importorskip("pandas")
    with pytest.raises(error, match=match):
        data_drift_by_column(*make(pd, pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0], "c": [5.0, 6.0]})))


def test_polars_frames_match_array_path():
    pl = pytest.importorskip("polars")
    rng = np.random.default_rng(10)
    base = pl.DataFrame({"x": rng.normal(size=100), "n": rng.integers(0, 9, 100), "f": rng.random(100) < 0.5})
    cur = pl.DataFrame({"x": rng.normal(0.4, size=90), "n": rng.integers(0, 12, 90), "f": rng.random(90) < 0.2})
    rows = data_drift_by_column(base, cur)
    assert [r.name for r in rows] == ["x", "n", "f"]
    expect = data_drift_by_column(base.to_numpy().astype(np.float64), cur.to_numpy().astype(np.float64))
    assert values(rows) == values(expect)
    with pytest.raises(TypeError, match="column 's' is not numeric"):
        data_drift_by_column(base.with_columns(s=pl.lit("q")), cur)

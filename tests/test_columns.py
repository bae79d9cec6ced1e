"""data_drift_by_column: per-column DataDrift scores, for arrays and DataFrames."""

from __future__ import annotations

import threading

import numpy as np
import pytest

import morvanta
from morvanta import DataDrift, MorvantaError, data_drift_by_column


def tables(seed: int, n_base: int = 400, n_cur: int = 350, cols: int = 5) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    base = rng.normal(size=(n_base, cols))
    # Column j shifts by 0.1 * j, so the columns drift by different amounts.
    cur = rng.normal(size=(n_cur, cols)) + 0.1 * np.arange(cols)
    return base, cur


def values(rows: list[morvanta.ColumnDrift]) -> list[float]:
    return [r.score.score for r in rows]


@pytest.mark.parametrize(
    "shape, threshold, n_bins",
    [
        ((400, 350, 5), 0.1, 10),
        ((60, 80, 3), 0.2, 4),
        ((7, 9, 4), 0.1, 10),  # fewer baseline rows than bins: KS only
        ((50, 50, 2), 0.1, 1),
        ((30, 20, 1), 0.0, 0),
    ],
)
def test_columns_equal_single_column_detects_and_max_is_table_score(shape, threshold, n_bins):
    base, cur = tables(1, *shape)
    rows = data_drift_by_column(base, cur, threshold=threshold, n_bins=n_bins)
    det = DataDrift(threshold, n_bins)
    assert [r.index for r in rows] == list(range(shape[2]))
    assert [r.name for r in rows] == [str(j) for j in range(shape[2])]
    for j, r in enumerate(rows):
        one = det.detect(np.ascontiguousarray(base[:, j : j + 1]), np.ascontiguousarray(cur[:, j : j + 1]))
        assert r.score.to_dict() == one.to_dict()
    assert max(values(rows)) == det.detect(base, cur).score
    # The data kernels are in place: shifted columns must not score zero.
    assert any(v > 0 for v in values(rows))


def test_ks_only_columns_match_scipy():
    stats = pytest.importorskip("scipy.stats")
    base, cur = tables(2, 300, 240, 4)
    # n_bins below 2 leaves PSI out, so every column value is the KS statistic.
    for r in data_drift_by_column(base, cur, n_bins=0):
        ref = stats.ks_2samp(base[:, r.index], cur[:, r.index]).statistic
        assert r.score.score == pytest.approx(ref, rel=1e-12, abs=1e-15)
        assert r.score.method == "ks+psi" and r.score.dimension == "data"


@pytest.mark.parametrize(
    "relayout",
    [
        np.asfortranarray,
        lambda a: np.ascontiguousarray(a.T).T,  # transposed view
        lambda a: a[::-1],  # reversed rows (negative stride); KS and PSI ignore row order
        lambda a: np.repeat(a, 2, axis=1)[:, ::2],  # non-contiguous column slice
    ],
    ids=["fortran", "transposed", "reversed", "sliced"],
)
def test_layout_does_not_change_scores(relayout):
    base, cur = tables(3)
    expect = [r.score.to_dict() for r in data_drift_by_column(base, cur)]
    before = base.copy()
    got = [r.score.to_dict() for r in data_drift_by_column(relayout(base), relayout(cur))]
    assert got == expect
    assert np.array_equal(base, before)


def test_column_permutation_permutes_results_and_reruns_are_identical():
    base, cur = tables(4)
    rows = data_drift_by_column(base, cur, names=list("abcde"))
    perm = [3, 0, 4, 1, 2]
    permuted = data_drift_by_column(base[:, perm], cur[:, perm], names=[list("abcde")[p] for p in perm])
    assert [(r.name, r.score.score) for r in permuted] == [(rows[p].name, rows[p].score.score) for p in perm]
    assert values(data_drift_by_column(base, cur)) == values(rows)


def test_same_windows_give_zero_for_every_column():
    base, _ = tables(5)
    assert values(data_drift_by_column(base, base.copy())) == [0.0] * base.shape[1]


def test_threads_agree_with_sequential_call():
    base, cur = tables(6, 3000, 3000, 6)
    expect = values(data_drift_by_column(base, cur))
    results: list[list[float]] = []
    def work() -> None:
        results.append(values(data_drift_by_column(base, cur)))

    workers = [threading.Thread(target=work) for _ in range(4)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert results == [expect] * 4


MISMATCH = "dimension mismatch: expected 3, got 2 (DataDriftDetector::detect)"
EMPTY = "insufficient samples: need at least 1, got 0 (ks_two_sample)"


@pytest.mark.parametrize(
    "baseline, current, error, message",
    [
        (np.zeros((5, 3)), np.zeros((4, 2)), MorvantaError, MISMATCH),
        (np.zeros((0, 3)), np.zeros((4, 2)), MorvantaError, MISMATCH),
        (np.zeros((0, 2)), np.zeros((4, 2)), MorvantaError, EMPTY),
        (np.zeros((5, 2), np.float32), np.zeros((4, 2)), TypeError, "argument 'baseline': "),
        (np.zeros((5, 2)), np.zeros(4), TypeError, "argument 'current': "),
        ([[1.0, 2.0]], np.zeros((4, 2)), TypeError, "argument 'baseline': "),
    ],
    ids=["columns", "columns-before-rows", "empty", "float32", "1-d", "list"],
)
def test_errors(baseline, current, error, message):
    with pytest.raises(error) as info:
        data_drift_by_column(baseline, current)
    assert type(info.value) is error
    assert str(info.value).startswith(message)
    if error is MorvantaError:
        assert str(info.value) == message


@pytest.mark.parametrize("names, error", [(["a"], ValueError), ("ab", TypeError)])
def test_bad_names(names, error):
    base, cur = tables(7, cols=2)
    with pytest.raises(error, match="names"):
        data_drift_by_column(base, cur, names=names)


def test_keyword_only_options():
    base, cur = tables(8)
    with pytest.raises(TypeError):
        data_drift_by_column(base, cur, 0.1)  # type: ignore[misc]


# ------------------------------------------------------------------ DataFrames


def test_pandas_frames_match_array_path_and_carry_names():
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(9)
    n = 200

    def frame(shift: float) -> pd.DataFrame:
        return pd.DataFrame(
            {
                "latency": rng.normal(100 + shift, 10, n),
                "tokens": rng.poisson(20 + shift, n).astype(np.int64),
                "cached": rng.random(n) < 0.3,
                "turns": pd.array(rng.integers(1, 5, n), dtype="Int64"),
            }
        )

    base, cur = frame(0.0), frame(3.0)
    rows = data_drift_by_column(base, cur, threshold=0.15)
    assert [r.name for r in rows] == ["latency", "tokens", "cached", "turns"]
    as_array = data_drift_by_column(base.to_numpy(np.float64), cur.to_numpy(np.float64), threshold=0.15)
    assert [r.score.to_dict() for r in rows] == [r.score.to_dict() for r in as_array]
    # Columns of the current frame in another order are matched by name.
    shuffled = data_drift_by_column(base, cur[["turns", "latency", "cached", "tokens"]], threshold=0.15)
    assert [(r.name, r.score.score) for r in shuffled] == [(r.name, r.score.score) for r in rows]


def test_pandas_missing_values_become_nan():
    pd = pytest.importorskip("pandas")
    base = pd.DataFrame({"x": pd.array([1, None, 3, 4], dtype="Int64")})
    cur = pd.DataFrame({"x": [1.0, 2.0, 3.0, 4.0]})
    expect = data_drift_by_column(np.array([[1.0], [np.nan], [3.0], [4.0]]), cur.to_numpy())
    assert np.array_equal(values(data_drift_by_column(base, cur)), values(expect), equal_nan=True)


@pytest.mark.parametrize(
    "column",
    [["a", "b", "c"], np.array(["2024-01-01"] * 3, dtype="datetime64[ns]"), "category"],
    ids=["object", "datetime", "category"],
)
def test_pandas_non_numeric_column_is_named(column):
    pd = pytest.importorskip("pandas")
    bad = pd.Series(["a", "b", "a"], dtype="category") if isinstance(column, str) else column
    base = pd.DataFrame({"ok": [1.0, 2.0, 3.0], "city": bad})
    with pytest.raises(TypeError, match=r"argument 'baseline': column 'city' is not numeric"):
        data_drift_by_column(base, base)


def test_pandas_column_mismatches():
    pd = pytest.importorskip("pandas")
    base = pd.DataFrame({"a": [1.0, 2.0], "b": [3.0, 4.0], "c": [5.0, 6.0]})
    with pytest.raises(MorvantaError, match=r"^dimension mismatch: expected 3, got 2 \(DataDriftDetector::detect\)$"):
        data_drift_by_column(base, base[["a", "b"]])
    with pytest.raises(ValueError, match="column names differ.*'c'.*'z'"):
        data_drift_by_column(base, base.rename(columns={"c": "z"}))


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

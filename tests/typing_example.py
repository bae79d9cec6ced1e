"""Uses the whole public API the way a typed caller would. tests/test_stubs.py checks
it with ``mypy --strict`` and also runs it, so every call must type-check and work."""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray

import morvanta
from morvanta import (BaselineSnapshot, ColumnDrift, ConfidenceDrift, DataDrift, DriftReport, DriftScore,
                      EmbeddingDrift, MorvantaError, QueryDrift, ResponseDrift)


def windows() -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float32], NDArray[np.float32]]:
    rng = np.random.default_rng(7)
    base, cur = rng.normal(size=(300, 4)), rng.normal(0.3, 1.0, size=(280, 4))
    return base, cur, rng.normal(size=(120, 16)).astype(np.float32), (rng.normal(size=(100, 16)) + 0.5).astype(np.float32)


def all_scores() -> list[DriftScore]:
    base, cur, emb_base, emb_cur = windows()
    lengths_base: list[float] = [120.0, 95.0, 210.0, 180.0]
    lengths_cur = np.array([300.0, 280.0, 310.0])
    flags_base = np.array([True, False, True, True])
    flags_cur: list[bool] = [True, True, False]
    return [
        DataDrift().detect(base, cur),
        DataDrift(threshold=0.2, n_bins=5).detect(np.asfortranarray(base), cur[::-1]),
        EmbeddingDrift(0.05, 32, 1).detect(emb_base, emb_cur),
        EmbeddingDrift(threshold=np.float64(0.1), seed=2**64 - 1).detect(emb_base.T.copy().T, emb_cur),
        ResponseDrift().detect(lengths_base, lengths_cur),
        ResponseDrift(threshold=0.3, seed=5).detect_with_embeddings((1.0, 2.0, 3.0), lengths_cur,
                                                                     baseline_embeddings=emb_base, current_embeddings=emb_cur),
        ConfidenceDrift().detect([0.9, 0.8, 0.7, 0.95], [0.6, 0.5, 0.7]),
        ConfidenceDrift(0.2, n_calib_bins=5).detect_with_correctness([0.9, 0.8, 0.7, 0.95], flags_base,
                                                                     np.array([0.6, 0.5, 0.7]), flags_cur),
        QueryDrift().detect(emb_base, emb_cur),
        QueryDrift(threshold=0.5, k=4, seed=9).detect(baseline=emb_base, current=emb_cur[:0]),
    ]


def summarise(scores: list[DriftScore]) -> str:
    lines: list[str] = []
    for s in scores:
        dimension: str = s.dimension
        value: float = s.score
        threshold: float = s.threshold
        exceeded: bool = s.exceeded
        method: str = s.method
        d = s.to_dict()
        assert d["dimension"] == dimension and d["method"] == method
        lines.append(f"{dimension:<10} {value:.6f} {threshold:.6f} {exceeded} {method} {s!r}")
    return "\n".join(lines)


def report(scores: list[DriftScore]) -> DriftReport:
    r = DriftReport(scores, 300, sample_size_current=280)
    first: DriftScore = r.scores[0]
    assert first.dimension == "data"
    when: int = r.timestamp
    sizes: tuple[int, int] = (r.sample_size_baseline, r.sample_size_current)
    top: float = r.max_score()
    any_drift: bool = r.any_exceeded()
    text: str = r.to_json()
    assert when > 0 and sizes == (300, 280) and top >= 0.0 and text.startswith('{"scores":[')
    assert isinstance(any_drift, bool)
    return r


def snapshot() -> BaselineSnapshot:
    fresh = BaselineSnapshot()
    again: BaselineSnapshot = BaselineSnapshot.from_json(fresh.to_json())
    assert again.captured_at == fresh.captured_at
    return BaselineSnapshot.from_json(s='{"feature_means":[0.5,1.5],"captured_at":1700000000}')


def columns() -> list[ColumnDrift]:
    base, cur, _, _ = windows()
    rows = morvanta.data_drift_by_column(base, cur, threshold=0.1, n_bins=10, names=["a", "b", "c", "d"])
    worst = max(rows, key=lambda c: c.score.score)
    assert worst.score.score == DataDrift().detect(base, cur).score
    index: int = worst.index
    name: str = worst.name
    assert rows[index].name == name
    return rows


def failures() -> list[str]:
    messages: list[str] = []
    try:
        DataDrift().detect(np.zeros((3, 3)), np.zeros((3, 2)))
    except MorvantaError as err:
        messages.append(str(err))
    try:
        QueryDrift(k=0).detect(np.zeros((4, 2), np.float32), np.zeros((4, 2), np.float32))
    except MorvantaError as err:
        messages.append(str(err))
    return messages


def tests_and_thresholds() -> tuple[float, float, str]:
    base = np.random.default_rng(0).normal(size=(200, 3))
    t: morvanta.DriftTest = morvanta.permutation_test(morvanta.DataDrift().detect, base[:100], base[100:],
                                                      n_permutations=19)
    flag: bool = t.drifted(0.01)
    c: morvanta.Calibration = morvanta.calibrate(morvanta.DataDrift().detect, base, false_alarm_rate=0.1, n_splits=20)
    scores: tuple[float, ...] = c.null_scores
    conf = [0.5, 0.7, 0.9, 0.4]
    t2 = morvanta.permutation_test(morvanta.ConfidenceDrift().detect_with_correctness,
                                   (conf, [True, False, True, True]), (conf, [True, True, True, False]), seed=3)
    return t.p_value + flag, c.threshold + len(scores), t2.statistic


def categories() -> tuple[str, float, list[str]]:
    base = {"x": [0.1, 0.2, 0.3, 0.4], "route": ["a", "a", "b", None]}
    cur = {"x": [0.2, 0.3, 0.4, 0.5], "route": ["b", "b", "c", "a"]}
    bd = morvanta.explain(morvanta.DataDrift().detect, base, cur, redact_categories=False)
    assert isinstance(bd, morvanta.DataBreakdown)
    col: morvanta.CategoryBreakdown = bd.categories[0]
    top: morvanta.CategoryShare = col.moved[0]
    from morvanta import _engine

    f = np.asfortranarray(np.zeros((4, 1)))
    r = _engine.combined_test(morvanta.DataDrift(), "detect_with_categories", (f, np.array([[0.0], [0.0], [1.0], [-1.0]])),
                              (f, np.array([[1.0], [1.0], [2.0], [0.0]])), 19, 1)
    parts: list[str] = r["parts"]
    return top.category, col.missing_baseline, parts


def main() -> None:
    version: str = morvanta.__version__
    scores = all_scores()
    print(version, summarise(scores), report(scores), snapshot().captured_at, [c.name for c in columns()], failures(),
          tests_and_thresholds(), categories())


if __name__ == "__main__":
    main()

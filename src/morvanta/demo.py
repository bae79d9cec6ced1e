"""Built-in synthetic traffic for ``morvanta demo``.

A question-answering pipeline is simulated request by request: tabular request
features, retrieved-context embeddings, query embeddings, answer lengths and
embeddings, and the model's confidence with a correctness flag. The baseline
window and two current windows are drawn from fixed seeds, so the demo prints
the same scores on every run:

- ``stable``: the same traffic as the baseline, fresh draws;
- ``drift``: a new query topic takes a quarter of the traffic, answers get
  longer, latency rises, retrieval gets worse and the model turns overconfident.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING

from ._native import (
    ConfidenceDrift,
    DataDrift,
    DriftScore,
    EmbeddingDrift,
    QueryDrift,
    ResponseDrift,
)

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

__all__ = ["FEATURE_NAMES", "SCENARIOS", "Window", "ScenarioResult", "make_window", "run_demo", "as_log", "drift_check",
           "check_window"]

N_REQUESTS = 2_000
EMBEDDING_DIM = 64
N_TOPICS = 8
FEATURE_NAMES = (
    "query_tokens",
    "context_tokens",
    "n_retrieved",
    "retrieval_score",
    "latency_ms",
    "doc_age_days",
    "user_turns",
    "temperature",
)
SCENARIOS = ("stable", "drift")
_SEEDS = {"geometry": 20240601, "baseline": 1, "stable": 2, "drift": 3}


@dataclass(frozen=True)
class Window:
    """One window of simulated requests; row i of every field is request i."""

    features: NDArray[numpy.float64]  # (n, 8), columns FEATURE_NAMES
    contexts: NDArray[numpy.float32]  # (n, 64) retrieved-context embeddings
    queries: NDArray[numpy.float32]  # (n, 64) query embeddings
    answers: NDArray[numpy.float32]  # (n, 64) answer embeddings
    lengths: NDArray[numpy.float64]  # (n,) answer lengths in tokens
    confidences: NDArray[numpy.float64]  # (n,) in [0, 1]
    correct: NDArray[numpy.bool_]  # (n,)

    @property
    def n(self) -> int:
        return int(self.features.shape[0])


@dataclass(frozen=True)
class ScenarioResult:
    name: str
    description: str
    scores: list[DriftScore]
    n_baseline: int
    n_current: int


def _unit_rows(x: NDArray[numpy.float64]) -> NDArray[numpy.float32]:
    import numpy as np

    out: NDArray[numpy.float32] = (x / np.linalg.norm(x, axis=1, keepdims=True)).astype(np.float32)
    return out


def make_window(kind: str, n: int = N_REQUESTS) -> Window:
    """Draws the window ``kind`` ("baseline", "stable" or "drift") from its fixed seed."""
    import numpy as np

    if kind not in _SEEDS or kind == "geometry":
        raise ValueError(f"unknown window {kind!r}")
    drift = kind == "drift"
    # The topic directions are shared by every window; only the draws differ.
    geo = np.random.default_rng(_SEEDS["geometry"])
    topics = geo.normal(size=(N_TOPICS + 1, EMBEDDING_DIM))
    topics /= np.linalg.norm(topics, axis=1, keepdims=True)
    new_topic = N_TOPICS  # the topic that appears only in the drifted window
    answer_shift = geo.normal(size=EMBEDDING_DIM) / np.sqrt(EMBEDDING_DIM)

    rng = np.random.default_rng(_SEEDS[kind])
    topic = rng.integers(0, N_TOPICS, size=n)
    if drift:
        # A new topic arrives and one old topic surges.
        u = rng.random(n)
        topic[u < 0.40] = 0
        topic[u < 0.15] = new_topic
    spread = 0.5 / np.sqrt(EMBEDDING_DIM)

    queries = _unit_rows(topics[topic] + spread * rng.normal(size=(n, EMBEDDING_DIM)))
    contexts_raw = 0.8 * topics[topic] + spread * 1.5 * rng.normal(size=(n, EMBEDDING_DIM))
    if drift:
        contexts_raw += 0.5 * answer_shift  # a re-indexed corpus: retrieved passages moved too
    contexts = _unit_rows(contexts_raw)
    answers_raw = 0.7 * topics[topic] + spread * rng.normal(size=(n, EMBEDDING_DIM))
    if drift:
        answers_raw += 0.6 * answer_shift
    answers = _unit_rows(answers_raw)

    lengths = np.round(rng.lognormal(np.log(160.0 if drift else 120.0), 0.45, size=n))
    if drift:
        confidences = rng.beta(9.0, 2.0, size=n)
        correct = rng.random(n) < confidences - 0.2
    else:
        confidences = rng.beta(8.0, 2.0, size=n)
        correct = rng.random(n) < confidences

    features = np.empty((n, len(FEATURE_NAMES)), dtype=np.float64)
    features[:, 0] = rng.poisson(24.0 if drift else 18.0, size=n)
    features[:, 1] = rng.normal(900.0, 150.0, size=n).round()
    features[:, 2] = rng.integers(3, 9, size=n)
    features[:, 3] = np.clip(rng.normal(0.62 if drift else 0.74, 0.08, size=n), 0.0, 1.0)
    features[:, 4] = rng.gamma(4.0, 80.0 * (1.5 if drift else 1.0), size=n)
    features[:, 5] = rng.exponential(40.0, size=n)
    features[:, 6] = rng.geometric(0.45, size=n)
    features[:, 7] = 0.2
    return Window(features, contexts, queries, answers, lengths, confidences, correct)


def score_window(baseline: Window, current: Window) -> list[DriftScore]:
    """Runs all five detectors, with their default settings, on two windows."""
    return [
        DataDrift().detect(baseline.features, current.features),
        EmbeddingDrift().detect(baseline.contexts, current.contexts),
        ResponseDrift().detect_with_embeddings(
            baseline.lengths.tolist(), current.lengths.tolist(), baseline.answers, current.answers
        ),
        ConfidenceDrift().detect_with_correctness(
            baseline.confidences.tolist(),
            baseline.correct.tolist(),
            current.confidences.tolist(),
            current.correct.tolist(),
        ),
        QueryDrift().detect(baseline.queries, current.queries),
    ]


DESCRIPTIONS = {
    "stable": "current traffic drawn like the baseline",
    "drift": "new query topic, longer answers, slower and worse retrieval, overconfident model",
}


def run_demo(scenarios: tuple[str, ...] = SCENARIOS, n: int = N_REQUESTS) -> list[ScenarioResult]:
    """Scores each scenario's current window against the shared baseline."""
    baseline = make_window("baseline", n)
    results = []
    for name in scenarios:
        current = make_window(name, n)
        results.append(
            ScenarioResult(name, DESCRIPTIONS[name], score_window(baseline, current), baseline.n, current.n)
        )
    return results


def as_log(window: Window) -> dict[str, object]:
    """The window as a request log (a dict of columns) for :func:`morvanta.check`;
    the retrieved-context embeddings feed the embedding dimension."""
    log: dict[str, object] = {name: window.features[:, j] for j, name in enumerate(FEATURE_NAMES)}
    log.update(
        embedding=window.contexts,
        query_embedding=window.queries,
        response_embedding=window.answers,
        response_length=window.lengths,
        confidence=window.confidences,
        correct=window.correct,
    )
    return log


def check_window(baseline: Window, current: Window, name: str, decide: str = "p-value",
                 explain: bool = False) -> object:
    """The pipeline check of one scenario's window against the baseline (a CheckResult),
    decided as ``decide`` says; its scores equal :func:`score_window`'s."""
    from .io.log import read_log
    from .pipeline.check import check

    return check(read_log(as_log(baseline), name="demo baseline"),
                 read_log(as_log(current), name=f"demo {name} window"), decide=decide, explain=explain)


def drift_check(n: int = N_REQUESTS, decide: str = "p-value") -> object:
    """The pipeline check of the drifted scenario against the baseline (a CheckResult),
    with breakdowns; its scores equal :func:`score_window`'s."""
    return check_window(make_window("baseline", n), make_window("drift", n), "drift", decide, explain=True)

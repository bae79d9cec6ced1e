"""Native engines behind the package API; not a public interface."""

from collections.abc import Sequence
from typing import Any, final

import numpy
from numpy.typing import NDArray

from ._native import (
    BaselineSnapshot,
    ConfidenceDrift,
    DataDrift,
    DriftReport,
    DriftScore,
    EmbeddingDrift,
    QueryDrift,
    ResponseDrift,
)

# The package version, the same as morvanta._native's (the module refuses to
# start beside a _native of another version).
__version__: str

# ---------------------------------------------------------------- worker pool

def set_threads(n: int) -> None: ...
def threads() -> int: ...


# ---------------------------------------------------------------- permutation tests and calibration

# Each returns (statistic of the given split, the statistics of permutations
# 0..n_permutations-1 as the bytes of native float64 values).
_Floats = Sequence[float] | NDArray[Any]
_Bools = Sequence[bool] | NDArray[numpy.bool_]

def ks_permutations(baseline: _Floats, current: _Floats, n_permutations: int, seed: int) -> tuple[float, bytes]: ...
def confidence_permutations(
    detector: ConfidenceDrift,
    baseline: _Floats,
    baseline_correct: _Bools,
    current: _Floats,
    current_correct: _Bools,
    n_permutations: int,
    seed: int,
) -> tuple[float, bytes]: ...
def data_permutations(
    detector: DataDrift, baseline: NDArray[numpy.float64], current: NDArray[numpy.float64], n_permutations: int, seed: int
) -> tuple[float, bytes]: ...
def embedding_permutations(
    detector: EmbeddingDrift,
    baseline: NDArray[numpy.float32],
    current: NDArray[numpy.float32],
    n_permutations: int,
    seed: int,
) -> tuple[float, bytes]: ...
def query_permutations(
    detector: QueryDrift, baseline: NDArray[numpy.float32], current: NDArray[numpy.float32], n_permutations: int, seed: int
) -> tuple[float, bytes]: ...
def response_permutations(
    detector: ResponseDrift,
    baseline_lengths: _Floats,
    current_lengths: _Floats,
    baseline_embeddings: NDArray[numpy.float32],
    current_embeddings: NDArray[numpy.float32],
    n_permutations: int,
    seed: int,
) -> tuple[float, bytes]: ...
def split_labels(n_total: int, n_baseline: int, seed: int, index: int) -> bytes: ...
def row_priorities(rows: bytes, row_bytes: int, n_rows: int, seed: int) -> bytes:
    """The bottom-k priority of each of n_rows rows of row_bytes bytes (bytes, rows back to back):
    little-endian uint64 bytes."""
def pilot_seed(seed: int) -> int:
    """Seed of the combined test's pilot stream: pilot permutation p deals
    split_labels(n_total, n_baseline, pilot_seed(seed), p)."""

def combined_test(
    detector: DataDrift | EmbeddingDrift | QueryDrift | ResponseDrift | ConfidenceDrift,
    method: str,
    baseline: tuple[Any, ...],
    current: tuple[Any, ...],
    n_permutations: int,
    seed: int,
    *,
    pilot: int = 200,
    stop_after: int = 20,
) -> dict[str, Any]:
    """Combined (maxT) permutation test of one detector method.

    ``baseline`` and ``current`` hold the method's arguments of each side, e.g.
    ``(features,)`` or ``(lengths, embeddings)``. ``method`` is the detector
    method's name, or "detect_with_categories" for DataDrift: each side is then
    ``(features, codes)``, ``codes`` a float64 (rows x categorical columns)
    matrix of category codes (whole numbers, -1 missing) fixed from the pooled
    rows, whose column j adds the parts "psi_cat[p+j]" (PSI over the category
    shares, the categories the split's baseline side lacks in one bin) and
    "missing[p+j]" (change of the missing share) after the p numeric columns.
    Every split is evaluated into the method's parts ("ks[3]", "psi[3]",
    "mmd2", "sw", "ks(length)", "sw(emb)", "ks(conf)", "ece_delta", "sym_kl",
    "psi_cat[j]", "missing[j]"); a pilot of ``pilot``
    permutations on its own stream fixes each part's mean and population sd, and
    the statistic is the largest standardised part. Parts with a NaN observation
    or no pilot spread are left out ("excluded"). The test stops at the
    ``stop_after``-th permutation reaching the observed statistic (p = h / L;
    0 runs all, p = (1 + c) / (1 + B)).

    Keys: parts, columns (column per part or None), observed, mean, sd,
    excluded, statistic, p_value, p_raw, p_adjusted (single-step maxT; NaN when
    excluded), permutations_run, stopped, n_permutations, seed, score and
    score_detail: the detector's own score of the given windows (a DriftScore,
    bit for bit) and the values behind it, where the test's preparation holds
    them (EmbeddingDrift.detect: mmd2, sliced_wasserstein, bandwidth, bandwidth_sq;
    ResponseDrift.detect_with_embeddings: ks, sliced_wasserstein), else None.
    """


# ---------------------------------------------------------------- fitted baselines and breakdowns

@final
class BaselineState:
    """Fitted baseline state (opaque); made by baseline_fit()."""

def baseline_fit(
    features: NDArray[numpy.float64] | None = None,
    embeddings: NDArray[numpy.float32] | None = None,
    queries: NDArray[numpy.float32] | None = None,
    response_lengths: Sequence[float] | NDArray[numpy.float64] | None = None,
    response_embeddings: NDArray[numpy.float32] | None = None,
    confidences: Sequence[float] | NDArray[numpy.float64] | None = None,
    correct: Sequence[bool] | NDArray[numpy.bool_] | None = None,
    data: DataDrift | None = None,
    embedding: EmbeddingDrift | None = None,
    query: QueryDrift | None = None,
    response: ResponseDrift | None = None,
    confidence: ConfidenceDrift | None = None,
    query_centroids: NDArray[numpy.float32] | None = None,
    query_frequencies: Sequence[float] | NDArray[numpy.float64] | None = None,
    query_rows: int | None = None,
    presorted: bool = False,
) -> BaselineState: ...
def baseline_check(
    state: BaselineState,
    features: NDArray[numpy.float64] | None = None,
    embeddings: NDArray[numpy.float32] | None = None,
    queries: NDArray[numpy.float32] | None = None,
    response_lengths: Sequence[float] | NDArray[numpy.float64] | None = None,
    response_embeddings: NDArray[numpy.float32] | None = None,
    confidences: Sequence[float] | NDArray[numpy.float64] | None = None,
    correct: Sequence[bool] | NDArray[numpy.bool_] | None = None,
    explain: bool = False,
) -> list[tuple[str, DriftScore, dict[str, Any] | None]]: ...
def baseline_export(state: BaselineState) -> dict[str, Any]: ...
def json_dump(obj: Any) -> str: ...
def json_load(text: str) -> Any: ...


# ---------------------------------------------------------------- value state (pickling)

def detector_settings(
    detector: DataDrift | EmbeddingDrift | ResponseDrift | ConfidenceDrift | QueryDrift,
) -> tuple[Any, ...]: ...
def drift_score(dimension: str, score: float, threshold: float, exceeded: bool, method: str) -> DriftScore: ...
def drift_report(
    scores: Sequence[DriftScore], timestamp: int, sample_size_baseline: int, sample_size_current: int
) -> DriftReport: ...
def snapshot_fields(snapshot: BaselineSnapshot) -> dict[str, Any]: ...
def make_snapshot(
    captured_at: int,
    embeddings: NDArray[numpy.float32] | None = None,
    feature_means: Sequence[float] | NDArray[numpy.float64] | None = None,
    feature_stds: Sequence[float] | NDArray[numpy.float64] | None = None,
    confidence_scores: Sequence[float] | NDArray[numpy.float64] | None = None,
    response_lengths: Sequence[int] | NDArray[numpy.uint64] | None = None,
    query_centroids: NDArray[numpy.float32] | None = None,
    query_cluster_freqs: Sequence[float] | NDArray[numpy.float64] | None = None,
) -> BaselineSnapshot: ...


# ---------------------------------------------------------------- core errors

def error_fields(message: str) -> tuple[str, int | None, int | None, str | None] | None:
    """The kind and values of the core error whose message is ``message``.

    Returns ``(kind, expected, got, context)``, read by the core's own decoder
    (the exact inverse of its message formatting, so no pattern matching over
    the text), or None for any text that is not a core error's message in its
    exact form (an argument error, "deserialize: ...", an edited message).

    ``kind`` is one of "dimension_mismatch", "insufficient_samples",
    "numerical_instability", "invalid_config", "io", "serialization",
    "cancelled", "out_of_memory". ``context`` is the operation named in the
    closing parentheses. By kind:

    - dimension_mismatch: (expected, got, context), e.g.
      ``("dimension_mismatch", 384, 768, "mmd_rbf")``;
    - insufficient_samples: (the count needed, the count given, context), e.g.
      ``("insufficient_samples", 1, 0, "ks_two_sample")``;
    - numerical_instability: (None, None, context);
    - out_of_memory (the text of a MemoryError from the core): (the byte count
      asked for, which may exceed 64 bits, None, context);
    - invalid_config, io, serialization, cancelled: (None, None, None); their
      text is the message itself.

    >>> try:
    ...     DataDrift().detect(a, b)
    ... except MorvantaError as err:
    ...     kind, expected, got, context = error_fields(str(err))
    """


# ---------------------------------------------------------------- end

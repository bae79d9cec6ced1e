"""Native core of morvanta: the five drift detectors and their result classes.

Every detector compares a baseline window with a current window and returns a
:class:`DriftScore`. Scores are computed in a fixed order of operations, so
equal inputs, settings and seeds give equal scores, bit for bit. Detectors are
immutable and release the interpreter lock while they compute, so one detector
may be used from several threads at once.

Argument conversions shared by every class:

- float parameters accept anything ``float()`` accepts (NaN and infinities pass);
- integer parameters (counts, seeds) take an ``int`` or an object with
  ``__index__``, not a ``float``; a negative value or one of 2**64 or more
  raises ``OverflowError``;
- float sequences are a list, a tuple or a 1-D NumPy array of numbers (not a ``str``);
- boolean sequences hold Python or NumPy booleans only (0 and 1 are refused);
- 2-D arrays must already have the stated dtype (float64 for :class:`DataDrift`,
  float32 for embeddings); nothing is cast. Any memory order and strides are
  accepted (Fortran order, transposed, reversed, sliced) and give the same result
  as a contiguous copy; the caller's array is only read.

A refused argument raises ``TypeError`` whose message starts with
``argument '<name>': ``. A failure of the core raises :class:`MorvantaError`
with its exact message, e.g.
``"dimension mismatch: expected 384, got 768 (mmd_rbf)"``.

Thresholds are stored as given and never refused, and ``exceeded`` is the plain
comparison ``score >= threshold``. That defines the edge values, which may
surprise:

- a NaN threshold never alerts: ``exceeded`` is False whatever the score;
- a ``+inf`` threshold never alerts either: no detector gives an infinite score
  (a non-finite statistic raises :class:`MorvantaError` instead);
- a ``-inf`` threshold always alerts: ``exceeded`` is True for every score
  except NaN (the calibration score of :meth:`ConfidenceDrift.detect_with_correctness`
  with a NaN confidence), which never alerts.

Validate thresholds read from configuration before building detectors if a NaN
or an infinity there is a mistake rather than a way to silence or force alerts.
"""

from collections.abc import Sequence
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypedDict, final

import numpy
from numpy.typing import NDArray

_Dimension = Literal["data", "embedding", "response", "confidence", "query"]
_Float = SupportsFloat | SupportsIndex
_FloatSequence = Sequence[float] | NDArray[Any]
_BoolSequence = Sequence[bool] | NDArray[numpy.bool_]

__version__: str
__all__ = [
    "__version__",
    "MorvantaError",
    "DriftScore",
    "DriftReport",
    "BaselineSnapshot",
    "EmbeddingDrift",
    "DataDrift",
    "ResponseDrift",
    "ConfidenceDrift",
    "QueryDrift",
]

class MorvantaError(Exception):
    """A detection, report or snapshot operation failed in the core.

    ``str(err)`` is the core's message, for example
    ``"insufficient samples: need at least 1, got 0 (ks_two_sample)"`` or
    ``"invalid configuration: kmeans: k must be > 0"``; JSON reading errors start
    with ``"deserialize: "``.
    """

class InternalError(BaseException):
    """A violated internal invariant of the native module (never a user error).

    Derived from ``BaseException`` so that ``except Exception`` does not swallow it.
    """

class _ScoreDict(TypedDict):
    dimension: _Dimension
    score: float
    threshold: float
    exceeded: bool
    method: str

@final
class DriftScore:
    """The result of one detection; immutable.

    Made only by the detectors and :attr:`DriftReport.scores`: calling the class
    raises ``TypeError("No constructor defined for DriftScore")``.

    >>> s = ResponseDrift().detect([1, 2, 3], [4, 5, 6])
    >>> s
    DriftScore(dimension='response', score=1.000000, threshold=0.200000, exceeded=true, method='ks(length)')
    """

    @property
    def dimension(self) -> _Dimension:
        """The dimension measured, lower case: "data", "embedding", "response", "confidence" or "query"."""
    @property
    def score(self) -> float:
        """The drift statistic; its range depends on the detector, and it may be NaN."""
    @property
    def threshold(self) -> float:
        """The detector's threshold, copied in."""
    @property
    def exceeded(self) -> bool:
        """``score >= threshold``: equality counts as drift, a NaN score or threshold never does.

        So a NaN or ``+inf`` threshold never alerts (scores are never infinite) and a
        ``-inf`` threshold alerts for every score but NaN.
        """
    @property
    def method(self) -> str:
        """The measures combined, e.g. "ks+psi", "mmd+sw", "ks(length)+sw(emb)"."""
    def to_dict(self) -> _ScoreDict:
        """A new dict with the keys dimension, score, threshold, exceeded, method, in that order."""

@final
class DriftReport:
    """Scores gathered with the window sizes and the wall-clock time; immutable.

    The report copies the scores it is given. ``str()``/``repr()`` gives e.g.
    ``DriftReport(scores=5, max_score=0.321000, any_exceeded=true)``.

    >>> report = DriftReport([score_a, score_b], 5000, 4800)
    >>> report.any_exceeded(), report.max_score()
    >>> text = report.to_json()
    """

    def __new__(
        cls, scores: Sequence[DriftScore], sample_size_baseline: SupportsIndex, sample_size_current: SupportsIndex
    ) -> DriftReport:
        """``scores``: a list or tuple of DriftScore (not a generator); sizes are non-negative integers.

        Raises ``TypeError`` for a non-sequence or an item that is not a DriftScore,
        ``OverflowError`` for a negative or too large size.
        """
    @property
    def scores(self) -> list[DriftScore]:
        """A new list of new DriftScore objects, in the order given (copied on every access)."""
    @property
    def timestamp(self) -> int:
        """Construction time, whole seconds since the Unix epoch (0 for a clock before the epoch)."""
    @property
    def sample_size_baseline(self) -> int:
        """The baseline size given to the constructor."""
    @property
    def sample_size_current(self) -> int:
        """The current size given to the constructor."""
    def any_exceeded(self) -> bool:
        """True when at least one score reached its threshold; False for an empty report."""
    def max_score(self) -> float:
        """The largest score, ignoring NaN; 0.0 for an empty report or when every score is negative or NaN."""
    def to_json(self) -> str:
        """Compact JSON: ``{"scores":[{"dimension":"Data","score":0.25,...}],"timestamp":T,
        "sample_size_baseline":N,"sample_size_current":M}``.

        Dimensions are capitalised ("Data"), numbers are the shortest round-trip
        form (``1e-7``, ``3.0``), NaN and infinities are ``null``.
        """

@final
class BaselineSnapshot:
    """A persisted record of baseline statistics, stamped with its capture time.

    A fresh snapshot holds no data; snapshots with data come from
    :meth:`from_json`. The text round-trips bit for bit for finite values
    (float64 lists, float32 matrices as ``{"v":1,"dim":[r,c],"data":[...]}``).

    >>> snap = BaselineSnapshot.from_json('{"feature_means":[0.5],"captured_at":1700000000}')
    >>> snap.captured_at
    1700000000
    """

    def __new__(cls) -> BaselineSnapshot:
        """An empty snapshot captured now (whole seconds since the Unix epoch)."""
    @property
    def captured_at(self) -> int:
        """Capture time in whole seconds since the Unix epoch."""
    def to_json(self) -> str:
        """Compact JSON with the keys embeddings, feature_means, feature_stds, confidence_scores,
        response_lengths, query_centroids, query_cluster_freqs, captured_at (absent fields as null)."""
    @staticmethod
    def from_json(s: str) -> BaselineSnapshot:
        """Reads a snapshot from JSON text (a ``str``; ``bytes`` raise TypeError).

        Unknown keys are skipped; ``captured_at`` is required. Raises MorvantaError
        "deserialize: ... at line L column C" for malformed text, a duplicate or
        missing field, a matrix whose data and dim disagree or an unknown matrix version.
        """

@final
class EmbeddingDrift:
    """Drift between two batches of embedding vectors.

    score = max(MMD², 0) + sliced W₁, where MMD² is the unbiased squared maximum
    mean discrepancy under a Gaussian kernel whose bandwidth is the median
    pairwise distance (of the first 256 rows of each batch), and sliced W₁ the
    mean 1-Wasserstein distance over ``n_projections`` random unit directions
    drawn from ``seed``. 0 for identical batches, unbounded above; method "mmd+sw".
    ``threshold``, ``n_projections`` and ``seed`` are stored as given (0 projections
    fail at detect time).

    >>> EmbeddingDrift(threshold=0.05).detect(base_f32, cur_f32).exceeded
    """

    def __new__(
        cls, threshold: _Float = 0.05, n_projections: SupportsIndex = 64, seed: SupportsIndex = 0
    ) -> EmbeddingDrift: ...
    def detect(self, baseline: NDArray[numpy.float32], current: NDArray[numpy.float32]) -> DriftScore:
        """Scores two float32 arrays of shape (n, d) and (m, d).

        Raises MorvantaError for different widths ("dimension mismatch: expected d,
        got d' (mmd_rbf)"), fewer than 2 rows in either batch ("insufficient
        samples: need at least 2, got 1 (mmd_rbf)"), a non-finite discrepancy, or
        ``n_projections`` = 0. Equal inputs and seed give bit-identical sliced
        distances; the discrepancy's parallel sums may differ in the last bits
        between machines.
        """

@final
class DataDrift:
    """Drift of tabular feature data, column by column.

    For each column the larger of the two-sample Kolmogorov-Smirnov statistic
    (sup over x of |F1(x) − F2(x)|, in [0, 1]; repeated values such as integer
    counts or flags are handled exactly, as by ``scipy.stats.ks_2samp``) and the population stability index (≥ 0, baseline-quantile bins,
    ε = 0.0001) is taken; the score is the largest column value, so it is ≥ 0,
    never NaN, and may exceed 1 for strongly shifted data. PSI is skipped (the
    column judged by KS alone) when the baseline has fewer rows than ``n_bins``
    or ``n_bins`` < 2. Method "ks+psi". See :func:`morvanta.data_drift_by_column`
    for the value of every column.

    >>> DataDrift(threshold=0.1, n_bins=10).detect(base_f64, cur_f64).score
    """

    def __new__(cls, threshold: _Float = 0.1, n_bins: SupportsIndex = 10) -> DataDrift: ...
    def detect(self, baseline: NDArray[numpy.float64], current: NDArray[numpy.float64]) -> DriftScore:
        """Scores two float64 arrays of shape (n, c) and (m, c); rows are samples.

        Raises MorvantaError for different column counts ("dimension mismatch:
        expected 3, got 2 (DataDriftDetector::detect)") or a window without rows
        ("insufficient samples: need at least 1, got 0 (ks_two_sample)"). Zero
        columns give 0.0.
        """

@final
class ResponseDrift:
    """Drift of generated answers: their lengths, optionally their embeddings.

    :meth:`detect` gives the Kolmogorov-Smirnov statistic of the two length
    samples (sup over x of |F1(x) − F2(x)|, in [0, 1], method "ks(length)"; equal
    lengths in both windows score 0 whatever the window sizes); :meth:`detect_with_embeddings` adds
    the sliced 1-Wasserstein distance of the answer embeddings over 32 random
    directions drawn from ``seed`` (method "ks(length)+sw(emb)", unbounded).
    Lengths may be any numbers; their count need not match the embedding rows.
    A NaN length sorts after every number (KS stays within [0, 1]); a NaN in an
    embedding or its projection raises MorvantaError "numerical instability in
    sliced_wasserstein (NaN or infinity)" rather than giving a NaN score.

    >>> ResponseDrift().detect([120, 80, 200], [300, 310, 280]).score
    1.0
    """

    def __new__(cls, threshold: _Float = 0.2, seed: SupportsIndex = 0) -> ResponseDrift: ...
    def detect(self, baseline_lengths: _FloatSequence, current_lengths: _FloatSequence) -> DriftScore:
        """KS of the lengths; an empty sample raises MorvantaError "... (ks_two_sample)"."""
    def detect_with_embeddings(
        self,
        baseline_lengths: _FloatSequence,
        current_lengths: _FloatSequence,
        baseline_embeddings: NDArray[numpy.float32],
        current_embeddings: NDArray[numpy.float32],
    ) -> DriftScore:
        """KS of the lengths plus sliced W₁ of the float32 embeddings.

        Raises MorvantaError for an empty length sample (checked first), embeddings
        of different widths or without rows ("... (sliced_wasserstein)").
        """

@final
class ConfidenceDrift:
    """Drift of the model's confidence scores, optionally of its calibration.

    :meth:`detect` gives the Kolmogorov-Smirnov statistic of the two confidence
    samples (in [0, 1], method "ks(conf)"). :meth:`detect_with_correctness` adds
    |ECE(current) − ECE(baseline)|, the change of the expected calibration error
    over ``n_calib_bins`` equal-width bins of [0, 1] (confidences clamped to
    [0, 1]); method "ks(conf)+ece_delta", range [0, 2]. A NaN confidence makes
    the calibration score NaN (never exceeded).

    Confidences outside [0, 1] are not refused here: KS compares them as they
    stand (5.0 lies above 0.9), and the calibration error clamps them to the
    nearest end (5.0 counts as 1.0, -0.5 as 0.0). The ``morvanta confidence``
    command refuses them, naming the line or index.

    The KS statistic is sup over x of |F1(x) − F2(x)|: a run of repeated values
    (rounded confidences, token counts) is taken whole, as in
    ``scipy.stats.ks_2samp``. Missing values: NaN sorts after every number
    (+inf included) and equals every other NaN, so the statistic stays defined
    and within [0, 1], and NaN present in only one window (or in different
    shares) shows as drift. The same rule holds wherever a detector uses KS
    (data, response).

    >>> ConfidenceDrift().detect_with_correctness([0.9, 0.8], [True, False], [0.6, 0.7], [True, True])
    """

    def __new__(cls, threshold: _Float = 0.2, n_calib_bins: SupportsIndex = 10) -> ConfidenceDrift: ...
    def detect(self, baseline_confidences: _FloatSequence, current_confidences: _FloatSequence) -> DriftScore:
        """KS of the confidences; an empty sample raises MorvantaError "... (ks_two_sample)"."""
    def detect_with_correctness(
        self,
        baseline_confidences: _FloatSequence,
        baseline_correct: _BoolSequence,
        current_confidences: _FloatSequence,
        current_correct: _BoolSequence,
    ) -> DriftScore:
        """KS plus the change of calibration error; one flag per confidence.

        Raises MorvantaError when a window's flags and scores differ in length
        ("dimension mismatch: expected 5, got 4 (ConfidenceDriftDetector::baseline
        correctness)"), for an empty sample, or for ``n_calib_bins`` = 0
        ("invalid configuration: ece: n_bins must be > 0").
        """

@final
class QueryDrift:
    """Drift of user queries by the topics (clusters) they fall into.

    Fits k-means with ``k`` clusters (seeded by ``seed``, at most 50 iterations)
    on the baseline query embeddings, assigns each current query to its nearest
    centroid, and returns the symmetric Kullback-Leibler divergence
    ½·(KL(P‖Q) + KL(Q‖P)) of the two cluster-frequency vectors, each frequency
    smoothed by ε = 1e-6. The score lies in [0, ln(1 + 1/ε)] ≈ [0, 13.8]: 0 when
    both windows spread alike over the clusters, the maximum when they share no
    cluster. Method "kmeans+sym_kl".

    An empty current window is not an error: every current frequency is then 0,
    which scores as if the current traffic had left every cluster: a large value
    (½·ln((1/k + ε)/ε) when the baseline fills the k clusters evenly, ≈ 5.9 for
    k = 8) with ``exceeded`` True at the default threshold. It says nothing about drift: callers should refuse an
    empty current window before calling :meth:`detect`.

    >>> QueryDrift(k=8, seed=0).detect(base_f32, cur_f32).score
    """

    def __new__(cls, threshold: _Float = 0.1, k: SupportsIndex = 8, seed: SupportsIndex = 0) -> QueryDrift: ...
    def detect(self, baseline: NDArray[numpy.float32], current: NDArray[numpy.float32]) -> DriftScore:
        """Scores two float32 arrays of shape (n, d) and (m, d).

        Raises MorvantaError for different widths ("... (QueryDriftDetector::detect)"),
        ``k`` = 0 ("invalid configuration: kmeans: k must be > 0") or a baseline
        with fewer rows than ``k`` ("invalid configuration: kmeans: k=8 exceeds
        sample count n=5"). A ``current`` without rows is not refused: it gives a
        large score with ``exceeded`` True (see the class), so check
        ``current.shape[0] > 0`` first.
        """

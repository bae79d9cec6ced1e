"""Exact, reproducible drift detection for LLM question-answering pipelines.

The detectors, result classes and the exception come from the native core
(``morvanta._native``); this package adds per-column data drift
(:func:`data_drift_by_column`) and the ``morvanta`` command line.

Importing the package loads neither NumPy nor any optional dependency: they are
imported by the first call that needs them.
"""

from ._native import (
    BaselineSnapshot,
    ConfidenceDrift,
    DataDrift,
    DriftReport,
    DriftScore,
    EmbeddingDrift,
    MorvantaError,
    QueryDrift,
    ResponseDrift,
    __version__,
)
from .engines.columns import data_drift_by_column
from .results import ColumnDrift

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
    "ColumnDrift",
    "data_drift_by_column",
]


# ---------------------------------------------------------------- permutation tests and calibration
# (testing.py)
from .engines.permutation import calibrate, permutation_test
from .results import Calibration, DriftTest

__all__ += ["DriftTest", "Calibration", "permutation_test", "calibrate"]


# ---------------------------------------------------------------- fitted baselines and breakdowns
# (baseline.py)
from .engines.baseline import Baseline
from .engines.explain import explain
from .results import (
    Breakdown,
    CalibrationBin,
    CategoryBreakdown,
    CategoryShare,
    ClusterShare,
    ColumnBreakdown,
    ConfidenceBreakdown,
    DataBreakdown,
    EmbeddingBreakdown,
    QueryBreakdown,
    ResponseBreakdown,
)

__all__ += [
    "Baseline",
    "explain",
    "Breakdown",
    "DataBreakdown",
    "ColumnBreakdown",
    "EmbeddingBreakdown",
    "ResponseBreakdown",
    "ConfidenceBreakdown",
    "CalibrationBin",
    "QueryBreakdown",
    "ClusterShare",
    "CategoryBreakdown",
    "CategoryShare",
]


# ---------------------------------------------------------------- pipeline check, report, monitor
# (check.py, report.py)

from .io.log import LogColumns, LogError, RequestLog, read_log
from .pipeline.check import check
from .pipeline.monitor import monitor
from .results import CheckResult, DimensionResult, MonitorResult, WindowResult

__all__ += [
    "check",
    "monitor",
    "CheckResult",
    "DimensionResult",
    "MonitorResult",
    "WindowResult",
    "read_log",
    "RequestLog",
    "LogColumns",
    "LogError",
]


# ---------------------------------------------------------------- pickling
# (_pickle.py registers reducers for the native classes on import)
from . import _pickle as _pickle  # registers reducers



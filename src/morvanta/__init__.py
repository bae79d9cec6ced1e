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
from ._columns import ColumnDrift, data_drift_by_column

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
from .testing import Calibration, DriftTest, calibrate, permutation_test

__all__ += ["DriftTest", "Calibration", "permutation_test", "calibrate"]


# ---------------------------------------------------------------- fitted baselines and breakdowns
# (baseline.py)
from .baseline import Baseline
from .explain import (
    Breakdown,
    CalibrationBin,
    ClusterShare,
    ColumnBreakdown,
    ConfidenceBreakdown,
    DataBreakdown,
    EmbeddingBreakdown,
    QueryBreakdown,
    ResponseBreakdown,
    explain,
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
]


# ---------------------------------------------------------------- pipeline check, report, monitor
# (check.py, report.py)

from .check import CheckResult, DimensionResult, MonitorResult, WindowResult, check, monitor
from .logs import LogColumns, LogError, RequestLog, read_log

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



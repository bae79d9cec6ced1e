"""Native engines behind the package API; not a public interface."""

from collections.abc import Sequence
from typing import Any

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

# ---------------------------------------------------------------- worker pool

def set_threads(n: int) -> None: ...
def threads() -> int: ...


# ---------------------------------------------------------------- permutation tests and calibration



# ---------------------------------------------------------------- fitted baselines and breakdowns



# ---------------------------------------------------------------- value state (pickling)



# ---------------------------------------------------------------- end

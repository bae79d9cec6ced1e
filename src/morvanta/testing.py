"""Former home of the permutation tests and calibration; kept so old imports work.

The functions live in :mod:`morvanta.engines.permutation` and the result records
in :mod:`morvanta.results`; import them from ``morvanta`` itself.
"""

from .engines.permutation import calibrate, permutation_test
from .results import Calibration, DriftTest

__all__ = ["DriftTest", "Calibration", "permutation_test", "calibrate"]

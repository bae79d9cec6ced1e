"""How a check decides: permutation p-values by default, Holm across dimensions,
Benjamini-Hochberg across groups, effect-size floors, and enough permutations
for the level asked.

Fixed thresholds have no known false-alarm rate (the noise of every statistic
depends on the window sizes and the data), so by default each dimension is
decided by its combined permutation p-value, adjusted over the dimensions
tested with Holm's step-down method: the check's family-wise false-alarm rate
is then at most ``alpha``. ``decide="threshold"`` keeps the fixed thresholds,
``decide="calibrated"`` thresholds calibrated on the baseline.

A permutation p-value is never below 1/(B + 1) for B permutations, so Holm
over m dimensions can only reach alpha when m/(B + 1) <= alpha. The default B
is the smallest of 999 and 10 m/alpha - 1 upwards, which leaves the smallest
attainable adjusted p-value ten times below alpha; an explicit B that cannot
reach alpha at all is refused.
"""

from __future__ import annotations

import hashlib
import math
from collections.abc import Callable, Hashable, Mapping, Sequence
from typing import Any

from ..dimensions import NAMES
from ..errors import ArgumentError

__all__ = [
    "DECISIONS",
    "DEFAULT_PERMUTATIONS",
    "decision",
    "permutations_for",
    "smallest_adjusted",
    "holm",
    "benjamini_hochberg",
    "min_effects",
    "persistence",
    "group_seed",
    "run_test",
    "parts_of",
]

#: The ways a dimension can be decided, by name.
DECISIONS = ("p-value", "threshold", "calibrated")

#: The fewest permutations a default test runs (more where alpha and the number
#: of dimensions need them).
DEFAULT_PERMUTATIONS = 999

#: Headroom of the default permutation count: the smallest attainable adjusted
#: p-value is this many times below alpha, so a clear drift is not held back by
#: the resolution of the test.
HEADROOM = 10


def decision(decide: str | None, p_values: bool | None, calibrate: float | None) -> str:
    """The decision rule of the arguments ``decide``, ``p_values`` and ``calibrate``.

    ``p_values=True`` is the default rule under its former name; ``p_values=False``
    asks for no permutation tests, i.e. the fixed thresholds. ``calibrate=RATE``
    alone means calibrated thresholds. Contradicting arguments raise ArgumentError.
    """
    if decide is not None and decide not in DECISIONS:
        raise ArgumentError("decide", f"expected one of {', '.join(repr(d) for d in DECISIONS)}, got {decide!r}")
    if p_values is not None and not isinstance(p_values, bool):
        raise ArgumentError("p_values", f"expected True or False, got {p_values!r}")
    wanted = decide
    if p_values is not None:
        implied = "p-value" if p_values else "threshold"
        if wanted is not None and wanted != implied:
            raise ArgumentError("p_values", f"p_values={p_values} contradicts decide={decide!r}")
        wanted = implied
    if calibrate is not None:
        if wanted not in (None, "calibrated"):
            raise ArgumentError("calibrate", f"a calibrated threshold decides, which excludes "
                                             f"{'p_values=' + str(p_values) if p_values is not None else 'decide=' + repr(decide)}")
        return "calibrated"
    if wanted == "calibrated":
        raise ArgumentError("calibrate", "decide='calibrated' needs the false-alarm rate to calibrate for "
                                         "(calibrate=RATE)")
    return wanted or "p-value"


def smallest_adjusted(m: int, n_permutations: int) -> float:
    """The smallest Holm-adjusted p-value that m dimensions tested with B permutations can give: m/(B + 1)."""
    return m / (n_permutations + 1) if m else math.nan


def permutations_for(m: int, alpha: float, given: int | None) -> tuple[int, str | None]:
    """Permutations for m dimensions tested at ``alpha``, and a note when the default was raised.

    An explicit count that cannot reach alpha (m/(B + 1) > alpha) raises
    ArgumentError naming ``n_permutations`` and the count that would.
    """
    need = max(1, math.ceil(m / alpha - 1e-9) - 1)  # smallest B with m/(B + 1) <= alpha
    if given is not None:
        if m and m / (given + 1) > alpha * (1 + 1e-12):
            raise ArgumentError(
                "n_permutations",
                f"{given:,} permutations cannot reach alpha {alpha:g} over {m} dimension{'s' if m != 1 else ''}: "
                f"the smallest Holm-adjusted p-value is {m}/({given:,} + 1) = {m / (given + 1):.4g}; "
                f"use at least {need:,} (the default, {default_permutations(m, alpha):,}, leaves headroom)")
        return given, None
    b = default_permutations(m, alpha)
    if b == DEFAULT_PERMUTATIONS:
        return b, None
    return b, (f"permutations raised from {DEFAULT_PERMUTATIONS:,} to {b:,}, so that Holm over {m} "
               f"dimension{'s' if m != 1 else ''} can reach p-values {HEADROOM} times below alpha {alpha:g}")


def default_permutations(m: int, alpha: float) -> int:
    """max(999, ceil(10 m/alpha) - 1): 999 at alpha 0.05 with five dimensions, 4,999 at 0.01."""
    return max(DEFAULT_PERMUTATIONS, math.ceil(HEADROOM * m / alpha - 1e-9) - 1)


def check_count(value: Any) -> int | None:
    """``n_permutations`` as given (None for the default); ArgumentError for anything but a positive int."""
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ArgumentError("n_permutations", f"expected a positive number of permutations, got {value!r}")
    return value


# ------------------------------------------------------------------ adjustments


def holm(p_values: Sequence[float]) -> list[float]:
    """Holm's step-down adjustment: the adjusted p-value of the i-th smallest of
    m p-values is max over j <= i of min(1, (m - j + 1) p_(j)). Rejecting every
    adjusted p-value <= alpha keeps the family-wise false-alarm rate at alpha.
    NaN p-values stay NaN and do not count in m."""
    valid = [i for i, p in enumerate(p_values) if not math.isnan(p)]
    out = [math.nan] * len(p_values)
    m = len(valid)
    running = 0.0
    for rank, i in enumerate(sorted(valid, key=lambda i: (p_values[i], i))):
        running = max(running, min(1.0, (m - rank) * p_values[i]))
        out[i] = running
    return out


def benjamini_hochberg(p_values: Sequence[float]) -> list[float]:
    """Benjamini-Hochberg adjusted p-values (step-up): the adjusted value of the
    i-th smallest of m is min over j >= i of min(1, m p_(j) / j). Rejecting
    every adjusted p-value <= q keeps the expected share of false discoveries at
    most q (for independent or positively dependent tests). NaN stays NaN and
    does not count in m."""
    valid = sorted((i for i, p in enumerate(p_values) if not math.isnan(p)), key=lambda i: (p_values[i], i))
    out = [math.nan] * len(p_values)
    m = len(valid)
    running = 1.0
    for rank in range(m - 1, -1, -1):
        i = valid[rank]
        running = min(running, min(1.0, m * p_values[i] / (rank + 1)))
        out[i] = running
    return out


# ------------------------------------------------------------------ floors and persistence


def min_effects(value: Any, arg: str = "min_effect") -> dict[str, float]:
    """``{dimension: floor}``: a dimension drifts only when its score also reaches its floor."""
    if value is None:
        return {}
    if not isinstance(value, Mapping):
        raise ArgumentError(arg, f"expected a mapping of dimension to score, got {type(value).__name__}")
    out: dict[str, float] = {}
    for dim, floor in value.items():
        if dim not in NAMES:
            raise ArgumentError(arg, f"unknown dimension {dim!r} (dimensions: {', '.join(NAMES)})")
        if isinstance(floor, bool) or not isinstance(floor, (int, float)) or not math.isfinite(floor) or floor < 0:
            raise ArgumentError(arg, f"dimension {dim!r}: expected a finite score >= 0, got {floor!r}")
        out[dim] = float(floor)
    return out


def persistence(value: Any) -> tuple[int, int] | None:
    """``persist=(K, N)``: alert when K of the last N checked windows drifted."""
    if value is None:
        return None
    ok = (isinstance(value, (tuple, list)) and len(value) == 2
          and all(isinstance(v, int) and not isinstance(v, bool) for v in value))
    if not ok or not 1 <= value[0] <= value[1]:
        raise ArgumentError("persist", f"expected (K, N) with 1 <= K <= N, got {value!r}")
    return int(value[0]), int(value[1])


def group_seed(seed: int, key: Sequence[Hashable]) -> int:
    """The permutation seed of one group of :func:`morvanta.dask.check_groups`.

    The first 8 bytes, read big-endian, of the SHA-256 digest of the UTF-8 text
    ``str(seed)`` followed by each key value's ``str()``, every item ended by
    the unit separator U+001F. Groups thus draw independent permutation
    streams (a shared stream would tie their p-values together), and a group's
    p-value depends only on its key, its rows and the seed, never on the other
    groups or the partitioning.
    """
    text = "".join(f"{item}\x1f" for item in (seed, *key))
    return int.from_bytes(hashlib.sha256(text.encode("utf-8", "surrogatepass")).digest()[:8], "big")


# ------------------------------------------------------------------ running one test


def run_test(method: Callable[..., Any], base: Any, cur: Any, *, n_permutations: int, seed: int,
             exact: bool, score: Any = None, detail: dict[str, float] | None = None) -> Any:
    """The combined permutation test of one detector call (a :class:`~morvanta.DriftTest`);
    ``score``, the call's score when the caller has it, spares running the detector again;
    ``detail`` receives the values behind a score the test formed itself."""
    from ..engines.permutation import scored_test

    return scored_test(method, base, cur, n_permutations=n_permutations, seed=seed, exact=exact, score=score,
                       detail=detail)


def parts_of(test: Any) -> list[Any]:
    """The parts of a test (empty for a test that reports none)."""
    return list(getattr(test, "parts", ()) or ())

"""Pickling of the native value classes, registered with :mod:`copyreg`.

The detectors, :class:`DriftScore`, :class:`DriftReport` and
:class:`BaselineSnapshot` are native types without a ``__reduce__`` of their
own. Importing this module (``import morvanta`` does) registers a reducer for
each in :data:`copyreg.dispatch_table`, which :mod:`pickle`, :mod:`copy`,
:mod:`multiprocessing`, :mod:`concurrent.futures` and cloudpickle (Dask) all
consult, so these objects cross process boundaries with equal contents:

- a detector travels as its class name and constructor arguments;
- a score as its five fields (``exceeded`` as stored, never recomputed);
- a report as its scores, sizes and timestamp (kept, not reset to "now");
- a snapshot as its eight fields, arrays as NumPy arrays, so NaN and infinities
  survive, which the JSON text (where they become ``null``) would lose.

The reconstructors below are module-level functions, so that a pickle names
``morvanta._pickle.<function>`` and a receiving process imports the package
to read it.
"""

from __future__ import annotations

import copyreg
from typing import Any

from . import _native
from .dimensions import REGISTRY

__all__ = ["register"]

_Detector = (
    _native.DataDrift | _native.EmbeddingDrift | _native.ResponseDrift | _native.ConfidenceDrift | _native.QueryDrift
)

# Only these names may be rebuilt from a pickle: a stream naming any other
# attribute of the native module is refused rather than called.
_DETECTORS: dict[str, type[_Detector]] = {d.detector.__name__: d.detector for d in REGISTRY.values()}


def _engine() -> Any:
    # The engine module is loaded on first use, so that importing the package
    # (which imports this module) stays as cheap as before.
    from . import _engine as engine

    return engine


# ---------------------------------------------------------------- reconstructors


def rebuild_detector(name: str, *settings: Any) -> _Detector:
    """Builds the detector ``name`` (a class name) from its constructor arguments."""
    try:
        cls = _DETECTORS[name]
    except KeyError:
        raise ValueError(f"cannot unpickle a detector of unknown class {name!r}") from None
    return cls(*settings)


def rebuild_score(dimension: str, score: float, threshold: float, exceeded: bool, method: str) -> _native.DriftScore:
    """Builds a :class:`DriftScore` holding exactly these fields."""
    result: _native.DriftScore = _engine().drift_score(dimension, score, threshold, exceeded, method)
    return result


def rebuild_report(
    scores: tuple[_native.DriftScore, ...], timestamp: int, sample_size_baseline: int, sample_size_current: int
) -> _native.DriftReport:
    """Builds a :class:`DriftReport` with these scores, timestamp and window sizes."""
    result: _native.DriftReport = _engine().drift_report(
        list(scores), timestamp, sample_size_baseline, sample_size_current
    )
    return result


def rebuild_snapshot(fields: dict[str, Any]) -> _native.BaselineSnapshot:
    """Builds a :class:`BaselineSnapshot` from the fields ``snapshot_fields`` read out."""
    result: _native.BaselineSnapshot = _engine().make_snapshot(**fields)
    return result


# ---------------------------------------------------------------- reducers


def _reduce_detector(det: _Detector) -> tuple[Any, tuple[Any, ...]]:
    return rebuild_detector, tuple(_engine().detector_settings(det))


def _reduce_score(s: _native.DriftScore) -> tuple[Any, tuple[Any, ...]]:
    return rebuild_score, (s.dimension, s.score, s.threshold, s.exceeded, s.method)


def _reduce_report(r: _native.DriftReport) -> tuple[Any, tuple[Any, ...]]:
    return rebuild_report, (tuple(r.scores), r.timestamp, r.sample_size_baseline, r.sample_size_current)


def _reduce_snapshot(snap: _native.BaselineSnapshot) -> tuple[Any, tuple[Any, ...]]:
    return rebuild_snapshot, (dict(_engine().snapshot_fields(snap)),)


def register() -> None:
    """Registers the reducers with :mod:`copyreg` (done once on import; repeating it is harmless)."""
    for cls in _DETECTORS.values():
        copyreg.pickle(cls, _reduce_detector)
    copyreg.pickle(_native.DriftScore, _reduce_score)
    copyreg.pickle(_native.DriftReport, _reduce_report)
    copyreg.pickle(_native.BaselineSnapshot, _reduce_snapshot)


register()

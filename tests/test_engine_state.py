"""Reading out and rebuilding the native value classes through morvanta._engine."""

import math
import subprocess
import sys

import numpy as np
import pytest
from conftest import project_version

from morvanta import BaselineSnapshot, DriftReport
from morvanta import __version__ as native_version_text
from morvanta import _engine


def test_detector_settings_refuses_other_objects():
    with pytest.raises(TypeError, match="argument 'detector'"):
        _engine.detector_settings(object())


def test_scores_and_reports_keep_every_field():
    s = _engine.drift_score("confidence", float("nan"), 0.25, True, "ks(conf)")
    assert (s.dimension, math.isnan(s.score), s.threshold, s.exceeded, s.method) == \
        ("confidence", True, 0.25, True, "ks(conf)")
    with pytest.raises(ValueError, match="dimension"):
        _engine.drift_score("Data", 0.0, 0.0, False, "x")
    r = _engine.drift_report([s, s], -3, 10, 2**64 - 1)
    assert (r.timestamp, r.sample_size_baseline, r.sample_size_current, len(r.scores)) == (-3, 10, 2**64 - 1, 2)
    assert r.to_json().endswith('"timestamp":-3,"sample_size_baseline":10,"sample_size_current":18446744073709551615}')
    assert isinstance(r, DriftReport)


def test_snapshot_fields_round_trip_bit_for_bit_including_nan():
    rng = np.random.default_rng(0)
    fields = dict(embeddings=rng.normal(size=(5, 3)).astype(np.float32), feature_means=[1.5, float("nan")],
                  feature_stds=[], confidence_scores=rng.random(4), response_lengths=[0, 2**64 - 1],
                  query_centroids=np.zeros((0, 3), np.float32), query_cluster_freqs=None)
    snap = _engine.make_snapshot(123, **fields)
    got = _engine.snapshot_fields(snap)
    assert got["captured_at"] == snap.captured_at == 123 and got["query_cluster_freqs"] is None
    for key, value in fields.items():
        if value is None:
            continue
        want = np.asarray(value, dtype=got[key].dtype)
        assert got[key].shape == want.shape
        assert got[key].tobytes() == want.tobytes(), key
    again = _engine.make_snapshot(**got)
    assert again.to_json() == snap.to_json()
    empty = _engine.snapshot_fields(BaselineSnapshot())
    assert all(v is None for k, v in empty.items() if k != "captured_at")


def test_make_snapshot_refuses_wrong_types_naming_the_argument():
    with pytest.raises(TypeError, match="argument 'embeddings'"):
        _engine.make_snapshot(0, embeddings=np.zeros((2, 2)))
    with pytest.raises(OverflowError):
        _engine.make_snapshot(0, response_lengths=[-1])


def test_engine_has_the_package_version_and_refuses_a_native_module_of_another():
    assert _engine.__version__ == native_version_text == project_version()
    # A bare package, so that nothing imports _engine before the version is changed.
    code = ("import importlib.util, sys, types\n"
            "pkg = types.ModuleType('morvanta')\n"
            "pkg.__path__ = importlib.util.find_spec('morvanta').submodule_search_locations\n"
            "sys.modules['morvanta'] = pkg\n"
            "import morvanta._native as n; n.__version__ = '0.0.0'\n"
            "assert 'morvanta._engine' not in sys.modules\n"
            "try:\n    import morvanta._engine\nexcept ImportError as e:\n    print(e)\n")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert r.stdout.strip() == f"morvanta._engine {project_version()} cannot work with morvanta._native '0.0.0'", \
        r.stderr

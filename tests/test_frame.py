"""The module surface shared by every class: registration, signatures, argument
binding and conversions, error mapping, the result record and threading."""

import contextlib
import gc
import inspect
import subprocess
import sys
import textwrap
import threading
import tracemalloc

import numpy as np
import pytest
from conftest import NAN, concurrently, project_version

import morvanta._native as native
from morvanta._native import ConfidenceDrift, DataDrift, DriftScore, MorvantaError

EXPECTED_ALL = [
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

CLASSES = [n for n in EXPECTED_ALL if n not in ("__version__", "MorvantaError")]


def run_py(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


# ---------------------------------------------------------------- module


def test_all_and_version():
    assert native.__all__ == EXPECTED_ALL
    assert native.__version__ == project_version()
    assert [k for k in vars(native) if k in EXPECTED_ALL] == EXPECTED_ALL
    assert issubclass(MorvantaError, Exception)
    assert MorvantaError.__module__ == "morvanta._native"
    assert MorvantaError.__name__ == "MorvantaError"


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_final_and_dictless(name):
    cls = getattr(native, name)
    assert cls.__module__ == "morvanta._native"
    assert cls.__qualname__ == name
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert "__dict__" not in dir(cls)


def test_internal_fault_type_is_base_exception_only():
    assert issubclass(native.InternalError, BaseException)
    assert not issubclass(native.InternalError, Exception)


def test_import_does_not_import_numpy():
    r = run_py(
        """
        import sys
        import morvanta, morvanta._native
        assert "numpy" not in sys.modules, "numpy imported at import"
        morvanta._native.ConfidenceDrift().detect([0.1, 0.2], (0.3,))
        assert "numpy" not in sys.modules, "numpy imported for plain sequences"
        """
    )
    assert r.returncode == 0, r.stderr


def test_reinitialisation_returns_same_module():
    r = run_py(
        """
        import sys, importlib
        import morvanta._native as a
        del sys.modules["morvanta._native"]
        b = importlib.import_module("morvanta._native")
        assert a is b, (a, b)
        assert a.DriftScore is b.DriftScore
        """
    )
    assert r.returncode == 0, r.stderr


# ---------------------------------------------------------------- signatures


@pytest.mark.parametrize(
    "name, sig",
    [
        ("DriftReport", "(scores, sample_size_baseline, sample_size_current)"),
        ("BaselineSnapshot", "()"),
        ("EmbeddingDrift", "(threshold=0.05, n_projections=64, seed=0)"),
        ("DataDrift", "(threshold=0.1, n_bins=10)"),
        ("ResponseDrift", "(threshold=0.2, seed=0)"),
        ("ConfidenceDrift", "(threshold=0.2, n_calib_bins=10)"),
        ("QueryDrift", "(threshold=0.1, k=8, seed=0)"),
    ],
)
def test_constructor_signatures(name, sig):
    assert str(inspect.signature(getattr(native, name))) == sig


# ---------------------------------------------------------------- binding


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda d: d.detect([1.0]), "ConfidenceDrift.detect() missing 1 required positional argument: 'current_confidences'"),
        (lambda d: d.detect(), "ConfidenceDrift.detect() missing 2 required positional arguments: 'baseline_confidences' and 'current_confidences'"),
        (lambda d: d.detect([1.0], [1.0], [1.0]), "ConfidenceDrift.detect() takes 2 positional arguments but 3 were given"),
        (lambda d: d.detect([1.0], [1.0], other=1), "ConfidenceDrift.detect() got an unexpected keyword argument 'other'"),
        (lambda d: d.detect([1.0], baseline_confidences=[1.0]), "ConfidenceDrift.detect() got multiple values for argument 'baseline_confidences'"),
        (lambda d: d.detect_with_correctness([1.0]), "ConfidenceDrift.detect_with_correctness() missing 3 required positional arguments: 'baseline_correct', 'current_confidences', and 'current_correct'"),
        (lambda d: ConfidenceDrift(0.1, 5, 7), "ConfidenceDrift.__new__() takes from 0 to 2 positional arguments but 3 were given"),
        (lambda d: native.DriftReport([]), "DriftReport.__new__() missing 2 required positional arguments: 'sample_size_baseline' and 'sample_size_current'"),
        (lambda d: d.detect([1.0], [1.0]).to_dict(1), "DriftScore.to_dict() takes 0 positional arguments but 1 was given"),
        (lambda d: d.detect([1.0], [1.0]).to_dict(x=1), "DriftScore.to_dict() got an unexpected keyword argument 'x'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as e:
        call(ConfidenceDrift())
    assert str(e.value) == message


def test_keywords_in_any_order_bind_like_positions():
    d = ConfidenceDrift(n_calib_bins=4, threshold=0.3)
    a = d.detect_with_correctness([0.2, 0.9], [True, False], [0.4, 0.1], [False, False])
    b = d.detect_with_correctness(
        current_correct=[False, False], current_confidences=[0.4, 0.1],
        baseline_correct=[True, False], baseline_confidences=[0.2, 0.9],
    )
    assert a.to_dict() == b.to_dict()


def test_unbound_call_checks_receiver():
    with pytest.raises(TypeError):
        ConfidenceDrift.detect(DataDrift(), [1.0], [1.0])
    with pytest.raises(TypeError):
        DriftScore.to_dict(5)


# ---------------------------------------------------------------- conversions


def test_float_conversion_accepts_numbers():
    f = type("F", (), {"__float__": lambda self: 0.25})()
    i = type("I", (), {"__index__": lambda self: 3})()
    for t in (0.25, 1, np.float32(0.25), np.int64(2), f, i, True):
        assert ConfidenceDrift(threshold=t).detect([1.0], [1.0]).threshold == float(t)
    for t in (float("nan"), float("inf"), -float("inf")):
        got = ConfidenceDrift(threshold=t).detect([1.0], [1.0]).threshold
        assert got == t or (got != got and t != t)


@pytest.mark.parametrize(
    "kwargs, exc, prefixed",
    [({"threshold": "0.1"}, TypeError, "threshold"), ({"threshold": None}, TypeError, "threshold"),
     ({"n_calib_bins": 2.0}, TypeError, "n_calib_bins"), ({"n_calib_bins": "3"}, TypeError, "n_calib_bins"),
     ({"n_calib_bins": -1}, OverflowError, None), ({"n_calib_bins": 2**64}, OverflowError, None)],
)
def test_scalar_conversion_errors(kwargs, exc, prefixed):
    with pytest.raises(exc) as e:
        ConfidenceDrift(**kwargs)
    assert type(e.value) is exc
    if prefixed:
        assert str(e.value).startswith(f"argument '{prefixed}': ")
    else:
        assert not str(e.value).startswith("argument ")


def test_unsigned_accepts_bool_index_and_extremes():
    native.EmbeddingDrift(seed=True)
    native.EmbeddingDrift(seed=2**64 - 1)
    native.QueryDrift(k=np.uint8(3))


def raising(exc):
    """An object whose __float__ raises `exc`."""
    def fail(self):
        raise exc
    return type("Raising", (), {"__float__": fail})()


def test_type_error_keeps_the_cause_not_other_exceptions():
    inner = TypeError("no float here")
    inner.__cause__ = KeyError("inner")
    with pytest.raises(TypeError) as e:
        ConfidenceDrift(threshold=raising(inner))
    assert str(e.value) == "argument 'threshold': no float here"
    assert isinstance(e.value.__cause__, KeyError)

    sub_type_error = type("SubTypeError", (TypeError,), {})
    with pytest.raises(ValueError, match="^boom$"):
        ConfidenceDrift(threshold=raising(ValueError("boom")))
    with pytest.raises(sub_type_error, match="^sub$"):
        ConfidenceDrift(threshold=raising(sub_type_error("sub")))


def test_float_sequences_accept_sequences_and_refuse_the_rest():
    for seq in ([0.1, 0.5, 0.9], (0.1, 0.5, 0.9), np.array([0.1, 0.5, 0.9]), range(3), b"\x01\x02"):
        ConfidenceDrift().detect(seq, [0.5])
    for seq in ("abc", iter([1.0]), 5, {1.0: 1}, [0.5, "x"]):
        with pytest.raises(TypeError, match="^argument 'current_confidences': "):
            ConfidenceDrift().detect([0.5], seq)


def test_float_sequence_ignores_failing_length():
    class Seq:  # not a list: read through __getitem__ until IndexError
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            return [0.0, 0.25, 0.5][i]

    assert ConfidenceDrift().detect(Seq(), [0.0, 0.25, 0.5]).score == 0.0


def test_bool_sequences_accept_bools_only():
    for flags in ([True, False], (True, False), [np.True_, np.False_], np.array([True, False])):
        ConfidenceDrift().detect_with_correctness([0.2, 0.8], flags, [0.2], [True])
    for flags in ([1, 0], [True, 0], np.array([1, 0]), [1.0, 0.0], "ab"):
        with pytest.raises(TypeError, match="^argument 'baseline_correct': "):
            ConfidenceDrift().detect_with_correctness([0.2, 0.8], flags, [0.2], [True])


DTYPES = ["f8", "f4", "f2", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "?", ">f8", ">i4", "g", "O"]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("step", [1, -3])
def test_array_sequences_match_item_by_item(dtype, step):
    rng = np.random.default_rng(7)
    raw = rng.normal(0, 1e6 if dtype != "f2" else 1e3, size=301)
    if np.dtype(dtype).kind in "ui":
        raw = rng.integers(0, 100 if dtype[-1] == "1" else 2**31 - 1, size=301)
    arr = np.asarray(raw).astype(dtype)[::step]
    other = rng.normal(0, 1e6, size=50)
    d = ConfidenceDrift()
    assert d.detect(arr, other).score == d.detect(arr.tolist(), other).score
    assert d.detect(arr, other).score == d.detect(list(arr), other).score


def test_uint64_extremes_convert_like_python():
    arr = np.array([2**64 - 1, 2**63 + 1, 2**53 + 1, 0], dtype=np.uint64)
    d = ConfidenceDrift()
    ref = [float(np.uint64(v)) for v in arr]
    for probe in ([1.8446744073709552e19], [9.223372036854776e18], [2.0**53], [0.0]):
        assert d.detect(arr, probe).score == d.detect(ref, probe).score


def test_two_dimensional_conversions_refuse_other_inputs():
    d = DataDrift()
    good = np.zeros((3, 2))
    for bad in ([[1.0, 2.0]], np.zeros(3), np.zeros((2, 2, 2)), np.zeros((3, 2), np.float32), np.zeros((3, 2), int)):
        with pytest.raises(TypeError, match="^argument 'current': "):
            d.detect(good, bad)
    e = native.EmbeddingDrift()
    with pytest.raises(TypeError, match="^argument 'baseline': "):
        e.detect(np.zeros((3, 2)), np.zeros((3, 2), np.float32))


def test_array_subclass_accepted_for_matrices():
    class Sub(np.ndarray):
        pass

    rng = np.random.default_rng(1)
    a, b = rng.normal(size=(40, 3)), rng.normal(size=(30, 3))
    assert DataDrift().detect(a.view(Sub), b).score == DataDrift().detect(a, b).score


def test_zero_size_arrays_convert():
    d = DataDrift()
    assert d.detect(np.zeros((0, 0)), np.zeros((5, 0))).score == 0.0
    with pytest.raises(MorvantaError, match=r"^dimension mismatch: expected 3, got 2 \(DataDriftDetector::detect\)$"):
        d.detect(np.zeros((0, 3)), np.zeros((4, 2)))


# ---------------------------------------------------------------- errors and results


def test_drift_score_has_no_constructor_and_read_only_getters():
    with pytest.raises(TypeError, match="^No constructor defined for DriftScore$"):
        DriftScore()
    s = ConfidenceDrift().detect([0.1], [0.9])
    for attr in ("dimension", "score", "threshold", "exceeded", "method"):
        with pytest.raises(AttributeError):
            setattr(s, attr, 1)
    assert (s.dimension, s.score, s.threshold, s.exceeded, s.method) == ("confidence", 1.0, 0.2, True, "ks(conf)")
    d = s.to_dict()
    assert list(d) == ["dimension", "score", "threshold", "exceeded", "method"]
    assert d == {"dimension": "confidence", "score": 1.0, "threshold": 0.2, "exceeded": True, "method": "ks(conf)"}
    assert str(s) == repr(s)


@pytest.mark.parametrize(
    "value, text",
    [(0.2, "0.200000"), (float("nan"), "NaN"), (-float("inf"), "-inf"), (-1e-7, "-0.000000"),
     (0.0078125, "0.007812"), (1e20, "100000000000000000000.000000")],
)
def test_repr_six_decimals(value, text):
    s = ConfidenceDrift(threshold=value).detect([1.0], [1.0])
    assert repr(s) == (
        f"DriftScore(dimension='confidence', score=0.000000, threshold={text}, "
        f"exceeded={'true' if 0.0 >= value else 'false'}, method='ks(conf)')"
    )


def test_exceeded_is_ordered_comparison():
    assert ConfidenceDrift(threshold=1.0).detect([1.0], [2.0]).exceeded  # equality counts
    assert not ConfidenceDrift(threshold=float("nan")).detect([1.0], [2.0]).exceeded
    assert ConfidenceDrift(threshold=0.0).detect([1.0], [1.0]).exceeded


def test_edge_thresholds_never_or_always_alert():
    # The largest scores each detector gives (float32 and float64 extremes, no
    # shared cluster): a NaN or +inf threshold still never alerts, -inf always does
    # except for a NaN score.
    big = np.full((10, 4), 3e38, np.float32)
    big[::2] = -3e38
    small = np.zeros((10, 4), np.float32)
    calls = [
        lambda t: native.EmbeddingDrift(t).detect(big, small),
        lambda t: native.ResponseDrift(t).detect_with_embeddings([1e308, -1e308], [0.0], big, small),
        lambda t: DataDrift(t).detect(np.array([[1e308], [-1e308]]), np.array([[0.0], [0.0]])),
        lambda t: ConfidenceDrift(t).detect([0.0], [1.0]),
        lambda t: native.QueryDrift(t, k=1).detect(small, small[:0]),
    ]
    for call in calls:
        assert np.isfinite(call(0.0).score)
        assert [call(t).exceeded for t in (float("nan"), float("inf"), -float("inf"))] == [False, False, True]
    nan_score = ConfidenceDrift(-float("inf")).detect_with_correctness([NAN, 0.5], [True, False], [0.5], [True])
    assert nan_score.score != nan_score.score and not nan_score.exceeded


# ---------------------------------------------------------------- threads and references


def test_two_threads_on_one_detector():
    rng = np.random.default_rng(11)
    a, b = rng.normal(size=200_000), rng.normal(0.01, 1, size=200_000)
    d = ConfidenceDrift()
    expected = d.detect(a, b).score
    assert concurrently(lambda: d.detect(a, b).score, lambda: d.detect(a, b).score, reps=5) == [[expected] * 5] * 2


def test_lock_released_during_detection():
    # A second thread makes progress while a long detection runs.
    rng = np.random.default_rng(5)
    a, b = rng.normal(size=2_000_000), rng.normal(size=2_000_000)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(1)
            stop.wait(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    n0 = len(ticks)
    for _ in range(3):
        ConfidenceDrift().detect(a, b)
    stop.set()
    t.join()
    assert len(ticks) > n0


def test_no_reference_leak_over_many_calls():
    d = ConfidenceDrift()
    a, b = np.linspace(0, 1, 50), [0.1, 0.2, 0.3]
    flags = [True, False] * 25

    def run(n):
        for _ in range(n):
            d.detect(a, b).to_dict()
            d.detect_with_correctness(a, flags, b, [True, False, True])
            with contextlib.suppress(MorvantaError):
                d.detect([], b)
            with contextlib.suppress(TypeError):
                d.detect("x", b)

    run(200)
    gc.collect()
    before = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    tracemalloc.start()
    run(100)
    snap1 = tracemalloc.take_snapshot()
    run(10_000)
    gc.collect()
    snap2 = tracemalloc.take_snapshot()
    tracemalloc.stop()
    grown = sum(s.size_diff for s in snap2.compare_to(snap1, "filename"))
    assert grown < 200_000, grown
    if before is not None:  # debug builds
        assert sys.gettotalrefcount() - before < 1000

"""The kind and values of core errors, read by _engine.error_fields from the
message: every error a detector raises decodes to its fields, and decoding is
the exact inverse of the message text."""

import numpy as np
import pytest
from conftest import emb

from morvanta import (BaselineSnapshot, ConfidenceDrift, DataDrift, EmbeddingDrift, MorvantaError, QueryDrift,
                      ResponseDrift)
from morvanta import _engine

F64 = np.zeros((5, 3))
E4, E5 = emb(6, 4, 1), emb(6, 5, 2)
NAN_E4 = np.where(E4 > 0, np.float32("nan"), E4)
CLUSTERED = np.repeat(np.eye(4, dtype=np.float32), 5, axis=0)
CONF = [0.5, 0.6, 0.7, 0.8, 0.9]


def ins(need, got, where):
    return (f"insufficient samples: need at least {need}, got {got} ({where})",
            ("insufficient_samples", need, got, where))


def dim(expected, got, where):
    return f"dimension mismatch: expected {expected}, got {got} ({where})", ("dimension_mismatch", expected, got, where)


def nan(where):
    return f"numerical instability in {where} (NaN or infinity)", ("numerical_instability", None, None, where)


def config(text):
    return f"invalid configuration: {text}", ("invalid_config", None, None, None)


# (bad call, its exact message, the decoded fields): one row per error path of
# each detector.
BAD_CALLS = [
    (lambda: DataDrift().detect(F64, F64[:, :2]), *dim(3, 2, "DataDriftDetector::detect")),
    (lambda: DataDrift().detect(F64[:0], F64), *ins(1, 0, "ks_two_sample")),
    (lambda: DataDrift().detect(F64, F64[:0]), *ins(1, 0, "ks_two_sample")),
    (lambda: EmbeddingDrift().detect(E4, E5), *dim(4, 5, "mmd_rbf")),
    (lambda: EmbeddingDrift().detect(E4[:1], E4), *ins(2, 1, "mmd_rbf")),
    (lambda: EmbeddingDrift().detect(NAN_E4, E4), *nan("mmd_rbf")),
    (lambda: EmbeddingDrift(n_projections=0).detect(E4, E4 + 1), *config("sliced_wasserstein: n_projections must be > 0")),
    (lambda: ResponseDrift().detect([], [1.0]), *ins(1, 0, "ks_two_sample")),
    (lambda: ResponseDrift().detect_with_embeddings([1], [2], E4, E5), *dim(4, 5, "sliced_wasserstein")),
    (lambda: ResponseDrift().detect_with_embeddings([1], [2], E4[:0], E4), *ins(1, 0, "sliced_wasserstein")),
    (lambda: ResponseDrift().detect_with_embeddings([1], [2], NAN_E4, E4), *nan("sliced_wasserstein")),
    (lambda: ConfidenceDrift().detect(CONF, []), *ins(1, 0, "ks_two_sample")),
    (lambda: ConfidenceDrift().detect_with_correctness(CONF, [True] * 4, CONF, [True] * 5),
     *dim(5, 4, "ConfidenceDriftDetector::baseline correctness")),
    (lambda: ConfidenceDrift().detect_with_correctness(CONF, [True] * 5, CONF[:3], [True] * 7),
     *dim(3, 7, "ConfidenceDriftDetector::current correctness")),
    (lambda: ConfidenceDrift(n_calib_bins=0).detect_with_correctness(CONF, [True] * 5, CONF, [False] * 5),
     *config("ece: n_bins must be > 0")),
    (lambda: QueryDrift(k=2).detect(CLUSTERED, CLUSTERED[:, :3]), *dim(4, 3, "QueryDriftDetector::detect")),
    (lambda: QueryDrift(k=0).detect(CLUSTERED, CLUSTERED), *config("kmeans: k must be > 0")),
    (lambda: QueryDrift(k=30).detect(CLUSTERED, CLUSTERED), *config("kmeans: k=30 exceeds sample count n=20")),
    (lambda: QueryDrift(k=2).detect(np.where(CLUSTERED > 0, np.float32("nan"), CLUSTERED), CLUSTERED),
     *nan("kmeans")),
]


@pytest.mark.parametrize("call, message, fields", BAD_CALLS)
def test_every_detector_error_decodes_to_its_kind_and_numbers(call, message, fields):
    with pytest.raises(MorvantaError) as info:
        call()
    assert str(info.value) == message
    assert info.value.args == (message,)
    assert _engine.error_fields(str(info.value)) == fields


def test_a_buffer_too_large_decodes_with_its_full_byte_count():
    # Past 64 bits: the count the message gives, as one Python int.
    with pytest.raises(MemoryError) as info:
        EmbeddingDrift(n_projections=2**62).detect(E4, E4 + 1)
    assert _engine.error_fields(str(info.value)) == ("out_of_memory", 2**66, None, "sliced_wasserstein")
    text = f"cannot allocate {2**128 - 2} bytes for x (k)"
    assert _engine.error_fields(text) == ("out_of_memory", 2**128 - 2, None, "k")
    saturated = "cannot allocate more than 340282366920938463463374607431768211454 bytes for x (k)"
    assert _engine.error_fields(saturated) == ("out_of_memory", 2**128 - 1, None, "k")


@pytest.mark.parametrize("text, fields", [
    ("io error: cannot open 'a (b).json'", ("io", None, None, None)),
    ("serialization error: bad", ("serialization", None, None, None)),
    ("interrupted", ("cancelled", None, None, None)),
    ("invalid configuration: dimension mismatch: expected 1, got 2 (x)", ("invalid_config", None, None, None)),
    # A context is everything up to the closing parenthesis.
    ("insufficient samples: need at least 10, got 5 (psi(baseline))", ("insufficient_samples", 10, 5, "psi(baseline)")),
    ("dimension mismatch: expected 18446744073709551615, got 0 ()", ("dimension_mismatch", 2**64 - 1, 0, "")),
])
def test_other_kinds_and_edges(text, fields):
    assert _engine.error_fields(text) == fields


def test_texts_that_are_no_core_message_decode_to_none():
    with pytest.raises(MorvantaError) as info:
        BaselineSnapshot.from_json("{")
    with pytest.raises(TypeError) as type_error:
        DataDrift().detect(F64.astype(np.float32), F64)
    for text in [str(info.value), str(type_error.value), "", "interrupted!", "dimension mismatch: expected 03, got 2 (x)",
                 "dimension mismatch: expected 18446744073709551616, got 2 (x)", "numerical instability in x",
                 "Insufficient samples: need at least 1, got 0 (ks_two_sample)"]:
        assert _engine.error_fields(text) is None, text


def test_error_fields_argument_errors():
    with pytest.raises(TypeError, match=r"^argument 'message': expected str$"):
        _engine.error_fields(b"interrupted")
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'message'"):
        _engine.error_fields()
    assert _engine.error_fields(message="interrupted") == ("cancelled", None, None, None)

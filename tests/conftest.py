"""Helpers shared by the test modules (imported as `from conftest import ...`)."""

import re
import threading
from pathlib import Path

import numpy as np
import pytest

NAN = float("nan")
KS_EMPTY = "insufficient samples: need at least 1, got 0 (ks_two_sample)"
MISMATCH = "dimension mismatch: expected 3, got 2 (DataDriftDetector::detect)"


def project_version():
    """[project] version of pyproject.toml, the one place the version is written."""
    text = (Path(__file__).parent.parent / "pyproject.toml").read_text()
    table = re.search(r"^\[project\]$(.*?)(?=^\[)", text, re.M | re.S).group(1)
    return re.search(r'^version\s*=\s*"([^"]+)"', table, re.M).group(1)


def emb(rows, cols, seed, shift=0.0):
    """Standard normal float32 embeddings, shifted by `shift`."""
    return (np.random.default_rng(seed).standard_normal((rows, cols)) + shift).astype(np.float32)


def layouts(a):
    """The logical contents of `a` as Fortran-ordered, transposed, reversed (negative
    strides) and non-contiguous views."""
    wide = np.zeros((a.shape[0] * 2, a.shape[1] * 3), a.dtype)
    wide[::2, 1::3] = a
    return [np.asfortranarray(a), np.ascontiguousarray(a.T).T,
            np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1], wide[::2, 1::3]]


def concurrently(*calls, reps=3):
    """Runs each call `reps` times on its own thread, all threads at once; returns the
    results per call (fewer for a call that raised)."""
    out = [[] for _ in calls]
    threads = [threading.Thread(target=lambda i=i: out[i].extend(calls[i]() for _ in range(reps)))
               for i in range(len(calls))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return out


def check_raises(call, exc, text=None):
    """call() raises exactly `exc`, whose message is `text`, or starts with it when
    `text` is an argument-name prefix such as "argument 'k': "; with no `text`, the
    message must not carry such a prefix."""
    with pytest.raises(exc) as info:
        call()
    got = str(info.value)
    assert type(info.value) is exc
    if text is None:
        assert not got.startswith("argument '"), got
    else:
        assert got.startswith(text) if text.startswith("argument '") else got == text, got

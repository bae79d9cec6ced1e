"""Helpers shared by the test modules (imported as `from conftest import ...`)."""

import os
import re
import subprocess
import sys
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


def cli_env():
    """The environment of a child process that imports the package under test."""
    import morvanta

    site = str(Path(morvanta.__file__).parent.parent.absolute())
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in [site, os.environ.get("PYTHONPATH")] if p))


def run_cli(*args, cwd=None, timeout=300):
    """`python -m morvanta ARGS` in a child process; its completed process, text output."""
    return subprocess.run([sys.executable, "-m", "morvanta", *map(str, args)], capture_output=True, text=True,
                          cwd=cwd, env=cli_env(), timeout=timeout)


def emb(rows, cols, seed, shift=0.0):
    """Standard normal float32 embeddings, shifted by `shift`."""
    return (np.random.default_rng(seed).standard_normal((rows, cols)) + shift).astype(np.float32)


def labels(total, m, seed, index):
    """The core's deal of split `index`: True for the `m` rows dealt to the baseline side."""
    from morvanta import _engine

    return np.frombuffer(_engine.split_labels(total, m, seed, index), np.uint8).astype(bool)


def bits(x):
    """A float's eight bytes: equal only when equal to the last bit (NaN included, -0.0 apart)."""
    return np.float64(x).tobytes()


@pytest.fixture
def threads():
    """`threads(n)` sets the core's worker count; the default is back after the test."""
    from morvanta import _engine

    yield _engine.set_threads
    _engine.set_threads(0)


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


def traffic_frame(n, seed=0, width=6, start=1_700_000_000.0):
    """A request log as a pandas frame: three features (NaN in one), an 'embedding' list
    column, confidences with flags, lengths and timestamps a second apart."""
    import pandas as pd

    rng = np.random.default_rng(seed)
    f = rng.normal(size=(n, 3))
    f[rng.random(n) < 0.05, 2] = np.nan
    conf = rng.random(n)
    return pd.DataFrame({
        "timestamp": start + np.arange(n, dtype=np.float64),
        "f0": f[:, 0], "f1": np.round(f[:, 1], 1), "f2": f[:, 2],
        "embedding": list(rng.standard_normal((n, width)).astype(np.float32)),
        "confidence": conf, "correct": rng.random(n) < conf,
        "response_length": np.round(rng.gamma(2.0, 20.0, n)),
    })


def write_parquet(frame, path, row_groups=1):
    """``frame`` as a Parquet file of ``row_groups`` row groups (near-equal), without its index."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    table = pa.Table.from_pandas(frame, preserve_index=False)
    pq.write_table(table, path, row_group_size=max(1, -(-len(frame) // row_groups)))
    return str(path)


@pytest.fixture
def ctrl_c_after():
    """`ctrl_c_after(seconds)` sends this process SIGINT that many seconds later, with
    Python's own handler installed for the test (a suite run as a background job
    inherits SIGINT ignored, and the signal would never arrive); both undone after."""
    import os
    import signal

    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timers = []

    def arm(seconds):
        timers.append(threading.Timer(seconds, lambda: os.kill(os.getpid(), signal.SIGINT)))
        timers[-1].start()

    yield arm
    for t in timers:
        t.cancel()
    signal.signal(signal.SIGINT, previous)

"""The worker pool: every detector's score is the same bit for bit whatever the
number of threads or the array layout (concurrent callers: core/tests/parallel_test.cpp); the pool's size
control and its argument errors."""

import os
import time

import numpy as np
import pytest
from conftest import check_raises, emb, layouts

from hypothesis import given, settings
from hypothesis import strategies as st

from morvanta import DataDrift, EmbeddingDrift, QueryDrift, ResponseDrift, _engine

@pytest.fixture(autouse=True)
def default_pool():
    yield
    _engine.set_threads(0)


def table(rows, cols, seed, shift=0.0):
    """Normal columns with ties, NaN and infinities in some of them."""
    rng = np.random.default_rng(seed)
    t = rng.normal(size=(rows, cols)) + shift * np.arange(cols)
    t[:, 1::5] = np.round(t[:, 1::5])
    t[::11, 3::7] = np.nan
    t[::13, 4] = np.inf
    return t


# Shapes that span several pieces of work and leave ragged ends: 23 columns, 1,300
# rows (chunks of 256, row blocks of 512), 70 columns (column pieces of 32), 19
# and 32 directions.
DATA = table(3001, 23, 1), table(2500, 23, 2, 0.02)
QUERY = emb(1300, 70, 3) * np.float32(2), emb(1100, 70, 4, 0.3) * np.float32(2)
EMBED = emb(300, 33, 6), emb(280, 33, 7, 0.2)
LENGTHS = np.arange(40.0), np.arange(5.0, 50.0)

CALLS = {
    "data": lambda b=DATA[0], c=DATA[1]: DataDrift().detect(b, c).score,
    "query": lambda b=QUERY[0], c=QUERY[1]: QueryDrift(k=9, seed=5).detect(b, c).score,
    "response": lambda b=QUERY[0], c=QUERY[1]: ResponseDrift(seed=8).detect_with_embeddings(
        *LENGTHS, b, c).score,
    "embedding": lambda b=EMBED[0], c=EMBED[1]: EmbeddingDrift(n_projections=19, seed=2).detect(b, c).score,
}
INPUTS = {"data": DATA, "query": QUERY, "response": QUERY, "embedding": EMBED}


def same(a, b):
    return np.float64(a).tobytes() == np.float64(b).tobytes()


@pytest.mark.parametrize("name", sorted(INPUTS))
def test_bit_identical_across_layouts_and_threads_and_input_untouched(name):
    # One thread: every loop runs on the calling thread, in order.
    _engine.set_threads(1)
    base, cur = INPUTS[name]
    want = CALLS[name]()
    assert np.isfinite(want) and want > 0.0
    for threads, (b, c) in zip((2, 7, 1, 2), zip(layouts(base), layouts(cur))):
        _engine.set_threads(threads)
        before = b.copy(), c.copy()
        assert same(CALLS[name](b, c), want), (name, threads)
        assert same(CALLS[name](c, b), CALLS[name](cur, base)), (name, threads)
        np.testing.assert_array_equal(b, before[0])
        np.testing.assert_array_equal(c, before[1])


@settings(max_examples=12, deadline=None)
@given(rows=st.integers(20, 2100), cols=st.integers(1, 80), k=st.integers(1, 12), seed=st.integers(0, 2**32 - 1))
def test_random_shapes_bit_identical_for_one_and_seven_threads(rows, cols, k, seed):
    # Ragged ends of every split: rows around chunk and block sizes, column counts
    # around the column pieces and groups.
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((rows, cols), dtype=np.float32) * np.float32(3)
    y = rng.standard_normal((rows // 2 + 3, cols), dtype=np.float32) + np.float32(0.2)
    t, u = x.astype(np.float64)[:, : cols % 17 + 1], y.astype(np.float64)[:, : cols % 17 + 1]
    calls = [lambda: QueryDrift(k=k, seed=seed).detect(x, y).score,
             lambda: ResponseDrift(seed=seed).detect_with_embeddings([1.0, 2.0], [2.0], x, y).score,
             lambda: DataDrift().detect(t, u).score]
    _engine.set_threads(1)
    want = [c() for c in calls]
    _engine.set_threads(7)
    assert all(same(c(), w) for c, w in zip(calls, want))


def test_data_score_is_the_largest_single_column_score():
    # Columns run on any thread; each column's value is its own one-column score,
    # and the maximum is taken in column order.
    base, cur = DATA
    _engine.set_threads(2)
    per_column = [DataDrift().detect(base[:, j:j + 1], cur[:, j:j + 1]).score for j in range(base.shape[1])]
    assert same(DataDrift().detect(base, cur).score, max(per_column))
    # A drifted column anywhere gives the same score whichever thread took it.
    for j in (0, 11, 22):
        moved = cur.copy()
        moved[:, j] += 50.0
        _engine.set_threads(7)
        a = DataDrift().detect(base, moved).score
        _engine.set_threads(1)
        assert same(a, DataDrift().detect(base, moved).score) and a > 1.0


def pool_workers():
    """Live worker threads of the core's pools in this process (named by the core)."""
    names = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                names.append(f.read().strip())
        except OSError:  # the thread ended meanwhile
            pass
    return names.count("morvanta-pool")


def workers_after_a_call(threads):
    """Pool workers once a detector has run with `threads` threads; a pool replaced
    from the other extension module stops on its own, so wait for it a little."""
    _engine.set_threads(threads)
    DataDrift().detect(*DATA)
    deadline = time.monotonic() + 5.0
    while pool_workers() != threads - 1 and time.monotonic() < deadline:
        time.sleep(0.01)
    return pool_workers()


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_thread_count_reaches_the_detectors():
    # The count set through morvanta._engine sizes the pool the detectors of
    # morvanta._native use: the caller plus n - 1 workers, and no other pool lives on.
    for n in (4, 2, 1, 3, 1):
        assert workers_after_a_call(n) == n - 1, n


def test_pool_size_control():
    for n in (1, 3, 1024):
        _engine.set_threads(n)
        assert _engine.threads() == n
    _engine.set_threads(0)
    assert _engine.threads() == (os.cpu_count() or 1)
    _engine.set_threads(n=2)
    assert _engine.threads() == 2
    check_raises(lambda: _engine.set_threads(1025), ValueError, "argument 'n': at most 1024 worker threads")
    check_raises(lambda: _engine.set_threads("2"), TypeError, "argument 'n': ")
    check_raises(lambda: _engine.set_threads(2.0), TypeError, "argument 'n': ")
    with pytest.raises(OverflowError):
        _engine.set_threads(-1)
    check_raises(lambda: _engine.set_threads(), TypeError)
    assert _engine.threads() == 2  # failed calls change nothing

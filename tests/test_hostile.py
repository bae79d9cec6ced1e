"""Hostile settings and inputs: sizes that wrap or that no machine holds, lying
sequence lengths, bool arrays holding other bytes, subinterpreters.

Every call that could take the interpreter down runs in a child process, so a
regression shows up as a failed test (with the child's exit status and output)
rather than a dead test run.
"""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from scipy import stats

PRELUDE = """
import json, sys
import numpy as np

def outcome(call):
    try:
        value = call()
    except BaseException as e:
        return {"type": type(e).__module__ + "." + type(e).__qualname__, "message": str(e),
                "is_exception": isinstance(e, Exception)}
    return {"type": None, "value": getattr(value, "score", repr(value))}

def report(**kw):
    print("RESULT " + json.dumps(kw))

x4 = np.arange(16, dtype=np.float32).reshape(4, 4) / 16
def zero_stride(shape, dtype):
    return np.lib.stride_tricks.as_strided(np.zeros(1, dtype), shape=shape, strides=(0,) * len(shape))
"""

UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


def run_child(code, import_native=True, timeout=120):
    """Runs PRELUDE + code in a fresh interpreter; returns the RESULT record."""
    head = PRELUDE + ("import morvanta._native as native\n" if import_native else "")
    r = subprocess.run([sys.executable, "-c", head + textwrap.dedent(code)], capture_output=True, text=True,
                       timeout=timeout)
    assert r.returncode == 0, f"child died with status {r.returncode}\nstdout: {r.stdout}\nstderr: {r.stderr[-3000:]}"
    lines = [ln for ln in r.stdout.splitlines() if ln.startswith("RESULT ")]
    assert len(lines) == 1, r.stdout + r.stderr
    return json.loads(lines[0][len("RESULT "):])


def memory_error(message):
    return {"type": "builtins.MemoryError", "message": message, "is_exception": True}


# ---------------------------------------------------------------- sizes

# (call, expected MemoryError text). Byte counts are the true products, beyond
# 64 bits where the request wraps. One case per core buffer kind (the others are in
# core/tests/alloc_test.cpp); every conversion path.
OVERSIZED = [
    pytest.param("native.EmbeddingDrift(n_projections=2**62).detect(x4, x4 + 1)",
                 "cannot allocate 73786976294838206464 bytes for the projection directions (sliced_wasserstein)",
                 id="directions-wrap"),
    # Rows without columns cost nothing to pass and let k reach 2^59 under k <= n.
    pytest.param("native.QueryDrift(k=2**59).detect(np.empty((2**60, 0), np.float32),"
                 " np.empty((2**60, 0), np.float32))",
                 f"cannot allocate {2**59 * 1028} bytes for the distance buffers (kmeans)", id="kmeans-k"),
    pytest.param("native.EmbeddingDrift().detect(np.empty((2**60, 0), np.float32), np.empty((2**60, 0), np.float32))",
                 f"cannot allocate {2**64} bytes for the packed samples (mmd_rbf)", id="mmd-rows"),
    # Views that claim far more elements than they store.
    pytest.param("native.EmbeddingDrift().detect(zero_stride((10**6, 10**6), np.float32), x4)",
                 "argument 'baseline': cannot allocate 4000000000000 bytes for a 1000000 x 1000000 float32 array",
                 id="view-2d-f32"),
    pytest.param("native.DataDrift().detect(zero_stride((10**6, 10**6), np.float64), np.zeros((3, 3)))",
                 "argument 'baseline': cannot allocate 8000000000000 bytes for a 1000000 x 1000000 float64 array",
                 id="view-2d-f64"),
    pytest.param("native.ResponseDrift().detect(zero_stride((10**13,), np.uint8), [1.0])",
                 "argument 'baseline_lengths': cannot allocate 80000000000000 bytes for 10000000000000 numbers",
                 id="view-1d-numbers"),
    pytest.param("native.ConfidenceDrift().detect_with_correctness([0.5], zero_stride((10**13,), np.bool_),"
                 " [0.5], [True])",
                 "argument 'baseline_correct': cannot allocate 10000000000000 bytes for 10000000000000 booleans",
                 id="view-1d-flags"),
]


@pytest.mark.parametrize("call, message", OVERSIZED)
def test_oversized_requests_raise_memory_error(call, message):
    got = run_child(f"report(**outcome(lambda: {call}))")
    assert got == memory_error(message)


def test_memory_errors_on_threads_next_to_ordinary_calls():
    # Caught again and again (a monitoring loop), while other threads' scores stay right.
    got = run_child("""
        import threading
        rng = np.random.default_rng(0)
        a = rng.standard_normal((64, 8)).astype(np.float32)
        b = (rng.standard_normal((64, 8)) + 0.5).astype(np.float32)
        expect = native.EmbeddingDrift().detect(a, b).score
        out, errors = [], []
        def good():
            for _ in range(5):
                out.append(native.EmbeddingDrift().detect(a, b).score)
        def bad():
            for _ in range(5):
                try:
                    native.EmbeddingDrift(n_projections=2**63).detect(a, b)
                except MemoryError as e:
                    errors.append(str(e))
        ts = [threading.Thread(target=f) for f in (good, bad, good, bad)]
        for t in ts: t.start()
        for t in ts: t.join()
        report(all_equal=all(v == expect for v in out), n=len(out), errors=sorted(set(errors)), n_err=len(errors))
    """)
    assert got == {"all_equal": True, "n": 10, "n_err": 10, "errors": [
        f"cannot allocate {2**63 * 8 * 4} bytes for the projection directions (sliced_wasserstein)"]}


@pytest.mark.skipif(UNDER_ASAN, reason="the address sanitizer needs unlimited address space")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
def test_allocation_failure_under_an_address_space_limit_names_the_method():
    # Sizes that pass the checks but not the process's limit: the allocator
    # itself fails, inside the released-lock section and in the conversion.
    got = run_child("""
        import resource
        def vm_size():
            for line in open("/proc/self/status"):
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
        big = np.ones(2**27, np.float32)          # 512 MB, widened to 1 GB of doubles
        native.EmbeddingDrift(n_projections=4).detect(x4, x4 + 1)   # workers and NumPy's API loaded
        limit = vm_size() + (192 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        first = outcome(lambda: native.EmbeddingDrift(n_projections=2**24).detect(x4, x4 + 1))
        second = outcome(lambda: native.ResponseDrift().detect(big, [1.0]))
        third = outcome(lambda: native.EmbeddingDrift(n_projections=4).detect(x4, x4 + 1))
        report(first=first, second=second, third=third["type"])
    """)
    assert got == {"first": memory_error("out of memory in EmbeddingDrift.detect()"),
                   "second": memory_error("out of memory in ResponseDrift.detect()"), "third": None}


# Bin counts far beyond the data are bounded by it: no table is sized by the setting.


def test_bin_counts_beyond_the_data_score_like_their_references():
    from morvanta import ConfidenceDrift, DataDrift

    rng = np.random.default_rng(3)
    a, b = rng.standard_normal((300, 3)), rng.standard_normal((200, 3)) + [0.0, 0.3, -0.2]
    # PSI cannot index 2**64 - 1 bins over 300 rows, so the columns are judged by KS.
    got = DataDrift(n_bins=2**64 - 1).detect(a, b).score
    assert got == pytest.approx(max(stats.ks_2samp(a[:, j], b[:, j]).statistic for j in range(3)), abs=1e-12)

    # One calibration bin per representable probability: each distinct score is its
    # own bin, so the calibration error is the mean of |p - correct|.
    pb, pc = rng.uniform(0.01, 0.99, 400), rng.uniform(0.2, 0.99, 300)
    yb, yc = rng.random(400) < pb, rng.random(300) < 0.5
    got = ConfidenceDrift(n_calib_bins=2**64 - 1).detect_with_correctness(pb, yb, pc, yc).score
    ece = lambda p, y: np.mean(np.abs(p - y))
    want = stats.ks_2samp(pb, pc).statistic + abs(ece(pc, yc) - ece(pb, yb))
    assert got == pytest.approx(want, abs=1e-12)


# ---------------------------------------------------------------- lengths


def test_overstated_lengths_are_only_a_hint():
    got = run_child("""
        class Liar(list):
            def __init__(self, items, n):
                super().__init__(items)
                self.n = n
            def __len__(self):
                return self.n

        def vm_peak():
            for line in open("/proc/self/status"):
                if line.startswith("VmPeak:"):
                    return int(line.split()[1]) * 1024
            return 0

        base, cur = [1.0, 2.0, 3.0], [1.5, 2.5, 9.0]
        flags = [True, False, True]
        s = native.ResponseDrift().detect([1.0, 2.0], [1.5, 9.0])
        want = (native.ResponseDrift().detect(base, cur).score,
                native.ConfidenceDrift().detect_with_correctness(base, flags, cur, flags).score)
        results = {}
        before = vm_peak()
        for n in (2**40, 10**9, 2**62, 0, 1):
            r = native.ResponseDrift().detect(Liar(base, n), Liar(cur, n)).score
            c = native.ConfidenceDrift().detect_with_correctness(
                Liar([.2, .9, .4], n), Liar(flags, n), Liar([.3, .8, .5], n), Liar(flags, n)).score
            c0 = native.ConfidenceDrift().detect_with_correctness([.2, .9, .4], flags, [.3, .8, .5], flags).score
            rep = native.DriftReport(Liar([s, s, s], n), 3, 3)
            results[str(n)] = [r == want[0], c == c0, len(rep.scores), rep.max_score() == s.score]
        report(results=results, grew_mb=(vm_peak() - before) >> 20)
    """)
    for n, (r_ok, c_ok, count, top) in got["results"].items():
        assert r_ok and c_ok and count == 3 and top, n
    # A reservation by the claimed length maps 8 GB (10**9 doubles) or more; the
    # capped one stays in the megabytes (the sanitizer's quarantine adds some).
    assert got["grew_mb"] < 2048


def test_long_sequences_past_the_reservation_cap():
    # Items beyond the capped reservation arrive and are kept, in order.
    from morvanta import ResponseDrift

    class Liar(list):
        def __len__(self):
            return 1

    rng = np.random.default_rng(7)
    base = rng.standard_normal((1 << 20) + 37).tolist()
    cur = (rng.standard_normal(5000) + 0.05).tolist()
    got = ResponseDrift().detect(Liar(base), Liar(cur)).score
    assert got == ResponseDrift().detect(base, cur).score
    assert got == pytest.approx(stats.ks_2samp(base, cur).statistic, abs=1e-15)


# ---------------------------------------------------------------- bool bytes


def test_bool_arrays_holding_other_bytes_read_as_bytes():
    got = run_child("""
        raw = np.array([2, 0, 1, 255, 0, 128], np.uint8)
        as_bool = raw.view(np.bool_)
        clean = [1.0, 0.0, 1.0, 1.0, 0.0, 1.0]
        other = [0.0, 0.0, 1.0, 0.5, 0.25, 0.0]
        conf = [0.9, 0.2, 0.6, 0.7, 0.1, 0.8]
        cd = native.ConfidenceDrift(n_calib_bins=5)
        report(
            numbers=native.ResponseDrift().detect(as_bool, other).score,
            numbers_ref=native.ResponseDrift().detect(clean, other).score,
            strided=native.ResponseDrift().detect(as_bool[::2], other).score,
            strided_ref=native.ResponseDrift().detect(clean[::2], other).score,
            flags=cd.detect_with_correctness(conf, as_bool, conf[::-1], as_bool[::-1]).score,
            flags_ref=cd.detect_with_correctness(conf, [bool(v) for v in clean], conf[::-1],
                                                 [bool(v) for v in clean[::-1]]).score,
        )
    """)
    assert got["numbers"] == got["numbers_ref"]
    assert got["strided"] == got["strided_ref"]
    assert got["flags"] == got["flags_ref"]


# ---------------------------------------------------------------- subinterpreters

SUBINTERP = r'''
import glob, os, sys, tempfile
try:
    import _interpreters as subs
except ImportError:
    import _xxsubinterpreters as subs

# Located without importing the package, so that nothing of morvanta is loaded
# in the main interpreter yet.
PKG = next(os.path.join(p, "morvanta") for p in sys.path if os.path.isdir(os.path.join(p or ".", "morvanta")))

def in_subinterpreter(body):
    # Runs `body` in a fresh subinterpreter; what it writes to OUT comes back.
    path = os.path.join(tempfile.mkdtemp(), "out")
    interp = subs.create()
    try:
        subs.run_string(interp, "OUT = %r\n" % path + body)
    finally:
        subs.destroy(interp)
    with open(path) as f:
        return f.read()

PROBE = """
import _imp, types
try:
    _imp.create_dynamic(types.SimpleNamespace(name="morvanta.%s", origin=%r))
    text = "imported"
except ImportError as e:
    text = "ImportError: " + str(e)
with open(OUT, "w") as f:
    f.write(text)
"""

def probe(mod):
    # Loads the extension file straight, past the package's own imports.
    so = glob.glob(os.path.join(PKG, mod + ".*so"))[0]
    return PROBE % (mod, so)
'''


@pytest.mark.parametrize("first", ["_native", "_engine"])
def test_a_subinterpreter_first_does_not_poison_the_main_interpreter(first):
    got = run_child(SUBINTERP + f"""
first = in_subinterpreter(probe({first!r}))
assert not any(m.startswith("morvanta") for m in sys.modules)
import morvanta
import morvanta._engine
native = morvanta._native
score = native.EmbeddingDrift(n_projections=8).detect(x4, x4 + 1).score
again = [in_subinterpreter(probe(m)) for m in ("_native", "_engine")]
report(first=first, engine=morvanta._engine.__name__, ok=score > 0, again=again)
""", import_native=False)
    refused = "ImportError: morvanta.{} can only be imported by the main interpreter"
    assert got == {"first": refused.format(first), "engine": "morvanta._engine", "ok": True,
                   "again": [refused.format("_native"), refused.format("_engine")]}


def test_a_subinterpreter_importing_the_package_gets_import_error():
    got = run_child(SUBINTERP + """
text = in_subinterpreter('''
try:
    import morvanta
    text = "imported"
except ImportError as e:
    text = "ImportError: " + str(e)
with open(OUT, "w") as f:
    f.write(text)
''')
import morvanta
report(sub=text, main=morvanta.EmbeddingDrift().detect(x4, x4 + 1).score > 0)
""", import_native=False)
    assert got == {"sub": "ImportError: morvanta._native can only be imported by the main interpreter", "main": True}

"""Ctrl-C during a long detector call: KeyboardInterrupt within half a second of
the signal, a pool that keeps working, no leaked threads or memory, and later
calls that give the uninterrupted result. Each case runs in its own interpreter,
which sends itself SIGINT while the call runs."""

import json
import subprocess
import sys
import textwrap

import pytest

PRELUDE = textwrap.dedent("""
    import json, os, signal, sys, threading, time
    import numpy as np
    from morvanta import DataDrift, EmbeddingDrift, QueryDrift, ResponseDrift, _engine

    rng = np.random.default_rng(0)

    def interrupted(call, delay):
        # Seconds from SIGINT to KeyboardInterrupt; fails if the call ends first.
        sent = []
        def fire():
            time.sleep(delay)
            sent.append(time.perf_counter())
            os.kill(os.getpid(), signal.SIGINT)
        t = threading.Thread(target=fire)
        t0 = time.perf_counter()
        t.start()
        try:
            call()
        except KeyboardInterrupt:
            back = time.perf_counter()
            t.join()
            return back - sent[0]
        t.join()
        raise SystemExit(f"the call ended after {time.perf_counter() - t0:.2f} s, before the interrupt")

    def threads_alive():
        return len(os.listdir("/proc/self/task"))

    def rss_mb():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
""")


def run(body, timeout=120):
    r = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)], capture_output=True, text=True,
                       timeout=timeout)
    assert r.returncode == 0, r.stderr + r.stdout
    return json.loads(r.stdout.strip().splitlines()[-1])


# Each long call runs for many seconds uninterrupted (far past the signal at 0.5 s);
# `small` is a quick call of the same detector whose result must not change.
CASES = {
    "embedding": ("""
        X = rng.standard_normal((20000, 64), dtype=np.float32); Y = X + np.float32(0.05)
        long = lambda: EmbeddingDrift().detect(X, Y)
        small = lambda: EmbeddingDrift().detect(X[:700], Y[:500]).score
    """),
    "query": ("""
        X = rng.standard_normal((200000, 128), dtype=np.float32); Y = X[:5000] + np.float32(0.1)
        long = lambda: QueryDrift(k=64, seed=1).detect(X, Y)
        small = lambda: QueryDrift(k=5, seed=1).detect(X[:3000], Y[:2000]).score
    """),
    "data": ("""
        X = rng.standard_normal((1500000, 24)); Y = X[::-1] + 0.01
        long = lambda: [DataDrift().detect(X, Y) for _ in range(20)]
        small = lambda: DataDrift().detect(X[:20000], Y[:30000]).score
    """),
    "response": ("""
        X = rng.standard_normal((60000, 256), dtype=np.float32); Y = X[:40000] + np.float32(0.1)
        lengths = rng.normal(100, 10, 1000)
        # 32 directions per call, projected and sorted on the pool.
        long = lambda: [ResponseDrift(seed=s).detect_with_embeddings(lengths, lengths, X, Y) for s in range(200)]
        small = lambda: ResponseDrift(seed=3).detect_with_embeddings(lengths, lengths, X[:3000], Y[:2000]).score
    """),
}


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("name", sorted(CASES))
def test_interrupt_returns_quickly_and_later_calls_agree(name, threads):
    out = run(CASES[name] + f"""
        _engine.set_threads({threads})
        before = small()
        delay = interrupted(long, 0.5)
        print(json.dumps({{"delay": delay, "same": small() == before, "again": small() == before}}))
    """)
    assert out["delay"] < 0.5, out
    assert out["same"] and out["again"], out


def test_repeated_interrupts_leak_nothing_and_match_the_full_result():
    # A call of about a second, cut at different points, then run to the end: the
    # same bits as before, the same threads alive, and no memory kept back.
    out = run("""
        X = rng.standard_normal((60000, 384), dtype=np.float32); Y = X[:20000] + np.float32(0.05)
        call = lambda: QueryDrift(k=16, seed=2).detect(X, Y).score
        want = call()
        threads, rss = threads_alive(), rss_mb()
        delays = [interrupted(call, d) for d in (0.02, 0.1, 0.2, 0.05, 0.3, 0.15)]
        got = call()
        print(json.dumps({"delays": delays, "same": got == want, "threads": [threads, threads_alive()],
                          "rss": [rss, rss_mb()]}))
    """)
    assert max(out["delays"]) < 0.5, out
    assert out["same"], out
    assert out["threads"][0] == out["threads"][1], out
    assert out["rss"][1] - out["rss"][0] < 32, out


def test_interrupt_with_other_python_threads_running():
    # A second thread keeps calling detectors (its calls are not interrupted); Ctrl-C
    # still reaches the main thread's call quickly and the other thread's results
    # stay right.
    out = run("""
        X = rng.standard_normal((20000, 64), dtype=np.float32); Y = X + np.float32(0.05)
        a, b = X[:400], Y[:300]
        want = EmbeddingDrift().detect(a, b).score
        stop, bad, done = threading.Event(), [], []
        def other():
            while not stop.is_set():
                bad.append(EmbeddingDrift().detect(a, b).score != want)
        t = threading.Thread(target=other)
        t.start()
        delay = interrupted(lambda: EmbeddingDrift().detect(X, Y), 0.5)
        stop.set()
        t.join()
        print(json.dumps({"delay": delay, "calls": len(bad), "wrong": sum(bad)}))
    """)
    assert out["delay"] < 0.5, out
    assert out["calls"] > 0 and out["wrong"] == 0, out

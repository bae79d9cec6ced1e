"""Embedding throughput on text-only logs, next to the check's own time on the same logs.

Builds two text-only logs of support-desk questions and answers (N requests each,
templates of the tests' topics, the current log drifted to other topics), then
times (a) embedding every text with the local model (all-MiniLM-L6-v2 as ONNX,
prepared by tools/prepare-test-model.py) and (b) morvanta.check on the logs
holding those vectors, so the two costs of `morvanta check --embed` are apart.

Run: PYTHONPATH=build/NAME/site python3 bench/bench_embed.py [--rows N] [--threads T]
Prints sentences per second (wall and per CPU-second) and the check's wall time.
"""

import argparse
import importlib.machinery
import os
import time
import types

import numpy as np

import morvanta
from morvanta.embed import load_model

HERE = os.path.dirname(os.path.abspath(__file__))
TOPICS = {
    "billing": ["Why was I charged {x} twice this month?", "How do I update the card on my {x} plan?",
                "Can I get an invoice for my {x} subscription?", "My payment of {x} failed, what should I do?"],
    "account": ["I forgot my password for {x}, how do I reset it?", "How do I enable two-factor login on {x}?",
                "My {x} account is locked after failed logins", "How do I delete my {x} account?"],
    "shipping": ["Where is my order {x}?", "My package {x} is delayed by a week", "My parcel {x} arrived damaged"],
    "api": ["The {x} endpoint returns a 500 error", "What is the rate limit of the {x} API?",
            "How do I paginate results from {x}?"],
    "health": ["What are the side effects of {x}?", "What is the usual dose of {x} for adults?"],
}
FILLERS = ["$12", "the web app", "#4411", "/v1/search", "ibuprofen", "pro", "the dashboard", "A-778", "/users"]


def log(topics, n, seed):
    rng = np.random.default_rng(seed)
    q = []
    for _ in range(n):
        t = TOPICS[topics[rng.integers(len(topics))]]
        q.append(t[rng.integers(len(t))].format(x=FILLERS[rng.integers(len(FILLERS))]) + f" (ticket {rng.integers(10**6)})")
    return {"query": q, "response": [f"Thanks for asking: {s.lower()} Our team will look into it today." for s in q]}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=1000)
    ap.add_argument("--threads", type=int, default=None)
    args = ap.parse_args()
    loader = importlib.machinery.SourceFileLoader("ptm", os.path.join(HERE, "..", "tools", "prepare-test-model.py"))
    prep = types.ModuleType("ptm")
    prep.__file__ = loader.path
    loader.exec_module(prep)
    model = load_model(prep.prepare()[0])
    base, cur = log(("billing", "account", "shipping"), args.rows, 1), log(("api", "health", "billing"), args.rows, 2)
    texts = base["query"] + base["response"] + cur["query"] + cur["response"]
    w0, c0 = time.perf_counter(), time.process_time()
    vectors = model.embed(texts, threads=args.threads)
    wall, cpu = time.perf_counter() - w0, time.process_time() - c0
    n = args.rows
    qb, rb, qc, rc = vectors[:n], vectors[n:2 * n], vectors[2 * n:3 * n], vectors[3 * n:]
    print(f"embedding: {len(texts):,} texts ({n:,} queries and {n:,} answers per log) in {wall:.2f} s wall, "
          f"{cpu:.2f} s CPU: {len(texts) / wall:,.0f} sentences/s wall, {len(texts) / cpu:,.0f} per CPU-second "
          f"({args.threads or os.cpu_count()} threads)")
    with_vectors = [dict(b, query_embedding=q, response_embedding=r) for b, q, r in ((base, qb, rb), (cur, qc, rc))]
    w0, c0 = time.perf_counter(), time.process_time()
    result = morvanta.check(*with_vectors)
    wall_c, cpu_c = time.perf_counter() - w0, time.process_time() - c0
    drifted = [d.dimension for d in result.dimensions if d.drifted]
    print(f"check on the same logs (vectors given): {wall_c:.2f} s wall, {cpu_c:.2f} s CPU; drifted: {drifted}")
    w0 = time.perf_counter()
    result2 = morvanta.check(base, cur, embed=model)
    total = time.perf_counter() - w0
    same = [d.p_value for d in result2.dimensions] == [d.p_value for d in result.dimensions]
    print(f"check --embed end to end: {total:.2f} s wall; same p-values as with the vectors: {same}")


if __name__ == "__main__":
    main()

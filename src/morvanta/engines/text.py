"""Query and answer text turned into the embeddings the detectors take.

A log that holds the ``query`` and ``response`` text but no embedding columns gets
its embedding, query and response-with-embeddings dimensions from a local
sentence-embedding model (``embed=``, ``--embed MODEL_DIR``): :func:`embed_log`
embeds each text column once and fills the log's vectors exactly as if the log had
held them. Columns that already hold embeddings win. Without a model, or without
the ``morvanta[embed]`` extra, :func:`text_notes` says which dimensions are left
out and how to score them.
"""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Callable, Mapping
from contextvars import ContextVar
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, Any

from ..dimensions import TEXT_ROLES
from ..errors import ArgumentError
from ..io.log import LogError, RequestLog

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

    from ..embed import TextEmbedder

__all__ = ["Embedder", "resolve", "embed_log", "embed_texts", "text_notes", "model_label", "same_model",
           "ENABLE_HINT"]

#: How to get the vectors of text-only logs, for the notes.
ENABLE_HINT = "pass --embed MODEL_DIR (Python: embed=) with the extra pip install 'morvanta[embed]'"


@dataclass(frozen=True)
class Embedder:
    """The outcome of an ``embed=`` argument: a loaded model, or why there is none
    (``missing``: the library that is not installed, in the words of its error)."""

    model: TextEmbedder | None
    missing: str | None = None
    path: str | None = None


def resolve(embed: Any, arg: str = "embed") -> Embedder | None:
    """The model an ``embed=`` argument names: None for none, a loaded TextEmbedder as it
    is, a folder path loaded. A folder that holds no usable model raises
    :class:`~morvanta.errors.ArgumentError` naming ``arg``; a missing optional library
    gives an Embedder without a model, so that the check runs the other dimensions and
    says what to install."""
    if embed is None or isinstance(embed, Embedder):
        return embed
    from ..embed import TextEmbedder

    if isinstance(embed, TextEmbedder):
        return Embedder(embed)
    if not isinstance(embed, (str, os.PathLike)) or isinstance(embed, bytes):
        raise TypeError(f"argument '{arg}': expected a model folder (str or Path) or a loaded TextEmbedder, "
                        f"got {type(embed).__name__}")
    from .._optional import MissingDependency
    from ..embed import ModelError, load_model

    try:
        return Embedder(load_model(os.fspath(embed)), path=os.fspath(embed))
    except MissingDependency as err:
        return Embedder(None, str(err), os.fspath(embed))
    except ModelError as err:
        raise ArgumentError(arg, str(err)) from None


def model_label(identity: Mapping[str, Any]) -> str:
    """A model as notes and errors name it: its name and the start of its digest."""
    return f"'{identity.get('name')}' (sha256 {str(identity.get('sha256', ''))[:12]})"


def same_model(a: Mapping[str, Any], b: Mapping[str, Any]) -> bool:
    """Whether two model identities give the same vectors: the same files (the digest)."""
    return a.get("sha256") == b.get("sha256") and a.get("dimension") == b.get("dimension")


#: Makes the progress callback of each embedding run (None: a bar on stderr when it is a terminal).
#: The command line sets one that draws on its own progress line, so the two never overwrite each other.
progress_maker: ContextVar[Callable[[], Any] | None] = ContextVar("morvanta_embed_progress", default=None)


def _progress() -> Any:
    make = progress_maker.get()
    if make is not None:
        return make()
    from ..embed import progress_bar

    return progress_bar(sys.stderr)


def embed_texts(model: TextEmbedder, texts: Any, what: str, notes: list[str] | None = None
                ) -> NDArray[numpy.float32]:
    """The vectors of ``texts`` (missing cells embedded as the empty text, with a note), a
    progress bar on a terminal."""
    cells = list(texts)
    missing = sum(1 for t in cells if t is None)
    if missing and notes is not None:
        notes.append(f"{what}: {missing:,} missing text cell{'s' if missing != 1 else ''} embedded as the empty text")
    return model.embed(["" if t is None else str(t) for t in cells], progress=_progress())


def embed_log(log: RequestLog, embedder: Embedder | None) -> RequestLog:
    """``log`` with the vectors of its text columns where it holds none, and a note per
    column saying which model embedded it and how long that took.

    The query text fills ``queries`` (and ``embeddings`` when no ``embedding`` column
    feeds the embedding dimension), the answer text ``response_embeddings``, exactly
    as the columns ``query_embedding`` and ``response_embedding`` would have.
    """
    if embedder is None or embedder.model is None:
        return log
    model = embedder.model
    notes = list(log.notes)
    changes: dict[str, Any] = {}
    embedded = dict(log.embedded)
    for role, texts in (("query", log.query_texts), ("response", log.response_texts)):
        if texts is None or role in embedded:
            continue
        if role == "query" and log.queries is not None or role == "response" and log.response_embeddings is not None:
            continue
        column = log.roles.get(role, role) if role == "query" else _response_column(log)
        start = time.perf_counter()
        vectors = embed_texts(model, texts, f"column '{column}'", notes)
        took = time.perf_counter() - start
        rate = f", {len(texts) / took:,.0f} texts/s" if took > 0 and len(texts) else ""
        notes.append(f"column '{column}': {len(texts):,} texts embedded with {model_label(model.identity)} in "
                     f"{took:.2f} s{rate} (the {TEXT_ROLES[role][0]} role)")
        embedded[role] = model_label(model.identity)
        if role == "query":
            changes["queries"] = vectors
            if log.embeddings is None:
                changes["embeddings"] = vectors
                changes["embedding_column"] = f"{column} (embedded)"
        else:
            changes["response_embeddings"] = vectors
    if not changes:
        return log
    return replace(log, notes=tuple(notes), embedded=embedded, **changes)


def _response_column(log: RequestLog) -> str:
    column = log.roles.get("response")
    if column is not None:
        return column
    length = log.length_column or ""
    return "response" if not length.endswith(")") else length.rsplit(" (", 1)[0]


def text_notes(base: RequestLog | None, cur: RequestLog, embedder: Embedder | None) -> list[str]:
    """Why text the logs hold was not embedded, per dimension it would feed, and how to enable it
    (empty when the text was embedded, or nothing would be gained)."""
    out = []
    why = (f"{embedder.missing}" if embedder is not None and embedder.missing else ENABLE_HINT)
    logs = [x for x in (base, cur) if x is not None]
    if all(x.query_texts is not None and x.queries is None for x in logs):
        dims = "query" if all(x.embeddings is not None for x in logs) else "embedding, query"
        out.append(f"{dims}: not scored: the logs hold query text but no query embeddings; {why}")
    if all(x.response_texts is not None and x.response_embeddings is None for x in logs) and all(
            x.response_lengths is not None for x in logs):
        out.append(f"response: scored on lengths alone: the logs hold the answer text but no answer embeddings; "
                   f"{why}")
    return out


def refuse_other_model(saved: Mapping[str, Any], given: Mapping[str, Any], source: str, arg: str = "embed") -> None:
    """Refuses a model whose vectors the saved baseline's cannot be compared with."""
    if not same_model(saved, given):
        raise ArgumentError(arg, f"the baseline '{source}' was embedded with {model_label(saved)}, not with "
                                 f"{model_label(given)}: vectors of two models cannot be compared (pass the "
                                 "baseline's model)")


def saved_model_log(saved_model: Mapping[str, Any] | None, source: str, log: RequestLog,
                    embedder: Embedder | None, notes: list[str]) -> RequestLog:
    """The current log for a saved baseline: embedded with the baseline's model when it
    was fitted with one. Another model is refused; without one, the log's own vectors
    are used with a note, and text without vectors is refused naming the model to pass."""
    if saved_model is None:
        if embedder is not None and embedder.model is not None:
            notes.append(f"the baseline '{source}' records no embedding model: the current log's text is "
                         f"embedded with {model_label(embedder.model.identity)}; its vectors must come from "
                         "the same model")
        return embed_log(log, embedder)
    if embedder is not None and embedder.model is not None:
        refuse_other_model(saved_model, embedder.model.identity, source)
        return embed_log(log, embedder)
    texts = [role for role, t in (("query", log.query_texts), ("response", log.response_texts)) if t is not None]
    need = [role for role in texts if (log.queries if role == "query" else log.response_embeddings) is None]
    if need:
        how = embedder.missing if embedder is not None and embedder.missing else (
            f"pass --embed (Python: embed=) with the folder of {model_label(saved_model)}")
        raise LogError(f"'{log.source}': the log holds {' and '.join(need)} text but no embeddings, and the "
                       f"baseline '{source}' was embedded with {model_label(saved_model)}; {how}")
    notes.append(f"the baseline '{source}' was embedded with {model_label(saved_model)}: the current log's "
                 "embedding columns must come from the same model")
    return log

"""What every text embedder shares: argument checks, equal-length grouping, worker
threads, progress, and the model folder's identity."""

from __future__ import annotations

import hashlib
import os
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any

from ..io.files import InputError

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

__all__ = ["ModelError", "TextEmbedder", "Progress", "progress_bar", "folder_digest"]

#: Called as progress(done, total) with the number of texts embedded so far.
Progress = Callable[[int, int], None]


class ModelError(InputError):
    """A model folder that cannot be used; the message names the path and what is wrong."""


def folder_digest(folder: Path) -> str:
    """SHA-256 over a folder's files: each file's relative path (POSIX form, UTF-8),
    a zero byte, its size as 8 little-endian bytes and its contents, in the order of
    the sorted relative paths. Hidden entries (a name starting with ".", such as
    .git or .cache) are left out: they are not part of the model."""
    files: list[tuple[str, Path]] = []
    for root, dirs, names in os.walk(folder):
        dirs[:] = [d for d in dirs if not d.startswith(".")]
        for name in names:
            if not name.startswith("."):
                path = Path(root, name)
                files.append((path.relative_to(folder).as_posix(), path))
    h = hashlib.sha256()
    for rel, path in sorted(files):
        try:
            with open(path, "rb") as f:
                size = os.fstat(f.fileno()).st_size
                h.update(rel.encode() + b"\0" + size.to_bytes(8, "little"))
                for chunk in iter(lambda: f.read(1 << 20), b""):
                    h.update(chunk)
        except OSError as e:
            raise ModelError(f"cannot read '{path}': {e.strerror or e}") from None
    return h.hexdigest()


def _texts(texts: object) -> list[str]:
    if isinstance(texts, (str, bytes)):
        raise TypeError(f"argument 'texts': expected a sequence of strings, got a single {type(texts).__name__}")
    if not isinstance(texts, Iterable):
        raise TypeError(f"argument 'texts': expected a sequence of strings, got {type(texts).__name__}")
    out = list(texts)
    for i, t in enumerate(out):
        if not isinstance(t, str):
            raise TypeError(f"argument 'texts': item {i} is {type(t).__name__}, expected str")
    return out


def _count(arg: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"argument '{arg}': expected int, got {type(value).__name__}")
    if value < 1:
        raise ValueError(f"argument '{arg}': must be >= 1, got {value}")
    return value


def available_cpus() -> int:
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def equal_length_groups(lengths: Sequence[int], batch_size: int) -> list[list[int]]:
    """Indices of texts with the same token count, at most ``batch_size`` per group,
    ordered by (count, index): no group ever needs padding."""
    order = sorted(range(len(lengths)), key=lambda i: (lengths[i], i))
    groups: list[list[int]] = []
    for i in order:
        if groups and len(groups[-1]) < batch_size and lengths[groups[-1][0]] == lengths[i]:
            groups[-1].append(i)
        else:
            groups.append([i])
    return groups


class TextEmbedder:
    """A sentence-embedding model loaded from a folder (see :func:`morvanta.embed.load_model`).

    :meth:`embed` turns texts into float32 vectors, one row per text, with the
    model's own pooling and normalisation. A text's vector has the same bits
    whatever the batch it is in, its position there and the number of threads.
    """

    #: The runtime that computes the vectors ("onnxruntime" or "sentence-transformers").
    runtime = ""

    def __init__(self, path: Path, dimension: int, max_tokens: int | None) -> None:
        self.path = path
        #: Length of each vector.
        self.dimension = dimension
        #: Texts longer than this many tokens (special tokens included) are cut to it, as
        #: the model was trained; None when the model sets no limit.
        self.max_tokens = max_tokens
        self._digest = folder_digest(path)

    @property
    def name(self) -> str:
        return self.path.name

    @property
    def identity(self) -> dict[str, Any]:
        """The model's name, the SHA-256 digest of its folder's files (see
        :func:`folder_digest`), the vectors' dimension and the runtime: a baseline
        embedded with one model can refuse a window embedded with another."""
        return {"name": self.name, "sha256": self._digest, "dimension": self.dimension, "runtime": self.runtime}

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.name!r} from '{self.path}', dimension {self.dimension}>"

    # A runtime provides these two: each text's input to the model (its tokens, or the
    # text itself) with its token count, and the vectors of a group of inputs of equal
    # token count (rows in the group's order).
    def _prepare(self, texts: list[str]) -> tuple[list[Any], list[int]]:
        raise NotImplementedError

    def _embed_group(self, units: list[Any]) -> NDArray[numpy.float32]:
        raise NotImplementedError

    def _threads_scope(self) -> Any:
        """A context manager held while a call's workers run (the sentence-transformers
        runtime uses it to run torch single-threaded)."""
        import contextlib

        return contextlib.nullcontext()

    def embed(
        self,
        texts: Sequence[str],
        *,
        batch_size: int = 64,
        threads: int | None = None,
        progress: Progress | None = None,
    ) -> NDArray[numpy.float32]:
        """The vectors of ``texts`` as a C-ordered float32 array of shape (len(texts), dimension).

        Texts with the same token count are run together, up to ``batch_size`` at a
        time, on ``threads`` worker threads (default: the CPUs this process may use),
        each running the model single-threaded. ``progress(done, total)`` is called on
        the calling thread before the first group and after each group.
        """
        import numpy as np

        items = _texts(texts)
        batch_size = _count("batch_size", batch_size)
        threads = available_cpus() if threads is None else _count("threads", threads)
        if progress is not None and not callable(progress):
            raise TypeError(f"argument 'progress': expected a callable(done, total), got {type(progress).__name__}")
        out = np.empty((len(items), self.dimension), np.float32)
        if not items:
            return out
        units, lengths = self._prepare(items)
        groups = equal_length_groups(lengths, batch_size)
        done = 0
        if progress is not None:
            progress(0, len(items))

        def finished(group: list[int], vectors: NDArray[numpy.float32]) -> None:
            nonlocal done
            out[group] = vectors
            done += len(group)
            if progress is not None:
                progress(done, len(items))

        with self._threads_scope():
            if threads == 1 or len(groups) == 1:
                for group in groups:
                    finished(group, self._embed_group([units[i] for i in group]))
                return out
            pool = ThreadPoolExecutor(min(threads, len(groups)), thread_name_prefix="morvanta-embed")
            try:
                # Longest texts first, so that no worker is left with a long group at the end.
                pending: dict[Future[NDArray[numpy.float32]], list[int]] = {
                    pool.submit(self._embed_group, [units[i] for i in g]): g for g in reversed(groups)
                }
                while pending:
                    # A timeout keeps the calling thread able to take Ctrl-C.
                    ready, _ = wait(pending, timeout=0.5, return_when=FIRST_COMPLETED)
                    for f in ready:
                        finished(pending.pop(f), f.result())
            finally:
                pool.shutdown(wait=True, cancel_futures=True)
        return out


def progress_bar(stream: IO[str] | None = None, label: str = "embedding", interval: float = 0.5) -> Progress:
    """A progress callback that shows "morvanta: embedding 1200/5000 texts" on a
    terminal (at most every ``interval`` seconds, and at the end); quiet when the
    stream (default: stderr) is not a terminal."""
    out = stream if stream is not None else sys.stderr
    try:
        enabled = bool(out.isatty())
    except (AttributeError, ValueError):
        enabled = False
    last = [0.0]

    def show(done: int, total: int) -> None:
        now = time.monotonic()
        if not enabled or (done < total and now - last[0] < interval):
            return
        last[0] = now
        out.write(f"\rmorvanta: {label} {done}/{total} texts" + ("\n" if done >= total else ""))
        out.flush()

    return show

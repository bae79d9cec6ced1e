"""The second runtime: a model folder in sentence-transformers layout with no ONNX
export, run by the sentence-transformers library (and torch) when it is installed."""

from __future__ import annotations

import threading
import warnings
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .._optional import require
from .base import ModelError, TextEmbedder

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

__all__ = ["SentenceTransformersEmbedder"]

# torch's thread count belongs to the process: calls that lower it for a while take
# turns, so that each puts back what it found.
_TORCH_THREADS = threading.Lock()


class SentenceTransformersEmbedder(TextEmbedder):
    runtime = "sentence-transformers"

    def __init__(self, folder: Path) -> None:
        st = require("sentence_transformers", f"'{folder}' holds no model.onnx, so embedding with it")
        self._torch = require("torch", f"'{folder}' holds no model.onnx, so embedding with it")
        try:
            # A local folder only: never a download from a model hub.
            try:
                model = st.SentenceTransformer(str(folder), device="cpu", local_files_only=True)
            except TypeError:  # releases without local_files_only
                model = st.SentenceTransformer(str(folder), device="cpu")
        except Exception as e:
            first = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
            raise ModelError(f"sentence-transformers cannot load the model in '{folder}': {first}") from None
        model.eval()
        self._model = model
        # get_embedding_dimension in newer releases, get_sentence_embedding_dimension before.
        dimension = getattr(model, "get_embedding_dimension", None) or model.get_sentence_embedding_dimension
        dimension = dimension()
        limit = getattr(model, "max_seq_length", None)
        super().__init__(folder, int(dimension) if dimension else len(self._embed_group(["a"])[0]),
                         int(limit) if isinstance(limit, int) else None)

    def _prepare(self, texts: list[str]) -> tuple[list[Any], list[int]]:
        # The library's own tokenisation (truncation, lower-casing), so that the texts of
        # one group really have one length and encode() pads none of them.
        lengths: list[int] = []
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # tokenize() is preprocess() in newer releases
            tokenize = getattr(self._model, "preprocess", None) or self._model.tokenize
            for start in range(0, len(texts), 1024):
                mask = tokenize(texts[start:start + 1024])["attention_mask"]
                lengths.extend(int(n) for n in mask.sum(dim=1).tolist())
        return list(texts), lengths

    def _embed_group(self, units: list[Any]) -> NDArray[numpy.float32]:
        import numpy as np

        with self._torch.inference_mode():
            vectors = self._model.encode(units, batch_size=len(units), convert_to_numpy=True,
                                         show_progress_bar=False, normalize_embeddings=False)
        return np.asarray(vectors, np.float32).reshape(len(units), -1)

    @contextmanager
    def _threads_scope(self) -> Iterator[None]:
        # Measured: torch gives other bits for one text with 2 intra-op threads than with
        # 1, so every run is single-threaded and groups go to worker threads instead.
        with _TORCH_THREADS:
            before = self._torch.get_num_threads()
            self._torch.set_num_threads(1)
            try:
                yield
            finally:
                self._torch.set_num_threads(before)

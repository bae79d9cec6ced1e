"""Sentence embeddings of query and answer text, computed locally and bit-reproducibly.

A question-answering log often holds the text but no embeddings; this package
embeds it with a local sentence-embedding model::

    from morvanta.embed import load_model
    model = load_model("models/all-MiniLM-L6-v2")
    vectors = model.embed(queries)          # float32, (len(queries), model.dimension)
    model.identity                          # name, SHA-256 of the folder's files, ...

Two runtimes, chosen by what the folder holds:

* an ONNX export (``model.onnx``, or ``onnx/model.onnx``, beside ``tokenizer.json``)
  runs with onnxruntime and the Hugging Face ``tokenizers`` library, the
  ``morvanta[embed]`` extra. Pooling (CLS, mean, max, mean/sqrt(length), or their
  concatenation) and normalisation follow the sentence-transformers files when
  present (``modules.json``, ``1_Pooling/config.json``, a ``Normalize`` module);
  without them, mean pooling and no normalisation. Texts are cut to the model's
  token limit (``max_seq_length`` of ``sentence_bert_config.json``, else the
  tokenizer's, capped by the position table), as sentence-transformers does.
* a folder in sentence-transformers layout without an ONNX file runs with the
  sentence-transformers library (and torch), when installed.

Nothing of this is imported by ``import morvanta``, and no model is ever fetched
from a hub: the folder must hold the whole model.

Bit-reproducible vectors
------------------------
Drift scores are exact only if the same text always gives the same vector, so a
text's vector has the same bits whatever batch it is in, its position there and
the number of threads (on one machine and library version; other processors may
take other SIMD paths). Padding a batch to its longest text and letting one run
use several threads are what usually break this, so neither is done:

* texts are tokenised alone and only texts with the same token count run together
  (at most ``batch_size``), so a batch never holds padding and a text's rows see
  the same shapes on every call; pooling is done per text, in float64;
* each run of the model is single-threaded (onnxruntime: ``intra_op_num_threads=1``;
  torch: one thread while embedding); ``threads`` worker threads take the groups.

Measured on this project's 2-core development machine (onnxruntime 1.32, torch
2.13 CPU, all-MiniLM-L6-v2, 200-600 texts of 3-40 words, 12-256 tokens): a row's
output bits did not change between batches of 1, 3 and 64 texts nor between 1 and
2 intra-op threads in onnxruntime (for this graph not even with padding, which other
exports, with fused attention or quantised weights, need not share); torch gave other bits for a lone text with 2
threads than with 1, and padded batches of sentence-transformers changed the bits
of 177 of 300 texts. The tests pin bit-identity across batch sizes, positions and
thread counts for both runtimes. Should a runtime ever break row-invariance,
``batch_size=1`` gives vectors that depend on nothing but the text.

Throughput, onnxruntime 1.32, all-MiniLM-L6-v2, 1000 texts of 4-30 words (about
23 tokens), measured on the 2-core development machine while other work kept it
busy (load average about 10): 160 sentences per CPU-second with groups of up to
64 equal-length texts and 106 with batches of one, that is about 300 sentences
per second on two idle cores; the wall-clock rate under that load was 60-75
sentences per second with two worker threads (35 with batches of one, 37 with
sorted padded batches run on two intra-op threads). The reproducible layout is
thus also the fastest one measured.
"""

from __future__ import annotations

from pathlib import Path

from .base import ModelError, Progress, TextEmbedder, folder_digest, progress_bar

__all__ = ["load_model", "TextEmbedder", "ModelError", "Progress", "progress_bar", "folder_digest"]

# Files by which a folder is recognised as a sentence-transformers or Hugging Face model.
_MODEL_MARKERS = ("modules.json", "config_sentence_transformers.json", "config.json")


def load_model(path: str | Path) -> TextEmbedder:
    """The sentence-embedding model in the folder ``path``: its ONNX export when the
    folder holds ``model.onnx`` (or ``onnx/model.onnx``), else the sentence-transformers
    model it holds. Raises :class:`ModelError` naming the path and what is missing, and
    ``morvanta._optional.MissingDependency`` naming what to install."""
    if isinstance(path, bytes) or not isinstance(path, (str, Path)):
        raise TypeError(f"argument 'path': expected a folder path (str or Path), got {type(path).__name__}")
    folder = Path(path).expanduser()
    if not folder.exists():
        raise ModelError(f"model folder '{path}' does not exist")
    if not folder.is_dir():
        raise ModelError(f"'{path}' is not a folder: a model is a folder holding model.onnx and tokenizer.json "
                         "(or a sentence-transformers model)")
    folder = folder.absolute()
    from .onnx import OnnxEmbedder, find_onnx

    model_file = find_onnx(folder)
    if model_file is not None:
        return OnnxEmbedder(folder, model_file)
    if not any((folder / m).is_file() for m in _MODEL_MARKERS):
        if (folder / "tokenizer.json").is_file():
            raise ModelError(f"'{path}' holds tokenizer.json but no model.onnx")
        raise ModelError(f"'{path}' holds no model: expected model.onnx with tokenizer.json, or a "
                         "sentence-transformers model (modules.json, config.json and its weights)")
    from .sentence_transformers import SentenceTransformersEmbedder

    return SentenceTransformersEmbedder(folder)

"""The light runtime: an ONNX export run with onnxruntime, tokenised with a Hugging
Face ``tokenizers`` tokenizer, pooled and normalised here as the model's
sentence-transformers configuration says."""

from __future__ import annotations

import json
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .._optional import require
from .base import ModelError, TextEmbedder

if TYPE_CHECKING:
    import numpy
    from numpy.typing import NDArray

__all__ = ["OnnxEmbedder", "find_onnx", "pooling_of"]

# The pooling modes a sentence-transformers Pooling module can combine, in the order
# it concatenates them.
POOLING_MODES = ("cls_token", "max_tokens", "mean_tokens", "mean_sqrt_len_tokens")
_MODE_NAMES = {"cls": "cls_token", "max": "max_tokens", "mean": "mean_tokens",
               "mean_sqrt_len_tokens": "mean_sqrt_len_tokens"}
TOKEN_OUTPUTS = ("last_hidden_state", "token_embeddings")
INPUTS = ("input_ids", "attention_mask", "token_type_ids")


def find_onnx(folder: Path) -> Path | None:
    """model.onnx in the folder, or in its onnx/ subfolder (where many published
    repositories keep it beside the tokenizer at the top)."""
    for candidate in (folder / "model.onnx", folder / "onnx" / "model.onnx"):
        if candidate.is_file():
            return candidate
    return None


def _json(path: Path) -> Any:
    try:
        return json.loads(path.read_text(encoding="utf-8"))
    except OSError as e:
        raise ModelError(f"cannot read '{path}': {e.strerror or e}") from None
    except ValueError as e:
        raise ModelError(f"'{path}' is not valid JSON: {e}") from None


def pooling_of(folder: Path) -> tuple[tuple[str, ...], bool]:
    """The pooling modes and whether vectors are normalised, from the folder's
    modules.json (a Pooling module's config.json, a Normalize module). A folder
    without modules.json is taken as mean pooling with no normalisation, unless it
    has 1_Pooling/config.json."""
    modules_file = folder / "modules.json"
    pooling_dir: Path | None = folder / "1_Pooling"
    normalize = False
    if modules_file.is_file():
        modules = _json(modules_file)
        if not isinstance(modules, list) or not all(isinstance(m, dict) and isinstance(m.get("type"), str)
                                                    for m in modules):
            raise ModelError(f"'{modules_file}' is not a list of modules with a 'type' each")
        pooling_dir = None
        for m in modules:
            kind = m["type"].rsplit(".", 1)[-1]
            if kind == "Transformer":
                continue
            if kind == "Pooling":
                pooling_dir = folder / str(m.get("path", ""))
            elif kind == "Normalize":
                normalize = True
            else:
                raise ModelError(f"'{modules_file}' has a {m['type']} module, which the ONNX runtime cannot apply "
                                 "(it applies Transformer, Pooling and Normalize)")
        if pooling_dir is None:
            raise ModelError(f"'{modules_file}' has no Pooling module: the model gives no sentence vectors")
    if pooling_dir is None or not (pooling_dir / "config.json").is_file():
        if modules_file.is_file():
            raise ModelError(f"'{pooling_dir}' holds no config.json for the Pooling module in '{modules_file}'")
        return ("mean_tokens",), normalize
    config_file = pooling_dir / "config.json"
    config = _json(config_file)
    if not isinstance(config, dict):
        raise ModelError(f"'{config_file}' is not a JSON object")
    if isinstance(config.get("pooling_mode"), str):
        named = config["pooling_mode"]
        if named not in _MODE_NAMES:
            raise ModelError(f"'{config_file}': pooling mode {named!r} is not supported "
                             f"(supported: {', '.join(_MODE_NAMES)})")
        return (_MODE_NAMES[named],), normalize
    unsupported = [k for k, v in config.items()
                   if k.startswith("pooling_mode_") and v is True and k[len("pooling_mode_"):] not in POOLING_MODES]
    if unsupported:
        raise ModelError(f"'{config_file}': {', '.join(unsupported)} is not supported "
                         f"(supported: {', '.join('pooling_mode_' + m for m in POOLING_MODES)})")
    modes = tuple(m for m in POOLING_MODES if config.get(f"pooling_mode_{m}") is True)
    if not modes:
        raise ModelError(f"'{config_file}' turns on no pooling mode")
    return modes, normalize


def _max_tokens(folder: Path, tokenizer: Any) -> int | None:
    """The token limit sentence-transformers applies: max_seq_length of
    sentence_bert_config.json, else the tokenizer's model_max_length, capped by the
    model's position table; else the limit in tokenizer.json itself."""
    limit: int | None = None
    for name, key in (("sentence_bert_config.json", "max_seq_length"), ("tokenizer_config.json", "model_max_length")):
        if (folder / name).is_file():
            value = _json(folder / name).get(key)
            # Tokenizers with no limit write a huge model_max_length.
            if isinstance(value, int) and 0 < value < 1_000_000:
                limit = value
                break
    if (folder / "config.json").is_file():
        positions = _json(folder / "config.json").get("max_position_embeddings")
        if isinstance(positions, int) and positions > 0:
            limit = min(limit, positions) if limit is not None else positions
    if limit is None and tokenizer.truncation is not None:
        limit = int(tokenizer.truncation["max_length"])
    return limit


class OnnxEmbedder(TextEmbedder):
    runtime = "onnxruntime"

    def __init__(self, folder: Path, model_file: Path) -> None:
        ort = require("onnxruntime", f"embedding with the ONNX model in '{folder}'")
        tokenizers = require("tokenizers", f"embedding with the ONNX model in '{folder}'")
        tokenizer_file = folder / "tokenizer.json"
        if not tokenizer_file.is_file():
            raise ModelError(f"'{folder}' holds no tokenizer.json beside {model_file.relative_to(folder)}: "
                             "the ONNX runtime needs the Hugging Face tokenizer file")
        self._modes, self._normalize = pooling_of(folder)
        try:
            tokenizer = tokenizers.Tokenizer.from_file(str(tokenizer_file))
        except Exception as e:
            raise ModelError(f"cannot load the tokenizer '{tokenizer_file}': {e}") from None
        # Each text is tokenised alone, never padded (texts of one length run together).
        tokenizer.no_padding()
        limit = _max_tokens(folder, tokenizer)
        if limit is not None:
            tokenizer.enable_truncation(limit)
        else:
            tokenizer.no_truncation()
        self._tokenizer = tokenizer
        sbert = folder / "sentence_bert_config.json"
        self._lower = bool(sbert.is_file() and _json(sbert).get("do_lower_case") is True)

        options = ort.SessionOptions()
        # One thread per run: parallelism comes from running groups on several threads.
        options.intra_op_num_threads = 1
        options.inter_op_num_threads = 1
        options.execution_mode = ort.ExecutionMode.ORT_SEQUENTIAL
        options.log_severity_level = 3
        try:
            self._session = ort.InferenceSession(str(model_file), options, providers=["CPUExecutionProvider"])
        except Exception as e:
            first = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
            raise ModelError(f"cannot load the ONNX model '{model_file}': {first}") from None
        inputs = {i.name: i for i in self._session.get_inputs()}
        unknown = [n for n in inputs if n not in INPUTS]
        if unknown or "input_ids" not in inputs:
            raise ModelError(f"'{model_file}' takes inputs {', '.join(inputs)}; a text encoder takes input_ids, "
                             "and optionally attention_mask and token_type_ids")
        self._inputs = {n: ("int32" if i.type == "tensor(int32)" else "int64") for n, i in inputs.items()}
        outputs = self._session.get_outputs()
        named = [o.name for o in outputs if o.name in TOKEN_OUTPUTS]
        ranked = [o.name for o in outputs if len(o.shape or ()) == 3]
        if not (named or ranked):
            raise ModelError(f"'{model_file}' gives no per-token output (such as last_hidden_state) to pool; "
                             f"its outputs: {', '.join(f'{o.name} {o.shape}' for o in outputs)}")
        self._output = (named or ranked)[0]
        self._model_file = model_file
        # One short text fixes the dimension and shows at once that the model runs.
        probe = self._run(self._encode(["a"])[0:1])
        super().__init__(folder, int(probe.shape[1]), limit)

    def _encode(self, texts: list[str]) -> list[Any]:
        return list(self._tokenizer.encode_batch([t.lower() for t in texts] if self._lower else texts,
                                                 add_special_tokens=True))

    def _prepare(self, texts: list[str]) -> tuple[list[Any], list[int]]:
        encodings = self._encode(texts)
        return encodings, [len(e.ids) for e in encodings]

    def _embed_group(self, units: list[Any]) -> NDArray[numpy.float32]:
        return self._run(units)

    def _run(self, encodings: list[Any]) -> NDArray[numpy.float32]:
        """Vectors of encodings that all have the same length (no padding)."""
        import numpy as np

        ids = np.array([e.ids for e in encodings], np.int64)
        feeds = {"input_ids": ids, "attention_mask": np.ones_like(ids),
                 "token_type_ids": np.array([e.type_ids for e in encodings], np.int64)}
        feeds = {n: feeds[n].astype(dtype, copy=False) for n, dtype in self._inputs.items()}
        try:
            (hidden,) = self._session.run([self._output], feeds)
        except Exception as e:
            first = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
            raise ModelError(f"'{self._model_file}' failed on {len(encodings)} text(s) of {ids.shape[1]} tokens: "
                             f"{first}") from None
        hidden = np.asarray(hidden)
        if hidden.ndim != 3 or hidden.shape[:2] != ids.shape:
            raise ModelError(f"'{self._model_file}' output {self._output} has shape {hidden.shape}, expected "
                             f"({ids.shape[0]}, {ids.shape[1]}, hidden size)")
        # Pooled one text at a time in float64, so that a vector depends only on its own rows.
        out = np.empty((len(encodings), hidden.shape[2] * len(self._modes)), np.float32)
        for r in range(len(encodings)):
            out[r] = _pool(hidden[r].astype(np.float64), self._modes, self._normalize)
        return out


def _pool(tokens: NDArray[numpy.float64], modes: tuple[str, ...], normalize: bool) -> NDArray[numpy.float64]:
    import numpy as np

    parts = []
    for mode in modes:
        if mode == "cls_token":
            parts.append(tokens[0])
        elif mode == "max_tokens":
            parts.append(tokens.max(axis=0))
        elif mode == "mean_tokens":
            parts.append(tokens.sum(axis=0) / len(tokens))
        else:  # mean_sqrt_len_tokens
            parts.append(tokens.sum(axis=0) / np.sqrt(len(tokens)))
    v = np.concatenate(parts) if len(parts) > 1 else parts[0]
    if normalize:
        # A plain NumPy sum (no BLAS call), the same on every run.
        v = v / max(float(np.sqrt(np.sum(v * v))), 1e-12)
    return v

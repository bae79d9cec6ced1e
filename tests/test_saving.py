"""Saved baselines: written all or nothing (kill -9, a full disk, two writers, symlinks,
modes), .npz archives read entry by entry without decompressing what is not needed,
and every value judged on load by the rules fit applies."""

import errno
import hashlib
import io
import json
import os
import signal
import stat
import struct
import subprocess
import sys
import textwrap
import threading
import time
import tracemalloc
import zlib
from pathlib import Path

import numpy as np
import pytest
from conftest import emb

from morvanta import (Baseline, ConfidenceDrift, DataDrift, EmbeddingDrift, MorvantaError, QueryDrift, ResponseDrift,
                      _engine)
from morvanta.engines import baseline_store
from morvanta.io.common import OutputError, write_atomic

DATA = Path(__file__).parent / "data" / "saving"
ORDER = ("feature_columns", "embeddings", "response_lengths", "response_embeddings", "confidences", "correct",
         "query_centroids", "query_frequencies", "rows_features", "rows_embeddings", "rows_response_lengths",
         "rows_response_embeddings", "rows_confidences", "rows_correct", "rows_queries")


def window(seed, n=40, shift=0.0):
    rng = np.random.default_rng(seed)
    conf = np.clip(rng.random(n) + shift, 0.0, 1.0)
    return dict(features=rng.normal(size=(n, 3)) + shift, embeddings=emb(n, 4, seed, shift),
                response_lengths=np.round(rng.gamma(2.0, 20.0, n)), response_embeddings=emb(n - 5, 4, seed + 1, shift),
                confidences=conf, correct=rng.random(n) < conf, queries=emb(n + 10, 4, seed + 2, shift))


def fitted(seed=0, n=40, **kw):
    return Baseline.fit(**window(seed, n), query=QueryDrift(k=3), **kw)


def bits(report):
    return [np.float64(s.score).tobytes() for s in report.scores]


CUR = window(99, 30, 0.2)


def folder_files(folder):
    return sorted(p.name for p in Path(folder).iterdir())


def child(code, *args, **popen):
    """A Python child process running `code` (dedented) with the test's import path (made
    absolute: the child may run in another folder)."""
    env = dict(os.environ)
    if env.get("PYTHONPATH"):
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=env, **popen)


# ---------------------------------------------------------------- atomic saving

SLOW_WRITER = """
    import os, sys, time
    sys.path.insert(0, ".")
    from test_saving import fitted
    b = fitted(seed=5)
    real = os.fdopen

    class Stalling:
        # Writes half of the first chunk of the new file, then waits for the kill.
        def __init__(self, f):
            self.f = f
        def write(self, data):
            self.f.write(data[: len(data) // 2])
            self.f.flush()
            print("writing", flush=True)
            time.sleep(60)
        def __getattr__(self, name):
            return getattr(self.f, name)
        def __enter__(self):
            return self
        def __exit__(self, *exc):
            self.f.close()

    os.fdopen = lambda fd, mode: Stalling(real(fd, mode))
    b.save(sys.argv[1])
"""


@pytest.mark.parametrize("suffix", ["json", "npz"])
def test_kill_during_an_overwrite_keeps_the_previous_file(tmp_path, suffix):
    path = tmp_path / f"base.{suffix}"
    old = fitted(seed=1)
    old.save(path)
    before = path.read_bytes()
    proc = child(SLOW_WRITER, path, cwd=Path(__file__).parent)
    assert proc.stdout.readline() == "writing\n", proc.stderr.read()
    temps = [p for p in tmp_path.iterdir() if p.name.endswith(".tmp")]
    assert len(temps) == 1 and temps[0].stat().st_size > 0  # part of the new file is on disk
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    assert path.read_bytes() == before
    assert bits(Baseline.load(path).check(**CUR)) == bits(old.check(**CUR))


SAVER = """
    import sys
    sys.path.insert(0, ".")
    from test_saving import fitted
    fitted(seed=7).save(sys.argv[1])
"""


def test_the_next_write_removes_what_a_killed_writer_left_and_nothing_else(tmp_path):
    from morvanta.io.common import _host_tag

    path = tmp_path / "base.json"
    killed = child(SLOW_WRITER, path, cwd=Path(__file__).parent)
    assert killed.stdout.readline() == "writing\n", killed.stderr.read()
    killed.send_signal(signal.SIGKILL)
    killed.wait()
    [stale] = [p.name for p in tmp_path.iterdir() if p.name.endswith(".tmp")]
    tag = _host_tag()
    assert stale.startswith(f".morvanta-{tag}-{killed.pid}-")
    keep = [f".morvanta-{tag}-{os.getpid()}-abc123.tmp",  # a live writer (this process)
            f".morvanta-0badc0de-{killed.pid}-abc123.tmp",  # another host or container sharing the folder
            ".morvanta-abc123.tmp", f".morvanta-{tag}-{killed.pid}-abc123.tmp.part",  # not our names
            "report.tmp"]
    for name in keep:
        (tmp_path / name).write_text("someone's")
    # The next process that writes to the folder (a cron job's next run, say).
    saver = child(SAVER, path, cwd=Path(__file__).parent)
    assert saver.wait(timeout=120) == 0, saver.stderr.read()
    assert folder_files(tmp_path) == sorted(["base.json", *keep])
    assert bits(Baseline.load(path).check(**CUR)) == bits(fitted(seed=7).check(**CUR))


RLIMITED = """
    import resource, signal, sys
    sys.path.insert(0, ".")
    from test_saving import fitted
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
    try:
        fitted(seed=2, n=300).save(sys.argv[1])
    except OSError as e:
        print(type(e).__name__, e)
"""


@pytest.mark.parametrize("suffix", ["json", "npz"])
def test_full_disk_leaves_the_old_file_and_no_temp_file(tmp_path, suffix):
    path = tmp_path / f"base.{suffix}"
    old = Baseline.fit(confidences=[0.5, 0.25])
    old.save(path)
    before = path.read_bytes()
    assert len(before) < 4096
    proc = child(RLIMITED, path, cwd=Path(__file__).parent)
    out, err = proc.communicate(timeout=120)
    assert out == f"OutputError cannot write '{path}': File too large\n", err
    assert path.read_bytes() == before and folder_files(tmp_path) == [path.name]


def test_write_failures_remove_the_temp_file(tmp_path):
    path = tmp_path / "out.bin"
    path.write_bytes(b"old")

    def no_space(f):
        f.write(b"x" * 1000)
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    def interrupted(f):
        f.write(b"x" * 1000)
        raise KeyboardInterrupt

    with pytest.raises(OutputError, match=f"^cannot write '{path}': No space left on device$"):
        write_atomic(path, no_space)
    with pytest.raises(KeyboardInterrupt):
        write_atomic(path, interrupted)
    assert path.read_bytes() == b"old" and folder_files(tmp_path) == ["out.bin"]
    # A missing folder, a folder in the way: named, nothing left behind.
    with pytest.raises(OutputError, match=f"^cannot write '{tmp_path}/no/b.npz': No such file or directory$"):
        fitted().save(tmp_path / "no" / "b.npz")
    (tmp_path / "dir.json").mkdir()
    with pytest.raises(OutputError, match=f"^cannot write '{tmp_path}/dir.json': Is a directory$"):
        fitted().save(tmp_path / "dir.json")
    assert folder_files(tmp_path) == ["dir.json", "out.bin"]


WRITER = """
    import sys
    sys.path.insert(0, ".")
    from test_saving import fitted
    b = fitted(seed=int(sys.argv[2]), n=200)
    for _ in range(40):
        b.save(sys.argv[1])
"""


@pytest.mark.parametrize("suffix", ["json", "npz"])
def test_concurrent_writers_leave_one_whole_file(tmp_path, suffix):
    path = tmp_path / f"base.{suffix}"
    want = {s: bits(fitted(seed=s, n=200).check(**CUR)) for s in (3, 4)}
    fitted(seed=3, n=200).save(path)
    procs = [child(WRITER, path, s, cwd=Path(__file__).parent) for s in (3, 4)]
    # Threads of this process write a third version meanwhile.
    mine = fitted(seed=6, n=200)
    want[6] = bits(mine.check(**CUR))
    threads = [threading.Thread(target=lambda: [mine.save(path) for _ in range(10)]) for _ in range(2)]
    for t in threads:
        t.start()
    while any(p.poll() is None for p in procs) or any(t.is_alive() for t in threads):
        assert bits(Baseline.load(path).check(**CUR)) in want.values()  # every read finds a whole baseline
    for t in threads:
        t.join()
    for p in procs:
        assert p.wait() == 0, p.stderr.read()
    assert bits(Baseline.load(path).check(**CUR)) in want.values()
    assert folder_files(tmp_path) == [path.name]


def test_symlinks_are_replaced_not_followed(tmp_path):
    target = tmp_path / "precious.json"
    target.write_text("keep me")
    link = tmp_path / "base.json"
    link.symlink_to(target)
    dangling = tmp_path / "base.npz"
    dangling.symlink_to(tmp_path / "nowhere.npz")
    b = fitted()
    b.save(link)
    b.save(dangling)
    assert target.read_text() == "keep me" and not (tmp_path / "nowhere.npz").exists()
    for p in (link, dangling):
        assert not p.is_symlink() and bits(Baseline.load(p).check(**CUR)) == bits(b.check(**CUR))


def test_modes_follow_the_replaced_file_or_the_umask(tmp_path):
    b = fitted()
    kept = tmp_path / "kept.npz"
    kept.write_bytes(b"")
    kept.chmod(0o604)
    b.save(kept)
    assert stat.S_IMODE(kept.stat().st_mode) == 0o604
    old = os.umask(0o027)
    try:
        b.save(tmp_path / "new.json")
        os.umask(0o077)
        b.save(tmp_path / "private.npz")
        # A link to a file of another mode: the new file takes the umask's.
        (tmp_path / "wide").write_text("")
        (tmp_path / "wide").chmod(0o666)
        (tmp_path / "linked.json").symlink_to(tmp_path / "wide")
        b.save(tmp_path / "linked.json")
    finally:
        os.umask(old)
    assert stat.S_IMODE((tmp_path / "new.json").stat().st_mode) == 0o640
    assert stat.S_IMODE((tmp_path / "private.npz").stat().st_mode) == 0o600
    assert stat.S_IMODE((tmp_path / "linked.json").stat().st_mode) == 0o600
    assert stat.S_IMODE((tmp_path / "wide").stat().st_mode) == 0o666


# ---------------------------------------------------------------- reading .npz archives


def zip_bytes(entries):
    """A zip archive written by hand, so its directory can say anything: entries are
    (name, method, crc, stored bytes, declared uncompressed size); method 0 stored, 8 deflated."""
    out, central = bytearray(), bytearray()
    for name, method, crc, data, size in entries:
        off, n = len(out), name.encode()
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, 0, 0x21, crc, len(data), size, len(n), 0) + n
        out += data
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, method, 0, 0x21, crc, len(data), size,
                               len(n), 0, 0, 0, 0, 0, off) + n
    start = len(out)
    out += central + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central), start, 0)
    return bytes(out)


def stored(name, data):
    return (name, 0, zlib.crc32(data), data, len(data))


def npy(a=None, *, dtype=None, shape=None):
    """The .npy bytes of `a`, or only a header for `dtype` and `shape`."""
    buf = io.BytesIO()
    if a is not None:
        a = np.asarray(a)
        np.lib.format.write_array(buf, a, allow_pickle=a.dtype.hasobject)
    else:
        np.lib.format.write_array_header_1_0(buf, {"descr": np.lib.format.dtype_to_descr(np.dtype(dtype)),
                                                   "fortran_order": False, "shape": shape})
    return buf.getvalue()


def zeros_entry(name, head, n_zeros):
    """A deflated entry of `head` then `n_zeros` zero bytes, built in a second: identical
    deflate blocks after full flushes, repeated."""
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    chunk = bytes(1 << 20)
    assert n_zeros % len(chunk) == 0
    first = c.compress(head) + c.flush(zlib.Z_FULL_FLUSH)
    block = c.compress(chunk) + c.flush(zlib.Z_FULL_FLUSH)
    crc = zlib.crc32(head)
    for _ in range(n_zeros // len(chunk)):
        crc = zlib.crc32(chunk, crc)
    data = first + block * (n_zeros // len(chunk)) + c.flush()
    return (name, 8, crc, data, len(head) + n_zeros)


def entries_of(path):
    import zipfile

    with zipfile.ZipFile(path) as z:
        return [stored(i.filename, z.read(i)) for i in z.infolist()]


def low_memory_load(path):
    """Loads `path`; returns (baseline, peak bytes allocated meanwhile, seconds)."""
    tracemalloc.start()
    t = time.perf_counter()
    try:
        b = Baseline.load(path)
        return b, tracemalloc.get_traced_memory()[1], time.perf_counter() - t
    finally:
        tracemalloc.stop()


def test_unknown_entries_are_never_decompressed(tmp_path):
    b = Baseline.fit(features=np.random.default_rng(0).normal(size=(50, 3)))
    good = tmp_path / "good.npz"
    b.save(good)
    # 2 GiB of zeros in about 2 MB: an unknown entry, and one named like an array
    # of a part this baseline lacks.
    big = 1 << 31
    bomb = zeros_entry("bomb.npy", npy(dtype=np.uint8, shape=(big,)), big)
    odd = (("array_embeddings.npy",) + bomb[1:])
    path = tmp_path / "bombed.npz"
    path.write_bytes(zip_bytes(entries_of(good) + [bomb, odd]))
    assert path.stat().st_size < 6 << 20
    loaded, peak, seconds = low_memory_load(path)
    assert peak < 8 << 20 and seconds < 5
    cur = np.random.default_rng(1).normal(size=(30, 3))
    assert bits(loaded.check(features=cur)) == bits(b.check(features=cur))


def test_known_entries_are_read_only_when_sizes_agree(tmp_path):
    b = fitted()
    good = tmp_path / "good.npz"
    b.save(good)
    entries = {e[0]: e for e in entries_of(good)}
    conf = np.sort(window(0)["confidences"])

    def refused(name, replacement, message):
        path = tmp_path / f"{name}.npz"
        path.write_bytes(zip_bytes([replacement if e[0] == name else e for e in entries.values()]))
        tracemalloc.start()
        try:
            with pytest.raises(ValueError) as info:
                Baseline.load(path)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert str(info.value) == f"{path}: {message}"
        assert peak < 8 << 20

    head = npy(dtype=np.float64, shape=(40,))
    big = 1 << 31
    # A header that agrees with the settings, over 2 GiB of data.
    refused("array_confidences.npy", zeros_entry("array_confidences.npy", head, big),
            f"damaged baseline: entry 'array_confidences' holds {len(head) + big} bytes, but its header describes "
            f"{len(head) + 320} (shape (40,), float64)")
    # A header whose size agrees with the data but not with the settings.
    refused("array_confidences.npy", stored("array_confidences.npy", npy(np.r_[conf, 0.5])),
            "invalid baseline: array 'confidences': has shape (41,), expected (40,) from the row counts and settings")
    refused("array_confidences.npy", stored("array_confidences.npy", npy(conf.astype(np.float32))),
            "invalid baseline: array 'confidences': has element type float32, expected float64")
    refused("array_correct.npy", stored("array_correct.npy", npy(np.array([None] * 40, dtype=object))),
            "damaged baseline: entry 'array_correct' holds Python objects")
    data = bytearray(npy(conf))
    data[6] = 3  # .npy format version 3
    refused("array_confidences.npy", stored("array_confidences.npy", bytes(data)),
            "damaged baseline: entry 'array_confidences' has .npy format version 3, not 1 or 2")
    # The settings entry: not text; too big to be settings.
    refused("morvanta_baseline.npy", stored("morvanta_baseline.npy", npy(np.zeros(3))),
            "damaged baseline: entry 'morvanta_baseline' is not text")
    text = npy(dtype="<U100000000", shape=())
    refused("morvanta_baseline.npy", zeros_entry("morvanta_baseline.npy", text, 400 << 20),
            f"damaged baseline: entry 'morvanta_baseline' holds {len(text) + (400 << 20)} bytes, more than a "
            "baseline's settings ever need (67108864)")
    # Data that does not match the entry's CRC.
    name, method, crc, data, size = entries["array_confidences.npy"]
    refused(name, (name, method, crc ^ 1, data, size),
            "not a readable .npz archive (Bad CRC-32 for file 'array_confidences.npy')")
    path = tmp_path / "no-array.npz"
    path.write_bytes(zip_bytes([e for n, e in entries.items() if n != "array_correct.npy"]))
    with pytest.raises(ValueError, match="damaged baseline: no entry 'array_correct'$"):
        Baseline.load(path)


def test_fortran_ordered_and_deflated_archives_load(tmp_path):
    # Another writer may store columns in Fortran order or compress the archive.
    b = fitted()
    with np.load(save(b, tmp_path / "b.npz")) as z:
        content = {k: z[k] for k in z.files}
    content["array_embeddings"] = np.asfortranarray(content["array_embeddings"])
    np.savez_compressed(tmp_path / "c.npz", **content)
    assert bits(Baseline.load(tmp_path / "c.npz").check(**CUR)) == bits(b.check(**CUR))


# ---------------------------------------------------------------- values judged on load


def save(b, path):
    b.save(path)
    return path


def digest(meta_text, arrays):
    """The checksum a baseline file carries: SHA-256 of its settings text, then of each
    state array's name, type, shape and bytes."""
    h = hashlib.sha256(meta_text.encode())
    for name in ORDER:
        if name in arrays:
            a = np.ascontiguousarray(arrays[name])
            h.update(f"{name}:{a.dtype.str}:{a.shape}".encode())
            h.update(a.tobytes())
    return h.hexdigest()


def contents(b, tmp_path):
    """(settings record without its digest, state arrays) of `b`'s saved .npz."""
    with np.load(save(b, tmp_path / "orig.npz")) as z:
        meta = _engine.json_load(str(z["morvanta_baseline"]))
        arrays = {k[len("array_"):]: z[k] for k in z.files if k.startswith("array_")}
    assert meta.pop("digest") == digest(_engine.json_dump(meta), arrays)
    return meta, arrays


def rewrite(b, tmp_path, suffix, edit):
    """`b` saved with `edit(meta, arrays)` applied and the checksum recomputed."""
    meta, arrays = contents(b, tmp_path)
    edit(meta, arrays)
    meta["digest"] = digest(_engine.json_dump(meta), arrays)
    path = tmp_path / f"edited.{suffix}"
    if suffix == "npz":
        np.savez(path, morvanta_baseline=np.array(_engine.json_dump(meta)), **{f"array_{k}": v for k, v in arrays.items()})
    else:
        path.write_text(baseline_store.json_text(meta, arrays, {}, meta["captured_at"]))
    return path


def load_error(path):
    with pytest.raises(ValueError) as info:
        Baseline.load(path)
    text = str(info.value)
    prefix = f"{path}: invalid baseline: "
    assert text.startswith(prefix), text
    return text[len(prefix):]


def setting(dim, index, value):
    def edit(meta, arrays):
        meta["detectors"][dim][index] = value
    return edit


def array(name, fn):
    def edit(meta, arrays):
        arrays[name] = fn(arrays[name].copy())
    return edit


def at(index, value):
    def fn(a):
        a[index] = value
        return a
    return fn


def sizes(**new):
    def edit(meta, arrays):
        meta["sizes"].update(new)
        meta["sample"]["kept"].update(new)  # the record of kept rows agrees: all rows are kept
    return edit


def one_embedding(meta, arrays):
    meta["sizes"]["embeddings"] = 1
    arrays["embeddings"] = arrays["embeddings"][:1]


W = window(0)
CONF_HIGH = np.r_[W["confidences"][:-1], 1.5]
CONF_NAN = np.r_[W["confidences"][:-1], np.nan]
EMB_NAN = W["embeddings"].copy()
EMB_NAN[0, 2] = np.nan

# (file edit, message on load, the same value given to fit, fit's error, its message)
VALUE_CASES = {
    "nan threshold": (setting("data", 1, "NaN"),
                      "detector 'data': threshold is NaN; it must be a finite number "
                      "(with it no score would ever raise an alert)",
                      dict(data=DataDrift(float("nan"))), ValueError,
                      "argument 'data': threshold is NaN; it must be a finite number "
                      "(with it no score would ever raise an alert)"),
    "-inf threshold": (setting("confidence", 1, "-Infinity"),
                       "detector 'confidence': threshold is -Infinity; it must be a finite number "
                       "(with it every score would raise an alert)",
                       dict(confidence=ConfidenceDrift(float("-inf"))), ValueError,
                       "argument 'confidence': threshold is -Infinity; it must be a finite number "
                       "(with it every score would raise an alert)"),
    "2**62 projections": (setting("embedding", 2, 2**62),
                          "detector 'embedding': n_projections is 4611686018427387904; "
                          "it must be a whole number from 1 to 65536",
                          dict(embedding=EmbeddingDrift(n_projections=2**62)), ValueError,
                          "argument 'embedding': n_projections is 4611686018427387904; "
                          "it must be a whole number from 1 to 65536"),
    "no calibration bins": (setting("confidence", 2, 0),
                            "detector 'confidence': n_calib_bins is 0; it must be a whole number from 1 to 1048576",
                            dict(confidence=ConfidenceDrift(n_calib_bins=0)), ValueError,
                            "argument 'confidence': n_calib_bins is 0; it must be a whole number from 1 to 1048576"),
    "2**30 bins": (setting("data", 2, 2**30),
                   "detector 'data': n_bins is 1073741824; it must be a whole number from 0 to 1048576",
                   dict(data=DataDrift(n_bins=2**30)), ValueError,
                   "argument 'data': n_bins is 1073741824; it must be a whole number from 0 to 1048576"),
    "k of 0": (setting("query", 2, 0), "detector 'query': k is 0; it must be a whole number from 1 to 1048576",
               dict(query=QueryDrift(k=0)), ValueError,
               "argument 'query': k is 0; it must be a whole number from 1 to 1048576"),
    "confidence above 1": (array("confidences", at(-1, 1.5)), "array 'confidences': 1.5 at index 39 is outside [0, 1]",
                           dict(confidences=CONF_HIGH), ValueError,
                           "argument 'confidences': 1.5 at index 39 is outside [0, 1]"),
    "NaN confidence with flags": (array("confidences", at(-1, np.nan)),
                                  "array 'confidences': index 39 is NaN; with correctness flags every confidence must "
                                  "be a number in [0, 1] (a NaN makes every calibration score NaN)",
                                  dict(confidences=CONF_NAN), ValueError,
                                  "argument 'confidences': index 39 is NaN; with correctness flags every confidence "
                                  "must be a number in [0, 1] (a NaN makes every calibration score NaN)"),
    "NaN embedding": (array("embeddings", at((0, 2), np.nan)),
                      "array 'embeddings': row 0, column 2 is NaN; embeddings must be finite numbers",
                      dict(embeddings=EMB_NAN), ValueError,
                      "argument 'embeddings': row 0, column 2 is NaN; embeddings must be finite numbers"),
    "one-row embeddings": (one_embedding, "sizes['embeddings']: 1 row; the embedding detector needs at least 2",
                           dict(embeddings=W["embeddings"][:1]), ValueError,
                           "argument 'embeddings': 1 row; the embedding detector needs at least 2"),
    "flags that are not booleans": (array("correct", lambda a: np.r_[np.uint8(2), a[1:].view(np.uint8)].view(bool)),
                                    "array 'correct': index 0 holds byte 2, not true or false",
                                    dict(correct=list(W["correct"][:-1]) + [1]), TypeError,
                                    "argument 'correct': "),
    "infinite centroid": (array("query_centroids", at((1, 0), np.inf)),
                          "array 'query_centroids': row 1, column 0 is Infinity; cluster centroids must be finite "
                          "numbers",
                          dict(queries=np.r_[W["queries"][:-1], np.full((1, 4), np.inf, np.float32)]), MorvantaError,
                          "numerical instability in kmeans (NaN or infinity)"),
    "fewer query rows than clusters": (sizes(queries=2), "sizes['queries']: 2 rows; fewer than k = 3 clusters",
                                       dict(queries=W["queries"][:2]), MorvantaError,
                                       "invalid configuration: kmeans: k=3 exceeds sample count n=2"),
    "flags for other confidences": (sizes(correct=39),
                                    "sizes['correct']: 39 correctness flags for 40 confidences; one flag per confidence",
                                    dict(correct=W["correct"][:-1]), MorvantaError,
                                    "dimension mismatch: expected 40, got 39 (ConfidenceDriftDetector::baseline "
                                    "correctness)"),
}


@pytest.mark.parametrize("suffix", ["npz", "json"])
@pytest.mark.parametrize("case", VALUE_CASES)
def test_values_fit_refuses_are_refused_on_load(tmp_path, suffix, case):
    edit, on_load, fit_args, fit_error, on_fit = VALUE_CASES[case]
    b = Baseline.fit(**W, query=QueryDrift(k=3))
    if not (suffix == "json" and case == "flags that are not booleans"):  # JSON flags are true/false text
        assert load_error(rewrite(b, tmp_path, suffix, edit)) == on_load
    with pytest.raises(fit_error) as info:
        Baseline.fit(**{**W, "query": QueryDrift(k=3), **fit_args})
    assert str(info.value).startswith(on_fit) if on_fit.endswith(": ") else str(info.value) == on_fit


@pytest.mark.parametrize("suffix", ["npz", "json"])
def test_what_only_a_file_can_get_wrong(tmp_path, suffix):
    # Row counts, derived shares and the record's own structure: fit computes them.
    b = Baseline.fit(**W, query=QueryDrift(k=3), feature_names=["a", "b", "c"])

    def refused(edit, message):
        assert load_error(rewrite(b, tmp_path, suffix, edit)) == message

    refused(sizes(queries=-1), "sizes['queries']: -1 is not a row count (a whole number from 0 to 2**53)")
    refused(sizes(queries=2**60), "sizes['queries']: 1152921504606846976 is not a row count (a whole number from 0 "
                                  "to 2**53)")
    refused(sizes(confidences=41, correct=41),
            "array 'confidences': has shape (40,), expected (41,) from the row counts and settings")
    refused(sizes(embeddings=41), "array 'embeddings': has shape (40, 4), expected (41, any) from the row counts and "
                                  "settings")
    if suffix == "npz":  # JSON holds matrices only
        refused(array("embeddings", lambda e: e.reshape(40, 2, 2)),
                "array 'embeddings': has shape (40, 2, 2), expected (40, any) from the row counts and settings")
    share = float(contents(b, tmp_path)[1]["query_frequencies"][0])
    def forty_nine_queries(meta, arrays):
        sizes(queries=49)(meta, arrays)
        arrays["rows_queries"] = arrays["rows_queries"][:49]

    refused(forty_nine_queries, f"array 'query_frequencies': share {share!r} at index 0 is not a whole number of the 49 "
                               "query rows in sizes")
    refused(array("query_frequencies", lambda f: np.array([0.25, 0.25, 0.0])),
            "array 'query_frequencies': the cluster shares sum to 0.5, not 1")
    refused(array("query_frequencies", lambda f: np.array([1.0, -0.25, 0.25])),
            "array 'query_frequencies': share -0.25 at index 1 is outside [0, 1]")
    refused(setting("embedding", 3, -1), "detector 'embedding': seed -1 is not a whole number from 0 to 2**64 - 1")
    refused(setting("data", 2, 10.0), "detector 'data': n_bins is 10.0; it must be a whole number from 0 to 1048576")
    refused(setting("data", 1, True), "detector 'data': threshold True is not a number")

    def edit_meta(key, value):
        def edit(meta, arrays):
            meta[key] = value
        return edit

    refused(edit_meta("feature_names", ["a", "b"]), "feature_names: 2 names for 3 feature columns")
    refused(edit_meta("n_features", 2), "feature_names: 3 names for 2 feature columns")

    def fewer_columns(meta, arrays):
        meta.update(n_features=2, feature_names=None)

    refused(fewer_columns,
            "array 'feature_columns': has shape (3, 40), expected (2, 40) from the row counts and settings"
            if suffix == "npz" else "array 'feature_columns': has 120 values for 2 x 40")
    refused(edit_meta("parts", ["features", "correct"]), "parts: part 'correct' needs 'confidences' (one flag per "
                                                         "confidence)")
    refused(edit_meta("detectors", {**contents(b, tmp_path)[0]["detectors"], "query": ["QueryDrift", 0.1, 3]}),
            "detector 'query': 2 settings, expected 3 (threshold, k, seed)")
    if suffix == "json":  # a flag written as a number, the checksum made to match
        meta, arrays = contents(b, tmp_path)
        path = save(b, tmp_path / "flags.json")
        doc = json.loads(path.read_text())
        doc["morvanta_baseline"]["arrays"]["correct"][3] = 1
        arrays["correct"] = np.array(doc["morvanta_baseline"]["arrays"]["correct"])
        doc["morvanta_baseline"]["digest"] = digest(_engine.json_dump(meta), arrays)
        path.write_text(json.dumps(doc))
        assert load_error(path) == "array 'correct': index 3 is 1, not true or false"


@pytest.mark.parametrize("suffix", ["json", "npz"])
def test_whatever_fit_accepts_loads_with_the_same_bits(tmp_path, suffix):
    # Edge values fit takes: missing and infinite feature cells, no columns, KS-only
    # bins, confidences on the ends of [0, 1] or missing (no flags), one cluster per
    # row, two embedding rows, extreme finite floats, the largest seeds and bounds.
    rng = np.random.default_rng(5)
    feats = rng.normal(size=(30, 3))
    feats[::4, 1] = np.nan
    feats[0, 0], feats[1, 2] = np.inf, -np.inf
    conf = rng.random(25)
    conf[:3] = [0.0, 1.0, np.nan]
    big = np.full((2, 3), np.finfo(np.float32).max, np.float32)
    cases = [
        dict(features=feats, data=DataDrift(-1.0, 0)),
        dict(features=np.zeros((4, 0)), data=DataDrift(0.0, 1 << 20)),
        dict(confidences=conf, response_lengths=[np.nan, -3.5, 2**70], response=ResponseDrift(1e308, 2**64 - 1)),
        dict(confidences=conf[3:], correct=rng.random(22) < 0.5, confidence=ConfidenceDrift(0.5, 1 << 20)),
        dict(embeddings=big, embedding=EmbeddingDrift(0.1, 1 << 16, 2**64 - 1)),
        dict(queries=emb(5, 3, 1), query=QueryDrift(0.1, 5, 2**63)),
        dict(response_lengths=[1.0], response_embeddings=emb(1, 2, 3)),
    ]
    for i, kw in enumerate(cases):
        b = Baseline.fit(**kw)
        back = Baseline.load(save(b, tmp_path / f"b{i}.{suffix}"))
        assert (back.sizes, back.parts) == (b.sizes, b.parts)
        assert [type(d) for d in back.detectors.values()] == [type(d) for d in b.detectors.values()]
        cur = {p: v for p, v in kw.items() if p in b.parts}  # the window against itself
        assert outcome(back, cur) == outcome(b, cur), i


def outcome(b, cur):
    try:
        return bits(b.check(**cur))
    except MorvantaError as e:  # extreme embeddings: the distance overflows, alike in both
        return str(e)


# ---------------------------------------------------------------- files written before


@pytest.mark.parametrize("suffix", ["json", "npz"])
def test_files_written_by_earlier_versions_still_load(tmp_path, suffix):
    dets = dict(data=DataDrift(0.15, 5), embedding=EmbeddingDrift(0.07, 16, 7), response=ResponseDrift(0.25, 3),
                confidence=ConfidenceDrift(0.3, 8), query=QueryDrift(0.12, 3, 11))
    with np.load(DATA / "windows.npz") as z:
        base = {k[5:]: z[k] for k in z.files if k.startswith("base_")}
        cur = {k[4:]: z[k] for k in z.files if k.startswith("cur_")}
    old = Baseline.load(DATA / f"v1.{suffix}")
    assert old.feature_names == ["age", "income", "tenure"] and old.sizes["queries"] == 50
    raw = [
        dets["data"].detect(base["features"], cur["features"]),
        dets["embedding"].detect(base["embeddings"], cur["embeddings"]),
        dets["response"].detect_with_embeddings(base["response_lengths"], cur["response_lengths"],
                                                base["response_embeddings"], cur["response_embeddings"]),
        dets["confidence"].detect_with_correctness(base["confidences"], base["correct"], cur["confidences"],
                                                   cur["correct"]),
        dets["query"].detect(base["queries"], cur["queries"]),
    ]
    assert bits(old.check(**cur)) == [np.float64(s.score).tobytes() for s in raw]
    # Saved again, the file is the same, byte for byte: the format has not moved.
    assert save(old, tmp_path / f"again.{suffix}").read_bytes() == (DATA / f"v1.{suffix}").read_bytes()
    plain = Baseline.load(DATA / f"plain.{suffix}")
    with np.load(DATA / "plain_window.npz") as z:
        w = {k: z[k] for k in z.files}
    assert bits(plain.check(**w)) == [np.float64(DataDrift(0.2, 0).detect(w["features"], w["features"]).score).tobytes(),
                                      np.float64(ResponseDrift().detect(w["response_lengths"],
                                                                         w["response_lengths"]).score).tobytes(),
                                      np.float64(ConfidenceDrift().detect(w["confidences"],
                                                                          w["confidences"]).score).tobytes()]
    assert save(plain, tmp_path / f"plain.{suffix}").read_bytes() == (DATA / f"plain.{suffix}").read_bytes()


# ---------------------------------------------------------------- categorical columns


def routed_baseline(n=80):
    rng = np.random.default_rng(7)
    route = [None if i % 10 == 0 else str(v) for i, v in enumerate(rng.choice(["a", "b", "c"], n))]
    return Baseline.fit(features=rng.normal(size=(n, 2)), categories={"route": route,
                        "rid": [f"id{i}" for i in range(n)]}, captured_at=5), route


@pytest.mark.parametrize("suffix", ["json", "npz"])
def test_category_tables_round_trip_as_version_3(tmp_path, suffix):
    b, route = routed_baseline()
    path = save(b, tmp_path / f"b.{suffix}")
    back = Baseline.load(path)
    assert back.categories == b.categories
    assert back.categories[1] == {"name": "rid", "left_out": "80 distinct values in 80 baseline rows (an id or "
                                                             "free text)"}
    meta, _ = contents(b, tmp_path)
    assert meta["version"] == 3 and "model" not in meta
    cur = {"route": ["a"] * 40 + [None] * 5, "rid": [f"x{i}" for i in range(45)]}
    x = np.random.default_rng(1).normal(size=(45, 2))
    want = b.test(features=x, categories=cur, seed=2)["data"]
    got = back.test(features=x, categories=cur, seed=2)["data"]
    assert (got.p_value, [p.p_value for p in got.parts]) == (want.p_value, [p.p_value for p in want.parts])
    assert save(back, tmp_path / f"again.{suffix}").read_bytes() == path.read_bytes()


@pytest.mark.parametrize("suffix", ["json", "npz"])
def test_damaged_category_tables_are_refused_naming_the_column(tmp_path, suffix):
    b, _ = routed_baseline()

    def entry(**changes):
        def edit(meta, arrays):
            meta["categories"][0].update(changes)
        return edit

    meta, _ = contents(b, tmp_path)
    t = meta["categories"][0]
    codes = t["codes"].split(",")
    cases = [
        (entry(values=["a", "a", "c"]), "categorical column 'route': value 'a' appears twice"),
        (entry(values=["b", "a", "c"]), "categorical column 'route': values are not in sorted order"),
        (entry(missing=t["missing"] + 1), "categorical column 'route': counts and missing add up to 81 rows, but "
                                          "the baseline has 80"),
        (entry(codes=",".join(["3"] + codes[1:])), "categorical column 'route': code 3 of kept row 0 is not -1"),
        (entry(codes=",".join(codes[1:])), "categorical column 'route': holds 79 codes of kept rows, expected 80"),
        (entry(codes="1,x"), "categorical column 'route': codes '1,x' are not whole numbers"),
        (entry(counts="1,2"), "categorical column 'route': counts are not one positive whole number per value"),
        (entry(codes=",".join(["-1"] * 80)), "categorical column 'route': the kept rows hold more missing cells"),
    ]
    for edit, msg in cases:
        assert load_error(rewrite(b, tmp_path, suffix, edit)).startswith(msg)

    def twice(meta, arrays):
        meta["categories"].append(dict(meta["categories"][1]))
    assert load_error(rewrite(b, tmp_path, suffix, twice)).startswith("categorical column 'rid': appears twice")

    def in_v2(meta, arrays):
        meta["version"] = 2
    with pytest.raises(ValueError, match="category tables in a version 2 file"):
        Baseline.load(rewrite(b, tmp_path, suffix, in_v2))

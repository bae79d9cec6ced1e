"""The type stubs: exported names, mypy --strict on a full-API example, stubtest."""

from __future__ import annotations

import importlib.util
import os
import site
import subprocess
import sys
from pathlib import Path

import pytest

import morvanta
from morvanta import _native

HERE = Path(__file__).parent
SITE = Path(morvanta.__file__).parent.parent.absolute()


def test_package_exports_every_native_name_first():
    assert morvanta.__all__[: len(_native.__all__)] == list(_native.__all__)
    assert morvanta.__all__[len(_native.__all__) :] == ["ColumnDrift", "data_drift_by_column"]
    for name in morvanta.__all__:
        assert hasattr(morvanta, name), name
    for name in _native.__all__:
        assert getattr(morvanta, name) is getattr(_native, name)
    assert morvanta.__version__ == _native.__version__ == "0.1.3"
    assert (Path(morvanta.__file__).parent / "py.typed").is_file()


def needs_mypy() -> None:
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")


def mypy_env() -> dict[str, str]:
    env = dict(os.environ)
    # An installed package is found through site-packages (mypy refuses it on
    # MYPYPATH); a development tree has to be pointed at.
    if str(SITE) not in {str(Path(p).absolute()) for p in site.getsitepackages()}:
        env.update(MYPYPATH=str(SITE), PYTHONPATH=str(SITE))
    return env


def mypy(tmp_path_factory: pytest.TempPathFactory, *args: str) -> subprocess.CompletedProcess[str]:
    env = mypy_env()
    cache = tmp_path_factory.getbasetemp() / "mypy-cache"
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", f"--cache-dir={cache}", *args],
        capture_output=True, text=True, env=env, cwd=HERE, timeout=600,
    )


def test_full_api_example_passes_mypy_strict_and_runs(tmp_path_factory):
    needs_mypy()
    p = mypy(tmp_path_factory, str(HERE / "typing_example.py"))
    assert p.returncode == 0, p.stdout + p.stderr
    run = subprocess.run([sys.executable, str(HERE / "typing_example.py")], capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=str(SITE)), timeout=120)
    assert run.returncode == 0, run.stderr


def test_package_sources_pass_mypy_strict(tmp_path_factory):
    needs_mypy()
    p = mypy(tmp_path_factory, "-p", "morvanta")
    assert p.returncode == 0, p.stdout + p.stderr


# Each line is a misuse the stubs must reject; mypy has to report every one of them.
MISUSES = '''\
import numpy as np
import morvanta
f32 = np.zeros((4, 2), np.float32)
f64 = np.zeros((4, 2))
morvanta.EmbeddingDrift().detect(f64, f64)
morvanta.QueryDrift().detect(f32, f64)
morvanta.DataDrift().detect(f32, f64)
morvanta.QueryDrift(k=2.0)
morvanta.DataDrift(threshold="0.1")
morvanta.ResponseDrift().detect("abc", [1.0])
morvanta.ConfidenceDrift().detect_with_correctness([0.5], [1], [0.5], [True])
morvanta.DriftReport([0.5], 1, 1)
morvanta.BaselineSnapshot.from_json(b"{}")
x: int = morvanta.DataDrift().detect(f64, f64).score
y: bytes = morvanta.DriftReport([], 0, 0).to_json()
morvanta.data_drift_by_column(f64, f64, 0.1)
morvanta.DataDrift().detect(baseline=f64, other=f64)
'''


def test_stubs_reject_misuse(tmp_path_factory, tmp_path):
    needs_mypy()
    source = tmp_path / "misuse.py"
    source.write_text(MISUSES)
    p = mypy(tmp_path_factory, str(source))
    flagged = {int(line.split(":")[1]) for line in p.stdout.splitlines() if ": error:" in line}
    first = MISUSES.splitlines().index("morvanta.EmbeddingDrift().detect(f64, f64)") + 1
    assert flagged == set(range(first, len(MISUSES.splitlines()) + 1)), p.stdout


def test_stubtest_finds_no_difference_with_the_built_module():
    needs_mypy()
    allowlist = HERE / "stubtest_allowlist.txt"
    extra = ["--allowlist", str(allowlist)] if allowlist.exists() else []
    p = subprocess.run([sys.executable, "-m", "mypy.stubtest", "morvanta._native", *extra],
                       capture_output=True, text=True, env=mypy_env(),
                       timeout=600)
    assert p.returncode == 0, p.stdout + p.stderr

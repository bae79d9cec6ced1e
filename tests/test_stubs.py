"""The type stubs: exported names, mypy --strict on a full-API example and on the
package sources, misuse the stubs must reject, stubtest."""

from __future__ import annotations

import importlib.util
import os
import site
import subprocess
import sys
from pathlib import Path

import pytest

import morvanta
from conftest import project_version
from morvanta import _native

HERE = Path(__file__).parent
SITE = Path(morvanta.__file__).parent.parent.absolute()
needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def test_package_exports_every_native_name_first():
    # The native names come first; the package's own capabilities follow.
    assert morvanta.__all__[: len(_native.__all__) + 2] == [*_native.__all__, "ColumnDrift", "data_drift_by_column"]
    assert all(getattr(morvanta, name) is getattr(_native, name) for name in _native.__all__)
    assert callable(morvanta.data_drift_by_column) and isinstance(morvanta.ColumnDrift, type)
    assert morvanta.__version__ == project_version() and (Path(morvanta.__file__).parent / "py.typed").is_file()


def mypy(*args: str, tool: str = "mypy") -> subprocess.CompletedProcess[str]:
    env = dict(os.environ)
    # An installed package is found through site-packages (mypy refuses it on
    # MYPYPATH); a development tree has to be pointed at.
    if str(SITE) not in {str(Path(p).absolute()) for p in site.getsitepackages()}:
        env.update(MYPYPATH=str(SITE), PYTHONPATH=str(SITE))
    return subprocess.run([sys.executable, "-m", tool, *args], capture_output=True, text=True, env=env, cwd=HERE,
                          timeout=600)


@pytest.fixture(scope="module")
def strict(tmp_path_factory: pytest.TempPathFactory) -> list[str]:
    """The mypy --strict options, with the cache outside the source tree."""
    # The project's mypy settings (optional libraries may be absent) when the tests
    # run from a source tree.
    config = HERE.parent / "pyproject.toml"
    return ["--strict", "--no-error-summary", f"--cache-dir={tmp_path_factory.getbasetemp() / 'mypy-cache'}",
            *([f"--config-file={config}"] if config.is_file() else [])]


@needs_mypy
def test_example_and_sources_pass_mypy_strict_and_the_example_runs(strict):
    for args in ([str(HERE / "typing_example.py")], ["-p", "morvanta"]):
        p = mypy(*strict, *args)
        assert p.returncode == 0, p.stdout + p.stderr
    run = subprocess.run([sys.executable, str(HERE / "typing_example.py")], capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=str(SITE)), timeout=120)
    assert run.returncode == 0, run.stderr


# Each line after the set-up is a misuse the stubs must reject; mypy has to report every one.
SETUP = "import numpy as np\nimport morvanta\nf32 = np.zeros((4, 2), np.float32)\nf64 = np.zeros((4, 2))\n"
MISUSES = '''\
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


@needs_mypy
def test_stubs_reject_misuse(strict, tmp_path):
    source = tmp_path / "misuse.py"
    source.write_text(SETUP + MISUSES)
    p = mypy(*strict, str(source))
    flagged = {int(line.split(":")[1]) for line in p.stdout.splitlines() if ": error:" in line}
    first = SETUP.count("\n") + 1
    assert flagged == set(range(first, first + MISUSES.count("\n"))), p.stdout


@needs_mypy
def test_stubtest_finds_no_difference_with_the_built_module():
    allowlist = HERE / "stubtest_allowlist.txt"
    p = mypy("morvanta._native", *(["--allowlist", str(allowlist)] if allowlist.exists() else []), tool="mypy.stubtest")
    assert p.returncode == 0, p.stdout + p.stderr

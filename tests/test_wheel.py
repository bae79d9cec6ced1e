"""The binary wheel installs and runs where nothing can build: a fresh virtual
environment whose PATH holds only its own bin folder (no compiler, no CMake),
`pip install --only-binary=:all:`, then the quick start. It scores exactly what the
build under test scores.

The wheel comes from MORVANTA_WHEEL (tools/run-tests.sh builds it once per run with
tools/build-wheel.sh); without it the test builds one, which takes minutes.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
pytestmark = pytest.mark.slow


@pytest.fixture(scope="module")
def wheel(tmp_path_factory) -> Path:
    given = os.environ.get("MORVANTA_WHEEL")
    if given:
        path = Path(given)
        assert path.is_file(), f"MORVANTA_WHEEL={given} is not a file"
        return path
    out = tmp_path_factory.mktemp("wheel")
    proc = subprocess.run(["bash", str(ROOT / "tools" / "build-wheel.sh"), str(out)], capture_output=True,
                          text=True, timeout=1800)
    assert proc.returncode == 0, proc.stderr[-4000:]
    return Path(proc.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory) -> Path:
    where = tmp_path_factory.mktemp("venv") / "env"
    subprocess.run([sys.executable, "-m", "venv", str(where)], check=True, timeout=300)
    proc = subprocess.run([str(where / "bin" / "python"), "-m", "pip", "install", "-q", "--only-binary=:all:",
                           "--disable-pip-version-check", str(wheel)],
                          capture_output=True, text=True, env=bare_env(where), timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return where


def bare_env(venv: Path) -> dict[str, str]:
    """No compiler, no build tool, no PYTHONPATH to the build under test."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "CC", "CXX", "CMAKE_ARGS", "VIRTUAL_ENV", "PYTHONHOME")}
    env["PATH"] = str(venv / "bin")
    env["PIP_ROOT_USER_ACTION"] = "ignore"
    return env


def test_the_wheel_is_one_manylinux_abi3_wheel_with_stubs_and_templates(wheel):
    assert re.fullmatch(r"morvanta-[\d.]+-cp310-abi3-manylinux_2_\d+_x86_64\.whl", wheel.name), wheel.name
    names = set(zipfile.ZipFile(wheel).namelist())
    for required in ("morvanta/_native.abi3.so", "morvanta/_engine.abi3.so", "morvanta/_native.pyi",
                     "morvanta/_engine.pyi", "morvanta/py.typed", "morvanta/render/templates/report.html.j2",
                     "morvanta/cli/__init__.py"):
        assert required in names, f"{wheel.name} lacks {required}"
    # Nothing of the build tree or the tests travels.
    assert not [n for n in names if n.startswith(("tests/", "core/", "build/")) or "__pycache__" in n]


def test_the_quick_start_runs_from_the_wheel_without_build_tools(venv):
    env = bare_env(venv)
    for tool in ("cc", "c++", "g++", "cmake", "ninja"):
        assert shutil.which(tool, path=env["PATH"]) is None, tool
    proc = subprocess.run(["morvanta", "demo"], env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    assert "verdict: DRIFT in data, embedding, response, confidence, query (5 of 5 dimensions" in proc.stdout
    assert "verdict: no drift in any of the 5 dimensions" in proc.stdout
    # The installed package is the wheel's, not the build under test.
    where = subprocess.run(["python", "-c", "import morvanta; print(morvanta.__file__)"], env=env,
                           capture_output=True, text=True, check=True).stdout
    assert where.startswith(str(venv))


def without_timestamps(value):
    """The demo's JSON minus the time each report was made: everything else is
    fixed by the seeds."""
    if isinstance(value, dict):
        return {k: without_timestamps(v) for k, v in value.items() if k != "timestamp"}
    if isinstance(value, list):
        return [without_timestamps(v) for v in value]
    return value


def test_the_wheel_computes_bit_for_bit_what_the_build_under_test_computes(venv):
    """Scores, p-values, permutation counts and breakdowns of the demo, as JSON
    (floats in shortest round-trip form), from the wheel and from the build under test."""
    from_wheel = subprocess.run(["morvanta", "demo", "--json"], env=bare_env(venv), capture_output=True,
                                text=True, timeout=300, check=True).stdout
    here = subprocess.run([sys.executable, "-m", "morvanta", "demo", "--json"], capture_output=True, text=True,
                          timeout=300, check=True).stdout
    wheel_json, here_json = without_timestamps(json.loads(from_wheel)), without_timestamps(json.loads(here))
    assert sorted(wheel_json) == ["drift", "stable"]
    assert wheel_json["drift"]["dimensions"][0]["parts"], "the JSON carries the breakdowns"
    assert wheel_json == here_json

#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the C++ core tests (ctest),
# the documentation build (warnings as errors) and the Python suite (pytest)
# against the package installed from the wheel this run builds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
# The HTML report is opened in a real (headless) browser by the tests.
command -v chromium >/dev/null || need_apt+=(chromium)
command -v g++ >/dev/null || need_apt+=(g++)
# promtool checks the Prometheus rules in docs/alerts/.
command -v promtool >/dev/null || need_apt+=(prometheus)
# The docs' shell examples filter JSON output with jq.
command -v jq >/dev/null || need_apt+=(jq)
if [ ${#need_apt[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}"
  else
    echo "missing system packages: ${need_apt[*]} (install them, or run as root)" >&2
    exit 1
  fi
fi

# CMake and Ninja for the core test build come from pip (the package build gets
# its own through the build backend); pip itself is left as it is.
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
python3 -m pip install -q cmake ninja

echo "== Wheel"
# Built and repaired once: the suite runs against it, and tests/test_wheel.py
# installs the same file into a bare virtual environment.
MORVANTA_WHEEL=$(bash tools/build-wheel.sh | tail -n 1)
export MORVANTA_WHEEL
echo "$MORVANTA_WHEEL"
python3 -m pip install -q --force-reinstall --no-deps "$MORVANTA_WHEEL"
python3 -m pip install -q "$MORVANTA_WHEEL[test,docs]"

echo "== Lint and format"
python3 -m pip install -q ruff
python3 -m ruff check src tests bench tools
bash tools/check-format.sh

echo "== C++ core tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORVANTA_TESTS=ON >/dev/null
cmake --build build/tests -j2
ctest --test-dir build/tests --output-on-failure -j2

echo "== Docs"
MORVANTA_DOCS_SITE="$root/build/docs-site"
export MORVANTA_DOCS_SITE
bash tools/build-docs.sh "$MORVANTA_DOCS_SITE"

echo "== Python tests"
# Run from outside the tree so that the installed package is the one imported.
cd "$root/tests"
set +e
python3 -m pytest -q -p no:cacheprovider "$@" .
rc=$?
set -e
if [ $rc -eq 5 ]; then
  echo "pytest collected no tests" >&2
  exit 1
fi
exit $rc

#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the C++ core tests (ctest)
# and the Python suite (pytest) against the installed package.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
# The HTML report is opened in a real (headless) browser by the tests.
command -v chromium >/dev/null || need_apt+=(chromium)
command -v g++ >/dev/null || need_apt+=(g++)
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
python3 -m pip install -q cmake ninja
python3 -m pip install -q ".[test]"

echo "== Lint and format"
python3 -m pip install -q ruff
python3 -m ruff check src tests bench tools
bash tools/check-format.sh

echo "== C++ core tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORVANTA_TESTS=ON >/dev/null
cmake --build build/tests -j2
ctest --test-dir build/tests --output-on-failure -j2

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

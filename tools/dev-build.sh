#!/usr/bin/env bash
# Developer build into build/NAME without installing: compiles the core, its tests
# and the extension, and lays out build/NAME/site/morvanta so that
#   PYTHONPATH=build/NAME/site python -m pytest tests
# runs against this tree. Usage: tools/dev-build.sh NAME [extra cmake args...]
set -euo pipefail
name=${1:-dev}; shift || true
root=$(cd "$(dirname "$0")/.." && pwd)
bdir="$root/build/$name"
cmake -S "$root" -B "$bdir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORVANTA_PYTHON=ON -DMORVANTA_TESTS=ON \
  -DPython_EXECUTABLE="$(command -v python3)" "$@" >/dev/null
cmake --build "$bdir" -j2
site="$bdir/site/morvanta"
mkdir -p "$site"
for f in "$root"/src/morvanta/*; do ln -sfn "$f" "$site/$(basename "$f")"; done
for so in "$bdir"/python/_native*.so "$bdir"/python/_engine*.so; do
  ln -sfn "$so" "$site/$(basename "$so")"
done
echo "site: $bdir/site"

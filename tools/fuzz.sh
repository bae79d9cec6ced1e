#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang under ASan + UBSan and runs each for
# a bounded time (seconds, default 60) from the seed corpus in core/fuzz/corpus.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
secs=${1:-60}
if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev
  else
    echo "clang with libFuzzer is required" >&2
    exit 1
  fi
fi
CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVANTA_FUZZ=ON \
  -DMORVANTA_SANITIZE=ON >/dev/null
cmake --build build/fuzz -j2
shopt -s nullglob
for fuzzer in build/fuzz/core/*_fuzz; do
  work=$(mktemp -d)
  echo "== fuzzing $(basename "$fuzzer") for ${secs}s"
  "$fuzzer" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" core/fuzz/corpus
  rm -rf "$work"
done

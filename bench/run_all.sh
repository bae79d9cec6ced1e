#!/usr/bin/env bash
# Runs every benchmark once, one after another, on this machine, against the
# morvanta that Python imports (an installed package, or PYTHONPATH=build/NAME/site).
# Peers: scipy, numpy, POT, scikit-learn, orjson; dask and distributed for bench_dask (pip install ".[bench]").
# Usage: bash bench/run_all.sh [--skip-exact]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
skip_exact=${1:-}
for b in confidence data response embedding query json baseline check decide permutation; do
  echo "===== bench_$b"
  extra=()
  [ "$b" = embedding ] && [ "$skip_exact" = --skip-exact ] && extra=(--skip-exact)
  python3 "$here/bench_$b.py" "${extra[@]}" || echo "bench_$b failed (exit $?)"
done
echo "===== bench_parallel"
python3 "$here/bench_parallel.py" || echo "bench_parallel failed (exit $?)"
# Many windows on a 2-worker Dask LocalCluster (serial vs cluster).
echo "===== bench_dask"
python3 "$here/bench_dask.py" || echo "bench_dask failed (exit $?)"

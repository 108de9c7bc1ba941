#!/usr/bin/env bash
# Reproduces every figure of the "Issue targets" section of bench/README.md:
# builds the Release tree with the benchmarks, then runs the ingestion
# benchmark, the query benchmark (latency against the dict baseline and the
# C++ floor, leave-one-out throughput, memory of fit) and the C++ kNN and
# leave-one-out benchmarks on the shared data.
#
# Usage: bench/run_all.sh [--quick]
#   --quick   1 million ingestion rows, 100 000 sessions, 1000 queries, 3 runs
# Environment: BUILD_DIR (default build/perf-rel), OUT (default
# /tmp/vosket_bench_results, Markdown tables and JSON), VOSKET_BENCH_CACHE
# (generated data, default /tmp/vosket_bench_cache).
set -euo pipefail
quick=""
if [ "${1:-}" = "--quick" ]; then quick="--quick"; fi
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"
build="${BUILD_DIR:-build/perf-rel}"
out="${OUT:-/tmp/vosket_bench_results}"
mkdir -p "$out"

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVOSKET_BUILD_BENCH=ON \
  -DVOSKET_BUILD_TESTS=ON -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
ninja -C "$build" -j2 >/dev/null

export PYTHONPATH="$build:src"
echo "== ingestion"
python3 bench/python/ingest_bench.py $quick --json "$out/ingest.json" | tee "$out/ingest.md"
echo "== query latency, floor, evaluation, memory"
python3 bench/python/query_bench.py $quick --floor-bench "$build/floor_bench" \
  --json "$out/query.json" | tee "$out/query.md"
echo "== C++ session-kNN and leave-one-out benchmarks (shared data)"
if [ -n "$quick" ]; then
  "$build/sknn_bench" --synthetic 1000000 --queries 300 --ref-queries 100 --loo-sequences 2000 \
    | tee "$out/sknn_bench.md"
else
  "$build/sknn_bench" | tee "$out/sknn_bench.md"
fi
"$build/loo_bench" --runs 5 /work/shared/data/yoochoose_clicks_100k.csv \
  /work/shared/data/ml_latest_small.csv | tee "$out/loo_bench.md"
echo "results in $out"

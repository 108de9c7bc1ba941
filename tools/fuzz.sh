#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for a
# bounded time from its seed corpus in tests/fuzz/corpus/<target>.
# Usage: tools/fuzz.sh [seconds per target, default 60]
set -euo pipefail
seconds="${1:-60}"
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"
cxx="$(command -v clang++ || command -v clang++-14)"
cmake -S . -B build/fuzz -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVOSKET_BUILD_PYTHON=OFF -DVOSKET_FUZZ=ON >/dev/null
cmake --build build/fuzz --parallel "$(nproc)"
for target in build/fuzz/*_fuzz; do
  name="$(basename "$target" _fuzz)"
  work="$(mktemp -d)"
  echo "== fuzzing $name for ${seconds}s"
  set +e
  "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1 \
    "$work" "tests/fuzz/corpus/$name" >"$work.log" 2>&1
  status=$?
  set -e
  grep -E "^(Done|stat::number_of_executed_units|stat::peak_rss_mb)" "$work.log" || true
  if [ "$status" != 0 ]; then
    tail -n 60 "$work.log"
  fi
  rm -f "$work.log"
  rm -rf "$work"
  if [ "$status" != 0 ]; then
    echo "fuzz target $name failed (exit $status)"
    exit "$status"
  fi
done

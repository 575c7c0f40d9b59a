#!/usr/bin/env bash
# Builds the benchmarks in release mode and runs them. Extra arguments go to
# the benchmark binary (e.g. --benchmark_filter=Zip).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QX_BENCH_BUILD_DIR:-$root/build-bench}"
bash "$root/scripts/install-deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQX_BUILD_TESTS=OFF \
  -DQX_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j2 --target quarn_bench
"$build/bench/quarn_bench" "$@"

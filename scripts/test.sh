#!/usr/bin/env bash
# Installs the dependencies, builds the test configuration (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs the whole test suite.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${QX_TEST_BUILD_DIR:-$root/build-test}"

bash "$root/scripts/install-deps.sh"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DQX_SANITIZE=ON -DQX_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j2

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
cd "$build"
ctest --output-on-failure -j2 --timeout 300

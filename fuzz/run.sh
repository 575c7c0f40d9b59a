#!/bin/sh
# Builds the fuzz targets (fuzz/build.sh) and runs each for SECONDS (default
# 60) from its corpus, one after the other, on one core. A finding fails the
# run and is written to fuzz-build/crash-* (replay it by passing the file to
# the target).
#
#   fuzz/run.sh [SECONDS]
set -eu

here=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$here")
out=${FUZZ_BUILD_DIR:-$top/fuzz-build}
seconds=${1:-60}

sh "$here/build.sh"
for pair in zip:zip_extract_fuzzer model_config:model_config_fuzzer; do
  name=${pair%%:*}
  target="$out/${pair#*:}"
  mkdir -p "$out/corpus-$name"
  echo "fuzzing $(basename "$target") for ${seconds}s"
  "$target" "$out/corpus-$name" "$here/corpus/$name" -max_total_time="$seconds" \
    -rss_limit_mb=1024 -artifact_prefix="$out/" -print_final_stats=1 2>"$out/$name.log" ||
    { tail -40 "$out/$name.log"; exit 1; }
  grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$out/$name.log" || true
done

#!/usr/bin/env bash
# Builds the fuzz targets with clang in the sanitizer preset (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a short time over its seed corpus.
#   fuzz/run.sh [seconds per target, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
build=build/fuzz-asan
cmake --preset linux-asan -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVEXLOR_WERROR=ON >/dev/null
targets=(fuzz_url fuzz_chunk fuzz_http_response)
cmake --build "$build" --target "${targets[@]}" -j2
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
for t in "${targets[@]}"; do
  corpus=$(mktemp -d)
  seeds=fuzz/corpus/${t#fuzz_}
  [ -d "$seeds" ] && cp "$seeds"/* "$corpus"/
  echo "== $t for ${seconds}s"
  "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/fuzz/$t-" -print_final_stats=1 "$corpus"
  rm -rf "$corpus"
done

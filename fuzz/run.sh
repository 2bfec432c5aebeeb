#!/usr/bin/env bash
# Builds the fuzz targets with clang in the sanitizer preset (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a while, starting from its seed corpus
# (fuzz/corpus/<name>) and the saved findings (fuzz/findings/<name>), which replay first.
# Fails when any target finds something: a crash, a sanitizer report or a broken oracle rule.
# The input that failed is written to build/fuzz-asan/fuzz/<target>-crash-*, the whole log to
# build/fuzz-asan/fuzz/<target>.log.
#   fuzz/run.sh [seconds per target, default 30] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
if [ $# -gt 0 ]; then shift; fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_url fuzz_chunk fuzz_http_response fuzz_auth)
build=build/fuzz-asan
cmake --preset linux-asan -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVEXLOR_WERROR=ON >/dev/null
cmake --build "$build" --target "${targets[@]}" -j2
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=()
for t in "${targets[@]}"; do
  name=${t#fuzz_}
  corpus=$(mktemp -d)
  for seeds in "fuzz/corpus/$name" "fuzz/findings/$name"; do
    if [ -d "$seeds" ]; then cp "$seeds"/* "$corpus"/; fi
  done
  log="$build/fuzz/$t.log"
  echo "== $t for ${seconds}s"
  if "$build/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$build/fuzz/$t-" -print_final_stats=1 "$corpus" >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE|^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' \
      "$log" || true
  else
    failed+=("$t")
    # The oracle's description of the case, or the sanitizer's report, and the saved input.
    sed -n '/^\*\*\* \|^==[0-9]*==ERROR\|^SUMMARY/,$p' "$log" | grep -v '^    #' | head -80
  fi
  rm -rf "$corpus"
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}; inputs and logs in $build/fuzz/"
  exit 1
fi

#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, the core's (tests/fuzz/fuzz_core.cpp)
# and the layer pipeline's (tests/fuzz/fuzz_layers.cpp), and runs them one
# after the other for the given number of seconds in all (default 60): the
# core gets half of them (the larger half of an odd number). Both start from
# the corpus in tests/fuzz/corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
clangxx=$(command -v clang++ || true)
if [ -z "$clangxx" ] || ! echo 'int main(){}' | "$clangxx" -x c++ -fsanitize=fuzzer,address - -o /dev/null 2>/dev/null; then
  if [ "$(id -u)" -eq 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-dev >/dev/null 2>&1 ||
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang >/dev/null
  fi
  clangxx=$(command -v clang++)
fi
mkdir -p build/fuzz
pool_sources=(src/parallel/worker_pool.cpp src/support/platform.cpp)
flags=(-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -Isrc)
"$clangxx" "${flags[@]}" tests/fuzz/fuzz_core.cpp "${pool_sources[@]}" -o build/fuzz/fuzz_core -lpthread
"$clangxx" "${flags[@]}" tests/fuzz/fuzz_layers.cpp src/layers/pipeline.cpp "${pool_sources[@]}" \
  -o build/fuzz/fuzz_layers -lpthread

# fuzz TARGET SECONDS: runs build/fuzz/TARGET on its own copy of the corpus.
fuzz() {
  local target=$1 budget=$2 work=build/fuzz/corpus-$1 status=0
  mkdir -p "$work"
  cp -n tests/fuzz/corpus/* "$work"/ 2>/dev/null || true
  build/fuzz/"$target" -max_total_time="$budget" -max_len=4096 -print_final_stats=1 "$work" \
    >build/fuzz/"$target".log 2>&1 || status=$?
  echo "-- $target, $budget s"
  grep -E "^stat::(number_of_executed_units|peak_rss_mb)|DONE|ERROR|SUMMARY|deadly" build/fuzz/"$target".log || true
  if [ "$status" -ne 0 ]; then
    tail -n 60 build/fuzz/"$target".log
  fi
  return "$status"
}
core_seconds=$(( (seconds + 1) / 2 ))
status=0
fuzz fuzz_core "$core_seconds" || status=$?
fuzz fuzz_layers "$(( seconds - core_seconds > 0 ? seconds - core_seconds : 1 ))" || status=$?
exit "$status"

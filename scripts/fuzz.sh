#!/usr/bin/env bash
# Builds the libFuzzer target of the core with clang and runs it for the
# given number of seconds (default 60) on the corpus in tests/fuzz/corpus.
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
"$clangxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Isrc tests/fuzz/fuzz_core.cpp src/parallel/worker_pool.cpp src/support/platform.cpp -o build/fuzz/fuzz_core -lpthread
work=build/fuzz/corpus
mkdir -p "$work"
cp -n tests/fuzz/corpus/* "$work"/ 2>/dev/null || true
status=0
build/fuzz/fuzz_core -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 "$work" \
  >build/fuzz/log.txt 2>&1 || status=$?
grep -E "^stat::(number_of_executed_units|peak_rss_mb)|DONE|ERROR|SUMMARY|deadly" build/fuzz/log.txt || true
if [ "$status" -ne 0 ]; then
  tail -n 60 build/fuzz/log.txt
fi
exit "$status"

#!/usr/bin/env bash
# Builds the JSON fuzz target with clang (libFuzzer, ASan, UBSan) and runs it for a
# bounded time. Usage: fuzz/run.sh [SECONDS]. Crash inputs land in fuzz/crashes/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
clangxx=$(command -v clang++ || command -v clang++-14 || true)
if [ -z "$clangxx" ]; then
  echo "fuzz: clang++ not found (Debian: apt-get install clang libclang-rt-14-dev)" >&2
  exit 1
fi
json_include=$(dirname "$(dirname "$(find /usr/include /usr/local/include -path '*/nlohmann/json.hpp' -print -quit)")")
mkdir -p build/fuzz fuzz/crashes build/fuzz/corpus
"$clangxx" -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I src/_mervo -I "$json_include" fuzz/json_fuzz.cpp src/_mervo/json_doc.cpp -o build/fuzz/json_fuzz
# The working corpus grows in build/; the seeds in the repo stay small.
status=0
./build/fuzz/json_fuzz -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix=fuzz/crashes/ build/fuzz/corpus fuzz/seeds/json > build/fuzz/log.txt 2>&1 || status=$?
grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)|ERROR|SUMMARY|json_fuzz:' build/fuzz/log.txt || true
if [ $status != 0 ]; then
  echo "fuzz: the fuzzer failed (status $status); its input is in fuzz/crashes/, full log in build/fuzz/log.txt" >&2
  tail -n 40 build/fuzz/log.txt >&2
  exit 1
fi
echo "fuzz: clean"

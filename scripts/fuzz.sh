#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, ASan + UBSan) and fuzzes each exported
# function group for SECONDS seconds (default 10) from the committed seed corpus:
#   bash scripts/fuzz.sh          # the short run CI does
#   bash scripts/fuzz.sh 1800     # a long run; new inputs land in build-fuzz/tests/fuzz/found/
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKERNELS_FUZZ=ON -DKERNELS_FUZZ_SECONDS="$seconds" >/dev/null
cmake --build build-fuzz -j"${JOBS:-2}"
ctest --test-dir build-fuzz --output-on-failure -L fuzz -j"${JOBS:-2}" --timeout $((seconds * 3 + 120))
# Executions per harness, from libFuzzer's final statistics.
awk '/Testing: fuzz_/ {name = $NF} /stat::number_of_executed_units/ {print "executions", name, $NF}' \
  build-fuzz/Testing/Temporary/LastTest.log | sort

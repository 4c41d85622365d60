#!/usr/bin/env bash
# Builds and runs the benchmark suite on one core and prints its table.
#   bash scripts/bench.sh            full run (a few minutes)
#   bash scripts/bench.sh --smoke    small sizes, a few iterations (under a minute; CI)
#   bash scripts/bench.sh --peers    also the comparisons with PySCF and the FFT route, and
#                                    the fit of a measured map
# Other arguments go to the benchmark program (e.g. --benchmark_filter=momentum_map).
# BUILD_DIR (default build-bench) and JOBS (default 2) may be set.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build-bench}
smoke=()
peers=0
args=()
for a in "$@"; do
  case "$a" in
    --smoke) smoke=(--smoke) ;;
    --peers) peers=1 ;;
    *) args+=("$a") ;;
  esac
done

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DKERNELS_BUILD_BENCH=ON -DKERNELS_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"${JOBS:-2}" --target kernels_bench kernels >/dev/null

# One thread on one core: the library starts no threads, and the ratios are
# meaningful only when both paths run under the same conditions.
pin=()
if command -v taskset >/dev/null; then pin=(taskset -c 0); fi
export OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 MKL_NUM_THREADS=1
# The full run repeats each case three times and reports medians: other
# programs on the machine disturb single runs; the repetitions of all cases
# run in random order, so that a busy spell does not fall on one path only.
repeat=(--benchmark_repetitions=3 --benchmark_report_aggregates_only=true --benchmark_enable_random_interleaving=true)
if [ ${#smoke[@]} -gt 0 ]; then repeat=(); fi
"${pin[@]}" "$build/bench/kernels_bench" "${smoke[@]}" "${repeat[@]}" "${args[@]}"

if [ "$peers" = 1 ]; then
  export LIBKERNELS_LIBRARY="$PWD/$build/libkernels.so"
  "${pin[@]}" python3 bench/peers/scalar_field_vs_pyscf.py "${smoke[@]}"
  "${pin[@]}" python3 bench/peers/momentum_map_vs_fft.py "${smoke[@]}"
  "${pin[@]}" python3 bench/peers/fit_momentum_map.py "${smoke[@]}"
fi

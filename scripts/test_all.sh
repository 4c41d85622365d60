#!/usr/bin/env bash
# Builds libkernels from scratch and runs every test: the C++ suite in the
# optimised build and again under AddressSanitizer + UndefinedBehaviorSanitizer,
# then the Python suite against the installed package, the wheel and the sdist
# installed in fresh environments (scripts/build_wheel.sh, scripts/test_wheel.sh)
# and the documentation site.  Exits non-zero when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh --system
# The Python side's downloads run while the C++ suites build and run (they need
# none of it); the .venv is used only once they are done.
python_log=$(mktemp)
bash scripts/install_deps.sh --python >"$python_log" 2>&1 &
python_deps=$!

jobs=${JOBS:-2}
echo "== optimised build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKERNELS_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKERNELS_SANITIZE=ON -DKERNELS_WERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j"$jobs" -LE exhaustive

echo "== ThreadSanitizer: every function from many threads at once"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKERNELS_SANITIZE_THREAD=ON >/dev/null
cmake --build build-tsan -j"$jobs" --target test_concurrency
TSAN_OPTIONS=halt_on_error=1 ./build-tsan/tests/stress/test_concurrency

echo "== fuzzing, a short budget per harness"
bash scripts/fuzz.sh "${FUZZ_SECONDS:-10}"

echo "== Python dependencies (installed meanwhile)"
if ! wait "$python_deps"; then cat "$python_log"; echo "installing the Python dependencies failed"; exit 1; fi
cat "$python_log"; rm -f "$python_log"
# Every python3 below is the checkout's .venv, which install_deps.sh filled.
source scripts/venv.sh

echo "== benchmark smoke run (every case at small sizes, and the comparisons with other routes)"
bash scripts/bench.sh --smoke --peers

if [ -f pyproject.toml ]; then
  echo "== Python package"
  python3 -m pip install --quiet --disable-pip-version-check ".[plot]"
  echo "== type check of the public Python API"
  python3 -m mypy
  # The explorer's browser tests must run here, not skip.  One pytest-xdist worker
  # per core; the slowest tests are listed, to see where the time goes.
  LIBKERNELS_REQUIRE_BROWSER=1 PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 \
    python3 -m pytest -q -n "$jobs" --durations=10 python/tests
  echo "== wheel and sdist: built, then installed as a user would (the wheel without a compiler)"
  wheel_start=$SECONDS
  bash scripts/build_wheel.sh
  bash scripts/test_wheel.sh
  echo "wheel and sdist: $((SECONDS - wheel_start)) s"
  echo "== the extras matrix: each extra installed alone from the wheel runs its command"
  bash scripts/test_extras.sh
  echo "== documentation site (tutorials executed, warnings as errors)"
  bash scripts/docs.sh --no-install
fi

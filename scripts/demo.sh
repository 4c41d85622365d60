#!/usr/bin/env bash
# Sets libkernels up on a fresh machine and runs the main job on the built-in
# example molecule.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"${JOBS:-2}" --target orbital_demo
./build/examples/orbital_demo

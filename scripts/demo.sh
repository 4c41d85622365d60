#!/usr/bin/env bash
# Sets libkernels up on a fresh machine and runs the main job: the momentum maps
# of the HOMO and HOMO-1 of the built-in pentacene molecule, written as PNG
# files (with .npy numbers and .json settings) to demo-output/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
python3 -m pip install --quiet --disable-pip-version-check .
python3 -m libkernels demo -o demo-output

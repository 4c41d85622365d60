#!/usr/bin/env bash
# Sets libkernels up on a fresh machine and runs the main job: the momentum maps
# of the HOMO and HOMO-1 of the built-in pentacene molecule, written as PNG
# files (with .npy numbers and .json settings) to demo-output/.
# The package and what it needs at run time (numpy, matplotlib) go into .venv
# in the checkout; PYTHON=/usr/bin/python3 chooses the interpreter it is made from.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh --build-only
source scripts/venv.sh
python3 -m pip install --quiet --disable-pip-version-check ".[plot]"
python3 -m libkernels demo -o demo-output
echo "The package is installed in $(pwd)/.venv: run '. .venv/bin/activate', then 'libkernels --help'."

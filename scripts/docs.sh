#!/usr/bin/env bash
# Builds the documentation site into docs/_build/html: the tutorials (MyST
# notebooks, executed now), the how-to pages of the commands, the accuracy and
# design pages and the API reference read from the installed package.  Works
# offline.  Warnings are errors, and a notebook cell that raises fails the build.
#   bash scripts/docs.sh            install the package and the docs extra, then build
#   bash scripts/docs.sh --no-install   build with what .venv already holds
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
if [ "${1:-}" != "--no-install" ]; then
  python3 -m pip install --quiet --disable-pip-version-check ".[docs]"
fi
# The notebooks draw with Jupyter's inline backend: a backend chosen outside
# (MPLBACKEND=Agg) would leave their figures out.
unset MPLBACKEND
# A fresh build every time: autosummary's pages and a kept environment disagree.
rm -rf docs/_build docs/api/generated
start=$(date +%s)
python3 -m sphinx -E -b html -W --keep-going -j "${JOBS:-2}" -q docs docs/_build/html
python3 scripts/check_docs_site.py docs/_build/html
echo "docs: docs/_build/html/index.html ($(( $(date +%s) - start )) s)"

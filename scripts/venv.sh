#!/usr/bin/env bash
# Sourced by demo.sh and test_all.sh: makes sure a virtual environment exists in
# the checkout (.venv) and puts it first on PATH, so that every `python3` and
# `pip` after it works there and never in the system's Python (Debian's refuses
# pip installs, PEP 668).  The base interpreter is $PYTHON (default python3);
# Debian's python3-venv is installed when the base cannot make environments.
# LIBKERNELS_VENV names another environment to make or reuse (the wheel scripts' own).
venv_dir=${LIBKERNELS_VENV:-"$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/.venv"}
base_python=${PYTHON:-python3}

if ! command -v "$base_python" >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends python3 >/dev/null
fi
if [ ! -x "$venv_dir/bin/python3" ] || ! "$venv_dir/bin/python3" -m pip --version >/dev/null 2>&1; then
  rm -rf "$venv_dir"
  if ! "$base_python" -m venv "$venv_dir" >/dev/null 2>&1; then
    # Debian ships venv/ensurepip separately, per Python version.
    version=$("$base_python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "python$version-venv" >/dev/null
    rm -rf "$venv_dir"
    "$base_python" -m venv "$venv_dir"
  fi
  "$venv_dir/bin/python3" -m pip install --quiet --disable-pip-version-check --upgrade pip
fi
export VIRTUAL_ENV="$venv_dir"
export PATH="$venv_dir/bin:$PATH"
hash -r

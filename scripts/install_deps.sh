#!/usr/bin/env bash
# Installs what building and testing libkernels needs on a fresh Debian machine:
# the compiler, CMake, GoogleTest and Google Benchmark from Debian's packages, and
# the Python build and test dependencies from PyPI, and Chromium (Debian's) for the
# explorer's browser tests; Playwright drives it and never downloads a browser.
# Safe to run again.
set -euo pipefail

need_apt=0
for tool in cmake g++ pkg-config nm clang++; do command -v "$tool" >/dev/null || need_apt=1; done
[ -f /usr/include/gtest/gtest.h ] || need_apt=1
[ -f /usr/include/benchmark/benchmark.h ] || need_apt=1
[ -x /usr/bin/chromium ] || need_apt=1
if [ "$need_apt" = 1 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends cmake g++ make pkg-config binutils \
    libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev chromium >/dev/null
fi

export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
python3 -m pip install --quiet --disable-pip-version-check -r "$(dirname "$0")/requirements-dev.txt"

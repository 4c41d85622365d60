#!/usr/bin/env bash
# Installs what building and testing libkernels needs on a fresh Debian machine:
# the compiler, CMake, GoogleTest and Google Benchmark from Debian's packages, and
# the Python build and test dependencies from PyPI into the checkout's .venv
# (scripts/venv.sh), and Chromium (Debian's) for the explorer's browser tests;
# Playwright drives it and never downloads a browser.  Safe to run again.
#   bash scripts/install_deps.sh --build-only   only what building the package needs
#   bash scripts/install_deps.sh --system       only the Debian packages
#   bash scripts/install_deps.sh --python       only the .venv and the files fetched from
#                                               PyPI (scripts/test_all.sh runs it while
#                                               the C++ builds, which need none of it)
set -euo pipefail
part=${1:-all}

if [ "${1:-}" = "--build-only" ]; then
  if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null || ! command -v make >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends cmake g++ make >/dev/null
  fi
  exit 0
fi

if [ "$part" != "--python" ]; then
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
fi
[ "$part" = "--system" ] && exit 0

export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
source "$(dirname "$0")/venv.sh"
python3 -m pip install --quiet --disable-pip-version-check -r "$(dirname "$0")/requirements-dev.txt"

# The Igor files of igor2's source distribution are real files of the container the
# Igor reader reads; pip fetches the distribution here, once, so that the tests read
# them without a download of their own (python/tests/test_labdata.py).
igor_cache="$(cd "$(dirname "$0")/.." && pwd)/.cache/igor2"
if ! ls "$igor_cache"/igor2-*.tar.gz >/dev/null 2>&1; then
  igor_version=$(python3 -c 'from importlib.metadata import version; print(version("igor2"))')
  python3 -m pip download --quiet --disable-pip-version-check --no-deps --no-binary :all: \
    "igor2==$igor_version" -d "$igor_cache"
fi

# Measured data that no one here made, for the conformance suite on real files
# (python/tests/test_real_files.py; docs/instruments.md lists them with their
# checksums): the example data of the arpes 3.0.1 wheel (a NetCDF Fermi surface and
# photon-energy scan in the field's xarray layout, a FITS cut), whose metadata asks
# for an older Python, and the Scienta SES waves of xarpes 1.0.2's source
# distribution.  These are GPL-licensed data: fetched into .cache, never committed.
real_cache="$(cd "$(dirname "$0")/.." && pwd)/.cache/real-files"
if [ ! -f "$real_cache/arpes-3.0.1-py3-none-any.whl" ]; then
  python3 -m pip download --quiet --disable-pip-version-check --no-deps \
    --python-version 3.8 --only-binary=:all: "arpes==3.0.1" -d "$real_cache"
fi
if [ ! -f "$real_cache/xarpes-1.0.2.tar.gz" ]; then
  python3 -m pip download --quiet --disable-pip-version-check --no-deps --no-binary :all: \
    "xarpes==1.0.2" -d "$real_cache"
fi
# Yeh and Lindau's subshell photoionisation cross-sections ship as GPL data in the erlab
# wheel; the final-state tests (python/tests/test_final_state_atomic.py) read them from
# the wheel fetched here, once, and nothing of it is ever copied into the tree.
erlab_cache="$(cd "$(dirname "$0")/.." && pwd)/.cache/erlab"
if ! ls "$erlab_cache"/erlab-*.whl >/dev/null 2>&1; then
  python3 -m pip download --quiet --disable-pip-version-check --no-deps "erlab==3.28.2" \
    -d "$erlab_cache"
fi

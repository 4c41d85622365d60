#!/usr/bin/env bash
# Installs what scripts/build_wheel.sh put into dist/ as a user would, each into
# a fresh virtual environment under a temporary folder:
#  1. the wheel, where no compiler, CMake, Ninja or make can be reached: the
#     commands run under `env -i` with PATH holding only the environment's bin/
#     and a folder of links to the few system tools they call.  numpy and
#     matplotlib (the plot extra) come from PyPI as wheels.  Then
#     `libkernels demo` and a few test files run against the installed package;
#     python/tests/installed_wheel_checks.py fails should they find the
#     checkout's package or library instead of the wheel's.  A library
#     preloaded to count the calls of libm's expf and sincosf shows that the
#     wheel's library takes the vector functions only while the machine's libm
#     is the variant they reproduce, and calls libm per element once glibc's
#     tunables switch it to the other one: the choice is made at run time;
#  2. the sdist, which pip compiles (this environment has the compiler): its
#     file list is checked (scripts/check_sdist.py), also for an sdist made from
#     a copy of the tree without .gitignore and with made files planted in it,
#     and its library must compute the same maps and fields, bit for bit, as
#     the wheel's.
# Needs network access to PyPI (pip's cache is reused).  Exits non-zero on failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
start=$SECONDS
base_python=${PYTHON:-python3}
# The test files run against the installed wheel: the library through the
# package (kernels against references, the ABI against the header, memory
# failures reported), all fast.
tests=(installed_wheel_checks.py test_abi.py test_kernels.py test_pentacene_map.py
       test_out_of_memory.py test_molecule_model.py)

version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' python/libkernels/__init__.py)
wheel=$(ls dist/libkernels-"$version"-py3-none-manylinux_2_*_x86_64.whl 2>/dev/null || true)
sdist=dist/libkernels-$version.tar.gz
if [ -z "$wheel" ] || [ "$(echo "$wheel" | wc -l)" != 1 ] || [ ! -f "$sdist" ]; then
  echo "dist/ must hold one manylinux wheel and the sdist of version $version: run scripts/build_wheel.sh" >&2
  exit 1
fi
wheel=$root/$wheel
sdist=$root/$sdist

work=$(mktemp -d "${TMPDIR:-/tmp}/libkernels-wheel-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

# A fresh environment in $1 (Debian's python3-venv is installed where missing).
fresh_venv() {
  (LIBKERNELS_VENV=$1 PYTHON=$base_python source scripts/venv.sh)
}

echo "== [$((SECONDS - start)) s] the wheel, in an environment without a compiler: $(basename "$wheel")"
fresh_venv "$work/wheel-venv"
mkdir "$work/bin" "$work/home"
for tool in sh bash env uname cat ls mkdir rm; do
  ln -s "$(command -v "$tool")" "$work/bin/$tool"
done
bare_env=(env -i "HOME=${HOME:-$work/home}" "PATH=$work/wheel-venv/bin:$work/bin" LANG=C.UTF-8
          MPLBACKEND=Agg "MPLCONFIGDIR=$work/home/matplotlib" "TMPDIR=$work")
# pip's own settings and a proxy, where the machine has them
for name in PIP_INDEX_URL PIP_EXTRA_INDEX_URL PIP_CACHE_DIR PIP_CERT SSL_CERT_FILE \
            HTTP_PROXY HTTPS_PROXY NO_PROXY http_proxy https_proxy no_proxy; do
  if [ -n "${!name:-}" ]; then bare_env+=("$name=${!name}"); fi
done
bare() { (cd "$work" && "${bare_env[@]}" "$@"); }

bare python -m pip install --quiet --disable-pip-version-check --only-binary :all: \
  "$wheel[plot]" pytest
bare sh -c 'for tool in cc c++ gcc g++ clang cmake ninja make; do
  if command -v "$tool" >/dev/null; then echo "$tool is reachable: $(command -v "$tool")" >&2; exit 1; fi
done; echo "no compiler, CMake, Ninja or make on PATH=$PATH"'
bare libkernels demo -o "$work/demo-wheel"
# A few results to compare with the sdist's build below: every kernel family.
cat >"$work/results.py" <<'EOF'
import sys
import numpy as np
import libkernels as lk

mol = lk.load_example("pentacene")
maps = lk.momentum_map_sum(mol, ["HOMO", "HOMO-1"], photon_energy=35, work_function=4.5,
                           k_max=3.0, n=96, polarisation="p", orientation=(30, 20, 10))
field = lk.scalar_field(mol, "HOMO", spacing=0.6)
density = lk.momentum_density(lk.load_example("benzene"), "HOMO", n=16)
results = [maps.data, field.data, density.data, lk.rotation(maps, 25.0).data]
assert all(np.isfinite(a).all() and np.abs(a).max() > 0 for a in results)
with open(sys.argv[1], "wb") as out:  # the float32 bits, in order
    for array in results:
        out.write(np.ascontiguousarray(array, dtype=np.float32).tobytes())
EOF
bare python "$work/results.py" "$work/results-wheel.bin"
bare python -m pytest -q -p no:cacheprovider "${tests[@]/#/$root/python/tests/}"

echo "== [$((SECONDS - start)) s] the wheel's library asks the machine's libm"
if grep -qw avx2 /proc/cpuinfo && grep -qw fma /proc/cpuinfo; then
  # Built here, with the compiler the bare environment cannot reach.
  cat >"$work/count_libm.c" <<'EOF'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
static long expf_calls, sincosf_calls;
static void report(void) { fprintf(stderr, "libm calls: expf %ld sincosf %ld\n", expf_calls, sincosf_calls); }
__attribute__((constructor)) static void start(void) { atexit(report); }
float expf(float x) {
    static float (*next)(float);
    if (!next) next = (float (*)(float))dlsym(RTLD_NEXT, "expf");
    ++expf_calls;
    return next(x);
}
void sincosf(float x, float *s, float *c) {
    static void (*next)(float, float *, float *);
    if (!next) next = (void (*)(float, float *, float *))dlsym(RTLD_NEXT, "sincosf");
    ++sincosf_calls;
    next(x, s, c);
}
EOF
  cc -O1 -shared -fPIC -o "$work/count_libm.so" "$work/count_libm.c" -ldl
  one_map='import libkernels as lk; lk.momentum_map_sum(lk.load_example("pentacene"), ["HOMO"], photon_energy=35, work_function=4.5, k_max=3.0, n=128)'
  calls() { bare env LD_PRELOAD="$work/count_libm.so" "$@" python -c "$one_map" 2>&1 |
            sed -n 's/^libm calls: expf [0-9]* sincosf \([0-9]*\)$/\1/p'; }
  vector=$(calls)
  per_element=$(calls GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA)
  echo "sincosf calls for a 128 x 128 map: $vector with the FMA variant of libm, $per_element with the other"
  if [ -z "$vector" ] || [ -z "$per_element" ] || [ "$vector" -ge 1000 ] || [ "$per_element" -lt 16384 ]; then
    echo "the library did not follow the machine's libm" >&2
    exit 1
  fi
else
  echo "skipped: this CPU has no AVX2 and FMA, so no vector path to choose"
fi

echo "== [$((SECONDS - start)) s] the sdist: its files"
python3 scripts/check_sdist.py "$sdist" "$root"
# The exclusions must hold without .gitignore too: an sdist made from a copy of
# the tracked files, with what builds, environments and tests make planted in it.
git rev-parse --is-inside-work-tree >/dev/null 2>&1 ||
  { echo "$root is not a git checkout: the copy of its tracked files needs one" >&2; exit 1; }
mkdir "$work/tree"
git ls-files -z | grep -zv '^\.gitignore$' | tar --null -T - -cf - | tar -xf - -C "$work/tree"
for planted in build/CMakeCache.txt build-python/x/kernels.o .venv/bin/python3 \
               .cache/igor2/igor2-0.5.0.tar.gz docs/_build/html/index.html \
               docs/jupyter_execute/first_map.ipynb dist/libkernels-0.0.0.tar.gz \
               demo-output/pentacene_HOMO.png test-output/map.npy \
               python/libkernels/libkernels.so python/libkernels/__pycache__/__init__.cpython-311.pyc \
               python/libkernels.egg-info/PKG-INFO .pytest_cache/README.md examples/scan.ibw; do
  mkdir -p "$work/tree/$(dirname "$planted")"
  echo "made, not a source" >"$work/tree/$planted"
done
tools_python=${WHEEL_TOOLS:-$root/.cache/wheel-tools}/bin/python3
[ -x "$tools_python" ] || { echo "$tools_python is missing: scripts/build_wheel.sh makes it" >&2; exit 1; }
"$tools_python" -m build --sdist --no-isolation --outdir "$work/tree-dist" "$work/tree" >"$work/tree-sdist.log" 2>&1 ||
  { cat "$work/tree-sdist.log" >&2; exit 1; }
python3 scripts/check_sdist.py "$work/tree-dist/libkernels-$version.tar.gz" "$work/tree"

echo "== [$((SECONDS - start)) s] the sdist, installed in a fresh environment (compiled by pip)"
fresh_venv "$work/sdist-venv"
"$work/sdist-venv/bin/python3" -m pip install --disable-pip-version-check "$sdist" \
  >"$work/sdist-install.log" 2>&1 || { cat "$work/sdist-install.log" >&2; exit 1; }
grep -q "Building wheel for libkernels" "$work/sdist-install.log" ||
  { echo "pip did not build the sdist" >&2; cat "$work/sdist-install.log" >&2; exit 1; }
(cd "$work" && "$work/sdist-venv/bin/python3" "$work/results.py" "$work/results-sdist.bin")
cmp "$work/results-wheel.bin" "$work/results-sdist.bin"
echo "the sdist's build and the wheel computed the same maps, field and density, bit for bit"
rm -rf "$work"
trap - EXIT
echo "== wheel and sdist checked in $((SECONDS - start)) s"

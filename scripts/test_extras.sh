#!/usr/bin/env bash
# The extras matrix: each extra of the package installed ALONE into a fresh virtual
# environment, from the one wheel scripts/build_wheel.sh put into dist/ (the C++
# library is not built again per extra), then one command that extra promises:
#   plot      libkernels map (a PNG)          netcdf   libkernels map --format nc
#   fit       libkernels fit and reconstruct   lab      libkernels convert (NeXus, in chunks)
#   scale     libkernels scan into Zarr        widget   lk.widget in Python
#   explore   the explorer answers on loopback formats  a map of a Gaussian fchk file
#   pyscf     lk.from_pyscf of a PySCF SCF     progress a scan with its progress bar
# A missing optional module must be named in one line before any work: the bare
# environment (no extra) refuses `map --format nc` and `reconstruct` so, at once.
# Prints the time of each; pip's cache is reused.  Exits non-zero on failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
start=$SECONDS
version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' python/libkernels/__init__.py)
wheel=$(ls "$root"/dist/libkernels-"$version"-py3-none-manylinux_2_*_x86_64.whl 2>/dev/null | head -1)
[ -n "$wheel" ] || { echo "no wheel of $version in dist/: run scripts/build_wheel.sh" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/libkernels-extras.XXXXXX")
trap 'rm -rf "$work"' EXIT
measured=$root/examples/measured/pentacene_map.npz
extras=${EXTRAS:-"none plot netcdf fit lab scale widget explore formats pyscf progress"}

smoke() {  # runs in the environment's folder, its bin/ first on PATH
  case $1 in
    none)
      for command in "map pentacene --format nc -o nc" \
                     "reconstruct $measured --kinetic-energy 30 --molecule pentacene -o recon"; do
        set +e; message=$(libkernels $command 2>&1); code=$?; set -e
        lines=$(printf '%s\n' "$message" | wc -l)
        if [ "$code" != 2 ] || [ "$lines" != 1 ] || ! grep -q "pip install 'libkernels\[" <<<"$message"; then
          echo "without extras, 'libkernels $command' must refuse in one line naming the extra:" >&2
          echo "$message" >&2; return 1
        fi
        echo "  refused: $message"
      done ;;
    plot) libkernels map pentacene --resolution 64 -o maps && test -s maps/pentacene_HOMO.png ;;
    netcdf) libkernels map pentacene --resolution 64 --format nc -o maps && test -s maps/pentacene_HOMO.nc ;;
    fit)
      libkernels fit "$measured" pentacene -O HOMO -O HOMO-1 --kinetic-energy 30 --quiet -o fit
      test -s fit/fit.json
      libkernels reconstruct "$measured" --kinetic-energy 30 --molecule pentacene \
        --starts 2 --iterations 40 --polish 5 -o recon
      test -s recon/reconstruction.nc ;;
    lab)
      python - <<'PY'
import h5py, numpy as np
with h5py.File("map.nxs", "w") as f:
    entry = f.create_group("entry"); entry.attrs["NX_class"] = "NXentry"
    beam = entry.create_group("instrument/beam"); beam.attrs["NX_class"] = "NXbeam"
    beam["incident_energy"] = 35.0
    data = entry.create_group("data")
    data.attrs.update(NX_class="NXdata", signal="counts", axes=["energy", "angular0", "angular1"])
    data["counts"] = np.random.default_rng(0).poisson(20, (4, 41, 41)).astype("f4")
    for name, values, unit in (("energy", [1.0, 1.1, 1.2, 1.3], "eV"),
                               ("angular0", np.linspace(-10, 10, 41), "deg"),
                               ("angular1", np.linspace(-10, 10, 41), "deg")):
        data[name] = values; data[name].attrs["units"] = unit
    data["energy"].attrs["type"] = "binding"
PY
      libkernels convert map.nxs --geometry deflector --work-function 4.5 --max-memory 1M -o k
      test -s k/map_k.nc ;;
    scale)
      printf 'molecules = ["pentacene"]\norbitals = ["HOMO"]\nkinetic_energy = [30.0]\nalpha = [0.0, 10.0]\nn = 32\n' >job.toml
      libkernels scan job.toml -o scan.zarr --threads 1
      test -d scan.zarr ;;
    widget) python -c "import libkernels as lk; view = lk.widget('pentacene'); print(type(view).__name__)" ;;
    explore)
      libkernels explore --port 8765 >explore.log 2>&1 &
      server=$!
      python - <<'PY'
import time, urllib.error, urllib.request
for _ in range(100):
    try:
        urllib.request.urlopen("http://127.0.0.1:8765/", timeout=2)
        break
    except urllib.error.HTTPError:
        break  # it answered (the page wants its token)
    except OSError:
        time.sleep(0.2)
else:
    raise SystemExit("the explorer did not answer")
PY
      kill "$server"; wait "$server" 2>/dev/null || true ;;
    formats)
      fchk=$(python -c "import iodata, os; print(os.path.join(os.path.dirname(iodata.__file__), 'test', 'data', 'h2o_sto3g.fchk'))")
      python -c "import sys, libkernels as lk; mol = lk.load_molecule(sys.argv[1]); print(lk.momentum_map_sum(mol, ['HOMO'], kinetic_energy=30, n=32).data.shape)" "$fchk" ;;
    pyscf)
      python - <<'PY'
from pyscf import gto, scf
import libkernels as lk
mf = scf.RHF(gto.M(atom="H 0 0 0; H 0 0 0.74", basis="sto-3g", verbose=0)).run()
mol = lk.from_pyscf(mf.mol, mf.mo_coeff, mf.mo_energy, mf.mo_occ)
print(lk.momentum_map_sum(mol, ["HOMO"], kinetic_energy=30, n=32).data.shape)
PY
      ;;
    progress)
      python -c "
import tqdm, libkernels as lk
print(lk.momentum_map_sum(lk.load_example('pentacene'), ['HOMO'], kinetic_energy=30, n=32).data.shape)" ;;
  esac
}

# uv makes the environments: it resolves and links from its cache in seconds where
# pip unpacks every wheel again (the matrix took 22 minutes with pip, most of it
# unpacking PySCF, RDKit and scipy eleven times).
python3 -m pip install --quiet --disable-pip-version-check "uv>=0.4"
for extra in $extras; do
  begin=$SECONDS
  env_dir=$work/$extra
  python3 -m uv venv --quiet --python "$(python3 -c 'import sys; print(sys.executable)')" "$env_dir/venv"
  requirement=$wheel
  [ "$extra" = none ] || requirement="$wheel[$extra]"
  python3 -m uv pip install --quiet --python "$env_dir/venv/bin/python" "$requirement"
  (cd "$env_dir" && PATH="$env_dir/venv/bin:$PATH" MPLBACKEND=Agg smoke "$extra") ||
    { echo "the extra '$extra' installed alone failed its command" >&2; exit 1; }
  echo "extra $extra: $((SECONDS - begin)) s"
done
echo "== the extras matrix in $((SECONDS - start)) s"

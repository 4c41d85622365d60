"""Shared by the comparisons with other routes: the benchmark molecules, the
library's functions, and the measurement of time and peak memory.

Import this module before numpy or PySCF: it pins them to one thread.
The library is taken from LIBKERNELS_LIBRARY (scripts/bench.sh sets it to
the benchmark build), else from build-bench/ or build/ of this checkout.
"""

import gc
import os
import sys
import time

for _variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_variable] = "1"

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DATA = os.path.join(ROOT, "bench", "data")
sys.path.insert(0, os.path.join(ROOT, "python"))
sys.path.insert(0, DATA)

if "LIBKERNELS_LIBRARY" not in os.environ:
    for _build in ("build-bench", "build"):
        _candidate = os.path.join(ROOT, _build, "libkernels.so")
        if os.path.exists(_candidate):
            os.environ["LIBKERNELS_LIBRARY"] = _candidate
            break

import numpy as np  # noqa: E402

from libkernels import Molecule, from_pyscf  # noqa: E402
from libkernels.core import library  # noqa: E402
import make_bench_molecules  # noqa: E402

HARTREE_IN_EV = 27.211386245988


def read_molecule(name):
    """The benchmark molecule bench/data/<name>.txt as a libkernels.Molecule."""
    with open(os.path.join(DATA, name + ".txt")) as f:
        tokens = f.read().split()
    position = 0

    def take(count=1):
        nonlocal position
        position += count
        return tokens[position - count:position]

    def expect(word):
        if take()[0] != word:
            raise ValueError(f"{name}.txt: expected {word!r}")

    expect("libkernels-bench-molecule")
    take()
    expect("name")
    take()
    expect("basis")
    take()
    expect("atoms")
    atoms = np.array(take(4 * int(take()[0])), dtype=np.float64).reshape(-1, 4)
    expect("shells")
    shells = np.array(take(2 * int(take()[0])), dtype=np.int64).reshape(-1, 2)
    expect("primitives")
    primitives = np.array(take(2 * int(take()[0])), dtype=np.float32).reshape(-1, 2)
    expect("orbitals")
    n_orbitals, n_components = (int(v) for v in take(2))
    labels, energies, rows = [], [], []
    for _ in range(n_orbitals):
        label, energy = take(2)
        labels.append(label)
        energies.append(float(energy))
        rows.append(np.array(take(n_components), dtype=np.float32))
    molecule = Molecule(
        atom_x=atoms[:, 0], atom_y=atoms[:, 1], atom_z=atoms[:, 2],
        shells_per_atom=atoms[:, 3].astype(np.int32), shell_l=shells[:, 0],
        shell_n_prim=shells[:, 1], prim_exponent=primitives[:, 0],
        prim_coeff=primitives[:, 1], mo_coeff=np.array(rows), mo_energy=energies,
        mo_occ=np.full(n_orbitals, 2.0), title=name)
    return molecule, labels


def pyscf_molecule(name):
    """The PySCF Mole the benchmark molecule was made from, and the matrix that
    takes a library coefficient row back to PySCF's AO order and signs
    (pyscf_coefficients = matrix @ library_row)."""
    from pyscf import gto
    rings = {"benzene": make_bench_molecules.ring_centres_linear(1),
             "pentacene": make_bench_molecules.ring_centres_linear(5),
             "c96h24": make_bench_molecules.ring_centres_hexagonal(3)}[name]
    mol = gto.M(atom=make_bench_molecules.hydrocarbon(rings), basis="def2-SVP", unit="angstrom",
                verbose=0)
    # from_pyscf maps PySCF's row c to c @ P (a signed permutation), so the
    # identity's image is P, and a library row r comes back as r @ P^T = P @ r.
    signed_permutation = from_pyscf(mol, np.eye(mol.nao_nr())).mo_coeff.astype(np.float64)
    return mol, signed_permutation


def measure(call, repeats=3):
    """(result, best CPU seconds of `repeats` calls, peak extra resident memory
    in bytes over the calls).  CPU time of the process, not wall time: with
    one thread it is the cost of the call, whatever else the machine runs.  The peak is the process's high-water mark, reset
    before the calls (Linux /proc/self/clear_refs), less the resident memory
    at that moment: what the calls needed on top of what was already there."""
    gc.collect()
    baseline = _resident_kib("VmRSS")
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        reset = True
    except OSError:
        reset = False
    best = float("inf")
    result = None
    for _ in range(repeats):
        result = None
        gc.collect()
        start = time.process_time()
        result = call()
        best = min(best, time.process_time() - start)
    peak = (_resident_kib("VmHWM") - baseline) * 1024 if reset else float("nan")
    return result, best, peak


def _resident_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def real_grid(molecule, n):
    """The benchmark's cube of n^3 points around the molecule (6 bohr margin):
    origin (x, y, z) and step, as bench/kernels_bench.cpp makes it (float32)."""
    f = np.float32
    low = [min(v) for v in (molecule.atom_x, molecule.atom_y, molecule.atom_z)]
    high = [max(v) for v in (molecule.atom_x, molecule.atom_y, molecule.atom_z)]
    extent = max(f(h) - f(l) + f(12) for l, h in zip(low, high))
    step = f(extent) / f(n - 1)
    origin = [f(0.5) * (f(l) + f(h)) - f(0.5) * step * f(n - 1) for l, h in zip(low, high)]
    return [float(o) for o in origin], float(step)


def scalar_field(molecule, row, n_xyz, origin, step):
    """The library's scalar_field of coefficient row `row` on a grid, (nz, ny, nx)."""
    nx, ny, nz = n_xyz
    out = np.empty((nz, ny, nx), dtype=np.float32)
    m = molecule
    library.function("scalar_field")(
        nx, ny, nz, m.n_atoms, m.shells_per_atom, m.atom_x, origin[0], origin[1], origin[2], step,
        m.atom_y, m.atom_z, m.shell_l, m.shell_n_prim, m.prim_exponent, m.prim_coeff,
        np.ascontiguousarray(m.mo_coeff[row]), out)
    return out


def momentum_map(molecule, row, n, e_kin, k_min, k_step):
    """The library's momentum_map of coefficient row `row`, (n, n) with [i, j] at
    kx = k_min + i*k_step, ky = k_min + j*k_step."""
    out = np.empty((n, n), dtype=np.float32)
    m = molecule
    library.function("momentum_map")(
        n, m.n_atoms, m.shells_per_atom, m.atom_x, m.atom_y, m.atom_z, e_kin, k_min, k_step,
        0.0, 0.0, 0.0, m.shell_l, m.shell_n_prim, m.prim_exponent, m.prim_coeff,
        np.ascontiguousarray(m.mo_coeff[row]), out)
    return out


def megabytes(n_bytes):
    return n_bytes / 2**20

"""Writes the benchmark molecules: real molecules in real basis sets.

Three planar aromatic hydrocarbons, built in the xy plane from the centres of
their benzene rings (C-C 1.40 A, C-H 1.09 A):
  benzene      def2-SVP, converged RHF          (12 atoms)
  pentacene    def2-SVP, converged RHF          (36 atoms, d functions)
  c96h24       def2-SVP, orbitals of the core   (120 atoms, a hexagonal graphene
               Hamiltonian guess (timing only)  flake of 37 rings)
PySCF computes the orbitals; libkernels.from_pyscf (python/libkernels) turns
its basis, component order and normalisation into the library's arrays.  The
occupied frontier orbitals HOMO, HOMO-1, ... are kept.

Output: <name>.txt next to this script, plain text that the C++ benchmark
reads token by token; every float is written with 9 significant digits, so it
reads back to the same float32 bits:
  libkernels-bench-molecule 1
  name <name>
  basis <basis>
  atoms <n_atoms>            then per atom: x y z shells (bohr)
  shells <n_shells>          then per shell: l n_prim
  primitives <n_prims>       then per primitive: exponent coefficient
  orbitals <n_orbitals> <n_components>
                             then per orbital: label energy (hartree) and its
                             n_components coefficients

Run: python3 bench/data/make_bench_molecules.py  (needs pyscf and numpy;
single-threaded by default, about a minute).
"""

import os
import sys
import time

os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from pyscf import gto, scf  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))
from libkernels.formats.pyscf import from_pyscf  # noqa: E402

CC = 1.40  # angstrom
CH = 1.09
N_FRONTIER = 8  # HOMO .. HOMO-7


def ring_centres_linear(n_rings):
    """Centres of linearly fused rings (acenes) along x."""
    return [(i * CC * np.sqrt(3.0), 0.0) for i in range(n_rings)]


def ring_centres_hexagonal(shells):
    """Centres of the rings of a hexagonal flake: 1, 7, 19, 37 ... rings."""
    a1 = np.array([CC * np.sqrt(3.0), 0.0])
    a2 = np.array([CC * np.sqrt(3.0) / 2.0, CC * 1.5])
    centres = []
    for i in range(-shells, shells + 1):
        for j in range(-shells, shells + 1):
            if abs(i) <= shells and abs(j) <= shells and abs(i + j) <= shells:
                centres.append(tuple(i * a1 + j * a2))
    return centres


def hydrocarbon(centres):
    """Carbon atoms at the corners of each ring, hydrogens on the carbons with
    two carbon neighbours, pointing away from the molecule."""
    carbons = []
    for cx, cy in centres:
        for corner in range(6):
            phi = np.pi / 6.0 + corner * np.pi / 3.0  # pointy-top hexagons
            p = np.array([cx + CC * np.cos(phi), cy + CC * np.sin(phi)])
            if not any(np.linalg.norm(p - q) < 0.1 for q in carbons):
                carbons.append(p)
    carbons = np.array(carbons)
    atoms = [("C", (x, y, 0.0)) for x, y in carbons]
    for p in carbons:
        d = np.linalg.norm(carbons - p, axis=1)
        neighbours = carbons[(d > 0.1) & (d < CC * 1.1)]
        if len(neighbours) == 2:
            outward = 2 * p - neighbours.sum(axis=0)
            h = p + CH * outward / np.linalg.norm(outward)
            atoms.append(("H", (h[0], h[1], 0.0)))
    centre = carbons.mean(axis=0)
    return [(s, (x - centre[0], y - centre[1], z)) for s, (x, y, z) in atoms]


def orbitals(mol, converge):
    """(mo_coeff, mo_energy, mo_occ) of a restricted calculation: a converged
    density-fitted RHF, or the eigenvectors of the core Hamiltonian."""
    if converge:
        mf = scf.RHF(mol).density_fit()
        mf.conv_tol = 1e-7
        mf.verbose = 0
        mf.kernel()
        return mf.mo_coeff, mf.mo_energy, mf.mo_occ
    mf = scf.RHF(mol)
    energy, coeff = mf.eig(mol.intor("int1e_kin") + mol.intor("int1e_nuc"), mol.intor("int1e_ovlp"))
    return coeff, energy, mf.get_occ(energy, coeff)


def fmt(value):
    return "%.9g" % np.float32(value)


def write_molecule(path, name, basis, molecule, labels):
    lines = ["libkernels-bench-molecule 1", f"name {name}", f"basis {basis}",
             f"atoms {molecule.n_atoms}"]
    for a in range(molecule.n_atoms):
        lines.append(" ".join([fmt(molecule.atom_x[a]), fmt(molecule.atom_y[a]),
                               fmt(molecule.atom_z[a]), str(molecule.shells_per_atom[a])]))
    lines.append(f"shells {molecule.n_shells}")
    lines += [f"{l} {n}" for l, n in zip(molecule.shell_l, molecule.shell_n_prim)]
    lines.append(f"primitives {len(molecule.prim_exponent)}")
    lines += [f"{fmt(e)} {fmt(c)}" for e, c in zip(molecule.prim_exponent, molecule.prim_coeff)]
    lines.append(f"orbitals {molecule.n_orbitals} {molecule.n_components}")
    for o in range(molecule.n_orbitals):
        lines.append(f"{labels[o]} {molecule.mo_energy[o]:.9g}")
        row = molecule.mo_coeff[o]
        for start in range(0, len(row), 8):
            lines.append(" ".join(fmt(v) for v in row[start:start + 8]))
    with open(path, "w") as out:
        out.write("\n".join(lines) + "\n")


def make(name, atoms, basis, converge):
    start = time.time()
    mol = gto.M(atom=atoms, basis=basis, unit="angstrom", verbose=0)
    coeff, energy, occ = orbitals(mol, converge)
    homo = int(np.flatnonzero(occ > 0.5)[-1])
    picked = [homo - k for k in range(N_FRONTIER)]
    labels = ["HOMO"] + [f"HOMO-{k}" for k in range(1, N_FRONTIER)]
    molecule = from_pyscf(mol, coeff[:, picked], energy[picked], occ[picked])
    path = os.path.join(HERE, f"{name}.txt")
    write_molecule(path, name, basis, molecule, labels)
    print(f"{name}: {mol.natm} atoms, {molecule.n_shells} shells, {molecule.n_components} "
          f"components, HOMO {energy[homo]:.4f} Ha, {time.time() - start:.1f} s -> {path}")


def main():
    make("benzene", hydrocarbon(ring_centres_linear(1)), "def2-SVP", converge=True)
    make("pentacene", hydrocarbon(ring_centres_linear(5)), "def2-SVP", converge=True)
    make("c96h24", hydrocarbon(ring_centres_hexagonal(3)), "def2-SVP", converge=False)


if __name__ == "__main__":
    main()

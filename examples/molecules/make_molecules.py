"""Regenerates the example molecules shipped with libkernels.

Runs a restricted Hartree-Fock calculation with PySCF for each molecule and
writes its orbitals as a Molden file next to this script:

    benzene.molden     C6H6, def2-SVP
    pentacene.molden   C22H14, def2-SVP

The geometries are idealised: planar rings with C-C 1.40 A and C-H 1.08 A, the
molecular plane is xy and the long axis of pentacene lies along x, so that the
momentum maps come out in the orientation that photoemission papers use.

Usage:  python examples/molecules/make_molecules.py [--only NAME]
Needs:  pip install pyscf
"""

import argparse
import math
import os

CC_BOND = 1.40  # angstrom
CH_BOND = 1.08  # angstrom


def acene_geometry(n_rings):
    """Atoms of a linear acene with n_rings fused hexagons along x, in angstrom."""
    a = CC_BOND
    spacing = a * math.sqrt(3.0)
    centres = [((i - (n_rings - 1) / 2.0) * spacing, 0.0) for i in range(n_rings)]
    carbons = []
    for cx, cy in centres:
        for k in range(6):
            angle = math.radians(30.0 + 60.0 * k)
            p = (cx + a * math.cos(angle), cy + a * math.sin(angle))
            if all(math.dist(p, q) > 0.1 for q in carbons):
                carbons.append(p)
    atoms = [("C", x, y, 0.0) for x, y in carbons]
    # A carbon with only two carbon neighbours carries a hydrogen, pointing away
    # from the centre of the ring it belongs to.
    for x, y in carbons:
        neighbours = sum(1 for q in carbons if abs(math.dist((x, y), q) - a) < 0.05)
        if neighbours == 2:
            cx, cy = min(centres, key=lambda c: math.dist(c, (x, y)))
            d = math.dist((cx, cy), (x, y))
            ux, uy = (x - cx) / d, (y - cy) / d
            atoms.append(("H", x + CH_BOND * ux, y + CH_BOND * uy, 0.0))
    return atoms


MOLECULES = {
    "benzene": (lambda: acene_geometry(1), "def2-svp"),
    "pentacene": (lambda: acene_geometry(5), "def2-svp"),
}


def run(name, out_dir):
    from pyscf import gto, scf
    from pyscf.tools import molden

    make_atoms, basis = MOLECULES[name]
    atoms = make_atoms()
    mol = gto.M(atom=[(s, (x, y, z)) for s, x, y, z in atoms], basis=basis,
                unit="Angstrom", cart=False, verbose=3)
    mf = scf.RHF(mol).density_fit()
    mf.conv_tol = 1e-9
    mf.kernel()
    if not mf.converged:
        raise SystemExit(f"{name}: SCF did not converge")
    path = os.path.join(out_dir, f"{name}.molden")
    molden.from_scf(mf, path)
    print(f"wrote {path}: {mol.natm} atoms, {mol.nao} basis functions, E = {mf.e_tot:.8f} Eh")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", choices=sorted(MOLECULES), help="regenerate one molecule only")
    parser.add_argument("--out-dir", default=os.path.dirname(os.path.abspath(__file__)))
    args = parser.parse_args()
    for name in [args.only] if args.only else sorted(MOLECULES):
        run(name, args.out_dir)


if __name__ == "__main__":
    main()

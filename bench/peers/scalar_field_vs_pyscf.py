"""One orbital on a real-space grid: the library's scalar_field against PySCF
(mol.eval_gto on the grid's points times the orbital's coefficients), single
threaded, on the same molecule, orbital and grid.

PySCF's AO matrix of the whole grid would not fit in memory (points x basis
functions doubles), so it is evaluated in blocks of points, as PySCF's own
numerical integration does; every block size is listed, and once more with
PySCF's screening mask per block, and the fastest counts.

    python3 bench/peers/scalar_field_vs_pyscf.py [--smoke] [--molecule NAME] [--points N]
"""

import argparse

import peer_common as pc  # first: pins numpy and PySCF to one thread

import numpy as np  # noqa: E402


def pyscf_field(mol, coefficients, coords, block, screened=False):
    """With `screened`, each block first gets PySCF's own mask of the shells
    that reach its points (dft.numint.make_mask), as its numerical integration
    does; eval_gto then skips the others."""
    from pyscf.dft import numint
    out = np.empty(len(coords))
    for start in range(0, len(coords), block):
        points = coords[start:start + block]
        mask = numint.make_mask(mol, points) if screened else None
        ao = mol.eval_gto("GTOval_sph", points, non0tab=mask)
        out[start:start + block] = ao @ coefficients
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="a 24^3 grid, one block size")
    parser.add_argument("--molecule", default="pentacene")
    parser.add_argument("--points", type=int, default=100, help="grid points per axis")
    args = parser.parse_args()
    n = 24 if args.smoke else args.points
    blocks = [4096] if args.smoke else [1024, 4096, 16384, 65536]

    molecule, labels = pc.read_molecule(args.molecule)
    mol, to_pyscf = pc.pyscf_molecule(args.molecule)
    origin, step = pc.real_grid(molecule, n)
    coefficients = to_pyscf @ molecule.mo_coeff[0].astype(np.float64)  # HOMO in PySCF's AO order

    axes = [origin[d] + step * np.arange(n, dtype=np.float64) for d in range(3)]
    z, y, x = np.meshgrid(axes[2], axes[1], axes[0], indexing="ij")  # x fastest, as the library
    coords = np.ascontiguousarray(np.stack([x.ravel(), y.ravel(), z.ravel()], axis=1))
    del x, y, z

    ours, our_seconds, our_peak = pc.measure(
        lambda: pc.scalar_field(molecule, 0, (n, n, n), origin, step))
    results = []
    for block in blocks:
        theirs, seconds, peak = pc.measure(lambda: pyscf_field(mol, coefficients, coords, block),
                                           repeats=1 if n > 60 else 3)
        results.append((seconds, f"blocks of {block} points", peak, theirs))
    theirs, seconds, peak = pc.measure(lambda: pyscf_field(mol, coefficients, coords, 4096, True),
                                       repeats=1 if n > 60 else 3)
    results.append((seconds, "blocks of 4096, PySCF's screening mask", peak, theirs))
    seconds, block, peak, theirs = min(results, key=lambda r: r[0])

    difference = np.max(np.abs(ours.ravel().astype(np.float64) - theirs)) / np.max(np.abs(theirs))
    print(f"\nscalar_field vs PySCF eval_gto x coefficients: {args.molecule} ({mol.natm} atoms, "
          f"{mol.nao_nr()} basis functions, def2-SVP) {labels[0]}, {n}^3 grid, step "
          f"{step:.4f} bohr, one thread")
    print(f"{'route':<58} {'CPU s':>9} {'peak MB':>9}")
    print(f"{'libkernels scalar_field (float32)':<58} {our_seconds:9.3f} "
          f"{pc.megabytes(our_peak):9.1f}")
    for s, b, p, _ in results:
        print(f"{'PySCF eval_gto @ c, ' + b:<58} {s:9.3f} {pc.megabytes(p):9.1f}")
    print(f"speed-up against PySCF's fastest way ({block}): {seconds / our_seconds:.1f}x; "
          f"largest difference {difference:.1e} of the orbital's largest value")


if __name__ == "__main__":
    main()

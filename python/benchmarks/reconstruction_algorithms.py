"""Which phase-retrieval algorithm should `reconstruct` use by default?

Each of ER, HIO and RAAR reconstructs the same maps, simulated by the package
with Poisson noise (peak 200 counts), a 60° NaN wedge and the centre missing,
with tight and loose supports; the correlation with the truth after alignment
(python/tests/tomography_truth.py) is averaged over two noise seeds.  A 3D
case (twenty noise-free maps at 15-100 eV) closes the table.

    python python/benchmarks/reconstruction_algorithms.py     # about a minute
"""

import sys
import time
from pathlib import Path

import numpy as np

import libkernels as lk

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

from noise import poisson_counts  # noqa: E402
from tomography_truth import (aligned_correlation, band_limited_truth,  # noqa: E402
                              hemisphere_maps, hemisphere_radius, perylene)

ALGORITHMS = ("hio", "raar", "er")


def damaged(molecule, orbital, seed):
    m = lk.momentum_map_sum(molecule, [orbital], kinetic_energy=30.0, k_max=3.0, n=201)
    counts = poisson_counts(m.data, 200, seed=seed)
    kx, ky = m.kx.astype(float), m.ky.astype(float)
    angle = np.degrees(np.arctan2(ky[None, :], kx[:, None]))
    counts[(angle > 20) & (angle < 80)] = np.nan
    counts[np.hypot(kx[:, None], ky[None, :]) < 0.4] = np.nan
    return counts, kx, ky


def main():
    pentacene = lk.load_example("pentacene")
    molecules = {"pentacene": (pentacene, "HOMO"), "perylene": (perylene(), "LUMO")}
    cases = [("pentacene", "box 14 x 5", (14, 5)), ("pentacene", "box 20 x 10", (20, 10)),
             ("perylene", "outline", None), ("perylene", "box 12 x 9", (12, 9)),
             ("perylene", "shrink-wrap", "shrink-wrap")]
    print(f"{'case':34s}" + "".join(f"{a:>10s}" for a in ALGORITHMS))
    for name, label, support in cases:
        molecule, orbital = molecules[name]
        cells = []
        for algorithm in ALGORITHMS:
            found = []
            for seed in (1, 2):
                data = damaged(molecule, orbital, seed)
                result = lk.reconstruct(data, kinetic_energy=30.0, algorithm=algorithm,
                                        support=molecule if support is None else support,
                                        progress=False)
                truth = band_limited_truth(result.image, molecule, orbital,
                                           hemisphere_radius(30.0), 3.0)
                found.append(aligned_correlation(truth, result.image.values))
            cells.append(np.mean(found))
        print(f"{name + ' ' + orbital + ', ' + label:34s}"
              + "".join(f"{c:10.3f}" for c in cells), flush=True)

    energies = np.linspace(15.0, 100.0, 20)
    maps = hemisphere_maps(pentacene, "HOMO", energies)
    cells, seconds = [], []
    for algorithm in ALGORITHMS:
        clock = time.process_time()
        result = lk.reconstruct(maps, support=(14, 5, 4), algorithm=algorithm, progress=False)
        seconds.append(time.process_time() - clock)
        truth = band_limited_truth(result.image, pentacene, "HOMO", hemisphere_radius(100.0),
                                   np.inf)
        cells.append(aligned_correlation(truth, result.image.values, upsample=2))
    print(f"{'pentacene HOMO, 3D, 20 maps':34s}" + "".join(f"{c:10.3f}" for c in cells))
    print(f"{'  3D CPU seconds':34s}" + "".join(f"{s:10.1f}" for s in seconds))


if __name__ == "__main__":
    main()

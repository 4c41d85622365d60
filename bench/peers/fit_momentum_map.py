"""Fit cases: a measured map fitted with the library's maps, one thread.

Pentacene HOMO + HOMO-1 at 30 eV, a 201 x 201 synthetic measured map (k from
-3 to 3 / Å, the whole photoemission disc) with known weights, azimuth and
constant background and Poisson noise; fitted: both weights, the azimuth
(gamma) and the background, with Poisson weights.  Reported: truth, fit and
standard error; model evaluations per fit (full resolution, and those on the
subsampled map of the orientation scan) and the cost of one; the whole fit's
time.  Beside it: one model map through the real-space cube + 3D FFT route of
momentum_map_vs_fft.py (the pentacene HOMO, its default 128 x 128 case) and the
library's momentum_map on the same grid.

    python3 bench/peers/fit_momentum_map.py [--smoke] [--n N] [--repeats R]
"""

import argparse
import time

import peer_common as pc  # first: pins numpy to one thread

import numpy as np  # noqa: E402

import libkernels as lk  # noqa: E402
from libkernels.fit.linear import LinearProblem  # noqa: E402
from libkernels.fit.model import ModelSettings, OrbitalMaps  # noqa: E402
from momentum_map_vs_fft import HOMO_KINETIC_EV, fft_route  # noqa: E402

TRUTH = {"weights": (3000.0, 1500.0), "gamma": 25.0, "background": 20.0}
E_KIN = 30.0


def model_settings(molecule):
    """The fit's model: both orbitals' maps at E_KIN, no symmetrisation."""
    request = lk.MapRequest(molecule=molecule, orbitals=["HOMO", "HOMO-1"],
                            kinetic_energy=E_KIN)
    return ModelSettings(request)


def synthetic_map(molecule, n, rng):
    k = np.linspace(-3.0, 3.0, n)
    used = np.ones((n, n), dtype=bool)
    maps = OrbitalMaps(molecule, model_settings(molecule), k, k, used)
    clean = maps.columns((0.0, 0.0, TRUTH["gamma"])) @ np.array(TRUTH["weights"])
    clean = clean.reshape(n, n) + TRUTH["background"]
    return rng.poisson(clean).astype(np.float64), k


def equivalent(gamma, truth):
    """Nearest repeat of the truth under pentacene's D2h symmetry (180 deg, mirrors)."""
    repeats = [truth, -truth, 180 + truth, 180 - truth]
    return min(((gamma - r + 180) % 360 - 180 for r in repeats), key=abs) + truth


def fit_case(molecule, n, repeats):
    rng = np.random.default_rng(7)
    counts, k = synthetic_map(molecule, n, rng)

    def run():
        return lk.fit_momentum_map((counts, k, k), molecule, ["HOMO", "HOMO-1"],
                                   kinetic_energy=E_KIN, fit_angles="gamma",
                                   background="constant", poisson=True, threads=1,
                                   progress=False)

    run()  # imports scipy and warms the caches
    cpu, wall, result = [], [], None
    for _ in range(repeats):
        start_cpu, start_wall = time.process_time(), time.perf_counter()
        result = run()
        cpu.append(time.process_time() - start_cpu)
        wall.append(time.perf_counter() - start_wall)

    # Cost of one evaluation: the two orbital maps at the measured pixels and the
    # bounded linear solve, as the refinement calls it.
    measured = lk.load_measured((counts, k, k))
    used = np.ones(counts.shape, dtype=bool)
    maps = OrbitalMaps(molecule, model_settings(molecule), k, k, used)
    problem = LinearProblem(measured, used, True, ("constant",))
    _, evaluation, _ = pc.measure(lambda: problem.solve(maps.columns((0, 0, 25.0))), repeats=5)
    stride = -(-n // 64)  # the scan's subsampling, as fit/orientation_search.py chooses it
    coarse_side = -(-n // stride)
    return result, min(cpu), min(wall), evaluation, coarse_side


def fft_case(smoke):
    molecule, labels = pc.read_molecule("pentacene")
    n = 32 if smoke else 128
    spacing = 0.6 if smoke else 0.5
    f32 = np.float32
    e_kin = f32(HOMO_KINETIC_EV / pc.HARTREE_IN_EV)
    k_max = np.sqrt(f32(2) * e_kin)
    k_min, k_step = -k_max, f32(2) * k_max / f32(n - 1)
    _, ours, _ = pc.measure(lambda: pc.momentum_map(molecule, 0, n, e_kin, k_min, k_step))
    stages = {}
    (_, size), theirs, _ = pc.measure(
        lambda: fft_route(molecule, n, float(k_min), float(k_step), float(e_kin), spacing, 1.0,
                          stages), repeats=1)
    resample = stages["linear interpolation onto the hemisphere"]
    return n, spacing, size, ours, theirs, resample


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--smoke", action="store_true", help="a 61 x 61 map, coarse FFT cube")
    parser.add_argument("--n", type=int, default=201, help="measured map side")
    parser.add_argument("--repeats", type=int, default=3, help="fits timed (best counts)")
    args = parser.parse_args()
    n = 61 if args.smoke else args.n
    repeats = 1 if args.smoke else args.repeats

    molecule = lk.load_example("pentacene")
    result, cpu, wall, evaluation, coarse_side = fit_case(molecule, n, repeats)
    print(f"\nfit of a measured map: pentacene HOMO + HOMO-1, E_kin {E_KIN:.0f} eV, {n} x {n} "
          f"pixels, azimuth + weights + constant background, Poisson weights, one thread")
    print(f"{'quantity':<22}{'truth':>10}{'fit':>14}{'error':>11}")
    rows = [(f"weight {o}", t, f, e) for o, t, f, e in
            zip(result.orbitals, TRUTH["weights"], result.weights, result.weight_errors)]
    rows.append(("gamma (deg)", TRUTH["gamma"], equivalent(result.orientation[2], TRUTH["gamma"]),
                 result.orientation_errors[2]))
    rows.append(("background", TRUTH["background"], result.background[0],
                 result.background_errors[0]))
    for name, truth, fitted, error in rows:
        print(f"{name:<22}{truth:10.4g}{fitted:14.6g}{error:11.3g}")
    print(f"R-factor {result.r_factor:.3g}, reduced chi2 {result.chi2_reduced:.3f}, model grid "
          f"{result.model_grid}")
    print(f"model evaluations per fit: {result.n_evaluations} at {n} x {n} + "
          f"{result.n_scan_evaluations} in the orientation scan (subsampled to about "
          f"{coarse_side} x {coarse_side})")
    print(f"one evaluation (2 orbital maps at {n}^2 pixels + bounded linear solve): "
          f"{evaluation * 1e3:.1f} ms CPU")
    print(f"whole fit: {cpu:.2f} s CPU, {wall:.2f} s wall (best of {repeats})")

    n_fft, spacing, size, ours, theirs, resample = fft_case(args.smoke)
    print(f"one model map by the cube + FFT route (pentacene HOMO, {n_fft} x {n_fft}, cube "
          f"spacing {spacing} bohr, {size}^3 FFT): {theirs:.2f} s CPU, of which "
          f"{resample * 1e3:.0f} ms resample the hemisphere (the part a new orientation "
          f"repeats); the library's momentum_map on that grid: {ours * 1e3:.1f} ms")
    print(f"the whole fit costs {cpu / theirs:.2f} FFT-route maps")


if __name__ == "__main__":
    main()

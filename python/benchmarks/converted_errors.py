"""Whether fits of converted counting data state errors the truth bears out.

    python python/benchmarks/converted_errors.py [--draws 40] [--only maps|cube]

1. Deflector maps: pentacene's HOMO and HOMO-1 at alpha = 20 degrees plus a
   background, measured at 0.5 degree steps over +-30 degrees (peak 500 counts
   a pixel), Poisson noise, converted with lk.to_momentum and fitted (alpha
   free, errors='auto').  For each draw the pulls (fitted - truth) / error of
   the two absolute weights, the background and alpha; printed: their mean and
   the share within 1 sigma, and the bias: the pulls of the noiseless map.
2. A cube of 8 binding-energy slices at 0.5 degree steps, each its own weights
   (20 counts at the peak of a slice, 1 of background), converted and
   deconvolved at the true orientation with errors='auto' and 'poisson' (half
   as many draws); printed: the mean background pull over every slice of every
   draw and the share within 1 sigma.

The truth is made on a fine momentum grid and taken to the measured angles by
the forward transform (cubic interpolation of a 0.015 1/Å grid), never by the
converter's own inverse.  Times are wall seconds on a shared machine.
"""

import argparse
import math
import time
import warnings

import numpy as np
import xarray as xr
from scipy import interpolate

import libkernels as lk

K = math.sqrt(2 * 9.1093837015e-31 * 1.602176634e-19) / 1.054571817e-34 * 1e-10  # 1/Å/√eV
ORBITALS = ("HOMO", "HOMO-1")
ALPHA = 20.0


def truth_at(molecule, kinetic_energy, weights, background):
    """(kx, ky) -> the intensity per solid angle, from a fine grid (cubic)."""
    maps = [lk.momentum_map_sum(molecule, [o], kinetic_energy=kinetic_energy, k_max=3.0, n=401,
                                orientation=(ALPHA, 0, 0)).data.astype(np.float64)
            for o in ORBITALS]
    axis = np.linspace(-3.0, 3.0, 401)
    parts = [interpolate.RegularGridInterpolator((axis, axis), m, method="cubic",
                                                 bounds_error=False, fill_value=0.0)
             for m in maps]

    def at(kx, ky, w=weights, b=background):
        points = np.stack([kx, ky], axis=-1)
        return sum(wi * p(points) for wi, p in zip(w, parts)) + b
    return at, max(float(m.max()) for m in maps)


def deflector_angles(step, half):
    phi = np.arange(-half, half + step / 2, step)
    a, b = np.meshgrid(np.radians(phi), np.radians(phi), indexing="ij")
    eta = np.hypot(a, b)
    sinc = np.where(eta > 0, np.sin(eta) / np.where(eta > 0, eta, 1), 1.0)
    return phi, b * sinc, a * sinc, sinc  # kx = k * b sinc(eta), ky = k * a sinc(eta)


def quiet(function, *args, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", lk.LibkernelsWarning)
        return function(*args, progress=False, threads=1, **options)


def maps_case(molecule, draws, peak=500.0, step=0.5, half=30.0, kinetic_energy=30.0,
              k_range=(0.1, 2.2), fit_angles="alpha", share=0.05):
    shape, top = truth_at(molecule, kinetic_energy, (1.0, 0.0), 0.0)
    scale = peak / top  # weights in counts per unit of the map
    weights = np.array([0.6, 1.0]) * scale
    background = share * peak
    at, _ = truth_at(molecule, kinetic_energy, weights, background)
    phi, x, y, sinc = deflector_angles(step, half)
    k = K * math.sqrt(kinetic_energy)
    rate = at(k * x, k * y) * sinc
    rng = np.random.default_rng(2024)
    pulls = []
    clock = time.perf_counter()
    for draw in range(draws + 1):
        counts = xr.DataArray((rate if draw == draws else rng.poisson(rate)).astype(np.float32),
                              dims=("phi", "psi"), coords={"phi": phi, "psi": phi},
                              name="intensity")
        converted = lk.to_momentum(counts, "deflector", kinetic_energy=kinetic_energy)
        fit = quiet(lk.fit_momentum_map, converted, molecule, list(ORBITALS),
                    kinetic_energy=kinetic_energy, fit_angles=fit_angles,
                    orientation=(ALPHA + (2 if fit_angles else 0), 0, 0), k_range=k_range)
        alpha = (fit.orientation[0] - ALPHA + 90) % 180 - 90
        pulls.append([*((fit.weights - weights) / fit.weight_errors),
                      (fit.background[0] - background) / fit.background_errors[0],
                      alpha / fit.orientation_errors[0] if fit_angles else 0.0])
    pulls = np.array(pulls)
    bias, pulls = pulls[-1], pulls[:-1]
    seconds = (time.perf_counter() - clock) / (draws + 1)
    print(f"deflector maps, {step} degree steps, peak {peak:g} counts, {draws} draws "
          f"(errors {fit.errors}, model grid {fit.model_grid}, {seconds:.1f} s a draw); "
          "noiseless bias in errors (weights, background, alpha): "
          + ", ".join(f"{b:+.3f}" for b in bias))
    for name, column in zip(("weight HOMO", "weight HOMO-1", "background", "alpha"), pulls.T):
        print(f"  {name:14s} pull mean {column.mean():+.2f}  spread {column.std(ddof=1):.2f}  "
              f"within 1 sigma {np.mean(np.abs(column) <= 1):.0%}")
    return pulls


def cube_case(molecule, draws, slices=8, peak=20.0, bg=1.0, step=0.5, half=30.0, photon=35.0,
              work=4.5):
    binding = np.linspace(1.0, 1.7, slices)
    shares = np.stack([np.linspace(1.0, 0.2, slices), np.linspace(0.2, 1.0, slices)], axis=1)
    background = bg
    phi, x, y, sinc = deflector_angles(step, half)
    rates = []
    truths = []
    for s, eb in enumerate(binding):
        energy = photon - work - eb
        shape, top = truth_at(molecule, energy, (1.0, 0.0), 0.0)
        weights = shares[s] * peak / top
        at, _ = truth_at(molecule, energy, weights, background)
        k = K * math.sqrt(energy)
        rates.append(at(k * x, k * y) * sinc)
        truths.append(weights)
    rates = np.array(rates)
    rng = np.random.default_rng(77)
    found = {"auto": [], "poisson": []}
    clock = time.perf_counter()
    for _ in range(draws):
        counts = xr.DataArray(rng.poisson(rates).astype(np.float32),
                              dims=("binding_energy", "phi", "psi"),
                              coords={"binding_energy": binding, "phi": phi, "psi": phi},
                              name="intensity",
                              attrs={"photon_energy": photon, "work_function": work})
        converted = lk.to_momentum(counts, "deflector", photon_energy=photon, work_function=work)
        for errors in found:
            result = quiet(lk.deconvolve, converted, molecule, list(ORBITALS),
                           orientation=(ALPHA, 0, 0), errors=errors, k_range=(0.1, 2.2))
            found[errors].append((result.background[:, 0] - background)
                                 / result.background_errors[:, 0])
    seconds = (time.perf_counter() - clock) / draws
    print(f"deconvolution of converted Poisson cubes, {slices} slices, peak {peak:g} counts, "
          f"{draws} draws ({seconds:.1f} s a draw):")
    for errors, pulls in found.items():
        pulls = np.concatenate(pulls)
        print(f"  errors={errors:8s} background pull mean {pulls.mean():+.2f}  "
              f"spread {pulls.std(ddof=1):.2f}  within 1 sigma {np.mean(np.abs(pulls) <= 1):.0%}")
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--draws", type=int, default=40)
    parser.add_argument("--only", choices=("maps", "cube"))
    args = parser.parse_args()
    molecule = lk.load_example("pentacene")
    if args.only in (None, "maps"):
        maps_case(molecule, args.draws)
    if args.only in (None, "cube"):
        cube_case(molecule, max(args.draws // 2, 1))


if __name__ == "__main__":
    main()

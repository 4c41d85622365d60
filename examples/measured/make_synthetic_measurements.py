"""Writes the synthetic "measured" files used by the README and the fit examples:

  pentacene_map.npz    one 201 x 201 map, k from -3 to 3 / Å, E_kin 30 eV:
                       3000 x HOMO + 1500 x HOMO-1, the molecule turned by
                       gamma = 25 deg, 20 counts of background, Poisson counts,
                       a dead detector column and a masked corner (NaN)
  pentacene_map.nc     the same as NetCDF (dimensions kx, ky; 1/angstrom)
  pentacene_stack.npz  15 slices, 61 x 61, binding energy 5 ... 8.5 eV at a
                       photon energy of 35 eV and work function 4.5 eV; HOMO and
                       HOMO-1 weights are Gaussians centred at 5.7 and 7.7 eV

    PYTHONPATH=python python3 examples/measured/make_synthetic_measurements.py
"""

import os

import numpy as np

import libkernels as lk
from libkernels.fit.model import OrbitalMaps

HERE = os.path.dirname(os.path.abspath(__file__))
ORBITALS = ["HOMO", "HOMO-1"]
ORIENTATION = (0.0, 0.0, 25.0)


def maps(molecule, k, e_kin):
    used = np.ones((k.size, k.size), dtype=bool)
    columns = OrbitalMaps(molecule, ORBITALS, k, k, used, kinetic_energy=e_kin).columns(
        ORIENTATION)
    return columns.T.reshape(len(ORBITALS), k.size, k.size)


def main():
    rng = np.random.default_rng(2026)
    molecule = lk.load_example("pentacene")

    k = np.linspace(-3.0, 3.0, 201)
    counts = rng.poisson(np.tensordot([3000.0, 1500.0], maps(molecule, k, 30.0), 1) + 20.0)
    intensity = counts.astype(np.float32)
    intensity[:, 150:153] = np.nan  # a dead column of the detector
    intensity[:30, :30] = np.nan  # a corner outside the field of view
    np.savez_compressed(os.path.join(HERE, "pentacene_map.npz"), intensity=intensity, kx=k,
                        ky=k)
    lk.load_measured((intensity, k, k)).to_xarray().to_netcdf(
        os.path.join(HERE, "pentacene_map.nc"), engine="h5netcdf",
        encoding={"intensity": {"zlib": True}})

    k = np.linspace(-3.0, 3.0, 61)
    binding = np.linspace(5.0, 8.5, 15)
    profiles = np.stack([3000 * np.exp(-0.5 * ((binding - 5.7) / 0.35) ** 2),
                         2000 * np.exp(-0.5 * ((binding - 7.7) / 0.4) ** 2)], axis=1)
    stack = [rng.poisson(np.tensordot(w, maps(molecule, k, 35.0 - 4.5 - e), 1) + 10.0)
             for e, w in zip(binding, profiles)]
    np.savez_compressed(os.path.join(HERE, "pentacene_stack.npz"),
                        intensity=np.array(stack, dtype=np.uint16), kx=k, ky=k,
                        binding_energy=binding)


if __name__ == "__main__":
    main()

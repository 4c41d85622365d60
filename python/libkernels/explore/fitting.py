"""The page's "fit" button: the selected orbitals' weights, a constant background
and chosen orientation angles (the azimuth α by default) fitted to the uploaded
measured map, with the residual measured − model sent back for display.

A measured map is one binding-energy slice: all orbitals share one kinetic
energy.  It is the one entered for the fit, else the one the file states
(kinetic_energy; or photon_energy - work_function - the binding energy, the
file's or the first selected orbital's).  Never the page's own energy
settings, which describe the computed maps: a fit at the wrong energy is a
wrong fit without a warning.  Without either the fit is refused, asking for it."""

from __future__ import annotations

import importlib.util
from typing import TYPE_CHECKING, Any, Dict, Optional, Sequence, Tuple

import numpy as np

from ..core.energies import Energies
from ..core.errors import InputError, RequestError
from ..core.types import Float32Array, Float64Array
from ..fit.request import FitRequest

if TYPE_CHECKING:
    from .molecules import Entry
    from .settings import Settings

# An uploaded measured map: (intensity[i, j] at (kx[i], ky[j]), kx, ky, the
# energies its file states in eV).
Measured = Tuple[Float32Array, Float64Array, Float64Array, Dict[str, float]]
NO_ENERGY = ("the measured map states no kinetic energy (attributes kinetic_energy, or "
             "photon_energy with work_function): enter the kinetic energy it was measured at")


def fit_energy(measured: Measured, entry: Entry, rows: Sequence[int],
               entered: Optional[float]) -> Tuple[float, str]:
    """(E_kin in eV, where it comes from: 'entered' or 'file')."""
    if entered is not None:
        return float(entered), "entered"
    try:
        stated = Energies.stated(measured[3])
        orbital = stated.in_unit(-entry.molecule.mo_energy[list(rows[:1])])
        energy = float(stated.kinetic(1, orbital)[0])
    except InputError:
        raise RequestError(NO_ENERGY) from None
    if energy > 0:
        return energy, "file"
    raise RequestError(NO_ENERGY)


def available() -> bool:
    """Whether this installation can fit (the fit needs scipy, the 'fit' extra)."""
    return importlib.util.find_spec("scipy") is not None


def fit(measured: Measured, settings: Settings, entry: Entry, angles: Sequence[str],
        kinetic_energy: Optional[float] = None) -> Tuple[Float32Array, Dict[str, Any]]:
    """(residual as float32 on the measured pixels, the fitted values for the page,
    with its warnings and the kinetic energy used)."""
    if not available():
        raise RequestError("fitting is not available in this installation: "
                           "pip install 'libkernels[fit]'", 404)
    intensity, kx, ky, _ = measured
    molecule = entry.molecule
    rows = [r for r, _ in settings["orbitals"]]
    energy, energy_source = fit_energy(measured, entry, rows, kinetic_energy)
    try:
        result = FitRequest(
            measured=(intensity, kx, ky), molecule=molecule, orbitals=rows,
            kinetic_energy=energy,
            symmetry=None if settings["symmetry"] == "none" else int(settings["symmetry"]),
            polarisation=None if settings["polarisation"] == "none" else settings["polarisation"],
            incidence=settings["incidence"], azimuth=settings["azimuth"],
            s_share=settings["s_share"], orientation=tuple(settings["orientation"]),
            fit_angles=",".join(angles) or None, background="constant", threads=1,
            progress=False).fit()
    except ValueError as error:
        raise RequestError(str(error).splitlines()[0]) from None
    values = result.to_dict()
    info = {key: values[key] for key in ("weights", "weight_errors", "orientation",
                                         "orientation_errors", "background", "r_factor",
                                         "chi2_reduced", "kinetic_energy_ev", "n_pixels",
                                         "model_grid", "warnings", "elapsed_seconds",
                                         "goodness", "errors")}
    info.update(orbitals=rows, shape=list(result.residual.shape), energy_source=energy_source,
                kx=[float(kx[0]), float(kx[1] - kx[0])], ky=[float(ky[0]), float(ky[1] - ky[0])])
    return np.asarray(result.residual, dtype=np.float32), info

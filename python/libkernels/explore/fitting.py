"""The page's "fit" button: the selected orbitals' weights, a constant background
and chosen orientation angles (the azimuth α by default) fitted to the uploaded
measured map, with the residual measured − model sent back for display."""

from __future__ import annotations

import importlib.util
from typing import TYPE_CHECKING, Any, Dict, Sequence, Tuple

import numpy as np

from ..core.errors import RequestError
from ..core.types import Float32Array, Float64Array
from ..core.units import HARTREE_IN_EV
from ..fit.fitting import FitRequest

if TYPE_CHECKING:
    from .molecules import Entry
    from .settings import Settings

# An uploaded measured map: (intensity[i, j] at (kx[i], ky[j]), kx, ky).
Measured = Tuple[Float32Array, Float64Array, Float64Array]


def available() -> bool:
    """Whether this installation can fit (the fit needs scipy, the 'fit' extra)."""
    return importlib.util.find_spec("scipy") is not None


def fit(measured: Measured, settings: Settings, entry: Entry,
        angles: Sequence[str]) -> Tuple[Float32Array, Dict[str, Any]]:
    """(residual as float32 on the measured pixels, the fitted values for the page)."""
    if not available():
        raise RequestError("fitting is not available in this installation: "
                           "pip install 'libkernels[fit]'", 404)
    intensity, kx, ky = measured
    molecule = entry.molecule
    rows = [r for r, _ in settings["orbitals"]]
    # A measured map is one binding-energy slice: all orbitals share one kinetic
    # energy, given directly or that of the first selected orbital.
    if settings["energy_mode"] == "kinetic":
        energy = dict(kinetic_energy=settings["kinetic_energy"])
    else:
        energy = dict(photon_energy=settings["photon_energy"],
                      work_function=settings["work_function"],
                      binding_energy=-float(molecule.mo_energy[rows[0]]) * HARTREE_IN_EV)
    try:
        result = FitRequest(
            measured=(intensity, kx, ky), molecule=molecule, orbitals=rows, **energy,
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
                                         "model_grid", "warnings", "elapsed_seconds")}
    info.update(orbitals=rows, shape=list(result.residual.shape),
                kx=[float(kx[0]), float(kx[1] - kx[0])], ky=[float(ky[0]), float(ky[1] - ky[0])])
    return np.asarray(result.residual, dtype=np.float32), info

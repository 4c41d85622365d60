"""Photon-energy scans to (k_par, kz): the free-electron final state.

A cut along the slit angle phi measured at many photon energies hv reaches,
for a photoelectron of kinetic energy E_kin = hv - W - E_B inside a crystal
(or a molecular film) of inner potential V0,

    k_par = c sqrt(E_kin) sin(phi),   kz = c sqrt(E_kin cos^2(phi) + V0)

with c = 0.5123 1/Å per sqrt(eV) (geometry.K_PER_SQRT_EV).  The inverse is
closed: E_kin = (kz^2 + k_par^2) / c^2 - V0, sin(phi) = k_par / (c sqrt(E_kin)),
and the photon energy is found where the rule's kinetic energies along the hv
axis (core/energies.py, E_kin = hv - W - E_B) reach E_kin.  Each energy slice (hv x phi) is resampled
bilinearly onto one lattice of (kz, k_par) = step * integer, its variances
by the weights squared (counts per measured pixel: no Jacobian), NaN outside
the measured photon energies and angles.  The inner potential and the work
function are needed (given, or the file's); a window of binding energies sums
its slices into one (kz, k_par) map.
"""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any, Dict, Tuple

import numpy as np

from ..core.energies import Energies
from ..core.errors import InputError, MeasuredDataError
from .axes import Placed
from .geometry import K_PER_SQRT_EV
from .resample import AngleAxis, lattice
from .settings import Conversion
from .slices import described, describe_window, expected_counts_variance, stated_energies

if TYPE_CHECKING:
    from ..core.types import Float64Array

__all__ = ["convert_photon_scan", "kz_of"]


def kz_of(kinetic: Any, angle: Any, inner_potential: float) -> Any:
    """kz (1/Å) of a free-electron final state: kinetic energy (eV), polar emission
    angle (radians) and inner potential (eV)."""
    return K_PER_SQRT_EV * np.sqrt(kinetic * np.cos(angle) ** 2 + inner_potential)


def _bilinear(fa: Float64Array, fb: Float64Array, values: Float64Array,
              variances: Float64Array) -> Tuple[Float64Array, Float64Array]:
    invalid = np.isnan(fa) | np.isnan(fb)
    fa, fb = np.where(invalid, 0, fa), np.where(invalid, 0, fb)
    na, nb = values.shape
    i0 = np.minimum(fa.astype(np.intp), max(na - 2, 0))
    j0 = np.minimum(fb.astype(np.intp), max(nb - 2, 0))
    ta, tb = fa - i0, fb - j0
    i1, j1 = np.minimum(i0 + 1, na - 1), np.minimum(j0 + 1, nb - 1)
    weights = ((1 - ta) * (1 - tb), (1 - ta) * tb, ta * (1 - tb), ta * tb)
    corners = ((i0, j0), (i0, j1), (i1, j0), (i1, j1))
    out = sum(w * values[i, j] for w, (i, j) in zip(weights, corners))
    var = sum(w * w * variances[i, j] for w, (i, j) in zip(weights, corners))
    out = np.where(invalid, np.nan, out)
    var = np.where(invalid, np.nan, var)
    return out, var


def convert_photon_scan(xr: Any, placed: Placed, conversion: Conversion, label: str) -> Any:
    """The scan on ((energy,) kz, k_par) (module notes), as convert() returns data."""
    angles = placed.angle_dims()
    if len(angles) != 1:
        raise MeasuredDataError(f"{label}: a photon-energy scan is converted to kz as cuts "
                                f"along one angle; the data have {', '.join(angles) or 'none'}"
                                f" (dimensions found: {placed.found})")
    angle = angles[0]
    stated = stated_energies(placed)
    energies = conversion.energies.over(stated)
    if energies.inner_potential is None:
        raise InputError("inner_potential", f"is missing: {label} is a photon-energy scan, "
                                            "whose kz needs the inner potential V0 (eV)")
    if energies.work_function is None:
        raise InputError("work_function", f"is missing: {label} is a photon-energy scan "
                                          "and records no work function (E_kin = hv - W - "
                                          "E_B)")
    v0, work = float(energies.inner_potential), float(energies.work_function)
    dim = placed.energy_dim()
    if dim == "kinetic_energy":
        raise MeasuredDataError(f"{label}: a photon-energy scan on a kinetic-energy axis; "
                                "kz needs binding energies (or E - E_F)")
    binding = np.zeros(1) if dim is None else np.asarray(placed.data[dim].values, np.float64)
    if dim == "energy_above_fermi":
        binding = -binding
    order = ((dim,) if dim else ()) + ("photon_energy", angle)
    values = np.asarray(placed.data["intensity"].transpose(*order).values, dtype=np.float64)
    sigma = placed.data["sigma"].transpose(*order).values if "sigma" in placed.data else None
    if dim is None:
        values = values[None]
        sigma = None if sigma is None else np.asarray(sigma)[None]
    hv = AngleAxis(np.asarray(placed.data["photon_energy"].values, dtype=np.float64))
    offset = float((conversion.angle_offsets or {}).get(angle, 0.0))
    phi = AngleAxis(np.radians(np.asarray(placed.data[angle].values, np.float64) - offset))
    selected = np.arange(binding.size)
    if conversion.energy_window is not None:
        if dim is None:
            raise InputError("energy_window", f"needs an energy axis; {label} has none")
        low, high = conversion.energy_window
        step = float(np.median(np.abs(np.diff(binding)))) if binding.size > 1 else 0.0
        tolerance = 1e-3 * step
        selected = np.flatnonzero((binding >= low - tolerance) & (binding <= high + tolerance))
        if selected.size == 0:
            raise InputError("energy_window", f"{low:g} to {high:g} eV holds no slice of "
                                              f"{label} (binding energies {binding.min():g} to "
                                              f"{binding.max():g} eV)")
    # each slice's kinetic energy at each photon energy, by the one rule (core/energies.py)
    kinetic = np.stack([Energies(photon_energy=float(h), work_function=work,
                                 binding_energy=tuple(binding[selected])).kinetic(selected.size)
                        for h in hv.values])
    if np.any(kinetic <= 0):
        raise InputError("work_function", f"leaves kinetic energies down to {kinetic.min():g} "
                                          f"eV for {label}; they must be positive")
    c = K_PER_SQRT_EV
    e_low, e_high = float(kinetic.min()), float(kinetic.max())
    top = float(np.max(np.abs(phi.values)))
    k_par_range = (c * math.sqrt(e_high) * math.sin(phi.values[0]),
                   c * math.sqrt(e_high) * math.sin(phi.values[-1]))
    kz_range = (float(kz_of(e_low, top, v0)), float(kz_of(e_high, 0.0, v0)))
    step = conversion.k_step or min(c * math.sqrt(e_low) * abs(phi.step) * math.cos(top),
                                    c * abs(hv.step) / (2 * math.sqrt(e_high + v0)))
    k_par = lattice(*k_par_range, step)
    kz = lattice(*kz_range, step)
    p, z = np.meshgrid(k_par, kz, indexing="xy")  # shape (kz, k_par)
    e_kin = (z * z + p * p) / (c * c) - v0
    with np.errstate(invalid="ignore", divide="ignore"):
        sin_phi = p / (c * np.sqrt(e_kin))
        angle_of = np.where((e_kin > 0) & (np.abs(sin_phi) <= 1), np.arcsin(
            np.clip(sin_phi, -1, 1)), np.nan)
    fb = phi.index(np.where(np.isfinite(angle_of), angle_of, phi.values[0] - 1))
    fb[~np.isfinite(angle_of)] = np.nan
    out = np.empty((selected.size,) + p.shape)
    var = np.empty_like(out)
    for row, s in enumerate(selected):
        counts = values[s]
        variances = np.square(np.asarray(sigma[s], np.float64)) if sigma is not None else \
            expected_counts_variance(counts).astype(np.float64)
        # the photon energy reaching e_kin: the rule's kinetic energies along the hv axis
        # (ascending with hv) inverted by interpolation
        fa = np.interp(e_kin, kinetic[:, row], np.arange(hv.values.size, dtype=np.float64),
                       left=np.nan, right=np.nan)
        out[row], var[row] = _bilinear(fa, fb, counts, variances)
    attrs: Dict[str, Any] = {
        "source": label, "inner_potential": v0, "work_function": work,
        "photon_energies": [float(hv.values[0]), float(hv.values[-1]), int(hv.values.size)],
        "kz_formula": "kz = 0.5123 sqrt(E_kin cos^2(phi) + V0), E_kin = hv - W - E_B",
        "kinetic_energy_range": [e_low, e_high],
        "units": "counts per measured (hv, angle) pixel (interpolated; no Jacobian)",
        "layout": "intensity[..., j, i] at (kz[j], k_par[i])"}
    coords: Dict[str, Any] = {"kz": ("kz", kz, {"units": "1/angstrom"}),
                              "k_par": ("k_par", k_par, {"units": "1/angstrom"})}
    if conversion.energy_window is not None or dim is None:
        out, var = out.sum(axis=0), var.sum(axis=0)
        dims: Tuple[str, ...] = ("kz", "k_par")
        coords["binding_energy"] = ((), float(np.mean(binding[selected])), {"units": "eV"})
    else:
        coords["binding_energy"] = ("binding_energy", binding, {"units": "eV"})
        dims = ("binding_energy", "kz", "k_par")
    dataset = xr.Dataset({"intensity": (dims, out.astype(np.float32), {}),
                          "sigma": (dims, np.sqrt(var).astype(np.float32), {})},
                         coords=coords, attrs=attrs)
    if conversion.energy_window is not None:
        describe_window(dataset.attrs, "binding", binding[selected])
    return described(dataset, placed, None)

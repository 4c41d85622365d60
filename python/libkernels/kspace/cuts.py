"""Cuts: data measured along one angle (an energy x angle band cut, or a single
angle profile) to energy x parallel momentum along the slit.

Each slice at its own kinetic energy E_kin has, at the slit angle phi (after its
offset), the direction v_S of its set-up (geometry.py) with the set-up's other
angle held at its fixed value; without a geometry, the slit at normal emission
(v_S = (0, sin phi, cos phi)).  The momentum along the slit is

    k_par = K(E_kin) * v_S,y   (v_S,x for the tilt set-up, whose slit runs along kx)

and the momentum across it, k_perp, is kept as a coordinate on (energy, k_par):
the model's map is evaluated at (k_perp, k_par) (or (k_par, k_perp) for tilt) of
each point (libkernels map --cut, requests/cuts.py).  Every slice is
interpolated linearly onto one lattice k_par = step * integer (the step: the
angle step at the highest kinetic energy, or --k-step), its variances by the
weights squared; nothing is divided by a Jacobian: the intensity stays counts
per measured angle step, as the file holds them.
"""

from __future__ import annotations

import math
import warnings
from typing import TYPE_CHECKING, Any, Dict, Tuple

import numpy as np

from ..core.errors import MeasuredDataError
from .axes import Placed
from .geometry import Geometry, k_of_energy
from .resample import AngleAxis, lattice
from .settings import Conversion
from .slices import (SliceEnergies, describe_window, described, expected_counts_variance,
                     selected_slices)

if TYPE_CHECKING:
    from ..core.types import Float64Array

__all__ = ["convert_cut", "along_slit"]


def along_slit(geometry: Geometry, angles: Float64Array, other: float
               ) -> Tuple[Float64Array, Float64Array]:
    """(along, across) per unit of K of the directions at slit angles `angles`
    (radians, after offsets), the set-up's other angle at `other` (radians)."""
    x, y, _ = geometry.direction(angles, np.full_like(angles, other))
    return (x, y) if geometry.kind == "tilt" else (y, x)


def _interpolate(k: Float64Array, measured_k: Float64Array, values: Float64Array,
                 variances: Float64Array) -> Tuple[Float64Array, Float64Array]:
    """values and variances at k, linear between the measured points (NaN outside)."""
    index = np.interp(k, measured_k, np.arange(measured_k.size, dtype=np.float64),
                      left=np.nan, right=np.nan)
    valid = np.isfinite(index)
    i0 = np.minimum(np.where(valid, index, 0).astype(np.intp), measured_k.size - 2)
    t = np.where(valid, index, 0) - i0
    out = (1 - t) * values[i0] + t * values[i0 + 1]
    var = (1 - t) ** 2 * variances[i0] + t ** 2 * variances[i0 + 1]
    out[~valid] = np.nan
    var[~valid] = np.nan
    return out, var


def convert_cut(xr: Any, placed: Placed, conversion: Conversion, energies: SliceEnergies,
                label: str) -> Any:
    """The cut on (energy,) k_par (module notes), as convert() returns data."""
    angle = placed.angle_dims()[0]
    if conversion.geometry == "polar-azimuth":
        raise MeasuredDataError(f"{label}: a cut along {angle} has no slit for the "
                                "polar-azimuth set-up; give deflector, polar or tilt")
    if conversion.geometry is not None:
        geometry = Geometry(str(conversion.geometry), dict(conversion.angle_offsets or {}),
                            float(conversion.sample_azimuth), placed.fixed)
        slit, second = geometry.scanned
        if angle != slit:
            raise MeasuredDataError(f"{label}: a cut of the {geometry.kind} set-up runs along "
                                    f"{slit}; the data's angle is {angle} (dimensions found: "
                                    f"{placed.found})")
        other = math.radians(float(placed.fixed.get(second, 0.0)) - geometry.offset(second))
        assumed = ""
    else:
        geometry = Geometry("deflector", dict(conversion.angle_offsets or {}))
        other = 0.0
        assumed = (f"no geometry given: the cut taken along the slit at normal emission "
                   f"(k_par = K sin {angle})")
    dim = placed.energy_dim()
    order = ((dim,) if dim else ()) + (angle,)
    values = np.asarray(placed.data["intensity"].transpose(*order).values, dtype=np.float64)
    sigma = placed.data["sigma"].transpose(*order).values if "sigma" in placed.data else None
    if dim is None:
        values = values[None]
        sigma = None if sigma is None else np.asarray(sigma)[None]
    if sigma is not None:
        variances = np.square(np.asarray(sigma, dtype=np.float64))
    elif values.shape[0] > 1:
        variances = expected_counts_variance(values).astype(np.float64)
    else:
        variances = np.maximum(values, 1.0)
    axis = AngleAxis(np.radians(np.asarray(placed.data[angle].values, dtype=np.float64)
                                - geometry.offset(angle)))
    along, across = along_slit(geometry, axis.values, other)
    if not np.all(np.diff(along) > 0):
        raise MeasuredDataError(f"{label}: the momentum along the slit does not rise with "
                                f"{angle} at the fixed angles given")
    selected, window = selected_slices(placed, energies, conversion.energy_window, label)
    kinetic = energies.kinetic[selected]
    k_top = k_of_energy(float(np.max(kinetic)))
    step = conversion.k_step or k_top * abs(axis.step) * float(np.min(np.cos(axis.values)))
    k_par = lattice(k_top * along[0], k_top * along[-1], step)
    out = np.empty((selected.size, k_par.size))
    var = np.empty_like(out)
    perp = np.empty_like(out)
    for row, s in enumerate(selected):
        k = k_of_energy(float(energies.kinetic[s]))
        out[row], var[row] = _interpolate(k_par, k * along, values[s], variances[s])
        perp[row] = np.interp(k_par, k * along, k * across, left=np.nan, right=np.nan)
    attrs: Dict[str, Any] = {
        "source": label, "cut_along": angle, "geometry": conversion.geometry or "none",
        "units": "counts per measured angle step (interpolated along the slit; no Jacobian)",
        "layout": "intensity[e, i] at (energy[e], k_par[i]); k_perp[e, i] across the slit"}
    for name in ("photon_energy", "work_function"):
        if getattr(energies, name) is not None:
            attrs[name] = float(getattr(energies, name))
    coords: Dict[str, Any] = {"k_par": ("k_par", k_par, {"units": "1/angstrom"})}
    binding = None if energies.binding is None else energies.binding[selected]
    if window is not None:
        out, var = out.sum(axis=0), var.sum(axis=0)
        with np.errstate(invalid="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # columns outside every slice
            perp = np.nanmean(perp, axis=0)
        dims: Tuple[str, ...] = ("k_par",)
        coords["k_perp"] = ("k_par", perp, {"units": "1/angstrom"})
        attrs["kinetic_energy"] = float(np.mean(kinetic))
    elif dim is None:
        out, var, perp = out[0], var[0], perp[0]
        dims = ("k_par",)
        coords["k_perp"] = ("k_par", perp, {"units": "1/angstrom"})
        attrs["kinetic_energy"] = float(kinetic[0])
    else:
        name = "binding_energy" if binding is not None else "kinetic_energy"
        coords[name] = (name, binding if binding is not None else kinetic, {"units": "eV"})
        if binding is not None:
            coords["kinetic_energy"] = (name, kinetic, {"units": "eV"})
        coords["k_perp"] = ((name, "k_par"), perp, {"units": "1/angstrom"})
        dims = (name, "k_par")
    dataset = xr.Dataset({"intensity": (dims, out.astype(np.float32), {}),
                          "sigma": (dims, np.sqrt(var).astype(np.float32), {})},
                         coords=coords, attrs=attrs)
    if window is not None:
        describe_window(dataset.attrs, window[0], window[1])
    dataset.attrs["k_extent"] = [round(float(k_top * along[0]), 6),
                                 round(float(k_top * along[-1]), 6)]
    dataset = described(dataset, placed, energies)
    if assumed:
        dataset.attrs["assumed"] = "; ".join(v for v in (dataset.attrs["assumed"], assumed) if v)
    return dataset

"""The model along a measured cut: `libkernels map MOLECULE --cut NAME_k.nc`.

A cut converted by `libkernels convert` (kspace/cuts.py) holds, for each energy
slice, its kinetic energy and, at every k_par of the lattice along the slit, the
momentum across it (`k_perp`).  The model's map of the chosen orbitals (their
weighted sum, at the map request's orientation, light and damping) is computed
at each slice's own kinetic energy on a square grid that covers the cut, and read
at the cut's points (kx, ky) = (k_perp, k_par) (slit along ky; (k_par, k_perp)
for the tilt set-up, whose slit runs along kx) by bilinear interpolation.  The
result, `model` on the cut's own (energy, k_par), saves itself as
NAME_model.nc with its record, beside which the measured cut can be compared.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass, field, replace
from typing import TYPE_CHECKING, Any, Dict, Tuple

import numpy as np

from ..core.errors import InputError, MeasuredDataError
from ..core.extras import NETCDF_WRITER, require_all
from ..core.grids import require_xarray
from ..core.record import to_attributes
from ..formats.outputs import output_folder
from .base import Inputs

if TYPE_CHECKING:
    from ..core.types import Float64Array, PathLike

__all__ = ["CutModel", "model_on_cut", "MAX_SIDE"]

MAX_SIDE = 201  # the model grid's side at most (its step then coarser than the cut's)


@dataclass
class CutModel:
    """The model on a cut's (energy, k_par) points (`dataset`: `model`), its record."""

    dataset: Any
    record: Dict[str, Any] = field(default_factory=dict)
    name: str = "cut_model.nc"

    def save(self, directory: PathLike = ".") -> str:
        """Writes DIR/NAME_model.nc, the record in its attributes; returns its path."""
        require_all(NETCDF_WRITER, "netcdf", "writing the model on a cut")
        target = os.path.join(output_folder(directory), self.name)
        out = self.dataset.copy()
        out.attrs.update(to_attributes(self.record))
        out.to_netcdf(target, engine="h5netcdf")
        return target


def _bilinear(square: Float64Array, k_min: float, step: float, x: Float64Array,
              y: Float64Array) -> Float64Array:
    n = square.shape[0]
    fx, fy = (x - k_min) / step, (y - k_min) / step
    valid = np.isfinite(fx) & np.isfinite(fy) & (fx >= 0) & (fy >= 0) & (fx <= n - 1) & \
        (fy <= n - 1)
    fx, fy = np.where(valid, fx, 0), np.where(valid, fy, 0)
    i0 = np.minimum(fx.astype(np.intp), n - 2)
    j0 = np.minimum(fy.astype(np.intp), n - 2)
    tx, ty = fx - i0, fy - j0
    value = ((1 - tx) * (1 - ty) * square[i0, j0] + (1 - tx) * ty * square[i0, j0 + 1]
             + tx * (1 - ty) * square[i0 + 1, j0] + tx * ty * square[i0 + 1, j0 + 1])
    return np.where(valid, value, np.nan)


def _cut_points(cut: Any, label: str) -> Tuple[Float64Array, Float64Array, Float64Array, str]:
    """(kinetic energy per slice, kx and ky of each point (slice, k_par), the energy
    dimension) of a converted cut."""
    if "k_par" not in cut.dims or "k_perp" not in cut.coords:
        raise MeasuredDataError(f"{label}: not a converted cut (no k_par axis with k_perp); "
                                "convert an energy x angle cut with libkernels convert")
    dims = [d for d in cut["intensity"].dims if d != "k_par"]
    energy_dim = dims[0] if dims else ""
    if "kinetic_energy" in cut.coords:
        kinetic = np.atleast_1d(np.asarray(cut["kinetic_energy"].values, dtype=np.float64))
    elif "kinetic_energy" in cut.attrs:
        kinetic = np.atleast_1d(float(cut.attrs["kinetic_energy"]))
    else:
        raise MeasuredDataError(f"{label}: the cut states no kinetic energies")
    k_par = np.asarray(cut["k_par"].values, dtype=np.float64)
    k_perp = np.asarray(cut["k_perp"].values, dtype=np.float64).reshape(kinetic.size, -1)
    along = np.broadcast_to(k_par, k_perp.shape)
    if str(cut.attrs.get("geometry", "")) == "tilt":
        return kinetic, along, k_perp, energy_dim
    return kinetic, np.nan_to_num(k_perp, nan=np.nan), along, energy_dim


def model_on_cut(request: Any) -> CutModel:
    """The model of a map request (MapRequest with `cut` set) on its cut's points."""
    xr = require_xarray()
    inputs = Inputs(request)
    cut = inputs.read("cut", lambda path: xr.load_dataset(path, engine="h5netcdf"))
    label = os.fspath(request.cut)
    kinetic, kx, ky, energy_dim = _cut_points(cut, label)
    if not np.all(kinetic > 0):
        raise InputError("cut", f"{label}: kinetic energies must be positive")
    reach = float(np.nanmax(np.abs(np.concatenate([kx.ravel(), ky.ravel()]))))
    step = float(np.median(np.diff(cut["k_par"].values)))
    n = min(MAX_SIDE, max(3, 2 * math.ceil(reach / step) + 1))
    k_max = reach * 1.0001
    molecule = request.read_molecule(inputs)
    model = np.empty(kx.shape)
    for row, energy in enumerate(kinetic):
        single = replace(request, cut=None, kinetic_energy=float(energy), photon_energy=None,
                         work_function=None, binding_energy=None, energy_unit="eV",
                         k_unit="1/angstrom", k_max=k_max, n=n, k_min=None, k_step=None,
                         separate_orbitals=False, progress=False)
        summed = single.run()[0]
        axis = np.asarray(summed.kx, dtype=np.float64)
        model[row] = _bilinear(np.asarray(summed.data, np.float64), float(axis[0]),
                               float(axis[1] - axis[0]), kx[row], ky[row])
    dims = (energy_dim, "k_par") if energy_dim else ("k_par",)
    values = model if energy_dim else model[0]
    coords = {name: cut.coords[name] for name in cut.coords}
    dataset = xr.Dataset({"model": (dims, values.astype(np.float32),
                                    {"units": "the library's map intensity"})},
                         coords=coords, attrs={"cut": label})
    record = request.to_record(inputs.found, layout="model[e, i] at (energy[e], k_par[i])",
                               n_slices=int(kinetic.size), model_grid_side=int(n))
    stem = os.path.splitext(os.path.basename(label))[0]
    stem = stem[:-2] if stem.endswith("_k") else stem
    return CutModel(dataset, record, f"{stem}_model.nc")

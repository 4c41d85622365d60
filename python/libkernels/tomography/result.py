"""The outcome of a reconstruction: the image, its spread, the PRTF and the record.

The image is an xarray.DataArray (axes in Å, the record in its attributes), as
a labelled array is what one slices, plots and writes.  The record is the
request's (core/record.py): whole in the attribute libkernels_record, from
which `--from-record` makes the same image again, and flattened beside it
(support_kind, fourier_error_best, ...) for a quick look.  The spread has the
image's axes, but the PRTF runs over |k|, an axis the image does not have, so
the three travel together in this object rather than as one DataArray; its
`to_dataset()` joins them into one Dataset (variables image, spread, prtf and
the starts' Fourier errors), which is what `save` writes to NetCDF.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

import numpy as np

from ..core.grids import attribute_value, require_xarray
from ..core.record import to_attributes, write_json
from ..core.figures import draw, draw_beside
from ..fit.result import warning_lines
from .sampling import AXES, FourierBox

if TYPE_CHECKING:
    from ..core.types import PathLike

FILES = ("reconstruction.nc", "reconstruction.png", "reconstruction.json")


@dataclass
class Reconstruction:
    """image: DataArray over x, y (, z) in Å, largest |value| 1, record in attrs;
    spread: the per-pixel standard deviation of the aligned starts (same scale);
    prtf: DataArray over k (1/Å, shell centres) with the cells per shell as a
    coordinate; record: the request's record (its settings, the files it read and
    what describes the image); fourier_errors: one
    per start, in start order; atoms: positions (Å, as the molecule stands) of
    the molecule whose outline was used or given, heavy: which are not hydrogen;
    both None without a molecule."""

    image: Any
    spread: Any
    prtf: Any
    record: Dict[str, Any]
    fourier_errors: np.ndarray
    atoms: Optional[np.ndarray] = None
    heavy: Optional[np.ndarray] = None
    extra: Dict[str, Any] = field(default_factory=dict)

    @classmethod
    def build(cls, xr: Any, mean: np.ndarray, spread: np.ndarray, centres: np.ndarray,
              transfer: np.ndarray, shell_cells: np.ndarray, box: FourierBox,
              display: Tuple[int, ...], record: Dict[str, Any], errors: np.ndarray,
              atoms: Optional[np.ndarray] = None,
              heavy: Optional[np.ndarray] = None) -> "Reconstruction":
        coords = {}
        for axis, (n, period, centre) in enumerate(zip(display, box.period, box.centre)):
            name = AXES[axis]
            values = centre + (np.arange(n) - n // 2) * (period / n)
            coords[name] = (name, values, {"units": "angstrom"})
        dims = AXES[:box.ndim]
        attrs = record_attributes(record)
        image = xr.DataArray(mean, coords=coords, dims=dims, name="image", attrs=attrs)
        spread_array = xr.DataArray(spread, coords=coords, dims=dims, name="spread",
                                    attrs={"units": "as image",
                                           "description": "standard deviation of the "
                                                          "aligned starts per pixel"})
        prtf = xr.DataArray(transfer, dims=("k",), name="prtf",
                            coords={"k": ("k", centres, {"units": "1/angstrom"}),
                                    "cells": ("k", shell_cells)},
                            attrs={"description": "phase-retrieval transfer function: |mean "
                                                  "of the starts' unit phasors| per shell of "
                                                  "|k| on the measured cells"})
        return cls(image, spread_array, prtf, record, np.asarray(errors), atoms, heavy)

    @property
    def resolution(self) -> Optional[float]:
        """Half-period resolution (Å) where the PRTF falls below 1/e, or None when
        it stays above it over every measured shell."""
        return self.record["resolution"]["half_period_angstrom"]

    @property
    def warnings(self) -> List[Dict[str, str]]:
        """What says the image should not be trusted (checks.py): code and message
        each; empty when nothing does."""
        return list(self.record.get("warnings", []))

    def to_dataset(self) -> Any:
        """image, spread, prtf and fourier_error (per start) in one xarray.Dataset."""
        xr = require_xarray()
        errors = xr.DataArray(self.fourier_errors, dims=("start",), name="fourier_error")
        dataset = xr.Dataset({"image": self.image, "spread": self.spread, "prtf": self.prtf,
                              "fourier_error": errors}, attrs=dict(self.image.attrs))
        return dataset

    def report(self) -> str:
        """A few lines: what was done, how well the data were met, the resolution."""
        r = self.record
        shape = " x ".join(str(n) for n in r["box"]["shape"])
        k = r["resolution"]["k_inverse_angstrom"]
        resolution = ("PRTF above 1/e over all measured |k|" if k is None else
                      f"PRTF falls below 1/e at |k| = {k:.3g} 1/Å (half period "
                      f"{r['resolution']['half_period_angstrom']:.3g} Å)")
        energies = r["kinetic_energy_ev"]
        energy = (f"E_kin {energies[0]:g} eV" if len(energies) == 1 else
                  f"E_kin {min(energies):g}-{max(energies):g} eV")
        return "\n".join([
            f"{r['dimensions']}D reconstruction of {r['source']} ({energy})",
            f"  {r['algorithm'].upper()} (beta {r['beta']:g}) {r['iterations']} + ER "
            f"{r['polish_er_iterations']} iterations, {r['starts']} starts, "
            f"{r['starts_averaged']} averaged, on a {shape} box "
            f"(oversampling {', '.join(f'{v:.2g}' for v in r['oversampling'])})",
            f"  support: {r['support']['kind']} "
            f"{' x '.join(f'{v:.3g}' for v in r['support']['extent_angstrom'])} Å"
            + (", shrink-wrap" if r["support"]["shrink_wrap"] else ""),
            f"  data: {r['measured_cells']} of the band's {r['band_cells']} cells measured; "
            f"{r['missing_pixel_share']:.0%} of the pixels inside the "
            f"hemisphere{'s' if len(energies) > 1 else ''} are NaN",
            f"  Fourier error best {r['fourier_error']['best']:.4f}, median "
            f"{r['fourier_error']['median']:.4f}; {resolution}",
            f"  {r['alignment']['agreeing']} of {r['alignment']['compared']} starts agree with "
            f"their consensus (median overlap {r['alignment']['overlap_median']:.3f})",
            f"  {r['cpu_seconds']:.1f} s of CPU"]
            + warning_lines(self.warnings))  # type: ignore[arg-type]

    def plot(self, path: Any = None, title: Optional[str] = None) -> Any:
        """Image (with the molecule's outline when known), spread and PRTF; returns
        the Figure, saved to `path` when given."""
        return draw("reconstruction", self, path, title)

    def save(self, directory: PathLike) -> str:
        """Writes reconstruction.nc, reconstruction.json (the record, which is also in
        the NetCDF file's attributes) and then reconstruction.png (the figure left out,
        with a FigureWarning, where matplotlib is missing)."""
        directory = os.fspath(directory)
        os.makedirs(directory, exist_ok=True)
        self.to_dataset().to_netcdf(os.path.join(directory, FILES[0]), engine="h5netcdf")
        write_json(os.path.join(directory, FILES[2]), self.record)
        draw_beside("reconstruction", self, os.path.join(directory, FILES[1]))
        return directory


def record_attributes(record: Dict[str, Any]) -> Dict[str, Any]:
    """The record as NetCDF attributes: whole (to_attributes), and beside it every
    entry but the request's settings as a scalar or number list, nested entries
    flattened with '_'."""
    attrs: Dict[str, Any] = {}

    def put(prefix: str, value: Any) -> None:
        if isinstance(value, dict):
            for key, inner in value.items():
                put(f"{prefix}_{key}" if prefix else key, inner)
        else:
            attrs[prefix] = attribute_value(value)

    put("", {key: value for key, value in record.items() if key != "request"})
    attrs.update(to_attributes(record))
    return attrs

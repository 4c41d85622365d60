"""Measured maps uploaded through the page, read from the bytes in memory.

The layout is recognised by its first bytes, never by a name
(formats/measured/): a zip archive is an .npz (arrays `intensity`, `kx`,
`ky`); an HDF5 signature is a NeXus file or NetCDF-4/HDF5, "CDF" classic
NetCDF, and an Igor binary wave starts with its version: these are read by
the same readers as files given to the fit, their dimensions placed by name
and unit, so a file written by `libkernels convert` loads as it is.  The
arrays then pass the same checks as any measured map given to the fit
(core/measured.py: layout, ascending uniform axes, units, NaN masks).  The
energies the file states (kinetic_energy, or photon_energy with
work_function, and a single map's binding_energy) are kept for the fit.
Nothing is written to disk; pickled objects are refused.  Before anything is
inflated or parsed by a reader, the arrays' shapes are read from the headers,
through the same open handle, and refused beyond MAX_PIXELS (headers.py).
"""

from __future__ import annotations

import numpy as np

from ..core.errors import LibkernelsError, RequestError
from ..core.measured import MeasuredMap, from_xarray
from ..core.memory import MemorySize
from ..formats.measured import Opened, npz, opened, read
from ..formats.measured.base import first_line
from ..kspace.convert import Conversion, convert
from .fitting import Measured
from .headers import check_upload

MAX_PIXELS = 2048 * 2048


def read_measured(data: bytes, max_memory: MemorySize = None) -> Measured:
    """(intensity[i, j] at (kx[i], ky[j]) as float32, kx, ky, the energies the file
    states in eV) from the bytes of a file; `max_memory` bounds what its arrays may
    take once inflated."""
    with opened(data, "the upload") as source:
        if source.layout is None:
            raise RequestError("the upload is neither an .npz archive nor a NetCDF/HDF5, "
                               "NeXus or Igor file")
        check_upload(source, MAX_PIXELS, max_memory)
        try:
            measured = _read(source)
        except (LibkernelsError, ValueError) as error:  # the readers' and checks' refusals
            raise RequestError(str(error).splitlines()[0][:300]) from None
    if measured.is_stack:
        raise RequestError(f"the upload is a stack of {measured.intensity.shape[0]} maps; the "
                           "explorer shows one map (save one binding energy)")
    if measured.intensity.size > MAX_PIXELS:
        raise RequestError(f"the measured map has {measured.intensity.size} pixels; at most "
                           f"{MAX_PIXELS} are shown")
    with np.errstate(over="ignore"):
        values = measured.intensity.astype(np.float32)
    if np.any(np.isinf(values)):
        raise RequestError("the measured map holds values beyond float32 or infinite ones "
                           "(mark missing pixels with NaN)")
    energies = dict(measured.energies)
    if measured.binding_energy is not None:
        energies["binding_energy"] = float(np.asarray(measured.binding_energy))
    return np.ascontiguousarray(values), measured.kx, measured.ky, energies


def _read(source: Opened) -> MeasuredMap:
    if source.layout is npz:
        return npz.read(source)
    with read(source) as dataset:
        try:
            return from_xarray(convert(dataset, Conversion()).load(), source.label)
        except (LibkernelsError, ValueError):
            raise
        except Exception as error:  # the readers raise many types for a damaged file
            raise RequestError(f"cannot read the NetCDF/HDF5 file: {first_line(error)}") \
                from None

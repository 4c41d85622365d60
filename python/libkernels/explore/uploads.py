"""Measured maps uploaded through the page, read from the bytes in memory.

The format is recognised by its first bytes, never by a name: a zip archive is
an .npz (arrays `intensity`, `kx`, `ky`); an HDF5 signature is a NeXus file or
NetCDF-4/HDF5, "CDF" classic NetCDF, and an Igor binary wave starts with its
version: these are read by the same readers as files given to the fit
(formats/measured_files.py), their dimensions placed by name and unit, so a
file written by `libkernels convert` loads as it is.  The arrays then pass the
same checks as any measured map given to the fit (load_measured: layout,
ascending uniform axes, units, NaN masks).  The energies the file states
(kinetic_energy, or photon_energy with work_function, and a single map's
binding_energy) are kept for the fit.  Nothing is written to disk; pickled
objects are refused.  Before anything is inflated or parsed by a reader, the
arrays' shapes are read from the headers and refused beyond MAX_PIXELS
(headers.py).
"""

from __future__ import annotations

import io
import zipfile
from typing import TYPE_CHECKING, Dict, Tuple

import numpy as np

from ..core.errors import MeasuredDataError, RequestError
from ..core.memory import MemorySize
from ..fit.measured import load_measured
from ..formats.igor import is_igor
from ..formats.measured_files import read_measured_bytes
from ..kspace.convert import Conversion, convert
from .headers import check_upload

if TYPE_CHECKING:
    from ..core.types import Float32Array, Float64Array
    from ..fit.measured import MeasuredMap

MAX_PIXELS = 2048 * 2048


def read_measured(data: bytes, max_memory: MemorySize = None
                  ) -> Tuple[Float32Array, Float64Array, Float64Array, Dict[str, float]]:
    """(intensity[i, j] at (kx[i], ky[j]) as float32, kx, ky, the energies the file
    states in eV) from the bytes of a file; `max_memory` bounds what its arrays may
    take once inflated."""
    check_upload(data, MAX_PIXELS, max_memory)
    try:
        if data[:4] == b"PK\x03\x04":
            measured = _from_npz(data)
        elif data[:8] == b"\x89HDF\r\n\x1a\n" or data[:3] == b"CDF" or is_igor(data[:2], ""):
            measured = _from_netcdf(data)
        else:
            raise RequestError("the upload is neither an .npz archive nor a NetCDF/HDF5, "
                               "NeXus or Igor file")
    except ValueError as error:  # load_measured's refusals
        raise RequestError(_first_line(error)) from None
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


def _from_npz(data: bytes) -> MeasuredMap:
    try:
        with np.load(io.BytesIO(data), allow_pickle=False) as archive:
            return load_measured(archive, name="the .npz")
    except MeasuredDataError:
        raise
    except (OSError, ValueError, zipfile.BadZipFile, EOFError) as error:
        raise RequestError(f"cannot read the .npz: {_first_line(error)}") from None


def _from_netcdf(data: bytes) -> MeasuredMap:
    try:
        import xarray  # noqa: F401
    except ImportError:
        raise RequestError("reading NetCDF needs xarray: pip install 'libkernels[fit]' (or "
                           "pip install xarray h5netcdf)") from None
    dataset = read_measured_bytes(data, "the upload")  # its refusals are ValueErrors
    try:
        placed = convert(dataset, Conversion())
        return load_measured(placed.load(), name="the NetCDF file")
    except ValueError:  # the conversion's and load_measured's refusals
        raise
    except Exception as error:  # the readers raise many types for a damaged file
        raise RequestError(f"cannot read the NetCDF/HDF5 file: {_first_line(error)}") from None


def _first_line(error: BaseException) -> str:
    text = str(error).strip()
    return text.splitlines()[0][:200] if text else type(error).__name__

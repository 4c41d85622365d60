"""Measured maps uploaded through the page, read from the bytes in memory.

The format is recognised by its first bytes, never by a name: a zip archive is
an .npz (arrays `intensity`, `kx`, `ky`), an HDF5 signature is NetCDF-4/HDF5
and "CDF" is classic NetCDF, both opened with xarray (a DataArray, or the first
data variable of a Dataset, with dimensions `kx` and `ky`).  Nothing is
written to disk; pickled objects are refused.
"""

import io
import zipfile

import numpy as np

from .settings import RequestError

MAX_PIXELS = 2048 * 2048


def read_measured(data):
    """(intensity[i, j] at (kx[i], ky[j]) as float32, kx, ky) from the bytes of a file."""
    if data[:4] == b"PK\x03\x04":
        intensity, kx, ky = _from_npz(data)
    elif data[:8] == b"\x89HDF\r\n\x1a\n" or data[:3] == b"CDF":
        intensity, kx, ky = _from_netcdf(data)
    else:
        raise RequestError("the upload is neither an .npz archive nor a NetCDF/HDF5 file")
    return check_measured(intensity, kx, ky)


def _from_npz(data):
    try:
        with np.load(io.BytesIO(data), allow_pickle=False) as archive:
            missing = [k for k in ("intensity", "kx", "ky") if k not in archive.files]
            if missing:
                raise RequestError(f"the .npz has no array {missing[0]!r} (it needs intensity, "
                                   "kx and ky)")
            return archive["intensity"], archive["kx"], archive["ky"]
    except (ValueError, OSError, zipfile.BadZipFile, EOFError) as error:
        raise RequestError(f"cannot read the .npz: {_first_line(error)}") from None


def _from_netcdf(data):
    try:
        import xarray as xr
    except ImportError:
        raise RequestError("reading NetCDF needs xarray (pip install xarray h5netcdf)") from None
    engine = "scipy" if data[:3] == b"CDF" else "h5netcdf"
    try:
        with xr.open_dataset(io.BytesIO(data), engine=engine) as dataset:
            names = list(dataset.data_vars)
            if not names:
                raise RequestError("the NetCDF file holds no data variable")
            array = dataset[names[0]]
            if set(array.dims) != {"kx", "ky"}:
                raise RequestError(f"the NetCDF variable {names[0]!r} must have dimensions kx "
                                   f"and ky, it has {', '.join(map(str, array.dims)) or 'none'}")
            array = array.transpose("kx", "ky")
            if "kx" not in array.coords or "ky" not in array.coords:
                raise RequestError("the NetCDF variable needs kx and ky coordinates")
            return array.values, array["kx"].values, array["ky"].values
    except RequestError:
        raise
    except Exception as error:  # the readers raise many types for a damaged file
        raise RequestError(f"cannot read the NetCDF/HDF5 file: {_first_line(error)}") from None


def _first_line(error):
    text = str(error).strip()
    return text.splitlines()[0][:200] if text else type(error).__name__


def check_measured(intensity, kx, ky):
    """Checks shapes, axes and values; returns float32 intensity and float64 axes."""
    intensity, kx, ky = (np.asarray(a) for a in (intensity, kx, ky))
    try:  # the fitting's own checks, when the package has them
        from ..measured import load_measured
    except ImportError:
        load_measured = None
    for name, array in (("intensity", intensity), ("kx", kx), ("ky", ky)):
        if array.dtype.kind not in "iuf":
            raise RequestError(f"{name} must hold real numbers, got {array.dtype}")
    if intensity.ndim == 3:
        raise RequestError(f"intensity is a stack of {intensity.shape[0]} maps; the explorer "
                           "shows one map (save one binding energy)")
    if intensity.ndim != 2:
        raise RequestError(f"intensity must be 2-dimensional, got shape {intensity.shape}")
    if intensity.size > MAX_PIXELS:
        raise RequestError(f"the measured map has {intensity.size} pixels; at most "
                           f"{MAX_PIXELS} are shown")
    if kx.ndim != 1 or ky.ndim != 1 or intensity.shape != (len(kx), len(ky)):
        raise RequestError(f"intensity has shape {intensity.shape} but kx has {kx.size} and ky "
                           f"{ky.size} values (intensity[i, j] is at (kx[i], ky[j]))")
    if load_measured is not None:
        try:
            load_measured(intensity, kx=kx, ky=ky, name="the measured map")
        except ValueError as error:
            raise RequestError(str(error).splitlines()[0]) from None
    for name, axis in (("kx", kx), ("ky", ky)):
        axis = axis.astype(np.float64)
        if len(axis) < 2 or not np.all(np.isfinite(axis)):
            raise RequestError(f"{name} needs at least two finite values")
        steps = np.diff(axis)
        if not np.all(steps > 0) or np.ptp(steps) > 1e-4 * abs(steps.mean()):
            raise RequestError(f"{name} must be ascending with a uniform step")
    values = intensity.astype(np.float32)
    if np.any(np.isinf(values)):
        raise RequestError("intensity holds infinite values (mark missing pixels with NaN)")
    if np.all(np.isnan(values)):
        raise RequestError("every pixel of the measured map is NaN")
    return np.ascontiguousarray(values), kx.astype(np.float64), ky.astype(np.float64)

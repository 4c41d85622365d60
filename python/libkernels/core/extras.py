"""Optional dependencies, imported where they are used and refused in one way.

Only numpy is required.  Figures need matplotlib, labelled output xarray, fits
scipy, scans zarr and Dask, the explorer starlette and uvicorn, other file
formats IOData; each is imported when first needed, and a missing one raises
`MissingExtraError` (an ImportError) naming the pip extra that installs it.

    xr = require("xarray", "netcdf", "labelled output")
"""

from __future__ import annotations

import importlib
from types import ModuleType
from typing import Optional, Tuple

from .errors import MissingExtraError


def install_hint(extra: str) -> str:
    """The pip command that installs an extra of the package."""
    return f"pip install 'libkernels[{extra}]'"


def require(module: str, extra: str, purpose: str, what: str = "",
            alternative: str = "") -> ModuleType:
    """`module` imported, or MissingExtraError: '<purpose> needs <what>: pip install
    'libkernels[<extra>]' (<alternative>)'; `what` defaults to the module's package."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise MissingExtraError(
            f"{purpose} needs {what or module.split('.')[0]}: {install_hint(extra)}"
            + (f" ({alternative})" if alternative else "")) from None


# what writing NetCDF-4 files takes (h5netcdf 1.8 and later do not bring h5py)
NETCDF_WRITER = ("xarray", "h5netcdf", "h5py")


def require_all(modules: Tuple[str, ...], extra: str, purpose: str) -> None:
    """Every one of `modules` importable, or one MissingExtraError naming those missing
    and the extra that brings them: called before any work that ends in them."""
    missing = [name for name in modules if optional(name) is None]
    if missing:
        raise MissingExtraError(f"{purpose} needs {', '.join(missing)}: "
                                f"{install_hint(extra)}")


def optional(module: str) -> Optional[ModuleType]:
    """`module` imported, or None where it is not installed (for callers that have a
    way without it)."""
    try:
        return importlib.import_module(module)
    except ImportError:
        return None

"""The conversion's settings as a request: `libkernels convert`, and the options
with which `fit` and `deconvolve` take data measured in angles.

ConversionOptions holds the settings of the set-up (geometry, offsets, sample
azimuth, dims, energy window, lattice step); the fit's requests inherit them,
so a raw file given to `fit` is converted with exactly what `convert` would
use.  ConvertRequest adds the input and the energies, and writes the NetCDF
file with the record in its attributes.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, ClassVar, Dict, List, Mapping, Optional, Tuple

from ..core.errors import InputError, OutputError
from ..core.memory import MemorySize
from ..core.record import to_attributes
from ..requests.base import Request, setting
from ..requests.maps import max_memory_setting
from .axes import ROLES, parse_dims
from .convert import Conversion, convert, write_netcdf
from .geometry import GEOMETRIES

if TYPE_CHECKING:
    import xarray

    from ..core.types import PathLike

__all__ = ["ConversionOptions", "ConvertRequest", "parse_offsets"]

CONVERSION = "measured in angles (conversion to momentum)"
ENERGIES = "energies (eV; default: the file's)"


def parse_offsets(value: Any) -> Dict[str, float]:
    """{angle: degrees} from a mapping or 'NAME=DEGREES' strings (also comma-separated)."""
    if value is None:
        return {}
    if isinstance(value, Mapping):
        items = list(value.items())
    else:
        items = []
        for item in [value] if isinstance(value, str) else list(value):
            for part in str(item).split(","):
                if part.strip():
                    name, sep, number = part.partition("=")
                    if not sep:
                        raise InputError("angle_offsets", f"takes NAME=DEGREES, got "
                                                          f"{part.strip()!r}")
                    items.append((name.strip(), number.strip()))
    offsets = {}
    for name, number in items:
        try:
            offsets[str(name)] = float(number)
        except (TypeError, ValueError):
            raise InputError("angle_offsets", f"of {name} must be a number of degrees, got "
                                              f"{number!r}") from None
    return offsets


def _pair(values: List[float]) -> Tuple[float, float]:
    return values[0], values[1]


@dataclass
class ConversionOptions(Request):
    """How data measured in angles go to momentum (kspace/convert.py's Conversion)."""

    geometry: Optional[str] = setting(
        None, "--geometry", group=CONVERSION, choices=GEOMETRIES,
        help="the set-up that measured the angles: deflector (slit angle phi and deflector "
             "angle psi), polar (phi and a polar scan theta), tilt (phi and a tilt scan beta), "
             "polar-azimuth (emission angles theta from the normal and azimuth); data "
             "already in momentum need none")
    angle_offsets: Dict[str, float] = setting(
        None, "--angle-offsets", group=CONVERSION, nargs="+", metavar="ANGLE=DEG",
        convert=parse_offsets,
        help="each angle's reading at normal emission, e.g. phi=0.4 theta=-1.2 (fixed "
             "manipulator angles alike)")
    sample_azimuth: float = setting(0.0, "--sample-azimuth", group=CONVERSION, type=float,
                                    metavar="DEG",
                                    help="the sample's rotation about its normal (default: 0)")
    energy_window: Optional[Tuple[float, float]] = setting(
        None, "--energy-window", group=CONVERSION, type=float, nargs=2, metavar=("LOW", "HIGH"),
        convert=_pair,
        help="sum the slices with energies from LOW to HIGH eV (binding energy when the photon "
             "energy is known, else kinetic) into one map")
    k_step: Optional[float] = setting(
        None, "--resolution", group=CONVERSION, type=float, metavar="STEP",
        help="the momentum lattice's step in 1/Å, the same in kx and ky (default: the finest "
             "angle step at normal emission)")
    dims: Optional[Dict[str, str]] = setting(
        None, "--dims", group=CONVERSION, nargs="+", metavar="NAME=ROLE", convert=parse_dims,
        help="what the file's dimensions are where their names do not say: " + ", ".join(ROLES))

    def conversion(self, max_memory: MemorySize = None) -> Conversion:
        """The Conversion these settings (and the request's energies) describe."""
        self.angle_offsets = parse_offsets(self.angle_offsets)
        self.dims = parse_dims(self.dims) or None
        return Conversion(self.geometry, self.angle_offsets, self.sample_azimuth,
                          getattr(self, "photon_energy", None),
                          getattr(self, "work_function", None),
                          getattr(self, "kinetic_energy", None), self.energy_window, self.k_step,
                          self.dims, max_memory)


@dataclass
class ConvertRequest(ConversionOptions):
    """Measured data to a momentum lattice (`libkernels convert`; to_momentum)."""

    kind: ClassVar[str] = "convert"
    positionals: ClassVar[Tuple[str, ...]] = ("input",)
    input_files: ClassVar[Tuple[str, ...]] = ("input",)
    option_groups: ClassVar[Tuple[str, ...]] = (CONVERSION, ENERGIES)

    input: Optional[str] = setting(None, "input", help="the measured data: NeXus (NXmpes), "
                                                       "NetCDF/HDF5, Zarr or Igor .ibw/.pxp/.pxt")
    photon_energy: Optional[float] = setting(None, "--photon-energy", group=ENERGIES,
                                             type=float, metavar="EV")
    work_function: Optional[float] = setting(None, "--work-function", group=ENERGIES,
                                             type=float, metavar="EV")
    kinetic_energy: Optional[float] = setting(
        None, "--kinetic-energy", group=ENERGIES, type=float, metavar="EV",
        help="the kinetic energy of a map that has no energy axis")
    max_memory: MemorySize = max_memory_setting()

    def __post_init__(self) -> None:
        if self.input is None:
            raise InputError("input", "is missing: give the file of measured data")
        self.conversion()  # every setting checked before any file is read

    def run(self) -> xarray.Dataset:
        """The converted data (lazy above the memory limit)."""
        request_conversion = self.conversion(self.max_memory)
        return self.read_input("input", lambda path: convert(path, request_conversion))

    def write(self, dataset: xarray.Dataset, path: PathLike) -> None:
        """`dataset` to a NetCDF file with this request's record, written under a
        temporary name and renamed: whole or absent."""
        record = self.record(layout="intensity[..., i, j] at (kx[i], ky[j])",
                             shape=list(dataset["intensity"].shape),
                             k_step=float(dataset["kx"][1] - dataset["kx"][0]),
                             intensity_units=dataset.attrs.get("units", ""))
        target = os.fspath(path)
        partial = target + ".partial"
        try:
            write_netcdf(dataset, partial, to_attributes(record))
            os.replace(partial, target)
        except BaseException as error:
            if os.path.exists(partial):
                os.remove(partial)
            if isinstance(error, OSError):
                raise OutputError(f"{target}: cannot be written ({error})") from None
            raise

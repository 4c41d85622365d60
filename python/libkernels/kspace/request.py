"""The request of `libkernels convert` (and `lk.to_momentum` from a file): measured data
to a momentum lattice, returned with its record as a ConversionResult that saves itself.

    result = ConvertRequest(input="map.nxs", geometry="deflector").run()
    result.save("converted")          # converted/map_k.nc, the record in its attributes
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, ClassVar, Dict, Optional, Tuple

from ..core.energies import Energies
from ..core.errors import InputError, OutputError
from ..core.memory import MemorySize
from ..core.record import to_attributes
from ..formats.outputs import output_folder
from ..requests.base import Inputs, Request, setting
from .convert import Conversion, conversion_of, convert, write_netcdf
from .settings import ConversionSettings

if TYPE_CHECKING:
    import xarray

    from ..core.types import PathLike

__all__ = ["ConvertRequest", "ConversionResult", "output_name"]


def _pairs(text: str) -> Dict[str, str]:
    """{what: how} of the 'what: how; ...' attributes the conversion writes."""
    found = {}
    for part in str(text).split("; "):
        what, sep, how = part.partition(": ")
        if sep:
            found[what] = how
    return found


def output_name(input_path: str) -> str:
    """The converted file's name: the input's stem with _k (for momentum) and .nc,
    never the input's own name."""
    root = os.path.splitext(os.path.basename(os.path.normpath(input_path)))[0]
    return f"{root}_k.nc"


@dataclass
class ConversionResult:
    """Converted data (`dataset`, lazy above the memory limit) with the record that makes
    them again; `save` writes NAME_k.nc whole or not at all."""

    dataset: Any
    record: Dict[str, Any] = field(default_factory=dict)
    name: str = "converted_k.nc"

    def save(self, directory: PathLike = ".") -> str:
        """Writes DIR/NAME_k.nc (the record in its attributes) under a temporary name,
        renamed when complete; returns its path."""
        target = os.path.join(output_folder(directory), self.name)
        partial = target + ".partial"
        try:
            write_netcdf(self.dataset, partial, to_attributes(self.record))
            os.replace(partial, target)
        except BaseException as error:
            if os.path.exists(partial):
                os.remove(partial)
            if isinstance(error, OSError):
                raise OutputError(f"{target}: cannot be written ({error})") from None
            raise
        return target


@dataclass(frozen=True)
class ConvertRequest(ConversionSettings, Request):
    """Measured data to a momentum lattice (`libkernels convert`; to_momentum)."""

    kind: ClassVar[str] = "convert"
    input_files: ClassVar[Tuple[str, ...]] = ("input",)

    input: Optional[str] = setting(None)
    photon_energy: Optional[float] = setting(None)
    work_function: Optional[float] = setting(None)
    kinetic_energy: Optional[float] = setting(None)
    inner_potential: Optional[float] = setting(None)
    max_memory: MemorySize = setting(None, recorded=False)

    def check(self) -> None:
        if self.input is None:
            raise InputError("input", "is missing: give the file of measured data")
        super().check()
        self.conversion()  # every setting checked before any file is read

    def conversion(self) -> Conversion:
        """The conversion these settings and energies describe."""
        return conversion_of(self, Energies(photon_energy=self.photon_energy,
                                            work_function=self.work_function,
                                            kinetic_energy=self.kinetic_energy,
                                            inner_potential=self.inner_potential),
                             self.max_memory)

    def run(self) -> ConversionResult:
        """The converted data with their record."""
        inputs = Inputs(self)
        conversion = self.conversion()
        dataset: xarray.Dataset = inputs.read("input", lambda path: convert(path, conversion))
        axis = next(name for name in ("kx", "k_par", "kz") if name in dataset.coords)
        attrs = dataset.attrs
        record = self.to_record(
            inputs.found, layout=attrs.get("layout", "intensity[..., i, j] at (kx[i], ky[j])"),
            shape=list(dataset["intensity"].shape),
            k_step=float(dataset[axis][1] - dataset[axis][0]),
            intensity_units=attrs.get("units", ""),
            counts_per=attrs.get("counts_per", ""),
            read_from_file=_pairs(attrs.get("read_from_file", "")),
            assumed=_pairs(attrs.get("assumed", "")),
            **{name: attrs[name] for name in ("slices_summed", "summed_energy_kind",
                                              "summed_energies", "inner_potential",
                                              "k_extent") if name in attrs})
        assert self.input is not None
        return ConversionResult(dataset, record, output_name(self.input))

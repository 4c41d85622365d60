"""Writing what the package computes, each file with its record beside it.

    NAME.png (.pdf, .svg) + NAME.npy + NAME.json   a momentum map: figure, numbers, record
    NAME.nc + NAME.json                             a map or momentum density as NetCDF,
                                                    the record also in its attributes
    NAME.cube + NAME.json                           an orbital or density in real space
    NAME.npy + NAME.json                            a momentum density

Results call these from their `.save()`; figures are drawn by plot/ through
core/figures.py.  A failed write (a missing or read-only folder, a full disk)
is an OutputError naming the file and the reason.
"""

from __future__ import annotations

import contextlib
import os
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional

import numpy as np

from ..core.errors import LibkernelsError, OutputError
from ..core.figures import draw
from ..core.record import to_attributes, write_json
from .cube import write_cube

if TYPE_CHECKING:
    from ..core.grids import Field3D, MomentumMap
    from ..core.molecule import Molecule
    from ..core.types import PathLike

MAP_FORMATS = ("png", "pdf", "svg", "nc")
MAP_LAYOUT = "data[i, j] is the intensity at (kx[i], ky[j])"
MAP_UNITS = "|FT psi|^2 / pi^3 in bohr^3 (k in bohr^-1)"
DENSITY_LAYOUT = "data[k, j, i] at (kx[i], ky[j], kz[k])"
DENSITY_UNITS = ("|FT psi|^2 / pi^3 in bohr^3 (k in bohr^-1); a normalised orbital integrates "
                 "to 8, divide by 8 for a density normalised to 1 per electron")


def safe(label: str) -> str:
    """An orbital label ('HOMO (beta)') as part of a file name."""
    return label.replace(" ", "_").replace("(", "").replace(")", "")


@contextlib.contextmanager
def writing(where: str = "") -> Iterator[None]:
    """Turns a failed write into an OutputError, in one line naming the file (or
    `where`) and the reason."""
    try:
        yield
    except LibkernelsError:
        raise
    except OSError as error:
        target = error.filename or where or "the output"
        reason = error.strerror or str(error) or type(error).__name__
        raise OutputError(f"cannot write {target}: {reason}") from error


def map_dataset(momentum_map: MomentumMap, record: Dict[str, Any], title: str) -> Any:
    """The map as an xarray Dataset: the variable `intensity` with its axes, units and
    settings, each orbital's energies and weight as coordinates on the dimension
    `orbital` (orbital_kinetic_energy, orbital_binding_energy, orbital_weight: the
    orbitals of a summed map each have their own), the molecule's name and the record
    as global attributes."""
    array = momentum_map.to_xarray()
    array.attrs.update(to_attributes(record))  # where readers of a single array look
    dataset = array.to_dataset(name="intensity")
    # coordinates, not variables: the map stays the file's one data variable
    # (xarray.open_dataarray reads it as before)
    dataset = dataset.assign_coords(orbital_variables(momentum_map.parameters))
    dataset.attrs.update(
        title=f"{title} {'+'.join(momentum_map.parameters.get('orbitals', []))} momentum map"
              .strip(),
        molecule=title, source=f"libkernels {record.get('libkernels_version', '')}".strip(),
        history=record.get("command") or "", **to_attributes(record))
    return dataset


def orbital_variables(parameters: Dict[str, Any]) -> Dict[str, Any]:
    """Each orbital's kinetic and binding energy and weight, as coordinates on the
    dimension `orbital` (its labels its index), from a map's parameters: the
    values of a summed map told apart, not one energy for all.  Empty for a map that
    names no orbitals."""
    labels = list(parameters.get("orbitals") or [])
    if not labels:
        return {}
    n = len(labels)
    unit = parameters.get("energy_unit", "eV")
    orbital = ("orbital", np.array(labels, dtype=object),
               {"long_name": "the orbitals summed in the map, in order"})
    variables: Dict[str, Any] = {"orbital": orbital}

    def each(name: str, default: Optional[float] = None) -> Optional[List[float]]:
        values = parameters.get(name)
        if values is None:
            return None if default is None else [default] * n
        values = list(np.atleast_1d(np.asarray(values, dtype=object)))
        if len(values) == 1:
            values = values * n
        if len(values) != n:
            return None
        return [np.nan if v is None else float(v) for v in values]

    for name, default, attrs in (
            ("kinetic_energy", None, {"units": unit, "long_name": "the orbital's kinetic "
                                      "energy (each orbital's map is made at its own)"}),
            ("binding_energy", None, {"units": unit, "long_name": "the orbital's binding "
                                      "energy"}),
            ("weights", 1.0, {"long_name": "the orbital's weight in the sum"})):
        values = each(name, default)
        if values is not None:
            key = "orbital_weight" if name == "weights" else f"orbital_{name}"
            variables[key] = ("orbital", np.asarray(values, dtype=np.float64), attrs)
    return variables


def write_map(momentum_map: MomentumMap, record: Dict[str, Any], base: str, *,
              format: str = "png", dpi: float = 150, molecule: Optional[Molecule] = None,
              title: str = "") -> List[str]:
    """A map's files at `base` (a path without suffix): the figure (or NetCDF) first,
    then the numbers and the record; returns them."""
    if format == "nc":
        files = [base + ".nc", base + ".json"]
        map_dataset(momentum_map, record, title).to_netcdf(files[0])
    else:
        files = [f"{base}.{format}", base + ".npy", base + ".json"]
        draw("map", momentum_map, files[0], molecule=molecule, molecule_name=title, dpi=dpi,
             format=format)
        np.save(files[1], momentum_map.data)
    write_json(base + ".json", record)
    return files


def write_field(field: Field3D, record: Dict[str, Any], base: str, *, format: str,
                molecule: Optional[Molecule] = None, comment: str = "") -> List[str]:
    """A field's file at `base` ('cube', 'npy' or 'nc') and its record; returns both."""
    path = f"{base}.{format}"
    if format == "cube":
        assert molecule is not None
        write_cube(path, field, molecule, comment)
    elif format == "nc":
        array = field.to_xarray()
        array.attrs.update(to_attributes(record))
        array.to_netcdf(path)
    else:
        np.save(path, field.data)
    write_json(base + ".json", record)
    return [path, base + ".json"]


def output_folder(directory: PathLike) -> str:
    """`directory`, made when missing (an OutputError when it cannot be)."""
    folder = os.fspath(directory)
    with writing(folder):
        os.makedirs(folder, exist_ok=True)
    return folder

"""What map, cube and momentum-density requests return: the data with the record that
makes them again, saving themselves.

    result = lk.momentum_map_sum(mol, ["HOMO"], photon_energy=35, work_function=4.5)
    result.save("out")          # out/pentacene_HOMO.png, .npy and .json (the record)
    result.record["request"]    # every setting, as given

`libkernels map --from-record out/pentacene_HOMO.json` makes the same bits.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, List, Optional

from ..core.figures import draw
from ..core.grids import Field3D, MomentumMap
from ..formats.outputs import output_folder, safe, write_field, write_map, writing

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from ..core.molecule import Molecule
    from ..core.types import PathLike


@dataclass
class RecordedMap(MomentumMap):
    """A momentum map with its record (`record`), the stem of its files (`name`), the
    molecule it shows (drawn in the figure's margin) and how its figure is written
    (`format`, `dpi`)."""

    record: Dict[str, Any] = field(default_factory=dict)
    name: str = "map"
    molecule: Optional[Molecule] = field(default=None, repr=False)
    title: str = ""
    format: str = "png"
    dpi: float = 150.0

    def save(self, directory: PathLike = ".", format: Optional[str] = None,
             dpi: Optional[float] = None) -> List[str]:
        """Writes DIR/NAME.png (or .pdf, .svg) with NAME.npy and NAME.json, or NAME.nc
        and NAME.json (format 'nc'); returns the files, the figure (or .nc) first."""
        folder = output_folder(directory)
        base = os.path.join(folder, self.name)
        with writing(base):
            return write_map(self, self.record, base, format=format or self.format,
                             dpi=dpi or self.dpi, molecule=self.molecule, title=self.title)

    def plot(self, path: Optional[PathLike] = None) -> Figure:
        """The map's figure (written to `path` when given)."""
        return draw("map-figure", self, path, molecule=self.molecule,
                    molecule_name=self.title, dpi=self.dpi)


class MapResult(List[RecordedMap]):
    """The maps of one request (one per orbital, or one summed), each with its record."""

    def save(self, directory: PathLike = ".", format: Optional[str] = None,
             dpi: Optional[float] = None) -> List[str]:
        """Saves every map (RecordedMap.save); returns the first file of each."""
        return [m.save(directory, format, dpi)[0] for m in self]


@dataclass
class RecordedField(Field3D):
    """An orbital or density on a 3D grid with its record and the stem of its files; it
    saves itself as a cube file (real space) or .npy / .nc (momentum space)."""

    record: Dict[str, Any] = field(default_factory=dict)
    name: str = "field"
    format: str = "npy"
    molecule: Optional[Molecule] = field(default=None, repr=False)
    comment: str = ""

    def save(self, directory: PathLike = ".") -> List[str]:
        """Writes DIR/NAME.cube (or .npy, .nc) and NAME.json; returns them."""
        base = os.path.join(output_folder(directory), self.name)
        with writing(base):
            return write_field(self, self.record, base, format=self.format,
                               molecule=self.molecule, comment=self.comment)


def file_stem(molecule_name: str, label: str, suffix: str = "") -> str:
    """The stem of an output's files: the molecule's, its orbitals, a suffix."""
    return f"{molecule_name}_{safe(label)}{suffix}"

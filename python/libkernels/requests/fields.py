"""The requests of `libkernels cube` and `libkernels momentum-density`: one orbital, or
all occupied ones, on a 3D grid in real space or in momentum space, each returned with
its record (a RecordedField that saves itself)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, ClassVar, Dict, Union

from ..core.errors import InputError
from ..core.grids import Field3D, Grid
from ..core.kernels import (charge_density_sum, momentum_density, momentum_density_sum,
                            scalar_field)
from ..core.memory import MemorySize, check, float32_bytes
from ..core.molecule import Molecule
from ..formats.outputs import DENSITY_LAYOUT, DENSITY_UNITS
from .base import Inputs, MoleculeRequest, setting
from .results import RecordedField, file_stem

if TYPE_CHECKING:
    from ..core.types import LengthUnit, MomentumUnit, OrbitalSelector


@dataclass(frozen=True)
class OrbitalOrDensityRequest(MoleculeRequest):
    """One orbital (`orbital`), or with `density` all occupied orbitals weighted by
    their occupations."""

    orbital: OrbitalSelector = setting("HOMO")
    density: bool = setting(False)

    def _recorded(self, field: Field3D, inputs: Inputs, molecule: Molecule, suffix: str,
                  format: str, **description: Any) -> RecordedField:
        label = "density" if self.density else field.parameters["orbitals"][0]
        record = self.to_record(inputs.found, what=label,
                                orbitals=field.parameters["orbitals"],
                                weights=field.parameters.get("weights"), **description)
        return RecordedField(field.data, field.grid, field.parameters, record=record,
                             name=file_stem(self.molecule_name, label, suffix), format=format,
                             molecule=molecule, comment=f"libkernels {self.source}")


@dataclass(frozen=True)
class CubeRequest(OrbitalOrDensityRequest):
    """An orbital, or the charge density, on a real-space grid around the molecule,
    saved as a Gaussian cube file (bohr) with its record."""

    kind: ClassVar[str] = "cube"

    spacing: float = setting(0.2)
    margin: float = setting(4.0)
    unit: LengthUnit = setting("angstrom")
    threads: Union[int, None] = setting(None, recorded=False)
    max_memory: MemorySize = setting(None, recorded=False)
    progress: bool = setting(True, recorded=False)

    def grid(self, molecule: Molecule) -> Grid:
        """The grid, once the orbital's name and the memory the field takes are checked."""
        if not self.density:
            molecule.orbital_index(self.orbital, self.spin)  # a bad name fails before any work
        grid = Grid.around(molecule, spacing=self.spacing, margin=self.margin, unit=self.unit)
        nx, ny, nz = grid.shape
        # the field, the kernels' work grids and the reordered copy a cube writer makes
        grids = 2 + 2 * (self.threads or 2) if self.density else 3
        check(float32_bytes(nx, ny, nz) * grids, f"a grid of {nx} x {ny} x {nz} points",
              "raise {spacing} or lower {margin}", self.max_memory)
        return grid

    def run(self) -> RecordedField:
        inputs = Inputs(self)
        molecule = self.read_molecule(inputs)
        grid = self.grid(molecule)
        if self.density:
            field = charge_density_sum(molecule, "occupied", grid=grid, threads=self.threads,
                                       progress=self.progress, max_memory=self.max_memory)
        else:
            field = scalar_field(molecule, self.orbital, spin=self.spin, grid=grid,
                                 max_memory=self.max_memory)
        nx, ny, nz = grid.shape
        return self._recorded(field, inputs, molecule, "", "cube",
                              quantity=field.parameters["quantity"],
                              units=field.parameters["units"], grid_shape=[nx, ny, nz],
                              grid_unit=grid.unit, origin=list(grid.origin), step=grid.step,
                              layout="cube file: bohr, x slowest, z fastest")


@dataclass(frozen=True)
class MomentumDensityRequest(OrbitalOrDensityRequest):
    """|FT psi|^2 / pi^3 of an orbital, or of all occupied ones, on a cubic momentum grid,
    saved as .npy or NetCDF with its record."""

    kind: ClassVar[str] = "momentum-density"

    k_max: float = setting(3.0)
    n: int = setting(61)
    k_unit: MomentumUnit = setting("1/angstrom")
    format: str = setting("npy")
    max_memory: MemorySize = setting(None, recorded=False)
    progress: bool = setting(True, recorded=False)

    def check(self) -> None:
        super().check()
        if self.format not in ("npy", "nc"):
            raise InputError("format", f"must be npy or nc, got {self.format!r}")

    def run(self) -> RecordedField:
        inputs = Inputs(self)
        molecule = self.read_molecule(inputs)
        grid = Grid.momentum_cube(self.k_max, self.n, self.k_unit)
        if self.density:
            field = momentum_density_sum(molecule, "occupied", grid=grid,
                                         max_memory=self.max_memory)
        else:
            field = momentum_density(molecule, self.orbital, spin=self.spin, grid=grid,
                                     max_memory=self.max_memory)
        description: Dict[str, Any] = dict(layout=DENSITY_LAYOUT, k_unit=field.unit,
                                           k_axis=field.grid.axis(0), units=DENSITY_UNITS)
        return self._recorded(field, inputs, molecule, "_momentum_density", self.format,
                              **description)

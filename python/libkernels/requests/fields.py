"""The requests of `libkernels cube` and `libkernels momentum-density`: one orbital, or
all occupied ones, on a 3D grid in real space or in momentum space."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, ClassVar, Union

from ..core.errors import InputError
from ..core.grids import Field3D, Grid
from ..core.kernels import (charge_density_sum, momentum_density, momentum_density_sum,
                            scalar_field)
from ..core.memory import MemorySize, check, float32_bytes
from .base import MoleculeRequest, setting
from .maps import max_memory_setting, quiet_setting, threads_setting

if TYPE_CHECKING:
    from ..core.types import LengthUnit, MomentumUnit, OrbitalSelector


@dataclass
class OrbitalOrDensityRequest(MoleculeRequest):
    """One orbital (`orbital`), or with `density` all occupied orbitals weighted by
    their occupations."""

    orbital: OrbitalSelector = setting("HOMO", "-O", "--orbital",
                                       help="orbital name or 0-based index (default: HOMO)")
    density: bool = setting(False)


@dataclass
class CubeRequest(OrbitalOrDensityRequest):
    """An orbital, or the charge density, on a real-space grid around the molecule
    (written as a cube file by the command)."""

    kind: ClassVar[str] = "cube"

    density: bool = setting(False, "--density", action="store_true",
                            help="charge density of all occupied orbitals instead of one "
                                 "orbital")
    spacing: float = setting(0.2, "--spacing", type=float, metavar="ANGSTROM",
                             help="grid spacing in Å (default: 0.2)")
    margin: float = setting(4.0, "--margin", type=float, metavar="ANGSTROM",
                            help="space around the atoms in Å (default: 4)")
    unit: LengthUnit = setting("angstrom")
    threads: Union[int, None] = threads_setting("threads for --density (default: all CPUs)")
    max_memory: MemorySize = max_memory_setting()
    progress: bool = quiet_setting()

    def prepare(self) -> Grid:
        """The grid, once the orbital's name and the memory the field takes are checked."""
        molecule = self.load_molecule()
        if not self.density:
            molecule.orbital_index(self.orbital, self.spin)  # a bad name fails before any work
        grid = Grid.around(molecule, spacing=self.spacing, margin=self.margin, unit=self.unit)
        nx, ny, nz = grid.shape
        # the field, the kernels' work grids and the reordered copy a cube writer makes
        grids = 2 + 2 * (self.threads or 2) if self.density else 3
        check(float32_bytes(nx, ny, nz) * grids, f"a grid of {nx} x {ny} x {nz} points",
              "raise {spacing} or lower {margin}", self.max_memory)
        return grid

    def compute(self, grid: Grid) -> Field3D:
        molecule = self.load_molecule()
        if self.density:
            return charge_density_sum(molecule, "occupied", grid=grid, threads=self.threads,
                                      progress=self.progress, max_memory=self.max_memory)
        return scalar_field(molecule, self.orbital, spin=self.spin, grid=grid,
                            max_memory=self.max_memory)

    def run(self) -> Field3D:
        return self.compute(self.prepare())


@dataclass
class MomentumDensityRequest(OrbitalOrDensityRequest):
    """|FT psi|^2 / pi^3 of an orbital, or of all occupied ones, on a cubic momentum grid."""

    kind: ClassVar[str] = "momentum-density"

    density: bool = setting(False, "--density", action="store_true",
                            help="sum over all occupied orbitals weighted by occupation")
    k_max: float = setting(3.0, "--k-max", type=float, metavar="INV_ANGSTROM",
                           help="the grid spans -k_max ... +k_max on each axis (default: 3)")
    n: int = setting(61, "--resolution", type=int, metavar="N",
                     help="points per axis (default: 61)")
    k_unit: MomentumUnit = setting("1/angstrom")
    format: str = setting("npy", "--format", choices=("npy", "nc"),
                          help="numpy array or NetCDF with labelled axes (default: npy)")
    max_memory: MemorySize = max_memory_setting()
    progress: bool = quiet_setting("accepted for symmetry with the other commands")

    def __post_init__(self) -> None:
        if self.format not in ("npy", "nc"):
            raise InputError("format", f"must be npy or nc, got {self.format!r}")

    def run(self) -> Field3D:
        molecule = self.load_molecule()
        grid = Grid.momentum_cube(self.k_max, self.n, self.k_unit)
        if self.density:
            return momentum_density_sum(molecule, "occupied", grid=grid,
                                        max_memory=self.max_memory)
        return momentum_density(molecule, self.orbital, spin=self.spin, grid=grid,
                                max_memory=self.max_memory)

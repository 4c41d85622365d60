"""Writes a real-space Field3D as a Gaussian cube file (bohr, x slowest, z fastest)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Tuple

import numpy as np

from ..core.errors import InputError

if TYPE_CHECKING:
    from ..core.grids import Field3D
    from ..core.molecule import Molecule
    from ..core.types import Float64Array, PathLike


def write_cube(path: PathLike, field: Field3D, molecule: Molecule,
               comment: str = "libkernels") -> None:
    """Writes `field` (a real-space Field3D) and the atoms of `molecule` to `path`."""
    grid = field.grid
    if grid.space != "real":
        raise InputError("field", "must be on a real-space grid: a cube file holds one")
    nx, ny, nz = grid.shape
    origin, step = grid.origin_bohr, grid.step_bohr  # cube files are in bohr
    lines = [comment.replace("\n", " ")[:79],
             f"{', '.join(field.parameters.get('orbitals', []))[:79] or 'values'}",
             f"{molecule.n_atoms:5d} {origin[0]:12.6f} {origin[1]:12.6f} {origin[2]:12.6f}",
             f"{nx:5d} {step:12.6f} {0.0:12.6f} {0.0:12.6f}",
             f"{ny:5d} {0.0:12.6f} {step:12.6f} {0.0:12.6f}",
             f"{nz:5d} {0.0:12.6f} {0.0:12.6f} {step:12.6f}"]
    for a in range(molecule.n_atoms):
        z = int(molecule.atomic_numbers[a])
        lines.append(f"{z:5d} {float(z):12.6f} {molecule.atom_x[a]:12.6f} "
                     f"{molecule.atom_y[a]:12.6f} {molecule.atom_z[a]:12.6f}")
    # The field is stored [k, j, i] (x fastest); cube files run z fastest.
    values = np.transpose(field.data, (2, 1, 0)).reshape(nx * ny, nz)
    with open(path, "w") as handle:
        handle.write("\n".join(lines) + "\n")
        for row in values:
            for start in range(0, nz, 6):
                handle.write("".join(f" {v:12.5E}" for v in row[start:start + 6]) + "\n")


def read_cube(path: PathLike) -> Tuple[Float64Array, float, Float64Array, Float64Array]:
    """Reads a cube file written by write_cube: (origin, step, data[nx, ny, nz], atoms)."""
    with open(path) as handle:
        lines = handle.read().splitlines()
    atoms_field, *origin = lines[2].split()
    n_atoms = abs(int(atoms_field))
    shape = [int(lines[3 + d].split()[0]) for d in range(3)]
    step = float(lines[3].split()[1])
    atoms = [[float(v) for v in line.split()] for line in lines[6:6 + n_atoms]]
    values = np.array(" ".join(lines[6 + n_atoms:]).split(), dtype=np.float64)
    return (np.array(origin, dtype=np.float64), step, values.reshape(shape), np.array(atoms))

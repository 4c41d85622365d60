"""libkernels: photoemission momentum maps, orbitals and densities from Python.

    import libkernels as lk
    mol = lk.load_example("pentacene")            # or lk.read("file.molden" / ".fchk" / ...)
    m = lk.momentum_map_sum(mol, ["HOMO"], photon_energy=35, work_function=4.5)
    m.data, m.kx, m.ky                             # (n, n) map and its axes in 1/angstrom

Units: the library computes in bohr, bohr^-1, hartree and degrees; the Python
functions take eV and 1/angstrom by default (energy_unit=, k_unit=, unit=), and
every attribute of a result is in the unit asked for (library values under
names ending in _bohr).  Maps and momentum densities are |FT psi|^2 / pi^3 in
bohr^3.  Bad arguments raise InputError, requests above the memory limit
MemoryLimitError (both ValueErrors).
"""

__version__ = "0.2.0"

from ._library import MissingKernelError, available, library_path
from .batch import scan_momentum_maps
from .data import example_path, load_example
from .deconvolution import DeconvolutionResult, deconvolve
from .fit import FitResult, IdentifiabilityWarning, fit_momentum_map
from .grids import Field3D, Grid, MomentumMap
from .memory import MemoryLimitError
from .validation import InputError
from .kernels import (charge_density_sum, flip_over_x, flip_over_y, momentum_density,
                      momentum_density_sum, momentum_map, momentum_map_sum, normalisation,
                      polarisation_factor, rotation, scalar_field, symmetrisation)
from .errors import DroppedPartsWarning, MoldenCorrectionWarning, MoldenError, ReadError
from .measured import MeasuredDataError, MeasuredMap, load_measured
from .molden import parse_molden, read_molden
from .molecule import Molecule
from .pyscf_interface import from_pyscf
from .readers import FORMATS, read
from .scanning import open_scan, scan
from .units import BOHR_IN_ANGSTROM, HARTREE_IN_EV

__all__ = [
    "DroppedPartsWarning", "MoldenCorrectionWarning", "ReadError",
    "BOHR_IN_ANGSTROM", "HARTREE_IN_EV", "Field3D", "Grid", "InputError", "MemoryLimitError",
    "MissingKernelError",
    "MoldenError", "Molecule", "MomentumMap", "available", "charge_density_sum",
    "DeconvolutionResult", "FORMATS", "deconvolve", "example_path", "FitResult",
    "IdentifiabilityWarning", "MeasuredDataError", "MeasuredMap", "fit_momentum_map",
    "load_measured", "flip_over_x", "flip_over_y", "from_pyscf", "library_path",
    "load_example", "momentum_density", "momentum_density_sum", "momentum_map",
    "momentum_map_sum", "normalisation", "parse_molden", "polarisation_factor",
    "open_scan", "read", "read_molden", "rotation", "scalar_field", "scan",
    "scan_momentum_maps", "symmetrisation",
]

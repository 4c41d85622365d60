"""libkernels: photoemission momentum maps, orbitals and densities from Python.

    import libkernels as lk
    mol = lk.load_example("pentacene")            # or lk.read("file.molden" / ".fchk" / ...)
    m = lk.momentum_map_sum(mol, ["HOMO"], photon_energy=35, work_function=4.5)
    m.data, m.kx, m.ky                             # (n, n) map and its axes in 1/angstrom

Units: the library computes in bohr, bohr^-1, hartree and degrees; the Python
functions take eV and 1/angstrom by default (energy_unit=, k_unit=, unit=), and
every attribute of a result is in the unit asked for (library values under
names ending in _bohr).  Maps and momentum densities are |FT psi|^2 / pi^3 in
bohr^3.  Every error the package raises is a LibkernelsError (bad arguments an
InputError, requests above the memory limit a MemoryLimitError, both also
ValueErrors), every warning a LibkernelsWarning.

The package, from the bottom up (each layer imports only those below it):
core (the C library's binding, the molecule, grids, kernels, records),
basis (other programs' basis conventions), formats (reading files), structures
(orbitals computed from a name, a SMILES string or coordinates with PySCF, cached:
lk.compute_orbitals, lk.catalogue, lk.dyson_orbitals), requests
(the map, cube and momentum-density requests) and plot (figures), kspace
(measured angles to momentum: lk.to_momentum, `libkernels convert`), fit and
scan (fitting measured maps; many maps on executors and into Zarr stores, each
with its request), tomography (real-space images from measured maps, with
theirs), explore (the web page's server, and the same page's parts as a
notebook widget: lk.widget) and cli (the command line).

Every output the package writes has a record beside it (a .json file, NetCDF
or Zarr attributes) holding the request that made it:
`lk.Request.from_record("map.json").run()` makes the same bits again.
"""

__version__ = "0.2.0"

from .core.errors import (Cancelled, CommandLineError, ComputationError, DroppedPartsWarning,
                          FitWarning,
                          IdentifiabilityWarning,
                          InputError, JobError, KernelMemoryError, LibkernelsError,
                          LibkernelsWarning, LibraryNotFoundError, MapWarning,
                          MeasuredDataError, MemoryLimitError, MissingExtraError, MissingKernelError,
                          MoldenCorrectionWarning, MoldenError, MoleculeError, OutputError,
                          ReaderWarning, ReadError, RecordError, RequestError, ScanError,
                          StoreError)
from .core.grids import Field3D, Grid, MomentumMap
from .core.energies import Energies
from .core.kernels import (charge_density_sum, momentum_density, momentum_density_sum,
                           momentum_map, scalar_field)
from .core.library import available, library_path
from .core.map_operations import (flip_over_x, flip_over_y, normalisation, polarisation_factor,
                                  rotation, symmetrisation)
from .core.map_sum_call import MapSumCall
from .core.molecule import Molecule
from .core.record import read_record
from .core.units import BOHR_IN_ANGSTROM, HARTREE_IN_EV
from .explore.notebook import widget
from . import plot  # registers the figures' drawers (core/figures.py)
from .fit.deconvolution import DeconvolutionResult
from .fit.request import DeconvolutionRequest, FitRequest, deconvolve, fit_momentum_map
from .fit.measured import MeasuredMap, load_measured
from .fit.result import FitResult
from .formats.api import FORMATS, load_example, load_molecule, read
from .formats.examples import example_path
from .formats.molden import parse_molden, read_molden
from .formats.pyscf import from_pyscf
from .kspace.convert import to_momentum
from .kspace.request import ConversionResult, ConvertRequest
from .requests.base import Request
from .requests.fields import CubeRequest, MomentumDensityRequest
from .requests.maps import MapRequest, momentum_map_sum
from .requests.results import MapResult, RecordedField, RecordedMap
from .scans.job import ScanRequest
from .scans.orientation_scan import as_momentum_maps, scan_momentum_maps, scan_to_xarray
from .scans.store_scan import open_scan, run_scan, scan
from .structures import (CatalogueEntry, Structure, catalogue, compute_orbitals, dyson_orbitals,
                         resolve_molecule)
from .tomography.request import ReconstructionRequest, reconstruct
from .tomography.result import Reconstruction

__all__ = [
    # errors and warnings
    "LibkernelsError", "InputError", "MemoryLimitError", "MoleculeError", "CommandLineError",
    "ComputationError", "ReadError", "MoldenError", "RecordError", "MeasuredDataError", "OutputError", "JobError",
    "StoreError", "ScanError", "LibraryNotFoundError", "MissingKernelError",
    "KernelMemoryError", "MissingExtraError", "RequestError", "Cancelled", "LibkernelsWarning",
    "MoldenCorrectionWarning", "DroppedPartsWarning", "ReaderWarning", "IdentifiabilityWarning",
    "FitWarning", "MapWarning",
    # the data model and units
    "Molecule", "Grid", "MomentumMap", "Field3D", "Energies", "BOHR_IN_ANGSTROM",
    "HARTREE_IN_EV",
    # the kernels
    "momentum_map", "momentum_map_sum", "MapSumCall", "polarisation_factor", "scalar_field",
    "charge_density_sum", "momentum_density", "momentum_density_sum", "rotation",
    "flip_over_x", "flip_over_y", "symmetrisation", "normalisation", "available",
    "library_path",
    # reading molecules
    "read", "FORMATS", "load_molecule", "read_molden", "parse_molden", "from_pyscf",
    "load_example", "example_path",
    # orbitals computed from structures (PySCF), the catalogue, Dyson orbitals
    "compute_orbitals", "dyson_orbitals", "resolve_molecule", "catalogue", "CatalogueEntry",
    "Structure",
    # scans
    "scan_momentum_maps", "as_momentum_maps", "scan_to_xarray", "scan", "run_scan",
    "open_scan",
    # fits
    "load_measured", "MeasuredMap", "fit_momentum_map", "FitResult", "deconvolve",
    "DeconvolutionResult",
    # measured data as laboratories write them
    "to_momentum", "ConvertRequest", "ConversionResult",
    # reconstructions
    "reconstruct", "Reconstruction",
    # the live map in a notebook
    "widget",
    # requests and their records
    "Request", "MapRequest", "CubeRequest", "MomentumDensityRequest", "FitRequest",
    "DeconvolutionRequest", "ScanRequest", "ReconstructionRequest", "read_record",
    "MapResult", "RecordedMap", "RecordedField",
]

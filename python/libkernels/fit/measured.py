"""Measured maps for the fit: the model and its checks live in core/measured.py,
`load_measured` (every kind of source, files through formats/measured/) in
kspace/measured.py; their names are kept here for the fit's modules."""

from ..core.measured import ENERGY_ATTRIBUTES, UNIFORM_TOLERANCE, MeasuredMap
from ..formats.measured import NETCDF_SUFFIXES
from ..kspace.measured import MeasuredSource, load_measured

__all__ = ["MeasuredMap", "MeasuredSource", "load_measured", "ENERGY_ATTRIBUTES",
           "UNIFORM_TOLERANCE", "NETCDF_SUFFIXES"]

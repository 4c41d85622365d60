"""The binding to the C library and the data model, importing nothing else of the package.

library.py declares the twelve C functions; molecule.py, grids.py, units.py
and measured.py (a measured map and its checks) are the data model; kernels.py, map_sum_call.py and map_operations.py call the
kernels; validation.py, memory.py, interrupt.py and progress.py check, guard
and run the calls; orientation.py states the orientation convention;
errors.py holds every error and warning of the package, extras.py the optional
dependencies, types.py the types that recur in the package's signatures.
"""

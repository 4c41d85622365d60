"""Fitting measured momentum maps: measured data (measured.py), the orbitals' model
maps at the measured pixels (model.py), the fit (fitting.py, with linear.py and
orientation_search.py; its outcome in result.py) and energy stacks
(deconvolution.py)."""

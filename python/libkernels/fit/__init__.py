"""Fitting measured momentum maps: measured data (measured.py: the names of
core/measured.py and kspace/measured.py), the orbitals' model
maps at the measured pixels (model.py), the instrument and the model as a function
of the nonlinear parameters (forward.py), the linear solve and the error models
(linear.py), the search (orientation_search.py) and the maps' symmetry
(symmetry.py), the fit of one map (map_fit.py) and of energy stacks
(deconvolution.py), both from the plan (plan.py) their requests resolve
(request.py), and the fit's outcome (result.py)."""

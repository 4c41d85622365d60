"""Orbital tomography: real-space images of orbitals from measured momentum maps.

data.py turns maps into Fourier magnitudes on a box (sampling.py) chosen from
the support (support.py); algorithms.py retrieves the phases from many random
starts at once; alignment.py aligns and averages them and measures the PRTF;
reconstruction.py is the entry point `reconstruct`, result.py its outcome.
"""

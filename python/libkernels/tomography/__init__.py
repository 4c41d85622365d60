"""Orbital tomography: real-space images of orbitals from measured momentum maps.

request.py holds the entry point `reconstruct` and its ReconstructionRequest
(the settings, the files read, the record); reconstruction.py does the work:
data.py turns maps into Fourier magnitudes on a box (sampling.py) chosen from
the support (support.py); algorithms.py retrieves the phases from many random
starts at once; alignment.py aligns and averages them and measures the PRTF;
result.py holds the outcome.
"""

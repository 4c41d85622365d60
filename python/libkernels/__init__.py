"""libkernels: photoemission momentum maps, orbitals and densities from Python."""

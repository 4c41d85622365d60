"""Final states beyond the plane wave: the independent-atomic-centre (IAC) model.

The package's maps use the plane-wave final state, |eps.k|^2 |psi~(k)|^2.  Here
the photoelectron leaves each atom in that atom's own partial waves l' = l +- 1,
with the radial functions and phase shifts of a spherical atomic potential,
and the atoms' amplitudes add coherently (iac.py states the model):

    from libkernels.final_state import IACMapCall, Light
    call = IACMapCall(mol, ["HOMO"], kinetic_energy_hartree=30 / 27.211386,
                      grid=(201, -1.6, 0.016), light=Light("circular-left"))
    image = call.run((0, 0, 0))            # float32 (201, 201)
    asymmetry = call.dichroism((0, 0, 0))  # (left - right) / (left + right)

Modules, from the bottom up: radial_grid.py (the radial mesh and Numerov's
method), potential.py (Hartree-Fock-Slater with Latter's tail, H to Xe, cached
on disk), continuum.py (continuum radial functions and phases, free or atomic),
harmonics.py (real harmonics to l = 5, dipole angular coefficients), radial.py
(the shells' velocity-form radial integrals), light.py (polarisation vectors),
iac.py (the maps, partial-wave parameters and their derivatives),
cross_sections.py (atomic subshell sigma and beta from the same matrix elements).
Everything is in atomic units (bohr, hartree, radians for phases; degrees for
the light's and the molecule's angles, as elsewhere in the package).
"""

from .continuum import ContinuumWaves, atomic_waves, free_waves, phase_table
from .cross_sections import SubshellPhotoionisation, subshell_photoionisation
from .harmonics import DIPOLE_ANGULAR, real_harmonics
from .iac import IACMapCall, PartialWaveBasis, PartialWaves
from .light import Light
from .potential import AtomicPotential, atomic_potential, ground_configuration

__all__ = ["IACMapCall", "PartialWaveBasis", "PartialWaves", "Light", "AtomicPotential",
           "atomic_potential", "ground_configuration", "ContinuumWaves", "atomic_waves",
           "free_waves", "phase_table", "SubshellPhotoionisation", "subshell_photoionisation",
           "DIPOLE_ANGULAR", "real_harmonics"]

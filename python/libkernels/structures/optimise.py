"""Geometry optimisation with GFN2-xTB (tblite), the step between a force field's
coordinates and the orbitals.

A force field's geometry is good to a few hundredths of an angstrom in bond
lengths; GFN2-xTB, a tight-binding method, brings conjugated molecules close to
their DFT geometries at a fraction of the cost.  tblite gives energy and
gradient; scipy's L-BFGS (scipy comes with PySCF) finds the minimum.  The
optimisation stops when the largest gradient component falls below
GRADIENT_TOLERANCE.
"""

from __future__ import annotations

import time
from typing import TYPE_CHECKING, Any, Tuple

import numpy as np

from ..core.errors import ComputationError
from ..core.extras import require
from ..core.units import BOHR_IN_ANGSTROM
from .structure import EXTRA

if TYPE_CHECKING:
    from ..core.types import Float64Array
    from .structure import Structure

METHOD = "GFN2-xTB"
GRADIENT_TOLERANCE = 3e-4   # hartree/bohr, largest component
MAX_STEPS = 2000
NEARLY_PLANAR = 0.35   # angstrom
ON_PLANE = 1e-3        # angstrom
ENERGY_TIE = 1e-5      # hartree


def optimise(structure: Structure, *, max_steps: int = MAX_STEPS) -> Tuple[Structure, dict]:
    """The structure at its GFN2-xTB minimum, and a record of the optimisation
    (energy in hartree, steps, largest remaining gradient, seconds).

    A minimum found within NEARLY_PLANAR of a plane is tried once more from its
    flattened copy: a planar start stays planar (the gradient has no component
    off a mirror plane), and the lower of the two minima is kept (the planar one
    when they agree to ENERGY_TIE), so that a force field's slightly puckered
    start does not leave a planar molecule puckered.
    """
    optimised, record = _minimum(structure, max_steps)
    centred = optimised.positions - optimised.positions.mean(axis=0)
    _, _, axes = np.linalg.svd(centred)
    height = centred @ axes[2]
    if ON_PLANE < np.abs(height).max() < NEARLY_PLANAR:
        flat = structure.with_positions(centred - np.outer(height, axes[2]))
        planar, planar_record = _minimum(flat, max_steps)
        planar_record["steps"] += record["steps"]
        planar_record["seconds"] = round(planar_record["seconds"] + record["seconds"], 2)
        if planar_record["energy_hartree"] <= record["energy_hartree"] + ENERGY_TIE:
            planar_record["note"] = ("the minimum from the force field's coordinates was "
                                     f"{np.abs(height).max():.2f} angstrom off planar; the "
                                     "planar minimum is lower or as low")
            return planar.with_positions(planar.positions, ""), planar_record
        record["seconds"] = planar_record["seconds"]
    return optimised, record


def _minimum(structure: Structure, max_steps: int) -> Tuple[Structure, dict]:
    interface = require("tblite.interface", EXTRA, "the geometry optimisation", "tblite",
                        "or pass optimise=False to keep the coordinates as they are")
    optimize = require("scipy.optimize", EXTRA, "the geometry optimisation", "scipy")
    start = time.perf_counter()
    numbers = np.array(structure.atomic_numbers)
    x0 = structure.positions.reshape(-1) / BOHR_IN_ANGSTROM
    calculator = _calculator(interface, numbers, x0.reshape(-1, 3), structure)
    count = [0]

    def energy_and_gradient(x: Float64Array) -> Tuple[float, Float64Array]:
        count[0] += 1
        calculator.update(x.reshape(-1, 3))
        try:
            result = calculator.singlepoint()
        except Exception as error:  # tblite raises its own errors: one line
            raise ComputationError(f"GFN2-xTB failed for {structure.name or structure.formula} "
                                   f"({str(error).strip()[:120]})") from None
        return float(result.get("energy")), np.asarray(result.get("gradient")).reshape(-1)

    found = optimize.minimize(energy_and_gradient, x0, jac=True, method="L-BFGS-B",
                              options={"maxiter": max_steps, "maxfun": 2 * max_steps,
                                       "gtol": GRADIENT_TOLERANCE, "ftol": 1e-12,
                                       "maxcor": 30})
    energy, gradient = energy_and_gradient(found.x)
    largest = float(np.abs(gradient).max())
    if largest > 10 * GRADIENT_TOLERANCE:
        raise ComputationError(f"the GFN2-xTB optimisation of {structure.name or structure.formula} "
                               f"stopped after {count[0]} steps with a gradient of "
                               f"{largest:.2g} hartree/bohr; pass optimise=False to use the "
                               "coordinates as they are")
    record = {"method": METHOD, "energy_hartree": energy, "steps": count[0],
              "max_gradient_hartree_per_bohr": largest,
              "seconds": round(time.perf_counter() - start, 2)}
    moved = found.x.reshape(-1, 3) * BOHR_IN_ANGSTROM
    return structure.with_positions(moved, f"optimised with {METHOD} (tblite), largest "
                                           f"gradient {largest:.1e} hartree/bohr"), record


def _calculator(interface: Any, numbers: Any, positions: Any, structure: Structure) -> Any:
    try:
        calculator = interface.Calculator(METHOD, numbers, positions,
                                          charge=float(structure.charge), uhf=structure.spin)
    except Exception as error:
        raise ComputationError(f"GFN2-xTB cannot set up {structure.name or structure.formula} "
                               f"({str(error).strip()[:120]})") from None
    calculator.set("verbosity", 0)
    return calculator

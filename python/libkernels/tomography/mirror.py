"""The mirror plane of a planar molecule lying flat, a constraint of its 3D image.

Every orbital of a planar molecule is even or odd under the reflection
through the molecular plane (the reflection commutes with every symmetry of
the molecule, so each of its eigenfunctions has one parity): a pi orbital is
odd, a sigma orbital even.  A 3D retrieval that knows the plane can hold its
iterates to one parity, psi(x, y, z0 - z) = +-psi(x, y, z0 + z), which fixes
what the hemispheres alone leave loose: the phases of the ball under the
smallest hemisphere and of the gaps between hemispheres, where the lobes above
and below the plane would otherwise come out unequal.

The magnitudes alone cannot tell the two parities apart (|F(kz)| = |F(-kz)|
for both), so with parity "auto" half the starts are run with each and the
parity whose starts meet the data better (the lower median Fourier error) is
the one kept; the record says both errors.

The plane is used when it is a plane of the box's grid: the molecule's atoms
lie within PLANE_TOLERANCE of one height, and that height is the box's centre
(an outline's box is centred on the molecule; a box support is centred on
z = 0, so the molecule must lie there).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, Optional

import numpy as np

from ..core.errors import InputError
from .sampling import FourierBox, mirrored

PARITIES = ("auto", "odd", "even", "none")
SIGNS = {"odd": -1.0, "even": 1.0}
PLANE_TOLERANCE = 0.1  # Å: the atoms' spread in height of a planar molecule lying flat


def parity_setting(value: Any) -> str:
    """`mirror` as a request holds it: one of PARITIES."""
    key = str(value).strip().lower()
    if key not in PARITIES:
        raise InputError("mirror", f"names an unknown parity {value!r}; choose from "
                                   f"{', '.join(PARITIES)}")
    return key


@dataclass(frozen=True)
class MirrorPlan:
    """The parity the starts are held to: `parity` "odd", "even", "auto" (half the
    starts each) or "none"; `height` the plane's z (Å); `reason` why it is (not) used."""

    parity: str
    height: Optional[float]
    reason: str

    @property
    def used(self) -> bool:
        return self.parity != "none"

    def signs(self, first: int, stop: int) -> Optional[np.ndarray]:
        """The mirror's sign for starts first .. stop - 1 (odd -1, even +1), or None
        when no parity is imposed.  With "auto", even starts odd and odd starts even."""
        if not self.used:
            return None
        if self.parity == "auto":
            return np.array([SIGNS["odd"] if s % 2 == 0 else SIGNS["even"]
                             for s in range(first, stop)], dtype=np.float32)
        return np.full(stop - first, SIGNS[self.parity], dtype=np.float32)


def mirror_plan(parity: str, ndim: int, points: Optional[np.ndarray],
                box: FourierBox) -> MirrorPlan:
    """Whether (and how) the 3D starts are held to a parity about the molecule's
    plane: `points` the atoms' positions (Å, as the molecule stands) or None."""
    if ndim != 3 or parity == "none":
        return MirrorPlan("none", None, "2D image" if ndim != 3 else "not asked")
    centre = box.centre[2]
    if points is None:
        if parity == "auto":
            return MirrorPlan("none", None, "no molecule to give the plane")
        return MirrorPlan(parity, centre, "given; the plane through the box's centre")
    heights = points[:, 2]
    if float(np.ptp(heights)) > PLANE_TOLERANCE:
        if parity == "auto":
            return MirrorPlan("none", None, "the molecule is not planar in the xy plane")
        raise InputError("mirror", f"asks for {parity} parity, but the molecule's atoms "
                                   f"span {float(np.ptp(heights)):.2f} Å in z: it is not a "
                                   "planar molecule lying flat")
    height = float(np.mean(heights))
    if abs(height - centre) > PLANE_TOLERANCE:
        if parity == "auto":
            return MirrorPlan("none", None, f"the molecule's plane (z = {height:.2f} Å) is "
                                            "not the box's centre")
        raise InputError("mirror", f"asks for {parity} parity about the molecule's plane at "
                                   f"z = {height:.2f} Å, but the box is centred on z = "
                                   f"{centre:.2f} Å; use the molecule's outline as support")
    # the mirror is the grid's own, through the box's centre
    return MirrorPlan(parity, centre, "planar molecule lying flat")


def mirrored_z(images: np.ndarray) -> np.ndarray:
    """A stack of 3D images (B, nx, ny, nz) in FFT order reflected through the
    plane of the box's centre: index j along z goes to (n - j) % n."""
    return mirrored(images, axes=(-1,))


def hold_parity(images: np.ndarray, signs: np.ndarray) -> np.ndarray:
    """Each image's part of its start's parity, (x + s x_mirrored) / 2."""
    s = signs.reshape((-1,) + (1,) * (images.ndim - 1))
    return (np.float32(0.5) * (images + s * mirrored_z(images))).astype(images.dtype)


def chosen_parity(plan: MirrorPlan, signs: Optional[np.ndarray],
                  errors: np.ndarray) -> Dict[str, Any]:
    """What the record says of the parity: the one used, and with "auto" the median
    Fourier error of each parity's starts (the lower one chosen)."""
    if not plan.used or signs is None:
        return {"parity": "none", "reason": plan.reason}
    out: Dict[str, Any] = {"plane_z_angstrom": plan.height, "reason": plan.reason}
    if plan.parity != "auto":
        out.update(parity=plan.parity, chosen_by="given")
        return out
    medians = {name: float(np.median(errors[signs == sign])) for name, sign in SIGNS.items()
               if np.any(signs == sign)}
    best = min(medians, key=lambda name: medians[name])
    out.update(parity=best, chosen_by="the lower median Fourier error of its starts",
               fourier_error_median=medians)
    return out

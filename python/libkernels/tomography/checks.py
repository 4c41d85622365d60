"""When a reconstruction should not be trusted: the warnings of its record.

A phase retrieval meets its constraints whatever they are: a support turned
against the molecule, or too small for it, still gives starts that agree with
each other and a Fourier error that looks fine, with an image forced into the
wrong shape.  The data say more than that, before any phase is retrieved: the
inverse transform of the measured intensity is the object's autocorrelation,
which lies within the support's own autocorrelation (the support's difference
set, twice its size) when the support can hold the object.  So in 2D

- `support-too-small`: the share of the autocorrelation's power beyond the
  support's difference set exceeds OUTSIDE_SHARE;
- `orientation`: the long axes of the two autocorrelations (from their second
  moments, when both are elongated by ELONGATED at least) differ by more than
  TURN_LIMIT degrees: an outline at the wrong orientation, or a box along x for
  a molecule turned in the map;

and in any dimension

- `starts-disagree`: fewer than half the starts averaged agree with their
  consensus, so that the image is not the one solution the data allow;
- `asymmetric-data` (2D): the measured I(k) and I(-k) differ by more than
  ASYMMETRY_LIMIT, which a k origin off centre does (they are averaged before
  the retrieval, so the image would not show it).

3D data cover only the hemispheres, so their zero-filled autocorrelation is
blurred beyond the support; the two support checks are made in 2D only.
"""

from __future__ import annotations

from typing import List, Optional, Tuple

import numpy as np

from ..fit.result import CodedWarning
from .sampling import FourierBox

OUTSIDE_SHARE = 0.05   # of the autocorrelation's power beyond the support's difference set
ELONGATED = 1.5        # ratio of the principal second moments for a long axis to count
TURN_LIMIT = 10.0      # degrees between the long axes before the orientation is doubted
ASYMMETRY_LIMIT = 0.2  # || A(k) - A(-k) || / || A || of the measured cells
AGREEING_SHARE = 0.5   # of the averaged starts that should agree with their consensus


def _long_axis(weights: np.ndarray, box: FourierBox) -> Tuple[float, float]:
    """(angle of the long axis in degrees within (-90, 90], ratio of the principal
    second moments) of non-negative `weights` on the box's 2D lattice (FFT order,
    positions relative to the origin)."""
    x, y = np.meshgrid(*box.offsets(), indexing="ij", sparse=True)
    total = max(float(weights.sum()), 1e-300)
    xx = float((weights * x * x).sum()) / total
    yy = float((weights * y * y).sum()) / total
    xy = float((weights * x * y).sum()) / total
    spread = np.sqrt(((xx - yy) / 2) ** 2 + xy ** 2)
    large, small = (xx + yy) / 2 + spread, (xx + yy) / 2 - spread
    return float(np.degrees(0.5 * np.arctan2(2 * xy, xx - yy))), large / max(small, 1e-300)


def support_warnings(box: FourierBox, amplitude: np.ndarray, measured: np.ndarray,
                     support: np.ndarray, described: str) -> List[CodedWarning]:
    """The 2D checks of `support` (bool, the box's shape) against the measured
    magnitudes; `described` names the support in the messages."""
    found: List[CodedWarning] = []
    if box.ndim != 2:
        return found
    data = np.fft.ifftn(np.where(measured, amplitude ** 2, 0.0)).real
    own = np.fft.ifftn(np.abs(np.fft.fftn(support.astype(float))) ** 2).real
    held = own > 0.5  # the support's difference set: at least one pair of its cells
    power = data ** 2
    outside = float(power[~held].sum() / max(float(power.sum()), 1e-300))
    if outside > OUTSIDE_SHARE:
        found.append({"code": "support-too-small",
                      "message": f"{outside:.0%} of the map's autocorrelation lies beyond "
                                 f"twice the {described}: it is too small for the object "
                                 "(or turned); make it larger"})
    data_angle, data_ratio = _long_axis(np.abs(data), box)
    own_angle, own_ratio = _long_axis(np.clip(own, 0.0, None), box)
    turn = abs((data_angle - own_angle + 90.0) % 180.0 - 90.0)
    if data_ratio >= ELONGATED and own_ratio >= ELONGATED and turn > TURN_LIMIT:
        found.append({"code": "orientation",
                      "message": f"the {described}'s long axis is turned about {turn:.0f}° "
                                 "against the map's (from its autocorrelation): the image is "
                                 "forced "
                                 "into the wrong shape; give the molecule's orientation in "
                                 "the map (--orientation)"})
    return found


def result_warnings(agreeing: int, averaged: int,
                    asymmetry: Optional[float]) -> List[CodedWarning]:
    """The checks of the retrieval's outcome: the starts' agreement, the data's
    symmetry."""
    found: List[CodedWarning] = []
    if agreeing < AGREEING_SHARE * averaged:
        found.append({"code": "starts-disagree",
                      "message": f"only {agreeing} of {averaged} starts agree with their "
                                 "consensus: the data do not fix one image with this "
                                 "support"})
    if asymmetry is not None and asymmetry > ASYMMETRY_LIMIT:
        found.append({"code": "asymmetric-data",
                      "message": f"the map's I(k) and I(-k) differ by {asymmetry:.2f} of its "
                                 "magnitudes: is its k origin off centre?"})
    return found

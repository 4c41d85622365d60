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

3D data cover only the hemispheres, so their zero-filled 3D autocorrelation is
blurred beyond the support.  Each map of a 3D series is a map as a 2D
reconstruction takes it, though: the two support checks are made on every map
against the support's projection on the xy plane, and the median over the maps
decides.  Along z no map says anything, so the retrieval is asked instead: a few
starts run inside a box LARGER times the support (as far as the box's
oversampling allows), and when the data are met clearly better there
(`larger_support_warnings`) the support is too small.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple

import numpy as np

from ..fit.result import CodedWarning
from .sampling import FourierBox

OUTSIDE_SHARE = 0.05   # of the autocorrelation's power beyond the support's difference set
ELONGATED = 1.5        # ratio of the principal second moments for a long axis to count
TURN_LIMIT = 10.0      # degrees between the long axes before the orientation is doubted
ASYMMETRY_LIMIT = 0.2  # || A(k) - A(-k) || / || A || of the measured cells
AGREEING_SHARE = 0.5   # of the averaged starts that should agree with their consensus
LARGER = 1.5           # 3D: the larger box's size over the support's, per axis
# 3D: the share of the data met only inside the larger box, sqrt(given^2 - larger^2)
# of the two best Fourier errors, beyond which the given support is too small:
# EXCESS_FLOOR + EXCESS_PER_ERROR x the larger box's error.  A larger support always
# meets the data a little better, the more so the noisier they are (it fits more of
# their noise).  Measured on series of 10 maps (15-90 eV) of pentacene's HOMO and
# coronene's HOMO-4, noiseless and at 20 to 1000 counts in the peak pixel: supports
# that hold the orbital leave 0-0.07 (at most 0.01 below the limit), supports too
# thin for its pi lobes (a box 0.75 times too short along z, an outline with a
# 1.5 Å margin) 0.042-0.135 (at least 0.005 above it).
EXCESS_FLOOR = 0.03
EXCESS_PER_ERROR = 0.25


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


@dataclass(frozen=True)
class SupportMeasures:
    """What one map's autocorrelation says of a support: the share of its power
    beyond the support's difference set, and the angle (degrees) between their
    long axes (None unless both are elongated)."""

    outside: float
    turn: Optional[float]


def support_measures(box: FourierBox, amplitude: np.ndarray, measured: np.ndarray,
                     support: np.ndarray) -> SupportMeasures:
    """The measures of `support` (bool, the 2D box's shape) against the measured
    magnitudes of one map."""
    data = np.fft.ifftn(np.where(measured, amplitude ** 2, 0.0)).real
    own = np.fft.ifftn(np.abs(np.fft.fftn(support.astype(float))) ** 2).real
    held = own > 0.5  # the support's difference set: at least one pair of its cells
    power = data ** 2
    outside = float(power[~held].sum() / max(float(power.sum()), 1e-300))
    data_angle, data_ratio = _long_axis(np.abs(data), box)
    own_angle, own_ratio = _long_axis(np.clip(own, 0.0, None), box)
    turn = abs((data_angle - own_angle + 90.0) % 180.0 - 90.0)
    elongated = data_ratio >= ELONGATED and own_ratio >= ELONGATED
    return SupportMeasures(outside, turn if elongated else None)


def support_warnings(measures: Sequence[SupportMeasures], described: str) -> List[CodedWarning]:
    """The warnings of the measures of one map, or of each map of a series (the
    median over the maps decides, so that one map's noise does not)."""
    found: List[CodedWarning] = []
    if not measures:
        return found
    series = len(measures) > 1
    whose = f"the median map's ({len(measures)} maps)" if series else "the map's"
    outside = float(np.median([m.outside for m in measures]))
    if outside > OUTSIDE_SHARE:
        found.append({"code": "support-too-small",
                      "message": f"{outside:.0%} of {whose} autocorrelation lies beyond "
                                 f"twice the {described}{' in x and y' if series else ''}: "
                                 "it is too small for the object (or turned); make it "
                                 "larger"})
    turns = [m.turn for m in measures if m.turn is not None]
    if len(turns) * 2 > len(measures):
        turn = float(np.median(turns))
        if turn > TURN_LIMIT:
            found.append({"code": "orientation",
                          "message": f"the {described}'s long axis is turned about "
                                     f"{turn:.0f}° against {whose} (from its "
                                     "autocorrelation): the image is forced into the wrong "
                                     "shape; give the molecule's orientation in the map "
                                     "(--orientation)"})
    return found


def larger_support_warnings(given: float, larger: float, factor: float,
                            described: str) -> List[CodedWarning]:
    """The check of a 3D support by the retrieval itself: the best Fourier error of
    the starts inside it (`given`) against that of a few starts inside a box
    `factor` times as large (`larger`).  A support that holds the object meets the
    data about as well as a larger one; one that cannot leaves an error the
    larger support does not, beyond what the noise explains."""
    excess = float(np.sqrt(max(given ** 2 - larger ** 2, 0.0)))
    if excess > EXCESS_FLOOR + EXCESS_PER_ERROR * larger:
        return [{"code": "support-too-small",
                 "message": f"the maps are met to a Fourier error of {given:.3f} inside the "
                            f"{described} and of {larger:.3f} inside a box {factor:.2g} times "
                            "as large: it is too small for the object (or turned); make it "
                            "larger"}]
    return []


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

"""A reconstruction's settings with every default resolved: what the phase retrieval
(reconstruction.py) takes from its request (request.py)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Optional, Sequence, Tuple, Union

from ..core.memory import MemorySize
from .algorithms import DEFAULT_BETA

if TYPE_CHECKING:
    from ..core.molecule import Molecule

DEFAULT_ITERATIONS = {2: 400, 3: 300}
DEFAULT_POLISH = {2: 100, 3: 50}
DEFAULT_STARTS = 50
DEFAULT_OVERSAMPLING = 3.0
# Å around the atoms of an outline: in 3D the pi lobes above and below the
# plane need more (pentacene HOMO from 20 maps: 0.78 with 1.5 Å, 0.91 with 2 Å)
DEFAULT_MARGIN = {2: 1.5, 3: 2.0}

SupportSpec = Union[None, str, Sequence[float], "Molecule"]


@dataclass(frozen=True)
class ReconstructionPlan:
    """The settings of one reconstruction in `ndim` dimensions, each a value."""

    ndim: int
    support: SupportSpec
    margin: float
    orientation: Tuple[float, float, float]
    shrink_wrap: Optional[bool]
    algorithm: str
    beta: float
    iterations: int
    polish: int
    starts: int
    keep: float
    oversampling: float
    shape: Optional[Union[int, Sequence[int]]]
    seed: int
    max_memory: MemorySize
    progress: bool
    # 3D: fit each map's intensity scale to the estimate (model.py) rather than
    # take the maps' intensities as given
    fit_scales: bool = False
    # 3D: the parity held about a planar molecule's plane (mirror.py)
    mirror: str = "none"

    @classmethod
    def resolved(cls, ndim: int, *, support: SupportSpec, margin: Optional[float],
                 orientation: Tuple[float, float, float], shrink_wrap: Optional[bool],
                 algorithm: str, beta: Optional[float], iterations: Optional[int],
                 polish: Optional[int], starts: int, keep: float, oversampling: float,
                 shape: Optional[Union[int, Sequence[int]]], seed: int,
                 max_memory: MemorySize, progress: bool,
                 fit_scales: bool = False, mirror: str = "none") -> "ReconstructionPlan":
        """The plan with the defaults of `ndim` dimensions where a setting is None."""
        return cls(ndim, support, DEFAULT_MARGIN[ndim] if margin is None else margin,
                   orientation, shrink_wrap, algorithm,
                   DEFAULT_BETA[algorithm] if beta is None else beta,
                   DEFAULT_ITERATIONS[ndim] if iterations is None else iterations,
                   DEFAULT_POLISH[ndim] if polish is None else polish, starts, keep,
                   oversampling, shape, seed, max_memory, progress, fit_scales, mirror)

"""The request of a reconstruction (`libkernels reconstruct`, `lk.reconstruct`).

    request = ReconstructionRequest(measured="map.npz", kinetic_energy=30, support=(14, 5))
    result = request.run()                    # a Reconstruction, its record in .record
    ReconstructionRequest.from_record("reconstruction.json").run()   # the same bits

Every setting that shapes the image is recorded, the seed of the random starts
among them, so that the request re-made from a record computes the same bits;
the measured maps (one file, or one per photon energy) and the molecule whose
outline is the support are recorded with their SHA-256.  How the work runs
(the memory limit, the progress display) is not recorded.
"""

from __future__ import annotations

import functools
import os
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, ClassVar, List, Optional, Sequence, Tuple, Union

from ..core.errors import InputError
from ..core.extras import require
from ..core.molecule import Molecule
from ..core.validation import angles as validated_angles, count, in_range, positive
from ..core.memory import MemorySize
from ..requests.base import Inputs, MoleculeRequest, MoleculeSource, names_files, setting
from .algorithms import ALGORITHMS, DEFAULT_ALGORITHM
from .data import Series, load_series
from .mirror import parity_setting
from .plan import DEFAULT_OVERSAMPLING, DEFAULT_STARTS, ReconstructionPlan
from .reconstruction import retrieve
from .result import Reconstruction
from .sampling import MIN_OVERSAMPLING

if TYPE_CHECKING:
    from ..core.types import Spin

__all__ = ["ReconstructionRequest", "reconstruct"]

SHRINK_WRAP = "shrink-wrap"
# 3D: the maps' intensities as given, or each map's scale fitted to the estimate
SCALES = ("given", "fit")

# The measured data: a file, a list of files (or of maps in memory), a map in
# memory (a MeasuredMap, an xarray object, (intensity, kx, ky)).
Measured = Any
# Energies in eV: one value, or one per map.
EnergyValues = Optional[Union[float, List[float]]]


def support_setting(value: Any) -> Any:
    """`support` as a request holds it: None, 'shrink-wrap' (however spelt) or a box."""
    if isinstance(value, str):
        if value.strip().lower().replace("-", "").replace("_", "") != "shrinkwrap":
            raise InputError("support", f"names an unknown support {value!r}; give a box "
                                        "(Lx, Ly[, Lz]) in Å, a Molecule or 'shrink-wrap'")
        return SHRINK_WRAP
    return value


def algorithm_setting(name: Any) -> str:
    """The algorithm's short name: 'hio', 'raar' or 'er' (or their long names)."""
    key = str(name).strip().lower().replace("-", "").replace("_", "")
    key = {"errorreduction": "er", "hybridinputoutput": "hio"}.get(key, key)
    if key not in ALGORITHMS:
        raise InputError("algorithm", f"names an unknown algorithm {name!r}; choose from "
                                      f"{', '.join(ALGORITHMS)}")
    return key


@dataclass(frozen=True)
class ReconstructionRequest(MoleculeRequest):
    """An orbital's real-space image from measured maps (see `reconstruct` for the
    settings).  `molecule`, when given, is read for its outline only: the support
    when no box is given, and the atoms drawn on the figure."""

    kind: ClassVar[str] = "reconstruct"
    input_files: ClassVar[Tuple[str, ...]] = ("measured", "molecule")

    measured: Measured = setting(None)
    kinetic_energy: EnergyValues = setting(None)
    photon_energy: EnergyValues = setting(None)
    work_function: Optional[float] = setting(None)
    binding_energy: Optional[float] = setting(None)
    support: Union[None, str, Sequence[float], Molecule] = setting(None)
    # optional here, unlike for the other requests of one molecule: its outline only
    molecule: Optional[MoleculeSource] = setting(None)
    spin: Spin = setting("alpha", recorded=False)  # the outline has no spin
    margin: Optional[float] = setting(None)
    orientation: Sequence[float] = setting((0.0, 0.0, 0.0))
    shrink_wrap: Optional[bool] = setting(None)
    algorithm: str = setting(DEFAULT_ALGORITHM)
    beta: Optional[float] = setting(None)
    iterations: Optional[int] = setting(None)
    polish: Optional[int] = setting(None)
    starts: int = setting(DEFAULT_STARTS)
    keep: float = setting(1.0)
    oversampling: float = setting(DEFAULT_OVERSAMPLING)
    shape: Optional[Union[int, Sequence[int]]] = setting(None)
    seed: int = setting(0)
    scales: str = setting("given")
    # records made before the mirror constraint existed were made without it
    mirror: str = setting("auto", unrecorded="none")
    max_memory: MemorySize = setting(None, recorded=False)
    progress: bool = setting(True, recorded=False)

    def check(self) -> None:
        super().check()
        if self.measured is None:
            raise InputError("measured", "is missing: give the measured map(s)")
        if isinstance(self.support, Molecule):  # a molecule given as the support
            self._set("molecule", self.support)
            self._set("support", None)
        self._set("support", support_setting(self.support))
        self._set("algorithm", algorithm_setting(self.algorithm))
        if self.beta is not None:
            self._set("beta", in_range(self.beta, "beta", 0.0, 1.0))
        self._set("starts", count(self.starts, "starts", 1, 100_000))
        self._set("keep", in_range(self.keep, "keep", 0.0, 1.0))
        if self.keep == 0.0:
            raise InputError("keep", "must be above 0: at least the best start is kept")
        self._set("oversampling", positive(self.oversampling, "oversampling"))
        if self.oversampling < MIN_OVERSAMPLING:
            raise InputError("oversampling", f"must be at least {MIN_OVERSAMPLING:g}, got "
                                             f"{self.oversampling:g}")
        self._set("orientation", validated_angles(self.orientation))
        if self.margin is not None:
            self._set("margin", positive(self.margin, "margin", "Å"))
        if self.iterations is not None:
            self._set("iterations", count(self.iterations, "iterations", 1, 1_000_000))
        if self.polish is not None:
            self._set("polish", count(self.polish, "polish", 0, 1_000_000))
        self._set("seed", count(self.seed, "seed", 0))
        self._set("mirror", parity_setting(self.mirror))
        if self.scales not in SCALES:
            raise InputError("scales", f"must be one of {', '.join(SCALES)}, got "
                                       f"{self.scales!r}")

    # ---- what it reads ---------------------------------------------------------------------

    def series(self, inputs: Inputs) -> Series:
        """The measured maps with their kinetic energies; files are read (and kept
        for the record) through `inputs`, data in memory noted as such."""
        def read(measured: Any) -> Series:
            return load_series(measured, self.kinetic_energy, self.photon_energy,
                               self.work_function, self.binding_energy)

        if isinstance(self.measured, (str, os.PathLike)):
            return inputs.read("measured", read)
        if names_files(self.measured):
            return inputs.read_all("measured", read)
        series = read(self.measured)
        inputs.in_memory("measured", f"{series.source} (in memory)")
        return series

    def plan(self, series: Series) -> ReconstructionPlan:
        """The settings with the defaults of the series' dimensions."""
        return ReconstructionPlan.resolved(
            3 if series.three_d else 2, support=self.support, margin=self.margin,
            orientation=validated_angles(self.orientation), shrink_wrap=self.shrink_wrap,
            algorithm=self.algorithm, beta=self.beta, iterations=self.iterations,
            polish=self.polish, starts=self.starts, keep=self.keep,
            oversampling=self.oversampling, shape=self.shape, seed=self.seed,
            max_memory=self.max_memory, progress=self.progress,
            fit_scales=self.scales == "fit", mirror=self.mirror)

    # ---- the work ---------------------------------------------------------------------------

    def run(self) -> Reconstruction:
        """The reconstruction, with this request's record in `.record` and in its
        image's attributes."""
        clock = time.process_time()
        require("xarray", "fit", "reconstruct", "xarray")
        require("scipy", "fit", "reconstruct", "scipy")
        inputs = Inputs(self)
        series = self.series(inputs)
        molecule = None if self.molecule is None else self.read_molecule(inputs)
        return retrieve(self.plan(series), series, molecule, clock,
                        functools.partial(self.to_record, inputs.found))


def reconstruct(measured: Measured, kinetic_energy: EnergyValues = None, *,
                photon_energy: EnergyValues = None, work_function: Optional[float] = None,
                binding_energy: Optional[float] = None,
                support: Union[None, str, Sequence[float], Molecule] = None,
                molecule: Optional[MoleculeSource] = None,
                margin: Optional[float] = None,
                orientation: Sequence[float] = (0.0, 0.0, 0.0),
                shrink_wrap: Optional[bool] = None,
                algorithm: str = DEFAULT_ALGORITHM, beta: Optional[float] = None,
                iterations: Optional[int] = None, polish: Optional[int] = None,
                starts: int = DEFAULT_STARTS, keep: float = 1.0,
                oversampling: float = DEFAULT_OVERSAMPLING,
                shape: Optional[Union[int, Sequence[int]]] = None, seed: int = 0,
                scales: str = "given", mirror: str = "auto", max_memory: MemorySize = None,
                progress: bool = True) -> Reconstruction:
    """An orbital's real-space image from measured momentum maps, by phase retrieval.

    measured: one map (a file, an xarray.DataArray, a MeasuredMap, or
        (intensity, kx, ky) with k in 1/Å) for a 2D image; a list of maps at
        different kinetic energies, or a series with a leading photon_energy or
        kinetic_energy axis (.npz or NetCDF), for a 3D image.  NaN pixels, and
        everything outside each map's hemisphere, are left free.
    kinetic_energy: eV, one per map; or photon_energy (one per map) with
        work_function and binding_energy (default: the map's own, else 0).
    support: a box (Lx, Ly) or (Lx, Ly, Lz) in Å centred on the origin; a
        Molecule, whose outline (every point within `margin` Å of an atom,
        default 1.5 in 2D and 2 in 3D, the molecule standing as `orientation`
        turns it) is the support; or
        "shrink-wrap" (2D only), which starts from the support of the data's
        autocorrelation.  `molecule` (a Molecule, a file or an example's name)
        alone gives its outline as the support, and with a box is drawn on the
        figure.  shrink_wrap=True shrinks a box or outline further (default:
        only for "shrink-wrap").
    algorithm: "hio" (default), "raar" or "er"; beta its feedback (HIO 0.9,
        RAAR 0.87); iterations of it (default 400 in 2D, 300 in 3D), then
        `polish` iterations of ER (100, 50).  HIO is the default because it
        was the most robust in the package's measurements: as good as the
        others with a tight support, and better with a loose one (a box twice
        the molecule's size) and in 3D, where ER stagnates.
    starts: random starts, run together; keep: the share of them with the
        lowest Fourier error that are aligned and averaged (default all).
    oversampling: real-space period over support extent per axis (>= 2) of
        the box the phases are retrieved in; the data are averaged into its
        cells.  shape: points per axis of the image returned (default 4x the
        box in 2D, 2x in 3D), band-limited interpolation over one period.
    seed: the random phases' seed (start s draws from (seed, s)): the same
        settings and data give the same bits.
    scales: 3D: "given" takes the maps' intensities as they are; "fit" fits
        each map's intensity scale to the estimate during the retrieval (for
        maps whose relative scale is unknown, e.g. each normalised to its peak);
        the fitted scales are in the record's map_scales.
    mirror: 3D: the parity of the image about the plane of a planar molecule
        lying flat ("odd" for a pi orbital, "even" for a sigma orbital), which
        every orbital of such a molecule has.  "auto" (default) runs half the
        starts with each and keeps the parity that meets the data better, when
        the molecule is planar, lies flat and its plane is the box's centre
        (as with its outline as support); "none" imposes none.  The record's
        "mirror" says what was used and why.
    max_memory: the memory guard's limit (bytes or '8G'); progress: a
        progress bar over the iterations.

    Returns a Reconstruction: `.image`, an xarray.DataArray over x, y (and z)
    in Å, scaled so that its largest |value| is 1, with the record in its
    attributes; `.spread` the per-pixel standard deviation of the aligned
    starts; `.prtf` the phase-retrieval transfer function against |k| (1/Å);
    `.record` (the ReconstructionRequest's: `lk.Request.from_record` of it,
    saved, makes the same image again when its data came from files),
    `.save(dir)`, `.plot()`, `.to_dataset()`.

    What is recovered: in 2D, the band-limited 2D function whose transform is
    psi~(k_par, kz(k_par)) on the disc of the hemisphere the map covers; in 3D,
    the orbital band-limited to the ball of the largest hemisphere within the
    maps' window (the ball under the smallest hemisphere and the gaps between
    hemispheres filled by the constraints alone).  Approximations: plane-wave
    final state; one kz per pixel (no kz dispersion within a map); a function
    real up to one global phase; sign, position and inversion twin fixed only
    between the starts (see reconstruction.py's notes).
    """
    return ReconstructionRequest(
        measured=measured, kinetic_energy=kinetic_energy, photon_energy=photon_energy,
        work_function=work_function, binding_energy=binding_energy, support=support,
        molecule=molecule, margin=margin, orientation=orientation, shrink_wrap=shrink_wrap,
        algorithm=algorithm, beta=beta, iterations=iterations, polish=polish, starts=starts,
        keep=keep, oversampling=oversampling, shape=shape, seed=seed, scales=scales,
        mirror=mirror,
        max_memory=max_memory, progress=progress).run()

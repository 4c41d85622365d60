"""`reconstruct`: an orbital's image in real space from measured momentum maps.

What is recovered.  A map measures |psi~(k)|^2 on the hemisphere |k| =
sqrt(2 E_kin), with psi~(k) = integral psi(r) exp(-i k.r) d^3r, in the
plane-wave final-state picture; its phase is lost.  Phase retrieval finds the
phases that make the transform of a real function, confined to a support,
reproduce the measured magnitudes.

- From one map (2D): the band-limited 2D function g(x, y) whose 2D transform is
  psi~(k_par, kz(k_par)) on the disc of the hemisphere that the map covers,
  kz = sqrt(2 E_kin - k_par^2).  For a planar molecule lying flat this is close
  to the orbital seen from above (for a pi orbital, its lobes on one side of the
  plane); it is not the orbital at any one height.
- From maps at many kinetic energies (3D): the orbital itself, band-limited to
  the ball of the largest hemisphere within the maps' window.  Only the
  hemispheres are measured; the ball under the smallest one and the gaps
  between them are filled by the support and reality constraints alone.

Approximations: the plane-wave final state (no scattering of the outgoing
electron, no interference between emitters); one kinetic energy, so one kz,
per pixel of a map (no dispersion of the initial state within a map, no
broadening in kz); the function is real up to one global phase (true of an
orbital of a planar molecule lying flat, and of a real orbital's 3D image;
then the real function recovered differs by that constant phase); and images
have the trivial ambiguities of sign, position and the inversion twin g(-r),
which are fixed by aligning the starts to each other, not to the molecule.
"""

from __future__ import annotations

import time
from typing import Any, Optional, Sequence, Tuple, Union

import numpy as np

from ..core.errors import InputError
from ..core.extras import require
from ..core.memory import MemorySize, check
from ..core.molecule import Molecule
from ..core.progress import progress_bar
from ..core.validation import angles as validated_angles, count, in_range, positive
from .algorithms import ALGORITHMS, DEFAULT_ALGORITHM, DEFAULT_BETA, Retrieval, run_batch
from .alignment import align_all, band_limited_images, prtf, resolution
from .data import Series, grid_series, load_series
from .result import Reconstruction
from .sampling import MIN_OVERSAMPLING, FourierBox, choose_box
from .support import (autocorrelation_extent, autocorrelation_mask, box_extent, box_mask,
                      outline_extent, outline_mask, outline_points)

__all__ = ["reconstruct", "WHAT_2D", "WHAT_3D", "APPROXIMATIONS"]

WHAT_2D = ("the band-limited 2D function whose transform is psi~(k_par, kz(k_par)) on the "
           "disc of the hemisphere covered by the map, real up to one global phase")
WHAT_3D = ("the orbital band-limited to the ball of the largest hemisphere within the maps' "
           "window; the ball under the smallest hemisphere and the gaps between hemispheres "
           "are filled by the constraints alone")
APPROXIMATIONS = ("plane-wave final state; one kz per pixel (no kz dispersion within a map); "
                  "real up to one global phase; sign, position and inversion twin aligned "
                  "between starts only")

DEFAULT_ITERATIONS = {2: 400, 3: 300}
DEFAULT_POLISH = {2: 100, 3: 50}
DEFAULT_STARTS = 50
DEFAULT_OVERSAMPLING = 3.0
# Å around the atoms of an outline: in 3D the pi lobes above and below the
# plane need more (pentacene HOMO from 20 maps: 0.78 with 1.5 Å, 0.91 with 2 Å)
DEFAULT_MARGIN = {2: 1.5, 3: 2.0}
ALIGN_UPSAMPLE = {2: 4, 3: 2}
DISPLAY_UPSAMPLE = {2: 4, 3: 2}
BATCH_BYTES = 64 * 1024 ** 2  # working memory of one batch of starts
_BYTES_PER_CELL = 40          # iterate, its transform and temporaries, per start and cell
_BYTES_PER_START_CELL = 52    # each start's estimate and its spectra while they are aligned
_BYTES_PER_IMAGE_POINT = 48   # sums, squares and one start's padded spectrum and image

SupportSpec = Union[None, str, Sequence[float], Molecule]


def reconstruct(measured: Any, kinetic_energy: Any = None, *,
                photon_energy: Any = None, work_function: Optional[float] = None,
                binding_energy: Optional[float] = None,
                support: SupportSpec = None, molecule: Optional[Molecule] = None,
                margin: Optional[float] = None,
                orientation: Sequence[float] = (0.0, 0.0, 0.0),
                shrink_wrap: Optional[bool] = None,
                algorithm: str = DEFAULT_ALGORITHM, beta: Optional[float] = None,
                iterations: Optional[int] = None, polish: Optional[int] = None,
                starts: int = DEFAULT_STARTS, keep: float = 1.0,
                oversampling: float = DEFAULT_OVERSAMPLING,
                shape: Optional[Sequence[int]] = None, seed: int = 0,
                max_memory: MemorySize = None, progress: bool = True) -> Reconstruction:
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
        autocorrelation.  `molecule` alone gives its outline as the support.
        shrink_wrap=True shrinks a box or outline further (default: only for
        "shrink-wrap").
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
    seed: the random phases' seed (start s draws from (seed, s)).

    Returns a Reconstruction: `.image`, an xarray.DataArray over x, y (and z)
    in Å, scaled so that its largest |value| is 1, with the record in its
    attributes; `.spread` the per-pixel standard deviation of the aligned
    starts; `.prtf` the phase-retrieval transfer function against |k| (1/Å);
    `.record`, `.save(dir)`, `.plot()`, `.to_dataset()`.

    What is recovered: in 2D, the band-limited 2D function whose transform is
    psi~(k_par, kz(k_par)) on the disc of the hemisphere the map covers; in 3D,
    the orbital band-limited to the ball of the largest hemisphere within the
    maps' window (the ball under the smallest hemisphere and the gaps between
    hemispheres filled by the constraints alone).  Approximations: plane-wave
    final state; one kz per pixel (no kz dispersion within a map); a function
    real up to one global phase; sign, position and inversion twin fixed only
    between the starts (see the module's notes).
    """
    clock = time.process_time()
    xr = require("xarray", "fit", "reconstruct", "xarray")
    require("scipy", "fit", "reconstruct", "scipy")
    algorithm = _algorithm(algorithm)
    beta = DEFAULT_BETA[algorithm] if beta is None else in_range(beta, "beta", 0.0, 1.0)
    starts = count(starts, "starts", 1, 100_000)
    keep = in_range(keep, "keep", 0.0, 1.0)
    if keep == 0.0:
        raise InputError("keep", "must be above 0: at least the best start is kept")
    oversampling = positive(oversampling, "oversampling")
    if oversampling < MIN_OVERSAMPLING:
        raise InputError("oversampling", f"must be at least {MIN_OVERSAMPLING:g}, got "
                                         f"{oversampling:g}")
    orientation = validated_angles(orientation)

    series = load_series(measured, kinetic_energy, photon_energy, work_function,
                         binding_energy)
    ndim = 3 if series.three_d else 2
    margin = positive(DEFAULT_MARGIN[ndim] if margin is None else margin, "margin", "Å")
    iterations = count(DEFAULT_ITERATIONS[ndim] if iterations is None else iterations,
                       "iterations", 1, 1_000_000)
    polish = count(DEFAULT_POLISH[ndim] if polish is None else polish, "polish", 0, 1_000_000)

    plan = _support_plan(support, molecule, series, ndim, margin, orientation, shrink_wrap)
    box, ratios = choose_box(plan["extent"], series.k_cover(), series.data_step(),
                             oversampling, plan["centre"], plan["what"])
    data = grid_series(series, box)
    first_support = _support_mask(plan, box, data, margin)
    display = _display_shape(shape, box, ndim)

    kept = max(1, int(round(keep * starts)))
    cells = int(np.prod(box.shape))
    batch = max(1, min(starts, BATCH_BYTES // (_BYTES_PER_CELL * cells)))
    check(batch * _BYTES_PER_CELL * cells + starts * cells * _BYTES_PER_START_CELL
          + int(np.prod(display)) * _BYTES_PER_IMAGE_POINT,
          f"a reconstruction of {starts} starts on a {'x'.join(map(str, box.shape))} box "
          f"with a {'x'.join(map(str, display))} image", "lower {starts} or {shape}",
          max_memory=max_memory)

    estimates = np.empty((starts,) + box.shape, dtype=np.float32)
    errors = np.empty(starts)
    final_cells = np.empty(starts, dtype=np.int64)
    batches = range(0, starts, batch)
    bar = progress_bar((iterations + polish) * len(batches), "reconstruction", progress,
                       unit="iteration")
    try:
        for first in batches:
            members = range(first, min(starts, first + batch))
            retrieval = Retrieval(data.amplitude, data.measured, first_support[None],
                                  algorithm, beta)
            phases = np.stack([2 * np.pi * np.random.default_rng([seed, s]).random(
                box.half_shape) for s in members])
            found, found_errors, supports = run_batch(
                retrieval, phases, iterations, polish,
                first_support if plan["shrink"] else None, bar.update)
            estimates[members.start:members.stop] = found
            errors[members.start:members.stop] = found_errors
            final_cells[members.start:members.stop] = supports.reshape(len(found), -1).sum(1)
    finally:
        bar.close()

    order = np.argsort(errors, kind="stable")[:kept]
    spectra = np.fft.fftn(estimates[order], axes=tuple(range(1, ndim + 1)))
    aligned = align_all(spectra, errors[order], box, data.band, ALIGN_UPSAMPLE[ndim])

    total = np.zeros(display)
    squares = np.zeros(display)
    for image in band_limited_images(aligned.spectra, data.band, display):
        total += image
        squares += image ** 2
    mean = total / kept
    spread = np.sqrt(np.clip(squares / kept - mean ** 2, 0.0, None))
    peak = mean.flat[int(np.argmax(np.abs(mean)))]
    scale = 1.0 / peak if peak != 0 else 1.0
    mean, spread = np.fft.fftshift(mean * scale), np.fft.fftshift(spread * abs(scale))

    centres, transfer, shell_cells = prtf(aligned.spectra, data.amplitude, data.measured, box)
    k_resolution = resolution(centres, transfer)
    record = _record(series, plan, box, ratios, data, algorithm, beta, iterations, polish,
                     starts, kept, seed, errors, order, aligned, final_cells, k_resolution,
                     display, time.process_time() - clock)
    return Reconstruction.build(xr, mean, spread, centres, transfer, shell_cells, box,
                                display, record, errors, plan["points"], plan["heavy"])


def _algorithm(name: str) -> str:
    key = str(name).strip().lower().replace("-", "").replace("_", "")
    aliases = {"errorreduction": "er", "hybridinputoutput": "hio"}
    key = aliases.get(key, key)
    if key not in ALGORITHMS:
        raise InputError("algorithm", f"names an unknown algorithm {name!r}; choose from "
                                      f"{', '.join(ALGORITHMS)}")
    return key


def _support_plan(support: SupportSpec, molecule: Optional[Molecule], series: Series,
                  ndim: int, margin: float, orientation: Tuple[float, float, float],
                  shrink_wrap: Optional[bool]) -> dict:
    """What the support is, its extent and centre (Å) before the box exists."""
    if isinstance(support, Molecule):
        molecule, support = support, None
    points = outline_points(molecule, ndim, orientation) if molecule is not None else None
    if isinstance(support, str):
        if support.strip().lower().replace("-", "").replace("_", "") != "shrinkwrap":
            raise InputError("support", f"names an unknown support {support!r}; give a box "
                                        "(Lx, Ly[, Lz]) in Å, a Molecule or 'shrink-wrap'")
        support = "shrink-wrap"
    if support is None and points is None:
        support = "shrink-wrap"
    heavy = None if molecule is None else np.asarray(molecule.atomic_numbers) > 1
    plan: dict = {"points": points, "heavy": heavy, "shrink": bool(shrink_wrap),
                  "what": "support"}
    if support == "shrink-wrap":
        if ndim == 3:
            raise InputError("support", "is needed in 3D: a box (Lx, Ly, Lz) in Å or a "
                                        "molecule's outline",
                             "{shrink_wrap} refines either")
        m = series.maps[0]
        intensity = np.where(series.valid(0), m.intensity, np.nan)
        doubled = autocorrelation_extent(intensity, (m.kx_step, m.ky_step))
        plan.update(kind="autocorrelation", extent=tuple(d / 2 for d in doubled),
                    centre=(0.0,) * ndim, shrink=shrink_wrap is not False,
                    autocorrelation_extent=doubled, what="object (half its autocorrelation)")
    elif support is None and points is not None:
        extent, centre = outline_extent(points, margin)
        plan.update(kind="outline", extent=extent, centre=centre, margin=margin)
    else:
        plan.update(kind="box", extent=box_extent(support, ndim), centre=(0.0,) * ndim)
    return plan


def _support_mask(plan: dict, box: FourierBox, data: Any, margin: float) -> np.ndarray:
    if plan["kind"] == "box":
        mask = box_mask(box, plan["extent"])
    elif plan["kind"] == "outline":
        mask = outline_mask(box, plan["points"], margin)
    else:
        mask = autocorrelation_mask(box, data.amplitude)
    if not mask.any():
        raise InputError("support", f"holds no cell of the box (cells of "
                                    f"{' x '.join(f'{p:.2g}' for p in box.pixel)} Å); make it "
                                    "larger")
    return mask


def _display_shape(shape: Optional[Sequence[int]], box: FourierBox, ndim: int) -> Tuple[int, ...]:
    if shape is None:
        return tuple(n * DISPLAY_UPSAMPLE[ndim] for n in box.shape)
    values = [shape] * ndim if np.ndim(shape) == 0 else list(shape)
    if len(values) != ndim:
        raise InputError("shape", f"has {len(values)} sizes for a {ndim}D image")
    out = []
    for value, n in zip(values, box.shape):
        size = count(value, "shape", 2, 4096)
        out.append(max(size, n))
    return tuple(out)


def _record(series: Series, plan: dict, box: FourierBox, ratios, data, algorithm: str,
            beta: float, iterations: int, polish: int, starts: int, kept: int, seed: int,
            errors: np.ndarray, order: np.ndarray, aligned, final_cells: np.ndarray,
            k_resolution: Optional[float], display, seconds: float) -> dict:
    ndim = box.ndim
    support = {"kind": plan["kind"], "extent_angstrom": [float(e) for e in plan["extent"]],
               "centre_angstrom": [float(c) for c in plan["centre"]],
               "shrink_wrap": bool(plan["shrink"]),
               "cells_final_median": int(np.median(final_cells[order]))}
    if plan["kind"] == "outline":
        support["margin_angstrom"] = float(plan["margin"])
    return {
        "what": WHAT_3D if ndim == 3 else WHAT_2D,
        "approximations": APPROXIMATIONS,
        "dimensions": ndim,
        "source": series.source,
        "maps": len(series.maps),
        "kinetic_energy_ev": [float(e) for e in series.kinetic_energy],
        "support": support,
        "algorithm": algorithm, "beta": float(beta), "iterations": iterations,
        "polish_er_iterations": polish, "starts": starts, "starts_averaged": kept,
        "seed": seed,
        "box": box.describe(),
        "oversampling": [float(r) for r in ratios],
        "measured_cells": int(data.measured.sum()),
        "band_cells": int(data.band.sum()),
        "image_shape": list(display),
        "fourier_error": {"best": float(errors.min()), "median": float(np.median(errors)),
                          "averaged_max": float(errors[order].max())},
        "alignment": {"twins": int(aligned.twins.sum()),
                      "overlap_median": float(np.median(aligned.overlap)),
                      "overlap_min": float(aligned.overlap.min())},
        "resolution": {"prtf_level": "1/e",
                       "k_inverse_angstrom": k_resolution,
                       "half_period_angstrom": (None if k_resolution is None
                                                else float(np.pi / k_resolution))},
        "image_units": "arbitrary: the largest |value| of the image is 1",
        "cpu_seconds": float(seconds),
    }

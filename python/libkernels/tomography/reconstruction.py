"""Phase retrieval of an orbital's image in real space from measured momentum maps.

The work of a ReconstructionRequest (request.py, which `reconstruct` makes), from
the plan it resolves (plan.py):
the support, the box, the starts, their alignment and average, the PRTF and
what the record says of them.

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
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

import numpy as np

from ..core.errors import InputError, MeasuredDataError
from ..core.extras import require
from ..core.memory import check
from ..core.molecule import Molecule
from ..core.progress import progress_bar
from ..core.validation import count
from ..fit.result import CodedWarning
from .algorithms import Retrieval, run_batch
from .alignment import (Alignment, band_limited_images, consensus, data_overlap, prtf,
                        resolution)
from .checks import (LARGER, SupportMeasures, larger_support_warnings, result_warnings,
                     support_measures, support_warnings)
from .data import FourierData, Series, grid_series
from .mirror import chosen_parity, mirror_plan, SIGNS
from .plan import ReconstructionPlan, SupportSpec
from .result import Reconstruction
from .sampling import MIN_OVERSAMPLING, FourierBox, choose_box
from .support import (autocorrelation_extent, autocorrelation_mask, box_extent, box_mask,
                      outline_extent, outline_mask, outline_points)


__all__ = ["retrieve", "WHAT_2D", "WHAT_3D", "APPROXIMATIONS"]

WHAT_2D = ("the band-limited 2D function whose transform is psi~(k_par, kz(k_par)) on the "
           "disc of the hemisphere covered by the map, real up to one global phase")
WHAT_3D = ("the orbital band-limited to the ball of the largest hemisphere within the maps' "
           "window; the ball under the smallest hemisphere and the gaps between hemispheres "
           "are filled by the constraints alone")
APPROXIMATIONS = ("plane-wave final state; one kz per pixel (no kz dispersion within a map); "
                  "real up to one global phase; sign, position and inversion twin aligned "
                  "between starts only")

# how the warnings name a support given by the caller (one from the data's own
# autocorrelation is not checked against it)
SUPPORT_NAMES = {"outline": "molecule's outline", "box": "box support"}
ALIGN_UPSAMPLE = {2: 4, 3: 2}
DISPLAY_UPSAMPLE = {2: 4, 3: 2}
CHECK_STARTS = 2   # 3D: starts run inside the larger box the support is checked against
MIN_LARGER = 1.2   # the least size of that box over the support's worth the check
BATCH_BYTES = 64 * 1024 ** 2  # working memory of one batch of starts
_BYTES_PER_CELL = 40          # iterate, its transform and temporaries, per start and cell
_BYTES_PER_START_CELL = 52    # each start's estimate and its spectra while they are aligned
_BYTES_PER_IMAGE_POINT = 48   # sums, squares and one start's padded spectrum and image


def retrieve(settings: ReconstructionPlan, series: Series, molecule: Optional[Molecule],
             clock: float, record: Callable[..., Dict[str, Any]]) -> Reconstruction:
    """The reconstruction of the maps `series` that `settings` describe (with the
    outline of `molecule`, when given); `clock` is the process time it started at,
    `record(**description)` the record of the image."""
    xr = require("xarray", "fit", "reconstruct", "xarray")
    ndim = settings.ndim
    algorithm, beta, margin = settings.algorithm, settings.beta, settings.margin
    iterations, polish = settings.iterations, settings.polish
    starts, seed = settings.starts, settings.seed

    plan = _support_plan(settings.support, molecule, series, ndim, margin,
                         tuple(settings.orientation), settings.shrink_wrap)
    box, ratios = choose_box(plan["extent"], series.k_cover(), series.data_step(),
                             settings.oversampling, plan["centre"], plan["what"])
    data = grid_series(series, box, settings.fit_scales)
    first_support = _support_mask(plan, box, data, margin)
    checked = plan["kind"] in SUPPORT_NAMES  # a support the caller chose
    warnings = (support_warnings(_map_measures(plan, box, data, first_support, series,
                                               settings.oversampling, margin),
                                 SUPPORT_NAMES[plan["kind"]]) if checked else [])
    larger = _larger_support(plan, box, ratios) if checked and ndim == 3 else None
    display = _display_shape(settings.shape, box, ndim)
    mirror = mirror_plan(settings.mirror, ndim, plan["points"], box)
    signs = mirror.signs(0, starts)

    cells = int(np.prod(box.shape))
    batch = max(1, min(starts, BATCH_BYTES // (_BYTES_PER_CELL * cells)))
    check(batch * _BYTES_PER_CELL * cells + starts * cells * _BYTES_PER_START_CELL
          + int(np.prod(display)) * _BYTES_PER_IMAGE_POINT,
          f"a reconstruction of {starts} starts on a {'x'.join(map(str, box.shape))} box "
          f"with a {'x'.join(map(str, display))} image", "lower {starts} or {shape}",
          max_memory=settings.max_memory)

    estimates = np.empty((starts,) + box.shape, dtype=np.float32)
    targets = (np.empty((starts,) + box.shape, dtype=np.float32) if data.model is not None
               else None)
    scales = np.ones((starts, len(series.maps)))
    errors = np.empty(starts)
    final_cells = np.empty(starts, dtype=np.int64)
    batches = range(0, starts, batch)
    bar = progress_bar((iterations + polish) * (len(batches) + (larger is not None)),
                       "reconstruction", settings.progress, unit="iteration")
    try:
        for first in batches:
            members = slice(first, min(starts, first + batch))
            retrieval = Retrieval(data.amplitude, data.measured, first_support[None],
                                  algorithm, beta, data.model, box,
                                  None if signs is None else signs[members])
            phases = _phases(seed, range(members.start, members.stop), box)
            found, supports = run_batch(retrieval, phases, iterations, polish,
                                        first_support if plan["shrink"] else None,
                                        bar.update)
            estimates[members] = found.estimates
            errors[members] = found.errors
            if targets is not None and found.targets is not None:
                targets[members] = found.targets
            if found.scales is not None:
                scales[members] = found.scales
            final_cells[members] = supports.reshape(len(found.errors), -1).sum(1)
        if larger is not None:  # a few starts of their own seeds inside the larger box
            retrieval = Retrieval(data.amplitude, data.measured, larger[0][None], algorithm,
                                  beta, data.model, box, None)
            found, _ = run_batch(retrieval, _phases(seed, range(starts, starts + CHECK_STARTS),
                                                    box),
                                 iterations, polish, None, bar.update)
            larger_error = float(found.errors.min())
    finally:
        bar.close()

    # with parity "auto", only the starts of the parity that met the data better
    parity = chosen_parity(mirror, signs, errors)
    candidates = (np.flatnonzero(signs == SIGNS[parity["parity"]]) if signs is not None
                  else np.arange(starts))
    kept = max(1, int(round(settings.keep * len(candidates))))
    order = candidates[np.argsort(errors[candidates], kind="stable")[:kept]]
    spectra = np.fft.fftn(estimates[order], axes=tuple(range(1, ndim + 1)))
    del estimates
    aligned, agree = consensus(spectra, errors[order], box, data.band, ALIGN_UPSAMPLE[ndim])
    wanted = targets[order] if targets is not None else data.amplitude[None]
    overlaps = data_overlap(aligned.spectra, wanted, data.measured, data.band)
    chosen = aligned.spectra[agree]
    averaged = int(agree.sum())
    warnings += result_warnings(averaged, kept, data.asymmetry)
    larger_check = None
    if larger is not None:
        larger_check = {"factor": float(larger[1]),
                        "fourier_error_best": float(errors[order].min()),
                        "larger_fourier_error_best": larger_error}
        if not any(w["code"] == "support-too-small" for w in warnings):
            warnings += larger_support_warnings(larger_check["fourier_error_best"],
                                                larger_error, larger[1],
                                                SUPPORT_NAMES[plan["kind"]])

    total = np.zeros(display)
    squares = np.zeros(display)
    for image in band_limited_images(chosen, data.band, display):
        total += image
        squares += image ** 2
    mean = total / averaged
    spread = np.sqrt(np.clip(squares / averaged - mean ** 2, 0.0, None))
    peak = mean.flat[int(np.argmax(np.abs(mean)))]
    scale = 1.0 / peak if peak != 0 else 1.0
    mean, spread = np.fft.fftshift(mean * scale), np.fft.fftshift(spread * abs(scale))

    transfer = prtf(chosen, wanted[agree] if targets is not None else data.amplitude,
                    data.measured, box)
    description = _description(
        series, plan, box, ratios, data, algorithm=algorithm, beta=beta,
        iterations=iterations, polish=polish, starts=starts, kept=kept, seed=seed,
        errors=errors, order=order, aligned=aligned, agree=agree, overlaps=overlaps,
        scales=scales[order][agree] if data.model is not None else None,
        final_cells=final_cells, k_resolution=resolution(transfer), display=display,
        orientation=settings.orientation, warnings=warnings, mirror=parity,
        larger_check=larger_check,
        seconds=time.process_time() - clock)
    return Reconstruction.build(xr, mean, spread, transfer.centres, transfer.values,
                                transfer.cells, box, display, record(**description), errors,
                                plan["points"], plan["heavy"])


def _support_plan(support: SupportSpec, molecule: Optional[Molecule], series: Series,
                  ndim: int, margin: float, orientation: Sequence[float],
                  shrink_wrap: Optional[bool]) -> Dict[str, Any]:
    """What the support is, its extent and centre (Å) before the box exists:
    `support` is None, "shrink-wrap" or a box (as the request holds it)."""
    points = outline_points(molecule, ndim, orientation) if molecule is not None else None
    if support is None and points is None:
        support = "shrink-wrap"
    heavy = None if molecule is None else np.asarray(molecule.atomic_numbers) > 1
    plan: Dict[str, Any] = {"points": points, "heavy": heavy, "shrink": bool(shrink_wrap),
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


def _support_mask(plan: Dict[str, Any], box: FourierBox, data: FourierData,
                  margin: float) -> np.ndarray:
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


def _phases(seed: int, indices: range, box: FourierBox) -> np.ndarray:
    """The random starting phases of starts `indices`, each from its own seed."""
    return np.stack([2 * np.pi * np.random.default_rng([seed, s]).random(box.half_shape)
                     for s in indices])


def _map_measures(plan: Dict[str, Any], box: FourierBox, data: FourierData,
                  support: np.ndarray, series: Series, oversampling: float,
                  margin: float) -> List[SupportMeasures]:
    """The autocorrelation checks of the support: on the one map in 2D; in 3D on
    each map of the series as a 2D map, against the support's projection on the
    xy plane."""
    if box.ndim == 2:
        return [support_measures(box, data.amplitude, data.measured, support)]
    extent, centre = plan["extent"][:2], plan["centre"][:2]
    found = []
    for m, energy in zip(series.maps, series.kinetic_energy):
        one = Series([m], [energy])
        flat, _ = choose_box(extent, one.k_cover(), one.data_step(), oversampling, centre,
                             plan["what"])
        try:
            gridded = grid_series(one, flat)
        except MeasuredDataError:  # too little of k in this map to say anything
            continue
        mask = (box_mask(flat, extent) if plan["kind"] == "box"
                else outline_mask(flat, plan["points"][:, :2], margin))
        found.append(support_measures(flat, gridded.amplitude, gridded.measured, mask))
    return found


def _larger_support(plan: Dict[str, Any], box: FourierBox,
                    ratios: Sequence[float]) -> Optional[Tuple[np.ndarray, float]]:
    """The box LARGER times the support's extent (less where the box's oversampling
    leaves no room for it) that a 3D support is checked against, and that factor;
    None when the oversampling leaves too little room."""
    factor = min(LARGER, min(ratios) / MIN_OVERSAMPLING)
    if factor < MIN_LARGER:
        return None
    return box_mask(box, [e * factor for e in plan["extent"]]), factor


def _display_shape(shape: Union[None, int, Sequence[int]], box: FourierBox,
                   ndim: int) -> Tuple[int, ...]:
    """The image's points per axis: `shape` (one size for every axis, or one each),
    never coarser than the box; by default DISPLAY_UPSAMPLE times the box."""
    if shape is None:
        return tuple(n * DISPLAY_UPSAMPLE[ndim] for n in box.shape)
    values: List[Any] = ([shape] * ndim if np.ndim(shape) == 0
                         else list(np.asarray(shape, dtype=object).ravel()))
    if len(values) != ndim:
        raise InputError("shape", f"has {len(values)} sizes for a {ndim}D image")
    out = []
    for value, n in zip(values, box.shape):
        size = count(value, "shape", 2, 4096)
        out.append(max(size, n))
    return tuple(out)


def _description(series: Series, plan: Dict[str, Any], box: FourierBox,
                 ratios: Sequence[float], data: FourierData, *, algorithm: str, beta: float,
                 iterations: int, polish: int, starts: int, kept: int, seed: int,
                 errors: np.ndarray, order: np.ndarray, aligned: Alignment,
                 agree: np.ndarray, overlaps: np.ndarray, scales: Optional[np.ndarray],
                 final_cells: np.ndarray, k_resolution: Optional[float],
                 display: Tuple[int, ...], orientation: Sequence[float],
                 warnings: List[CodedWarning], mirror: Dict[str, Any],
                 larger_check: Optional[Dict[str, float]],
                 seconds: float) -> Dict[str, Any]:
    """What the record says of the image: what it is, the support, box and
    iterations used, how well the starts met the data and agreed, the resolution."""
    ndim = box.ndim
    support = {"kind": plan["kind"], "extent_angstrom": [float(e) for e in plan["extent"]],
               "centre_angstrom": [float(c) for c in plan["centre"]],
               "shrink_wrap": bool(plan["shrink"]),
               "cells_final_median": int(np.median(final_cells[order]))}
    if larger_check is not None:
        support["larger_box_check"] = larger_check
    if plan["kind"] == "outline":
        support["margin_angstrom"] = float(plan["margin"])
        support["orientation_deg"] = [float(a) for a in orientation]
    return {
        "what": WHAT_3D if ndim == 3 else WHAT_2D,
        "approximations": APPROXIMATIONS,
        "dimensions": ndim,
        "source": series.source,
        "maps": len(series.maps),
        "kinetic_energy_ev": [float(e) for e in series.kinetic_energy],
        "support": support,
        "algorithm": algorithm, "beta": float(beta), "iterations": iterations,
        "polish_er_iterations": polish, "starts": starts,
        "starts_averaged": int(agree.sum()),
        "seed": seed,
        "box": box.describe(),
        "oversampling": [float(r) for r in ratios],
        "measured_cells": int(data.measured.sum()),
        "missing_pixel_share": float(series.missing_share()),
        "asymmetry": data.asymmetry,
        "band_cells": int(data.band.sum()),
        "image_shape": list(display),
        "fourier_error": {"best": float(errors.min()), "median": float(np.median(errors)),
                          "averaged_max": float(errors[order].max())},
        "alignment": {"twins": int(aligned.twins.sum()),
                      "overlap_median": float(np.median(aligned.overlap)),
                      "overlap_min": float(aligned.overlap.min()),
                      "agreeing": int(agree.sum()), "compared": int(kept),
                      "data_overlap_median": float(np.median(overlaps[agree])),
                      "data_overlap_all": [round(float(v), 4) for v in overlaps],
                      "overlap_all": [round(float(v), 4) for v in aligned.overlap]},
        "mirror": mirror,
        "map_scales": None if scales is None else [float(v) for v in np.median(scales, axis=0)],
        "resolution": {"prtf_level": "1/e",
                       "k_inverse_angstrom": k_resolution,
                       "half_period_angstrom": (None if k_resolution is None
                                                else float(np.pi / k_resolution))},
        "image_units": "arbitrary: the largest |value| of the image is 1",
        "warnings": [dict(w) for w in warnings],
        "cpu_seconds": float(seconds),
    }

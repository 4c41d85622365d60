"""`libkernels.widget`: the explorer's map in a notebook cell (widget.py), made where
the `widget` extra is installed and refused in one line where it is not."""

from __future__ import annotations

from typing import TYPE_CHECKING, Optional, Sequence, Union

from ..core.extras import require

if TYPE_CHECKING:
    from ..core.molecule import Molecule
    from ..core.types import OrbitalSelection, OrientationLike, PathLike, Symmetry
    from .widget import MapWidget


def widget(molecule: Union[Molecule, PathLike], orbitals: OrbitalSelection = ("HOMO",), *,
           weights: Optional[Sequence[float]] = None,
           orientation: OrientationLike = (0.0, 0.0, 0.0),
           photon_energy: Optional[float] = None, work_function: Optional[float] = None,
           kinetic_energy: Optional[float] = None, symmetry: Symmetry = None,
           polarisation: Optional[str] = None, incidence: float = 65.0, azimuth: float = 0.0,
           s_share: float = 0.0, kz_damping: float = 0.0, k_max: float = 3.0,
           resolution: int = 201) -> MapWidget:
    """A live momentum map of `molecule` in a notebook cell: the explorer's map, its
    orientation sliders, orbital list and energy, light and grid controls.

    `molecule` is a Molecule, a shipped example's name or a wavefunction file;
    `orbitals` and the settings start the view.  The settings are those of the
    explorer: `weights` (one per orbital), `orientation` (α, β, γ in degrees, each
    within ±180), `photon_energy` with `work_function`, or `kinetic_energy` (eV;
    default 35 eV photons, 4.5 eV work function), `symmetry` (None, 2, 3, 4),
    `polarisation` (None, 'p', 's', 'linear', 'circular+', 'circular-', 'dichroism',
    'radial'), `incidence` and `azimuth` (degrees), `s_share` (%), `kz_damping`
    (1/Å), `k_max` (1/Å) and `resolution` (pixels per side, at most 1001).

    Each map is computed in the notebook's own kernel, by the code the explorer's
    server runs.  The returned widget's settings are its attributes: read them, or
    set one (`w.orientation = (30, 0, 0)`) and the view repaints; `w.set(...)`
    changes several at once.  `w.orbitals` names the orbitals summed, `w.weights`
    weighs them, and `w.map` is the MomentumMap of the current settings, the bits
    `momentum_map_sum` gives for them (`w.arguments()` are its arguments).  A value
    no map can be made with is refused with an InputError naming the setting.
    Needs the `widget` extra (anywidget and matplotlib).
    """
    require("anywidget", "widget", "the notebook widget", "anywidget")
    require("matplotlib", "widget", "the notebook widget", "matplotlib")
    # the widget's class is an anywidget: its module needs anywidget to be imported at all
    from .widget import MapWidget

    return MapWidget(molecule, orbitals, weights=weights, orientation=orientation,
                     photon_energy=photon_energy, work_function=work_function,
                     kinetic_energy=kinetic_energy, symmetry=symmetry,
                     polarisation=polarisation, incidence=incidence, azimuth=azimuth,
                     s_share=s_share, kz_damping=kz_damping, k_max=k_max,
                     resolution=resolution)

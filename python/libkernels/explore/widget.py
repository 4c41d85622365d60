"""The explorer's map in a notebook cell: an anywidget whose view is the explorer's parts.

The view's JavaScript is the explorer's own: the widget's module is explorer.js (the
parts the page draws with) followed by widget.js (the view that wires them to the
widget's traits), read from the package's static folder when this module is imported.
Its style is the page's style.css, every rule limited to the widget's elements, and
widget.css, the widget's layout.

The settings are traits named as the explorer's settings, synced with the view.  A
change from either side is checked by the explorer's own `parse_settings` and its map
computed here, in the notebook's kernel, by the code the explorer's server runs
(`compute_map`): no server is involved.  The map goes to the view as float32 bytes with
its description, which the view paints.  Values set from Python are refused at once
with an InputError naming the setting; values the view sends are taken as they are,
and a refusal shows over the greyed map, as on the page.
"""

from __future__ import annotations

import io
import itertools
import json
import re
from importlib import resources
from typing import TYPE_CHECKING, Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

import anywidget
import numpy as np
import traitlets

from ..core.errors import InputError, LibkernelsError, RequestError
from ..core.grids import MomentumMap
from ..core.map_sum_call import POLARISATIONS, orientation_angles, symmetry_mode
from ..core.molecule import Molecule, orbital_rows
from ..formats.api import load_molecule
from ..plot.maps import save_map
from . import settings as S
from .colours import colour_tables
from .molecules import make_entry, shown_name

if TYPE_CHECKING:
    from ..core.map_sum_call import MapCall
    from ..core.types import (Float32Array, OrbitalSelection, OrbitalSelector, OrientationLike,
                              PathLike, Spin, Symmetry)

# the settings shown by the view's forms, by the explorer's names
SETTINGS = ("energy_mode", "photon_energy", "work_function", "kinetic_energy", "symmetry",
            "polarisation", "incidence", "azimuth", "s_share", "kz_damping", "k_max",
            "resolution")
PHOTON = ("photon_energy", "work_function")
FOLD = {-1: None, 1: 2, 2: 3, 0: 4}  # symmetry_mode's codes as the folds they stand for
# the statement of widget.js that the inlined explorer.js stands in for
PARTS_IMPORT = re.compile(r'^import\s*\{[^}]*\}\s*from\s*"\./explorer\.js";[ \t]*\n',
                          re.MULTILINE)


def _static(name: str) -> str:
    folder = resources.files("libkernels.explore").joinpath("static")
    return folder.joinpath(name).read_text("utf-8")


def widget_module() -> str:
    """The view's JavaScript module: explorer.js, then widget.js without its import of it."""
    view, found = PARTS_IMPORT.subn("", _static("widget.js"))
    if found != 1:
        raise RuntimeError("widget.js must import the explorer's parts once from ./explorer.js")
    return f"{_static('explorer.js')}\n// ---- the widget's view ----\n{view}"


def scoped_css(css: str, scope: str) -> str:
    """`css` with every rule limited to the elements inside `scope` (a selector): the
    document's own rules (:root, html, body) become the scope's; at-rules holding rules
    (@media, @supports) are scoped inside, other at-rules kept as they are."""
    css = re.sub(r"/\*.*?\*/", "", css, flags=re.DOTALL)
    out: List[str] = []
    position = 0
    while True:
        opening = css.find("{", position)
        if opening < 0:
            break
        head = css[position:opening].strip()
        depth, closing = 1, opening
        while depth:
            closing += 1
            if closing >= len(css):
                raise ValueError(f"unbalanced braces in the style sheet after {head!r}")
            depth += {"{": 1, "}": -1}.get(css[closing], 0)
        body = css[opening + 1:closing]
        if head.startswith(("@media", "@supports")):
            out.append(f"{head} {{\n{scoped_css(body, scope)}}}")
        elif head.startswith("@"):
            out.append(f"{head} {{{body}}}")
        else:
            out.append(f"{', '.join(_scoped(s.strip(), scope) for s in head.split(','))} "
                       f"{{{body.strip()} }}")
        position = closing + 1
    return "\n".join(out) + "\n"


def _scoped(selector: str, scope: str) -> str:
    if selector in (":root", "html", "body"):
        return scope
    return f"{scope} {selector}"


def widget_style() -> str:
    """The page's style limited to the widget's elements, then the widget's layout."""
    return scoped_css(_static("style.css"), ".lk-widget") + _static("widget.css")


def _symmetry_to_json(value: Optional[int], widget: object) -> str:
    return "none" if value is None else str(value)


def _symmetry_from_json(value: str, widget: object) -> Optional[int]:
    return None if value == "none" else int(value)


def _choice_to_json(value: Optional[str], widget: object) -> str:
    return "none" if value is None else value


def _choice_from_json(value: str, widget: object) -> Optional[str]:
    return None if value == "none" else value


def _float(name: str) -> traitlets.Float:
    return traitlets.Float(S.FIELDS[name][0]).tag(sync=True)


class MapWidget(anywidget.AnyWidget):
    """A live momentum map in a notebook cell (made by `libkernels.widget`).

    The traits are the map's settings: `orientation` (α, β, γ in degrees), `selection`
    (the orbitals as [{"index": row, "weight": w}]; `orbitals` and `weights` read and
    set it by name), `energy_mode` ('photon' or 'kinetic'), `photon_energy`,
    `work_function`, `kinetic_energy` (eV), `symmetry` (None, 2, 3, 4), `polarisation`
    (None or a light's name), `incidence`, `azimuth` (degrees), `s_share` (%),
    `kz_damping` (1/Å), `k_max` (1/Å) and `resolution` (pixels per side).  Setting one
    repaints the view; `map` is the MomentumMap of the current settings.
    """

    _esm = widget_module()
    _css = widget_style()

    orientation = traitlets.Any((0.0, 0.0, 0.0)).tag(sync=True)  # checked by _check
    selection = traitlets.List(traitlets.Dict()).tag(sync=True)
    energy_mode = traitlets.Unicode(S.FIELDS["energy_mode"][0]).tag(sync=True)
    photon_energy = _float("photon_energy")
    work_function = _float("work_function")
    kinetic_energy = _float("kinetic_energy")
    symmetry = traitlets.Any(None).tag(
        sync=True, to_json=_symmetry_to_json, from_json=_symmetry_from_json)
    polarisation = traitlets.Unicode(None, allow_none=True).tag(
        sync=True, to_json=_choice_to_json, from_json=_choice_from_json)
    incidence = _float("incidence")
    azimuth = _float("azimuth")
    s_share = _float("s_share")
    kz_damping = _float("kz_damping")
    k_max = _float("k_max")
    resolution = traitlets.Int(S.FIELDS["resolution"][0]).tag(sync=True)

    # what the view reads besides the settings: the molecule as the page describes it,
    # the colour tables and the controls' limits; the map as float32 bytes, row-major
    # (n, n), and its description (settings.map_info, with `answer`: the last request
    # of the view the kernel had seen, or `error`: why the settings are refused)
    _molecule = traitlets.Dict().tag(sync=True)
    _colours = traitlets.Dict().tag(sync=True)
    _limits = traitlets.Dict().tag(sync=True)
    _map_values = traitlets.Bytes(b"").tag(sync=True)
    _map_info = traitlets.Dict().tag(sync=True)
    _request = traitlets.Int(0).tag(sync=True)  # counted up by the view, once per change it sends

    def __init__(self, molecule: Union[Molecule, PathLike],
                 orbitals: OrbitalSelection = ("HOMO",), *,
                 weights: Optional[Sequence[float]] = None,
                 orientation: OrientationLike = (0.0, 0.0, 0.0),
                 photon_energy: Optional[float] = None, work_function: Optional[float] = None,
                 kinetic_energy: Optional[float] = None, symmetry: Symmetry = None,
                 polarisation: Optional[str] = None, incidence: float = 65.0,
                 azimuth: float = 0.0, s_share: float = 0.0, kz_damping: float = 0.0,
                 k_max: float = 3.0, resolution: int = 201) -> None:
        if isinstance(molecule, Molecule):
            argument = shown_name(molecule)
        else:
            argument = str(molecule)
            molecule = load_molecule(molecule)
        self._entry = make_entry(re.sub(r"[^A-Za-z0-9_.-]", "_", argument) or "molecule",
                                 argument, molecule)
        self._ready = False  # no map before every setting is in place
        self._from_view = False
        self._painted = ""
        self._answers = itertools.count(1)
        self._computed: Optional[Tuple[str, Float32Array, MapCall]] = None
        if kinetic_energy is not None and (photon_energy is not None or
                                           work_function is not None):
            raise InputError("kinetic_energy", "is given with photon_energy or work_function: "
                                               "give one or the other")
        energies: Dict[str, Any] = {"energy_mode": "photon"}
        if kinetic_energy is not None:
            energies = {"energy_mode": "kinetic", "kinetic_energy": kinetic_energy}
        for name, value in (("photon_energy", photon_energy), ("work_function", work_function)):
            if value is not None:
                energies[name] = value
        super().__init__(
            _molecule=S.json_ready(self._entry.description),
            _colours=colour_tables("widget", "the notebook widget"), _limits=S.limits(),
            selection=self._selection(orbitals, weights),
            orientation=orientation, **energies,
            symmetry=symmetry, polarisation=polarisation, incidence=incidence,
            azimuth=azimuth, s_share=s_share, kz_damping=kz_damping, k_max=k_max,
            resolution=resolution)
        self._ready = True
        self._prepare(self._body())
        self._repaint()

    # ---- what Python reads ---------------------------------------------------------------
    @property
    def molecule(self) -> Molecule:
        """The molecule whose maps the widget shows."""
        return self._entry.molecule

    @property
    def orbitals(self) -> Tuple[str, ...]:
        """The orbitals summed, by name ('HOMO', 'HOMO-1', 'LUMO (beta)', ...); set it to
        names or row indices (their weights become 1)."""
        return tuple(self.molecule.orbital_label(int(o["index"])) for o in self.selection)

    @orbitals.setter
    def orbitals(self, orbitals: OrbitalSelection) -> None:
        self.selection = self._selection(orbitals, None)

    @property
    def weights(self) -> Tuple[float, ...]:
        """The orbitals' weights in the sum, in the order of `orbitals`."""
        return tuple(float(o.get("weight", 1.0)) for o in self.selection)

    @weights.setter
    def weights(self, weights: Sequence[float]) -> None:
        self.selection = self._selection([int(o["index"]) for o in self.selection], weights)

    @property
    def map(self) -> MomentumMap:
        """The map of the current settings, as `momentum_map_sum` returns it (the same
        bits); an InputError names a setting the map cannot be made with."""
        body = self._body()
        key = self._key(body)
        if self._computed is None or self._computed[0] != key:
            data, _, call = self._compute(body)
            self._computed = (key, data, call)
        _, data, call = self._computed
        return MomentumMap(data.copy(), call.k_min_bohr, call.k_step_bohr, call.k_unit,
                           {**call.parameters, "orientation": self.orientation})

    def arguments(self) -> Dict[str, Any]:
        """The keyword arguments of `momentum_map_sum` that make `map` (orbitals by row)."""
        settings, entry = self._parse(self._body())
        request = S.map_request(settings, entry)
        return {name: getattr(request, name) for name in (
            "orbitals", "orientation", "weights", "kinetic_energy", "photon_energy",
            "work_function", "k_max", "n", "symmetry", "polarisation", "incidence", "azimuth",
            "s_share", "kz_imaginary")}

    def __repr__(self) -> str:
        angles = ", ".join(f"{a:g}" for a in self.orientation)
        return (f"MapWidget({self._entry.description['display']}: "
                f"{' + '.join(self.orbitals)}, orientation ({angles})°)")

    def _repr_mimebundle_(self, **kwargs: Any) -> Any:
        """The live view, and the map as a picture for where no view can run (a saved
        notebook on a page, the documentation)."""
        bundle = super()._repr_mimebundle_(**kwargs)
        if bundle is None:
            return None
        data, metadata = bundle
        try:
            picture = io.BytesIO()
            save_map(self.map, picture, molecule=self.molecule,
                     molecule_name=self._entry.description["display"], dpi=80, format="png")
            data["image/png"] = picture.getvalue()
        except LibkernelsError:
            pass  # settings no map can be made with: the view says why
        return data, metadata

    # ---- changes from the view --------------------------------------------------------------
    def set_state(self, sync_data: Dict[str, Any]) -> None:
        """Takes the view's changes as they are: what the settings refuse shows in the view
        (as an error in its map's description) instead of raising in the kernel."""
        self._from_view = True
        try:
            super().set_state(sync_data)
        except (traitlets.TraitError, InputError) as error:
            # answered all the same: the view waits for the answer to its request
            request = sync_data.get("_request")
            self._refused(str(error), request if isinstance(request, int) else None)
        finally:
            self._from_view = False

    @traitlets.validate("orientation", "selection", *SETTINGS)
    def _check(self, proposal: Dict[str, Any]) -> Any:
        name = proposal["trait"].name
        value = self._normal(name, proposal["value"])
        if self._ready and not self._from_view:
            # refused at once, naming the setting, with what the map needs of the others
            # (set several together with `set`); the view's refusals show in the view, and
            # the constructor checks all settings together once they are in place
            changes = {name: value}
            if name in PHOTON + ("kinetic_energy",):  # the energy to use from now on
                changes["energy_mode"] = "photon" if name in PHOTON else "kinetic"
            self._prepare(self._body(changes))
        return value

    @staticmethod
    def _normal(name: str, value: Any) -> Any:
        """A setting in the form its trait holds, from the forms Python callers give."""
        if name == "orientation":
            return orientation_angles(value)
        if name == "symmetry":
            return FOLD[symmetry_mode(value)]
        if name == "polarisation":
            return _polarisation(value)
        return value

    @traitlets.observe("orientation", "selection", "_request", *SETTINGS)
    def _changed(self, change: Dict[str, Any]) -> None:
        if not self._ready:
            return
        name = change["name"]
        if not self._from_view and name in PHOTON + ("kinetic_energy",):
            # an energy set from Python is the one to use
            self.energy_mode = "photon" if name in PHOTON else "kinetic"
        self._repaint()

    # ---- the map ----------------------------------------------------------------------------
    def _body(self, changes: Optional[Mapping[str, Any]] = None) -> Dict[str, Any]:
        """The settings as the explorer's page sends them."""
        changes = changes or {}

        def value(name: str) -> Any:
            return changes[name] if name in changes else getattr(self, name)

        body = {name: value(name) for name in SETTINGS}
        body["symmetry"] = _symmetry_to_json(body["symmetry"], self)
        body["polarisation"] = _choice_to_json(body["polarisation"], self)
        body["orientation"] = list(value("orientation"))
        body["orbitals"] = [dict(o) for o in value("selection")]
        body["molecule"] = self._entry.name
        return body

    @staticmethod
    def _key(body: Mapping[str, Any]) -> str:
        return json.dumps(body, sort_keys=True)

    def _parse(self, body: Dict[str, Any]) -> Tuple[S.Settings, Any]:
        try:
            return S.parse_settings(body, {self._entry.name: self._entry})
        except RequestError as error:
            raise _as_input_error(str(error)) from None

    def _prepare(self, body: Dict[str, Any]) -> None:
        """Refuses settings no map can be made with, as the map would, without making it."""
        settings, entry = self._parse(body)
        try:
            S.prepare_map(settings, entry)
        except RequestError as error:
            raise _as_input_error(str(error)) from None

    def _compute(self, body: Dict[str, Any]) -> Tuple[Float32Array, Dict[str, Any], MapCall]:
        settings, entry = self._parse(body)
        try:
            return S.compute_map(settings, entry)
        except RequestError as error:
            raise _as_input_error(str(error)) from None

    def _repaint(self) -> None:
        """Computes the map of the current settings for the view, once per change; a
        refusal is shown in the view."""
        body = self._body()
        key = self._key(body)
        painted = f"{key} {self._request}"
        if painted == self._painted:
            return  # the view has this map already (several traits changed at once)
        self._painted = painted
        try:
            data, info, call = self._compute(body)
        except InputError as error:
            self._refused(str(error))
            return
        self._computed = (key, data, call)
        with self.hold_sync():
            self._map_values = np.ascontiguousarray(data, dtype="<f4").tobytes()
            self._map_info = S.json_ready({**info, "answer": self._request,
                                           "count": next(self._answers)})

    def _refused(self, message: str, answer: Optional[int] = None) -> None:
        self._map_info = {"error": message.splitlines()[0],
                          "answer": self._request if answer is None else answer,
                          "count": next(self._answers)}

    # ---- settings from Python ---------------------------------------------------------------
    def set(self, **settings: Any) -> None:
        """Changes several settings at once, checked together (one may need another:
        photon_energy=21.2, work_function=4.2), with one repaint; `orbitals` and `weights`
        as their properties take them."""
        check_names(settings, SETTABLE)
        changes = dict(settings)
        if "orbitals" in changes or "weights" in changes:
            orbitals = changes.pop("orbitals", [int(o["index"]) for o in self.selection])
            weights = changes.pop("weights", None if "orbitals" in settings else self.weights)
            changes["selection"] = self._selection(orbitals, weights)
        energies = set(changes) & set(PHOTON + ("kinetic_energy",))
        if energies and "energy_mode" not in changes:
            changes["energy_mode"] = "kinetic" if "kinetic_energy" in energies else "photon"
        # each value in the traits' own form, then all of them checked together
        proposed = {name: self._normal(name, value) for name, value in changes.items()}
        self._prepare(self._body(proposed))
        self._ready = False
        try:
            with self.hold_sync():
                for name, value in proposed.items():
                    setattr(self, name, value)
        finally:
            self._ready = True
        self._repaint()

    def _selection(self, orbitals: OrbitalSelection,
                   weights: Optional[Sequence[float]]) -> List[Dict[str, Any]]:
        rows = _rows(self.molecule, orbitals)
        if weights is None:
            weights = [1.0] * len(rows)
        weights = [float(w) for w in np.atleast_1d(np.asarray(weights, dtype=float))]
        if len(weights) != len(rows):
            raise InputError("weights", f"needs one value per orbital ({len(rows)}), "
                                        f"got {len(weights)}")
        return [{"index": row, "weight": weight} for row, weight in zip(rows, weights)]


# the keywords of the widget's constructor besides the molecule and its orbitals (the
# energy mode follows from the energies given), and those of `set`
KEYWORDS = ("weights", "orientation") + tuple(n for n in SETTINGS if n != "energy_mode")
SETTABLE = ("orientation", "orbitals", "weights") + SETTINGS


def check_names(settings: Mapping[str, Any], known: Sequence[str] = KEYWORDS) -> None:
    """Refuses a keyword that is none of `known`, listing them."""
    unknown = sorted(set(settings) - set(known))
    if unknown:
        raise InputError(unknown[0], f"is not a setting of the widget; its settings are "
                                     f"{', '.join(known)}")


def _rows(molecule: Molecule, orbitals: OrbitalSelection) -> List[int]:
    """Rows of `orbitals` as `momentum_map_sum` takes them, or the labels `orbitals`
    reads back ('LUMO (beta)')."""
    if isinstance(orbitals, str) and orbitals.strip().lower() == "occupied":
        return orbital_rows(molecule, orbitals)
    if isinstance(orbitals, (str, int, np.integer)):
        orbitals = [orbitals]
    named: List[OrbitalSelector] = []
    for orbital in orbitals:
        labelled = re.fullmatch(r"\s*(.*?)\s*\((alpha|beta)\)\s*", orbital) \
            if isinstance(orbital, str) else None
        if labelled:
            spin: Spin = "alpha" if labelled.group(2) == "alpha" else "beta"
            named.append(molecule.orbital_index(labelled.group(1), spin))
        else:
            named.append(orbital)
    return orbital_rows(molecule, named)


def _polarisation(value: Optional[str]) -> Optional[str]:
    text = None if value is None else str(value).strip().lower()
    if text in (None, "none"):
        return None
    if text not in POLARISATIONS:
        raise InputError("polarisation", f"must be None or one of {', '.join(POLARISATIONS)}, "
                                         f"got {value!r}")
    return text


def _as_input_error(message: str) -> InputError:
    """The explorer's refusal of a setting ("k_max must be ...") as the InputError a
    Python caller catches, naming the same setting."""
    first, _, rest = message.partition(" ")
    if first in S.ANGLE_NAMES:
        return InputError("orientation", message.replace(" (orientation)", "", 1))
    if first.startswith("orbitals["):
        return InputError("weights" if ".weight" in first else "orbitals", rest)
    if first in SETTINGS or first == "orbitals":
        return InputError(first, rest)
    return InputError("settings", f"refused: {message}")

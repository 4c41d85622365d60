"""The description of a scan: which maps to compute, read from TOML or a dict.

    molecules = ["pentacene", "my.molden"]       # files (any format lk.read takes) or examples
    orbitals = ["HOMO", "HOMO-1"]
    kinetic_energy = [20.0, 25.0, 30.0]          # eV; or photon_energy + work_function
    alpha = { start = 0, stop = 180, step = 5 }  # degrees, stop excluded; or a list, or a number
    n = 101
    k_max = 3.0                                  # 1/angstrom
    symmetry = "none"                            # or 2, 3, 4
    polarisation = "none"                        # or p, s, linear, circular+, ... with
                                                 # incidence, azimuth, s_share, kz_damping

Every value is checked here and put in one canonical form, so that two
descriptions of the same scan compare equal and a store can tell whether a
re-run asks for the scan it holds.  `ScanRequest` is that form as the scan's
request: a map request's settings plus the axes the scan sweeps, its maps made
by `map_request` (and so by the one translation of map settings into library
calls).  The store's attributes keep its description with the record's header,
and `ScanRequest.from_record` reads it back from a store (or a .json record),
checking that every molecule file is still the one the scan read.
"""

from __future__ import annotations

import math
import os
import sys
import warnings
from dataclasses import dataclass
from typing import (TYPE_CHECKING, Any, ClassVar, Dict, List, Mapping, Optional, Sequence,
                    Tuple, Union)

from ..core.errors import InputError, JobError, MapWarning, RecordError
from ..core.map_sum_call import POLARISATIONS, symmetry_mode
from ..core.record import RECORD_ATTRIBUTE, check, file_sha256, new_record, read_record
from ..formats.examples import EXAMPLES, example_path
from ..requests.base import Request, setting
from ..requests.maps import MapRequest
from . import zarr_store

if TYPE_CHECKING:
    from ..core.molecule import Molecule
    from ..core.types import OrbitalSelector, PathLike

if sys.version_info >= (3, 11):
    import tomllib
else:  # a dependency of the package on older Pythons
    import tomli as tomllib

# A normalised scan description (normalise): plain values that JSON and TOML hold.
Job = Dict[str, Any]

AXES = ("molecule", "orbital", "energy", "alpha", "beta", "gamma")

DEFAULTS: Dict[str, Any] = {
    "orbitals": ["HOMO"], "spin": "alpha", "work_function": None, "n": 101, "k_max": 3.0,
    "symmetry": "none", "polarisation": "none", "incidence": 65.0, "azimuth": 0.0,
    "s_share": 0.0, "kz_damping": 0.0, "chunk_maps": None,
}
KEYS = ("molecules", "kinetic_energy", "photon_energy", "alpha", "beta", "gamma") + tuple(DEFAULTS)
MAX_ANGLES = 1_000_000


def load_toml(path: PathLike) -> Dict[str, Any]:
    """The TOML file at `path` as a dict (tomllib, or tomli before Python 3.11)."""
    try:
        with open(path, "rb") as handle:
            return tomllib.load(handle)
    except tomllib.TOMLDecodeError as error:
        raise JobError(f"{path}: not valid TOML ({error})") from None
    except OSError as error:
        raise JobError(f"{path}: cannot read the scan description "
                       f"({error.strerror or error})") from None


def _number(key: str, value: object, positive: bool = False) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise JobError(f"{key} must be a number, got {value!r}")
    value = float(value)
    if not math.isfinite(value) or (positive and not value > 0):
        raise JobError(f"{key} must be {'positive and ' if positive else ''}finite, got {value}")
    return value


def _numbers(key: str, value: object, positive: bool = False) -> List[float]:
    given = value if isinstance(value, list) else [value]
    if not given:
        raise JobError(f"{key} is an empty list")
    values = [_number(key, v, positive) for v in given]
    if len(set(values)) != len(values):
        raise JobError(f"{key} lists a value twice")
    return values


def _angles(key: str, value: object) -> List[float]:
    """Angles in degrees: a number, a list, or {start, stop, step} with stop excluded."""
    if not isinstance(value, dict):
        return _numbers(key, value)
    if set(value) != {"start", "stop", "step"}:
        raise JobError(f"{key} takes {{ start = ..., stop = ..., step = ... }}, "
                        f"got keys {', '.join(sorted(value)) or 'none'}")
    start, stop = _number(f"{key}.start", value["start"]), _number(f"{key}.stop", value["stop"])
    step = _number(f"{key}.step", value["step"], positive=True)
    if not stop > start:
        raise JobError(f"{key}: stop ({stop:g}) must be above start ({start:g})")
    # stop is excluded; a tolerance of a millionth of a step keeps 0:180:0.1 at 1800 angles
    count = math.ceil((stop - start) / step - 1e-6)
    if count > MAX_ANGLES:
        raise JobError(f"{key} has {count} angles; at most {MAX_ANGLES}")
    return [start + i * step for i in range(count)]


def _integer(key: str, value: object, low: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < low:
        raise JobError(f"{key} must be an integer >= {low}, got {value!r}")
    return value


def _molecule_source(entry: object, base_dir: str) -> Tuple[str, str]:
    """(kind, location) of a molecule entry: a shipped example by name, or a file."""
    if not isinstance(entry, str) or not entry.strip():
        raise JobError(f"molecules: each entry is a file name or an example, got {entry!r}")
    if entry in EXAMPLES:
        return "example", entry
    path = os.path.abspath(os.path.join(base_dir, os.path.expanduser(entry)))
    if not os.path.isfile(path):
        raise JobError(f"molecules: {entry}: no such file (give a wavefunction file or one of "
                        f"{', '.join(EXAMPLES)})")
    return "file", path


def molecule_path(source: Union[Tuple[str, str], List[str]]) -> str:
    """The file a (kind, location) molecule source reads from on this machine."""
    kind, location = source
    return example_path(location) if kind == "example" else location


def file_digest(path: PathLike) -> str:
    """The SHA-256 of a file, which a scan records for each molecule file."""
    try:
        return file_sha256(path)
    except OSError as error:
        raise JobError(f"molecules: {path}: cannot read the file "
                       f"({error.strerror or error})") from None


def normalise(raw: object, base_dir: str = ".") -> Job:
    """The canonical, checked form of a scan description (a plain dict).

    Raises JobError naming the first offending key.  Molecule files are
    resolved against `base_dir` (the directory of the TOML file) and
    fingerprinted, so that a store refuses to be continued with a changed file.
    """
    if not isinstance(raw, dict):
        raise JobError(f"a scan is described by a table of keys, got {type(raw).__name__}")
    unknown = sorted(set(raw) - set(KEYS))
    if unknown:
        raise JobError(f"unknown key(s) {', '.join(unknown)}; known keys: {', '.join(KEYS)}")
    job = {**DEFAULTS, **raw}

    molecules = job.get("molecules")
    if isinstance(molecules, str):
        molecules = [molecules]
    if not isinstance(molecules, list) or not molecules:
        raise JobError("molecules: give a list of wavefunction files or example names")
    if len(set(molecules)) != len(molecules):
        raise JobError("molecules lists a molecule twice")
    sources = [_molecule_source(entry, base_dir) for entry in molecules]

    orbitals = job["orbitals"]
    if isinstance(orbitals, (str, int)) and not isinstance(orbitals, bool):
        orbitals = [orbitals]
    if (not isinstance(orbitals, list) or not orbitals
            or not all(isinstance(o, (str, int)) and not isinstance(o, bool) for o in orbitals)):
        raise JobError("orbitals: give a list of names (HOMO, HOMO-1, LUMO, ...) or indices")
    orbitals = [str(o).strip() for o in orbitals]
    if len(set(o.upper() for o in orbitals)) != len(orbitals):
        raise JobError("orbitals lists an orbital twice")
    if job["spin"] not in ("alpha", "beta"):
        raise JobError(f"spin must be alpha or beta, got {job['spin']!r}")

    has_kinetic, has_photon = "kinetic_energy" in raw, "photon_energy" in raw
    if has_kinetic == has_photon:
        raise JobError("give kinetic_energy or photon_energy (with work_function), not "
                        + ("both" if has_kinetic else "neither"))
    if has_photon:
        if job["work_function"] is None:
            raise JobError("photon_energy needs work_function (eV) as well")
        work_function = _number("work_function", job["work_function"])
        energy = {"kind": "photon_energy", "values": _numbers("photon_energy",
                                                              raw["photon_energy"], True)}
    else:
        if raw.get("work_function") is not None:
            raise JobError("work_function goes with photon_energy, not kinetic_energy")
        work_function = None
        energy = {"kind": "kinetic_energy", "values": _numbers("kinetic_energy",
                                                               raw["kinetic_energy"], True)}

    symmetry = job["symmetry"]
    try:
        symmetry_mode(symmetry)
    except InputError:
        raise JobError(f"symmetry must be \"none\", 2, 3 or 4, got {symmetry!r}") from None
    symmetry = str(symmetry).strip().lower()
    polarisation = str(job["polarisation"]).strip().lower()
    if polarisation not in ("none",) + tuple(POLARISATIONS):
        raise JobError(f"polarisation must be none or one of {', '.join(POLARISATIONS)}, "
                        f"got {job['polarisation']!r}")
    s_share = _number("s_share", job["s_share"])
    if not 0 <= s_share <= 100:
        raise JobError(f"s_share is a percentage (0 to 100), got {s_share:g}")
    chunk_maps = job["chunk_maps"]
    if chunk_maps is not None:
        chunk_maps = _integer("chunk_maps", chunk_maps, 1)
    kz_damping = _number("kz_damping", job["kz_damping"])
    if polarisation == "dichroism" and kz_damping == 0:
        warnings.warn("circular dichroism is zero in the plane-wave final state unless it is "
                      "damped: every map of this scan will be zero (set kz_damping, 1/Å)",
                      MapWarning, stacklevel=2)

    return {
        "molecules": list(molecules),
        "molecule_sources": [list(s) for s in sources],
        "molecule_sha256": [file_digest(molecule_path(s)) for s in sources],
        "orbitals": orbitals, "spin": job["spin"],
        "energy": energy, "work_function": work_function,
        "alpha": _angles("alpha", raw.get("alpha", 0.0)),
        "beta": _angles("beta", raw.get("beta", 0.0)),
        "gamma": _angles("gamma", raw.get("gamma", 0.0)),
        "n": _integer("n", job["n"], 2), "k_max": _number("k_max", job["k_max"], True),
        "symmetry": symmetry, "polarisation": polarisation,
        "incidence": _number("incidence", job["incidence"]),
        "azimuth": _number("azimuth", job["azimuth"]), "s_share": s_share,
        "kz_damping": kz_damping, "chunk_maps": chunk_maps,
    }


def read(job_or_dict: Union["ScanRequest", PathLike, Dict[str, Any]],
         overrides: Optional[Mapping[str, Any]] = None) -> Job:
    """A normalised scan description from a TOML path, a dict or a ScanRequest;
    `overrides` replace keys of a TOML file or dict (the command line's options)."""
    if isinstance(job_or_dict, ScanRequest):
        return job_or_dict.job
    if isinstance(job_or_dict, dict):
        return normalise({**job_or_dict, **(overrides or {})}, os.getcwd())
    path = os.fspath(job_or_dict)
    if not os.path.isfile(path):
        raise JobError(f"{path}: no such scan description")
    raw = {**load_toml(path), **(overrides or {})}  # its errors name the file already
    try:
        return normalise(raw, os.path.dirname(os.path.abspath(path)))
    except JobError as error:
        raise JobError(f"{path}: {error}") from None


# What identifies a scan's results: everything but how the work is cut into tasks.
IDENTITY_KEYS = ("molecules", "molecule_sha256", "orbitals", "spin", "energy",
                 "work_function", "alpha", "beta", "gamma", "n", "k_max", "symmetry",
                 "polarisation", "incidence", "azimuth", "s_share", "kz_damping")


# the keys that shape each map (besides its molecule, orbital and energy)
MAP_KEYS = ("spin", "work_function", "n", "k_max", "symmetry", "polarisation", "incidence",
            "azimuth", "s_share", "kz_damping")


def differences(stored: Job, job: Job) -> List[str]:
    """The keys in which two normalised descriptions ask for different results (a key
    that a store written before it existed lacks counts as its default)."""
    return [k for k in IDENTITY_KEYS
            if stored.get(k, DEFAULTS.get(k)) != job.get(k, DEFAULTS.get(k))]


def shape(job: Job) -> Tuple[int, int, int, int, int, int]:
    """Sizes of the six scan axes, in the order of AXES."""
    return (len(job["molecules"]), len(job["orbitals"]), len(job["energy"]["values"]),
            len(job["alpha"]), len(job["beta"]), len(job["gamma"]))


# ---- the scan's request and its record ----------------------------------------------------

# the keys of a normalised description that are given as they are in a TOML file
_AS_GIVEN = ("orbitals", "spin", "alpha", "beta", "gamma", "n", "k_max", "symmetry",
             "polarisation", "incidence", "azimuth", "s_share", "kz_damping", "chunk_maps")


@dataclass(frozen=True)
class ScanRequest(Request):
    """A scan's request: the settings every map shares and the axes the scan sweeps
    (molecules with their files' SHA-256, orbitals, energies, the three angles), in
    their canonical, checked form.  `job` is the same as the plain description a
    store keeps; `map_request` the maps of one molecule and energy.  lk.scan and
    run_scan take it as they take a TOML file."""

    kind: ClassVar[str] = "scan"

    molecules: Tuple[str, ...] = setting(())
    molecule_sources: Tuple[Tuple[str, str], ...] = setting(())
    molecule_sha256: Tuple[str, ...] = setting(())
    orbitals: Tuple[str, ...] = setting(("HOMO",))
    spin: str = setting("alpha")
    energy_kind: str = setting("kinetic_energy")
    energies: Tuple[float, ...] = setting(())
    work_function: Optional[float] = setting(None)
    alpha: Tuple[float, ...] = setting((0.0,))
    beta: Tuple[float, ...] = setting((0.0,))
    gamma: Tuple[float, ...] = setting((0.0,))
    n: int = setting(101)
    k_max: float = setting(3.0)
    symmetry: str = setting("none")
    polarisation: str = setting("none")
    incidence: float = setting(65.0)
    azimuth: float = setting(0.0)
    s_share: float = setting(0.0)
    kz_damping: float = setting(0.0)
    chunk_maps: Optional[int] = setting(None)

    @classmethod
    def of_job(cls, job: Job, command: Optional[str] = None) -> "ScanRequest":
        """The request of a normalised description (`normalise`)."""
        return cls(molecules=tuple(job["molecules"]),
                   molecule_sources=tuple(tuple(s) for s in job["molecule_sources"]),
                   molecule_sha256=tuple(job["molecule_sha256"]),
                   orbitals=tuple(job["orbitals"]), spin=job["spin"],
                   energy_kind=job["energy"]["kind"], energies=tuple(job["energy"]["values"]),
                   work_function=job["work_function"], alpha=tuple(job["alpha"]),
                   beta=tuple(job["beta"]), gamma=tuple(job["gamma"]), n=job["n"],
                   k_max=job["k_max"], symmetry=job["symmetry"],
                   polarisation=job["polarisation"], incidence=job["incidence"],
                   azimuth=job["azimuth"], s_share=job["s_share"],
                   kz_damping=job.get("kz_damping", 0.0), chunk_maps=job["chunk_maps"],
                   command=command)

    @property
    def job(self) -> Job:
        """The description as a store and a record keep it (plain values)."""
        return {"molecules": list(self.molecules),
                "molecule_sources": [list(s) for s in self.molecule_sources],
                "molecule_sha256": list(self.molecule_sha256), "orbitals": list(self.orbitals),
                "spin": self.spin,
                "energy": {"kind": self.energy_kind, "values": list(self.energies)},
                "work_function": self.work_function, "alpha": list(self.alpha),
                "beta": list(self.beta), "gamma": list(self.gamma), "n": self.n,
                "k_max": self.k_max, "symmetry": self.symmetry,
                "polarisation": self.polarisation, "incidence": self.incidence,
                "azimuth": self.azimuth, "s_share": self.s_share,
                "kz_damping": self.kz_damping, "chunk_maps": self.chunk_maps}

    def map_request(self, molecule: Molecule, orbitals: Sequence[OrbitalSelector],
                    energy_index: int) -> MapRequest:
        """The maps of `orbitals` of `molecule` (the scan's) at its energy `energy_index`,
        at every orientation: the scan's shared settings as one map request."""
        energy = self.energies[energy_index]
        photon = self.energy_kind == "photon_energy"
        return MapRequest(
            molecule=molecule, orbitals=list(orbitals), spin=self.spin,  # type: ignore[arg-type]
            kinetic_energy=None if photon else energy, photon_energy=energy if photon else None,
            work_function=self.work_function if photon else None, n=self.n, k_max=self.k_max,
            symmetry=None if self.symmetry == "none" else int(self.symmetry),
            polarisation=None if self.polarisation == "none" else self.polarisation,  # type: ignore[arg-type]
            incidence=self.incidence, azimuth=self.azimuth, s_share=self.s_share,
            kz_imaginary=self.kz_damping)

    @classmethod
    def read(cls, job_or_dict: Union["ScanRequest", PathLike, Dict[str, Any]],
             overrides: Optional[Mapping[str, Any]] = None) -> "ScanRequest":
        """The request of a TOML file or a dict (checked, `overrides` replacing its
        keys), or `job_or_dict` itself."""
        if isinstance(job_or_dict, ScanRequest):
            return job_or_dict
        return cls.of_job(read(job_or_dict, overrides))

    def to_record(self, inputs: Optional[Dict[str, Any]] = None,
                  **description: Any) -> Dict[str, Any]:
        """The scan's record: the header and the description (molecule files with their
        SHA-256 inside it)."""
        return new_record(self.kind, self.job, command=self.command, **description)

    def header(self) -> Dict[str, Any]:
        """The record without the description, which a store keeps beside it."""
        return {k: v for k, v in self.to_record().items() if k != "request"}

    @classmethod
    def from_record(cls, source: PathLike, **run_settings: Any) -> "ScanRequest":
        """The request a scan store (its attributes) or a .json record holds, its
        molecule files checked against their recorded SHA-256."""
        path = os.fspath(source)
        if os.path.isdir(path):
            attributes = zarr_store.read_attributes(path)
            if attributes is None:
                raise RecordError(f"{path}: not a libkernels scan store")
            # stores written before records carried a header hold the same description
            header = attributes.get(RECORD_ATTRIBUTE) or {"record_format": 1, "kind": "scan"}
            record = check({**header, "request": attributes["libkernels_scan"]["job"]}, path,
                           cls.kind)
        else:
            record = read_record(path, cls.kind)
        return cls.of_job(_checked_again(record["request"], path))


def _checked_again(job: Mapping[str, Any], source: str) -> Dict[str, Any]:
    """A recorded description normalised again from its molecules' files, which must be
    the ones it recorded; the molecules keep the names first given."""
    try:
        raw: Dict[str, Any] = {key: job[key] if key in job else DEFAULTS[key]
                               for key in _AS_GIVEN}
        raw[job["energy"]["kind"]] = job["energy"]["values"]
        if job["work_function"] is not None:
            raw["work_function"] = job["work_function"]
        raw["molecules"] = [location for _, location in job["molecule_sources"]]
        recorded: List[str] = list(job["molecule_sha256"])
        names = list(job["molecules"])
    except (KeyError, TypeError, ValueError) as error:
        raise RecordError(f"{source}: not a scan description (missing or bad {error})") \
            from None
    fresh = normalise(raw, "/")
    for name, location, old, new in zip(names, raw["molecules"], recorded,
                                        fresh["molecule_sha256"]):
        if old != new:
            raise RecordError(f"{source}: its molecule {name} ({location}) has changed since "
                              f"the record was written (SHA-256 {new[:12]}..., recorded "
                              f"{old[:12]}...), so the maps would not be the same")
    fresh["molecules"] = names
    return fresh

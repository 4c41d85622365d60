"""The description of a scan: which maps to compute, read from TOML or a dict.

    molecules = ["pentacene", "my.molden"]       # files (any format lk.read takes) or examples
    orbitals = ["HOMO", "HOMO-1"]
    kinetic_energy = [20.0, 25.0, 30.0]          # eV; or photon_energy + work_function
    alpha = { start = 0, stop = 180, step = 5 }  # degrees, stop excluded; or a list, or a number
    n = 101
    k_max = 3.0                                  # 1/angstrom
    symmetry = "none"                            # or 2, 3, 4
    polarisation = "none"                        # or p, s, linear, circular+, ... with
                                                 # incidence, azimuth, s_share

Every value is checked here and put in one canonical form, so that two
descriptions of the same scan compare equal and a store can tell whether a
re-run asks for the scan it holds.
"""

import hashlib
import math
import os

from .kernels import POLARISATIONS, symmetry_mode

AXES = ("molecule", "orbital", "energy", "alpha", "beta", "gamma")

DEFAULTS = {
    "orbitals": ["HOMO"], "spin": "alpha", "work_function": None, "n": 101, "k_max": 3.0,
    "symmetry": "none", "polarisation": "none", "incidence": 65.0, "azimuth": 0.0,
    "s_share": 0.0, "chunk_maps": None,
}
KEYS = ("molecules", "kinetic_energy", "photon_energy", "alpha", "beta", "gamma") + tuple(DEFAULTS)
MAX_ANGLES = 1_000_000


class SpecError(ValueError):
    """A scan description that cannot be run; the message names the key."""


def load_toml(path):
    """The TOML file at `path` as a dict (tomllib, or tomli before Python 3.11)."""
    try:
        import tomllib
    except ImportError:  # Python < 3.11
        import tomli as tomllib
    try:
        with open(path, "rb") as handle:
            return tomllib.load(handle)
    except tomllib.TOMLDecodeError as error:
        raise SpecError(f"{path}: not valid TOML ({error})") from None


def _number(key, value, positive=False):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise SpecError(f"{key} must be a number, got {value!r}")
    value = float(value)
    if not math.isfinite(value) or (positive and not value > 0):
        raise SpecError(f"{key} must be {'positive and ' if positive else ''}finite, got {value}")
    return value


def _numbers(key, value, positive=False):
    values = value if isinstance(value, list) else [value]
    if not values:
        raise SpecError(f"{key} is an empty list")
    values = [_number(key, v, positive) for v in values]
    if len(set(values)) != len(values):
        raise SpecError(f"{key} lists a value twice")
    return values


def _angles(key, value):
    """Angles in degrees: a number, a list, or {start, stop, step} with stop excluded."""
    if not isinstance(value, dict):
        return _numbers(key, value)
    if set(value) != {"start", "stop", "step"}:
        raise SpecError(f"{key} takes {{ start = ..., stop = ..., step = ... }}, "
                        f"got keys {', '.join(sorted(value)) or 'none'}")
    start, stop = _number(f"{key}.start", value["start"]), _number(f"{key}.stop", value["stop"])
    step = _number(f"{key}.step", value["step"], positive=True)
    if not stop > start:
        raise SpecError(f"{key}: stop ({stop:g}) must be above start ({start:g})")
    # stop is excluded; a tolerance of a millionth of a step keeps 0:180:0.1 at 1800 angles
    count = math.ceil((stop - start) / step - 1e-6)
    if count > MAX_ANGLES:
        raise SpecError(f"{key} has {count} angles; at most {MAX_ANGLES}")
    return [start + i * step for i in range(count)]


def _integer(key, value, low):
    if isinstance(value, bool) or not isinstance(value, int) or value < low:
        raise SpecError(f"{key} must be an integer >= {low}, got {value!r}")
    return value


def _molecule_source(entry, base_dir):
    """(kind, location) of a molecule entry: a shipped example by name, or a file."""
    from .data import EXAMPLES

    if not isinstance(entry, str) or not entry.strip():
        raise SpecError(f"molecules: each entry is a file name or an example, got {entry!r}")
    if entry in EXAMPLES:
        return "example", entry
    path = os.path.abspath(os.path.join(base_dir, os.path.expanduser(entry)))
    if not os.path.isfile(path):
        raise SpecError(f"molecules: {entry}: no such file (give a wavefunction file or one of "
                        f"{', '.join(EXAMPLES)})")
    return "file", path


def molecule_path(source):
    """The file a (kind, location) molecule source reads from on this machine."""
    from .data import example_path

    kind, location = source
    return example_path(location) if kind == "example" else location


def file_digest(path):
    digest = hashlib.sha256()
    with open(path, "rb") as handle:
        for block in iter(lambda: handle.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def normalise(raw, base_dir="."):
    """The canonical, checked form of a scan description (a plain dict).

    Raises SpecError naming the first offending key.  Molecule files are
    resolved against `base_dir` (the directory of the TOML file) and
    fingerprinted, so that a store refuses to be continued with a changed file.
    """
    if not isinstance(raw, dict):
        raise SpecError(f"a scan is described by a table of keys, got {type(raw).__name__}")
    unknown = sorted(set(raw) - set(KEYS))
    if unknown:
        raise SpecError(f"unknown key(s) {', '.join(unknown)}; known keys: {', '.join(KEYS)}")
    spec = {**DEFAULTS, **raw}

    molecules = spec.get("molecules")
    if isinstance(molecules, str):
        molecules = [molecules]
    if not isinstance(molecules, list) or not molecules:
        raise SpecError("molecules: give a list of wavefunction files or example names")
    if len(set(molecules)) != len(molecules):
        raise SpecError("molecules lists a molecule twice")
    sources = [_molecule_source(entry, base_dir) for entry in molecules]

    orbitals = spec["orbitals"]
    if isinstance(orbitals, (str, int)) and not isinstance(orbitals, bool):
        orbitals = [orbitals]
    if (not isinstance(orbitals, list) or not orbitals
            or not all(isinstance(o, (str, int)) and not isinstance(o, bool) for o in orbitals)):
        raise SpecError("orbitals: give a list of names (HOMO, HOMO-1, LUMO, ...) or indices")
    orbitals = [str(o).strip() for o in orbitals]
    if len(set(o.upper() for o in orbitals)) != len(orbitals):
        raise SpecError("orbitals lists an orbital twice")
    if spec["spin"] not in ("alpha", "beta"):
        raise SpecError(f"spin must be alpha or beta, got {spec['spin']!r}")

    has_kinetic, has_photon = "kinetic_energy" in raw, "photon_energy" in raw
    if has_kinetic == has_photon:
        raise SpecError("give kinetic_energy or photon_energy (with work_function), not "
                        + ("both" if has_kinetic else "neither"))
    if has_photon:
        if spec["work_function"] is None:
            raise SpecError("photon_energy needs work_function (eV) as well")
        work_function = _number("work_function", spec["work_function"])
        energy = {"kind": "photon_energy", "values": _numbers("photon_energy",
                                                              raw["photon_energy"], True)}
    else:
        if raw.get("work_function") is not None:
            raise SpecError("work_function goes with photon_energy, not kinetic_energy")
        work_function = None
        energy = {"kind": "kinetic_energy", "values": _numbers("kinetic_energy",
                                                               raw["kinetic_energy"], True)}

    symmetry = spec["symmetry"]
    try:
        symmetry_mode(symmetry)
    except ValueError:
        raise SpecError(f"symmetry must be \"none\", 2, 3 or 4, got {symmetry!r}") from None
    symmetry = str(symmetry).strip().lower()
    polarisation = str(spec["polarisation"]).strip().lower()
    if polarisation not in ("none",) + tuple(POLARISATIONS):
        raise SpecError(f"polarisation must be none or one of {', '.join(POLARISATIONS)}, "
                        f"got {spec['polarisation']!r}")
    s_share = _number("s_share", spec["s_share"])
    if not 0 <= s_share <= 100:
        raise SpecError(f"s_share is a percentage (0 to 100), got {s_share:g}")
    chunk_maps = spec["chunk_maps"]
    if chunk_maps is not None:
        chunk_maps = _integer("chunk_maps", chunk_maps, 1)

    return {
        "molecules": list(molecules),
        "molecule_sources": [list(s) for s in sources],
        "molecule_sha256": [file_digest(molecule_path(s)) for s in sources],
        "orbitals": orbitals, "spin": spec["spin"],
        "energy": energy, "work_function": work_function,
        "alpha": _angles("alpha", raw.get("alpha", 0.0)),
        "beta": _angles("beta", raw.get("beta", 0.0)),
        "gamma": _angles("gamma", raw.get("gamma", 0.0)),
        "n": _integer("n", spec["n"], 2), "k_max": _number("k_max", spec["k_max"], True),
        "symmetry": symmetry, "polarisation": polarisation,
        "incidence": _number("incidence", spec["incidence"]),
        "azimuth": _number("azimuth", spec["azimuth"]), "s_share": s_share,
        "chunk_maps": chunk_maps,
    }


def read(spec_or_dict):
    """A normalised scan description from a TOML path or a dict."""
    if isinstance(spec_or_dict, dict):
        return normalise(spec_or_dict, os.getcwd())
    path = os.fspath(spec_or_dict)
    if not os.path.isfile(path):
        raise SpecError(f"{path}: no such scan description")
    try:
        return normalise(load_toml(path), os.path.dirname(os.path.abspath(path)))
    except SpecError as error:
        raise SpecError(f"{path}: {error}") from None


# What identifies a scan's results: everything but how the work is cut into tasks.
IDENTITY_KEYS = ("molecules", "molecule_sha256", "orbitals", "spin", "energy",
                                  "work_function", "alpha", "beta", "gamma", "n", "k_max",
                                  "symmetry", "polarisation", "incidence", "azimuth", "s_share")


def differences(stored, spec):
    """The keys in which two normalised descriptions ask for different results."""
    return [k for k in IDENTITY_KEYS if stored.get(k) != spec.get(k)]


def shape(spec):
    """Sizes of the six scan axes, in the order of AXES."""
    return (len(spec["molecules"]), len(spec["orbitals"]), len(spec["energy"]["values"]),
            len(spec["alpha"]), len(spec["beta"]), len(spec["gamma"]))


def map_options(spec, energy_index):
    """Keyword arguments of MapSumCall for one energy of the scan (all orbitals)."""
    energy = spec["energy"]["values"][energy_index]
    options = dict(spin=spec["spin"], n=spec["n"], k_max=spec["k_max"], k_unit="1/angstrom",
                   energy_unit="eV",
                   symmetry=None if spec["symmetry"] == "none" else int(spec["symmetry"]),
                   polarisation=None if spec["polarisation"] == "none" else spec["polarisation"],
                   incidence=spec["incidence"], azimuth=spec["azimuth"],
                   s_share=spec["s_share"])
    if spec["energy"]["kind"] == "photon_energy":
        options.update(photon_energy=energy, work_function=spec["work_function"])
    else:
        options["kinetic_energy"] = energy
    return options

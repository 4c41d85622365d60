"""What every request is: a frozen, typed set of settings, checked once, that writes
and reads itself.

A request is a frozen dataclass whose fields are its settings, each declared
with `setting()`: its default, and whether the record holds it.  It checks and
normalises its values once, when it is made (`check`), and never changes
after.  `to_record()` writes the record of its output (core/record.py), and
`from_record()` makes the same request again.  Settings of how the work runs
rather than what it computes (threads, the memory limit, the progress
display) are not recorded: a re-run takes them from its own caller.

A request knows nothing of the command line: cli/ spells each setting as an
option and builds the same objects the Python functions, the explorer and
the scans build.

Files a request reads (the molecule, a measured map, several maps one setting
names) are read through an `Inputs`, which keeps each file's identity (source,
path, SHA-256) for the record.  A request re-made from a record reads them
again only when they are unchanged.
"""

from __future__ import annotations

import hashlib
import os
from dataclasses import Field, dataclass, field, fields, replace
from typing import (TYPE_CHECKING, Any, Callable, ClassVar, Dict, List, NamedTuple, Optional,
                    Sequence, Tuple, Type, TypeVar, Union)

from ..basis.conversion import DEFAULT_MAX_DROPPED
from ..core.errors import InputError, RecordError
from ..core.molecule import Molecule
from ..core.record import (InputFile, InputFiles, InputIdentity, candidates_for, new_record,
                           read_record, recorded_input, reopen, write_json)
from ..formats.api import load_molecule
from ..formats.examples import DEFAULT_MOLECULE, EXAMPLES, example_path
from ..structures import compute_orbitals, dyson_orbitals
from ..structures.entries import find
from ..structures.resolve import unknown_molecule
from ..structures.structure import STRUCTURE_ENDINGS, smiles_formula

DEFAULT_METHOD, DEFAULT_BASIS = "b3lyp", "def2-svp"
DYSON_METHOD = "eom-ip-ccsd"  # Dyson orbitals (structures/dyson.py)

if TYPE_CHECKING:
    from ..core.types import PathLike, Spin

RECORDED = "recorded"
UNRECORDED_MEANS = "unrecorded_means"
_NOTHING = object()

R = TypeVar("R", bound="Request")
T = TypeVar("T")
I = TypeVar("I", InputFile, InputFiles)

# kind -> request class, filled as the classes are defined
KINDS: Dict[str, Type["Request"]] = {}


def setting(default: Any = None, *, recorded: bool = True, unrecorded: Any = _NOTHING) -> Any:
    """A request's setting and its default; `recorded=False` for settings that do not
    change the output (how the work runs).  `unrecorded` is the value that a record
    written before the setting existed stands for, when that is not the default (so
    that such a record still makes the same output)."""
    metadata: Dict[str, Any] = {RECORDED: recorded}
    if unrecorded is not _NOTHING:
        metadata[UNRECORDED_MEANS] = unrecorded
    if isinstance(default, list):
        items = list(default)
        return field(default_factory=lambda: list(items), metadata=metadata)
    return field(default=default, metadata=metadata)


def names_files(value: Any) -> bool:
    """Whether an input setting's value names files (a path, or a list of paths) rather
    than handing data over in memory."""
    if isinstance(value, (list, tuple)):
        return bool(value) and all(isinstance(v, (str, os.PathLike)) for v in value)
    return isinstance(value, (str, os.PathLike))


class RecordOrigin(NamedTuple):
    """Where a request re-made from a record came from: the record's file and what it
    says of each input."""

    source: str
    inputs: Dict[str, InputIdentity]


@dataclass(frozen=True)
class Request:
    """The settings of one piece of work (see the module notes).

    `kind` names the work (the record's kind and the command); `input_files` the
    settings that name files the work reads.  `command` is the command line that
    made the request, when one did; the record keeps it.
    """

    kind: ClassVar[str] = ""
    input_files: ClassVar[Tuple[str, ...]] = ()

    command: Optional[str] = setting(None, recorded=False)
    origin: Optional[RecordOrigin] = field(default=None, init=False, repr=False,
                                           compare=False)

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        if cls.__dict__.get("kind"):
            KINDS[cls.kind] = cls

    def __post_init__(self) -> None:
        self.check()

    def check(self) -> None:
        """Checks the settings and puts them in their one form (`_set`); raises
        InputError naming the first bad one."""

    def _set(self, name: str, value: Any) -> None:
        """A setting's checked form, set while the request is made (it is frozen after)."""
        object.__setattr__(self, name, value)

    def with_command(self: R, command: Optional[str]) -> R:
        """The same request, made by `command`."""
        made = replace(self, command=command)
        object.__setattr__(made, "origin", self.origin)
        return made

    # ---- the settings ----------------------------------------------------------------------

    @classmethod
    def setting_fields(cls) -> List[Field]:
        """The request's settings, in the order they are declared."""
        return [f for f in fields(cls) if f.init]

    @classmethod
    def recorded_names(cls) -> List[str]:
        return [f.name for f in cls.setting_fields() if f.metadata.get(RECORDED, True)]

    @classmethod
    def default_of(cls, name: str) -> Any:
        f = next(f for f in cls.setting_fields() if f.name == name)
        return f.default_factory() if callable(f.default_factory) else f.default

    def settings(self, inputs: Optional[Dict[str, InputIdentity]] = None) -> Dict[str, Any]:
        """The recorded settings; files by their source as given, data handed over in
        memory by a label saying so (an optional input not given stays None)."""
        inputs = inputs or {}
        values = {}
        for name in self.recorded_names():
            value = getattr(self, name)
            if name in inputs:
                value = inputs[name].source
            elif name in self.input_files and value is not None and not names_files(value):
                value = "(in memory)"
            values[name] = value
        return values

    # ---- the record --------------------------------------------------------------------------

    def to_record(self, inputs: Optional[Dict[str, InputIdentity]] = None,
                  **description: Any) -> Dict[str, Any]:
        """The record of this request's output: its header, the files it read (`inputs`,
        as the work's Inputs found them; by default the files it names, hashed now),
        `description` of the output (cleaned numbers) and every recorded setting."""
        if inputs is None:
            inputs = Inputs(self).identities_now()
        return new_record(self.kind, self.settings(inputs), command=self.command,
                          inputs=inputs, **description)

    def save_record(self, path: PathLike, inputs: Optional[Dict[str, InputIdentity]] = None,
                    **description: Any) -> None:
        write_json(path, self.to_record(inputs, **description))

    @classmethod
    def from_record(cls: Type[R], source: PathLike, **run_settings: Any) -> R:
        """The request a record (a .json file, or NetCDF output's attributes) was
        made from; on `Request` itself, of the record's kind.  `run_settings` set
        what the record does not hold (threads, max_memory, progress)."""
        path = os.fspath(source)
        record = read_record(path, cls.kind or None)
        target = cls if cls.kind else KINDS.get(str(record.get("kind")))
        if target is None:
            raise RecordError(f"{path}: the record of `libkernels {record.get('kind')}`, "
                              "which this libkernels does not make again")
        return target.from_settings(record, path, **run_settings)  # type: ignore[return-value]

    @classmethod
    def from_settings(cls: Type[R], record: Dict[str, Any], path: str,
                      **run_settings: Any) -> R:
        """The request of a record already read (`path` its file)."""
        settings = dict(record["request"])
        for f in cls.setting_fields():
            if f.name not in settings and UNRECORDED_MEANS in f.metadata:
                settings[f.name] = f.metadata[UNRECORDED_MEANS]
        unknown = sorted(set(settings) - set(cls.recorded_names()))
        if unknown:
            raise RecordError(f"{path}: settings this libkernels does not know: "
                              f"{', '.join(unknown)} (written by libkernels "
                              f"{record.get('libkernels_version')})")
        taken = sorted(set(run_settings) & set(settings))
        if taken:
            raise TypeError(f"{', '.join(taken)} come(s) from the record, not from the caller")
        request = cls(**settings, **run_settings)
        object.__setattr__(request, "origin", RecordOrigin(
            path, {name: recorded_input(record, name, path) for name in cls.input_files}))
        return request

    # ---- the work ---------------------------------------------------------------------------

    def run(self) -> Any:
        raise NotImplementedError(f"{type(self).__name__} does not run")


class Inputs:
    """The files (or data in memory) one run of a request reads, by setting, each
    kept with its identity for the record (`found`)."""

    def __init__(self, request: Request) -> None:
        self.request = request
        self.found: Dict[str, InputIdentity] = {}

    def in_memory(self, name: str, label: str) -> None:
        """Notes that setting `name` was handed over in memory (`label` says what)."""
        self.found[name] = InputFile(label)

    def known(self, name: str, identity: InputIdentity) -> None:
        """Notes the identity of an input already known (a molecule read from a file)."""
        self.found[name] = identity

    def read(self, name: str, read: Callable[[str], T], places: Sequence[str] = (),
             source: Optional[str] = None) -> T:
        """`read(path)` of the file setting `name` names (or `source`, or the first of
        `places`).  A request re-made from a record reads the recorded file, once its
        SHA-256 is checked (RecordError otherwise)."""
        source = os.fspath(getattr(self.request, name)) if source is None else source
        path, recorded = self._path(name, source, places)
        value = read(path)  # a missing or bad file is the reader's error, in its words
        self.found[name] = InputFile(source, os.path.abspath(path), recorded.sha256) \
            if recorded is not None else InputFile.read_from(source, path)
        return value

    def read_all(self, name: str, read: Callable[[List[str]], T]) -> T:
        """`read(paths)` of the files setting `name` names (a list of them)."""
        sources = [os.fspath(value) for value in getattr(self.request, name)]
        paths, files = self._paths(name, sources)
        value = read(paths)
        self.found[name] = InputFiles(tuple(
            InputFile(source, os.path.abspath(path), file.sha256) if file is not None
            else InputFile.read_from(source, path)
            for source, path, file in zip(sources, paths, files)))
        return value

    def identities_now(self) -> Dict[str, InputIdentity]:
        """The identities of the files the request names, hashed now (data in memory by
        a label), for a record made without a run."""
        for name in self.request.input_files:
            value = getattr(self.request, name)
            if name == "molecule" and isinstance(self.request, MoleculeRequest) and \
                    name not in self.found and not isinstance(value, Molecule):
                value = self.request.source
                if self.request.computes_orbitals():
                    # orbitals not computed yet: named by what they are computed from
                    self.in_memory(name, f"{value} (orbitals computed)")
                    continue
            if name in self.found or value is None:
                continue
            if isinstance(value, Molecule):
                self.known(name, molecule_identity(value))
            elif not names_files(value):
                self.in_memory(name, "(in memory)")
            elif isinstance(value, (str, os.PathLike)):
                source = os.fspath(value)
                self.read(name, lambda path: None, [example_path(source)]
                          if name == "molecule" and source in EXAMPLES else [])
            else:
                self.read_all(name, lambda paths: None)
        return dict(self.found)

    def _path(self, name: str, source: str,
              places: Sequence[str]) -> Tuple[str, Optional[InputFile]]:
        """The file to read for `name`, and what the record says of it (None when the
        request was not re-made from a record)."""
        recorded = self._recorded(name, InputFile)
        if recorded is None:
            return (places[0] if places else source), None
        record_source = self._record_source()
        return reopen(recorded, name, list(places) or candidates_for(recorded, record_source),
                      record_source), recorded

    def _paths(self, name: str,
               sources: List[str]) -> Tuple[List[str], List[Optional[InputFile]]]:
        recorded = self._recorded(name, InputFiles)
        if recorded is None:
            return sources, [None] * len(sources)
        record_source = self._record_source()
        if len(recorded.files) != len(sources):
            raise RecordError(f"{record_source}: names {len(recorded.files)} {name} "
                              f"files for {len(sources)} sources")
        paths = [reopen(file, name, candidates_for(file, record_source), record_source)
                 for file in recorded.files]
        return paths, list(recorded.files)

    def recorded_identity(self, name: str) -> Optional[InputFile]:
        """What the record the request was re-made from says of one input, if anything."""
        return self._recorded(name, InputFile)

    def record_source(self) -> str:
        return self._record_source()

    def _record_source(self) -> str:
        origin = self.request.origin
        return origin.source if origin is not None else "the record"

    def _recorded(self, name: str, kind: Type[I]) -> Optional[I]:
        """What the record the request was re-made from says of input `name`, checked
        to be one file, or several, as `kind`."""
        origin = self.request.origin
        recorded = None if origin is None else origin.inputs.get(name)
        if recorded is None or isinstance(recorded, kind):
            return recorded
        one = kind is InputFile
        raise RecordError(f"{self._record_source()}: names "
                          f"{'several' if one else 'one'} {name} file(s) where the request "
                          f"gives {'one' if one else 'several'}")


def molecule_identity(molecule: Molecule) -> InputFile:
    """The record's identity of a Molecule: the file it was read from, when known, else
    a label saying it was handed over in memory."""
    if molecule.origin is not None:
        return InputFile(molecule.origin.path, molecule.origin.path, molecule.origin.sha256)
    title = f" ({molecule.title})" if molecule.title else ""
    return InputFile(f"a Molecule in memory{title}")


# A molecule: a file, an example's name, or a Molecule in memory.
MoleculeSource = Union[str, "os.PathLike[str]", Molecule]


# The settings that say how orbitals are computed from a structure.
COMPUTATION_SETTINGS = ("smiles", "method", "basis", "charge", "unpaired", "optimise")


@dataclass(frozen=True)
class MoleculeRequest(Request):
    """Work on one molecule: a wavefunction file or shipped example by name, a catalogue
    entry or structure file whose orbitals are computed (or `smiles`), or a Molecule in
    memory (which a record reads again from the file it came from, when it came from
    one).  Computed orbitals follow `method` ('eom-ip-ccsd' for Dyson orbitals),
    `basis`, `charge`, `unpaired` electrons and `optimise` (structures/), and are read
    from the user's cache when computed before (`recompute` computes them afresh)."""

    input_files: ClassVar[Tuple[str, ...]] = ("molecule",)

    molecule: Optional[MoleculeSource] = setting(None)  # None: the default example
    input_format: Optional[str] = setting(None)
    spin: Spin = setting("alpha")
    max_dropped_norm: float = setting(DEFAULT_MAX_DROPPED)
    smiles: Optional[str] = setting(None)
    method: str = setting(DEFAULT_METHOD)
    basis: str = setting(DEFAULT_BASIS)
    charge: Optional[int] = setting(None)
    unpaired: Optional[int] = setting(None)
    optimise: Optional[bool] = setting(None)
    recompute: bool = setting(False, recorded=False)

    def check(self) -> None:
        if self.smiles is not None and self.molecule is not None:
            raise InputError("smiles", "and a molecule exclude each other: give one")
        super().check()

    @property
    def source(self) -> str:
        """The molecule as named (a file, an example, a catalogue entry; the SMILES), the
        default example when none is."""
        if self.molecule is None:
            return self.smiles if self.smiles is not None else DEFAULT_MOLECULE
        if isinstance(self.molecule, Molecule):
            return self.molecule.title or "a Molecule in memory"
        return os.fspath(self.molecule)

    def read_molecule(self, inputs: Inputs) -> Molecule:
        """The molecule, read, computed (or taken from memory) and noted in `inputs`."""
        if isinstance(self.molecule, Molecule):
            inputs.known("molecule", molecule_identity(self.molecule))
            return self.molecule
        source = self.source
        computed = self.computes_orbitals()
        if not computed and source not in EXAMPLES and not os.path.exists(source) and \
                os.sep not in source and "." not in os.path.basename(source) and \
                inputs.recorded_identity("molecule") is None:
            raise unknown_molecule(source)  # a word, not a path: name the catalogue
        if not computed:
            return inputs.read("molecule", lambda path: load_molecule(
                path, self.input_format, max_dropped_fraction=self.max_dropped_norm),
                [example_path(source)] if source in EXAMPLES else [], source)
        return self._computed(source, inputs)

    def computes_orbitals(self) -> bool:
        """Whether the orbitals come from a computation (SMILES, a structure file, a
        catalogue entry that is not a shipped example) rather than from a file."""
        if isinstance(self.molecule, Molecule):
            return False
        source = self.source
        return self.smiles is not None or source not in EXAMPLES and (
            source.lower().endswith(STRUCTURE_ENDINGS) if os.path.isfile(source)
            else find(source) is not None)

    def _computed(self, source: str, inputs: Inputs) -> Molecule:
        """Orbitals computed (or read from the cache) for a catalogue entry, a structure
        file or SMILES; a request re-made from a record checks they are the recorded ones."""
        common = dict(charge=self.charge, optimise=self.optimise, recompute=self.recompute,
                      threads=getattr(self, "threads", None),
                      max_memory=getattr(self, "max_memory", None),
                      progress=bool(getattr(self, "progress", True)))
        structure = None if self.smiles is not None else source
        if self.method.strip().lower() == DYSON_METHOD:
            molecule = dyson_orbitals(structure, basis=self.basis, smiles=self.smiles,
                                      **common)  # type: ignore[arg-type]
        else:
            molecule = compute_orbitals(structure, self.method, self.basis, spin=self.unpaired,
                                        smiles=self.smiles, **common)  # type: ignore[arg-type]
        computed = molecule.computation or {}
        identity = InputFile(source, None, computed.get("molden_sha256"))
        recorded = inputs.recorded_identity("molecule")
        if recorded is not None and recorded.sha256 and recorded.sha256 != identity.sha256:
            raise RecordError(f"{inputs.record_source()}: the orbitals of {source} computed "
                              "now differ from those the record was made with (another "
                              "PySCF, or an entry of the cache changed)")
        inputs.known("molecule", identity)
        return molecule

    def settings(self, inputs: Optional[Dict[str, InputIdentity]] = None) -> Dict[str, Any]:
        values = super().settings(inputs)
        if self.smiles is not None:
            values["molecule"] = None  # the SMILES names the molecule
        if not self.computes_orbitals():
            # orbitals read from a file: how they would be computed is no part of it
            for name in COMPUTATION_SETTINGS:
                values.pop(name, None)
        if isinstance(self.molecule, Molecule) and self.molecule.origin is not None:
            # the file it was read from, as that file's format
            values["molecule"] = self.molecule.origin.path
            values["input_format"] = self.molecule.origin.format
        return values

    @property
    def molecule_name(self) -> str:
        """The molecule's source as the start of output file names."""
        if isinstance(self.molecule, Molecule):
            if self.molecule.origin is not None:
                return os.path.splitext(os.path.basename(self.molecule.origin.path))[0]
            return self.molecule.title or "molecule"
        if self.smiles is not None:  # the formula, else a digest of the SMILES
            return smiles_formula(self.smiles).replace("+", "p").replace("-", "m") or \
                "smiles_" + hashlib.sha256(self.smiles.encode()).hexdigest()[:8]
        return os.path.splitext(os.path.basename(self.source))[0]

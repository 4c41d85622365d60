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

import os
from dataclasses import Field, dataclass, field, fields, replace
from typing import (TYPE_CHECKING, Any, Callable, ClassVar, Dict, List, NamedTuple, Optional,
                    Sequence, Tuple, Type, TypeVar, Union)

from ..basis.conversion import DEFAULT_MAX_DROPPED
from ..core.errors import RecordError
from ..core.molecule import Molecule
from ..core.record import (InputFile, InputFiles, InputIdentity, candidates_for, new_record,
                           read_record, recorded_input, reopen, write_json)
from ..formats.api import load_molecule
from ..formats.examples import DEFAULT_MOLECULE, EXAMPLES, example_path

if TYPE_CHECKING:
    from ..core.types import PathLike, Spin

RECORDED = "recorded"

R = TypeVar("R", bound="Request")
T = TypeVar("T")
I = TypeVar("I", InputFile, InputFiles)

# kind -> request class, filled as the classes are defined
KINDS: Dict[str, Type["Request"]] = {}


def setting(default: Any = None, *, recorded: bool = True) -> Any:
    """A request's setting and its default; `recorded=False` for settings that do not
    change the output (how the work runs)."""
    metadata = {RECORDED: recorded}
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

    def read(self, name: str, read: Callable[[str], T], places: Sequence[str] = ()) -> T:
        """`read(path)` of the file setting `name` names (or of the first of `places`).
        A request re-made from a record reads the recorded file, once its SHA-256 is
        checked (RecordError otherwise)."""
        source = os.fspath(getattr(self.request, name))
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


@dataclass(frozen=True)
class MoleculeRequest(Request):
    """Work on one molecule: a file or shipped example by name, or a Molecule in memory
    (which a record reads again from the file it came from, when it came from one)."""

    input_files: ClassVar[Tuple[str, ...]] = ("molecule",)

    molecule: MoleculeSource = setting(DEFAULT_MOLECULE)
    input_format: Optional[str] = setting(None)
    spin: Spin = setting("alpha")
    max_dropped_norm: float = setting(DEFAULT_MAX_DROPPED)

    def read_molecule(self, inputs: Inputs) -> Molecule:
        """The molecule, read (or taken from memory) and noted in `inputs`."""
        if isinstance(self.molecule, Molecule):
            inputs.known("molecule", molecule_identity(self.molecule))
            return self.molecule
        source = os.fspath(self.molecule)
        return inputs.read("molecule", lambda path: load_molecule(
            path, self.input_format, max_dropped_fraction=self.max_dropped_norm),
            [example_path(source)] if source in EXAMPLES else [])

    def settings(self, inputs: Optional[Dict[str, InputIdentity]] = None) -> Dict[str, Any]:
        values = super().settings(inputs)
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
        return os.path.splitext(os.path.basename(os.fspath(self.molecule)))[0]

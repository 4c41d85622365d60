"""What every request is: settings declared once, checked once, recorded, re-made from a record.

A request is a dataclass whose fields are its settings, each declared with
`setting()`: the default, the command-line option (flags, help, argparse's
keywords) and whether the record holds it.  Everything else follows from
that one declaration: the command's options (cli/options.py builds them),
the record's `request` section (`record`), and `from_record`, which makes the
same request again.  Settings of how the work runs rather than what it
computes (threads, the memory limit, the progress display) are not recorded:
a re-run takes them from its own command line or caller.

Adding an option to a request is one `setting(...)` line in its dataclass
(plus the code that uses the value): the command line gets the option, the
record the setting, and records written before read as the default.

Files a request reads (the molecule, a measured map, or several maps one
setting names) are identified in the record by their source, path and SHA-256
(core/record.py); a request re-made from a record reads them again only when
they are unchanged.
"""

from __future__ import annotations

import os
from dataclasses import Field, dataclass, field, fields
from typing import (TYPE_CHECKING, Any, Callable, ClassVar, Dict, List, Mapping, Optional,
                    Sequence, Tuple, Type, TypeVar, Union)

from ..basis.conversion import DEFAULT_MAX_DROPPED
from ..core.errors import RecordError
from ..core.molecule import Molecule
from ..core.record import (InputFile, InputFiles, InputIdentity, candidates_for, new_record,
                           read_record, recorded_input, reopen, write_json)
from ..formats.api import FORMATS, load_molecule
from ..formats.examples import DEFAULT_MOLECULE, EXAMPLES, example_path

if TYPE_CHECKING:
    from ..core.types import PathLike, Spin

RECORDED = "recorded"
OPTION = "option"

R = TypeVar("R", bound="Request")
T = TypeVar("T")
I = TypeVar("I", InputFile, InputFiles)

# kind -> request class, filled as the classes are defined
KINDS: Dict[str, Type["Request"]] = {}


class _NotSet:
    def __repr__(self) -> str:
        return "NOT_SET"


NOT_SET: Any = _NotSet()  # an option without a default of the command line's own


@dataclass(frozen=True)
class Option:
    """How a setting is given on the command line.

    `flags` are argparse's (a single name without dashes makes a positional
    argument, which must be the field's name); `arguments` argparse's other
    keywords (type, metavar, choices, nargs, action).  A value given on the
    command line passes through `convert`; an absent one is `cli_default` when
    set, else the field's default.  A setting `overridden_by` another is left
    at its field's default whenever that other one is given.
    """

    flags: Tuple[str, ...]
    help: str
    group: str = ""
    arguments: Mapping[str, Any] = field(default_factory=dict)
    cli_default: Any = NOT_SET
    convert: Optional[Callable[[Any], Any]] = None
    overridden_by: Optional[str] = None

    @property
    def positional(self) -> bool:
        return not self.flags[0].startswith("-")


def setting(default: Any = None, *flags: str, help: str = "", group: str = "",
            recorded: bool = True, cli_default: Any = NOT_SET,
            convert: Optional[Callable[[Any], Any]] = None, overridden_by: Optional[str] = None,
            **arguments: Any) -> Any:
    """A request's setting: its default, and when `flags` are given its command-line
    option (see Option).  `recorded=False` for settings that do not change the output."""
    option = Option(tuple(flags), help, group, arguments, cli_default, convert,
                    overridden_by) if flags else None
    metadata = {RECORDED: recorded, OPTION: option}
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


def state_field() -> Any:
    """A field for what a request derives or learns as it runs: not a setting (not an
    argument of the constructor, not recorded, not compared)."""
    return field(default=None, init=False, repr=False, compare=False)


@dataclass
class Request:
    """The settings of one piece of work (see the module notes).

    `kind` names the command (and the record's kind); `positionals` the
    settings given as positional arguments, in order; `input_files` the
    settings that name files the work reads; `option_groups` the order of the
    groups of options in the command's help.  `command` is the command line
    that made the request, when one did; the record keeps it.
    """

    kind: ClassVar[str] = ""
    positionals: ClassVar[Tuple[str, ...]] = ()
    input_files: ClassVar[Tuple[str, ...]] = ()
    option_groups: ClassVar[Tuple[str, ...]] = ()

    command: Optional[str] = state_field()
    _recorded: Optional[Dict[str, InputIdentity]] = state_field()
    _record_source: Optional[str] = state_field()
    _inputs: Optional[Dict[str, InputIdentity]] = state_field()

    def __init_subclass__(cls, **kwargs: Any) -> None:
        super().__init_subclass__(**kwargs)
        if cls.__dict__.get("kind"):
            KINDS[cls.kind] = cls

    # ---- the settings ----------------------------------------------------------------------

    @classmethod
    def setting_fields(cls) -> List[Field]:
        """The request's settings, in the order they are declared."""
        return [f for f in fields(cls) if f.init]

    @classmethod
    def recorded_names(cls) -> List[str]:
        return [f.name for f in cls.setting_fields() if f.metadata.get(RECORDED, True)]

    def settings(self) -> Dict[str, Any]:
        """The recorded settings; files by their source as given, data handed over in
        memory by a label saying so (an optional input not given stays None)."""
        inputs = self.inputs()
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

    def inputs(self) -> Dict[str, InputIdentity]:
        """The files (or in-memory data) the request has read so far, by setting."""
        return dict(self._inputs or {})

    def record(self, **description: Any) -> Dict[str, Any]:
        """The record of this request's output: its header, the files it read,
        `description` of the output (cleaned numbers) and every recorded setting."""
        return new_record(self.kind, self.settings(), command=self.command,
                          inputs=self.inputs(), **description)

    def save_record(self, path: PathLike, **description: Any) -> None:
        write_json(path, self.record(**description))

    @classmethod
    def from_record(cls: Type[R], source: PathLike, **run_settings: Any) -> R:
        """The request a record (a .json file, or NetCDF output's attributes) was
        made from; on `Request` itself, of the record's kind.  `run_settings` set
        what the record does not hold (threads, max_memory, progress)."""
        path = os.fspath(source)
        record = read_record(path, cls.kind or None)
        target = cls if cls.kind else KINDS.get(str(record.get("kind")))
        if target is None:  # a scan's record: ScanRequest.from_record reads it
            raise RecordError(f"{path}: the record of `libkernels {record.get('kind')}`, "
                              "which Request.from_record does not make (ScanRequest's do)")
        settings = dict(record["request"])
        unknown = sorted(set(settings) - set(target.recorded_names()))
        if unknown:
            raise RecordError(f"{path}: settings this libkernels does not know: "
                              f"{', '.join(unknown)} (written by libkernels "
                              f"{record.get('libkernels_version')})")
        taken = sorted(set(run_settings) & set(settings))
        if taken:
            raise TypeError(f"{', '.join(taken)} come(s) from the record, not from the caller")
        request = target(**settings, **run_settings)
        request._recorded = {name: recorded_input(record, name, path)
                             for name in target.input_files}
        request._record_source = path
        return request  # type: ignore[return-value]  # of the record's kind when cls is Request

    # ---- reading the files it names ------------------------------------------------------

    def in_memory(self, name: str, label: str) -> None:
        """Notes that setting `name` was handed over in memory (`label` says what)."""
        self._inputs = {**(self._inputs or {}), name: InputFile(label)}

    def read_input(self, name: str, read: Callable[[str], T],
                   places: Sequence[str] = ()) -> T:
        """`read(path)` of the file setting `name` names (or of the first of `places`),
        keeping the file's identity for the record.  A request re-made from a record
        reads the recorded file, once its SHA-256 is checked (RecordError otherwise)."""
        source = os.fspath(getattr(self, name))
        recorded = self._recorded_file(name, InputFile)
        if recorded is not None:
            record_source = self._record_source or "the record"
            path = reopen(recorded, name, list(places) or candidates_for(recorded, record_source),
                          record_source)
            value = read(path)
            identity = InputFile(source, os.path.abspath(path), recorded.sha256)
        else:
            path = places[0] if places else source
            value = read(path)  # a missing or bad file is the reader's error, in its words
            identity = InputFile.read_from(source, path)
        self._inputs = {**(self._inputs or {}), name: identity}
        return value

    def read_inputs(self, name: str, read: Callable[[List[str]], T]) -> T:
        """`read(paths)` of the files setting `name` names (a list of them), keeping
        each file's identity for the record, as read_input does for one."""
        sources = [os.fspath(value) for value in getattr(self, name)]
        recorded = self._recorded_file(name, InputFiles)
        if recorded is not None:
            record_source = self._record_source or "the record"
            if len(recorded.files) != len(sources):
                raise RecordError(f"{record_source}: names {len(recorded.files)} {name} "
                                  f"files for {len(sources)} sources")
            paths = [reopen(file, name, candidates_for(file, record_source), record_source)
                     for file in recorded.files]
            value = read(paths)
            identity = InputFiles(tuple(InputFile(source, os.path.abspath(path), file.sha256)
                                        for source, path, file
                                        in zip(sources, paths, recorded.files)))
        else:
            value = read(sources)
            identity = InputFiles(tuple(InputFile.read_from(source, source)
                                        for source in sources))
        self._inputs = {**(self._inputs or {}), name: identity}
        return value

    def _recorded_file(self, name: str, kind: Type[I]) -> Optional[I]:
        """What the record this request was re-made from says of input `name` (None
        when not re-made from one), checked to be one file, or several, as `kind`."""
        recorded = (self._recorded or {}).get(name)
        if recorded is None or isinstance(recorded, kind):
            return recorded
        one = kind is InputFile
        raise RecordError(f"{self._record_source or 'the record'}: names "
                          f"{'several' if one else 'one'} {name} file(s) where the request "
                          f"gives {'one' if one else 'several'}")

    # ---- the work ---------------------------------------------------------------------------

    def run(self) -> Any:
        raise NotImplementedError(f"{type(self).__name__} does not run")


MOLECULE_HELP = ("wavefunction file (Molden, Gaussian fchk, wfx, wfn, Molekel mkl, ...), or an "
                 f"example: {', '.join(EXAMPLES)} (default: {DEFAULT_MOLECULE})")


@dataclass
class MoleculeRequest(Request):
    """Work on one molecule: a file or shipped example by name (or a Molecule in
    memory, which a record cannot read again), read once."""

    positionals: ClassVar[Tuple[str, ...]] = ("molecule",)
    input_files: ClassVar[Tuple[str, ...]] = ("molecule",)

    molecule: Union[str, "os.PathLike[str]", Molecule] = setting(
        DEFAULT_MOLECULE, "molecule", nargs="?", help=MOLECULE_HELP)
    input_format: Optional[str] = setting(
        None, "--input-format", choices=tuple(FORMATS), metavar="FORMAT",
        help="read the molecule file as this format instead of guessing it from the file "
             f"name: {', '.join(FORMATS)}")
    spin: Spin = setting("alpha", "--spin", choices=("alpha", "beta"),
                         help="spin of named orbitals (default: alpha)")
    max_dropped_norm: float = setting(
        DEFAULT_MAX_DROPPED, "--max-dropped-norm", type=float, metavar="FRACTION",
        help="refuse orbitals that lose more than this fraction of their norm to parts the "
             "library cannot hold (r^2 parts of Cartesian shells, h functions) "
             f"(default: {DEFAULT_MAX_DROPPED:g})")

    _molecule: Optional[Molecule] = state_field()

    def load_molecule(self) -> Molecule:
        """The molecule, read on the first call."""
        if self._molecule is None:
            if isinstance(self.molecule, Molecule):
                title = f" ({self.molecule.title})" if self.molecule.title else ""
                self.in_memory("molecule", f"a Molecule in memory{title}")
                self._molecule = self.molecule
            else:
                source = os.fspath(self.molecule)
                self._molecule = self.read_input(
                    "molecule", lambda path: load_molecule(
                        path, self.input_format, max_dropped_fraction=self.max_dropped_norm),
                    [example_path(source)] if source in EXAMPLES else [])
        return self._molecule

    @property
    def molecule_name(self) -> str:
        """The molecule's source as the start of output file names."""
        if isinstance(self.molecule, Molecule):
            return self.molecule.title or "molecule"
        return os.path.splitext(os.path.basename(os.fspath(self.molecule)))[0]

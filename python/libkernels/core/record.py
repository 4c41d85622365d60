"""The record kept beside every output: what made it, and what it takes to make it again.

A record is one JSON object:

    record_format        RECORD_FORMAT; a reader refuses records of a later format
    kind                 which work made it: map, cube, momentum-density, fit, deconvolve,
                         reconstruct, scan
    command              the command line, when there was one (else null)
    libkernels_version   the package that wrote it
    molecule, molecule_file, molecule_sha256
                         each file the work read: its source as the caller gave it, the
                         file read (absolute path; null for data handed over in memory)
                         and the file's SHA-256 (likewise measured, stack); a setting
                         naming several files has three lists, one entry per file
    ...                  what describes the output (axes, units, fitted values), with
                         clean numbers
    request              every setting of the request in the caller's units, exactly as
                         given: the request re-made from it computes the same bits

It sits in a .json file beside files, as NetCDF attributes of NetCDF output
(the whole record in the attribute RECORD_ATTRIBUTE, the header beside it for
a quick look), and in a scan store's Zarr attributes.  `read_record` reads any
of the first two; a request re-made from a record re-reads the files it names
only when their SHA-256 is still the recorded one (`reopen`).
"""

from __future__ import annotations

import hashlib
import json
import os
from dataclasses import dataclass
from importlib.metadata import PackageNotFoundError, version
from typing import Any, Dict, Iterable, List, Mapping, Optional, Tuple, Union

import numpy as np

from .errors import LibkernelsError, RecordError
from .grids import clean_numbers, require_xarray
from .types import PathLike

RECORD_FORMAT = 1
RECORD_ATTRIBUTE = "libkernels_record"
# the name endings of NetCDF (and NetCDF-4/HDF5) files: records, and measured data
NETCDF_SUFFIXES = (".nc", ".nc4", ".cdf", ".netcdf", ".h5", ".hdf5", ".hdf", ".he5")


def package_version() -> str:
    """The installed package's version (from its metadata)."""
    try:
        return version("libkernels")
    except PackageNotFoundError:
        return "source tree"


# ---- values --------------------------------------------------------------------------

def plain(value: Any) -> Any:
    """`value` as JSON takes it, every number exactly as it is (tuples and arrays
    become lists, numpy scalars Python numbers)."""
    if isinstance(value, Mapping):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, np.ndarray)):
        return [plain(v) for v in value]
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, np.integer):
        return int(value)
    if isinstance(value, np.floating):
        return float(value)
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    return value


def clean(value: Any) -> Any:
    """`value` as JSON takes it, with the float32 noise taken out of its numbers
    (clean_numbers): for what describes an output, never for settings."""
    if isinstance(value, Mapping):
        return {str(k): clean(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, np.ndarray)):
        items = list(value)
        if items and all(isinstance(v, (float, np.floating)) for v in items):
            return clean_numbers(items)
        return [clean(v) for v in items]
    if isinstance(value, (float, np.floating)):
        return clean_numbers([value])[0]
    return plain(value)


# ---- the files a request read ------------------------------------------------------------

def file_sha256(path: PathLike) -> str:
    """The SHA-256 of the file at `path` (OSError when it cannot be read)."""
    digest = hashlib.sha256()
    with open(path, "rb") as handle:
        for block in iter(lambda: handle.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


@dataclass(frozen=True)
class InputFile:
    """A file a request read, as its record names it: the source as the caller gave
    it, the file read (absolute) and its SHA-256; `path` and `sha256` are None for
    data handed over in memory."""

    source: str
    path: Optional[str] = None
    sha256: Optional[str] = None

    @classmethod
    def read_from(cls, source: str, path: PathLike) -> "InputFile":
        """The identity of the file at `path`, hashed now."""
        return cls(source, os.path.abspath(os.fspath(path)), file_sha256(path))

    def entries(self, name: str) -> Dict[str, Any]:
        """The record's entries for this file: name, name_file, name_sha256."""
        return {name: self.source, f"{name}_file": self.path, f"{name}_sha256": self.sha256}

    @classmethod
    def recorded(cls, record: Mapping[str, Any], name: str) -> "InputFile":
        return cls(str(record.get(name)), record.get(f"{name}_file"),
                   record.get(f"{name}_sha256"))


@dataclass(frozen=True)
class InputFiles:
    """The files one setting names (maps at many energies), in the order given: the
    record holds the lists of their sources, files read and SHA-256s."""

    files: Tuple[InputFile, ...]

    @property
    def source(self) -> List[str]:
        return [f.source for f in self.files]

    def entries(self, name: str) -> Dict[str, Any]:
        """The record's entries for these files: name, name_file, name_sha256 (lists)."""
        return {name: self.source, f"{name}_file": [f.path for f in self.files],
                f"{name}_sha256": [f.sha256 for f in self.files]}

    @classmethod
    def recorded(cls, record: Mapping[str, Any], name: str, source: str) -> "InputFiles":
        """The files of `name` in `record` (read from `source`); RecordError when its
        three lists do not match."""
        sources, paths, digests = (record.get(key) for key in
                                   (name, f"{name}_file", f"{name}_sha256"))
        if not (isinstance(sources, list) and isinstance(paths, list)
                and isinstance(digests, list) and len(sources) == len(paths) == len(digests)):
            raise RecordError(f"{source}: its {name}, {name}_file and {name}_sha256 are not "
                              "lists of one entry per file")
        return cls(tuple(InputFile(str(s), p, d) for s, p, d in zip(sources, paths, digests)))


# what the record says of one setting's input: one file (or data in memory), or several
InputIdentity = Union[InputFile, InputFiles]


def recorded_input(record: Mapping[str, Any], name: str, source: str) -> InputIdentity:
    """The identity of the input `name` in `record`: several files when it lists them."""
    if isinstance(record.get(name), list):
        return InputFiles.recorded(record, name, source)
    return InputFile.recorded(record, name)


def reopen(recorded: InputFile, name: str, candidates: Iterable[str], record_source: str) -> str:
    """The first of `candidates` that exists, once its SHA-256 is checked against
    the recorded one; RecordError (one line) when the record names no file, none of
    the candidates exists, or the file has changed since the record was written."""
    if recorded.path is None or recorded.sha256 is None:
        raise RecordError(f"{record_source}: its {name} was handed over in memory, not read "
                          "from a file, so the record cannot read it again")
    tried = list(dict.fromkeys(candidates))
    path = next((p for p in tried if os.path.isfile(p)), None)
    if path is None:
        raise RecordError(f"{record_source}: its {name} file is gone (looked for "
                          f"{' and '.join(tried)})")
    try:
        digest = file_sha256(path)
    except OSError as error:
        raise RecordError(f"{record_source}: cannot read its {name} file {path} "
                          f"({error.strerror or error})") from None
    if digest != recorded.sha256:
        raise RecordError(f"{record_source}: its {name} file {path} has changed since the "
                          f"record was written (SHA-256 {digest[:12]}..., recorded "
                          f"{recorded.sha256[:12]}...), so the output would not be the same")
    return path


def candidates_for(recorded: InputFile, record_source: str) -> List[str]:
    """Where a recorded file may be now: where it was, or beside the record (a folder
    moved with its inputs)."""
    places = [recorded.path] if recorded.path else []
    if recorded.path and os.path.exists(record_source):
        beside = os.path.join(os.path.dirname(os.path.abspath(record_source)),
                              os.path.basename(recorded.path))
        places.append(beside)
    return places


# ---- writing and reading ---------------------------------------------------------------

def new_record(kind: str, request: Mapping[str, Any], *, command: Optional[str] = None,
               inputs: Optional[Mapping[str, InputIdentity]] = None,
               **description: Any) -> Dict[str, Any]:
    """A record: the header, the input files, what describes the output (cleaned) and
    the request's settings (exact)."""
    entries: Dict[str, Any] = {"record_format": RECORD_FORMAT, "kind": kind,
                               "command": command, "libkernels_version": package_version()}
    for name, identity in (inputs or {}).items():
        entries.update(identity.entries(name))
    entries.update(clean(description))
    entries["request"] = plain(request)
    return entries


def write_json(path: PathLike, record: Mapping[str, Any]) -> None:
    with open(path, "w") as handle:
        json.dump(record, handle, indent=1, ensure_ascii=False)


def to_attributes(record: Mapping[str, Any]) -> Dict[str, Any]:
    """The record as NetCDF attributes: whole in RECORD_ATTRIBUTE, the header beside it."""
    attributes = {key: record[key] for key in ("record_format", "kind", "libkernels_version")}
    attributes["command"] = record.get("command") or ""
    attributes[RECORD_ATTRIBUTE] = json.dumps(record, ensure_ascii=False)
    return attributes


def from_attributes(attributes: Mapping[str, Any], source: str) -> Dict[str, Any]:
    """The record held in a file's attributes (to_attributes)."""
    value = attributes.get(RECORD_ATTRIBUTE)
    if value is None:
        raise RecordError(f"{source}: holds no libkernels record (no {RECORD_ATTRIBUTE} "
                          "attribute)")
    if isinstance(value, (bytes, str)):
        try:
            value = json.loads(value)
        except ValueError as error:
            raise RecordError(f"{source}: its {RECORD_ATTRIBUTE} attribute is not JSON "
                              f"({error})") from None
    if not isinstance(value, dict):
        raise RecordError(f"{source}: its {RECORD_ATTRIBUTE} attribute is not a record")
    return value


def _netcdf_attributes(path: str) -> Dict[str, Any]:
    """The global attributes and those of every variable of a NetCDF file, merged
    (a DataArray written alone keeps its attributes on its variable)."""
    xr = require_xarray()
    try:
        with xr.open_dataset(path) as dataset:
            merged = dict(dataset.attrs)
            for variable in dataset.data_vars.values():
                merged.update(variable.attrs)
    except LibkernelsError:
        raise
    except Exception as error:  # xarray raises many kinds for a file it cannot read
        raise RecordError(f"{path}: cannot be read as NetCDF ({error})") from None
    return merged


def check(record: Mapping[str, Any], source: str, kind: Optional[str] = None) -> Dict[str, Any]:
    """`record` when it is a record of this package's format (and of `kind`, when
    given); RecordError naming what is wrong otherwise."""
    if not isinstance(record, Mapping) or "record_format" not in record \
            or "request" not in record:
        raise RecordError(f"{source}: not a record that can be re-run (it lacks "
                          "record_format and request)")
    found = record["record_format"]
    if not isinstance(found, int) or found > RECORD_FORMAT or found < 1:
        raise RecordError(f"{source}: record format {found!r}; this libkernels "
                          f"({package_version()}) reads formats up to {RECORD_FORMAT}")
    if kind is not None and record.get("kind") != kind:
        raise RecordError(f"{source}: the record of `libkernels {record.get('kind')}`, not "
                          f"of `libkernels {kind}`")
    if not isinstance(record["request"], Mapping):
        raise RecordError(f"{source}: its request is not a table of settings")
    return dict(record)


def read_record(source: PathLike, kind: Optional[str] = None) -> Dict[str, Any]:
    """The record in a .json file, or in the attributes of a NetCDF file; checked
    (`check`), of `kind` when given."""
    path = os.fspath(source)
    if not os.path.isfile(path):
        raise RecordError(f"{path}: no such record file")
    if path.lower().endswith(NETCDF_SUFFIXES):
        return check(from_attributes(_netcdf_attributes(path), path), path, kind)
    try:
        with open(path, "rb") as handle:
            record = json.load(handle)
    except OSError as error:
        raise RecordError(f"{path}: cannot read the record ({error.strerror or error})") \
            from None
    except ValueError as error:
        raise RecordError(f"{path}: not a JSON record ({error})") from None
    return check(record, path, kind)

"""The user's cache folder, and files written into it whole or not at all.

Computed results (orbitals from a structure, ...) are kept between sessions in
one folder per kind of result:

    LIBKERNELS_CACHE_DIR/<kind>            when the variable is set,
    $XDG_CACHE_HOME/libkernels/<kind>      else, when that is set,
    ~/.cache/libkernels/<kind>             otherwise.

`atomic_write_bytes` writes a file so that a reader sees either the complete
new file or none (or the old one): the bytes go into a temporary file in the
same folder, are flushed to the disk, and the temporary file is then renamed
over the target, which is atomic on POSIX file systems.  A process killed
half-way leaves at most a temporary file whose name starts with '.' and ends
in '.tmp', which no reader opens.
"""

from __future__ import annotations

import os
import pathlib
import tempfile

from .errors import OutputError
from .types import PathLike

TEMPORARY_SUFFIX = ".tmp"


def cache_directory(kind: str) -> pathlib.Path:
    """The cache folder for results of `kind` (a plain folder name), created."""
    if not kind or kind in (".", "..") or "/" in kind or os.sep in kind:
        raise OutputError(f"cache kind {kind!r} is not a plain folder name")
    configured = os.environ.get("LIBKERNELS_CACHE_DIR")
    if configured:
        base = pathlib.Path(configured).expanduser()
    else:
        xdg = os.environ.get("XDG_CACHE_HOME")
        root = pathlib.Path(xdg).expanduser() if xdg else pathlib.Path.home() / ".cache"
        base = root / "libkernels"
    folder = base / kind
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise OutputError(f"cannot create the cache folder {folder} ({error.strerror or error}); "
                          "set LIBKERNELS_CACHE_DIR to a writable folder") from None
    return folder


def atomic_write_bytes(path: PathLike, data: bytes) -> None:
    """Writes `data` to `path` whole or not at all (temporary file, fsync, os.replace)."""
    target = pathlib.Path(path)
    folder = target.parent
    handle, temporary = tempfile.mkstemp(prefix=f".{target.name}.", suffix=TEMPORARY_SUFFIX,
                                         dir=folder)
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(data)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, target)
    except BaseException as error:  # an interrupt too: no temporary file stays behind
        try:
            os.unlink(temporary)
        except OSError:
            pass
        if isinstance(error, OSError):
            raise OutputError(f"cannot write {target} ({error.strerror or error})") from None
        raise
    try:  # the rename itself reaches the disk with the folder's entry
        descriptor = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass
    finally:
        os.close(descriptor)

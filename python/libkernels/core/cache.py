"""Where the package keeps what it computes once and reads again, and how it writes there.

Tables that cost seconds to make and never change for the same inputs (an
element's atomic potential, its continuum radial functions) are kept on disk
between runs.  `cache_directory(kind)` names the folder of one kind of entry:
``$LIBKERNELS_CACHE_DIR/kind`` when that variable is set, else
``$XDG_CACHE_HOME/libkernels/kind``, else ``~/.cache/libkernels/kind``; it is
created when missing.  Callers name each entry after everything its content
depends on (a hash of the inputs and the method's version), so an entry is
never stale: a changed method writes a new name.

`atomic_write_bytes` writes an entry as a whole or not at all: the bytes go to
a temporary file in the same folder, are flushed to the disk, and the file is
renamed over the entry's name (an atomic step on POSIX and Windows).  A process
killed while writing leaves at most a stray temporary file, never a partial
entry that a later run would read; two processes writing the same entry leave
one of their (identical) versions.
"""

from __future__ import annotations

import os
import pathlib
import tempfile
from typing import Union

from .errors import InputError, OutputError

__all__ = ["cache_directory", "atomic_write_bytes"]

ENVIRONMENT_VARIABLE = "LIBKERNELS_CACHE_DIR"


def cache_root() -> pathlib.Path:
    """The cache's top folder (not created): LIBKERNELS_CACHE_DIR, XDG_CACHE_HOME/libkernels
    or ~/.cache/libkernels."""
    given = os.environ.get(ENVIRONMENT_VARIABLE, "").strip()
    if given:
        return pathlib.Path(given).expanduser()
    xdg = os.environ.get("XDG_CACHE_HOME", "").strip()
    # the XDG rules ignore a relative XDG_CACHE_HOME
    if xdg and os.path.isabs(xdg):
        return pathlib.Path(xdg) / "libkernels"
    return pathlib.Path.home() / ".cache" / "libkernels"


def cache_directory(kind: str) -> pathlib.Path:
    """The folder of the cache entries of one `kind` (a plain folder name), created."""
    if not kind or kind in (".", "..") or any(c in kind for c in "/\\\0"):
        raise InputError("kind", f"must be one plain folder name, got {kind!r}")
    folder = cache_root() / kind
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise OutputError(f"cannot create the cache folder {folder}: {error.strerror or error}; "
                          f"set {ENVIRONMENT_VARIABLE} to a writeable folder") from None
    return folder


def atomic_write_bytes(path: Union[str, os.PathLike[str]], data: bytes) -> None:
    """Writes `data` to `path` whole or not at all (temporary file, fsync, os.replace)."""
    target = pathlib.Path(path)
    handle, temporary = tempfile.mkstemp(prefix="." + target.name + ".", suffix=".part",
                                         dir=target.parent)
    try:
        with os.fdopen(handle, "wb") as stream:
            stream.write(data)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    try:  # the rename itself reaches the disk with the folder's entry
        folder = os.open(target.parent, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(folder)
    except OSError:
        pass
    finally:
        os.close(folder)

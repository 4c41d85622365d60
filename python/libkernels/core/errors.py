"""Every error and warning the package raises, under one root each.

Catch `LibkernelsError` for anything the package refuses or cannot do, and
filter `LibkernelsWarning` for everything it warns about.  Each error keeps the
built-in base that callers caught before there was a root (`InputError` and
`ReadError` are ValueErrors, `StoreError` an OSError, `ScanError` a
RuntimeError, `MissingExtraError` an ImportError, ...), so that existing
`except ValueError:` blocks still work.

Every message is one line that names what is wrong in the caller's terms; the
command line prints it as it is (spelling argument names as options, see
`InputError.render`) and keeps a traceback only for errors outside this tree,
which are faults of the package.
"""

from __future__ import annotations

from typing import Callable, Optional


class LibkernelsError(Exception):
    """The root of every error the package raises on purpose."""


# ---- arguments and molecules ---------------------------------------------------------

class InputError(LibkernelsError, ValueError):
    """A value outside what its argument accepts.

    `name` is the Python keyword, `problem` the rest of the sentence, `hint` an
    optional second clause (may name further keywords in braces, e.g.
    ``"raise {spacing}"``, which `render` spells for its front end).
    """

    def __init__(self, name: str, problem: str, hint: str = ""):
        self.name = name
        self.problem = problem
        self.hint = hint
        super().__init__(self.render())

    def render(self, spell: Optional[Callable[[str], str]] = None) -> str:
        """The one-line message, with keywords spelt by `spell` (default: as in Python)."""
        spell = spell or _as_written
        text = f"{spell(self.name)} {self.problem}"
        if self.hint:
            text += "; " + spell_braces(self.hint, spell)
        return text


def _as_written(keyword: str) -> str:
    return keyword


def spell_braces(text: str, spell: Callable[[str], str]) -> str:
    """`text` with every {keyword} replaced by spell(keyword)."""
    out, rest = [], text
    while "{" in rest and "}" in rest:
        before, _, tail = rest.partition("{")
        keyword, _, rest = tail.partition("}")
        out.append(before + spell(keyword))
    return "".join(out) + rest


class MemoryLimitError(InputError):
    """A request whose estimated memory exceeds the limit (a ValueError)."""

    def __init__(self, name: str, problem: str, hint: str = "", estimate: int = 0,
                 limit: int = 0):
        self.estimate = estimate
        self.limit = limit
        super().__init__(name, problem, hint)

    def render(self, spell: Optional[Callable[[str], str]] = None) -> str:
        # The sentence starts with the request, not with the argument's name.
        text = self.problem
        if self.hint:
            text += "; " + spell_braces(self.hint, spell or _as_written)
        return text


class MoleculeError(LibkernelsError, ValueError):
    """Arrays that do not describe a molecule the library can hold, or orbitals
    that cannot be selected from it (a name that does not exist, too much of an
    orbital's norm left out)."""


class CommandLineError(LibkernelsError):
    """What only the command line can detect: options that exclude each other,
    a port it cannot listen on."""


# ---- files and data ---------------------------------------------------------------------

class ReadError(LibkernelsError, ValueError):
    """A wavefunction (a file, or another program's object) that cannot be read
    correctly; the message names the source and says why."""


class MoldenError(ReadError):
    """A Molden file that cannot be read correctly; the message says why."""


class RecordError(ReadError):
    """A record that cannot reproduce its output: not a record, of another kind or a
    later format, or naming a file that is gone or has changed since."""


class MeasuredDataError(LibkernelsError, ValueError):
    """Measured data that cannot be fitted: a missing axis, a bad layout, no pixel left."""


class OutputError(LibkernelsError, OSError):
    """A result that cannot be written: a missing or read-only folder, a full disk."""


# ---- scans --------------------------------------------------------------------------------

class JobError(LibkernelsError, ValueError):
    """A scan description that cannot be run; the message names the key."""


class StoreError(LibkernelsError, OSError):
    """A scan store that cannot be created, written or continued; the message says why."""


class ComputationError(LibkernelsError, RuntimeError):
    """A quantum-chemistry computation the package ran that did not give a result: an
    SCF or a geometry optimisation that did not converge; the message says what to try."""


class ScanError(LibkernelsError, RuntimeError):
    """A scan that stopped before the end, or could not start; the message says what to do."""


# ---- the library and the installation -------------------------------------------------------

class LibraryNotFoundError(LibkernelsError, ImportError):
    """libkernels.so is neither bundled with the package nor named by LIBKERNELS_LIBRARY."""


class MissingKernelError(LibkernelsError, NotImplementedError):
    """The loaded libkernels.so does not export the requested function."""


class KernelMemoryError(LibkernelsError, MemoryError):
    """A kernel could not obtain its scratch memory (or its result map)."""


class MissingExtraError(LibkernelsError, ImportError):
    """An optional dependency is not installed; the message names the pip extra
    that brings it (pip install 'libkernels[plot]', ...)."""


# ---- the explorer ---------------------------------------------------------------------------

class RequestError(LibkernelsError):
    """A request the explorer's server refuses; `status` is the HTTP status to answer with."""

    def __init__(self, message: str, status: int = 400):
        super().__init__(message)
        self.status = status


class Cancelled(LibkernelsError):
    """Work stopped between two kernel calls because its caller cancelled it (a live
    view's superseded map, a fit the user stopped)."""


# ---- warnings -----------------------------------------------------------------------------------

class LibkernelsWarning(UserWarning):
    """The root of every warning the package gives."""


class MoldenCorrectionWarning(LibkernelsWarning):
    """A Molden or Molekel file was read with a correction for its writer's deviation."""


class DroppedPartsWarning(LibkernelsWarning):
    """Parts of orbitals the library cannot hold were left out."""


class ReaderWarning(LibkernelsWarning):
    """Something a file reader (IOData) noted about a file while reading it."""


class IdentifiabilityWarning(LibkernelsWarning):
    """Two or more orbitals' weights cannot be separated by the fit."""


class FitWarning(LibkernelsWarning):
    """What a fit says of itself: a misfit, angles it cannot separate, equivalent
    orientations, errors scaled by the scatter."""


class MapWarning(LibkernelsWarning):
    """A map that shows nothing: zero everywhere, or a dichroism that the settings make
    zero (no damping of the final state)."""


__all__ = [
    "LibkernelsError", "InputError", "MemoryLimitError", "MoleculeError", "CommandLineError",
    "ReadError", "MoldenError", "RecordError", "MeasuredDataError", "OutputError", "JobError",
    "StoreError", "ScanError", "ComputationError", "LibraryNotFoundError", "MissingKernelError",
    "KernelMemoryError",
    "MissingExtraError", "RequestError", "LibkernelsWarning", "MoldenCorrectionWarning",
    "FitWarning",
    "DroppedPartsWarning", "ReaderWarning", "IdentifiabilityWarning", "MapWarning",
    "Cancelled", "spell_braces",
]

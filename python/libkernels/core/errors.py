"""Errors and warnings of the file readers.

Every reader raises `ReadError` (a ValueError) with one line naming the file
and the problem; Molden files raise its subclass `MoldenError`.  Warnings say
what a reader changed or left out, so that nothing happens silently.
"""


class ReadError(ValueError):
    """A wavefunction file that cannot be read correctly; the message says why."""


class MoldenError(ReadError):
    """A Molden file that cannot be read correctly; the message says why."""


class MoldenCorrectionWarning(UserWarning):
    """A Molden or Molekel file was read with a correction for its writer's deviation."""


class DroppedPartsWarning(UserWarning):
    """Parts of orbitals the library cannot hold were left out."""

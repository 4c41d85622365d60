"""What the commands write beside their data: file names, the command line, write errors.

The record itself (its fields, JSON file or NetCDF attributes) is core/record.py's;
each request writes its own (requests/base.py)."""

from __future__ import annotations

import argparse
import contextlib
import shlex
from typing import Iterator

from ..core.errors import LibkernelsError, OutputError


def safe(label: str) -> str:
    """An orbital label ('HOMO (beta)') as part of a file name."""
    return label.replace(" ", "_").replace("(", "").replace(")", "")


def command_line(args: argparse.Namespace) -> str:
    return shlex.join(["libkernels", *args.argv])


@contextlib.contextmanager
def writing() -> Iterator[None]:
    """Turns a failed write of the command's own output (a missing or read-only
    folder, a full disk) into an OutputError, reported in one line."""
    try:
        yield
    except LibkernelsError:
        raise
    except OSError as error:
        raise OutputError(str(error)) from error

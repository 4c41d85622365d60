"""What the commands write beside their data: file names, the command line, write errors.

The record itself (its fields, JSON file or NetCDF attributes) is core/record.py's;
each request writes its own (requests/base.py)."""

from __future__ import annotations

import argparse
import contextlib
import os
import shlex
from typing import Iterator, Sequence

from ..core.errors import CommandLineError, LibkernelsError, OutputError


def safe(label: str) -> str:
    """An orbital label ('HOMO (beta)') as part of a file name."""
    return label.replace(" ", "_").replace("(", "").replace(")", "")


def command_line(args: argparse.Namespace) -> str:
    return shlex.join(["libkernels", *args.argv])


@contextlib.contextmanager
def writing(where: str = "") -> Iterator[None]:
    """Turns a failed write of the command's own output (a missing or read-only
    folder, a full disk) into an OutputError, reported in one line naming the file
    (or `where`) and the reason."""
    try:
        yield
    except LibkernelsError:
        raise
    except OSError as error:
        target = error.filename or where or "the output"
        reason = error.strerror or str(error) or type(error).__name__
        raise OutputError(f"cannot write {target}: {reason}") from error


def output_directory(path: str, suffixes: Sequence[str], names: str) -> str:
    """-o of every command names a directory; refuses one that names a file of the
    command's own kind (`names` says how the files in it are named)."""
    if path.lower().endswith(tuple(suffixes)) and not os.path.isdir(path):
        raise CommandLineError(f"-o names the output directory, as for every command, not a "
                               f"file: got {path}; the files in it are named {names}")
    return path


def output_option(parser: argparse.ArgumentParser, help: str) -> None:
    """-o/--output-dir, the directory every command writes into (default: .)."""
    group = next((g for g in parser._action_groups if g.title == "output"), None) or \
        parser.add_argument_group("output")
    group.add_argument("-o", "--output-dir", default=".", metavar="DIR",
                       help=f"{help} (default: .)")

"""The command line as a record keeps it, and where the commands write.

The record itself (its fields, JSON file or NetCDF attributes) is core/record.py's;
each result writes its own files (formats/outputs.py)."""

from __future__ import annotations

import argparse
import contextlib
import os
import shlex
import warnings
from typing import Any, Iterator, Sequence

from ..core.errors import CommandLineError, FigureWarning
from ..core.figures import missing_library
from ..formats.outputs import writing


def command_line(args: argparse.Namespace) -> str:
    return shlex.join(["libkernels", *args.argv])


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


@contextlib.contextmanager
def results_first(figure: str) -> Iterator[None]:
    """The run of a command whose result draws a figure beside its data (fit,
    deconvolve, reconstruct): a missing figure library is said once, at the start, in
    one line naming the figure left out; the result then writes its data and record
    without saying it again (and without the figure)."""
    missing = missing_library()
    if missing:
        warnings.warn(f"{missing}; {figure} is not drawn (the results and the data are)",
                      FigureWarning, stacklevel=3)
    with warnings.catch_warnings():
        if missing:
            warnings.simplefilter("ignore", FigureWarning)
        yield


def save_and_list(result: Any, directory: str, names: Sequence[str]) -> None:
    """Writes `result` into `directory` and prints which of its files `names` are there."""
    with writing():
        result.save(directory)
    first, *rest = [name for name in names if os.path.exists(os.path.join(directory, name))]
    print(f"wrote {', '.join([os.path.join(directory, first), *rest])}")

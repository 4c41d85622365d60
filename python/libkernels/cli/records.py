"""The command line as a record keeps it, and where the commands write.

The record itself (its fields, JSON file or NetCDF attributes) is core/record.py's;
each result writes its own files (formats/outputs.py)."""

from __future__ import annotations

import argparse
import os
import shlex
from typing import Sequence

from ..core.errors import CommandLineError


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

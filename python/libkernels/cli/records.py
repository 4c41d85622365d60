"""What the commands write beside their data: file names, the .json record, write errors."""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import shlex
from typing import Any, Dict, Iterator

import numpy as np

from .. import __version__
from ..core.errors import LibkernelsError, OutputError
from ..core.grids import clean_numbers


def stem(molecule: str) -> str:
    """The molecule argument as the start of output file names."""
    return os.path.splitext(os.path.basename(molecule))[0]


def safe(label: str) -> str:
    """An orbital label ('HOMO (beta)') as part of a file name."""
    return label.replace(" ", "_").replace("(", "").replace(")", "")


def command_line(args: argparse.Namespace) -> str:
    return shlex.join(["libkernels", *args.argv])


def record(args: argparse.Namespace, **entries: Any) -> Dict[str, Any]:
    """What a data file needs beside it to be reproduced, with clean numbers."""
    def clean(value: Any) -> Any:
        if isinstance(value, dict):
            return {k: clean(v) for k, v in value.items()}
        if isinstance(value, (list, tuple, np.ndarray)):
            items = list(value)
            if items and all(isinstance(v, (float, np.floating)) for v in items):
                return clean_numbers(items)
            return [clean(v) for v in items]
        if isinstance(value, (float, np.floating)):
            return clean_numbers([value])[0]
        if isinstance(value, np.integer):
            return int(value)
        return value
    return clean({"command": command_line(args), "libkernels_version": __version__,
                  **entries})


def write_json(path: str, entries: Dict[str, Any]) -> None:
    with open(path, "w") as handle:
        json.dump(entries, handle, indent=1, ensure_ascii=False)


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

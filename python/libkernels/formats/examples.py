"""The example molecules shipped with the package (Molden files)."""

import importlib.resources
import os

from .molden import read_molden

EXAMPLES = ("pentacene", "benzene")
DEFAULT_MOLECULE = "pentacene"


def example_path(name=DEFAULT_MOLECULE):
    """Path of the Molden file of example molecule `name`."""
    if name not in EXAMPLES:
        raise ValueError(f"no example molecule {name!r}; there are {', '.join(EXAMPLES)}")
    bundled = importlib.resources.files("libkernels").joinpath("data", f"{name}.molden")
    if bundled.is_file():
        return str(bundled)
    # Running from a source checkout: the files live in examples/molecules.
    here = os.path.dirname(os.path.abspath(__file__))
    source = os.path.join(here, "..", "..", "examples", "molecules", f"{name}.molden")
    if os.path.isfile(source):
        return os.path.normpath(source)
    raise FileNotFoundError(f"the example molecule {name}.molden is not installed")


def load_example(name=DEFAULT_MOLECULE):
    """The example molecule `name` ('pentacene' or 'benzene') as a Molecule."""
    return read_molden(example_path(name))

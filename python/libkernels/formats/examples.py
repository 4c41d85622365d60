"""The example molecules shipped with the package (Molden files).

An installed package holds them in libkernels/data (cmake/Install.cmake puts
them there); a source checkout finds them in examples/molecules.
"""

import importlib.resources
import os

from ..core.errors import ReadError

EXAMPLES = ("pentacene", "benzene")
DEFAULT_MOLECULE = "pentacene"


def example_path(name: str = DEFAULT_MOLECULE) -> str:
    """Path of the Molden file of example molecule `name`."""
    if name not in EXAMPLES:
        raise ReadError(f"no example molecule {name!r}; there are {', '.join(EXAMPLES)}")
    bundled = importlib.resources.files("libkernels") / "data" / f"{name}.molden"
    if bundled.is_file():
        return str(bundled)
    # Running from a source checkout (python/libkernels/formats/ here): the files
    # live in examples/molecules at the top of the checkout.
    here = os.path.dirname(os.path.abspath(__file__))
    source = os.path.join(here, "..", "..", "..", "examples", "molecules", f"{name}.molden")
    if os.path.isfile(source):
        return os.path.normpath(source)
    raise ReadError(f"the example molecule {name}.molden is not installed")

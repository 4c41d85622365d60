"""Checks that the package under test is an installed wheel, not the checkout.

scripts/test_wheel.sh runs this file (named so that the checkout's own test run,
which imports the package from the checkout, does not collect it) together with
a few test files, in a fresh environment where the wheel is installed: the
other files then test whatever `import libkernels` finds, and these tests fail
when that is the checkout's package, a library it points to, or its molecules,
rather than the wheel's own copies in the environment's site-packages.
"""

import os
import sysconfig
from pathlib import Path

import libkernels as lk
from libkernels.core import library

SITE_PACKAGES = Path(sysconfig.get_paths()["platlib"]).resolve()
PACKAGE = SITE_PACKAGES / "libkernels"


def test_the_package_is_imported_from_site_packages():
    here = Path(lk.__file__).resolve()
    assert here == PACKAGE / "__init__.py", f"libkernels imported from {here}, not {PACKAGE}"
    assert "PYTHONPATH" not in os.environ


def test_the_library_loaded_is_the_wheels_copy():
    assert "LIBKERNELS_LIBRARY" not in os.environ, "LIBKERNELS_LIBRARY chooses another build"
    path = Path(library.library_path()).resolve()
    assert path == PACKAGE / "libkernels.so", path
    assert library.available("momentum_map")  # loads it
    if not os.path.exists("/proc/self/maps"):  # Linux tells what the process has loaded
        return
    with open("/proc/self/maps") as maps:
        mapped = {Path(line.split()[-1]).resolve() for line in maps
                  if line.rstrip().endswith("libkernels.so")}
    assert mapped == {path}, f"the process maps {sorted(map(str, mapped))}"


def test_the_example_molecules_are_the_wheels_data():
    for name in ("pentacene", "benzene"):
        path = Path(lk.example_path(name)).resolve()
        assert path == PACKAGE / "data" / f"{name}.molden", path
        assert lk.load_example(name).n_atoms > 0

"""The package's type hints: every public function hinted, the hints shipped.

A public function is one a user can reach by name: no leading underscore, in
a module and class without one (special methods such as __init__ count, they
are how a class is called).  It is hinted when every parameter but self/cls
has an annotation and so has its result (__init__ may leave out its None).
mypy checks the hints themselves (pyproject.toml [tool.mypy]).
"""

import ast
import importlib.resources
import types

import numpy as np
import pytest

import libkernels as lk
from libkernels.fit.measured import load_measured
from libkernels.fit.model import ModelSettings, OrbitalMaps
from test_layout import PACKAGE


def _public(name):
    return not name.startswith("_") or (name.startswith("__") and name.endswith("__"))


def _hinted(function, method):
    arguments = function.args
    parameters = arguments.posonlyargs + arguments.args + arguments.kwonlyargs
    static = any(isinstance(d, ast.Name) and d.id == "staticmethod"
                 for d in function.decorator_list)
    if method and not static and parameters:
        parameters = parameters[1:]  # self or cls
    parameters += [p for p in (arguments.vararg, arguments.kwarg) if p is not None]
    return all(p.annotation is not None for p in parameters) and \
        (function.returns is not None or function.name == "__init__")


def public_functions(folder=PACKAGE):
    """{qualified name: hinted} of every public function and method of the package."""
    found = {}
    for path in sorted(folder.rglob("*.py")):
        parts = list(path.relative_to(folder).with_suffix("").parts)
        if any(not _public(part) for part in parts):
            continue
        module = ".".join(p for p in parts if p != "__init__")

        def visit(body, prefix, method):
            for node in body:
                if isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
                    visit(node.body, f"{prefix}{node.name}.", True)
                elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)) \
                        and _public(node.name):
                    found[prefix + node.name] = _hinted(node, method)

        visit(ast.parse(path.read_text()).body, f"{module}." if module else "", False)
    return found


def test_every_public_function_is_hinted():
    functions = public_functions()
    unhinted = {name for name, hinted in functions.items() if not hinted}
    assert len(functions) > 250  # the walk found the package
    assert unhinted == set(), "public functions without full type hints"


def test_the_count_sees_what_it_should(tmp_path):
    (tmp_path / "_private.py").write_text("def f(x): pass\n")
    (tmp_path / "shapes.py").write_text(
        "class Square:\n"
        "    def __init__(self, side: float): pass\n"
        "    def area(self) -> float: pass\n"
        "    def scaled(self, factor) -> 'Square': pass\n"
        "    @staticmethod\n"
        "    def unit(side: float, *rest) -> 'Square': pass\n"
        "    def _helper(self, x): pass\n"
        "class _Hidden:\n"
        "    def shown(self, x): pass\n"
        "def outer(n: int) -> int:\n"
        "    def inner(m): pass\n"
        "    return n\n"
        "def partial(a: int, *, b): pass\n")
    assert public_functions(tmp_path) == {
        "shapes.Square.__init__": True, "shapes.Square.area": True,
        "shapes.Square.scaled": False, "shapes.Square.unit": False, "shapes.outer": True,
        "shapes.partial": False}


def test_the_hints_ship_with_the_package():
    assert importlib.resources.files("libkernels").joinpath("py.typed").is_file()


@pytest.mark.parametrize("angles", [30.0, None, object()])
def test_orientations_that_are_not_three_angles_are_refused(pentacene, angles):
    """Still one InputError now that the check asks for an iterable first."""
    with pytest.raises(lk.InputError, match="takes three angles"):
        lk.momentum_map_sum(pentacene, ["HOMO"], kinetic_energy=30.0, n=8,
                            orientation=angles)


# ---- faults the type check found ----------------------------------------------------

def test_model_maps_take_a_numpy_integer_orbital(pentacene):
    """A numpy integer names one orbital, as an int does (len() of it failed)."""
    kx = np.linspace(-2.0, 2.0, 21)
    used = np.ones((21, 21), dtype=bool)
    homo = pentacene.orbital_index("HOMO")
    def model(orbital):
        return ModelSettings(lk.MapRequest(orbitals=orbital, kinetic_energy=30.0))

    by_int = OrbitalMaps(pentacene, model(homo), kx, kx, used)
    by_numpy = OrbitalMaps(pentacene, model(np.int64(homo)), kx, kx, used)
    assert by_numpy.n_orbitals == 1
    np.testing.assert_array_equal(by_numpy.columns((10.0, 0.0, 0.0)),
                                  by_int.columns((10.0, 0.0, 0.0)))


def test_measured_arrays_come_in_any_mapping():
    """A read-only mapping of the arrays is read like a dict (it was taken for an
    intensity array without axes)."""
    kx = np.linspace(-1.0, 1.0, 5)
    arrays = {"intensity": np.ones((5, 5)), "kx": kx, "ky": kx}
    measured = load_measured(types.MappingProxyType(arrays))
    np.testing.assert_array_equal(measured.kx, kx)
    assert measured.intensity.shape == (5, 5)

"""The package's folders are layers, and imports point down only.

Read from the package's own sources with `ast`: no import cycle among its
modules, no import from a lower layer into a higher one (the command line on
top, the binding and data model at the bottom), and no import of a package
module inside a function, where it would only hide a cycle.  Optional
dependencies (matplotlib, scipy, ...) may be imported where they are used;
so may a package module that cannot be imported without one (NEEDS_EXTRA).
"""

import ast
from pathlib import Path

PACKAGE = Path(__file__).resolve().parents[1] / "libkernels"

# subpackage -> layer; a module may import its own subpackage or lower layers.
# "" is the package's __init__ (the public names), "__main__" `python -m libkernels`.
LAYERS = {"core": 0, "basis": 1, "formats": 2, "structures": 3, "requests": 4, "kspace": 5,
          "fit": 6, "scans": 6, "tomography": 7, "plot": 8, "explore": 9, "": 10, "cli": 11,
          "__main__": 12}
# package modules that import an optional extra at their top, so that their
# users import them where they are needed
NEEDS_EXTRA = {"libkernels.explore.server": "starlette", "libkernels.explore.widget": "anywidget"}
MAX_TOP_LEVEL_MODULES = 10


def read_sources(folder=PACKAGE, package="libkernels"):
    """{module name: source text} of every module below `folder`."""
    sources = {}
    for path in sorted(folder.rglob("*.py")):
        parts = list(path.relative_to(folder).with_suffix("").parts)
        if parts[-1] == "__init__":
            parts.pop()
        sources[".".join([package] + parts)] = path.read_text()
    return sources


def _is_package(name, sources):
    return any(other.startswith(name + ".") for other in sources)


def _type_checking(node):
    if not isinstance(node, ast.If):
        return False
    test = node.test
    return (isinstance(test, ast.Name) and test.id == "TYPE_CHECKING") or \
        (isinstance(test, ast.Attribute) and test.attr == "TYPE_CHECKING")


def imports(name, source, sources):
    """[(imported package module, line, inside a function)] of one module; imports
    under `if TYPE_CHECKING:` are left out (they never run)."""
    found = []

    def visit(node, in_function):
        for child in ast.iter_child_nodes(node):
            if _type_checking(child):
                continue
            inner = in_function or isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef))
            targets = []
            if isinstance(child, ast.Import):
                targets = [alias.name for alias in child.names]
            elif isinstance(child, ast.ImportFrom):
                here = name.split(".") if _is_package(name, sources) else name.split(".")[:-1]
                base = ".".join(here[:len(here) - child.level + 1] if child.level else [])
                base = ".".join(p for p in (base, child.module or "") if p)
                # `from package import module` needs the module; other names come
                # from the package's __init__
                targets = [f"{base}.{a.name}" if f"{base}.{a.name}" in sources else base
                           for a in child.names]
            for target in targets:
                while target and target not in sources:
                    target = target.rpartition(".")[0]
                if target and target != name:
                    found.append((target, child.lineno, inner))
            visit(child, inner)

    visit(ast.parse(source), False)
    return found


def layer(module):
    parts = module.split(".")[1:]
    return LAYERS[parts[0] if parts else ""]


def _cycles(edges):
    """Strongly connected components with more than one module (Tarjan)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def connect(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in edges.get(v, ()):
            if w not in index:
                connect(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    for v in sorted(edges):
        if v not in index:
            connect(v)
    return found


def violations(sources):
    """Every broken rule, one line each."""
    problems = []
    edges = {}
    for name, source in sources.items():
        own = name.split(".")[:2]
        for target, line, in_function in imports(name, source, sources):
            edges.setdefault(name, set()).add(target)
            where = f"{name}:{line} imports {target}"
            if in_function and target not in NEEDS_EXTRA:
                problems.append(f"{where} inside a function")
            if target.split(".")[:2] != own and not layer(target) < layer(name):
                problems.append(f"{where}, a layer that is not below its own")
    problems += [f"import cycle: {' -> '.join(c)}" for c in _cycles(edges)]
    top = [n for n in sources if n.count(".") == 1 and not _is_package(n, sources)]
    if len(top) > MAX_TOP_LEVEL_MODULES:
        problems.append(f"{len(top)} modules directly in the package: {', '.join(top)}")
    return problems


def test_imports_point_down_without_cycles():
    sources = read_sources()
    assert len(sources) > 40 and set(n.split(".")[1] for n in sources if "." in n) \
        <= set(LAYERS), "a subpackage the layer table does not know"
    assert violations(sources) == []


def test_modules_imported_inside_functions_do_need_their_extra():
    sources = read_sources()
    for module, extra in NEEDS_EXTRA.items():
        tree = ast.parse(sources[module])
        top = [n for n in tree.body if isinstance(n, (ast.Import, ast.ImportFrom))]
        assert any(extra in ast.unparse(n) for n in top), module


def test_the_rules_catch_a_cycle_an_upward_import_and_a_hidden_one():
    """The checker on small made-up packages: each fault is reported."""
    fine = {"libkernels": "from .core.a import f\n",
            "libkernels.core": "", "libkernels.core.a": "def f():\n    import numpy\n",
            "libkernels.fit": "", "libkernels.fit.b": "from ..core.a import f\n",
            "libkernels.cli": "from ..fit import b\nfrom .. import __version__\n"}
    assert violations(fine) == []
    upward = {**fine, "libkernels.core.a": "from ..fit.b import g\n"}
    assert any("libkernels.core.a:1 imports libkernels.fit.b, a layer" in p
               for p in violations(upward))
    assert any("import cycle: libkernels.core.a -> libkernels.fit.b" in p
               for p in violations(upward))
    hidden = {**fine, "libkernels.core.a": "def f():\n    from ..cli import main\n"}
    found = violations(hidden)
    assert any("imports libkernels.cli inside a function" in p for p in found)
    assert any("libkernels.core.a:2 imports libkernels.cli, a layer" in p for p in found)
    sibling = {**fine, "libkernels.scans": "", "libkernels.scans.c": "from ..fit import b\n"}
    assert any("libkernels.scans.c:1 imports libkernels.fit.b" in p
               for p in violations(sibling))
    top = {**fine, "libkernels.core.a": "import libkernels\n"}
    assert any("libkernels.core.a:1 imports libkernels," in p for p in violations(top))


def test_the_public_names_of_the_flat_package_stay():
    """Every name `import libkernels as lk` gave before the package had folders."""
    import libkernels as lk

    before = """BOHR_IN_ANGSTROM DeconvolutionResult DroppedPartsWarning FORMATS Field3D FitResult
        Grid HARTREE_IN_EV IdentifiabilityWarning InputError MeasuredDataError MeasuredMap
        MemoryLimitError MissingKernelError MoldenCorrectionWarning MoldenError Molecule
        MomentumMap ReadError available charge_density_sum deconvolve example_path
        fit_momentum_map flip_over_x flip_over_y from_pyscf library_path load_example
        load_measured momentum_density momentum_density_sum momentum_map momentum_map_sum
        normalisation open_scan parse_molden polarisation_factor read read_molden rotation
        scalar_field scan scan_momentum_maps symmetrisation __version__""".split()
    assert [name for name in before if not hasattr(lk, name)] == []
    assert set(lk.__all__) <= set(dir(lk))


def test_the_public_functions_name_every_parameter_and_only_cli_speaks_argparse():
    """No loose dicts in the public API: every function and class lk exports takes
    explicit parameters (no **kwargs), and the command line's vocabulary stays in cli/."""
    import inspect

    import libkernels as lk

    loose = []
    for name in lk.__all__:
        value = getattr(lk, name)
        if not callable(value) or isinstance(value, type) and issubclass(value, BaseException):
            continue
        try:
            parameters = inspect.signature(value).parameters.values()
        except (TypeError, ValueError):
            continue
        if any(p.kind is inspect.Parameter.VAR_KEYWORD for p in parameters):
            loose.append(name)
    assert loose == []
    speakers = [name for name, source in read_sources().items()
                if ".cli" not in name and ("import argparse" in source
                                           or "argparse." in source)]
    assert speakers == []

"""The ctypes declarations of the package against the prototypes of include/libkernels.h.

A parameter the header adds, drops, reorders or retypes would otherwise reach the
library as garbage (ctypes converts what it is told to, silently); here each of
the twelve functions must agree in parameter count, order and C type (int32_t,
float, pointers and their const) and in its return type.
"""

import ctypes
import re
from pathlib import Path

import numpy as np
import pytest

from libkernels.core import library

HEADER = Path(__file__).resolve().parents[2] / "include" / "libkernels.h"
_WRITEABLE = np.ctypeslib.ndpointer(np.float32, flags="WRITEABLE")._flags_
_C_NAMES = {np.dtype(np.int32): "int32_t", np.dtype(np.float32): "float"}


def header_prototypes(text):
    """{name: (return type, [parameter types])} of the exported functions, types
    spelt like 'const float *', 'int32_t', 'void'."""
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    found = {}
    for returns, name, parameters in re.findall(
            r"LIBKERNELS_API\s+([\w\s\*]*?)\s*\b(\w+)\s*\(([^)]*)\)\s*;", text):
        types = []
        for parameter in parameters.split(","):
            words = parameter.replace("*", " * ").split()
            types.append(" ".join(words[:-1]))  # the last word is the parameter's name
        found[name] = (" ".join(returns.replace("*", " * ").split()), types)
    return found


def declared_type(argtype):
    """The C type a ctypes declaration passes, spelt as in header_prototypes."""
    if argtype is None:
        return "void"
    if argtype is ctypes.c_int32:
        return "int32_t"
    if argtype is ctypes.c_float:
        return "float"
    if argtype is ctypes.c_void_p:
        return "float *"  # a map the library returns (and the package frees)
    pointer = getattr(argtype, "_pointer", argtype)  # an array that may be NULL
    name = _C_NAMES[np.dtype(pointer._dtype_)]
    return f"{name} *" if pointer._flags_ & _WRITEABLE else f"const {name} *"


def differences(prototypes, signatures):
    """Lines naming each disagreement between the header and the declarations."""
    problems = []
    for name in sorted(set(prototypes) | set(signatures)):
        if name not in signatures:
            problems.append(f"{name}: in the header, not declared")
            continue
        if name not in prototypes:
            problems.append(f"{name}: declared, not in the header")
            continue
        returns, parameters = prototypes[name]
        restype, argtypes = signatures[name]
        declared = [declared_type(t) for t in argtypes]
        if declared_type(restype) != returns:
            problems.append(f"{name}: returns {returns}, declared {declared_type(restype)}")
        if len(declared) != len(parameters):
            problems.append(f"{name}: {len(parameters)} parameters, {len(declared)} declared")
        problems += [f"{name}: parameter {i + 1} is {c}, declared {p}"
                     for i, (c, p) in enumerate(zip(parameters, declared)) if c != p]
    return problems


def test_every_declaration_matches_the_header():
    assert HEADER.is_file(), f"the test reads the header of the checkout: {HEADER}"
    prototypes = header_prototypes(HEADER.read_text())
    assert len(prototypes) == 12
    assert differences(prototypes, library.SIGNATURES) == []


def test_a_changed_header_is_caught():
    """The comparison itself: a swapped pair, a lost const, a new parameter and a
    changed return type in a copy of the header are each reported."""
    text = HEADER.read_text()
    edits = {
        "float e_kin, float k_min": ("float k_min, int32_t e_kin",
                                      "momentum_map: parameter 8 is int32_t"),
        "const float *map, float angle": ("float *map, float angle",
                                          "rotation: parameter 2 is float *"),
        "normalisation(int32_t n, float *map)": ("normalisation(int32_t n, float *map, "
                                                 "int32_t extra)",
                                                 "normalisation: 3 parameters, 2 declared"),
        "void symmetrisation": ("float *symmetrisation", "symmetrisation: returns float *"),
    }
    for original, (changed, expected) in edits.items():
        assert original in text
        problems = differences(header_prototypes(text.replace(original, changed, 1)),
                               library.SIGNATURES)
        assert any(expected in p for p in problems), (original, problems)


@pytest.mark.parametrize("name", ["symmetrisation", "normalisation"])
def test_a_read_only_array_is_refused_where_the_kernel_writes(name):
    """The non-const pointers are declared writeable: a read-only array (a view
    of someone else's buffer) is refused before the kernel could write into it."""
    data = np.zeros((4, 4), dtype=np.float32)
    data.flags.writeable = False
    arguments = (4, -1, data) if name == "symmetrisation" else (4, data)
    with pytest.raises(ctypes.ArgumentError):
        library.function(name)(*arguments)

"""The one way from a result to its figure, without an import of the figures' code.

Figures sit above results: plot/ imports the results it draws and registers a
function for each kind of figure (`drawer`); a result's `.plot()` and `.save()`
ask for theirs by name (`draw`).  The package's top (libkernels/__init__.py)
imports plot/, so the drawers are there whenever the package is; matplotlib
itself stays optional, each drawer asking for it when it draws.
"""

from __future__ import annotations

import importlib.util
import os
import warnings
from typing import Any, Callable, Dict, Optional, TypeVar

from .errors import FigureWarning
from .extras import install_hint

F = TypeVar("F", bound=Callable[..., Any])

_DRAWERS: Dict[str, Callable[..., Any]] = {}


def drawer(kind: str) -> Callable[[F], F]:
    """Registers the decorated function as the one that draws figures of `kind`."""
    def register(function: F) -> F:
        _DRAWERS[kind] = function
        return function
    return register


def draw(kind: str, *args: Any, **options: Any) -> Any:
    """The figure of `kind` (a matplotlib Figure, or what the drawer returns)."""
    # importing any module of the package runs its top first, which imports plot/
    return _DRAWERS[kind](*args, **options)


def missing_library() -> Optional[str]:
    """None where figures can be drawn; else the line that says what they need."""
    if importlib.util.find_spec("matplotlib") is None:
        return f"figures need matplotlib: {install_hint('plot')}"
    return None


def draw_beside(kind: str, result: Any, path: str) -> bool:
    """The figure of `kind` of `result` written to `path` beside the result's data, which
    it has written first; where the figure library is missing, a FigureWarning names the
    figure left out instead of an error after the data.  Returns whether it was drawn."""
    missing = missing_library()
    if missing:
        warnings.warn(f"{missing}; {os.path.basename(path)} is not drawn (the data are "
                      "written)", FigureWarning, stacklevel=3)
        return False
    draw(kind, result, path)
    return True

"""The one way from a result to its figure, without an import of the figures' code.

Figures sit above results: plot/ imports the results it draws and registers a
function for each kind of figure (`drawer`); a result's `.plot()` and `.save()`
ask for theirs by name (`draw`).  The package's top (libkernels/__init__.py)
imports plot/, so the drawers are there whenever the package is; matplotlib
itself stays optional, each drawer asking for it when it draws.
"""

from __future__ import annotations

from typing import Any, Callable, Dict, TypeVar

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

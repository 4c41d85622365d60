"""The colour tables the page and the notebook widget paint maps with: matplotlib's
colour maps sampled at 256 levels, as rows of 0-255 red, green, blue."""

from __future__ import annotations

from typing import Dict, List, Sequence

import numpy as np

from ..core.extras import require

# intensities, and signed maps (dichroism, residuals)
COLOUR_MAPS = ("inferno", "RdBu_r")


def colour_tables(extra: str, purpose: str,
                  names: Sequence[str] = COLOUR_MAPS) -> Dict[str, List[List[int]]]:
    """{name: 256 [r, g, b] rows}; matplotlib missing is a MissingExtraError naming `extra`."""
    colormaps = require("matplotlib", extra, purpose, "matplotlib").colormaps
    tables: Dict[str, List[List[int]]] = {}
    for name in names:
        rgba = colormaps[name](np.linspace(0.0, 1.0, 256))
        tables[name] = [[int(round(255 * c)) for c in row[:3]] for row in rgba]
    return tables

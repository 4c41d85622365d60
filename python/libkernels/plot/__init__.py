"""Figures (matplotlib, an optional extra): momentum maps (maps.py), fits and spectra
(fits.py), reconstructions (reconstructions.py).

Figures sit above the results they draw: each module registers its drawing
functions with core/figures.py, through which a result's `.plot()` and `.save()`
reach them; no result imports this package.
"""

from . import fits, maps, reconstructions

__all__ = ["fits", "maps", "reconstructions"]

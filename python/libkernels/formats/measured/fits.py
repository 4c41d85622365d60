"""FITS files of photoemission data (the LabVIEW acquisition of beamline end
stations), read through astropy.io.fits (the `lab` extra).

| what | where in the file | read as |
|---|---|---|
| the spectrum | the first column of a binary-table extension whose `TDIMn` gives two or more dimensions (one row: one spectrum) | `intensity` |
| its axes | `TDESCn` names them in `TDIMn`'s order, the fastest first: `(eV,pixels)`; `TRVALn`, `TDELTn`, `TRPIXn` give value, step and reference pixel of each | one coordinate each; an axis named `eV` has units eV, one named `pixels` (or `pixel`) counts detector pixels |
| the energy | `SFKE_0` (`Kinetic?`): T for kinetic energies, F otherwise | type kinetic when T |
| the photon energy | `SF_HV`, else `HV` in the primary header (eV) | photon_energy |
| the lens mode, pass energy | `SFLNM0`, `SFPE_0` | lens_mode, pass_energy |

An axis in detector pixels has no angle scale in the file, and an energy axis
that is not kinetic does not say whether it is binding energy or E - E_F: the
coordinates say so (`not_placed`), and kspace/axes.py refuses them in one line
unless named with --dims.  Header cards are read without the data
(`read_header`: the table's TDIM and the row count give the shape).
"""

from __future__ import annotations

import math
import re
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

import numpy as np

from ...core.errors import MeasuredDataError
from ...core.extras import require
from .base import ArrayHeader, Header, Opened, first_line

if TYPE_CHECKING:
    import xarray

__all__ = ["read", "read_header", "sniff", "SUFFIXES"]

SIGNATURE = b"SIMPLE  =                    T"[:16]
SUFFIXES = (".fits", ".fit", ".fts")
OWN_DIMS = True  # the file's own dimensions, placed by name and unit (kspace/axes.py)


def sniff(source: Opened) -> bool:
    return source.head[:len(SIGNATURE)] == SIGNATURE


def _fits(label: str) -> Any:
    return require("astropy.io.fits", "lab", f"{label}: reading FITS files", "astropy")


def _open(source: Opened) -> Any:
    if source.handle is None:
        fits = _fits(source.label)
        try:
            source.handle = fits.open(source.target(), memmap=False, lazy_load_hdus=True)
        except Exception as error:  # astropy raises OSError and others for bad files
            raise MeasuredDataError(f"{source.label}: not a readable FITS file "
                                    f"({first_line(error)})") from None
    return source.handle


def _tuple(text: Any) -> List[str]:
    return [part.strip() for part in str(text).strip("() ").split(",")] if text else []


def _spectrum(hdul: Any, label: str) -> Tuple[Any, int, Tuple[int, ...]]:
    """(the table's HDU, the column's number, the spectrum's shape as numpy orders it)."""
    for hdu in hdul[1:]:
        header = hdu.header
        if header.get("XTENSION", "").strip() != "BINTABLE":
            continue
        for n in range(1, int(header.get("TFIELDS", 0)) + 1):
            dims = _tuple(header.get(f"TDIM{n}"))
            if len(dims) >= 2:
                try:
                    shape = tuple(int(d) for d in reversed(dims))
                except ValueError:
                    continue
                return hdu, n, shape
    raise MeasuredDataError(f"{label}: holds no binary table with a spectrum of two or more "
                            "dimensions (TDIMn)")


def _energy_attrs(primary: Any) -> Dict[str, Any]:
    attrs: Dict[str, Any] = {"writer": "FITS of a LabVIEW acquisition"}
    for card, name in (("SF_HV", "photon_energy"), ("HV", "photon_energy")):
        value = primary.get(card)
        if isinstance(value, (int, float)) and math.isfinite(value) and value > 0:
            attrs.setdefault(name, float(value))
    for card, name in (("SFLNM0", "lens_mode"), ("SFPE_0", "pass_energy"),
                       ("SF_MODEL", "analyser")):
        if primary.get(card) not in (None, ""):
            attrs[name] = primary.get(card)
    return attrs


def _axes(header: Any, n: int, shape: Tuple[int, ...], kinetic: bool
          ) -> List[Tuple[str, Any, Dict[str, Any]]]:
    """(name, values, attrs) of each axis, in numpy's order."""
    names = list(reversed(_tuple(header.get(f"TDESC{n}"))))
    values = [list(reversed(_tuple(header.get(f"{key}{n}")))) for key in ("TRVAL", "TDELT",
                                                                           "TRPIX")]
    axes = []
    for d, size in enumerate(shape):
        name = re.sub(r"\W", "_", names[d]) if d < len(names) and names[d] else f"axis{d}"
        try:
            start, step, pixel = (float(v[d]) for v in values)
        except (IndexError, ValueError):
            start, step, pixel = 0.0, 1.0, 1.0
        coords = start + (np.arange(size, dtype=np.float64) + 1 - pixel) * step
        attrs: Dict[str, Any] = {}
        if name.lower() == "ev":
            attrs["units"] = "eV"
            if kinetic:
                attrs["type"] = "kinetic"
                name = "energy"
            else:
                name = "energy"
                attrs["not_placed"] = ("is not kinetic energy (SFKE_0 = F), and the file "
                                       "does not say whether it is binding energy or E - E_F; "
                                       "name it with --dims energy=binding_energy or "
                                       "energy=energy_above_fermi")
        elif name.lower() in ("pixels", "pixel"):
            attrs["units"] = "pixel"
            attrs["not_placed"] = ("counts detector pixels: the file states no angle scale "
                                   f"for them ({size} pixels), so they cannot be converted "
                                   "to momentum")
        axes.append((name, coords, attrs))
    return axes


def read_header(source: Opened, *, max_arrays: Optional[int] = None) -> Header:
    """The spectrum's shape and number type from the table's cards; no data read."""
    hdul = _open(source)
    hdu, n, shape = _spectrum(hdul, source.label)
    rows = int(hdu.header.get("NAXIS2", 1))
    code = str(hdu.header.get(f"TFORM{n}", "E")).strip()[-1:]
    dtype = np.dtype({"J": ">i4", "I": ">i2", "K": ">i8", "E": ">f4", "D": ">f8",
                      "B": "u1"}.get(code, ">f4"))
    found = Header("fits", listed=1, attrs=_energy_attrs(hdul[0].header))
    found.arrays.append(ArrayHeader(str(hdu.header.get(f"TTYPE{n}", "spectrum")),
                                    ((rows,) if rows > 1 else ()) + shape, dtype))
    return found


def read(source: Opened, *, chunked: bool = False) -> xarray.Dataset:
    """The spectrum (the table's first row) as a Dataset in the file's own axes."""
    xr = require("xarray", "lab", f"{source.label}: labelled data", "xarray")
    hdul = _open(source)
    hdu, n, shape = _spectrum(hdul, source.label)
    kinetic = str(hdul[0].header.get("SFKE_0", "F")).strip().upper() in ("T", "TRUE")
    try:
        data = np.asarray(hdu.data.field(n - 1)[0], dtype=np.float64).reshape(shape)
    except Exception as error:  # astropy raises many kinds for damaged tables
        raise MeasuredDataError(f"{source.label}: the FITS table cannot be read "
                                f"({first_line(error)})") from None
    axes = _axes(hdu.header, n, shape, kinetic)
    coords = {name: (name, values, attrs) for name, values, attrs in axes}
    attrs = {"source": source.label, **_energy_attrs(hdul[0].header)}
    return xr.Dataset({"intensity": ([name for name, _, _ in axes], data,
                                     {"units": str(hdu.header.get(f"TUNIT{n}", ""))})},
                      coords=coords, attrs=attrs)

"""The memory guard: estimate what a request will allocate, refuse it above a limit.

A 20000 x 20000 map or a 1000^3 momentum grid fills a workstation's memory
before the first value is computed.  Every function that allocates results in
proportion to its grid calls `check` first with its estimate; above the limit
it raises `MemoryLimitError` naming the estimate, the limit and the argument
that would shrink the request.

The limit is, in order: the `max_memory` argument of the call (bytes, or a
string such as ``"8G"``), the environment variable LIBKERNELS_MAX_MEMORY, or
half the memory available when the call is made.  ``max_memory=0`` (or
``"none"``) turns the guard off.

    from libkernels.core.memory import check, float32_bytes
    check(float32_bytes(n, n) * maps, "the maps", shrink="{n}", max_memory=max_memory)
"""

from __future__ import annotations

import os
import re
from typing import Optional

from .errors import InputError, MemoryLimitError
from .types import MemorySize

__all__ = ["MemorySize", "available_memory", "memory_limit",
           "parse_size", "format_size", "float32_bytes", "check"]

_UNITS = {"": 1, "b": 1, "k": 1024, "kb": 1024, "kib": 1024, "m": 1024**2, "mb": 1024**2,
          "mib": 1024**2, "g": 1024**3, "gb": 1024**3, "gib": 1024**3, "t": 1024**4,
          "tb": 1024**4, "tib": 1024**4}


def available_memory() -> int:
    """Bytes the system can give without swapping (MemAvailable), or a fallback."""
    try:
        with open("/proc/meminfo") as handle:
            for line in handle:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError, AttributeError):
        return 8 * 1024**3  # unknown: assume a small workstation


def parse_size(value: MemorySize, name: str = "max_memory") -> Optional[int]:
    """Bytes from an int/float or a string such as '512M', '8G', '1.5GB'; None for 'none'/0."""
    if value is None:
        return None
    if isinstance(value, str):
        text = value.strip().lower().replace(" ", "")
        if text in ("none", "off", "unlimited", "0"):
            return None
        match = re.fullmatch(r"(\d+(?:\.\d*)?|\.\d+)([a-z]*)", text)
        if not match or match.group(2) not in _UNITS:
            raise InputError(name, f"must be a size such as 512M, 8G or 2.5GB, got {value!r}")
        size = float(match.group(1)) * _UNITS[match.group(2)]
    else:
        try:
            size = float(value)
        except (TypeError, ValueError):
            raise InputError(name, f"must be a number of bytes or a size such as 8G, "
                                   f"got {value!r}") from None
        if not size >= 0 or size == float("inf"):
            raise InputError(name, f"must be a non-negative size, got {value!r}")
    return None if size == 0 else int(size)


def memory_limit(max_memory: MemorySize = None) -> Optional[int]:
    """The limit in bytes that applies (None: no limit)."""
    if max_memory is not None:
        return parse_size(max_memory)
    configured = os.environ.get("LIBKERNELS_MAX_MEMORY")
    if configured:
        return parse_size(configured, "LIBKERNELS_MAX_MEMORY")
    return available_memory() // 2


def format_size(size: float) -> str:
    """'1.5 GB', '320 MB' (powers of 1024, the unit --max-memory reads)."""
    for unit, factor in (("TB", 1024**4), ("GB", 1024**3), ("MB", 1024**2), ("kB", 1024)):
        if size >= factor:
            return f"{size / factor:.3g} {unit}"
    return f"{int(size)} bytes"


def float32_bytes(*shape: int) -> int:
    """Bytes of a float32 array of this shape (Python integers: no overflow)."""
    total = 4
    for extent in shape:
        total *= max(int(extent), 0)
    return total


def check(estimate: int, what: str, shrink: str, max_memory: MemorySize = None) -> int:
    """Raises MemoryLimitError when `estimate` bytes exceed the limit; returns the estimate.

    `what` names the request ("a 20000 x 20000 map"), `shrink` the keyword(s)
    that would make it smaller, in braces ("lower {n}").
    """
    limit = memory_limit(max_memory)
    if limit is not None and estimate > limit:
        source = ("max_memory" if max_memory is not None else
                  "LIBKERNELS_MAX_MEMORY" if os.environ.get("LIBKERNELS_MAX_MEMORY") else
                  "half the available memory")
        raise MemoryLimitError(
            "max_memory",
            f"{what} would need about {format_size(estimate)}, more than the limit of "
            f"{format_size(limit)} ({source})",
            f"{shrink}, or raise {{max_memory}}", estimate=estimate, limit=limit)
    return estimate

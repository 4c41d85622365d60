"""Progress display: tqdm when it is installed, otherwise a one-line counter on stderr."""

from __future__ import annotations

import sys
import time
from typing import Protocol


class ProgressBar(Protocol):
    """What the package asks of a progress display (tqdm has it too)."""

    def update(self, n: int = 1) -> object: ...

    def close(self) -> None: ...


class _PlainProgress:
    def __init__(self, total: int, description: str) -> None:
        self.total = total
        self.description = description
        self.done = 0
        self.start = time.monotonic()
        self._last = 0.0
        self._draw(force=True)

    def _draw(self, force: bool = False) -> None:
        now = time.monotonic()
        if not force and now - self._last < 0.2 and self.done < self.total:
            return
        self._last = now
        elapsed = now - self.start
        sys.stderr.write(f"\r{self.description}: {self.done}/{self.total} ({elapsed:.1f} s)")
        sys.stderr.flush()

    def update(self, n: int = 1) -> None:
        self.done += n
        self._draw()

    def close(self) -> None:
        self._draw(force=True)
        sys.stderr.write("\n")
        sys.stderr.flush()


class _NoProgress:
    def update(self, n: int = 1) -> None:
        pass

    def close(self) -> None:
        pass


def progress_bar(total: int, description: str, enabled: bool = True,
                 unit: str = "map") -> ProgressBar:
    """An object with update(n) and close(); silent when not `enabled`."""
    if not enabled:
        return _NoProgress()
    try:
        from tqdm import tqdm
    except ImportError:
        return _PlainProgress(total, description)
    return tqdm(total=total, desc=description, unit=unit, file=sys.stderr)

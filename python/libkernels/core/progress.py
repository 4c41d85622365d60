"""Progress display: on a terminal tqdm when it is installed, otherwise a one-line
counter redrawn in place; into a log (stderr not a terminal) a plain line now and
then, never a carriage return."""

from __future__ import annotations

import sys
import time
from typing import Protocol

LOG_INTERVAL = 10.0  # seconds between the lines written into a log


class ProgressBar(Protocol):
    """What the package asks of a progress display (tqdm has it too)."""

    def update(self, n: int = 1) -> object: ...

    def close(self) -> None: ...


def on_terminal() -> bool:
    """Whether stderr is a terminal, where a line may be redrawn in place."""
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):  # replaced or closed
        return False


class _PlainProgress:
    """A counter on stderr: redrawn in place on a terminal; into a log one line every
    LOG_INTERVAL seconds and a last one, so that work shorter than that writes none."""

    def __init__(self, total: int, description: str) -> None:
        self.total = total
        self.description = description
        self.done = 0
        self.start = time.monotonic()
        self.terminal = on_terminal()
        self._last = self.start
        self._lines = 0
        if self.terminal:
            self._draw()

    def _draw(self) -> None:
        now = time.monotonic()
        self._last = now
        self._lines += 1
        text = f"{self.description}: {self.done}/{self.total} ({now - self.start:.1f} s)"
        sys.stderr.write(f"\r{text}" if self.terminal else f"{text}\n")
        sys.stderr.flush()

    def update(self, n: int = 1) -> None:
        self.done += n
        if time.monotonic() - self._last >= (0.2 if self.terminal else LOG_INTERVAL):
            self._draw()

    def close(self) -> None:
        if self.terminal:
            self._draw()
            sys.stderr.write("\n")
        elif self._lines:
            self._draw()
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
    if not on_terminal():
        return _PlainProgress(total, description)
    try:
        from tqdm import tqdm
    except ImportError:
        return _PlainProgress(total, description)
    return tqdm(total=total, desc=description, unit=unit, file=sys.stderr)

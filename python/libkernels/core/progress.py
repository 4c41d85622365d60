"""Progress display: tqdm when it is installed, otherwise a one-line counter on stderr."""

import sys
import time


class _PlainProgress:
    def __init__(self, total, description):
        self.total = total
        self.description = description
        self.done = 0
        self.start = time.monotonic()
        self._last = 0.0
        self._draw(force=True)

    def _draw(self, force=False):
        now = time.monotonic()
        if not force and now - self._last < 0.2 and self.done < self.total:
            return
        self._last = now
        elapsed = now - self.start
        sys.stderr.write(f"\r{self.description}: {self.done}/{self.total} ({elapsed:.1f} s)")
        sys.stderr.flush()

    def update(self, count=1):
        self.done += count
        self._draw()

    def close(self):
        self._draw(force=True)
        sys.stderr.write("\n")
        sys.stderr.flush()


class _NoProgress:
    def update(self, count=1):
        pass

    def close(self):
        pass


def progress_bar(total, description, enabled=True, unit="map"):
    """An object with update(count) and close(); silent when not `enabled`."""
    if not enabled:
        return _NoProgress()
    try:
        from tqdm import tqdm
    except ImportError:
        return _PlainProgress(total, description)
    return tqdm(total=total, desc=description, unit=unit, file=sys.stderr)

"""What every wrapped handle shares: one lock, close-once, context manager."""
from __future__ import annotations

import threading
from typing import Any, Callable, Optional

from .errors import closed


class Handle:
    """Owns one C handle. The lock serialises the calls on it (the library
    wants one caller thread at a time per handle) and keeps close() from
    freeing the handle under a call in flight on another thread."""

    _what = "handle"

    def __init__(self) -> None:
        self._h: Optional[int] = None
        self._lock = threading.RLock()
        self._free: Optional[Callable[[Any], None]] = None

    def _handle(self) -> int:
        h = self._h
        if h is None:
            raise closed(self._what)
        return h

    @property
    def closed(self) -> bool:
        """True once close() has run."""
        return self._h is None

    def close(self) -> None:
        """Frees the handle; later calls raise ValueError. Idempotent."""
        with self._lock:
            h, self._h = self._h, None
            if h is not None and self._free is not None:
                self._free(h)

    def __enter__(self):
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

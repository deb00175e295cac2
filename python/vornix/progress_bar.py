"""A progress bar on standard error for long library calls, shown only on a
terminal (and only when tqdm is installed)."""

from __future__ import annotations

import sys
from typing import Any

__all__ = ["progress_bar"]


class _Silent:
    def update(self, n: int = 1) -> None:
        del n

    def close(self) -> None:
        pass

    def __enter__(self) -> _Silent:
        return self

    def __exit__(self, *exc: object) -> None:
        pass


def progress_bar(total: int, unit: str, description: str, enabled: bool | None = None) -> Any:
    """A context manager with ``update(n)``: a tqdm bar when `enabled` (by
    default: standard error is a terminal), otherwise one that shows nothing.

    >>> with progress_bar(3, "batch", "scoring", enabled=False) as bar:
    ...     bar.update(1)
    """
    if enabled is None:
        enabled = sys.stderr.isatty()
    if not enabled or total <= 1:
        return _Silent()
    try:
        from tqdm import tqdm
    except ImportError:
        return _Silent()
    return tqdm(total=total, unit=unit, desc=description, file=sys.stderr, leave=False, dynamic_ncols=True)

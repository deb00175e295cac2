"""Figures and axes without pyplot, and the colours every picture shares."""

from __future__ import annotations

from typing import Any

from vornix._optional import require

__all__ = ["new_axes", "new_figure", "EVENT_COLOURS", "LIVING", "EXTINCT"]

#: Colour of each event kind, by letter.
EVENT_COLOURS = {"O": "#7b4ea3", "D": "#1f6fb4", "T": "#e8750c", "L": "#c62828", "S": "#2e8b3a"}
LIVING = "#27415c"
EXTINCT = "#a3a3a3"


def new_figure(width: float, height: float) -> Any:
    """A figure of the given size in inches, drawn by matplotlib's Agg
    canvas (no window, no pyplot state)."""
    require("matplotlib", "plotting")
    from matplotlib.figure import Figure

    return Figure(figsize=(width, height), layout="constrained")


def new_axes(ax: Any, width: float, height: float) -> Any:
    """`ax` itself, or the axes of a new figure."""
    if ax is not None:
        return ax
    return new_figure(width, height).add_subplot()

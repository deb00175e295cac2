"""Whole-run pictures: how large the families grew and how often each kind
of event happened through the run."""

from __future__ import annotations

from typing import Any

import numpy as np

from vornix.plot._figure import EVENT_COLOURS, LIVING, new_axes, new_figure

__all__ = ["family_sizes", "event_rates"]

_NAMES = {"O": "origination", "D": "duplication", "T": "transfer", "L": "loss"}


def family_sizes(sim: Any) -> Any:
    """Draws the sizes the families reached by the present.

    Left: how many families have each number of extant copies (logarithmic
    bins; families that died out are counted in the title). Right: extant
    copies against the number of species the family is present in, one dot
    per surviving family.

    Parameters
    ----------
    sim : FamilySimulation
        The run.

    Returns
    -------
    matplotlib.figure.Figure

    Examples
    --------
    >>> import vornix, vornix.plot
    >>> sim = vornix.simulate_families(vornix.examples.example_tree(), seed=2)
    >>> fig = vornix.plot.family_sizes(sim)
    >>> [ax.get_xlabel() for ax in fig.axes]
    ['extant copies per family', 'extant copies']
    """
    copies = sim.extant_copies()
    n = sim.n_families
    size = np.bincount(copies["family"], minlength=n + 1)[1:]
    # Distinct (family, species) pairs, as one integer each.
    pairs = np.unique(copies["family"] * sim.tree.n_nodes + copies["species"])
    present = np.bincount(pairs // sim.tree.n_nodes, minlength=n + 1)[1:]
    fig = new_figure(9.0, 3.4)
    left, right = fig.subplots(1, 2)
    surviving = size > 0
    if surviving.any():
        top = int(size.max())
        bins = np.unique(np.round(np.logspace(0, np.log10(top + 1), 30)).astype(int))
        left.hist(size[surviving], bins=bins, color=LIVING)
        left.set_xscale("log")
        right.scatter(size[surviving], present[surviving], s=6, alpha=0.5, color=LIVING, linewidths=0)
        right.set_xscale("log")
    left.set_xlabel("extant copies per family", fontsize=9)
    left.set_ylabel("families", fontsize=9)
    left.set_title(f"{n} families, {int((~surviving).sum())} died out", fontsize=10)
    right.set_xlabel("extant copies", fontsize=9)
    right.set_ylabel("species present", fontsize=9)
    right.set_title(f"{len(sim.species)} extant species", fontsize=10)
    for ax in (left, right):
        ax.tick_params(labelsize=8)
    return fig


def event_rates(sim: Any, ax: Any = None, bins: int = 60) -> Any:
    """Draws how many originations, duplications, transfers and losses
    happened per unit time through the run, and how many species branches
    were alive (speciations happen only at the tree's nodes and are left
    out).

    Parameters
    ----------
    sim : FamilySimulation
        The run.
    ax : matplotlib.axes.Axes, optional
        Where to draw; by default a new figure.
    bins : int, default 60
        Time windows from the root to the present.

    Returns
    -------
    matplotlib.axes.Axes

    Examples
    --------
    >>> import vornix, vornix.plot
    >>> sim = vornix.simulate_families(vornix.examples.example_tree(), seed=2)
    >>> vornix.plot.event_rates(sim).get_ylabel()
    'events per unit time'
    """
    if isinstance(bins, bool) or not isinstance(bins, (int, np.integer)) or bins < 1:
        raise ValueError(f"bins must be a positive integer, got {bins!r}")
    tree = sim.tree
    ax = new_axes(ax, 9.0, 3.4)
    low, high = float(tree.time[tree.root]), float(tree.age)
    edges = np.linspace(low, high if high > low else low + 1.0, int(bins) + 1)
    width = edges[1] - edges[0]
    middle = (edges[:-1] + edges[1:]) / 2
    events = sim.events
    for code, letter in enumerate("ODTL"):
        when = events.time[events.kind == code]
        if len(when) == 0:
            continue
        counts, _ = np.histogram(when, bins=edges)
        ax.plot(middle, counts / width, color=EVENT_COLOURS[letter], linewidth=1.4,
                label=f"{_NAMES[letter]} ({len(when)})")
    # Species branches alive in each window, on a second axis.
    parent = tree.parent
    has_parent = parent >= 0
    born = tree.time[np.where(has_parent, parent, 0)][has_parent]
    died = tree.time[has_parent]
    alive = [(born <= m).sum() - (died <= m).sum() for m in middle]
    twin = ax.twinx()
    twin.plot(middle, alive, color="#777777", linewidth=0.8, linestyle="--")
    twin.set_ylabel("living species branches (dashed)", fontsize=8, color="#555555")
    twin.tick_params(labelsize=7, colors="#555555")
    ax.set_xlabel("time", fontsize=9)
    ax.set_ylabel("events per unit time", fontsize=9)
    ax.set_yscale("symlog", linthresh=1.0)
    ax.set_xlim(low, edges[-1])
    ax.set_ylim(bottom=0.0)
    ax.tick_params(labelsize=8)
    if ax.get_lines():
        ax.legend(loc="upper left", fontsize=7, frameon=False)
    ax.set_title(f"Events through the run ({len(events)} records)", fontsize=10)
    return ax

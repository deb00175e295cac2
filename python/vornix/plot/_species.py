"""The species tree on a time axis, extinct lineages in grey, transfers as
arrows between the branches they joined."""

from __future__ import annotations

from typing import Any

import numpy as np

from vornix.plot._figure import EVENT_COLOURS, EXTINCT, LIVING, new_axes
from vornix.plot._layout import TreeLayout, layout, living_lineages, thinned
from vornix.species_tree import SpeciesTree

__all__ = ["species_tree", "draw_branches", "label_leaves", "transfer_pairs"]

# At most this many leaf labels and transfer arrows are drawn.
MAX_LABELS = 60
MAX_ARROWS = 120


def draw_branches(ax: Any, tree: SpeciesTree, lay: TreeLayout, keep: np.ndarray, width: float = 1.0,
                  alpha: float = 1.0) -> None:
    """The kept branches as lines (living lineages dark, extinct grey and
    dashed) with the vertical joins of their splits."""
    from matplotlib.collections import LineCollection

    nodes = np.flatnonzero(keep)
    alive = living_lineages(tree)
    parent = tree.parent[nodes]
    has_parent = parent >= 0
    x0 = np.where(has_parent, tree.time[np.where(has_parent, parent, 0)], tree.time[nodes])
    y = lay.y[nodes]
    segments = [np.column_stack([x0, y, tree.time[nodes], y]).reshape(-1, 2, 2)]
    styles = [alive[nodes]]
    # Joins: a vertical line at each split from its first to its last kept child.
    joins = []
    for v in nodes.tolist():
        kids = [c for c in tree.children(v) if keep[c]]
        if len(kids) >= 2:
            joins.append((tree.time[v], lay.y[kids[0]], tree.time[v], lay.y[kids[-1]], alive[v]))
    if joins:
        j = np.array(joins, dtype=float)
        segments.append(j[:, :4].reshape(-1, 2, 2))
        styles.append(j[:, 4].astype(bool))
    seg = np.concatenate(segments)
    living = np.concatenate(styles)
    for mask, colour, style in ((living, LIVING, "solid"), (~living, EXTINCT, (0, (3, 2)))):
        if mask.any():
            ax.add_collection(LineCollection(seg[mask], colors=colour, linewidths=width, linestyles=style,
                                             alpha=alpha, capstyle="butt"))


def label_leaves(ax: Any, tree: SpeciesTree, lay: TreeLayout, fontsize: float | None = None) -> bool:
    """Names at the drawn leaves, thinned to at most MAX_LABELS; True when
    some were left out."""
    leaves = lay.leaves
    shown = thinned(len(leaves), MAX_LABELS)
    size = fontsize or (8 if len(shown) <= 30 else 6)
    alive = living_lineages(tree)
    for v in leaves[shown].tolist():
        ax.annotate(str(tree.names[v]), (tree.time[v], lay.y[v]), xytext=(3, 0), textcoords="offset points",
                    va="center", ha="left", fontsize=size, color=LIVING if alive[v] else EXTINCT,
                    style="normal" if alive[v] else "italic", annotation_clip=False)
    return len(shown) < len(leaves)


def transfer_pairs(tree: SpeciesTree, transfers: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """(donor, recipient, count, mean time) of every donor-recipient pair,
    most frequent first. `transfers` is a FamilySimulation, an EventTable, or
    rows of (donor, recipient, time) with nodes as numbers or names."""
    from vornix.events import EventTable
    from vornix.families import FamilySimulation

    if isinstance(transfers, FamilySimulation):
        transfers = transfers.events
    if isinstance(transfers, EventTable):
        is_t = transfers.kind == 2
        donor, recipient, when = transfers.donor[is_t], transfers.recipient[is_t], transfers.time[is_t]
    else:
        rows = list(transfers)
        if rows and not all(len(r) == 3 for r in rows):
            raise ValueError("transfers must be rows of (donor, recipient, time)")

        def node(x: Any) -> int:
            return tree.index(x) if isinstance(x, str) else int(x)

        donor = np.array([node(r[0]) for r in rows], dtype=np.int64)
        recipient = np.array([node(r[1]) for r in rows], dtype=np.int64)
        when = np.array([float(r[2]) for r in rows], dtype=np.float64)
        if len(rows) and (min(donor.min(), recipient.min()) < 0 or max(donor.max(), recipient.max()) >= tree.n_nodes):
            raise ValueError(f"transfers name a node outside 0..{tree.n_nodes - 1}")
    if len(donor) == 0:
        empty = np.zeros(0, dtype=np.int64)
        return empty, empty, empty, np.zeros(0)
    key = donor.astype(np.int64) * tree.n_nodes + recipient.astype(np.int64)
    pairs, inverse, count = np.unique(key, return_inverse=True, return_counts=True)
    mean_time = np.bincount(inverse, weights=when) / count
    order = np.argsort(-count, kind="stable")
    return pairs[order] // tree.n_nodes, pairs[order] % tree.n_nodes, count[order], mean_time[order]


def species_tree(tree: SpeciesTree, ax: Any = None, transfers: Any = None) -> Any:
    """Draws a dated species tree, optionally with the transfers of a run.

    Time runs left to right from the root; each leaf has a row. Lineages
    that survive to the present are dark, extinct lineages grey and dashed
    with their names in italics. Transfers are arrows from the donor branch
    to the recipient branch at the mean time of that pair's transfers, wider
    and more opaque the more transfers the pair had (the most frequent pairs
    only, when there are many). Leaf labels are thinned on large trees.

    Parameters
    ----------
    tree : SpeciesTree
        The tree to draw.
    ax : matplotlib.axes.Axes, optional
        Where to draw; by default a new figure sized to the tree.
    transfers : FamilySimulation, EventTable or iterable, optional
        The transfers to draw: those of a simulation or event table, or rows
        of (donor, recipient, time) with nodes as numbers or names.

    Returns
    -------
    matplotlib.axes.Axes
        The axes drawn on (its ``figure`` is the figure).

    Examples
    --------
    >>> import vornix, vornix.plot
    >>> tree = vornix.examples.example_tree()
    >>> ax = vornix.plot.species_tree(tree, transfers=[("human", "mouse", 8.0), ("human", "mouse", 9.0)])
    >>> ax.get_title()
    'Species tree: 12 extant species, 3 extinct lineages, 2 transfers'
    """
    if not isinstance(tree, SpeciesTree):
        raise TypeError(f"tree must be a vornix.SpeciesTree, got {type(tree).__name__}")
    lay = layout(tree)
    n_rows = len(lay.leaves)
    ax = new_axes(ax, 9.0, min(14.0, max(3.0, 0.22 * min(n_rows, 60) + 1.5)))
    keep = np.ones(tree.n_nodes, dtype=bool)
    draw_branches(ax, tree, lay, keep, width=1.2 if n_rows <= 200 else 0.5)
    thinned_labels = label_leaves(ax, tree, lay)
    n_extinct = len(tree.extinct_names)
    title = f"Species tree: {len(tree.extant_names)} extant species, {n_extinct} extinct lineages"
    if transfers is not None:
        donor, recipient, count, when = transfer_pairs(tree, transfers)
        title += f", {int(count.sum())} transfers"
        draw_transfers(ax, lay, donor, recipient, count, when)
    ax.set_title(title, fontsize=10)
    finish_tree_axes(ax, tree, lay, thinned_labels)
    return ax


def draw_transfers(ax: Any, lay: TreeLayout, donor: np.ndarray, recipient: np.ndarray, count: np.ndarray,
                   when: np.ndarray) -> None:
    from matplotlib.patches import FancyArrowPatch

    if len(count) == 0:
        return
    shown = min(len(count), MAX_ARROWS)
    top = float(count[0])
    for k in range(shown):
        weight = float(count[k]) / top
        start = (float(when[k]), float(lay.y[donor[k]]))
        end = (float(when[k]), float(lay.y[recipient[k]]))
        bend = 0.0 if start == end else 0.25
        ax.add_patch(FancyArrowPatch(start, end, arrowstyle="-|>", mutation_scale=6 + 6 * weight,
                                     connectionstyle=f"arc3,rad={bend}", color=EVENT_COLOURS["T"],
                                     linewidth=0.4 + 2.6 * weight, alpha=0.35 + 0.55 * weight, zorder=3))
    label = "transfers (width: count)" if shown == len(count) else \
        f"transfers: the {shown} most frequent of {len(count)} donor-recipient pairs (width: count)"
    ax.plot([], [], color=EVENT_COLOURS["T"], linewidth=2, label=label)
    ax.legend(loc="upper left", fontsize=7, frameon=False)


def finish_tree_axes(ax: Any, tree: SpeciesTree, lay: TreeLayout, thinned_labels: bool) -> None:
    """Limits, a time axis, no row axis."""
    kept = lay.y[~np.isnan(lay.y)]
    low, high = float(np.nanmin(tree.time)), float(tree.age)
    span = high - low or 1.0
    ax.set_xlim(low - 0.02 * span, high + 0.14 * span)
    ax.set_ylim(float(kept.max()) + 0.8, float(kept.min()) - 0.8)
    ax.set_xlabel("time" + ("   (leaf labels thinned)" if thinned_labels else ""), fontsize=9)
    ax.set_yticks([])
    for side in ("left", "right", "top"):
        ax.spines[side].set_visible(False)

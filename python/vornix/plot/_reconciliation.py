"""One family's complete gene tree drawn inside the branches of the species
tree, its events marked."""

from __future__ import annotations

from typing import Any

import numpy as np

from vornix.plot._figure import EVENT_COLOURS, EXTINCT, new_axes
from vornix.plot._layout import ancestors_closure, layout, living_lineages
from vornix.plot._species import finish_tree_axes, label_leaves

__all__ = ["reconciliation", "lanes"]

# Half the height of a species branch's tube, in rows.
TUBE = 0.38
# The marker of each way a copy can end (ends code of Reconciliation).
_MARKS = {1: ("D", "duplication"), 2: ("T", "transfer"), 3: ("L", "loss"), 4: ("S", "speciation"),
          5: ("L", "end of an extinct lineage")}


def lanes(species: np.ndarray, start: np.ndarray, end: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """A lane for each copy within its branch so that copies alive at the
    same time on one branch never share one, and the number of lanes of each
    copy's branch. Greedy by start time: a copy takes the lowest free lane."""
    lane = np.zeros(len(species), dtype=np.int64)
    width = np.ones(len(species), dtype=np.int64)
    order = np.lexsort((start, species))
    bounds = np.flatnonzero(np.diff(species[order])) + 1
    for group in np.split(order, bounds):
        free_at: list[float] = []  # when each lane is free again
        for i in group.tolist():
            for k, t in enumerate(free_at):
                if t <= start[i]:
                    lane[i] = k
                    free_at[k] = end[i]
                    break
            else:
                lane[i] = len(free_at)
                free_at.append(end[i])
        width[group] = max(1, len(free_at))
    return lane, width


def reconciliation(sim: Any, family: int, ax: Any = None) -> Any:
    """Draws one family's complete gene tree inside the species tree.

    Only the part of the species tree the family lived in is drawn, as pale
    tubes (extinct lineages paler), with the lineages that connect it. Each
    gene copy is a line in the tube of the branch it lived on, from its
    birth to its end; splits join parent and children, a transfer is an
    arrow to the recipient's tube. Events are marked with their letter:
    D duplication, T transfer (at the donor), L loss (grey for a copy that
    ended with its extinct lineage), S speciation; surviving copies end in a
    dot at the present.

    Parameters
    ----------
    sim : FamilySimulation
        The run.
    family : int
        Family number, 1 .. ``sim.n_families``.
    ax : matplotlib.axes.Axes, optional
        Where to draw; by default a new figure.

    Returns
    -------
    matplotlib.axes.Axes

    Examples
    --------
    >>> import vornix, vornix.plot
    >>> sim = vornix.simulate_families(vornix.examples.example_tree(), transfer=0.15, loss=0.3, seed=11)
    >>> vornix.plot.reconciliation(sim, 2).get_title()
    'Family 2: 65 copies; D 8, T 13, L 21, S 11; 12 extant copies'
    """
    from matplotlib.collections import LineCollection, PolyCollection

    rec = sim.reconciliation(family)
    tree = sim.tree
    # A copy's end never lies past its branch (one that ends with its extinct
    # lineage ends with the branch).
    end = np.minimum(rec.end, tree.time[rec.species])
    start = np.minimum(rec.start, end)
    keep = ancestors_closure(tree, rec.species)
    lay = layout(tree, keep)
    n_rows = len(lay.leaves)
    ax = new_axes(ax, 9.0, min(14.0, max(3.2, 0.32 * min(n_rows, 45) + 1.5)))

    # Species tubes: pale bands around the rows of the branches the family
    # lived on; the branches that only connect them are thin lines.
    visited = np.zeros(tree.n_nodes, dtype=bool)
    visited[rec.species] = True
    nodes = np.flatnonzero(keep)
    alive = living_lineages(tree)
    up = tree.parent[nodes]
    x0 = np.where(up >= 0, tree.time[np.where(up >= 0, up, 0)], tree.time[nodes])
    x1 = tree.time[nodes]
    yv = lay.y[nodes]
    band = visited[nodes]
    boxes = np.stack([np.column_stack([x0, yv - TUBE]), np.column_stack([x1, yv - TUBE]),
                      np.column_stack([x1, yv + TUBE]), np.column_stack([x0, yv + TUBE])], axis=1)
    ax.add_collection(PolyCollection(boxes[band], facecolors=np.where(alive[nodes[band]], "#d3dfeb", "#e8e8e8"),
                                     edgecolors="none", zorder=1))
    thin = np.column_stack([x0, yv, x1, yv]).reshape(-1, 2, 2)[~band]
    if len(thin):
        ax.add_collection(LineCollection(thin, colors="#b5c4d4", linewidths=1.0, zorder=1))
    joins = []
    for v in nodes.tolist():
        kids = [c for c in tree.children(v) if keep[c]]
        if len(kids) >= 2:
            joins.append([[tree.time[v], lay.y[kids[0]]], [tree.time[v], lay.y[kids[-1]]]])
    if joins:
        ax.add_collection(LineCollection(joins, colors="#b5c4d4", linewidths=1.0, zorder=1))

    # Gene lineages: each copy in its lane of its branch's tube.
    lane, width = lanes(rec.species, start, end)
    y = lay.y[rec.species] + ((lane + 0.5) / width - 0.5) * 2 * TUBE * 0.9
    lines = [np.column_stack([start, y, end, y]).reshape(-1, 2, 2)]
    kids = rec.children()
    split = np.flatnonzero(kids[:, 0] >= 0)
    is_transfer = rec.ends[split] == 2
    # A split joins the copy to its children where it ends; a transfer's
    # second child is reached by an arrow instead.
    first, second = kids[split, 0], kids[split, 1]
    low = np.minimum.reduce([y[split], y[first], np.where(is_transfer, y[split], y[second])])
    high = np.maximum.reduce([y[split], y[first], np.where(is_transfer, y[split], y[second])])
    lines.append(np.column_stack([end[split], low, end[split], high]).reshape(-1, 2, 2))
    ax.add_collection(LineCollection(np.concatenate(lines), colors="#1b1b1b", linewidths=0.9, zorder=2))
    # Transfers: a line from the donor's copy to the copy it placed in the
    # recipient, with an arrowhead there (rows grow downward on screen).
    donors = split[is_transfer]
    if len(donors):
        placed = kids[donors, 1]
        links = np.column_stack([end[donors], y[donors], end[donors], y[placed]]).reshape(-1, 2, 2)
        ax.add_collection(LineCollection(links, colors=EVENT_COLOURS["T"], linewidths=0.9, alpha=0.8, zorder=3))
        down = y[placed] > y[donors]
        for mask, head in ((down, "v"), (~down, "^")):
            if mask.any():
                ax.scatter(end[donors][mask], y[placed][mask], marker=head, s=14, color=EVENT_COLOURS["T"],
                           linewidths=0, zorder=3)
    # Event letters.
    size = 36 if len(rec) <= 400 else 14
    counts = rec.count()
    for code, (letter, meaning) in _MARKS.items():
        rows = np.flatnonzero(rec.ends == code)
        if len(rows) == 0:
            continue
        colour = EXTINCT if code == 5 else EVENT_COLOURS[letter]
        label = meaning
        ax.scatter(end[rows], y[rows], marker=f"$\\mathrm{{{letter}}}$", s=size, color=colour, zorder=4,
                   linewidths=0, label=label)
    leaves = np.flatnonzero(rec.ends == 0)
    ax.scatter(end[leaves], y[leaves], s=8 if len(rec) <= 400 else 3, color="#1b1b1b", zorder=4, label="extant copy")
    thinned_labels = label_leaves(ax, tree, lay, fontsize=7)
    ax.legend(loc="lower left", bbox_to_anchor=(0.0, 1.0), fontsize=7, frameon=False, ncol=6, markerscale=0.8,
              borderaxespad=0.2)
    ax.set_title(f"Family {rec.family}: {len(rec)} copies; D {counts['duplication']}, T {counts['transfer']}, "
                 f"L {counts['loss'] + counts['extinct']}, S {counts['speciation']}; {counts['leaf']} extant copies",
                 fontsize=10, pad=16)
    finish_tree_axes(ax, tree, lay, thinned_labels)
    # The family's time span, from its origination to the present.
    first_time = float(start[0]) if len(start) else float(tree.time[lay.top])
    low_x = min(first_time, float(tree.time[tree.parent[lay.top]]) if tree.parent[lay.top] >= 0 else first_time)
    span = float(tree.age) - low_x or 1.0
    ax.set_xlim(low_x - 0.03 * span, float(tree.age) + 0.16 * span)
    return ax

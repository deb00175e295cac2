"""Where each species-tree node sits in a drawing: time across, leaves one
row apart, an internal node midway between its children."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np

from vornix.species_tree import SpeciesTree

__all__ = ["TreeLayout", "layout", "living_lineages", "ancestors_closure", "thinned"]


class TreeLayout(NamedTuple):
    """Rows of the drawn nodes (NaN for nodes not drawn) and the drawn
    leaves from top to bottom."""

    y: np.ndarray
    leaves: np.ndarray
    top: int  # the drawn node every other drawn node descends from


def layout(tree: SpeciesTree, keep: np.ndarray | None = None) -> TreeLayout:
    """Rows for the nodes of `keep` (a boolean mask closed under taking
    parents up to one top node; all nodes by default). A kept node without
    kept children is a row of its own."""
    n = tree.n_nodes
    keep = np.ones(n, dtype=bool) if keep is None else keep
    kept = np.flatnonzero(keep)
    up = tree.parent[kept]
    tops = kept[(up < 0) | ~keep[np.where(up < 0, 0, up)]]
    if len(tops) != 1:
        raise ValueError("the nodes to draw do not form one subtree")
    top = int(tops[0])
    y = np.full(n, np.nan)
    leaves: list[int] = []
    order: list[int] = []
    stack = [top]
    while stack:  # preorder, first child first
        v = stack.pop()
        order.append(v)
        kids = [c for c in tree.children(v) if keep[c]]
        if not kids:
            y[v] = len(leaves)
            leaves.append(v)
        stack.extend(reversed(kids))
    for v in reversed(order):
        kids = [c for c in tree.children(v) if keep[c]]
        if kids:
            y[v] = (y[kids[0]] + y[kids[-1]]) / 2.0
    return TreeLayout(y, np.array(leaves, dtype=np.int64), top)


def living_lineages(tree: SpeciesTree) -> np.ndarray:
    """True for the nodes with an extant leaf below them (or that are one):
    the lineages that survive to the present."""
    alive = tree.extant_leaf.copy()
    # Latest first; at equal times a child has the larger number, so it
    # still comes before its parent.
    order = np.argsort(tree.time, kind="stable")[::-1]
    parent = tree.parent
    for v in order.tolist():
        if alive[v] and parent[v] >= 0:
            alive[parent[v]] = True
    return alive


def ancestors_closure(tree: SpeciesTree, nodes: np.ndarray) -> np.ndarray:
    """The mask of `nodes` and their ancestors up to the youngest node they
    all descend from."""
    listed = np.unique(np.asarray(nodes, dtype=np.int64)).tolist()
    mask = np.zeros(tree.n_nodes, dtype=bool)
    below = np.zeros(tree.n_nodes, dtype=np.int64)  # listed nodes at or below each node
    parent = tree.parent.tolist()
    for v in listed:
        while v >= 0:
            below[v] += 1
            mask[v] = True
            v = parent[v]
    # Nodes above every listed one form a path from the root; its last node
    # is the top, and what lies above it is left out.
    path = np.flatnonzero(below == len(listed))
    top = int(np.setdiff1d(path, tree.parent[path])[0])
    u = parent[top]
    while u >= 0:
        mask[u] = False
        u = parent[u]
    return mask


def thinned(n: int, at_most: int) -> np.ndarray:
    """Indices 0..n-1, every k-th one so that at most `at_most` remain."""
    step = max(1, -(-n // at_most))
    return np.arange(0, n, step)

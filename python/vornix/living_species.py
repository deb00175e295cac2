"""The living part of a dated species tree, in the layout the likelihood
functions take.

The scorers model living species only: extinct lineages are pruned, nodes
left with one child are collapsed into the branch below them (so a branch
spans from its nearest kept ancestor), and the root becomes the most recent
common ancestor of the living species, with no stem branch above it (its
parent time equals its own time). Nodes are numbered in post-order, left
subtree first, children in increasing node number.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

__all__ = ["LivingSpecies", "as_living", "living_species"]


@dataclass(frozen=True)
class LivingSpecies:
    """Post-order species arrays of the living part of a species tree.

    Attributes
    ----------
    sp_parent, sp_left, sp_right : numpy.ndarray of int64
        Parent and children of each node (-1 where there is none).
    sp_is_leaf : numpy.ndarray of bool
    sp_time, sp_parent_time : numpy.ndarray of float64
        Time of each node and of its parent; the root's parent time is its
        own time.
    sp_root : int
        Index of the root (the last node).
    names : tuple of str
        Name of each node, in the same order.
    source_node : numpy.ndarray of int64
        The node number each entry comes from in the full tree.
    leaf_index : dict of str to int
        Index of each living species (leaf) by name.
    """

    sp_parent: npt.NDArray[np.int64]
    sp_left: npt.NDArray[np.int64]
    sp_right: npt.NDArray[np.int64]
    sp_is_leaf: npt.NDArray[np.bool_]
    sp_time: npt.NDArray[np.float64]
    sp_parent_time: npt.NDArray[np.float64]
    sp_root: int
    names: tuple[str, ...]
    source_node: npt.NDArray[np.int64]
    leaf_index: dict[str, int]

    def undated_args(self) -> dict[str, object]:
        """Keyword arguments for the undated likelihood functions."""
        return {
            "sp_left": self.sp_left,
            "sp_right": self.sp_right,
            "sp_is_leaf": self.sp_is_leaf,
            "sp_time": self.sp_time,
            "sp_parent_time": self.sp_parent_time,
            "sp_root": self.sp_root,
        }

    def dated_args(self) -> dict[str, object]:
        """Keyword arguments for the dated likelihood functions."""
        return {"sp_parent": self.sp_parent, **self.undated_args()}

    def __len__(self) -> int:
        return len(self.sp_left)


def living_species(
    parent: Sequence[int] | npt.ArrayLike,
    time: Sequence[float] | npt.ArrayLike,
    extant_leaf: Sequence[bool] | npt.ArrayLike,
    root: int,
    names: Sequence[str] | None = None,
) -> LivingSpecies:
    """Prune a dated species tree to its living species.

    Parameters
    ----------
    parent, time, extant_leaf, root
        The species tree as node arrays (a negative parent marks the root).
        A node marked as a living leaf is a leaf even if it has children.
    names
        One name per node; ``s<i>`` style defaults (the node number) when
        omitted.

    Returns
    -------
    LivingSpecies

    Raises
    ------
    ValueError
        When no living species descends from the root, or a kept node has
        more than two children with living descendants.

    Examples
    --------
    Root 0 with an extinct leaf 1 and a node 2 whose children 3 and 4 live:
    the root collapses away and node 2 becomes the root.

    >>> sp = living_species([-1, 0, 0, 2, 2], [0.0, 0.5, 1.0, 2.0, 2.0],
    ...                     [False, False, False, True, True], 0, ["r", "x", "n", "a", "b"])
    >>> sp.names, sp.sp_root, sp.sp_parent_time.tolist()
    (('a', 'b', 'n'), 2, [1.0, 1.0, 1.0])
    """
    parent_arr = np.asarray(parent, dtype=np.int64)
    time_arr = np.asarray(time, dtype=np.float64)
    extant = np.asarray(extant_leaf, dtype=bool)
    n = len(parent_arr)
    if len(time_arr) < n or len(extant) < n:
        raise ValueError("time and extant_leaf need one entry per node of parent")
    if not 0 <= root < n:
        raise ValueError(f"root {root} is not a node of the tree ({n} nodes)")
    node_names = [str(i) for i in range(n)] if names is None else [str(s) for s in names]

    children: list[list[int]] = [[] for _ in range(n)]
    for i, p in enumerate(parent_arr.tolist()):
        if 0 <= p < n:
            children[p].append(i)
    is_extant = extant.tolist()

    # Pre-order walk from the root, then living-descendant flags bottom up.
    order: list[int] = []
    stack = [root]
    while stack:
        v = stack.pop()
        order.append(v)
        if len(order) > n:
            raise ValueError("species tree has a cycle through its root")
        if not is_extant[v]:
            stack.extend(children[v])
    alive = [False] * n
    for v in reversed(order):
        alive[v] = is_extant[v] or any(alive[c] for c in children[v])
    if not alive[root]:
        raise ValueError("species tree has no living species")

    def kept_children(v: int) -> list[int]:
        if is_extant[v]:
            return []
        out = []
        for c in children[v]:
            if not alive[c]:
                continue
            # Slide down through nodes left with one living child.
            while True:
                living = [] if is_extant[c] else [d for d in children[c] if alive[d]]
                if len(living) != 1:
                    break
                c = living[0]
            out.append(c)
        if len(out) > 2:
            raise ValueError(f"species node {node_names[v]!r} has {len(out)} children with living descendants; "
                             "the likelihoods need a binary tree")
        return out

    top = root
    while True:
        kids = kept_children(top)
        if len(kids) != 1:
            break
        top = kids[0]

    # Post-order numbering, left subtree first.
    post: list[int] = []
    kids_of: dict[int, list[int]] = {}
    stack2: list[tuple[int, bool]] = [(top, False)]
    while stack2:
        v, expanded = stack2.pop()
        if expanded:
            post.append(v)
            continue
        kids = kept_children(v)
        kids_of[v] = kids
        stack2.append((v, True))
        stack2.extend((c, False) for c in reversed(kids))
    index = {v: i for i, v in enumerate(post)}
    m = len(post)
    sp_parent = np.full(m, -1, dtype=np.int64)
    sp_left = np.full(m, -1, dtype=np.int64)
    sp_right = np.full(m, -1, dtype=np.int64)
    sp_is_leaf = np.zeros(m, dtype=bool)
    sp_time = time_arr[np.array(post, dtype=np.int64)].copy()
    sp_parent_time = np.empty(m, dtype=np.float64)
    for i, v in enumerate(post):
        kids = kids_of[v]
        if not kids:
            sp_is_leaf[i] = True
        else:
            sp_left[i], sp_right[i] = index[kids[0]], index[kids[1]]
            sp_parent[index[kids[0]]] = sp_parent[index[kids[1]]] = i
    for i in range(m):
        p = sp_parent[i]
        sp_parent_time[i] = sp_time[p] if p >= 0 else sp_time[i]
    kept_names = tuple(node_names[v] for v in post)
    leaf_index = {kept_names[i]: i for i in range(m) if sp_is_leaf[i]}
    if len(leaf_index) != int(sp_is_leaf.sum()):
        raise ValueError("living species names are not unique")
    for a in (sp_parent, sp_left, sp_right, sp_is_leaf, sp_time, sp_parent_time):
        a.setflags(write=False)
    source = np.array(post, dtype=np.int64)
    source.setflags(write=False)
    return LivingSpecies(sp_parent, sp_left, sp_right, sp_is_leaf, sp_time, sp_parent_time, m - 1,
                         kept_names, source, leaf_index)


def as_living(species_tree: object) -> LivingSpecies:
    """The living-species arrays of `species_tree`: a
    :class:`vornix.SpeciesTree` (anything with ``core_args()`` and ``names``)
    or already a :class:`LivingSpecies`.

    Raises
    ------
    TypeError
        For any other object.
    """
    if isinstance(species_tree, LivingSpecies):
        return species_tree
    core_args = getattr(species_tree, "core_args", None)
    if not callable(core_args):
        raise TypeError(f"species_tree must be a vornix.SpeciesTree, not {type(species_tree).__name__}")
    args = core_args()
    names = getattr(species_tree, "names", None)
    return living_species(args["parent"], args["time"], args["extant_leaf"], args["root"],
                          None if names is None else list(names))

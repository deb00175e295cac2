"""Species trees to and from Newick text.

Reading: times are root-to-node path lengths, the root at time 0 (a branch
length written on the root is ignored); leaves that end before the present
are extinct lineages. Writing: branch lengths are chosen so that reading the
text back gives the same times, bit for bit for a tree read from Newick
(otherwise to the nearest double a branch length can give).
"""

from __future__ import annotations

import math
import re
from collections.abc import Collection
from dataclasses import dataclass

import numpy as np

from vornix._checks import forbidden_name_character
from vornix._newick import NewickTree, parse

__all__ = ["NewickArrays", "arrays_from_newick", "to_newick", "quote_label"]

_NEEDS_QUOTES = re.compile(r"[\s()\[\]':;,]")


def quote_label(label: str) -> str:
    """`label` as Newick writes it: in single quotes (inner quotes doubled)
    when it holds whitespace or any of ``()[]':;,``.

    Examples
    --------
    >>> quote_label("Homo_sapiens"), quote_label("t:u"), quote_label("it's")
    ('Homo_sapiens', "'t:u'", "'it''s'")
    """
    if _NEEDS_QUOTES.search(label) is None:
        return label
    return "'" + label.replace("'", "''") + "'"


@dataclass
class NewickArrays:
    """The node arrays of a species tree read from Newick, in preorder."""

    parent: np.ndarray
    time: np.ndarray
    extant_leaf: np.ndarray
    names: list[str]


def _only_tree(text: str | bytes, source: str) -> NewickTree:
    trees = parse(text, source)
    if len(trees) != 1:
        second = trees[1]
        raise ValueError(f"{source}: line {second.start_line}: expected one species tree, found {len(trees)} trees")
    return trees[0]


def _times(tree: NewickTree) -> np.ndarray:
    parent = tree.parent.tolist()
    length = tree.length.tolist()
    time = [0.0] * len(parent)
    for i in range(1, len(parent)):
        d = length[i]
        if math.isnan(d):
            raise ValueError(f"{tree.where(i)}: expected a branch length for {_describe(tree, i)}")
        if d < 0:
            raise ValueError(f"{tree.where(i)}: branch length {d!r} of {_describe(tree, i)} is negative")
        time[i] = time[parent[i]] + d
    return np.array(time, dtype=np.float64)


def _describe(tree: NewickTree, node: int) -> str:
    label = tree.labels[node]
    return f"node {label!r}" if label else "an unnamed node"


def _names(tree: NewickTree) -> list[str]:
    """The labels, unnamed nodes given ``n<i>`` names no label uses."""
    labels = tree.labels
    seen: dict[str, int] = {}
    for i, label in enumerate(labels):
        if not label:
            continue
        bad = forbidden_name_character(label)
        if bad is not None:
            raise ValueError(f"{tree.where(i)}: the name {label!r} contains {bad}, which the output tables cannot hold")
        first = seen.setdefault(label, i)
        if first != i:
            kind = "leaf" if not _has_children(tree, i) else "node"
            raise ValueError(f"{tree.where(i)}: duplicate {kind} name {label!r} (first at "
                             f"line {int(tree.line[first])}, column {int(tree.column[first])}); names must be unique")
    names = list(labels)
    for i, label in enumerate(labels):
        if not label:
            name = f"n{i}"
            k = 0
            while name in seen:
                k += 1
                name = f"n{i}_{k}"
            seen[name] = i
            names[i] = name
    return names


def _has_children(tree: NewickTree, node: int) -> bool:
    return bool((tree.parent == node).any())


def _child_counts(parent: np.ndarray) -> np.ndarray:
    return np.bincount(parent[parent >= 0], minlength=len(parent))


def _check_binary(tree: NewickTree, names: list[str]) -> None:
    counts = _child_counts(tree.parent.astype(np.int64))
    odd = np.flatnonzero((counts == 1) | (counts > 2))
    if odd.size:
        v = int(odd[0])
        raise ValueError(
            f"{tree.where(v)}: node {names[v]!r} has {int(counts[v])} "
            f"{'child' if counts[v] == 1 else 'children'}; the family simulator needs exactly two at every internal "
            "node (resolve=True collapses single-child nodes and splits larger ones)")


def _resolve(parent: np.ndarray, time: np.ndarray, names: list[str]) -> tuple[np.ndarray, np.ndarray, list[str]]:
    """Collapses single-child nodes into their child and splits nodes with
    more than two children into a ladder of zero-length branches; returns
    the tree renumbered in preorder with its root at time 0."""
    n = len(parent)
    kids: list[list[int]] = [[] for _ in range(n)]
    root = 0
    for v, p in enumerate(parent.tolist()):
        if p >= 0:
            kids[p].append(v)
        else:
            root = v
    times = time.tolist()
    new_names = list(names)
    used = set(names)
    new_kids: dict[int, list[int]] = {}
    extra = n

    def skip_unary(v: int) -> int:
        while len(kids[v]) == 1:
            v = kids[v][0]
        return v

    root = skip_unary(root)
    stack = [root]
    while stack:
        v = stack.pop()
        children = [skip_unary(c) for c in kids[v]]
        while len(children) > 2:
            # Keep the first child; the rest hang below a new node at v's time.
            x = extra
            extra += 1
            times.append(times[v])
            name = f"n{x}"
            while name in used:
                name += "_"
            used.add(name)
            new_names.append(name)
            new_kids[v] = [children[0], x]
            stack.append(children[0])
            v, children = x, children[1:]
        new_kids[v] = children
        stack.extend(children)
    # Renumber in preorder.
    order: list[int] = []
    stack = [root]
    while stack:
        v = stack.pop()
        order.append(v)
        stack.extend(reversed(new_kids.get(v, [])))
    number = {old: new for new, old in enumerate(order)}
    out_parent = np.full(len(order), -1, dtype=np.int64)
    for old in order:
        for c in new_kids.get(old, []):
            out_parent[number[c]] = number[old]
    out_time = np.array([times[old] for old in order], dtype=np.float64) - times[root]
    return out_parent, out_time, [new_names[old] for old in order]


def arrays_from_newick(
    text: str | bytes,
    *,
    extinct: Collection[str] | None = None,
    tolerance: float = 1e-6,
    ultrametric: bool = False,
    resolve: bool = False,
    source: str = "<string>",
) -> NewickArrays:
    """The node arrays of the one species tree in `text`; see
    :meth:`vornix.SpeciesTree.from_newick` for the arguments."""
    if not (isinstance(tolerance, (int, float)) and math.isfinite(tolerance) and 0 <= tolerance < 1):
        raise ValueError(f"tolerance must be a number in [0, 1), got {tolerance!r}")
    tree = _only_tree(text, source)
    names = _names(tree)
    parent = tree.parent.astype(np.int64)
    time = _times(tree)
    line: np.ndarray | None = None
    column: np.ndarray | None = None
    if resolve:
        parent, time, names = _resolve(parent, time, names)
    else:
        _check_binary(tree, names)
        line, column = tree.line, tree.column
    is_leaf = _child_counts(parent) == 0
    present = float(time[is_leaf].max())
    threshold = present - tolerance * present
    if extinct is None:
        extant = is_leaf & (time >= threshold) if not ultrametric else is_leaf.copy()
    else:
        if isinstance(extinct, (str, bytes)):
            raise TypeError("extinct must be a collection of leaf names, not a single string")
        index = {name: i for i, name in enumerate(names)}
        extant = is_leaf.copy()
        for name in extinct:
            v = index.get(name)
            if v is None or not is_leaf[v]:
                raise ValueError(f"extinct names {name!r}, which is not a leaf of the tree")
            extant[v] = False
    if ultrametric:
        short = np.flatnonzero(extant & (time < threshold))
        if short.size:
            v = int(short[0])
            place = (f"{source}: line {int(line[v])}, column {int(column[v])}: "
                     if line is not None and column is not None else f"{source}: ")
            raise ValueError(
                f"{place}leaf {names[v]!r} ends at time {float(time[v])!r}, before the present {present!r}: the living "
                f"leaves are not ultrametric (tolerance {tolerance!r} of the tree's age)")
    return NewickArrays(parent, time, extant, names)


def _lengths(parent: np.ndarray, time: np.ndarray, root: int, order: list[int]) -> list[float]:
    """Branch lengths for writing: a reader summing them from the root (the
    root at 0, nodes in `order`, parents first) gets back ``time - time[root]``
    exactly wherever a double can carry it, else to the nearest double."""
    target = (time - time[root]).tolist()
    up = parent.tolist()
    length = [0.0] * len(up)
    reread = [0.0] * len(up)  # the times the reader will compute
    for c in order:
        p = up[c]
        if p < 0:
            continue
        base, goal = reread[p], target[c]
        d = max(goal - base, 0.0)
        if base + d != goal:
            best = d
            for direction in (math.inf, -math.inf):
                guess = d
                for _ in range(4):
                    guess = math.nextafter(guess, direction)
                    if guess >= 0 and abs(base + guess - goal) < abs(base + best - goal):
                        best = guess
            d = best
        length[c] = d
        reread[c] = base + d
    return length


def to_newick(parent: np.ndarray, time: np.ndarray, root: int, names: list[str]) -> str:
    """Newick text (ending in ``;``) of a tree given by its node arrays:
    children in node-number order, every node named, branch lengths exact."""
    n = len(parent)
    kids: list[list[int]] = [[] for _ in range(n)]
    for v, p in enumerate(parent.tolist()):
        if p >= 0:
            kids[p].append(v)
    order: list[int] = []
    stack_order = [root]
    while stack_order:
        v = stack_order.pop()
        order.append(v)
        stack_order.extend(kids[v])
    lengths = _lengths(parent, time, root, order)
    out: list[str] = []
    stack: list[tuple[int, int]] = [(root, 0)]
    while stack:
        v, opened = stack.pop()
        children = kids[v]
        if opened < len(children):
            out.append("(" if opened == 0 else ",")
            stack.append((v, opened + 1))
            stack.append((children[opened], 0))
            continue
        if children:
            out.append(")")
        out.append(quote_label(names[v]))
        if v != root:
            out.append(":" + repr(lengths[v]))
    out.append(";")
    return "".join(out)

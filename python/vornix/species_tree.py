"""Dated species trees: the tree every simulation runs along."""

from __future__ import annotations

import os
import re
from collections.abc import Collection, Iterable
from typing import Any

import numpy as np
import numpy.typing as npt

from vornix import _native
from vornix._checks import forbidden_name_character

__all__ = ["SpeciesTree"]


def _read_only(array: np.ndarray) -> np.ndarray:
    array.setflags(write=False)
    return array


def _one_dimensional(name: str, value: Any, n: int | None) -> np.ndarray:
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be a sequence of numbers, not a string")
    array = np.asarray(value)
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got an array of shape {array.shape}")
    if n is not None and array.shape[0] != n:
        raise ValueError(f"{name} has {array.shape[0]} entries but parent has {n}")
    return array


def _as_parent(value: Any) -> np.ndarray:
    array = _one_dimensional("parent", value, None)
    if array.shape[0] == 0:
        raise ValueError("parent is empty; a species tree has at least its root")
    if array.dtype == bool or not np.issubdtype(array.dtype, np.integer):
        raise TypeError(f"parent must hold integers (node numbers, negative for the root), got dtype {array.dtype}")
    return np.array(array, dtype=np.int64)


def _as_time(value: Any, n: int) -> np.ndarray:
    array = _one_dimensional("time", value, n)
    if array.dtype == bool or not (np.issubdtype(array.dtype, np.number) and not np.iscomplexobj(array)):
        raise TypeError(f"time must hold real numbers, got dtype {array.dtype}")
    return np.array(array, dtype=np.float64)


def _as_extant(value: Any, n: int) -> np.ndarray:
    array = _one_dimensional("extant_leaf", value, n)
    if array.dtype != bool:
        if not np.issubdtype(array.dtype, np.integer) or not np.isin(array, (0, 1)).all():
            raise TypeError(f"extant_leaf must hold booleans, got dtype {array.dtype}")
    return np.array(array, dtype=bool)


def _as_root(value: Any, n: int) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"root must be an integer node number, got {type(value).__name__}")
    root = int(value)
    if not 0 <= root < n:
        raise ValueError(f"root must be a node number in 0..{n - 1}, got {root}")
    return root


def default_names(extant_leaf: np.ndarray) -> list[str]:
    """``s<i>`` for extant leaves and ``n<i>`` for every other node."""
    return [f"s{i}" if living else f"n{i}" for i, living in enumerate(extant_leaf.tolist())]


def _as_names(value: Iterable[str] | None, extant_leaf: np.ndarray) -> np.ndarray:
    n = extant_leaf.shape[0]
    if value is None:
        names = default_names(extant_leaf)
    else:
        if isinstance(value, (str, bytes)):
            raise TypeError("names must be a sequence of str, one per node, not a single string")
        names = list(value)
        if len(names) != n:
            raise ValueError(f"names has {len(names)} entries but parent has {n}")
        for i, name in enumerate(names):
            if not isinstance(name, str):
                raise TypeError(f"names[{i}] must be a str, got {type(name).__name__}")
            if name == "":
                raise ValueError(f"names[{i}] is empty; every node needs a name")
            bad = forbidden_name_character(name)
            if bad is not None:
                raise ValueError(f"names[{i}] ({name!r}) contains {bad}, which the output tables cannot hold")
        seen: dict[str, int] = {}
        for i, name in enumerate(names):
            first = seen.setdefault(name, i)
            if first != i:
                raise ValueError(f"names[{first}] and names[{i}] are both {name!r}; node names must be unique")
    array = np.empty(n, dtype=object)
    array[:] = names
    return _read_only(array)


class SpeciesTree:
    """A dated species tree: the five arrays the simulators take, with names.

    Nodes are numbered ``0 .. n_nodes - 1``. Time runs forward from the root
    toward the present; the branch of node ``i`` spans from
    ``time[parent[i]]`` to ``time[i]``. A leaf with ``extant_leaf`` true
    survives to the present; any other leaf is an extinct lineage. Every
    internal node has exactly two children, as the family simulator needs.

    All arrays are read-only numpy arrays. Build a tree with
    :meth:`from_arrays`, :meth:`from_newick` or :meth:`read` (or
    :func:`vornix.birth_death_tree`).

    Parameters
    ----------
    parent, time, extant_leaf, root, names
        As for :meth:`from_arrays`.

    Examples
    --------
    >>> t = SpeciesTree.from_arrays([-1, 0, 0], [0.0, 1.0, 1.0], [False, True, True], 0,
    ...                             names=["root", "A", "B"])
    >>> t.extant_names
    ['A', 'B']
    >>> t.age
    1.0
    >>> t.children(0)
    (1, 2)
    """

    __slots__ = ("_parent", "_time", "_extant", "_root", "_names", "_children", "_index")

    def __init__(
        self,
        parent: npt.ArrayLike,
        time: npt.ArrayLike,
        extant_leaf: npt.ArrayLike,
        root: int,
        names: Iterable[str] | None = None,
    ) -> None:
        p = _as_parent(parent)
        n = p.shape[0]
        t = _as_time(time, n)
        e = _as_extant(extant_leaf, n)
        r = _as_root(root, n)
        message = _native.check_species_tree(n, p, t, e, r)
        self._names = _as_names(names, e)
        if message is not None:
            raise ValueError("invalid species tree: " + self._with_names(message))
        if e[r] and n > 1:
            raise ValueError(f"invalid species tree: the root {r} ({self._names[r]!r}) is marked as an extant leaf")
        self._check_dates(p, t)
        self._parent = _read_only(p)
        self._time = _read_only(t)
        self._extant = _read_only(e)
        self._root = r
        self._children: tuple[tuple[int, ...], ...] | None = None
        self._index: dict[str, int] | None = None

    def _with_names(self, message: str) -> str:
        """Adds the name after every node number a message mentions."""
        names = self._names.tolist()

        def named(match: re.Match[str]) -> str:
            v = int(match.group(2))
            return f"{match.group(0)} ({names[v]!r})" if v < len(names) else match.group(0)

        return re.sub(r"(node |root |parent |ancestor |child |through node )(\d+)", named, message)

    def _check_dates(self, parent: np.ndarray, time: np.ndarray) -> None:
        # The simulators visit nodes by ascending time, equal times by node
        # number: a child must not come before its parent in that order.
        child = np.flatnonzero(parent >= 0)
        up = parent[child]
        early = child[(time[child] < time[up]) | ((time[child] == time[up]) & (child < up))]
        if early.size:
            c = int(early[0])
            p = int(parent[c])
            names = self._names
            if time[c] < time[p]:
                raise ValueError(
                    f"invalid species tree: node {c} ({str(names[c])!r}) at time {float(time[c])!r} is dated "
                    f"before its parent {p} ({str(names[p])!r}) at time {float(time[p])!r}")
            raise ValueError(
                f"invalid species tree: node {c} ({str(names[c])!r}) has the time of its parent {p} "
                f"({str(names[p])!r}) but a smaller node number, so the simulators would reach it first; "
                "number parents before their children")

    # -- construction -------------------------------------------------------

    @classmethod
    def from_arrays(
        cls,
        parent: npt.ArrayLike,
        time: npt.ArrayLike,
        extant_leaf: npt.ArrayLike,
        root: int,
        names: Iterable[str] | None = None,
    ) -> SpeciesTree:
        """A tree from its node arrays, checked as the simulators check it.

        Parameters
        ----------
        parent : array_like of int
            Parent of each node; a negative value for the root.
        time : array_like of float
            Date of each node, increasing from the root toward the present,
            in the units the rates are given in.
        extant_leaf : array_like of bool
            True for the leaves that survive to the present.
        root : int
            Node number of the root.
        names : sequence of str, optional
            One unique, non-empty name per node (no tab, newline or carriage
            return). Default: ``s<i>`` for extant leaves and ``n<i>`` for every
            other node.

        Returns
        -------
        SpeciesTree

        Raises
        ------
        TypeError
            An argument of the wrong kind.
        ValueError
            Arrays of different lengths, a node out of range, a time that is
            not finite, a cycle, a node not below the root, an internal node
            without exactly two children, a child dated before its parent, or
            duplicate or unusable names; the message names the node.

        Examples
        --------
        >>> t = SpeciesTree.from_arrays([-1, 0, 0, 1, 1], [0.0, 1.0, 2.0, 1.5, 2.0],
        ...                             [False, False, True, False, True], 0)
        >>> list(t.names)
        ['n0', 'n1', 's2', 'n3', 's4']
        >>> SpeciesTree.from_arrays([-1, 0], [0.0, 1.0], [False, True], 0)
        Traceback (most recent call last):
        ...
        ValueError: invalid species tree: node 0 ('n0') speciates but has 1 child; this simulation needs two children at every speciation
        """
        return cls(parent, time, extant_leaf, root, names)

    @classmethod
    def from_newick(
        cls,
        text: str | bytes,
        *,
        extinct: Collection[str] | None = None,
        tolerance: float = 1e-6,
        ultrametric: bool = False,
        resolve: bool = False,
        source: str = "<string>",
    ) -> SpeciesTree:
        """A tree from rooted Newick text with branch lengths.

        Node times are root-to-node path lengths with the root at time 0; a
        branch length written on the root itself is ignored. Nodes are
        numbered in preorder (the root 0, children in the order written).
        Labels become names, internal ones included; unnamed nodes are named
        ``n<i>`` (with a suffix if a label already uses that), and those names
        are written back by :meth:`to_newick`, so they survive a round trip.

        Parameters
        ----------
        text : str or bytes
            One tree, ending in ``;``.
        extinct : collection of str, optional
            Names of the leaves that are extinct lineages; every other leaf
            is then living. By default a leaf is extinct when it ends more
            than `tolerance` x the tree's age before the deepest leaf.
        tolerance : float, default 1e-6
            Relative tolerance of "at the present", as a share of the age.
        ultrametric : bool, default False
            Take every leaf not named in `extinct` as living and require it to
            end at the present (within `tolerance`).
        resolve : bool, default False
            Collapse nodes with one child into that child and split nodes with
            more than two children into two-child nodes joined by branches of
            length 0 (named like unnamed nodes); otherwise such nodes are
            refused, since the family simulator needs exactly two children at
            every internal node.
        source : str
            The name messages use for the text, such as its file name.

        Returns
        -------
        SpeciesTree

        Raises
        ------
        ValueError
            Malformed Newick (unbalanced parentheses, a missing ``;``), a
            missing or negative branch length, duplicate names, a node without
            two children, or living leaves that are not ultrametric when asked
            for: the message names the line and column and what was expected.

        Examples
        --------
        >>> t = SpeciesTree.from_newick("((A:1,B:1)AB:2,(C:3,X:1.5):0);")
        >>> list(t.names), t.time.tolist()
        (['n0', 'AB', 'A', 'B', 'n4', 'C', 'X'], [0.0, 2.0, 3.0, 3.0, 0.0, 3.0, 1.5])
        >>> t.extinct_names
        ['X']
        >>> t.to_newick()
        '((A:1.0,B:1.0)AB:2.0,(C:3.0,X:1.5)n4:0.0)n0;'
        >>> SpeciesTree.from_newick("((A:1,B:1):1,C);", source="sp.nwk")
        Traceback (most recent call last):
        ...
        ValueError: sp.nwk: line 1, column 14: expected a branch length for node 'C'
        """
        from vornix.species_newick import arrays_from_newick

        arrays = arrays_from_newick(text, extinct=extinct, tolerance=tolerance, ultrametric=ultrametric,
                                    resolve=resolve, source=source)
        return cls(arrays.parent, arrays.time, arrays.extant_leaf, 0, arrays.names)

    @classmethod
    def read(cls, path: str | os.PathLike[str], **options: Any) -> SpeciesTree:
        """A tree from a Newick file (gzip-compressed when it ends in ``.gz``).

        Takes the options of :meth:`from_newick`; messages name the file.

        Examples
        --------
        >>> _ = open("tree.nwk", "w").write("(A:1,B:1);\\n")
        >>> SpeciesTree.read("tree.nwk").extant_names
        ['A', 'B']
        """
        name = os.fspath(path)
        if str(name).endswith(".gz"):
            import gzip

            with gzip.open(name, "rb") as f:
                data = f.read()
        else:
            with open(name, "rb") as f:
                data = f.read()
        options.setdefault("source", os.fsdecode(name))
        return cls.from_newick(data, **options)

    def to_newick(self) -> str:
        """The tree in Newick, ending in ``;`` (no newline).

        Every node is written with its name (quoted where Newick needs it)
        and every branch with its length, chosen so that
        ``from_newick(t.to_newick())`` gives back identical arrays for a tree
        read from Newick, and for any other tree the same names, parents and
        times (relative to the root, which Newick puts at 0; a time that no
        sum of its parent's time and a branch length can give in double
        precision comes back as the nearest one, one unit in the last place
        away). Nodes come back numbered in preorder; extinct lineages are
        recognised again by their times.
        """
        from vornix.species_newick import to_newick

        return to_newick(self._parent, self._time, self._root, self._names.tolist())

    def write(self, path: str | os.PathLike[str]) -> None:
        """Writes :meth:`to_newick` and a newline to a file."""
        with open(path, "w", encoding="utf-8") as f:
            f.write(self.to_newick() + "\n")

    # -- arrays and derived views ---------------------------------------------

    @property
    def parent(self) -> np.ndarray:
        """Parent of each node (int64, read-only); -1 for the root."""
        return self._parent

    @property
    def time(self) -> np.ndarray:
        """Date of each node (float64, read-only), the root earliest."""
        return self._time

    @property
    def extant_leaf(self) -> np.ndarray:
        """True for the leaves that survive to the present (bool, read-only)."""
        return self._extant

    @property
    def root(self) -> int:
        """Node number of the root."""
        return self._root

    @property
    def names(self) -> np.ndarray:
        """Name of each node (an object array of str, read-only)."""
        return self._names

    @property
    def n_nodes(self) -> int:
        """Number of nodes."""
        return int(self._parent.shape[0])

    def __len__(self) -> int:
        return self.n_nodes

    @property
    def age(self) -> float:
        """The present: the latest node time."""
        return float(self._time.max())

    def children(self, node: int) -> tuple[int, ...]:
        """The children of `node` in increasing node number (empty for a leaf).

        Examples
        --------
        >>> t = SpeciesTree.from_arrays([2, 2, -1], [1.0, 1.0, 0.0], [True, True, False], 2)
        >>> t.children(2), t.children(0)
        ((0, 1), ())
        """
        if self._children is None:
            kids: list[list[int]] = [[] for _ in range(self.n_nodes)]
            for child, up in enumerate(self._parent.tolist()):
                if up >= 0:
                    kids[up].append(child)
            self._children = tuple(tuple(k) for k in kids)
        return self._children[node]

    @property
    def leaves(self) -> np.ndarray:
        """Node numbers of the leaves (extant and extinct), ascending."""
        has_child = np.zeros(self.n_nodes, dtype=bool)
        has_child[self._parent[self._parent >= 0]] = True
        return _read_only(np.flatnonzero(~has_child))

    @property
    def extant(self) -> np.ndarray:
        """Node numbers of the extant leaves, ascending."""
        return _read_only(np.flatnonzero(self._extant))

    @property
    def extant_names(self) -> list[str]:
        """Names of the extant leaves, in node-number order."""
        return self._names[self._extant].tolist()

    @property
    def extinct_names(self) -> list[str]:
        """Names of the extinct lineages (leaves that end before the present)."""
        leaves = self.leaves
        return self._names[leaves[~self._extant[leaves]]].tolist()

    def index(self, name: str) -> int:
        """The node number of the node called `name`.

        Examples
        --------
        >>> t = SpeciesTree.from_arrays([-1, 0, 0], [0.0, 1.0, 1.0], [False, True, True], 0, ["r", "A", "B"])
        >>> t.index("B")
        2
        """
        if self._index is None:
            self._index = {name: i for i, name in enumerate(self._names.tolist())}
        try:
            return self._index[name]
        except KeyError:
            raise KeyError(f"no node is called {name!r}") from None

    def core_args(self) -> dict[str, Any]:
        """The species-tree keyword arguments of the ``vornix_core`` functions.

        Returns
        -------
        dict
            Exactly ``n_nodes``, ``parent``, ``time``, ``extant_leaf`` and
            ``root``, as plain Python values.

        Examples
        --------
        >>> t = SpeciesTree.from_arrays([-1, 0, 0], [0.0, 1.0, 1.0], [False, True, True], 0)
        >>> t.core_args()
        {'n_nodes': 3, 'parent': [-1, 0, 0], 'time': [0.0, 1.0, 1.0], 'extant_leaf': [False, True, True], 'root': 0}
        """
        return {
            "n_nodes": self.n_nodes,
            "parent": self._parent.tolist(),
            "time": self._time.tolist(),
            "extant_leaf": self._extant.tolist(),
            "root": self._root,
        }

    # -- comparison and display -------------------------------------------

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, SpeciesTree):
            return NotImplemented
        return (
            self._root == other._root
            and np.array_equal(self._parent, other._parent)
            and np.array_equal(self._time, other._time)
            and np.array_equal(self._extant, other._extant)
            and np.array_equal(self._names, other._names)
        )

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        n_extant = int(self._extant.sum())
        n_extinct = len(self.leaves) - n_extant
        return (f"<SpeciesTree: {self.n_nodes} nodes, {n_extant} extant species, "
                f"{n_extinct} extinct lineages, age {self.age:g}>")

    def __reduce__(self) -> tuple[Any, ...]:
        return (SpeciesTree, (self._parent, self._time, self._extant, self._root, self._names.tolist()))


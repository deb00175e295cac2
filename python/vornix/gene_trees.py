"""Gene trees read from Newick, with the species each leaf was sampled in.

:class:`GeneTrees` holds a batch of binary gene trees (rooted, or unrooted
with three branches at the top) as flat pre-order columns, remembers where
each tree was read (file and index in it) for messages, and turns the batch
into the arrays the likelihood functions take.
"""

from __future__ import annotations

import gzip
import math
import os
import pathlib
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt

from vornix import _native
from vornix._newick import parse_forest
from vornix.gene_mapping import GeneMapping, SpeciesSide, species_namer
from vornix.living_species import LivingSpecies, as_living
from vornix.newick_text import format_trees

if TYPE_CHECKING:
    from vornix._newick import NewickForest

__all__ = ["GeneTrees", "Rooting", "NEWICK_SUFFIXES"]

Rooting = Literal["as-is", "all", "best"]

#: File name endings read from a directory (each also with ``.gz``).
NEWICK_SUFFIXES = (".nwk", ".newick", ".nw", ".tre", ".tree", ".trees", ".treefile")

_I64 = np.int64


def _frozen(a: npt.ArrayLike, dtype: Any) -> np.ndarray:
    arr = np.ascontiguousarray(a, dtype=dtype)
    if arr.flags.writeable and arr.base is None:
        arr.setflags(write=False)
    elif arr.flags.writeable:
        arr = arr.copy()
        arr.setflags(write=False)
    return arr


class GeneTrees:
    """A batch of binary gene trees whose leaves are mapped to species.

    Build one with :meth:`read` (files, directories, gzip files) or
    :meth:`from_newick` (text). Each tree is rooted (two branches at the top)
    or unrooted (three); every other internal node has two children. A
    one-leaf tree is valid: a family present in one copy.

    Examples
    --------
    >>> gt = GeneTrees.from_newick("((a_1,b_1),a_2);\\n(a_1,b_1,c_1);\\nc_1;")
    >>> len(gt), gt.is_rooted.tolist(), gt.rooting_counts.tolist()
    (3, [True, False, True], [3, 3, 1])
    >>> gt.leaf_names(0), gt.leaf_species(0)
    (['a_1', 'b_1', 'a_2'], ['a', 'b', 'a'])
    >>> gt.describe(1)
    '<string>: tree 1 (line 2)'
    """

    def __init__(self, forest: NewickForest | Sequence[NewickForest], mapping: GeneMapping = None,
                 separator: str = "_", species_side: SpeciesSide = "before") -> None:
        forests = [forest] if not isinstance(forest, Sequence) else list(forest)
        namer = species_namer(mapping, separator, species_side)
        offsets = [np.zeros(1, dtype=_I64)]
        parents, lengths, lines, columns, starts, tree_source, tree_index = [], [], [], [], [], [], []
        labels: list[str] = []
        sources: list[str] = []
        total = 0
        for f in forests:
            sources.append(f.source)
            offsets.append(np.asarray(f.tree_offsets[1:], dtype=_I64) + total)
            total += int(f.tree_offsets[-1])
            parents.append(f.parent)
            lengths.append(f.length)
            lines.append(f.line)
            columns.append(f.column)
            starts.append(f.start_line)
            labels.extend(f.labels)
            tree_source.append(np.full(len(f), len(sources) - 1, dtype=_I64))
            tree_index.append(np.arange(len(f), dtype=_I64))
        self._offsets = _frozen(np.concatenate(offsets), _I64)
        self._parent = _frozen(np.concatenate(parents) if parents else [], _I64)
        self._length = _frozen(np.concatenate(lengths) if lengths else [], np.float64)
        self._line = _frozen(np.concatenate(lines) if lines else [], _I64)
        self._column = _frozen(np.concatenate(columns) if columns else [], _I64)
        self._start_line = _frozen(np.concatenate(starts) if starts else [], _I64)
        self._tree_source = _frozen(np.concatenate(tree_source) if tree_source else [], _I64)
        self._tree_index = _frozen(np.concatenate(tree_index) if tree_index else [], _I64)
        self._labels = labels
        self._sources = sources
        self._check_shape()
        self._map_leaves(namer)

    # ----------------------------------------------------------- construction

    @classmethod
    def from_newick(cls, texts: str | Iterable[str], mapping: GeneMapping = None, separator: str = "_",
                    species_side: SpeciesSide = "before") -> GeneTrees:
        """Gene trees from Newick text.

        Parameters
        ----------
        texts : str or iterable of str
            One string holding one or more trees (each ending in ``;``), or
            several such strings. Messages name a single string
            ``<string>`` and the strings of an iterable ``<text i>``.
        mapping : dict, path or None
            Gene (leaf) name to species name, as a dict or the path of a
            two-column mapping file; without it, a leaf's species is its name
            up to the last `separator`.
        separator : str
            The separator of the naming rule.
        species_side : {"before", "after"}
            Whether the species is the part before the last separator or
            after the first one.

        Raises
        ------
        ValueError
            For malformed Newick, polytomies, nodes with one child, duplicate
            leaf names within a tree, empty leaf names and leaves the mapping
            does not name; the message names the source, the tree and the
            place.
        """
        if isinstance(texts, (str, bytes)):
            forests = [parse_forest(texts, "<string>")]
        else:
            forests = [parse_forest(t, f"<text {i}>") for i, t in enumerate(texts)]
        return cls(forests, mapping, separator, species_side)

    @classmethod
    def read(cls, *paths: str | os.PathLike[str], mapping: GeneMapping = None, separator: str = "_",
             species_side: SpeciesSide = "before") -> GeneTrees:
        """Gene trees from Newick files, directories or gzip files.

        A file holds one or more trees; gzip files are recognised by their
        content. A directory contributes its files whose names end in one of
        :data:`NEWICK_SUFFIXES` (optionally followed by ``.gz``), in sorted
        order. Trees keep their file and their index in it (from 0) for
        messages and output. Other parameters as :meth:`from_newick`.

        Raises
        ------
        ValueError
            As :meth:`from_newick`, naming the file; also for a directory
            without Newick files or no path at all.
        OSError
            When a file cannot be read.
        """
        files: list[pathlib.Path] = []
        for p in paths:
            path = pathlib.Path(p)
            if path.is_dir():
                found = sorted(q for q in path.iterdir() if q.is_file() and _is_newick_name(q.name))
                if not found:
                    raise ValueError(f"{path}: no Newick files (names ending in {', '.join(NEWICK_SUFFIXES)})")
                files.extend(found)
            else:
                files.append(path)
        if not files:
            raise ValueError("no gene-tree files given")
        forests = [parse_forest(_read_bytes(f), str(f)) for f in files]
        return cls(forests, mapping, separator, species_side)

    # -------------------------------------------------------------- checking

    def _check_shape(self) -> None:
        fault = _native.gene_forest_check(self._offsets, self._parent, np.full(len(self._parent), -1, dtype=_I64))
        if fault is None:
            return
        kind, tree, node, children = fault
        if kind == "offsets":
            raise ValueError(f"{self.describe(tree) if tree < len(self) else 'gene trees'}: empty tree")
        place = self._where(tree, node)
        if kind == "polytomy":
            what = "the top of a tree may have three" if node == 0 else "gene trees must be binary"
            raise ValueError(f"{place}: node with {children} children ({what})")
        if kind == "unary":
            raise ValueError(f"{place}: node with a single child (gene trees must be binary)")
        raise ValueError(f"{place}: malformed tree")

    def _map_leaves(self, namer: Any) -> None:
        n = len(self._parent)
        tree_of = np.repeat(np.arange(len(self), dtype=_I64), np.diff(self._offsets))
        has_child = np.zeros(n, dtype=bool)
        nonroot = self._parent >= 0
        has_child[(self._parent + self._offsets[tree_of])[nonroot]] = True
        leaves = np.flatnonzero(~has_child)
        labels = self._labels
        leaf_labels = [labels[i] for i in leaves.tolist()]
        # Leaf names repeat across trees: map each distinct name once.
        distinct = list(dict.fromkeys(leaf_labels))
        label_id = {name: k for k, name in enumerate(distinct)}
        leaf_label_id = np.fromiter(map(label_id.__getitem__, leaf_labels), dtype=_I64, count=len(leaf_labels))
        distinct_species = namer(distinct)
        bad = [k for k, (name, sp) in enumerate(zip(distinct, distinct_species)) if not name or sp is None]
        if bad:
            first = int(np.flatnonzero(np.isin(leaf_label_id, bad))[0])
            node = int(leaves[first])
            t = int(tree_of[node])
            local = node - int(self._offsets[t])
            name = leaf_labels[first]
            if not name:
                raise ValueError(f"{self._where(t, local)}: leaf without a name")
            raise ValueError(f"{self._where(t, local)}: leaf {name!r} is not in the gene-to-species mapping")
        species_names = list(dict.fromkeys(distinct_species))
        species_id = {name: k for k, name in enumerate(species_names)}
        label_species = np.array([species_id[sp] for sp in distinct_species], dtype=_I64)
        species_code = np.full(n, -1, dtype=_I64)
        species_code[leaves] = label_species[leaf_label_id]
        leaf_tree = tree_of[leaves]
        self._leaves = _frozen(leaves, _I64)
        self._leaf_tree = _frozen(leaf_tree, _I64)
        self._species_code = _frozen(species_code, _I64)
        self._species_names = species_names
        # Duplicate leaf names within a tree: (tree, name) pairs must be distinct.
        key = leaf_tree * max(len(distinct), 1) + leaf_label_id
        order = np.argsort(key, kind="stable")
        repeated = np.flatnonzero(key[order][1:] == key[order][:-1])
        if len(repeated):
            first = int(order[repeated + 1].min())
            node = int(leaves[first])
            t = int(leaf_tree[first])
            raise ValueError(f"{self._where(t, node - int(self._offsets[t]))}: leaf name {leaf_labels[first]!r} "
                             "appears twice in the tree")

    # ------------------------------------------------------------ inspection

    def __len__(self) -> int:
        return len(self._offsets) - 1

    def __repr__(self) -> str:
        return f"<GeneTrees: {len(self)} trees, {len(self._parent)} nodes, {len(self._sources)} sources>"

    @property
    def sources(self) -> list[str]:
        """The file (or text) each tree was read from."""
        return [self._sources[s] for s in self._tree_source.tolist()]

    @property
    def indices(self) -> npt.NDArray[np.int64]:
        """Each tree's index (from 0) within its file or text."""
        return self._tree_index

    @property
    def sizes(self) -> npt.NDArray[np.int64]:
        """Number of nodes of each tree."""
        return np.diff(self._offsets)

    @property
    def is_rooted(self) -> npt.NDArray[np.bool_]:
        """Whether each tree is rooted (not three branches at the top)."""
        return self._root_children() != 3

    @property
    def rooting_counts(self) -> npt.NDArray[np.int64]:
        """Number of rootings of each tree: its edges once unrooted (2L - 3
        for L leaves), and 1 for a one-leaf tree."""
        m = self.sizes
        counts = np.where(self._root_children() == 2, m - 2, m - 1)
        return np.where(m == 1, 1, counts)

    def _root_children(self) -> npt.NDArray[np.int64]:
        tree_of = np.repeat(np.arange(len(self), dtype=_I64), np.diff(self._offsets))
        return np.bincount(tree_of[self._parent == 0], minlength=len(self)).astype(_I64)

    def leaf_names(self, tree: int) -> list[str]:
        """The leaf names of tree `tree`, in pre-order."""
        a, b = self._leaf_range(tree)
        return [self._labels[i] for i in self._leaves[a:b].tolist()]

    def leaf_species(self, tree: int) -> list[str]:
        """The species name of each leaf of tree `tree`, in pre-order."""
        a, b = self._leaf_range(tree)
        return [self._species_names[c] for c in self._species_code[self._leaves[a:b]].tolist()]

    def _leaf_range(self, tree: int) -> tuple[int, int]:
        tree = self._tree_number(tree)
        bounds = np.searchsorted(self._leaf_tree, [tree, tree + 1])
        return int(bounds[0]), int(bounds[1])

    def _tree_number(self, tree: int) -> int:
        if not -len(self) <= tree < len(self):
            raise IndexError(f"tree {tree} out of range ({len(self)} trees)")
        return tree % len(self)

    def describe(self, tree: int) -> str:
        """``"<source>: tree <i> (line <l>)"`` for messages."""
        return (f"{self._sources[int(self._tree_source[tree])]}: tree {int(self._tree_index[tree])} "
                f"(line {int(self._start_line[tree])})")

    def _where(self, tree: int, node: int) -> str:
        g = int(self._offsets[tree]) + node
        return f"{self.describe(tree)}, line {int(self._line[g])}, column {int(self._column[g])}"

    # ---------------------------------------------------------------- output

    def to_newick(self) -> str:
        """All trees as Newick, one per line (labels, and branch lengths where
        known).

        >>> GeneTrees.from_newick("((a_1:1,b_1:0.5)x:2,'c 1_1');").to_newick()
        "((a_1:1.0,b_1:0.5)x:2.0,'c 1_1');\\n"
        """
        return format_trees(self._offsets, self._parent, self._labels, self._length)

    def write(self, path: str | os.PathLike[str]) -> None:
        """Write :meth:`to_newick` to `path` (gzip when it ends in ``.gz``)."""
        text = self.to_newick().encode("utf-8")
        if os.fspath(path).endswith(".gz"):
            with gzip.open(path, "wb") as f:
                f.write(text)
        else:
            pathlib.Path(path).write_bytes(text)

    # ---------------------------------------------------- likelihood layout

    def tip_species(self, species_tree: Any) -> npt.NDArray[np.int64]:
        """Each node's species index in the living-species arrays of
        `species_tree` (-1 for internal nodes).

        Raises
        ------
        ValueError
            When a leaf's species is not a living species of the tree,
            naming the first such leaf.
        """
        living = as_living(species_tree)
        lut = np.array([living.leaf_index.get(name, -1) for name in self._species_names] + [-1], dtype=_I64)
        unknown = lut[:-1] < 0
        if unknown.any():
            bad = np.flatnonzero(unknown[self._species_code[self._leaves]])[0]
            node = int(self._leaves[bad])
            t = int(self._leaf_tree[bad])
            name = self._species_names[int(self._species_code[node])]
            raise ValueError(f"{self._where(t, node - int(self._offsets[t]))}: leaf {self._labels[node]!r}: "
                             f"{name!r} is not a living species of the species tree")
        return lut[self._species_code]

    def forest(self, species_tree: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The pre-order columns (offsets, parent, tip species) of the batch."""
        return self._offsets, self._parent, self.tip_species(species_tree)

    def to_core(self, species_tree: Any) -> dict[str, np.ndarray]:
        """The batch arrays the likelihood functions take, trees as they are.

        Returns ``gt_offsets``, ``gt_is_leaf``, ``gt_left``, ``gt_right`` and
        ``gt_species``: nodes in post-order (left subtree first, root last),
        child indices local to each tree, tips carrying their species index in
        the living-species arrays of `species_tree` (see
        :func:`vornix.living_species.as_living`).

        Raises
        ------
        ValueError
            For an unrooted tree (three branches at the top), naming it, and
            for leaves of unknown species.

        Examples
        --------
        >>> from vornix.living_species import living_species
        >>> sp = living_species([-1, 0, 0], [0.0, 1.0, 1.0], [False, True, True], 0, ["r", "a", "b"])
        >>> core = GeneTrees.from_newick("((a_1,b_1),a_2);").to_core(sp)
        >>> core["gt_left"].tolist(), core["gt_right"].tolist(), core["gt_species"].tolist()
        ([-1, -1, 0, -1, 2], [-1, -1, 1, -1, 3], [0, 1, -1, 0, -1])
        """
        unrooted = np.flatnonzero(~self.is_rooted)
        if len(unrooted):
            raise ValueError(f"{self.describe(int(unrooted[0]))}: the tree is unrooted (three branches at the top); "
                             'score it over its rootings (rooting "all" or "best")')
        trees = np.arange(len(self), dtype=np.uint64)
        return core_batch(*self.forest(species_tree), trees, np.zeros_like(trees), np.ones_like(trees))

    def rerooted(self, edges: Sequence[int] | npt.NDArray[np.integer]) -> GeneTrees:
        """Each tree rooted on one edge of its unrooted form.

        Edges are numbered per tree as :attr:`rooting_counts` counts them:
        for a rooted tree, edge 0 is the one through its root (rooting there
        gives the tree back unchanged), then the edge above each other node
        in pre-order; for an unrooted tree, the edge above each non-root node
        in pre-order. Labels stay with their nodes; the rooting edge's length
        is split in two halves.

        >>> GeneTrees.from_newick("((a_1:1,b_1:2):0.5,c_1:3);").rerooted([1]).to_newick()
        '(a_1:0.5,(b_1:2.0,c_1:3.5):0.5);\\n'
        """
        edge_arr = np.asarray(edges, dtype=np.int64)
        if edge_arr.shape != (len(self),):
            raise ValueError(f"edges needs one entry per tree ({len(self)}), got shape {edge_arr.shape}")
        counts = self.rooting_counts
        if ((edge_arr < 0) | (edge_arr >= counts)).any():
            t = int(np.flatnonzero((edge_arr < 0) | (edge_arr >= counts))[0])
            raise ValueError(f"{self.describe(t)}: edge {int(edge_arr[t])} is not in 0..{int(counts[t]) - 1}")
        off_b, parent_b, origin_b = _native.gene_rerooted(self._offsets, self._parent, self._species_code,
                                                          np.arange(len(self), dtype=np.uint64),
                                                          edge_arr.astype(np.uint64))
        new_off = np.frombuffer(off_b, dtype="<i8")
        new_parent = np.frombuffer(parent_b, dtype="<i8")
        origin = np.frombuffer(origin_b, dtype="<i8")
        tree_of = np.repeat(np.arange(len(self), dtype=_I64), np.diff(new_off))
        base_old = self._offsets[tree_of]
        has_origin = origin >= 0
        g_origin = np.where(has_origin, origin + base_old, 0)
        out = object.__new__(GeneTrees)
        out._offsets = _frozen(new_off, _I64)
        out._parent = _frozen(new_parent, _I64)
        out._labels = [self._labels[g] if k else "" for g, k in zip(g_origin.tolist(), has_origin.tolist())]
        out._species_code = _frozen(np.where(has_origin, self._species_code[g_origin], -1), _I64)
        first_node = self._offsets[tree_of]
        out._line = _frozen(np.where(has_origin, self._line[g_origin], self._line[first_node]), _I64)
        out._column = _frozen(np.where(has_origin, self._column[g_origin], self._column[first_node]), _I64)
        out._length = _frozen(self._rerooted_lengths(new_off, new_parent, origin, tree_of), np.float64)
        for name in ("_start_line", "_tree_source", "_tree_index"):
            setattr(out, name, getattr(self, name))
        out._sources = self._sources
        out._species_names = self._species_names
        out._leaves = _frozen(np.flatnonzero(out._species_code >= 0), _I64)
        out._leaf_tree = _frozen(tree_of[out._leaves], _I64)
        return out

    def _rerooted_lengths(self, new_off: np.ndarray, new_parent: np.ndarray, origin: np.ndarray,
                          tree_of: np.ndarray) -> np.ndarray:
        """Branch lengths after rerooting: each node keeps the length of the
        edge it now hangs from; the new root's two children share the length
        of the edge it was put on (a tree rooted on its own root keeps its
        lengths)."""
        del tree_of
        old_len = self._length.tolist()
        old_par = self._parent.tolist()
        old_off = self._offsets.tolist()
        off = new_off.tolist()
        par = new_parent.tolist()
        org = origin.tolist()
        out = [math.nan] * len(par)

        def edge_length(base: int, x: int, y: int) -> float:
            if old_par[base + x] == y:
                return old_len[base + x]
            if old_par[base + y] == x:
                return old_len[base + y]
            return old_len[base + x] + old_len[base + y]  # the two children of a removed root

        for t in range(len(off) - 1):
            a, b, base = off[t], off[t + 1], old_off[t]
            kids = []
            for u in range(a + 1, b):
                p = par[u]
                if p == 0:
                    kids.append(u)
                else:
                    out[u] = edge_length(base, org[u], org[a + p])
            if org[a] == 0:
                for u in kids:
                    out[u] = old_len[base + org[u]]
            elif len(kids) == 2:
                half = edge_length(base, org[kids[0]], org[kids[1]]) / 2.0
                out[kids[0]] = out[kids[1]] = half
        return np.array(out, dtype=np.float64)

    def subset(self, trees: Sequence[int] | npt.NDArray[np.integer]) -> GeneTrees:
        """The listed trees, in the listed order, as a new batch."""
        idx = np.asarray(trees, dtype=_I64)
        sizes = self.sizes[idx]
        starts = self._offsets[idx]
        nodes = np.concatenate([np.arange(s, s + m, dtype=_I64) for s, m in zip(starts, sizes)]) \
            if len(idx) else np.zeros(0, dtype=_I64)
        out = object.__new__(GeneTrees)
        out._offsets = _frozen(np.concatenate([[0], np.cumsum(sizes)]), _I64)
        for name in ("_parent", "_length", "_line", "_column", "_species_code"):
            setattr(out, name, _frozen(getattr(self, name)[nodes], getattr(self, name).dtype))
        for name in ("_start_line", "_tree_source", "_tree_index"):
            setattr(out, name, _frozen(getattr(self, name)[idx], _I64))
        out._labels = [self._labels[i] for i in nodes.tolist()]
        out._sources = self._sources
        out._species_names = self._species_names
        out._leaves = _frozen(np.flatnonzero(out._species_code >= 0), _I64)
        tree_of = np.repeat(np.arange(len(idx), dtype=_I64), sizes)
        out._leaf_tree = _frozen(tree_of[out._leaves], _I64)
        return out


def core_batch(offsets: np.ndarray, parent: np.ndarray, species: np.ndarray, trees: np.ndarray,
               first: np.ndarray, last: np.ndarray) -> dict[str, np.ndarray]:
    """Rootings ``first[i] .. last[i]-1`` of tree ``trees[i]``, one after
    another, as the likelihood functions' batch arrays."""
    off, is_leaf, left, right, sp, _ = _native.gene_rootings(offsets, parent, species, trees, first, last, False)
    return {
        "gt_offsets": np.frombuffer(off, dtype="<u8"),
        "gt_is_leaf": np.frombuffer(is_leaf, dtype=np.bool_),
        "gt_left": np.frombuffer(left, dtype="<i8"),
        "gt_right": np.frombuffer(right, dtype="<i8"),
        "gt_species": np.frombuffer(sp, dtype="<i8"),
    }


def _is_newick_name(name: str) -> bool:
    if name.startswith("."):
        return False
    base = name[:-3] if name.endswith(".gz") else name
    return base.endswith(NEWICK_SUFFIXES)


def _read_bytes(path: pathlib.Path) -> bytes:
    data = path.read_bytes()
    if data[:2] == b"\x1f\x8b":
        try:
            data = gzip.decompress(data)
        except (OSError, EOFError) as e:
            raise ValueError(f"{path}: not a readable gzip file ({e})") from None
    return data

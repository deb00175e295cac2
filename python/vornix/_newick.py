"""Reading Newick text into per-node numpy arrays.

The reading itself is native (:func:`vornix._native.read_newick`); this
module only wraps its columns as read-only numpy arrays, without any
per-node Python work. Species trees and gene trees are built on it.

Each tree's nodes are numbered in preorder: the root is 0, a node comes
before its children, and children keep their left-to-right order. The reader
accepts standard Newick (quoted labels with ``''`` for a quote, unquoted
labels kept exactly as written so ``s133_1`` stays ``s133_1``, ``[comments]``,
whitespace between tokens, internal labels, branch lengths in any decimal
notation, a length on the root) and does not judge the shape: nodes with one
child or many are read as written, at any depth.

Examples
--------
>>> from vornix._newick import parse
>>> (tree,) = parse("((a:1,b:2)ab:0.5,c:3);")
>>> tree.labels
['', 'ab', 'a', 'b', 'c']
>>> tree.parent.tolist()
[-1, 0, 1, 1, 0]
>>> tree.length.tolist()
[nan, 0.5, 1.0, 2.0, 3.0]
>>> parse("(a,b));", source="trees.nwk")
Traceback (most recent call last):
    ...
ValueError: trees.nwk: line 1, column 6: expected ';' to end the tree, found ')' without a matching '('
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from vornix import _native

__all__ = ["NewickForest", "NewickTree", "parse", "parse_forest"]


def _column(buffer: bytes, dtype: str) -> np.ndarray:
    # A read-only view of the native bytes: no copy.
    return np.frombuffer(buffer, dtype=dtype)


@dataclass(eq=False, slots=True)  # not frozen: cheap to make, one per tree
class NewickTree:
    """One tree of a Newick text, its nodes in preorder (root first).

    Attributes
    ----------
    parent : numpy.ndarray of int32
        Each node's parent (a node number within this tree), -1 for the root.
    length : numpy.ndarray of float64
        Each node's branch length, NaN where none is written.
    labels : list of str
        Each node's label, ``''`` where none is written.
    line, column : numpy.ndarray of int64
        Where each node is written (1-based; columns count characters): a
        leaf at its label, an internal node at its closing parenthesis.
    start_line : int
        The line where the tree starts.
    source : str
        The name of the text it was read from, for messages.
    index : int
        Its position among the trees of that text (from 0).
    """

    parent: npt.NDArray[np.int32]
    length: npt.NDArray[np.float64]
    labels: list[str]
    line: npt.NDArray[np.int64]
    column: npt.NDArray[np.int64]
    start_line: int
    source: str
    index: int

    def __len__(self) -> int:
        return len(self.labels)

    def where(self, node: int) -> str:
        """``"<source>: line L, column C"`` for node `node`, to start a message.

        >>> parse("(a,\\n b);", source="x.nwk")[0].where(2)
        'x.nwk: line 2, column 2'
        """
        return f"{self.source}: line {int(self.line[node])}, column {int(self.column[node])}"


@dataclass(frozen=True, eq=False)
class NewickForest:
    """All trees of a Newick text as flat columns, tree after tree.

    Tree ``t`` holds the nodes ``tree_offsets[t]:tree_offsets[t + 1]``; the
    per-node columns are those of :class:`NewickTree` laid end to end, with
    ``parent`` numbered within each tree. Suited to building batch arrays of
    many trees with numpy.

    Examples
    --------
    >>> forest = parse_forest("(a,b);\\n(c,(d,e));")
    >>> len(forest), forest.tree_offsets.tolist(), forest.start_line.tolist()
    (2, [0, 3, 8], [1, 2])
    >>> forest.tree(1).labels
    ['', 'c', '', 'd', 'e']
    """

    tree_offsets: npt.NDArray[np.int64]
    start_line: npt.NDArray[np.int64]
    parent: npt.NDArray[np.int32]
    length: npt.NDArray[np.float64]
    labels: list[str]
    line: npt.NDArray[np.int64]
    column: npt.NDArray[np.int64]
    source: str

    def __len__(self) -> int:
        return len(self.start_line)

    def tree(self, index: int) -> NewickTree:
        """Tree `index` (from 0), its columns views of the forest's."""
        a, b = int(self.tree_offsets[index]), int(self.tree_offsets[index + 1])
        return NewickTree(
            self.parent[a:b], self.length[a:b], self.labels[a:b], self.line[a:b], self.column[a:b],
            int(self.start_line[index]), self.source, index,
        )

    def trees(self) -> list[NewickTree]:
        """Every tree, in the order of the text."""
        bounds = self.tree_offsets.tolist()
        return [
            NewickTree(self.parent[a:b], self.length[a:b], self.labels[a:b], self.line[a:b], self.column[a:b],
                       start, self.source, i)
            for i, (a, b, start) in enumerate(zip(bounds, bounds[1:], self.start_line.tolist()))
        ]


def parse_forest(text: str | bytes, source: str = "<string>") -> NewickForest:
    """Reads every tree of `text` (each ending in ``;``) as flat columns.

    Parameters
    ----------
    text : str or bytes
        Newick text (bytes in UTF-8) holding one or more trees separated by
        whitespace or comments.
    source : str
        The name used in messages, such as a file name.

    Raises
    ------
    ValueError
        ``"<source>: line L, column C: expected ..., found ..."`` for text
        that is not Newick: unbalanced parentheses, a missing ``;``, a branch
        length that is not a finite number, an unexpected character, text
        after the last tree, or no tree at all.
    """
    offsets, start_line, parent, length, labels, line, column = _native.read_newick(text, source)
    return NewickForest(
        _column(offsets, "<i8"), _column(start_line, "<i8"), _column(parent, "<i4"), _column(length, "<f8"),
        labels, _column(line, "<i8"), _column(column, "<i8"), source,
    )


def parse(text: str | bytes, source: str = "<string>") -> list[NewickTree]:
    """Reads every tree of `text` (each ending in ``;``), in order.

    Takes and raises as :func:`parse_forest`; each tree's arrays are
    read-only views.

    Examples
    --------
    >>> [t.labels for t in parse("('it''s',s133_1);  [a comment]\\n s1;")]
    [['', "it's", 's133_1'], ['s1']]
    """
    return parse_forest(text, source).trees()

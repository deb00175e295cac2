"""Copy-number profiles (extant species x families) from the core's packed
sparse buffers."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from vornix._optional import require

if TYPE_CHECKING:  # pragma: no cover
    import pandas

    from vornix.species_tree import SpeciesTree

__all__ = ["ProfileMatrix"]


class ProfileMatrix:
    """A sparse profile: entry k says that extant leaf ``leaves[rows[k]]``
    holds ``vals[k]`` copies of family ``cols[k]`` (numbered from 0).

    The four arrays are read-only views of the core's buffers, not copies.
    Matrices have one row per extant species in the order of
    ``tree.extant_names`` and one column per family.
    """

    __slots__ = ("tree", "leaves", "rows", "cols", "vals", "n_families", "_species_row")

    def __init__(self, tree: SpeciesTree, leaves: np.ndarray, rows: np.ndarray, cols: np.ndarray, vals: np.ndarray,
                 n_families: int) -> None:
        self.tree = tree
        self.leaves = leaves
        self.rows = rows
        self.cols = cols
        self.vals = vals
        self.n_families = n_families
        self._species_row: np.ndarray | None = None

    @classmethod
    def from_buffers(cls, tree: SpeciesTree, buffers: tuple[Any, ...], n_families: int | None = None,
                     family_offset: int = 1) -> ProfileMatrix:
        """Views of the four packed buffers (leaves, rows, cols, vals)."""
        del family_offset  # column j always holds family j + 1
        leaves = np.frombuffer(buffers[0], dtype=np.uint32)
        rows = np.frombuffer(buffers[1], dtype=np.uint32)
        cols = np.frombuffer(buffers[2], dtype=np.uint64)
        vals = np.frombuffer(buffers[3], dtype=np.uint32)
        if n_families is None:
            n_families = int(cols.max()) + 1 if len(cols) else 0
        return cls(tree, leaves, rows, cols, vals, n_families)

    def species_rows(self) -> np.ndarray:
        """Matrix row of each entry (the position of its leaf among the tree's
        extant leaves in node-number order)."""
        if self._species_row is None:
            leaf_row = np.searchsorted(self.tree.extant, self.leaves.astype(np.int64))
            self._species_row = leaf_row[self.rows] if len(self.rows) else np.zeros(0, dtype=np.int64)
        return self._species_row

    @property
    def shape(self) -> tuple[int, int]:
        return (len(self.tree.extant), self.n_families)

    def matrix(self, sparse: bool = False) -> Any:
        """The profile as a dense uint32 array, or a scipy.sparse.csr_array."""
        rows = self.species_rows()
        cols = self.cols.astype(np.int64)
        if sparse:
            scipy_sparse = require("scipy.sparse", "a sparse profile")
            return scipy_sparse.csr_array((self.vals, (rows, cols)), shape=self.shape)
        dense = np.zeros(self.shape, dtype=np.uint32)
        dense[rows, cols] = self.vals
        return dense

    def frame(self) -> pandas.DataFrame:
        """The dense profile as a DataFrame: species names by family number."""
        pd = require("pandas", "a DataFrame")
        frame = pd.DataFrame(self.matrix(), index=pd.Index(self.tree.extant_names, name="species"),
                             columns=pd.RangeIndex(1, self.n_families + 1, name="family"))
        return frame

"""The true reconciliation of a simulated gene family: every copy of its
complete gene tree with the species branch it lived on and the event that
ended it, as numpy columns and as recPhyloXML."""

from __future__ import annotations

import os
import re
from typing import TYPE_CHECKING

import numpy as np

from vornix import _native

if TYPE_CHECKING:  # pragma: no cover
    from vornix.families import FamilySimulation

__all__ = ["Reconciliation", "END_EVENTS", "recphyloxml", "write_recphyloxml"]

#: How a copy ended, by code: a surviving copy on an extant species (leaf),
#: a duplication, a transfer (the copy splits into the one that stays and the
#: one that leaves), a loss, a speciation, or the end of its extinct lineage.
END_EVENTS = ("leaf", "duplication", "transfer", "loss", "speciation", "extinct")

# Characters XML 1.0 cannot hold at all, not even as a character reference.
_NOT_XML = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\ud800-\udfff\ufffe\uffff]")


class Reconciliation:
    """The complete gene tree of one family, reconciled with the species tree.

    One row per copy, in preorder (a copy before its two children, the first
    child's subtree before the second's): the order and the labels of the
    family's complete Newick tree.

    Attributes
    ----------
    family : int
        Family number (from 1).
    gene : numpy.ndarray of uint64
        Gene id of each copy.
    parent : numpy.ndarray of int64
        Row of the copy it split from; -1 for the family's first copy.
    start, end : numpy.ndarray of float64
        When the copy came into being and when it ended (a copy that lives to
        the present ends at the tree's age).
    species : numpy.ndarray of int64
        The species node where the copy ended: the branch of its
        duplication, loss or extinct lineage, the donor of its transfer, the
        node of its speciation, the extant species of a surviving copy.
    ends : numpy.ndarray of uint8
        How it ended, an index into :data:`END_EVENTS`.
    transferred_to : numpy.ndarray of int64
        The recipient branch for a copy that arrived by transfer, else -1.
    """

    __slots__ = ("family", "gene", "parent", "start", "end", "species", "ends", "transferred_to", "_names")

    def __init__(self, family: int, columns: dict[str, np.ndarray], names: np.ndarray) -> None:
        self.family = family
        self.gene = columns["gene"]
        self.parent = columns["parent"]
        self.start = columns["start"]
        self.end = columns["end"]
        self.species = columns["species"]
        self.ends = columns["ends"]
        self.transferred_to = columns["transferred_to"]
        self._names = names

    def __len__(self) -> int:
        return int(self.gene.shape[0])

    def children(self) -> np.ndarray:
        """The rows of each copy's two children, shape (copies, 2); -1 for leaves."""
        kids = np.full((len(self), 2), -1, dtype=np.int64)
        rows = np.flatnonzero(self.parent >= 0)
        up = self.parent[rows]
        # Preorder: of two siblings the first child has the smaller row.
        order = np.lexsort((rows, up))
        rows, up = rows[order], up[order]
        first = np.ones(len(rows), dtype=bool)
        first[1:] = up[1:] != up[:-1]
        kids[up[first], 0] = rows[first]
        kids[up[~first], 1] = rows[~first]
        return kids

    def labels(self) -> list[str]:
        """Each copy's label in the complete Newick tree: the gene id of a
        split, ``LOSS_<id>`` of a lost copy, ``<species>_<id>`` of a surviving
        copy, the bare id of a copy that ended with its extinct lineage."""
        names = self._names
        internal = self.children()[:, 0] >= 0
        out = []
        for gene, ends, species, split in zip(self.gene.tolist(), self.ends.tolist(), self.species.tolist(),
                                              internal.tolist()):
            if not split and ends == 3:
                out.append(f"LOSS_{gene}")
            elif not split and ends == 0:
                out.append(f"{names[species]}_{gene}")
            else:
                out.append(str(gene))
        return out

    def count(self) -> dict[str, int]:
        """How many copies ended in each way, by the names of :data:`END_EVENTS`."""
        counts = np.bincount(self.ends, minlength=len(END_EVENTS))
        return {name: int(counts[i]) for i, name in enumerate(END_EVENTS)}

    def __repr__(self) -> str:
        counts = ", ".join(f"{k} {v}" for k, v in self.count().items() if v)
        return f"<Reconciliation of family {self.family}: {len(self)} copies ({counts})>"


def check_xml_names(names: np.ndarray) -> None:
    """ValueError naming the first species name XML cannot hold."""
    for i, name in enumerate(names.tolist()):
        bad = _NOT_XML.search(name)
        if bad is not None:
            raise ValueError(f"species node {i} ({name!r}) has the character {bad.group()!r}, "
                             "which XML cannot hold; rename it to write recPhyloXML")


def reconciliation(sim: FamilySimulation, family: int) -> Reconciliation:
    """The reconciled complete gene tree of one family (see
    :meth:`FamilySimulation.reconciliation`)."""
    records, extant = sim._family_columns(family)
    tree = sim.tree
    raw = _native.family_reconciliations(records, extant, tree.names.tolist(), tree.parent, tree.root, tree.age)
    families, start = np.frombuffer(raw[0], dtype=np.uint64), np.frombuffer(raw[1], dtype=np.uint64)
    if len(families) == 0:  # pragma: no cover - every family of a run has an origination
        raise ValueError(f"family {family} has no origination")
    a, b = int(start[0]), int(start[1])
    dtypes = (("gene", np.uint64), ("parent", np.int64), ("start", np.float64), ("end", np.float64),
              ("species", np.uint64), ("ends", np.uint8), ("transferred_to", np.int64))
    columns = {name: np.frombuffer(buf, dtype=dtype)[a:b] for (name, dtype), buf in zip(dtypes, raw[2:])}
    columns["species"] = columns["species"].astype(np.int64)
    for column in columns.values():
        column.setflags(write=False)
    return Reconciliation(int(family), columns, tree.names)


def recphyloxml(sim: FamilySimulation, family: int) -> str:
    """One family's recPhyloXML document (see
    :meth:`FamilySimulation.to_recphyloxml`)."""
    tree = sim.tree
    check_xml_names(tree.names)
    records, extant = sim._family_columns(family)
    _, text, _ = _native.family_recphyloxml(records, extant, tree.names.tolist(), tree.parent, tree.root)
    return text.decode("utf-8")


def write_recphyloxml(sim: FamilySimulation, outdir: str | os.PathLike[str]) -> int:
    """Writes ``outdir/gene_trees/{family}_reconciled.xml`` for every family
    (see :meth:`FamilySimulation.write_recphyloxml`)."""
    tree = sim.tree
    check_xml_names(tree.names)
    trees_dir = os.path.join(os.fsdecode(outdir), "gene_trees")
    return int(_native.write_recphyloxml(sim.events.core_buffers(), sim._extant_buffers(), tree.names.tolist(),
                                         tree.parent, tree.root, trees_dir))

"""Gene families simulated along a species tree: events, gene trees,
profiles and the output directory."""

from __future__ import annotations

import os
from collections.abc import Iterator, Mapping
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

from vornix import _checks, _native
from vornix._profile import ProfileMatrix
from vornix.events import EventTable
from vornix.species_tree import SpeciesTree

if TYPE_CHECKING:  # pragma: no cover
    import pandas

    from vornix.reconciliation import Reconciliation

__all__ = ["simulate_families", "FamilySimulation", "GeneTreeTexts", "WriteCounts", "family_arguments"]


class WriteCounts(NamedTuple):
    """What :meth:`FamilySimulation.write` wrote."""

    families: int
    records: int
    extant_leaves: int


def family_arguments(
    tree: SpeciesTree,
    *,
    duplication: float,
    transfer: float,
    loss: float,
    origination: float,
    initial_size: int,
    seed: int | None,
    cap: int | None,
    replacement: float,
    distance_decay: float | None,
    allow_self: bool,
) -> dict[str, Any]:
    """The core's keyword arguments for one gene-family run, every argument
    checked; ``seed=None`` is replaced by a fresh seed."""
    if not isinstance(tree, SpeciesTree):
        raise TypeError(f"tree must be a vornix.SpeciesTree, got {type(tree).__name__}")
    cap_value = _checks.optional_count("cap", cap, "no cap")
    return dict(
        tree.core_args(),
        duplication=_checks.rate("duplication", duplication),
        transfer=_checks.rate("transfer", transfer),
        loss=_checks.rate("loss", loss),
        origination=_checks.rate("origination", origination),
        initial_size=_checks.count("initial_size", initial_size),
        cap=-1 if cap_value is None else cap_value,
        seed=_checks.seed(seed),
        replacement=_checks.probability("replacement", replacement),
        distance_decay=_checks.optional_decay("distance_decay", distance_decay),
        allow_self=_checks.flag("allow_self", allow_self),
    )


def simulate_families(
    tree: SpeciesTree,
    *,
    duplication: float = 0.2,
    transfer: float = 0.1,
    loss: float = 0.25,
    origination: float = 0.5,
    initial_size: int = 20,
    seed: int | None = None,
    cap: int | None = None,
    replacement: float = 0.0,
    distance_decay: float | None = None,
    allow_self: bool = False,
) -> FamilySimulation:
    """Simulates gene families along `tree`, keeping every event.

    Families evolve by duplication, transfer and loss of their copies, with
    a speciation at every node of the tree; new families originate on every
    living branch. The same arguments and seed give the same result, bit for
    bit, as ``vornix_core.simulate_log`` and ``simulate_and_write``.

    Parameters
    ----------
    tree : SpeciesTree
        The dated species tree; rates are per unit of its time.
    duplication, transfer, loss : float, default 0.2, 0.1, 0.25
        Rates per gene copy per unit time (finite, >= 0).
    origination : float, default 0.5
        Rate of new families per living branch per unit time.
    initial_size : int, default 20
        Families present at the root, one copy each.
    seed : int, optional
        Seed of the run, 0..2**64-1; by default a fresh one, kept in
        ``parameters["seed"]``.
    cap : int, optional
        Most copies of one family a branch may hold; None for no cap.
    replacement : float, default 0.0
        Probability that a transferred copy replaces a resident copy of its
        family in the recipient.
    distance_decay : float, optional
        None: transfer recipients are chosen uniformly among the living
        branches; a number >= 0 weights them by exp(-decay x distance).
    allow_self : bool, default False
        Whether a branch may transfer to itself.

    Returns
    -------
    FamilySimulation

    Raises
    ------
    TypeError, ValueError
        An argument of the wrong kind or out of range, named in the message.
    RuntimeError
        The run exceeded its event budget (families growing without bound).

    Examples
    --------
    >>> import vornix
    >>> tree = vornix.SpeciesTree.from_newick("((A:1,B:1)AB:1,C:2)root;")
    >>> sim = vornix.simulate_families(tree, duplication=0.3, transfer=0.1, loss=0.2,
    ...                                origination=0.5, initial_size=2, seed=23)
    >>> sim.n_families
    6
    >>> complete, extant = sim.gene_trees(1)
    >>> complete
    '((A_13:1,B_14:1)2:1,(LOSS_6:1.17652,C_7:1.83587)3:0.164129)0:0;\\n'
    >>> extant
    '((A_13:1,B_14:1)2:1,C_7:2)0:0;\\n'
    >>> sim.events.count()
    {'O': 6, 'D': 4, 'T': 0, 'L': 5, 'S': 7}
    """
    args = family_arguments(tree, duplication=duplication, transfer=transfer, loss=loss, origination=origination,
                            initial_size=initial_size, seed=seed, cap=cap, replacement=replacement,
                            distance_decay=distance_decay, allow_self=allow_self)
    records, extant, profile, events = _native.simulate_families(**args)
    parameters = {k: v for k, v in args.items() if k not in ("n_nodes", "parent", "time", "extant_leaf", "root")}
    return FamilySimulation(tree, parameters, records, extant, profile, events)


class GeneTreeTexts(Mapping[int, tuple[str, "str | None"]]):
    """Complete and extant gene trees of every family, by family number.

    ``texts[f]`` is ``(complete, extant)``, each the Newick text (with its
    ``;`` and newline) of ``gene_trees/{f}_complete.nwk`` and
    ``{f}_extant.nwk``; ``extant`` is None where that file is not written.
    Texts are decoded on access.
    """

    def __init__(self, raw: tuple[bytes, bytes, bytes, bytes, bytes]) -> None:
        families, complete, complete_start, extant, extant_start = raw
        self._families = np.frombuffer(families, dtype=np.uint64).astype(np.int64) + 1
        self._complete = complete
        self._complete_start = np.frombuffer(complete_start, dtype=np.uint64)
        self._extant = extant
        self._extant_start = np.frombuffer(extant_start, dtype=np.uint64)

    def _position(self, family: int) -> int:
        k = int(np.searchsorted(self._families, family))
        if k == len(self._families) or self._families[k] != family:
            raise KeyError(family)
        return k

    @staticmethod
    def _text(blob: bytes, start: np.ndarray, k: int) -> str | None:
        a, b = int(start[k]), int(start[k + 1])
        return blob[a:b].decode("utf-8") if b > a else None

    def __getitem__(self, family: int) -> tuple[str, str | None]:
        k = self._position(family)
        complete = self._text(self._complete, self._complete_start, k)
        return ("" if complete is None else complete), self._text(self._extant, self._extant_start, k)

    def __iter__(self) -> Iterator[int]:
        return iter(self._families.tolist())

    def __len__(self) -> int:
        return len(self._families)

    @property
    def families(self) -> np.ndarray:
        """The family numbers, ascending."""
        return self._families


class FamilySimulation:
    """The result of :func:`simulate_families`.

    Attributes
    ----------
    tree : SpeciesTree
        The species tree of the run.
    parameters : dict
        Every argument of the run (rates, ``initial_size``, ``cap``,
        ``seed``, transfer mode) as the core received it: ``cap`` -1 for no
        cap, ``distance_decay`` -1 for uniform recipients.
    events : EventTable
        Every event, in the order they happened (speciations included).
    n_events : int
        Event draws the engine took (rejected ones included).

    Families are numbered from 1 everywhere, as in the output directory.
    """

    def __init__(self, tree: SpeciesTree, parameters: dict[str, Any], records: tuple[bytes, ...],
                 extant: tuple[bytes, ...], profile: tuple[bytes, ...], n_events: int) -> None:
        self.tree = tree
        self.parameters = parameters
        self.events = EventTable.from_buffers(tree, records)
        self.n_events = int(n_events)
        self._leaf_nodes = np.frombuffer(extant[0], dtype=np.uint64)
        self._copy_leaf = np.frombuffer(extant[1], dtype=np.uint32)
        self._copy_gene = np.frombuffer(extant[2], dtype=np.uint64)
        self._copy_family0 = np.frombuffer(extant[3], dtype=np.uint64)
        family0 = self.events.core_buffers()[5]
        self.n_families = int(family0.max()) + 1 if len(family0) else 0
        self._profile = ProfileMatrix.from_buffers(tree, profile, self.n_families, family_offset=1)
        self._texts: GeneTreeTexts | None = None
        self._groups: tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray] | None = None

    # -- families ------------------------------------------------------------

    @property
    def families(self) -> np.ndarray:
        """The family numbers, 1 .. n_families."""
        return np.arange(1, self.n_families + 1)

    def _check_family(self, family: Any) -> int:
        if isinstance(family, (bool, np.bool_)) or not isinstance(family, (int, np.integer)):
            raise TypeError(f"family must be an integer, got {type(family).__name__}")
        f = int(family)
        if not 1 <= f <= self.n_families:
            raise ValueError(f"family must be in 1..{self.n_families}, got {f}")
        return f

    def _family_groups(self) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        """Rows of each family and extant copies of each family, grouped."""
        if self._groups is None:
            family0 = self.events.core_buffers()[5].astype(np.intp)
            rows = np.argsort(family0, kind="stable")
            row_start = np.concatenate(([0], np.cumsum(np.bincount(family0, minlength=self.n_families))))
            copy_family0 = self._copy_family0.astype(np.intp)
            copies = np.argsort(copy_family0, kind="stable")
            copy_start = np.concatenate(([0], np.cumsum(np.bincount(copy_family0, minlength=self.n_families))))
            self._groups = (rows, row_start, copies, copy_start)
        return self._groups

    def family_events(self, family: int) -> EventTable:
        """The events of one family, in the order they happened."""
        f = self._check_family(family)
        rows, start, _, _ = self._family_groups()
        return self.events.take(rows[start[f - 1]:start[f]])

    def _tree_arrays(self) -> tuple[int, np.ndarray, np.ndarray, np.ndarray, int]:
        t = self.tree
        return (t.n_nodes, t.parent, t.time, t.extant_leaf, t.root)

    def _extant_buffers(self, copies: np.ndarray | None = None) -> tuple[np.ndarray, ...]:
        if copies is None:
            return (self._leaf_nodes, self._copy_leaf, self._copy_gene, self._copy_family0)
        return (self._leaf_nodes, self._copy_leaf[copies], self._copy_gene[copies], self._copy_family0[copies])

    def _family_columns(self, family: int) -> tuple[tuple[np.ndarray, ...], tuple[np.ndarray, ...]]:
        """The records and the extant copies of one family, as packed columns."""
        f = self._check_family(family)
        rows, row_start, copies, copy_start = self._family_groups()
        take = rows[row_start[f - 1]:row_start[f]]
        records = tuple(column[take] for column in self.events.core_buffers())
        return records, self._extant_buffers(copies[copy_start[f - 1]:copy_start[f]])

    def gene_trees(self, family: int) -> tuple[str, str | None]:
        """The complete and extant gene trees of one family, in Newick.

        Parameters
        ----------
        family : int
            Family number, 1 .. :attr:`n_families`.

        Returns
        -------
        (str, str or None)
            Exactly the texts of ``gene_trees/{family}_complete.nwk`` and
            ``{family}_extant.nwk`` of the output directory (``;`` and newline
            included); the extant tree is None when no copy survives.
        """
        f = self._check_family(family)
        if self._texts is not None:
            return self._texts[f]
        rows, row_start, copies, copy_start = self._family_groups()
        take = rows[row_start[f - 1]:row_start[f]]
        records = tuple(column[take] for column in self.events.core_buffers())
        extant = self._extant_buffers(copies[copy_start[f - 1]:copy_start[f]])
        return GeneTreeTexts(_native.family_gene_trees(self._tree_arrays(), records, extant, self.tree.names.tolist(),
                                                       self.tree.age))[f]

    def all_gene_trees(self) -> GeneTreeTexts:
        """The gene trees of every family, built at once on all cores.

        Returns
        -------
        GeneTreeTexts
            A mapping from family number to ``(complete, extant)``, as
            :meth:`gene_trees` gives them; kept for later calls.
        """
        if self._texts is None:
            self._texts = GeneTreeTexts(_native.family_gene_trees(
                self._tree_arrays(), self.events.core_buffers(), self._extant_buffers(), self.tree.names.tolist(), self.tree.age))
        return self._texts

    # -- reconciliations --------------------------------------------------------

    def reconciliation(self, family: int) -> Reconciliation:
        """The true reconciliation of one family: its complete gene tree with
        the species branch and the end event of every copy.

        Parameters
        ----------
        family : int
            Family number, 1 .. :attr:`n_families`.

        Returns
        -------
        Reconciliation
            One row per node of the complete gene tree, in the order and with
            the labels of :meth:`gene_trees`.
        """
        from vornix.reconciliation import reconciliation

        return reconciliation(self, self._check_family(family))

    def to_recphyloxml(self, family: int) -> str:
        """One family's true reconciliation in recPhyloXML.

        The document holds the whole species tree (``spTree``, extinct
        lineages included) and the family's complete gene tree
        (``recGeneTree``), whose clades are named as in the complete Newick
        tree. Each clade's ``eventsRec`` ends with how the copy ended: a
        ``duplication`` on its branch, a ``speciation`` at the splitting node,
        a ``branchingOut`` at the donor of a transfer (the first child stays
        there, the second starts with ``transferBack`` to the recipient), a
        ``leaf`` in its extant species, or a ``loss`` for a lost copy and for
        a copy that ends with its extinct lineage.

        Parameters
        ----------
        family : int
            Family number, 1 .. :attr:`n_families`.

        Returns
        -------
        str
            The document, as ``vornix simulate --recphyloxml`` writes it to
            ``gene_trees/{family}_reconciled.xml``.

        Raises
        ------
        ValueError
            A species name holds a character XML cannot hold (a control
            character other than tab, newline and carriage return).

        Examples
        --------
        >>> import vornix
        >>> tree = vornix.SpeciesTree.from_newick("(A:1,B:1)AB;")
        >>> sim = vornix.simulate_families(tree, duplication=0, transfer=0, loss=0, origination=0,
        ...                                initial_size=1, seed=1)
        >>> print(sim.to_recphyloxml(1))
        <?xml version="1.0" encoding="UTF-8"?>
        <recPhylo xmlns="http://www.recg.org">
          <spTree>
            <phylogeny rooted="true">
              <clade><name>AB</name>
                <clade><name>A</name></clade>
                <clade><name>B</name></clade>
              </clade>
            </phylogeny>
          </spTree>
          <recGeneTree>
            <phylogeny rooted="true">
              <clade><name>0</name><eventsRec><speciation speciesLocation="AB"/></eventsRec>
                <clade><name>A_1</name><eventsRec><leaf speciesLocation="A" geneName="A_1"/></eventsRec></clade>
                <clade><name>B_2</name><eventsRec><leaf speciesLocation="B" geneName="B_2"/></eventsRec></clade>
              </clade>
            </phylogeny>
          </recGeneTree>
        </recPhylo>
        <BLANKLINE>
        """
        from vornix.reconciliation import recphyloxml

        return recphyloxml(self, self._check_family(family))

    def write_recphyloxml(self, outdir: str | os.PathLike[str]) -> int:
        """Writes :meth:`to_recphyloxml` of every family to
        ``outdir/gene_trees/{family}_reconciled.xml`` (created if missing;
        files of the same names are replaced), on all cores.

        Returns
        -------
        int
            The number of files written.
        """
        from vornix.reconciliation import write_recphyloxml

        return write_recphyloxml(self, outdir)

    # -- extant copies and profile --------------------------------------------

    @property
    def species(self) -> list[str]:
        """The extant species: the rows of :meth:`profile`."""
        return self.tree.extant_names

    def extant_copies(self) -> dict[str, np.ndarray]:
        """Every copy alive at the present: its species node, gene id and
        family (from 1), grouped by species in the order the run reached them."""
        return {
            "species": self._leaf_nodes[self._copy_leaf].astype(np.int64),
            "gene": self._copy_gene,
            "family": self._copy_family0.astype(np.int64) + 1,
        }

    def profile(self, sparse: bool = False) -> Any:
        """Copies of each family in each extant species.

        Parameters
        ----------
        sparse : bool, default False
            Return a ``scipy.sparse.csr_array`` (needs scipy) instead of a
            dense numpy array.

        Returns
        -------
        numpy.ndarray or scipy.sparse.csr_array
            Shape (extant species, families): rows follow :attr:`species`,
            column j is family j + 1; counts as uint32.
        """
        return self._profile.matrix(sparse)

    def profile_frame(self) -> pandas.DataFrame:
        """:meth:`profile` as a DataFrame: species by family number."""
        return self._profile.frame()

    def to_pandas(self, names: bool = True) -> pandas.DataFrame:
        """The event table as a DataFrame (see :meth:`EventTable.to_pandas`)."""
        return self.events.to_pandas(names=names)

    # -- output directory --------------------------------------------------------

    def write(self, outdir: str | os.PathLike[str]) -> WriteCounts:
        """Writes the output directory of ``vornix_core.simulate_and_write``.

        The directory holds ``gene_family_events/``, ``gene_trees/``,
        ``Transfers.tsv``, ``Gene_family_summary.tsv``, ``Profiles.tsv`` and
        ``Presence.tsv``, byte for byte what ``simulate_and_write`` writes for
        the same tree (``names=tree.names``, ``total_age=tree.age``),
        arguments and seed. Files of the same names are replaced.

        Returns
        -------
        WriteCounts
            Families, event records and extant species written.
        """
        counts = _native.write_families(self._tree_arrays(), self.events.core_buffers(), self._extant_buffers(),
                                        self.tree.names.tolist(), self.tree.age, os.fsdecode(outdir))
        return WriteCounts(*counts)

    def __repr__(self) -> str:
        return (f"<FamilySimulation: {self.n_families} families, {len(self.events)} events, "
                f"{len(self.species)} extant species, seed {self.parameters['seed']}>")

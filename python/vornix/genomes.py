"""Whole genomes simulated at the nucleotide level: each extant species'
genome as segments of ancestral units."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

from vornix import _checks, _native
from vornix._optional import require
from vornix.species_tree import SpeciesTree

if TYPE_CHECKING:  # pragma: no cover
    import pandas

__all__ = ["simulate_genomes", "GenomeSimulation", "Segments"]


class Segments(NamedTuple):
    """One genome in reading order: segment k is nucleotides
    ``start[k] .. end[k] - 1`` of ancestral unit ``unit[k]``, read forwards
    (``strand`` +1) or backwards (-1). The same segments, in the same order,
    as ``vornix_core.simulate_nucleotide`` gives for the same arguments."""

    unit: np.ndarray
    start: np.ndarray
    end: np.ndarray
    strand: np.ndarray

    @property
    def length(self) -> int:
        """Nucleotides in the genome."""
        return int((self.end - self.start).sum())


class GenomeSimulation:
    """The result of :func:`simulate_genomes`.

    Attributes
    ----------
    tree : SpeciesTree
    parameters : dict
        Every argument of the run as the core received it.
    species : list of str
        The extant species, in the order the run reached them.
    nodes : numpy.ndarray of uint32
        Their node numbers.
    unit, start, end, strand : numpy.ndarray
        Every segment of every extant genome, genome after genome (uint32,
        int64, int64, int8; read-only views of the engine's output, not
        copies); ``offsets[i] .. offsets[i + 1]`` are the segments of
        species i.
    offsets : numpy.ndarray of int64
    n_events : int
        Event draws the engine took.
    """

    def __init__(self, tree: SpeciesTree, parameters: dict[str, Any], columns: tuple[bytes, ...],
                 n_events: int) -> None:
        self.tree = tree
        self.parameters = parameters
        self.n_events = int(n_events)
        self.nodes = np.frombuffer(columns[0], dtype=np.uint32)
        self.offsets = np.frombuffer(columns[1], dtype=np.uint64).astype(np.int64)
        self.offsets.setflags(write=False)
        self.unit = np.frombuffer(columns[2], dtype=np.uint32)
        self.start = np.frombuffer(columns[3], dtype=np.int64)
        self.end = np.frombuffer(columns[4], dtype=np.int64)
        self.strand = np.frombuffer(columns[5], dtype=np.int8)
        self.species = [str(tree.names[node]) for node in self.nodes.tolist()]
        self._row = {name: i for i, name in enumerate(self.species)}

    def segments(self, species: str) -> Segments:
        """The genome of one extant species, in reading order.

        Examples
        --------
        >>> import vornix
        >>> tree = vornix.SpeciesTree.from_newick("(A:1,B:1);")
        >>> sim = vornix.simulate_genomes(tree, inversion=0, loss=0, duplication=0, transfer=0,
        ...                               transposition=0, origination=0, root_length=50,
        ...                               initial_size=2, seed=1)
        >>> seg = sim.segments("A")
        >>> seg.unit.tolist(), seg.end.tolist(), seg.length
        ([0, 1], [50, 50], 100)
        """
        try:
            i = self._row[species]
        except KeyError:
            raise KeyError(f"{species!r} is not an extant species of the run") from None
        a, b = int(self.offsets[i]), int(self.offsets[i + 1])
        return Segments(self.unit[a:b], self.start[a:b], self.end[a:b], self.strand[a:b])

    @property
    def lengths(self) -> dict[str, int]:
        """Genome length (nucleotides) of each extant species."""
        per_segment = self.end - self.start
        sums = np.add.reduceat(per_segment, self.offsets[:-1]) if len(per_segment) else np.zeros(len(self.species))
        counts = np.diff(self.offsets)
        return {name: int(sums[i]) if counts[i] else 0 for i, name in enumerate(self.species)}

    def to_pandas(self) -> pandas.DataFrame:
        """Every segment as a row: ``species``, ``index`` (position in its
        genome), ``unit``, ``start``, ``end``, ``strand``."""
        pd = require("pandas", "a DataFrame")
        counts = np.diff(self.offsets)
        species = np.repeat(np.array(self.species, dtype=object), counts)
        index = np.arange(len(self.unit)) - np.repeat(self.offsets[:-1], counts)
        return pd.DataFrame({"species": species, "index": index, "unit": self.unit, "start": self.start,
                             "end": self.end, "strand": self.strand})

    def __repr__(self) -> str:
        return (f"<GenomeSimulation: {len(self.species)} genomes, {len(self.unit)} segments, "
                f"seed {self.parameters['seed']}>")


def simulate_genomes(
    tree: SpeciesTree,
    *,
    inversion: float = 2e-5,
    loss: float = 1e-5,
    duplication: float = 1e-5,
    transfer: float = 1e-5,
    transposition: float = 1e-5,
    origination: float = 0.5,
    root_length: int = 1_000_000,
    extension: float = 0.999,
    initial_size: int = 1,
    seed: int | None = None,
    distance_decay: float | None = None,
    allow_self: bool = False,
) -> GenomeSimulation:
    """Simulates whole genomes along `tree` at the nucleotide level.

    Every living branch carries one circular genome made of segments of
    ancestral units; it undergoes inversion, loss, duplication, transfer and
    transposition of stretches of geometric length, and origination of new
    units.

    Parameters
    ----------
    tree : SpeciesTree
    inversion, loss, duplication, transfer, transposition : float
        Rates per nucleotide per unit time (finite, >= 0); defaults 2e-5,
        1e-5, 1e-5, 1e-5, 1e-5.
    origination : float, default 0.5
        New units per genome per unit time.
    root_length : int, default 1_000_000
        Nucleotides of each root unit (and of a unit originating in an empty
        genome).
    extension : float, default 0.999
        Parameter of the geometric length of affected stretches (mean about
        1 / (1 - extension) nucleotides); 1 or more affects whole genomes.
    initial_size : int, default 1
        Units of the root genome.
    seed : int, optional
        Seed, 0..2**64-1; by default a fresh one, kept in
        ``parameters["seed"]``.
    distance_decay : float, optional
        None: uniform transfer recipients; a number >= 0 weights them by
        exp(-decay x distance).
    allow_self : bool, default False
        Whether a genome may transfer to itself.

    Returns
    -------
    GenomeSimulation
    """
    if not isinstance(tree, SpeciesTree):
        raise TypeError(f"tree must be a vornix.SpeciesTree, got {type(tree).__name__}")
    args = dict(
        tree.core_args(),
        inversion=_checks.rate("inversion", inversion),
        loss=_checks.rate("loss", loss),
        duplication=_checks.rate("duplication", duplication),
        transfer=_checks.rate("transfer", transfer),
        transposition=_checks.rate("transposition", transposition),
        origination=_checks.rate("origination", origination),
        root_length=_checks.positive_count("root_length", root_length, (1 << 63) - 1),
        extension=_checks.rate("extension", extension),
        initial_size=_checks.count("initial_size", initial_size, (1 << 32) - 1),
        seed=_checks.seed(seed),
        replacement=0.0,
        distance_decay=_checks.optional_decay("distance_decay", distance_decay),
        allow_self=_checks.flag("allow_self", allow_self),
    )
    columns, n_events = _native.simulate_genomes(**args)
    parameters = {k: v for k, v in args.items()
                  if k not in ("n_nodes", "parent", "time", "extant_leaf", "root", "replacement")}
    return GenomeSimulation(tree, parameters, columns, n_events)

"""Copy-number profiles of gene families at the extant species, from the
counts-only engine (no event log, much faster on large runs)."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

import vornix_core
from vornix import _checks
from vornix._profile import ProfileMatrix
from vornix._seeds import replicate_seed
from vornix.families import family_arguments
from vornix.species_tree import SpeciesTree

if TYPE_CHECKING:  # pragma: no cover
    import pandas

__all__ = ["simulate_profiles", "ProfileSimulation"]

#: Copies a run is split into when threads are asked for without `copies`.
DEFAULT_COPIES = 64


class ProfileSimulation:
    """The result of :func:`simulate_profiles`: how many copies of each family
    each extant species holds.

    Attributes
    ----------
    tree : SpeciesTree
        The species tree of the run.
    parameters : dict
        Every argument of the run as the core received it (``cap`` -1 for no
        cap, ``distance_decay`` -1 for uniform recipients), with ``copies``
        (None for one serial run) and ``threads``.
    leaves, rows, cols, vals : numpy.ndarray
        The sparse profile, read-only views of the core's buffers (no copy):
        entry k says extant leaf ``leaves[rows[k]]`` holds ``vals[k]`` copies
        of family ``cols[k] + 1``. Families without a living copy have no
        entry; families of different copies of a split run are numbered
        apart.
    """

    def __init__(self, tree: SpeciesTree, parameters: dict[str, Any], buffers: tuple[bytes, ...]) -> None:
        self.tree = tree
        self.parameters = parameters
        self._profile = ProfileMatrix.from_buffers(tree, buffers)
        self.leaves = self._profile.leaves
        self.rows = self._profile.rows
        self.cols = self._profile.cols
        self.vals = self._profile.vals

    @property
    def n_families(self) -> int:
        """Columns of the profile: the highest family number with a living copy."""
        return self._profile.n_families

    @property
    def species(self) -> list[str]:
        """The extant species: the rows of :meth:`profile`."""
        return self.tree.extant_names

    def profile(self, sparse: bool = False) -> Any:
        """Copies of each family in each extant species.

        Returns a dense uint32 array (or, with ``sparse=True``, a
        ``scipy.sparse.csr_array``) of shape (extant species, families); rows
        follow :attr:`species`, column j is family j + 1.
        """
        return self._profile.matrix(sparse)

    def profile_frame(self) -> pandas.DataFrame:
        """:meth:`profile` as a DataFrame: species by family number."""
        return self._profile.frame()

    def __repr__(self) -> str:
        return (f"<ProfileSimulation: {len(self.vals)} (species, family) entries, {self.n_families} families, "
                f"{len(self.species)} extant species, seed {self.parameters['seed']}>")


def simulate_profiles(
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
    replicates: int | None = None,
    copies: int | None = None,
    threads: int | None = None,
    client: Any = None,
) -> ProfileSimulation | list[ProfileSimulation]:
    """Simulates gene families along `tree`, keeping only the copy counts at
    the extant species.

    The process and its arguments are those of :func:`simulate_families`;
    with the same arguments and seed a serial run (``copies=None``) gives
    exactly the profile of :func:`simulate_families`.

    Parameters
    ----------
    tree : SpeciesTree
    duplication, transfer, loss, origination, initial_size, seed, cap,
    replacement, distance_decay, allow_self
        As for :func:`simulate_families` (same defaults).
    replicates : int, optional
        None: one run. N: a list of N independent runs, in replicate order;
        replicate 1 uses `seed`, replicate k a seed derived from `seed` and k
        only, so the first k of N runs equal ``replicates=k``.
    copies : int, optional
        Split each run into this many independent copies of the engine
        (each with its share of founding families and origination) run side
        by side: a different realisation of the same distribution. The result
        depends on `seed` and `copies`, never on `threads`.
    threads : int, optional
        Worker threads for the copies; default one per core (at most
        `copies`). Giving `threads` without `copies` splits each run into 64
        copies.
    client : dask.distributed.Client, optional
        Run the replicates as tasks on this Dask cluster (needs the
        ``distributed`` extra), one task per replicate; the results are
        those of a local run, bit for bit.

    Returns
    -------
    ProfileSimulation or list of ProfileSimulation

    Examples
    --------
    >>> import vornix
    >>> tree = vornix.SpeciesTree.from_newick("((A:1,B:1):1,C:2);")
    >>> sim = vornix.simulate_profiles(tree, initial_size=3, origination=0, duplication=0,
    ...                                transfer=0, loss=0, seed=1)
    >>> sim.profile()
    array([[1, 1, 1],
           [1, 1, 1],
           [1, 1, 1]], dtype=uint32)
    >>> [s.vals.sum() for s in vornix.simulate_profiles(tree, replicates=3, seed=4)]  # doctest: +SKIP
    """
    args = family_arguments(tree, duplication=duplication, transfer=transfer, loss=loss, origination=origination,
                            initial_size=initial_size, seed=seed, cap=cap, replacement=replacement,
                            distance_decay=distance_decay, allow_self=allow_self)
    n = None if replicates is None else _checks.positive_count("replicates", replicates, 1 << 32)
    n_copies = None if copies is None else _checks.positive_count("copies", copies, 1 << 32)
    n_threads = None if threads is None else _checks.positive_count("threads", threads, 4096)
    if n_threads is not None and n_copies is None:
        n_copies = DEFAULT_COPIES
    if client is not None:
        from vornix.replicates import profile_replicates

        return profile_replicates(tree, args, n, n_copies, n_threads, client)
    if n is None:
        return _one_run(tree, args, n_copies, n_threads)
    runs = []
    for k in range(1, n + 1):
        runs.append(_one_run(tree, dict(args, seed=replicate_seed(args["seed"], k)), n_copies, n_threads))
    return runs


def _one_run(tree: SpeciesTree, args: dict[str, Any], copies: int | None, threads: int | None) -> ProfileSimulation:
    return ProfileSimulation(tree, *run_buffers(args, copies, threads))


def run_buffers(args: dict[str, Any], copies: int | None,
                threads: int | None) -> tuple[dict[str, Any], tuple[bytes, ...]]:
    """One run's parameters and the core's profile buffers; with `copies`
    and no `threads`, one thread per core of this machine (at most `copies`)."""
    if copies is None:
        buffers = vornix_core.simulate_profiles(**args)
    else:
        if threads is None:
            threads = max(1, min(copies, len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity")
                                 else os.cpu_count() or 1))
        buffers = vornix_core.simulate_profiles_parallel(**args, n_copies=copies, n_threads=threads)
    parameters = {k: v for k, v in args.items() if k not in ("n_nodes", "parent", "time", "extant_leaf", "root")}
    parameters.update(copies=copies, threads=threads)
    return parameters, buffers


"""Replicate simulations: many independent runs of one set of arguments,
here, on a pool of processes or as tasks on a Dask cluster.

Replicate k (from 1) is seeded from the run's seed and k alone (see
:func:`vornix._seeds.replicate_seed`), so it is the same run wherever and
in whatever order it runs, and the first k of N replicates equal a run of
k replicates. Output directories are written by whoever simulates them,
straight to their place (on a cluster: a file system the workers share).
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path
from typing import Any, NamedTuple, Protocol

from vornix._checks import positive_count
from vornix._dask import check_client, ordered_results
from vornix._seeds import replicate_seed
from vornix.evaluators import _context, check_workers
from vornix.families import WriteCounts, family_arguments, simulate_families
from vornix.species_tree import SpeciesTree

__all__ = ["write_replicates", "ReplicateWritten", "replicate_directory", "profile_replicates"]


class _Progress(Protocol):
    def update(self, n: int = 1) -> Any: ...


class ReplicateWritten(NamedTuple):
    """One replicate output directory: where, its seed and what was written."""

    replicate: int
    path: str
    seed: int
    families: int
    records: int
    extant_leaves: int


def replicate_directory(out: str | os.PathLike[str], replicate: int) -> str:
    """The directory of replicate `replicate` (from 1) under `out`.

    >>> replicate_directory("runs", 3)
    'runs/replicate_3'
    """
    return os.path.join(os.fspath(out), f"replicate_{replicate}")


def _keep(value: Any) -> Any:
    """A value made on a worker by a task, so that the scheduler can make
    it again if that worker is lost."""
    return value


def _write_one(tree: SpeciesTree, kwargs: dict[str, Any], seed: int, replicate: int, out: str,
               recphyloxml: bool) -> ReplicateWritten:
    path = replicate_directory(out, replicate)
    sim = simulate_families(tree, **dict(kwargs, seed=replicate_seed(seed, replicate)))
    os.makedirs(path, exist_ok=True)
    counts: WriteCounts = sim.write(path)
    if recphyloxml:
        sim.write_recphyloxml(path)
    return ReplicateWritten(replicate, path, int(sim.parameters["seed"]), *counts)


def _run_all(fn: Callable[..., Any], shared: Sequence[Any], items: Sequence[Any], client: Any, workers: int,
             progress: _Progress | None) -> list[Any]:
    """``fn(*shared, item)`` for every item, in item order."""
    if client is not None:
        kept = [client.submit(_keep, value, pure=False) for value in shared]
        futures = [client.submit(fn, *kept, item, pure=False) for item in items]
        return ordered_results(futures, progress)
    if workers > 1 and len(items) > 1:
        with ProcessPoolExecutor(max_workers=min(workers, len(items)), mp_context=_context()) as pool:
            pending = [pool.submit(fn, *shared, item) for item in items]
            out = []
            try:
                for future in pending:  # in order: the first failure in order is the one raised
                    out.append(future.result())
                    if progress is not None:
                        progress.update(1)
            except BaseException:
                for future in pending:
                    future.cancel()
                raise
            return out
    out = []
    for item in items:
        out.append(fn(*shared, item))
        if progress is not None:
            progress.update(1)
    return out


def _write_item(tree: SpeciesTree, kwargs: dict[str, Any], item: tuple[int, int, str, bool]) -> ReplicateWritten:
    return _write_one(tree, kwargs, *item)


def write_replicates(
    tree: SpeciesTree,
    out: str | os.PathLike[str],
    replicates: int,
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
    recphyloxml: bool = False,
    workers: int | None = None,
    client: Any = None,
    progress: _Progress | None = None,
) -> list[ReplicateWritten]:
    """Simulates `replicates` independent gene-family runs and writes each
    one's output directory, ``out/replicate_1``, ``out/replicate_2``, ...

    Each directory is what :meth:`FamilySimulation.write` writes for
    :func:`simulate_families` with the same arguments and the replicate's
    seed: replicate 1 uses `seed`, replicate k a seed derived from `seed`
    and k only.

    Parameters
    ----------
    tree : SpeciesTree
    out : path
        The directory that receives the replicate directories (created if
        missing; files of the same names are replaced).
    replicates : int
        Number of replicates, at least 1.
    duplication, transfer, loss, origination, initial_size, seed, cap,
    replacement, distance_decay, allow_self
        As for :func:`vornix.simulate_families`; ``seed=None`` draws one.
    recphyloxml : bool, default False
        Also write each family's reconciliation in recPhyloXML (see
        :meth:`FamilySimulation.write_recphyloxml`).
    workers : int, optional
        Processes on this machine (default: this process only).
    client : dask.distributed.Client, optional
        Run each replicate as a task on this Dask cluster (needs the
        ``distributed`` extra); the workers write the directories, so `out`
        must be on a file system they share.
    progress : object with ``update(n)``, optional
        Told once per replicate done.

    Returns
    -------
    list of ReplicateWritten
        In replicate order.

    Examples
    --------
    >>> import tempfile, vornix
    >>> tree = vornix.SpeciesTree.from_newick("((A:1,B:1):1,C:2);")
    >>> with tempfile.TemporaryDirectory() as out:
    ...     done = write_replicates(tree, out, 2, seed=5)
    ...     sorted(os.listdir(out))
    ['replicate_1', 'replicate_2']
    >>> [r.path.endswith(f"replicate_{r.replicate}") for r in done], done[0].seed, done[1].seed != 5
    ([True, True], 5, True)
    """
    n = positive_count("replicates", replicates, 1 << 32)
    n_workers = check_workers(workers)
    check_client(client, workers)
    kwargs = dict(duplication=duplication, transfer=transfer, loss=loss, origination=origination,
                  initial_size=initial_size, cap=cap, replacement=replacement, distance_decay=distance_decay,
                  allow_self=allow_self)
    run_seed = int(family_arguments(tree, seed=seed, **kwargs)["seed"])  # every argument checked here
    target = os.fspath(out)
    Path(target).mkdir(parents=True, exist_ok=True)
    items = [(run_seed, k, target, bool(recphyloxml)) for k in range(1, n + 1)]
    return _run_all(_write_item, (tree, kwargs), items, client, n_workers, progress)


def _profile_item(args: dict[str, Any], copies: int | None, threads: int | None,
                  replicate: int | None) -> tuple[dict[str, Any], tuple[bytes, ...]]:
    from vornix.profiles import run_buffers

    if replicate is not None:
        args = dict(args, seed=replicate_seed(args["seed"], replicate))
    return run_buffers(args, copies, threads)


def profile_replicates(tree: SpeciesTree, args: dict[str, Any], n: int | None, copies: int | None,
                       threads: int | None, client: Any) -> Any:
    """:func:`vornix.simulate_profiles` on a Dask cluster: one task per
    replicate (one for a single run), the results built here."""
    from vornix.profiles import ProfileSimulation

    check_client(client)
    items: list[int | None] = [None] if n is None else list(range(1, n + 1))
    results = _run_all(_profile_item, (args, copies, threads), items, client, 1, None)
    runs = [ProfileSimulation(tree, parameters, buffers) for parameters, buffers in results]
    return runs[0] if n is None else runs

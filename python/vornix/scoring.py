"""Scoring gene trees against a species tree: per-tree log-likelihoods under
the undated, reldated or dated duplication-transfer-loss model, trees as
they are or over their rootings, serially or on a pool of processes."""

from __future__ import annotations

import math
from typing import Any, Literal, overload

import numpy as np
import numpy.typing as npt

from vornix._dask import check_client
from vornix.evaluators import Evaluator, check_workers, make_evaluator
from vornix.gene_trees import GeneTrees, Rooting
from vornix.likelihood_model import LikelihoodModel, ModelName, Origination
from vornix.living_species import LivingSpecies, as_living
from vornix.progress_bar import progress_bar
from vornix.tree_batches import ROOTINGS, BatchScores, TreeBatch, plan_batches, score_batch

__all__ = ["score", "root_best"]


def _check_gene_trees(gene_trees: object) -> GeneTrees:
    if not isinstance(gene_trees, GeneTrees):
        raise TypeError(f"gene_trees must be vornix.GeneTrees, not {type(gene_trees).__name__}")
    return gene_trees


def _checked_forest(species: LivingSpecies, gene_trees: GeneTrees,
                    rooting: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The trees' columns resolved against the species tree, after the
    checks every evaluator needs."""
    if rooting not in ROOTINGS:
        raise ValueError(f"rooting must be one of {', '.join(map(repr, ROOTINGS))}, not {rooting!r}")
    offsets, parent, tips = gene_trees.forest(species)
    rooted = gene_trees.is_rooted
    if rooting == "as-is" and not rooted.all():
        first = int(np.flatnonzero(~rooted)[0])
        raise ValueError(f"{gene_trees.describe(first)}: the tree is unrooted (three branches at the top); "
                         'score it over its rootings (rooting "all" or "best")')
    return offsets, parent, tips


def prepare_batches(species: LivingSpecies, gene_trees: GeneTrees, rooting: str,
                    workers: int = 1) -> list[TreeBatch]:
    """The trees resolved against the species tree and cut into batches
    (smaller ones for several workers)."""
    offsets, parent, tips = _checked_forest(species, gene_trees, rooting)
    return plan_batches(offsets, parent, tips, gene_trees.rooting_counts, gene_trees.is_rooted, rooting, workers)


def open_evaluator(species: LivingSpecies, gene_trees: GeneTrees, rooting: str, workers: int | None,
                   client: Any = None) -> tuple[Evaluator, list[np.ndarray]]:
    """An evaluator of the trees' batches (in this process, on a process
    pool, or on the Dask cluster of `client`, which makes the batches on its
    workers), and each batch's tree positions."""
    check_client(client, workers)
    if client is None:
        batches = prepare_batches(species, gene_trees, rooting, check_workers(workers))
        return make_evaluator(batches, species, workers), [b.positions for b in batches]
    from vornix.dask_evaluator import dask_evaluator

    columns = _checked_forest(species, gene_trees, rooting)
    evaluator = dask_evaluator(columns, gene_trees.rooting_counts, gene_trees.is_rooted, rooting, species, client)
    return evaluator, evaluator.positions


def _score_all(species: LivingSpecies, gene_trees: GeneTrees, model: LikelihoodModel, rooting: str,
               workers: int | None, progress: bool | None, client: Any = None) -> tuple[np.ndarray, np.ndarray | None]:
    evaluator, positions = open_evaluator(species, gene_trees, rooting, workers, client)
    values = np.empty(len(gene_trees), dtype=np.float64)
    edges = None if rooting == "as-is" else np.zeros(len(gene_trees), dtype=np.int64)
    with evaluator, progress_bar(len(positions), "batch", "scoring", progress) as bar:
        results: list[BatchScores] = evaluator.run(score_batch, model, bar)
    for where, result in zip(positions, results):
        values[where] = result.values
        if edges is not None and result.best_edge is not None:
            edges[where] = result.best_edge
    return values, edges


@overload
def score(species_tree: Any, gene_trees: GeneTrees, *, model: ModelName = ..., dup: float, transfer: float,
          loss: float, n_steps: int = ..., origination: Origination = ..., rooting: Rooting = ...,
          workers: int | None = ..., joint: Literal[False] = ..., n_extinct: int = ...,
          progress: bool | None = ..., client: Any = ...) -> npt.NDArray[np.float64]: ...


@overload
def score(species_tree: Any, gene_trees: GeneTrees, *, model: ModelName = ..., dup: float, transfer: float,
          loss: float, n_steps: int = ..., origination: Origination = ..., rooting: Rooting = ...,
          workers: int | None = ..., joint: Literal[True], n_extinct: int = ...,
          progress: bool | None = ..., client: Any = ...) -> tuple[npt.NDArray[np.float64], float]: ...


def score(species_tree: Any, gene_trees: GeneTrees, *, model: ModelName = "undated", dup: float,
          transfer: float, loss: float, n_steps: int = 1, origination: Origination = "root",
          rooting: Rooting = "as-is", workers: int | None = None, joint: bool = False, n_extinct: int = 0,
          progress: bool | None = None, client: Any = None
          ) -> npt.NDArray[np.float64] | tuple[npt.NDArray[np.float64], float]:
    """Log-likelihood of each gene tree under a duplication-transfer-loss model.

    Parameters
    ----------
    species_tree : vornix.SpeciesTree
        The dated species tree. Only its living species are modelled:
        extinct lineages are pruned, nodes left with one child collapsed, and
        the root is the most recent common ancestor of the living species
        (see :mod:`vornix.living_species`).
    gene_trees : vornix.GeneTrees
        The gene trees, leaves mapped to living species.
    model : {"undated", "reldated", "dated"}
        See :mod:`vornix.likelihood_model`. The undated models' rates are
        per-branch event weights, not per-time rates.
    dup, transfer, loss : float
        Rates (>= 0).
    n_steps : int
        Dated model only: the least number of Euler steps per time slice.
    origination : {"root", "uniform"}
        Where a family starts: at the species root, or on any branch with
        equal probability.
    rooting : {"as-is", "all", "best"}
        "as-is" scores each tree with its root (an unrooted tree is an
        error); "all" unroots each tree and reports the log of the mean
        likelihood over its rootings on every edge; "best" reports the best
        rooting's score. Rootings are scored in batches, many per call.
    workers : int or None
        Number of processes; None or 1 scores in this process. Results are
        identical whatever the number.
    joint : bool
        Also return the joint log-likelihood: ``n_extinct`` times the log
        probability that a family leaves no gene, plus the per-tree values
        summed in input order.
    n_extinct : int
        Families counted as having left no gene tree (for `joint`).
    progress : bool or None
        Show a progress bar on standard error (default: when it is a terminal).
    client : dask.distributed.Client, optional
        Score on this Dask cluster instead (needs the ``distributed``
        extra): the trees are converted into batches by tasks on its workers.
        Results are identical to a local run, whatever the cluster's size.

    Returns
    -------
    numpy.ndarray
        Per-tree log-likelihoods in input order (``-inf`` where a tree is
        impossible under the model); with ``joint=True`` a pair (per-tree
        values, joint sum).

    Raises
    ------
    ValueError
        For bad rates or options, an unrooted tree with ``rooting="as-is"``,
        or leaves whose species is not a living species of the tree.

    Examples
    --------
    >>> from vornix.living_species import living_species
    >>> sp = living_species([-1, 0, 0], [0.0, 1.0, 1.0], [False, True, True], 0, ["r", "a", "b"])
    >>> gt = GeneTrees.from_newick("(a_1,b_1);\\n(a_1,(a_2,b_1));\\n(a_1,b_1,b_2);")
    >>> score(sp, gt.subset([0, 1]), dup=0.1, transfer=0.05, loss=0.2).round(4).tolist()
    [-0.7953, -3.8108]
    >>> score(sp, gt, dup=0.1, transfer=0.05, loss=0.2, rooting="best").round(4).tolist()
    [-0.7953, -2.9129, -2.9129]
    """
    species = as_living(species_tree)
    gene_trees = _check_gene_trees(gene_trees)
    m = LikelihoodModel.make(model, dup=dup, transfer=transfer, loss=loss, n_steps=n_steps,
                             origination=origination)
    check_workers(workers)
    if isinstance(n_extinct, bool) or not isinstance(n_extinct, (int, np.integer)) or n_extinct < 0:
        raise ValueError(f"n_extinct must be an integer >= 0, got {n_extinct!r}")
    values, _ = _score_all(species, gene_trees, m, rooting, workers, progress, client)
    if not joint:
        return values
    total = 0.0
    if n_extinct > 0:
        log_p = m.log_no_survivor(species)
        total = n_extinct * log_p if log_p > -math.inf else -math.inf
    for v in values.tolist():
        total += v
    return values, total


def root_best(species_tree: Any, gene_trees: GeneTrees, *, model: ModelName = "undated", dup: float,
              transfer: float, loss: float, n_steps: int = 1, origination: Origination = "root",
              workers: int | None = None, progress: bool | None = None, client: Any = None) -> GeneTrees:
    """Each gene tree rooted on its best edge under the model.

    Every rooting of each tree is scored as with ``score(...,
    rooting="best")``; the tree is rooted on the first edge reaching the
    best score. Leaf names, internal labels (each stays with its node) and
    branch lengths are kept; the edge holding the root is split in two
    halves. Parameters as :func:`score`.

    Returns
    -------
    GeneTrees
        The rooted trees, in input order, each keeping its source and index;
        ``to_newick()`` or ``write()`` gives them as Newick.

    Examples
    --------
    >>> from vornix.living_species import living_species
    >>> sp = living_species([-1, 0, 0], [0.0, 1.0, 1.0], [False, True, True], 0, ["r", "a", "b"])
    >>> gt = GeneTrees.from_newick("((a_1,b_1),a_2);")
    >>> root_best(sp, gt, dup=0.1, transfer=0.05, loss=0.2).to_newick()
    '(b_1,(a_1,a_2));\\n'
    """
    species = as_living(species_tree)
    gene_trees = _check_gene_trees(gene_trees)
    m = LikelihoodModel.make(model, dup=dup, transfer=transfer, loss=loss, n_steps=n_steps,
                             origination=origination)
    _, edges = _score_all(species, gene_trees, m, "best", workers, progress, client)
    assert edges is not None
    return gene_trees.rerooted(edges)

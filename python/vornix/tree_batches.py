"""Gene trees cut into batches that are scored one likelihood call at a time.

A :class:`TreeBatch` holds whole trees (their pre-order columns with tip
species already resolved), so it can be scored anywhere, by any worker, and
gives each tree the same value whatever batch it lands in: every tree is
scored on its own against the same species tree and rates. With ``rooting``
"all" or "best" a batch holds the trees, and each evaluation builds their
rootings natively in chunks of bounded size.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

from vornix.gene_trees import core_batch
from vornix.likelihood_model import LikelihoodModel
from vornix.living_species import LivingSpecies

__all__ = ["TreeBatch", "BatchScores", "plan_batches", "plan_ranges", "batch_budget", "build_batch", "range_columns",
           "batch_costs", "score_batch", "loglik_partials", "combine_partials",
           "exact_partials", "ROOTINGS"]

ROOTINGS = ("as-is", "all", "best")

#: Gene nodes per batch for trees scored as they are.
NODES_PER_BATCH = 32768
#: Rooted-tree nodes per batch (and per likelihood call) when every rooting is scored.
ROOTED_NODES_PER_BATCH = 1 << 18
#: Batches per worker process a pool is given when the work allows.
_BATCHES_PER_WORKER = 8


@dataclass(frozen=True)
class TreeBatch:
    """Some trees of the input, ready to score.

    Attributes
    ----------
    positions : numpy.ndarray of int64
        Each tree's position in the input.
    offsets, parent, species : numpy.ndarray of int64
        Pre-order columns of the trees (local parents, tip species indices).
    counts : numpy.ndarray of int64
        Rootings of each tree.
    rooting : str
        "as-is", "all" or "best".
    core : dict or None
        For "as-is", the likelihood functions' batch arrays, built once.
    """

    positions: npt.NDArray[np.int64]
    offsets: npt.NDArray[np.int64]
    parent: npt.NDArray[np.int64]
    species: npt.NDArray[np.int64]
    counts: npt.NDArray[np.int64]
    rooting: str
    core: dict[str, np.ndarray] | None = field(default=None, repr=False)

    def __len__(self) -> int:
        return len(self.positions)


@dataclass(frozen=True)
class BatchScores:
    """Per-tree results of one batch: the score and, when rootings were
    scored, the best rooting's edge number (the first of equal best)."""

    values: npt.NDArray[np.float64]
    best_edge: npt.NDArray[np.int64] | None


def _cost(sizes: np.ndarray, counts: np.ndarray, rooted: np.ndarray, rooting: str) -> np.ndarray:
    if rooting == "as-is":
        return sizes
    return counts * np.where(rooted, sizes, sizes + 1)


def batch_costs(offsets: np.ndarray, counts: np.ndarray, rooted: np.ndarray, rooting: str) -> np.ndarray:
    """Each tree's share of a batch's budget: its nodes, or the nodes of
    all its rootings."""
    return _cost(np.diff(offsets), counts, rooted, rooting)


def plan_ranges(offsets: np.ndarray, counts: np.ndarray, rooted: np.ndarray, rooting: str,
                budget: int | None = None) -> list[tuple[int, int]]:
    """The trees, in input order, cut into ranges ``(start, stop)`` of
    bounded work (`budget` nodes; by default the batch sizes below).

    The cut depends only on the trees, `rooting` and `budget`, never on the
    number of workers; scores do not depend on it at all.
    """
    if rooting not in ROOTINGS:
        raise ValueError(f"rooting must be one of {', '.join(map(repr, ROOTINGS))}, not {rooting!r}")
    sizes = np.diff(offsets)
    cost = _cost(sizes, counts, rooted, rooting)
    if budget is None:
        budget = NODES_PER_BATCH if rooting == "as-is" else ROOTED_NODES_PER_BATCH
    ranges: list[tuple[int, int]] = []
    start = 0
    n = len(sizes)
    cum = np.concatenate([[0], np.cumsum(cost)])
    while start < n:
        # The first tree past the budget closes the batch (a batch holds at least one tree).
        stop = int(np.searchsorted(cum, cum[start] + budget, side="left"))
        stop = min(max(stop, start + 1), n)
        ranges.append((start, stop))
        start = stop
    return ranges


#: Batches are made smaller, down to this share of the most, to give every
#: worker thread one.
_SMALLEST_SHARE = 8


def batch_budget(total: int, most: int, threads: int) -> int:
    """Nodes per batch: the work shared among the worker threads, but at
    most `most` and at least ``most / 8``.

    >>> batch_budget(256_000, 1 << 18, 2), batch_budget(256_000, 1 << 18, 1), batch_budget(10**9, 1 << 18, 2)
    (128000, 256000, 262144)
    """
    share = -(-total // max(threads, 1))
    return max(min(most, share), most // _SMALLEST_SHARE, 1)


def build_batch(offsets: np.ndarray, parent: np.ndarray, species: np.ndarray, counts: np.ndarray, rooting: str,
                first: int = 0) -> TreeBatch:
    """The batch of whole trees given by their columns (offsets from 0),
    the first being tree `first` of the input."""
    offsets = np.asarray(offsets, dtype=np.int64)
    n = len(offsets) - 1
    core = None
    if rooting == "as-is":
        trees = np.arange(n, dtype=np.uint64)
        core = core_batch(offsets, np.ascontiguousarray(parent, dtype=np.int64),
                          np.ascontiguousarray(species, dtype=np.int64), trees, np.zeros_like(trees),
                          np.ones_like(trees))
    return TreeBatch(np.arange(first, first + n, dtype=np.int64), offsets,
                     np.ascontiguousarray(parent, dtype=np.int64), np.ascontiguousarray(species, dtype=np.int64),
                     np.asarray(counts, dtype=np.int64), rooting, core)


def range_columns(offsets: np.ndarray, parent: np.ndarray, species: np.ndarray, start: int,
                  stop: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The columns of trees ``start .. stop - 1``, offsets from 0."""
    a, b = int(offsets[start]), int(offsets[stop])
    return np.asarray(offsets[start:stop + 1] - a, dtype=np.int64), parent[a:b], species[a:b]


def plan_batches(offsets: np.ndarray, parent: np.ndarray, species: np.ndarray, counts: np.ndarray,
                 rooted: np.ndarray, rooting: str, workers: int = 1) -> list[TreeBatch]:
    """Cut the trees, in input order, into batches of bounded work (see
    :func:`plan_ranges`). When rootings are scored on several worker
    processes the batches are made smaller (see :func:`batch_budget`), about
    eight per worker, so that none waits long for the last; trees scored as
    they are already come in batches small enough that a finer cut costs more
    in task overhead than it gains. Results never depend on the cut."""
    budget = None
    if workers > 1 and rooting != "as-is":
        total = int(batch_costs(offsets, counts, rooted, rooting).sum())
        budget = batch_budget(total, ROOTED_NODES_PER_BATCH, _BATCHES_PER_WORKER * workers)
    return [build_batch(*range_columns(offsets, parent, species, start, stop), counts[start:stop], rooting, start)
            for start, stop in plan_ranges(offsets, counts, rooted, rooting, budget)]


def _rooting_chunks(batch: TreeBatch) -> list[tuple[np.ndarray, np.ndarray, np.ndarray]]:
    """Ranges (tree, first edge, last edge) of at most about
    ROOTED_NODES_PER_BATCH rooted nodes each, covering every rooting."""
    sizes = np.diff(batch.offsets)
    rooted_size = np.maximum(sizes, 1)
    chunks = []
    trees: list[int] = []
    firsts: list[int] = []
    lasts: list[int] = []
    room = ROOTED_NODES_PER_BATCH
    for t, (count, m) in enumerate(zip(batch.counts.tolist(), (rooted_size + 1).tolist())):
        e = 0
        while e < count:
            take = max(1, min(count - e, room // m))
            trees.append(t)
            firsts.append(e)
            lasts.append(e + take)
            room -= take * m
            e += take
            if room <= 0:
                chunks.append((np.array(trees, dtype=np.uint64), np.array(firsts, dtype=np.uint64),
                               np.array(lasts, dtype=np.uint64)))
                trees, firsts, lasts = [], [], []
                room = ROOTED_NODES_PER_BATCH
    if trees:
        chunks.append((np.array(trees, dtype=np.uint64), np.array(firsts, dtype=np.uint64),
                       np.array(lasts, dtype=np.uint64)))
    return chunks


def rooting_scores(batch: TreeBatch, species: LivingSpecies, model: LikelihoodModel) -> npt.NDArray[np.float64]:
    """The score of every rooting of every tree, tree after tree."""
    out = np.empty(int(batch.counts.sum()), dtype=np.float64)
    at = 0
    for trees, first, last in _rooting_chunks(batch):
        core = core_batch(batch.offsets, batch.parent, batch.species, trees, first, last)
        values = model.family_loglik(species, core)
        out[at:at + len(values)] = values
        at += len(values)
    return out


def log_mean_exp(scores: np.ndarray, counts: np.ndarray) -> npt.NDArray[np.float64]:
    """Per group of `counts` consecutive scores, the log of the mean of their
    exponentials, without underflow; -inf when every score is -inf, NaN when
    one is NaN.

    >>> log_mean_exp(np.array([-1000.0, -1000.0, -2000.0, -np.inf]), np.array([2, 1, 1])).tolist()
    [-1000.0, -2000.0, -inf]
    """
    starts = np.concatenate([[0], np.cumsum(counts)[:-1]]).astype(np.int64)
    top = np.maximum.reduceat(scores, starts)
    shift = np.where(np.isfinite(top), top, 0.0)
    with np.errstate(divide="ignore", invalid="ignore"):
        sums = np.add.reduceat(np.exp(scores - np.repeat(shift, counts)), starts)
        values = shift + np.log(sums) - np.log(counts.astype(np.float64))
    values = np.where(top == -np.inf, -np.inf, values)
    return np.where(np.isnan(top), np.nan, values)


def best_of(scores: np.ndarray, counts: np.ndarray) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.int64]]:
    """Per group, the best score (NaN when one is NaN) and the first edge
    reaching it among the others (0 when every score is NaN)."""
    starts = np.concatenate([[0], np.cumsum(counts)[:-1]]).astype(np.int64)
    clean = np.where(np.isnan(scores), -np.inf, scores)
    top = np.maximum.reduceat(clean, starts)
    group = np.repeat(np.arange(len(counts)), counts)
    hit = np.flatnonzero(clean == top[group])
    first_hit = np.full(len(counts), -1, dtype=np.int64)
    # Reversed assignment leaves the first hit of each group.
    first_hit[group[hit[::-1]]] = hit[::-1]
    edges = np.where(first_hit >= 0, first_hit - starts, 0)
    has_nan = np.maximum.reduceat(np.isnan(scores).astype(np.int8), starts) > 0
    return np.where(has_nan, np.nan, top), edges


def score_batch(batch: TreeBatch, species: LivingSpecies, model: LikelihoodModel) -> BatchScores:
    """Per-tree scores of one batch."""
    if batch.rooting == "as-is":
        assert batch.core is not None
        return BatchScores(model.family_loglik(species, batch.core), None)
    scores = rooting_scores(batch, species, model)
    best, edges = best_of(scores, batch.counts)
    if batch.rooting == "best":
        return BatchScores(best, edges)
    return BatchScores(log_mean_exp(scores, batch.counts), edges)


def exact_partials(values: np.ndarray) -> list[float]:
    """Non-overlapping floats whose exact sum is the exact sum of `values`
    (finite values only), so that partial sums of several batches combine
    into one correctly rounded total in any order.

    >>> import math
    >>> math.fsum(exact_partials(np.array([1e100, 1.0, -1e100, 1e-100])))
    1.0
    """
    partials: list[float] = []
    for x in values.tolist():
        i = 0
        for y in partials:
            if abs(x) < abs(y):
                x, y = y, x
            hi = x + y
            lo = y - (hi - x)
            if lo:
                partials[i] = lo
                i += 1
            x = hi
        partials[i:] = [x]
    return partials


def loglik_partials(batch: TreeBatch, species: LivingSpecies, model: LikelihoodModel) -> list[float]:
    """The batch's total log-likelihood as exact partials; a single NaN or
    -inf when a tree gives one."""
    values = score_batch(batch, species, model).values
    if np.isnan(values).any():
        return [math.nan]
    if (values == -np.inf).any():
        return [-math.inf]
    return exact_partials(values)


def combine_partials(parts: list[list[float]]) -> float:
    """The correctly rounded total of several batches' partials: the same
    float whatever the batches and their order."""
    flat = [x for p in parts for x in p]
    if any(math.isnan(x) for x in flat):
        return math.nan
    if any(x == -math.inf for x in flat):
        return -math.inf
    return math.fsum(flat)

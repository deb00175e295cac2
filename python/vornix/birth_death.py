"""Dated species trees drawn from a constant-rate birth-death process.

The process starts from two lineages at the root (no stem). Each lineage
speciates at rate ``birth`` and goes extinct at rate ``death``. The tree is
drawn exactly, conditioned on ``n_extant`` living species with a uniform prior
on its age (the law of the tree seen at a time picked uniformly among all the
times the process has ``n_extant`` lineages, not the biased one of stopping as
soon as the count is first reached), or conditioned on ``n_extant`` and a given
crown age.

Method, with backward time ``s`` (time before the present) and ``r = birth -
death``:

* ``p0(s) = death (1 - e^{-rs}) / (birth - death e^{-rs})``: probability that a
  lineage alive at ``s`` leaves no living descendant.
* ``p1(s) = r^2 e^{-rs} / (birth - death e^{-rs})^2``: probability that it
  leaves exactly one.
* ``u(s) = birth (1 - e^{-rs}) / (birth - death e^{-rs})``: a lineage leaves
  ``k >= 1`` living descendants with probability ``p1 u^(k-1)``, and
  ``du/ds = birth p1(s)``.

1. Age. With a uniform prior on the root age ``T``, its density is
   proportional to the probability of ``n`` living descendants of two
   lineages, ``(n-1) p1^2 u^(n-2) + 2 p0 p1 u^(n-1)``: both root lineages
   survive (the first term) or one of them dies out (the second). In the
   variable ``u = u(T)`` this becomes ``(n-1)(1-k u)(1-u) u^(n-2) + 2 k u^n``
   with ``k = death/birth`` and, after rescaling ``u`` by
   ``birth/max(birth, death)``, a mixture of the beta laws ``B(n-1, 2)``,
   ``B(n-1, 3)`` (both survive) and ``B(n+1, 1)`` (one survives) with weights
   ``(1-c)(n+1) : 2c : 2cn``, ``c = min(birth, death)/max(birth, death)``.
2. Reconstructed tree. Given ``T``, the branching times of the living species
   below the root are independent with density proportional to ``p1(s)`` on
   ``(0, T)`` (``n-2`` of them when the root is the crown, ``n-1`` when a single
   root lineage survives); the cumulative law is ``u(s)/u(T)``. The topology
   splits a uniformly chosen lineage at each branching time.
3. Extinct lineages. Along a branch of the reconstructed tree, side lineages
   that die out before the present bud off as a Poisson process of rate
   ``2 birth p0(s)`` (drawn by thinning). A lineage conditioned to die out
   speciates at rate ``birth p0(s)`` and dies at rate ``death / p0(s)``; the
   total rate is ``birth + death + d/ds log u(s)``, so its next event is the
   first of an exponential clock of rate ``birth + death`` and a clock whose
   time has cumulative law ``u(s)/u(s0)``.

Random draws come from ``numpy.random.Generator(PCG64(seed))`` in a fixed order,
and logarithms and exponentials from the C library, so a seed gives the same
tree bit for bit.
"""

from __future__ import annotations

import math
import numbers
import operator
from dataclasses import dataclass
from typing import Callable

import numpy as np
import numpy.typing as npt

from vornix.species_tree import SpeciesTree

__all__ = ["birth_death_tree"]

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]


def _elementwise(fn: Callable[[float], float], x: FloatArray) -> FloatArray:
    """``fn`` (a C library function from :mod:`math`) on every element of ``x``.

    numpy's own vectorised log and exp may differ in the last bit between
    machines; the C library's answer does not change with the CPU.
    """
    return np.fromiter(map(fn, x.tolist()), dtype=np.float64, count=x.size)


_TINY = 2.0 ** -60


class _Rates:
    """The functions ``u``, ``p0`` and the inverse of ``u`` for given rates.

    With ``a = |birth - death|``, ``m = min(birth, death)`` and
    ``d(s) = (1 - e^{-a s}) / a`` (``d(s) = s`` when ``a = 0``), both signs of
    ``r`` reduce to ``u = birth d / (1 + m d)`` and ``p0 = death d / (1 + m d)``,
    which never overflow.
    """

    def __init__(self, birth: float, death: float) -> None:
        self.birth = birth
        self.death = death
        self.gap = abs(birth - death)
        self.low = min(birth, death)
        self.high = max(birth, death)

    def _span(self, s: FloatArray) -> FloatArray:
        x = self.gap * s
        # Below 2**-60, (1 - e^{-x}) / x rounds to 1; computing it would lose
        # precision where x is subnormal.
        return np.where(x < _TINY, s, -_elementwise(math.expm1, -x) / max(self.gap, _TINY))

    def u(self, s: FloatArray) -> FloatArray:
        d = self._span(s)
        return self.birth * d / (1.0 + self.low * d)

    def p0(self, s: FloatArray) -> FloatArray:
        d = self._span(s)
        return self.death * d / (1.0 + self.low * d)

    def age_of(self, u: FloatArray) -> FloatArray:
        """The backward time ``s`` with ``u(s) = u``, for ``0 <= u < birth/high``."""
        d = u / (self.birth - self.low * u)
        x = self.gap * d
        return np.where(x < _TINY, d, -_elementwise(math.log1p, -x) / max(self.gap, _TINY))



@dataclass(frozen=True)
class _TreeArrays:
    """A drawn tree as node arrays (root 0, parents before children)."""

    parent: IntArray
    time: FloatArray
    extant_leaf: npt.NDArray[np.bool_]


def _root_and_times(rng: np.random.Generator, rates: _Rates, n: int, age: float | None,
                    ) -> tuple[float, bool, FloatArray]:
    """The root age, whether both root lineages survive, and the branching
    times (backward, oldest first) of the living species below the root."""
    if age is None:
        c = rates.low / rates.high
        weights = [(1.0 - c) * (n + 1), 2.0 * c, 2.0 * c * n]
        pick = rng.random() * math.fsum(weights)
        if pick < weights[0]:
            both, w = True, rng.beta(n - 1, 2)
        elif pick < weights[0] + weights[1]:
            both, w = True, rng.beta(n - 1, 3)
        else:
            both, w = False, rng.beta(n + 1, 1)
        u_root = float(w) * (rates.birth / rates.high)
        root_age = float(rates.age_of(np.array([u_root]))[0])
    else:
        both, root_age = True, age
        u_root = float(rates.u(np.array([age]))[0])
    if not (0.0 < root_age < math.inf):
        raise ValueError(f"birth={rates.birth!r} and death={rates.death!r} give a tree age of "
                         f"{root_age!r}; express them in another unit of time")
    times = rates.age_of(rng.random(n - 2 if both else n - 1) * u_root)
    # Rounding may put a branching time at the root's; never past it.
    return root_age, both, np.minimum(np.sort(times)[::-1], root_age)


class _Builder:
    """Nodes under construction: parent, backward end time of the node's
    branch, slot (0 for a first child, 1 for a second) and living-leaf flag,
    at most ``max_nodes`` of them."""

    def __init__(self, max_nodes: int | None) -> None:
        self.parent: list[IntArray] = []
        self.end: list[FloatArray] = []
        self.slot: list[npt.NDArray[np.int8]] = []
        self.extant: list[npt.NDArray[np.bool_]] = []
        self.count = 0
        self.max_nodes = max_nodes

    def reserve(self, more: int) -> None:
        """Refuse to grow past ``max_nodes`` (checked before the work)."""
        if self.max_nodes is not None and self.count + more > self.max_nodes:
            raise MemoryError(
                f"the drawn tree outgrows max_nodes={self.max_nodes} nodes; raise max_nodes or try "
                "another seed (near birth == death the mean size has no bound; conditioning on age "
                "bounds it)")

    def add(self, parent: IntArray, end: FloatArray, slot: npt.NDArray[np.int8],
            extant: npt.NDArray[np.bool_]) -> IntArray:
        self.reserve(parent.size)
        self.parent.append(parent)
        self.end.append(end)
        self.slot.append(slot)
        self.extant.append(extant)
        ids = np.arange(self.count, self.count + parent.size, dtype=np.int64)
        self.count += parent.size
        return ids


_PAIR = np.array([0, 1], dtype=np.int8)


def _reconstructed_tree(rng: np.random.Generator, root_age: float, both: bool, times: FloatArray,
                        ) -> tuple[IntArray, FloatArray, npt.NDArray[np.int8], npt.NDArray[np.bool_], int]:
    """The tree of the living species: root 0, its surviving child or
    children, then two children per branching time. Returns parent, end,
    slot, living-leaf flag and the slot left free at the root (-1 if none)."""
    if both:
        first, free = [1, 2], -1
        top_slot = _PAIR
    else:
        side = int(rng.integers(0, 2))
        first, free = [1], 1 - side
        top_slot = np.array([side], dtype=np.int8)
    start = len(first)
    k = times.size
    picks = rng.integers(0, np.arange(start, start + k)).tolist() if k else []
    live = list(first)
    split = []
    next_id = 1 + start
    for j in picks:
        split.append(live[j])
        live[j] = next_id
        live.append(next_id + 1)
        next_id += 2
    size = next_id
    split_ids = np.array(split, dtype=np.int64)
    parent = np.concatenate(([-1], np.zeros(start, dtype=np.int64), np.repeat(split_ids, 2)))
    slot = np.concatenate(([0], top_slot, np.tile(_PAIR, k))).astype(np.int8)
    end = np.zeros(size)
    end[0] = root_age
    end[split_ids] = times
    extant = np.zeros(size, dtype=bool)
    extant[live] = True
    return parent, end, slot, extant, free


def _graft_points(rng: np.random.Generator, rates: _Rates, nodes: _Builder, parent: IntArray,
                  end: FloatArray) -> tuple[IntArray, FloatArray]:
    """Where side lineages that die out bud off the branches of the tree of the
    living species: a Poisson process of rate ``2 birth p0(s)`` on each branch,
    drawn by thinning from the rate at the branch's older end. Returns the
    branch (its lower node) and backward time of each point, sorted by branch
    and then from the oldest point down."""
    lower = np.arange(1, parent.size, dtype=np.int64)
    s_lo = end[lower]
    s_hi = end[parent[lower]]
    bound = rates.p0(s_hi)
    length = s_hi - s_lo
    counts = rng.poisson(2.0 * rates.birth * bound * length)
    # Each kept point adds at least two nodes and most candidates are kept.
    nodes.reserve(int(counts.sum()))
    branch = np.repeat(lower, counts)
    rows = np.repeat(np.arange(lower.size), counts)
    at = s_lo[rows] + rng.random(branch.size) * length[rows]
    # Strictly above the branch's lower node, which stays below the point.
    at = np.maximum(at, np.nextafter(s_lo[rows], math.inf))
    keep = rng.random(branch.size) * bound[rows] < rates.p0(at)
    branch, at = branch[keep], at[keep]
    order = np.lexsort((-at, branch))
    return branch[order], at[order]


def _graft(rng: np.random.Generator, nodes: _Builder, rec_parent: IntArray,
           rec_slot: npt.NDArray[np.int8], branch: IntArray, at: FloatArray,
           ) -> tuple[IntArray, npt.NDArray[np.int8]]:
    """Insert one node per graft point on its branch (a chain from the oldest
    point down) and return, for the side lineage of each, its parent and slot.
    The reconstructed nodes' parents and slots are updated in place."""
    g = branch.size
    bits = rng.integers(0, 2, g).astype(np.int8)
    ids = np.arange(nodes.count, nodes.count + g, dtype=np.int64)
    new_branch = np.ones(g, dtype=bool)
    new_branch[1:] = branch[1:] != branch[:-1]
    last = np.ones(g, dtype=bool)
    last[:-1] = new_branch[1:]
    chain_parent = np.empty(g, dtype=np.int64)
    chain_slot = np.empty(g, dtype=np.int8)
    chain_parent[1:] = ids[:-1]
    chain_slot[1:] = 1 - bits[:-1]
    chain_parent[new_branch] = rec_parent[branch[new_branch]]
    chain_slot[new_branch] = rec_slot[branch[new_branch]]
    rec_parent[branch[last]] = ids[last]
    rec_slot[branch[last]] = 1 - bits[last]
    nodes.add(chain_parent, at, chain_slot, np.zeros(g, dtype=bool))
    return ids, bits


def _dying_lineages(rng: np.random.Generator, rates: _Rates, nodes: _Builder, start: FloatArray,
                    parent: IntArray, slot: npt.NDArray[np.int8]) -> None:
    """Grow lineages that start at backward times ``start`` conditioned to die
    out before the present, one generation of events per round."""
    total = rates.birth + rates.death
    while start.size:
        k = start.size
        nodes.reserve(k)
        clock = start - rng.standard_exponential(k) / total
        fade = rates.age_of((1.0 - rng.random(k)) * rates.u(start))
        at = np.maximum(clock, fade)
        p = rates.p0(at)
        split_share = rates.birth * p * p / (rates.death + rates.birth * p * p)
        splits = rng.random(k) < split_share
        ids = nodes.add(parent, at, slot, np.zeros(k, dtype=bool))
        start = np.repeat(at[splits], 2)
        parent = np.repeat(ids[splits], 2)
        slot = np.tile(_PAIR, int(splits.sum()))


def _number(root_age: float, parent: IntArray, end: FloatArray, slot: npt.NDArray[np.int8],
            extant: npt.NDArray[np.bool_]) -> _TreeArrays:
    """Renumber so that the root is 0 and the two children of the k-th
    speciation in time order are 2k+1 (first) and 2k+2 (second).

    Construction numbers every node after its parent except a branch's lower
    node under the points grafted onto that branch, which lie strictly above
    it; so a stable sort by time puts every parent first, even at equal times.
    """
    n_nodes = parent.size
    is_inner = np.zeros(n_nodes, dtype=bool)
    is_inner[parent[parent >= 0]] = True
    inner = np.flatnonzero(is_inner)
    order = inner[np.argsort(-end[inner], kind="stable")]
    rank = np.empty(n_nodes, dtype=np.int64)
    rank[order] = np.arange(order.size)
    new = np.empty(n_nodes, dtype=np.int64)
    has_parent = parent >= 0
    new[~has_parent] = 0
    new[has_parent] = 2 * rank[parent[has_parent]] + 1 + slot[has_parent]
    out_parent = np.empty(n_nodes, dtype=np.int64)
    out_parent[new] = np.where(has_parent, new[np.maximum(parent, 0)], -1)
    out_time = np.empty(n_nodes)
    out_time[new] = root_age - end
    out_extant = np.empty(n_nodes, dtype=bool)
    out_extant[new] = extant
    return _TreeArrays(out_parent, out_time, out_extant)


def _draw(n: int, birth: float, death: float, seed: int, age: float | None,
          max_nodes: int | None = None) -> _TreeArrays:
    """Draw the tree's arrays (arguments already checked)."""
    rng = np.random.Generator(np.random.PCG64(seed))
    rates = _Rates(birth, death)
    root_age, both, times = _root_and_times(rng, rates, n, age)
    parent, end, slot, extant, free = _reconstructed_tree(rng, root_age, both, times)
    nodes = _Builder(max_nodes)
    nodes.add(parent, end, slot, extant)
    if death > 0.0:
        branch, at = _graft_points(rng, rates, nodes, parent, end)
        side_parent, side_slot = _graft(rng, nodes, parent, slot, branch, at)
        if free >= 0:
            # The root lineage that leaves no living descendant.
            at = np.concatenate(([root_age], at))
            side_parent = np.concatenate(([0], side_parent))
            side_slot = np.concatenate(([free], side_slot)).astype(np.int8)
        _dying_lineages(rng, rates, nodes, at, side_parent, side_slot)
    return _number(root_age, np.concatenate(nodes.parent), np.concatenate(nodes.end),
                   np.concatenate(nodes.slot), np.concatenate(nodes.extant))


def _integer(value: object, name: str, least: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
    result = operator.index(value)
    if result < least:
        raise ValueError(f"{name} must be an integer >= {least}, got {result}")
    return result


def _rate(value: object, name: str, *, zero_allowed: bool) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    result = float(value)
    if not (math.isfinite(result) and (result >= 0.0 if zero_allowed else result > 0.0)):
        accepted = "finite and >= 0" if zero_allowed else "finite and > 0"
        raise ValueError(f"{name} must be {accepted}, got {result!r}")
    return result


_SEED_LIMIT = (1 << 64) - 1
DEFAULT_MAX_NODES = 20_000_000


def birth_death_tree(n_extant: int, birth: float, death: float, seed: int, *,
                     age: float | None = None,
                     max_nodes: int | None = DEFAULT_MAX_NODES) -> SpeciesTree:
    """A dated species tree with its extinct lineages, drawn from a
    constant-rate birth-death process.

    The process starts from two lineages at the root (no stem branch). Each
    lineage speciates at rate `birth` and goes extinct at rate `death` per
    unit of time. The tree is conditioned on `n_extant` living species with a
    uniform prior on its age: it is the tree seen at a time picked uniformly
    among all the times at which the process has `n_extant` lineages (so,
    unlike stopping when the count is first reached, it may have had that
    many lineages before). One root lineage may then leave no living
    descendant, in which case the root is older than the most recent common
    ancestor of the living species; with `death` 0 the root is always that
    ancestor. With `age` given, the tree is instead conditioned on
    `n_extant` living species, on a root at `age` before the present and on
    both root lineages having living descendants, so that `age` is the crown
    age of the living species.

    Any rates with ``birth > 0`` and ``death >= 0`` are accepted, including
    ``death >= birth``: the conditioned process exists for all of them. Near
    ``death == birth`` the trees grow very old and carry many extinct
    lineages (about ``n_extant * min(birth, death) / |birth - death|`` on
    average without `age`).

    Parameters
    ----------
    n_extant : int
        Number of living species, at least 2.
    birth : float
        Speciation rate per lineage, finite and > 0.
    death : float
        Extinction rate per lineage, finite and >= 0.
    seed : int
        Seed in ``0 .. 2**64 - 1`` of the random source
        (``numpy.random.Generator(numpy.random.PCG64(seed))``); the same seed
        gives the same tree bit for bit.
    age : float, optional
        Crown age (finite and > 0) to condition on instead of the uniform
        prior on the tree's age.
    max_nodes : int or None, optional
        Largest tree to build (default 20,000,000 nodes, about 2 GB at the
        peak); None for no limit. Trees are usually far smaller (about 2.9
        nodes per living species for ``death/birth = 0.3``), but near
        ``death == birth`` their size has no finite mean, so some seeds draw
        trees of any size.

    Returns
    -------
    SpeciesTree
        A binary tree. Node 0 is the root, at time 0; times run forward to
        the present, where every living leaf sits (``tree.age``). Extinct
        lineages end before the present. The children of the k-th speciation
        in time order are nodes ``2k + 1`` and ``2k + 2``, so parents come
        before their children and siblings are adjacent. Living leaves are
        named ``s<i>`` and all other nodes ``n<i>``, with ``i`` the node
        number.

    Raises
    ------
    TypeError
        An argument of the wrong kind.
    ValueError
        An argument out of range (the message names it), or rates so extreme
        that the tree's age cannot be represented.
    MemoryError
        The drawn tree would have more than `max_nodes` nodes (checked before
        the memory is taken).

    Examples
    --------
    >>> tree = birth_death_tree(5, birth=1.0, death=0.5, seed=7)
    >>> int(tree.extant_leaf.sum())
    5
    >>> float(tree.time[tree.root]), bool(tree.age == tree.time[tree.extant_leaf].min())
    (0.0, True)
    >>> yule = birth_death_tree(4, birth=2.0, death=0.0, seed=1, age=1.5)
    >>> len(yule.parent), float(yule.age)
    (7, 1.5)
    >>> birth_death_tree(1, 1.0, 0.0, seed=1)
    Traceback (most recent call last):
    ...
    ValueError: n_extant must be an integer >= 2, got 1
    """
    n = _integer(n_extant, "n_extant", 2)
    lam = _rate(birth, "birth", zero_allowed=False)
    mu = _rate(death, "death", zero_allowed=True)
    s = _integer(seed, "seed", 0)
    if s > _SEED_LIMIT:
        raise ValueError(f"seed must be an integer in 0..{_SEED_LIMIT}, got {s}")
    crown = None if age is None else _rate(age, "age", zero_allowed=False)
    limit = None if max_nodes is None else _integer(max_nodes, "max_nodes", 3)
    if limit is not None and 2 * n - 1 > limit:
        raise ValueError(f"n_extant={n} needs at least {2 * n - 1} nodes, more than max_nodes={limit}")
    arrays = _draw(n, lam, mu, s, crown, limit)
    return SpeciesTree.from_arrays(arrays.parent, arrays.time, arrays.extant_leaf, 0)

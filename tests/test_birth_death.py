"""birth_death_tree: shape, order, reproducibility and argument checks of the
drawn trees, and their statistics against the theory of the constant-rate
birth-death process started from two lineages at the root.

Theory (backward time t before the present, r = birth - death, x = e^{-rt};
Kendall's distribution of the number of descendants of one lineage):

    p0(t) = death (1 - x) / (birth - death x)     no living descendant
    p1(t) = r^2 x / (birth - death x)^2           exactly one
    u(t)  = birth (1 - x) / (birth - death x)     k >= 1 descendants: p1 u^(k-1)

and, when birth = death = b, p0 = u = bt / (1 + bt), p1 = 1 / (1 + bt)^2.

The references below are computed from these formulas or from the forward
equations of the lineage-counting process, never from the generator's own
formulas. Heavier statistical runs: VORNIX_HEAVY_STATS=1.
"""
import hashlib
import math
import os
from functools import lru_cache

import mpmath
import numpy as np
import pytest
from scipy import integrate, linalg, stats

from vornix import birth_death_tree
from vornix.birth_death import _Rates, _root_and_times

HEAVY = os.environ.get("VORNIX_HEAVY_STATS", "") not in ("", "0")
REPS = 10000 if HEAVY else 800
Z_LIMIT = 4.0      # |z| for means: fixed seeds, so no flakiness; a 4-sigma miss is a fault
KS_P_LIMIT = 1e-4  # smallest acceptable Kolmogorov-Smirnov p-value


# -- independent theory ---------------------------------------------------------

def kendall(t, birth, death):
    """p0, p1 and u at backward time t (scalar), in the textbook form."""
    if birth == death:
        d = 1.0 + birth * t
        return birth * t / d, 1.0 / (d * d), birth * t / d
    r = birth - death
    if r > 0:
        x = math.exp(-r * t)
        den = birth - death * x
        return death * (1 - x) / den, r * r * x / (den * den), birth * (1 - x) / den
    y = math.exp(r * t)  # 1/x, kept finite for large t
    den = birth * y - death
    return death * (y - 1) / den, r * r * y / (den * den), birth * (y - 1) / den


def root_age_density(t, n, birth, death):
    """Density (unnormalised) of the root age under a uniform prior: the
    probability that two lineages have n living descendants after t, split
    into both lineages surviving and exactly one surviving."""
    p0, p1, u = kendall(t, birth, death)
    return (n - 1) * p1 * p1 * u ** (n - 2), 2 * p0 * p1 * u ** (n - 1)


@lru_cache(maxsize=None)
def root_age_theory(n, birth, death):
    """Normalising constant, share with one root lineage dying, mean root age
    (None when infinite, as at birth == death)."""
    both = integrate.quad(lambda t: root_age_density(t, n, birth, death)[0], 0, np.inf, limit=200)[0]
    one = integrate.quad(lambda t: root_age_density(t, n, birth, death)[1], 0, np.inf, limit=200)[0]
    mean = None
    if birth != death:
        mean = integrate.quad(lambda t: t * sum(root_age_density(t, n, birth, death)), 0, np.inf,
                              limit=200)[0] / (both + one)
    return both + one, one / (both + one), mean


def root_age_cdf(ages, n, birth, death):
    """Cumulative law of the root age at each of `ages` (integrated piece by
    piece between sorted points)."""
    total = root_age_theory(n, birth, death)[0]
    order = np.argsort(ages)
    edges = np.concatenate(([0.0], np.asarray(ages, float)[order]))
    pieces = [integrate.quad(lambda t: sum(root_age_density(t, n, birth, death)), a, b)[0]
              for a, b in zip(edges[:-1], edges[1:])]
    out = np.empty(len(ages))
    out[order] = np.cumsum(pieces) / total
    return out


def counting_process_theory(n, birth, death, states=3000):
    """Expected root age, extinct leaves and total branch length of the tree
    seen at a uniformly chosen time at which the process started from two
    lineages has n lineages.

    With P_k(t) the probability of k lineages at time t and Q the forward
    operator (QP)_k = birth (k-1) P_{k-1} + death (k+1) P_{k+1}
    - (birth + death) k P_k, the time integrals A = int P dt, B = int
    E[deaths; N=k] dt, C = int t P dt and J = int E[length; N=k] dt solve
    Q A = -e_2, Q B = -(death (k+1) A_{k+1})_k, Q C = -A and Q J = -(k A_k)_k.
    The answers are B_n/A_n, C_n/A_n and J_n/A_n. (They come out as
    n min(birth, death) / |birth - death| extinct leaves.)
    """
    k = np.arange(1, states + 1, dtype=float)
    bands = np.zeros((3, states))
    bands[0, 1:] = death * k[1:]
    bands[1] = -(birth + death) * k
    bands[2, :-1] = birth * k[:-1]
    start = np.zeros(states)
    start[1] = 1.0
    a = linalg.solve_banded((1, 1), bands, -start)
    died = np.zeros(states)
    died[:-1] = death * k[1:] * a[1:]
    b = linalg.solve_banded((1, 1), bands, -died)
    c = linalg.solve_banded((1, 1), bands, -a)
    j = linalg.solve_banded((1, 1), bands, -k * a)
    i = n - 1
    return {"age": c[i] / a[i], "extinct": b[i] / a[i], "length": j[i] / a[i]}


def fixed_age_theory(n, birth, death, age, states=80):
    """Expected extinct leaves and total branch length of a process started
    from two lineages `age` ago, given n living species and both root lineages
    surviving. One lineage's (P_k, E[deaths; N=k], E[length; N=k]) follow
    d/dt (P, M, J) = (QP, QM + (death (k+1) P_{k+1})_k, QJ + (k P_k)_k); the
    two root lineages are independent."""
    k = np.arange(1, states + 1, dtype=float)
    q = np.diag(-(birth + death) * k) + np.diag(birth * k[:-1], -1) + np.diag(death * k[1:], 1)
    down = np.diag(death * k[1:], 1)
    g = np.zeros((3 * states, 3 * states))
    g[:states, :states] = q
    g[states:2 * states, states:2 * states] = q
    g[states:2 * states, :states] = down
    g[2 * states:, 2 * states:] = q
    g[2 * states:, :states] = np.diag(k)
    start = np.zeros(3 * states)
    start[0] = 1.0
    p, m, j = (linalg.expm(age * g) @ start).reshape(3, states)
    sides = range(1, n)
    weight = sum(p[a - 1] * p[n - a - 1] for a in sides)
    extinct = sum(m[a - 1] * p[n - a - 1] + p[a - 1] * m[n - a - 1] for a in sides) / weight
    length = sum(j[a - 1] * p[n - a - 1] + p[a - 1] * j[n - a - 1] for a in sides) / weight
    return {"extinct": extinct, "length": length}


# -- reading a drawn tree ---------------------------------------------------------

def living_below(tree):
    """Number of living leaves below each node (parents come before children)."""
    count = np.asarray(tree.extant_leaf, dtype=np.int64).copy()
    parent = np.asarray(tree.parent)
    for v in range(len(count) - 1, 0, -1):
        count[parent[v]] += count[v]
    return count


def summary(tree, birth, death):
    """Root age, whether a root lineage leaves no living species, extinct
    leaves, total branch length, and the branching times of the living
    species below the root mapped through u(s)/u(root age) (uniform on
    (0, 1) given the root age)."""
    parent, time = np.asarray(tree.parent), np.asarray(tree.time)
    living = living_below(tree)
    has_living = (living > 0)[1:].astype(int)
    branching = np.flatnonzero(np.bincount(parent[1:], weights=has_living, minlength=len(parent)) == 2)
    age = float(tree.age)
    n_leaves = len(parent) - np.bincount(parent[1:], minlength=len(parent)).astype(bool).sum()
    u_root = kendall(age, birth, death)[2]
    pit = [kendall(age - time[v], birth, death)[2] / u_root for v in branching if v != 0]
    return (age, 0 not in branching, n_leaves - living[0], float((time[1:] - time[parent[1:]]).sum()), pit)


@lru_cache(maxsize=None)
def sample(n, birth, death, age=None, reps=REPS, first_seed=1000):
    rows = [summary(birth_death_tree(n, birth, death, seed, age=age), birth, death)
            for seed in range(first_seed, first_seed + reps)]
    return {"age": np.array([r[0] for r in rows]), "one_dies": np.array([r[1] for r in rows]),
            "extinct": np.array([r[2] for r in rows], float), "length": np.array([r[3] for r in rows]),
            "pit": np.concatenate([r[4] for r in rows])}


def z_score(values, expected):
    return (values.mean() - expected) / (values.std(ddof=1) / math.sqrt(values.size))


# -- shape, order, reproducibility ----------------------------------------------------

SHAPES = [
    (2, 1.0, 0.0, None), (2, 1.0, 0.5, None), (3, 1.0, 1.0, 0.5), (7, 0.5, 2.0, None),
    (60, 1.0, 0.3, None), (20, 1.0, 1.0 + 1e-9, 3.0), (25, 1.0, 0.3, 3.0), (10, 2.0, 5.0, 0.4),
    (30, 1.0, 1.0, 2.0), (2, 3.0, 1.0, 0.2), (40, 1e-3, 5e-4, None),
]


@pytest.mark.parametrize("n, birth, death, age", SHAPES)
def test_trees_are_complete_dated_binary_and_ordered(n, birth, death, age):
    for seed in range(6):
        tree = birth_death_tree(n, birth, death, seed, age=age)
        parent, time = np.asarray(tree.parent), np.asarray(tree.time)
        extant = np.asarray(tree.extant_leaf)
        size = len(parent)
        assert tree.root == 0 and parent[0] < 0 and time[0] == 0.0
        # Speciation k (in time order) has children 2k+1 and 2k+2.
        assert size % 2 == 1 and np.array_equal(parent[1:], np.repeat(parent[1::2], 2))
        inner = parent[1::2]
        assert np.all(inner < np.arange(1, size, 2)) and np.unique(inner).size == inner.size
        assert np.all(np.diff(time[inner]) >= 0)
        assert np.all(time[1:] >= time[parent[1:]])
        leaves = np.setdiff1d(np.arange(size), inner)
        assert extant.sum() == n and not extant[inner].any()
        assert np.all(time[extant] == tree.age) and np.all(time[leaves[~extant[leaves]]] < tree.age)
        assert list(tree.names) == [f"s{i}" if e else f"n{i}" for i, e in enumerate(extant)]
        if death == 0.0:
            assert size == 2 * n - 1
        if age is not None:
            assert tree.age == age
            living = living_below(tree)
            assert living[1] > 0 and living[2] > 0


def test_same_seed_gives_the_same_tree_bit_for_bit():
    def digest(tree):
        h = hashlib.sha256()
        for a in (tree.parent, tree.time, tree.extant_leaf):
            h.update(np.ascontiguousarray(a).tobytes())
        return h.hexdigest()

    a = birth_death_tree(300, 1.0, 0.6, seed=2**64 - 1)
    b = birth_death_tree(np.int64(300), np.float32(1.0), 0.6, seed=2**64 - 1)
    assert digest(a) == digest(b)
    assert digest(a) != digest(birth_death_tree(300, 1.0, 0.6, seed=2**64 - 2))
    # Pinned: a change of the draws or their order changes every user's trees.
    tree = birth_death_tree(50, 1.0, 0.3, seed=1)
    assert (len(tree.parent), tree.age.hex()) == PINNED


PINNED = (143, "0x1.901cc3e7faf0bp+2")


BAD = [
    (dict(n_extant=1), ValueError, "n_extant must be an integer >= 2"),
    (dict(n_extant=2.0), TypeError, "n_extant must be an integer"),
    (dict(n_extant=True), TypeError, "n_extant"),
    (dict(n_extant="5"), TypeError, "n_extant"),
    (dict(birth=0.0), ValueError, "birth must be finite and > 0"),
    (dict(birth=-1.0), ValueError, "birth"),
    (dict(birth=math.nan), ValueError, "birth"),
    (dict(birth=math.inf), ValueError, "birth"),
    (dict(birth="1"), TypeError, "birth must be a real number"),
    (dict(death=-0.1), ValueError, "death must be finite and >= 0"),
    (dict(death=math.nan), ValueError, "death"),
    (dict(death=None), TypeError, "death"),
    (dict(seed=-1), ValueError, "seed must be an integer >= 0"),
    (dict(seed=2**64), ValueError, "seed must be an integer in 0..18446744073709551615"),
    (dict(seed=1.0), TypeError, "seed"),
    (dict(age=0.0), ValueError, "age must be finite and > 0"),
    (dict(age=math.inf), ValueError, "age"),
    (dict(age=-2), ValueError, "age"),
    (dict(max_nodes=2), ValueError, "max_nodes must be an integer >= 3"),
    (dict(max_nodes=1e6), TypeError, "max_nodes"),
]


@pytest.mark.parametrize("change, error, text", BAD)
def test_bad_arguments_are_refused_by_name(change, error, text):
    args = dict(n_extant=5, birth=1.0, death=0.5, seed=3) | change
    with pytest.raises(error, match=text):
        birth_death_tree(**args)
    assert int(birth_death_tree(3, 1.0, 0.5, 3).extant_leaf.sum()) == 3


# -- the process's functions ----------------------------------------------------------

def test_process_functions_match_the_closed_forms():
    """u, p0 and the inverse of u at high precision, for rates on both sides
    of (and at, and a hair from) birth == death, and ages from tiny to large."""
    mpmath.mp.dps = 40
    rng = np.random.default_rng(5)
    pairs = [(1.0, 0.0), (1.0, 1.0), (2.0, 2.0 + 1e-12), (1.0, 0.3), (0.3, 1.0), (5.0, 40.0)]
    pairs += [tuple(rng.uniform(0.01, 10, 2)) for _ in range(20)]
    for birth, death in pairs:
        rates = _Rates(birth, death)
        ages = np.concatenate((10.0 ** rng.uniform(-8, 1, 30) / max(birth, death), [1e-300, 50.0]))
        b, d = mpmath.mpf(birth), mpmath.mpf(death)
        for s, u, p0 in zip(ages, rates.u(ages), rates.p0(ages)):
            s = mpmath.mpf(s)
            if b == d:
                want_u = b * s / (1 + b * s)
                want_p0 = want_u
            else:
                x, gone = mpmath.exp(-(b - d) * s), -mpmath.expm1(-(b - d) * s)  # gone = 1 - x
                want_u = b * gone / (b - d * x)
                want_p0 = d * gone / (b - d * x)
            assert abs(u - want_u) <= 1e-13 * want_u
            assert abs(p0 - want_p0) <= 1e-13 * want_p0 + 1e-300
        # The inverse: relative error bounded by the conditioning of u near its limit.
        back = rates.age_of(rates.u(ages[:-1]))
        assert np.allclose(back, ages[:-1], rtol=1e-9, atol=0)


# -- statistics against theory ----------------------------------------------------------

def test_pure_birth_crown_age_is_a_sum_of_exponential_waits():
    """With death 0 the root is the crown and its age given n is the sum of
    the waits with k = 2 .. n lineages: mean sum 1/(k b), variance
    sum 1/(k b)^2."""
    n, birth = 20, 2.0
    ages = sample(n, birth, 0.0)["age"]
    k = np.arange(2, n + 1)
    mean, var = (1 / (k * birth)).sum(), (1 / (k * birth) ** 2).sum()
    assert abs((ages.mean() - mean) / math.sqrt(var / ages.size)) < Z_LIMIT
    assert abs(ages.var(ddof=1) / var - 1) < 8 * math.sqrt(2 / ages.size)
    assert not sample(n, birth, 0.0)["one_dies"].any()
    assert not sample(n, birth, 0.0)["extinct"].any()


ROOT_AGE_CASES = [(4, 1.0, 0.5), (3, 0.5, 1.0), (2, 1.0, 0.8), (20, 2.0, 0.0)]


@pytest.mark.parametrize("n, birth, death", ROOT_AGE_CASES)
def test_root_age_law_under_a_uniform_prior(n, birth, death):
    """Root ages follow the density proportional to
    (n-1) p1^2 u^(n-2) + 2 p0 p1 u^(n-1) (Kolmogorov-Smirnov), and a root
    lineage leaves no living species in the share the second term takes."""
    drawn = sample(n, birth, death)
    ages = drawn["age"]
    assert stats.kstest(ages, lambda a: root_age_cdf(a, n, birth, death)).pvalue > KS_P_LIMIT
    _, share, mean = root_age_theory(n, birth, death)
    one = drawn["one_dies"]
    assert abs(one.mean() - share) < Z_LIMIT * math.sqrt(share * (1 - share) / one.size) + 1e-12
    if mean is not None:
        assert abs(counting_process_theory(n, birth, death)["age"] / mean - 1) < 1e-6
        assert abs(z_score(ages, mean)) < Z_LIMIT


@pytest.mark.parametrize("n, birth, death", [(4, 1.0, 0.5), (3, 0.5, 1.0)])
def test_extinct_lineages_match_the_counting_process(n, birth, death):
    """Mean number of extinct leaves and mean total branch length against the
    forward equations of the lineage count (an independent model of the
    same process)."""
    drawn = sample(n, birth, death)
    theory = counting_process_theory(n, birth, death)
    assert abs(theory["extinct"] - n * min(birth, death) / abs(birth - death)) < 1e-9
    assert abs(z_score(drawn["extinct"], theory["extinct"])) < Z_LIMIT
    assert abs(z_score(drawn["length"], theory["length"])) < Z_LIMIT


@pytest.mark.parametrize("n, birth, death, age", [(4, 1.0, 0.5, None), (3, 0.5, 1.0, None),
                                                  (8, 1.0, 0.6, 2.5)])
def test_branching_times_given_the_root_age(n, birth, death, age):
    """Given the root age T, the branching times s of the living species below
    the root are independent with cumulative law u(s)/u(T)."""
    pit = sample(n, birth, death, age)["pit"]
    assert pit.size == REPS * (n - 2) + sample(n, birth, death, age)["one_dies"].sum()
    assert stats.kstest(pit, "uniform").pvalue > KS_P_LIMIT


def test_given_crown_age_extinct_lineages_match_the_counting_process():
    n, birth, death, age = 3, 1.0, 0.6, 2.5
    drawn = sample(n, birth, death, age)
    theory = fixed_age_theory(n, birth, death, age)
    assert not drawn["one_dies"].any() and np.all(drawn["age"] == age)
    assert abs(z_score(drawn["extinct"], theory["extinct"])) < Z_LIMIT
    assert abs(z_score(drawn["length"], theory["length"])) < Z_LIMIT


def test_at_birth_equal_death_the_living_species_follow_the_same_laws():
    """With birth == death complete trees have a size of unbounded mean, so
    this draws only the root age and the branching times of the living
    species, as birth_death_tree does before adding extinct lineages."""
    n, rate, reps = 3, 1.0, 4 * REPS
    rates = _Rates(rate, rate)
    ages, one_dies, pit = [], [], []
    for seed in range(reps):
        age, both, times = _root_and_times(np.random.Generator(np.random.PCG64(seed)), rates, n, None)
        ages.append(age)
        one_dies.append(not both)
        u_root = kendall(age, rate, rate)[2]
        pit.extend(kendall(s, rate, rate)[2] / u_root for s in times)
    assert stats.kstest(ages, lambda a: root_age_cdf(a, n, rate, rate)).pvalue > KS_P_LIMIT
    share = root_age_theory(n, rate, rate)[1]
    assert abs(np.mean(one_dies) - share) < Z_LIMIT * math.sqrt(share * (1 - share) / reps)
    assert stats.kstest(pit, "uniform").pvalue > KS_P_LIMIT


def test_a_tree_larger_than_max_nodes_is_refused_before_it_is_built():
    with pytest.raises(ValueError, match="n_extant=10 needs at least 19 nodes, more than max_nodes=18"):
        birth_death_tree(10, 1.0, 0.5, 1, max_nodes=18)
    assert len(birth_death_tree(10, 1.0, 0.0, 1, max_nodes=19).parent) == 19
    # Seed 0 draws a root age near 9000 for 20 living species at birth == death.
    with pytest.raises(MemoryError, match="outgrows max_nodes=10000"):
        birth_death_tree(20, 1.0, 1.0, 0, max_nodes=10_000)
    assert len(birth_death_tree(20, 1.0, 1.0, 0, max_nodes=10_000, age=3.0).parent) < 10_000

"""simulate_nucleotide against the plain Python model in nucleotide_reference,
bit for bit, on random small trees, genomes and settings. The model edits
plain segment lists by walking positions, so agreement also shows that the
native positioning and chunked storage change nothing."""
import math
import os
import random

import pytest

import nucleotide_reference as ref
import vornix_core

CASES = int(os.environ.get("VORNIX_NUCLEOTIDE_CASES", "500"))


def random_tree(rnd):
    """A random tree of 1 to 14 nodes, numbered in random order, with
    multifurcations, single children, zero-length branches and extinct leaves."""
    n = rnd.randint(1, 14)
    parent, time = [-1], [rnd.choice([0.0, 1.5, -2.0])]
    for _ in range(1, n):
        p = rnd.randrange(len(parent))
        parent.append(p)
        time.append(time[p] + rnd.choice([0.0, 0.5, rnd.random() * 3.0]))
    has_children = {p for p in parent if p >= 0}
    extant = [i not in has_children and i != 0 and rnd.random() < 0.8 for i in range(n)]
    extant[0] = rnd.random() < 0.2  # a root marked extant still speciates
    perm = list(range(n))
    rnd.shuffle(perm)
    new = {old: k for k, old in enumerate(perm)}
    P, T, E = [0] * n, [0.0] * n, [False] * n
    for old in range(n):
        P[new[old]] = new[parent[old]] if parent[old] >= 0 else -1
        T[new[old]] = time[old]
        E[new[old]] = extant[old]
    # A child at its parent's time with a smaller number would be reached
    # before its parent: draw again.
    if any(P[i] >= 0 and P[P[i]] >= 0 and (T[i], i) < (T[P[i]], P[i]) for i in range(n)):
        return random_tree(rnd)
    return dict(n_nodes=n, parent=P, time=T, extant_leaf=E, root=new[0])


def random_settings(rnd):
    """Rates and settings that keep genomes small enough for the model: the
    growth over the tree's depth stays bounded."""
    extension = rnd.choice([0.0, 0.3, 0.6, 0.8, 0.9, 0.97, 1.0, 2.0, -0.5, math.nan])
    mean_stretch = 1.0 / (1.0 - extension) if 0.0 < extension < 1.0 else 1.0
    rate = lambda top: rnd.choice([0.0, top / 4, top / 2, top])
    origination = rnd.choice([0.0, 0.3, 1.0])
    if extension >= 1.0:
        # Every stretch is the whole genome: duplications, transfers and
        # originations into a non-empty genome double it.
        duplication, transfer, origination = 0.0, rate(0.0005), min(origination, 0.3)
    else:
        duplication, transfer = rate(0.3 / mean_stretch), rate(0.3 / mean_stretch)
    return dict(
        inversion=rate(0.2), loss=rate(0.2), duplication=duplication, transfer=transfer, transposition=rate(0.2),
        origination=origination, root_length=rnd.randint(1, 40), extension=extension,
        initial_size=rnd.randint(0, 4), seed=rnd.getrandbits(64), replacement=rnd.random(),
        distance_decay=rnd.choice([-1.0, -0.0, 0.0, 0.7, 5.0, math.inf, math.nan]), allow_self=rnd.random() < 0.5,
    )


@pytest.mark.parametrize("block", range(5))
def test_matches_reference_model(block):
    rnd = random.Random(1000 + block)
    kinds_seen = [0] * 6
    for _ in range(CASES // 5):
        tree, settings = random_tree(rnd), random_settings(rnd)
        stats = {}
        expected = ref.simulate(**tree, **settings, stats=stats)
        got = vornix_core.simulate_nucleotide(**tree, **settings)
        assert got == expected, (tree, settings)
        kinds_seen = [a + b for a, b in zip(kinds_seen, stats.get("kinds", [0] * 6))]
    # The sample exercises every kind of event.
    assert all(k > 0 for k in kinds_seen), kinds_seen


def test_matches_reference_on_a_long_genome():
    """Thousands of segments: many chunks, cuts near chunk edges, wrapping
    arcs that rotate across chunks."""
    tree = dict(n_nodes=5, parent=[-1, 0, 0, 1, 1], time=[0.0, 1.0, 4.0, 3.0, 4.0],
                extant_leaf=[False, False, True, True, True], root=0)
    settings = dict(inversion=0.01, loss=0.001, duplication=0.001, transfer=0.001, transposition=0.01,
                    origination=2.0, root_length=2000, extension=0.95, initial_size=3, seed=77, replacement=0.0,
                    distance_decay=-1.0, allow_self=True)
    expected = ref.simulate(**tree, **settings)
    assert max(len(segments) for _, segments in expected) > 1000
    assert vornix_core.simulate_nucleotide(**tree, **settings) == expected

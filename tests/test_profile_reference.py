"""The native profile engines against the plain model in profile_reference.py,
byte for byte, on many small random trees and settings."""
import math
import random

import pytest

import profile_reference as ref
import vornix_core as vc


def random_tree(rnd, max_nodes):
    """A random dated tree: any number of children per node, ties in time,
    extinct leaves, a root not at time 0, and shuffled node numbers."""
    root_time = rnd.choice([0.0, -0.75, 2.5])
    nodes = [(-1, root_time)]
    frontier = [0]
    limit = rnd.randint(1, max_nodes)
    while frontier and len(nodes) < limit:
        p = frontier.pop(rnd.randrange(len(frontier)))
        for _ in range(rnd.choice([1, 2, 2, 2, 3, 4])):
            dt = rnd.choice([0.25, 0.5, 1.0, rnd.uniform(0.01, 1.2)])
            nodes.append((p, nodes[p][1] + dt))
            frontier.append(len(nodes) - 1)
    has_child = {p for p, _ in nodes if p >= 0}
    extant = [i not in has_child and i != 0 and rnd.random() < 0.75 for i in range(len(nodes))]
    perm = list(range(len(nodes)))
    rnd.shuffle(perm)  # old number i becomes perm[i]
    n = len(nodes)
    parent, time, extant_leaf = [0] * n, [0.0] * n, [False] * n
    for i, (p, t) in enumerate(nodes):
        parent[perm[i]] = perm[p] if p >= 0 else rnd.choice([-1, -7])
        time[perm[i]] = t
        extant_leaf[perm[i]] = extant[i]
    return n, parent, time, extant_leaf, perm[0]


def random_settings(rnd, big_genomes):
    rates = tuple(rnd.choice([0.0, rnd.uniform(0.0, 1.5)]) for _ in range(3)) + (
        rnd.choice([0.0, rnd.uniform(0.0, 3.0)]),
    )
    cap = rnd.choice([-1, -9, 0, 1, 2, 3, 5])
    mode = (rnd.choice([0.0, 0.5, 1.0, 0.2]), rnd.choice([-1.0, -0.5, 0.0, 0.7, 3.0, math.nan]), rnd.random() < 0.5)
    initial = rnd.randint(20, 250) if big_genomes else rnd.randint(0, 6)
    return rates, cap, mode, rnd.getrandbits(64), initial


def native_args(tree, rates, cap, mode, seed, initial):
    n, parent, time, extant, root = tree
    return dict(n_nodes=n, parent=parent, time=time, extant_leaf=extant, root=root, duplication=rates[0],
                transfer=rates[1], loss=rates[2], origination=rates[3], initial_size=initial, cap=cap, seed=seed,
                replacement=mode[0], distance_decay=mode[1], allow_self=mode[2])


@pytest.mark.parametrize("big_genomes", [False, True])
def test_serial_matches_reference(big_genomes):
    rnd = random.Random(20240611 + big_genomes)
    cases = 60 if big_genomes else 400
    for case in range(cases):
        tree = random_tree(rnd, 8 if big_genomes else 16)
        rates, cap, mode, seed, initial = random_settings(rnd, big_genomes)
        if big_genomes:
            # Many families and frequent transfers: the native genome has to
            # split, refill and retire its chunks.
            rates = (rates[0] * 0.5, rates[1] + 1.0, rates[2], rates[3])
        expected = ref.simulate_profiles(tree, rates, cap, mode, seed, initial)
        got = vc.simulate_profiles(**native_args(tree, rates, cap, mode, seed, initial))
        assert got == expected, f"case {case}: tree={tree} rates={rates} cap={cap} mode={mode} seed={seed}"


def test_parallel_matches_reference():
    rnd = random.Random(77)
    for case in range(120):
        tree = random_tree(rnd, 12)
        rates, cap, mode, seed, initial = random_settings(rnd, False)
        initial = rnd.randint(0, 12)
        n_copies, n_threads = rnd.randint(0, 6), rnd.randint(0, 3)
        expected = ref.simulate_profiles_parallel(tree, rates, cap, mode, seed, initial, n_copies)
        got = vc.simulate_profiles_parallel(**native_args(tree, rates, cap, mode, seed, initial),
                                            n_copies=n_copies, n_threads=n_threads)
        assert got == expected, f"case {case}: n_copies={n_copies} tree={tree} rates={rates} cap={cap} mode={mode}"



def test_events_drawn_ahead_match_reference():
    # Without a cap and without replacement the engine draws a batch of
    # events before carrying them out and looks up each genome a few events
    # early; larger trees and genomes put many events between lookups of one
    # branch, and small ones make consecutive events share a branch.
    rnd = random.Random(515)
    for case in range(40):
        tree = random_tree(rnd, rnd.choice([6, 20, 40]))
        duplication = rnd.uniform(0.0, 0.5)
        rates = (duplication, rnd.uniform(0.0, 1.2), duplication + rnd.uniform(0.0, 0.6), rnd.choice([0.0, 1.0, 2.0]))
        cap = rnd.choice([-1, -9])
        mode = (rnd.choice([0.0, -0.5, math.nan]), rnd.choice([-1.0, 0.0, 2.0]), rnd.random() < 0.5)
        seed, initial = rnd.getrandbits(64), rnd.randint(0, 60)
        expected = ref.simulate_profiles(tree, rates, cap, mode, seed, initial)
        got = vc.simulate_profiles(**native_args(tree, rates, cap, mode, seed, initial))
        assert got == expected, f"case {case}: tree={tree} rates={rates} cap={cap} mode={mode} seed={seed}"

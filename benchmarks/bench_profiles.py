"""Counts-only profile engines: one serial run and the split parallel run."""
from common import MODE, RATES, load, species_tree_args

import vornix_core

TREE_1K = species_tree_args(load("species_tree_1000.json"))
TREE_100 = species_tree_args(load("species_tree_100.json"))

# Event counts of these exact calls, as counted by the engine itself; the
# profile result does not carry them.
EVENTS_1K = 3_083_589
EVENTS_100_DISTANCE = 161_583
EVENTS_PARALLEL_1K = 3_147_329  # all 64 copies together


def profiles_1k():
    vornix_core.simulate_profiles(**TREE_1K, **RATES, initial_size=2000, **MODE)
    return {"events": EVENTS_1K}


def profiles_100_distance():
    mode = {**MODE, "cap": 5, "replacement": 0.5, "distance_decay": 1.0}
    vornix_core.simulate_profiles(**TREE_100, **RATES, initial_size=2000, **mode)
    return {"events": EVENTS_100_DISTANCE}


def parallel_1k(n_threads):
    def run():
        vornix_core.simulate_profiles_parallel(**TREE_1K, **RATES, initial_size=2000, **MODE, n_copies=64,
                                               n_threads=n_threads)
        return {"events": EVENTS_PARALLEL_1K, "threads": n_threads}
    return run


WORKLOADS = {
    "profiles-1k": profiles_1k,
    "profiles-100-distance": profiles_100_distance,
    "parallel-1k-t1": parallel_1k(1),
    "parallel-1k-t2": parallel_1k(2),
}

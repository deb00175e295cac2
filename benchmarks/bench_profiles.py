"""Counts-only profile engines: one serial run and the split parallel run,
and the serial run against the floor kernel."""
import statistics
import time

from common import MODE, RATES, load, species_tree_args
from floor_kernel import Floor

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


_FLOOR = None
_PAIRS = []  # (floor wall, floor cpu, profiles wall, profiles cpu), ns per event


def profiles_1k_vs_floor():
    """One run of the floor kernel and one of profiles-1k, back to back, so
    that both see the same machine; each call adds a pair. The ratios are
    those of the medians over the pairs so far, per event, end to end for
    profiles-1k (Python call and result included)."""
    global _FLOOR
    if _FLOOR is None:
        _FLOOR = Floor("species_tree_1000.json", 2000)
    if _FLOOR.exe is None:
        return {"skipped": _FLOOR.missing}
    _, floor_wall, floor_cpu = _FLOOR.run()
    wall, cpu = time.perf_counter(), time.process_time()
    profiles_1k()
    wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
    _PAIRS.append((floor_wall, floor_cpu, wall * 1e9 / EVENTS_1K, cpu * 1e9 / EVENTS_1K))
    fw, fc, pw, pc = (statistics.median(column) for column in zip(*_PAIRS))
    return {"floor ns/event": f"{fw:.1f} (cpu {fc:.1f})", "profiles-1k ns/event": f"{pw:.1f} (cpu {pc:.1f})",
            "ratio": f"{pw / fw:.3f} (cpu {pc / fc:.3f})"}


WORKLOADS = {
    "profiles-1k": profiles_1k,
    "profiles-100-distance": profiles_100_distance,
    "parallel-1k-t1": parallel_1k(1),
    "parallel-1k-t2": parallel_1k(2),
    "profiles-1k-floor": profiles_1k_vs_floor,
}

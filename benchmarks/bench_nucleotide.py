"""Nucleotide workload: simulate_nucleotide on the 1,000-leaf tree.

The engine alone (without building Python objects) is timed by the C++
benchmark: build/dev/benchmarks/cpp/bench_nucleotide (built by tools/devbuild.sh).
"""
import vornix_core

from common import load, species_tree_args

# Event draws of this call, counted by an independent evaluation (the plain
# Python model in tests/nucleotide_reference.py, which gives the same leaves).
NUCLEOTIDE_1K_EVENTS = 92_028

_TREE = None


def _args():
    global _TREE
    if _TREE is None:
        _TREE = species_tree_args(load("species_tree_1000.json"))
    return dict(_TREE, inversion=2e-5, loss=1e-5, duplication=1e-5, transfer=1e-5, transposition=1e-5,
                origination=0.5, root_length=1_000_000, extension=0.999, initial_size=1,
                seed=1, replacement=0.0, distance_decay=-1.0, allow_self=False)


def nucleotide_1k():
    leaves = vornix_core.simulate_nucleotide(**_args())
    return {"events": NUCLEOTIDE_1K_EVENTS, "leaf segments": sum(len(segments) for _, segments in leaves)}


WORKLOADS = {"nucleotide-1k": nucleotide_1k}

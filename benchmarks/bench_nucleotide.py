"""Nucleotide workloads: simulate_nucleotide on the 1,000-leaf tree, and
edits of one genome of a million segments (the cost of an event on a large
genome).

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


# One branch of unit length carrying 1,000,000 one-nucleotide units: about
# 20,000 inversions and transpositions of short stretches.
LONG_GENOME_SEGMENTS = 1_000_000
LONG_GENOME_ARGS = dict(n_nodes=2, parent=[-1, 0], time=[0.0, 1.0], extant_leaf=[False, True], root=0,
                        inversion=0.01, loss=0.0, duplication=0.0, transfer=0.0, transposition=0.01, origination=0.0,
                        root_length=1, extension=0.5, initial_size=LONG_GENOME_SEGMENTS, seed=3, replacement=0.0,
                        distance_decay=-1.0, allow_self=False)


def nucleotide_long_genome():
    (_, segments), = vornix_core.simulate_nucleotide(**LONG_GENOME_ARGS)
    return {"leaf segments": len(segments)}


WORKLOADS = {"nucleotide-1k": nucleotide_1k, "nucleotide-long-genome": nucleotide_long_genome}

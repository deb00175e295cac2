"""Benchmark workload of simulate_nucleotide."""
import vornix_core

from common import load, species_tree_args

NUCLEOTIDE_1K = dict(
    species_tree_args(load("species_tree_1000.json")),
    inversion=2e-5, loss=1e-5, duplication=1e-5, transfer=1e-5, transposition=1e-5, origination=0.5,
    root_length=1_000_000, extension=0.999, initial_size=1,
    seed=1, replacement=0.0, distance_decay=-1.0, allow_self=False,
)
# Event draws of this call, counted by an independent evaluation (the plain
# Python model in tests/nucleotide_reference.py, which gives the same leaves).
NUCLEOTIDE_1K_EVENTS = 92_028


def nucleotide_1k():
    leaves = vornix_core.simulate_nucleotide(**NUCLEOTIDE_1K)
    return {"events": NUCLEOTIDE_1K_EVENTS, "leaf segments": sum(len(segments) for _, segments in leaves)}


WORKLOADS = {"nucleotide-1k": nucleotide_1k}

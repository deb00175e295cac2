"""Shared helpers for the benchmark modules."""
import json
import os
import pathlib

# The shared inputs sit beside the checkout; VORNIX_BENCHMARK_INPUTS points elsewhere.
SHARED = pathlib.Path(os.environ.get("VORNIX_BENCHMARK_INPUTS")
                      or pathlib.Path(__file__).resolve().parent.parent.parent / "shared" / "benchmarks")

# Rates shared by every workload unless a workload says otherwise.
RATES = dict(duplication=0.2, transfer=0.2, loss=0.35, origination=1.0)
MODE = dict(seed=1, cap=-1, replacement=0.0, distance_decay=-1.0, allow_self=False)


def load(name):
    """A shared benchmark input by file name (for example species_tree_1000.json)."""
    with open(SHARED / name) as f:
        return json.load(f)


def species_tree_args(tree):
    """The five species-tree keyword arguments of the simulation functions."""
    return {k: tree[k] for k in ("n_nodes", "parent", "time", "extant_leaf", "root")}

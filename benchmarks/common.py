"""Shared helpers for the benchmark modules."""
import json
import os
import pathlib


def _shared_inputs():
    """The shared benchmark inputs: $VORNIX_SHARED_BENCHMARKS, else the first
    shared/benchmarks found beside the checkout or above it (worktrees sit
    one level deeper than the main checkout)."""
    if os.environ.get("VORNIX_SHARED_BENCHMARKS"):
        return pathlib.Path(os.environ["VORNIX_SHARED_BENCHMARKS"])
    checkout = pathlib.Path(__file__).resolve().parent.parent
    for above in checkout.parents:
        if (above / "shared" / "benchmarks").is_dir():
            return above / "shared" / "benchmarks"
    return checkout.parent / "shared" / "benchmarks"


SHARED = _shared_inputs()

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

"""Event-log workloads: simulate_log and simulate_trace on the 1,000-leaf tree.

The engine alone (without building Python objects) is timed by the C++
benchmark: build/dev/benchmarks/cpp/bench_log (built by tools/devbuild.sh).
"""
import vornix_core

from common import MODE, RATES, load, species_tree_args

_TREE = None


def _args():
    global _TREE
    if _TREE is None:
        _TREE = species_tree_args(load("species_tree_1000.json"))
    return dict(_TREE, **RATES, **MODE, initial_size=500)


def _events(records):
    # One record per event draw in this configuration (no cap, no replacement,
    # always two or more live branches), minus the founding originations.
    kinds = records[0]
    return len(kinds) - kinds.count(4) - 500


def log_1k():
    records, _ = vornix_core.simulate_log(**_args())
    return {"events": _events(records), "records": len(records[0])}


def trace_1k():
    records, _ = vornix_core.simulate_trace(**_args())
    return {"events": _events(records), "records": len(records[0])}


WORKLOADS = {"log-1k": log_1k, "trace-1k": trace_1k}

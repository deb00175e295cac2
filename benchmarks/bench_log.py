"""Event-log workloads: simulate_log and simulate_trace on the 1,000-leaf tree,
and simulate_log under a family-size cap on a small tree (log-cap; and
log-cap-ratio: time per record at cap 1000 against cap 100).

The engine alone (without building Python objects) is timed by the C++
benchmark: build/dev/benchmarks/cpp/bench_log (built by tools/devbuild.sh).
"""
import pathlib
import statistics
import subprocess
import sys
import time

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


# A 9-species tree (two internal levels, one extinct lineage Xext ending at
# 3.5), nodes numbered in preorder, times from the root:
# (((A:3,B:3)AB:2,(C:4,Xext:1.5)CX:1)ABCX:1,((D:2,E:2)DE:3,(F:4,(G:1,H:1)GH:3)FGH:1)DEFGH:1)root;
CAP_TREE = dict(
    n_nodes=17,
    parent=[-1, 0, 1, 2, 2, 1, 5, 5, 0, 8, 9, 9, 8, 12, 12, 14, 14],
    time=[0.0, 1.0, 3.0, 6.0, 6.0, 2.0, 6.0, 3.5, 1.0, 4.0, 6.0, 6.0, 2.0, 6.0, 5.0, 6.0, 6.0],
    extant_leaf=[v in (3, 4, 6, 10, 11, 13, 15, 16) for v in range(17)],
    root=0,
)


def log_cap(cap=400):
    """Families grow fast and fill up to the cap, so most transfers remove a
    resident copy from the recipient."""
    records, _ = vornix_core.simulate_log(**CAP_TREE, duplication=3.0, transfer=0.5, loss=0.0, origination=0.5,
                                          initial_size=50, cap=cap, seed=1, replacement=0.0, distance_decay=-1.0,
                                          allow_self=False)
    return {"records": len(records[0]), "cap": cap}


_CAP_RUNS = {100: [], 1000: []}  # (wall, cpu) seconds per record, in this process
_FRESH_RUNS = {100: [], 1000: []}  # cpu seconds per record, each in a new interpreter


def _fresh_log_cap(cap):
    """CPU seconds per record of one log_cap(cap) in a new interpreter, as a
    user's script runs it: no heap left warm by an earlier run."""
    code = ("import sys, time; sys.path.insert(0, {here!r}); import bench_log; c = time.process_time(); "
            "n = bench_log.log_cap({cap})['records']; print((time.process_time() - c) / n)").format(
                here=str(pathlib.Path(__file__).resolve().parent), cap=cap)
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    return float(out.split()[-1])


def log_cap_ratio():
    """log-cap at caps 100 and 1000, one run each per call in alternating
    order so that both see the same machine, timed two ways: in this process
    (a cap 100 run then reuses memory a cap 1000 run has freed and faulted in)
    and each in a new interpreter. Reports the medians per record over the
    calls so far, end to end (Python call and result included), and the
    ratios of cap 1000 to cap 100."""
    caps = (100, 1000) if sum(map(len, _CAP_RUNS.values())) % 4 == 0 else (1000, 100)
    for cap in caps:
        wall, cpu = time.perf_counter(), time.process_time()
        records = log_cap(cap)["records"]
        wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
        _CAP_RUNS[cap].append((wall / records, cpu / records))
        _FRESH_RUNS[cap].append(_fresh_log_cap(cap))
    (w100, c100), (w1000, c1000) = ((statistics.median(column) for column in zip(*_CAP_RUNS[cap])) for cap in (100, 1000))
    f100, f1000 = (statistics.median(_FRESH_RUNS[cap]) for cap in (100, 1000))
    return {"cap 100 ns/record": f"{w100 * 1e9:.1f} (cpu {c100 * 1e9:.1f}, new process cpu {f100 * 1e9:.1f})",
            "cap 1000 ns/record": f"{w1000 * 1e9:.1f} (cpu {c1000 * 1e9:.1f}, new process cpu {f1000 * 1e9:.1f})",
            "ratio": f"{w1000 / w100:.3f} (cpu {c1000 / c100:.3f}, new process cpu {f1000 / f100:.3f})"}


WORKLOADS = {"log-1k": log_1k, "trace-1k": trace_1k, "log-cap": log_cap, "log-cap-ratio": log_cap_ratio}

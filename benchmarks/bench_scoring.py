"""Scoring front-end workloads on the 951 gene trees of gene_trees_100 with the
shared likelihood rates (dup 0.2, transfer 0.2, loss 0.35).

score-100: Newick text in, scores out (GeneTrees.read of gene_trees_100.nwk,
vornix.score undated, one process) against undated_family_loglik alone on
the ready arrays of gene_trees_100.json, timed interleaved in one process
(CPU time, three rounds each); reports both, their ratio and trees/s.

score-workers: vornix.score with rooting "all" on the trees of up to 150
nodes (281 trees, about 2.3 million rooted nodes), 1 worker against 2,
interleaved (wall time, two rounds each); reports the speed-up.

fit-undated-100, fit-dated-100: vornix.fit_rates on the 951 trees (the
species tree of species_tree_100.nwk), workers 2; wall time, evaluations,
the fitted rates and, for the dated model, the chosen step count. Run them
with --repeat 1: a dated fit takes many minutes.
"""
import statistics
import time

import vornix_core
from common import SHARED, load

import vornix

RATES = dict(dup=0.2, transfer=0.2, loss=0.35)
_CACHE = {}


def _inputs():
    if not _CACHE:
        data = load("gene_trees_100.json")
        _CACHE["json"] = data
        _CACHE["species"] = vornix.SpeciesTree.read(SHARED / "species_tree_100.nwk")
        _CACHE["trees"] = vornix.GeneTrees.read(SHARED / "gene_trees_100.nwk")
    return _CACHE


def score_100():
    data = _inputs()["json"]
    species = _inputs()["species"]
    sp = [data[k] for k in ("sp_left", "sp_right", "sp_is_leaf", "sp_time", "sp_parent_time", "sp_root")]
    gt = [data[k] for k in ("gt_offsets", "gt_is_leaf", "gt_left", "gt_right", "gt_species")]
    front, core = [], []
    for _ in range(3):
        start = time.process_time()
        vornix_core.undated_family_loglik(*sp, *gt, RATES["dup"], RATES["transfer"], RATES["loss"], 0, 0)
        core.append(time.process_time() - start)
        start = time.process_time()
        trees = vornix.GeneTrees.read(SHARED / "gene_trees_100.nwk")
        values = vornix.score(species, trees, **RATES, progress=False)
        front.append(time.process_time() - start)
    f, c = statistics.median(front), statistics.median(core)
    return {"trees": len(values), "front_cpu_s": round(f, 4), "core_cpu_s": round(c, 4),
            "ratio": round(f / c, 3), "front_trees_per_s": round(len(values) / f)}


def score_workers():
    inputs = _inputs()
    trees = inputs["trees"]
    small = trees.subset([i for i, m in enumerate(trees.sizes.tolist()) if m <= 150])
    rooted_nodes = int((small.sizes * small.rooting_counts).sum())
    one, two = [], []
    for _ in range(2):
        for workers, out in ((1, one), (2, two)):
            start = time.perf_counter()
            vornix.score(inputs["species"], small, **RATES, rooting="all", workers=workers, progress=False)
            out.append(time.perf_counter() - start)
    w1, w2 = statistics.median(one), statistics.median(two)
    return {"trees": len(small), "rooted_nodes": rooted_nodes, "workers1_s": round(w1, 3),
            "workers2_s": round(w2, 3), "speedup": round(w1 / w2, 3)}


def _fit(model):
    inputs = _inputs()
    start = time.perf_counter()
    fit = vornix.fit_rates(inputs["species"], inputs["trees"], model=model, workers=2, progress=False)
    wall = time.perf_counter() - start
    return {"trees": len(inputs["trees"]), "wall_s": round(wall, 1), "evaluations": fit.evaluations,
            "converged": fit.converged, "n_steps": fit.n_steps,
            "rates": {k: round(v, 5) for k, v in fit.rates.items()},
            "stderr": {k: round(v, 5) for k, v in fit.stderr.items()}}


def fit_undated_100():
    return _fit("undated")


def fit_dated_100():
    return _fit("dated")


WORKLOADS = {"score-100": score_100, "score-workers": score_workers, "fit-undated-100": fit_undated_100,
             "fit-dated-100": fit_dated_100}

"""Likelihood workloads: the 951 gene trees of gene_trees_100 (256,003 gene
nodes) scored per family against the extant species tree, with the shared
rates (dup 0.2, transfer 0.2, loss 0.35) and root origination.

undated-100: undated_family_loglik, transfers 0.
reldated-100: undated_family_loglik, transfers 1.
dated-100: dated_family_loglik, n_steps 1.

Each run converts the arguments, builds the engine once and scores every
tree; trees/s and nodes/s (gene nodes) are per run.
"""
import vornix_core
from common import load

_DATA = load("gene_trees_100.json")
_SPECIES = [_DATA[k] for k in ("sp_left", "sp_right", "sp_is_leaf", "sp_time", "sp_parent_time", "sp_root")]
_GENES = [_DATA[k] for k in ("gt_offsets", "gt_is_leaf", "gt_left", "gt_right", "gt_species")]
_RATES = (0.2, 0.2, 0.35)
_TREES = len(_DATA["gt_offsets"]) - 1
_NODES = _DATA["gt_offsets"][-1]


def _figures(scores):
    finite = sum(1 for s in scores if s > float("-inf"))
    return {"trees": _TREES, "nodes": _NODES, "finite": finite}


def undated_100():
    return _figures(vornix_core.undated_family_loglik(*_SPECIES, *_GENES, *_RATES, 0, 0))


def reldated_100():
    return _figures(vornix_core.undated_family_loglik(*_SPECIES, *_GENES, *_RATES, 1, 0))


def dated_100():
    return _figures(vornix_core.dated_family_loglik(_DATA["sp_parent"], *_SPECIES, *_GENES, *_RATES, 1, 0))


WORKLOADS = {"undated-100": undated_100, "reldated-100": reldated_100, "dated-100": dated_100}

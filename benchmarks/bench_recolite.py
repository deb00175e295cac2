"""Likelihood workloads: the 951 gene trees of gene_trees_100 (256,003 gene
nodes) scored per family against the extant species tree, with the shared
rates (dup 0.2, transfer 0.2, loss 0.35) and root origination.

undated-100: undated_family_loglik, transfers 0.
reldated-100: undated_family_loglik, transfers 1.
dated-100: dated_family_loglik, n_steps 1.

undated-deep and reldated-deep: 500 random gene trees (2 to 40 tips, 19,750
gene nodes) on a caterpillar of 105 leaves (209 nodes, 104 speciations deep)
with losses far faster than speciation (dup 0.0599, transfer 0 and 1e-200,
loss 258575), root origination: a gene node's values span more than the range
of doubles there, so the scorer runs with branch offsets.
undated-deep-plain: the same trees and tree with loss 0.35, which needs none.

Each run converts the arguments, builds the engine once and scores every
tree; trees/s and nodes/s (gene nodes) are per run.
"""
import random

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


def _caterpillar(leaves):
    left, right, is_leaf, time_, parent_time = [], [], [], [], []

    def add(lc, rc, t, tp):
        left.append(lc), right.append(rc), is_leaf.append(lc < 0), time_.append(t), parent_time.append(tp)
        return len(left) - 1

    top = leaves - 2
    node = add(add(-1, -1, leaves, top), add(-1, -1, leaves, top), top, top - 1)
    for k in range(top - 1, -1, -1):
        node = add(node, add(-1, -1, leaves, k), k, max(k - 1, 0))
    return [left, right, is_leaf, time_, parent_time, node]


def _random_batch(rng, trees, leaves):
    offsets, is_leaf, left, right, species = [0], [], [], [], []
    for _ in range(trees):
        base = len(is_leaf)

        def build(k):
            if k == 1:
                is_leaf.append(True), left.append(-1), right.append(-1), species.append(rng.choice(leaves))
            else:
                split = rng.randint(1, k - 1)
                a, b = build(split), build(k - split)
                is_leaf.append(False), left.append(a), right.append(b), species.append(-1)
            return len(is_leaf) - 1 - base

        build(rng.randint(2, 40))
        offsets.append(len(is_leaf))
    return [offsets, is_leaf, left, right, species]


_DEEP = _caterpillar(105)
_DEEP_GENES = _random_batch(random.Random(1), 500, [i for i, leaf in enumerate(_DEEP[2]) if leaf])
_DEEP_NODES = _DEEP_GENES[0][-1]


def _deep(transfer, loss, transfers):
    scores = vornix_core.undated_family_loglik(*_DEEP, *_DEEP_GENES, 0.0599, transfer, loss, transfers, 0)
    finite = sum(1 for s in scores if s > float("-inf"))
    return {"trees": len(scores), "nodes": _DEEP_NODES, "finite": finite}


WORKLOADS = {
    "undated-100": undated_100,
    "reldated-100": reldated_100,
    "dated-100": dated_100,
    "undated-deep": lambda: _deep(0.0, 258575.0, 0),
    "reldated-deep": lambda: _deep(1e-200, 258575.0, 1),
    "undated-deep-plain": lambda: _deep(0.0, 0.35, 0),
}

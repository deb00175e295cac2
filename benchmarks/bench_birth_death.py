"""Species-tree generator workloads.

birth-death-10k: vornix.birth_death_tree with 10,000 living species, birth 1,
death 0.3, seed 1, conditioned on the number of living species (uniform prior
on the age). birth-death-10k-age: the same conditioned on a crown age of 12
(about the typical age of such trees). birth-death-10k-draw: the first
workload's node arrays alone, without building the SpeciesTree (the
difference is the cost of the tree object and its checks). Each reports the
tree's nodes (the runner turns them into nodes/s) and extinct lineages.
"""
import numpy as np

import vornix
from vornix import birth_death


def _public(age):
    tree = vornix.birth_death_tree(10_000, 1.0, 0.3, seed=1, age=age)
    return {"trees": 1, "nodes": len(tree.parent), "extinct": len(tree.extinct_names)}


def _draw_only():
    arrays = birth_death._draw(10_000, 1.0, 0.3, 1, None)
    leaves = arrays.parent.size - np.unique(arrays.parent[1:]).size
    return {"trees": 1, "nodes": arrays.parent.size, "extinct": int(leaves - arrays.extant_leaf.sum())}


WORKLOADS = {
    "birth-death-10k": lambda: _public(None),
    "birth-death-10k-age": lambda: _public(12.0),
    "birth-death-10k-draw": _draw_only,
}

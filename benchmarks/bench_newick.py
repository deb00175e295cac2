"""Newick reading workload.

newick-gene-trees-100: vornix._newick.parse on the text of gene_trees_100.nwk
(951 trees, 256,003 nodes, 1.1 MB), the file read beforehand: the native
read, the per-node columns as numpy arrays and one str per label, split into
one record per tree. trees/s and nodes/s are per run.
"""
import functools

from common import SHARED


@functools.cache
def _text(name):
    return (SHARED / name).read_text()


def gene_trees_100():
    from vornix._newick import parse

    trees = parse(_text("gene_trees_100.nwk"), "gene_trees_100.nwk")
    return {"trees": len(trees), "nodes": sum(len(t) for t in trees)}


WORKLOADS = {"newick-gene-trees-100": gene_trees_100}

"""Arguments shared by ``vornix score`` and ``vornix fit``: the species tree,
the gene trees with their leaf-to-species mapping, the model and the
workers."""

from __future__ import annotations

import argparse
from typing import Any

from vornix.cli._cluster import add_cluster_options
from vornix.cli._common import UserError

__all__ = ["add_inputs", "add_model", "load_inputs"]


def add_inputs(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("species", metavar="SPECIES.nwk", help="dated species tree in Newick (branch lengths = time)")
    parser.add_argument("trees", metavar="TREES", nargs="+",
                        help="gene-tree files (Newick, one or more trees each, gzip allowed) or directories of them")
    mapping = parser.add_mutually_exclusive_group()
    mapping.add_argument("--map", metavar="FILE", default=None,
                         help="two-column file (gene, species) mapping leaves to species; '#' starts a comment")
    mapping.add_argument("--separator", default="_", metavar="SEP",
                         help="without --map, a leaf's species is its name up to the last SEP (default: %(default)s)")
    parser.add_argument("--species-after", action="store_true",
                        help="with --separator: the species is the part after the first SEP instead")


def add_model(parser: argparse.ArgumentParser, default_model: str) -> None:
    parser.add_argument("--model", choices=("undated", "reldated", "dated"), default=default_model,
                        help="undated: per-branch event weights; reldated: transfers only between coexisting "
                             "branches; dated: rates per lineage per unit time (default: %(default)s)")
    parser.add_argument("--origination", choices=("root", "uniform"), default="root",
                        help="where a family starts: the species root or any branch (default: %(default)s)")
    parser.add_argument("--rooting", choices=("as-is", "all", "best"), default="as-is",
                        help="score trees as rooted, averaged over all rootings, or at the best one "
                             "(default: %(default)s)")
    add_cluster_options(parser)


def load_inputs(args: argparse.Namespace) -> tuple[Any, Any]:
    """The species tree and the gene trees named on the command line."""
    from vornix import GeneTrees, SpeciesTree

    read = getattr(SpeciesTree, "read", None)
    if read is None:
        raise UserError("reading a species tree from Newick is not part of this installation")
    species = read(args.species)
    side = "after" if args.species_after else "before"
    genes = GeneTrees.read(*args.trees, mapping=args.map, separator=args.separator, species_side=side)
    return species, genes

"""Arguments several subcommands share: the species tree, the gene-family
rates and transfer mode, and the run record (run.json)."""

from __future__ import annotations

import argparse
import hashlib
import json
import os
from typing import Any

from vornix import __version__
from vornix.cli._common import command_line
from vornix.species_tree import SpeciesTree

__all__ = ["add_tree", "load_tree", "add_family_rates", "family_kwargs", "add_seed", "write_run_record"]


def add_tree(parser: argparse.ArgumentParser, optional: bool) -> None:
    """The species-tree file and how to read it."""
    if optional:
        parser.add_argument("species_tree", nargs="?", metavar="SPECIES.nwk",
                            help="dated species tree in Newick, branch lengths in time units "
                                 "(default: the embedded example tree of 12 living species and 3 extinct lineages)")
    else:
        parser.add_argument("species_tree", metavar="SPECIES.nwk",
                            help="dated species tree in Newick, branch lengths in time units")
    parser.add_argument("--tolerance", type=float, default=1e-6, metavar="X",
                        help="a leaf ending more than X times the tree's age before the present is an extinct "
                             "lineage (default: %(default)s)")
    parser.add_argument("--resolve", action="store_true",
                        help="collapse single-child nodes and split nodes with more than two children "
                             "(default: refuse such trees)")


def load_tree(args: argparse.Namespace) -> tuple[SpeciesTree, dict[str, Any]]:
    """The species tree the arguments name, and how to find it again."""
    if args.species_tree is None:
        from vornix.examples import example_tree

        return example_tree(), {"example": True}
    path = args.species_tree
    tree = SpeciesTree.read(path, tolerance=args.tolerance, resolve=args.resolve)
    with open(path, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    return tree, {"path": os.path.abspath(path), "sha256": digest, "tolerance": args.tolerance,
                  "resolve": args.resolve}


def add_seed(parser: argparse._ActionsContainer) -> None:
    parser.add_argument("--seed", type=int, default=None, metavar="S",
                        help="random seed, 0..2^64-1 (default: a fresh one, recorded)")


def add_family_rates(parser: argparse.ArgumentParser) -> None:
    """Rates and transfer mode of the gene-family simulations."""
    rates = parser.add_argument_group("gene-family process (rates per unit of the tree's time)")
    rates.add_argument("--duplication", type=float, default=0.2, metavar="RATE",
                       help="duplications per gene copy per unit time (default: %(default)s)")
    rates.add_argument("--transfer", type=float, default=0.1, metavar="RATE",
                       help="transfers per gene copy per unit time (default: %(default)s)")
    rates.add_argument("--loss", type=float, default=0.25, metavar="RATE",
                       help="losses per gene copy per unit time (default: %(default)s)")
    rates.add_argument("--origination", type=float, default=0.5, metavar="RATE",
                       help="new families per living branch per unit time (default: %(default)s)")
    rates.add_argument("--initial-size", type=int, default=20, metavar="N",
                       help="families at the root, one copy each (default: %(default)s)")
    add_seed(rates)
    mode = parser.add_argument_group("transfers")
    mode.add_argument("--cap", type=int, default=None, metavar="N",
                      help="most copies of one family a branch may hold (default: no cap)")
    mode.add_argument("--replacement", type=float, default=0.0, metavar="P",
                      help="probability that a transferred copy replaces a resident copy of its family "
                           "(default: %(default)s)")
    mode.add_argument("--distance-decay", type=float, default=None, metavar="X",
                      help="weight recipients by exp(-X * distance in time units) (default: uniform recipients)")
    mode.add_argument("--allow-self", action="store_true",
                      help="let a branch transfer to itself (default: not)")


def family_kwargs(args: argparse.Namespace) -> dict[str, Any]:
    """The keyword arguments of simulate_families / simulate_profiles."""
    return dict(duplication=args.duplication, transfer=args.transfer, loss=args.loss, origination=args.origination,
                initial_size=args.initial_size, seed=args.seed, cap=args.cap, replacement=args.replacement,
                distance_decay=args.distance_decay, allow_self=args.allow_self)


def write_run_record(path: str, command: str, tree_source: dict[str, Any], arguments: dict[str, Any],
                     results: dict[str, Any]) -> None:
    """run.json: what ran (every argument, the seed, the version) and how
    to run it again."""
    record = {
        "command": command,
        "version": __version__,
        "argv": command_line(),
        "species_tree": tree_source,
        "arguments": arguments,
        "seed": arguments.get("seed"),
        "results": results,
    }
    with open(path, "w", encoding="utf-8") as f:
        json.dump(record, f, indent=2)
        f.write("\n")

"""``vornix species-tree``: a dated birth-death species tree in Newick."""

from __future__ import annotations

import argparse
import re
import sys

from vornix.cli._common import UserError, say

# The generator's own default, repeated so that --help works without numpy loaded.
DEFAULT_MAX_NODES = 20_000_000

NAME = "species-tree"
SUMMARY = "simulate a dated species tree (birth-death, with its extinct lineages)"
DESCRIPTION = """\
Simulates a complete dated species tree under a birth-death process started
from two lineages at the root, conditioned on the number of living species,
and writes it in Newick: branch lengths in the time units of the rates, the
root at time 0, extinct lineages ending before the present.

example:
  vornix species-tree --extant 50 --birth 1 --death 0.3 --seed 1 -o species.nwk"""


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--extant", type=int, required=True, metavar="N",
                        help="number of living species at the present (at least 2)")
    parser.add_argument("--birth", type=float, default=1.0, metavar="RATE",
                        help="speciation rate, per lineage per unit time (default: %(default)s)")
    parser.add_argument("--death", type=float, default=0.0, metavar="RATE",
                        help="extinction rate, per lineage per unit time (default: %(default)s)")
    parser.add_argument("--age", type=float, default=None, metavar="T",
                        help="condition on this crown age instead (both root lineages survive), in the "
                             "time units of the rates (default: not conditioned on age)")
    parser.add_argument("--max-nodes", type=int, default=DEFAULT_MAX_NODES, metavar="N",
                        help="refuse a drawn tree with more nodes than this; 0 for no limit "
                             "(default: %(default)s)")
    parser.add_argument("--seed", type=int, default=None, metavar="S",
                        help="random seed, 0..2^64-1 (default: a fresh one, printed)")
    parser.add_argument("-o", "--output", metavar="FILE", default=None,
                        help="Newick file to write (default: standard output)")


def run(args: argparse.Namespace) -> None:
    try:
        from vornix.birth_death import birth_death_tree
    except ImportError:
        raise UserError("the birth-death tree generator is not part of this installation") from None
    from vornix._checks import seed as check_seed

    seed = check_seed(args.seed)
    if args.max_nodes < 0:
        raise UserError(f"--max-nodes must be 0 (no limit) or positive, got {args.max_nodes}")
    try:
        tree = birth_death_tree(args.extant, args.birth, args.death, seed, age=args.age,
                                max_nodes=args.max_nodes or None)
    except MemoryError as error:
        raise UserError(_option_names(str(error))) from None
    except ValueError as error:
        raise UserError(_option_names(str(error))) from None
    text = tree.to_newick() + "\n"
    if args.output is None:
        sys.stdout.write(text)
        return
    with open(args.output, "w", encoding="utf-8") as out:
        out.write(text)
    say(args, f"{args.output}: {len(tree.extant_names)} extant species, "
              f"{len(tree.extinct_names)} extinct lineages, age {tree.age:.6g} (seed {seed})")


def _option_names(message: str) -> str:
    """The generator's message with its argument names spelled as this
    command's options."""
    for name, option in (("n_extant", "--extant"), ("max_nodes", "--max-nodes"), ("birth", "--birth"),
                         ("death", "--death"), ("age", "--age"), ("seed", "--seed")):
        message = re.sub(rf"\b{name}\b", option, message)
    return message.replace("raise --max-nodes", "raise --max-nodes (0: no limit)")

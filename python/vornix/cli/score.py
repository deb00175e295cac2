"""``vornix score``: per-tree log-likelihoods of gene trees as a TSV table."""

from __future__ import annotations

import argparse
import sys

from vornix.cli._cluster import check_cluster_options, compute
from vornix.cli._common import say
from vornix.cli._scoring_args import add_inputs, add_model, load_inputs

NAME = "score"
SUMMARY = "score gene trees against a species tree (duplication-transfer-loss log-likelihoods)"
DESCRIPTION = """\
Scores each gene tree against the species tree under a duplication,
transfer and loss model and writes a TSV table with the columns file, index
(0-based within the file) and loglik (natural log; -inf where the tree is
impossible under the model). Only the living species are modelled: extinct
lineages of the species tree are pruned.

example:
  vornix score species.nwk trees/ --model undated --dup 0.1 --transfer 0.05 --loss 0.2 -o scores.tsv
  vornix score species.nwk trees/ --rooting all --dup 0.1 --transfer 0.05 --loss 0.2 --workers 2
  vornix score species.nwk trees/ --rooting all --dup 0.1 --transfer 0.05 --loss 0.2 \
      --scheduler tcp://scheduler-host:8786"""


def configure(parser: argparse.ArgumentParser) -> None:
    add_inputs(parser)
    add_model(parser, "undated")
    parser.add_argument("--dup", type=float, required=True, metavar="RATE", help="duplication rate")
    parser.add_argument("--transfer", type=float, required=True, metavar="RATE", help="transfer rate")
    parser.add_argument("--loss", type=float, required=True, metavar="RATE", help="loss rate")
    parser.add_argument("--n-steps", type=int, default=1, metavar="N",
                        help="dated model: least Euler steps per time slice (default: %(default)s)")
    parser.add_argument("-o", "--output", metavar="FILE", default=None,
                        help="TSV file to write (default: standard output)")


def run(args: argparse.Namespace) -> None:
    from vornix import score

    check_cluster_options(args)
    species, genes = load_inputs(args)
    with compute(args) as (client, workers):
        values = score(species, genes, model=args.model, dup=args.dup, transfer=args.transfer, loss=args.loss,
                       n_steps=args.n_steps, origination=args.origination, rooting=args.rooting,
                       workers=workers, progress=False if args.quiet else None, client=client)
    lines = ["file\tindex\tloglik\n"]
    lines.extend(f"{src}\t{idx}\t{v!r}\n" for src, idx, v in zip(genes.sources, genes.indices.tolist(),
                                                              values.tolist()))
    text = "".join(lines)
    if args.output is None:
        sys.stdout.write(text)
        return
    with open(args.output, "w", encoding="utf-8") as out:
        out.write(text)
    say(args, f"{args.output}: {len(values)} trees scored, total log-likelihood {float(values.sum()):.6f}")

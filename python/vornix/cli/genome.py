"""``vornix genome``: whole genomes at the nucleotide level along a species
tree."""

from __future__ import annotations

import argparse
import os
import tempfile

import numpy as np

from vornix.cli._common import progress, say
from vornix.cli._options import add_seed, add_tree, load_tree, write_run_record

NAME = "genome"
SUMMARY = "simulate whole genomes at the nucleotide level (rearrangements, transfers, new units)"
DESCRIPTION = """\
Simulates circular genomes along a dated species tree: inversion, loss,
duplication, transfer and transposition of stretches of geometric length,
and origination of new units. Writes DIR/segments.tsv, each extant genome as
segments of ancestral units in reading order (columns species, index, unit,
start, end, strand: nucleotides start..end-1 of the unit, strand +1 forward
or -1 reversed), and DIR/run.json.

example:
  vornix genome species.nwk --inversion 2e-5 --origination 0.5 --seed 1 --out DIR"""


def configure(parser: argparse.ArgumentParser) -> None:
    add_tree(parser, optional=False)
    rates = parser.add_argument_group("genome process (rates per unit of the tree's time)")
    for name, default in (("inversion", 2e-5), ("loss", 1e-5), ("duplication", 1e-5), ("transfer", 1e-5),
                          ("transposition", 1e-5)):
        rates.add_argument(f"--{name}", type=float, default=default, metavar="RATE",
                           help=f"{name} events per nucleotide per unit time (default: %(default)s)")
    rates.add_argument("--origination", type=float, default=0.5, metavar="RATE",
                       help="new units per genome per unit time (default: %(default)s)")
    rates.add_argument("--root-length", type=int, default=1_000_000, metavar="NT",
                       help="nucleotides of each root unit and of a unit born in an empty genome "
                            "(default: %(default)s)")
    rates.add_argument("--extension", type=float, default=0.999, metavar="X",
                       help="affected stretches are geometric with mean about 1/(1-X) nucleotides; "
                            "1 or more affects whole genomes (default: %(default)s)")
    rates.add_argument("--initial-size", type=int, default=1, metavar="N",
                       help="units of the root genome (default: %(default)s)")
    add_seed(rates)
    mode = parser.add_argument_group("transfers")
    mode.add_argument("--distance-decay", type=float, default=None, metavar="X",
                      help="weight recipients by exp(-X * distance in time units) (default: uniform recipients)")
    mode.add_argument("--allow-self", action="store_true", help="let a genome transfer to itself (default: not)")
    parser.add_argument("--out", metavar="DIR", default=None,
                        help="output directory, created if missing (default: a new directory under the "
                             "system's temporary directory)")


def run(args: argparse.Namespace) -> None:
    from vornix.genomes import simulate_genomes

    tree, tree_source = load_tree(args)
    kwargs = dict(inversion=args.inversion, loss=args.loss, duplication=args.duplication, transfer=args.transfer,
                  transposition=args.transposition, origination=args.origination, root_length=args.root_length,
                  extension=args.extension, initial_size=args.initial_size, seed=args.seed,
                  distance_decay=args.distance_decay, allow_self=args.allow_self)
    outdir = args.out if args.out is not None else tempfile.mkdtemp(prefix="vornix_genomes_")
    with progress(args, total=2, unit="step", description="simulating") as bar:
        sim = simulate_genomes(tree, **kwargs)
        bar.update()
        bar.set_description("writing")
        os.makedirs(outdir, exist_ok=True)
        path = os.path.join(outdir, "segments.tsv")
        counts = np.diff(sim.offsets)
        with open(path, "w", encoding="utf-8") as out:
            out.write("species\tindex\tunit\tstart\tend\tstrand\n")
            for i, name in enumerate(sim.species):
                a = int(sim.offsets[i])
                for k in range(int(counts[i])):
                    out.write(f"{name}\t{k}\t{sim.unit[a + k]}\t{sim.start[a + k]}\t{sim.end[a + k]}\t"
                              f"{sim.strand[a + k]}\n")
        bar.update()
    lengths = sim.lengths
    write_run_record(os.path.join(outdir, "run.json"), NAME, tree_source, dict(kwargs, seed=sim.parameters["seed"]),
                     {"segments": int(len(sim.unit)), "genome_lengths": lengths})
    say(args, f"{path}: {len(sim.species)} genomes, {len(sim.unit)} segments, "
              f"lengths {min(lengths.values(), default=0)}..{max(lengths.values(), default=0)} nt "
              f"(seed {sim.parameters['seed']})")

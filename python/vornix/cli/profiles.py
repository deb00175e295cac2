"""``vornix profiles``: copy-number profiles of gene families at the extant
species, from the counts-only engine."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import TYPE_CHECKING, TextIO

import numpy as np

from vornix.cli._common import progress, say
from vornix.cli._natural import natural_key
from vornix.cli._options import add_family_rates, add_tree, family_kwargs, load_tree, write_run_record

if TYPE_CHECKING:  # pragma: no cover
    from vornix.profiles import ProfileSimulation

NAME = "profiles"
SUMMARY = "simulate copy-number profiles (families x extant species) quickly, without event logs"
DESCRIPTION = """\
Simulates gene families along a dated species tree with the counts-only
engine and writes their copy numbers at the extant species as a TSV in the
layout of Profiles.tsv: a header "family" and the species in natural name
order, then one line per family with at least one living copy (families
numbered from 1).

With --replicates N, writes N files named after the output with _1, _2, ...
before the extension (replicate 1 uses the seed itself).

example:
  vornix profiles species.nwk --duplication 0.2 --loss 0.25 --seed 3 -o profiles.tsv"""


def configure(parser: argparse.ArgumentParser) -> None:
    add_tree(parser, optional=False)
    add_family_rates(parser)
    runs = parser.add_argument_group("runs")
    runs.add_argument("--replicates", type=int, default=None, metavar="N",
                      help="independent runs, written to one file each (default: one run)")
    runs.add_argument("--copies", type=int, default=None, metavar="K",
                      help="split each run into K independent copies run side by side: a different but "
                           "equally distributed realisation (default: one serial run)")
    runs.add_argument("--threads", type=int, default=None, metavar="T",
                      help="worker threads for the copies; results never depend on it (default: one per core)")
    parser.add_argument("-o", "--output", metavar="FILE", default=None,
                        help="TSV file to write (default: standard output; needed with --replicates)")


def write_profile(sim: ProfileSimulation, out: TextIO, chunk: int = 256) -> int:
    """Writes the profile in the layout of Profiles.tsv; returns the number
    of family lines. Families are laid out `chunk` at a time, so memory stays
    at species x chunk counts whatever the number of families."""
    species = sim.species
    order = sorted(range(len(species)), key=lambda i: natural_key(species[i]))
    column_of = np.empty(len(species), dtype=np.int64)
    column_of[order] = np.arange(len(species))
    out.write("family\t" + "\t".join(species[i] for i in order) + "\n")
    rows = column_of[sim._profile.species_rows()] if len(sim.vals) else np.zeros(0, dtype=np.int64)
    cols = sim.cols.astype(np.int64)
    by_family = np.argsort(cols, kind="stable")
    cols, rows, vals = cols[by_family], rows[by_family], sim.vals[by_family]
    families = np.unique(cols)
    for a in range(0, len(families), chunk):
        block = families[a:a + chunk]
        lo, hi = np.searchsorted(cols, [block[0], block[-1] + 1])
        dense = np.zeros((len(block), len(species)), dtype=np.uint32)
        dense[np.searchsorted(block, cols[lo:hi]), rows[lo:hi]] = vals[lo:hi]
        for family, counts in zip(block.tolist(), dense.tolist()):
            out.write(f"{family + 1}\t" + "\t".join(map(str, counts)) + "\n")
    return len(families)


def replicate_path(output: str, k: int) -> str:
    path = Path(output)
    return str(path.with_name(f"{path.stem}_{k}{path.suffix}"))


def run(args: argparse.Namespace) -> None:
    from vornix._checks import seed as check_seed
    from vornix._seeds import replicate_seed
    from vornix.cli._common import UserError
    from vornix.profiles import simulate_profiles

    tree, tree_source = load_tree(args)
    kwargs = family_kwargs(args)
    kwargs["seed"] = check_seed(kwargs["seed"])
    if args.replicates is not None and args.output is None:
        raise UserError("--replicates needs --output (one file per replicate)")
    n = 1 if args.replicates is None else args.replicates
    if n < 1:
        raise UserError(f"--replicates must be at least 1, got {n}")
    written = []
    with progress(args, total=n, unit="run", description="simulating") as bar:
        for k in range(1, n + 1):
            sim = simulate_profiles(tree, **dict(kwargs, seed=replicate_seed(kwargs["seed"], k)),
                                    copies=args.copies, threads=args.threads)
            assert not isinstance(sim, list)
            if args.output is None:
                write_profile(sim, sys.stdout)
            else:
                path = args.output if args.replicates is None else replicate_path(args.output, k)
                with open(path, "w", encoding="utf-8") as out:
                    lines = write_profile(sim, out)
                written.append((path, lines))
            bar.update()
    if args.output is not None:
        record = (Path(args.output).with_suffix(".run.json") if args.replicates is None
                  else Path(replicate_path(args.output, 0)).with_name(Path(args.output).stem + ".run.json"))
        write_run_record(str(record), NAME, tree_source,
                         dict(kwargs, replicates=args.replicates, copies=args.copies, threads=args.threads),
                         {"files": [{"path": p, "families": lines} for p, lines in written]})
        for path, lines in written:
            say(args, f"{path}: {lines} families x {len(tree.extant_names)} species")
        say(args, f"{record}: the arguments, seed and version of this run (seed {kwargs['seed']})")

"""``vornix simulate``: gene families along a species tree, written to an
output directory."""

from __future__ import annotations

import argparse
import itertools
import os
import tempfile
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from vornix.cli._cluster import add_cluster_options
from vornix.cli._common import UserError, progress
from vornix.cli._replicates import run_replicates
from vornix.cli._options import add_family_rates, add_tree, family_kwargs, load_tree, write_run_record

if TYPE_CHECKING:  # pragma: no cover
    from vornix.families import FamilySimulation, WriteCounts
    from vornix.species_tree import SpeciesTree

NAME = "simulate"
SUMMARY = "simulate gene families along a species tree and write every table and gene tree"
DESCRIPTION = """\
Simulates gene families along a dated species tree (origination,
duplication, transfer, loss, and speciation at every node) and writes the
output directory: gene_family_events/ (one event table per family),
gene_trees/ (complete and extant gene trees in Newick), Transfers.tsv,
Gene_family_summary.tsv, Profiles.tsv, Presence.tsv, and run.json (every
argument, the seed and the version, to repeat the run exactly). With
--recphyloxml, gene_trees/ also holds each family's true reconciliation in
recPhyloXML ({family}_reconciled.xml). `vornix report DIR` draws a finished
run as one web page, DIR/report.html.

Without a species tree it runs on a small embedded example tree.

With --replicates N it runs N independent simulations and writes them to
DIR/replicate_1 ... DIR/replicate_N (replicate 1 uses the seed itself,
replicate k a seed derived from the seed and k only), with DIR/run.json
listing each replicate's seed. They run on --workers N processes of this
machine or on the Dask cluster of --scheduler, whose workers write the
directories themselves (DIR must be on a file system they share); the
output is the same wherever they run.

example:
  vornix simulate species.nwk --duplication 0.2 --transfer 0.1 --loss 0.25 \\
      --origination 1 --seed 7 --out DIR
  vornix simulate species.nwk --seed 7 --replicates 100 --out DIR --workers 2"""


def configure(parser: argparse.ArgumentParser) -> None:
    add_tree(parser, optional=True)
    add_family_rates(parser)
    parser.add_argument("--out", metavar="DIR", default=None,
                        help="output directory, created if missing; files of the same names are replaced "
                             "(default: a new directory under the system's temporary directory)")
    parser.add_argument("--recphyloxml", action="store_true",
                        help="also write each family's true reconciliation in recPhyloXML, "
                             "gene_trees/{family}_reconciled.xml")
    parser.add_argument("--replicates", type=int, default=None, metavar="N",
                        help="independent runs, written to DIR/replicate_1 .. DIR/replicate_N (needs --out)")
    add_cluster_options(parser)


def run(args: argparse.Namespace) -> None:
    from vornix.families import simulate_families

    if args.replicates is not None:
        run_replicates(args)
        return
    if args.scheduler is not None or args.workers is not None:
        raise UserError("--scheduler and --workers run replicates: give --replicates N")
    tree, tree_source = load_tree(args)
    kwargs = family_kwargs(args)
    outdir = args.out if args.out is not None else tempfile.mkdtemp(prefix="vornix_simulation_")
    with progress(args, total=3 if args.recphyloxml else 2, unit="step", description="simulating") as bar:
        sim = simulate_families(tree, **kwargs)
        bar.update()
        bar.set_description("writing")
        try:
            counts = sim.write(outdir)
        except OSError as error:
            # The writer's messages do not name the directory.
            raise UserError(f"cannot write {outdir}: {error}") from None
        bar.update()
        if args.recphyloxml:
            bar.set_description("writing recPhyloXML")
            sim.write_recphyloxml(outdir)
            bar.update()
    arguments = dict(kwargs, seed=sim.parameters["seed"])
    write_run_record(os.path.join(outdir, "run.json"), NAME, tree_source, arguments, counts._asdict())
    if not args.quiet:
        report(tree, sim, counts, Path(outdir), tree_source)


def report(tree: SpeciesTree, sim: FamilySimulation, counts: WriteCounts, outdir: Path,
           tree_source: dict[str, Any]) -> None:
    """What was simulated and written, with a few lines to look at."""
    where = "the embedded example tree" if tree_source.get("example") else tree_source["path"]
    names = tree.extinct_names
    extinct = ", ".join(names[:6]) + (f", ... ({len(names)} in all)" if len(names) > 6 else "") if names else "none"
    print(f"Species tree: {where}: {tree.n_nodes} nodes, {len(tree.extant_names)} extant species, "
          f"extinct lineages: {extinct}")
    print(f"Seed {sim.parameters['seed']}: {counts.families} gene families, {counts.records} event records, "
          f"{counts.extant_leaves} extant species")
    print(f"\nOutput directory: {outdir}")
    trees = os.listdir(outdir / "gene_trees")
    print(f"  gene_family_events/: {len(os.listdir(outdir / 'gene_family_events'))} event tables")
    print(f"  gene_trees/: {sum(p.endswith('_complete.nwk') for p in trees)} complete trees, "
          f"{sum(p.endswith('_extant.nwk') for p in trees)} extant trees"
          + (f", {sum(p.endswith('_reconciled.xml') for p in trees)} reconciliations in recPhyloXML"
             if any(p.endswith('_reconciled.xml') for p in trees) else ""))
    for name in ("Transfers.tsv", "Gene_family_summary.tsv", "Profiles.tsv", "Presence.tsv"):
        with open(outdir / name, encoding="utf-8") as f:
            n_lines = sum(1 for _ in f) - 1
        print(f"  {name}: {n_lines} lines after the header")
    print("  run.json: the arguments, seed and version of this run")
    _show("Gene_family_summary.tsv (first lines):", _head(outdir / "Gene_family_summary.tsv", 6))
    _show("Profiles.tsv (copies per species, columns in natural name order):",
          _head(outdir / "Profiles.tsv", 6))
    family = _sample_family(sim)
    if family is not None:
        complete, extant = sim.gene_trees(family)
        _show(f"gene_family_events/{family}_events.tsv (first lines):",
              _head(outdir / "gene_family_events" / f"{family}_events.tsv", 8))
        _show(f"gene_trees/{family}_complete.nwk (every copy that ever existed; LOSS_ marks lost copies):",
              [complete.strip()], width=1 << 30)
        _show(f"gene_trees/{family}_extant.nwk (the surviving copies, as species_geneid):", [(extant or "").strip()], width=1 << 30)


def _sample_family(sim: FamilySimulation) -> int | None:
    """A family whose extant tree is small enough to read: the one spread
    over the most species with at most eight surviving copies."""
    copies = sim.extant_copies()
    family = copies["family"]
    if len(family) == 0:
        return None
    n_copies = np.bincount(family)
    pairs = np.unique(np.stack([family, copies["species"]]), axis=1)
    n_species = np.bincount(pairs[0], minlength=len(n_copies))
    candidates = np.flatnonzero((n_copies >= 2) & (n_copies <= 8))
    if candidates.size == 0:
        candidates = np.flatnonzero(n_copies > 0)
    best = max(candidates.tolist(), key=lambda f: (int(n_species[f]), -int(n_copies[f]), -f))
    return int(best)


def _head(path: Path, n: int) -> list[str]:
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\n") for line in itertools.islice(f, n)]


def _show(title: str, lines: list[str], width: int = 300) -> None:
    print(f"\n{title}")
    for line in lines:
        print("   ", line if len(line) <= width else line[:width] + " ...")



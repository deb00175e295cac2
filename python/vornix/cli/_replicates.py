"""``vornix simulate --replicates N --out DIR``: N output directories,
DIR/replicate_1 .. DIR/replicate_N, and DIR/run.json."""

from __future__ import annotations

import argparse
import os

from vornix.cli._cluster import check_cluster_options, compute
from vornix.cli._common import UserError, progress, say
from vornix.cli._options import family_kwargs, load_tree, write_run_record

__all__ = ["run_replicates"]


def run_replicates(args: argparse.Namespace) -> None:
    from vornix._checks import seed as check_seed
    from vornix.replicates import write_replicates

    check_cluster_options(args)
    if args.out is None:
        raise UserError("--replicates needs --out (one directory per replicate)")
    n = args.replicates
    if not 1 <= n <= 1 << 32:
        raise UserError(f"--replicates must be at least 1, got {n}")
    tree, tree_source = load_tree(args)
    kwargs = family_kwargs(args)
    kwargs["seed"] = check_seed(kwargs["seed"])
    try:
        os.makedirs(args.out, exist_ok=True)
    except OSError as error:
        raise UserError(f"cannot write {args.out}: {error.strerror or error}") from None
    with compute(args) as (client, workers), \
            progress(args, total=n, unit="replicate", description="replicates") as bar:
        try:
            done = write_replicates(tree, args.out, n, **kwargs, recphyloxml=args.recphyloxml, workers=workers,
                                    client=client, progress=bar)
        except OSError as error:
            raise UserError(f"cannot write {args.out}: {error}") from None
    record = os.path.join(args.out, "run.json")
    write_run_record(record, "simulate", tree_source, dict(kwargs, replicates=n, recphyloxml=args.recphyloxml),
                     {"replicates": [{"directory": os.path.basename(r.path), "seed": r.seed, "families": r.families,
                                      "records": r.records, "extant_leaves": r.extant_leaves} for r in done]})
    for r in done:
        say(args, f"{r.path}: seed {r.seed}, {r.families} gene families, {r.records} event records, "
                  f"{r.extant_leaves} extant species")
    say(args, f"{record}: the arguments, the seed of the run and of each replicate, and the version")

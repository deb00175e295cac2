"""``vornix fit``: maximum-likelihood duplication, transfer and loss rates as JSON."""

from __future__ import annotations

import argparse
import json
import math
import sys
import warnings
from typing import Any

from vornix.cli._cluster import check_cluster_options, compute
from vornix.cli._common import UserError, say
from vornix.cli._scoring_args import add_inputs, add_model, load_inputs

NAME = "fit"
SUMMARY = "estimate duplication, transfer and loss rates from gene trees (maximum likelihood)"
DESCRIPTION = """\
Fits the duplication, transfer and loss rates that maximise the likelihood
of the gene trees (one tree per family) and writes JSON with the keys dup,
transfer, loss, loglik, stderr (approximate standard errors, in rate units),
converged, evaluations, n_steps and model. Non-finite numbers are written as
null. Dated rates are per lineage per unit of the species tree's time;
undated rates are per-branch event weights, not comparable with them.

example:
  vornix fit species.nwk trees/ --model dated -o fit.json
  vornix fit species.nwk trees/ --model undated --fix transfer=0
  vornix fit species.nwk trees/ --model undated --scheduler tcp://scheduler-host:8786"""


def _rate_setting(text: str) -> tuple[str, float]:
    name, sep, value = text.partition("=")
    if not sep:
        raise argparse.ArgumentTypeError(f"expected RATE=VALUE, got {text!r}")
    try:
        return name.strip(), float(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{value!r} is not a number") from None


def configure(parser: argparse.ArgumentParser) -> None:
    add_inputs(parser)
    add_model(parser, "dated")
    parser.add_argument("--n-steps", type=int, default=None, metavar="N",
                        help="dated model: least Euler steps per time slice (default: chosen from the data)")
    parser.add_argument("--fix", type=_rate_setting, action="append", default=[], metavar="RATE=VALUE",
                        help="hold a rate (dup, transfer or loss) at a value; repeatable (default: every rate is fitted)")
    parser.add_argument("--start", type=_rate_setting, action="append", default=[], metavar="RATE=VALUE",
                        help="starting value of a free rate; repeatable (default: 0.1 each)")
    parser.add_argument("--no-condition", action="store_true",
                        help="do not condition on families leaving at least one living gene")
    parser.add_argument("-o", "--output", metavar="FILE", default=None,
                        help="JSON file to write (default: standard output)")


def _finite(x: float) -> float | None:
    return x if math.isfinite(x) else None


def _settings(pairs: list[tuple[str, float]], flag: str) -> dict[str, float]:
    out: dict[str, float] = {}
    for name, value in pairs:
        if name in out:
            raise UserError(f"{flag} {name} given twice")
        out[name] = value
    return out


def run(args: argparse.Namespace) -> None:
    from vornix import fit_rates

    check_cluster_options(args)
    species, genes = load_inputs(args)
    with warnings.catch_warnings(), compute(args) as (client, workers):
        warnings.simplefilter("ignore", RuntimeWarning)  # reported below in one line
        fit = fit_rates(species, genes, model=args.model, n_steps=args.n_steps, origination=args.origination,
                        fixed=_settings(args.fix, "--fix"), start=_settings(args.start, "--start"),
                        condition_on_survival=not args.no_condition, workers=workers, rooting=args.rooting,
                        progress=False if args.quiet else None, client=client)
    report: dict[str, Any] = {k: _finite(v) for k, v in fit.rates.items()}
    report.update({
        "loglik": _finite(fit.loglik),
        "stderr": {k: _finite(v) for k, v in fit.stderr.items()},
        "converged": fit.converged,
        "evaluations": fit.evaluations,
        "n_steps": fit.n_steps,
        "model": fit.model,
    })
    text = json.dumps(report, indent=2) + "\n"
    if args.output is None:
        sys.stdout.write(text)
    else:
        with open(args.output, "w", encoding="utf-8") as out:
            out.write(text)
        say(args, f"{args.output}: " + ", ".join(f"{k} {v:.6g}" for k, v in fit.rates.items())
            + f", log-likelihood {fit.loglik:.6f}" + ("" if fit.converged else " (not converged)"))
    if not fit.converged:
        why = fit.message if math.isfinite(fit.loglik) else f"log-likelihood {fit.loglik}"
        print(f"vornix fit: warning: the optimiser did not converge ({why})", file=sys.stderr)

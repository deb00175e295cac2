"""``vornix report``: a finished simulation as one self-contained web page."""

from __future__ import annotations

import argparse

from vornix.cli._common import say

NAME = "report"
SUMMARY = "write DIR/report.html: a web page of a vornix simulate run, with its figures"
DESCRIPTION = """\
Writes DIR/report.html for a directory written by `vornix simulate`: the
run's arguments from run.json, summary tables (events, families, the most
frequent transfers), and figures of the species tree with its transfers,
the events through the run, the family sizes and the reconciled gene trees
of a few representative families. The page holds everything itself (images
inline), so it opens in any browser without network access. The run is
repeated from run.json's seed; this needs the run's species tree file
(or --species-tree) and matplotlib (pip install 'vornix[plot]').

example:
  vornix simulate species.nwk --seed 7 --out DIR && vornix report DIR"""


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("directory", metavar="DIR", help="output directory of vornix simulate (holds run.json)")
    parser.add_argument("--species-tree", metavar="FILE", default=None,
                        help="the run's species tree, when the file run.json names has moved")
    parser.add_argument("--families", type=int, default=3, metavar="N",
                        help="representative families to draw (default: %(default)s)")
    parser.add_argument("-o", "--output", metavar="FILE", default=None,
                        help="where to write the page (default: DIR/report.html)")


def run(args: argparse.Namespace) -> None:
    from vornix.report import write_report

    path = write_report(args.directory, species_tree=args.species_tree, families=args.families,
                        output=args.output)
    say(args, f"Report: {path}")

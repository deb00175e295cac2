"""A finished ``vornix simulate`` run as one self-contained web page.

:func:`write_report` writes ``DIR/report.html``: the run's arguments from
run.json, summary tables, and the pictures of :mod:`vornix.plot` for the
whole run and for a few representative families, all inline (PNG images in
the page itself), so the file opens anywhere without network access. Needs
matplotlib: ``pip install 'vornix[plot]'``.
"""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np

from vornix.report._families import FamilyCounts, family_counts, representative_families
from vornix.report._html import esc, figure, page, table
from vornix.report._run import Run, load_run

__all__ = ["write_report", "render_report"]


def _run_section(run: Run) -> str:
    record, tree = run.record, run.tree
    extinct = tree.extinct_names
    rows = [
        ("directory", os.path.abspath(run.directory)),
        ("command", "vornix " + " ".join(str(a) for a in record.get("argv", [])) if record.get("argv")
         else "vornix simulate"),
        ("vornix version", record.get("version", "")),
        ("seed", record.get("seed")),
        ("species tree", run.tree_source),
        ("nodes", tree.n_nodes),
        ("extant species", len(tree.extant_names)),
        ("extinct lineages", f"{len(extinct)}" + (f": {', '.join(extinct[:12])}" + (", ..." if len(extinct) > 12
                                                                                      else "") if extinct else "")),
        ("age (root to present)", float(tree.age - tree.time[tree.root])),
    ]
    arguments = record["arguments"]
    argument_rows = [(k, "none" if v is None else v) for k, v in arguments.items()]
    results = record.get("results") or {}
    return ("<h2>The run</h2>" + table(("", ""), rows) + "<h3>Arguments (run.json)</h3>" +
            table(("argument", "value"), argument_rows) + "<h3>What was written</h3>" +
            table(("", "count"), [(k.replace("_", " "), v) for k, v in results.items()]) +
            '<p class="note">The figures and tables below come from repeating the run from run.json\'s arguments '
            "and seed, which gives back the recorded counts exactly.</p>")


def _summary_section(run: Run, fc: FamilyCounts) -> str:
    sim, tree = run.sim, run.tree
    ev = sim.events.count()
    has_parent = tree.parent >= 0
    branch_length = float((tree.time[has_parent] - tree.time[tree.parent[has_parent]]).sum())
    names = {"O": "origination", "D": "duplication", "T": "transfer", "L": "loss", "S": "speciation"}
    event_rows = [(f"{names[k]} ({k})", v, v / branch_length if branch_length > 0 else 0.0) for k, v in ev.items()]
    surviving = fc.extant_copies > 0
    extant = fc.extant_copies[surviving]
    present = fc.species_present[surviving]
    family_rows = [
        ("families", sim.n_families),
        ("founding families (at the root)", int(sim.parameters["initial_size"])),
        ("families with extant copies", int(surviving.sum())),
        ("families that died out", int((~surviving).sum())),
        ("extant copies, all families", int(extant.sum())),
        ("extant copies per surviving family: median / max",
         f"{np.median(extant):g} / {int(extant.max())}" if len(extant) else "-"),
        ("species present per surviving family: median / max",
         f"{np.median(present):g} / {int(present.max())}" if len(present) else "-"),
    ]
    ev_table = sim.events
    t = ev_table.kind == 2
    transfer_rows = []
    if t.any():
        key = ev_table.donor[t] * tree.n_nodes + ev_table.recipient[t]
        pairs, n = np.unique(key, return_counts=True)
        order = np.lexsort((pairs, -n))[:10]
        transfer_rows = [(str(tree.names[p // tree.n_nodes]), str(tree.names[p % tree.n_nodes]), int(c))
                         for p, c in zip(pairs[order].tolist(), n[order].tolist())]
    return ("<h2>Summary</h2><h3>Events</h3>" +
            table(("event", "count", "per unit of branch length"), event_rows) +
            f'<p class="note">Total branch length of the species tree: {branch_length:.6g}.</p>'
            "<h3>Families</h3>" + table(("", ""), family_rows) +
            ("<h3>Most frequent transfers</h3>" +
             table(("donor branch", "recipient branch", "transfers"), transfer_rows) if transfer_rows else ""))


def render_report(run: Run, n_families: int = 3) -> str:
    """The report page of a loaded run, as HTML text."""
    from vornix import plot

    sim, tree = run.sim, run.tree
    counts = family_counts(sim)
    sections = [f"<h1>vornix simulation report</h1><p class=\"note\">{esc(os.path.abspath(run.directory))}</p>",
                _run_section(run), _summary_section(run, counts), "<h2>The whole run</h2>"]
    sections.append(figure(plot.species_tree(tree, transfers=sim).figure,
                           "The species tree on its time axis: extinct lineages grey and dashed; arrows join "
                           "transfer donors to recipients, wider for more transfers.", "species tree"))
    sections.append(figure(plot.event_rates(sim).figure,
                           "Events per unit time through the run, by kind, and the number of living species "
                           "branches.", "event rates"))
    sections.append(figure(plot.family_sizes(sim),
                           "Family sizes at the present: how many families have each number of extant copies, "
                           "and copies against the species they are found in.", "family sizes"))
    picks = representative_families(counts, n_families)
    if picks:
        sections.append("<h2>Representative families</h2>")
    for family, why in picks:
        k = family - 1
        branch = counts.origin_branch[k]
        row = (family, float(counts.origin_time[k]), str(tree.names[branch]) if branch >= 0 else "",
               *(int(counts.events[x][k]) for x in "DTLS"), int(counts.extant_copies[k]),
               int(counts.species_present[k]))
        sections.append(f"<h3>Family {family}: {esc(why)}</h3>" + table(
            ("family", "origin time", "origin branch", "D", "T", "L", "S", "extant copies", "species present"),
            [row]))
        sections.append(figure(plot.reconciliation(sim, family).figure,
                               f"Family {family}: its complete gene tree drawn inside the species tree (files "
                               f"gene_trees/{family}_complete.nwk and gene_family_events/{family}_events.tsv).",
                               f"reconciliation of family {family}"))
    return page(f"vornix report: {os.path.basename(os.path.abspath(run.directory))}", sections)


def write_report(directory: str | os.PathLike[str], *, species_tree: str | os.PathLike[str] | None = None,
                 families: int = 3, output: str | os.PathLike[str] | None = None) -> Path:
    """Writes the report of a ``vornix simulate`` output directory.

    Parameters
    ----------
    directory : str or path
        A directory written by ``vornix simulate`` (it holds run.json).
    species_tree : str or path, optional
        The run's species tree, when the file run.json names has moved.
    families : int, default 3
        How many representative families to draw.
    output : str or path, optional
        Where to write the page; default ``directory/report.html``.

    Returns
    -------
    pathlib.Path
        The page written.

    Raises
    ------
    OSError
        The directory has no run.json, or the page cannot be written.
    ValueError
        run.json is not a simulate record, the species tree is missing or
        changed, or repeating the run does not give the recorded counts.

    Examples
    --------
    >>> from vornix.cli import main
    >>> main(["simulate", "-q", "--seed", "3", "--out", "run"])
    0
    >>> write_report("run").name
    'report.html'
    """
    if isinstance(families, bool) or not isinstance(families, int) or families < 0:
        raise ValueError(f"families must be an integer >= 0, got {families!r}")
    from vornix._optional import require

    require("matplotlib", "the report")
    run = load_run(directory, species_tree)
    text = render_report(run, families)
    path = Path(output) if output is not None else Path(os.fsdecode(directory)) / "report.html"
    path.write_text(text, encoding="utf-8")
    return path

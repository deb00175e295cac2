"""Pictures of species trees and simulated gene families, with matplotlib.

Every function returns the matplotlib figure or axes it drew on and shows
nothing by itself: save it with ``savefig`` or display it in a notebook.
Without `ax`, figures are made without pyplot, so no window opens and any
matplotlib backend works. Trees of thousands of species stay readable:
labels are thinned, and a reconciliation draws only the part of the species
tree its family lived in. Needs matplotlib: ``pip install 'vornix[plot]'``.

Examples
--------
>>> import vornix, vornix.plot
>>> sim = vornix.simulate_families(vornix.examples.example_tree(), transfer=0.15, loss=0.3, seed=11)
>>> vornix.plot.reconciliation(sim, 2).figure.savefig("reconciliation.png")
>>> vornix.plot.species_tree(sim.tree, transfers=sim).get_title()
'Species tree: 12 extant species, 3 extinct lineages, 375 transfers'
"""

from __future__ import annotations

from vornix.plot._reconciliation import reconciliation
from vornix.plot._runs import event_rates, family_sizes
from vornix.plot._species import species_tree

__all__ = ["species_tree", "reconciliation", "family_sizes", "event_rates"]

"""vornix.plot: what each picture draws, checked against the run it draws."""
import random
import sys

import matplotlib
import numpy as np
import pytest

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.collections import LineCollection, PathCollection  # noqa: E402
from matplotlib.patches import FancyArrowPatch  # noqa: E402

import vornix  # noqa: E402
import vornix.plot  # noqa: E402
from tree_factory import random_arrays  # noqa: E402
from vornix import SpeciesTree, simulate_families  # noqa: E402
from vornix.plot._reconciliation import lanes  # noqa: E402


def random_sim(seed, n_leaves=12, **rates):
    rng = random.Random(seed)
    tree = SpeciesTree.from_arrays(*random_arrays(rng, n_leaves))
    kw = dict(duplication=0.3, transfer=0.4, loss=0.4, origination=0.5, initial_size=4, seed=seed)
    kw.update(rates)
    return simulate_families(tree, **kw)


def segments(ax):
    return np.concatenate([np.asarray(c.get_segments()) for c in ax.collections if isinstance(c, LineCollection)])


def test_species_tree_branches_sit_at_their_dates_and_rows():
    for seed in range(4):
        sim = random_sim(seed, n_leaves=15)
        tree = sim.tree
        ax = vornix.plot.species_tree(tree)
        seg = segments(ax)
        flat = seg[seg[:, 0, 1] == seg[:, 1, 1]]
        # One horizontal line per node, from its parent's date to its own.
        starts = {(round(a, 9), round(b, 9)) for (a, _), (b, _) in flat.tolist()}
        for v in range(tree.n_nodes):
            p = tree.parent[v]
            begin = tree.time[p] if p >= 0 else tree.time[v]
            assert (round(begin, 9), round(tree.time[v], 9)) in starts
        rows = {}
        for (a, y), (b, _) in flat.tolist():
            rows.setdefault(round(b, 9), []).append(y)
        # Leaves take distinct rows; each leaf label is drawn (small tree).
        texts = [t.get_text() for t in ax.texts]
        assert sorted(texts) == sorted(tree.names[tree.leaves].tolist())
        leaf_rows = [t.xyann and t.xy[1] for t in ax.texts]
        assert len(set(leaf_rows)) == len(leaf_rows)
        # Extinct lineages are drawn apart from living ones.
        colours = {tuple(np.round(c.get_colors()[0], 3)) for c in ax.collections if isinstance(c, LineCollection)}
        has_extinct_lineage = bool(tree.extinct_names)
        assert len(colours) == (2 if has_extinct_lineage else 1)
        plt.close("all")


def test_transfer_arrows_join_donor_and_recipient_weighted_by_count():
    sim = random_sim(3, n_leaves=10, transfer=1.5)
    ev = sim.events
    t = ev.kind == 2
    pairs = {}
    for d, r, when in zip(ev.donor[t].tolist(), ev.recipient[t].tolist(), ev.time[t].tolist()):
        pairs.setdefault((d, r), []).append(when)
    ax = vornix.plot.species_tree(sim.tree, transfers=sim)
    arrows = [p for p in ax.patches if isinstance(p, FancyArrowPatch)]
    assert len(arrows) == min(len(pairs), vornix.plot._species.MAX_ARROWS)
    assert ax.get_title().endswith(f"{int(t.sum())} transfers")
    # Arrow width follows the pair's count; the busiest pair is drawn widest.
    widths = [a.get_linewidth() for a in arrows]
    counts = sorted((len(v) for v in pairs.values()), reverse=True)[:len(arrows)]
    assert widths == sorted(widths, reverse=True)
    assert (np.diff(widths) < 0).sum() == (np.diff(counts) < 0).sum()
    # Rows given by name give the same arrows as the event table.
    rows = [(sim.tree.names[d], sim.tree.names[r], when) for (d, r), ws in pairs.items() for when in ws]
    again = vornix.plot.species_tree(sim.tree, transfers=rows)
    assert sorted(a.get_linewidth() for a in again.patches) == sorted(widths)
    with pytest.raises(KeyError, match="no node is called 'nowhere'"):
        vornix.plot.species_tree(sim.tree, transfers=[("nowhere", 0, 1.0)])
    with pytest.raises(ValueError, match="rows of"):
        vornix.plot.species_tree(sim.tree, transfers=[(0, 1)])
    plt.close("all")


def test_lanes_never_overlap_on_one_branch():
    rng = np.random.default_rng(7)
    for _ in range(50):
        n = int(rng.integers(1, 60))
        species = rng.integers(0, 4, n)
        start = rng.uniform(0, 10, n)
        end = start + rng.exponential(2.0, n)
        lane, width = lanes(species, start, end)
        for b in np.unique(species):
            on = np.flatnonzero(species == b)
            assert (width[on] == width[on[0]]).all() and (lane[on] < width[on]).all()
            for i in on:
                for j in on:
                    if i < j and lane[i] == lane[j]:
                        assert end[i] <= start[j] or end[j] <= start[i]


def test_reconciliation_marks_every_event_of_the_family():
    sim = random_sim(11, n_leaves=14)
    for family in sim.families.tolist()[:6]:
        rec = sim.reconciliation(family)
        ax = vornix.plot.reconciliation(sim, family)
        marks = {c.get_label(): len(c.get_offsets()) for c in ax.collections
                 if isinstance(c, PathCollection) and not c.get_label().startswith("_")}
        count = sim.family_events(family).count()
        expected = {"duplication": count["D"], "transfer": count["T"], "loss": count["L"],
                    "speciation": count["S"], "extant copy": int((sim.extant_copies()["family"] == family).sum())}
        for label, n in expected.items():
            assert marks.get(label, 0) == n, (family, label)
        assert marks.get("end of an extinct lineage", 0) == rec.count()["extinct"]
        # Every gene line lies inside its branch: in time and within its tube.
        tree = sim.tree
        lay = vornix.plot._layout.layout(tree, vornix.plot._layout.ancestors_closure(tree, rec.species))
        gene_lines = [c for c in ax.collections if isinstance(c, LineCollection)][-1 - (count["T"] > 0)]
        gene_lines = gene_lines.get_segments()
        for row in range(len(rec)):
            (x0, y0), (x1, y1) = gene_lines[row]
            b = rec.species[row]
            p = tree.parent[b]
            assert (tree.time[p] if p >= 0 else tree.time[b]) <= x0 <= x1 <= tree.time[b]
            assert abs(y0 - lay.y[b]) < vornix.plot._reconciliation.TUBE
        plt.close("all")


def test_event_rates_and_family_sizes_account_for_every_event_and_family():
    sim = random_sim(5, n_leaves=20)
    ax = vornix.plot.event_rates(sim, bins=17)
    span = sim.tree.age - sim.tree.time[sim.tree.root]
    count = sim.events.count()
    for line in ax.get_lines():
        label = line.get_label()
        letter = {"origination": "O", "duplication": "D", "transfer": "T", "loss": "L"}[label.split(" ")[0]]
        assert round(float(np.sum(line.get_ydata()) * span / 17)) == count[letter]
    fig = vornix.plot.family_sizes(sim)
    hist_ax, scatter_ax = fig.axes
    profile = sim.profile()
    copies, present = profile.sum(axis=0), (profile > 0).sum(axis=0)
    alive = copies > 0
    assert sum(p.get_height() for p in hist_ax.patches) == alive.sum()
    points = scatter_ax.collections[0].get_offsets()
    assert sorted(map(tuple, np.asarray(points).tolist())) == sorted(zip(copies[alive].tolist(),
                                                                          present[alive].tolist()))
    with pytest.raises(ValueError, match="bins"):
        vornix.plot.event_rates(sim, bins=0)
    plt.close("all")


def test_large_trees_thin_their_labels_and_nothing_opens_a_window():
    rng = random.Random(1)
    tree = SpeciesTree.from_arrays(*random_arrays(rng, 1000))
    sim = simulate_families(tree, duplication=0.2, transfer=0.2, loss=0.35, origination=0.05, initial_size=20,
                            seed=1)
    ax = vornix.plot.species_tree(tree, transfers=sim)
    assert 0 < len(ax.texts) <= 60 and "thinned" in ax.get_xlabel()
    family = int(np.argmax(np.bincount(sim.events.family)))
    ax2 = vornix.plot.reconciliation(sim, family)
    assert len(ax2.texts) <= 60
    assert plt.get_fignums() == []  # figures are made without pyplot
    ax.figure.savefig(__import__("io").BytesIO(), format="png")


def test_without_matplotlib_the_message_names_the_extra(monkeypatch):
    sim = random_sim(1, n_leaves=4)
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(ImportError, match=r"plotting needs matplotlib.*vornix\[plot\]"):
        vornix.plot.species_tree(sim.tree)


def test_a_run_without_families_draws_without_warnings():
    import warnings

    sim = random_sim(2, n_leaves=5, initial_size=0, origination=0.0)
    assert sim.n_families == 0
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        vornix.plot.species_tree(sim.tree, transfers=sim).figure.savefig(__import__("io").BytesIO(), format="png")
        vornix.plot.event_rates(sim).figure.savefig(__import__("io").BytesIO(), format="png")
        vornix.plot.family_sizes(sim).savefig(__import__("io").BytesIO(), format="png")

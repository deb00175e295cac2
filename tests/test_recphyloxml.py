"""The true reconciliation in recPhyloXML, checked on random runs against
the complete Newick tree, the species tree and the event table."""
import os
import random
import xml.etree.ElementTree as ET

import numpy as np
import pytest

from recphyloxml_check import NS, Document, newick_tree
from tree_factory import random_arrays
from vornix import SpeciesTree, simulate_families
from vornix.cli import main

HEAVY = os.environ.get("VORNIX_HEAVY_TESTS") == "1"


def random_run(rng, names=None):
    parent, time, extant, root = random_arrays(rng, rng.randint(2, 18))
    tree = SpeciesTree.from_arrays(parent, time, extant, root, names(len(parent), extant) if names else None)
    sim = simulate_families(
        tree, duplication=rng.choice([0.0, 0.3, 0.8]), transfer=rng.choice([0.0, 0.4, 1.2]),
        loss=rng.choice([0.1, 0.5, 1.0]), origination=rng.choice([0.0, 0.5]), initial_size=rng.randint(1, 5),
        seed=rng.randrange(2 ** 64), cap=rng.choice([None, None, 0, 2]), replacement=rng.choice([0.0, 0.5]),
        distance_decay=rng.choice([None, 1.0]), allow_self=rng.random() < 0.2)
    return tree, sim


def gene_id(label):
    return int(label.rsplit("_", 1)[-1])


def check_family(tree, sim, family):
    doc = Document(sim.to_recphyloxml(family))
    names = tree.names.tolist()
    index = {name: i for i, name in enumerate(names)}

    # The species tree is the whole tree, extinct lineages included.
    assert set(doc.species) == set(names)
    for name, (up, kids) in doc.species.items():
        v = index[name]
        assert up == (None if tree.parent[v] < 0 else names[tree.parent[v]])
        assert kids == [names[c] for c in tree.children(v)]

    # The gene tree is the complete Newick tree, node for node, in order.
    complete, _ = sim.gene_trees(family)
    assert doc.gene_tree() == newick_tree(complete)

    events = sim.family_events(family)
    t_time = dict(zip(events.child2[events.kind == 2].tolist(), events.time[events.kind == 2].tolist()))
    origin = int(events.branch[events.kind == 0][0])
    where = {}  # clade -> species node the copy lives on
    tally = {"duplication": 0, "branchingOut": 0, "transferBack": 0, "speciation": 0, "loss": 0, "leaf": 0}
    for clade, up, k in doc.clades():
        evs = doc.events(clade)
        for tag, attrs in evs:
            tally[tag] += 1
            for value in attrs.values():
                if tag != "leaf" or value in names:
                    assert value in index, (tag, value)
        *backs, (end, attrs) = evs
        assert all(tag == "transferBack" for tag, _ in backs) and len(backs) <= 1
        assert end in ("duplication", "branchingOut", "speciation", "leaf", "loss")
        # Where the copy lives follows from how it came into being.
        if up is None:
            here = origin
        else:
            parent_end = doc.events(up)[-1]
            if parent_end[0] == "speciation":
                here = tree.children(index[parent_end[1]["speciesLocation"]])[k]
            else:
                here = where[up]
        if backs:
            assert up is not None and doc.events(up)[-1][0] == "branchingOut" and k == 1
            recipient = index[backs[0][1]["destinationSpecies"]]
            t = t_time[gene_id(clade.findtext(NS + "name"))]
            # The recipient branch is alive when the transfer happens.
            assert tree.time[tree.parent[recipient]] <= t < tree.time[recipient]
            here = recipient
        elif up is not None and doc.events(up)[-1][0] == "branchingOut":
            assert k == 0
        where[clade] = here
        assert index[attrs["speciesLocation"]] == here, (clade.findtext(NS + "name"), attrs)
        name = clade.findtext(NS + "name")
        if end == "leaf":
            assert tree.extant_leaf[here] and attrs["geneName"] == name == f"{names[here]}_{gene_id(name)}"
        elif end == "loss" and not name.startswith("LOSS_"):
            # A copy that ends with its extinct lineage.
            assert not tree.extant_leaf[here] and not tree.children(here)
    # Event counts equal the family's event table.
    count = events.count()
    bare_leaves = sum(1 for c, _, _ in doc.clades()
                      if not c.findall(NS + "clade") and c.findtext(NS + "name").isdigit())
    n_extant = int((sim.extant_copies()["family"] == family).sum())
    assert tally == {"duplication": count["D"], "branchingOut": count["T"], "transferBack": count["T"],
                     "speciation": count["S"], "loss": count["L"] + bare_leaves, "leaf": n_extant}
    return tally


def test_random_runs_round_trip_to_the_newick_tree_and_the_event_table():
    rng = random.Random(16)
    seen = {"transferBack": 0, "loss": 0, "speciation": 0, "duplication": 0}
    for _ in range(60 if HEAVY else 18):
        tree, sim = random_run(rng)
        for family in sim.families.tolist():
            tally = check_family(tree, sim, family)
            for key in seen:
                seen[key] += tally[key]
    assert min(seen.values()) > 20, seen  # the runs exercised every kind of event


def test_written_files_equal_the_texts_and_names_are_escaped(tmp_path):
    rng = random.Random(5)
    odd = ["a&b", "<x>", 'q"uote', "it's", "t:u", "é ü", "plain"]

    def names(n, extant):
        return [f"{rng.choice(odd)}{i}" for i in range(n)]

    tree, sim = random_run(rng, names)
    assert sim.write_recphyloxml(tmp_path) == sim.n_families
    for family in sim.families.tolist():
        text = (tmp_path / "gene_trees" / f"{family}_reconciled.xml").read_text(encoding="utf-8")
        assert text == sim.to_recphyloxml(family)
        doc = Document(text)
        assert set(doc.species) == set(tree.names.tolist())
        locations = {e.get("speciesLocation") for e in doc.root.iter() if e.get("speciesLocation")}
        assert locations <= set(tree.names.tolist())


def test_deep_trees_stay_linear_in_size_and_parse():
    # A caterpillar of 120 speciations: species and gene trees 120 levels deep.
    depth = 120
    parent, time, extant = [-1], [0.0], [False]
    spine = 0
    for level in range(1, depth + 1):
        for side in range(2):
            parent.append(spine)
            time.append(float(depth + 1) if side == 0 else float(level))
            extant.append(side == 0)
        spine = len(parent) - 1
        extant[spine] = level == depth
        time[spine] = float(depth + 1) if level == depth else float(level)
    tree = SpeciesTree.from_arrays(parent, time, extant, 0)
    sim = simulate_families(tree, duplication=0.0, transfer=0.0, loss=0.0, origination=0.0, initial_size=1,
                            seed=3)
    text = sim.to_recphyloxml(1)
    widest = max(len(line) - len(line.lstrip(" ")) for line in text.splitlines())
    assert widest == 2 * 30  # indentation stops growing at 30 levels
    doc = Document(text)
    assert len(doc.species) == tree.n_nodes
    assert doc.gene_tree() == newick_tree(sim.gene_trees(1)[0])


def test_reconciliation_columns_agree_with_the_document():
    rng = random.Random(9)
    tree, sim = random_run(rng)
    for family in sim.families.tolist():
        rec = sim.reconciliation(family)
        doc = Document(sim.to_recphyloxml(family))
        clades = [c for c, _, _ in doc.clades()]
        assert rec.labels() == [c.findtext(NS + "name") for c in clades]
        assert len(rec) == len(clades)
        kids = rec.children()
        assert np.array_equal(rec.parent[kids[kids >= 0]], np.repeat(np.flatnonzero(kids[:, 0] >= 0), 2))
        assert (rec.start <= rec.end).all() and (rec.parent[1:] >= 0).all() and rec.parent[0] == -1
        ends = {0: "leaf", 1: "duplication", 2: "branchingOut", 3: "loss", 4: "speciation", 5: "loss"}
        for row, clade in enumerate(clades):
            tag, attrs = doc.events(clade)[-1]
            assert tag == ends[int(rec.ends[row])] and attrs["speciesLocation"] == tree.names[rec.species[row]]
            back = [a for t, a in doc.events(clade) if t == "transferBack"]
            assert (rec.transferred_to[row] >= 0) == bool(back)


def test_names_xml_cannot_hold_are_refused_and_bad_columns_raise():
    tree = SpeciesTree.from_arrays([-1, 0, 0], [0.0, 1.0, 1.0], [False, True, True], 0, ["r", "A\x01", "B"])
    sim = simulate_families(tree, initial_size=1, seed=1)
    with pytest.raises(ValueError, match=r"species node 1 \('A\\x01'\).*XML"):
        sim.to_recphyloxml(1)
    from vornix import _native

    records, extant = sim._family_columns(1)
    with pytest.raises(ValueError, match="names has 2 entries but parent has 3"):
        _native.family_recphyloxml(records, extant, ["r", "A"], tree.parent, 0)
    with pytest.raises(ValueError, match="parent"):
        _native.family_recphyloxml(records, extant, ["r", "A", "B"], np.array([-1, 0, 7]), 0)
    with pytest.raises(ValueError, match="species node 5"):
        bad = list(records)
        bad[1] = np.full_like(records[1], 5)
        _native.family_reconciliations(tuple(bad), extant, ["r", "A", "B"], tree.parent, 0, 1.0)


def test_simulate_writes_reconciliations_on_request(tmp_path, capsys):
    assert main(["simulate", "--seed", "4", "--recphyloxml", "--out", str(tmp_path / "run")]) == 0
    assert "reconciliations in recPhyloXML" in capsys.readouterr().out
    trees = os.listdir(tmp_path / "run" / "gene_trees")
    n_complete = sum(p.endswith("_complete.nwk") for p in trees)
    assert sum(p.endswith("_reconciled.xml") for p in trees) == n_complete > 0
    assert main(["simulate", "-q", "--seed", "4", "--out", str(tmp_path / "plain")]) == 0
    assert not any(p.endswith(".xml") for p in os.listdir(tmp_path / "plain" / "gene_trees"))

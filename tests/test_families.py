"""simulate_families against the core: the same run as simulate_log, the
same files and gene trees as simulate_and_write, byte for byte."""
import filecmp
import os
import random

import numpy as np
import pytest

import vornix
import vornix_core as vc
from tree_factory import random_named_arrays
from vornix import SpeciesTree, simulate_families

HEAVY = os.environ.get("VORNIX_HEAVY_TESTS") == "1"


def random_case(rng):
    parent, time, extant, root, names = random_named_arrays(rng, rng.randint(2, 25))
    tree = SpeciesTree.from_arrays(parent, time, extant, root, names)
    kwargs = dict(
        duplication=rng.choice([0.0, 0.2, 0.5]), transfer=rng.choice([0.0, 0.3]), loss=rng.choice([0.1, 0.4]),
        origination=rng.choice([0.0, 0.5, 1.0]), initial_size=rng.randint(0, 6), seed=rng.randrange(2 ** 64),
        cap=rng.choice([None, None, 0, 1, 3]), replacement=rng.choice([0.0, 0.5, 1.0]),
        distance_decay=rng.choice([None, None, 0.0, 1.5]), allow_self=rng.random() < 0.3)
    return tree, kwargs


def core_kwargs(tree, kw):
    return dict(tree.core_args(), duplication=kw["duplication"], transfer=kw["transfer"], loss=kw["loss"],
                origination=kw["origination"], initial_size=kw["initial_size"],
                cap=-1 if kw["cap"] is None else kw["cap"], seed=kw["seed"], replacement=kw["replacement"],
                distance_decay=-1.0 if kw["distance_decay"] is None else kw["distance_decay"],
                allow_self=kw["allow_self"])


def same_directories(a, b):
    """Every file of a equals the file of the same path in b and vice versa."""
    for sub in ("", "gene_family_events", "gene_trees"):
        left = sorted(f for f in os.listdir(os.path.join(a, sub)) if f != "gene_family_events" and f != "gene_trees")
        right = sorted(f for f in os.listdir(os.path.join(b, sub)) if f != "gene_family_events" and f != "gene_trees")
        assert left == right, sub
        match, mismatch, errors = filecmp.cmpfiles(os.path.join(a, sub), os.path.join(b, sub), left, shallow=False)
        assert not mismatch and not errors, (sub, mismatch, errors)


def test_output_and_gene_trees_equal_simulate_and_write(tmp_path):
    rng = random.Random(2024)
    for case in range(60 if HEAVY else 15):
        tree, kw = random_case(rng)
        sim = simulate_families(tree, **kw)
        ours, theirs = tmp_path / f"ours{case}", tmp_path / f"core{case}"
        counts = sim.write(ours)
        expected = vc.simulate_and_write(**core_kwargs(tree, kw), names=tree.names.tolist(), total_age=tree.age,
                                         outdir=str(theirs))
        assert tuple(counts) == expected
        same_directories(ours, theirs)
        texts = sim.all_gene_trees()
        assert sorted(texts) == list(sim.families) == list(range(1, expected[0] + 1))
        for f in sim.families.tolist():
            complete = (theirs / "gene_trees" / f"{f}_complete.nwk").read_text()
            extant_path = theirs / "gene_trees" / f"{f}_extant.nwk"
            extant = extant_path.read_text() if extant_path.exists() else None
            assert texts[f] == (complete, extant)
            if f % 3 == 1:
                fresh = simulate_families(tree, **kw)  # single family, before any all_gene_trees()
                assert fresh.gene_trees(f) == (complete, extant)


def test_events_and_extant_content_equal_simulate_log():
    rng = random.Random(99)
    for _ in range(15):
        tree, kw = random_case(rng)
        sim = simulate_families(tree, **kw)
        records, extant = vc.simulate_log(**core_kwargs(tree, kw))
        ev = sim.events
        assert ev.kind.tobytes() == records[0]
        for column, values in zip(("branch", "time", "donor", "recipient", "gene", "child1", "child2"),
                                  (records[1], records[2], records[3], records[4], records[6], records[7], records[8])):
            assert getattr(ev, column).tolist() == values, column
        assert (ev.family - 1).tolist() == records[5]
        assert "".join(ev.letters.tolist()) == "".join("ODTLS"[k] for k in records[0])
        copies = sim.extant_copies()
        assert list(zip(copies["species"].tolist(), copies["gene"].tolist(), (copies["family"] - 1).tolist())) == [
            (leaf, gene, family) for leaf, genes in extant for gene, family in genes]
        # The profile: copies per (species, family), rows in tree.extant_names order.
        dense = sim.profile()
        assert dense.shape == (len(tree.extant_names), sim.n_families) and dense.dtype == np.uint32
        expected = np.zeros_like(dense)
        row = {node: r for r, node in enumerate(tree.extant.tolist())}
        for leaf, genes in extant:
            for _, family in genes:
                expected[row[leaf], family] += 1
        assert np.array_equal(dense, expected)
        assert np.array_equal(sim.profile(sparse=True).toarray(), expected)
        frame = sim.profile_frame()
        assert frame.index.tolist() == tree.extant_names and frame.columns.tolist() == sim.families.tolist()
        for f in range(1, sim.n_families + 1, 4):
            rows = sim.family_events(f)
            assert set(rows.family.tolist()) == {f}
            assert rows.time.tolist() == ev.time[ev.family == f].tolist()


def test_event_table_as_dataframe():
    tree = SpeciesTree.from_newick("((A:1,B:1)AB:1,(C:1.5,X:0.5)CX:0.5)root;")
    sim = simulate_families(tree, duplication=0.5, transfer=0.5, loss=0.3, origination=0.5, initial_size=4, seed=5)
    frame = sim.to_pandas()
    assert frame.columns.tolist() == ["time", "event", "branch", "donor", "recipient", "family", "gene", "child1",
                                      "child2"]
    ev = sim.events
    assert frame["event"].astype(str).tolist() == ev.letters.tolist()
    assert frame["branch"].tolist() == [tree.names[b] for b in ev.branch]
    transfers = frame[frame["event"] == "T"]
    assert (transfers["donor"] != "").all() and (frame.loc[frame["event"] != "T", "donor"] == "").all()
    numbers = sim.to_pandas(names=False)
    assert numbers["donor"].tolist() == ev.donor.tolist()
    assert sum(ev.count().values()) == len(ev) == len(frame)


def test_results_are_read_only_and_reproducible():
    tree = SpeciesTree.from_newick("((A:1,B:1):1,C:2);")
    a = simulate_families(tree, initial_size=5, seed=11)
    b = simulate_families(tree, initial_size=5, seed=11)
    assert a.events.time.tobytes() == b.events.time.tobytes() and a.parameters == b.parameters
    with pytest.raises(ValueError):
        a.events.time[0] = 1.0
    fresh = simulate_families(tree, initial_size=5)
    assert 0 <= fresh.parameters["seed"] < 2 ** 64


@pytest.mark.parametrize("change, error, pattern", [
    (dict(duplication=-1.0), ValueError, r"duplication must be a finite rate >= 0, got -1.0"),
    (dict(transfer=float("inf")), ValueError, r"transfer must be a finite rate >= 0"),
    (dict(loss=float("nan")), ValueError, r"loss must be a finite rate >= 0"),
    (dict(origination="1"), TypeError, r"origination must be a real number"),
    (dict(initial_size=-1), ValueError, r"initial_size must be an integer in 0\.\."),
    (dict(initial_size=2.0), TypeError, r"initial_size must be an integer"),
    (dict(seed=2 ** 64), ValueError, r"seed must be an integer in 0\.\.18446744073709551615"),
    (dict(cap=-1), ValueError, r"cap must be None \(no cap\) or an integer in 0\.\."),
    (dict(replacement=1.5), ValueError, r"replacement must be a probability in \[0, 1\]"),
    (dict(distance_decay=-0.5), ValueError, r"distance_decay must be None \(uniform recipients\)"),
    (dict(allow_self=1), TypeError, r"allow_self must be True or False"),
])
def test_arguments_are_checked_before_any_work(change, error, pattern):
    tree = SpeciesTree.from_newick("(A:1,B:1);")
    with pytest.raises(error, match=pattern):
        simulate_families(tree, **change)


def test_family_numbers_out_of_range_are_refused():
    sim = simulate_families(SpeciesTree.from_newick("(A:1,B:1);"), origination=0, initial_size=2, seed=1)
    assert sim.n_families == 2
    for bad in (0, 3, -1):
        with pytest.raises(ValueError, match=r"family must be in 1\.\.2"):
            sim.gene_trees(bad)
    with pytest.raises(TypeError):
        sim.gene_trees("1")
    with pytest.raises(TypeError, match="vornix.SpeciesTree"):
        simulate_families({"n_nodes": 3})


def test_runaway_growth_is_reported():
    tree = SpeciesTree.from_newick("(A:1,B:1);")
    with pytest.raises(ValueError, match="invalid species tree"):
        SpeciesTree.from_arrays([-1, 0], [0.0, 1.0], [False, True], 0)
    assert isinstance(vornix.simulate_families(tree, initial_size=0, origination=0, seed=0).events, vornix.EventTable)

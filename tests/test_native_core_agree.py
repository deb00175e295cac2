"""The private module and vornix_core read the same arguments the same way:
simulate_genomes and simulate_nucleotide take one parameter list and refuse
bad values with the same exception; check_species_tree gives the message
the simulators raise; write_recphyloxml names its files as the writer does."""
import os
import random

import numpy as np
import pytest

import vornix_core as vc
from tree_factory import random_arrays
from vornix import _native

NUCLEOTIDE_PARAMS = ["inversion", "loss", "duplication", "transfer", "transposition", "origination", "root_length",
                     "extension", "initial_size", "seed", "replacement", "distance_decay", "allow_self"]
# Values refused or quick to simulate with (a huge rate would run to the event
# limit, an extension of 1 or more to the memory budget).
ODD_VALUES = [-1.0, float("nan"), float("inf"), -1, 0, -(2**63) - 1, "x", None, [1]]
HUGE_INTEGERS = ["initial_size", "seed", "root_length"]


def random_tree(rng):
    parent, time, extant, root = random_arrays(rng, rng.randrange(1, 6))
    return dict(n_nodes=len(parent), parent=parent, time=time, extant_leaf=extant, root=root)


def broken(rng, tree):
    """The tree with one field changed to something the check may refuse."""
    tree = dict(tree)
    field = rng.choice(list(tree))
    tree[field] = rng.choice([tree[field][:-1] if isinstance(tree[field], list) else tree[field] + 1,
                              -1, [0.5], [], None, tree["n_nodes"] + 3])
    return tree


def outcome(fn, **kw):
    try:
        return "ok", fn(**kw)
    except Exception as e:  # the class, the message and the note naming the parameter
        return type(e).__name__, str(e), getattr(e, "__notes__", None)


def genomes_as_leaves(columns):
    """simulate_genomes' columns as simulate_nucleotide's list of leaves."""
    nodes, offsets, unit, start, end, strand = columns
    nodes, offsets = np.frombuffer(nodes, np.uint32), np.frombuffer(offsets, np.uint64)
    unit, start, end = np.frombuffer(unit, np.uint32), np.frombuffer(start, np.int64), np.frombuffer(end, np.int64)
    strand = np.frombuffer(strand, np.int8)
    return [(int(node), [(int(unit[k]), int(start[k]), int(end[k]), int(strand[k]))
                         for k in range(int(offsets[i]), int(offsets[i + 1]))]) for i, node in enumerate(nodes)]


def test_genomes_and_nucleotide_read_and_refuse_alike():
    rng = random.Random(21)
    kinds = set()
    for _ in range(150):
        tree = random_tree(rng)
        kw = dict(tree, inversion=0.3, loss=0.2, duplication=0.2, transfer=0.2, transposition=0.2, origination=0.1,
                  root_length=rng.choice([1, 5, 20]), extension=rng.choice([0.0, 0.5]), initial_size=rng.randrange(3),
                  seed=rng.randrange(2**64), replacement=rng.choice([0.0, 1.0]), distance_decay=-1.0,
                  allow_self=rng.random() < 0.5)
        if rng.random() < 0.3:
            kw.update(broken(rng, tree))
        for _ in range(rng.randrange(3)):
            kw[rng.choice(NUCLEOTIDE_PARAMS)] = rng.choice(ODD_VALUES)
        if rng.random() < 0.1:
            kw[rng.choice(HUGE_INTEGERS)] = 2**64
        core, native = outcome(vc.simulate_nucleotide, **kw), outcome(_native.simulate_genomes, **kw)
        kinds.add(core[0])
        if core[0] == "ok":
            assert native[0] == "ok"
            assert genomes_as_leaves(native[1][0]) == core[1]
        else:
            assert native == core
    assert {"ok", "ValueError", "TypeError"} <= kinds, kinds


def test_the_tree_check_gives_the_message_the_simulators_raise():
    rng = random.Random(22)
    refused = 0
    for _ in range(150):
        tree = random_tree(rng)
        if rng.random() < 0.7:
            tree = broken(rng, tree)
        checked = outcome(_native.check_species_tree, **tree)
        simulated = outcome(vc.simulate_log, **tree, duplication=0.0, transfer=0.0, loss=0.0, origination=0.0,
                            initial_size=1, cap=-1, seed=1, replacement=0.0, distance_decay=-1.0, allow_self=False)
        if checked[0] != "ok":
            assert simulated == checked  # a conversion error, alike in both
        elif checked[1] is None:
            assert simulated[0] == "ok"
        else:
            refused += 1
            assert simulated == ("ValueError", "invalid species tree: " + checked[1], None)
    assert refused > 20


def test_recphyloxml_files_are_named_alike_for_any_directory_spelling(tmp_path, monkeypatch):
    tree = dict(n_nodes=3, parent=[-1, 0, 0], time=[0.0, 1.0, 1.0], extant_leaf=[False, True, True], root=0)
    records, extant, _, _ = _native.simulate_families(**tree, duplication=0.5, transfer=0.5, loss=0.3,
                                                      origination=0.0, initial_size=4, cap=-1, seed=3,
                                                      replacement=0.0, distance_decay=-1.0, allow_self=False)
    args = (records, extant, ["r", "A", "B"], tree["parent"], tree["root"])

    def written(directory):
        return {name: (directory / name).read_bytes() for name in os.listdir(directory)}

    assert _native.write_recphyloxml(*args, str(tmp_path / "plain")) == 4
    want = written(tmp_path / "plain")
    assert sorted(want) == [f"{f}_reconciled.xml" for f in range(1, 5)]
    assert _native.write_recphyloxml(*args, str(tmp_path / "slash") + "/") == 4
    assert written(tmp_path / "slash") == want
    (tmp_path / "here").mkdir()
    monkeypatch.chdir(tmp_path / "here")
    assert _native.write_recphyloxml(*args, "") == 4  # the current directory, not the root
    assert written(tmp_path / "here") == want

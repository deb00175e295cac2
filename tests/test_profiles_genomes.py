"""simulate_profiles and simulate_genomes over the core: the same results,
views without copies, replicate seeds, argument checks."""
import random

import numpy as np
import pytest

import vornix_core as vc
from tree_factory import random_arrays
from vornix import SpeciesTree, simulate_genomes, simulate_profiles
from vornix._seeds import replicate_seed


def tree_and_core(rng):
    parent, time, extant, root = random_arrays(rng, rng.randint(2, 30))
    tree = SpeciesTree.from_arrays(parent, time, extant, root)
    return tree


CORE = dict(duplication=0.3, transfer=0.2, loss=0.35, origination=0.8, initial_size=6, cap=-1, replacement=0.0,
            distance_decay=-1.0, allow_self=False)
FRONT = dict(duplication=0.3, transfer=0.2, loss=0.35, origination=0.8, initial_size=6)


class TestProfiles:
    def test_serial_and_split_runs_equal_the_core(self):
        rng = random.Random(4)
        for _ in range(10):
            tree = tree_and_core(rng)
            seed = rng.randrange(2 ** 64)
            sim = simulate_profiles(tree, **FRONT, seed=seed)
            core = vc.simulate_profiles(**tree.core_args(), **CORE, seed=seed)
            assert tuple(a.tobytes() for a in (sim.leaves, sim.rows, sim.cols, sim.vals)) == core
            assert sim.vals.base is not None and not sim.vals.flags.writeable  # a view of the core's bytes
            split = simulate_profiles(tree, **FRONT, seed=seed, copies=5, threads=1)
            core = vc.simulate_profiles_parallel(**tree.core_args(), **CORE, seed=seed, n_copies=5, n_threads=3)
            assert tuple(a.tobytes() for a in (split.leaves, split.rows, split.cols, split.vals)) == core
            dense = sim.profile()
            expected = np.zeros((len(tree.extant), sim.n_families), dtype=np.uint32)
            row = {node: r for r, node in enumerate(tree.extant.tolist())}
            for r, c, v in zip(sim.rows.tolist(), sim.cols.tolist(), sim.vals.tolist()):
                expected[row[int(sim.leaves[r])], c] = v
            assert np.array_equal(dense, expected)
            assert np.array_equal(sim.profile(sparse=True).toarray(), expected)

    def test_replicates(self):
        tree = SpeciesTree.from_newick("((A:1,B:1):1,(C:1.5,D:1.5):0.5);")
        five = simulate_profiles(tree, seed=9, replicates=5)
        three = simulate_profiles(tree, seed=9, replicates=3)
        assert len(five) == 5
        for a, b in zip(three, five):
            assert a.vals.tobytes() == b.vals.tobytes() and a.cols.tobytes() == b.cols.tobytes()
        assert five[0].cols.tobytes() == simulate_profiles(tree, seed=9).cols.tobytes()
        seeds = [s.parameters["seed"] for s in five]
        assert seeds == [replicate_seed(9, k) for k in range(1, 6)] and len(set(seeds)) == 5
        frame = five[1].profile_frame()
        assert frame.index.tolist() == ["A", "B", "C", "D"]

    @pytest.mark.parametrize("change, error, pattern", [
        (dict(replicates=0), ValueError, r"replicates must be an integer in 1\.\."),
        (dict(copies=-2), ValueError, r"copies must be an integer in 1\.\."),
        (dict(threads=1.5), TypeError, r"threads must be an integer"),
        (dict(loss=-0.1), ValueError, r"loss must be a finite rate >= 0"),
    ])
    def test_argument_checks(self, change, error, pattern):
        with pytest.raises(error, match=pattern):
            simulate_profiles(SpeciesTree.from_newick("(A:1,B:1);"), **change)


class TestGenomes:
    def test_equal_to_the_core(self):
        rng = random.Random(6)
        for _ in range(6):
            tree = tree_and_core(rng)
            kw = dict(inversion=0.002, loss=0.001, duplication=0.001, transfer=0.001, transposition=0.001,
                      origination=0.5, root_length=500, extension=0.9, initial_size=2, seed=rng.randrange(2 ** 64))
            sim = simulate_genomes(tree, **kw)
            core = vc.simulate_nucleotide(**tree.core_args(), **kw, replacement=0.0, distance_decay=-1.0,
                                          allow_self=False)
            assert sim.species == [tree.names[node] for node, _ in core]
            for (node, segments), name in zip(core, sim.species):
                seg = sim.segments(name)
                assert list(zip(seg.unit.tolist(), seg.start.tolist(), seg.end.tolist(), seg.strand.tolist())) == \
                    [tuple(s) for s in segments]
                assert sim.lengths[name] == sum(e - s for _, s, e, _ in segments) == seg.length
            frame = sim.to_pandas()
            assert len(frame) == len(sim.unit) and frame.columns.tolist()[:2] == ["species", "index"]

    def test_checks_and_unknown_species(self):
        tree = SpeciesTree.from_newick("(A:1,B:1);")
        with pytest.raises(ValueError, match=r"root_length must be an integer in 1\.\."):
            simulate_genomes(tree, root_length=0)
        with pytest.raises(ValueError, match="extension must be a finite rate"):
            simulate_genomes(tree, extension=float("nan"))
        sim = simulate_genomes(tree, root_length=10, seed=2)
        with pytest.raises(KeyError, match="'C' is not an extant species"):
            sim.segments("C")

"""simulate_profiles and simulate_profiles_parallel: result layouts, the
counting rules that can be seen without a model, the splitting into copies,
and bad input."""
import json
import pathlib
import struct

import numpy as np
import pytest

import profile_reference as ref
import vornix_core as vc

ZERO = dict(duplication=0.0, transfer=0.0, loss=0.0, origination=0.0)
MODE = dict(cap=-1, seed=1, replacement=0.0, distance_decay=-1.0, allow_self=False)
# The shared benchmark inputs beside the checkout (or beside the directory
# holding it, for a worktree one level deeper).
SHARED = next((above / "shared" / "benchmarks" for above in pathlib.Path(__file__).resolve().parents[1:]
               if (above / "shared" / "benchmarks").is_dir()), pathlib.Path("/nonexistent"))


def tree_args(parent, time, extant, root):
    return dict(n_nodes=len(parent), parent=parent, time=time, extant_leaf=extant, root=root)


# Root 5; node 2 (t 1) over leaves 0 and 4 (t 3); extinct leaf 1 (t 2); leaf 3 (t 3).
SMALL = tree_args([2, 5, 5, 5, 2, -1], [3.0, 2.0, 1.0, 3.0, 3.0, 0.0], [True, False, False, True, True, False], 5)


def profiles(tree=SMALL, **kw):
    args = {**tree, **ZERO, "initial_size": 3, **MODE, **kw}
    return vc.simulate_profiles(**args)


def parallel(tree=SMALL, n_copies=4, n_threads=2, **kw):
    args = {**tree, **ZERO, "initial_size": 3, **MODE, **kw}
    return vc.simulate_profiles_parallel(**args, n_copies=n_copies, n_threads=n_threads)


def unpack(result):
    leaves, rows, cols, vals = result
    return (list(np.frombuffer(leaves, "<u4")), list(np.frombuffer(rows, "<u4")), list(np.frombuffer(cols, "<u8")),
            list(np.frombuffer(vals, "<u4")))


def per_leaf(result):
    """{leaf node: {family: count}}."""
    leaves, rows, cols, vals = unpack(result)
    out = {v: {} for v in leaves}
    for r, c, n in zip(rows, cols, vals):
        assert c not in out[leaves[r]]
        out[leaves[r]][c] = n
    return out


class TestLayouts:
    def test_no_extant_leaf_and_root_alone_give_empty_buffers(self):
        no_extant = {**SMALL, "extant_leaf": [False] * 6}
        root_alone = tree_args([-1], [0.0], [True], 0)
        for tree in (no_extant, root_alone):
            assert profiles(tree, origination=2.0, duplication=1.0) == (b"", b"", b"", b"")
            assert parallel(tree, origination=2.0) == (b"", b"", b"", b"")

    def test_nothing_to_count_lists_the_leaves_only(self):
        leaves, rows, cols, vals = profiles(initial_size=0, duplication=1.0, loss=1.0, transfer=1.0)
        assert leaves == struct.pack("<3I", 0, 3, 4) and rows == cols == vals == b""

    def test_all_rates_zero(self):
        f = 5
        expected = (struct.pack("<3I", 0, 3, 4), struct.pack("<15I", *[r for r in range(3) for _ in range(f)]),
                    struct.pack("<15Q", *list(range(f)) * 3), struct.pack("<15I", *[1] * 15))
        assert profiles(initial_size=f, seed=1) == expected
        assert profiles(initial_size=f, seed=2**64 - 1) == expected

    def test_leaf_order_is_time_then_node_number(self):
        # Leaves come in time order, and by node number among equal times.
        tree = tree_args([2, 5, 5, 5, 2, -1], [3.0, 2.0, 1.0, 2.5, 3.0, 0.0], [True, False, False, True, True, False], 5)
        assert unpack(profiles(tree))[0] == [3, 0, 4]
        assert unpack(profiles(SMALL))[0] == [0, 3, 4]

    def test_an_empty_leaf_keeps_its_ordinal(self):
        # Leaf 1 ends at the root's time: its branch has no room for events.
        tree = tree_args([2, 2, -1, 2], [4.0, 0.0, 0.0, 4.0], [True, True, False, True], 2)
        leaves, rows, cols, vals = unpack(profiles(tree, initial_size=0, origination=3.0, seed=4))
        assert leaves == [1, 0, 3]
        assert 0 not in rows and {1, 2} <= set(rows)
        assert rows == sorted(rows)

    def test_every_child_of_a_node_gets_a_copy(self):
        one_child = tree_args([-1, 0], [0.0, 1.0], [False, True], 0)
        four_children = tree_args([4, 4, 4, 4, -1], [1.0] * 4 + [0.0], [True] * 4 + [False], 4)
        assert per_leaf(profiles(one_child)) == {1: {0: 1, 1: 1, 2: 1}}
        assert per_leaf(profiles(four_children)) == {v: {0: 1, 1: 1, 2: 1} for v in range(4)}

class TestCountingRules:
    BUSY = dict(duplication=1.5, transfer=2.0, initial_size=6)

    def test_cap_zero_blocks_duplications_and_clears_transferred_families(self):
        for seed in range(5):
            counts = per_leaf(profiles(cap=0, seed=seed, **self.BUSY))
            assert all(n == 1 for leaf in counts.values() for n in leaf.values())
            # No transfer can leave a copy behind, so nothing beyond the
            # founding families can appear and nothing is lost without loss.
            assert all(set(leaf) <= set(range(6)) for leaf in counts.values())

    def test_cap_one_with_replacement_keeps_single_copies(self):
        for seed in range(5):
            counts = per_leaf(profiles(cap=1, replacement=1.0, seed=seed, **self.BUSY))
            assert all(n == 1 for leaf in counts.values() for n in leaf.values())

    def test_replacement_without_cap_never_adds_to_a_resident_family(self):
        grows = False
        for seed in range(5):
            counts = per_leaf(profiles(replacement=1.0, seed=seed, transfer=3.0, initial_size=6))
            assert all(n == 1 for leaf in counts.values() for n in leaf.values())
            grows |= any(n > 1 for leaf in per_leaf(profiles(seed=seed, transfer=3.0, initial_size=6)).values()
                         for n in leaf.values())
        assert grows  # without replacement the same transfers do stack up

    def test_transfers_without_a_recipient_change_nothing(self):
        chain = tree_args([-1, 0, 1], [0.0, 1.0, 5.0], [False, False, True], 0)
        assert per_leaf(profiles(chain, transfer=5.0, initial_size=4)) == {2: {f: 1 for f in range(4)}}

    def test_originated_families_are_numbered_after_the_founding_ones(self):
        counts = per_leaf(profiles(origination=4.0, initial_size=3, seed=3))
        new = {f for leaf in counts.values() for f in leaf if f >= 3}
        assert new and all(leaf[f] == 1 for leaf in counts.values() for f in range(3))

    def test_same_arguments_same_bytes(self):
        kw = dict(duplication=0.7, transfer=0.9, loss=0.6, origination=1.2, initial_size=30, seed=12345,
                  distance_decay=0.5, replacement=0.3, cap=4, allow_self=True)
        assert profiles(**kw) == profiles(**kw)
        assert profiles(**kw) != profiles(**{**kw, "seed": 12346})

class TestParallel:
    def test_result_does_not_depend_on_thread_count(self):
        path = SHARED / "species_tree_100.json"
        if not path.exists():
            pytest.skip(f"shared benchmark input {path} is not beside this checkout")
        data = json.loads(path.read_text())
        tree = {k: data[k] for k in ("n_nodes", "parent", "time", "extant_leaf", "root")}
        kw = dict(duplication=0.2, transfer=0.2, loss=0.35, origination=1.0, initial_size=200, n_copies=13,
                  distance_decay=1.0, cap=5, replacement=0.5)
        results = {parallel(tree, n_threads=t, **kw) for t in (1, 2, 8)}
        assert len(results) == 1 and len(results.pop()[1]) > 1000

    def test_zero_copies_and_threads_count_as_one(self):
        kw = dict(duplication=0.5, transfer=0.5, loss=0.3, origination=1.0, initial_size=5, seed=8)
        assert parallel(n_copies=0, n_threads=0, **kw) == parallel(n_copies=1, n_threads=1, **kw)

    def test_one_copy_is_seeded_from_the_split_seed(self):
        kw = dict(duplication=0.5, transfer=0.5, loss=0.3, origination=1.0, initial_size=5)
        assert parallel(n_copies=1, seed=8, **kw) != profiles(seed=8, **kw)
        assert parallel(n_copies=1, seed=8, **kw) == profiles(seed=ref.split_seed(8, 0), **kw)

    def test_founding_families_are_split_3_3_2_2(self):
        leaves, rows, cols, vals = unpack(parallel(initial_size=10, n_copies=4))
        blocks = [[0, 1, 2], [3, 4, 5], [6, 7], [8, 9]]
        assert cols == [f for block in blocks for _ in range(3) for f in block]
        assert rows == [r for block in blocks for r in range(3) for _ in block]
        assert vals == [1] * 30

    def test_more_copies_than_founding_families(self):
        # Copies 3..5 found nothing and only add originated families.
        assert unpack(parallel(initial_size=3, n_copies=6))[2] == [0, 0, 0, 1, 1, 1, 2, 2, 2]
        tree = (SMALL["n_nodes"], SMALL["parent"], SMALL["time"], SMALL["extant_leaf"], SMALL["root"])
        expected = ref.simulate_profiles_parallel(tree, (0.0, 0.0, 0.0, 6.0), -1, (0.0, -1.0, False), 2, 3, 6)
        got = parallel(initial_size=3, n_copies=6, origination=6.0, seed=2)
        assert got == expected and len(set(unpack(got)[2])) > 3


class TestBadInput:
    @pytest.mark.parametrize("fn", [profiles, parallel])
    def test_a_child_reached_before_its_parent_raises_value_error(self, fn):
        # Node 2 is dated before its parent 1.
        child_first = tree_args([-1, 0, 1], [0.0, 2.0, 1.5], [False, False, True], 0)
        with pytest.raises(ValueError, match="dated before its parent"):
            fn(child_first)
        # Equal times, but the child has the smaller number: reached first too.
        tie = tree_args([-1, 2, 0], [0.0, 1.0, 1.0], [False, True, False], 0)
        with pytest.raises(ValueError, match="dated before its parent"):
            fn(tie)
        assert fn() == fn()  # the module is still usable

    def test_sizes_beyond_memory_raise_memory_error(self):
        with pytest.raises(MemoryError):
            profiles(initial_size=2**63)
        with pytest.raises(MemoryError):  # raised inside a worker, carried to the caller
            parallel(initial_size=2**63, n_copies=3)
        with pytest.raises(MemoryError):
            parallel(n_copies=2**62)
        # More threads than copies are never started.
        assert parallel(n_threads=2**64 - 1) == parallel(n_threads=1)

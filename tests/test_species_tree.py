"""SpeciesTree: construction from arrays against what the simulators accept,
read-only views, derived structure."""
import random

import numpy as np
import pytest

import vornix
import vornix_core as vc
from vornix import SpeciesTree
from tree_factory import random_arrays


def core_accepts(parent, time, extant, root):
    try:
        vc.simulate_log(len(parent), parent, time, extant, root, 0.0, 0.0, 0.0, 0.0, 1, -1, 1, 0.0, -1.0, False)
    except (ValueError, IndexError, RuntimeError):
        return False
    return True


def broken_variants(rng, parent, time, extant, root):
    """(description, arrays) for one random fault each."""
    n = len(parent)
    inner = [v for v in range(n) if v in parent]
    leaf = next(v for v in range(n) if v not in parent)
    v = rng.choice([u for u in range(n) if u != root])
    out = []
    p = list(parent)
    p[v] = n + rng.randrange(5)
    out.append(("parent out of range", (p, time, extant, root)))
    p = list(parent)
    p[v] = v
    out.append(("self parent", (p, time, extant, root)))
    t = list(time)
    t[v] = float("nan")
    out.append(("nan time", (parent, t, extant, root)))
    e = list(extant)
    e[rng.choice([u for u in inner if u != root])] = True
    out.append(("extant internal node", (parent, time, e, root)))
    p = list(parent)
    p[v] = -1
    out.append(("second root", (p, time, extant, root)))
    p = list(parent) + [leaf]
    out.append(("unary node", (p, list(time) + [time[leaf] + 1.0], list(extant[:leaf]) + [False] + list(extant[leaf + 1:]) + [True], root)))
    p = list(parent) + [root]
    out.append(("three children at the root", (p, list(time) + [max(time)], list(extant) + [True], root)))
    return out


class TestFromArrays:
    def test_random_trees_are_kept_exactly(self):
        rng = random.Random(5)
        for _ in range(30):
            parent, time, extant, root = random_arrays(rng, rng.randint(2, 30))
            names = [f"x{i}" for i in range(len(parent))]
            rng.shuffle(names)
            t = SpeciesTree.from_arrays(parent, time, extant, root, names)
            assert t.parent.tolist() == parent and t.time.tolist() == time
            assert t.extant_leaf.tolist() == extant and t.root == root and t.names.tolist() == names
            assert t.core_args() == dict(n_nodes=len(parent), parent=parent, time=time, extant_leaf=extant, root=root)
            assert t.age == max(time)
            assert t.extant_names == [names[i] for i in range(len(parent)) if extant[i]]
            assert sorted(t.leaves.tolist()) == [v for v in range(len(parent)) if v not in parent]
            for v in range(len(parent)):
                assert t.children(v) == tuple(c for c in range(len(parent)) if parent[c] == v)

    def test_refuses_what_the_simulator_refuses_and_names_the_node(self):
        rng = random.Random(11)
        for _ in range(25):
            arrays = random_arrays(rng, rng.randint(3, 20))
            for what, broken in broken_variants(rng, *arrays):
                assert not core_accepts(*broken), what
                with pytest.raises(ValueError, match=r"invalid species tree: .*(node|root|parent) \d+"):
                    SpeciesTree.from_arrays(*broken)

    def test_refuses_child_dated_before_its_parent_or_visited_before_it(self):
        with pytest.raises(ValueError, match=r"node 2 \('B'\) at time 0.5 is dated before its parent 1"):
            SpeciesTree.from_arrays([-1, 0, 1, 1, 0], [0.0, 1.0, 0.5, 2.0, 2.0], [False, False, True, True, True], 0,
                                    ["r", "X", "B", "C", "D"])
        with pytest.raises(ValueError, match="smaller node number"):
            SpeciesTree.from_arrays([-1, 2, 0, 2, 0], [0.0, 1.0, 1.0, 2.0, 2.0], [False, True, False, True, True], 0)
        # Equal times are fine when the parent comes first.
        SpeciesTree.from_arrays([-1, 0, 0, 1, 1], [0.0, 1.0, 2.0, 1.0, 2.0], [False, False, True, True, True], 0)

    @pytest.mark.parametrize("kwargs, error, pattern", [
        (dict(parent="abc"), TypeError, "parent must be a sequence of numbers"),
        (dict(parent=[-1.0, 0.0, 0.0]), TypeError, "parent must hold integers"),
        (dict(parent=[]), ValueError, "parent is empty"),
        (dict(parent=[[-1, 0, 0]]), ValueError, "one-dimensional"),
        (dict(time=[0.0, 1.0]), ValueError, "time has 2 entries but parent has 3"),
        (dict(time=["a", "b", "c"]), TypeError, "time must hold real numbers"),
        (dict(extant_leaf=[0.0, 1.0, 1.0]), TypeError, "extant_leaf must hold booleans"),
        (dict(root=1.0), TypeError, "root must be an integer"),
        (dict(root=3), ValueError, r"root must be a node number in 0..2"),
        (dict(names="abc"), TypeError, "not a single string"),
        (dict(names=["r", "A"]), ValueError, "names has 2 entries"),
        (dict(names=["r", "A", "A"]), ValueError, r"names\[1\] and names\[2\] are both 'A'"),
        (dict(names=["r", "A", ""]), ValueError, r"names\[2\] is empty"),
        (dict(names=["r", "A", "B\tC"]), ValueError, "a tab"),
        (dict(names=["r", "A", 3]), TypeError, r"names\[2\] must be a str"),
    ])
    def test_argument_errors_name_the_argument(self, kwargs, error, pattern):
        args = dict(parent=[-1, 0, 0], time=[0.0, 1.0, 1.0], extant_leaf=[False, True, True], root=0, names=None)
        args.update(kwargs)
        with pytest.raises(error, match=pattern):
            SpeciesTree.from_arrays(**args)

    def test_arrays_are_read_only_copies(self):
        parent = np.array([-1, 0, 0])
        t = SpeciesTree.from_arrays(parent, [0.0, 1.0, 1.0], [False, True, True], 0)
        parent[1] = 2
        assert t.parent.tolist() == [-1, 0, 0]
        for array in (t.parent, t.time, t.extant_leaf, t.names, t.leaves):
            with pytest.raises(ValueError):
                array[0] = array[1]

    def test_accepts_numpy_inputs_and_pickles(self):
        import pickle
        t = SpeciesTree.from_arrays(np.array([1, -1, 1], dtype=np.int32), np.array([1, 0, 1], dtype=np.float32),
                                    np.array([1, 0, 1], dtype=np.uint8), np.int64(1), ("A", "root", "B"))
        assert t.extant_names == ["A", "B"] and t.index("root") == 1
        assert pickle.loads(pickle.dumps(t)) == t
        with pytest.raises(KeyError, match="no node is called 'C'"):
            t.index("C")


def test_core_args_drive_the_core():
    rng = random.Random(3)
    parent, time, extant, root = random_arrays(rng, 12)
    t = SpeciesTree.from_arrays(parent, time, extant, root)
    direct = vc.simulate_log(len(parent), parent, time, extant, root, 0.3, 0.2, 0.3, 0.5, 4, -1, 9, 0.0, -1.0, False)
    via = vc.simulate_log(**t.core_args(), duplication=0.3, transfer=0.2, loss=0.3, origination=0.5, initial_size=4,
                          cap=-1, seed=9, replacement=0.0, distance_decay=-1.0, allow_self=False)
    assert via == direct
    assert isinstance(vornix.__version__, str)

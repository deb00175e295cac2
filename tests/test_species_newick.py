"""SpeciesTree from and to Newick: times against DendroPy's root distances,
exact round trips, located errors, resolution of non-binary nodes."""
import gzip
import io
import random

import numpy as np
import pytest

from tree_factory import random_named_arrays
from vornix import SpeciesTree

dendropy = pytest.importorskip("dendropy")


def random_newick(rng, n_leaves):
    """Random Newick with decimal branch lengths: some leaves short (extinct),
    some names quoted, some nodes unnamed, a length on the root now and then."""
    counter = iter(range(10 ** 6))

    def label(leaf):
        r = rng.random()
        if r < 0.15 and not leaf:
            return ""
        k = next(counter)
        if r < 0.25:
            return f"'sp {k}'"
        return f"{'L' if leaf else 'N'}{k}"

    def grow(budget, depth_left):
        if budget == 1:
            return label(True), depth_left
        left = rng.randint(1, budget - 1)
        a, da = grow(left, depth_left)
        b, db = grow(budget - left, depth_left)
        return f"({a}:{da},{b}:{db}){label(False)}", None

    # Build with explicit lengths so that living leaves end together.
    def build(budget, remaining):
        if budget == 1:
            if rng.random() < 0.25:
                return label(True), round(rng.uniform(0.01, remaining * 0.9), 4)
            return label(True), remaining
        here = round(rng.uniform(0.01, remaining / 2), 4)
        left = rng.randint(1, budget - 1)
        a, la = build(left, remaining - here)
        b, lb = build(budget - left, remaining - here)
        return f"({a}:{la!r},{b}:{lb!r}){label(False)}", here

    text, _ = build(n_leaves, 10.0)
    root_length = ":0.5" if rng.random() < 0.3 else ""
    return text + root_length + ";"


class TestReading:
    def test_times_and_extinct_leaves_match_dendropy(self):
        rng = random.Random(1)
        for _ in range(25):
            text = random_newick(rng, rng.randint(2, 40))
            t = SpeciesTree.from_newick(text)
            ref = dendropy.Tree.get(data=text, schema="newick", preserve_underscores=True, rooting="force-rooted")
            ref_nodes = list(ref.preorder_node_iter())
            assert len(ref_nodes) == t.n_nodes
            root_distance = np.array([n.distance_from_root() - (ref.seed_node.edge.length or 0.0) for n in ref_nodes])
            assert np.allclose(t.time, root_distance, rtol=0, atol=1e-9)
            present = t.time.max()
            for v, node in enumerate(ref_nodes):
                if node.is_leaf():
                    assert t.extant_leaf[v] == (root_distance[v] >= present - 1e-6 * present)
                    assert t.names[v] == node.taxon.label
                else:
                    assert not t.extant_leaf[v]
                    if node.label:
                        assert t.names[v] == node.label

    def test_unnamed_nodes_get_names_no_label_uses(self):
        t = SpeciesTree.from_newick("((A:1,B:1):1,(n1:1,n2:1)n4:1);")
        assert t.names.tolist() == ["n0", "n1_1", "A", "B", "n4", "n1", "n2"]

    def test_extinct_names_and_ultrametric(self):
        text = "((A:1,B:0.5):1,C:2);"
        assert SpeciesTree.from_newick(text).extinct_names == ["B"]
        t = SpeciesTree.from_newick(text, extinct=["A"])
        assert t.extant_names == ["B", "C"] and t.extinct_names == ["A"]
        with pytest.raises(ValueError, match=r"line 1, column 7: leaf 'B' ends at time 1.5, before the present 2.0"):
            SpeciesTree.from_newick(text, ultrametric=True)
        assert SpeciesTree.from_newick(text, ultrametric=True, extinct=["B"]).extinct_names == ["B"]
        with pytest.raises(ValueError, match="'D', which is not a leaf"):
            SpeciesTree.from_newick(text, extinct=["D"])
        # Within the tolerance a leaf is living.
        assert SpeciesTree.from_newick("((A:1,B:0.9999995):1,C:2);").extinct_names == []
        assert SpeciesTree.from_newick("((A:1,B:0.9999995):1,C:2);", tolerance=1e-8).extinct_names == ["B"]

    @pytest.mark.parametrize("text, pattern", [
        ("((A:1,B:1):1,C:2;", r"line 1, column 17: expected"),
        ("((A:1,B:1):1,C:2));", r"line 1, column 18"),
        ("((A:1,B:1):1,\nC);", r"line 2, column 1: expected a branch length for node 'C'"),
        ("((A:1,B:-1):1,C:2);", r"line 1, column 7: branch length -1.0 of node 'B' is negative"),
        ("((A:1,A:1):1,C:2);", r"line 1, column 7: duplicate leaf name 'A' \(first at line 1, column 3\)"),
        ("((A:1,B:1)C:1,C:2);", r"duplicate leaf name 'C'"),
        ("((A:1,B:1):1,C:2);\n(A:1,B:1);", r"line 2: expected one species tree, found 2 trees"),
        ("((A:1,B:1,D:1)X:1,C:2);", r"line 1, column 14: node .X. has 3 children; .*resolve=True"),
        ("(((A:1,B:1)Y:1)X:1,C:2);", r"node 'X' has 1 child"),
        ("(('a\tb':1,B:1):1,C:2);", r"the name 'a\\tb' contains a tab"),
        ("", r"line 1, column 1"),
    ])
    def test_malformed_text_names_line_and_column(self, text, pattern):
        with pytest.raises(ValueError, match=pattern):
            SpeciesTree.from_newick(text, source="sp.nwk")

    def test_read_files_plain_and_gzipped(self, tmp_path):
        text = "((A:1,B:1)AB:1,C:2)root;\n"
        (tmp_path / "t.nwk").write_text(text)
        with gzip.open(tmp_path / "t.nwk.gz", "wt") as f:
            f.write(text)
        a = SpeciesTree.read(tmp_path / "t.nwk")
        assert a == SpeciesTree.read(str(tmp_path / "t.nwk.gz")) == SpeciesTree.from_newick(text)
        (tmp_path / "bad.nwk").write_text("(A:1,B:1")
        with pytest.raises(ValueError, match=r"bad.nwk: line 1, column 9"):
            SpeciesTree.read(tmp_path / "bad.nwk")


class TestRoundTrip:
    def test_trees_read_from_newick_come_back_identical(self):
        rng = random.Random(7)
        for _ in range(40):
            t = SpeciesTree.from_newick(random_newick(rng, rng.randint(2, 50)))
            again = SpeciesTree.from_newick(t.to_newick())
            assert again == t
            assert again.time.tobytes() == t.time.tobytes()

    def test_any_tree_comes_back_with_the_same_names_parents_and_times(self):
        rng = random.Random(8)
        for _ in range(40):
            parent, time, extant, root, names = random_named_arrays(rng, rng.randint(2, 40))
            # Lengths that decimal text cannot hold exactly.
            time = [x * (1 + 1e-3 * rng.random()) / 3 if x else 0.0 for x in time]
            t = SpeciesTree.from_arrays(parent, time, extant, root, names)
            back = SpeciesTree.from_newick(t.to_newick())
            assert sorted(back.names.tolist()) == sorted(names)
            for v in range(len(parent)):
                w = back.index(names[v])
                assert back.time[w] == t.time[v] or abs(back.time[w] - t.time[v]) <= np.spacing(t.time[v])
                assert (back.parent[w] < 0) == (parent[v] < 0)
                if parent[v] >= 0:
                    assert back.names[back.parent[w]] == names[parent[v]]

    def test_write_and_read(self, tmp_path):
        t = SpeciesTree.from_newick("((A:1,'B c':1):1,C:2);")
        t.write(tmp_path / "t.nwk")
        assert (tmp_path / "t.nwk").read_text().endswith(";\n")
        assert SpeciesTree.read(tmp_path / "t.nwk") == t


class TestResolve:
    def test_resolution_keeps_times_of_named_nodes_and_gives_a_binary_tree(self):
        rng = random.Random(3)
        for _ in range(20):
            # A random tree with single-child chains and wide nodes.
            def grow(depth):
                k = rng.choice([0, 1, 2, 3, 4]) if depth < 4 else 0
                if k == 0:
                    return f"L{next(ids)}:{rng.randint(1, 9)}"
                kids = ",".join(grow(depth + 1) for _ in range(k))
                return f"({kids})N{next(ids)}:{rng.randint(1, 9)}"

            ids = iter(range(1000))
            text = f"({grow(0)},{grow(0)})R;"
            plain = dendropy.Tree.get(data=text, schema="newick", rooting="force-rooted")
            t = SpeciesTree.from_newick(text, resolve=True, ultrametric=False)
            counts = np.bincount(t.parent[t.parent >= 0], minlength=t.n_nodes)
            assert set(counts.tolist()) <= {0, 2}
            assert t.time[t.root] == 0.0
            leaves = sorted(n.taxon.label for n in plain.leaf_node_iter())
            assert sorted(t.names[t.leaves].tolist()) == leaves
            # Leaf times are kept relative to the leaves' common root.
            ref = {n.taxon.label: n.distance_from_root() for n in plain.leaf_node_iter()}
            shift = min(ref[name] - t.time[t.index(name)] for name in leaves)
            for name in leaves:
                assert ref[name] - t.time[t.index(name)] == pytest.approx(shift)

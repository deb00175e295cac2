"""Gene trees from Newick: reading, leaf-to-species mapping, located errors,
the likelihood functions' batch layout and every rooting, checked against
the shared benchmark batch and against plain-Python models."""
import gzip
import json
import pathlib
import random

import numpy as np
import pytest

import scoring_reference as ref
from vornix import GeneTrees
from vornix.gene_trees import core_batch
from vornix.living_species import living_species

SHARED = next((p / "shared" / "benchmarks" for p in pathlib.Path(__file__).resolve().parents[2:4]
               if (p / "shared" / "benchmarks").is_dir()), pathlib.Path("shared/benchmarks"))
needs_shared = pytest.mark.skipif(not (SHARED / "gene_trees_100.json").exists(), reason="shared inputs absent")

SPECIES = living_species([-1, 0, 0, 1, 1], [0.0, 1.0, 2.0, 2.0, 2.0], [False, False, True, True, True], 0,
                         ["r", "ab", "c", "a", "b"])


@needs_shared
def test_benchmark_batch_and_living_species_match_the_shared_arrays():
    tree = json.loads((SHARED / "species_tree_100.json").read_text())
    batch = json.loads((SHARED / "gene_trees_100.json").read_text())
    sp = living_species(tree["parent"], tree["time"], tree["extant_leaf"], tree["root"], tree["names"])
    for key in ("sp_parent", "sp_left", "sp_right", "sp_is_leaf", "sp_time", "sp_parent_time"):
        expected = np.asarray(batch[key], dtype=getattr(sp, key).dtype)
        assert getattr(sp, key).tobytes() == expected.tobytes(), key
    assert sp.sp_root == batch["sp_root"]
    core = GeneTrees.read(SHARED / "gene_trees_100.nwk").to_core(sp)
    for key, got in core.items():
        assert got.tolist() == batch[key], key


def test_living_species_prunes_collapses_and_drops_the_stem():
    # r -> (x extinct leaf, y -> (z -> (a, b), c)); y keeps; a node with one
    # living child (r) collapses; extinct e under z makes z unary before pruning.
    parent = [-1, 0, 0, 2, 3, 3, 2, 3]
    time = [0.0, 0.5, 1.0, 1.5, 3.0, 3.0, 3.0, 2.0]
    extant = [False, False, False, False, True, True, True, False]
    names = ["r", "x", "y", "z", "a", "b", "c", "e"]
    sp = living_species(parent, time, extant, 0, names)
    assert sp.names == ("a", "b", "z", "c", "y")
    assert sp.sp_parent.tolist() == [2, 2, 4, 4, -1]
    assert sp.sp_parent_time.tolist() == [1.5, 1.5, 1.0, 1.0, 1.0]
    assert sp.leaf_index == {"a": 0, "b": 1, "c": 3}
    with pytest.raises(ValueError, match="no living species"):
        living_species([-1, 0, 0], [0.0, 1.0, 1.0], [False, False, False], 0)
    with pytest.raises(ValueError, match="3 children"):
        living_species([-1, 0, 0, 0], [0.0, 1.0, 1.0, 1.0], [False, True, True, True], 0)


def test_reading_files_directories_gzip_and_mappings(tmp_path):
    (tmp_path / "one.nwk").write_text("((a_1,b_1),c_1);\n(a_1,b_1);\n")
    (tmp_path / "two.tree.gz").write_bytes(gzip.compress(b"c_1;"))
    (tmp_path / "notes.txt").write_text("not a tree")
    gt = GeneTrees.read(tmp_path)
    assert len(gt) == 3
    assert gt.sources == [str(tmp_path / "one.nwk")] * 2 + [str(tmp_path / "two.tree.gz")]
    assert gt.indices.tolist() == [0, 1, 0]
    assert [gt.leaf_species(i) for i in range(3)] == [["a", "b", "c"], ["a", "b"], ["c"]]

    mapping = tmp_path / "map.tsv"
    mapping.write_text("# gene species\nG1 a\nG2\tb  # comment\n\nG3 c\n")
    by_file = GeneTrees.from_newick("((G1,G2),G3);", mapping=mapping)
    by_dict = GeneTrees.from_newick(["((G1,G2),G3);"], mapping={"G1": "a", "G2": "b", "G3": "c"})
    after = GeneTrees.from_newick("((x|a,y|b),z|c);", separator="|", species_side="after")
    for g in (by_file, by_dict, after):
        assert g.leaf_species(0) == ["a", "b", "c"]
        assert g.to_core(SPECIES)["gt_species"].tolist() == [0, 1, -1, 3, -1]
    assert GeneTrees.from_newick("Homo_sapiens_7;").leaf_species(0) == ["Homo_sapiens"]


@pytest.mark.parametrize("text, kwargs, pattern", [
    ("((a_1,b_1),c_1);\n((a_1,q_1),c_1);", {}, r"<string>: tree 1 \(line 2\), line 2, column 7: leaf 'q_1': "
                                                 r"'q' is not a living species"),
    ("((a_1,a_1),c_1);", {}, r"tree 0 \(line 1\), line 1, column 7: leaf name 'a_1' appears twice"),
    ("((a_1,b_1,c_2),c_1);", {}, r"column 14: node with 3 children \(gene trees must be binary\)"),
    ("(a_1,b_1,c_1,c_2);", {}, r"node with 4 children \(the top of a tree may have three\)"),
    ("((a_1),c_1);", {}, r"column 6: node with a single child"),
    ("((a_1,b_1),c_1;", {}, r"<string>: line 1, column 15: expected"),
    ("((a_1,b_1),G9);", {"mapping": {"a_1": "a", "b_1": "b"}}, r"leaf 'G9' is not in the gene-to-species"),
    ("((a_1,b_1),);", {}, r"leaf without a name"),
])
def test_bad_input_is_refused_with_its_place(text, kwargs, pattern):
    with pytest.raises(ValueError, match=pattern):
        GeneTrees.from_newick(text, **kwargs).to_core(SPECIES)


def test_unrooted_tree_as_is_names_it_and_bad_mapping_file(tmp_path):
    with pytest.raises(ValueError, match=r"<text 1>: tree 0 \(line 1\): the tree is unrooted"):
        GeneTrees.from_newick(["(a_1,b_1);", "(a_1,b_1,c_1);"]).to_core(SPECIES)
    bad = tmp_path / "map.tsv"
    bad.write_text("G1 a\nG2 b extra\n")
    with pytest.raises(ValueError, match=r"map.tsv: line 2: expected two columns"):
        GeneTrees.from_newick("(G1,G2);", mapping=bad)
    with pytest.raises(ValueError, match="no Newick files"):
        GeneTrees.read(tmp_path)


def test_newick_round_trip_keeps_trees_labels_and_lengths():
    rng = random.Random(5)
    texts = [ref.random_newick(rng, ["a", "b", "c"], rng.randint(1, 30), unrooted=rng.random() < 0.3,
                               lengths=True) for _ in range(40)]
    gt = GeneTrees.from_newick("\n".join(texts))
    again = GeneTrees.from_newick(gt.to_newick())
    assert again.to_newick() == gt.to_newick()
    assert again._parent.tolist() == gt._parent.tolist()
    assert np.array_equal(again._length, gt._length, equal_nan=True)


def test_layout_and_rootings_match_the_plain_model():
    rng = random.Random(11)
    names = ["a", "b", "c"]
    texts = [ref.random_newick(rng, names, rng.randint(1, 25), unrooted=rng.random() < 0.4) for _ in range(150)]
    gt = GeneTrees.from_newick(texts)
    offsets, parent, tips = gt.forest(SPECIES)
    counts = gt.rooting_counts
    all_batch = core_batch(offsets, parent, tips, np.arange(len(gt), dtype=np.uint64),
                           np.zeros(len(gt), dtype=np.uint64), counts.astype(np.uint64))
    rooted_at = np.asarray(all_batch["gt_offsets"], dtype=np.int64)
    k = 0
    for t in range(len(gt)):
        a, b = int(offsets[t]), int(offsets[t + 1])
        par, sp = parent[a:b].tolist(), tips[a:b].tolist()
        labels = gt._labels[a:b]
        expected = ref.all_rootings(par, sp)
        leaves = sum(1 for v in range(b - a) if v not in set(par))
        assert len(expected) == counts[t] == max(1, 2 * leaves - 3)
        # Every rooting is a different rooted tree over the same leaves.
        assert len({ref.clades(rows, labels) for rows in expected}) == len(expected)
        for rows in expected:
            lo, hi = rooted_at[k], rooted_at[k + 1]
            got = list(zip(all_batch["gt_is_leaf"][lo:hi].tolist(), all_batch["gt_left"][lo:hi].tolist(),
                           all_batch["gt_right"][lo:hi].tolist(), all_batch["gt_species"][lo:hi].tolist()))
            assert got == [r[:4] for r in rows]
            k += 1
        if gt.is_rooted[t]:
            assert [r[:4] for r in ref.as_is_postorder(par, sp)] == [r[:4] for r in expected[0]]
    assert k == len(rooted_at) - 1


def test_rerooting_gives_each_rooting_as_a_tree_with_its_lengths():
    rng = random.Random(3)
    texts = [ref.random_newick(rng, ["a", "b", "c"], rng.randint(2, 12), unrooted=rng.random() < 0.5,
                               lengths=True) for _ in range(60)]
    gt = GeneTrees.from_newick(texts)
    offsets, parent, tips = gt.forest(SPECIES)
    for e_pick in (0, -1):
        edges = np.where(e_pick == 0, 0, gt.rooting_counts - 1)
        rerooted = gt.rerooted(edges)
        assert rerooted.is_rooted.all()
        assert rerooted.sources == gt.sources and rerooted.indices.tolist() == gt.indices.tolist()
        for t in range(len(gt)):
            a, b = int(offsets[t]), int(offsets[t + 1])
            labels = gt._labels[a:b]
            want = ref.all_rootings(parent[a:b].tolist(), tips[a:b].tolist())[int(edges[t])]
            ra, rb = int(rerooted._offsets[t]), int(rerooted._offsets[t + 1])
            got = ref.as_is_postorder(rerooted._parent[ra:rb].tolist(), rerooted._species_code[ra:rb].tolist())
            assert ref.clades(got, rerooted._labels[ra:rb]) == ref.clades(want, labels)
            # Tree length is kept: the rooting edge is split, not lost.
            assert np.nansum(rerooted._length[ra:rb]) == pytest.approx(np.nansum(gt._length[a + 1:b]))
        if e_pick == 0:
            rooted = gt.is_rooted
            same = [t for t in range(len(gt)) if rooted[t]]
            assert GeneTrees.from_newick(rerooted.subset(same).to_newick()).to_newick() == \
                gt.subset(same).to_newick()


def test_native_layout_refuses_malformed_columns_without_crashing():
    from vornix import _native

    rng = np.random.default_rng(9)
    for _ in range(300):
        n = int(rng.integers(0, 12))
        parent = rng.integers(-2, n + 1, size=n).astype(np.int64)
        cuts = np.sort(rng.integers(0, n + 1, size=int(rng.integers(0, 4))))
        offsets = np.concatenate([[0], cuts, [n]]).astype(np.int64) if rng.random() < 0.8 else \
            rng.integers(-1, n + 2, size=3).astype(np.int64)
        species = np.zeros(n, dtype=np.int64)
        fault = _native.gene_forest_check(offsets, parent, species)
        trees = np.arange(max(len(offsets) - 1, 0), dtype=np.uint64)
        if fault is None:
            _native.gene_rootings(offsets, parent, species, trees, trees * 0, trees * 0 + 1, True)
        else:
            assert fault[0] in ("offsets", "parent", "unary", "polytomy")
            with pytest.raises(ValueError, match="malformed"):
                _native.gene_rootings(offsets, parent, species, trees, trees * 0, trees * 0 + 1, True)
    good = GeneTrees.from_newick("((a_1,b_1),c_1);")
    offsets, parent, tips = good.forest(SPECIES)
    one = np.zeros(1, dtype=np.uint64)
    with pytest.raises(ValueError, match="out of range"):
        _native.gene_rootings(offsets, parent, tips, one, one, one + 4, False)
    with pytest.raises(ValueError, match="out of range"):
        _native.gene_rerooted(offsets, parent, tips, one + 1, one)

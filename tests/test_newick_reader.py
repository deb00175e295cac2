"""The Newick reader (vornix._newick over vornix._native.read_newick).

Cross-checked against random trees whose arrays are known from their
construction (tests/newick_random.py) and against DendroPy on the shared
benchmark files. VORNIX_NEWICK_CASES scales the randomized checks (default
400); VORNIX_NEWICK_FULL=1 compares all 951 benchmark gene trees with DendroPy.
"""
import math
import os
import pathlib
import random
import re

import numpy as np
import pytest

from newick_random import write_random
from vornix import _native
from vornix._newick import parse, parse_forest

CASES = int(os.environ.get("VORNIX_NEWICK_CASES", "400"))
# Beside the checkout (or beside the folder of git worktrees).
SHARED = next((p / "shared" / "benchmarks" for p in pathlib.Path(__file__).resolve().parents[2:4]
               if (p / "shared" / "benchmarks").is_dir()), pathlib.Path("shared/benchmarks"))
MESSAGE = re.compile(r"(?s)(.*): line (\d+), column (\d+): expected .+, found .+")


def bits(values) -> list[int]:
    return np.asarray(values, dtype=np.float64).view(np.int64).tolist()


def random_text(rng, max_nodes=30):
    """Several random trees in one text, separated by whitespace or comments."""
    text, trees = rng.choice(["", "\n", "[lead]\n", "\ufeff"]), []
    for _ in range(rng.randint(1, 3)):
        if trees:
            text += rng.choice(["\n", " ", "", "\r\n\n", "[between]\n"])
        text, tree = write_random(rng, max_nodes, text)
        trees.append(tree)
    if text.startswith("\ufeff"):  # the byte-order mark takes no column
        for t in trees:
            t.column = [c - (line == 1) for c, line in zip(t.column, t.line)]
    return text + rng.choice(["", "\n", "  [trailing]\n"]), trees


def test_random_trees_read_as_constructed():
    rng = random.Random(11)
    for _ in range(CASES):
        text, trees = random_text(rng)
        for got in (parse_forest(text), parse_forest(text.encode())):
            assert got.tree_offsets.tolist() == np.cumsum([0] + [len(t.parent) for t in trees]).tolist()
            assert got.start_line.tolist() == [t.start_line for t in trees]
            assert got.parent.dtype == np.int32
            assert got.parent.tolist() == sum((t.parent for t in trees), [])
            assert got.labels == sum((t.labels for t in trees), [])
            assert bits(got.length) == bits(sum((t.length for t in trees), []))  # -0.0 and NaN too
            assert got.line.tolist() == sum((t.line for t in trees), [])
            assert got.column.tolist() == sum((t.column for t in trees), [])


def test_garbage_is_refused_with_a_place_or_read_as_a_forest():
    rng = random.Random(12)
    refused = 0
    for case in range(8 * CASES):
        if case % 2:
            data = bytes(rng.choice(b"()[]':;,  \n\tab_1.e-+\xff\xc3\xa9\x00") for _ in range(rng.randint(0, 40)))
            text = data.decode(errors="replace")
        else:  # a valid text with a few characters inserted, deleted or cut
            text = random_text(rng, 12)[0]
            for _ in range(rng.randint(1, 4)):
                i = rng.randrange(len(text) + 1)
                edit = rng.randrange(3)
                if edit == 0:
                    text = text[:i] + rng.choice("()[]':;, \n\x00\x7fe.-") + text[i:]
                else:
                    text = text[:i] + (text[i + 1:] if edit == 1 else "")
            data = text
        try:
            forest = parse_forest(data, "in")
        except ValueError as e:
            m = MESSAGE.fullmatch(str(e))
            assert m and m[1] == "in", str(e)
            line, column = int(m[2]), int(m[3])
            lines = text.split("\n")
            assert 1 <= line <= len(lines) and 1 <= column <= len(lines[line - 1]) + 1, (str(e), text)
            refused += 1
            continue
        for t in forest.trees():
            assert t.parent[0] == -1 and (0 <= t.parent[1:]).all() and (t.parent[1:] < np.arange(1, len(t))).all()
    assert CASES < refused < 8 * CASES
    assert len(parse("(a,b);")) == 1  # still usable


def dendropy_trees(text: str) -> list[tuple[list[int], list[str], list[float]]]:
    dendropy = pytest.importorskip("dendropy")
    out = []
    for tree in dendropy.TreeList.get(data=text, schema="newick", preserve_underscores=True,
                                      rooting="force-rooted", suppress_internal_node_taxa=True,
                                      suppress_leaf_node_taxa=True):
        nodes = list(tree.preorder_node_iter())
        number = {id(n): i for i, n in enumerate(nodes)}
        parent = [number[id(n.parent_node)] if n.parent_node is not None else -1 for n in nodes]
        labels = [n.label or "" for n in nodes]
        lengths = [math.nan if n.edge.length is None else float(n.edge.length) for n in nodes]
        out.append((parent, labels, lengths))
    return out


def assert_same_as_dendropy(text: str) -> None:
    expected = dendropy_trees(text)
    got = parse(text)
    assert len(got) == len(expected)
    for (parent, labels, lengths), g in zip(expected, got):
        assert g.parent.tolist() == parent
        assert g.labels == labels
        assert bits(g.length) == bits(lengths)


@pytest.mark.parametrize("name", ["species_tree_100.nwk", "species_tree_1000.nwk", "gene_trees_100.nwk"])
def test_benchmark_files_match_dendropy(name):
    path = SHARED / name
    if not path.exists():
        pytest.skip("shared benchmark inputs are not beside the checkout")
    text = path.read_text()
    if name.startswith("gene") and os.environ.get("VORNIX_NEWICK_FULL") != "1":
        text = "\n".join(text.splitlines()[::10])  # every tenth tree (DendroPy is slow)
    assert_same_as_dendropy(text)


def test_random_trees_match_dendropy():
    rng = random.Random(14)
    for _ in range(CASES // 2):
        assert_same_as_dendropy(write_random(rng, 30, portable=True)[0])


@pytest.mark.parametrize("text, message", [
    ("", "line 1, column 1: expected a tree, found end of input"),
    (" \n [only a comment]\n", "line 3, column 1: expected a tree, found end of input"),
    ("((a,b),c;", "line 1, column 9: expected ')' to close the '(' at line 1, column 1, found ';'"),
    ("(a,\n(b,c)", "line 2, column 6: expected ')' to close the '(' at line 1, column 1, found end of input"),
    ("(a,b));", "line 1, column 6: expected ';' to end the tree, found ')' without a matching '('"),
    ("(a,b)", "line 1, column 6: expected ';' to end the tree, found end of input"),
    ("(a,b)\n(c,d);", "line 2, column 1: expected ';' to end the tree, found '('"),
    ("(a,b) c d;", "line 1, column 9: expected ';' to end the tree, found 'd'"),
    ("(a,b);\n)", "line 2, column 1: expected another tree or the end of input after ';', found ')'"),
    (";", "line 1, column 1: expected '(' or a label to start a tree, found ';'"),
    ("(a:1:2,b);", "line 1, column 5: expected ',' or ')', found ':'"),
    ("(a'x',b);", "line 1, column 3: expected ',' or ')', found '''"),
    ("(a,\x01b);", "line 1, column 4: expected ',' or ')', found character U+0001"),
    ("(a,b]);", "line 1, column 5: expected ',' or ')', found ']'"),
    ("(é,b:x1);", "line 1, column 6: expected a number as branch length, found 'x1'"),
    ("(a,b:);", "line 1, column 6: expected a branch length after ':', found ')'"),
    ("(a,b:1e);", "line 1, column 6: expected a number as branch length, found '1e'"),
    ("(a,b:0x1p3);", "line 1, column 6: expected a number as branch length, found '0x1p3'"),
    ("(a,b:nan);", "line 1, column 6: expected a finite branch length, found 'nan'"),
    ("(a,b:-inf);", "line 1, column 6: expected a finite branch length, found '-inf'"),
    ("(a,b:1e309);", "line 1, column 6: expected a finite branch length, found '1e309'"),
    ("(a,'b\n);", "line 2, column 3: expected a closing quote for the label at line 1, column 4, found end of input"),
    ("(a,b[x\n);", "line 2, column 3: expected ']' to close the comment at line 1, column 5, found end of input"),
    (b"(\xff\xfe,b);", "line 1, column 2: expected a label in UTF-8, found other bytes"),
])
def test_malformed_text_is_located(text, message):
    with pytest.raises(ValueError) as info:
        parse(text, source="dir/trees.nwk")
    assert str(info.value) == "dir/trees.nwk: " + message


def test_deep_trees():
    depth = 100_000
    # A caterpillar ((((l0,l1),l2),l3)...), leaves l1.. each on its own line.
    text = "(" * depth + "l0" + "".join(f",\nl{i}):{i}" for i in range(1, depth)) + f",\nl{depth});"
    (t,) = parse(text)
    assert len(t) == 2 * depth + 1
    # Internal nodes 0..depth-1 nest; then l0, l1 (children of the innermost),
    # l2 (of the next one out), ... l<depth> (of the root).
    parent = t.parent.astype(np.int64)
    assert (parent[:depth + 1] == np.arange(-1, depth)).all()
    assert (parent[depth + 1:] == np.arange(depth - 1, -1, -1)).all()
    assert t.labels[depth:depth + 2] == ["l0", "l1"] and t.labels[-1] == f"l{depth}"
    assert (t.line[depth + 1:] == np.arange(2, depth + 2)).all() and (t.column[depth + 1:] == 1).all()
    assert (t.line[1:depth] == np.arange(depth, 1, -1)).all()  # each ')' follows its leaf
    assert (t.length[1:depth] == np.arange(depth - 1, 0, -1)).all() and np.isnan(t.length[0])

    # A chain of one-child nodes is read as written.
    (chain,) = parse("(" * depth + "x" + ")" * depth + ";")
    assert chain.parent.tolist() == list(range(-1, depth))
    assert chain.column[:depth].tolist() == list(range(2 * depth + 1, depth + 1, -1))


def test_text_types():
    text = "(a_1,'b c');"
    for given in (text, text.encode(), bytearray(text.encode()), memoryview(text.encode())):
        assert parse(given)[0].labels == ["", "a_1", "b c"]
    with pytest.raises(TypeError, match="must be str or bytes"):
        _native.read_newick(42, "s")
    with pytest.raises(TypeError):
        _native.read_newick("(a);", b"not str")
    with pytest.raises(ValueError):  # a lone surrogate has no UTF-8 form
        parse("(a,\ud800);")


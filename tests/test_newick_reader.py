"""The Newick reader (vornix._newick over vornix._native.read_newick).

Cross-checked against trees whose arrays are known from their construction,
against an independent small reader (tests/newick_reference.py) on mutated
and random text, and against DendroPy on the shared benchmark files.
VORNIX_NEWICK_CASES scales the randomized checks (default 400);
VORNIX_NEWICK_FULL=1 compares all 951 benchmark gene trees with DendroPy.
"""
import math
import os
import pathlib
import random
import re

import numpy as np
import pytest

import newick_reference as ref
from vornix import _native
from vornix._newick import parse, parse_forest

CASES = int(os.environ.get("VORNIX_NEWICK_CASES", "400"))
# Beside the checkout (or beside the folder of git worktrees).
SHARED = next((p / "shared" / "benchmarks" for p in pathlib.Path(__file__).resolve().parents[2:4]
               if (p / "shared" / "benchmarks").is_dir()), pathlib.Path("shared/benchmarks"))
MESSAGE = re.compile(r"(?s)(.*): line (\d+), column (\d+): expected .+, found .+")


def bits(values) -> list[int]:
    return np.asarray(values, dtype=np.float64).view(np.int64).tolist()


def assert_same(expected: list[ref.Tree], got) -> None:
    assert len(got) == len(expected)
    for e, g in zip(expected, got):
        assert g.parent.dtype == np.int32 and g.length.dtype == np.float64
        assert g.parent.tolist() == e.parent
        assert g.labels == e.labels
        assert bits(g.length) == bits(e.length)  # exact, -0.0 and NaN included
        assert g.line.tolist() == e.line
        assert g.column.tolist() == e.column
        assert g.start_line == e.start_line


def error_place(text, source="src") -> tuple[int, int] | None:
    """(line, column) of the reader's error, None when it reads the text."""
    try:
        parse(text, source)
    except ValueError as e:
        m = MESSAGE.fullmatch(str(e))
        assert m is not None and m[1] == source, str(e)
        return int(m[2]), int(m[3])
    return None


def random_text(rng, max_trees=3, max_nodes=30, **kw) -> tuple[str, list[ref.Tree]]:
    """Several random trees in one text, separated by whitespace or comments."""
    text, trees = rng.choice(["", "\n", "[lead]\n"]), []
    for _ in range(rng.randint(1, max_trees)):
        if trees:
            text += rng.choice(["\n", " ", "", "\r\n\n", "[between]\n"])
        t = ref.random_tree(rng, max_nodes)
        text = ref.write_random(t, rng, text, **kw)
        trees.append(t)
    return text + rng.choice(["", "\n", "  [trailing]\n"]), trees


def test_random_trees_read_as_constructed():
    rng = random.Random(11)
    for _ in range(CASES):
        text, trees = random_text(rng)
        assert_same(trees, parse(text))
        assert_same(trees, parse(text.encode()))
        forest = parse_forest(text)
        assert forest.tree_offsets.tolist() == np.cumsum([0] + [len(t.parent) for t in trees]).tolist()


def mutate(rng, text: str) -> str:
    chars = list(text)
    for _ in range(rng.randint(1, 4)):
        i = rng.randrange(len(chars) + 1)
        op = rng.randrange(4)
        if op == 0:
            chars.insert(i, rng.choice("()[]':;, \n\t\x00\x01\x7fab1e.-+\ufeff"))
        elif op == 1 and i < len(chars):
            del chars[i]
        elif op == 2:
            del chars[i:]
        elif i < len(chars):
            chars[i] = rng.choice("()[]':;,")
    out = "".join(chars)
    return "\ufeff" + out if rng.random() < 0.05 else out


def test_mutated_text_agrees_with_reference_reader():
    rng = random.Random(12)
    failures = 0
    for _ in range(4 * CASES):
        text = mutate(rng, random_text(rng, max_nodes=12)[0])
        try:
            expected, expected_error = ref.reference_read(text), None
        except ref.ReferenceError_ as e:
            expected, expected_error = None, (e.line, e.column)
        assert error_place(text) == expected_error, repr(text)
        if expected_error is None:
            assert_same(expected, parse(text))
        else:
            failures += 1
    assert failures > CASES  # the mutations do break most texts


def test_random_bytes_never_crash():
    rng = random.Random(13)
    alphabet = b"()[]':;,   \n\tab_1.e-+\xff\xc3\xa9\x00"
    for _ in range(4 * CASES):
        data = bytes(rng.choice(alphabet) for _ in range(rng.randint(0, 40)))
        try:
            forest = parse_forest(data, "b")
        except ValueError as e:
            assert MESSAGE.fullmatch(str(e)) and str(e).startswith("b: "), str(e)
            continue
        # Whatever is read is a well-formed forest.
        for t in forest.trees():
            assert t.parent[0] == -1 and (t.parent[1:] >= 0).all()
            assert (t.parent[1:] < np.arange(1, len(t))).all()
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
        t = ref.random_tree(rng, 30)
        assert_same_as_dendropy(ref.write_random(t, rng, portable=True))


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


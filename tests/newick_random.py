"""Random trees written in random but valid Newick, with the arrays the
reader must give for them known from the construction: preorder parents,
labels, exact lengths and the line and column of each node."""
from __future__ import annotations

import math
from dataclasses import dataclass, field

PUNCT = "()[]':;,"
LABEL_CHARS = "abcxyzAB019_-.+é∂𝔸|\"/\\#&*"  # may stand unquoted
GAPS = [" ", "\n", "\t", "  \r\n", "\n\n "]
COMMENTS = ["[note]", "[&R]", "[multi\nline é]", "[]", " [x] "]
# Spellings of lengths with their values: exponents, signs, bare points,
# underflow to zero, the largest double.
ODD_LENGTHS = ["0", "-0", "1.", ".5", "+2", "1E+05", "-3e-12", "1e-400", "-2.4e-324", "5e-324",
               "1.7976931348623157e308", "0.1000000000000000055511151231257827"]


@dataclass
class Tree:
    parent: list[int]
    labels: list[str] = field(default_factory=list)
    length: list[float] = field(default_factory=list)
    line: list[int] = field(default_factory=list)
    column: list[int] = field(default_factory=list)
    start_line: int = 1


def random_shape(rng, max_nodes: int) -> list[int]:
    """Preorder parents of a random tree with unary nodes and multifurcations."""
    n = rng.randint(1, max_nodes)
    parent = [-1] + [rng.randrange(i) if rng.random() < 0.7 else i - 1 for i in range(1, n)]
    children: list[list[int]] = [[] for _ in range(n)]
    for i in range(1, n):
        children[parent[i]].append(i)
    order, stack = [], [0]
    while stack:
        node = stack.pop()
        order.append(node)
        stack.extend(reversed(children[node]))
    number = {old: new for new, old in enumerate(order)}
    return [-1] + [number[parent[old]] for old in order[1:]]


def write_random(rng, max_nodes: int, text: str = "", portable: bool = False) -> tuple[str, Tree]:
    """`text` followed by a random tree, and what reading it must give (lines
    and columns count from the start of `text`). `portable` leaves out what
    some readers take in a sense of their own: comments, '"' and '\\' in
    labels, punctuation in quoted labels, leaves without a label."""
    t = Tree(random_shape(rng, max_nodes))
    n = len(t.parent)
    children: list[list[int]] = [[] for _ in range(n)]
    for i in range(1, n):
        children[t.parent[i]].append(i)
    t.labels, t.length, t.line, t.column = [""] * n, [math.nan] * n, [0] * n, [0] * n
    out = [text]
    alphabet = LABEL_CHARS.replace('"', "").replace("\\", "") if portable else LABEL_CHARS

    def place() -> tuple[int, int]:
        s = "".join(out)
        return s.count("\n") + 1, len(s) - (s.rfind("\n") + 1) + 1

    def gap() -> None:
        r = rng.random()
        if r > 0.75:
            out.append(rng.choice(GAPS if portable or r < 0.9 else COMMENTS))

    def label_and_length(node: int, must_label: bool) -> None:
        if must_label or rng.random() < (0.9 if children[node] == [] and not portable else 0.3):
            quoted = rng.random() < 0.25
            chars = alphabet + (" '\t" if portable else PUNCT + " \t") * quoted
            label = "".join(rng.choice(chars) for _ in range(rng.randint(1, 6)))
            out.append("'" + label.replace("'", "''") + "'" if quoted else label)
            t.labels[node] = label
            gap()
        if rng.random() < 0.7:
            out.append(":")
            gap()
            r = rng.random()
            spelling = (repr(rng.uniform(0, 10)) if r < 0.4 else
                        f"{rng.uniform(-1, 1) * 10.0 ** rng.randint(-30, 30):.{rng.randint(0, 17)}e}" if r < 0.7 else
                        rng.choice(ODD_LENGTHS))
            out.append(spelling)
            t.length[node] = float(spelling)
            gap()

    t.start_line = place()[0]
    if n == 1:  # a tree of one node needs a label
        t.line[0], t.column[0] = place()
        label_and_length(0, must_label=True)
        return "".join(out) + ";", t
    # Iteratively (trees may be deep): a stack of (node, next child).
    out.append("(")
    gap()
    stack = [(0, 0)]
    while stack:
        node, k = stack.pop()
        if k == len(children[node]):
            t.line[node], t.column[node] = place()
            out.append(")")
            gap()
            label_and_length(node, must_label=False)
            continue
        if k > 0:
            out.append(",")
            gap()
        stack.append((node, k + 1))
        child = children[node][k]
        if children[child]:
            out.append("(")
            gap()
            stack.append((child, 0))
        else:
            t.line[child], t.column[child] = place()
            label_and_length(child, must_label=portable)
    return "".join(out) + ";", t

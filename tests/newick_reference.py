"""Independent models for the Newick reader's tests.

- ``random_tree`` / ``write_random``: random trees written in random but
  valid Newick, with the arrays the reader must return known from the
  construction (preorder parents, labels, lengths, the place of each node).
- ``reference_read``: a small recursive reader of the same grammar, built
  from a lazy tokenizer, giving the same arrays or the place of the first
  error. Recursive, so for small inputs only.
"""
from __future__ import annotations

import math
import re
from dataclasses import dataclass, field

WHITESPACE = " \t\n\r\v\f"
PUNCT = "()[]':;,"
LABEL_ALPHABET = "abcxyzAB019_-.+é∂𝔸|\"/\\#&*"
# Labels that must be quoted to survive: they hold punctuation or spaces.
QUOTE_ALPHABET = LABEL_ALPHABET + PUNCT + " \t"


@dataclass
class Tree:
    parent: list[int] = field(default_factory=list)
    labels: list[str] = field(default_factory=list)
    length: list[float] = field(default_factory=list)
    line: list[int] = field(default_factory=list)
    column: list[int] = field(default_factory=list)
    start_line: int = 1


class ReferenceError_(Exception):
    def __init__(self, line: int, column: int):
        super().__init__(f"line {line}, column {column}")
        self.line, self.column = line, column


def place(text: str, index: int) -> tuple[int, int]:
    """1-based line and column (in characters) of text[index]."""
    line = text.count("\n", 0, index) + 1
    return line, index - (text.rfind("\n", 0, index) + 1) + 1


# ---------------------------------------------------------------- generator


def random_label(rng, portable: bool = False) -> str:
    quoted = rng.random() < 0.2
    alphabet = QUOTE_ALPHABET if quoted else LABEL_ALPHABET
    if portable:
        alphabet = LABEL_ALPHABET.replace('"', "").replace("\\", "") + (" '\t" if quoted else "")
    return "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 6)))


def random_length(rng) -> tuple[float, str]:
    """A value and one of its spellings."""
    kind = rng.randrange(6)
    if kind == 0:
        v = rng.uniform(0, 10)
        return v, repr(v)
    if kind == 1:
        v = rng.uniform(-1, 1) * 10.0 ** rng.randint(-30, 30)
        text = f"{v:.{rng.randint(0, 17)}e}"
        text = text.upper() if rng.random() < 0.5 else text
        return float(text), text
    if kind == 2:
        n = rng.randint(0, 999)
        return float(n), str(n)
    if kind == 3:
        text = f"{rng.randint(0, 99)}." if rng.random() < 0.5 else f".{rng.randint(0, 99999)}"
        return float(text), text
    if kind == 4:
        text = "+" + repr(rng.uniform(0, 5))
        return float(text), text
    text = rng.choice(["0", "-0", "0.0", "1e-400", "-2.4e-324", "5e-324", "1.7976931348623157e308"])
    return float(text), text


def random_tree(rng, max_nodes: int = 40) -> Tree:
    """Random shape (multifurcations and unary nodes included), labels and lengths."""
    t = Tree()
    t.parent.append(-1)
    n = rng.randint(1, max_nodes)
    for i in range(1, n):
        t.parent.append(rng.randrange(i) if rng.random() < 0.7 else i - 1)
    # Renumber in preorder (children in increasing number).
    children: list[list[int]] = [[] for _ in range(n)]
    for i in range(1, n):
        children[t.parent[i]].append(i)
    order, stack = [], [0]
    while stack:
        node = stack.pop()
        order.append(node)
        stack.extend(reversed(children[node]))
    number = {old: new for new, old in enumerate(order)}
    t.parent = [-1] + [number[t.parent[old]] for old in order[1:]]
    return t


def write_random(t: Tree, rng, text_so_far: str = "", portable: bool = False) -> str:
    """Writes tree t in Newick with random quoting, comments, whitespace and
    length spellings, filling its labels, lengths and node places (lines and
    columns count from the start of `text_so_far`). Its preorder numbering
    is kept: children in increasing number. `portable` keeps out what some
    readers give a meaning of their own: comments, '"' and '\\' in labels,
    brackets and such in quoted labels, leaves without a label."""
    n = len(t.parent)
    children: list[list[int]] = [[] for _ in range(n)]
    for i in range(1, n):
        children[t.parent[i]].append(i)
    t.labels = [""] * n
    t.length = [math.nan] * n
    t.line = [0] * n
    t.column = [0] * n
    out = [text_so_far]
    size = [len(text_so_far)]

    def emit(s: str) -> None:
        out.append(s)
        size[0] += len(s)

    def gap() -> None:
        r = rng.random()
        if r < 0.75:
            return
        if r < 0.9 or portable:
            emit(rng.choice([" ", "\n", "\t", "  \r\n", "\n\n "]))
        else:
            emit(rng.choice(["[note]", "[&R]", "[multi\nline é]", "[]", " [x] "]))

    def mark(node: int) -> None:
        t.line[node], t.column[node] = place("".join(out), size[0])

    def label_and_length(node: int, leaf: bool) -> None:
        if rng.random() < (0.9 if leaf and not portable else 1.0 if leaf else 0.3):
            label = random_label(rng, portable)
            if any(c in PUNCT + WHITESPACE for c in label) or rng.random() < 0.15:
                emit("'" + label.replace("'", "''") + "'")
            else:
                emit(label)
            t.labels[node] = label
            gap()
        if rng.random() < 0.7:
            emit(":")
            gap()
            t.length[node], text = random_length(rng)
            emit(text)
            gap()

    # Iterative writer (trees may be deep): a stack of (node, next child).
    t.start_line = place("".join(out), size[0])[0]
    stack = [(0, 0)]
    if children[0]:
        emit("(")
        gap()
    else:
        # A tree of one node needs its label (an empty one is no tree).
        mark(0)
        emit("only")
        t.labels[0] = "only"
        gap()
        if rng.random() < 0.5:
            emit(":")
            t.length[0], text = random_length(rng)
            emit(text)
        stack = []
    while stack:
        node, k = stack.pop()
        kids = children[node]
        if k < len(kids):
            if k > 0:
                emit(",")
                gap()
            stack.append((node, k + 1))
            child = kids[k]
            if children[child]:
                emit("(")
                gap()
                stack.append((child, 0))
            else:
                mark(child)
                label_and_length(child, True)
        else:
            mark(node)
            emit(")")
            gap()
            label_and_length(node, False)
    emit(";")
    return "".join(out)


# ---------------------------------------------------------------- reference reader

_NUMBER = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?\Z")


def _is_label_char(c: str) -> bool:
    return c not in WHITESPACE and c not in PUNCT and not (ord(c) < 0x20 or ord(c) == 0x7F)


def _tokens(text: str):
    """Yields (kind, value, index): kind is a punctuation char, 'label',
    'quoted', or 'end'; other characters come as kind 'other'."""
    i = 1 if text.startswith("\ufeff") else 0
    n = len(text)
    while True:
        while i < n and (text[i] in WHITESPACE or text[i] == "["):
            if text[i] == "[":
                j = text.find("]", i + 1)
                if j < 0:
                    raise ReferenceError_(*place(text, n))
                i = j + 1
            else:
                i += 1
        if i == n:
            yield ("end", None, i)
            return
        c = text[i]
        if c == "'":
            parts, j = [], i + 1
            while True:
                k = text.find("'", j)
                if k < 0:
                    # Only an error where a label may stand.
                    yield ("unclosed", None, i)
                    raise ReferenceError_(*place(text, n))
                parts.append(text[j:k])
                if text.startswith("''", k):
                    parts.append("'")
                    j = k + 2
                    continue
                break
            yield ("quoted", "".join(parts), i)
            i = k + 1
        elif _is_label_char(c):
            j = i
            while j < n and _is_label_char(text[j]):
                j += 1
            yield ("label", text[i:j], i)
            i = j
        elif c in PUNCT:
            yield (c, None, i)
            i += 1
        else:
            yield ("other", c, i)
            i += 1


def reference_read(text: str) -> list[Tree]:
    """Every tree of text, or ReferenceError_ at the first fault."""
    origin = 1 if text.startswith("\ufeff") else 0

    def err(index: int):
        line, col = place(text, index)
        return ReferenceError_(line, col - (origin if line == 1 else 0))

    def where(index: int) -> tuple[int, int]:
        line, col = place(text, index)
        return line, col - (origin if line == 1 else 0)

    stream = _tokens(text)
    look = [None]

    def peek():
        if look[0] is None:
            try:
                look[0] = next(stream)
            except ReferenceError_ as e:
                raise err_at(e)
        return look[0]

    def err_at(e: ReferenceError_):
        return ReferenceError_(e.line, e.column - (origin if e.line == 1 else 0))

    def take():
        tok = peek()
        look[0] = None
        return tok

    def label(t: Tree, node: int) -> None:
        kind, value, _ = peek()
        if kind == "unclosed":
            take()
            peek()  # raises at the end of the text
        if kind in ("label", "quoted"):
            t.labels[node] = value
            take()
        if peek()[0] == ":":
            take()
            kind, value, index = peek()
            if kind != "label":
                raise err(index)
            if not _NUMBER.match(value) or not math.isfinite(float(value)):
                raise err(index)
            t.length[node] = float(value)
            take()

    def subtree(t: Tree, parent: int) -> None:
        node = len(t.parent)
        t.parent.append(parent)
        t.labels.append("")
        t.length.append(math.nan)
        t.line.append(0)
        t.column.append(0)
        kind, _, index = peek()
        if kind == "(":
            take()
            subtree(t, node)
            while peek()[0] == ",":
                take()
                subtree(t, node)
            kind, _, index2 = peek()
            if kind != ")":
                raise err(index2)
            t.line[node], t.column[node] = where(index2)
            take()
        else:
            t.line[node], t.column[node] = where(index)
        label(t, node)

    trees = []
    while True:
        kind, value, index = peek()
        if kind == "end":
            if not trees:
                raise err(index)
            return trees
        if kind not in ("(", "label", "quoted", "unclosed"):
            raise err(index)
        t = Tree(parent=[], labels=[], length=[], line=[], column=[])
        t.start_line = where(index)[0]
        subtree(t, -1)
        kind, _, index = peek()
        if kind != ";":
            raise err(index)
        take()
        trees.append(t)

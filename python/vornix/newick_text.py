"""Writing trees held as pre-order parent columns back to Newick."""

from __future__ import annotations

import math
import re
from collections.abc import Sequence

import numpy as np

__all__ = ["format_trees", "quote_label"]

_NEEDS_QUOTES = re.compile(r"[\s()\[\]':;,]")


def quote_label(label: str) -> str:
    """A label as Newick writes it: quoted (``'`` doubled) when it holds
    whitespace or punctuation that Newick reserves.

    >>> quote_label("s133_1"), quote_label("it's here")
    ('s133_1', "'it''s here'")
    """
    if _NEEDS_QUOTES.search(label):
        return "'" + label.replace("'", "''") + "'"
    return label


def format_trees(offsets: np.ndarray, parent: np.ndarray, labels: Sequence[str],
                 length: np.ndarray | None = None) -> str:
    """Newick text of every tree, one per line.

    Tree ``t`` holds nodes ``offsets[t]:offsets[t+1]`` in pre-order with
    local parent indices (-1 for the root); NaN lengths are left out.

    >>> import numpy as np
    >>> format_trees(np.array([0, 3, 4]), np.array([-1, 0, 0, -1]), ["r", "a", "b", "c"],
    ...              np.array([np.nan, 1.5, 2.0, np.nan]))
    '(a:1.5,b:2.0)r;\\nc;\\n'
    """
    out: list[str] = []
    off = np.asarray(offsets).tolist()
    par = np.asarray(parent).tolist()
    lens = None if length is None else np.asarray(length, dtype=np.float64).tolist()
    for t in range(len(off) - 1):
        a, b = off[t], off[t + 1]
        kids: list[list[int]] = [[] for _ in range(b - a)]
        for v in range(1, b - a):
            kids[par[a + v]].append(v)
        text: list[str] = [""] * (b - a)
        for v in range(b - a - 1, -1, -1):
            piece = quote_label(labels[a + v])
            if kids[v]:
                piece = "(" + ",".join(text[c] for c in kids[v]) + ")" + piece
                for c in kids[v]:
                    text[c] = ""
            if lens is not None and not math.isnan(lens[a + v]):
                piece += ":" + repr(lens[a + v])
            text[v] = piece
        out.append(text[0] + ";\n")
    return "".join(out)

"""A small dated species tree to try things on: twelve living species from
frog to human and three extinct lineages (Smilodon, Pakicetus,
Tyrannosaurus), with the root at time 0 and the present at 10."""

from __future__ import annotations

from vornix.species_tree import SpeciesTree

__all__ = ["example_tree", "EXAMPLE_TREE"]

_Node = tuple[str, float, list["_Node"]]

#: The example tree as (name, time, children), time running from the root
#: (0) to the present (10); leaves dated before 10 are extinct lineages.
EXAMPLE_TREE: _Node = (
    "root", 0.0, [
        ("amniotes", 1.5, [
            ("mammals", 3.0, [
                ("euarchontoglires", 5.0, [
                    ("primates", 7.0, [("human", 10.0, []), ("chimpanzee", 10.0, [])]),
                    ("rodents", 7.5, [("mouse", 10.0, []), ("rat", 10.0, [])]),
                ]),
                ("laurasiatheria", 4.5, [
                    ("carnivores", 7.2, [
                        ("dog", 10.0, []),
                        ("felids", 8.0, [("cat", 10.0, []), ("Smilodon", 9.9, [])]),
                    ]),
                    ("cetartiodactyls", 6.0, [("cow", 10.0, []), ("Pakicetus", 7.8, [])]),
                ]),
            ]),
            ("sauropsids", 2.5, [
                ("archosaurs", 4.0, [
                    ("dinosaurs", 5.0, [("chicken", 10.0, []), ("Tyrannosaurus", 8.3, [])]),
                    ("crocodile", 10.0, []),
                ]),
                ("lizard", 10.0, []),
            ]),
        ]),
        ("amphibians", 4.0, [("frog", 10.0, []), ("salamander", 10.0, [])]),
    ],
)
_PRESENT = 10.0


def example_tree() -> SpeciesTree:
    """The example species tree, its nodes numbered in preorder.

    Examples
    --------
    >>> t = example_tree()
    >>> len(t.extant_names), t.extinct_names, t.age
    (12, ['Smilodon', 'Pakicetus', 'Tyrannosaurus'], 10.0)
    """
    parent: list[int] = []
    time: list[float] = []
    extant: list[bool] = []
    names: list[str] = []
    stack: list[tuple[_Node, int]] = [(EXAMPLE_TREE, -1)]
    while stack:
        (name, when, children), up = stack.pop()
        node = len(names)
        parent.append(up)
        time.append(when)
        extant.append(not children and when == _PRESENT)
        names.append(name)
        stack.extend((child, node) for child in reversed(children))
    return SpeciesTree.from_arrays(parent, time, extant, 0, names)

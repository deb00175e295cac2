"""Which species each gene-tree leaf was sampled in.

Three ways to say it: a dict from gene (leaf) name to species name, a
two-column mapping file (gene, species; whitespace-separated, ``#`` starts a
comment), or a naming rule: the species is the part of the leaf name before
its last separator (``s133_1`` -> ``s133``, ``Homo_sapiens_7`` ->
``Homo_sapiens``) or, with ``species_side="after"``, the part after its
first separator (``g7|Homo_sapiens`` -> ``Homo_sapiens``). A leaf name
without the separator is itself the species name.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Mapping
from typing import Literal, Union

__all__ = ["GeneMapping", "read_mapping_file", "species_namer"]

GeneMapping = Union[Mapping[str, str], str, "os.PathLike[str]", None]
SpeciesSide = Literal["before", "after"]


def read_mapping_file(path: str | os.PathLike[str]) -> dict[str, str]:
    """Read a two-column (gene, species) mapping file.

    Examples
    --------
    >>> import pathlib, tempfile
    >>> p = pathlib.Path(tempfile.mkdtemp()) / "map.tsv"
    >>> _ = p.write_text("# gene species\\ng1 human\\ng2\\tmouse  # a comment\\n\\n")
    >>> read_mapping_file(p)
    {'g1': 'human', 'g2': 'mouse'}
    """
    mapping: dict[str, str] = {}
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, start=1):
            line = raw.split("#", 1)[0].split()
            if not line:
                continue
            if len(line) != 2:
                raise ValueError(f"{os.fspath(path)}: line {number}: expected two columns (gene, species), "
                                 f"found {len(line)}")
            gene, species = line
            if mapping.setdefault(gene, species) != species:
                raise ValueError(f"{os.fspath(path)}: line {number}: gene {gene!r} is mapped to both "
                                 f"{mapping[gene]!r} and {species!r}")
    return mapping


def species_namer(mapping: GeneMapping, separator: str = "_",
                  species_side: SpeciesSide = "before") -> Callable[[list[str]], list[str | None]]:
    """A function from a list of leaf names to their species names (None
    where a mapping does not name the leaf).

    Examples
    --------
    >>> species_namer(None)(["Homo_sapiens_7", "s133_1", "s9"])
    ['Homo_sapiens', 's133', 's9']
    >>> species_namer(None, "|", "after")(["g7|Homo_sapiens"])
    ['Homo_sapiens']
    >>> species_namer({"g1": "human"})(["g1", "g2"])
    ['human', None]
    """
    if mapping is not None:
        if isinstance(mapping, (str, os.PathLike)):
            table = read_mapping_file(mapping)
        elif isinstance(mapping, Mapping):
            table = {str(k): str(v) for k, v in mapping.items()}
        else:
            raise TypeError(f"mapping must be a dict or the path of a mapping file, not {type(mapping).__name__}")
        get = table.get
        return lambda names: [get(n) for n in names]
    if not isinstance(separator, str) or not separator:
        raise ValueError("separator must be a non-empty string")
    sep = separator
    if species_side == "before":
        return lambda names: [n.rpartition(sep)[0] or n for n in names]
    if species_side == "after":
        return lambda names: [n.partition(sep)[2] or n for n in names]
    raise ValueError(f"species_side must be 'before' or 'after', not {species_side!r}")

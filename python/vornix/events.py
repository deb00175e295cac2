"""The event table of a gene-family simulation, as numpy columns."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from vornix._optional import require

if TYPE_CHECKING:  # pragma: no cover
    import pandas

    from vornix.species_tree import SpeciesTree

__all__ = ["EventTable", "EVENT_LETTERS"]

#: The letter of each event code: 0 origination, 1 duplication, 2 transfer,
#: 3 loss, 4 speciation.
EVENT_LETTERS = "ODTLS"
_LETTERS = np.array(list(EVENT_LETTERS))

# Column name, dtype, and what it holds, in the order of the records.
_COLUMNS = (
    ("kind", np.uint8, "event code: 0 O, 1 D, 2 T, 3 L, 4 S"),
    ("branch", np.uint32, "species node whose branch the event is on (the splitting node for S)"),
    ("time", np.float64, "time of the event"),
    ("donor", np.int64, "transfer donor node, -1 otherwise"),
    ("recipient", np.int64, "transfer recipient node, -1 otherwise"),
    ("family", np.uint64, "family number (from 0 in the engine)"),
    ("gene", np.uint64, "O: the new copy; D, T, S: the copy split; L: the lost copy"),
    ("child1", np.int64, "D: first new copy; T: copy staying in the donor; S: copy of the first child"),
    ("child2", np.int64, "D: second new copy; T: copy in the recipient; S: copy of the second child"),
)


class EventTable:
    """Every event of a run, one row per event in the order they happened.

    Columns are read-only numpy arrays of equal length. ``family`` counts
    from 1, as in the files of the output directory. Species-tree nodes are
    node numbers of :attr:`tree`; :meth:`names` turns a node column into
    names.

    Attributes
    ----------
    kind : numpy.ndarray of uint8
        Event code: 0 origination (O), 1 duplication (D), 2 transfer (T),
        3 loss (L), 4 speciation (S).
    branch : numpy.ndarray of uint32
        Node whose branch the event happened on (for S: the splitting node).
    time : numpy.ndarray of float64
        Time of the event.
    donor, recipient : numpy.ndarray of int64
        The two branches of a transfer; -1 for other events.
    family : numpy.ndarray of int64
        Family number, from 1.
    gene : numpy.ndarray of uint64
        O: the new copy; D, T, S: the copy that splits; L: the lost copy.
    child1, child2 : numpy.ndarray of int64
        The two copies a split makes (D: both new copies; T: the copy that
        stays in the donor and the one placed in the recipient; S: the copies
        of the first and second child); -1 for O and L.
    """

    __slots__ = ("tree", "kind", "branch", "time", "donor", "recipient", "_family0", "_family", "gene",
                 "child1", "child2")

    def __init__(self, tree: SpeciesTree, columns: dict[str, np.ndarray]) -> None:
        self.tree = tree
        self.kind = columns["kind"]
        self.branch = columns["branch"]
        self.time = columns["time"]
        self.donor = columns["donor"]
        self.recipient = columns["recipient"]
        self._family0 = columns["family"]
        self._family: np.ndarray | None = None
        self.gene = columns["gene"]
        self.child1 = columns["child1"]
        self.child2 = columns["child2"]

    @classmethod
    def from_buffers(cls, tree: SpeciesTree, buffers: tuple[Any, ...]) -> EventTable:
        """Views of the nine packed record columns, without copying."""
        return cls(tree, {name: np.frombuffer(buf, dtype=dtype) for (name, dtype, _), buf in zip(_COLUMNS, buffers)})

    def core_buffers(self) -> tuple[np.ndarray, ...]:
        """The nine columns as the engine wrote them (family from 0)."""
        return (self.kind, self.branch, self.time, self.donor, self.recipient, self._family0, self.gene,
                self.child1, self.child2)

    def take(self, rows: np.ndarray) -> EventTable:
        """The table of the given rows (indices or a boolean mask), in that order."""
        columns = {name: (self._family0 if name == "family" else getattr(self, name))[rows] for name, _, _ in _COLUMNS}
        for column in columns.values():
            column.setflags(write=False)
        return EventTable(self.tree, columns)

    @property
    def family(self) -> np.ndarray:
        """Family number of each event, from 1 (int64, read-only)."""
        if self._family is None:
            family = self._family0.astype(np.int64) + 1
            family.setflags(write=False)
            self._family = family
        return self._family

    def __len__(self) -> int:
        return int(self.kind.shape[0])

    @property
    def letters(self) -> np.ndarray:
        """The event letter of each row: O, D, T, L or S."""
        return _LETTERS[self.kind]

    def names(self, column: str = "branch") -> np.ndarray:
        """The species names of a node column (``branch``, ``donor`` or
        ``recipient``); an empty string where the column holds -1."""
        if column not in ("branch", "donor", "recipient"):
            raise ValueError(f"column must be 'branch', 'donor' or 'recipient', got {column!r}")
        nodes = getattr(self, column).astype(np.int64)
        names = np.append(self.tree.names, "")
        return names[np.where(nodes >= 0, nodes, len(names) - 1)]

    def count(self) -> dict[str, int]:
        """The number of events of each kind, by letter.

        Examples
        --------
        >>> import vornix
        >>> t = vornix.SpeciesTree.from_arrays([-1, 0, 0], [0.0, 1.0, 1.0], [False, True, True], 0)
        >>> vornix.simulate_families(t, duplication=0, transfer=0, loss=0, origination=0,
        ...                          initial_size=3, seed=1).events.count()
        {'O': 3, 'D': 0, 'T': 0, 'L': 0, 'S': 3}
        """
        counts = np.bincount(self.kind, minlength=5)
        return {letter: int(counts[i]) for i, letter in enumerate(EVENT_LETTERS)}

    def to_pandas(self, names: bool = True) -> pandas.DataFrame:
        """The table as a pandas DataFrame (needs pandas).

        Parameters
        ----------
        names : bool, default True
            Species as names (``branch``, ``donor``, ``recipient``; empty where
            there is none) instead of node numbers.

        Returns
        -------
        pandas.DataFrame
            Columns ``time``, ``event`` (the letter, categorical), ``branch``,
            ``donor``, ``recipient``, ``family``, ``gene``, ``child1``,
            ``child2``.
        """
        pd = require("pandas", "a DataFrame")
        event = pd.Categorical.from_codes(self.kind.astype(np.int8), categories=list(EVENT_LETTERS))
        data: dict[str, Any] = {"time": self.time, "event": event}
        for column in ("branch", "donor", "recipient"):
            data[column] = self.names(column) if names else getattr(self, column)
        data["family"] = self.family
        for column in ("gene", "child1", "child2"):
            data[column] = getattr(self, column)
        return pd.DataFrame(data)

    def __repr__(self) -> str:
        counts = ", ".join(f"{k} {v}" for k, v in self.count().items())
        return f"<EventTable: {len(self)} events ({counts})>"

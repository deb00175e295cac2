"""Per-family counts of a run, and a few families worth drawing."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from vornix.families import FamilySimulation

__all__ = ["FamilyCounts", "family_counts", "representative_families"]

# A family drawn in the report has at most this many copies in its complete
# gene tree, so that its picture stays readable.
MAX_DRAWN_COPIES = 400


@dataclass
class FamilyCounts:
    """Columns indexed by family number - 1."""

    origin_time: np.ndarray
    origin_branch: np.ndarray
    events: dict[str, np.ndarray]  # letter -> count per family
    extant_copies: np.ndarray
    species_present: np.ndarray

    @property
    def copies(self) -> np.ndarray:
        """Nodes of each family's complete gene tree: one per copy."""
        e = self.events
        return 1 + 2 * (e["D"] + e["T"] + e["S"])


def family_counts(sim: FamilySimulation) -> FamilyCounts:
    n = sim.n_families
    ev = sim.events
    family0 = ev.family - 1
    events = {letter: np.bincount(family0[ev.kind == code], minlength=n) for code, letter in enumerate("ODTLS")}
    origin = np.flatnonzero(ev.kind == 0)
    origin_time = np.full(n, np.nan)
    origin_branch = np.full(n, -1, dtype=np.int64)
    origin_time[family0[origin]] = ev.time[origin]
    origin_branch[family0[origin]] = ev.branch[origin]
    copies = sim.extant_copies()
    extant = np.bincount(copies["family"] - 1, minlength=n) if n else np.zeros(0, dtype=np.int64)
    pairs = np.unique((copies["family"] - 1) * sim.tree.n_nodes + copies["species"])
    present = np.bincount(pairs // sim.tree.n_nodes, minlength=n)
    return FamilyCounts(origin_time, origin_branch, events, extant, present)


def representative_families(counts: FamilyCounts, n: int) -> list[tuple[int, str]]:
    """Up to `n` families (numbers from 1) with why each was chosen: the most
    widespread, the one with the most transfers, the one with the most
    duplications, the largest that died out; each small enough to draw."""
    drawable = counts.copies <= MAX_DRAWN_COPIES
    picks: list[tuple[int, str]] = []
    criteria = (
        ("present in the most species", counts.species_present, counts.extant_copies > 0),
        ("the most transfers", counts.events["T"], counts.events["T"] > 0),
        ("the most duplications", counts.events["D"], counts.events["D"] > 0),
        ("the largest that died out", counts.copies, counts.extant_copies == 0),
    )
    for why, score, eligible in criteria:
        if len(picks) >= n:
            break
        chosen = {f - 1 for f, _ in picks}
        candidates = np.flatnonzero(drawable & eligible)
        candidates = np.array([c for c in candidates.tolist() if c not in chosen], dtype=np.int64)
        if len(candidates) == 0:
            continue
        # Highest score; ties go to the smaller tree, then the lower number.
        best = candidates[np.lexsort((candidates, counts.copies[candidates], -score[candidates]))[0]]
        picks.append((int(best) + 1, why))
    return picks

"""A finished run of ``vornix simulate`` read back: its record (run.json),
its species tree, and the simulation repeated from the recorded seed."""

from __future__ import annotations

import hashlib
import json
import os
from dataclasses import dataclass
from typing import Any

from vornix.families import FamilySimulation, simulate_families
from vornix.species_tree import SpeciesTree

__all__ = ["Run", "load_run"]

# The run.json arguments simulate_families takes.
_ARGUMENTS = ("duplication", "transfer", "loss", "origination", "initial_size", "seed", "cap", "replacement",
              "distance_decay", "allow_self")


@dataclass
class Run:
    """What the report shows: where the run is, what run.json says, the
    species tree and the repeated simulation."""

    directory: str
    record: dict[str, Any]
    tree: SpeciesTree
    tree_source: str
    sim: FamilySimulation


def _read_record(directory: str) -> dict[str, Any]:
    path = os.path.join(directory, "run.json")
    try:
        with open(path, encoding="utf-8") as f:
            record = json.load(f)
    except FileNotFoundError:
        raise FileNotFoundError(2, "no run.json: not a directory written by vornix simulate", path) from None
    except json.JSONDecodeError as error:
        raise ValueError(f"{path}: not valid JSON ({error})") from None
    if not isinstance(record, dict) or record.get("command") != "simulate":
        raise ValueError(f"{path}: not the record of a vornix simulate run")
    arguments = record.get("arguments")
    if not isinstance(arguments, dict) or any(k not in arguments for k in _ARGUMENTS):
        raise ValueError(f"{path}: the run's arguments are incomplete")
    return record


def _load_tree(record: dict[str, Any], directory: str, species_tree: str | None) -> tuple[SpeciesTree, str]:
    source = record.get("species_tree") or {}
    options = {"tolerance": source.get("tolerance", 1e-6), "resolve": bool(source.get("resolve", False))}
    if species_tree is not None:
        return SpeciesTree.read(species_tree, **options), os.path.abspath(species_tree)
    if source.get("example"):
        from vornix.examples import example_tree

        return example_tree(), "the embedded example tree"
    path = source.get("path")
    if not isinstance(path, str):
        raise ValueError(f"{os.path.join(directory, 'run.json')}: the run's species tree is not recorded; "
                         "give it with --species-tree")
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        raise ValueError(f"the run's species tree {path} cannot be read; give it with --species-tree") from None
    if source.get("sha256") not in (None, hashlib.sha256(data).hexdigest()):
        raise ValueError(f"the run's species tree {path} has changed since the run; "
                         "give the original with --species-tree")
    return SpeciesTree.from_newick(data, source=path, **options), path


def load_run(directory: str | os.PathLike[str], species_tree: str | os.PathLike[str] | None = None) -> Run:
    """Reads DIR/run.json, loads the species tree and repeats the run.

    The run is repeated exactly from its recorded arguments and seed; its
    counts (families, event records, extant species) must equal those
    run.json recorded, or the report would show another run.
    """
    directory = os.fsdecode(directory)
    record = _read_record(directory)
    tree, where = _load_tree(record, directory, None if species_tree is None else os.fsdecode(species_tree))
    arguments = {k: record["arguments"][k] for k in _ARGUMENTS}
    sim = simulate_families(tree, **arguments)
    results = record.get("results") or {}
    repeated = {"families": sim.n_families, "records": len(sim.events), "extant_leaves": len(sim.species)}
    recorded = {k: results.get(k) for k in repeated}
    if recorded != repeated:
        raise ValueError(
            f"repeating the run of {os.path.join(directory, 'run.json')} gave {repeated['families']} families and "
            f"{repeated['records']} event records, not the {recorded['families']} and {recorded['records']} it "
            f"recorded: the species tree differs or the run was made by another version "
            f"({record.get('version', 'unknown')})")
    return Run(directory, record, tree, where, sim)

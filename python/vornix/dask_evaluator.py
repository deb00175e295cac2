"""Batches scored on a Dask cluster.

The trees' columns are cut into ranges on this side, and each range is
turned into a :class:`~vornix.tree_batches.TreeBatch` by a task on a
worker, whose result stays there (the batches are made by tasks and kept,
not scattered: the scheduler keeps each task's input, so a batch lost with
its worker is made again on another). Every run then sends one small task
per batch (the task function and the model, a few hundred bytes) to the
worker holding that batch, and receives one result per batch: for a fit,
the batch's partial sums.

Each tree's score does not depend on the batch it is in, and a run's
results come back in batch order, so the results equal those of the serial
and process-pool evaluators bit for bit whatever the cluster's size.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, TypeVar

import numpy as np

from vornix._dask import check_client, ordered_results
from vornix.evaluators import Progress, Task
from vornix.likelihood_model import LikelihoodModel
from vornix.living_species import LivingSpecies
from vornix.tree_batches import ROOTINGS, TreeBatch, batch_budget, batch_costs, build_batch, plan_ranges, range_columns

__all__ = ["DaskEvaluator", "DASK_NODES_PER_BATCH", "DASK_ROOTED_NODES_PER_BATCH", "Traffic", "batch_budget"]

R = TypeVar("R")

#: Most gene nodes per batch for trees scored as they are: undated tasks of
#: about 0.3 s, against some milliseconds of scheduling each.
DASK_NODES_PER_BATCH = 1 << 18
#: Most rooted-tree nodes per batch when every rooting is scored.
DASK_ROOTED_NODES_PER_BATCH = 1 << 20
def _keep(species: LivingSpecies) -> LivingSpecies:
    """The species tree, made on a worker by a task like the batches."""
    return species


def _apply(task: Task[R], batch: TreeBatch, species: LivingSpecies, model: LikelihoodModel) -> R:
    return task(batch, species, model)


class Traffic:
    """Bytes of the last run: the pickled size of the task arguments sent
    (`sent`) and of the results received (`received`), what the client and
    workers exchange beyond a fixed framing per task; and `wire_sent`, the
    bytes the client wrote to the scheduler while the run lasted, framing
    and all (None when the client does not count them)."""

    def __init__(self) -> None:
        self.sent = 0
        self.received = 0
        self.tasks = 0
        self.wire_sent: int | None = None

    def __repr__(self) -> str:
        return (f"<Traffic: {self.tasks} tasks, {self.sent} bytes sent ({self.wire_sent} on the wire), "
                f"{self.received} bytes received>")


def _bytes_written(client: Any) -> int | None:
    """Bytes the client has written to the scheduler so far (None when its
    connection does not count them)."""
    count = getattr(getattr(client, "scheduler_comm", None), "byte_count", None)
    return count if isinstance(count, int) else None


class DaskEvaluator:
    """Runs tasks over batches made and kept on the workers of `client`.

    Parameters
    ----------
    offsets, parent, species_of : numpy.ndarray
        Pre-order columns of every tree (tip species resolved).
    counts, rooted : numpy.ndarray
        Rootings of each tree and whether it is rooted.
    rooting : str
        "as-is", "all" or "best".
    species : LivingSpecies
    client : dask.distributed.Client
    budget : int, optional
        Nodes per batch (rooted nodes with every rooting); by default tasks
        as large as scheduling a small part of their time asks, but one per
        worker thread of the cluster when the work is small (see
        :func:`batch_budget`). Results never depend on it.
    """

    def __init__(self, offsets: np.ndarray, parent: np.ndarray, species_of: np.ndarray, counts: np.ndarray,
                 rooted: np.ndarray, rooting: str, species: LivingSpecies, client: Any,
                 budget: int | None = None) -> None:
        if rooting not in ROOTINGS:
            raise ValueError(f"rooting must be one of {', '.join(map(repr, ROOTINGS))}, not {rooting!r}")
        self._client = check_client(client)
        if budget is None:
            most = DASK_NODES_PER_BATCH if rooting == "as-is" else DASK_ROOTED_NODES_PER_BATCH
            total = int(batch_costs(offsets, counts, rooted, rooting).sum())
            budget = batch_budget(total, most, sum(client.nthreads().values()))
        self.ranges = plan_ranges(offsets, counts, rooted, rooting, budget)
        self.positions = [np.arange(a, b, dtype=np.int64) for a, b in self.ranges]
        self.traffic = Traffic()
        self._species = client.submit(_keep, species, pure=False)
        self._batches = [client.submit(build_batch, *range_columns(offsets, parent, species_of, a, b),
                                       np.asarray(counts[a:b], dtype=np.int64), rooting, a, pure=False)
                         for a, b in self.ranges]

    def __len__(self) -> int:
        return len(self._batches)

    def run(self, task: Task[R], model: LikelihoodModel, progress: Progress | None = None) -> list[R]:
        if self._client is None:
            raise RuntimeError("the evaluator is closed")
        submit = self._client.submit
        written = _bytes_written(self._client)
        futures = [submit(_apply, task, batch, self._species, model, pure=False) for batch in self._batches]
        out = ordered_results(futures, progress)
        after = _bytes_written(self._client)
        self.traffic.wire_sent = None if written is None or after is None else after - written
        from distributed.protocol.pickle import dumps

        self.traffic.tasks = len(futures)
        self.traffic.sent = len(dumps((_apply, task, model))) * len(futures)
        self.traffic.received = sum(len(dumps(r)) for r in out)
        return out

    def close(self) -> None:
        """Releases the batches on the workers."""
        if self._client is None:
            return
        for f in [*self._batches, self._species]:
            f.release()
        self._batches = []
        self._client = None

    def __enter__(self) -> DaskEvaluator:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def dask_evaluator(columns: Sequence[np.ndarray], counts: np.ndarray, rooted: np.ndarray, rooting: str,
                   species: LivingSpecies, client: Any) -> DaskEvaluator:
    """A :class:`DaskEvaluator` over the (offsets, parent, tip species) columns."""
    offsets, parent, species_of = columns
    return DaskEvaluator(offsets, parent, species_of, counts, rooted, rooting, species, client)

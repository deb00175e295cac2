"""Where batches are scored: in this process, or on a pool of processes.

An evaluator is given the batches and the species tree once, keeps them
where the work runs, and then applies a task (a module-level function of a
batch, the species arrays and a model) to every batch, returning the results
in batch order whatever order they finish in. The likelihood functions hold
the interpreter lock for the whole call, so parallel work needs processes.
"""

from __future__ import annotations

import multiprocessing
import sys
from collections.abc import Callable, Sequence
from concurrent.futures import FIRST_EXCEPTION, ProcessPoolExecutor, wait
from typing import Any, Protocol, TypeVar

from vornix.likelihood_model import LikelihoodModel
from vornix.living_species import LivingSpecies
from vornix.tree_batches import TreeBatch

__all__ = ["SerialEvaluator", "ProcessEvaluator", "make_evaluator", "check_workers"]

R = TypeVar("R")
Task = Callable[[TreeBatch, LivingSpecies, LikelihoodModel], R]


class Progress(Protocol):
    def update(self, n: int = 1) -> Any: ...


class Evaluator(Protocol):
    """Runs a task over every batch; results in batch order."""

    def run(self, task: Task[R], model: LikelihoodModel, progress: Progress | None = None) -> list[R]: ...

    def close(self) -> None: ...

    def __enter__(self) -> Evaluator: ...

    def __exit__(self, *exc: object) -> None: ...


class SerialEvaluator:
    """Every batch in this process, one after another."""

    def __init__(self, batches: Sequence[TreeBatch], species: LivingSpecies) -> None:
        self._batches = list(batches)
        self._species = species

    def run(self, task: Task[R], model: LikelihoodModel, progress: Progress | None = None) -> list[R]:
        out = []
        for batch in self._batches:
            out.append(task(batch, self._species, model))
            if progress is not None:
                progress.update(1)
        return out

    def close(self) -> None:
        pass

    def __enter__(self) -> SerialEvaluator:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


# The batches and species tree a pool worker was started with.
_WORKER_STATE: dict[str, Any] = {}


def _init_worker(batches: list[TreeBatch], species: LivingSpecies) -> None:
    _WORKER_STATE["batches"] = batches
    _WORKER_STATE["species"] = species


def _run_one(index: int, task: Task[R], model: LikelihoodModel) -> R:
    return task(_WORKER_STATE["batches"][index], _WORKER_STATE["species"], model)


def _context() -> multiprocessing.context.BaseContext:
    # Forked workers inherit the batches without copying them through a pipe
    # and need no import guard in the caller's script.
    if sys.platform.startswith("linux"):
        return multiprocessing.get_context("fork")
    return multiprocessing.get_context("spawn")


class ProcessEvaluator:
    """Batches scored on a pool of worker processes; each worker receives
    the batches once, then every run sends only the task and the model."""

    def __init__(self, batches: Sequence[TreeBatch], species: LivingSpecies, workers: int) -> None:
        self._n = len(batches)
        self._pool = ProcessPoolExecutor(max_workers=workers, mp_context=_context(), initializer=_init_worker,
                                         initargs=(list(batches), species))

    def run(self, task: Task[R], model: LikelihoodModel, progress: Progress | None = None) -> list[R]:
        futures = [self._pool.submit(_run_one, i, task, model) for i in range(self._n)]
        index = {f: i for i, f in enumerate(futures)}
        out: list[Any] = [None] * self._n
        pending = set(futures)
        try:
            while pending:
                done, pending = wait(pending, return_when=FIRST_EXCEPTION)
                for f in done:
                    out[index[f]] = f.result()  # re-raises a worker's exception as it was
                    if progress is not None:
                        progress.update(1)
        except BaseException:
            for f in pending:
                f.cancel()
            raise
        return out

    def close(self) -> None:
        self._pool.shutdown(wait=True, cancel_futures=True)

    def __enter__(self) -> ProcessEvaluator:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def check_workers(workers: int | None) -> int:
    """The number of processes to use: None means 1 (this process)."""
    if workers is None:
        return 1
    if isinstance(workers, bool) or not isinstance(workers, int):
        raise TypeError(f"workers must be an integer or None, not {type(workers).__name__}")
    if not 1 <= workers <= 1024:
        raise ValueError(f"workers must be in 1..1024, got {workers}")
    return workers


def make_evaluator(batches: Sequence[TreeBatch], species: LivingSpecies,
                   workers: int | None) -> SerialEvaluator | ProcessEvaluator:
    """A serial evaluator for one worker (or one batch), else a process pool
    of at most as many workers as batches."""
    n = check_workers(workers)
    if n == 1 or len(batches) <= 1:
        return SerialEvaluator(batches, species)
    return ProcessEvaluator(batches, species, min(n, len(batches)))

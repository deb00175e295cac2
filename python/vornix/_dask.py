"""What every Dask path shares: importing the optional `distributed`
package with a message saying what to install, checking a ``client=``
argument, and collecting task results in a fixed order.

Task results are always taken in submission order, whatever order the
tasks finish in, and the first task (in that order) that raised is the one
whose exception surfaces: the same exception, of the same type and
message, that a serial run would have raised first.
"""

from __future__ import annotations

from collections.abc import Sequence
from types import ModuleType
from typing import Any, Protocol

from vornix._optional import require

__all__ = ["distributed", "check_client", "ordered_results"]


class _Progress(Protocol):
    def update(self, n: int = 1) -> Any: ...


def distributed(purpose: str) -> ModuleType:
    """The `distributed` module, or ImportError naming the extra to install."""
    return require("distributed", purpose)


def check_client(client: object, workers: int | None = None, purpose: str = "client=") -> Any:
    """`client` itself once it is known to be a ``dask.distributed.Client``
    (None passes through). A client and more than one local worker are
    two answers to one question, so both is an error."""
    if client is None:
        return None
    module = distributed(purpose)
    if not isinstance(client, module.Client):
        raise TypeError(f"client must be a dask.distributed.Client, not {type(client).__name__}")
    if workers is not None and workers != 1:
        raise ValueError("give either workers (processes on this machine) or client (a Dask cluster), not both")
    return client


def ordered_results(futures: Sequence[Any], progress: _Progress | None = None) -> list[Any]:
    """The futures' results in their order.

    Waits as tasks finish (updating `progress` once per task). When a task
    raised, the tasks after it are cancelled, the ones before it are waited
    for, and the exception of the first failed task in order is raised.
    Interrupted (Ctrl-C), every unfinished task is cancelled.
    """
    if not futures:
        return []
    from distributed import as_completed

    index = {f.key: i for i, f in enumerate(futures)}
    results: list[Any] = [None] * len(futures)
    failed: int | None = None
    try:
        # Results are fetched by the client's event loop as tasks finish.
        for future, result in as_completed(futures, loop=futures[0].client.loop, with_results=True,
                                           raise_errors=False):
            i = index[future.key]
            if future.status == "finished":
                results[i] = result
                if progress is not None:
                    progress.update(1)
                continue
            failed = i
            break
        if failed is not None:
            for f in futures[failed + 1:]:
                f.cancel()
            for f in futures[:failed + 1]:
                f.result()  # waits; raises the first failed task's own exception
            raise AssertionError("a failed task did not raise")  # pragma: no cover
        return results
    except BaseException:
        for f in futures:
            if not f.done():
                f.cancel()
        raise

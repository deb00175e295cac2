"""``--scheduler`` and ``--workers``: where ``vornix score``, ``fit`` and
``simulate --replicates`` run.

A scheduler address (the option, or Dask's own setting
``DASK_SCHEDULER_ADDRESS``) runs the work on that Dask cluster; ``--workers
N`` runs it on N worker processes of this machine (a local Dask cluster
when the ``distributed`` extra is installed, else a plain process pool);
neither runs it in this process. Results are the same in every case.
"""

from __future__ import annotations

import argparse
import contextlib
import logging
import os
from collections.abc import Iterator
from typing import Any

from vornix.cli._common import UserError, one_line

__all__ = ["add_cluster_options", "check_cluster_options", "compute"]

_ADDRESS_VARIABLE = "DASK_SCHEDULER_ADDRESS"


def add_cluster_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("where the work runs (results never depend on it)")
    group.add_argument("--scheduler", metavar="ADDRESS", default=None,
                       help="run on the Dask cluster of this scheduler, e.g. tcp://scheduler-host:8786 (default: "
                            f"${_ADDRESS_VARIABLE} when set, else this machine); needs vornix[distributed]")
    group.add_argument("--workers", type=int, default=None, metavar="N",
                       help="run on N worker processes of this machine: a local Dask cluster with "
                            "vornix[distributed] installed, else a process pool (default: 1, this process)")


def _configured_address() -> str | None:
    """The scheduler address Dask itself is configured with, if any."""
    try:
        import dask.config
    except ImportError:
        return os.environ.get(_ADDRESS_VARIABLE) or None
    return dask.config.get("scheduler-address", None) or None


def _distributed() -> Any:
    from vornix._dask import distributed

    return distributed("--scheduler and --workers with a Dask cluster")


def _quiet() -> None:
    # Workers coming and going and connections closing at shutdown are
    # logged by Dask; the command reports what matters itself.
    # Dask's configuration gives some of its loggers levels of their own.
    for name in ["distributed", *logging.Logger.manager.loggerDict]:
        if name == "distributed" or name.startswith("distributed."):
            logging.getLogger(name).setLevel(logging.CRITICAL)


def _check_address(address: str) -> None:
    """Refuses a malformed TCP address before a client is made: a client
    that fails on one lingers until the interpreter exits."""
    from distributed.comm.addressing import get_address_host_port, parse_address

    try:
        if parse_address(address)[0] in ("tcp", "tls"):
            get_address_host_port(address)
    except ValueError as error:
        raise UserError(f"--scheduler {address}: {one_line(error)}") from None


def _connect_timeout() -> float:
    """Dask's connect timeout in seconds (30 unless configured otherwise)."""
    import dask.config
    from dask.utils import parse_timedelta

    return float(parse_timedelta(dask.config.get("distributed.comm.timeouts.connect"), default="seconds"))


def _probe(module: Any, address: str) -> None:
    """Refuses an address where no Dask scheduler answers within Dask's
    connect timeout: nothing listening, no such host, or another kind of
    server (whose reply a client would read as absurd message sizes). A
    client is made only once the scheduler has answered, since one that
    fails to start lingers and stalls the interpreter's exit."""
    import asyncio
    from concurrent.futures import ThreadPoolExecutor

    timeout = _connect_timeout()

    async def identity() -> Any:
        connection_args = module.Security().get_connection_args("client")
        comm = await module.comm.connect(address, timeout=timeout, **connection_args)
        try:
            await comm.write({"op": "identity", "reply": True})
            return await comm.read()
        finally:
            await comm.close()

    try:
        # In a thread of its own: the caller may be running an event loop (main() called from a notebook).
        with ThreadPoolExecutor(1) as thread:
            reply = thread.submit(asyncio.run, asyncio.wait_for(identity(), timeout + 5)).result()
    except (OSError, asyncio.TimeoutError) as error:
        reason = one_line(error) or f"no answer within {timeout:g} s"
        raise UserError(f"cannot reach the Dask scheduler at {address}: {reason}") from None
    except Exception:  # noqa: BLE001 - an answer that is no Dask message at all
        raise UserError(f"cannot reach the Dask scheduler at {address}: what answers there is not a Dask "
                        "scheduler") from None
    if not isinstance(reply, dict) or reply.get("type") != "Scheduler":
        kind = reply.get("type") if isinstance(reply, dict) else None
        raise UserError(f"cannot reach the Dask scheduler at {address}: what answers there is "
                        f"{'a Dask ' + str(kind) if kind else 'not a Dask scheduler'}")


def check_cluster_options(args: argparse.Namespace) -> None:
    """Refuses contradictory or impossible options before any work."""
    if args.workers is not None and not 1 <= args.workers <= 1024:
        raise UserError(f"--workers must be in 1..1024, got {args.workers}")
    if args.scheduler is not None and args.workers is not None:
        raise UserError("give --scheduler or --workers, not both")


@contextlib.contextmanager
def _connection_kept(address: str) -> Iterator[None]:
    """Work cancelled by the cluster (the scheduler lost, or the work
    cancelled from elsewhere) ends the command in one line."""
    from concurrent.futures import CancelledError

    try:
        yield
    except CancelledError as error:
        if "scheduler-connection-lost" in str(error):
            raise UserError(f"lost the connection to the Dask scheduler at {address} before the work was done") \
                from None
        raise UserError(f"the work was cancelled on the Dask cluster at {address}: {one_line(error)}") from None


@contextlib.contextmanager
def compute(args: argparse.Namespace) -> Iterator[tuple[Any, int | None]]:
    """``(client, workers)`` for the library call: a Dask client (or None)
    and a number of local processes (or None)."""
    check_cluster_options(args)
    workers = args.workers
    address = args.scheduler
    if address is None and workers is None:
        address = _configured_address()
    if address is not None:
        module = _distributed()
        _quiet()
        _check_address(address)
        _probe(module, address)
        try:
            client = module.Client(address, set_as_default=False)
        except Exception as error:  # noqa: BLE001 - any failure to connect is one line
            raise UserError(f"cannot reach the Dask scheduler at {address}: {one_line(error)}") from None
        with client, _connection_kept(address):
            yield client, None
        return
    if workers is None or workers == 1:
        yield None, None
        return
    try:
        module = _distributed()
    except ImportError:
        yield None, workers  # a process pool gives the same results
        return
    _quiet()
    with module.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0",
                             silence_logs=logging.CRITICAL) as cluster, \
            module.Client(cluster, set_as_default=False) as client:
        yield client, None

"""Inputs the event-log and profile simulations cannot run: sizes that do not
fit in memory and rates so large that the total event rate overflows. Each is
refused at once with an exception that names the cause."""
import os
import struct
import subprocess
import sys
import textwrap
import time

import pytest

import vornix_core as vc

TREE = (5, [-1, 0, 0, 1, 1], [0.0, 0.6, 1.0, 1.0, 1.0], [False, False, True, True, True], 0)
NOTHING = (0.0, 0.0, 0.0, 0.0)  # duplication, transfer, loss, origination
MODE = (0.0, -1.0, False)  # replacement, distance_decay, allow_self
M = 1.7976931348623157e308


def raises_at_once(exception, match, call, *args):
    start = time.monotonic()
    with pytest.raises(exception, match=match):
        call(*args)
    assert time.monotonic() - start < 1.0


def test_sizes_that_cannot_fit_are_refused_before_allocating_and_named():
    raises_at_once(MemoryError, r"^initial_size 4294967296 does not fit in memory: its founding genomes need \d+ bytes",
                   vc.simulate_profiles, *TREE, *NOTHING, 2**32, -1, 1, *MODE)
    raises_at_once(MemoryError, r"^n_copies 18446744073709551615 does not fit in memory",
                   vc.simulate_profiles_parallel, *TREE, *NOTHING, 3, -1, 1, *MODE, 2**64 - 1, 2)
    # Spread over copies that run one at a time, the founding genomes still
    # have to fit together.
    raises_at_once(MemoryError, r"^initial_size 4294967296 does not fit in memory",
                   vc.simulate_profiles_parallel, *TREE, *NOTHING, 2**32, -1, 1, *MODE, 16, 1)
    for simulate in (vc.simulate_log, vc.simulate_trace):
        raises_at_once(MemoryError, r"^initial_size 4294967296 does not fit in memory: its founding records",
                       simulate, *TREE, *NOTHING, 2**32, -1, 1, *MODE)
    # The module is unharmed.
    assert vc.simulate_profiles(*TREE, *NOTHING, 2, -1, 1, *MODE)[2] == struct.pack("<6Q", 0, 1, 0, 1, 0, 1)


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer reserves more address space than the limit allows")
def test_a_copy_running_out_of_memory_in_a_worker_names_it():
    # Within the memory budget of the machine, beyond an address-space limit
    # of 1 GiB: the founding genomes of two copies at once fail to allocate
    # on the worker threads.
    script = textwrap.dedent("""
        import resource, vornix_core as vc
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        tree = (3, [-1, 0, 0], [0.0, 1.0, 1.0], [False, True, True], 0)
        try:
            vc.simulate_profiles_parallel(*tree, 0.0, 0.0, 0.0, 0.0, 200_000_000, -1, 1, 0.0, -1.0, False, 4, 2)
        except MemoryError as e:
            print("MemoryError:", e)
        print(vc.simulate_profiles_parallel(*tree, 0.0, 0.0, 0.0, 0.0, 2, -1, 1, 0.0, -1.0, False, 2, 2)[2].hex())
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    first, second = done.stdout.splitlines()[:2]
    assert first.startswith("MemoryError: ") and "genomes" in first, first
    assert second == struct.pack("<4Q", 0, 0, 1, 1).hex()


@pytest.mark.parametrize("simulate", ["simulate_log", "simulate_trace", "simulate_profiles",
                                      "simulate_profiles_parallel"])
def test_rates_whose_total_overflows_stop_at_once(simulate):
    call = getattr(vc, simulate)
    extra = (4, 2) if simulate == "simulate_profiles_parallel" else ()
    # A finite loss rate that makes two copies' rate infinite.
    raises_at_once(ValueError, r"total event rate is no longer finite \(duplication 0.32060447815278392, transfer 0, "
                   r"loss 1.7976931348623157e\+308, origination 1.1265994581463554\)", call,
                   3, [-1, 0, 0], [0.872, 3.132029091444721, 3.132029091444721], [False, True, True], 0,
                   0.3206044781527839, 0.0, M, 1.1265994581463554, 1, 1, 9867654511283946249, 0.0, 3.0, False, *extra)
    # Branch rates each finite whose sum is not (one copy: a share of the
    # origination rate would stay finite).
    raises_at_once(ValueError, "total event rate is no longer finite", call, *TREE, 0.0, 0.0, 0.0, M, 0, -1, 1, *MODE,
                   *((1, 2) if extra else ()))
    # A per-copy rate that is infinite already is refused up front.
    raises_at_once(ValueError, r"^duplication \+ transfer \+ loss is not finite", call, *TREE, M, M, 0.0, 0.0, 0, -1,
                   1, *MODE, *extra)
    # Large rates that stay finite still run.
    assert call(*TREE, 0.0, 0.0, 1e300, 0.0, 3, -1, 1, *MODE, *extra) is not None

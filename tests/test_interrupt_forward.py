"""Ctrl-C during the event-log and profile simulations: a runaway call stops
within a second with KeyboardInterrupt, and the module then answers the next
call exactly as before."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

# Losses and originations balance on branches a billion time units long: the
# families never grow, and the events never end (until the event limit,
# minutes away).
RUNAWAY = dict(n_nodes=3, parent=[-1, 0, 0], time=[0.0, 1e9, 1e9], extant_leaf=[False, True, True], root=0,
               duplication=0.0, transfer=0.5, loss=50.0, origination=100.0, initial_size=10, cap=-1, seed=4,
               replacement=0.0, distance_decay=-1.0, allow_self=False)
SMALL = dict(RUNAWAY, time=[0.0, 2.0, 2.0], loss=1.0, origination=2.0, duplication=0.5)

CHILD = textwrap.dedent("""
    import sys, tempfile, vornix_core as vc
    function, extra = sys.argv[1], eval(sys.argv[2])
    call = getattr(vc, function)
    small, runaway = dict({small!r}, **extra), dict({runaway!r}, **extra)
    if function == "simulate_and_write":
        small.update(names=["r", "A", "B"], total_age=2.0, outdir=tempfile.mkdtemp())
        runaway.update(names=["r", "A", "B"], total_age=1e9, outdir=tempfile.mkdtemp())
    before = call(**small)
    print("started", flush=True)
    try:
        call(**runaway)
    except KeyboardInterrupt:
        if function == "simulate_and_write":
            small["outdir"] = tempfile.mkdtemp()
        assert call(**small) == before
        print("answers again", flush=True)
        raise
""").format(small=SMALL, runaway=RUNAWAY)

CASES = [
    ("simulate_log", {}),
    ("simulate_trace", {}),
    ("simulate_and_write", {}),
    ("simulate_profiles", {}),
    ("simulate_profiles", {"cap": 1000}),  # the event loop that takes events one by one
    ("simulate_profiles_parallel", {"n_copies": 4, "n_threads": 2}),
    ("simulate_profiles_parallel", {"n_copies": 3, "n_threads": 1}),
]


@pytest.mark.parametrize("function, extra", CASES)
def test_sigint_stops_a_runaway_call_within_a_second(function, extra):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.Popen([sys.executable, "-c", CHILD, function, repr(extra)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert child.stdout.readline() == "started\n", child.stderr.read()
        time.sleep(0.3)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
        took = time.monotonic() - sent
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert "answers again" in out, err
    assert err.rstrip().endswith("KeyboardInterrupt"), err
    assert child.returncode != 0
    assert took < 1.0, took

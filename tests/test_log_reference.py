"""simulate_log and simulate_trace against the plain-Python model of the
engine (log_reference.py), bit for bit, on random tiny trees."""
import math
import random
import struct

import pytest

import log_reference as ref
import vornix_core as vc
from log_trees import positional, random_settings, random_tree


def exact(records):
    """Records with times as their exact bit patterns (0.0 and -0.0 differ)."""
    return records[:2] + ([struct.pack("<d", t) for t in records[2]],) + records[3:]


def case(seed, max_records=5000):
    """A random run small enough for the Python model: settings whose runs
    explode are drawn again (only the engine's record count is looked at)."""
    rnd = random.Random(seed)
    tree = random_tree(rnd, rnd.randint(2, 7), equal_end=rnd.random() < 0.7)
    while True:
        kwargs = {**tree, **random_settings(rnd)}
        growth = kwargs["duplication"] + kwargs["transfer"] - kwargs["loss"]
        if kwargs["cap"] < 0 and growth > 1.0:
            continue
        if len(vc.simulate_trace(**kwargs)[0][0]) <= max_records:
            return kwargs


@pytest.mark.parametrize("seed", range(400))
def test_matches_reference(seed):
    args = positional(case(seed))
    records, extant = vc.simulate_log(*args)
    want_records, want_extant = ref.simulate_log(*args)
    assert exact(records) == exact(want_records)
    assert extant == want_extant
    trace, profile = vc.simulate_trace(*args)
    want_trace, want_profile = ref.simulate_trace(*args)
    assert exact(trace) == exact(want_trace)
    assert profile == want_profile


@pytest.mark.parametrize("seed", range(40))
def test_matches_reference_on_busy_runs(seed):
    # Larger trees and families, every transfer mode, caps and replacement.
    rnd = random.Random(10_000 + seed)
    tree = random_tree(rnd, rnd.randint(8, 16))
    settings = random_settings(rnd)
    settings.update(initial_size=rnd.randint(5, 20), duplication=0.6, transfer=1.2, loss=1.0,
                    cap=rnd.choice([-1, 0, 1, 2]), replacement=rnd.choice([0.0, 0.7, 1.0]))
    kwargs = {**tree, **settings}
    if len(vc.simulate_trace(**kwargs)[0][0]) > 20000:
        kwargs["cap"] = 1
    args = positional(kwargs)
    for run, model in ((vc.simulate_log, ref.simulate_log), (vc.simulate_trace, ref.simulate_trace)):
        got, want = run(*args), model(*args)
        assert exact(got[0]) == exact(want[0])
        assert got[1] == want[1]

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


@pytest.mark.parametrize("seed", range(24))
def test_matches_reference_with_families_at_large_caps(seed):
    # Families grow to caps of tens of copies, so that removals pick among
    # many residents whose positions the engine's family index has to follow
    # through every swap-remove; replacement without a cap as well.
    rnd = random.Random(20_000 + seed)
    tree = random_tree(rnd, rnd.randint(3, 6))
    settings = random_settings(rnd)
    settings.update(initial_size=rnd.randint(1, 4), duplication=2.5, transfer=rnd.choice([0.8, 2.0]),
                    loss=rnd.choice([0.0, 0.6]), origination=0.3, cap=rnd.choice([-1, 6, 25, 60]),
                    replacement=rnd.choice([0.0, 0.5, 1.0]))
    if settings["cap"] < 0:
        settings["replacement"] = 1.0
        settings["loss"] = 2.2
    kwargs = {**tree, **settings}
    if len(vc.simulate_trace(**kwargs)[0][0]) > 15000:
        kwargs["cap"] = 4
    args = positional(kwargs)
    for run, model in ((vc.simulate_log, ref.simulate_log), (vc.simulate_trace, ref.simulate_trace)):
        got, want = run(*args), model(*args)
        assert exact(got[0]) == exact(want[0])
        assert got[1] == want[1]

"""Likelihoods at the limits: long, fast time slices whose plain doubles
overflow or underflow, unusable rates, and Ctrl-C in the middle of a batch."""
import math
import os
import signal
import subprocess
import sys
import textwrap
import time

import mpmath
import pytest

import recolite_cases as C
import recolite_reference as R
import vornix_core as vc

T, F = True, False
CHERRY = dict(sp_parent=[2, 2, -1], sp_left=[-1, -1, 0], sp_right=[-1, -1, 1], sp_is_leaf=[T, T, F], sp_root=2)

# Calls that once returned NaN: a slice long and fast enough that a lineage's
# probability falls by more than the range of doubles across it.
LONG_FAST_SLICES = {
    "fast duplication, one step per slice": dict(
        CHERRY, sp_time=[1.0, 1.0, 0.0], sp_parent_time=[0.0, 0.0, 0.0],
        gt_offsets=[0, 3], gt_is_leaf=[T, T, F], gt_left=[-1, -1, 0], gt_right=[-1, -1, 1], gt_species=[0, 0, -1],
        dup=308.5, transfer=0.0, loss=0.0, n_steps=0, origination=1),
    "fast loss on a long slice": dict(
        CHERRY, sp_time=[6.65725596758239, 6.65725596758239, 0.3298320899671392],
        sp_parent_time=[0.3298320899671392, 0.3298320899671392, 0.0],
        gt_offsets=[0, 3, 6], gt_is_leaf=[T, T, F, T, T, F], gt_left=[-1, -1, 0, -1, -1, 0],
        gt_right=[-1, -1, 1, -1, -1, 1], gt_species=[1, 0, -1, 1, 0, -1],
        dup=0.23554344405732341, transfer=0.0, loss=58.140664307215474, n_steps=1, origination=0),
    "fast loss with transfers and a root branch": dict(
        CHERRY, sp_time=[17.881780484059774, 17.881780484059774, 0.414928655416949],
        sp_parent_time=[0.414928655416949, 0.414928655416949, -1.7466851828642824],
        gt_offsets=[0, 3, 8], gt_is_leaf=[T, T, F, T, T, T, F, F],
        gt_left=[-1, -1, 0, -1, -1, -1, 1, 0], gt_right=[-1, -1, 1, -1, -1, -1, 2, 3],
        gt_species=[0, 1, -1, 0, 1, 1, -1, -1],
        dup=0.35790305438588366, transfer=0.8365619552619563, loss=57.74363288662372, n_steps=5, origination=1),
}


def extended_precision_scores(call):
    model = R.Dated(len(call["sp_parent"]), call["sp_left"], call["sp_right"], call["sp_is_leaf"], call["sp_time"],
                    call["sp_parent_time"], call["sp_root"], call["dup"], call["transfer"], call["loss"],
                    call["n_steps"], num=mpmath.mpf, log=mpmath.log)
    genes = [call[k] for k in ("gt_offsets", "gt_is_leaf", "gt_left", "gt_right", "gt_species")]
    return R.batch_scores(model, *genes, call["origination"])


@pytest.mark.parametrize("name", LONG_FAST_SLICES)
def test_long_fast_slices_match_extended_precision(name):
    call = LONG_FAST_SLICES[name]
    got = vc.dated_family_loglik(**call)
    with mpmath.workprec(80):
        want = extended_precision_scores(call)
    assert all(math.isfinite(g) for g in got), got
    assert got == pytest.approx(want, rel=1e-9)
    # The joint score adds them without turning NaN.
    joint_args = {k: v for k, v in call.items()}
    assert vc.dated_joint_loglik(**joint_args, n_extinct=0) == sum(got)


@pytest.mark.parametrize("transfers", [1, 0])
def test_deep_tree_with_fast_losses_matches_extended_precision(transfers):
    # Once -inf: on a 209-node caterpillar with losses some 4 million times
    # faster than duplication, a gene's probability falls by about 2^-18 per
    # speciation, and one gene node's values spanned more than the whole
    # range of doubles across the species branches.
    sp = C.caterpillar(105, 10.0)
    assert sp.n == 209
    genes = C.batch([([T], [-1], [-1], [0]), ([T, T, F], [-1, -1, 0], [-1, -1, 1], [0, 1, -1])])
    rates = (0.0599, 0.0, 258575.0)
    with mpmath.workprec(80):
        model = R.Undated(*sp.undated_args(), transfers, *rates, num=mpmath.mpf, log=mpmath.log)
        want = {o: R.batch_scores(model, *genes, o) for o in (0, 1)}
    assert want[0][0] < -1300  # under root origination: far below the smallest double
    for origination in (0, 1):
        got = vc.undated_family_loglik(*sp.undated_args(), *genes, *rates, transfers, origination)
        assert all(math.isfinite(g) for g in got), got
        assert got == pytest.approx(want[origination], rel=1e-9)


@pytest.mark.parametrize("transfers", [0, 1])
@pytest.mark.parametrize("origination", [0, 1])
def test_undated_extinction_term_with_a_loss_probability_below_the_normal_range(transfers, origination):
    # loss / (1 + dup + transfer + loss) is about 7e-321, a double with a
    # dozen significant bits: its logarithm was off by some 3e-7 relative.
    sp = C.random_species(C.seeded(3), 4)
    got = vc.undated_joint_loglik(*sp.undated_args(), *C.batch([]), 0.2, 0.3, 1e-320, transfers, origination, 3)
    with mpmath.workprec(80):
        model = R.Undated(*sp.undated_args(), transfers, 0.2, 0.3, 1e-320, num=mpmath.mpf, log=mpmath.log)
        want = 3 * float(mpmath.log(model.extinction(origination)))
    assert got == pytest.approx(want, rel=1e-12)


def test_extinction_term_survives_an_underflowing_product():
    # Losses so rare that each child of the root almost never dies out: the
    # product of the two probabilities is below the smallest double.
    sp = C.species_from_nested(("a", "b"), lambda depth, node: 1.0)
    term = vc.dated_joint_loglik(*sp.dated_args(), *C.batch([]), 0.0, 0.0, 1e-170, 1, 0, 2)
    a = 1e-170  # extinction of one branch of length 1 with loss rate 1e-170, to first order
    assert term == pytest.approx(2 * 2 * math.log(a), rel=1e-6)


class TestRates:
    def _calls(self):
        sp = C.random_species(C.seeded(3), 4)
        gt = C.batch([C.perfect_copy(sp)])
        return {
            "dated_family": lambda r: vc.dated_family_loglik(*sp.dated_args(), *gt, *r, 1, 0),
            "dated_joint": lambda r: vc.dated_joint_loglik(*sp.dated_args(), *gt, *r, 1, 0, 1),
            "undated_family": lambda r: vc.undated_family_loglik(*sp.undated_args(), *gt, *r, 1, 0),
            "undated_joint": lambda r: vc.undated_joint_loglik(*sp.undated_args(), *gt, *r, 0, 0, 1),
        }

    @pytest.mark.parametrize("bad", [-0.1, math.nan, math.inf, -math.inf])
    @pytest.mark.parametrize("which", [0, 1, 2])
    def test_unusable_rate_is_refused_naming_it(self, bad, which):
        name = ("dup", "transfer", "loss")[which]
        rates = [0.2, 0.2, 0.2]
        rates[which] = bad
        for fn in self._calls().values():
            with pytest.raises(ValueError, match=f"^{name} must be a finite, non-negative rate"):
                fn(rates)

    def test_zero_rates_and_huge_finite_rates_are_accepted(self):
        for fn in self._calls().values():
            assert fn([0.0, 0.0, 0.0]) is not None
        # Far too fast for the dated grid (refused as such), yet no NaN from
        # the undated engine.
        calls = self._calls()
        for name in ("undated_family", "undated_joint"):
            got = calls[name]([1e300, 1e300, 1e300])
            assert not any(math.isnan(x) for x in (got if isinstance(got, list) else [got]))


# A child scoring a batch that takes several seconds; it prints "ready" just
# before the call.
CHILD = textwrap.dedent("""
    import sys
    sys.path[:0] = {paths!r}
    import recolite_cases as C
    import vornix_core as vc
    rng = C.seeded(1)
    sp = C.random_species(rng, 80, present=3.0)
    gt = C.batch([C.random_gene_tree(rng, 60, sp.leaves) for _ in range({trees})])
    # Deep, with losses far faster than speciation: branch offsets, and under
    # uniform origination gene roots swept apart.
    deep = C.caterpillar(105, 10.0)
    deep_gt = C.batch([C.random_gene_tree(rng, 30, deep.leaves) for _ in range({trees} // 3)])
    calls = {{
        "undated_family_loglik deep": lambda: vc.undated_family_loglik(*deep.undated_args(), *deep_gt, 0.06, 1e-200,
                                                                        258575.0, 1, 1),
        "dated_family_loglik": lambda: vc.dated_family_loglik(*sp.dated_args(), *gt, 0.2, 0.2, 0.3, 10, 0),
        "dated_joint_loglik": lambda: vc.dated_joint_loglik(*sp.dated_args(), *gt, 0.2, 0.2, 0.3, 10, 0, 1),
        "undated_family_loglik": lambda: vc.undated_family_loglik(*sp.undated_args(), *gt, 0.2, 0.2, 0.3, 1, 0),
        "undated_joint_loglik": lambda: vc.undated_joint_loglik(*sp.undated_args(), *gt, 0.2, 0.2, 0.3, 1, 0, 1),
    }}
    print("ready", flush=True)
    try:
        calls[sys.argv[1]]()
    except KeyboardInterrupt:
        print("interrupted", flush=True)
        sys.exit(3)
    print("finished", flush=True)
""")


@pytest.mark.parametrize("function", ["dated_family_loglik", "dated_joint_loglik", "undated_family_loglik",
                                      "undated_joint_loglik", "undated_family_loglik deep"])
def test_ctrl_c_stops_a_large_batch_within_a_second(function):
    paths = [p for p in sys.path if p] + [os.path.dirname(__file__)]
    code = CHILD.format(paths=paths, trees=3000)
    child = subprocess.Popen([sys.executable, "-c", code, function], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.3)  # well inside the call
        child.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out = child.stdout.read()
        child.wait(timeout=30)
        elapsed = time.monotonic() - sent
    finally:
        if child.poll() is None:
            child.kill()
    assert "interrupted" in out and child.returncode == 3, out
    assert elapsed < 1.0


def test_module_answers_correctly_after_an_interrupted_call():
    sp = C.random_species(C.seeded(2), 80)
    gt = C.batch([C.random_gene_tree(C.seeded(3), 8, sp.leaves) for _ in range(5)])
    before = vc.dated_family_loglik(*sp.dated_args(), *gt, 0.2, 0.2, 0.3, 2, 0)
    before_u = vc.undated_family_loglik(*sp.undated_args(), *gt, 0.2, 0.2, 0.3, 1, 0)
    big = C.batch([C.random_gene_tree(C.seeded(4), 60, sp.leaves) for _ in range(3000)])
    for call in (lambda: vc.dated_family_loglik(*sp.dated_args(), *big, 0.2, 0.2, 0.3, 40, 0),
                 lambda: vc.undated_family_loglik(*sp.undated_args(), *big, 0.2, 0.2, 0.3, 1, 0)):
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
        try:
            with pytest.raises(KeyboardInterrupt):
                call()
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
    assert vc.dated_family_loglik(*sp.dated_args(), *gt, 0.2, 0.2, 0.3, 2, 0) == before
    assert vc.undated_family_loglik(*sp.undated_args(), *gt, 0.2, 0.2, 0.3, 1, 0) == before_u

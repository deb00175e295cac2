"""The native likelihoods against the literal Python model, bit for bit, on
random small species trees, rates and gene-tree batches."""
import math

import pytest

import recolite_cases as C
import recolite_reference as R
import vornix_core as vc


def same(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))


def random_rates(rng):
    pick = lambda: rng.choice([0.0, rng.uniform(0.01, 1.0), rng.uniform(0.01, 1.0)])
    return pick(), pick(), pick()


def random_batch(rng, sp, tips_from, n_trees=4, max_tips=6):
    return C.batch([C.random_gene_tree(rng, rng.randint(1, max_tips), tips_from) for _ in range(n_trees)])


@pytest.mark.parametrize("seed", range(30))
def test_dated_matches_model(seed):
    rng = C.seeded(seed)
    sp = C.random_species(rng, rng.randint(2, 5), zero_root_branch=rng.random() < 0.7)
    rates = random_rates(rng)
    n_steps = rng.randint(0, 3)
    # Mostly species leaves; now and then an internal node or no species,
    # which leave the tree without any reconciliation.
    tips = sp.leaves * 4 + [sp.root, -1]
    gt = random_batch(rng, sp, tips)
    model = R.Dated(sp.n, sp.left, sp.right, sp.is_leaf, sp.time, sp.parent_time, sp.root, *rates, n_steps)
    for origination in (0, 1):
        got = vc.dated_family_loglik(*sp.dated_args(), *gt, *rates, n_steps, origination)
        want = R.batch_scores(model, *gt, origination)
        assert all(same(a, b) for a, b in zip(got, want)), (got, want)
        k = rng.randint(0, 3)
        joint = vc.dated_joint_loglik(*sp.dated_args(), *gt, *rates, n_steps, origination, k)
        assert same(joint, R.joint(model, *gt, origination, k))


@pytest.mark.parametrize("seed", range(30))
def test_undated_and_reldated_match_model(seed):
    rng = C.seeded(1000 + seed)
    sp = C.random_species(rng, rng.randint(1, 5), zero_root_branch=rng.random() < 0.5)
    rates = random_rates(rng)
    tips = sp.leaves * 4 + list(range(sp.n))  # any species node is allowed
    gt = random_batch(rng, sp, tips)
    for transfers in (0, 1):
        model = R.Undated(sp.left, sp.right, sp.is_leaf, sp.time, sp.parent_time, sp.root, transfers, *rates)
        for origination in (0, 1):
            got = vc.undated_family_loglik(*sp.undated_args(), *gt, *rates, transfers, origination)
            want = R.batch_scores(model, *gt, origination)
            assert all(same(a, b) for a, b in zip(got, want)), (transfers, origination, got, want)
            k = rng.randint(0, 3)
            joint = vc.undated_joint_loglik(*sp.undated_args(), *gt, *rates, transfers, origination, k)
            assert same(joint, R.joint(model, *gt, origination, k))


def test_many_trees_in_one_call_match_model():
    # More trees than the native code sweeps at once, of mixed sizes, so that
    # trees start and finish at different times.
    rng = C.seeded(7)
    sp = C.random_species(rng, 6)
    rates = (0.3, 0.25, 0.4)
    gt = random_batch(rng, sp, sp.leaves, n_trees=40, max_tips=12)
    for transfers in (0, 1):
        model = R.Undated(sp.left, sp.right, sp.is_leaf, sp.time, sp.parent_time, sp.root, transfers, *rates)
        assert vc.undated_family_loglik(*sp.undated_args(), *gt, *rates, transfers, 0) == \
            R.batch_scores(model, *gt, 0)
    model = R.Dated(sp.n, sp.left, sp.right, sp.is_leaf, sp.time, sp.parent_time, sp.root, *rates, 1)
    assert vc.dated_family_loglik(*sp.dated_args(), *gt, *rates, 1, 0) == R.batch_scores(model, *gt, 0)


def test_extra_time_entries_and_unsorted_times_match_model():
    # Entries of sp_time beyond the node count still cut the time axis; the
    # times need not be sorted and may repeat.
    rng = C.seeded(3)
    sp = C.random_species(rng, 4)
    time = sp.time + [0.37, sp.time[0], 0.91]
    args = sp.dated_args()
    args[4] = time
    gt = random_batch(rng, sp, sp.leaves)
    model = R.Dated(sp.n, sp.left, sp.right, sp.is_leaf, time, sp.parent_time, sp.root, 0.3, 0.2, 0.1, 2)
    assert vc.dated_family_loglik(*args, *gt, 0.3, 0.2, 0.1, 2, 0) == R.batch_scores(model, *gt, 0)

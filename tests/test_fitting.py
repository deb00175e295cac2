"""vornix.fit_rates: known rates recovered from simulated families, fits
independent of worker count and tree order, impossible data reported.

VORNIX_RECOVERY_FAMILIES raises the number of simulated families of the
recovery check (default 400; the full check uses about 1000)."""
import math
import os
import pathlib
import random
import warnings

import numpy as np
import pytest
import vornix_core

import scoring_reference as ref
from vornix import GeneTrees, fit_rates
from vornix.living_species import living_species

FAMILIES = int(os.environ.get("VORNIX_RECOVERY_FAMILIES", "400"))
TRUE = {"dup": 0.3, "transfer": 0.2, "loss": 0.4}


def simulate_extant_trees(tmp_path: pathlib.Path, parent, time, extant, names, families: int, seed: int):
    """Families started one per root (origination at the root only), their
    extant gene trees read back as written by the simulator."""
    vornix_core.simulate_and_write(
        n_nodes=len(parent), parent=parent, time=time, extant_leaf=extant, root=0, names=names,
        duplication=TRUE["dup"], transfer=TRUE["transfer"], loss=TRUE["loss"], origination=0.0,
        initial_size=families, cap=-1, seed=seed, replacement=0.0, distance_decay=-1.0, allow_self=False,
        total_age=max(time), outdir=str(tmp_path))
    return GeneTrees.read(*sorted((tmp_path / "gene_trees").glob("*_extant.nwk")))


def test_dated_fit_recovers_the_simulated_rates(tmp_path):
    parent, time, extant, names = ref.yule_tree(random.Random(1), 10)
    sp = living_species(parent, time, extant, 0, names)
    gt = simulate_extant_trees(tmp_path, parent, time, extant, names, FAMILIES, seed=1)
    assert 0 < len(gt) < FAMILIES  # some families died out: conditioning matters
    fit = fit_rates(sp, gt, model="dated")
    assert fit.converged and fit.n_steps > 1
    for name, value in TRUE.items():
        assert abs(fit.rates[name] - value) < 1.96 * fit.stderr[name], (name, fit.rates, fit.stderr)
        assert 0 < fit.stderr[name] < value / 3


def test_fit_is_the_same_whatever_the_workers_or_the_order():
    parent, time, extant, names = ref.yule_tree(random.Random(7), 5)
    sp = living_species(parent, time, extant, 0, names)
    rng = random.Random(3)
    leaves = sorted(sp.leaf_index)
    gt = GeneTrees.from_newick([ref.random_newick(rng, leaves, rng.randint(3, 9)) for _ in range(40)])
    serial = fit_rates(sp, gt, model="undated", fixed={"transfer": 0.05})
    pooled = fit_rates(sp, gt.subset(np.random.default_rng(0).permutation(len(gt))), model="undated",
                       fixed={"transfer": 0.05}, workers=2)
    assert serial.converged
    assert pooled.rates == serial.rates and pooled.loglik == serial.loglik
    assert pooled.evaluations == serial.evaluations and pooled.stderr == serial.stderr
    assert serial.stderr["transfer"] == 0.0 and serial.rates["transfer"] == 0.05


def test_a_rate_fixed_at_zero_that_the_data_need_gives_minus_infinity():
    # Species ((a,b),c); the gene tree ((a,c),b) needs a transfer when the
    # family starts at the species root's speciation.
    sp = living_species([-1, 0, 0, 1, 1], [0.0, 1.0, 2.0, 2.0, 2.0], [False, False, True, True, True], 0,
                        ["r", "ab", "c", "a", "b"])
    gt = GeneTrees.from_newick(["((a_1,c_1),b_1);", "((a_1,b_1),c_1);"])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fit = fit_rates(sp, gt, model="dated", fixed={"transfer": 0.0}, n_steps=2)
    assert fit.loglik == -math.inf and not fit.converged
    assert any("-inf" in str(w.message) for w in caught)
    free = fit_rates(sp, gt, model="dated", n_steps=2)
    assert free.converged and math.isfinite(free.loglik) and free.rates["transfer"] > 0


def test_bad_settings_are_refused():
    sp = living_species([-1, 0, 0], [0.0, 1.0, 1.0], [False, True, True], 0, ["r", "a", "b"])
    gt = GeneTrees.from_newick("(a_1,b_1);")
    with pytest.raises(ValueError, match="unknown rate 'speciation'"):
        fit_rates(sp, gt, fixed={"speciation": 1.0})
    with pytest.raises(ValueError, match="both fixed and given a start"):
        fit_rates(sp, gt, fixed={"dup": 0.1}, start={"dup": 0.2})
    with pytest.raises(ValueError, match=r"start\['loss'\] must be a finite rate > 0"):
        fit_rates(sp, gt, start={"loss": 0.0})
    with pytest.raises(ValueError, match="empty"):
        fit_rates(sp, gt.subset([]))


def test_conditioning_divides_by_the_survival_probability():
    # Two species at distance T from the root, no transfers: a lineage dies
    # out along a branch with the birth-death probability
    # E(T) = l (1 - e^{-(d-l)T}) / (d - l e^{-(d-l)T}); a family started at
    # the root leaves nothing with probability E(T)^2.
    d, loss, T = 0.4, 0.3, 1.5
    sp = living_species([-1, 0, 0], [0.0, T, T], [False, True, True], 0, ["r", "a", "b"])
    gt = GeneTrees.from_newick(["(a_1,b_1);", "((a_1,a_2),b_1);", "(a_1,b_1);"])
    rates = {"dup": d, "transfer": 0.0, "loss": loss}
    plain = fit_rates(sp, gt, model="dated", n_steps=4000, fixed=rates, condition_on_survival=False)
    conditioned = fit_rates(sp, gt, model="dated", n_steps=4000, fixed=rates)
    decay = math.exp(-(d - loss) * T)
    e = loss * (1 - decay) / (d - loss * decay)
    assert conditioned.loglik - plain.loglik == pytest.approx(-3 * math.log1p(-e * e), rel=1e-3)
    assert conditioned.converged and conditioned.evaluations == 1

"""vornix.score and vornix.root_best: the same numbers as the likelihood
functions on the same batch, over rootings as the plain model builds them,
and independent of worker count and input order."""
import json
import math
import pathlib
import random

import numpy as np
import pytest
import vornix_core

import scoring_reference as ref
from vornix import GeneTrees, root_best, score
from vornix.living_species import living_species
from vornix.scoring import prepare_batches

SHARED = next((p / "shared" / "benchmarks" for p in pathlib.Path(__file__).resolve().parents[2:4]
               if (p / "shared" / "benchmarks").is_dir()), pathlib.Path("shared/benchmarks"))
needs_shared = pytest.mark.skipif(not (SHARED / "gene_trees_100.json").exists(), reason="shared inputs absent")
RATES = dict(dup=0.2, transfer=0.2, loss=0.35)


@pytest.fixture(scope="module")
def shared_batch():
    tree = json.loads((SHARED / "species_tree_100.json").read_text())
    batch = json.loads((SHARED / "gene_trees_100.json").read_text())
    sp = living_species(tree["parent"], tree["time"], tree["extant_leaf"], tree["root"], tree["names"])
    gt = GeneTrees.read(SHARED / "gene_trees_100.nwk")
    return sp, gt, batch


def small_species():
    parent, time, extant, names = ref.yule_tree(random.Random(2), 6)
    return living_species(parent, time, extant, 0, names)


def random_trees(sp, n, seed, unrooted=0.3, max_leaves=14):
    rng = random.Random(seed)
    names = sorted(sp.leaf_index)
    return GeneTrees.from_newick([ref.random_newick(rng, names, rng.randint(1, max_leaves),
                                                    unrooted=rng.random() < unrooted) for _ in range(n)])


@needs_shared
def test_scores_equal_the_likelihood_functions_on_the_benchmark(shared_batch):
    sp, gt, batch = shared_batch
    gt_args = {k: batch[k] for k in ("gt_offsets", "gt_is_leaf", "gt_left", "gt_right", "gt_species")}
    sp_args = {k: batch[k] for k in ("sp_left", "sp_right", "sp_is_leaf", "sp_time", "sp_parent_time", "sp_root")}
    want = vornix_core.undated_family_loglik(**sp_args, **gt_args, **RATES, transfers=0, origination=0)
    got, joint = score(sp, gt, **RATES, joint=True, n_extinct=3)
    assert got.tolist() == want
    assert joint == vornix_core.undated_joint_loglik(**sp_args, **gt_args, **RATES, transfers=0, origination=0,
                                                     n_extinct=3)
    # Other models on the first trees, uniform origination.
    head = gt.subset(range(60))
    end = batch["gt_offsets"][60]
    head_args = {"gt_offsets": batch["gt_offsets"][:61], **{k: v[:end] for k, v in gt_args.items()
                                                            if k != "gt_offsets"}}
    dated = vornix_core.dated_family_loglik(sp_parent=batch["sp_parent"], **sp_args, **head_args, **RATES,
                                            n_steps=2, origination=1)
    assert np.array_equal(score(sp, head, model="dated", n_steps=2, origination="uniform", **RATES), dated,
                          equal_nan=True)
    reldated = vornix_core.undated_family_loglik(**sp_args, **head_args, **RATES, transfers=1, origination=0)
    assert score(sp, head, model="reldated", **RATES).tolist() == reldated


def test_rootings_average_and_best_follow_the_plain_model():
    sp = small_species()
    gt = random_trees(sp, 40, seed=8)
    offsets, parent, tips = gt.forest(sp)
    every = score(sp, gt, rooting="all", **RATES)
    best = score(sp, gt, rooting="best", **RATES)
    for t in range(len(gt)):
        a, b = int(offsets[t]), int(offsets[t + 1])
        rootings = ref.all_rootings(parent[a:b].tolist(), tips[a:b].tolist())
        lengths = [len(r) for r in rootings]
        rows = [row for r in rootings for row in r]
        batch = {"gt_offsets": np.concatenate([[0], np.cumsum(lengths)]).astype(np.uint64),
                 "gt_is_leaf": [r[0] for r in rows], "gt_left": [r[1] for r in rows],
                 "gt_right": [r[2] for r in rows], "gt_species": [r[3] for r in rows]}
        each = vornix_core.undated_family_loglik(**sp.undated_args(), **batch, **RATES, transfers=0, origination=0)
        assert best[t] == max(each)
        assert every[t] == pytest.approx(ref.log_mean_exp(each), rel=1e-13, abs=1e-13)
    rooted = gt.is_rooted
    as_is = score(sp, gt.subset(np.flatnonzero(rooted)), **RATES)
    assert (best[rooted] >= as_is).all()


def test_best_rooting_trees_score_their_best_value():
    sp = small_species()
    gt = random_trees(sp, 30, seed=4)
    best = score(sp, gt, rooting="best", model="dated", n_steps=2, **RATES)
    rooted = root_best(sp, gt, model="dated", n_steps=2, **RATES)
    assert rooted.is_rooted.all() and len(rooted) == len(gt)
    assert score(sp, rooted, model="dated", n_steps=2, **RATES).tolist() == best.tolist()
    # Written and read back as Newick, they are the same trees.
    again = GeneTrees.from_newick(rooted.to_newick())
    assert score(sp, again, model="dated", n_steps=2, **RATES).tolist() == best.tolist()


def test_results_do_not_depend_on_workers_batches_or_order(monkeypatch):
    sp = small_species()
    gt = random_trees(sp, 120, seed=21, max_leaves=30)
    import vornix.tree_batches as tb

    serial = score(sp, gt, rooting="all", **RATES)
    # A pool cuts the trees finer than one process does, to share the work out evenly.
    monkeypatch.setattr(tb, "ROOTED_NODES_PER_BATCH", 20000)
    assert len(prepare_batches(sp, gt, "all", 2)) >= 2 * len(prepare_batches(sp, gt, "all", 1)) > 2
    assert score(sp, gt, rooting="all", workers=2, **RATES).tobytes() == serial.tobytes()
    monkeypatch.setattr(tb, "ROOTED_NODES_PER_BATCH", 2000)  # many batches, rootings split across calls
    pooled = score(sp, gt, rooting="all", workers=2, **RATES)
    assert pooled.tobytes() == serial.tobytes()
    order = np.random.default_rng(1).permutation(len(gt))
    shuffled = score(sp, gt.subset(order), rooting="all", workers=3, **RATES)
    assert shuffled.tobytes() == serial[order].tobytes()


def test_edge_cases_and_refusals():
    sp = small_species()
    leaf = sorted(sp.leaf_index)[0]
    one = GeneTrees.from_newick(f"{leaf}_1;")
    for rooting in ("as-is", "all", "best"):
        value = score(sp, one, rooting=rooting, **RATES)
        assert value.shape == (1,) and math.isfinite(value[0])
    empty = score(sp, one.subset([]), **RATES)
    assert empty.shape == (0,)
    with pytest.raises(ValueError, match="rooting must be one of"):
        score(sp, one, rooting="midpoint", **RATES)
    with pytest.raises(ValueError, match="loss must be a finite rate"):
        score(sp, one, dup=0.1, transfer=0.1, loss=-1)
    with pytest.raises(ValueError, match="model must be one of"):
        score(sp, one, model="timed", **RATES)
    with pytest.raises(ValueError, match="workers must be in"):
        score(sp, one, workers=0, **RATES)
    with pytest.raises(TypeError, match="gene_trees must be vornix.GeneTrees"):
        score(sp, ["(a,b);"], **RATES)
    with pytest.raises(TypeError, match="species_tree must be a vornix.SpeciesTree"):
        score("species.nwk", one, **RATES)
    # The mean over rootings does not underflow where every likelihood does.
    names = sorted(sp.leaf_index)
    big = GeneTrees.from_newick(ref.random_newick(random.Random(2), names, 150))
    every = score(sp, big, rooting="all", dup=1e-3, transfer=1e-3, loss=1e-3)
    best = score(sp, big, rooting="best", dup=1e-3, transfer=1e-3, loss=1e-3)
    assert best[0] < -800 and best[0] - math.log(big.rooting_counts[0]) <= every[0] <= best[0]

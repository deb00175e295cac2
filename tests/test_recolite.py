"""Behaviour of the four likelihood functions: limiting cases, symmetries, the
batch forms, and the handling of malformed input."""
import math

import pytest

import recolite_cases as C
import vornix_core as vc

RATES = (0.2, 0.2, 0.35)
INF = math.inf


def two_by_two():
    """((a, b), (c, d)), root at 0 with a zero-length root branch, leaves at 2."""
    return C.species_from_nested((("a", "b"), ("c", "d")), lambda depth, node: float(depth))


def dated_family(sp, gt, rates=RATES, n_steps=1, origination=0):
    return vc.dated_family_loglik(*sp.dated_args(), *gt, *rates, n_steps, origination)


def undated_family(sp, gt, rates=RATES, transfers=0, origination=0):
    return vc.undated_family_loglik(*sp.undated_args(), *gt, *rates, transfers, origination)


def some_trees(sp, seed=11, count=5):
    rng = C.seeded(seed)
    return C.batch([C.random_gene_tree(rng, rng.randint(1, 8), sp.leaves) for _ in range(count)])


class TestZeroRates:
    def test_dated_perfect_copy_is_certain_and_anything_else_impossible(self):
        sp = two_by_two()
        copy = C.perfect_copy(sp)
        swapped = (copy[0], copy[2], copy[1], copy[3])  # children swapped everywhere
        moved = (copy[0], copy[1], copy[2], [sp.leaves[1], *copy[3][1:]])  # first tip in the wrong leaf
        got = dated_family(sp, C.batch([copy, swapped, moved]), (0.0, 0.0, 0.0), n_steps=0)
        assert got == [0.0, 0.0, -INF]

    def test_undated_perfect_copy_is_certain(self):
        sp = two_by_two()
        gt = C.batch([C.perfect_copy(sp), ([True], [-1], [-1], [sp.leaves[0]])])
        for transfers in (0, 1):
            assert undated_family(sp, gt, (0.0, 0.0, 0.0), transfers) == [0.0, -INF]

    def test_dated_joint_with_nothing_able_to_die_is_minus_infinity(self):
        sp = two_by_two()
        gt = C.batch([C.perfect_copy(sp)])
        assert vc.dated_joint_loglik(*sp.dated_args(), *gt, 0.0, 0.0, 0.0, 0, 0, 1) == -INF
        assert vc.dated_joint_loglik(*sp.dated_args(), *gt, 0.0, 0.0, 0.0, 0, 0, 0) == 0.0


class TestSymmetries:
    def test_transfer_zero_undated_equals_reldated(self):
        sp = C.random_species(C.seeded(5), 6)
        gt = some_trees(sp)
        rates = (0.3, 0.0, 0.4)
        assert undated_family(sp, gt, rates, 0) == undated_family(sp, gt, rates, 1)

    @pytest.mark.parametrize("which", ["dated", "undated", "reldated"])
    def test_swapping_children_changes_the_score_by_rounding_only(self, which):
        sp = C.random_species(C.seeded(8), 5, extinct=False)
        rng = C.seeded(9)
        trees = [C.random_gene_tree(rng, 9, sp.leaves) for _ in range(4)]
        mirrored = [(t[0], t[2], t[1], t[3]) for t in trees]
        score = {
            "dated": lambda gt: dated_family(sp, gt, origination=1),
            "undated": lambda gt: undated_family(sp, gt, transfers=0),
            "reldated": lambda gt: undated_family(sp, gt, transfers=1),
        }[which]
        a, b = score(C.batch(trees)), score(C.batch(mirrored))
        assert all(math.isfinite(x) for x in a)
        assert a == pytest.approx(b, rel=1e-12, abs=0)


class TestBatchForms:
    def test_joint_is_extinction_term_plus_family_scores_in_order(self):
        sp = C.random_species(C.seeded(21), 5)
        gt = some_trees(sp, count=7)
        for origination in (0, 1):
            fam = dated_family(sp, gt, origination=origination)
            p_none = math.exp(vc.dated_joint_loglik(*sp.dated_args(), *C.batch([]), *RATES, 1, origination, 1))
            total = 3 * math.log(p_none)
            for s in fam:
                total += s
            assert vc.dated_joint_loglik(*sp.dated_args(), *gt, *RATES, 1, origination, 3) == total
            for transfers in (0, 1):
                fam = undated_family(sp, gt, transfers=transfers, origination=origination)
                total = 0.0
                for s in fam:
                    total += s
                assert vc.undated_joint_loglik(*sp.undated_args(), *gt, *RATES, transfers, origination, 0) == total

    @pytest.mark.parametrize("offsets", [[], [0], [5]])
    def test_no_tree_in_the_batch(self, offsets):
        sp = two_by_two()
        gt = [offsets, [], [], [], []]
        assert vc.dated_family_loglik(*sp.dated_args(), *gt, *RATES, 1, 0) == []
        assert vc.undated_family_loglik(*sp.undated_args(), *gt, *RATES, 1, 0) == []
        assert vc.dated_joint_loglik(*sp.dated_args(), *gt, *RATES, 1, 0, 0) == 0.0
        assert vc.undated_joint_loglik(*sp.undated_args(), *gt, *RATES, 0, 1, 0) == 0.0
        dated_term = vc.dated_joint_loglik(*sp.dated_args(), *gt, *RATES, 1, 0, 2)
        undated_term = vc.undated_joint_loglik(*sp.undated_args(), *gt, *RATES, 0, 0, 2)
        assert -INF < dated_term < 0 and -INF < undated_term < 0

    def test_trees_are_scored_independently_of_their_batch(self):
        sp = C.random_species(C.seeded(4), 5)
        rng = C.seeded(5)
        trees = [C.random_gene_tree(rng, rng.randint(1, 9), sp.leaves) for _ in range(9)]
        together = dated_family(sp, C.batch(trees))
        alone = [dated_family(sp, C.batch([t]))[0] for t in trees]
        assert together == alone
        together = undated_family(sp, C.batch(trees), transfers=1)
        alone = [undated_family(sp, C.batch([t]), transfers=1)[0] for t in trees]
        assert together == alone


class TestModes:
    def test_origination_two_acts_as_root_and_transfers_two_as_undated(self):
        sp = C.random_species(C.seeded(6), 5)
        gt = some_trees(sp)
        assert dated_family(sp, gt, origination=2) == dated_family(sp, gt, origination=0)
        assert dated_family(sp, gt, origination=1) != dated_family(sp, gt, origination=0)
        assert undated_family(sp, gt, transfers=2) == undated_family(sp, gt, transfers=0)
        assert undated_family(sp, gt, origination=2) == undated_family(sp, gt, origination=0)

    def test_tip_in_an_internal_species_node(self):
        sp = two_by_two()
        internal = sp.left[sp.root]
        tip = ([True], [-1], [-1], [internal])
        # Undated: observed on that branch like any other; dated: only leaves
        # can hold a tip, so no reconciliation exists.
        assert math.isfinite(undated_family(sp, C.batch([tip]))[0])
        assert dated_family(sp, C.batch([tip])) == [-INF]

    def test_dated_tip_without_species_scores_minus_infinity(self):
        sp = two_by_two()
        gt = C.batch([([True, True, False], [-1, -1, 0], [-1, -1, 1], [sp.leaves[0], -1, -1])])
        assert dated_family(sp, gt) == [-INF]
        assert vc.dated_joint_loglik(*sp.dated_args(), *gt, *RATES, 1, 0, 0) == -INF

    def test_times_that_snap_together_make_one_breakpoint(self):
        # Moving a node by 3e-13 leaves every slice as it was: the result is
        # unchanged to the last bit. A separate breakpoint would have added a
        # slice with steps of its own.
        sp = C.species_from_nested((("a", "b"), ("c", "d")), lambda depth, node: {1: 0.5, 2: 1.5}[depth])
        gt = some_trees(sp)
        base = dated_family(sp, gt, n_steps=3)
        moved = sp.dated_args()
        moved[4] = list(sp.time)
        moved[4][sp.left[sp.root]] += 3e-13
        assert vc.dated_family_loglik(*moved, *gt, *RATES, 3, 0) == base
        moved[4][sp.left[sp.root]] += 1e-6
        assert vc.dated_family_loglik(*moved, *gt, *RATES, 3, 0) != base

    def test_uniform_origination_without_any_branch_is_nan(self):
        sp = C.SpeciesTree([-1], [-1], [1.0], [1.0], 0)
        got = dated_family(sp, C.batch([([True], [-1], [-1], [0])]), origination=1)
        assert math.isnan(got[0])


def malformed_calls():
    """(description, function, arguments) of calls that must raise ValueError."""
    sp = two_by_two()
    good = C.batch([C.perfect_copy(sp)])
    cases = []

    def dated(args=None, gt=None, origination=0, **over):
        a = list(args or sp.dated_args())
        return (vc.dated_family_loglik, [*a, *(gt or good), *RATES, 1, origination])

    def undated(args=None, gt=None, transfers=0, origination=0):
        a = list(args or sp.undated_args())
        return (vc.undated_family_loglik, [*a, *(gt or good), *RATES, transfers, origination])

    def with_species(i, value, args):
        args = list(args)
        args[i] = value
        return args

    short = sp.left[:-1]
    cases.append(("dated sp_left shorter than sp_parent", *dated(with_species(1, short, sp.dated_args()))))
    cases.append(("dated sp_time shorter", *dated(with_species(4, sp.time[:2], sp.dated_args()))))
    cases.append(("undated sp_is_leaf shorter", *undated(with_species(2, sp.is_leaf[:3], sp.undated_args()))))
    cases.append(("reldated sp_parent_time shorter",
                  *undated(with_species(4, sp.parent_time[:3], sp.undated_args()), transfers=1)))
    bad_child = list(sp.right)
    bad_child[sp.root] = sp.n
    cases.append(("dated child out of range", *dated(with_species(2, bad_child, sp.dated_args()))))
    neg_child = list(sp.left)
    neg_child[sp.root] = -1
    cases.append(("undated child -1 of an internal node", *undated(with_species(0, neg_child, sp.undated_args()))))
    cases.append(("dated NaN time", *dated(with_species(4, [math.nan] + sp.time[1:], sp.dated_args()))))
    leaf_root = with_species(6, sp.leaves[0], sp.dated_args())
    cases.append(("dated root is a leaf under root origination", *dated(leaf_root)))
    cases.append(("undated root out of range", *undated(with_species(5, sp.n, sp.undated_args()))))
    extra = with_species(4, sp.time + [0.3], sp.dated_args())
    cases.append(("dated uniform origination with more times than nodes", *dated(extra, origination=1)))

    tip = ([True], [-1], [-1], [sp.leaves[0]])
    off, leaf, left, right, species = C.batch([tip, tip])
    cases.append(("decreasing offsets", *dated(gt=[[0, 2, 1], leaf, left, right, species])))
    cases.append(("offsets past the end", *undated(gt=[[0, 1, 3], leaf, left, right, species])))
    cases.append(("offsets past the end of gt_species", *dated(gt=[off, leaf, left, right, species[:1]])))
    cases.append(("empty tree", *dated(gt=[[0, 1, 1], leaf, left, right, species])))
    cherry = lambda l, r: C.batch([([True, True, False], [-1, -1, l], [-1, -1, r], [0, 1, -1])])
    cases.append(("child index out of range", *dated(gt=cherry(0, 7))))
    cases.append(("child index -1 in an internal node", *undated(gt=cherry(-1, 1))))
    cases.append(("child not below its parent", *undated(gt=C.batch([([False, True], [1, -1], [1, -1], [-1, 0])]))))
    shared = C.batch([([True, True, False, False], [-1, -1, 0, 0], [-1, -1, 1, 2], [0, 1, -1, -1])])
    cases.append(("dated node with two parents", *dated(gt=shared)))
    cases.append(("undated tip species -1", *undated(gt=C.batch([([True], [-1], [-1], [-1])]))))
    cases.append(("undated tip species out of range", *undated(gt=C.batch([([True], [-1], [-1], [sp.n])]))))
    return cases


@pytest.mark.parametrize("what,fn,args", malformed_calls(), ids=[c[0] for c in malformed_calls()])
def test_malformed_input_raises_value_error(what, fn, args):
    with pytest.raises(ValueError) as info:
        fn(*args)
    assert str(info.value)
    # The interpreter and the module stay usable.
    sp = two_by_two()
    assert vc.dated_family_loglik(*sp.dated_args(), *C.batch([C.perfect_copy(sp)]), *RATES, 1, 0)[0] < 0


def test_joint_extinction_term_is_checked_even_without_trees():
    sp = two_by_two()
    args = sp.dated_args()
    args[6] = sp.leaves[0]
    with pytest.raises(ValueError, match="leaf"):
        vc.dated_joint_loglik(*args, [], [], [], [], [], *RATES, 1, 0, 1)
    # Not needed, not checked: no tree and no extinct family.
    assert vc.dated_joint_loglik(*args, [], [], [], [], [], *RATES, 1, 0, 0) == 0.0


def test_undated_allows_a_node_shared_by_two_parents():
    # The undated recursion copies child values rather than handing them
    # over, so a node named by two parents is scored, not refused.
    sp = two_by_two()
    shared = C.batch([([True, True, False, False], [-1, -1, 0, 0], [-1, -1, 1, 2], [0, 1, -1, -1])])
    assert math.isfinite(undated_family(sp, shared)[0])


def test_oversized_time_grid_is_refused():
    sp = two_by_two()
    with pytest.raises(ValueError, match="time grid"):
        vc.dated_family_loglik(*sp.dated_args(), *C.batch([C.perfect_copy(sp)]), *RATES, 10**9, 0)
    with pytest.raises(ValueError, match="time grid"):
        vc.dated_family_loglik(*sp.dated_args(), *C.batch([C.perfect_copy(sp)]), 1e300, 0.0, 0.0, 1, 0)

"""Two faults of the plain recursions, mended: likelihoods below the smallest
double, and the duplication birth term of the dated recursion."""
import math

import mpmath
import pytest

import recolite_cases as C
import recolite_reference as R
import vornix_core as vc

RATES = (0.2, 0.2, 0.35)


def cherry():
    """(a, b): root at 0 with a zero-length branch, both leaves at 1."""
    return C.species_from_nested(("a", "b"), lambda depth, node: 1.0)


@pytest.fixture(scope="module")
def high_precision():
    with mpmath.workprec(120):
        yield


class TestUnderflow:
    """A tree whose likelihood is far below the smallest double still gets its
    true log-likelihood; where the values stay in range, scaling changes no
    bit."""

    @pytest.fixture(scope="class")
    def deep_tree(self):
        # 520 tips split into halves: depth 10, so that the 24 Euler steps
        # of the dated grid leave room for every event.
        return C.batch([C.random_gene_tree(C.seeded(1), 520, [0, 1], balanced=True)])

    @pytest.mark.parametrize("origination", [0, 1])
    def test_dated(self, deep_tree, origination, high_precision):
        sp = cherry()
        got = vc.dated_family_loglik(*sp.dated_args(), *deep_tree, *RATES, 24, origination)[0]
        exact = R.Dated(sp.n, sp.left, sp.right, sp.is_leaf, sp.time, sp.parent_time, sp.root, *RATES, 24,
                        num=mpmath.mpf, log=mpmath.log)
        want = R.batch_scores(exact, *deep_tree, origination)[0]
        assert want < -800
        assert got == pytest.approx(want, rel=1e-12)
        plain = R.Dated(sp.n, sp.left, sp.right, sp.is_leaf, sp.time, sp.parent_time, sp.root, *RATES, 24)
        assert R.batch_scores(plain, *deep_tree, origination)[0] == -math.inf

    @pytest.mark.parametrize("transfers", [0, 1])
    def test_undated(self, deep_tree, transfers, high_precision):
        sp = cherry()
        rates = (0.2, 0.2, 0.6)
        got = vc.undated_family_loglik(*sp.undated_args(), *deep_tree, *rates, transfers, 0)[0]
        exact = R.Undated(sp.left, sp.right, sp.is_leaf, sp.time, sp.parent_time, sp.root, transfers, *rates,
                          num=mpmath.mpf, log=mpmath.log)
        want = R.batch_scores(exact, *deep_tree, 0)[0]
        assert want < -800
        assert got == pytest.approx(want, rel=1e-12)
        plain = R.Undated(sp.left, sp.right, sp.is_leaf, sp.time, sp.parent_time, sp.root, transfers, *rates)
        assert R.batch_scores(plain, *deep_tree, 0)[0] == -math.inf

    @pytest.mark.parametrize("origination", [0, 1])
    def test_dated_across_slices(self, origination, high_precision):
        # Several slices: children rescaled in late slices must not make
        # their contributions vanish at their parent's scale further back.
        sp = C.species_from_nested(((("a", "b"), "c"), "d"),
                                   lambda depth, node: {1: 0.25, 2: 0.5}[depth] if isinstance(node, tuple) else 1.0)
        tree = C.batch([C.random_gene_tree(C.seeded(4), 300, sp.leaves, balanced=True)])
        got = vc.dated_family_loglik(*sp.dated_args(), *tree, *RATES, 4, origination)[0]
        exact = R.Dated(sp.n, sp.left, sp.right, sp.is_leaf, sp.time, sp.parent_time, sp.root, *RATES, 4,
                        num=mpmath.mpf, log=mpmath.log)
        want = R.batch_scores(exact, *tree, origination)[0]
        assert want < -750
        assert got == pytest.approx(want, rel=1e-12)

    def test_joint_of_underflowing_trees_is_finite(self, deep_tree):
        sp = cherry()
        joint = vc.dated_joint_loglik(*sp.dated_args(), *deep_tree, *RATES, 24, 0, 2)
        fam = vc.dated_family_loglik(*sp.dated_args(), *deep_tree, *RATES, 24, 0)
        assert math.isfinite(joint) and joint < fam[0] < -800

    def test_truly_impossible_tree_stays_minus_infinity(self, deep_tree):
        # Fewer Euler steps than the tree is deep: no reconciliation at all.
        sp = cherry()
        assert vc.dated_family_loglik(*sp.dated_args(), *deep_tree, *RATES, 3, 0) == [-math.inf]

    def test_rescaled_values_that_stay_in_range_match_the_plain_recursion(self):
        # Log-likelihoods around -300 .. -600: nodes are rescaled on the way,
        # yet every result equals the plain double computation bit for bit.
        sp = cherry()
        rng = C.seeded(2)
        trees = C.batch([C.random_gene_tree(rng, n, [0, 1], balanced=True) for n in (150, 200)])
        dated = vc.dated_family_loglik(*sp.dated_args(), *trees, *RATES, 16, 0)
        plain = R.Dated(sp.n, sp.left, sp.right, sp.is_leaf, sp.time, sp.parent_time, sp.root, *RATES, 16)
        assert dated == R.batch_scores(plain, *trees, 0)
        assert min(dated) < -200
        for transfers in (0, 1):
            undated = vc.undated_family_loglik(*sp.undated_args(), *trees, *RATES, transfers, 1)
            plain = R.Undated(sp.left, sp.right, sp.is_leaf, sp.time, sp.parent_time, sp.root, transfers, *RATES)
            assert undated == R.batch_scores(plain, *trees, 1)
            assert min(undated) < -200


class TestNormalisation:
    """Summed over every gene tree, probabilities plus extinction make 1.

    Trees are enumerated with ordered children and tips labelled by species
    leaf; a tree with m tips stands for its 2^(m-1) orderings, whose scores are
    equal, so each is weighted 2^-(m-1). Up to five tips on the cherry, the
    trees left out need at least two events beyond the plain speciation, so
    the deficit must shrink like the square of the rates."""

    MAX_TIPS = 5

    @pytest.fixture(scope="class")
    def trees(self):
        sp = cherry()
        listed = list(C.labelled_trees(self.MAX_TIPS, sp.leaves))
        weights = [2.0 ** -(m - 1) for _, m in listed]
        return C.batch([t for t, _ in listed]), weights

    @staticmethod
    def deficit(log_scores, weights, log_extinct):
        return 1.0 - (math.fsum(w * math.exp(s) for w, s in zip(weights, log_scores)) + math.exp(log_extinct))

    @pytest.mark.parametrize("rate", [1e-2, 1e-3])
    @pytest.mark.parametrize("origination", [0, 1])
    def test_dated(self, trees, rate, origination):
        sp = cherry()
        gt, weights = trees
        rates = (rate, rate, rate)
        scores = vc.dated_family_loglik(*sp.dated_args(), *gt, *rates, 2, origination)
        extinct = vc.dated_joint_loglik(*sp.dated_args(), *C.batch([]), *rates, 2, origination, 1)
        assert abs(self.deficit(scores, weights, extinct)) < 10 * rate**2

    @pytest.mark.parametrize("rate", [1e-2, 1e-3])
    @pytest.mark.parametrize("origination", [0, 1])
    def test_undated(self, trees, rate, origination):
        sp = cherry()
        gt, weights = trees
        rates = (rate, rate, rate)
        scores = vc.undated_family_loglik(*sp.undated_args(), *gt, *rates, 0, origination)
        extinct = vc.undated_joint_loglik(*sp.undated_args(), *C.batch([]), *rates, 0, origination, 1)
        assert abs(self.deficit(scores, weights, extinct)) < 10 * rate**2

    def test_duplication_term_without_both_orders_loses_mass(self, trees):
        # The same sum with the birth term of a duplication counted once
        # falls short by an amount proportional to the duplication rate.
        sp = cherry()
        gt, weights = trees
        rate = 1e-2
        old = R.Dated(sp.n, sp.left, sp.right, sp.is_leaf, sp.time, sp.parent_time, sp.root, rate, rate, rate, 2,
                      dup_factor=1)
        scores = R.batch_scores(old, *gt, 0)
        assert self.deficit(scores, weights, math.log(old.extinction(0))) > rate / 4


def test_long_fast_slices_stay_finite():
    """A slice long and fast enough that the children's values are stored far
    apart in scale: the birth term must not overflow on the way to the node's
    scale (the value agrees with an extended-precision evaluation)."""
    T, F = True, False
    got = vc.dated_joint_loglik(
        [10, 3, 3, 9, 8, 7, 7, 8, 9, 10, -1], [-1, -1, -1, 1, -1, -1, -1, 5, 4, 3, 0],
        [-1, -1, -1, 2, -1, -1, -1, 6, 7, 8, 9], [T, T, T, F, T, T, T, F, F, F, F],
        [1000.0, 976.8484870640076, 1000.0, 755.7192675135204, 1000.0, 1000.0, 977.1877311612501,
         842.6538029124274, 601.635541932693, 393.34375764913494, 0.1],
        [0.1, 755.7192675135204, 755.7192675135204, 393.34375764913494, 601.635541932693, 842.6538029124274,
         842.6538029124274, 601.635541932693, 393.34375764913494, 0.1, 0.0],
        10, [0, 5], [T, T, F, T, F], [-1, -1, 1, -1, 3], [-1, -1, 0, -1, 2], [1, 1, -1, 1, -1],
        0.03529620682015401, 1.0569136527250398, 0.028998548170273288, 1, 1, 0)
    assert got == float.fromhex("-0x1.57134251c825fp+7")

// The likelihood engines from C++: time slices, recipient lists, scaled and
// Wide values, branch offsets, batch checks and the agreement of the batch
// and single-tree paths.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "check.h"
#include "recolite/dated_engine.h"
#include "recolite/recolite.h"
#include "recolite/scaled.h"
#include "recolite/undated_engine.h"

using namespace vornix::recolite;

namespace {

// ((0:a, 1:b) 2, 3:c) 4 in post-order; the root 4 at time 0 with a branch of
// length 0, node 2 at 0.5, every leaf at 2.
SpeciesArrays three_leaves() {
    SpeciesArrays s;
    s.left = {-1, -1, 0, -1, 2};
    s.right = {-1, -1, 1, -1, 3};
    s.is_leaf = {1, 1, 0, 1, 0};
    s.time = {2.0, 2.0, 0.5, 2.0, 0.0};
    s.parent_time = {0.5, 0.5, 0.0, 0.0, 0.0};
    s.root = 4;
    return s;
}

// Tree (tip a, tip b) with a third tip c joined at the root: ((a, b), c).
GeneBatch one_tree() {
    GeneBatch g;
    g.offsets = {0, 5};
    g.is_leaf = {1, 1, 0, 1, 0};
    g.left = {-1, -1, 0, -1, 2};
    g.right = {-1, -1, 1, -1, 3};
    g.species = {0, 1, -1, 3, -1};
    return g;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A caterpillar of `leaves` leaves in post-order: the deepest spine node
// joins leaves 0 and 1, each spine node above adds one leaf; leaves at time
// `leaves`, spine node k at time k.
SpeciesArrays caterpillar(int leaves) {
    SpeciesArrays s;
    auto add = [&](std::int64_t l, std::int64_t r, double t, double tp) {
        s.left.push_back(l);
        s.right.push_back(r);
        s.is_leaf.push_back(l < 0 ? 1 : 0);
        s.time.push_back(t);
        s.parent_time.push_back(tp);
        return static_cast<std::int64_t>(s.left.size()) - 1;
    };
    const double present = leaves;
    const int top = leaves - 2;
    std::int64_t node = add(add(-1, -1, present, top), add(-1, -1, present, top), top, top - 1);
    for (int k = top - 1; k >= 0; --k) node = add(node, add(-1, -1, present, k), k, k > 0 ? k - 1 : 0.0);
    s.root = static_cast<std::uint64_t>(node);
    return s;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

TEST_CASE("slices follow the distinct node times, and only branches spanning them") {
    auto e = Engine::build(5, three_leaves(), 0.2, 0.3, 0.4, 1);
    CHECK(e.ok());
    const Engine& engine = e.value();
    CHECK_EQ(engine.slices.size(), std::size_t{2});  // breakpoints 0, 0.5, 2
    CHECK((engine.slices[0].branches == std::vector<std::uint32_t>{2, 3}));
    CHECK((engine.slices[1].branches == std::vector<std::uint32_t>{0, 1, 3}));
    // ceil(0.9 * 1.5 * 4) = 6 steps across the later slice; ceil(0.9 * 0.5 * 4) = 2.
    CHECK_EQ(engine.slices[1].steps, std::uint64_t{6});
    CHECK_EQ(engine.slices[0].steps, std::uint64_t{2});
    CHECK_EQ(engine.slices[1].step, 1.5 / 6.0);
    // The zero-length root branch lies in no slice.
    CHECK_EQ(engine.ext_top[4], 0.0);
    for (int b = 0; b < 4; ++b) CHECK(engine.ext_top[b] > 0.0 && engine.ext_top[b] < 1.0);
}

TEST_CASE("times equal up to twelve decimals make one breakpoint; extra entries still cut") {
    SpeciesArrays s = three_leaves();
    s.time[2] = 0.5 + 4e-13;
    auto near = Engine::build(5, std::move(s), 0.2, 0.3, 0.4, 1);
    CHECK_EQ(near.value().slices.size(), std::size_t{2});
    s = three_leaves();
    s.time.push_back(1.25);  // a sixth entry for five nodes
    auto extra = Engine::build(5, std::move(s), 0.2, 0.3, 0.4, 1);
    CHECK_EQ(extra.value().slices.size(), std::size_t{3});
    CHECK(!extra.value().check_origination(1).empty());  // uniform origination needs a length per entry
    CHECK(extra.value().check_origination(0).empty());
}

TEST_CASE("a step count below the minimum is raised to it; no rates and no minimum take no step") {
    auto e = Engine::build(5, three_leaves(), 0.0, 0.0, 0.0, 0);
    for (const Slice& s : e.value().slices) {
        CHECK_EQ(s.steps, std::uint64_t{0});
        CHECK(std::isinf(s.step));
    }
    for (const double x : e.value().ext_top) CHECK_EQ(x, 0.0);
    auto many = Engine::build(5, three_leaves(), 0.2, 0.3, 0.4, 50);
    for (const Slice& s : many.value().slices) CHECK_EQ(s.steps, std::uint64_t{50});
}

TEST_CASE("malformed species arrays are refused with a reason") {
    SpeciesArrays s = three_leaves();
    s.right.pop_back();
    auto short_right = Engine::build(5, std::move(s), 0.2, 0.3, 0.4, 1);
    CHECK(!short_right.ok() && contains(short_right.error().message, "sp_right"));
    s = three_leaves();
    s.left[2] = 9;
    auto bad_child = UndatedEngine::build(std::move(s), 0, 0.2, 0.3, 0.4);
    CHECK(!bad_child.ok() && contains(bad_child.error().message, "child 9"));
    s = three_leaves();
    s.time[1] = std::numeric_limits<double>::quiet_NaN();
    CHECK(!Engine::build(5, std::move(s), 0.2, 0.3, 0.4, 1).ok());
    CHECK(short_right.error().kind == vornix::ErrorKind::Value);
}

TEST_CASE("reldated recipients are the branches that coexist with a branch") {
    auto e = UndatedEngine::build(three_leaves(), 1, 0.2, 0.3, 0.4);
    const UndatedEngine& u = e.value();
    auto recipients = [&](std::size_t b) {
        return std::vector<std::uint32_t>(u.recipient_list.begin() + u.recipient_start[b],
                                          u.recipient_list.begin() + u.recipient_start[b + 1]);
    };
    CHECK((recipients(0) == std::vector<std::uint32_t>{1, 3}));  // sibling and cousin, not its parent
    CHECK((recipients(2) == std::vector<std::uint32_t>{3}));
    CHECK(recipients(4).empty());  // the root branch has length 0
    auto undated = UndatedEngine::build(three_leaves(), 2, 0.2, 0.3, 0.4);
    CHECK(!undated.value().reldated);
}

TEST_CASE("gene batches: offsets and tree shapes are checked before scoring") {
    GeneBatch g = one_tree();
    CHECK(check_gene_batch(g, GeneTreeRules{true, true, 5}).empty());
    g.offsets = {0, 5, 4};
    CHECK(contains(check_gene_batch(g, GeneTreeRules{}), "decrease"));
    g.offsets = {0, 6};
    CHECK(contains(check_gene_batch(g, GeneTreeRules{}), "gt_is_leaf"));
    g = one_tree();
    g.species.pop_back();
    CHECK(contains(check_gene_batch(g, GeneTreeRules{}), "gt_species"));
    g = one_tree();
    g.left[4] = 4;
    CHECK(contains(check_gene_batch(g, GeneTreeRules{}), "lower index"));
    g = one_tree();
    g.right[4] = 0;  // node 0 is already the child of node 2
    CHECK(contains(check_gene_batch(g, GeneTreeRules{false, true, 0}), "more than one"));
    CHECK(check_gene_batch(g, GeneTreeRules{false, false, 0}).empty());
    g = one_tree();
    g.species[3] = 5;
    CHECK(contains(check_gene_batch(g, GeneTreeRules{true, false, 5}), "species 5"));
    CHECK(check_gene_batch(g, GeneTreeRules{false, false, 5}).empty());
    g.offsets = {0, 0};
    CHECK(contains(check_gene_batch(g, GeneTreeRules{}), "empty"));
}

TEST_CASE("scaled values: exact while in range, accurate beyond it") {
    const double x = 0.3183098861837907;
    for (const int k : {1, 300, 1000}) CHECK_EQ(scaled_log(std::ldexp(x, k), k), std::log(x));
    // 2^-3000 * x is far below any double; its logarithm is still formed.
    const double deep = scaled_log(x, 3000);
    const long double want = std::log(static_cast<long double>(x)) - 3000.0L * std::log(2.0L);
    CHECK(std::fabs(static_cast<long double>(deep) - want) < 1e-12L * std::fabs(want));
    CHECK(std::isinf(scaled_log(0.0, 5)) && scaled_log(0.0, 5) < 0);
    CHECK(std::isnan(scaled_log(std::nan(""), 5)));
    CHECK(below_unscaled(1.0, 60, 1e-13));
    CHECK(!below_unscaled(1.0, 40, 1e-13));
    // 2^1800 in two exact factors: 2^-900 * 2^1800 = 2^900.
    const Pow2Factor f = Pow2Factor::of(1800);
    CHECK_EQ(f.apply(0x1p-900), 0x1p900);
    CHECK(!Pow2Factor::of(0).active);
}

TEST_CASE("the batch path and the single-tree path agree bit for bit") {
    std::mt19937_64 rng(5);
    GeneBatch g;
    g.offsets = {0};
    // Twelve caterpillars of growing size over the three leaves.
    for (int t = 0; t < 12; ++t) {
        const int tips = 1 + t % 6;
        const std::int64_t base = static_cast<std::int64_t>(g.is_leaf.size());
        std::int64_t last = -1;
        for (int i = 0; i < tips; ++i) {
            const std::int64_t leaf[3] = {0, 1, 3};
            g.is_leaf.push_back(1);
            g.left.push_back(-1);
            g.right.push_back(-1);
            g.species.push_back(leaf[rng() % 3]);
            const std::int64_t tip = static_cast<std::int64_t>(g.is_leaf.size()) - 1 - base;
            if (last >= 0) {
                g.is_leaf.push_back(0);
                g.left.push_back(last);
                g.right.push_back(tip);
                g.species.push_back(-1);
                last = static_cast<std::int64_t>(g.is_leaf.size()) - 1 - base;
            } else {
                last = tip;
            }
        }
        g.offsets.push_back(g.is_leaf.size());
    }
    auto dated = Engine::build(5, three_leaves(), 0.2, 0.3, 0.4, 2);
    auto undated = UndatedEngine::build(three_leaves(), 1, 0.2, 0.3, 0.4);
    for (const std::uint8_t origination : {0, 1}) {
        vornix::Interrupt none;
        const auto d = dated.value().batch_loglik(g, origination, none).value();
        const auto u = undated.value().batch_loglik(g, origination, none).value();
        for (std::size_t i = 0; i < g.tree_count(); ++i) {
            CHECK_EQ(d[i], dated.value().gene_loglik(tree_at(g, i), origination));
            CHECK_EQ(u[i], undated.value().gene_loglik(tree_at(g, i), origination));
            CHECK(std::isfinite(d[i]) && std::isfinite(u[i]));
        }
    }
}

TEST_CASE("the joint score adds the family scores to the extinction term in order") {
    const Rates rates{0.2, 0.3, 0.4};
    auto family = dated_family_loglik(5, three_leaves(), one_tree(), rates, 1, 0);
    auto joint = dated_joint_loglik(5, three_leaves(), one_tree(), rates, 1, 0, 2);
    auto none = dated_joint_loglik(5, three_leaves(), GeneBatch{}, rates, 1, 0, 1);
    CHECK_EQ(joint.value(), 2.0 * none.value() + family.value()[0]);
    auto bad_root = three_leaves();
    bad_root.root = 0;
    auto refused = undated_joint_loglik(std::move(bad_root), one_tree(), rates, 0, 1, 0);
    CHECK(refused.ok());  // uniform origination does not read the root
    bad_root = three_leaves();
    bad_root.root = 7;
    CHECK(!undated_joint_loglik(std::move(bad_root), one_tree(), rates, 0, 0, 0).ok());
}

TEST_CASE("Wide numbers round as doubles do while in range, and their exponent keeps going beyond it") {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-300, 300), far(-4000, 4000);
    int compared = 0;
    for (int i = 0; i < 20000; ++i) {
        const double a = std::ldexp(mantissa(rng), exponent(rng)), b = std::ldexp(mantissa(rng), exponent(rng));
        const double plain[4] = {a + b, a - b, a * b, a / b};
        // The same operands moved far outside the range of doubles, by
        // exponents that cancel in the result.
        const std::int64_t k = far(rng);
        const Wide wa = Wide::of(a, k), wb = Wide::of(b, k), wb_down = Wide::of(b, -k);
        const Wide wide[4] = {wa + wb, wa - wb, wa * wb_down, wa / wb};
        const std::int64_t back[4] = {-k, -k, 0, 0};
        for (int op = 0; op < 4; ++op) {
            if (plain[op] != 0.0 && std::fabs(plain[op]) < DBL_MIN) continue;
            ++compared;
            if (!same_bits(wide[op].times(back[op]), plain[op])) {
                check::fail(__FILE__, __LINE__, "operation " + std::to_string(op) + " on " + std::to_string(a) + ", " +
                                                    std::to_string(b) + " at 2^" + std::to_string(k));
            }
        }
        CHECK_EQ(wa < wb, a < b);
    }
    CHECK(compared > 70000);
    // Far beyond the range: 2^-3000 * 0.75 and sums that no double holds.
    const Wide tiny = Wide::of(0.75, -3000);
    CHECK_EQ((tiny + tiny).times(3000), 1.5);
    CHECK_EQ((tiny * tiny).times(6000), 0.5625);
    CHECK(std::fabs(wide_log2(tiny) - (std::log2(0.75) - 3000.0)) < 1e-12);
    CHECK(std::fabs(wide_log(tiny) - (std::log(0.75) - 3000.0 * std::log(2.0))) < 1e-12 * 3000);
    CHECK_EQ(wide_log(Wide::of(0.3)), std::log(0.3));
    CHECK(std::isinf(wide_log(Wide{})) && wide_log(Wide{}) < 0);
    CHECK_EQ(Wide::of(0.75, 2000).times(-1000), std::ldexp(0.75, 1000));
    CHECK(std::isinf(Wide::of(0.75, 2000).times(0)) && Wide::of(0.75, -2000).times(0) == 0.0);
}

TEST_CASE("branch offsets appear only where one scale per gene node cannot hold a node's values") {
    // Moderate rates: the plain path.
    auto moderate = UndatedEngine::build(three_leaves(), 1, 0.2, 0.3, 0.4);
    CHECK(!moderate.value().has_offsets() && moderate.value().ext_wide.empty());
    auto shallow = UndatedEngine::build(caterpillar(40), 0, 0.2, 0.2, 0.35);
    CHECK(!shallow.value().has_offsets());
    // Losses far faster than speciation on a deep tree: offsets, never
    // positive, 0 at the root, falling from parent to child without
    // transfers.
    auto deep = UndatedEngine::build(caterpillar(105), 1, 0.0599, 0.0, 258575.0);
    const UndatedEngine& d = deep.value();
    CHECK(d.has_offsets() && d.ext_wide.empty());
    CHECK_EQ(d.offset[d.root], std::int64_t{0});
    std::int64_t lowest = 0;
    for (std::size_t b = 0; b < d.n; ++b) {
        CHECK(d.offset[b] <= 0);
        lowest = std::min(lowest, d.offset[b]);
        if (!d.is_leaf[b]) CHECK(d.offset[d.left[b]] <= d.offset[b] && d.offset[d.right[b]] <= d.offset[b]);
    }
    CHECK(lowest < -1800);  // some 18 binades per speciation, over a hundred speciations
    // Transfers to any branch, however rare, cut the fall short; a little
    // less rare and no offsets are needed.
    auto transfers = UndatedEngine::build(caterpillar(105), 0, 0.0599, 1e-200, 258575.0);
    std::int64_t lowest_with_transfers = 0;
    for (const std::int64_t o : transfers.value().offset) lowest_with_transfers = std::min(lowest_with_transfers, o);
    CHECK(transfers.value().has_offsets() && lowest_with_transfers > lowest / 2);
    CHECK(!UndatedEngine::build(caterpillar(105), 0, 0.0599, 1e-20, 258575.0).value().has_offsets());
    // A loss probability below the normal range: the extinction values are
    // solved in Wide numbers, and the extinction term keeps them.
    auto rare_loss = UndatedEngine::build(three_leaves(), 0, 0.2, 0.2, 1e-320);
    const UndatedEngine& r = rare_loss.value();
    CHECK(r.has_offsets() && r.ext_wide.size() == r.n);
    const double want = std::log(1e-320) - std::log(1.4);  // the root's extinction is p_loss to first order
    CHECK(std::fabs(r.log_extinction(0) - want) < 1e-12 * std::fabs(want));
}

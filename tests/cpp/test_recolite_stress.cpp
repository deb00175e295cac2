// Randomized stress of the likelihood engines where plain doubles fail: long,
// fast time slices (total rate times slice length in the thousands), large
// loss rates, deep species trees. Every score is compared with the literal
// model run on numbers whose exponent cannot run out: bit for bit when the
// plain double computation stays in the normal range, within 1e-9 relative
// otherwise, and never NaN or +inf. VORNIX_RECOLITE_STRESS_CASES raises the
// number of random cases (default 1500 dated, 400 undated and 200 undated on
// species trees over a hundred speciations deep). A last case runs the
// undated engine over every combination of rates from 0 to 1e308.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>

#include "check.h"
#include "recolite/recolite.h"
#include "recolite/undated_engine.h"
#include "recolite_model.h"

using namespace vornix::recolite;

namespace {

std::uint64_t case_count(std::uint64_t fallback) {
    const char* text = std::getenv("VORNIX_RECOLITE_STRESS_CASES");
    if (text == nullptr || *text == '\0') return fallback;
    return std::strtoull(text, nullptr, 10);
}

struct Random {
    std::mt19937_64 gen;
    explicit Random(std::uint64_t seed) : gen(seed) {}
    double uniform(double a, double b) { return std::uniform_real_distribution<double>(a, b)(gen); }
    double log_uniform(double a, double b) { return std::exp(uniform(std::log(a), std::log(b))); }
    int integer(int a, int b) { return std::uniform_int_distribution<int>(a, b)(gen); }
    bool chance(double p) { return uniform(0.0, 1.0) < p; }
    // 0 now and then, else anything from tiny to very fast.
    double rate(double top) { return chance(0.2) ? 0.0 : log_uniform(1e-3, top); }
};

// A random binary species tree in post-order: root at 0 (its branch of
// length 0, or starting earlier), leaves at `present` unless extinct.
model::Species random_species(Random& r, int leaves, double present, bool caterpillar = false) {
    model::Species s;
    const double root_parent = r.chance(0.5) ? 0.0 : -r.uniform(0.0, present / 4);
    auto add = [&](std::int64_t l, std::int64_t rt, double t, double tp) {
        s.left.push_back(l);
        s.right.push_back(rt);
        s.is_leaf.push_back(l < 0);
        s.time.push_back(t);
        s.parent_time.push_back(tp);
        return static_cast<std::int64_t>(s.left.size()) - 1;
    };
    auto build = [&](auto& self, int k, double t, double tp) -> std::int64_t {
        if (k == 1) {
            const double end = r.chance(0.2) ? t + (present - t) * r.uniform(0.05, 1.0) : present;
            return add(-1, -1, end, tp);
        }
        const int split = caterpillar ? 1 : r.integer(1, k - 1);
        const double ta = t + (present - t) * r.uniform(0.02, 0.8);
        const double tb = caterpillar ? present : t + (present - t) * r.uniform(0.02, 0.8);
        const std::int64_t b = self(self, k - split, caterpillar ? ta : tb, t);
        const std::int64_t a = self(self, split, caterpillar ? tb : ta, t);
        return add(a, b, t, tp);
    };
    s.root = static_cast<std::size_t>(build(build, leaves, 0.0, root_parent));
    return s;
}

// A species tree `levels` speciations deep along its spine: each spine node
// has the rest of the spine on one side and a leaf or now and then a small
// random tree on the other, at random times; leaves at `present` unless
// extinct.
model::Species deep_species(Random& r, int levels, double present) {
    model::Species s;
    auto add = [&](std::int64_t l, std::int64_t rt, double t, double tp) {
        s.left.push_back(l);
        s.right.push_back(rt);
        s.is_leaf.push_back(l < 0);
        s.time.push_back(t);
        s.parent_time.push_back(tp);
        return static_cast<std::int64_t>(s.left.size()) - 1;
    };
    auto clade = [&](auto& self, int k, double tp) -> std::int64_t {
        if (k == 1) return add(-1, -1, r.chance(0.1) ? tp + (present - tp) * r.uniform(0.05, 1.0) : present, tp);
        const double t = tp + (present - tp) * r.uniform(0.05, 0.9);
        const int split = r.integer(1, k - 1);
        const std::int64_t a = self(self, split, t);
        const std::int64_t b = self(self, k - split, t);
        return add(a, b, t, tp);
    };
    // Spine node times, increasing from the root at 0.
    std::vector<double> t(static_cast<std::size_t>(levels));
    for (int i = 1; i < levels; ++i) t[i] = t[i - 1] + r.uniform(0.01, 1.0);
    const double scale = present * r.uniform(0.5, 0.95) / (t.back() > 0 ? t.back() : 1.0);
    for (double& x : t) x *= scale;
    auto side_leaves = [&] { return r.chance(0.8) ? 1 : r.integer(2, 3); };
    std::int64_t below = clade(clade, side_leaves(), t.back());
    for (int i = levels - 1; i >= 0; --i) {
        const double tp = i > 0 ? t[i - 1] : (r.chance(0.5) ? 0.0 : -r.uniform(0.0, present / 4));
        const std::int64_t side = clade(clade, side_leaves(), t[i]);
        below = r.chance(0.5) ? add(below, side, t[i], tp) : add(side, below, t[i], tp);
    }
    s.root = static_cast<std::size_t>(below);
    return s;
}

void add_gene_tree(Random& r, const std::vector<std::int64_t>& tip_species, int tips, model::Gene& g) {
    auto build = [&](auto& self, int k) -> std::int64_t {
        if (k == 1) {
            g.is_leaf.push_back(true);
            g.left.push_back(-1);
            g.right.push_back(-1);
            g.species.push_back(tip_species[r.integer(0, static_cast<int>(tip_species.size()) - 1)]);
            return static_cast<std::int64_t>(g.is_leaf.size()) - 1;
        }
        const int split = r.integer(1, k - 1);
        const std::int64_t a = self(self, split);
        const std::int64_t b = self(self, k - split);
        g.is_leaf.push_back(false);
        g.left.push_back(a);
        g.right.push_back(b);
        g.species.push_back(-1);
        return static_cast<std::int64_t>(g.is_leaf.size()) - 1;
    };
    build(build, tips);
}

SpeciesArrays engine_species(const model::Species& s) {
    SpeciesArrays a;
    a.left = s.left;
    a.right = s.right;
    for (const bool leaf : s.is_leaf) a.is_leaf.push_back(leaf ? 1 : 0);
    a.time = s.time;
    a.parent_time = s.parent_time;
    a.root = s.root;
    return a;
}

GeneBatch engine_batch(const std::vector<model::Gene>& trees) {
    GeneBatch b;
    b.offsets = {0};
    for (const model::Gene& g : trees) {
        for (std::size_t i = 0; i < g.is_leaf.size(); ++i) {
            b.is_leaf.push_back(g.is_leaf[i] ? 1 : 0);
            b.left.push_back(g.left[i]);
            b.right.push_back(g.right[i]);
            b.species.push_back(g.species[i]);
        }
        b.offsets.push_back(b.is_leaf.size());
    }
    return b;
}

// Euler steps the dated grid takes over the whole tree, as the engine
// counts them.
double total_steps(const model::Species& s, double rate_sum, std::uint64_t n_steps) {
    std::vector<double> t(s.time);
    t.push_back(0.0);
    for (double& x : t) x = model::snap(x);
    std::sort(t.begin(), t.end());
    t.erase(std::unique(t.begin(), t.end()), t.end());
    double steps = 0;
    for (std::size_t k = 0; k + 1 < t.size(); ++k) {
        steps += std::max(static_cast<double>(n_steps), std::ceil(rate_sum * (t[k + 1] - t[k]) * 4));
    }
    return steps;
}

struct Verdict {
    int exact = 0, close = 0, impossible = 0;
};

// Compares one engine score with the models: `plain_normal` says the plain
// double computation stayed in the normal range, `plain` is its score.
bool agrees(double got, double plain, bool plain_normal, const model::Unbounded& L, Verdict& v, std::string& why) {
    std::ostringstream os;
    os.precision(17);
    if (std::isnan(got) || got == HUGE_VAL) {
        os << "score " << got;
        why = os.str();
        return false;
    }
    const double want = L.log();
    if (plain_normal) {
        ++v.exact;
        if (got == plain || (std::isnan(got) && std::isnan(plain))) return true;
        os << "score " << got << " differs from the plain computation " << plain;
        why = os.str();
        return false;
    }
    if (want == -HUGE_VAL) {
        ++v.impossible;
        if (got == -HUGE_VAL) return true;
        os << "score " << got << " for a tree without any reconciliation";
        why = os.str();
        return false;
    }
    ++v.close;
    if (std::fabs(got - want) <= 1e-9 * std::max(1.0, std::fabs(want))) return true;
    os << "score " << got << " vs " << want << " with unbounded exponents";
    why = os.str();
    return false;
}

std::string describe(const model::Species& s, double d, double t, double l, const char* extra) {
    std::ostringstream os;
    os.precision(17);
    os << s.n() << " species nodes, present " << s.time[0] << ", rates " << d << " " << t << " " << l << " " << extra;
    return os.str();
}

}  // namespace

TEST_CASE("dated scores stay finite and accurate on long, fast slices") {
    const std::uint64_t cases = case_count(1500);
    Random r(20240611);
    Verdict v;
    int failures = 0;
    for (std::uint64_t c = 0; c < cases && failures < 5; ++c) {
        const int leaves = r.integer(2, 8);
        const model::Species sp = random_species(r, leaves, r.log_uniform(0.05, 50.0));
        double dup = r.rate(100.0), transfer = r.chance(0.4) ? 0.0 : r.rate(100.0), loss = r.rate(100.0);
        const std::uint64_t n_steps = static_cast<std::uint64_t>(r.integer(0, 5));
        // Keep the model's work bounded: the longest grids get the smallest
        // gene trees.
        const double steps = total_steps(sp, (dup + transfer) + loss, n_steps);
        if (steps > 40000) {
            --c;
            continue;
        }
        const int max_tips = steps > 8000 ? 2 : (steps > 1500 ? 3 : 6);
        std::vector<std::int64_t> tips;
        for (std::size_t i = 0; i < sp.n(); ++i) {
            if (sp.is_leaf[i]) tips.push_back(static_cast<std::int64_t>(i));
        }
        if (r.chance(0.05)) tips.push_back(-1);  // now and then a tip without species
        std::vector<model::Gene> trees(static_cast<std::size_t>(r.integer(1, 2)));
        for (model::Gene& g : trees) add_gene_tree(r, tips, r.integer(1, max_tips), g);
        const std::uint8_t origination = static_cast<std::uint8_t>(r.integer(0, 1));

        auto got = dated_family_loglik(sp.n(), engine_species(sp), engine_batch(trees), Rates{dup, transfer, loss},
                                       n_steps, origination);
        if (!got.ok()) {
            CHECK(got.ok());
            ++failures;
            continue;
        }
        const model::Dated<model::Unbounded> wide(sp, dup, transfer, loss, n_steps);
        model::Watched::left_range() = false;
        const model::Dated<model::Watched> plain(sp, dup, transfer, loss, n_steps);
        for (std::size_t i = 0; i < trees.size(); ++i) {
            const bool before = model::Watched::left_range();
            const model::Watched p = plain.likelihood(trees[i], origination);
            const bool normal = !model::Watched::left_range();
            model::Watched::left_range() = before;
            std::string why;
            if (!agrees(got.value()[i], log_of(p), normal, wide.likelihood(trees[i], origination), v, why)) {
                check::fail(__FILE__, __LINE__, describe(sp, dup, transfer, loss, why.c_str()));
                ++failures;
            }
        }
    }
    std::printf("dated: %d exact, %d beyond plain doubles, %d impossible\n", v.exact, v.close, v.impossible);
    // The draw must reach every regime it is meant to test.
    CHECK(v.exact > 100);
    CHECK(v.close > 100);
    CHECK(v.impossible > 5);
}

namespace {

// Scores every tree of the batch with the engine and both models; returns
// false (after reporting) on the first disagreement.
bool check_undated(const model::Species& sp, const std::vector<model::Gene>& trees, double dup, double transfer,
                   double loss, bool reldated, std::uint8_t origination, Verdict& v) {
    auto got = undated_family_loglik(engine_species(sp), engine_batch(trees), Rates{dup, transfer, loss},
                                     reldated ? 1 : 0, origination);
    if (!got.ok()) {
        check::fail(__FILE__, __LINE__, got.error().message);
        return false;
    }
    const model::Undated<model::Unbounded> wide(sp, reldated, dup, transfer, loss);
    model::Watched::left_range() = false;
    const model::Undated<model::Watched> plain(sp, reldated, dup, transfer, loss);
    for (std::size_t i = 0; i < trees.size(); ++i) {
        const bool before = model::Watched::left_range();
        const model::Watched p = plain.likelihood(trees[i], origination);
        const bool normal = !model::Watched::left_range();
        model::Watched::left_range() = before;
        std::string why;
        if (!agrees(got.value()[i], log_of(p), normal, wide.likelihood(trees[i], origination), v, why)) {
            const std::string mode = std::string(reldated ? "reldated" : "undated") + " origination " +
                                     std::to_string(origination) + " tree " + std::to_string(i) + ": ";
            check::fail(__FILE__, __LINE__, describe(sp, dup, transfer, loss, (mode + why).c_str()));
            return false;
        }
    }
    return true;
}

bool uses_offsets(const model::Species& sp, double dup, double transfer, double loss, bool reldated) {
    auto e = UndatedEngine::build(engine_species(sp), reldated ? 1 : 0, dup, transfer, loss);
    return e.ok() && e.value().has_offsets();
}

}  // namespace

TEST_CASE("undated and reldated scores stay finite and accurate with large losses on deep trees") {
    const std::uint64_t cases = case_count(1500) * 4 / 15;
    Random r(77);
    Verdict v;
    int failures = 0;
    for (std::uint64_t c = 0; c < cases && failures < 5; ++c) {
        const bool deep = r.chance(0.5);
        const int leaves = deep ? r.integer(20, 70) : r.integer(1, 10);
        const model::Species sp = random_species(r, leaves, r.log_uniform(0.1, 50.0), deep && r.chance(0.7));
        const double dup = r.rate(100.0), transfer = r.chance(0.3) ? 0.0 : r.rate(100.0);
        const double loss = r.chance(0.6) ? r.log_uniform(10.0, 3e4) : r.rate(100.0);
        const bool reldated = r.chance(0.5);
        std::vector<std::int64_t> tips;
        for (std::size_t i = 0; i < sp.n(); ++i) {
            if (sp.is_leaf[i] || r.chance(0.1)) tips.push_back(static_cast<std::int64_t>(i));
        }
        std::vector<model::Gene> trees(static_cast<std::size_t>(r.integer(1, 3)));
        for (model::Gene& g : trees) add_gene_tree(r, tips, r.integer(1, deep ? 3 : 6), g);
        const std::uint8_t origination = static_cast<std::uint8_t>(r.integer(0, 1));
        if (!check_undated(sp, trees, dup, transfer, loss, reldated, origination, v)) ++failures;
    }
    std::printf("undated: %d exact, %d beyond plain doubles, %d impossible\n", v.exact, v.close, v.impossible);
    CHECK(v.exact > 20);
    CHECK(v.close >= 3);
}

// A gene lineage on a deep species tree whose losses are far faster than
// speciation falls by a large factor at every speciation on its way to the
// root, so one gene node's values span more than the range of doubles across
// the species branches. Transfers, few or many, cut that fall short.
TEST_CASE("undated and reldated scores stay finite and accurate on species trees over a hundred speciations deep") {
    const std::uint64_t cases = case_count(1500) * 2 / 15;
    Random r(4242);
    Verdict v, offset_verdict;
    int failures = 0, with_offsets = 0;
    for (std::uint64_t c = 0; c < cases && failures < 5; ++c) {
        const model::Species sp = deep_species(r, r.integer(100, 130), r.log_uniform(0.1, 50.0));
        const double dup = r.rate(100.0);
        const double loss = r.chance(0.8) ? r.log_uniform(1e2, 1e7) : r.rate(100.0);
        const double kind = r.uniform(0.0, 1.0);
        const double transfer = kind < 0.35 ? 0.0 : (kind < 0.6 ? r.log_uniform(1e-9, 1e-1) : r.log_uniform(1.0, 2.0 * loss));
        const bool reldated = r.chance(0.5);
        // Tips mostly on the deepest leaves (the first entries in post-order),
        // some anywhere, now and then on an internal node.
        std::vector<std::int64_t> deep_tips, any_tips;
        for (std::size_t i = 0; i < sp.n(); ++i) {
            if (sp.is_leaf[i] || r.chance(0.05)) (i < 12 ? deep_tips : any_tips).push_back(static_cast<std::int64_t>(i));
        }
        std::vector<model::Gene> trees(static_cast<std::size_t>(r.integer(1, 3)));
        for (model::Gene& g : trees) {
            add_gene_tree(r, r.chance(0.6) && !deep_tips.empty() ? deep_tips : any_tips, r.integer(1, 4), g);
        }
        const std::uint8_t origination = static_cast<std::uint8_t>(r.integer(0, 1));
        const bool offsets = uses_offsets(sp, dup, transfer, loss, reldated);
        with_offsets += offsets ? 1 : 0;
        if (!check_undated(sp, trees, dup, transfer, loss, reldated, origination, offsets ? offset_verdict : v)) {
            ++failures;
        }
    }
    std::printf("deep undated: %d exact, %d beyond plain doubles, %d impossible; with branch offsets (%d calls): "
                "%d exact, %d beyond plain doubles, %d impossible\n",
                v.exact, v.close, v.impossible, with_offsets, offset_verdict.exact, offset_verdict.close,
                offset_verdict.impossible);
    // Both ways of scaling meet both regimes.
    CHECK(with_offsets > static_cast<int>(cases) / 5);
    CHECK(offset_verdict.exact > static_cast<int>(cases) / 20);
    CHECK(offset_verdict.close > static_cast<int>(cases) / 4);
    CHECK(v.exact > static_cast<int>(cases) / 10);
}

namespace {

// A caterpillar: spine nodes at times 0, dt, 2 dt, ..., each with one leaf
// at `present`; the deepest spine node joins leaves 0 and 1.
model::Species caterpillar(int leaves, double present) {
    model::Species s;
    auto add = [&](std::int64_t l, std::int64_t r, double t, double tp) {
        s.left.push_back(l);
        s.right.push_back(r);
        s.is_leaf.push_back(l < 0);
        s.time.push_back(t);
        s.parent_time.push_back(tp);
        return static_cast<std::int64_t>(s.left.size()) - 1;
    };
    const int spine = leaves - 1;
    const double dt = present / leaves;
    const std::int64_t a = add(-1, -1, present, dt * (spine - 1));
    const std::int64_t b = add(-1, -1, present, dt * (spine - 1));
    std::int64_t node = add(a, b, dt * (spine - 1), dt * (spine - 2));
    for (int k = spine - 2; k >= 0; --k) {
        const std::int64_t leaf = add(-1, -1, present, dt * k);
        node = add(node, leaf, dt * k, k > 0 ? dt * (k - 1) : 0.0);
    }
    s.root = static_cast<std::size_t>(node);
    return s;
}

}  // namespace

// Once -inf: a 209-node caterpillar, rates dup 0.0599, transfer 0, loss
// 258575, reldated. The values of a tip on the deepest leaves fall by about
// 2^-18 per speciation, some 1900 binades from that leaf to the root.
TEST_CASE("a 209-node caterpillar with losses far faster than speciation scores as with unbounded exponents") {
    const model::Species sp = caterpillar(105, 10.0);
    CHECK_EQ(sp.n(), std::size_t{209});
    const std::vector<model::Gene> trees = {
        {{true}, {-1}, {-1}, {0}},                                        // one tip on the deepest leaf
        {{true, true, false}, {-1, -1, 0}, {-1, -1, 1}, {0, 1, -1}},      // the deepest cherry
        {{true, true, false}, {-1, -1, 0}, {-1, -1, 1}, {0, 207, -1}},    // the deepest and the shallowest leaf
    };
    Verdict v;
    for (const bool reldated : {true, false}) {
        CHECK(uses_offsets(sp, 0.0599, 0.0, 258575.0, reldated));
        for (const std::uint8_t origination : {0, 1}) {
            CHECK(check_undated(sp, trees, 0.0599, 0.0, 258575.0, reldated, origination, v));
        }
    }
    const model::Undated<model::Unbounded> wide(sp, true, 0.0599, 0.0, 258575.0);
    CHECK(wide.likelihood(trees[0], 0).log() < -1300.0);  // far below the smallest double
    CHECK(v.close >= 6);
}

// Rates from 0 to near the largest double, in every combination, on a deep
// caterpillar: never NaN or +inf, -inf exactly for the trees without any
// reconciliation, and as the model with unbounded exponents (bit for bit
// where plain doubles stay normal) while the nonzero rates lie within
// 1e-100 .. 1e100. Beyond that (event probabilities near 1e-300) the
// scores may stray from the model by more than 1e-9 relative.
TEST_CASE("undated scores over rates from 0 to 1e308 are never NaN and never -inf for a possible tree") {
    const model::Species sp = caterpillar(24, 10.0);
    const std::int64_t shallow = static_cast<std::int64_t>(sp.n()) - 2, middle = static_cast<std::int64_t>(sp.n()) / 2;
    const std::vector<model::Gene> trees = {
        {{true}, {-1}, {-1}, {0}},
        {{true, true, false}, {-1, -1, 0}, {-1, -1, 1}, {0, 1, -1}},
        {{true, true, false}, {-1, -1, 0}, {-1, -1, 1}, {0, shallow, -1}},
        {{true, true, false, true, false}, {-1, -1, 0, -1, 2}, {-1, -1, 1, -1, 3}, {0, 1, -1, middle, -1}},
    };
    const double rates[] = {0.0, 1e-300, 1e-100, 1e-10, 1.0, 1e10, 1e100, 1e300, 1.7e308};
    auto moderate = [](double x) { return x == 0.0 || (x >= 1e-100 && x <= 1e100); };
    Verdict v;
    int failures = 0, strays = 0;
    for (const double dup : rates) {
        for (const double transfer : rates) {
            for (const double loss : rates) {
                for (const bool reldated : {false, true}) {
                    if (failures >= 5) continue;
                    const bool accurate = moderate(dup) && moderate(transfer) && moderate(loss);
                    const model::Undated<model::Unbounded> wide(sp, reldated, dup, transfer, loss);
                    for (const std::uint8_t origination : {0, 1}) {
                        if (accurate) {
                            if (!check_undated(sp, trees, dup, transfer, loss, reldated, origination, v)) ++failures;
                            continue;
                        }
                        auto got = undated_family_loglik(engine_species(sp), engine_batch(trees),
                                                         Rates{dup, transfer, loss}, reldated ? 1 : 0, origination);
                        for (std::size_t i = 0; i < trees.size(); ++i) {
                            const double g = got.value()[i], want = wide.likelihood(trees[i], origination).log();
                            const bool impossible = want == -HUGE_VAL;
                            if (std::isnan(g) || g == HUGE_VAL || (g == -HUGE_VAL) != impossible) {
                                std::ostringstream os;
                                os.precision(17);
                                os << "score " << g << " vs " << want;
                                check::fail(__FILE__, __LINE__, describe(sp, dup, transfer, loss, os.str().c_str()));
                                ++failures;
                            } else if (!impossible && std::fabs(g - want) > 1e-9 * std::fabs(want)) {
                                ++strays;
                            }
                        }
                    }
                }
            }
        }
    }
    std::printf("rates 0 .. 1e308: %d exact, %d beyond plain doubles, %d impossible; %d scores of extreme rates "
                "stray beyond 1e-9\n", v.exact, v.close, v.impossible, strays);
    CHECK(v.close > 100);
}

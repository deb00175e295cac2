// The event-log engine from C++: its limits, its speciation step, the family
// index and the extant profile.
#include <algorithm>
#include <map>
#include <random>
#include <string>

#include "check.h"
#include "engines/event_log/engine.h"
#include "engines/event_log/trace_profile.h"
#include "engines/event_log/run.h"

using namespace vornix;
using namespace vornix::event_log;

namespace {

// Root 0 at time 0; internal 1 and 2; leaves 3..6 extant at time 3.
SpeciesTree four_leaves() {
    SpeciesTree t;
    t.n_nodes = 7;
    t.parent = {-1, 0, 0, 1, 1, 2, 2};
    t.time = {0.0, 1.0, 1.5, 3.0, 3.0, 3.0, 3.0};
    t.extant_leaf = {0, 0, 0, 1, 1, 1, 1};
    t.root = 0;
    return t;
}

LogParams busy() {
    LogParams p;
    p.duplication = 0.4;
    p.transfer = 0.6;
    p.loss = 0.5;
    p.origination = 1.0;
    p.initial_size = 5;
    p.seed = 11;
    return p;
}

}  // namespace

TEST_CASE("the event limit allows exactly max_events draws and returns nothing beyond") {
    const SpeciesTree tree = four_leaves();
    auto full = run_log(tree, busy(), true);
    CHECK(full.ok());
    const std::uint64_t events = full.value().events;
    CHECK(events > 10);
    auto at_limit = run_log(tree, busy(), true, events);
    CHECK(at_limit.ok());
    CHECK_EQ(at_limit.value().records.size(), full.value().records.size());
    auto over = run_log(tree, busy(), false, events - 1);
    CHECK(!over.ok());
    CHECK(over.error().kind == ErrorKind::Runtime);
    CHECK_EQ(over.error().message,
             std::string("exceeded max_events; families likely growing without bound — set max_family_size"));
}

TEST_CASE("a run that outgrows its memory budget stops with a memory error") {
    const SpeciesTree tree = four_leaves();
    LogParams p = busy();
    p.initial_size = 20;  // the founding content fits; the first speciations do not
    auto small = run_log(tree, p, true, kLogMaxEvents, 4096);
    CHECK(!small.ok());
    CHECK(small.error().kind == ErrorKind::Memory);
    CHECK(small.error().message.find("memory budget") != std::string::npos);
    // A founding size no machine could hold fails before allocating it.
    p.initial_size = std::uint64_t{1} << 60;
    auto huge = run_log(tree, p, false);
    CHECK(!huge.ok() && huge.error().kind == ErrorKind::Memory);
}

template <class G>
LogResult run_layout(const SpeciesTree& tree, const LogParams& p) {
    Outcome<TreeWalk> walk = prepare_tree(tree, Speciation::FirstTwo);
    BasicLogEngine<G> engine(tree, walk.value().children, p, true, kLogMaxEvents, 0);
    return engine.run(walk.value().order).value();
}

TEST_CASE("both copy-list layouts give the same run") {
    // Under a cap or replacement run_log keeps families as index ids; the
    // array of pairs must give the same run, family ids narrow or wide.
    const SpeciesTree tree = four_leaves();
    for (const std::int64_t cap : {std::int64_t{-1}, std::int64_t{2}}) {
        for (const std::uint64_t founders : {std::uint64_t{5}, std::uint64_t{300}, std::uint64_t{70000}}) {
            LogParams p = busy();
            p.cap = cap;
            p.initial_size = founders;
            p.mode.replacement = 0.5;
            if (founders > 1000) {
                // Ids of four bytes: a few thousand events among 70,000 families.
                p.duplication *= 0.02;
                p.transfer *= 0.02;
                p.loss *= 0.02;
            }
            for (std::uint64_t seed = 0; seed < (founders > 1000 ? 1 : 10); ++seed) {
                p.seed = seed;
                const LogResult a = run_layout<CompactLogGenome>(tree, p);
                const LogResult b = run_layout<LogGenome>(tree, p);
                const LogResult c = run_log(tree, p, true).value();
                CHECK(a.records.family == b.records.family && a.records.gene == b.records.gene);
                CHECK(a.records.kind == b.records.kind && a.records.child1 == b.records.child1);
                CHECK(a.records.family == c.records.family && a.records.gene == c.records.gene);
                CHECK_EQ(a.extant.size(), b.extant.size());
                for (std::size_t j = 0; j < a.extant.size(); ++j) CHECK(a.extant[j].copies == b.extant[j].copies);
                CHECK(a.records.size() > 30);
            }
        }
    }
}

TEST_CASE("malformed input is reported as a value error") {
    SpeciesTree tree = four_leaves();
    tree.parent[3] = 9;
    auto bad_parent = run_log(tree, busy(), true);
    CHECK(!bad_parent.ok() && bad_parent.error().kind == ErrorKind::Value);
    LogParams p = busy();
    p.loss = -0.1;
    auto bad_rate = run_log(four_leaves(), p, true);
    CHECK(!bad_rate.ok() && bad_rate.error().kind == ErrorKind::Value);
    // Node 1 dated after its children: they are reached before it speciates.
    tree = four_leaves();
    tree.time[1] = 3.5;
    auto early_child = run_log(tree, busy(), true);
    CHECK(!early_child.ok() && early_child.error().kind == ErrorKind::Value);
}

template <class G>
void speciation_hands_copies_in_order() {
    const SpeciesTree tree = four_leaves();
    const Children children = build_children(tree.n_nodes, tree.parent);
    for (const bool record : {true, false}) {
        LogParams p = busy();
        p.cap = 2;  // counts are kept
        BasicLogEngine<G> engine(tree, children, p, record, kLogMaxEvents, 0);
        CHECK(engine.track_counts());
        G g;
        for (std::uint64_t f : {7, 3, 7, 9}) g.append({100 + f, f}, true);
        g.rename(2, 200);
        engine.speciate_with(0, g, 0.25);
        const G* left = engine.genome(1);
        const G* right = engine.genome(2);
        CHECK(left != nullptr && right != nullptr);
        CHECK_EQ(left->size(), std::size_t{4});
        for (std::size_t i = 0; i < 4; ++i) {
            CHECK_EQ(left->family(i), g.family(i));
            CHECK_EQ(right->family(i), g.family(i));
            if (record) {
                CHECK_EQ(left->gene(i), 2 * i);
                CHECK_EQ(right->gene(i), 2 * i + 1);
            } else {
                CHECK_EQ(left->gene(i), g.gene(i));
                CHECK_EQ(right->gene(i), g.gene(i));
            }
        }
        CHECK_EQ(left->index.count(7), 2u);
        CHECK_EQ(right->index.count(9), 1u);
        CHECK_EQ(right->index.position(7, 1), 2u);
        CHECK_EQ(engine.records().size(), record ? std::size_t{4} : std::size_t{0});
        if (record) {
            CHECK_EQ(engine.records().gene[2], std::uint64_t{200});
            CHECK_EQ(engine.records().time[3], 0.25);
        }
        CHECK_EQ(engine.active().size(), std::size_t{2});
        CHECK_EQ(engine.active()[0], NodeId{1});
        CHECK_EQ(engine.rate(1), 1.0 + 1.5 * 4.0);

        // An empty genome still makes both children live, at the origination rate.
        engine.speciate_with(1, G{}, 1.0);
        CHECK_EQ(engine.rate(3), 1.0);
        CHECK_EQ(engine.rate(4), 1.0);
        CHECK_EQ(engine.active().size(), std::size_t{4});
    }
}

TEST_CASE("speciation hands both children the parent's copies in order") {
    speciation_hands_copies_in_order<LogGenome>();
    speciation_hands_copies_in_order<CompactLogGenome>();
}

template <class G>
void index_follows_every_edit(int high_shift) {
    // Appends, swap-removes and splits at random; after each step the index
    // must give every family's count and its positions in list order, as a
    // scan of the list does, and the list must be the one the same edits
    // make of a plain array of pairs.
    std::mt19937_64 gen(5);
    G g;
    std::vector<GeneCopy> plain;
    std::uint64_t next_id = 0;
    // Every family's positions, from one scan of the list.
    auto scan = [&] {
        std::map<std::uint64_t, std::vector<std::uint32_t>> at;
        for (std::size_t p = 0; p < g.size(); ++p) at[g.family(p)].push_back(static_cast<std::uint32_t>(p));
        return at;
    };
    for (int step = 0; step < 60000; ++step) {
        // Family numbers with shared low and high bits, to force collisions;
        // few families early on so that lists form, more later.
        const std::uint64_t spread = step < 30000 ? 6 : 300;
        const std::uint64_t f = (gen() % spread) << (gen() % 2 ? 0 : high_shift);
        const std::uint64_t op = gen() % 4;
        if (op == 0 || g.size() == 0 || (op == 1 && g.size() < 50)) {
            g.append({next_id, f}, true);
            plain.push_back({next_id++, f});
        } else if (op == 1) {
            const std::size_t i = gen() % g.size();
            CHECK(g.swap_remove(i, true) == plain[i]);
            plain[i] = plain.back();
            plain.pop_back();
        } else if (op == 2) {
            const std::size_t i = gen() % g.size();
            const std::uint64_t family = plain[i].second;
            g.split(i, next_id, true);
            plain[i] = plain.back();
            plain.back() = {next_id, family};
            plain.push_back({next_id + 1, family});
            next_id += 2;
        } else {
            const std::size_t i = gen() % g.size();
            g.rename(i, next_id);
            plain[i].first = next_id++;
        }
        if (step % 97 == 0 || step > 59500) {
            CHECK_EQ(g.size(), plain.size());
            for (std::size_t p = 0; p < plain.size(); ++p) CHECK(g.copy(p) == plain[p]);
            std::map<std::uint64_t, std::uint32_t> families;
            for (const GeneCopy& c : plain) ++families[c.second];
            CHECK_EQ(g.index.size(), families.size());
            const auto positions = scan();
            for (const auto& [family, n] : families) {
                const std::vector<std::uint32_t>& want = positions.at(family);
                CHECK_EQ(g.index.count(family), n);
                for (std::uint32_t j = 0; j < n; ++j) CHECK_EQ(g.index.position(family, j), want[j]);
                const auto probe = static_cast<std::uint32_t>(gen() % (g.size() + 1));
                const auto below = std::lower_bound(want.begin(), want.end(), probe) - want.begin();
                CHECK_EQ(g.index.rank(family, probe), static_cast<std::uint32_t>(below));
            }
            CHECK_EQ(g.index.count(12345), 0u);
        }
    }
    CHECK(g.take_pairs() == plain);
    CHECK_EQ(g.size(), std::size_t{0});
}

TEST_CASE("the family index follows every edit of the copy list") {
    index_follows_every_edit<LogGenome>(40);
    index_follows_every_edit<CompactLogGenome>(40);
}

TEST_CASE("the extant profile counts families per leaf in ascending order") {
    ExtantContent extant;
    extant.push_back({5, {{10, 4}, {11, 2}, {12, 4}, {13, 9}}});
    extant.push_back({2, {}});
    extant.push_back({8, {{20, 1ull << 40}}});
    const ProfileCooBuf coo = extant_profile(extant);
    CHECK(coo.leaves == (std::vector<std::uint32_t>{5, 2, 8}));
    CHECK(coo.rows == (std::vector<std::uint32_t>{0, 0, 0, 2}));
    CHECK(coo.cols == (std::vector<std::uint64_t>{2, 4, 9, 1ull << 40}));
    CHECK(coo.vals == (std::vector<std::uint32_t>{1, 2, 1, 1}));
    CHECK(extant_profile({}).leaves.empty());

    // Dense family numbers: a leaf with many families and one with few.
    ExtantContent dense(2);
    for (std::uint64_t f = 0; f < 3000; ++f) dense[0].copies.push_back({f, (f * 7) % 1000});
    dense[1].copies = {{1, 998}, {2, 3}, {3, 998}};
    const ProfileCooBuf d = extant_profile(dense);
    CHECK_EQ(d.cols.size(), std::size_t{1002});
    for (std::size_t k = 0; k < 1000; ++k) {
        CHECK_EQ(d.cols[k], std::uint64_t{k});
        CHECK_EQ(d.vals[k], 3u);
    }
    CHECK(d.rows[1000] == 1 && d.cols[1000] == 3 && d.vals[1000] == 1);
    CHECK(d.rows[1001] == 1 && d.cols[1001] == 998 && d.vals[1001] == 2);
}

TEST_CASE("a transfer without a recipient counts as an event and records nothing") {
    // The root's second child ends at once: one live branch for the rest.
    SpeciesTree tree;
    tree.n_nodes = 3;
    tree.parent = {-1, 0, 0};
    tree.time = {0.0, 2.0, 1e-9};
    tree.extant_leaf = {0, 1, 0};
    tree.root = 0;
    LogParams p;
    p.transfer = 5.0;
    p.initial_size = 3;
    for (const double decay : {-1.0, 0.0, 2.0}) {
        p.mode = {0.0, decay, false};
        auto out = run_log(tree, p, false);
        CHECK(out.ok());
        CHECK(out.value().events > 0);
        CHECK_EQ(out.value().records.size(), std::size_t{3});  // the founding originations
        CHECK_EQ(out.value().extant.size(), std::size_t{1});
        CHECK_EQ(out.value().extant[0].copies.size(), std::size_t{3});
        // With the event budget below the number of those draws, the run fails.
        CHECK(!run_log(tree, p, false, out.value().events - 1).ok());
    }
}

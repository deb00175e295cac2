// The nucleotide engine's walk, limits and failures.
#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "engines/nucleotide_engine.h"

using namespace vornix;

namespace {

// Root 0; node 1 (internal, t=1) with children 3 (extinct, t=3), 4 (extant,
// t=3) and 5 (extant, t=2); node 2 (extant, t=2).
SpeciesTree small_tree() {
    SpeciesTree t;
    t.n_nodes = 6;
    t.parent = {-1, 0, 0, 1, 1, 1};
    t.time = {0.0, 1.0, 2.0, 3.0, 3.0, 2.0};
    t.extant_leaf = {0, 0, 1, 0, 1, 1};
    t.root = 0;
    return t;
}

// A root with one extant leaf far away.
SpeciesTree one_branch(double length) {
    SpeciesTree t;
    t.n_nodes = 2;
    t.parent = {-1, 0};
    t.time = {0.0, length};
    t.extant_leaf = {0, 1};
    t.root = 0;
    return t;
}

NucleotideParams busy() {
    NucleotideParams p;
    p.inversion = 0.01;
    p.loss = 0.01;
    p.duplication = 0.01;
    p.transfer = 0.01;
    p.transposition = 0.01;
    p.origination = 0.5;
    p.root_length = 20;
    p.extension = 0.8;
    p.initial_size = 2;
    p.seed = 9;
    return p;
}

bool same_leaves(const NucleotideResult& a, const NucleotideResult& b) {
    if (a.leaves.size() != b.leaves.size()) return false;
    for (std::size_t i = 0; i < a.leaves.size(); ++i) {
        if (a.leaves[i].node != b.leaves[i].node || a.leaves[i].segments != b.leaves[i].segments) return false;
    }
    return true;
}

}  // namespace

TEST_CASE("with all rates zero every extant leaf reports the root genome, in visiting order") {
    NucleotideParams p;
    p.root_length = 7;
    p.initial_size = 3;
    auto out = run_nucleotide(small_tree(), p);
    CHECK(out.ok());
    const auto& leaves = out.value().leaves;
    CHECK_EQ(leaves.size(), std::size_t{3});
    const std::vector<NodeId> order{2, 5, 4};  // by time, equal times by number; 3 is extinct
    const std::vector<NSeg> root{{0, 7, 0, 1}, {0, 7, 1, 1}, {0, 7, 2, 1}};
    for (std::size_t i = 0; i < leaves.size() && i < order.size(); ++i) {
        CHECK_EQ(leaves[i].node, order[i]);
        CHECK(leaves[i].segments == root);
    }
    CHECK_EQ(out.value().events, std::uint64_t{0});
    CHECK_EQ(out.value().next_id, std::uint32_t{3});
}

TEST_CASE("a root without other nodes yields no leaves") {
    SpeciesTree t;
    t.n_nodes = 1;
    t.parent = {-1};
    t.time = {0.0};
    t.extant_leaf = {0};
    auto out = run_nucleotide(t, busy());
    CHECK(out.ok() && out.value().leaves.empty());
}

TEST_CASE("the event limit allows exactly max_events events") {
    const SpeciesTree t = one_branch(20.0);
    auto full = run_nucleotide(t, busy());
    CHECK(full.ok());
    const std::uint64_t n = full.value().events;
    CHECK(n > 20);
    auto at_limit = run_nucleotide(t, busy(), NucleotideLimits{n, default_segment_budget()});
    CHECK(at_limit.ok() && same_leaves(at_limit.value(), full.value()));
    auto over = run_nucleotide(t, busy(), NucleotideLimits{n - 1, default_segment_budget()});
    CHECK(!over.ok());
    CHECK(over.error().kind == ErrorKind::Runtime);
    CHECK_EQ(over.error().message,
             std::string("exceeded max_events; genome growing without bound — lower duplication/transfer or raise loss"));
}

TEST_CASE("genomes outgrowing the segment budget fail as out of memory") {
    NucleotideParams p;
    p.root_length = 5;
    p.initial_size = 3;
    // The root genome and the copy for each of two children: 3 + 3 segments.
    SpeciesTree t = small_tree();
    t.parent = {-1, 0, 0, -1, -1, -1};
    t.extant_leaf = {0, 1, 1, 0, 0, 0};
    CHECK(run_nucleotide(t, p, NucleotideLimits{kNucleotideEventLimit, 6}).ok());
    auto over = run_nucleotide(t, p, NucleotideLimits{kNucleotideEventLimit, 5});
    CHECK(!over.ok() && over.error().kind == ErrorKind::Memory);
    // Growth by events is counted too: doubling the whole genome every time.
    NucleotideParams grow;
    grow.duplication = 1.0;
    grow.extension = 1.0;
    grow.root_length = 4;
    grow.initial_size = 1;
    auto runaway = run_nucleotide(one_branch(100.0), grow, NucleotideLimits{kNucleotideEventLimit, 100000});
    CHECK(!runaway.ok() && runaway.error().kind == ErrorKind::Memory);
    CHECK(!runaway.ok() && runaway.error().message.find("memory budget") != std::string::npos);
    CHECK(default_segment_budget() >= (std::uint64_t{1} << 20));
}

TEST_CASE("root_length below 1 is refused only where it would be used") {
    NucleotideParams p;
    p.root_length = 0;
    p.initial_size = 1;
    auto units = run_nucleotide(small_tree(), p);
    CHECK(!units.ok() && units.error().kind == ErrorKind::Value);
    CHECK(!units.ok() && units.error().message.find("root_length") != std::string::npos);

    p.initial_size = 0;
    p.origination = 0.1;
    p.root_length = -3;
    auto orig = run_nucleotide(small_tree(), p);
    CHECK(!orig.ok() && orig.error().kind == ErrorKind::Value);

    p.origination = 0.0;
    p.inversion = 1.0;  // nothing to invert in empty genomes
    auto unused = run_nucleotide(small_tree(), p);
    CHECK(unused.ok());
    for (const auto& leaf : unused.value().leaves) CHECK(leaf.segments.empty());
}

TEST_CASE("lengths beyond 64 bits are refused instead of wrapping") {
    NucleotideParams p;
    p.root_length = std::int64_t{1} << 62;
    p.initial_size = 2;
    auto root = run_nucleotide(one_branch(1.0), p);  // 2^63 nucleotides at the root
    CHECK(!root.ok() && root.error().kind == ErrorKind::Value);

    p.initial_size = 1;
    p.duplication = 1.0;
    p.extension = 1.0;  // the first duplication doubles the genome to 2^63
    auto grown = run_nucleotide(one_branch(1.0), p);
    CHECK(!grown.ok() && grown.error().kind == ErrorKind::Runtime);
}

TEST_CASE("a node reached before its parent's branch fails the call") {
    SpeciesTree t;
    t.n_nodes = 3;
    t.parent = {-1, 0, 1};
    t.time = {0.0, 2.0, 1.0};  // node 2 dated before its parent
    t.extant_leaf = {0, 0, 1};
    auto out = run_nucleotide(t, busy());
    CHECK(!out.ok() && out.error().kind == ErrorKind::Value);
}

TEST_CASE("the same seed gives the same genomes and another seed others") {
    const SpeciesTree t = small_tree();
    auto a = run_nucleotide(t, busy()), b = run_nucleotide(t, busy());
    NucleotideParams other = busy();
    other.seed = 10;
    auto c = run_nucleotide(t, other);
    CHECK(a.ok() && b.ok() && c.ok());
    CHECK(same_leaves(a.value(), b.value()));
    CHECK(!same_leaves(a.value(), c.value()));
}

// Limits and failures of the nucleotide engine that are too costly to reach
// from Python: the event limit, the segment budget, 64-bit lengths. The walk
// itself is checked from Python against a plain model.
#include <cstdint>
#include <string>

#include "check.h"
#include "engines/nucleotide/engine.h"

using namespace vornix;
using namespace vornix::nucleotide;

namespace {

// A root with `leaves` extant leaves at time `length`.
SpeciesTree star(double length, std::uint64_t leaves = 1) {
    SpeciesTree t;
    t.n_nodes = leaves + 1;
    t.parent.assign(leaves + 1, 0);
    t.parent[0] = -1;
    t.time.assign(leaves + 1, length);
    t.time[0] = 0.0;
    t.extant_leaf.assign(leaves + 1, 1);
    t.extant_leaf[0] = 0;
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

TEST_CASE("the event limit allows exactly max_events events") {
    const SpeciesTree t = star(20.0);
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
    // The root genome and a copy for each of two leaves: 3 + 3 segments held.
    CHECK(run_nucleotide(star(1.0, 2), p, NucleotideLimits{kNucleotideEventLimit, 6}).ok());
    auto over = run_nucleotide(star(1.0, 2), p, NucleotideLimits{kNucleotideEventLimit, 5});
    CHECK(!over.ok() && over.error().kind == ErrorKind::Memory);
    // Growth by events is counted too: doubling the whole genome every time.
    NucleotideParams grow;
    grow.duplication = 1.0;
    grow.extension = 1.0;
    grow.root_length = 4;
    grow.initial_size = 1;
    auto runaway = run_nucleotide(star(100.0), grow, NucleotideLimits{kNucleotideEventLimit, 100000});
    CHECK(!runaway.ok() && runaway.error().kind == ErrorKind::Memory);
    CHECK(!runaway.ok() && runaway.error().message.find("memory budget") != std::string::npos);
    // Here only extension >= 1 makes the genome grow, and the message says so.
    CHECK(!runaway.ok() && runaway.error().message.find("extension") != std::string::npos);
    CHECK(default_segment_budget() >= (std::uint64_t{1} << 20));
}

TEST_CASE("lengths beyond 64 bits are refused instead of wrapping") {
    NucleotideParams p;
    p.root_length = std::int64_t{1} << 62;
    p.initial_size = 2;
    auto root = run_nucleotide(star(1.0), p);  // 2^63 nucleotides at the root
    CHECK(!root.ok() && root.error().kind == ErrorKind::Value);

    p.initial_size = 1;
    p.duplication = 1.0;
    p.extension = 1.0;  // the first duplication doubles the genome to 2^63
    auto grown = run_nucleotide(star(1.0), p);
    CHECK(!grown.ok() && grown.error().kind == ErrorKind::Runtime);
}

TEST_CASE("the interrupt is polled every few thousand events and stops the run") {
    struct Counter {
        std::uint64_t polls = 0, stop_at = 0;
        static bool poll(void* self) {
            auto* c = static_cast<Counter*>(self);
            return ++c->polls == c->stop_at;
        }
    };
    // Inversions and transpositions only: about 30,000 events on a genome
    // of steady size.
    const SpeciesTree t = star(1000.0, 3);
    NucleotideParams p = busy();
    p.loss = p.duplication = p.transfer = p.origination = 0.0;
    p.root_length = 100;
    p.initial_size = 10;
    const auto plain = run_nucleotide(t, p);
    CHECK(plain.ok() && plain.value().events > 20000);
    // A poll that never answers true changes nothing.
    Counter never;
    const auto polled = run_nucleotide(t, p, {}, Interrupt(&Counter::poll, &never));
    CHECK(polled.ok() && same_leaves(polled.value(), plain.value()));
    CHECK(polled.ok() && polled.value().events == plain.value().events);
    CHECK(never.polls >= plain.value().events / Interrupt::kStride / 4);
    // The second poll stops it.
    Counter second;
    second.stop_at = 2;
    const auto stopped = run_nucleotide(t, p, {}, Interrupt(&Counter::poll, &second));
    CHECK(!stopped.ok() && stopped.error().kind == ErrorKind::Interrupted);
    CHECK_EQ(second.polls, std::uint64_t{2});
}

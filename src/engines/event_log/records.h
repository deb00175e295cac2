// What a run of the event-log engine produces: the columnar event log and the
// gene content of every extant leaf.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "model/column.h"

namespace vornix::event_log {

// Event codes, in the order of the letters "ODTLS".
enum EventKind : std::uint8_t { kOrigination = 0, kDuplication = 1, kTransfer = 2, kLoss = 3, kSpeciation = 4 };

// One row per event, as nine parallel columns so that each column can be
// handed over whole. The columns grow without copying where the C library
// can (Column): a long run's log is most of the memory it writes.
struct Records {
    Column<std::uint8_t> kind;
    Column<std::uint32_t> branch;
    Column<double> time;
    Column<std::int64_t> donor;      // transfer donor, else -1
    Column<std::int64_t> recipient;  // transfer recipient, else -1
    Column<std::uint64_t> family;
    Column<std::uint64_t> gene;
    Column<std::int64_t> child1;  // -1 for O and L
    Column<std::int64_t> child2;  // child1 + 1, or -1

    std::size_t size() const { return kind.size(); }

    void push(std::uint8_t k, std::uint32_t b, std::int64_t d, std::int64_t r, std::uint64_t f, std::uint64_t g,
              std::int64_t c1, double t, std::int64_t c2) {
        kind.push_back(k);
        branch.push_back(b);
        donor.push_back(d);
        recipient.push_back(r);
        family.push_back(f);
        gene.push_back(g);
        child1.push_back(c1);
        time.push_back(t);
        child2.push_back(c2);
    }
};

// A (gene id, family) pair.
using GeneCopy = std::pair<std::uint64_t, std::uint64_t>;

// One extant leaf: its node number and its copies in the genome's final order.
struct ExtantLeaf {
    std::uint64_t node;
    std::vector<GeneCopy> copies;
};

// One entry per extant leaf, in node order.
using ExtantContent = std::vector<ExtantLeaf>;

}  // namespace vornix::event_log

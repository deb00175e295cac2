// One event record as a row. The writer copies the log's columns into rows
// grouped by family, so that the records of one family sit together in
// memory instead of being spread over the whole run.
#pragma once

#include <cstdint>

#include "writer/log_input.h"

namespace vornix::writer {

struct EventRow {
    double time;
    std::uint64_t gene;
    std::int64_t child1, child2;
    std::int64_t donor, recipient;
    std::uint32_t branch;
    std::uint8_t kind;
};

inline EventRow event_row(const Records& r, std::size_t i) {
    return {r.time[i], r.gene[i], r.child1[i], r.child2[i], r.donor[i], r.recipient[i], r.branch[i], r.kind[i]};
}

}  // namespace vornix::writer

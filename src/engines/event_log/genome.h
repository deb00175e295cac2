// The gene content of one live branch of the event-log engine.
#pragma once

#include <cstdint>
#include <vector>

#include "engines/event_log/family_counts.h"
#include "engines/event_log/records.h"

namespace vornix::event_log {

// Copies are picked by position, so their order is part of the behaviour: new
// copies go to the end, a removed copy is replaced by the last one
// (swap-remove), and a transferred copy is renamed in place.
//
// `counts` is only read by the cap and replacement rules. An engine that has
// neither (cap < 0, replacement not > 0) keeps it empty and skips the
// bookkeeping; see LogEngine::track_counts.
struct LogGenome {
    std::vector<GeneCopy> copies;
    FamilyCounts counts;

    // Removes copy i by moving the last copy into its place; returns it.
    GeneCopy swap_remove(std::size_t i) {
        const GeneCopy removed = copies[i];
        copies[i] = copies.back();
        copies.pop_back();
        return removed;
    }
};

}  // namespace vornix::event_log

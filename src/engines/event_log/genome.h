// The gene content of one live branch of the event-log engine.
#pragma once

#include <cstdint>
#include <vector>

#include "engines/event_log/family_index.h"
#include "engines/event_log/records.h"

namespace vornix::event_log {

// Copies are picked by position, so their order is part of the behaviour: new
// copies go to the end, a removed copy is replaced by the last one
// (swap-remove), and a transferred copy is renamed in place.
//
// `index` is only read by the cap and replacement rules. An engine that has
// neither (cap < 0, replacement not > 0) keeps it empty and skips the
// bookkeeping (`tracked` false); see LogEngine::track_counts. Positions are
// 32-bit: a tracked branch holds fewer than 2^32 copies (the engine checks).
struct LogGenome {
    std::vector<GeneCopy> copies;
    FamilyIndex index;

    void append(GeneCopy c, bool tracked) {
        if (tracked) index.append(c.second, static_cast<std::uint32_t>(copies.size()));
        copies.push_back(c);
    }

    // Removes copy i by moving the last copy into its place; returns it.
    GeneCopy swap_remove(std::size_t i, bool tracked) {
        const GeneCopy removed = copies[i];
        const std::size_t last = copies.size() - 1;
        if (tracked) {
            const std::uint64_t moved = copies[last].second;
            if (i == last || moved == removed.second) {
                // The family keeps position i (if it moved) and loses the
                // highest position.
                index.erase(removed.second, static_cast<std::uint32_t>(last));
            } else {
                index.erase(removed.second, static_cast<std::uint32_t>(i));
                index.move_last(moved, static_cast<std::uint32_t>(i));
            }
        }
        copies[i] = copies[last];
        copies.pop_back();
        return removed;
    }

    // Splits copy i (of family f) into m and m + 1: the same list as
    // swap-removing copy i and appending (m, f) and (m + 1, f), with one
    // move less.
    void split(std::size_t i, std::uint64_t m, bool tracked) {
        const std::uint64_t family = copies[i].second;
        const std::size_t last = copies.size() - 1;
        if (tracked) {
            const std::uint64_t moved = copies[last].second;
            if (i != last && moved != family) {
                // The family leaves i and takes `last`, its new highest
                // position; the moved family's highest position becomes i.
                index.erase(family, static_cast<std::uint32_t>(i));
                index.append(family, static_cast<std::uint32_t>(last));
                index.move_last(moved, static_cast<std::uint32_t>(i));
            }
            index.append(family, static_cast<std::uint32_t>(last + 1));
        }
        copies[i] = copies[last];
        copies[last] = {m, family};
        copies.push_back({m + 1, family});
    }
};

}  // namespace vornix::event_log

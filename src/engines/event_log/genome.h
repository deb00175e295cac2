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
// The gene ids and the families of the copies are kept in two arrays: most
// events only read the family of a copy drawn at random (a duplication
// refused by the cap reads nothing else), and half the bytes of a large
// genome stay in cache better.
//
// `Family` is the stored width of family numbers: 32 bits when no family
// number of the run can reach 2^32 (see run_log), which halves the bytes read
// again.
//
// `index` is only read by the cap and replacement rules. An engine that has
// neither (cap < 0, replacement not > 0) keeps it empty and skips the
// bookkeeping (`tracked` false); see LogEngine::track_counts. Positions are
// 32-bit: a tracked branch holds fewer than 2^32 copies (the engine checks).
template <class Family>
struct BasicLogGenome {
    std::vector<std::uint64_t> genes;
    std::vector<Family> families;
    FamilyIndex index;

    std::size_t size() const { return genes.size(); }
    GeneCopy copy(std::size_t i) const { return {genes[i], families[i]}; }

    void append(GeneCopy c, bool tracked) {
        if (tracked) index.append(c.second, static_cast<std::uint32_t>(size()));
        genes.push_back(c.first);
        families.push_back(static_cast<Family>(c.second));
    }

    void push(std::uint64_t gene, std::uint64_t family) {
        genes.push_back(gene);
        families.push_back(static_cast<Family>(family));
    }

    // Removes copy i by moving the last copy into its place; returns it.
    GeneCopy swap_remove(std::size_t i, bool tracked) {
        const GeneCopy removed = copy(i);
        const std::size_t last = size() - 1;
        if (tracked) {
            const std::uint64_t moved = families[last];
            if (i == last || moved == removed.second) {
                // The family keeps position i (if it moved) and loses the
                // highest position.
                index.erase(removed.second, static_cast<std::uint32_t>(last));
            } else {
                index.erase(removed.second, static_cast<std::uint32_t>(i));
                index.move_last(moved, static_cast<std::uint32_t>(i));
            }
        }
        genes[i] = genes[last];
        families[i] = families[last];
        genes.pop_back();
        families.pop_back();
        return removed;
    }

    // Splits copy i into m and m + 1: the same list as swap-removing copy i
    // and appending (m, f) and (m + 1, f), f being its family, with one move
    // less.
    void split(std::size_t i, std::uint64_t m, bool tracked) {
        const std::uint64_t family = families[i];
        const std::size_t last = size() - 1;
        if (tracked) {
            const std::uint64_t moved = families[last];
            if (i != last && moved != family) {
                // The family leaves i and takes `last`, its new highest
                // position; the moved family's highest position becomes i.
                index.erase(family, static_cast<std::uint32_t>(i));
                index.append(family, static_cast<std::uint32_t>(last));
                index.move_last(moved, static_cast<std::uint32_t>(i));
            }
            index.append(family, static_cast<std::uint32_t>(last + 1));
        }
        genes[i] = genes[last];
        families[i] = families[last];
        genes[last] = m;
        families[last] = static_cast<Family>(family);
        genes.push_back(m + 1);
        families.push_back(static_cast<Family>(family));
    }

    // The copies as (gene id, family) pairs, in order.
    std::vector<GeneCopy> pairs() const {
        std::vector<GeneCopy> out(size());
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = copy(i);
        return out;
    }
};

using LogGenome = BasicLogGenome<std::uint64_t>;
using CompactLogGenome = BasicLogGenome<std::uint32_t>;

}  // namespace vornix::event_log

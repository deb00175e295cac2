// The gene content of one live branch of the event-log engine, in two
// layouts with one interface: LogGenome (an array of (gene id, family)
// pairs) and CompactLogGenome (gene ids, and families as small ids of the
// branch's family index).
//
// Copies are picked by position, so their order is part of the behaviour: new
// copies go to the end, a removed copy is replaced by the last one
// (swap-remove), and a transferred copy is renamed in place. Both layouts
// hold the same list.
//
// `index` is read by the cap and replacement rules. Positions are 32-bit: a
// tracked branch holds fewer than 2^32 copies (the engine checks).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "engines/event_log/family_ids.h"
#include "engines/event_log/family_index.h"
#include "engines/event_log/records.h"

namespace vornix::event_log {

// The copy list in one array of (gene id, family) pairs: a copy drawn at
// random costs one memory read for both. Used when no cap or replacement is
// in force, where most events read both; then the index is kept empty and
// its bookkeeping skipped (`tracked` false, see BasicLogEngine::track_counts).
struct LogGenome {
    std::vector<GeneCopy> copies;
    FamilyIndex index;

    std::size_t size() const { return copies.size(); }
    std::uint64_t gene(std::size_t i) const { return copies[i].first; }
    std::uint64_t family(std::size_t i) const { return copies[i].second; }
    // Copies of copy i's family (tracked only).
    std::uint32_t family_count(std::size_t i) const { return index.count(copies[i].second); }
    GeneCopy copy(std::size_t i) const { return copies[i]; }
    void rename(std::size_t i, std::uint64_t gene) { copies[i].first = gene; }
    // Renames copy k to first + 2k, every k.
    void renumber(std::uint64_t first) {
        for (std::size_t k = 0; k < copies.size(); ++k) copies[k].first = first + 2 * k;
    }
    std::vector<GeneCopy> take_pairs() { return std::move(copies); }

    void append(GeneCopy c, bool tracked) {
        if (tracked) index.append(c.second, static_cast<std::uint32_t>(size()));
        copies.push_back(c);
    }

    // Removes copy i by moving the last copy into its place; returns it.
    GeneCopy swap_remove(std::size_t i, bool tracked) {
        const GeneCopy removed = copies[i];
        const std::size_t last = size() - 1;
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
        const std::size_t last = size() - 1;
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

// The copy list as gene ids and family ids (FamilyIds): under a cap most
// events are duplications refused after reading the drawn copy's family
// count alone, so a large capped genome is read through an array of one or
// two bytes per copy and a count array indexed by id. Always keeps its index
// (its copies name their families through it); the engine uses it only when
// counts are tracked.
struct CompactLogGenome {
    std::vector<std::uint64_t> genes;
    FamilyIds ids;
    FamilyIndex index;

    std::size_t size() const { return genes.size(); }
    std::uint64_t gene(std::size_t i) const { return genes[i]; }
    std::uint64_t family(std::size_t i) const { return index.family_of(ids.get(i)); }
    std::uint32_t family_count(std::size_t i) const { return index.count_of(ids.get(i)); }
    GeneCopy copy(std::size_t i) const { return {genes[i], family(i)}; }
    void rename(std::size_t i, std::uint64_t gene) { genes[i] = gene; }
    void renumber(std::uint64_t first) {
        for (std::size_t k = 0; k < genes.size(); ++k) genes[k] = first + 2 * k;
    }
    std::vector<GeneCopy> take_pairs() {
        std::vector<GeneCopy> out(size());
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = copy(i);
        genes = {};
        ids.clear();
        index = {};
        return out;
    }

    void append(GeneCopy c, bool /*tracked*/) {
        const std::uint32_t id = index.append(c.second, static_cast<std::uint32_t>(size()));
        genes.push_back(c.first);
        ids.push(id);
    }

    GeneCopy swap_remove(std::size_t i, bool /*tracked*/) {
        const std::uint32_t removed = ids.get(i);
        const GeneCopy out{genes[i], index.family_of(removed)};
        const std::size_t last = size() - 1;
        const std::uint32_t moved = ids.get(last);
        if (i == last || moved == removed) {
            index.erase_at(removed, static_cast<std::uint32_t>(last));
        } else {
            index.erase_at(removed, static_cast<std::uint32_t>(i));
            index.move_last_at(moved, static_cast<std::uint32_t>(i));
        }
        genes[i] = genes[last];
        ids.set(i, moved);
        genes.pop_back();
        ids.pop();
        return out;
    }

    void split(std::size_t i, std::uint64_t m, bool /*tracked*/) {
        const std::uint32_t id = ids.get(i);
        const std::size_t last = size() - 1;
        const std::uint32_t moved = ids.get(last);
        if (i != last && moved != id) {
            index.move_up_at(id, static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(last));
            index.move_last_at(moved, static_cast<std::uint32_t>(i));
        }
        index.append_at(id, static_cast<std::uint32_t>(last + 1));
        genes[i] = genes[last];
        ids.set(i, moved);
        genes[last] = m;
        ids.set(last, id);
        genes.push_back(m + 1);
        ids.push(id);
    }
};

}  // namespace vornix::event_log

// The gene content of one live branch of the event-log engine.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "engines/event_log/family_index.h"
#include "engines/event_log/records.h"

namespace vornix::event_log {

// The copy list in one array of (gene id, family) pairs: a copy drawn at
// random costs one memory read for both. Used when no cap or replacement is
// in force, where most events read both.
struct PairedCopies {
    std::vector<GeneCopy> copies;

    std::size_t size() const { return copies.size(); }
    std::uint64_t gene(std::size_t i) const { return copies[i].first; }
    std::uint64_t family(std::size_t i) const { return copies[i].second; }
    GeneCopy copy(std::size_t i) const { return copies[i]; }
    void rename(std::size_t i, std::uint64_t gene) { copies[i].first = gene; }
    void put(std::size_t i, GeneCopy c) { copies[i] = c; }
    void move_last_to(std::size_t i) { copies[i] = copies.back(); }
    void push(GeneCopy c) { copies.push_back(c); }
    void pop() { copies.pop_back(); }
    void reserve(std::size_t n) { copies.reserve(n); }
    std::vector<GeneCopy> take_pairs() { return std::move(copies); }
};

// The copy list in two arrays, families in 32 bits (the engine uses it only
// when no family number of the run can reach 2^32, see run_log). Under a cap
// most events are duplications refused after reading the drawn copy's family
// alone, so a large capped genome is read through an array of a quarter of
// the bytes.
struct SplitCopies {
    std::vector<std::uint64_t> genes;
    std::vector<std::uint32_t> families;

    std::size_t size() const { return genes.size(); }
    std::uint64_t gene(std::size_t i) const { return genes[i]; }
    std::uint64_t family(std::size_t i) const { return families[i]; }
    GeneCopy copy(std::size_t i) const { return {genes[i], families[i]}; }
    void rename(std::size_t i, std::uint64_t gene) { genes[i] = gene; }
    void put(std::size_t i, GeneCopy c) {
        genes[i] = c.first;
        families[i] = static_cast<std::uint32_t>(c.second);
    }
    void move_last_to(std::size_t i) {
        genes[i] = genes.back();
        families[i] = families.back();
    }
    void push(GeneCopy c) {
        genes.push_back(c.first);
        families.push_back(static_cast<std::uint32_t>(c.second));
    }
    void pop() {
        genes.pop_back();
        families.pop_back();
    }
    void reserve(std::size_t n) {
        genes.reserve(n);
        families.reserve(n);
    }
    std::vector<GeneCopy> take_pairs() {
        std::vector<GeneCopy> out(size());
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = copy(i);
        genes = {};
        families = {};
        return out;
    }
};

// Copies are picked by position, so their order is part of the behaviour: new
// copies go to the end, a removed copy is replaced by the last one
// (swap-remove), and a transferred copy is renamed in place. Both layouts
// hold the same list.
//
// `index` is only read by the cap and replacement rules. An engine that has
// neither (cap < 0, replacement not > 0) keeps it empty and skips the
// bookkeeping (`tracked` false); see BasicLogEngine::track_counts. Positions
// are 32-bit: a tracked branch holds fewer than 2^32 copies (the engine
// checks).
template <class Copies>
struct BasicLogGenome : Copies {
    FamilyIndex index;

    void append(GeneCopy c, bool tracked) {
        if (tracked) index.append(c.second, static_cast<std::uint32_t>(this->size()));
        this->push(c);
    }

    // Removes copy i by moving the last copy into its place; returns it.
    GeneCopy swap_remove(std::size_t i, bool tracked) {
        const GeneCopy removed = this->copy(i);
        const std::size_t last = this->size() - 1;
        if (tracked) {
            const std::uint64_t moved = this->family(last);
            if (i == last || moved == removed.second) {
                // The family keeps position i (if it moved) and loses the
                // highest position.
                index.erase(removed.second, static_cast<std::uint32_t>(last));
            } else {
                index.erase(removed.second, static_cast<std::uint32_t>(i));
                index.move_last(moved, static_cast<std::uint32_t>(i));
            }
        }
        this->move_last_to(i);
        this->pop();
        return removed;
    }

    // Splits copy i (of family f) into m and m + 1: the same list as
    // swap-removing copy i and appending (m, f) and (m + 1, f), with one
    // move less.
    void split(std::size_t i, std::uint64_t m, bool tracked) {
        const std::uint64_t family = this->family(i);
        const std::size_t last = this->size() - 1;
        if (tracked) {
            const std::uint64_t moved = this->family(last);
            if (i != last && moved != family) {
                // The family leaves i and takes `last`, its new highest
                // position; the moved family's highest position becomes i.
                index.erase(family, static_cast<std::uint32_t>(i));
                index.append(family, static_cast<std::uint32_t>(last));
                index.move_last(moved, static_cast<std::uint32_t>(i));
            }
            index.append(family, static_cast<std::uint32_t>(last + 1));
        }
        this->move_last_to(i);
        this->put(last, {m, family});
        this->push({m + 1, family});
    }
};

using LogGenome = BasicLogGenome<PairedCopies>;
using CompactLogGenome = BasicLogGenome<SplitCopies>;

}  // namespace vornix::event_log

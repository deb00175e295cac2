// A hash map keyed by 64-bit gene ids, for the writer's lookup tables. Entries
// live in insertion order in one array; an open-addressing table of entry
// numbers finds them. reset() empties the map but keeps its memory, so one
// map serves every family a worker processes.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "model/rng.h"

namespace vornix::writer {

template <class Value>
class IdMap {
public:
    struct Entry {
        std::uint64_t key;
        Value value;
    };

    // Empties the map, sized for about `expected` keys.
    void reset(std::size_t expected) {
        entries_.clear();
        const std::size_t want = std::bit_ceil(2 * expected + 16);
        if (table_.size() < want || table_.size() > 8 * want) {
            table_.assign(want, 0);
        } else {
            std::fill(table_.begin(), table_.end(), 0);
        }
        mask_ = table_.size() - 1;
    }

    // The value of key, inserted default-constructed when absent.
    Value& operator[](std::uint64_t key) {
        if (table_.empty()) reset(0);
        std::size_t at = slot_of(key);
        if (table_[at] != 0) return entries_[table_[at] - 1].value;
        if (entries_.size() + 1 > table_.size() / 2) {
            grow();
            at = slot_of(key);
        }
        if (entries_.size() >= UINT32_MAX - 1) throw std::length_error("gene-id table too large");
        entries_.push_back({key, Value{}});
        table_[at] = static_cast<std::uint32_t>(entries_.size());
        return entries_.back().value;
    }

    const Value* find(std::uint64_t key) const {
        if (table_.empty()) return nullptr;
        const std::uint32_t e = table_[slot_of(key)];
        return e == 0 ? nullptr : &entries_[e - 1].value;
    }

    std::size_t size() const { return entries_.size(); }

private:
    // The slot that holds key, or the empty slot where it would go.
    std::size_t slot_of(std::uint64_t key) const {
        std::size_t at = splitmix_mix(key) & mask_;
        while (table_[at] != 0 && entries_[table_[at] - 1].key != key) at = (at + 1) & mask_;
        return at;
    }

    void grow() {
        table_.assign(table_.size() * 2, 0);
        mask_ = table_.size() - 1;
        for (std::size_t i = 0; i < entries_.size(); ++i) table_[slot_of(entries_[i].key)] = static_cast<std::uint32_t>(i + 1);
    }

    std::vector<Entry> entries_;
    std::vector<std::uint32_t> table_;  // 0: empty; else entry number + 1
    std::size_t mask_ = 0;
};

}  // namespace vornix::writer

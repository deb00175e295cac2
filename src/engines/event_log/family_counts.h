// Number of copies of each family on one branch: an open-addressing hash map
// from family number to count. It is only ever looked up by key, so its
// layout never influences a result; a family whose count drops to 0 is
// removed, so the map never holds a zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vornix::event_log {

class FamilyCounts {
public:
    std::size_t size() const { return size_; }

    // Count of family f, 0 when absent.
    std::uint32_t get(std::uint64_t f) const {
        if (size_ == 0) return 0;
        for (std::size_t i = home(f);; i = (i + 1) & mask_) {
            if (slots_[i].family == f) return slots_[i].count;
            if (slots_[i].family == kEmpty) return 0;
        }
    }

    // Adds one copy of family f; returns the new count.
    std::uint32_t increment(std::uint64_t f) {
        if ((size_ + 1) * 2 > slots_.size()) grow();
        std::size_t i = home(f);
        for (; slots_[i].family != kEmpty; i = (i + 1) & mask_) {
            if (slots_[i].family == f) return ++slots_[i].count;
        }
        slots_[i] = {f, 1};
        ++size_;
        return 1;
    }

    // Removes one copy of family f (which must be present); a count that
    // reaches 0 removes the family.
    void decrement(std::uint64_t f) {
        std::size_t i = home(f);
        while (slots_[i].family != f) i = (i + 1) & mask_;
        if (--slots_[i].count == 0) erase_at(i);
    }

private:
    static constexpr std::uint64_t kEmpty = UINT64_MAX;  // never a family number
    struct Slot {
        std::uint64_t family = kEmpty;
        std::uint32_t count = 0;
    };

    std::size_t home(std::uint64_t f) const {
        return static_cast<std::size_t>((f * 0x9E3779B97F4A7C15ULL) >> shift_) & mask_;
    }

    void grow() {
        std::vector<Slot> old;
        old.swap(slots_);
        const std::size_t capacity = old.empty() ? 16 : old.size() * 2;
        slots_.assign(capacity, Slot{});
        mask_ = capacity - 1;
        shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(capacity));
        for (const Slot& s : old) {
            if (s.family == kEmpty) continue;
            std::size_t i = home(s.family);
            while (slots_[i].family != kEmpty) i = (i + 1) & mask_;
            slots_[i] = s;
        }
    }

    // Backward-shift deletion: keeps every probe chain unbroken without
    // tombstones.
    void erase_at(std::size_t hole) {
        --size_;
        for (std::size_t j = (hole + 1) & mask_; slots_[j].family != kEmpty; j = (j + 1) & mask_) {
            const std::size_t want = home(slots_[j].family);
            // Move j into the hole unless its home lies cyclically in (hole, j].
            const bool stays = hole <= j ? (hole < want && want <= j) : (hole < want || want <= j);
            if (stays) continue;
            slots_[hole] = slots_[j];
            hole = j;
        }
        slots_[hole] = Slot{};
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
};

}  // namespace vornix::event_log

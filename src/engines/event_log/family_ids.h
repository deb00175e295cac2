// The family of every copy in a branch's list, as the ids its family index
// gives (FamilyIndex): one byte per copy while the branch has had at most
// 256 families at once, two up to 65,536, else four. A random copy's family
// is then read from an array a quarter or an eighth of the size of one of
// family numbers, which keeps a large capped genome in the cache.
#pragma once

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace vornix::event_log {

class FamilyIds {
public:
    std::size_t size() const { return size_; }

    std::uint32_t get(std::size_t i) const {
        const std::uint8_t* at = bytes_.data() + i * width_;
        if (width_ == 1) return *at;
        if (width_ == 2) {
            std::uint16_t v;
            std::memcpy(&v, at, 2);
            return v;
        }
        std::uint32_t v;
        std::memcpy(&v, at, 4);
        return v;
    }

    // Sets copy i to an id that fits (one already held, or one pushed).
    void set(std::size_t i, std::uint32_t id) {
        std::uint8_t* at = bytes_.data() + i * width_;
        if (width_ == 1) {
            *at = static_cast<std::uint8_t>(id);
        } else if (width_ == 2) {
            const auto v = static_cast<std::uint16_t>(id);
            std::memcpy(at, &v, 2);
        } else {
            std::memcpy(at, &id, 4);
        }
    }

    void push(std::uint32_t id) {
        if (id >= limit()) widen(id);
        bytes_.resize((size_ + 1) * width_);
        set(size_++, id);
    }

    void pop() {
        --size_;
        bytes_.resize(size_ * width_);
    }

    void reserve(std::size_t n) { bytes_.reserve(n * width_); }
    void clear() {
        bytes_ = {};
        size_ = 0;
    }

private:
    std::uint64_t limit() const { return std::uint64_t{1} << (8 * width_); }

    // Rewrites the ids wide enough to hold `id`.
    void widen(std::uint32_t id) {
        FamilyIds wide;
        wide.width_ = id < (1u << 16) ? 2 : 4;
        wide.bytes_.resize(size_ * wide.width_);
        wide.size_ = size_;
        for (std::size_t i = 0; i < size_; ++i) wide.set(i, get(i));
        *this = std::move(wide);
    }

    std::vector<std::uint8_t> bytes_;
    std::size_t size_ = 0;
    unsigned width_ = 1;
};

}  // namespace vornix::event_log

// Per-branch event rates in a binary indexed tree, with a running total, so
// that updating one rate and drawing a branch proportional to its rate are
// both O(log n).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vornix {

class Fenwick {
public:
    Fenwick() = default;
    explicit Fenwick(std::size_t n) : tree_(n + 1, 0.0), weight_(n, 0.0), n_(n), mask_(top_mask(n)) {}

    std::size_t size() const { return n_; }
    double total() const { return total_; }
    double weight(std::size_t i) const { return weight_[i]; }

    // The total is kept by accumulating each change, never recomputed, so it
    // follows the exact sequence of updates.
    void set_weight(std::size_t i, double w) {
        const double diff = w - weight_[i];
        if (diff == 0.0) return;
        weight_[i] = w;
        total_ = diff + total_;
        if (i < n_) {
            for (std::size_t j = i + 1; j <= n_; j += j & (~j + 1)) tree_[j] = diff + tree_[j];
        }
    }

    // Smallest slot whose cumulative weight reaches `target` (ties go left).
    // Rounding can make the result n, or a slot of weight 0.
    std::size_t find(double target) const {
        std::size_t pos = 0;
        for (std::size_t mask = mask_; mask > 0; mask >>= 1) {
            const std::size_t next = pos + mask;
            if (next <= n_ && tree_[next] < target) {
                target = target - tree_[next];
                pos = next;
            }
        }
        return pos;
    }

    // find() made safe for callers that index per-slot state with the result:
    // a slot with positive weight is returned as it is; otherwise (only ever
    // a rounding artefact) the nearest slot with positive weight below it,
    // else above it. Returns size() when no slot has positive weight.
    std::size_t find_live(double target) const {
        const std::size_t s = find(target);
        if (s < n_ && weight_[s] > 0.0) return s;
        return nearest_live(s);
    }

private:
    static std::size_t top_mask(std::size_t n) {
        std::size_t mask = 1;
        while (mask <= n / 2) mask <<= 1;
        return mask;
    }

    std::size_t nearest_live(std::size_t s) const {
        for (std::size_t i = s < n_ ? s : n_; i-- > 0;) {
            if (weight_[i] > 0.0) return i;
        }
        for (std::size_t i = s + 1; i < n_; ++i) {
            if (weight_[i] > 0.0) return i;
        }
        return n_;
    }

    std::vector<double> tree_;
    std::vector<double> weight_;
    std::size_t n_ = 0;
    std::size_t mask_ = 1;
    double total_ = 0.0;
};

}  // namespace vornix

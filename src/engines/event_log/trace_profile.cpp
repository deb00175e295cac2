#include "engines/event_log/trace_profile.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

namespace vornix::event_log {

namespace {

// Per-leaf family counting: a dense count per family number plus a bitmap of
// the families seen, so that a leaf's entries come out in ascending family
// order by scanning the bitmap, without sorting. When family numbers are
// sparse compared with a leaf's copies, the leaf's distinct families are
// sorted instead.
class LeafCounter {
public:
    explicit LeafCounter(std::uint64_t n_families) : count_(n_families, 0), seen_((n_families + 63) / 64, 0) {}

    template <class Emit>
    void count(const std::vector<GeneCopy>& copies, Emit&& emit) {
        distinct_.clear();
        for (const GeneCopy& c : copies) {
            const std::uint64_t f = c.second;
            if (count_[f]++ == 0) {
                distinct_.push_back(f);
                seen_[f / 64] |= std::uint64_t{1} << (f % 64);
            }
        }
        if (seen_.size() <= 4 * distinct_.size()) {
            for (std::size_t w = 0; w < seen_.size(); ++w) {
                for (std::uint64_t bits = seen_[w]; bits != 0; bits &= bits - 1) {
                    emit_and_clear(w * 64 + static_cast<std::uint64_t>(std::countr_zero(bits)), emit);
                }
                seen_[w] = 0;
            }
        } else {
            std::sort(distinct_.begin(), distinct_.end());
            for (const std::uint64_t f : distinct_) {
                emit_and_clear(f, emit);
                seen_[f / 64] = 0;
            }
        }
    }

private:
    template <class Emit>
    void emit_and_clear(std::uint64_t f, Emit& emit) {
        emit(f, count_[f]);
        count_[f] = 0;
    }

    std::vector<std::uint32_t> count_;
    std::vector<std::uint64_t> seen_;
    std::vector<std::uint64_t> distinct_;
};

// Sorts the leaf's families and counts runs: for family numbers too sparse
// for a dense table.
template <class Emit>
void count_by_sorting(const std::vector<GeneCopy>& copies, std::vector<std::uint64_t>& families, Emit&& emit) {
    families.clear();
    for (const GeneCopy& c : copies) families.push_back(c.second);
    std::sort(families.begin(), families.end());
    for (std::size_t a = 0; a < families.size();) {
        std::size_t b = a + 1;
        while (b < families.size() && families[b] == families[a]) ++b;
        emit(families[a], static_cast<std::uint32_t>(b - a));
        a = b;
    }
}

}  // namespace

ProfileCooBuf extant_profile(const ExtantContent& extant) {
    ProfileCooBuf coo;
    coo.leaves.reserve(extant.size());
    std::uint64_t n_families = 0, n_copies = 0;
    for (const ExtantLeaf& leaf : extant) {
        n_copies += leaf.copies.size();
        for (const GeneCopy& c : leaf.copies) n_families = std::max(n_families, c.second + 1);
    }
    // A run's family numbers are dense, so the table is normally small; it is
    // not used when they are not.
    const bool dense = n_families <= 8 * n_copies + 4096;
    LeafCounter counter(dense ? n_families : 0);
    std::vector<std::uint64_t> scratch;
    for (std::size_t j = 0; j < extant.size(); ++j) {
        coo.leaves.push_back(static_cast<std::uint32_t>(extant[j].node));
        auto emit = [&](std::uint64_t family, std::uint32_t n) {
            coo.rows.push_back(static_cast<std::uint32_t>(j));
            coo.cols.push_back(family);
            coo.vals.push_back(n);
        };
        if (dense) {
            counter.count(extant[j].copies, emit);
        } else {
            count_by_sorting(extant[j].copies, scratch, emit);
        }
    }
    return coo;
}

}  // namespace vornix::event_log

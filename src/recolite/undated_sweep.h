// The undated and reldated gene recursion, branch by branch: the per-branch
// constants of the sweeps, the constant part of an internal gene node, and
// the sweeps themselves, run for kLanes gene nodes at once.
//
// A sweep is a chain of dependent operations (a running sum feeds a division
// that feeds the running sum), so one node at a time is bound by latency.
// kLanes gene nodes are therefore swept together, their values interleaved
// branch by branch; each lane undergoes exactly the operations of a lone
// sweep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "recolite/undated_engine.h"

namespace vornix::recolite::undated {

inline constexpr int kLanes = 16;

// Per-branch constants of the sweeps, fixed for the whole call.
struct SweepTables {
    std::vector<double> denominator;    // 1 - 2 p_dup E[b] - p_transfer mean E
    std::vector<double> transfer_in;    // p_transfer E[b]
    std::vector<double> ext_l, ext_r;   // E of the species children
    std::vector<std::uint32_t> child_l, child_r;
    std::vector<double> recipient_count;  // reldated: list lengths as doubles

    explicit SweepTables(const UndatedEngine& e);
};

// Means over recipient lists in reldated mode, eight lists at a time so that
// eight running sums advance together. The lists of branches 8i .. 8i+7 are
// interleaved and padded at their ends with the index n, whose value is 0:
// adding 0 to a sum that started at +0 leaves it unchanged, so each mean is
// the plain left-to-right one.
struct RecipientGroups {
    static constexpr int kWidth = 8;
    std::vector<std::size_t> start;    // group i: index[start[i] .. start[i+1]), kWidth per step
    std::vector<std::uint32_t> index;

    explicit RecipientGroups(const UndatedEngine& e);

    // mean[b] = mean of x over b's recipients (0 for none); x[n] must be 0.
    void means(const SweepTables& t, std::size_t n, const double* x, double* mean) const;
};

// The constant part of an internal gene node with children values w and z
// (both at their own scales): duplication on b (both orders), speciation at
// b, and one child transferred in from another branch. In reldated mode wm
// and zm are the children's means over each branch's recipients.
void internal_constant(const UndatedEngine& e, const SweepTables& t, const double* w, const double* wm,
                       const double* z, const double* zm, double* c);

// kLanes nodes in flight: their values and constant parts, branch-major.
class Lanes {
public:
    Lanes(const UndatedEngine& e, const SweepTables& t) : e_(e), t_(t), p_(e.n * kLanes), c_(e.n * kLanes) {}

    void load(int lane, const double* c) {
        for (std::size_t b = 0; b < e_.n; ++b) {
            p_[b * kLanes + lane] = 0.0;
            c_[b * kLanes + lane] = c[b];
        }
    }

    // An idle lane holds zeros, which sweep to zeros at full speed (values
    // left from a finished job may be subnormal, which would slow every
    // sweep).
    void clear(int lane) {
        for (std::size_t b = 0; b < e_.n; ++b) p_[b * kLanes + lane] = c_[b * kLanes + lane] = 0.0;
    }

    void unload(int lane, double* out) const {
        for (std::size_t b = 0; b < e_.n; ++b) out[b] = p_[b * kLanes + lane];
    }

    // One sweep over every branch for all lanes; stores each lane's largest
    // change.
    void sweep(double* largest_change);

private:
    const UndatedEngine& e_;
    const SweepTables& t_;
    std::vector<double> p_, c_;  // branch-major: entry b * kLanes + lane
};

}  // namespace vornix::recolite::undated

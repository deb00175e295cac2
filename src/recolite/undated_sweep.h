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

#include "recolite/scaled.h"
#include "recolite/undated_engine.h"

namespace vornix::recolite::undated {

inline constexpr int kLanes = 16;

// Per-branch constants of the sweeps, fixed for the whole call. When the
// engine has offsets, the sweeps run in a frame of per-branch offsets (the
// engine's, or zeros for a gene root scored under uniform origination), and
// the powers of two between a branch and its neighbours are folded into the
// constants that join them (exact: a power of two only moves the exponent),
// so that every term arrives at the offset of its branch.
struct SweepTables {
    bool wide = false;                 // the engine has offsets
    std::vector<std::int64_t> offset;  // the frame: empty unless wide

    std::vector<double> denominator;    // 1 - 2 p_dup E[b] - p_transfer mean E
    std::vector<double> transfer_in;    // p_transfer E[b]
    // E of the species children, crossed over: ext_r[b] multiplies the left
    // child's value and carries 2^(offset[b] - offset[left]); ext_l[b] the
    // right child's, with 2^(offset[b] - offset[right]); both also give back
    // the power of two that holds a tiny p_spec.
    std::vector<double> ext_l, ext_r;
    std::vector<std::uint32_t> child_l, child_r;
    std::vector<double> recipient_count;  // reldated: list lengths as doubles
    // p_spec, or with offsets a tiny p_spec times the power of two that
    // ext_l and ext_r give back.
    double p_spec = 0.0;
    // Reldated with offsets: 2^(offset[b] - offset[j] - shift[b]) for each
    // entry j of b's recipient list, in the list's layout, and transfer_in[b]
    // * 2^shift[b]; shift[b] is 0 unless a factor would leave the range. A
    // mean over b's recipients so formed is at 2^(scale + offset[b] -
    // shift[b]).
    std::vector<double> recipient_factor, transfer_in_shifted;
    std::vector<std::int64_t> recipient_shift;
    // With offsets: p_transfer E[b] as a Wide number.
    std::vector<Wide> transfer_in_wide;

    // `offset` is the frame (n entries when the engine has offsets).
    SweepTables(const UndatedEngine& e, std::vector<std::int64_t> offset);
};

// x * 2^k as a double, exact while the result is a normal double; the
// largest finite double in magnitude where it would overflow.
double shifted(const Wide& x, std::int64_t k);

// Means over recipient lists in reldated mode, eight lists at a time so that
// eight running sums advance together. The lists of branches 8i .. 8i+7 are
// interleaved and padded at their ends with the index n, whose value is 0:
// adding 0 to a sum that started at +0 leaves it unchanged, so each mean is
// the plain left-to-right one. With offsets each value is first brought to
// the frame of b by the tables' recipient factors.
struct RecipientGroups {
    static constexpr int kWidth = 8;
    std::vector<std::size_t> start;    // group i: index[start[i] .. start[i+1]), kWidth per step
    std::vector<std::uint32_t> index;
    std::vector<double> factor;        // with offsets: the recipient factor of each entry

    RecipientGroups(const UndatedEngine& e, const SweepTables& t);

    // mean[b] = mean of x over b's recipients (0 for none); x[n] must be 0.
    void means(const SweepTables& t, std::size_t n, const double* x, double* mean) const;
};

// Undated mode: mean[b] = (sum of x - x[b]) / (n - 1), the mean of x over
// the branches other than b (0 when n < 2), with the sum taken left to right
// once. The divisions run four at a time.
void means_over_others(const double* x, std::size_t n, double* mean);

// The constant part of an internal gene node with children values w and z
// (both at their own scales): duplication on b (both orders), speciation at
// b, and one child transferred in from another branch. wm and zm are the
// children's means over the other branches (undated) or over each branch's
// recipients (reldated); they are read only when p_transfer > 0.
void internal_constant(const UndatedEngine& e, const SweepTables& t, const double* w, const double* wm,
                       const double* z, const double* zm, double* c);

// kLanes nodes in flight: their values and constant parts, branch-major.
//
// With branch offsets a lane's values on branch b are its node's values times
// 2^(scale + offset[b]), while the running sum of an undated sweep and the
// largest change are kept at one scale per lane, sum_scale. Per lane and
// branch, `to_sum` = 2^(sum_scale - scale - offset[b]) brings a value to the
// sum's scale and `from_sum` = transfer_in[b] * 2^(scale + offset[b] -
// sum_scale) brings a mean from the sum's scale back, with the transfer term.
class Lanes {
public:
    Lanes(const UndatedEngine& e, const SweepTables& t)
        : e_(e),
          t_(t),
          p_(e.n * kLanes),
          c_(e.n * kLanes),
          to_sum_(t.wide ? e.n * kLanes : 0),
          from_sum_(t.wide ? e.n * kLanes : 0) {}

    void load(int lane, const double* c) {
        for (std::size_t b = 0; b < e_.n; ++b) {
            p_[b * kLanes + lane] = 0.0;
            c_[b * kLanes + lane] = c[b];
        }
    }

    // With offsets: also the lane's scales (see above).
    void load(int lane, const double* c, std::int64_t scale, std::int64_t sum_scale);

    // An idle lane holds zeros, which sweep to zeros at full speed (values
    // left from a finished job may be subnormal, which would slow every
    // sweep).
    void clear(int lane) {
        for (std::size_t b = 0; b < e_.n; ++b) p_[b * kLanes + lane] = c_[b * kLanes + lane] = 0.0;
        for (std::size_t b = 0; b < to_sum_.size() / kLanes; ++b) {
            to_sum_[b * kLanes + lane] = from_sum_[b * kLanes + lane] = 0.0;
        }
    }

    void unload(int lane, double* out) const {
        for (std::size_t b = 0; b < e_.n; ++b) out[b] = p_[b * kLanes + lane];
    }

    // One sweep over every branch for all lanes; stores each lane's largest
    // change (at the lane's sum scale when there are offsets).
    void sweep(double* largest_change);

private:
    const UndatedEngine& e_;
    const SweepTables& t_;
    std::vector<double> p_, c_;  // branch-major: entry b * kLanes + lane
    std::vector<double> to_sum_, from_sum_;  // the same layout; offsets only
};

}  // namespace vornix::recolite::undated

#include "recolite/undated_offsets.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <queue>
#include <utility>

namespace vornix::recolite::undated {

namespace {

constexpr double kNone = -std::numeric_limits<double>::infinity();

// log2 of a per-step factor, at most 0; kNone when the step cannot happen.
double step_weight(const Wide& factor) {
    if (!(factor.m > 0.0)) return kNone;
    return std::min(0.0, wide_log2(factor));
}

// Largest log2 path weights from every branch to a root: a Dijkstra search
// from the roots (all weights are at most 0). In undated mode a transfer can
// reach any branch; its weight depends only on the receiver, so one extra
// node (index n) stands for "any branch" and sends weight 0 to every branch.
class PathSearch {
public:
    PathSearch(const UndatedEngine& e, const BranchTerms& t, bool with_transfers)
        : e_(e), t_(t), transfers_(with_transfers && !e.w_transfer.is_zero()), weight_(e.n + 1, kNone) {}

    // False when the poll asked to stop.
    bool run(vornix::Interrupt& stop) {
        const std::size_t n = e_.n;
        std::vector<std::uint8_t> is_child(n, 0);
        for (std::size_t b = 0; b < n; ++b) {
            if (e_.is_leaf[b]) continue;
            is_child[static_cast<std::size_t>(e_.left[b])] = 1;
            is_child[static_cast<std::size_t>(e_.right[b])] = 1;
        }
        for (std::size_t b = 0; b < n; ++b) {
            if (!is_child[b]) reach(b, 0.0);
        }
        std::vector<std::uint8_t> done(n + 1, 0);
        while (!heap_.empty()) {
            const auto [w, b] = heap_.top();
            heap_.pop();
            if (done[b] || w < weight_[b]) continue;
            done[b] = 1;
            if (stop.tick()) return false;
            if (b == n) {
                for (std::size_t c = 0; c < n; ++c) reach(c, w);
                continue;
            }
            if (!e_.is_leaf[b]) {
                const std::size_t l = static_cast<std::size_t>(e_.left[b]);
                const std::size_t r = static_cast<std::size_t>(e_.right[b]);
                const Wide den = Wide::of(t_.denominator[b]);
                reach(l, w + step_weight(e_.w_spec * e_.extinction_at(r) / den));
                reach(r, w + step_weight(e_.w_spec * e_.extinction_at(l) / den));
            }
            if (!transfers_) continue;
            // b receives transfers from the branches of its mean.
            const double count = e_.reldated ? static_cast<double>(e_.recipient_count(b)) : static_cast<double>(n) - 1.0;
            if (count <= 0.0) continue;
            const double in =
                w + step_weight(t_.transfer_in_wide[b] / (Wide::of(count) * Wide::of(t_.denominator[b])));
            if (!e_.reldated) {
                reach(n, in);
                continue;
            }
            for (std::size_t r = e_.recipient_start[b]; r < e_.recipient_start[b + 1]; ++r) {
                if (stop.tick()) return false;
                reach(e_.recipient_list[r], in);
            }
        }
        return true;
    }

    const std::vector<double>& weight() const { return weight_; }

private:
    void reach(std::size_t b, double w) {
        if (w > weight_[b]) {
            weight_[b] = w;
            heap_.push({w, b});
        }
    }

    const UndatedEngine& e_;
    const BranchTerms& t_;
    bool transfers_;
    std::vector<double> weight_;
    std::priority_queue<std::pair<double, std::size_t>> heap_;
};

// The lowest weight of a reached branch (0 when none is reached).
double lowest(const std::vector<double>& weight, std::size_t n) {
    double low = 0.0;
    for (std::size_t b = 0; b < n; ++b) {
        if (weight[b] > kNone) low = std::min(low, weight[b]);
    }
    return low;
}

}  // namespace

vornix::Outcome<std::vector<std::int64_t>> branch_offsets(const UndatedEngine& e, const BranchTerms& terms,
                                                          vornix::Interrupt& stop) {
    const std::size_t n = e.n;
    const double spread = static_cast<double>(kOffsetSpread);
    // Transfers only shorten the fall, so the cheaper search without them
    // settles most calls.
    PathSearch chain(e, terms, false);
    if (!chain.run(stop)) return vornix::interrupted();
    if (lowest(chain.weight(), n) >= -spread) return std::vector<std::int64_t>{};
    PathSearch full(e, terms, true);
    if (!full.run(stop)) return vornix::interrupted();
    const double low = lowest(full.weight(), n);
    if (low >= -spread) return std::vector<std::int64_t>{};
    // A branch no path reaches cannot affect a root (its step to its parent
    // is impossible, so the factor that would carry it is 0); it gets the
    // lowest offset, so that what it receives is only ever scaled down.
    std::vector<std::int64_t> offset(n);
    for (std::size_t b = 0; b < n; ++b) {
        const double w = full.weight()[b] > kNone ? full.weight()[b] : low;
        offset[b] = static_cast<std::int64_t>(std::floor(w));
    }
    return offset;
}

}  // namespace vornix::recolite::undated

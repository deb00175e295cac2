#include "model/recipient.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vornix {

namespace {

std::optional<NodeId> choose_uniform(Rng& rng, std::span<const NodeId> active, std::span<const NodeId> position,
                                     NodeId donor, bool allow_self) {
    const std::uint64_t m = active.size();
    if (allow_self) return active[rng.index_below(m)];
    // Draw among the other m - 1 branches, skipping the donor's slot.
    const std::uint64_t k = position[donor];
    const std::uint64_t r = rng.index_below(m - 1);
    return active[r < k ? r : r + 1];
}

}  // namespace

std::optional<NodeId> choose_recipient(Rng& rng, std::span<const NodeId> active, std::span<const NodeId> position,
                                       NodeId donor, std::span<const std::int64_t> parent, double t,
                                       std::span<const double> time, const TransferMode& mode,
                                       RecipientScratch& scratch) {
    const std::size_t m = active.size();
    if (m == 0) return std::nullopt;
    if (!mode.allow_self && m == 1) return std::nullopt;
    if (mode.distance_decay < 0.0) return choose_uniform(rng, active, position, donor, mode.allow_self);

    // Mark the donor and all its ancestors, up to and including the root.
    if (++scratch.generation_ == 0) {
        std::fill(scratch.mark_.begin(), scratch.mark_.end(), 0);
        scratch.generation_ = 1;
    }
    const std::uint32_t gen = scratch.generation_;
    for (std::int64_t v = donor; v >= 0; v = parent[v]) scratch.mark_[v] = gen;

    // Distance of each candidate: twice the time back to where its lineage
    // meets the donor's.
    constexpr double inf = std::numeric_limits<double>::infinity();
    auto& distance = scratch.distance_;
    distance.resize(m);
    double d_min = inf;
    for (std::size_t i = 0; i < m; ++i) {
        const NodeId c = active[i];
        double d;
        if (c == donor) {
            d = mode.allow_self ? 0.0 : inf;
        } else {
            std::int64_t a = c;
            while (scratch.mark_[a] != gen) a = parent[a];
            const double h = t - time[a];
            d = h + h;
        }
        distance[i] = d;
        if (d < d_min) d_min = d;  // NaN never compares less: ignored
    }
    if (!std::isfinite(d_min)) return std::nullopt;

    // Weights overwrite the distances in place.
    const double neg_decay = -mode.distance_decay;
    double total = 0.0;
    for (std::size_t i = 0; i < m; ++i) {
        const double d = distance[i];
        const double w = std::isfinite(d) ? std::exp((d - d_min) * neg_decay) : 0.0;
        distance[i] = w;
        total = total + w;
    }
    if (total <= 0.0) return std::nullopt;

    double x = total * rng.uniform();
    for (std::size_t i = 0; i < m; ++i) {
        x = x - distance[i];
        if (x <= 0.0) return active[i];
    }
    return active[m - 1];  // rounding left x above 0
}

}  // namespace vornix

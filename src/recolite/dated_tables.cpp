#include "recolite/dated_tables.h"

#include <cmath>
#include <utility>

namespace vornix::recolite::dated {

Tables::Tables(const Engine& e) {
    dup2 = 2.0 * e.dup;
    top_size = e.time.size();
    for (std::size_t i = e.slices.size(); i-- > 0;) {
        const Slice& s = e.slices[i];
        const std::size_t N = s.size();
        if (N == 0) continue;
        SliceTable t;
        t.N = N;
        t.steps = s.steps;
        t.step = s.step;
        t.nm1 = static_cast<double>(N - 1);
        t.tn1 = N >= 2 ? e.transfer / t.nm1 : 0.0;
        t.grid_offset = grid_size;
        t.sum_offset = sum_size;
        t.row_offset = row_count;
        grid_size += (s.steps + 1) * N;
        sum_size += s.steps;
        row_count += s.steps + 1;
        t.a.resize(s.steps * N);
        t.b.resize(s.steps * N);
        for (std::uint64_t j = 0; j < s.steps; ++j) {
            const double* E = s.ext_row(j);
            double SE = 0.0;
            for (std::size_t k = 0; k < N; ++k) SE += E[k];
            for (std::size_t k = 0; k < N; ++k) {
                const double ebar = N >= 2 ? (SE - E[k]) / t.nm1 : 0.0;
                t.a[j * N + k] = (e.total_rate - (2.0 * e.dup) * E[k]) - e.transfer * ebar;
                t.b[j * N + k] = e.transfer * E[k];
            }
        }
        t.branch = s.branches;
        for (std::size_t k = 0; k < N; ++k) {
            const std::uint32_t b = s.branches[k];
            const std::uint32_t pos = static_cast<std::uint32_t>(k);
            if (std::fabs(e.time[b] - s.t_end) >= kTimeTol) {
                t.carry.push_back({pos, b});
            } else if (e.is_leaf[b]) {
                t.leaf_end.push_back({pos, b, 0, 0, 0.0, 0.0});
            } else {
                const auto l = static_cast<std::uint32_t>(e.left[b]), r = static_cast<std::uint32_t>(e.right[b]);
                t.internal_end.push_back({pos, b, l, r, e.ext_top[l], e.ext_top[r]});
            }
        }
        slices.push_back(std::move(t));
    }
    link_slices(e.time.size());
    for (std::size_t b = 0; b < e.branch_length.size(); ++b) {
        if (e.branch_length[b] > kTimeTol) uniform_branches.push_back(static_cast<std::uint32_t>(b));
    }
}

// Carried values go straight from the end of one slice to the start of the
// next; a value whose top is read at the start of the next slice (a child of
// a species node ending there) is still written to the tops as well.
void Tables::link_slices(std::size_t n_branches) {
    std::vector<std::int64_t> position(n_branches, -1);
    std::vector<std::uint8_t> read_as_child(n_branches, 0);
    for (std::size_t ti = 0; ti < slices.size(); ++ti) {
        SliceTable& t = slices[ti];
        SliceTable* next = ti + 1 < slices.size() ? &slices[ti + 1] : nullptr;
        std::vector<std::uint8_t> handed(t.N, 0);
        if (next != nullptr) {
            for (std::size_t k = 0; k < t.N; ++k) position[t.branch[k]] = static_cast<std::int64_t>(k);
            for (const SliceTable::Ending& x : next->internal_end) read_as_child[x.child_l] = read_as_child[x.child_r] = 1;
            std::vector<SliceTable::Carry> kept;
            for (const SliceTable::Carry& c : next->carry) {
                const std::int64_t at = position[c.branch];
                if (at < 0) {
                    kept.push_back(c);
                    continue;
                }
                t.handoff.push_back({static_cast<std::uint32_t>(at), c.pos});
                next->received.push_back(c.pos);
                handed[static_cast<std::size_t>(at)] = 1;
            }
            next->carry = std::move(kept);
        }
        for (std::size_t k = 0; k < t.N; ++k) {
            if (!handed[k] || read_as_child[t.branch[k]]) t.top_positions.push_back(static_cast<std::uint32_t>(k));
        }
        if (next != nullptr) {
            for (std::size_t k = 0; k < t.N; ++k) position[t.branch[k]] = -1;
            for (const SliceTable::Ending& x : next->internal_end) read_as_child[x.child_l] = read_as_child[x.child_r] = 0;
        }
    }
}

}  // namespace vornix::recolite::dated

#include "recolite/dated_kernel.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <utility>

#include "recolite/simd.h"

namespace vornix::recolite::dated {

namespace {

// How far (in binary orders) the largest term of a row may sit from 1 before
// the node's scale moves to it.
constexpr std::int64_t kFollowMargin = 200;

// The per-slice constants of a step, held in locals so that the compiler
// need not reload them around every store.
struct StepConstants {
    double nm1, tn1, step, dup2;
};

// One Euler step for one position (scalar) or four (Vec4): decay, duplication
// or transfer followed by loss of one copy, transfer in from another branch
// whose donor copy dies, and the birth term M of an internal node.
template <class T>
[[gnu::always_inline]] inline T step_internal(T p, T a, T b, T pw, T pz, double sp, double spw, double spz,
                                              const StepConstants& c, const BirthFactor& f) {
    const T pbar = (sp - p) / c.nm1;
    const T inner = p * a - b * pbar;
    T m;
    if (f.active) {
        // Scaling every factor by its exact power of two first gives the same
        // bits as scaling the result, without overflowing in between.
        const T qw = pw * f.w_part, qz = pz * f.z_part;
        const double sqw = spw * f.w_part, sqz = spz * f.z_part;
        m = (c.dup2 * qw) * qz + c.tn1 * ((sqw - qw) * qz + qw * (sqz - qz));
    } else {
        m = (c.dup2 * pw) * pz + c.tn1 * ((spw - pw) * pz + pw * (spz - pz));
    }
    return (p - c.step * inner) + c.step * m;
}

template <class T>
[[gnu::always_inline]] inline T step_tip(T p, T a, T b, double sp, const StepConstants& c) {
    const T pbar = (sp - p) / c.nm1;
    const T inner = p * a - b * pbar;
    return (p - c.step * inner) + c.step * 0.0;
}

// With one branch in the slice there is no other branch to transfer to or
// from: both means are 0 and M has no transfer part.
[[gnu::always_inline]] inline double step_single(double p, double a, double b, double pw, double pz, bool internal,
                                                 const SliceTable& t, double dup2, const BirthFactor& f) {
    const double inner = p * a - b * 0.0;
    double m = 0.0;
    if (internal) m = f.active ? (dup2 * (pw * f.w_part)) * (pz * f.z_part) : (dup2 * pw) * pz;
    return (p - t.step * inner) + t.step * m;
}

double max_abs(const double* x, std::size_t count) {
    double m = 0.0;
    for (std::size_t i = 0; i < count; ++i) m = std::max(m, std::fabs(x[i]));
    return m;
}

// x[i] * 2^k for count values, exact unless a value leaves the normal range.
void shift_values(double* x, std::size_t count, std::int64_t k) {
    if (k >= -1022 && k <= 1023) {
        const double f = pow2(static_cast<int>(k));
        for (std::size_t i = 0; i < count; ++i) x[i] *= f;
    } else {
        for (std::size_t i = 0; i < count; ++i) x[i] = times_pow2(x[i], k);
    }
}

// A shift k of a node's scale that would take it below 0 stops at 0 when the
// largest stored value (of binary exponent top) stays in range there: true
// values are probabilities, which at scale 0 are the plain doubles.
std::int64_t prefer_plain_scale(std::int64_t scale, std::int64_t k, std::int64_t top) {
    if (scale > 0 && scale + k < 0 && top - scale <= kFollowMargin) return -scale;
    return k;
}

// Moves the lane's scale by k: the current row (count values at row) and its
// sum follow.
void move_scale(Lane& lane, double* row, std::size_t count, double& row_sum, std::int64_t k) {
    shift_values(row, count, k);
    row_sum = times_pow2(row_sum, k);
    lane.scale += k;
    lane.uniform = false;
}

// Called when the sum of row j of slice t (just formed) is small or large:
// when the row's largest value has left [kRescaleBelow, kRescaleAbove], the
// row is brought back by one power of two and takes a scale of its own.
void normalise_row(Lane& lane, const SliceTable& t, std::uint64_t j, double& row_sum) {
    double* row = lane.out.grid + t.grid_offset + j * t.N;
    const double row_max = max_abs(row, t.N);
    if (!(row_max > 0.0) || !std::isfinite(row_max)) return;
    if (row_max >= kRescaleBelow && row_max <= kRescaleAbove) return;
    const std::int64_t k =
        prefer_plain_scale(lane.scale, normalising_exponent(row_max), binary_exponent(row_max));
    move_scale(lane, row, t.N, row_sum, k);
}

// Before step j of slice t of an internal node: the node's own values (row j)
// and its children's (which enter through the birth term) may sit far apart
// in scale. When the larger of the two would sit far from 1 at the node's
// scale, the scale moves to it (the smaller part, if negligible, may then
// vanish, never the larger). Then the birth factor for this row is set.
// Magnitudes are judged by row sums, within a factor N of the largest value.
void prepare_birth(Lane& lane, const SliceTable& t, std::uint64_t j, double& own_sum) {
    const std::size_t r = t.row_offset + j;
    const std::int64_t sw = lane.w.row_scale[r], sz = lane.z.row_scale[r];
    const double spw = lane.w.sums[t.sum_offset + j], spz = lane.z.sums[t.sum_offset + j];
    if (spw == 0.0 || spz == 0.0 || !std::isfinite(spw) || !std::isfinite(spz)) {
        // A child without values: no birth term, whatever the scales.
        lane.birth = BirthFactor{};
        return;
    }
    const std::int64_t kids = true_exponent(spw, sw) + true_exponent(spz, sz);
    std::int64_t top = kids;
    if (own_sum != 0.0 && std::isfinite(own_sum)) top = std::max(top, true_exponent(own_sum, lane.scale));
    const std::int64_t k = -top - lane.scale;
    if (k <= -kFollowMargin || k >= kFollowMargin) {
        double* row = lane.out.grid + t.grid_offset + j * t.N;
        move_scale(lane, row, t.N, own_sum, prefer_plain_scale(lane.scale, k, top + lane.scale));
    }
    const std::int64_t shift = lane.scale - sw - sz;
    if (shift == 0) {
        lane.birth = BirthFactor{};
        return;
    }
    // The first child's row is brought near 1, the second takes the rest:
    // their product then lands near the node's scale.
    const std::int64_t w_shift = std::clamp<std::int64_t>(-binary_exponent(spw), -1000, 1000);
    BirthFactor& f = lane.birth;
    if (f.active && f.shift == shift && f.w_shift == w_shift) return;
    f.active = true;
    f.shift = shift;
    f.w_shift = w_shift;
    f.w_part = pow2(static_cast<int>(w_shift));
    // Past the subnormal range the children's part is negligible beside the
    // node's own values (the scale follows whichever is larger).
    const std::int64_t z_shift = shift - w_shift;
    f.z_part = z_shift < -1074 ? 0.0 : times_pow2(1.0, std::min<std::int64_t>(z_shift, 1023));
}

inline bool needs_rescale_check(double row_sum) {
    const double a = std::fabs(row_sum);
    return a < kRescaleBelow || a > kRescaleAbove;
}

// Row 0 of slice t for a node whose values, or whose children's, are held at
// several scales: the scale of the row moves to its largest term when that
// sits far from 1, and every term is brought to it by exact powers of two
// (products from their factors' mantissas, so none overflows on the way).
template <bool Internal>
void initial_row_scaled(const SliceTable& t, Lane& lane, double* row) {
    const double* top = lane.out.top;
    const std::int64_t* ts = lane.out.top_scale;
    const NodeView &w = lane.w, &z = lane.z;
    std::int64_t largest = INT64_MIN;  // true binary exponent of the largest term
    auto see = [&](double v, std::int64_t scale) {
        if (v != 0.0 && std::isfinite(v)) largest = std::max(largest, true_exponent(v, scale));
    };
    for (const std::uint32_t pos : t.received) see(row[pos], lane.scale);
    for (const SliceTable::Carry& c : t.carry) see(top[c.branch], ts[c.branch]);
    if (!Internal) {
        for (const SliceTable::Ending& x : t.leaf_end) {
            if (lane.species == static_cast<std::int64_t>(x.branch)) see(1.0, 0);
        }
    }
    for (const SliceTable::Ending& x : t.internal_end) {
        see(top[x.child_l], ts[x.child_l]);
        see(top[x.child_r], ts[x.child_r]);
        if (Internal) {
            for (const auto& [a, b] : {std::pair{x.child_l, x.child_r}, std::pair{x.child_r, x.child_l}}) {
                const Scaled p = scaled_product(w.top[a], w.top_scale[a], z.top[b], z.top_scale[b]);
                see(p.value, p.scale);
            }
        }
    }
    if (largest != INT64_MIN) {
        const std::int64_t k = -largest - lane.scale;
        if (k <= -kFollowMargin || k >= kFollowMargin) {
            const std::int64_t move = prefer_plain_scale(lane.scale, k, largest + lane.scale);
            for (const std::uint32_t pos : t.received) row[pos] = times_pow2(row[pos], move);
            lane.scale += move;
            lane.uniform = false;
        }
    }
    const std::int64_t S = lane.scale;
    for (const SliceTable::Carry& c : t.carry) row[c.pos] = times_pow2(top[c.branch], S - ts[c.branch]);
    for (const SliceTable::Ending& x : t.leaf_end) {
        row[x.pos] = (!Internal && lane.species == static_cast<std::int64_t>(x.branch)) ? times_pow2(1.0, S) : 0.0;
    }
    for (const SliceTable::Ending& x : t.internal_end) {
        const std::uint32_t cl = x.child_l, cr = x.child_r;
        double v = x.ext_r * times_pow2(top[cl], S - ts[cl]) + x.ext_l * times_pow2(top[cr], S - ts[cr]);
        if (Internal) {
            v = v + (at_scale(scaled_product(w.top[cl], w.top_scale[cl], z.top[cr], z.top_scale[cr]), S) +
                     at_scale(scaled_product(w.top[cr], w.top_scale[cr], z.top[cl], z.top_scale[cl]), S));
        }
        row[x.pos] = v;
    }
}

// Row 0 of slice t for L nodes, from the values at the top of the later
// slice and, at species nodes ending here, from the children.
template <int L, bool Internal>
[[gnu::always_inline]] inline void initial_rows(const SliceTable& t, Lane* lanes, double* sum) {
    const std::size_t N = t.N;
    double* rows[L];
    for (int l = 0; l < L; ++l) {
        Lane& lane = lanes[l];
        double* row = rows[l] = lane.out.grid + t.grid_offset;
        const double* top = lane.out.top;
        if (!(lane.uniform && lane.children_uniform)) {
            initial_row_scaled<Internal>(t, lane, row);
            continue;
        }
        // Every value read is at the lane's scale, and the children's
        // products at the sum of theirs, which is the lane's.
        for (const SliceTable::Carry& c : t.carry) row[c.pos] = top[c.branch];
        for (const SliceTable::Ending& x : t.leaf_end) {
            row[x.pos] = (!Internal && lane.species == static_cast<std::int64_t>(x.branch)) ? 1.0 : 0.0;
        }
        for (const SliceTable::Ending& x : t.internal_end) {
            double v = x.ext_r * top[x.child_l] + x.ext_l * top[x.child_r];
            if (Internal) v = v + (lane.w.top[x.child_l] * lane.z.top[x.child_r] + lane.w.top[x.child_r] * lane.z.top[x.child_l]);
            row[x.pos] = v;
        }
    }
    double s[L] = {};
    for (std::size_t k = 0; k < N; ++k) {
        for (int l = 0; l < L; ++l) s[l] += rows[l][k];
    }
    for (int l = 0; l < L; ++l) {
        sum[l] = s[l];
        if (needs_rescale_check(s[l])) normalise_row(lanes[l], t, 0, sum[l]);
    }
}

// Row j -> row j + 1 of slice t for L nodes; the sums of the new rows go to
// next_sum (left to right, as the next step needs them).
template <int L, bool Internal>
[[gnu::always_inline]] inline void step_rows(const Tables& tables, const SliceTable& t, std::uint64_t j, Lane* lanes,
                                             const double* sum, double* next_sum) {
    const std::size_t N = t.N;
    const std::size_t at = t.grid_offset + j * N;
    const double* A = t.a.data() + j * N;
    const double* B = t.b.data() + j * N;
    const double* cur[L];
    double* nxt[L];
    const double* pw[L];
    const double* pz[L];
    double spw[L], spz[L], s[L];
    const StepConstants c{t.nm1, t.tn1, t.step, tables.dup2};
    BirthFactor f[L];
    for (int l = 0; l < L; ++l) {
        f[l] = lanes[l].birth;
        cur[l] = lanes[l].out.grid + at;
        nxt[l] = lanes[l].out.grid + at + N;
        s[l] = 0.0;
        if (Internal) {
            pw[l] = lanes[l].w.grid + at;
            pz[l] = lanes[l].z.grid + at;
            spw[l] = lanes[l].w.sums[t.sum_offset + j];
            spz[l] = lanes[l].z.sums[t.sum_offset + j];
        }
    }
    if (N == 1) {
        for (int l = 0; l < L; ++l) {
            const double r = step_single(cur[l][0], A[0], B[0], Internal ? pw[l][0] : 0.0, Internal ? pz[l][0] : 0.0,
                                         Internal, t, tables.dup2, f[l]);
            nxt[l][0] = r;
            next_sum[l] = 0.0 + r;
        }
        return;
    }
    std::size_t k = 0;
    for (; k + 4 <= N; k += 4) {
        const Vec4 a = load4(A + k), b = load4(B + k);
        for (int l = 0; l < L; ++l) {
            Vec4 r;
            if (Internal) {
                r = step_internal<Vec4>(load4(cur[l] + k), a, b, load4(pw[l] + k), load4(pz[l] + k), sum[l], spw[l],
                                        spz[l], c, f[l]);
            } else {
                r = step_tip<Vec4>(load4(cur[l] + k), a, b, sum[l], c);
            }
            store4(nxt[l] + k, r);
            s[l] += r[0];
            s[l] += r[1];
            s[l] += r[2];
            s[l] += r[3];
        }
    }
    for (; k < N; ++k) {
        for (int l = 0; l < L; ++l) {
            double r;
            if (Internal) {
                r = step_internal<double>(cur[l][k], A[k], B[k], pw[l][k], pz[l][k], sum[l], spw[l], spz[l], c,
                                          f[l]);
            } else {
                r = step_tip<double>(cur[l][k], A[k], B[k], sum[l], c);
            }
            nxt[l][k] = r;
            s[l] += r;
        }
    }
    for (int l = 0; l < L; ++l) next_sum[l] = s[l];
}

// Computes L gene nodes completely: every slice, latest first. Compiled for
// two instruction sets, with identical arithmetic.
template <int L, bool Internal>
RECOLITE_DISPATCH void run_lanes(const Tables& tables, Lane* lanes) {
    double sum[L] = {}, next_sum[L] = {};
    for (std::size_t ti = 0; ti < tables.slices.size(); ++ti) {
        const SliceTable& t = tables.slices[ti];
        initial_rows<L, Internal>(t, lanes, sum);
        for (std::uint64_t j = 0; j < t.steps; ++j) {
            for (int l = 0; l < L; ++l) {
                Lane& lane = lanes[l];
                if (Internal && !(lane.uniform && lane.children_uniform)) prepare_birth(lane, t, j, sum[l]);
                lane.out.row_scale[t.row_offset + j] = lane.scale;
                lane.out.sums[t.sum_offset + j] = sum[l];
            }
            step_rows<L, Internal>(tables, t, j, lanes, sum, next_sum);
            for (int l = 0; l < L; ++l) {
                sum[l] = next_sum[l];
                if (needs_rescale_check(sum[l])) normalise_row(lanes[l], t, j + 1, sum[l]);
            }
        }
        const std::size_t last = t.grid_offset + t.steps * t.N;
        const std::size_t next_row0 = ti + 1 < tables.slices.size() ? tables.slices[ti + 1].grid_offset : 0;
        for (int l = 0; l < L; ++l) {
            Lane& lane = lanes[l];
            const double* row = lane.out.grid + last;
            double* next = lane.out.grid + next_row0;
            double* top = lane.out.top;
            for (const SliceTable::Handoff& h : t.handoff) next[h.to] = row[h.at];
            for (const std::uint32_t k : t.top_positions) top[t.branch[k]] = row[k];
            lane.out.row_scale[t.row_offset + t.steps] = lane.scale;
            if (!lane.uniform) {
                for (const std::uint32_t k : t.top_positions) lane.out.top_scale[t.branch[k]] = lane.scale;
            }
        }
    }
}

template <bool Internal>
void run_count(const Tables& tables, Lane* lanes, int count) {
    switch (count) {
        case 1: return run_lanes<1, Internal>(tables, lanes);
        case 2: return run_lanes<2, Internal>(tables, lanes);
        case 3: return run_lanes<3, Internal>(tables, lanes);
        default: return run_lanes<4, Internal>(tables, lanes);
    }
}

}  // namespace

void run_lanes(const Tables& tables, Lane* lanes, int count, bool internal) {
    if (internal) {
        run_count<true>(tables, lanes, count);
    } else {
        run_count<false>(tables, lanes, count);
    }
}


}  // namespace vornix::recolite::dated

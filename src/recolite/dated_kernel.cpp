#include "recolite/dated_kernel.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "recolite/simd.h"

namespace vornix::recolite::dated {

namespace {

// How far (in binary orders) a node's scale may sit from its children's
// before it follows them.
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
                                              const StepConstants& c, const Pow2Factor& f) {
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
                                                 const SliceTable& t, double dup2, const Pow2Factor& f) {
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

void set_birth_factor(Lane& lane, std::size_t ti) {
    const std::int64_t sw = lane.w.slice_scale[ti], sz = lane.z.slice_scale[ti];
    Pow2Factor f = Pow2Factor::of(lane.scale - sw - sz);
    // Each child's values move to half the node's scale: balanced children
    // then sit near 1 and their product near the node's values.
    const std::int64_t half = lane.scale / 2;
    const std::int64_t a = std::clamp<std::int64_t>(half - sw, -1000, 1000);
    const std::int64_t b = std::clamp<std::int64_t>(lane.scale - half - sz, -1000, 1000);
    f.w_part = pow2(static_cast<int>(a));
    f.z_part = pow2(static_cast<int>(b));
    lane.birth_factor = f;
}

// Called when the sum of row j of slice t (just formed) is small or large:
// when the row's largest value has left [kRescaleBelow, kRescaleAbove], the
// slice's rows so far are multiplied by one power of two.
template <bool Internal>
void maybe_rescale(Lane& lane, const SliceTable& t, std::size_t ti, std::uint64_t j, double& row_sum) {
    const std::size_t N = t.N;
    double* rows = lane.out.grid + t.grid_offset;
    const double row_max = max_abs(rows + j * N, N);
    if (!(row_max > 0.0) || !std::isfinite(row_max)) return;
    if (row_max >= kRescaleBelow && row_max <= kRescaleAbove) return;
    const int k = std::clamp(normalising_exponent(row_max), -1000, 1000);
    const double f = pow2(k);
    for (std::size_t i = 0; i < (j + 1) * N; ++i) rows[i] *= f;
    for (std::size_t i = 0; i < j; ++i) lane.out.sums[t.sum_offset + i] *= f;
    row_sum *= f;
    lane.scale += k;
    lane.uniform = false;
    if (Internal) set_birth_factor(lane, ti);
}

// The binary exponent of |x| (x != 0, finite) in true terms, for values
// stored at the given scale.
inline std::int64_t true_exponent(double x, std::int64_t scale) {
    int e = 0;
    std::frexp(x, &e);
    return e - scale;
}

// At the start of a slice, an internal node's own values (carried from the
// later slice) and its children's (which enter through the birth term and
// at species nodes) may have drifted apart in scale: children rescaled in
// later slices make their terms vanish, or overflow, at the node's scale.
// The node's scale then moves to where the larger of the two sits near 1;
// row 0 holds the values carried over so far. Magnitudes are judged by row
// sums (within a factor N of the largest value).
void follow_children(Lane& lane, const SliceTable& t, std::size_t ti, double own_sum) {
    if (t.steps == 0) return;
    const double sw = lane.w.sums[t.sum_offset], sz = lane.z.sums[t.sum_offset];
    const bool own = own_sum != 0.0 && std::isfinite(own_sum);
    const bool kids = sw != 0.0 && sz != 0.0 && std::isfinite(sw) && std::isfinite(sz);
    if (!own && !kids) return;
    std::int64_t top = INT64_MIN;
    if (own) top = std::max(top, true_exponent(own_sum, lane.scale));
    if (kids) top = std::max(top, true_exponent(sw, lane.w.slice_scale[ti]) + true_exponent(sz, lane.z.slice_scale[ti]));
    const std::int64_t k = -top - lane.scale;
    if (k > -kFollowMargin && k < kFollowMargin) return;
    double* row = lane.out.grid + t.grid_offset;
    for (std::size_t i = 0; i < t.N; ++i) row[i] = times_pow2(row[i], k);
    lane.scale += k;
    lane.uniform = false;
    set_birth_factor(lane, ti);
}

inline bool needs_rescale_check(double row_sum) {
    const double a = std::fabs(row_sum);
    return a < kRescaleBelow || a > kRescaleAbove;
}

// Row 0 of slice t for L nodes, from the values at the top of the later
// slice and, at species nodes ending here, from the children.
template <int L, bool Internal>
[[gnu::always_inline]] inline void initial_rows(const SliceTable& t, std::size_t ti, Lane* lanes, double* sum) {
    const std::size_t N = t.N;
    double* rows[L];
    for (int l = 0; l < L; ++l) {
        Lane& lane = lanes[l];
        double* row = rows[l] = lane.out.grid + t.grid_offset;
        const double* top = lane.out.top;
        if (lane.uniform && lane.children_uniform) {
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
            continue;
        }
        // Values of different scales, each brought to the lane's by an exact
        // power of two.
        const std::int64_t S = lane.scale;
        const std::int64_t* ts = lane.out.top_scale;
        for (const SliceTable::Carry& c : t.carry) row[c.pos] = times_pow2(top[c.branch], S - ts[c.branch]);
        for (const SliceTable::Ending& x : t.leaf_end) {
            row[x.pos] = (!Internal && lane.species == static_cast<std::int64_t>(x.branch)) ? times_pow2(1.0, S) : 0.0;
        }
        for (const SliceTable::Ending& x : t.internal_end) {
            const std::uint32_t cl = x.child_l, cr = x.child_r;
            double v = x.ext_r * times_pow2(top[cl], S - ts[cl]) + x.ext_l * times_pow2(top[cr], S - ts[cr]);
            if (Internal) {
                const NodeView &w = lane.w, &z = lane.z;
                v = v + (times_pow2(w.top[cl] * z.top[cr], S - w.top_scale[cl] - z.top_scale[cr]) +
                         times_pow2(w.top[cr] * z.top[cl], S - w.top_scale[cr] - z.top_scale[cl]));
            }
            row[x.pos] = v;
        }
    }
    double s[L] = {};
    for (std::size_t k = 0; k < N; ++k) {
        for (int l = 0; l < L; ++l) s[l] += rows[l][k];
    }
    for (int l = 0; l < L; ++l) {
        sum[l] = s[l];
        if (needs_rescale_check(s[l])) maybe_rescale<Internal>(lanes[l], t, ti, 0, sum[l]);
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
    Pow2Factor f[L];
    for (int l = 0; l < L; ++l) {
        f[l] = lanes[l].birth_factor;
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
                                         Internal, t, tables.dup2, lanes[l].birth_factor);
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
        if (Internal) {
            for (int l = 0; l < L; ++l) {
                set_birth_factor(lanes[l], ti);
                if (ti > 0) follow_children(lanes[l], t, ti, sum[l]);
            }
        }
        initial_rows<L, Internal>(t, ti, lanes, sum);
        for (std::uint64_t j = 0; j < t.steps; ++j) {
            for (int l = 0; l < L; ++l) lanes[l].out.sums[t.sum_offset + j] = sum[l];
            step_rows<L, Internal>(tables, t, j, lanes, sum, next_sum);
            for (int l = 0; l < L; ++l) {
                sum[l] = next_sum[l];
                if (needs_rescale_check(sum[l])) maybe_rescale<Internal>(lanes[l], t, ti, j + 1, sum[l]);
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
            lane.out.slice_scale[ti] = lane.scale;
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

#include "recolite/undated_wide.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace vornix::recolite::undated {

namespace {

// The mean of x over the other branches of b: all of them (undated, from the
// total), or b's recipient list (reldated).
Wide mean_over_others(const UndatedEngine& e, const std::vector<Wide>& x, const Wide& total, std::size_t b) {
    if (e.reldated) {
        const std::size_t count = e.recipient_count(b);
        if (count == 0) return Wide{};
        Wide s;
        for (std::size_t r = e.recipient_start[b]; r < e.recipient_start[b + 1]; ++r) s = s + x[e.recipient_list[r]];
        return s / Wide::of(static_cast<double>(count));
    }
    if (e.n < 2) return Wide{};
    return (total - x[b]) / Wide::of(static_cast<double>(e.n) - 1.0);
}

bool tiny(const Wide& p) { return !p.is_zero() && p.exponent() < -960; }

// m * 2^k for a mantissa m in [0.5, 1) and k <= 0, rounded once.
double scaled_down(double m, std::int64_t k) {
    if (k >= -1021) {
        std::uint64_t bits = static_cast<std::uint64_t>(1023 + k) << 52;
        double p = 0.0;
        std::memcpy(&p, &bits, sizeof p);
        return m * p;  // exact: the result is normal
    }
    return k < -1100 ? 0.0 * m : std::ldexp(m, static_cast<int>(k));
}

// Reldated: the mean of x (true values) over b's recipients. Each value is
// brought to one scale, chosen so that the largest lands in [0.5, 1) and so
// (values being probabilities) only ever scaled up, and the plain sum is
// taken there: the plain sum's bits while its terms are normal, and terms too
// small to matter are lost only below them.
Wide recipient_mean(const UndatedEngine& e, const std::vector<Wide>& x, std::size_t b) {
    const std::size_t begin = e.recipient_start[b], end = e.recipient_start[b + 1];
    if (begin == end) return Wide{};
    constexpr std::int64_t kNone = std::numeric_limits<std::int64_t>::min();
    std::int64_t top = kNone;
    for (std::size_t r = begin; r < end; ++r) {
        const Wide& v = x[e.recipient_list[r]];
        if (!v.is_zero()) top = std::max(top, v.e);
    }
    double sum = 0.0;
    if (top != kNone) {
        for (std::size_t r = begin; r < end; ++r) {
            const Wide& v = x[e.recipient_list[r]];
            if (!v.is_zero()) sum += scaled_down(v.m, v.e - top);  // adding +0 would change nothing
        }
    }
    return Wide::of(sum, top == kNone ? 0 : top) / Wide::of(static_cast<double>(end - begin));
}

// Reldated: the mean of a child's values over b's recipients. The mean formed
// in the frame serves while it lies well inside the normal range (a term it
// lost below that range could not have mattered); otherwise it is formed
// again from the true values.
Wide child_mean(const UndatedEngine& e, const Children& ch, const double* means, std::int64_t scale,
                const std::vector<Wide>& x, std::size_t b) {
    const double m = means[b];
    if (std::fabs(m) >= 0x1p-880 && std::fabs(m) <= 0x1p+1000) {
        return Wide::of(m, -(scale + ch.frame[b] - (*ch.shift)[b]));
    }
    return recipient_mean(e, x, b);
}

}  // namespace

bool tiny_probabilities(const UndatedEngine& e) {
    return tiny(e.w_dup) || tiny(e.w_transfer) || tiny(e.w_spec) || tiny(e.w_loss);
}

vornix::Outcome<std::vector<Wide>> wide_extinction(const UndatedEngine& e, vornix::Interrupt& stop) {
    const std::size_t n = e.n;
    std::vector<Wide> ext(n);
    const Wide threshold = Wide::of(kFixedPointTol);
    for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
        if (stop.poll_now()) return vornix::interrupted();
        Wide S;
        for (const Wide& x : ext) S = S + x;
        Wide maxd;
        for (std::size_t b = 0; b < n; ++b) {
            const Wide old = ext[b];
            const Wide ebar = mean_over_others(e, ext, S, b);
            const Wide c = e.is_leaf[b] ? Wide{} : ext[e.left[b]] * ext[e.right[b]];
            const Wide next = e.w_spec * c + (ebar * (e.w_transfer * old) + (e.w_loss + old * (e.w_dup * old)));
            ext[b] = next;
            S = S + (next - old);
            const Wide d = abs(next - old);
            if (maxd < d) maxd = d;
        }
        if (maxd < threshold) break;
    }
    return ext;
}

BranchTerms wide_branch_terms(const UndatedEngine& e) {
    const std::size_t n = e.n;
    Wide SE;
    for (const Wide& x : e.ext_wide) SE = SE + x;
    const Wide one = Wide::of(1.0), dup2 = Wide::of(2.0) * e.w_dup;
    BranchTerms t;
    t.denominator.resize(n);
    t.transfer_in.resize(n);
    t.transfer_in_wide.resize(n);
    for (std::size_t b = 0; b < n; ++b) {
        const Wide ebar = mean_over_others(e, e.ext_wide, SE, b);
        t.denominator[b] = ((one - dup2 * e.ext_wide[b]) - e.w_transfer * ebar).times(0);
        t.transfer_in_wide[b] = e.w_transfer * e.ext_wide[b];
        t.transfer_in[b] = t.transfer_in_wide[b].times(0);
    }
    return t;
}

void wide_internal_constant(const UndatedEngine& e, const Children& ch, WideScratch& s) {
    const std::size_t n = e.n;
    const Frame& frame = ch.frame;
    const double *w = ch.w, *z = ch.z;
    const std::int64_t w_scale = ch.w_scale, z_scale = ch.z_scale;
    std::vector<Wide>& W = s.w;
    std::vector<Wide>& Z = s.z;
    std::vector<Wide>& c = s.c;
    W.resize(n);
    Z.resize(n);
    for (std::size_t b = 0; b < n; ++b) {
        W[b] = node_value(frame, w, w_scale, b);
        Z[b] = node_value(frame, z, z_scale, b);
    }
    Wide sw, sz;
    if (!e.reldated) {
        for (std::size_t b = 0; b < n; ++b) sw = sw + W[b];
        for (std::size_t b = 0; b < n; ++b) sz = sz + Z[b];
    }
    const Wide dup2 = Wide::of(2.0) * e.w_dup, speciation = e.w_spec, transfer = e.w_transfer;
    c.assign(n, Wide{});
    for (std::size_t b = 0; b < n; ++b) {
        Wide v = (dup2 * W[b]) * Z[b];
        if (!e.is_leaf[b]) {
            const std::size_t l = static_cast<std::size_t>(e.left[b]), r = static_cast<std::size_t>(e.right[b]);
            v = v + speciation * (W[l] * Z[r] + W[r] * Z[l]);
        }
        if (!transfer.is_zero()) {
            const Wide wm = e.reldated ? child_mean(e, ch, ch.w_means, w_scale, W, b) : mean_over_others(e, W, sw, b);
            const Wide zm = e.reldated ? child_mean(e, ch, ch.z_means, z_scale, Z, b) : mean_over_others(e, Z, sz, b);
            v = v + transfer * (Z[b] * wm + W[b] * zm);
        }
        c[b] = v;
    }
}

JobScales place_constant(const Frame& frame, const std::vector<Wide>& c, double* out) {
    const std::size_t n = c.size();
    constexpr std::int64_t kNone = std::numeric_limits<std::int64_t>::min();
    std::int64_t top = kNone, top_true = kNone;
    for (std::size_t b = 0; b < n; ++b) {
        if (c[b].is_zero()) continue;
        top = std::max(top, c[b].exponent() + frame[b]);
        top_true = std::max(top_true, c[b].exponent());
    }
    JobScales s;
    if (top != kNone) {
        s.scale = -top;
        s.sum_scale = std::max<std::int64_t>(0, -top_true);
    }
    for (std::size_t b = 0; b < n; ++b) out[b] = c[b].times(s.scale + frame[b]);
    return s;
}

Wide wide_root_term(const UndatedEngine& e, const Frame& frame, const double* v, std::int64_t scale,
                    std::uint8_t origination) {
    if (origination != 1) return node_value(frame, v, scale, e.root);
    Wide sum;
    for (std::size_t b = 0; b < e.n; ++b) sum = sum + node_value(frame, v, scale, b);
    return sum / Wide::of(static_cast<double>(e.n));
}

}  // namespace vornix::recolite::undated

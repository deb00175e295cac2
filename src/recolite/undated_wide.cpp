#include "recolite/undated_wide.h"

#include <algorithm>
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

void wide_internal_constant(const UndatedEngine& e, const Frame& frame, const double* w, std::int64_t w_scale,
                            const double* z, std::int64_t z_scale, WideScratch& s) {
    const std::size_t n = e.n;
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
    const Wide dup2 = Wide::of(2.0) * e.w_dup, spec = e.w_spec, transfer = e.w_transfer;
    c.assign(n, Wide{});
    for (std::size_t b = 0; b < n; ++b) {
        Wide v = (dup2 * W[b]) * Z[b];
        if (!e.is_leaf[b]) {
            const std::size_t l = static_cast<std::size_t>(e.left[b]), r = static_cast<std::size_t>(e.right[b]);
            v = v + spec * (W[l] * Z[r] + W[r] * Z[l]);
        }
        if (!transfer.is_zero()) {
            v = v + transfer * (Z[b] * mean_over_others(e, W, sw, b) + W[b] * mean_over_others(e, Z, sz, b));
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

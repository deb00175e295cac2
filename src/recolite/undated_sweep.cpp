#include "recolite/undated_sweep.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

#include "recolite/scaled.h"
#include "recolite/simd.h"

namespace vornix::recolite::undated {

namespace {

constexpr int kGroups = kLanes / 4;

inline Vec4 abs4(Vec4 x) { return x < 0.0 ? -x : x; }

// One sweep over every branch for all lanes (values p and constant parts c,
// branch-major: entry b * kLanes + lane); stores each lane's largest change.
// With Offsets, values reach the running sum and the largest change through
// the lanes' factors to_sum, and the mean comes back through from_sum
// (undated), or each recipient's value through its list factor (reldated);
// every product is the plain one times a power of two, so each lane still
// undergoes the operations of a lone sweep. Compiled for two instruction
// sets; vectors cross the call through memory only, since the two pass them
// differently.
template <bool Reldated, bool Offsets>
RECOLITE_DISPATCH void sweep_lanes(const UndatedEngine& e, const SweepTables& t, double* p, const double* c,
                                   const double* to_sum, const double* from_sum, double* largest_change) {
    const std::size_t n = e.n;
    const double nm1 = static_cast<double>(n) - 1.0;
    const double p_spec = t.p_spec;
    Vec4 sp[kGroups] = {}, maxd[kGroups] = {};
    if (!Reldated) {
        for (std::size_t b = 0; b < n; ++b) {
            for (int g = 0; g < kGroups; ++g) {
                const std::size_t at = b * kLanes + 4 * g;
                sp[g] += Offsets ? load4(p + at) * load4(to_sum + at) : load4(p + at);
            }
        }
    }
    for (std::size_t b = 0; b < n; ++b) {
        double* const pb = p + b * kLanes;
        Vec4 pbar[kGroups] = {};
        if (Reldated) {
            const std::size_t rs = e.recipient_start[b], re = e.recipient_start[b + 1];
            if (rs != re) {
                Vec4 acc[kGroups] = {};
                for (std::size_t r = rs; r < re; ++r) {
                    const double* q = p + std::size_t{e.recipient_list[r]} * kLanes;
                    if (Offsets) {
                        const double f = t.recipient_factor[r];
                        for (int g = 0; g < kGroups; ++g) acc[g] += load4(q + 4 * g) * f;
                    } else {
                        for (int g = 0; g < kGroups; ++g) acc[g] += load4(q + 4 * g);
                    }
                }
                for (int g = 0; g < kGroups; ++g) pbar[g] = acc[g] / t.recipient_count[b];
            }
        } else if (n > 1) {
            for (int g = 0; g < kGroups; ++g) {
                const Vec4 own = Offsets ? load4(pb + 4 * g) * load4(to_sum + b * kLanes + 4 * g) : load4(pb + 4 * g);
                pbar[g] = (sp[g] - own) / nm1;
            }
        }
        Vec4 sl[kGroups] = {};
        if (!e.is_leaf[b]) {
            const double* pl = p + std::size_t{t.child_l[b]} * kLanes;
            const double* pr = p + std::size_t{t.child_r[b]} * kLanes;
            const double er = t.ext_r[b], el = t.ext_l[b];
            for (int g = 0; g < kGroups; ++g) sl[g] = p_spec * (load4(pl + 4 * g) * er + load4(pr + 4 * g) * el);
        }
        const double* cb = c + b * kLanes;
        const double ti = Offsets && Reldated ? t.transfer_in_shifted[b] : t.transfer_in[b];
        const double den = t.denominator[b];
        for (int g = 0; g < kGroups; ++g) {
            const Vec4 old = load4(pb + 4 * g);
            Vec4 next;
            if (Offsets && !Reldated) {
                next = ((sl[g] + load4(cb + 4 * g)) + pbar[g] * load4(from_sum + b * kLanes + 4 * g)) / den;
            } else {
                next = ((sl[g] + load4(cb + 4 * g)) + pbar[g] * ti) / den;
            }
            store4(pb + 4 * g, next);
            Vec4 d = next - old;
            if (Offsets) d = d * load4(to_sum + b * kLanes + 4 * g);
            if (!Reldated) sp[g] = sp[g] + d;
            const Vec4 ad = abs4(d);
            maxd[g] = ad > maxd[g] ? ad : maxd[g];
        }
    }
    for (int g = 0; g < kGroups; ++g) store4(largest_change + 4 * g, maxd[g]);
}

}  // namespace

double shifted(const Wide& x, std::int64_t k) {
    const double r = x.times(k);
    return std::isinf(r) && std::isfinite(x.m) ? std::copysign(DBL_MAX, x.m) : r;
}

SweepTables::SweepTables(const UndatedEngine& e, std::vector<std::int64_t> frame)
    : wide(e.has_offsets()), offset(std::move(frame)) {
    const std::size_t n = e.n;
    BranchTerms terms = branch_terms(e);
    denominator = std::move(terms.denominator);
    transfer_in = std::move(terms.transfer_in);
    p_spec = e.p_spec;
    // With offsets a tiny p_spec is held at a scale of its own, which the
    // children's extinction factors give back.
    std::int64_t spec_shift = 0;
    if (wide) {
        transfer_in_wide = std::move(terms.transfer_in_wide);
        if (!e.w_spec.is_zero() && e.w_spec.exponent() < -960) spec_shift = -e.w_spec.exponent();
        p_spec = e.w_spec.times(spec_shift);
    }
    ext_l.assign(n, 0.0);
    ext_r.assign(n, 0.0);
    child_l.assign(n, 0);
    child_r.assign(n, 0);
    recipient_count.assign(n, 0.0);
    const std::vector<std::int64_t>& o = offset;
    for (std::size_t b = 0; b < n; ++b) {
        if (e.reldated) recipient_count[b] = static_cast<double>(e.recipient_count(b));
        if (e.is_leaf[b]) continue;
        const std::size_t l = static_cast<std::size_t>(e.left[b]), r = static_cast<std::size_t>(e.right[b]);
        child_l[b] = static_cast<std::uint32_t>(l);
        child_r[b] = static_cast<std::uint32_t>(r);
        ext_l[b] = e.ext[l];
        ext_r[b] = e.ext[r];
        if (wide) {
            ext_r[b] = shifted(e.extinction_at(r), o[b] - o[l] - spec_shift);
            ext_l[b] = shifted(e.extinction_at(l), o[b] - o[r] - spec_shift);
        }
    }
    if (e.reldated && wide) {
        // A sender far below b in offset (a tiny transfer rate) would need a
        // factor beyond the range of doubles; part of it moves to the
        // transfer term, which is as tiny.
        recipient_factor.resize(e.recipient_list.size());
        transfer_in_shifted = transfer_in;
        recipient_shift.assign(n, 0);
        for (std::size_t b = 0; b < n; ++b) {
            std::int64_t largest = std::numeric_limits<std::int64_t>::min();
            for (std::size_t r = e.recipient_start[b]; r < e.recipient_start[b + 1]; ++r) {
                largest = std::max(largest, o[b] - o[e.recipient_list[r]]);
            }
            // No recipients: no shift (and no overflow of largest - 960).
            const std::int64_t shift = largest > 960 ? largest - 960 : 0;
            for (std::size_t r = e.recipient_start[b]; r < e.recipient_start[b + 1]; ++r) {
                recipient_factor[r] = shifted(Wide::of(1.0), o[b] - o[e.recipient_list[r]] - shift);
            }
            transfer_in_shifted[b] = shifted(transfer_in_wide[b], shift);
            recipient_shift[b] = shift;
        }
    }
}

RecipientGroups::RecipientGroups(const UndatedEngine& e, const SweepTables& t) {
    if (!e.reldated) return;
    const bool factors = !t.recipient_factor.empty();
    const std::size_t n = e.n;
    start.push_back(0);
    for (std::size_t b0 = 0; b0 < n; b0 += kWidth) {
        std::size_t longest = 0;
        for (std::size_t b = b0; b < std::min(n, b0 + kWidth); ++b) longest = std::max(longest, e.recipient_count(b));
        for (std::size_t k = 0; k < longest; ++k) {
            for (std::size_t i = 0; i < kWidth; ++i) {
                const std::size_t b = b0 + i;
                const bool real = b < n && k < e.recipient_count(b);
                index.push_back(real ? e.recipient_list[e.recipient_start[b] + k] : static_cast<std::uint32_t>(n));
                if (factors) factor.push_back(real ? t.recipient_factor[e.recipient_start[b] + k] : 0.0);
            }
        }
        start.push_back(index.size());
    }
}

void RecipientGroups::means(const SweepTables& t, std::size_t n, const double* x, double* mean) const {
    for (std::size_t g = 0; g + 1 < start.size(); ++g) {
        double acc[kWidth] = {};
        if (factor.empty()) {
            for (std::size_t at = start[g]; at < start[g + 1]; at += kWidth) {
                for (int i = 0; i < kWidth; ++i) acc[i] += x[index[at + i]];
            }
        } else {
            for (std::size_t at = start[g]; at < start[g + 1]; at += kWidth) {
                for (int i = 0; i < kWidth; ++i) acc[i] += x[index[at + i]] * factor[at + i];
            }
        }
        for (std::size_t i = 0; i < kWidth && g * kWidth + i < n; ++i) {
            const std::size_t b = g * kWidth + i;
            mean[b] = t.recipient_count[b] == 0.0 ? 0.0 : acc[i] / t.recipient_count[b];
        }
    }
}

RECOLITE_DISPATCH void means_over_others(const double* x, std::size_t n, double* mean) {
    if (n < 2) {
        for (std::size_t b = 0; b < n; ++b) mean[b] = 0.0;
        return;
    }
    double sum = 0.0;
    for (std::size_t b = 0; b < n; ++b) sum += x[b];
    const double nm1 = static_cast<double>(n) - 1.0;
    std::size_t b = 0;
    for (; b + 4 <= n; b += 4) store4(mean + b, (sum - load4(x + b)) / nm1);
    for (; b < n; ++b) mean[b] = (sum - x[b]) / nm1;
}

void internal_constant(const UndatedEngine& e, const SweepTables& t, const double* w, const double* wm,
                       const double* z, const double* zm, double* c) {
    const std::size_t n = e.n;
    const double dup2 = 2.0 * e.p_dup;
    for (std::size_t b = 0; b < n; ++b) {
        double v = (dup2 * w[b]) * z[b];
        if (!e.is_leaf[b]) {
            const std::uint32_t l = t.child_l[b], r = t.child_r[b];
            v = v + e.p_spec * (w[l] * z[r] + w[r] * z[l]);
        }
        if (e.p_transfer > 0.0) v = v + e.p_transfer * (z[b] * wm[b] + w[b] * zm[b]);
        c[b] = v;
    }
}

void Lanes::load(int lane, const double* c, std::int64_t scale, std::int64_t sum_scale) {
    load(lane, c);
    for (std::size_t b = 0; b < e_.n; ++b) {
        const std::int64_t at_branch = scale + t_.offset[b];
        to_sum_[b * kLanes + lane] = shifted(Wide::of(1.0), sum_scale - at_branch);
        from_sum_[b * kLanes + lane] = shifted(t_.transfer_in_wide[b], at_branch - sum_scale);
    }
}

void Lanes::sweep(double* largest_change) {
    const double* ts = to_sum_.data();
    const double* fs = from_sum_.data();
    if (t_.wide) {
        if (e_.reldated) {
            sweep_lanes<true, true>(e_, t_, p_.data(), c_.data(), ts, fs, largest_change);
        } else {
            sweep_lanes<false, true>(e_, t_, p_.data(), c_.data(), ts, fs, largest_change);
        }
    } else if (e_.reldated) {
        sweep_lanes<true, false>(e_, t_, p_.data(), c_.data(), ts, fs, largest_change);
    } else {
        sweep_lanes<false, false>(e_, t_, p_.data(), c_.data(), ts, fs, largest_change);
    }
}

}  // namespace vornix::recolite::undated

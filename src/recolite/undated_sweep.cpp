#include "recolite/undated_sweep.h"

#include <algorithm>
#include <cstring>

#include "recolite/simd.h"

namespace vornix::recolite::undated {

namespace {

constexpr int kGroups = kLanes / 4;

inline Vec4 abs4(Vec4 x) { return x < 0.0 ? -x : x; }

// One sweep over every branch for all lanes (values p and constant parts c,
// branch-major: entry b * kLanes + lane); stores each lane's largest change.
// Compiled for two instruction sets; vectors cross the call through memory
// only, since the two pass them differently.
template <bool Reldated>
RECOLITE_DISPATCH void sweep_lanes(const UndatedEngine& e, const SweepTables& t, double* p, const double* c,
                                   double* largest_change) {
    const std::size_t n = e.n;
    const double nm1 = static_cast<double>(n) - 1.0;
    const double p_spec = e.p_spec;
    Vec4 sp[kGroups] = {}, maxd[kGroups] = {};
    if (!Reldated) {
        for (std::size_t b = 0; b < n; ++b) {
            for (int g = 0; g < kGroups; ++g) sp[g] += load4(p + b * kLanes + 4 * g);
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
                    for (int g = 0; g < kGroups; ++g) acc[g] += load4(q + 4 * g);
                }
                for (int g = 0; g < kGroups; ++g) pbar[g] = acc[g] / t.recipient_count[b];
            }
        } else if (n > 1) {
            for (int g = 0; g < kGroups; ++g) pbar[g] = (sp[g] - load4(pb + 4 * g)) / nm1;
        }
        Vec4 sl[kGroups] = {};
        if (!e.is_leaf[b]) {
            const double* pl = p + std::size_t{t.child_l[b]} * kLanes;
            const double* pr = p + std::size_t{t.child_r[b]} * kLanes;
            const double er = t.ext_r[b], el = t.ext_l[b];
            for (int g = 0; g < kGroups; ++g) sl[g] = p_spec * (load4(pl + 4 * g) * er + load4(pr + 4 * g) * el);
        }
        const double* cb = c + b * kLanes;
        const double ti = t.transfer_in[b], den = t.denominator[b];
        for (int g = 0; g < kGroups; ++g) {
            const Vec4 old = load4(pb + 4 * g);
            const Vec4 next = ((sl[g] + load4(cb + 4 * g)) + pbar[g] * ti) / den;
            store4(pb + 4 * g, next);
            const Vec4 d = next - old;
            if (!Reldated) sp[g] = sp[g] + d;
            const Vec4 ad = abs4(d);
            maxd[g] = ad > maxd[g] ? ad : maxd[g];
        }
    }
    for (int g = 0; g < kGroups; ++g) store4(largest_change + 4 * g, maxd[g]);
}

}  // namespace

SweepTables::SweepTables(const UndatedEngine& e) {
    const std::size_t n = e.n;
    double SE = 0.0;
    for (const double x : e.ext) SE += x;
    denominator.resize(n);
    transfer_in.resize(n);
    ext_l.assign(n, 0.0);
    ext_r.assign(n, 0.0);
    child_l.assign(n, 0);
    child_r.assign(n, 0);
    recipient_count.assign(n, 0.0);
    for (std::size_t b = 0; b < n; ++b) {
        double ebar = 0.0;
        if (e.reldated) {
            const std::size_t count = e.recipient_count(b);
            recipient_count[b] = static_cast<double>(count);
            if (count > 0) {
                double s = 0.0;
                for (std::size_t r = e.recipient_start[b]; r < e.recipient_start[b + 1]; ++r) {
                    s += e.ext[e.recipient_list[r]];
                }
                ebar = s / recipient_count[b];
            }
        } else if (n > 1) {
            ebar = (SE - e.ext[b]) / (static_cast<double>(n) - 1.0);
        }
        denominator[b] = (1.0 - (2.0 * e.p_dup) * e.ext[b]) - e.p_transfer * ebar;
        transfer_in[b] = e.p_transfer * e.ext[b];
        if (!e.is_leaf[b]) {
            child_l[b] = static_cast<std::uint32_t>(e.left[b]);
            child_r[b] = static_cast<std::uint32_t>(e.right[b]);
            ext_l[b] = e.ext[e.left[b]];
            ext_r[b] = e.ext[e.right[b]];
        }
    }
}

RecipientGroups::RecipientGroups(const UndatedEngine& e) {
    if (!e.reldated) return;
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
            }
        }
        start.push_back(index.size());
    }
}

void RecipientGroups::means(const SweepTables& t, std::size_t n, const double* x, double* mean) const {
    for (std::size_t g = 0; g + 1 < start.size(); ++g) {
        double acc[kWidth] = {};
        for (std::size_t at = start[g]; at < start[g + 1]; at += kWidth) {
            for (int i = 0; i < kWidth; ++i) acc[i] += x[index[at + i]];
        }
        for (std::size_t i = 0; i < kWidth && g * kWidth + i < n; ++i) {
            const std::size_t b = g * kWidth + i;
            mean[b] = t.recipient_count[b] == 0.0 ? 0.0 : acc[i] / t.recipient_count[b];
        }
    }
}

// The constant part of an internal gene node with children values w and z
// (both at their own scales): duplication on b (both orders), speciation at
// b, and one child transferred in from another branch. In reldated mode wm
// and zm are the children's means over each branch's recipients.
void internal_constant(const UndatedEngine& e, const SweepTables& t, const double* w, const double* wm,
                       const double* z, const double* zm, double* c) {
    const std::size_t n = e.n;
    double sw = 0.0, sz = 0.0;
    if (!e.reldated) {
        for (std::size_t b = 0; b < n; ++b) sw += w[b];
        for (std::size_t b = 0; b < n; ++b) sz += z[b];
    }
    const double dup2 = 2.0 * e.p_dup;
    const double nm1 = static_cast<double>(n) - 1.0;
    for (std::size_t b = 0; b < n; ++b) {
        double v = (dup2 * w[b]) * z[b];
        if (!e.is_leaf[b]) {
            const std::uint32_t l = t.child_l[b], r = t.child_r[b];
            v = v + e.p_spec * (w[l] * z[r] + w[r] * z[l]);
        }
        if (e.p_transfer > 0.0) {
            double w_other = 0.0, z_other = 0.0;
            if (e.reldated) {
                w_other = wm[b];
                z_other = zm[b];
            } else if (n > 1) {
                w_other = (sw - w[b]) / nm1;
                z_other = (sz - z[b]) / nm1;
            }
            v = v + e.p_transfer * (z[b] * w_other + w[b] * z_other);
        }
        c[b] = v;
    }
}

void Lanes::sweep(double* largest_change) {
    if (e_.reldated) {
        sweep_lanes<true>(e_, t_, p_.data(), c_.data(), largest_change);
    } else {
        sweep_lanes<false>(e_, t_, p_.data(), c_.data(), largest_change);
    }
}

}  // namespace vornix::recolite::undated

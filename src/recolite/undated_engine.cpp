#include "recolite/undated_engine.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "recolite/undated_offsets.h"
#include "recolite/undated_wide.h"

namespace vornix::recolite {

namespace {

std::string check_species(const SpeciesArrays& sp, bool reldated) {
    const std::size_t n = sp.left.size();
    struct Named {
        const char* name;
        std::size_t size;
    };
    std::vector<Named> arrays = {{"sp_right", sp.right.size()}, {"sp_is_leaf", sp.is_leaf.size()}};
    if (reldated) {
        arrays.push_back({"sp_time", sp.time.size()});
        arrays.push_back({"sp_parent_time", sp.parent_time.size()});
    }
    for (const auto& a : arrays) {
        if (a.size < n) {
            return std::string(a.name) + " has " + std::to_string(a.size) + " entries, fewer than the " +
                   std::to_string(n) + " species nodes (the length of sp_left)";
        }
    }
    return check_species_children(n, sp);
}

}  // namespace

vornix::Outcome<UndatedEngine> UndatedEngine::build(SpeciesArrays&& sp, std::uint8_t transfers, double dup,
                                                    double transfer, double loss, vornix::Interrupt* interrupt) {
    vornix::Interrupt never;
    vornix::Interrupt& stop = interrupt != nullptr ? *interrupt : never;
    const bool reldated = transfers == 1;
    if (std::string msg = check_species(sp, reldated); !msg.empty()) return vornix::value_error(msg);

    UndatedEngine e;
    e.n = sp.left.size();
    e.root = sp.root;
    e.reldated = reldated;
    const double D = ((dup + 1.0) + transfer) + loss;
    e.p_dup = dup / D;
    e.p_transfer = transfer / D;
    e.p_spec = 1.0 / D;
    const double p_loss = loss / D;
    const Wide wD = ((Wide::of(dup) + Wide::of(1.0)) + Wide::of(transfer)) + Wide::of(loss);
    e.w_dup = Wide::of(dup) / wD;
    e.w_transfer = Wide::of(transfer) / wD;
    e.w_spec = Wide::of(1.0) / wD;
    e.w_loss = Wide::of(loss) / wD;
    const std::size_t n = e.n;

    if (reldated) {
        // Two branches are recipients of each other when they coexist for
        // longer than a tolerance relative to the tree's extent (a NaN time
        // is ignored by the min and max, as it is by the extent).
        double latest = 1.0;
        for (const double t : sp.time) {
            if (t > latest) latest = t;
        }
        const double tol = 1e-9 * latest;
        e.recipient_start.assign(n + 1, 0);
        for (std::size_t i = 0; i < n; ++i) {
            if (stop.poll_now()) return vornix::interrupted();
            for (std::size_t j = 0; j < n; ++j) {
                if (j != i && std::fmin(sp.time[i], sp.time[j]) - std::fmax(sp.parent_time[i], sp.parent_time[j]) > tol) {
                    e.recipient_list.push_back(static_cast<std::uint32_t>(j));
                }
            }
            e.recipient_start[i + 1] = e.recipient_list.size();
        }
    }
    e.left = std::move(sp.left);
    e.right = std::move(sp.right);
    e.is_leaf = std::move(sp.is_leaf);

    // Extinction: Gauss-Seidel sweeps, children (earlier in post-order) seen
    // with their values of the same sweep.
    std::vector<double>& ext = e.ext;
    ext.assign(n, 0.0);
    const double nm1 = static_cast<double>(n) - 1.0;
    for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
        if (stop.poll_now()) return vornix::interrupted();
        double S = 0.0;
        for (const double x : ext) S += x;
        double maxd = 0.0;
        for (std::size_t b = 0; b < n; ++b) {
            const double old = ext[b];
            double ebar = 0.0;
            if (reldated) {
                const std::size_t count = e.recipient_count(b);
                if (count > 0) {
                    double s = 0.0;
                    for (std::size_t r = e.recipient_start[b]; r < e.recipient_start[b + 1]; ++r) s += ext[e.recipient_list[r]];
                    ebar = s / static_cast<double>(count);
                }
            } else if (n > 1) {
                ebar = (S - old) / nm1;
            }
            const double c = e.is_leaf[b] ? 0.0 : ext[e.left[b]] * ext[e.right[b]];
            const double next = e.p_spec * c + (ebar * (e.p_transfer * old) + (p_loss + old * (e.p_dup * old)));
            ext[b] = next;
            S += next - old;
            const double d = std::fabs(next - old);
            if (d > maxd) maxd = d;
        }
        if (maxd < kFixedPointTol) break;
    }
    const bool tiny = undated::tiny_probabilities(e);
    if (tiny) {
        auto ext_wide = undated::wide_extinction(e, stop);
        if (!ext_wide.ok()) return ext_wide.error();
        e.ext_wide = std::move(ext_wide.value());
    }
    auto offsets = undated::branch_offsets(e, branch_terms(e), stop);
    if (!offsets.ok()) return offsets.error();
    e.offset = std::move(offsets.value());
    if (tiny && e.offset.empty()) e.offset.assign(n, 0);
    return e;
}

BranchTerms branch_terms(const UndatedEngine& e) {
    if (!e.ext_wide.empty()) return undated::wide_branch_terms(e);
    const std::size_t n = e.n;
    double SE = 0.0;
    for (const double x : e.ext) SE += x;
    BranchTerms t;
    t.denominator.resize(n);
    t.transfer_in.resize(n);
    for (std::size_t b = 0; b < n; ++b) {
        double ebar = 0.0;
        if (e.reldated) {
            const std::size_t count = e.recipient_count(b);
            if (count > 0) {
                double s = 0.0;
                for (std::size_t r = e.recipient_start[b]; r < e.recipient_start[b + 1]; ++r) {
                    s += e.ext[e.recipient_list[r]];
                }
                ebar = s / static_cast<double>(count);
            }
        } else if (n > 1) {
            ebar = (SE - e.ext[b]) / (static_cast<double>(n) - 1.0);
        }
        t.denominator[b] = (1.0 - (2.0 * e.p_dup) * e.ext[b]) - e.p_transfer * ebar;
        t.transfer_in[b] = e.p_transfer * e.ext[b];
    }
    t.transfer_in_wide.resize(n);
    for (std::size_t b = 0; b < n; ++b) t.transfer_in_wide[b] = e.w_transfer * Wide::of(e.ext[b]);
    return t;
}

std::string UndatedEngine::check_origination(std::uint8_t origination) const {
    if (origination != 1 && root >= n) {
        return "sp_root " + std::to_string(root) + " is not a species node (the length of sp_left is " +
               std::to_string(n) + ")";
    }
    return {};
}

double UndatedEngine::log_extinction(std::uint8_t origination) const {
    if (ext_wide.empty()) {
        const double P = extinction(origination);
        return P > 0.0 ? std::log(P) : -std::numeric_limits<double>::infinity();
    }
    if (origination != 1) return wide_log(ext_wide[root]);
    Wide sum;
    for (const Wide& x : ext_wide) sum = sum + x;
    return wide_log(sum / Wide::of(static_cast<double>(n)));
}

double UndatedEngine::extinction(std::uint8_t origination) const {
    if (origination == 1) {
        double sum = 0.0;
        for (const double x : ext) sum += x;
        return sum / static_cast<double>(n);
    }
    return ext[root];
}

}  // namespace vornix::recolite

#include "recolite/dated_engine.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <string>

namespace vornix::recolite {

namespace {

// The node time rounded to twelve decimals, so that times equal up to
// representation error give one breakpoint.
double snap_time(double t) { return std::round(t * 1e12) / 1e12; }

// ceil(x) as a step count; NaN and negatives give 0, huge values saturate.
std::uint64_t ceil_to_count(double x) {
    const double c = std::ceil(x);
    if (!(c > 0.0)) return 0;
    if (c >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(c);
}

std::string check_species(std::uint64_t n, const SpeciesArrays& sp) {
    const struct {
        const char* name;
        std::size_t size;
    } arrays[] = {{"sp_left", sp.left.size()},
                  {"sp_right", sp.right.size()},
                  {"sp_is_leaf", sp.is_leaf.size()},
                  {"sp_time", sp.time.size()},
                  {"sp_parent_time", sp.parent_time.size()}};
    for (const auto& a : arrays) {
        if (a.size < n) {
            return std::string(a.name) + " has " + std::to_string(a.size) + " entries, fewer than the " +
                   std::to_string(n) + " species nodes";
        }
    }
    if (std::string msg = check_species_children(n, sp); !msg.empty()) return msg;
    for (const double t : sp.time) {
        if (std::isnan(t)) return "sp_time contains NaN";
    }
    return {};
}

// Sorted, de-duplicated breakpoints: every snapped node time, and 0.
std::vector<double> breakpoints(const std::vector<double>& time) {
    std::vector<double> points;
    points.reserve(time.size() + 1);
    for (const double t : time) points.push_back(snap_time(t));
    points.push_back(0.0);
    std::stable_sort(points.begin(), points.end());
    points.erase(std::unique(points.begin(), points.end()), points.end());
    return points;
}

// One explicit Euler step, backwards in time, of the extinction probabilities
// of the N branches of a slice: decay at the total rate, loss, duplication
// into two doomed copies, and transfer to one of the other N - 1 branches.
void extinction_step(const Engine& e, const double* E, double* next, std::size_t N, double step) {
    if (N == 1) {
        const double x = E[0];
        next[0] = x - step * ((e.total_rate * x - e.loss) - x * (e.dup * x));
        return;
    }
    double S = 0.0;
    for (std::size_t k = 0; k < N; ++k) S += E[k];
    const double nm1 = static_cast<double>(N - 1);
    for (std::size_t k = 0; k < N; ++k) {
        const double x = E[k];
        next[k] = x - step * (((e.total_rate * x - e.loss) - x * (e.dup * x)) - (e.transfer * x) * ((S - x) / nm1));
    }
}

}  // namespace

vornix::Outcome<Engine> Engine::build(std::uint64_t n, SpeciesArrays&& sp, double dup, double transfer, double loss,
                                      std::uint64_t n_steps, vornix::Interrupt* interrupt) {
    if (std::string msg = check_species(n, sp); !msg.empty()) return vornix::value_error(msg);

    Engine e;
    e.n = n;
    e.root = sp.root;
    e.dup = dup;
    e.transfer = transfer;
    e.loss = loss;
    e.total_rate = (dup + transfer) + loss;
    e.left = std::move(sp.left);
    e.right = std::move(sp.right);
    e.is_leaf = std::move(sp.is_leaf);
    e.time = std::move(sp.time);
    const std::vector<double> parent_time = std::move(sp.parent_time);

    e.branch_length.resize(n);
    for (std::uint64_t i = 0; i < n; ++i) e.branch_length[i] = e.time[i] - parent_time[i];

    const std::vector<double> points = breakpoints(e.time);
    std::uint64_t grid_values = 0;
    e.slices.resize(points.size() - 1);
    for (std::size_t k = 0; k + 1 < points.size(); ++k) {
        const double t0 = points[k], t1 = points[k + 1];
        Slice& s = e.slices[k];
        for (std::uint64_t i = 0; i < n; ++i) {
            if (parent_time[i] <= t0 + kTimeTol && e.time[i] >= t1 - kTimeTol && e.branch_length[i] > kTimeTol) {
                s.branches.push_back(static_cast<std::uint32_t>(i));
            }
        }
        const double dt = t1 - t0;
        s.steps = dt > 0.0 ? std::max(n_steps, ceil_to_count(e.total_rate * dt * 4)) : 1;
        s.step = dt / static_cast<double>(s.steps);
        s.t_end = t1;
        // A slice without branches holds no values and is never stepped through.
        if (s.size() == 0) continue;
        if (s.steps >= kMaxGridValues || (s.steps + 1) * s.size() > kMaxGridValues - grid_values) {
            return vornix::value_error("the time grid needs more than " + std::to_string(kMaxGridValues) +
                                       " values (slice of " + std::to_string(s.size()) + " branches and " +
                                       std::to_string(s.steps) + " steps); lower n_steps or the rates");
        }
        grid_values += (s.steps + 1) * s.size();
    }

    // Extinction, from the present back to the root. E_cur[b] is the value at
    // the earliest time reached so far on branch b.
    std::vector<double> e_cur(n, 0.0);
    for (std::size_t k = e.slices.size(); k-- > 0;) {
        Slice& s = e.slices[k];
        const std::size_t N = s.size();
        if (N == 0) continue;
        if (interrupt != nullptr && interrupt->poll_now()) return vornix::interrupted();
        s.ext.resize((s.steps + 1) * N);
        double* row = s.ext.data();
        for (std::size_t i = 0; i < N; ++i) {
            const std::uint32_t b = s.branches[i];
            if (std::fabs(e.time[b] - s.t_end) < kTimeTol) {
                row[i] = e.is_leaf[b] ? 0.0 : e_cur[e.left[b]] * e_cur[e.right[b]];
            } else {
                row[i] = e_cur[b];
            }
        }
        for (std::uint64_t j = 0; j < s.steps; ++j, row += N) extinction_step(e, row, row + N, N, s.step);
        for (std::size_t i = 0; i < N; ++i) e_cur[s.branches[i]] = row[i];
    }
    e.ext_top = std::move(e_cur);
    return e;
}

std::string Engine::check_origination(std::uint8_t origination) const {
    if (origination == 1) {
        if (time.size() > n) {
            return "uniform origination averages over one branch per entry of sp_time, but sp_time has " +
                   std::to_string(time.size()) + " entries for " + std::to_string(n) + " species nodes";
        }
        return {};
    }
    if (root >= n) {
        return "sp_root " + std::to_string(root) + " is not a species node (0.." + std::to_string(n) + "-1)";
    }
    if (is_leaf[root]) {
        return "sp_root " + std::to_string(root) +
               " is a leaf: root origination needs the two children of the species root";
    }
    return {};
}

double Engine::extinction(std::uint8_t origination) const {
    if (origination == 1) {
        double sum = 0.0;
        std::uint64_t count = 0;
        for (std::size_t b = 0; b < time.size(); ++b) {
            if (branch_length[b] > kTimeTol) {
                sum += ext_top[b];
                ++count;
            }
        }
        return sum / static_cast<double>(count);
    }
    return ext_top[left[root]] * ext_top[right[root]];
}

double Engine::log_extinction(std::uint8_t origination) const {
    const double P = extinction(origination);
    if (P >= DBL_MIN) return std::log(P);
    if (origination != 1) {
        // Two small probabilities whose product underflows.
        const double a = ext_top[left[root]], b = ext_top[right[root]];
        if (a > 0.0 && b > 0.0) return std::log(a) + std::log(b);
    }
    return P > 0.0 ? std::log(P) : -std::numeric_limits<double>::infinity();
}

}  // namespace vornix::recolite

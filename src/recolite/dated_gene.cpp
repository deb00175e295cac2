// The dated gene-tree recursion. For every gene node, from the tips to the
// root, the probability of its subtree given a lineage on each alive branch
// is carried back through the slices with the Euler scheme of the engine.
//
// Several gene nodes (from different trees) are swept in lockstep: each
// node's values follow exactly the operations of a lone sweep, but the
// running sums of independent nodes interleave instead of waiting on one
// another.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "recolite/dated_engine.h"
#include "recolite/scaled.h"
#include "recolite/simd.h"

namespace recolite {

namespace {

constexpr int kLanes = 4;
// How far (in binary orders) a node's scale may sit from its children's
// before it follows them.
constexpr std::int64_t kFollowMargin = 200;

// What the recursion needs of one slice with at least one branch.
struct SliceTable {
    std::size_t N = 0;
    std::uint64_t steps = 0;
    double step = 0.0;
    double nm1 = 0.0;              // N - 1
    double tn1 = 0.0;              // transfer / (N - 1)
    std::size_t grid_offset = 0;   // row 0 of this slice in a node's grid
    std::size_t sum_offset = 0;    // sum of row 0 in a node's row sums
    // Per row j < steps and branch k (row-major): the coefficient of P[k] and
    // the weight of the mean of the other branches, from the extinction grid.
    std::vector<double> a, b;
    std::vector<std::uint32_t> branch;  // the slice's branches, by position
    // The initial vector at t_end, by the kind of branch at each position:
    // one that carries on from the later slice takes its top value; a species
    // leaf ending here starts the tip mapped to it; an internal node ending
    // here combines its children's tops.
    struct Carry {
        std::uint32_t pos, branch;
    };
    struct Ending {
        std::uint32_t pos, branch, child_l, child_r;
        double ext_l, ext_r;  // ext_top of the children
    };
    std::vector<Carry> carry;  // carried values not handed over directly
    std::vector<Ending> leaf_end, internal_end;
    // At the end of the slice: the values of branches that go on into the
    // next slice processed are copied straight into its row 0 (at, to); the
    // others are the tops, kept for the species nodes above them, the parent
    // gene node and the root term.
    struct Handoff {
        std::uint32_t at, to;
    };
    std::vector<Handoff> handoff;
    std::vector<std::uint32_t> top_positions;
};

// The recursion's view of the engine: slices latest first, and the size of a
// node's storage (grid rows, the sums of rows 0 .. steps-1, and the tops).
struct Tables {
    std::vector<SliceTable> slices;
    std::size_t grid_size = 0, sum_size = 0, top_size = 0;
    double dup2 = 0.0;  // 2 * dup
    std::vector<std::uint32_t> uniform_branches;  // branches of positive length

    void link_slices(std::size_t n_branches);

    explicit Tables(const Engine& e) {
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
            grid_size += (s.steps + 1) * N;
            sum_size += s.steps;
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
};

// Carried values go straight from the end of one slice to the start of the
// next; a value whose top is read at the start of the next slice (a child of
// a species node ending there) is still written to the tops as well.
inline void Tables::link_slices(std::size_t n_branches) {
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

// One gene node's storage: its grid (rows of every slice), the sums of the
// rows a step reads, and its top values; with the scale of each slice's rows
// and of each top value (values are the true ones times 2^scale). A node's
// values can span far more than the range of one double across slices (a
// large subtree is nearly impossible near the present and likely further
// back), so each slice carries its own scale.
struct NodeBuffer {
    std::unique_ptr<double[]> values;
    std::unique_ptr<std::int64_t[]> scales;
};

struct NodeView {
    double* grid = nullptr;
    double* sums = nullptr;
    double* top = nullptr;
    std::int64_t* slice_scale = nullptr;  // by slice, in processing order
    std::int64_t* top_scale = nullptr;    // by branch
};

// One gene node being computed.
struct Lane {
    NodeBuffer* buffer = nullptr;  // where out lives
    NodeView out;
    NodeView w, z;              // the children of an internal node
    bool children_uniform = true;
    std::int64_t species = -1;  // tips: the species leaf, -1 for none
    std::int64_t scale = 0;     // of the rows of the current slice
    bool uniform = true;        // no rescaling so far: one scale throughout
    Pow2Factor birth_factor;    // 2^(scale - scales of the children's rows)
};

// One Euler step for one position (scalar) or four (Vec4): decay, duplication
// or transfer followed by loss of one copy, transfer in from another branch
// whose donor copy dies, and the birth term M of an internal node.
// The per-slice constants of a step, held in locals so that the compiler
// need not reload them around every store.
struct StepConstants {
    double nm1, tn1, step, dup2;
};

template <class T>
[[gnu::always_inline]] inline T step_internal(T p, T a, T b, T pw, T pz, double sp, double spw, double spz,
                                              const StepConstants& c, const Pow2Factor& f) {
    const T pbar = (sp - p) / c.nm1;
    const T inner = p * a - b * pbar;
    T m = (c.dup2 * pw) * pz + c.tn1 * ((spw - pw) * pz + pw * (spz - pz));
    if (f.active) m = (m * f.first) * f.second;
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
    const double m = internal ? f.apply((dup2 * pw) * pz) : 0.0;
    return (p - t.step * inner) + t.step * m;
}

double max_abs(const double* x, std::size_t count) {
    double m = 0.0;
    for (std::size_t i = 0; i < count; ++i) m = std::max(m, std::fabs(x[i]));
    return m;
}

void set_birth_factor(Lane& lane, std::size_t ti) {
    lane.birth_factor = Pow2Factor::of(lane.scale - lane.w.slice_scale[ti] - lane.z.slice_scale[ti]);
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
void run_lanes(const Tables& tables, Lane* lanes, int count) {
    switch (count) {
        case 1: return run_lanes<1, Internal>(tables, lanes);
        case 2: return run_lanes<2, Internal>(tables, lanes);
        case 3: return run_lanes<3, Internal>(tables, lanes);
        default: return run_lanes<4, Internal>(tables, lanes);
    }
}

// A computed gene node.
struct NodeValues {
    NodeBuffer* buffer = nullptr;
    bool uniform = true;  // one scale for all its values (then every slice's)
    bool owned = false;   // false for the shared values of a tip
};

// Terms a * 2^-scale added in order, exactly as the unscaled terms would be
// while everything stays in range: each is brought to a common scale chosen
// so that the largest lands near 1.
struct ScaledSum {
    std::vector<std::pair<double, std::int64_t>> terms;

    double value_at(std::int64_t* scale) const {
        // The common scale: the one that brings the largest true term to
        // about 1 (frexp exponents compared after removing each scale).
        bool any = false;
        std::int64_t best = 0;
        for (const auto& [v, s] : terms) {
            if (!(v != 0.0) || !std::isfinite(v)) continue;
            int e = 0;
            std::frexp(v, &e);
            const std::int64_t true_exp = e - s;
            if (!any || true_exp > best) best = true_exp;
            any = true;
        }
        std::int64_t common = terms.empty() ? 0 : terms.front().second;
        if (any) common = -best;
        double total = 0.0;
        for (const auto& [v, s] : terms) total += times_pow2(v, common - s);
        *scale = common;
        return total;
    }
};

// Scores trees against one engine: tip values are computed once per species,
// node storage is recycled, and up to kLanes trees advance together.
class Scorer {
public:
    explicit Scorer(const Engine& e) : e_(e), tables_(e), tips_(e.n + 1) {}

    std::vector<double> score(const std::vector<GeneTree>& trees, std::uint8_t origination) {
        std::vector<double> out(trees.size(), 0.0);
        std::vector<Run> active;
        std::size_t next_tree = 0;
        Lane lanes[kLanes];
        Run* lane_run[kLanes];
        for (;;) {
            while (active.size() < kLanes && next_tree < trees.size()) {
                active.push_back(start(trees[next_tree], next_tree));
                ++next_tree;
            }
            // Every active tree offers its next internal node; a finished tree
            // is scored and its place taken by the next one.
            for (std::size_t r = 0; r < active.size();) {
                Run& run = active[r];
                while (run.cursor < run.tree->m && run.tree->is_leaf[run.cursor]) ++run.cursor;
                if (run.cursor < run.tree->m) {
                    ++r;
                    continue;
                }
                out[run.index] = root_loglik(run, origination);
                finish(run);
                active.erase(active.begin() + static_cast<std::ptrdiff_t>(r));
                if (next_tree < trees.size()) {
                    active.push_back(start(trees[next_tree], next_tree));
                    ++next_tree;
                }
            }
            if (active.empty()) break;
            int count = 0;
            for (Run& run : active) {
                lane_run[count] = &run;
                prepare(lanes[count], run);
                ++count;
            }
            run_lanes<true>(tables_, lanes, count);
            for (int l = 0; l < count; ++l) complete(*lane_run[l], lanes[l]);
        }
        return out;
    }

private:
    struct Run {
        const GeneTree* tree = nullptr;
        std::size_t index = 0;
        std::size_t cursor = 0;  // next node to compute
        std::vector<NodeValues> nodes;
    };

    NodeView view(NodeBuffer* b) const {
        NodeView v;
        v.grid = b->values.get();
        v.sums = v.grid + tables_.grid_size;
        v.top = v.sums + tables_.sum_size;
        v.slice_scale = b->scales.get();
        v.top_scale = v.slice_scale + tables_.slices.size();
        return v;
    }

    // Fresh storage with all tops at 0 (a branch in no slice keeps 0), and
    // every top's scale at the node's starting one: while the node keeps one
    // scale, top scales are not written.
    NodeBuffer* acquire(std::int64_t base_scale) {
        NodeBuffer* b;
        if (!free_.empty()) {
            b = free_.back();
            free_.pop_back();
        } else {
            storage_.push_back(std::make_unique<NodeBuffer>());
            b = storage_.back().get();
            b->values = std::make_unique<double[]>(tables_.grid_size + tables_.sum_size + tables_.top_size);
            b->scales = std::make_unique<std::int64_t[]>(tables_.slices.size() + tables_.top_size);
        }
        const NodeView v = view(b);
        std::fill(v.top, v.top + tables_.top_size, 0.0);
        std::fill(v.top_scale, v.top_scale + tables_.top_size, base_scale);
        return b;
    }

    void release(NodeValues& v) {
        if (v.owned && v.buffer != nullptr) free_.push_back(v.buffer);
        v = NodeValues{};
    }

    // The values of a tip in species s, computed on first use.
    NodeValues tip(std::int64_t s) {
        const std::int64_t key = (s >= 0 && static_cast<std::uint64_t>(s) < e_.n && e_.is_leaf[s]) ? s : -1;
        NodeValues& slot = tips_[static_cast<std::size_t>(key + 1)];
        if (slot.buffer == nullptr) {
            slot.buffer = acquire(0);
            Lane lane;
            lane.buffer = slot.buffer;
            lane.out = view(slot.buffer);
            lane.species = key;
            run_lanes<false>(tables_, &lane, 1);
            slot.uniform = lane.uniform;
        }
        return slot;
    }

    Run start(const GeneTree& tree, std::size_t index) {
        Run run;
        run.tree = &tree;
        run.index = index;
        run.nodes.resize(tree.m);
        for (std::size_t u = 0; u < tree.m; ++u) {
            if (tree.is_leaf[u]) run.nodes[u] = tip(tree.species[u]);
        }
        return run;
    }

    void prepare(Lane& lane, Run& run) {
        const std::size_t u = run.cursor;
        const NodeValues& w = run.nodes[run.tree->left[u]];
        const NodeValues& z = run.nodes[run.tree->right[u]];
        lane = Lane{};
        lane.w = view(w.buffer);
        lane.z = view(z.buffer);
        lane.children_uniform = w.uniform && z.uniform;
        lane.scale = tables_.slices.empty() ? 0 : lane.w.slice_scale[0] + lane.z.slice_scale[0];
        lane.buffer = acquire(lane.scale);
        lane.out = view(lane.buffer);
    }

    void complete(Run& run, const Lane& lane) {
        const std::size_t u = run.cursor;
        run.nodes[u] = {lane.buffer, lane.uniform, true};
        if (u != run.tree->root()) {
            // The children's values are needed by no one else; the root's
            // children stay for the root term.
            release(run.nodes[run.tree->left[u]]);
            release(run.nodes[run.tree->right[u]]);
        }
        ++run.cursor;
    }

    void finish(Run& run) {
        for (NodeValues& v : run.nodes) release(v);
    }

    double root_loglik(const Run& run, std::uint8_t origination) const {
        const GeneTree& tree = *run.tree;
        const std::size_t g = tree.root();
        const NodeValues& gv = run.nodes[g];
        const NodeView G = view(gv.buffer);
        const bool internal = !tree.is_leaf[g];
        NodeView W, Z;
        bool uniform = gv.uniform;
        if (internal) {
            W = view(run.nodes[tree.left[g]].buffer);
            Z = view(run.nodes[tree.right[g]].buffer);
            uniform = uniform && run.nodes[tree.left[g]].uniform && run.nodes[tree.right[g]].uniform;
        }
        if (origination == 1) {
            const double count = static_cast<double>(tables_.uniform_branches.size());
            if (uniform) {
                double sum = 0.0;
                for (const std::uint32_t b : tables_.uniform_branches) sum += G.top[b];
                return scaled_log(sum / count, base_scale(G));
            }
            ScaledSum sum;
            for (const std::uint32_t b : tables_.uniform_branches) sum.terms.push_back({G.top[b], G.top_scale[b]});
            std::int64_t scale = 0;
            const double total = sum.value_at(&scale);
            return scaled_log(total / count, scale);
        }
        const std::size_t l = static_cast<std::size_t>(e_.left[e_.root]);
        const std::size_t s = static_cast<std::size_t>(e_.right[e_.root]);
        if (uniform) {
            double L = e_.ext_top[s] * G.top[l] + e_.ext_top[l] * G.top[s];
            if (internal) L = L + (W.top[l] * Z.top[s] + W.top[s] * Z.top[l]);
            return scaled_log(L, base_scale(G));
        }
        // Each product at its own scale, summed in the same order at a common
        // one: ((a + b) + (c + d)).
        ScaledSum parts;
        parts.terms = {{e_.ext_top[s] * G.top[l], G.top_scale[l]}, {e_.ext_top[l] * G.top[s], G.top_scale[s]}};
        if (internal) {
            parts.terms.push_back({W.top[l] * Z.top[s], W.top_scale[l] + Z.top_scale[s]});
            parts.terms.push_back({W.top[s] * Z.top[l], W.top_scale[s] + Z.top_scale[l]});
        }
        std::int64_t common = 0;
        parts.value_at(&common);
        double L = times_pow2(parts.terms[0].first, common - parts.terms[0].second) +
                   times_pow2(parts.terms[1].first, common - parts.terms[1].second);
        if (internal) {
            L = L + (times_pow2(parts.terms[2].first, common - parts.terms[2].second) +
                     times_pow2(parts.terms[3].first, common - parts.terms[3].second));
        }
        return scaled_log(L, common);
    }

    // The scale of a node with one scale throughout.
    std::int64_t base_scale(const NodeView& v) const { return tables_.slices.empty() ? 0 : v.slice_scale[0]; }

    const Engine& e_;
    Tables tables_;
    std::vector<std::unique_ptr<NodeBuffer>> storage_;
    std::vector<NodeBuffer*> free_;
    std::vector<NodeValues> tips_;  // by species + 1
};

}  // namespace

double Engine::gene_loglik(const GeneTree& tree, std::uint8_t origination) const {
    Scorer scorer(*this);
    return scorer.score({tree}, origination)[0];
}

std::vector<double> Engine::batch_loglik(const GeneBatch& batch, std::uint8_t origination) const {
    std::vector<GeneTree> trees;
    trees.reserve(batch.tree_count());
    for (std::size_t i = 0; i < batch.tree_count(); ++i) trees.push_back(tree_at(batch, i));
    Scorer scorer(*this);
    return scorer.score(trees, origination);
}

}  // namespace recolite

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
#include <vector>

#include "recolite/dated_engine.h"
#include "recolite/scaled.h"
#include "recolite/simd.h"

namespace recolite {

namespace {

constexpr int kLanes = 4;

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
    std::vector<Carry> carry;
    std::vector<Ending> leaf_end, internal_end;
};

// The recursion's view of the engine: slices latest first, and the size of a
// node's storage (grid rows, the sums of rows 0 .. steps-1, and the tops).
struct Tables {
    std::vector<SliceTable> slices;
    std::size_t grid_size = 0, sum_size = 0, top_size = 0;
    double dup2 = 0.0;  // 2 * dup
    std::vector<std::uint32_t> uniform_branches;  // branches of positive length

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
        for (std::size_t b = 0; b < e.branch_length.size(); ++b) {
            if (e.branch_length[b] > kTimeTol) uniform_branches.push_back(static_cast<std::uint32_t>(b));
        }
    }
};

// One gene node being computed.
struct Lane {
    double* grid = nullptr;
    double* sums = nullptr;
    double* top = nullptr;
    const double *wgrid = nullptr, *wsums = nullptr, *wtop = nullptr;
    const double *zgrid = nullptr, *zsums = nullptr, *ztop = nullptr;
    std::int64_t species = -1;  // tips: the species leaf, -1 for none
    std::int64_t scale = 0;     // values are the true ones times 2^scale
    std::int64_t excess = 0;    // scale minus the children's scales
    Pow2Factor children_factor; // 2^excess, applied to terms built from children
};

// One Euler step for one position (scalar) or four (Vec4): decay, duplication
// or transfer followed by loss of one copy, transfer in from another branch
// whose donor copy dies, and the birth term M of an internal node.
template <class T>
[[gnu::always_inline]] inline T step_internal(T p, T a, T b, T pw, T pz, double sp, double spw, double spz, const SliceTable& t,
                       double dup2, const Pow2Factor& f) {
    const T pbar = (sp - p) / t.nm1;
    const T inner = p * a - b * pbar;
    T m = (dup2 * pw) * pz + t.tn1 * ((spw - pw) * pz + pw * (spz - pz));
    if (f.active) m = (m * f.first) * f.second;
    return (p - t.step * inner) + t.step * m;
}

template <class T>
[[gnu::always_inline]] inline T step_tip(T p, T a, T b, double sp, const SliceTable& t) {
    const T pbar = (sp - p) / t.nm1;
    const T inner = p * a - b * pbar;
    return (p - t.step * inner) + t.step * 0.0;
}

// With one branch in the slice there is no other branch to transfer to or
// from: both means are 0 and M has no transfer part.
[[gnu::always_inline]] inline double step_single(double p, double a, double b, double pw, double pz, bool internal, const SliceTable& t,
                          double dup2, const Pow2Factor& f) {
    const double inner = p * a - b * 0.0;
    const double m = internal ? f.apply((dup2 * pw) * pz) : 0.0;
    return (p - t.step * inner) + t.step * m;
}

double max_abs(const double* x, std::size_t count) {
    double m = 0.0;
    for (std::size_t i = 0; i < count; ++i) m = std::max(m, std::fabs(x[i]));
    return m;
}

void multiply(double* x, std::size_t count, double f) {
    for (std::size_t i = 0; i < count; ++i) x[i] *= f;
}

// Called when the sum of the row just formed (row j of slice t) is small:
// when the row's largest value is below kRescaleBelow, everything the node
// has produced so far is multiplied by one power of two.
void maybe_rescale(Lane& lane, const Tables& tables, const SliceTable& t, std::uint64_t j, double& row_sum) {
    const std::size_t N = t.N;
    const double* row = lane.grid + t.grid_offset + j * N;
    const double row_max = max_abs(row, N);
    if (!(row_max > 0.0) || !(row_max < kRescaleBelow)) return;
    const std::size_t grid_used = t.grid_offset + (j + 1) * N;
    const std::size_t sums_used = t.sum_offset + j;
    const double all_max =
        std::max({max_abs(lane.grid, grid_used), max_abs(lane.sums, sums_used), max_abs(lane.top, tables.top_size)});
    int big_exp = 0;
    std::frexp(all_max, &big_exp);
    const int k = std::min({normalising_exponent(row_max), kRescaleCeilingExp - big_exp, 1000});
    if (k <= 0) return;
    const double f = pow2(k);
    multiply(lane.grid, grid_used, f);
    multiply(lane.sums, sums_used, f);
    multiply(lane.top, tables.top_size, f);
    row_sum *= f;
    lane.scale += k;
    lane.excess += k;
    lane.children_factor = Pow2Factor::of(lane.excess);
}

template <int L, bool Internal>
[[gnu::always_inline]] inline void initial_rows(const Tables& tables, const SliceTable& t, Lane* lanes, double* sum) {
    const std::size_t N = t.N;
    double* rows[L];
    for (int l = 0; l < L; ++l) {
        Lane& lane = lanes[l];
        double* row = rows[l] = lane.grid + t.grid_offset;
        const double* top = lane.top;
        for (const SliceTable::Carry& c : t.carry) row[c.pos] = top[c.branch];
        for (const SliceTable::Ending& x : t.leaf_end) {
            row[x.pos] = (!Internal && lane.species == static_cast<std::int64_t>(x.branch)) ? 1.0 : 0.0;
        }
        for (const SliceTable::Ending& x : t.internal_end) {
            double v = x.ext_r * top[x.child_l] + x.ext_l * top[x.child_r];
            if (Internal) {
                v = v + lane.children_factor.apply(lane.wtop[x.child_l] * lane.ztop[x.child_r] +
                                                   lane.wtop[x.child_r] * lane.ztop[x.child_l]);
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
        if (std::fabs(s[l]) < kRescaleBelow) maybe_rescale(lanes[l], tables, t, 0, sum[l]);
    }
}

// Row j -> row j + 1 of slice t for L nodes; the sums of the new rows go to
// next_sum (left to right, as the next step needs them).
template <int L, bool Internal>
[[gnu::always_inline]] inline void step_rows(const Tables& tables, const SliceTable& t, std::uint64_t j, Lane* lanes, const double* sum,
               double* next_sum) {
    const std::size_t N = t.N;
    const std::size_t at = t.grid_offset + j * N;
    const double* A = t.a.data() + j * N;
    const double* B = t.b.data() + j * N;
    const double* cur[L];
    double* nxt[L];
    const double* pw[L];
    const double* pz[L];
    double spw[L], spz[L], s[L];
    for (int l = 0; l < L; ++l) {
        cur[l] = lanes[l].grid + at;
        nxt[l] = lanes[l].grid + at + N;
        s[l] = 0.0;
        if (Internal) {
            pw[l] = lanes[l].wgrid + at;
            pz[l] = lanes[l].zgrid + at;
            spw[l] = lanes[l].wsums[t.sum_offset + j];
            spz[l] = lanes[l].zsums[t.sum_offset + j];
        }
    }
    if (N == 1) {
        for (int l = 0; l < L; ++l) {
            const double r = step_single(cur[l][0], A[0], B[0], Internal ? pw[l][0] : 0.0, Internal ? pz[l][0] : 0.0,
                                         Internal, t, tables.dup2, lanes[l].children_factor);
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
                                        spz[l], t, tables.dup2, lanes[l].children_factor);
            } else {
                r = step_tip<Vec4>(load4(cur[l] + k), a, b, sum[l], t);
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
                r = step_internal<double>(cur[l][k], A[k], B[k], pw[l][k], pz[l][k], sum[l], spw[l], spz[l], t,
                                          tables.dup2, lanes[l].children_factor);
            } else {
                r = step_tip<double>(cur[l][k], A[k], B[k], sum[l], t);
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
__attribute__((target_clones("avx2", "default"))) void run_lanes(const Tables& tables, Lane* lanes) {
    double sum[L], next_sum[L];
    for (const SliceTable& t : tables.slices) {
        initial_rows<L, Internal>(tables, t, lanes, sum);
        for (std::uint64_t j = 0; j < t.steps; ++j) {
            for (int l = 0; l < L; ++l) lanes[l].sums[t.sum_offset + j] = sum[l];
            step_rows<L, Internal>(tables, t, j, lanes, sum, next_sum);
            for (int l = 0; l < L; ++l) {
                sum[l] = next_sum[l];
                if (std::fabs(sum[l]) < kRescaleBelow) maybe_rescale(lanes[l], tables, t, j + 1, sum[l]);
            }
        }
        const std::size_t last = t.grid_offset + t.steps * t.N;
        for (int l = 0; l < L; ++l) {
            const double* row = lanes[l].grid + last;
            for (std::size_t k = 0; k < t.N; ++k) lanes[l].top[t.branch[k]] = row[k];
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

// A computed gene node: its storage and scale.
struct NodeValues {
    double* data = nullptr;
    std::int64_t scale = 0;
    bool owned = false;  // false for the shared values of a tip
};

// Scores trees against one engine: tip values are computed once per species,
// node storage is recycled, and up to kLanes trees advance together.
class Scorer {
public:
    explicit Scorer(const Engine& e) : e_(e), tables_(e), tips_(e.n + 1, nullptr), tip_scales_(e.n + 1, 0) {}

    std::vector<double> score(const std::vector<GeneTree>& trees, std::uint8_t origination) {
        std::vector<double> out(trees.size(), 0.0);
        std::vector<Run> active;
        std::size_t next_tree = 0;
        Lane lanes[kLanes];
        Run* lane_run[kLanes];
        int count = 0;
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
            count = 0;
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

    double* grid_of(double* data) const { return data; }
    double* sums_of(double* data) const { return data + tables_.grid_size; }
    double* top_of(double* data) const { return data + tables_.grid_size + tables_.sum_size; }

    double* acquire() {
        if (!free_.empty()) {
            double* d = free_.back();
            free_.pop_back();
            return d;
        }
        storage_.push_back(std::make_unique<double[]>(tables_.grid_size + tables_.sum_size + tables_.top_size));
        return storage_.back().get();
    }

    void release(NodeValues& v) {
        if (v.owned && v.data != nullptr) free_.push_back(v.data);
        v = NodeValues{};
    }

    // The values of a tip in species s, computed on first use.
    NodeValues tip(std::int64_t s) {
        const std::int64_t key = (s >= 0 && static_cast<std::uint64_t>(s) < e_.n && e_.is_leaf[s]) ? s : -1;
        double*& slot = tips_[static_cast<std::size_t>(key + 1)];
        if (slot == nullptr) {
            storage_.push_back(std::make_unique<double[]>(tables_.grid_size + tables_.sum_size + tables_.top_size));
            slot = storage_.back().get();
            Lane lane;
            lane.grid = grid_of(slot);
            lane.sums = sums_of(slot);
            lane.top = top_of(slot);
            std::fill(lane.top, lane.top + tables_.top_size, 0.0);
            lane.species = key;
            run_lanes<false>(tables_, &lane, 1);
            tip_scales_[static_cast<std::size_t>(key + 1)] = lane.scale;
        }
        return {slot, tip_scales_[static_cast<std::size_t>(key + 1)], false};
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
        double* data = acquire();
        lane = Lane{};
        lane.grid = grid_of(data);
        lane.sums = sums_of(data);
        lane.top = top_of(data);
        std::fill(lane.top, lane.top + tables_.top_size, 0.0);
        lane.wgrid = grid_of(w.data);
        lane.wsums = sums_of(w.data);
        lane.wtop = top_of(w.data);
        lane.zgrid = grid_of(z.data);
        lane.zsums = sums_of(z.data);
        lane.ztop = top_of(z.data);
        lane.scale = w.scale + z.scale;
    }

    void complete(Run& run, const Lane& lane) {
        const std::size_t u = run.cursor;
        run.nodes[u] = {lane.grid, lane.scale, true};
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
        const double* tg = top_of(gv.data);
        double L;
        if (origination == 1) {
            double sum = 0.0;
            for (const std::uint32_t b : tables_.uniform_branches) sum += tg[b];
            L = sum / static_cast<double>(tables_.uniform_branches.size());
        } else {
            const std::size_t l = static_cast<std::size_t>(e_.left[e_.root]);
            const std::size_t s = static_cast<std::size_t>(e_.right[e_.root]);
            L = e_.ext_top[s] * tg[l] + e_.ext_top[l] * tg[s];
            if (!tree.is_leaf[g]) {
                const NodeValues& w = run.nodes[tree.left[g]];
                const NodeValues& z = run.nodes[tree.right[g]];
                const double* tw = top_of(w.data);
                const double* tz = top_of(z.data);
                const Pow2Factor f = Pow2Factor::of(gv.scale - w.scale - z.scale);
                L = L + f.apply(tw[l] * tz[s] + tw[s] * tz[l]);
            }
        }
        return scaled_log(L, gv.scale);
    }

    const Engine& e_;
    Tables tables_;
    std::vector<std::unique_ptr<double[]>> storage_;
    std::vector<double*> free_;
    std::vector<double*> tips_;  // by species + 1
    std::vector<std::int64_t> tip_scales_;
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

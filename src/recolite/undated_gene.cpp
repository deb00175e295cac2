// The undated gene-tree recursion: per gene node, a constant part C built
// from its children, then in-place sweeps over the species branches until the
// largest change is below the tolerance.
//
// A sweep is a chain of dependent operations (a running sum feeds a division
// that feeds the running sum), so one node at a time is bound by latency.
// kLanes gene nodes, one from each of kLanes trees, are therefore swept
// together, their values interleaved branch by branch; each lane undergoes
// exactly the operations of a lone sweep, and each stops after its own last
// sweep.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "recolite/scaled.h"
#include "recolite/simd.h"
#include "recolite/undated_engine.h"

namespace recolite {

namespace {

constexpr int kLanes = 8;
typedef double LaneVec __attribute__((vector_size(8 * kLanes)));

// Per-branch constants of the sweeps, fixed for the whole call.
struct SweepTables {
    std::vector<double> denominator;    // 1 - 2 p_dup E[b] - p_transfer mean E
    std::vector<double> transfer_in;    // p_transfer E[b]
    std::vector<double> ext_l, ext_r;   // E of the species children
    std::vector<std::uint32_t> child_l, child_r;
    std::vector<double> recipient_count;  // reldated: list lengths as doubles

    explicit SweepTables(const UndatedEngine& e) {
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
};

// Mean of x over the branches other than b: all of them (undated, with the
// sum of x given) or b's recipients (reldated).
double mean_other(const UndatedEngine& e, const SweepTables& t, const double* x, std::size_t b, double sum) {
    if (e.reldated) {
        if (t.recipient_count[b] == 0.0) return 0.0;
        double s = 0.0;
        for (std::size_t r = e.recipient_start[b]; r < e.recipient_start[b + 1]; ++r) s += x[e.recipient_list[r]];
        return s / t.recipient_count[b];
    }
    if (e.n == 1) return 0.0;
    return (sum - x[b]) / (static_cast<double>(e.n) - 1.0);
}

// The constant part of an internal gene node with children values w and z
// (both at their own scales): duplication on b (both orders), speciation at
// b, and one child transferred in from another branch.
void internal_constant(const UndatedEngine& e, const SweepTables& t, const double* w, const double* z, double* c) {
    const std::size_t n = e.n;
    double sw = 0.0, sz = 0.0;
    if (!e.reldated) {
        for (std::size_t b = 0; b < n; ++b) sw += w[b];
        for (std::size_t b = 0; b < n; ++b) sz += z[b];
    }
    const double dup2 = 2.0 * e.p_dup;
    for (std::size_t b = 0; b < n; ++b) {
        double v = (dup2 * w[b]) * z[b];
        if (!e.is_leaf[b]) {
            const std::uint32_t l = t.child_l[b], r = t.child_r[b];
            v = v + e.p_spec * (w[l] * z[r] + w[r] * z[l]);
        }
        if (e.p_transfer > 0.0) {
            v = v + e.p_transfer * (z[b] * mean_other(e, t, w, b, sw) + w[b] * mean_other(e, t, z, b, sz));
        }
        c[b] = v;
    }
}

LaneVec lane_abs(LaneVec x) { return x < 0.0 ? -x : x; }

// kLanes nodes in flight: their values and constant parts, branch-major.
class Lanes {
public:
    Lanes(const UndatedEngine& e, const SweepTables& t) : e_(e), t_(t), p_(e.n), c_(e.n) {}

    void load(int lane, const double* c) {
        for (std::size_t b = 0; b < e_.n; ++b) {
            p_[b][lane] = 0.0;
            c_[b][lane] = c[b];
        }
    }

    void unload(int lane, double* out) const {
        for (std::size_t b = 0; b < e_.n; ++b) out[b] = p_[b][lane];
    }

    // One sweep over every branch for all lanes; returns each lane's largest
    // change.
    LaneVec sweep() {
        const std::size_t n = e_.n;
        LaneVec* p = p_.data();
        const LaneVec* c = c_.data();
        LaneVec sp = {};
        for (std::size_t b = 0; b < n; ++b) sp += p[b];
        LaneVec maxd = {};
        const double nm1 = static_cast<double>(n) - 1.0;
        const double p_spec = e_.p_spec;
        for (std::size_t b = 0; b < n; ++b) {
            LaneVec pbar = {};
            if (e_.reldated) {
                const std::size_t rs = e_.recipient_start[b], re = e_.recipient_start[b + 1];
                if (rs != re) {
                    LaneVec acc = {};
                    for (std::size_t r = rs; r < re; ++r) acc += p[e_.recipient_list[r]];
                    pbar = acc / t_.recipient_count[b];
                }
            } else if (n > 1) {
                pbar = (sp - p[b]) / nm1;
            }
            LaneVec sl = {};
            if (!e_.is_leaf[b]) sl = p_spec * (p[t_.child_l[b]] * t_.ext_r[b] + p[t_.child_r[b]] * t_.ext_l[b]);
            const LaneVec old = p[b];
            const LaneVec next = ((sl + c[b]) + pbar * t_.transfer_in[b]) / t_.denominator[b];
            p[b] = next;
            const LaneVec d = next - old;
            sp = sp + d;
            const LaneVec ad = lane_abs(d);
            maxd = ad > maxd ? ad : maxd;
        }
        return maxd;
    }

private:
    const UndatedEngine& e_;
    const SweepTables& t_;
    std::vector<LaneVec> p_, c_;
};

// A computed gene node: its values (n entries) and scale.
struct NodeValues {
    double* data = nullptr;
    std::int64_t scale = 0;
    bool owned = false;  // false for the shared values of a tip
};

// A job for one lane: the constant part is in place, the values start at 0.
struct LaneState {
    bool busy = false;
    int sweeps = 0;
    std::int64_t scale = 0;
};

class Scorer {
public:
    explicit Scorer(const UndatedEngine& e)
        : e_(e), tables_(e), lanes_(e, tables_), tips_(e.n, nullptr), tip_scales_(e.n, 0), scratch_(e.n) {}

    std::vector<double> score(const std::vector<GeneTree>& trees, std::uint8_t origination) {
        compute_tips(trees);
        std::vector<double> out(trees.size(), 0.0);
        std::vector<Run> runs(kLanes);
        std::size_t next_tree = 0;
        // Each lane works through one tree's internal nodes in order; a tree
        // whose nodes are done is scored and the lane takes the next tree.
        auto next_job = [&](int l) -> bool {
            Run& run = runs[l];
            for (;;) {
                if (run.tree != nullptr) {
                    while (run.cursor < run.tree->m && run.tree->is_leaf[run.cursor]) ++run.cursor;
                    if (run.cursor < run.tree->m) {
                        start_internal(l, run);
                        return true;
                    }
                    out[run.index] = root_loglik(run, origination);
                    finish(run);
                }
                if (next_tree == trees.size()) return false;
                begin(run, trees[next_tree], next_tree);
                ++next_tree;
            }
        };
        sweep_until_done(next_job, [&](int l, const double*, std::int64_t) {
            Run& run = runs[l];
            run.nodes[run.cursor] = {pending_[l], state_[l].scale, true};
            ++run.cursor;
        });
        return out;
    }

private:
    struct Run {
        const GeneTree* tree = nullptr;
        std::size_t index = 0;
        std::size_t cursor = 0;
        std::vector<NodeValues> nodes;
        std::vector<std::uint32_t> uses;  // parents still to read each node
    };

    // Runs lanes until next_job finds no more work; done(lane, values, scale)
    // is told of each finished job, whose values are in pending_[lane].
    template <class NextJob, class Done>
    void sweep_until_done(NextJob& next_job, Done&& done) {
        for (int l = 0; l < kLanes; ++l) state_[l].busy = next_job(l);
        for (;;) {
            bool any = false;
            for (int l = 0; l < kLanes; ++l) any = any || state_[l].busy;
            if (!any) return;
            const LaneVec maxd = lanes_.sweep();
            for (int l = 0; l < kLanes; ++l) {
                LaneState& s = state_[l];
                if (!s.busy) continue;
                ++s.sweeps;
                if (!below_unscaled(maxd[l], s.scale, kFixedPointTol) && s.sweeps < kMaxSweeps) continue;
                lanes_.unload(l, pending_[l]);
                done(l, pending_[l], s.scale);
                s.busy = next_job(l);
            }
        }
    }

    double* acquire() {
        if (!free_.empty()) {
            double* d = free_.back();
            free_.pop_back();
            return d;
        }
        storage_.push_back(std::make_unique<double[]>(e_.n));
        return storage_.back().get();
    }

    void release(NodeValues& v) {
        if (v.owned && v.data != nullptr) free_.push_back(v.data);
        v = NodeValues{};
    }

    // Puts a job into lane l: its constant part c (scaled by 2^scale, and
    // rescaled here when small) and output storage.
    void load(int l, double* c, std::int64_t scale) {
        double c_max = 0.0;
        for (std::size_t b = 0; b < e_.n; ++b) c_max = std::max(c_max, std::fabs(c[b]));
        if (c_max > 0.0 && c_max < kRescaleBelow) {
            const int k = std::min(normalising_exponent(c_max), 1000);
            const double f = pow2(k);
            for (std::size_t b = 0; b < e_.n; ++b) c[b] *= f;
            scale += k;
        }
        lanes_.load(l, c);
        state_[l].sweeps = 0;
        state_[l].scale = scale;
        pending_[l] = acquire();
    }

    // The values of a tip in each species of the batch, computed once.
    void compute_tips(const std::vector<GeneTree>& trees) {
        std::vector<std::uint32_t> wanted;
        std::vector<std::uint8_t> seen(e_.n, 0);
        for (const GeneTree& tree : trees) {
            for (std::size_t u = 0; u < tree.m; ++u) {
                if (!tree.is_leaf[u]) continue;
                const std::size_t s = static_cast<std::size_t>(tree.species[u]);
                if (!seen[s]) {
                    seen[s] = 1;
                    wanted.push_back(static_cast<std::uint32_t>(s));
                }
            }
        }
        std::size_t next = 0;
        std::uint32_t lane_species[kLanes] = {};
        auto next_job = [&](int l) -> bool {
            if (next == wanted.size()) return false;
            lane_species[l] = wanted[next++];
            std::fill(scratch_.begin(), scratch_.end(), 0.0);
            scratch_[lane_species[l]] = e_.p_spec;
            load(l, scratch_.data(), 0);
            return true;
        };
        sweep_until_done(next_job, [&](int l, const double* values, std::int64_t scale) {
            tips_[lane_species[l]] = const_cast<double*>(values);
            tip_scales_[lane_species[l]] = scale;
        });
    }

    void begin(Run& run, const GeneTree& tree, std::size_t index) {
        run.tree = &tree;
        run.index = index;
        run.cursor = 0;
        run.nodes.assign(tree.m, NodeValues{});
        run.uses.assign(tree.m, 0);
        for (std::size_t u = 0; u < tree.m; ++u) {
            if (tree.is_leaf[u]) {
                const std::size_t s = static_cast<std::size_t>(tree.species[u]);
                run.nodes[u] = {tips_[s], tip_scales_[s], false};
            } else {
                ++run.uses[tree.left[u]];
                ++run.uses[tree.right[u]];
            }
        }
    }

    void start_internal(int l, Run& run) {
        const std::size_t u = run.cursor;
        const std::size_t w = static_cast<std::size_t>(run.tree->left[u]);
        const std::size_t z = static_cast<std::size_t>(run.tree->right[u]);
        internal_constant(e_, tables_, run.nodes[w].data, run.nodes[z].data, scratch_.data());
        load(l, scratch_.data(), run.nodes[w].scale + run.nodes[z].scale);
        // The children are read once per naming parent; the root's vector
        // stays for the root term.
        for (const std::size_t c : {w, z}) {
            if (--run.uses[c] == 0) release(run.nodes[c]);
        }
    }

    void finish(Run& run) {
        for (NodeValues& v : run.nodes) release(v);
        run.tree = nullptr;
    }

    double root_loglik(const Run& run, std::uint8_t origination) const {
        const NodeValues& g = run.nodes[run.tree->root()];
        double L;
        if (origination == 1) {
            double sum = 0.0;
            for (std::size_t b = 0; b < e_.n; ++b) sum += g.data[b];
            L = sum / static_cast<double>(e_.n);
        } else {
            L = g.data[e_.root];
        }
        return scaled_log(L, g.scale);
    }

    const UndatedEngine& e_;
    SweepTables tables_;
    Lanes lanes_;
    LaneState state_[kLanes];
    double* pending_[kLanes] = {};
    std::vector<std::unique_ptr<double[]>> storage_;
    std::vector<double*> free_;
    std::vector<double*> tips_;  // by species
    std::vector<std::int64_t> tip_scales_;
    std::vector<double> scratch_;
};

}  // namespace

double UndatedEngine::gene_loglik(const GeneTree& tree, std::uint8_t origination) const {
    Scorer scorer(*this);
    return scorer.score({tree}, origination)[0];
}

std::vector<double> UndatedEngine::batch_loglik(const GeneBatch& batch, std::uint8_t origination) const {
    std::vector<GeneTree> trees;
    trees.reserve(batch.tree_count());
    for (std::size_t i = 0; i < batch.tree_count(); ++i) trees.push_back(tree_at(batch, i));
    Scorer scorer(*this);
    return scorer.score(trees, origination);
}

}  // namespace recolite
